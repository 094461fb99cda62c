"""From target weights to orders in whole lots.

`orders(target, holding, prices, cash)` turns target weights (fractions of the
book: holding at `prices` plus `cash`) into a table of orders that the
exchange accepts:

* lots are data (`LotRule`, first matching rule wins): 100 shares on the main
  boards; on the STAR market (688xxx.XSHG) at least 200 shares, then any
  number of single shares.  A rule applies to buys and to partial sells; a
  sell of the whole position may be any size (odd lots are sold that way);
* no order below `min_value` in money (selling out a whole position is
  exempt, so that odd remainders can always be cleared);
* cash after trading (and after the estimated costs, when a cost model is
  given) stays at or above `cash_floor`.

Rounding.  The book after trading is chosen to be close to the target in the
sum of squared weight deviations, sum_i (w_i - t_i)^2, over whole-lot holdings
and under the cash floor, not by rounding each stock on its own:

1. each stock starts at its largest feasible holding not above its target
   (this never spends more than the target does);
2. if cash is still below the floor, the stocks are stepped down one feasible
   holding at a time, cheapest loss of closeness per unit of cash first;
3. the cash left is spent on single steps up (to the next feasible holding),
   largest gain in closeness first, while a step improves closeness and fits.

When rounding every stock to its nearest feasible holding fits the cash
floor, step 3 reaches exactly that book (for each stock the squared
deviation falls until its nearest holding and rises after), which is then the
closest book of all; when it does not fit, the greedy spends the cash where
it buys the most closeness.
"""
from __future__ import annotations

import heapq
import math
import re
from dataclasses import dataclass

import numpy as np
import pandas as pd

__all__ = ["LotRule", "LOT_RULES", "lot_rule", "plan", "orders", "squared_deviation"]


@dataclass(frozen=True)
class LotRule:
    """Order sizes of the stocks whose order_book_id matches `pattern` (a regular expression).

    A buy or a partial sell is `minimum` shares or more, in steps of `step`
    above the minimum; `lot` is the board lot the table counts lots in.
    """

    board: str
    pattern: str
    minimum: int
    step: int
    lot: int

    def __post_init__(self):
        for name in ("minimum", "step", "lot"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
                raise ValueError("LotRule {}: {} must be a whole number of shares of at least 1, got {!r}"
                                 .format(self.board, name, value))
        re.compile(self.pattern)


#: The A-share rules: STAR market first (its ids also end in .XSHG), then every other board.
LOT_RULES = (
    LotRule("STAR", r"^688\d{3}\.XSHG$", minimum=200, step=1, lot=200),
    LotRule("main", r".*", minimum=100, step=100, lot=100),
)


def lot_rule(order_book_id: str, rules=LOT_RULES) -> LotRule:
    """The first rule whose pattern matches `order_book_id`."""
    for rule in rules:
        if re.search(rule.pattern, order_book_id):
            return rule
    raise ValueError("no lot rule matches {!r}; give a rule with a catch-all pattern such as '.*'"
                     .format(order_book_id))


class _Grid:
    """The feasible holdings after trading of one stock held `h` shares: h itself,
    0 (sell all), buys h + f + k s and partial sells h - f - k s > 0, where f is
    the smallest order the lot rule and the minimum value allow."""

    __slots__ = ("h", "f", "s", "buy", "sell")

    def __init__(self, h: int, rule: LotRule, price: float, min_value: float, buy=True, sell=True):
        q = int(math.ceil(min_value / price - 1e-9)) if min_value > 0 else 0
        m, s = rule.minimum, rule.step
        self.h, self.s, self.buy, self.sell = h, s, buy, sell
        self.f = m + s * int(math.ceil(max(0, q - m) / s))

    def up(self, c: int):
        """The smallest feasible holding above c (None: none)."""
        h, f, s = self.h, self.f, self.s
        if c >= h and not self.buy:
            return None
        if c < h:
            k = -((c - (h - f)) // s) - 1  # ceil((h - f - c) / s) - 1
            return h - f - k * s if k >= 0 and h - f - k * s > c else h
        return h + f + s * max(0, (c - h - f) // s + 1)

    def down(self, c: int):
        """The largest feasible holding below c (None: none)."""
        h, f, s = self.h, self.f, self.s
        if c <= h and not self.sell:
            return None
        if c > h:
            k = -((h + f - c) // s) - 1  # ceil((c - h - f) / s) - 1
            return h + f + k * s if k >= 0 else h
        if c <= 0:
            return None
        k = max(0, (h - f - c) // s + 1)
        below = h - f - k * s
        return below if below > 0 else 0


def _as_series(value, name) -> pd.Series:
    if isinstance(value, pd.Series):
        series = value.astype(float)
    elif isinstance(value, dict):
        series = pd.Series(value, dtype=float)
    else:
        raise ValueError("{}: expected a pandas Series or a dict by order_book_id, got {}"
                         .format(name, type(value).__name__))
    if series.index.has_duplicates:
        raise ValueError("{}: order_book_id given twice: {}".format(
            name, ", ".join(map(str, series.index[series.index.duplicated()].unique()[:5]))))
    return series


def plan(target, holding, prices, cash, *, rules=LOT_RULES, min_value=0.0, cash_floor=0.0,
         cost_model=None, date=None, no_buy=(), no_sell=()) -> pd.DataFrame:
    """The rounded book: one row per stock of the target or the holding (see the module text).

    Columns: `price`, `holding` and `shares_after` (shares), `trade` (signed
    shares), `target_weight`, `weight_before`, `weight_after`, `deviation`
    (weight after minus target), `board`, `lot`.  ``frame.attrs`` holds
    `nav`, `cash_before`, `cash_after` and `costs` (estimated, when a
    `cost_model` and the data `date` are given).  Stocks in `no_buy` are not
    bought and those in `no_sell` not sold (e.g. closed at a price limit).
    """
    target = _as_series(target, "target").fillna(0.0)
    holding = _as_series(holding, "holding").fillna(0.0)
    prices = _as_series(prices, "prices")
    if (target < 0).any():
        raise ValueError("target: weights must not be negative: {}".format(
            ", ".join(target.index[target < 0][:5])))
    if target.sum() > 1 + 1e-9:
        raise ValueError("target: weights sum to {:.6f}, above 1 (the book cannot borrow)".format(target.sum()))
    if (holding < 0).any():
        raise ValueError("holding: short positions are not supported: {}".format(
            ", ".join(holding.index[holding < 0][:5])))
    cash = float(cash)
    if not np.isfinite(cash) or cash < 0:
        raise ValueError("cash: expected a non-negative amount, got {!r}".format(cash))
    if min_value < 0 or cash_floor < 0:
        raise ValueError("min_value and cash_floor must not be negative, got {} and {}".format(min_value, cash_floor))
    ids = list(dict.fromkeys(list(holding.index[holding > 0]) + list(target.index[target > 0])))
    price = prices.reindex(ids)
    bad = price.index[~(price > 0)]
    if len(bad):
        raise ValueError("prices: no positive price for {}".format(", ".join(map(str, bad[:10]))))
    p = price.to_numpy(dtype=float)
    h = np.round(holding.reindex(ids).fillna(0.0).to_numpy()).astype(np.int64)
    if np.abs(holding.reindex(ids).fillna(0.0).to_numpy() - h).max(initial=0.0) > 1e-6:
        raise ValueError("holding: expected whole numbers of shares")
    nav = cash + float((h * p).sum())
    if nav <= 0:
        raise ValueError("the book is empty: no holding and no cash")
    t = target.reindex(ids).fillna(0.0).to_numpy()
    x = t * nav / p  # target in shares
    ruleset = [lot_rule(i, rules) for i in ids]
    no_buy, no_sell = set(no_buy), set(no_sell)
    grids = [_Grid(int(h[i]), ruleset[i], float(p[i]), float(min_value), ids[i] not in no_buy, ids[i] not in no_sell)
             for i in range(len(ids))]

    def dev(i, c):
        return (c * p[i] / nav - t[i]) ** 2

    def loss_per_cash(i, c):
        lower = grids[i].down(c)
        return None if lower is None else ((dev(i, lower) - dev(i, c)) / ((c - lower) * p[i]), i, lower)

    def gain(i, c):
        upper = grids[i].up(c)
        return (0.0, i, None) if upper is None else (dev(i, c) - dev(i, upper), i, upper)

    reserve = 0.0
    for _ in range(3):  # the cost estimate depends on the orders; settle it in a few passes
        start = [int(math.floor(x[i] + 1e-9)) + 1 for i in range(len(ids))]
        # the largest feasible holding not above the target; a stock that may not
        # be sold stays at least where it is, one that may not be bought at most
        shares = np.array([h[i] if (not grids[i].sell and x[i] < h[i]) or (not grids[i].buy and x[i] > h[i])
                           else grids[i].down(start[i]) for i in range(len(ids))], dtype=np.int64)
        free = cash - float(((shares - h) * p).sum()) - cash_floor - reserve
        if free < 0:  # step down, least loss of closeness per unit of cash first
            heap = [e for e in (loss_per_cash(i, shares[i]) for i in range(len(ids))) if e is not None]
            heapq.heapify(heap)
            while free < 0 and heap:
                _, i, lower = heapq.heappop(heap)
                free += (shares[i] - lower) * p[i]
                shares[i] = lower
                entry = loss_per_cash(i, lower)
                if entry is not None:
                    heapq.heappush(heap, entry)
        heap = []
        for i in range(len(ids)):
            g, _, upper = gain(i, shares[i])
            if g > 0:
                heap.append((-g, i, upper))
        heapq.heapify(heap)
        while heap and free > 0:
            _, i, upper = heapq.heappop(heap)
            spend = (upper - shares[i]) * p[i]
            if spend > free:
                continue
            free -= spend
            shares[i] = upper
            g, _, nxt = gain(i, upper)
            if g > 0:
                heapq.heappush(heap, (-g, i, nxt))
        if cost_model is None or date is None:
            costs = 0.0
            break
        trades = pd.Series(shares - h, index=ids)
        costs = float(cost_model.cost(trades[trades != 0], date, prices=price)["total"].sum())
        if costs <= reserve + 1e-9:
            break
        reserve = costs * 1.01 + 1e-6
    frame = pd.DataFrame({
        "price": p, "holding": h, "shares_after": shares, "trade": shares - h,
        "target_weight": t, "weight_before": h * p / nav, "weight_after": shares * p / nav,
    }, index=pd.Index(ids, name="order_book_id"))
    frame["deviation"] = frame["weight_after"] - frame["target_weight"]
    frame["board"] = [r.board for r in ruleset]
    frame["lot"] = [r.lot for r in ruleset]
    frame.attrs.update(nav=nav, cash_before=cash, costs=costs,
                       cash_after=cash - float(((shares - h) * p).sum()) - costs)
    return frame


def orders(target, holding, prices, cash, *, rules=LOT_RULES, min_value=0.0, cash_floor=0.0,
           cost_model=None, date=None, no_buy=(), no_sell=()) -> pd.DataFrame:
    """The orders that take the book (`holding` in shares at `prices`, plus `cash`) to `target`.

    One row per order, sells first: `order_book_id`, `side` ("sell"/"buy"),
    `shares`, `lots` (in board lots; an odd-lot sell shows a fraction),
    `price`, `value`, `weight_before`, `weight_after`, `target_weight`,
    `deviation`.  ``attrs`` as in `plan`.
    """
    book = plan(target, holding, prices, cash, rules=rules, min_value=min_value, cash_floor=cash_floor,
                cost_model=cost_model, date=date, no_buy=no_buy, no_sell=no_sell)
    traded = book[book["trade"] != 0]
    out = pd.DataFrame({
        "order_book_id": traded.index,
        "side": np.where(traded["trade"] < 0, "sell", "buy"),
        "shares": traded["trade"].abs().to_numpy(),
        "lots": (traded["trade"].abs() / traded["lot"]).to_numpy(),
        "price": traded["price"].to_numpy(),
        "value": (traded["trade"].abs() * traded["price"]).to_numpy(),
        "weight_before": traded["weight_before"].to_numpy(),
        "weight_after": traded["weight_after"].to_numpy(),
        "target_weight": traded["target_weight"].to_numpy(),
        "deviation": traded["deviation"].to_numpy(),
    })
    out = out.sort_values(["side", "order_book_id"], ascending=[False, True], kind="stable").reset_index(drop=True)
    out.attrs.update(book.attrs)
    return out


def squared_deviation(book: pd.DataFrame) -> float:
    """Sum of squared weight deviations of a `plan` frame (target cash left out)."""
    return float((book["deviation"] ** 2).sum())
