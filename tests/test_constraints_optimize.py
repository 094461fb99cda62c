"""Constraints solved end to end by portfolio_optimize on the small market.

Each limit is checked after the solve in its own units (industry weight, style
exposure, tracking error from the dense covariance, turnover, ...), shown to
bind (the unconstrained portfolio breaks it), and the weights compared with an
independent Clarabel solve of the same problem written from the raw data.
"""
import datetime
import warnings

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import corvana
import verdalis.constraints as vc
from verdalis.benchmark import IndexBenchmark
from verdalis.const import CovModel, RiskModel
from verdalis.exception import OptimizationFailed, OptimizerWarning
from verdalis.helper import OptimizeHelper
from verdalis.objective import MaxSharpeRatio, MinVariance
from verdalis.optimize import portfolio_optimize

INDEX = "000300.XSHG"
DATE = datetime.date(2021, 6, 15)
TOL = 2e-4  # SCS accuracy, in each limit's own units


class Market:
    """Raw data of the test pool, read independently of the constraint classes."""

    def __init__(self, pool):
        self.pool = pool
        h = OptimizeHelper(pool, DATE, IndexBenchmark(INDEX), CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
        self.cov = np.asarray(h.get_cov_matrix())
        self.union_cov = np.asarray(h.get_union_cov_matrix())
        self.bench = h.benchmark_weight.to_numpy()
        self.members = np.isin(pool, h.benchmark_components)
        self.industry = corvana.get_industry(pool, "sws").reindex(pool).to_numpy()
        self.bench_industry = pd.Series(h.benchmark_weight.to_numpy()).groupby(
            corvana.get_industry(h.union_components, "sws").reindex(h.union_components).to_numpy()).sum()
        self.exposure = corvana.get_risk_exposure(pool, h.prev_trading_date)
        self.bench_style = h.get_benchmark_style()
        self.index_members = np.isin(pool, corvana.index_components(INDEX, h.prev_trading_date))

    def active(self, w):
        n = len(self.pool)
        pad = np.zeros(len(self.bench) - n)
        return (cp.hstack([w, pad]) if isinstance(w, cp.Expression) else np.r_[w, pad]) - self.bench

    def te(self, w):
        a = self.active(w)
        return cp.quad_form(a, self.union_cov) if isinstance(w, cp.Expression) else np.sqrt(a @ self.union_cov @ a)

    def share(self, w, mask):
        return w @ mask.astype(float)


@pytest.fixture(scope="module")
def market(small_market):
    prev = corvana.get_previous_trading_date(DATE)
    stocks = corvana.all_instruments(type="CS", date=prev)
    seasoned = stocks.loc[stocks["listed_date"] < "2020-01-01", "order_book_id"].tolist()
    covered = corvana.get_risk_exposure(seasoned, prev).index.tolist()
    return Market(sorted(covered)[:30])


def top_industry(m):
    return pd.Series(m.industry).value_counts().index[0]


# (constraint, needs the benchmark, the limit's excess over its bound in own units, the same in cvxpy)
def _cases():
    def industry(m):
        ind = top_industry(m)
        return vc.IndustryConstraint(ind, upper_limit=0.05), lambda w: [m.share(w, m.industry == ind) - 0.05]

    def industry_relative(m):
        ind = top_industry(m)
        b = m.bench_industry.get(ind, 0.0)
        return (vc.IndustryConstraint(ind, lower_limit="+60%", upper_limit=0.6, relative=True),
                lambda w: [b * 1.6 - m.share(w, m.industry == ind), m.share(w, m.industry == ind) - (b + 0.6)])

    def wildcard(m):
        inds = [i for i in pd.unique(m.industry) if i != "UNKNOWN"]
        return (vc.WildcardIndustryConstraint(upper_limit=0.08),
                lambda w: [m.share(w, m.industry == i) - 0.08 for i in inds])

    def component(m):
        ind = top_industry(m)
        mask = m.industry == ind
        return (vc.IndustryComponentLimit(ind, upper_limit=0.3),
                lambda w: [w[i] - 0.3 * m.share(w, mask) for i in np.nonzero(mask)[0]])

    def style(m):
        x = m.exposure["size"].to_numpy()
        return vc.StyleConstraint("size", upper_limit=0.2), lambda w: [w @ x - 0.2]

    def style_relative(m):
        x = m.exposure[["beta", "momentum"]].to_numpy()
        b = m.bench_style[["beta", "momentum"]].to_numpy()
        return (vc.StyleConstraint(["beta", "momentum"], lower_limit=-0.05, upper_limit=0.05, relative=True),
                lambda w: [v for k in range(2) for v in (b[k] - 0.05 - w @ x[:, k], w @ x[:, k] - b[k] - 0.05)])

    def tracking_error(m):
        return vc.TrackingErrorLimit(0.1), lambda w: [m.te(w) - (0.1 ** 2 if isinstance(w, cp.Expression) else 0.1)]

    def component_weight(m):
        return vc.BenchmarkComponentWeightLimit(0.5), lambda w: [0.5 - m.share(w, m.members)]

    def stock_pool(m):
        chosen = m.pool[::3]
        mask = np.isin(m.pool, chosen)
        return vc.StockPoolLimit(chosen, lower_limit=0.7), lambda w: [0.7 - m.share(w, mask)]

    def index_component(m):
        return vc.IndexComponentLimit(INDEX, upper_limit=0.02), lambda w: [m.share(w, m.index_members) - 0.02]

    def turnover(m):
        # yesterday's book: the first eight stocks equally, plus one held stock outside the pool
        h = pd.Series(0.1, index=m.pool[:8] + ["OUTSIDE.XSHE"]).iloc[:-1]
        h = pd.concat([h, pd.Series({"OUTSIDE.XSHE": 0.2})])
        current = h.reindex(m.pool, fill_value=0.0).to_numpy()

        def excess(w):
            l1 = cp.norm1(w - current) if isinstance(w, cp.Expression) else np.abs(w - current).sum()
            return [(l1 + 0.2) / 2 - 0.3]
        return vc.TurnoverLimit(h, 0.3), excess

    return [industry, industry_relative, wildcard, component, style, style_relative, tracking_error,
            component_weight, stock_pool, index_component, turnover]


CASES = _cases()


def solve_reference(m, excess):
    w = cp.Variable(len(m.pool), nonneg=True)
    problem = cp.Problem(cp.Minimize(cp.quad_form(w, m.cov)), [cp.sum(w) == 1] + [e <= 0 for e in excess(w)])
    problem.solve(solver=cp.CLARABEL)
    assert problem.status == cp.OPTIMAL
    return w.value


@pytest.mark.parametrize("case", CASES, ids=[c.__name__ for c in CASES])
def test_each_limit_binds_holds_in_its_units_and_matches_an_independent_solve(market, case):
    constraint, excess = case(market)
    free = portfolio_optimize(market.pool, DATE, MinVariance(), benchmark=INDEX).to_numpy()
    assert max(excess(free)) > 10 * TOL, "the limit should bind for this test to mean anything"
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        w = portfolio_optimize(market.pool, DATE, MinVariance(), cons=[constraint], benchmark=INDEX)
    assert list(w.index) == market.pool and w.sum() == pytest.approx(1.0)
    assert max(excess(w.to_numpy())) <= TOL
    np.testing.assert_allclose(w.to_numpy(), solve_reference(market, excess), atol=2e-3)


def test_the_same_inputs_give_the_same_weights(market):
    cons = [vc.WildcardIndustryConstraint(upper_limit=0.1, relative=True),
            vc.wildcard_style_constraint(lower_limit=-1, upper_limit=1, relative=True),
            vc.TrackingErrorLimit(0.12)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)  # benchmark industries the pool lacks
        runs = [portfolio_optimize(market.pool, DATE, MinVariance(), cons=cons, benchmark=INDEX) for _ in range(2)]
    assert runs[0].equals(runs[1])


def test_soft_constraints_are_dropped_on_conflict_and_hard_ones_fail(market):
    first = market.pool[:5]
    hard_cap = vc.StockPoolLimit(first, upper_limit=0.1)
    soft_floor = vc.StockPoolLimit(first, lower_limit=0.9, hard=False)
    with pytest.warns(OptimizerWarning, match="约束无法满足，放弃所有软约束重试") as record:
        w = portfolio_optimize(market.pool, DATE, cons=[hard_cap, soft_floor])
    assert record[0].filename == __file__
    assert w[first].sum() <= 0.1 + TOL
    with pytest.raises(OptimizationFailed):
        portfolio_optimize(market.pool, DATE, cons=[hard_cap, vc.StockPoolLimit(first, lower_limit=0.9)])


@pytest.mark.parametrize("objective, cons, message", [
    (MaxSharpeRatio(expected_returns=None), [vc.TrackingErrorLimit(0.05)],
     "当目标函数为 MaxInformationRatio 或 MaxSharpeRatio 时，不支持 TrackingErrorLimit 类型的约束；此约束被忽略"),
    (MinVariance(), [vc.IndustryConstraint(["没有的行业"], upper_limit=0.1)], "候选股票池中没有 没有的行业 行业，相应约束忽略"),
    (MinVariance(), [vc.TransactionVolumeLimit(upper_limit=0.5, current_holding={"HELD": 100}, cash=1e9)],
     "在 TransactionVolumeLimit 约束中，以下股票不在目标股票池中，这些股票将不受约束: ['HELD']"),
])
def test_warnings_point_at_the_caller(market, objective, cons, message):
    # "HELD" stands for the pool's first stock, held but left out of the pool
    held = market.pool[0]
    pool = market.pool[1:]
    for c in cons:
        if hasattr(c, "_current_holding"):
            c._current_holding = c._current_holding.rename({"HELD": held})
    message = message.replace("HELD", held)
    with pytest.warns(OptimizerWarning) as record:
        portfolio_optimize(pool, DATE, objective, cons=cons, benchmark=INDEX)
    assert message in [str(r.message) for r in record]
    assert all(r.filename == __file__ for r in record)


# ---------------------------------------------------------------- transaction limits, from raw data

def raw_bounds(pool, holding, cash, upper, window, kind):
    """Per-stock weight bounds recomputed from the store's raw closes, volumes and adjustment factors."""
    prev = corvana.get_previous_trading_date(DATE)
    start = corvana.get_previous_trading_date(DATE, window)
    ids = pool + [s for s in holding.index if s not in pool]
    raw = corvana.get_price(ids, start, prev, fields=["close", "volume"], adjust_type="none")
    post = corvana.get_price(ids, start, prev, fields="close", adjust_type="post")["close"]
    close = raw["close"].groupby(level=0).last().reindex(ids)
    if kind == "volume":
        # volumes restated in shares of the window's last day: a share traded on day t is
        # factor(last) / factor(t) shares of that day (two after a 2-for-1 split)
        factor = (post / raw["close"]).groupby(level=0).transform(lambda s: s.iloc[-1] / s)
        volume = raw["volume"] * factor
        allowed = upper * volume[volume > 0].groupby(level=0).mean().reindex(ids) * close
    else:
        cap = corvana.get_factor(ids, "market_cap_3", start, prev)["market_cap_3"]
        allowed = upper * cap.groupby(level=0).mean().reindex(ids)
    shares = holding.reindex(ids, fill_value=0.0)
    equity = cash + (shares * close).sum()
    hi = ((shares * close + allowed) / equity).to_numpy()[:len(pool)]
    lo = ((shares * close - allowed) / equity).to_numpy()[:len(pool)]
    return np.where(lo > 0, lo, 0.0), np.where(hi < 1, hi, 1.0)


@pytest.mark.parametrize("cls, kind", [(vc.TransactionVolumeLimit, "volume"),
                                       (vc.TransactionMarketValueLimit, "value")])
@pytest.mark.parametrize("window", [1, 20])
def test_transaction_bounds_from_raw_data(market, cls, kind, window):
    pool = market.pool[:12]
    holding = pd.Series(200_000.0, index=pool[:6])
    upper = 0.02 if kind == "volume" else 1e-4
    h = OptimizeHelper(pool, DATE, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
    g = cp.Variable(len(pool), nonneg=True)
    lower_c, upper_c = cls(upper_limit=upper, current_holding=holding, cash=5e6, window=window).to_constraints(g, 1.0, h)
    lo, hi = raw_bounds(pool, holding, 5e6, upper, window, kind)
    np.testing.assert_allclose(lower_c.args[0].value, lo, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(upper_c.args[1].value, hi, rtol=1e-9, atol=1e-12)
    assert (hi < 1).any() and (lo > 0).any(), "some bounds should bind in this case"


def test_volume_cap_binds_for_small_caps_not_large_caps(market):
    # A 1-billion book in cash, 10 % of the average daily volume per stock.
    pool = market.pool
    h = OptimizeHelper(pool, DATE, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
    g = cp.Variable(len(pool), nonneg=True)
    _, upper_c = vc.TransactionVolumeLimit(upper_limit=0.1, cash=1e9, window=20).to_constraints(g, 1.0, h)
    cap = pd.Series(upper_c.args[1].value, index=pool)
    size = corvana.get_factor(pool, "market_cap_3", h.prev_trading_date, h.prev_trading_date)["market_cap_3"]
    size = size.droplevel(1).reindex(pool)
    small, large = size.nsmallest(5).index, size.nlargest(3).index
    assert cap[small].max() < 0.01 and cap[large].min() > 0.05


def test_a_held_stock_without_a_close_is_refused(market):
    pool = market.pool[:5]
    h = OptimizeHelper(pool, DATE, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
    limit = vc.TransactionVolumeLimit(upper_limit=0.1, current_holding={"NO.PRICE": 100.0, pool[0]: 100.0})
    with pytest.warns(OptimizerWarning), pytest.raises(Exception, match="NO.PRICE") as info:
        limit.to_constraints(cp.Variable(5, nonneg=True), 1.0, h)
    assert "没有收盘价" in str(info.value)


def test_readme_rebalancing_example_runs(small_market):
    from pathlib import Path
    import re

    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    [block] = [b for b in re.findall(r"```python\n(.*?)```", readme, flags=re.S) if "TurnoverLimit" in b]
    # the same example, on a date of the small market (whose index has ten members)
    code = block.replace('"2024-06-28"', '"2021-06-30"').replace("(0, 0.02)", "(0, 0.2)")
    scope = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        exec(compile(code, "README.md", "exec"), scope)
    held, weights = scope["held"], scope["weights"]
    turnover = (weights - held.reindex(weights.index, fill_value=0.0)).abs().sum() / 2
    assert weights.sum() == pytest.approx(1.0) and turnover <= 0.3 + TOL
