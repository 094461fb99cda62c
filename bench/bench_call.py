"""Where a warm `portfolio_optimize` call spends its time.

Run: ``.venv/bin/python bench/bench_call.py [--sizes 300,1000] [--repeat 9]``

Long-only minimum variance with a 5 % cap over the n largest listed stocks on
2024-06-28 (the peers' problem), called repeatedly in one process; medians.
Columns, in milliseconds:

- ``data``: filtering the pool and building the risk model for it (what the
  driver's `OptimizeHelper` reads), timed on its own;
- ``assembly``: the rest of the call outside the solve: the objective's and
  the bounds' cvxpy expressions, the problem, the weights afterwards;
- ``compile``: cvxpy's canonicalisation for SCS;
- ``setup`` and ``iterate``: SCS's set-up (its linear-system factorisation)
  and its iterations;
- ``total``: the whole call.

Each size runs with SCS's default linear-system backend and with QDLDL
(``linear_solver="qdldl"``).
"""
import argparse
import datetime
import statistics
import time
import warnings

import corvana
from verdalis.const import CovModel, RiskModel
from verdalis.helper import OptimizeHelper
from verdalis.objective import MinVariance
from verdalis.optimize import ensure_order_book_ids, portfolio_optimize

from bench_constraints import SolveTimes
from bench_optimize import pool_of  # the n largest listed stocks, as every bench uses

DATE = datetime.date(2024, 6, 28)


def median_ms(samples, key):
    return 1000 * statistics.median(s[key] for s in samples)


def split(pool, cap, repeat, **options):
    def call():
        return portfolio_optimize(pool, DATE, MinVariance(), bnds={"*": (0.0, cap)}, **options)

    def data():
        ids = ensure_order_book_ids(pool, DATE)
        OptimizeHelper(ids, DATE, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0).get_factor_risk()

    call(), data()  # warm
    samples = []
    for _ in range(repeat):
        with SolveTimes() as solves:
            started = time.perf_counter()
            call()
            total = time.perf_counter() - started
        started = time.perf_counter()
        data()
        samples.append(dict(solves.records[-1], total=total, data=time.perf_counter() - started))
    row = {k: median_ms(samples, k) for k in ("data", "compile", "setup", "iterate", "total")}
    row["assembly"] = median_ms(samples, "total") - median_ms(samples, "solve") - row["data"]
    return row


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="300,1000")
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args()
    prev = corvana.get_previous_trading_date(DATE)
    columns = ["data", "assembly", "compile", "setup", "iterate", "total"]
    print("| stocks | SCS backend | " + " | ".join(columns) + " |\n|" + "---|" * (len(columns) + 2))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for size in [int(s) for s in args.sizes.split(",")]:
            pool = sorted(pool_of(size, prev))
            cap = max(0.05, 2.0 / size)
            for label, options in (("default", {}), ("qdldl", {"linear_solver": "qdldl"})):
                row = split(pool, cap, args.repeat, **options)
                print("| {} | {} | {} |".format(size, label, " | ".join("{:.1f}".format(row[c]) for c in columns)),
                      flush=True)


if __name__ == "__main__":
    main()
