"""Verification after the solve, and the polish when a limit is missed.

Run: ``.venv/bin/python bench/bench_verify.py [--sizes 300,1000,5000] [--repeat 3]``

For each size, the two constrained mandates of `bench_constraints.py`
(`index`, `rebal`) and a minimum-variance mandate with floors (`floors`:
`StyleConstraint("momentum", lower_limit=0.4)` and a `StockPoolLimit` of the
first hundred stocks at 0.6, under `bnds={"*": (0, 0.02)}`, the shapes of the
worst misses measured before verification existed), each solved `repeat`
times by `portfolio_optimize` with its default solver (SCS).

Columns: `end_to_end` the median call; `main_solve` the median time of the
main `problem.solve`; `verify` the median time spent measuring the limits
(every `_measure` call of the call, summed); `polish` the median time of the
polish solve (Clarabel) when one ran, with its share of `main_solve`;
`polished` how many of the calls needed a polish; `warned` how many ended
with the warning that a limit is still missed.
"""
import argparse
import datetime
import statistics
import sys
import time
import warnings

import cvxpy as cp
import pandas as pd

import corvana
import verdalis.constraints as vc
from verdalis.constraints import StockPoolLimit, StyleConstraint
from verdalis.exception import OptimizerWarning
from verdalis.objective import MinTrackingError, MinVariance
from verdalis.optimize import portfolio_optimize

from bench_constraints import DATE, INDEX, mandates, print_markdown
from bench_optimize import pool_of

MEASURED = [c for c in vars(vc).values() if isinstance(c, type) and "_measure" in vars(c)]


class Timings:
    """While active: each solve (solver, seconds) and each measurement's seconds."""

    def __enter__(self):
        self.solves, self.measures = [], []
        self._solve = cp.Problem.solve
        solves, measures = self.solves, self.measures

        def solve(problem, *args, **kwargs):
            started = time.perf_counter()
            try:
                return self._solve(problem, *args, **kwargs)
            finally:
                solves.append((kwargs.get("solver"), time.perf_counter() - started))

        cp.Problem.solve = solve
        self._originals = {}
        for cls in MEASURED:
            original = vars(cls)["_measure"]
            self._originals[cls] = original

            def timed(self_, weights, helper, _original=original):
                started = time.perf_counter()
                try:
                    return _original(self_, weights, helper)
                finally:
                    measures.append(time.perf_counter() - started)

            cls._measure = timed
        return self

    def __exit__(self, *exc):
        cp.Problem.solve = self._solve
        for cls, original in self._originals.items():
            cls._measure = original


def all_mandates(pool):
    for name, cons in mandates(pool):
        yield name, MinTrackingError(), cons, None
    floors = [StyleConstraint("momentum", lower_limit=0.4), StockPoolLimit(pool[:100], lower_limit=0.6)]
    yield "floors", MinVariance(), floors, {"*": (0, 0.02)}


def run(sizes, repeat):
    prev = corvana.get_previous_trading_date(DATE)
    rows = []
    for size in sizes:
        pool = pool_of(size, prev)
        for name, objective, cons, bnds in all_mandates(pool):
            calls = []
            for _ in range(repeat):
                with warnings.catch_warnings(record=True) as caught, Timings() as t:
                    warnings.simplefilter("always", OptimizerWarning)
                    started = time.perf_counter()
                    portfolio_optimize(pool, DATE, objective, bnds=bnds, cons=cons, benchmark=INDEX)
                    total = time.perf_counter() - started
                main = [s for solver, s in t.solves if solver != cp.CLARABEL]
                polish = [s for solver, s in t.solves if solver == cp.CLARABEL]
                calls.append({"total": total, "main": sum(main), "verify": sum(t.measures),
                              "polish": sum(polish) if polish else None,
                              "warned": any("以下约束在求解后未能满足" in str(w.message) for w in caught)})
            polished = [c["polish"] for c in calls if c["polish"] is not None]
            main_solve = statistics.median(c["main"] for c in calls)
            verify = statistics.median(c["verify"] for c in calls)
            rows.append({
                "mandate": name, "n": size,
                "end_to_end": statistics.median(c["total"] for c in calls),
                "main_solve": main_solve,
                "verify": verify, "verify_share": verify / main_solve,
                "polish": statistics.median(polished) if polished else float("nan"),
                "polish_share": statistics.median(polished) / main_solve if polished else float("nan"),
                "polished": "{}/{}".format(len(polished), repeat),
                "warned": sum(c["warned"] for c in calls),
            })
            print(rows[-1], file=sys.stderr, flush=True)
    return pd.DataFrame(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="300,1000,5000")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    table = run([int(s) for s in args.sizes.split(",")], args.repeat)
    fmt = {"end_to_end": "{:.3f}", "main_solve": "{:.3f}", "verify": "{:.3f}", "verify_share": "{:.0%}",
           "polish": "{:.3f}", "polish_share": "{:.0%}"}
    print_markdown(table, fmt)


if __name__ == "__main__":
    main()
