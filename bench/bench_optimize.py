"""End-to-end timings of portfolio_optimize on the full demo market.

Run: ``.venv/bin/python bench/bench_optimize.py [--sizes 100,300,1000,3000]``

For each pool size and case the run is split into the driver's stages,
rebuilt here from the same public pieces the driver uses:

  filter   ensure_order_book_ids (instrument records, listing checks)
  context  OptimizeHelper and every member the objective reads
  build    objective expression and constraints (cvxpy objects)
  compile  cvxpy canonicalisation for the solver (get_problem_data)
  solve    the solver itself (solver_stats.solve_time)

plus `portfolio_optimize` timed end to end, once with the risk terms in
factor form and once with dense covariance matrices, and the largest weight
difference between the SCS result and a Clarabel reference solve.
"""
import argparse
import datetime
import sys
import time
import warnings

import cvxpy as cp
import numpy as np
import pandas as pd

import corvana
from verdalis import optimize
from verdalis.exception import OptimizerWarning
from verdalis.helper import OptimizeHelper
from verdalis.objective import (ActiveMeanVariance, MaxIndicator, MaxInformationRatio,
                                MaxSharpeRatio, MeanVariance, MinActiveVariance,
                                MinStyleDeviation, MinTrackingError, MinVariance, RiskParity)

DATE = datetime.date(2024, 6, 28)
INDEX = "000300.XSHG"


class DenseHelper:
    """The same context without its factor structure: risk terms go dense."""

    def __init__(self, *args):
        self._inner = OptimizeHelper(*args)

    def __getattr__(self, name):
        if name in ("get_factor_risk", "get_union_factor_risk"):
            raise AttributeError(name)
        return getattr(self._inner, name)


def pool_of(size, prev):
    """The `size` largest listed stocks by market value on `prev`."""
    listed = corvana.all_instruments(type="CS", date=prev)["order_book_id"].tolist()
    caps = corvana.get_factor(listed, "market_cap_3", prev, prev)["market_cap_3"]
    caps = caps.droplevel("date")
    return caps.sort_values(ascending=False).index[:size].tolist()


def cases(size, prev):
    pool = pool_of(size, prev)
    yield "MinVariance+bounds", pool, MinVariance(), {"*": (0.0, max(0.02, 2.0 / size))}, None
    yield "MinTrackingError", pool, MinTrackingError(), None, INDEX


def objective_cases(size, prev):
    pool = pool_of(size, prev)
    rng = np.random.default_rng(size)
    bnds = {"*": (0.0, max(0.02, 2.0 / size))}
    indicator = pd.Series(rng.normal(size=len(pool)), index=pool)
    yield "MinActiveVariance", pool, MinActiveVariance(), None, INDEX
    yield "MeanVariance", pool, MeanVariance(), bnds, None
    yield "ActiveMeanVariance", pool, ActiveMeanVariance(), bnds, INDEX
    yield "MaxSharpeRatio", pool, MaxSharpeRatio(), bnds, None
    yield "MaxInformationRatio", pool, MaxInformationRatio(), bnds, INDEX
    yield "MaxIndicator", pool, MaxIndicator(indicator), bnds, None
    yield "MinStyleDeviation", pool, MinStyleDeviation({"size": 0.5, "beta": 0.0}), bnds, None
    yield "RiskParity", pool, RiskParity(), None, None


def staged(pool, objective, bnds, benchmark, helper_cls):
    """Time the driver's stages; return (timings, weights)."""
    t = {}
    start = time.perf_counter()
    ids = optimize.ensure_order_book_ids(pool, DATE)
    t["filter"] = time.perf_counter() - start

    start = time.perf_counter()
    bench = optimize.IndexBenchmark(benchmark) if benchmark else None
    helper = helper_cls(ids, DATE, bench, optimize.CovModel.FACTOR_MODEL_DAILY,
                        optimize.RiskModel.V1, 1.0, 1.0)
    helper.get_cov_matrix() if helper_cls is DenseHelper else helper.get_factor_risk()
    if bench is not None:
        helper.benchmark_weight
        helper.get_union_cov_matrix() if helper_cls is DenseHelper else helper.get_union_factor_risk()
    t["context"] = time.perf_counter() - start

    start = time.perf_counter()
    n = len(ids)
    g = cp.Variable(n, nonneg=True)
    ratio = isinstance(objective, (MaxSharpeRatio, MaxInformationRatio))
    zeta = cp.Variable(nonneg=True) if ratio else (n if isinstance(objective, RiskParity) else 1.0)
    cons = [cp.sum(g) - zeta == 0]
    cons += list(objective.get_internal_constraints(g, zeta, helper))
    if bnds:
        lower, upper = optimize.parse_bnds(bnds, ids)
        cons += [g - zeta * lower >= 0, g - zeta * upper <= 0]
    expr = objective.get_objective_expr(g, zeta, helper)
    if isinstance(objective, RiskParity) and not bnds:
        cons = []
    problem = cp.Problem(cp.Minimize(expr), cons)
    t["build"] = time.perf_counter() - start

    start = time.perf_counter()
    problem.get_problem_data(cp.SCS)
    t["compile"] = time.perf_counter() - start
    problem.solve(solver=cp.SCS, max_iters=10000)
    t["solve"] = problem.solver_stats.solve_time or float("nan")
    t["status"] = problem.status
    return t, pd.Series(g.value / g.value.sum(), index=ids)


def end_to_end(pool, objective, bnds, benchmark, helper_cls, solver=None, **options):
    optimize.OptimizeHelper = helper_cls
    try:
        start = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", OptimizerWarning)
            weights = optimize.portfolio_optimize(pool, DATE, objective, bnds=bnds,
                                                  benchmark=benchmark, solver=solver, **options)
        return time.perf_counter() - start, weights
    finally:
        optimize.OptimizeHelper = OptimizeHelper


def run(sizes, dense_limit, with_objectives):
    corvana.connect()
    prev = corvana.get_previous_trading_date(DATE)
    rows = []
    for size in sizes:
        groups = list(cases(size, prev))
        if with_objectives and size in (300, 3000):
            groups += list(objective_cases(size, prev))
        for name, pool, objective, bnds, benchmark in groups:
            stages, _ = staged(pool, objective, bnds, benchmark, OptimizeHelper)
            total, weights = end_to_end(pool, objective, bnds, benchmark, OptimizeHelper)
            dense = float("nan")
            if size <= dense_limit and name in ("MinVariance+bounds", "MinTrackingError"):
                dense, _ = end_to_end(pool, objective, bnds, benchmark, DenseHelper)
            try:
                _, ref = end_to_end(pool, objective, bnds, benchmark, OptimizeHelper,
                                    solver=cp.CLARABEL)
                diff = float((weights - ref).abs().max())
            except Exception as exc:  # report, keep benchmarking
                diff = float("nan")
                print("clarabel reference failed for {} n={}: {}".format(name, size, exc),
                      file=sys.stderr)
            rows.append(dict(case=name, n=size, status=stages["status"],
                             filter=stages["filter"], context=stages["context"],
                             build=stages["build"], compile=stages["compile"],
                             solve=stages["solve"], end_to_end=total, dense_end_to_end=dense,
                             max_diff_vs_clarabel=diff))
            print(rows[-1], file=sys.stderr)
    return pd.DataFrame(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="100,300,1000,3000")
    parser.add_argument("--dense-limit", type=int, default=3000,
                        help="largest pool also solved with dense covariance")
    parser.add_argument("--no-objectives", action="store_true",
                        help="only the two core cases")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    table = run(sizes, args.dense_limit, not args.no_objectives)
    print(markdown(table))


def markdown(table):
    """The table as Markdown: seconds to 3 decimals, the difference in e-notation."""
    def cell(column, value):
        if isinstance(value, float):
            if np.isnan(value):
                return "-"
            return "{:.1e}".format(value) if column == "max_diff_vs_clarabel" else "{:.3f}".format(value)
        return str(value)

    lines = ["| " + " | ".join(table.columns) + " |",
             "|" + "---|" * len(table.columns)]
    for _, row in table.iterrows():
        lines.append("| " + " | ".join(cell(c, row[c]) for c in table.columns) + " |")
    return "\n".join(lines)


if __name__ == "__main__":
    main()
