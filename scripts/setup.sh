#!/usr/bin/env bash
# Creates .venv and installs verdalis into it, saying what it does at each
# step and showing the compile's progress (one line per compiled file).
#
#   scripts/setup.sh           what verdalis needs to run (the demo, the CLI)
#   scripts/setup.sh --tests   that and the test extra (pytest, scipy, ...)
#
# Repeat runs are fast:
#
#   * the build requirements live in .venv and the package is built without
#     build isolation into the persistent folder build/, so CMake and ninja
#     keep their state and a changed .cpp file recompiles that file only;
#   * a stamp in .venv records a hash of everything the install depends on
#     (sources, pyproject.toml, CMakeLists.txt, the interpreter); when nothing
#     changed, pip is not run at all.
#
# VERDALIS_REINSTALL=1 forces the install step.
set -euo pipefail
cd "$(dirname "$0")/.."
EXTRAS=
for arg in "$@"; do
  case "$arg" in
    --tests) EXTRAS=test ;;
    *) echo "setup.sh: unknown option $arg (known: --tests)" >&2; exit 2 ;;
  esac
done
PYTHON=${PYTHON:-python3}
VENV_PY=.venv/bin/python
STAMP=.venv/.verdalis-install-stamp

step() { printf '==> %s\n' "$*" >&2; }

if [ ! -x "$VENV_PY" ]; then
  step "creating the virtual environment .venv ($("$PYTHON" --version 2>&1))"
  "$PYTHON" -m venv .venv
fi

# Everything an install depends on, as one hash.
current_stamp() {
  {
    "$VENV_PY" -c 'import sys; print(sys.version)'
    find cpp python CMakeLists.txt pyproject.toml -type f \
      ! -path '*/__pycache__/*' ! -name '*.pyc' -print0 | sort -z | xargs -0 sha1sum
  } | sha1sum | cut -d' ' -f1
}

stamp=$(current_stamp)
# The stamp's second line names the extras installed: a plain set-up after a
# set-up with the tests has nothing to do.
if [ -z "${VERDALIS_REINSTALL:-}" ] && [ -f "$STAMP" ] && [ "$(head -n 1 "$STAMP")" = "$stamp" ] \
   && { [ -z "$EXTRAS" ] || [ "$(sed -n 2p "$STAMP")" = "extras: $EXTRAS" ]; }; then
  exit 0
fi

PIP=("$VENV_PY" -m pip --disable-pip-version-check)
if ! "$VENV_PY" -c 'import scikit_build_core, pybind11, ninja, cmake' >/dev/null 2>&1; then
  step "installing the build tools into .venv (scikit-build-core, pybind11, cmake, ninja)"
  "${PIP[@]}" install --quiet "scikit-build-core>=0.10" "pybind11>=2.12" "cmake>=3.18" ninja
fi

# Runtime and test dependencies first (pip skips what is already satisfied),
# so that the build step below shows its own progress line.
if [ ! -f "$STAMP" ] || [ "$(sed -n 2p "$STAMP")" != "extras: $EXTRAS" ]; then
  deps=$(EXTRAS="$EXTRAS" "$VENV_PY" -c '
import os, tomllib
p = tomllib.load(open("pyproject.toml", "rb"))["project"]
extras = [e for e in os.environ["EXTRAS"].split(",") if e]
print("\n".join(p["dependencies"] + [d for e in extras for d in p["optional-dependencies"][e]]))' 2>/dev/null || true)
  if [ -n "$deps" ]; then
    what="numpy, pandas, cvxpy, SCS, DuckDB, pyarrow, matplotlib, the report font"
    [ -n "$EXTRAS" ] && what="$what; tests: pytest, scipy, hypothesis, dask, skfolio"
    step "installing dependencies ($what); about 1 min the first time"
    mapfile -t dep_list <<<"$deps"
    "${PIP[@]}" install --quiet "${dep_list[@]}"
  fi
fi

if [ -d build ]; then
  step "building and installing verdalis (incremental: only changed C++ files recompile)"
else
  step "compiling the C++ core modules and installing verdalis; about 2-4 min the first time"
fi
# The build tool's own progress lines ("[3/9] Building CXX object ...") are
# shown as they come; the whole log is kept for a failure.
mkdir -p build
log=build/setup.log
target=.
[ -n "$EXTRAS" ] && target=".[$EXTRAS]"
"${PIP[@]}" install -v --no-build-isolation "$target" >"$log" 2>&1 &
pid=$!
tail -n +1 -f "$log" --pid="$pid" 2>/dev/null \
  | grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\] ' | sed -u -e 's/^ */    /' -e 's/ -o .*//' >&2 || true
if ! wait "$pid"; then
  echo "setup.sh: the install failed; the end of its log ($log):" >&2
  tail -n 40 "$log" >&2
  exit 1
fi
# Reports cut their font from a lean copy cached once (see verdalis/report/fonts.py).
if ! "$VENV_PY" -c 'import sys, verdalis.report.fonts as f; p = f.font_path(); sys.exit(0 if p is None or f.lean_path(p).is_file() else 1)' 2>/dev/null; then
  step "preparing the report font (once; about 10 s)"
  "$VENV_PY" -c 'from verdalis.report.fonts import prepare; prepare()' || echo "setup.sh: the report font was not cached; reports still embed it, a little slower" >&2
fi
installed=$EXTRAS
[ -f "$STAMP" ] && [ "$(sed -n 2p "$STAMP")" = "extras: test" ] && installed=test
printf '%s\n%s\n' "$stamp" "extras: $installed" > "$STAMP"
step "ready: $("$VENV_PY" -c 'import importlib.metadata as m; print("verdalis", m.version("verdalis"))')"
