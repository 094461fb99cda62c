#!/usr/bin/env bash
# Mutation testing of the Python packages (verdalis, corvana) with mutmut.
#
#   scripts/mutate_python.sh                          # every .py file of both packages
#   scripts/mutate_python.sh verdalis/helper.py corvana/importer.py
#   MUTMUT_MAX_CHILDREN=1 scripts/mutate_python.sh corvana/api.py
#   scripts/mutate_python.sh --sample 60 corvana/importer.py   # 60 mutants a file
#   scripts/mutate_python.sh --sample 20 'verdalis/diagnose/*.py' verdalis/backtest.py \
#       verdalis/sweep.py verdalis/config.py verdalis/cli.py 'verdalis/report/*.py' corvana/riskmodel.py
#
# --sample N (or MUTMUT_SAMPLE=N) runs N mutants of each file instead of all:
# the mutants are generated, N names per file are drawn by a seeded hash of
# the name (MUTMUT_SEED, default 1) and only those run.  The same sources and
# seed give the same sample, and an edit to one function changes it only
# there, so a rate can be measured again after tests are added.  The
# names drawn are kept in build/mutmut/sample.txt, the rates per file in
# build/mutmut/summary.txt.  Without --sample every mutant runs.
#
# --again goes on with the last run in build/mutmut/ instead of starting
# afresh: it copies the current sources and tests in, regenerates the mutants
# of changed functions (the others keep their results), draws the sample again
# if the last run was sampled, and runs only the mutants of the run that have
# no result or survived.  That is how survivors are checked after writing tests:
#
#   scripts/mutate_python.sh --again
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

scripts/setup.sh --tests   # the suite needs the test extra (hypothesis, scipy, ...)
if ! "$VENV_PY" -c 'import mutmut' >/dev/null 2>&1; then
  echo "==> installing mutmut into .venv" >&2
  "$VENV_PY" -m pip install --quiet --disable-pip-version-check mutmut
fi

sample=${MUTMUT_SAMPLE:-}
again=
patterns=()
while [ $# -gt 0 ]; do
  case $1 in
    --sample) sample=${2:?--sample needs a count}; shift 2 ;;
    --sample=*) sample=${1#--sample=}; shift ;;
    --again) again=1; shift ;;
    *) patterns+=("$1"); shift ;;
  esac
done
if [ -n "$sample" ] && ! [[ $sample =~ ^[1-9][0-9]*$ ]]; then
  echo "--sample wants a positive count, not '$sample'" >&2
  exit 2
fi
[ ${#patterns[@]} -gt 0 ] || patterns=("verdalis/*.py" "verdalis/*/*.py" "corvana/*.py")
# The Python sources of a package, subpackages (verdalis/diagnose, verdalis/report)
# included, copied over DEST with their folders; the compiled modules are not
# touched (DEST's are the ones built into .venv).
copy_sources() {
  (cd python && find "$1" -name '*.py' -not -path '*/__pycache__/*' -print0) |
    while IFS= read -r -d '' f; do mkdir -p "$2/$(dirname "$f")" && cp "python/$f" "$2/$f"; done
}
# files some tests read from the project (docs, stubs, examples, sources scanned for messages)
extra=(README.md docs cpp examples scripts python)

if [ -n "$again" ]; then
  if [ ! -f "$STAGE/mutants/mutmut-stats.json" ]; then
    echo "--again: no earlier run in build/mutmut to go on with" >&2
    exit 2
  fi
  if [ -f "$STAGE/sample.args" ]; then   # the last run's count and seed
    read -r last_sample last_seed < "$STAGE/sample.args"
    sample=${sample:-$last_sample}
    MUTMUT_SEED=${MUTMUT_SEED:-$last_seed}
  fi
  for pkg in verdalis corvana; do copy_sources $pkg "$STAGE/src"; done
  rm -rf "$STAGE/tests" && cp -r tests "$STAGE/tests"
  for f in "${extra[@]}"; do rm -rf "${STAGE:?}/$f" && cp -r "$f" "$STAGE/$f"; done
  patterns=("(as in the last run)")
else
  site=$("$VENV_PY" -c 'import os, verdalis; print(os.path.dirname(os.path.dirname(verdalis.__file__)))')
  rm -rf "$STAGE"
  mkdir -p "$STAGE/src"
  for pkg in verdalis corvana; do
    cp -r "$site/$pkg" "$STAGE/src/$pkg"
    copy_sources $pkg "$STAGE/src"   # the sources themselves, in case the install is older
  done
  find "$STAGE" -name __pycache__ -prune -exec rm -rf {} +
  cp -r tests "$STAGE/tests"
  for f in "${extra[@]}"; do cp -r "$f" "$STAGE/$f"; done
fi

[ -n "$again" ] || "$VENV_PY" - "$STAGE/pyproject.toml" "${extra[*]}" "${patterns[@]}" <<'EOF'
import json, sys, tomllib
out, extra, patterns = sys.argv[1], sys.argv[2].split(), sys.argv[3:]
pytest_cfg = tomllib.load(open("pyproject.toml", "rb"))["tool"]["pytest"]["ini_options"]
lines = [
    "[tool.mutmut]",
    'source_paths = ["src"]',
    "only_mutate = " + json.dumps(["src/" + p for p in patterns]),
    # mutmut calls each function through a trampoline, one more stack frame:
    # tests skip checking the frame a warning names when MUTANT_UNDER_TEST is set
    'pytest_add_cli_args = ["-p", "no:cacheprovider"]',
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
[ -n "$again" ] || rm -f sample.txt sample.args
if [ -n "$sample" ] || [ -n "$again" ]; then
  # Generate the mutants only (the first steps of `mutmut run`), so that their
  # names are known before any is tested.
  "$VENV_PY" - >/dev/null <<'EOF'
import os
from mutmut.__main__ import create_mutants
from mutmut.mutation.trampoline import set_mutant_under_test
from mutmut.utils.file_utils import copy_also_copy_files, copy_src_dir, setup_source_paths
set_mutant_under_test("mutant_generation")
os.makedirs("mutants", exist_ok=True)
copy_src_dir()
copy_also_copy_files()
setup_source_paths()
create_mutants(1)
EOF
fi
if [ -n "$sample" ]; then
  echo "$sample ${MUTMUT_SEED:-1}" > sample.args
  "$VENV_PY" - "$sample" "${MUTMUT_SEED:-1}" <<'EOF'
import hashlib, json, pathlib, sys
count, seed = int(sys.argv[1]), sys.argv[2]
drawn = []
for meta in sorted(pathlib.Path("mutants/src").rglob("*.py.meta")):
    name = meta.relative_to("mutants/src").with_suffix("")
    mutants = json.load(open(meta))["exit_code_by_key"]
    # the N names of smallest hash: a mutant's rank depends on its name and
    # the seed alone, so an edit changes the sample only where it adds or
    # removes mutants (mutmut numbers them per function)
    rank = lambda m: hashlib.sha256(f"{seed}:{m}".encode()).hexdigest()
    pick = sorted(sorted(mutants, key=rank)[:count])
    print(f"    {name}: {len(pick)} of {len(mutants)} mutants", file=sys.stderr)
    drawn += pick
open("sample.txt", "w").write("".join(n + "\n" for n in drawn))
EOF
fi
if [ -n "$again" ]; then
  # the mutants of the run (the sample, or all) without a result or that survived
  mapfile -t names < <("$VENV_PY" - <<'EOF'
import json, os, pathlib
caught_codes = {1, 3, 36, -24, 24, 152, 255}
sample = set(open("sample.txt").read().split()) if os.path.exists("sample.txt") else None
for meta in sorted(pathlib.Path("mutants/src").rglob("*.py.meta")):
    for name, code in sorted(json.load(open(meta))["exit_code_by_key"].items()):
        if (sample is None or name in sample) and code not in caught_codes:
            print(name)
EOF
)
  echo "==> running again the ${#names[@]} mutants without a result or that survived" >&2
  if [ ${#names[@]} -gt 0 ]; then
    "$VENV_PY" -m mutmut run --max-children "${MUTMUT_MAX_CHILDREN:-2}" "${names[@]}" || true
  fi
elif [ -n "$sample" ]; then
  mapfile -t names < sample.txt
  echo "==> running a sample of ${#names[@]} mutants (seed ${MUTMUT_SEED:-1})" >&2
  "$VENV_PY" -m mutmut run --max-children "${MUTMUT_MAX_CHILDREN:-2}" "${names[@]}" || true
else
  "$VENV_PY" -m mutmut run --max-children "${MUTMUT_MAX_CHILDREN:-2}" || true
fi
# mutants left unrun (outside the sample, or after a Ctrl-C) are not listed
"$VENV_PY" -m mutmut results | grep -v ': not checked$' > results.txt || true
"$VENV_PY" - <<'EOF' | tee summary.txt
import collections, json, os, pathlib
# mutmut's exit codes: 1 and 3 are kills, 36 and the SIGXCPU codes timeouts
# (a catch too), None not run; anything else is a miss
caught_codes = {1, 3, 36, -24, 24, 152, 255}
sample = set(open("sample.txt").read().split()) if os.path.exists("sample.txt") else None
rows, total = [], collections.Counter()
for meta in sorted(pathlib.Path("mutants/src").rglob("*.py.meta")):
    codes = json.load(open(meta))["exit_code_by_key"]
    if sample is not None:
        codes = {k: v for k, v in codes.items() if k in sample}
    if not codes:
        continue
    c = collections.Counter(
        "not run" if v is None else "caught" if v in caught_codes else "missed"
        for v in codes.values())
    total.update(c)
    rows.append((str(meta.relative_to("mutants/src").with_suffix("")), c))
def line(name, c):
    ran = c["caught"] + c["missed"]
    rate = f"{100 * c['caught'] / ran:.0f} %" if ran else "-"
    unrun = f", {c['not run']} not run" if c["not run"] else ""
    return f"{name}: {c['caught']}/{ran} killed ({rate}){unrun}"
for name, c in rows:
    print("    " + line(name, c))
print(line("Python mutants" + (" (sample)" if sample is not None else ""), total))
print("survivors: build/mutmut/results.txt")
EOF
