"""Constrained mandates end to end on the full demo market.

Run: ``.venv/bin/python bench/bench_constraints.py [--sizes 300,1000,3000] [--repeat 3]``

`MinTrackingError` against 000300.XSHG over the n largest listed stocks, with

  index    TrackingErrorLimit(0.05), relative wildcard industries ±2 %,
           relative wildcard styles ±0.2 (an index-enhancement mandate);
  rebal    the same plus TurnoverLimit(h, 0.3) and
           TransactionVolumeLimit(upper_limit=0.1) on a 1e9 book, h the
           unconstrained MinTrackingError portfolio of the previous month.

Columns: `end_to_end` is the median wall time of `portfolio_optimize`;
`compile` and `solve` are cvxpy's compilation and the solver's own time in
that call (read off the problem the driver solves); `max_violation` is the
largest excess of any limit over its bound after the solve, each in its own
units (industry weight, style exposure, tracking error a year, turnover), as
the report measures them.  ``--option linear_solver=qdldl`` passes a solver
option through `portfolio_optimize` (here: SCS's QDLDL linear-system backend).
"""
import argparse
import datetime
import statistics
import sys
import time
import warnings

import cvxpy as cp
import numpy as np
import pandas as pd

import corvana
from verdalis.benchmark import IndexBenchmark
from verdalis.constraints import (TrackingErrorLimit, TransactionVolumeLimit, TurnoverLimit,
                                  WildcardIndustryConstraint, wildcard_style_constraint)
from verdalis.exception import OptimizerWarning
from verdalis.objective import MinTrackingError
from verdalis.optimize import portfolio_optimize
from verdalis.report import analyse

from bench_optimize import pool_of  # the n largest listed stocks, as every bench uses

DATE = datetime.date(2024, 6, 28)
BEFORE = datetime.date(2024, 5, 31)
INDEX = "000300.XSHG"
BOOK = 1e9


class SolveTimes:
    """Records each solve while active: cvxpy's compilation, the solver's set-up
    and iterations (its own figures) and the wall time of `problem.solve`."""

    def __enter__(self):
        self.records = []
        self._solve = cp.Problem.solve
        records = self.records

        def solve(problem, *args, **kwargs):
            started = time.perf_counter()
            result = self._solve(problem, *args, **kwargs)
            stats = problem.solver_stats
            records.append({"compile": problem.compilation_time or 0.0, "setup": stats.setup_time or 0.0,
                            "iterate": stats.solve_time or 0.0, "solve": time.perf_counter() - started})
            return result

        cp.Problem.solve = solve
        return self

    def __exit__(self, *exc):
        cp.Problem.solve = self._solve


def mandates(pool):
    index = [TrackingErrorLimit(0.05),
             WildcardIndustryConstraint(lower_limit=-0.02, upper_limit=0.02, relative=True),
             wildcard_style_constraint(lower_limit=-0.2, upper_limit=0.2, relative=True)]
    yield "index", index
    # last month's book: the unconstrained tracking portfolio, in weights and in shares
    prev = corvana.get_previous_trading_date(BEFORE)
    held = portfolio_optimize(pool, BEFORE, MinTrackingError(), benchmark=INDEX)
    held = held[held > 1e-6]
    close = corvana.get_price(list(held.index), prev, prev, fields="close", adjust_type="none")["close"]
    shares = (held * BOOK / close.droplevel("date")).round(-2)
    yield "rebal", index + [TurnoverLimit(held, 0.3),
                            TransactionVolumeLimit(upper_limit=0.1, current_holding=shares, window=20)]


def max_violation(weights, cons):
    report = analyse(weights, DATE, IndexBenchmark(INDEX), cons=cons)
    limits = report.limits
    excess = np.fmax(limits["lower"] - limits["value"], limits["value"] - limits["upper"])
    return float(np.nanmax(np.r_[excess.to_numpy(dtype=float), 0.0]))


def run(sizes, repeat, options=None):
    prev = corvana.get_previous_trading_date(DATE)
    rows = []
    for size in sizes:
        pool = pool_of(size, prev)
        for name, cons in mandates(pool):
            times, weights = [], None
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", OptimizerWarning)
                with SolveTimes() as solves:
                    for _ in range(repeat):
                        started = time.perf_counter()
                        weights = portfolio_optimize(pool, DATE, MinTrackingError(), cons=cons, benchmark=INDEX,
                                                     **(options or {}))
                        times.append(time.perf_counter() - started)
            last = solves.records[-1]
            compile_time, solve_time = last["compile"], last["iterate"]
            rows.append({"mandate": name, "n": size, "constraints": len(cons), "solves": len(solves.records) // repeat,
                         "compile": compile_time, "solve": solve_time,
                         "end_to_end": statistics.median(times),
                         "max_violation": max_violation(weights, cons)})
            print(rows[-1], file=sys.stderr, flush=True)
    return pd.DataFrame(rows)


def print_markdown(table, fmt):
    """`table` as a Markdown table, columns named in `fmt` formatted by it."""
    print("| " + " | ".join(table.columns) + " |")
    print("|" + "---|" * len(table.columns))
    for row in table.itertuples(index=False):
        cells = [fmt[c].format(v) if c in fmt else str(v) for c, v in zip(table.columns, row)]
        print("| " + " | ".join(cells) + " |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="300,1000,3000")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--option", action="append", default=[], metavar="KEY=VALUE",
                        help="a solver option passed through, e.g. linear_solver=qdldl")
    args = parser.parse_args()
    options = dict(o.split("=", 1) for o in args.option)
    table = run([int(s) for s in args.sizes.split(",")], args.repeat, options)
    fmt = {"compile": "{:.3f}", "solve": "{:.3f}", "end_to_end": "{:.3f}", "max_violation": "{:.1e}"}
    print_markdown(table, fmt)


if __name__ == "__main__":
    main()
