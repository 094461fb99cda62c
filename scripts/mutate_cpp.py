#!/usr/bin/env python3
"""List-driven mutation testing of the C++ core modules.

Each mutant in ``scripts/cpp_mutants.toml`` is one textual change: a snippet
of a source file (found by its exact text, so it survives line moves) and
its replacement.  For every mutant this script

  1. applies the change,
  2. rebuilds incrementally (``scripts/setup.sh``: only the changed file
     recompiles, then the package is reinstalled into .venv),
  3. runs the tests the mutant's area maps to (``pytest -x -q``); a mutant
     they miss gets the whole suite before it is called a survivor,
  4. restores the file,

and reports which mutants were killed and which survived.  The original
sources are restored in all cases (failure, Ctrl-C, SIGTERM); a copy of the
file being mutated is also kept in build/mutate-cpp/ so that a run killed
with SIGKILL is repaired by the next run.  At the end the package is rebuilt
from the restored sources.

Usage:
    .venv/bin/python scripts/mutate_cpp.py              # every mutant
    .venv/bin/python scripts/mutate_cpp.py retry bound  # ids containing these words
    .venv/bin/python scripts/mutate_cpp.py --list       # show the mutants, run nothing
    .venv/bin/python scripts/mutate_cpp.py --full ...   # whole suite for every mutant

Slow (about 30-60 s per mutant): not part of CI; see docs/testing.md.
"""
from __future__ import annotations

import argparse
import shutil
import signal
import subprocess
import sys
import time
import tomllib
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
LIST = ROOT / "scripts" / "cpp_mutants.toml"
WORK = ROOT / "build" / "mutate-cpp"
BACKUP = WORK / "backup"
PYTHON = ROOT / ".venv" / "bin" / "python"
TEST_TIMEOUT = 600  # seconds; a mutant that hangs the suite counts as killed

# Tests that exercise each area; a mutant may name its own with `tests`.
AREA_TESTS = {
    "optimize": ["tests/test_optimize.py", "tests/test_normalize.py", "tests/test_objective_optimize.py",
                 "tests/test_hidden_cases.py"],
    "objective": ["tests/test_objective.py", "tests/test_objective_optimize.py"],
    "benchmark": ["tests/test_benchmark.py"],
    "constraints": ["tests/test_constraints.py", "tests/test_constraints_optimize.py", "tests/test_hidden_cases.py"],
    "domain": ["tests/test_objective_optimize.py", "tests/test_constraints_optimize.py", "tests/test_refusals.py"],
}


@dataclass
class Mutant:
    id: str
    file: str
    find: str
    replace: str
    why: str = ""
    tests: list = field(default_factory=list)


def load(path: Path = LIST) -> list[Mutant]:
    data = tomllib.loads(path.read_text("utf-8"))
    mutants = [Mutant(**m) for m in data["mutant"]]
    ids = [m.id for m in mutants]
    dup = {i for i in ids if ids.count(i) > 1}
    if dup:
        sys.exit(f"duplicate mutant ids: {', '.join(sorted(dup))}")
    return mutants


def locate(m: Mutant) -> Path:
    """The file holding the snippet exactly once: the named file, else (after a
    move) the one C++ source under cpp/ that holds it."""
    named = ROOT / m.file
    if named.is_file() and named.read_text("utf-8").count(m.find) == 1:
        return named
    hits = [p for p in sorted((ROOT / "cpp").rglob("*.[ch]pp"))
            if p.read_text("utf-8").count(m.find) == 1]
    if len(hits) != 1:
        raise LookupError(f"{m.id}: snippet found in {len(hits)} files (want exactly one): {m.find!r}")
    return hits[0]


def tests_for(m: Mutant, path: Path) -> list[str]:
    if m.tests:
        return m.tests
    area = path.relative_to(ROOT / "cpp").parts[0]
    return AREA_TESTS.get(area, ["tests"])


def restore_leftovers() -> None:
    """Put back any file a previous, hard-killed run left mutated."""
    if not BACKUP.is_dir():
        return
    for saved in BACKUP.rglob("*"):
        if saved.is_file():
            target = ROOT / saved.relative_to(BACKUP)
            print(f"restoring {target.relative_to(ROOT)} left mutated by an interrupted run")
            shutil.copyfile(saved, target)
            saved.unlink()


def build() -> tuple[bool, str]:
    r = subprocess.run(["scripts/setup.sh"], cwd=ROOT, capture_output=True, text=True)
    return r.returncode == 0, r.stdout + r.stderr


def pytest(paths: list[str]) -> tuple[str, str]:
    cmd = [str(PYTHON), "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *paths]
    try:
        r = subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, timeout=TEST_TIMEOUT)
    except subprocess.TimeoutExpired:
        return "killed", "timeout"
    lines = [ln for ln in r.stdout.splitlines() if ln.strip()]
    last = lines[-1] if lines else r.stderr.strip()[-200:]
    if r.returncode == 0:
        return "survived", last
    failed = next((ln for ln in lines if ln.startswith(("FAILED", "ERROR"))), last)
    return "killed", failed


def run_one(m: Mutant, full: bool) -> tuple[str, str]:
    path = locate(m)
    original = path.read_bytes()
    backup = BACKUP / path.relative_to(ROOT)
    backup.parent.mkdir(parents=True, exist_ok=True)
    backup.write_bytes(original)
    try:
        path.write_bytes(original.decode("utf-8").replace(m.find, m.replace, 1).encode("utf-8"))
        ok, log = build()
        if not ok:
            return "no-build", log.strip().splitlines()[-1] if log.strip() else "build failed"
        verdict, detail = pytest(["tests"] if full else tests_for(m, path))
        if verdict == "survived" and not full:
            verdict, detail = pytest(["tests"])
        return verdict, detail
    finally:
        path.write_bytes(original)
        backup.unlink()


def _terminate(signum, frame):
    raise KeyboardInterrupt(f"signal {signum}")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("select", nargs="*", help="run only mutants whose id contains one of these words")
    ap.add_argument("--list", action="store_true", help="print the mutants and exit")
    ap.add_argument("--full", action="store_true", help="run the whole suite for every mutant")
    args = ap.parse_args(argv)

    mutants = load()
    if args.select:
        mutants = [m for m in mutants if any(s in m.id for s in args.select)]
    for m in mutants:
        locate(m)  # a stale entry stops the run before anything is changed
    if args.list:
        for m in mutants:
            print(f"{m.id:32} {m.file}: {m.find!r} -> {m.replace!r}")
        return 0

    signal.signal(signal.SIGTERM, _terminate)
    WORK.mkdir(parents=True, exist_ok=True)
    restore_leftovers()
    results = []
    try:
        for k, m in enumerate(mutants, 1):
            start = time.monotonic()
            verdict, detail = run_one(m, args.full)
            results.append((m, verdict, detail))
            print(f"[{k}/{len(mutants)}] {verdict:8} {m.id} ({time.monotonic() - start:.0f} s): {detail}",
                  flush=True)
    except KeyboardInterrupt:
        print("interrupted: sources restored", file=sys.stderr)
    finally:
        if results or BACKUP.exists():
            ok, log = build()  # the installed package again matches the sources
            if not ok:
                print("rebuild from the restored sources failed:\n" + log, file=sys.stderr)

    killed = [r for r in results if r[1] == "killed"]
    survived = [r for r in results if r[1] == "survived"]
    tested = len(killed) + len(survived)
    report = [f"C++ mutants: {len(killed)}/{tested} killed"
              + (f" ({100 * len(killed) / tested:.0f} %)" if tested else "")
              + (f", {len(results) - tested} did not build" if len(results) > tested else "")]
    report += [f"  survived: {m.id}: {m.file}: {m.why}" for m, _, _ in survived]
    (WORK / "report.txt").write_text("\n".join(report) + "\n"
                                     + "".join(f"{v:8} {m.id}: {d}\n" for m, v, d in results))
    print("\n".join(report))
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
