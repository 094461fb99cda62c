"""verdalis against open-source peers, side by side, on the demo market.

Run: ``.venv/bin/pip install '.[bench]' && .venv/bin/python bench/peers.py [--sizes 300,1000,2000]``

The same problem for every tool: long-only minimum variance with a 5 % cap
(or 2/n when 5 % cannot reach 1) over the n largest listed stocks on
2024-06-28, with the covariance of our risk model. The peers get that matrix
ready-made (their times exclude all data work); verdalis's time is
`portfolio_optimize` end to end, data included. Every result is compared with
a Clarabel reference solve of the dense problem. Median of `--repeat` warm
runs. A peer that is not installed is skipped.
"""
import argparse
import datetime
import platform
import statistics
import time
import warnings

import cvxpy as cp
import numpy as np
import pandas as pd

import corvana
from verdalis.const import CovModel, RiskModel
from verdalis.helper import OptimizeHelper
from verdalis.objective import MinVariance
from verdalis.optimize import portfolio_optimize

from bench_optimize import pool_of  # the n largest listed stocks, as every bench uses

DATE = datetime.date(2024, 6, 28)


def timed(fn, repeat):
    fn()  # warm
    times, result = [], None
    for _ in range(repeat):
        started = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - started)
    return statistics.median(times), np.asarray(result, dtype=float)


def reference(cov, cap):
    w = cp.Variable(cov.shape[0], nonneg=True)
    cp.Problem(cp.Minimize(cp.quad_form(w, cp.psd_wrap(cov))), [cp.sum(w) == 1, w <= cap]).solve(
        solver=cp.CLARABEL)
    return w.value


def ours(pool, cap):
    return lambda: portfolio_optimize(pool, DATE, MinVariance(), bnds={"*": (0.0, cap)}).to_numpy()


def pyportfolioopt(cov, cap):
    from pypfopt import EfficientFrontier

    def solve():
        ef = EfficientFrontier(None, cov, weight_bounds=(0, cap))
        weights = ef.min_volatility()
        return [weights[k] for k in cov.index]
    return solve


def skfolio(cov, cap):
    from skfolio.optimization import MeanRisk, ObjectiveFunction

    returns = _returns_with_covariance(cov)

    def solve():
        model = MeanRisk(objective_function=ObjectiveFunction.MINIMIZE_RISK, min_weights=0.0, max_weights=cap)
        model.fit(returns)
        return model.weights_
    return solve


def _returns_with_covariance(cov):
    """Returns whose sample covariance is exactly `cov`: skfolio estimates its
    covariance from returns, so this hands it the same matrix (its time then
    includes that estimate, small next to its solve)."""
    n = cov.shape[0]
    z = np.random.default_rng(0).standard_normal((n + 50, n))
    z -= z.mean(axis=0)
    whiten = np.linalg.cholesky(np.cov(z, rowvar=False))
    white = np.linalg.solve(whiten, z.T).T          # sample covariance I
    x = white @ np.linalg.cholesky(cov.to_numpy() + 1e-12 * np.eye(n)).T
    return pd.DataFrame(x, columns=cov.index)


PEERS = {"PyPortfolioOpt": pyportfolioopt, "skfolio": skfolio}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="300,1000,2000")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    prev = corvana.get_previous_trading_date(DATE)
    print("machine: {} cores, {}, {}; date {}".format(
        __import__("os").cpu_count(), platform.processor() or platform.machine(), platform.python_version(),
        datetime.date.today()))
    header = ["stocks", "verdalis"] + list(PEERS) + ["max |Δw| vs Clarabel"]
    print("| " + " | ".join(header) + " |\n|" + "---|" * len(header))
    for size in [int(s) for s in args.sizes.split(",")]:
        pool = sorted(pool_of(size, prev))
        cap = max(0.05, 2.0 / size)
        h = OptimizeHelper(pool, DATE, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
        cov = pd.DataFrame(np.asarray(h.get_cov_matrix()), index=pool, columns=pool)
        ref = reference(cov.to_numpy(), cap)
        cells, worst = [], 0.0
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            t, w = timed(ours(pool, cap), args.repeat)
            cells.append("{:.3f} s".format(t))
            worst = max(worst, np.abs(w - ref).max())
            for name, make in PEERS.items():
                try:
                    t, w = timed(make(cov, cap), args.repeat)
                except ImportError:
                    cells.append("not installed")
                    continue
                cells.append("{:.3f} s".format(t))
                worst = max(worst, np.abs(w - ref).max())
        print("| {} | {} | {:.1e} |".format(size, " | ".join(cells), worst), flush=True)


if __name__ == "__main__":
    main()
