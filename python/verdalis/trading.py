"""Trading a book to its target at one close, under the exchange's rules.

Used by the backtest at each rebalance.  The book (positions in money plus
cash) moves toward the target weights at the close of the trading day:

* price limits (`corvana.exchange`): a stock that closes at its up-limit is
  not bought and one at its down-limit not sold; its weight stays where it
  is, and the part of the target that could not be reached is reported as
  the untraded residual (the next rebalance starts from the real book);
* orders (optional): the target becomes whole-lot orders
  (`verdalis.orders`) with a cash floor and a minimum order value, so the
  book holds whole shares and keeps its dividends and odd change as cash;
* costs: a `TransactionCostModel` prices the trades by component; a flat
  `cost_bps` of the one-way turnover may join it.
"""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import pandas as pd

import corvana
from corvana.exchange import PRICE_LIMITS, limit_flags, price_limit

from .costs import COMPONENTS

__all__ = ["limit_status", "execute", "Execution"]


def limit_status(order_book_ids, date, rules=PRICE_LIMITS):
    """(ids closing at their up-limit, ids closing at their down-limit) on `date`."""
    ids = list(dict.fromkeys(order_book_ids))
    if not ids:
        return set(), set()
    prev = corvana.get_previous_trading_date(date)
    raw = corvana.get_price(ids, prev, date, fields="close", adjust_type="none")["close"].unstack("date")
    post = corvana.get_price(ids, prev, date, fields="close", adjust_type="post")["close"].unstack("date")
    day, before = pd.Timestamp(date), pd.Timestamp(prev)
    if day not in raw.columns or before not in raw.columns:
        return set(), set()
    raw, post = raw.reindex(ids), post.reindex(ids)
    close = raw[day].to_numpy()
    adj_today = post[day].to_numpy() / close
    prev_close = post[before].to_numpy() / adj_today  # the previous close on today's share basis
    names = {r.order_book_id: r.symbol for r in corvana.instruments(ids)}
    pct = np.array([price_limit(i, names.get(i, ""), rules) for i in ids])
    up, down = limit_flags(prev_close, close, pct)
    ids = np.array(ids, dtype=object)
    return set(ids[up]), set(ids[down])


@dataclass
class Execution:
    """What trading at one close did."""

    values: pd.Series  # positions after trading, in money
    cash: float
    costs: dict  # money by component, and "total"
    target: pd.Series  # the target the trading aimed at (the optimizer's)
    reachable: pd.Series  # the target after the price limits
    blocked_buy: list = field(default_factory=list)
    blocked_sell: list = field(default_factory=list)

    @property
    def nav(self):
        return float(self.values.sum() + self.cash)

    def residual(self) -> pd.Series:
        """Target minus the weights reached, by stock (what was left untraded)."""
        w = self.values / self.nav
        union = self.target.index.union(w.index)
        out = self.target.reindex(union, fill_value=0.0) - w.reindex(union, fill_value=0.0)
        return out[out.abs() > 1e-12]


def _reachable(target, current, no_buy, no_sell):
    """The target with limited stocks held where they are, the rest scaled to fit the book."""
    union = target.index.union(current.index)
    t = target.reindex(union, fill_value=0.0)
    w = current.reindex(union, fill_value=0.0)
    fixed = pd.Series(False, index=union)
    for i in union:
        if i in no_buy and t[i] > w[i]:
            t[i], fixed[i] = w[i], True
        elif i in no_sell and t[i] < w[i]:
            t[i], fixed[i] = w[i], True
    room = 1.0 - float(t[fixed].sum())
    free = float(t[~fixed].sum())
    if free > room > 0 and fixed.any():
        t[~fixed] *= room / free
    return t[t > 0]


def execute(values: pd.Series, cash: float, target: pd.Series, date, *, turnover: float, cost_model=None,
            cost_bps=0.0, price_limits=False, lots=False, cash_floor=0.0, min_order_value=0.0,
            lot_rules=None) -> Execution:
    """Trade the book (`values` in money, `cash`) to `target` at the close of `date`.

    `turnover` is the one-way turnover the flat `cost_bps` is charged on.
    """
    nav = float(values.sum() + cash)
    current = values / nav if nav > 0 else values * 0.0
    no_buy, no_sell = set(), set()
    if price_limits:
        up, down = limit_status(list(target.index.union(values.index)), date)
        no_buy = {i for i in up if target.get(i, 0.0) > current.get(i, 0.0) + 1e-12}
        no_sell = {i for i in down if target.get(i, 0.0) < current.get(i, 0.0) - 1e-12}
    reach = _reachable(target, current, no_buy, no_sell)
    flat = nav * turnover * cost_bps / 1e4
    ids = list(reach.index.union(values.index))
    close = None
    if lots or cost_model is not None:
        close = corvana.get_price(ids, date, date, fields="close", adjust_type="none")["close"]
        close = close.droplevel("date").reindex(ids)
        if close.isna().any() or (close <= 0).any():
            missing = list(close.index[~(close > 0)])
            # a stock without a close here cannot be traded: it keeps its value
            for i in missing:
                if i in values.index:
                    no_buy.add(i), no_sell.add(i)
                    reach[i] = current.get(i, 0.0)
                else:
                    reach = reach.drop(i, errors="ignore")
            close = close.fillna(1.0)
    if lots:
        from .orders import LOT_RULES, plan

        held = values.reindex(ids, fill_value=0.0)
        shares = np.floor(held / close + 1e-6)
        change = float((held - shares * close).sum())  # dividends and fractions of a share: cash
        book = plan(reach, shares[shares > 0], close, cash + change, rules=lot_rules or LOT_RULES,
                    min_value=min_order_value, cash_floor=cash_floor + flat, cost_model=cost_model, date=date,
                    no_buy=no_buy, no_sell=no_sell)
        trades = book["trade"]
        after = (book["shares_after"] * book["price"])
        new_values = after[after > 0].astype(float)
        new_cash = cash + change - float((trades * book["price"]).sum())
    else:
        target_values = reach * nav
        trades_value = target_values.reindex(ids, fill_value=0.0) - values.reindex(ids, fill_value=0.0)
        trades = trades_value / close if close is not None else None
        new_values, new_cash = None, None
    costs = {c: 0.0 for c in COMPONENTS}
    if cost_model is not None:
        priced = cost_model.cost(trades[trades != 0], date, prices=close)
        for c in COMPONENTS:
            costs[c] = float(priced[c].sum())
    costs["bps"] = flat
    costs["total"] = float(sum(costs.values()))
    if not lots:
        left = nav - costs["total"]
        new_values = (reach * left).astype(float)
        new_cash = left - float(new_values.sum())
    else:
        new_cash -= costs["total"]
    return Execution(values=new_values, cash=float(new_cash), costs=costs, target=target, reachable=reach,
                     blocked_buy=sorted(no_buy), blocked_sell=sorted(no_sell))
