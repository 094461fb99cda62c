#!/usr/bin/env bash
# Installs verdalis with its test extra (building the C++ modules) and runs the test suite against
# the installed package.  Tests build their own small market; nothing else is
# needed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests
exec .venv/bin/python -m pytest "$@"
