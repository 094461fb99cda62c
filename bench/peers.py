"""verdalis against open-source peers, side by side, on the demo market.

Run: ``.venv/bin/pip install '.[bench]' && .venv/bin/python bench/peers.py [--sizes 300,1000,2000]``

Three problems, the same for every tool, over the n largest listed stocks on
2024-06-28 with the covariance of our risk model:

- ``min variance``: long-only minimum variance with a 5 % cap (or 2/n when
  5 % cannot reach 1);
- ``+ sector caps``: the same with every industry of the risk model at most
  10 % of the portfolio;
- ``tracking error``: minimum tracking error against the 300 index, the pool
  widened by the index's members, with the same cap.

The peers get the matrix (and the index weights) ready-made, so their times
exclude all data work; verdalis's time is `portfolio_optimize` end to end,
data included, once with its defaults and once with SCS's QDLDL linear-system
backend (`linear_solver="qdldl"`, a solver option passed through).  Every
result is compared with a Clarabel reference solve of the dense problem.
Median of `--repeat` warm runs.  A peer that is not installed is skipped.
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
from verdalis.benchmark import IndexBenchmark
from verdalis.const import CovModel, IndustryClassification, RiskModel
from verdalis.constraints import WildcardIndustryConstraint
from verdalis.helper import OptimizeHelper
from verdalis.objective import MinTrackingError, MinVariance
from verdalis.optimize import portfolio_optimize

from bench_optimize import pool_of  # the n largest listed stocks, as every bench uses

DATE = datetime.date(2024, 6, 28)
INDEX = "000300.XSHG"
SECTOR_CAP = 0.10
CLASSIFICATION = IndustryClassification.SWS


def timed(fn, repeat):
    fn()  # warm
    times, result = [], None
    for _ in range(repeat):
        started = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - started)
    return statistics.median(times), np.asarray(result, dtype=float)


class Case:
    """One problem: the pool, its covariance and, per tool, how to solve it."""

    def __init__(self, kind, size, prev):
        self.kind = kind
        pool = pool_of(size, prev)
        if kind == "tracking error":
            pool = pool + [i for i in corvana.index_components(INDEX, prev) if i not in set(pool)]
        self.pool = sorted(pool)
        self.cap = max(0.05, 2.0 / len(self.pool))
        benchmark = IndexBenchmark(INDEX) if kind == "tracking error" else None
        h = OptimizeHelper(self.pool, DATE, benchmark, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
        self.cov = pd.DataFrame(np.asarray(h.get_cov_matrix()), index=self.pool, columns=self.pool)
        self.bench = np.asarray(h.benchmark_weight)[:len(self.pool)] if benchmark is not None else None
        industry = h.get_industry_mapping(CLASSIFICATION)
        self.sectors = {} if kind != "+ sector caps" else {
            name: np.asarray(industry == name) for name in industry.unique() if name != "UNKNOWN"}

    def reference(self):
        w = cp.Variable(len(self.pool), nonneg=True)
        x = w - self.bench if self.bench is not None else w
        cons = [cp.sum(w) == 1, w <= self.cap] + [cp.sum(w[m]) <= SECTOR_CAP for m in self.sectors.values()]
        cp.Problem(cp.Minimize(cp.quad_form(x, cp.psd_wrap(self.cov.to_numpy()))), cons).solve(solver=cp.CLARABEL)
        return w.value

    def ours(self, **options):
        objective = MinTrackingError() if self.bench is not None else MinVariance()
        cons = [WildcardIndustryConstraint(upper_limit=SECTOR_CAP, classification=CLASSIFICATION)] \
            if self.sectors else None
        benchmark = INDEX if self.bench is not None else None
        return lambda: portfolio_optimize(self.pool, DATE, objective, bnds={"*": (0.0, self.cap)}, cons=cons,
                                          benchmark=benchmark, **options).to_numpy()


def pyportfolioopt(case):
    from pypfopt import EfficientFrontier, objective_functions

    mapper = {i: name for name, m in case.sectors.items() for i in np.asarray(case.pool)[m]}

    def solve():
        ef = EfficientFrontier(None, case.cov, weight_bounds=(0, case.cap))
        if case.sectors:
            ef.add_sector_constraints(mapper, {}, {name: SECTOR_CAP for name in case.sectors})
        if case.bench is not None:
            weights = ef.convex_objective(objective_functions.ex_ante_tracking_error,
                                          cov_matrix=case.cov, benchmark_weights=pd.Series(case.bench, case.pool))
        else:
            weights = ef.min_volatility()
        return [weights[k] for k in case.cov.index]
    return solve


def skfolio(case):
    from skfolio.optimization import BenchmarkTracker, MeanRisk, ObjectiveFunction

    returns = _returns_with_covariance(case.cov)
    groups = linear = None
    if case.sectors:
        labels = np.full(len(case.pool), "other", dtype=object)
        for name, m in case.sectors.items():
            labels[m] = name
        linear = ["sector_{} <= {}".format(k, SECTOR_CAP) for k in range(len(case.sectors))]
        renamed = {name: "sector_{}".format(k) for k, name in enumerate(case.sectors)}
        groups = [[renamed.get(x, "other") for x in labels]]  # one row of labels, one per asset

    def solve():
        if case.bench is not None:
            model = BenchmarkTracker(min_weights=0.0, max_weights=case.cap)
            model.fit(returns, returns.to_numpy() @ case.bench)
        else:
            model = MeanRisk(objective_function=ObjectiveFunction.MINIMIZE_RISK, min_weights=0.0,
                             max_weights=case.cap, groups=groups, linear_constraints=linear)
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
    parser.add_argument("--constrained-sizes", default="300,1000",
                        help="sizes of the sector-cap and tracking-error rows")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    prev = corvana.get_previous_trading_date(DATE)
    print("machine: {} cores, {}, {}; date {}".format(
        __import__("os").cpu_count(), platform.processor() or platform.machine(), platform.python_version(),
        datetime.date.today()))
    header = ["problem", "stocks", "verdalis", "verdalis (qdldl)"] + list(PEERS) + ["max |Δw| vs Clarabel"]
    print("| " + " | ".join(header) + " |\n|" + "---|" * len(header))
    rows = [("min variance", int(s)) for s in args.sizes.split(",")]
    rows += [(kind, int(s)) for kind in ("+ sector caps", "tracking error")
             for s in args.constrained_sizes.split(",") if s]
    for kind, size in rows:
        case = Case(kind, size, prev)
        ref = case.reference()
        cells, worst = [], 0.0
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            solvers = [case.ours(), case.ours(linear_solver="qdldl")] + [make(case) for make in PEERS.values()]
            for solve in solvers:
                try:
                    t, w = timed(solve, args.repeat)
                except ImportError:
                    cells.append("not installed")
                    continue
                cells.append("{:.3f} s".format(t))
                worst = max(worst, np.abs(w - ref).max())
        print("| {} | {} | {} | {:.1e} |".format(kind, len(case.pool), " | ".join(cells), worst), flush=True)


if __name__ == "__main__":
    main()
