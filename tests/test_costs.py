"""The transaction cost model: accounting by component, and the same cost as an optimizer penalty."""
import datetime
import types

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import corvana
from verdalis.costs import COMPONENTS, TransactionCostModel

DATE = datetime.date(2021, 6, 30)


@pytest.fixture(scope="module")
def pool(small_market):
    ids = sorted(corvana.index_components("000905.XSHG", DATE))[:8]
    return ids


def test_accounting_by_component_against_raw_bars(pool):
    model = TransactionCostModel(commission_bps=3, min_commission=5, stamp_duty=0.001, half_spread_bps=4,
                                 impact_coef=0.5, impact_beta=0.5, window=10)
    trades = pd.Series([3000, -200, 100], index=pool[:3], dtype=float)
    frame = model.cost(trades, DATE)
    # independent: raw bars of the window, split-adjusted volumes of the traded days
    start = corvana.get_previous_trading_date(DATE, n=9)
    for ob, shares in trades.items():
        raw = corvana.get_price(ob, start, DATE, fields=["close", "volume"], adjust_type="none").droplevel(0)
        post = corvana.get_price(ob, start, DATE, fields=["close"], adjust_type="post").droplevel(0)["close"]
        volume = raw["volume"] * (post / raw["close"]) / (post / raw["close"]).iloc[-1]
        adv = volume[volume > 0].mean()
        rates = corvana.get_price_change_rate(ob, start, DATE)[ob]
        sigma = rates.std()
        value = abs(shares) * raw["close"].iloc[-1]
        row = frame.loc[ob]
        assert row["value"] == pytest.approx(value)
        assert row["commission"] == pytest.approx(max(value * 3e-4, 5.0))
        assert row["stamp_duty"] == pytest.approx(value * 0.001 if shares < 0 else 0.0)
        assert row["spread"] == pytest.approx(value * 4e-4)
        assert row["impact"] == pytest.approx(0.5 * sigma * np.sqrt(abs(shares) / adv) * value)
    assert np.allclose(frame[list(COMPONENTS)].sum(axis=1), frame["total"])


@pytest.mark.parametrize("beta, outside", [(0.5, False), (0.5, True), (1.0, False), (0.3, True)])
def test_penalty_equals_the_cost_of_the_same_trade(pool, beta, outside):
    model = TransactionCostModel(min_commission=0.0, impact_beta=beta, impact_coef=0.8)
    nav = 5e7
    held = {pool[0]: 0.2, pool[1]: 0.3}
    if outside:
        held[pool[-1]] = 0.1  # held, left out of the pool below
    ids = pool[:-1] if outside else pool
    model.at_holding(pd.Series(held), nav)
    helper = types.SimpleNamespace(order_book_ids=ids, prev_trading_date=DATE)
    g = cp.Variable(len(ids), nonneg=True)
    penalty = model.get_penalty(g, helper)
    assert penalty.is_dcp() and penalty.is_convex()
    g.value = np.linspace(0.05, 0.15, len(ids))
    close = model.market_data(pool, DATE)["close"]
    w0 = pd.Series(held).reindex(pool).fillna(0.0)
    w1 = pd.Series(g.value, index=ids).reindex(w0.index).fillna(0.0)
    shares = (w1 - w0) * nav / close
    assert float(penalty.value) == pytest.approx(model.cost(shares, DATE)["total"].sum() / nav, rel=1e-9)


def test_penalty_serves_mean_variance(pool):
    from verdalis.objective import MeanVariance
    from verdalis.optimize import portfolio_optimize

    er = pd.Series(np.linspace(0.05, 0.3, len(pool)), index=pool)
    free = portfolio_optimize(pool, DATE, MeanVariance(expected_returns=er))
    start = pd.Series(1.0 / len(pool), index=pool)
    costly = TransactionCostModel(commission_bps=200, half_spread_bps=200, cost_aversion=10).at_holding(start, 1e8)
    held = portfolio_optimize(pool, DATE, MeanVariance(expected_returns=er, transaction_cost_model=costly))
    # trading is expensive: the book stays nearer where it starts
    assert (held - start).abs().sum() < (free - start).abs().sum() - 1e-3


@pytest.mark.parametrize("kwargs, message", [
    ({"commission_bps": -1}, "commission_bps"),
    ({"impact_beta": 0}, "impact_beta"),
    ({"stamp_duty": 2}, "stamp_duty"),
    ({"window": 1}, "window"),
])
def test_refusals(kwargs, message):
    with pytest.raises(ValueError, match=message):
        TransactionCostModel(**kwargs)


def test_penalty_needs_the_book(pool):
    helper = types.SimpleNamespace(order_book_ids=pool, prev_trading_date=DATE)
    with pytest.raises(ValueError, match="at_holding"):
        TransactionCostModel().get_penalty(cp.Variable(len(pool)), helper)
