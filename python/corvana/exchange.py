"""The exchange's daily price limits, as data.

A stock's close may move at most `pct` from the previous close (adjusted for
the day's dividends and splits, so in total-return terms the limit is a limit
on the day's return).  The percentage depends on the board and on a special
treatment mark: `PRICE_LIMITS` is a list of rules, the first match wins.  The
demo market's generator and the backtest read the same rules.

A stock "closes at its up-limit" when its close is within half a price tick
of the up-limit price round(prev * (1 + pct), 2): on such a day buyers queue
and cannot be filled; at the down-limit sellers cannot.
"""
from __future__ import annotations

import re
from dataclasses import dataclass

import numpy as np

__all__ = ["LimitRule", "PRICE_LIMITS", "price_limit", "limit_flags", "TICK"]

#: The price tick of A shares, in CNY.
TICK = 0.01


@dataclass(frozen=True)
class LimitRule:
    """Daily limit `pct` of the stocks whose id matches `pattern` and, when
    `special` is set, whose name carries that mark (e.g. "ST")."""

    board: str
    pattern: str
    pct: float
    special: str | None = None


#: A-share rules: special treatment (ST, *ST) 5 %, ChiNext and STAR 20 %, other boards 10 %.
PRICE_LIMITS = (
    LimitRule("ST", r"^(?!300|301|688)\d{6}\.", 0.05, special="ST"),
    LimitRule("ChiNext", r"^30[01]\d{3}\.XSHE$", 0.20),
    LimitRule("STAR", r"^688\d{3}\.XSHG$", 0.20),
    LimitRule("main", r".*", 0.10),
)


def price_limit(order_book_id: str, symbol: str = "", rules=PRICE_LIMITS) -> float:
    """The daily limit of one stock (a fraction); `symbol` is its name, read for special marks."""
    for rule in rules:
        if rule.special is not None and rule.special not in (symbol or ""):
            continue
        if re.search(rule.pattern, order_book_id):
            return float(rule.pct)
    raise ValueError("no price-limit rule matches {!r}".format(order_book_id))


def limit_flags(prev_close, close, pct):
    """(at up-limit, at down-limit) for closes given the previous close (adjusted to
    the same basis) and each stock's limit; arrays of the same shape."""
    prev_close = np.asarray(prev_close, dtype=float)
    close = np.asarray(close, dtype=float)
    pct = np.asarray(pct, dtype=float)
    with np.errstate(invalid="ignore"):
        up = np.round(prev_close * (1.0 + pct) / TICK) * TICK
        down = np.round(prev_close * (1.0 - pct) / TICK) * TICK
        half = TICK / 2 + 1e-9
        at_up = np.isfinite(close) & np.isfinite(prev_close) & (close >= up - half)
        at_down = np.isfinite(close) & np.isfinite(prev_close) & (close <= down + half)
    return at_up, at_down
