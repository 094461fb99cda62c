#!/usr/bin/env bash
# Creates .venv and installs verdalis with its test extra into it, saying what
# it does at each step.  Repeat runs are fast:
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
if [ -z "${VERDALIS_REINSTALL:-}" ] && [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$stamp" ]; then
  exit 0
fi

PIP=("$VENV_PY" -m pip --disable-pip-version-check)
if ! "$VENV_PY" -c 'import scikit_build_core, pybind11, ninja, cmake' >/dev/null 2>&1; then
  step "installing the build tools into .venv (scikit-build-core, pybind11, cmake, ninja)"
  "${PIP[@]}" install --quiet "scikit-build-core>=0.10" "pybind11>=2.12" "cmake>=3.18" ninja
fi

# Runtime and test dependencies first (pip skips what is already satisfied),
# so that the build step below shows its own progress line.
if [ ! -f "$STAMP" ]; then
  deps=$("$VENV_PY" -c '
import tomllib
p = tomllib.load(open("pyproject.toml", "rb"))["project"]
print("\n".join(p["dependencies"] + p["optional-dependencies"]["test"]))' 2>/dev/null || true)
  if [ -n "$deps" ]; then
    step "installing dependencies (numpy, pandas, cvxpy, SCS, DuckDB, pyarrow, pytest, ...); about 1 min the first time"
    mapfile -t dep_list <<<"$deps"
    "${PIP[@]}" install --quiet "${dep_list[@]}"
  fi
fi

if [ -d build ]; then
  step "building and installing verdalis (incremental: only changed C++ files recompile)"
else
  step "compiling the C++ core modules and installing verdalis; about 2 min the first time"
fi
"${PIP[@]}" install --quiet --no-build-isolation ".[test]"
echo "$stamp" > "$STAMP"
step "ready: $("$VENV_PY" -c 'import importlib.metadata as m; print("verdalis", m.version("verdalis"))')"
