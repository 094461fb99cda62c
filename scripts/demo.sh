#!/usr/bin/env bash
# The main job: optimize showcase portfolios on the demo market (built on
# first use into $CORVANA_DATA or the per-user data folder).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

step() { printf '==> %s\n' "$*" >&2; }

# The store folder corvana reads by default (corvana.store.default_path).
store=${CORVANA_DATA:-${XDG_DATA_HOME:-$HOME/.local/share}/corvana}
if [ ! -f "$store/manifest.json" ]; then
  size=full
  [ "${CORVANA_DEMO_SIZE:-}" = small ] && size=small
  step "building the synthetic demo market into $store (first run only; about 30 s)"
  .venv/bin/corvana build-demo --size "$size" --path "$store"
fi
step "optimizing the showcase portfolios"
exec .venv/bin/python -m verdalis.cli demo "$@"
