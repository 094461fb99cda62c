"""Backtest and sweep timings on the full demo market.

Run: ``.venv/bin/python bench/bench_backtest.py [--months 24] [--points 6]``

Times 24 monthly rebalances of the index-enhancement mandate in
``bench/backtest_mandate.toml`` (the 300 index's members, the full constraint
set), then a sweep over the turnover limit on local processes against the
same points run one after another in this process (``max_workers=1``).  The
24 rebalances run twice: as the mandate is written, and with SCS's QDLDL
linear-system backend (``[solver] linear_solver = "qdldl"``).  Every timed run
starts with the store's caches emptied, as a fresh process would.
"""
import argparse
import time
from pathlib import Path

import pandas as pd

import corvana
from verdalis import backtest, config

HERE = Path(__file__).resolve().parent


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--months", type=int, default=24)
    parser.add_argument("--points", type=int, default=6)
    parser.add_argument("--sweep-months", type=int, default=6)
    args = parser.parse_args()
    mandate = config.load(HERE / "backtest_mandate.toml")
    end = pd.Timestamp("2024-12-31")
    start = (end - pd.DateOffset(months=args.months) + pd.Timedelta(days=1)).date()

    cold = corvana.client.current().reset
    cold()
    started = time.perf_counter()
    result = backtest.run(mandate, start, end.date(), "monthly", cost_bps=10, progress=False)
    took = time.perf_counter() - started
    n = len(result.rebalances)
    print("| measure | value |\n|---|---|")
    print("| rebalances | {} ({} .. {}) |".format(n, result.rebalances.index[0].date(), end.date()))
    print("| backtest total | {:.1f} s |".format(took))
    print("| per rebalance | {:.2f} s |".format(took / n))
    s = result.summary
    print("| realised / ex-ante tracking error | {:.2%} / {:.2%} |".format(s["tracking_error"],
                                                                        s["ex_ante_tracking_error"]))
    print("| average turnover | {:.1%} |".format(s["average_turnover"]))
    print("| infeasible dates | {} |".format(int(s["infeasible_dates"])))

    raw = mandate.to_dict()
    raw["solver"] = dict(raw.get("solver", {}), linear_solver="qdldl")
    cold()
    started = time.perf_counter()
    backtest.run(config.validate(raw, "bench", None), start, end.date(), "monthly", cost_bps=10, progress=False)
    took = time.perf_counter() - started
    print("| backtest total, linear_solver = \"qdldl\" | {:.1f} s ({:.2f} s a rebalance) |".format(took, took / n))

    if args.points == 0:
        return
    grid = {"constraints[3].upper_limit": [0.1 + 0.05 * k for k in range(args.points)]}
    sweep_start = (end - pd.DateOffset(months=args.sweep_months) + pd.Timedelta(days=1)).date()
    cold()
    started = time.perf_counter()
    backtest.sweep(mandate, grid, sweep_start, end.date())
    parallel = time.perf_counter() - started
    cold()
    started = time.perf_counter()
    backtest.sweep(mandate, grid, sweep_start, end.date(), max_workers=1)
    serial = time.perf_counter() - started
    print("| sweep, {} points x {} months, local processes | {:.1f} s |".format(args.points, args.sweep_months,
                                                                              parallel))
    print("| the same points one after another in this process (`max_workers=1`) | {:.1f} s |".format(serial))


if __name__ == "__main__":
    main()
