"""Objectives solved end to end by portfolio_optimize on the small demo market."""
import datetime

import numpy as np
import pandas as pd
import pytest

import corvana
import verdalis.objective as vo
from verdalis.const import CovModel, RiskModel
from verdalis.exception import OptimizerWarning
from verdalis.helper import OptimizeHelper
from verdalis.optimize import portfolio_optimize

from test_objective import sharpe_reference

INDEX = "000300.XSHG"
DATE = datetime.date(2021, 6, 15)


@pytest.fixture(scope="module")
def pool(small_market):
    prev = corvana.get_previous_trading_date(DATE)
    stocks = corvana.all_instruments(type="CS", date=prev)
    seasoned = stocks.loc[stocks["listed_date"] < "2020-01-01", "order_book_id"].tolist()
    covered = corvana.get_risk_exposure(seasoned, prev).index.tolist()
    members = [m for m in corvana.index_components(INDEX, prev) if m in covered]
    others = [s for s in covered if s not in members]
    # some index members in the pool, some outside it; plus other stocks
    return sorted(members[:5] + others[:15])


def covariance(pool, benchmark=None):
    h = OptimizeHelper(pool, DATE, benchmark, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
    return h, np.asarray(h.get_cov_matrix())


OBJECTIVES = [
    (lambda ids: vo.MinVariance(), None),
    (lambda ids: vo.MinActiveVariance(), INDEX),
    (lambda ids: vo.MinTrackingError(), INDEX),
    (lambda ids: vo.MeanVariance(), None),
    (lambda ids: vo.ActiveMeanVariance(), INDEX),
    (lambda ids: vo.MaxSharpeRatio(), None),
    (lambda ids: vo.MaxInformationRatio(), INDEX),
    (lambda ids: vo.MaxIndicator(pd.Series(np.arange(len(ids)) % 7 - 2.0, index=ids)), None),
    (lambda ids: vo.MinStyleDeviation({"size": 0.5, "beta": -0.2}, priority={"size": 8}), None),
    (lambda ids: vo.MinStyleDeviation({"size": 0.1}, relative=True), INDEX),
    (lambda ids: vo.RiskParity(), None),
]


@pytest.mark.parametrize("make, bench", OBJECTIVES)
def test_every_objective_solves_with_the_default_solver(pool, make, bench):
    # filterwarnings=error: an inaccurate solve (or any other warning) fails here
    w = portfolio_optimize(pool, DATE, make(pool), benchmark=bench)
    assert list(w.index) == pool
    assert w.sum() == pytest.approx(1.0) and w.min() > -1e-6


def test_max_sharpe_matches_independent_solve(pool):
    _, S = covariance(pool)
    mu = pd.Series(np.linspace(-0.1, 0.3, len(pool)) * np.resize([1, 0.3, 0.7], len(pool)), index=pool)
    w = portfolio_optimize(pool, DATE, vo.MaxSharpeRatio(expected_returns=mu))
    np.testing.assert_allclose(w.values, sharpe_reference(mu.values, S), atol=1e-3)


def test_risk_parity_equal_contributions(pool):
    _, S = covariance(pool)
    w = portfolio_optimize(pool, DATE, vo.RiskParity()).values
    rc = w * (S @ w)
    assert rc.max() / rc.min() - 1 < 0.01


def test_relative_style_target_is_met(pool):
    h, _ = covariance(pool, benchmark=corvana_index())
    styles = ["size", "beta", "momentum"]
    X = h.get_factor_exposure()[styles]
    bench_style = h.get_benchmark_style()[styles]
    # offsets that some long-only portfolio reaches
    reachable = X.T @ np.random.default_rng(1).dirichlet(np.ones(len(pool)))
    offsets = reachable - bench_style
    w = portfolio_optimize(pool, DATE, vo.MinStyleDeviation(offsets, relative=True), benchmark=INDEX)
    np.testing.assert_allclose((X.T @ w.values - bench_style).values, offsets.values, atol=2e-3)


def corvana_index():
    from verdalis.benchmark import IndexBenchmark
    return IndexBenchmark(INDEX)


def test_history_estimate_comes_from_the_market(pool):
    obj = vo.MeanVariance()
    portfolio_optimize(pool, DATE, obj)
    prev = corvana.get_previous_trading_date(DATE)
    # independent of the change-rate query: post-adjusted closes from the day
    # before the window's first day
    first = corvana.get_previous_trading_date(prev, 253)
    prices = corvana.get_price(pool, first, prev, fields="close", adjust_type="post")["close"].unstack(0)
    expected = prices[pool].pct_change(fill_method=None).iloc[1:].mean() * 252
    np.testing.assert_allclose(obj._expected_returns.reindex(pool).values, expected.values, rtol=1e-6)


def test_zero_returns_warning_points_at_the_caller(pool):
    with pytest.warns(OptimizerWarning) as record:
        w = portfolio_optimize(pool, DATE, vo.MeanVariance(expected_returns={}))
    assert [str(r.message) for r in record] == ["MeanVariance: expected_returns 全部为 0，退化为 MinVariance"]
    assert record[0].filename == __file__
    np.testing.assert_allclose(w.values, portfolio_optimize(pool, DATE).values, atol=1e-4)
