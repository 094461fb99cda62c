#!/usr/bin/env bash
# The main job: optimize showcase portfolios on the demo market (built on
# first use into $CORVANA_DATA or the per-user data folder).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python -m verdalis.cli demo "$@"
