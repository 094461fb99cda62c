"""Time of verdalis.diagnose against the optimization it explains.

Run: ``.venv/bin/python bench/bench_diagnose.py [--sizes 300,3000] [--repeat 3]``

Each case is a MinVariance problem against 000300.XSHG with about twenty
constraint groups (budget, bounds, tracking error, turnover, one industry
constraint per large industry, style limits, a pool limit).  The feasible
case is solvable; the infeasible one adds an industry cap that a pool-weight
floor contradicts.  `optimize` is one `portfolio_optimize` call (for the
infeasible case: until it raises), `diagnose` one `diagnose` call on the same
arguments; the ratio is the target's measure (at most 5 at 300 stocks).
"""
import argparse
import datetime
import time
import warnings

import numpy as np
import pandas as pd

import corvana
import verdalis.constraints as vc
from verdalis.diagnose import diagnose
from verdalis.exception import OptimizationFailed
from verdalis.objective import MinVariance
from verdalis.optimize import portfolio_optimize

from bench_optimize import pool_of  # the n largest listed stocks, as every bench uses

DATE = datetime.date(2024, 6, 28)
INDEX = "000300.XSHG"


def call(size, prev, infeasible):
    pool = pool_of(size, prev)
    industry = corvana.get_industry(pool, "sws").reindex(pool)
    big = industry.value_counts().index[:12].tolist()
    held = pd.Series(1.0 / 50, index=pool[:50])
    cons = [vc.TrackingErrorLimit(0.08), vc.TurnoverLimit(held, 0.6)]
    cons += [vc.IndustryConstraint(name, lower_limit=-0.05, upper_limit=0.05, relative=True)
             for name in big]
    cons += [vc.StyleConstraint(style, lower_limit=-0.5, upper_limit=0.5, relative=True)
             for style in ("size", "beta", "momentum")]
    members = list(industry[industry == big[0]].index)
    if infeasible:
        cons += [vc.IndustryConstraint(big[0], upper_limit=0.01),
                 vc.StockPoolLimit(members, lower_limit=0.2)]
    else:
        cons += [vc.StockPoolLimit(members, upper_limit=0.5)]
    cap = max(0.02, 3.0 / size)
    return pool, dict(objective=MinVariance(), bnds={"*": (0, cap)}, cons=cons, benchmark=INDEX)


def timed(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return float(np.median(times)), out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="300,3000")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    prev = corvana.get_previous_trading_date(DATE)
    print("| case | n | groups | optimize s | diagnose s | ratio | conflict |")
    print("|---|---|---|---|---|---|---|")
    for size in [int(s) for s in args.sizes.split(",")]:
        for infeasible in (False, True):
            pool, kwargs = call(size, prev, infeasible)

            def optimize():
                try:
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore")
                        return portfolio_optimize(pool, DATE, **kwargs)
                except OptimizationFailed:
                    return None

            optimize()  # warm the data caches
            t_opt, _ = timed(optimize, args.repeat)
            t_diag, d = timed(lambda: diagnose(pool, DATE, **kwargs), args.repeat)
            groups = 2 + len(kwargs["cons"])
            print("| {} | {} | {} | {:.3f} | {:.3f} | {:.1f} | {} |".format(
                "infeasible" if infeasible else "feasible", size, groups, t_opt, t_diag,
                t_diag / t_opt, len(d.conflict)))


if __name__ == "__main__":
    main()
