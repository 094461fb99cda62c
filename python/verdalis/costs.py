"""What trading costs: commission, stamp duty, half-spread and market impact.

One model serves two roles:

* the optimizer's cost term: an instance is a `transaction_cost_model` for
  `MeanVariance` and `ActiveMeanVariance`; `get_penalty(g, helper)` returns
  the cost of moving from the current holding to the weights `g`, as a
  fraction of the book's value, in a convex form cvxpy accepts;
* the backtest's cost accounting: `cost(trades, date)` prices a table of
  orders (shares, signed) component by component, in money.

Per order of value V (shares x close) and side:

    commission  = max(commission_bps * V / 1e4, min_commission)
    stamp duty  = stamp_duty * V                     (sells only)
    spread      = half_spread_bps * V / 1e4
    impact      = impact_coef * sigma * (shares / ADV) ** impact_beta * V

sigma is the stock's daily volatility of total returns and ADV its average
daily volume in shares, both over the `window` trading days ending on the
data date; the ADV is computed as the volume limit of the optimizer computes
it (split-adjusted volumes of the days with trading, zero-volume days left
out), so a trade's size relative to the market means the same thing in both.
With impact_beta = 1/2 the impact term is the square-root law.

The per-order minimum commission is not convex, so the optimizer's penalty
leaves it out (it charges commission_bps on every trade); the accounting
charges it.  For every order above min_commission * 1e4 / commission_bps
in value the two agree exactly.
"""
from __future__ import annotations

import numpy as np
import pandas as pd

import corvana

__all__ = ["TransactionCostModel", "COMPONENTS", "A_SHARE_STAMP_DUTY"]

#: Stamp duty on the seller of A shares (0.05 % of the value sold since 28 August 2023).
A_SHARE_STAMP_DUTY = 0.0005

#: The cost components, in the order tables list them.
COMPONENTS = ("commission", "stamp_duty", "spread", "impact")


def _number(name, value, low=0.0, high=None, *, open_low=False):
    try:
        value = float(value)
    except (TypeError, ValueError):
        raise ValueError("{}: expected a number, got {!r}".format(name, value)) from None
    if not np.isfinite(value) or value < low or (open_low and value == low) or (high is not None and value > high):
        bound = "above" if open_low else "at least"
        limit = "" if high is None else " and at most {}".format(high)
        raise ValueError("{}: expected a number {} {}{}, got {!r}".format(name, bound, low, limit, value))
    return value


class TransactionCostModel:
    """Commission, stamp duty on sells, half-spread and market impact of trades.

    `holding` (weights of the current book, a Series by order_book_id) and
    `nav` (its value in money) are what `get_penalty` measures trades from;
    the backtest sets them before each rebalance with `at_holding`.
    `cost_aversion` scales the penalty in the optimizer's objective (1: a cost
    of 1 % of the book weighs as much as 1 % of expected return).
    """

    def __init__(self, *, commission_bps=2.5, min_commission=5.0, stamp_duty=A_SHARE_STAMP_DUTY,
                 half_spread_bps=5.0, impact_coef=1.0, impact_beta=0.5, window=20,
                 holding=None, nav=None, cost_aversion=1.0):
        self.commission_bps = _number("commission_bps", commission_bps)
        self.min_commission = _number("min_commission", min_commission)
        self.stamp_duty = _number("stamp_duty", stamp_duty, high=1.0)
        self.half_spread_bps = _number("half_spread_bps", half_spread_bps)
        self.impact_coef = _number("impact_coef", impact_coef)
        self.impact_beta = _number("impact_beta", impact_beta, high=1.0, open_low=True)
        if isinstance(window, bool) or not isinstance(window, (int, np.integer)) or window < 2:
            raise ValueError("window: expected a whole number of trading days of at least 2, got {!r}"
                             .format(window))
        self.window = int(window)
        self.cost_aversion = _number("cost_aversion", cost_aversion)
        self.holding = pd.Series(dtype=float) if holding is None else pd.Series(holding, dtype=float)
        self.nav = None if nav is None else _number("nav", nav, open_low=True)
        self._data = {}

    def __repr__(self):
        return ("TransactionCostModel(commission_bps={}, min_commission={}, stamp_duty={}, half_spread_bps={}, "
                "impact_coef={}, impact_beta={}, window={})".format(
                    self.commission_bps, self.min_commission, self.stamp_duty, self.half_spread_bps,
                    self.impact_coef, self.impact_beta, self.window))

    def at_holding(self, holding, nav):
        """This model measuring trades from `holding` (weights) in a book worth `nav`."""
        self.holding = pd.Series(holding, dtype=float)
        self.nav = _number("nav", nav, open_low=True)
        return self

    # ------------------------------------------------------------------ data
    def market_data(self, order_book_ids, date) -> pd.DataFrame:
        """Per stock on the data date: unadjusted `close`, `adv` (shares) and daily `sigma`."""
        ids = list(dict.fromkeys(order_book_ids))
        date = pd.Timestamp(date).date()
        key = (date, tuple(ids))
        if key in self._data:
            return self._data[key]
        out = pd.DataFrame(index=pd.Index(ids, name="order_book_id"), columns=["close", "adv", "sigma"],
                           dtype=float)
        if ids:
            start = corvana.get_previous_trading_date(date, n=self.window - 1)
            raw = corvana.get_price(ids, start, date, fields=["close", "volume"], adjust_type="none")
            pre = corvana.get_price(ids, start, date, fields=["close"], adjust_type="pre")
            if len(raw):
                ratio = raw["close"] / pre["close"]
                ratio = ratio / ratio.groupby(level="order_book_id").transform("last")
                volume = raw["volume"] / ratio
                out["adv"] = volume[volume > 0].groupby(level="order_book_id").mean().reindex(ids)
                last = raw["close"].groupby(level="order_book_id").last()
                day = raw["close"].xs(pd.Timestamp(date), level="date") if pd.Timestamp(date) in \
                    raw.index.get_level_values("date") else pd.Series(dtype=float)
                out["close"] = day.reindex(ids).fillna(last.reindex(ids))
            rates = corvana.get_price_change_rate(ids, start, date)
            out["sigma"] = rates.std(ddof=1).reindex(ids).to_numpy()
        out["sigma"] = out["sigma"].fillna(0.0)
        if len(self._data) > 8:
            self._data.clear()
        self._data[key] = out
        return out

    # ------------------------------------------------------------ accounting
    def cost(self, trades, date, prices=None) -> pd.DataFrame:
        """The cost of each order in `trades` (signed shares by order_book_id; + buys).

        Prices are the closes of the data `date` unless `prices` are given.
        One row per non-zero order: `shares`, `value`, the components
        (`commission`, `stamp_duty`, `spread`, `impact`) and `total`, in money.
        A stock without trading in the window is charged impact as if the
        order were its whole ADV (a trade against no volume is never cheap).
        """
        trades = pd.Series(trades, dtype=float)
        trades = trades[trades.fillna(0.0) != 0]
        data = self.market_data(list(trades.index), date)
        price = data["close"] if prices is None else pd.Series(prices, dtype=float).reindex(trades.index)
        shares = trades.abs()
        value = shares * price
        frame = pd.DataFrame({"shares": trades, "value": value})
        commission = value * self.commission_bps / 1e4
        frame["commission"] = np.maximum(commission, self.min_commission)
        frame["stamp_duty"] = np.where(trades < 0, value * self.stamp_duty, 0.0)
        frame["spread"] = value * self.half_spread_bps / 1e4
        adv = data["adv"].where(data["adv"] > 0)
        participation = (shares / adv).fillna(1.0)
        frame["impact"] = self.impact_coef * data["sigma"] * participation ** self.impact_beta * value
        frame["total"] = frame[list(COMPONENTS)].sum(axis=1)
        return frame

    # ------------------------------------------------------------- optimizer
    def get_penalty(self, g, helper):
        """The cost of trading from the holding to the weights `g`, a fraction of the book.

        Convex: linear terms in |g - w0| and in the sells, plus the impact
        c_i |g_i - w0_i| ** (1 + beta) with c_i = coef * sigma_i *
        (nav / (ADV_i * close_i)) ** beta.  Stocks held outside the pool are
        sold in full; their cost is a constant of the problem.
        """
        import cvxpy as cp

        if self.nav is None:
            raise ValueError("TransactionCostModel: the book's value is not set; call at_holding(holding, nav) "
                             "before optimizing with it")
        ids = list(helper.order_book_ids)
        date = helper.prev_trading_date
        data = self.market_data(ids, date)
        w0 = self.holding.reindex(ids).fillna(0.0).to_numpy()
        trade = g - w0
        linear = (self.commission_bps + self.half_spread_bps) / 1e4
        scale = self._impact_scale(data)
        expr = linear * cp.sum(cp.abs(trade)) + self.stamp_duty * cp.sum(cp.pos(-trade))
        if self.impact_coef > 0:
            expr = expr + cp.sum(cp.multiply(scale, cp.power(cp.abs(trade), 1.0 + self.impact_beta)))
        outside = self.holding[~self.holding.index.isin(ids) & (self.holding != 0)]
        if len(outside):
            expr = expr + self._weights_cost(-outside, date)
        return self.cost_aversion * expr

    def _impact_scale(self, data):
        value_adv = (data["adv"] * data["close"]).where(data["adv"] > 0)
        ratio = (self.nav / value_adv).to_numpy(dtype=float)
        # no trading in the window: the impact of an order equal to the whole ADV,
        # ratio = 1 / |trade|, approximated by the book's scale (the full position)
        ratio = np.where(np.isfinite(ratio), ratio, 1.0)
        return self.impact_coef * data["sigma"].to_numpy(dtype=float) * ratio ** self.impact_beta

    def _weights_cost(self, trade_weights: pd.Series, date) -> float:
        """Cost (fraction of the book, minimum commission left out) of trades given in weights."""
        data = self.market_data(list(trade_weights.index), date)
        dw = trade_weights.to_numpy(dtype=float)
        linear = (self.commission_bps + self.half_spread_bps) / 1e4 * np.abs(dw).sum()
        stamp = self.stamp_duty * np.clip(-dw, 0, None).sum()
        impact = (self._impact_scale(data) * np.abs(dw) ** (1.0 + self.impact_beta)).sum()
        return float(linear + stamp + impact)
