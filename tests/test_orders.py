"""Orders in whole lots: the lot table, odd-lot sells, minimum value, cash floor, rounding."""
import itertools

import numpy as np
import pandas as pd
import pytest

from verdalis.orders import LOT_RULES, LotRule, lot_rule, orders, plan

MAIN, STAR, GEM = "600000.XSHG", "688001.XSHG", "300001.XSHE"


@pytest.mark.parametrize("target, holding, price, cash, kw, expected", [
    # main board: 100-share lots; 0.5 of 100,000 at 7 = 7142.9 shares -> 7100
    ({MAIN: 0.5}, {}, {MAIN: 7.0}, 100_000, {}, {MAIN: 7100}),
    # STAR: 200 at least, then single shares: 0.5 of 100,000 at 33 = 1515.2 -> 1515
    ({STAR: 0.5}, {}, {STAR: 33.0}, 100_000, {}, {STAR: 1515}),
    # STAR: a target of 150 shares is 200 or nothing; 150 is nearer 200
    ({STAR: 0.015}, {}, {STAR: 10.0}, 100_000, {}, {STAR: 200}),
    # ... and a target of 90 shares is nearer nothing
    ({STAR: 0.009}, {}, {STAR: 10.0}, 100_000, {}, {}),
    # ChiNext trades in 100-share lots like the main board
    ({GEM: 0.3}, {}, {GEM: 9.0}, 100_000, {}, {GEM: 3300}),
    # whole-position sell of an odd holding of 37 shares
    ({}, {MAIN: 37}, {MAIN: 10.0}, 1000, {}, {MAIN: -37}),
    # a partial sell stays in lots: 1037 held, target 400 -> sell 600, keep 437
    ({MAIN: 437 * 10 / 11370 - 0.0001}, {MAIN: 1037}, {MAIN: 10.0}, 1000, {}, {MAIN: -600}),
    # minimum order value 5,000: a 2,000 buy is dropped ...
    ({MAIN: 0.02}, {}, {MAIN: 10.0}, 100_000, {"min_value": 5000}, {}),
    # ... a 3,000-value buy target rounds up to the minimum when that is nearer than nothing
    ({MAIN: 0.04}, {}, {MAIN: 10.0}, 100_000, {"min_value": 5000}, {MAIN: 500}),
    # ... but selling out a whole position is exempt
    ({}, {MAIN: 100}, {MAIN: 10.0}, 100_000, {"min_value": 5000}, {MAIN: -100}),
    # cash floor: the whole book targeted, 2,000 must stay in cash -> 9,800 at 10 -> 9800
    ({MAIN: 1.0}, {}, {MAIN: 10.0}, 100_000, {"cash_floor": 2000}, {MAIN: 9800}),
    # the floor is kept by selling when the book starts below it
    ({MAIN: 1.0}, {MAIN: 10_000}, {MAIN: 10.0}, 0, {"cash_floor": 150}, {MAIN: -100}),
])
def test_lot_table(target, holding, price, cash, kw, expected):
    out = orders(pd.Series(target, dtype=float), pd.Series(holding, dtype=float), pd.Series(price), cash, **kw)
    signed = dict(zip(out["order_book_id"], np.where(out["side"] == "buy", 1, -1) * out["shares"]))
    assert signed == expected
    assert out.attrs["cash_after"] >= kw.get("cash_floor", 0) - 1e-9


def test_table_columns_and_values():
    out = orders(pd.Series({MAIN: 0.3, STAR: 0.3}), pd.Series({GEM: 300.0}), pd.Series({MAIN: 10.0, STAR: 50.0, GEM: 20.0}),
                 94_000)
    assert list(out.columns) == ["order_book_id", "side", "shares", "lots", "price", "value", "weight_before",
                                 "weight_after", "target_weight", "deviation"]
    assert out["side"].tolist() == ["sell", "buy", "buy"]  # sells fund the buys
    row = out.set_index("order_book_id").loc[STAR]
    assert row["shares"] == 600 and row["lots"] == 3.0 and row["value"] == 30_000
    assert row["weight_after"] == pytest.approx(0.3) and row["deviation"] == pytest.approx(0.0)
    assert out.set_index("order_book_id").loc[GEM, "weight_before"] == pytest.approx(0.06)


def test_lot_rules_are_data():
    hk = (LotRule("board lot 500", r"\.XHKG$", minimum=500, step=500, lot=500),) + LOT_RULES
    assert lot_rule("00700.XHKG", hk).minimum == 500 and lot_rule(STAR).board == "STAR"
    out = orders({"00700.XHKG": 0.5}, {}, {"00700.XHKG": 3.0}, 10_000, rules=hk)
    assert out["shares"].tolist() == [1500]  # 1666.7 shares -> 1500 (2000 would overspend the half)
    with pytest.raises(ValueError, match="no lot rule matches"):
        lot_rule(MAIN, hk[:1])
    with pytest.raises(ValueError, match="step"):
        LotRule("x", ".*", minimum=100, step=0, lot=100)


@pytest.mark.parametrize("kwargs, message", [
    ({"target": {MAIN: -0.1}}, "must not be negative"),
    ({"target": {MAIN: 0.7, STAR: 0.7}}, "above 1"),
    ({"prices": {STAR: 10.0}}, "no positive price for 600000.XSHG"),
    ({"holding": {MAIN: 10.5}}, "whole numbers"),
    ({"cash": -1}, "cash"),
])
def test_refusals(kwargs, message):
    args = dict(target={MAIN: 0.5}, holding={}, prices={MAIN: 10.0, STAR: 10.0}, cash=1000.0)
    args.update(kwargs)
    with pytest.raises(ValueError, match=message):
        orders(**args)


def _nearest(target, holding, prices, cash):
    """Independent rounding: each stock to its nearest whole-lot holding, cash ignored."""
    nav = cash + float((holding.reindex(prices.index).fillna(0) * prices).sum())
    shares = {}
    for i in target.index:
        rule = lot_rule(i)
        x = target[i] * nav / prices[i]
        grid = [0] + [rule.minimum + k * rule.step for k in range(int(x // rule.step) + 3)]
        shares[i] = min(grid, key=lambda s: abs(s - x))
    after = pd.Series(shares, dtype=float) * prices.reindex(target.index) / nav
    return after, cash - float(((pd.Series(shares) - holding.reindex(target.index).fillna(0)) * prices).sum())


@pytest.mark.parametrize("seed, n, spare", list(itertools.product(range(6), (20, 200), (0.0, 0.02))))
def test_rounded_book_is_at_least_as_close_as_independent_rounding(seed, n, spare):
    rng = np.random.default_rng(seed)
    ids = ["{:06d}.XSHE".format(i) if i % 5 else "688{:03d}.XSHG".format(i) for i in range(n)]
    prices = pd.Series(np.exp(rng.normal(3.0, 0.9, n)), index=ids)
    target = pd.Series(rng.dirichlet(np.ones(n)) * (1 - spare), index=ids)
    cash = float(rng.uniform(2e5, 5e6))
    book = plan(target, {}, prices, cash)
    ours = float(((book["weight_after"] - book["target_weight"]) ** 2).sum())
    after, cash_left = _nearest(target, pd.Series(dtype=float), prices, cash)
    independent = float(((after - target) ** 2).sum())
    assert book.attrs["cash_after"] >= -1e-6
    # independent rounding down always fits: it is never closer
    down = pd.Series({i: (s := target[i] * cash / prices[i]) and
                      (0 if s < lot_rule(i).minimum else
                       lot_rule(i).minimum + (s - lot_rule(i).minimum) // lot_rule(i).step * lot_rule(i).step)
                      for i in ids}) * prices / cash
    assert ours <= float(((down - target) ** 2).sum()) + 1e-15
    if cash_left >= 0:  # when the nearest book is affordable it is the closest book, and ours is it
        assert ours <= independent + 1e-15


@pytest.mark.parametrize("holding, cash, target, kw, expected", [
    ({MAIN: 1000}, 10_000, {MAIN: 0.9}, {"no_buy": [MAIN]}, {}),             # at its up-limit: not bought
    ({MAIN: 1000}, 0, {MAIN: 0.0}, {"no_sell": [MAIN]}, {}),                 # at its down-limit: not sold
    ({MAIN: 1000}, 0, {MAIN: 0.0}, {"no_buy": [MAIN]}, {MAIN: -1000}),       # an up-limit stock may be sold
    # the cash floor is met by selling another stock, not the one that cannot be sold
    ({MAIN: 1000, GEM: 1000}, 0, {MAIN: 0.5, GEM: 0.5}, {"no_sell": [MAIN], "cash_floor": 500}, {GEM: -100}),
])
def test_stocks_that_may_not_trade(holding, cash, target, kw, expected):
    out = orders(target, pd.Series(holding, dtype=float), {MAIN: 10.0, GEM: 10.0}, cash, **kw)
    signed = dict(zip(out["order_book_id"], np.where(out["side"] == "buy", 1, -1) * out["shares"]))
    assert signed == expected
