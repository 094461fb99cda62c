#!/usr/bin/env bash
# A long property-based run over portfolio_optimize's arguments (tests/test_fuzz.py):
# new random cases each time, the outcome counts printed at the end.
#   scripts/fuzz.sh [EXAMPLES]      (default 3000; about 10 minutes per 1000 on a small machine)
set -euo pipefail
cd "$(dirname "$0")/.."
export VERDALIS_FUZZ_EXAMPLES="${1:-3000}" VERDALIS_FUZZ_RANDOM=1 VERDALIS_FUZZ_REPORT=1
exec .venv/bin/python -m pytest -q -s -p no:cacheprovider tests/test_fuzz.py -k outcome
