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

``--frontier-sizes``: the 20-point efficient frontier of the sector-capped
mandate (the same cap and 10 % industry caps), expected returns the one-year
history estimate handed to every tool: verdalis's `frontier` (the problem
compiled once, the risk limit a parameter), PyPortfolioOpt's
`efficient_risk` at each of verdalis's 20 risk levels (a new problem each
time, its first point `min_volatility`), skfolio's `MeanRisk` with
`efficient_frontier_size=20`.  Beside them: one `portfolio_optimize` of the
same mandate (mean-variance) and the ratio of the frontier to it.

``--backtest``: see `backtest_rows` (cvxportfolio's `MarketSimulator`
beside `verdalis.backtest.run`).
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


def once(fn):
    started = time.perf_counter()
    result = fn()
    return time.perf_counter() - started, np.asarray(result, dtype=float)


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


# ------------------------------------------------------------------ frontier

POINTS = 20


class FrontierCase:
    """The sector-capped mandate of `Case`, with expected returns."""

    def __init__(self, size, prev):
        from verdalis.objective import MeanVariance

        self.case = Case("+ sector caps", size, prev)
        estimator = MeanVariance()
        portfolio_optimize(self.case.pool, DATE, estimator, bnds={"*": (0.0, self.case.cap)})
        self.mu = pd.Series(estimator._expected_returns).reindex(self.case.pool)
        self.levels = None

    def arguments(self):
        from verdalis.objective import MeanVariance

        return dict(objective=MeanVariance(expected_returns=self.mu), bnds={"*": (0.0, self.case.cap)},
                    cons=[WildcardIndustryConstraint(upper_limit=SECTOR_CAP, classification=CLASSIFICATION)])

    def ours(self):
        from verdalis.frontier import frontier

        def solve():
            f = frontier(self.case.pool, DATE, points=POINTS, mandate=False, **self.arguments())
            self.levels = f.risk
            return f.weights.to_numpy()
        return solve

    def one(self):
        return lambda: portfolio_optimize(self.case.pool, DATE, **self.arguments()).to_numpy()


def pyportfolioopt_frontier(fc):
    from pypfopt import EfficientFrontier

    case = fc.case
    mapper = {i: name for name, m in case.sectors.items() for i in np.asarray(case.pool)[m]}

    def point(level):
        ef = EfficientFrontier(fc.mu, case.cov, weight_bounds=(0, case.cap))
        ef.add_sector_constraints(mapper, {}, {name: SECTOR_CAP for name in case.sectors})
        weights = ef.min_volatility() if level is None else ef.efficient_risk(level)
        return [weights[k] for k in case.cov.index]

    def solve():
        return [point(None)] + [point(level) for level in fc.levels[1:]]
    return solve


def skfolio_frontier(fc):
    from skfolio.optimization import MeanRisk, ObjectiveFunction

    case = fc.case
    returns = _returns_with_covariance(case.cov) + fc.mu.to_numpy()  # mean mu, covariance cov
    labels = np.full(len(case.pool), "other", dtype=object)
    for name, m in case.sectors.items():
        labels[m] = name
    renamed = {name: "sector_{}".format(k) for k, name in enumerate(case.sectors)}
    groups = [[renamed.get(x, "other") for x in labels]]
    linear = ["sector_{} <= {}".format(k, SECTOR_CAP) for k in range(len(case.sectors))]

    def solve():
        model = MeanRisk(objective_function=ObjectiveFunction.MINIMIZE_RISK, min_weights=0.0,
                         max_weights=case.cap, groups=groups, linear_constraints=linear,
                         efficient_frontier_size=POINTS)
        model.fit(returns)
        return model.weights_
    return solve


def frontier_rows(sizes, repeat, prev):
    header = ["stocks", "verdalis frontier", "one optimization", "ratio", "PyPortfolioOpt", "skfolio",
              "max |Δw| PyPortfolioOpt", "least-risk |Δw| skfolio"]
    print("\n20-point efficient frontier, sector caps\n")
    print("| " + " | ".join(header) + " |\n|" + "---|" * len(header))
    for size in sizes:
        fc = FrontierCase(size, prev)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            t_ours, w_ours = timed(fc.ours(), repeat)
            t_one, _ = timed(fc.one(), repeat)
            cells = ["{:.3f} s".format(t_ours), "{:.3f} s".format(t_one), "{:.1f}x".format(t_ours / t_one)]
            diffs = []
            for make, compare in ((pyportfolioopt_frontier, "all"), (skfolio_frontier, "ends")):
                try:
                    t, w = once(make(fc))  # a peer's 20 points take long: one cold run
                except ImportError:
                    cells.append("not installed")
                    diffs.append("-")
                    continue
                cells.append("{:.3f} s".format(t))
                if compare == "all":
                    diffs.append("{:.1e}".format(np.abs(w - w_ours).max()))
                else:  # skfolio spaces its points its own way: its least-risk end
                    diffs.append("{:.1e}".format(np.abs(w[0] - w_ours[0]).max()))
        print("| {} | {} | {} |".format(size, " | ".join(cells), " | ".join(diffs)), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="300,1000,2000")
    parser.add_argument("--constrained-sizes", default="300,1000",
                        help="sizes of the sector-cap and tracking-error rows")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--frontier-sizes", default="300,1000", help="sizes of the frontier rows ('' for none)")
    parser.add_argument("--backtest", action="store_true", help="also the backtest beside cvxportfolio")
    parser.add_argument("--only", choices=["single", "frontier", "backtest"], default=None)
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
    for kind, size in rows if args.only in (None, "single") else []:
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
    if args.frontier_sizes and args.only in (None, "frontier"):
        frontier_rows([int(s) for s in args.frontier_sizes.split(",")], args.repeat, prev)
    if args.backtest or args.only == "backtest":
        backtest_rows(args.repeat)



# ------------------------------------------------------------------ backtest

BACKTEST_STOCKS = 300
BACKTEST_END = datetime.date(2024, 12, 31)
BACKTEST_MONTHS = 24


def backtest_market(prev_start, history_start, end):
    """The demo market as user-provided data: daily total returns, volumes and
    closes of the 300 largest stocks (on the first data date) that trade
    through the whole period (a peer's simulator needs a return every day),
    plus a cash column."""
    pool = pool_of(BACKTEST_STOCKS + 60, prev_start)
    rates = corvana.get_price_change_rate(pool, history_start, end)
    complete = [s for s in pool if rates[s].notna().all()][:BACKTEST_STOCKS]
    rates = rates[complete]
    bars = corvana.get_price(complete, history_start, end, fields=["close", "volume"], adjust_type="none")
    close = bars["close"].unstack("order_book_id").reindex(columns=complete)
    volume = bars["volume"].unstack("order_book_id").reindex(columns=complete)
    index = pd.to_datetime(rates.index)
    returns = rates.set_axis(index).fillna(0.0)
    returns["cash"] = 0.0
    close.index = volume.index = pd.to_datetime(close.index)
    return sorted(complete), returns, volume.reindex(index).fillna(0.0), close.reindex(index).ffill()


def factor_model(pool, times):
    """Our risk model at each trading time (as of the day before it), in the
    peer's time-indexed form: exposures (time, factor) x stocks, factor
    covariance (time, factor) x factor, specific variance time x stocks."""
    exposures, covariances, specific = {}, {}, {}
    for t in times:
        h = OptimizeHelper(pool, t.date(), None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
        X, F = h.get_factor_model()
        exposures[t] = X.T
        covariances[t] = F
        specific[t] = pd.Series(np.asarray(h.get_factor_risk()[1]), index=pool)
    return (pd.concat(exposures), pd.concat(covariances), pd.DataFrame(specific).T)


def backtest_rows(repeat):
    """24 monthly rebalances of a 300-stock minimum-variance mandate (long-only,
    fully invested, 5 % cap, no costs): verdalis.backtest.run beside a peer's
    MarketSimulator with a single-period-optimization policy, on the same
    demo-market returns and the same factor model."""
    from verdalis import backtest, config

    end = BACKTEST_END
    start = (pd.Timestamp(end) - pd.DateOffset(months=BACKTEST_MONTHS) + pd.Timedelta(days=1)).date()
    dates = backtest.rebalance_dates(start, end, "monthly")
    prev_start = corvana.get_previous_trading_date(dates[0])
    # the peer's policy reads the returns before each trading time: a quarter
    # of history before the first
    history_start = corvana.get_trading_dates(prev_start - datetime.timedelta(days=120), prev_start)[0]
    pool, returns, volumes, prices = backtest_market(prev_start, history_start, end)
    cap = 0.05
    mandate = config.validate({"date": dates[0], "pool": {"ids": pool}, "objective": {"type": "MinVariance"},
                                "bounds": {"*": [0.0, cap]}}, "bench", None)
    print("\nBacktest: {} monthly rebalances {} .. {}, {} stocks, minimum variance, cap {:.0%}, no costs\n"
          .format(len(dates), dates[0], end, len(pool), cap))
    rows = []
    started = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ours = backtest.run(mandate, start, end, "monthly", progress=False)
    took = time.perf_counter() - started
    rows.append(("verdalis.backtest.run", took, took / len(dates), ours.nav["portfolio"]))
    try:
        peer = cvxportfolio_backtest(pool, returns, volumes, prices, dates, cap)
    except ImportError:
        peer = None
        print("cvxportfolio is not installed")
    if peer is not None:
        rows.append(peer[:4])
    ours_nav = rows[0][3]
    times = rows[1][3].index if len(rows) > 1 else ours_nav.index
    # the peer's value at a trading time is the book before that day's
    # trades: ours at the close of the day before
    ours_then = pd.Series([ours_nav.asof(t - pd.Timedelta(days=1)) for t in times], index=times)
    print("| tool | total | per period | NAV on {} | largest |Δ NAV| at the peer's trading times |".format(
        times[-1].date()))
    print("|---|---|---|---|---|")
    for k, (name, total, per, nav) in enumerate(rows):
        nav = ours_then if k == 0 else nav
        gap = float(np.abs(nav / nav.iloc[0] - ours_then / ours_then.iloc[0]).max())
        print("| {} | {:.2f} s | {:.3f} s | {:.4f} | {:.1e} |".format(name, total, per, nav.iloc[-1] / nav.iloc[0], gap))
    if peer is not None:
        w_peer = peer[4]
        common = w_peer.index.intersection(pd.to_datetime(ours.weights.index))
        ours_w = ours.weights.set_axis(pd.to_datetime(ours.weights.index)).reindex(columns=pool).fillna(0.0)
        if len(common):
            dw = float((w_peer.reindex(common)[pool] - ours_w.reindex(common)).abs().max().max())
            print("\nlargest |Δw| between the two books at {} common rebalance dates: {:.1e}".format(len(common), dw))


def cvxportfolio_backtest(pool, returns, volumes, prices, dates, cap):
    import cvxportfolio as cvx

    times = [pd.Timestamp(d) for d in dates]
    data = cvx.UserProvidedMarketData(returns=returns, volumes=volumes, prices=prices, cash_key="cash",
                                      min_history=pd.Timedelta(0), trading_frequency="monthly")
    simulator = cvx.MarketSimulator(market_data=data)
    calendar = data.trading_calendar(times[0] - pd.Timedelta(days=7), pd.Timestamp(BACKTEST_END))
    calendar = [t for t in calendar if t >= times[0] - pd.Timedelta(days=7)]
    prepared = time.perf_counter()
    exposures, factor_cov, specific = factor_model(pool, list(calendar))
    print("(the peer's factor model, read through verdalis's helper for {} dates and handed over "
          "ready-made: {:.2f} s, outside its time)".format(len(calendar), time.perf_counter() - prepared))
    risk = cvx.FactorModelCovariance(F=exposures, d=specific, Sigma_F=factor_cov)
    policy = cvx.SinglePeriodOptimization(-risk, [cvx.LongOnly(), cvx.NoCash(), cvx.MaxWeights(cap)],
                                          include_cash_return=False, solver="SCS")
    started = time.perf_counter()
    result = simulator.backtest(policy, start_time=calendar[0], end_time=pd.Timestamp(BACKTEST_END))
    took = time.perf_counter() - started
    periods = len(result.policy_times)
    return ("cvxportfolio MarketSimulator", took, took / max(periods, 1), result.v, result.w_plus)


if __name__ == "__main__":
    main()
