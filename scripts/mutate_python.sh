#!/usr/bin/env bash
# Mutation testing of the Python packages (verdalis, corvana) with mutmut.
#
#   scripts/mutate_python.sh                          # every .py file of both packages
#   scripts/mutate_python.sh verdalis/helper.py corvana/importer.py
#   MUTMUT_MAX_CHILDREN=1 scripts/mutate_python.sh corvana/api.py
#
# Arguments are file globs relative to python/.  mutmut is installed into
# .venv on first use (it is not a test dependency).  The run happens in the
# scratch folder build/mutmut/, which holds a copy of the installed packages
# (so the compiled core modules sit next to the mutated Python files) and of
# tests/; the working tree is never changed.  Results stay there:
#
#   cd build/mutmut && ../../.venv/bin/mutmut results        # survivors by name
#   cd build/mutmut && ../../.venv/bin/mutmut show NAME      # the diff of one
#
# Slow (minutes per file): not part of CI; see docs/testing.md.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV_PY=$ROOT/.venv/bin/python
STAGE=$ROOT/build/mutmut

scripts/setup.sh
if ! "$VENV_PY" -c 'import mutmut' >/dev/null 2>&1; then
  echo "==> installing mutmut into .venv" >&2
  "$VENV_PY" -m pip install --quiet --disable-pip-version-check mutmut
fi

patterns=("$@")
[ ${#patterns[@]} -gt 0 ] || patterns=("verdalis/*.py" "corvana/*.py")

site=$("$VENV_PY" -c 'import os, verdalis; print(os.path.dirname(os.path.dirname(verdalis.__file__)))')
rm -rf "$STAGE"
mkdir -p "$STAGE/src"
for pkg in verdalis corvana; do
  cp -r "$site/$pkg" "$STAGE/src/$pkg"
  cp python/$pkg/*.py "$STAGE/src/$pkg/"   # the sources themselves, in case the install is older
done
find "$STAGE" -name __pycache__ -prune -exec rm -rf {} +
cp -r tests "$STAGE/tests"
# files some tests read from the project (docs, stubs, examples, sources scanned for messages)
extra=(README.md docs cpp examples scripts python)
for f in "${extra[@]}"; do cp -r "$f" "$STAGE/$f"; done

"$VENV_PY" - "$STAGE/pyproject.toml" "${extra[*]}" "${patterns[@]}" <<'EOF'
import json, sys, tomllib
out, extra, patterns = sys.argv[1], sys.argv[2].split(), sys.argv[3:]
pytest_cfg = tomllib.load(open("pyproject.toml", "rb"))["tool"]["pytest"]["ini_options"]
lines = [
    "[tool.mutmut]",
    'source_paths = ["src"]',
    "only_mutate = " + json.dumps(["src/" + p for p in patterns]),
    # mutmut calls each function through a trampoline, one more stack frame:
    # tests of the frame a warning is attributed to cannot pass under it
    "pytest_add_cli_args = " + json.dumps(["-p", "no:cacheprovider", "--deselect",
        "tests/test_helper.py::test_uncovered_stock_is_filled_with_one_warning"]),
    'pytest_add_cli_args_test_selection = ["tests"]',
    "use_git_change_detection = false",
    "also_copy = " + json.dumps(extra),
    # the suite's process holds a DuckDB connection and solver threads: a
    # worker forked from it crashes, so workers come from a clean fork server
    'process_isolation = "forkserver"',
    "",
    "[tool.pytest.ini_options]",
]
lines += [f"{k} = {json.dumps(v)}" for k, v in pytest_cfg.items()]
open(out, "w").write("\n".join(lines) + "\n")
EOF

cd "$STAGE"
echo "==> mutmut over ${patterns[*]} (results in build/mutmut)" >&2
"$VENV_PY" -m mutmut run --max-children "${MUTMUT_MAX_CHILDREN:-2}" || true
"$VENV_PY" -m mutmut export-cicd-stats >/dev/null
"$VENV_PY" -m mutmut results > results.txt || true
"$VENV_PY" - <<'EOF'
import json
s = json.load(open("mutants/mutmut-cicd-stats.json"))
caught = s["killed"] + s["timeout"]
missed = s["survived"] + s["no_tests"] + s["suspicious"]
rate = 100 * caught / (caught + missed) if caught + missed else 0.0
print(f"Python mutants: {caught}/{caught + missed} killed ({rate:.0f} %); "
      f"survived {s['survived']}, no tests {s['no_tests']}, suspicious {s['suspicious']}, "
      f"skipped {s['skipped']}")
print("survivors: build/mutmut/results.txt")
EOF
