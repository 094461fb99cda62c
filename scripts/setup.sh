#!/usr/bin/env bash
# Creates .venv (once) and installs verdalis with its test extra into it.
# Builds the C++ core modules; later runs rebuild incrementally.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$PYTHON" -m venv .venv
fi
.venv/bin/python -m pip install --quiet --disable-pip-version-check ".[test]"
