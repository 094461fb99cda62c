"""Plausibility checks of market data, run on every import and by ``corvana verify``.

The importer's column checks make sure each value is well formed; these look
at the data as a whole, the way verdalis will use them.  `settle` completes
what the data leave implicit (volumes that are no data, listing dates, the
bars of an index given only by its weights) and returns the findings; `review`
reports on the tables of an existing store without changing them.

Each finding is one English line with counts and a few examples, saying what
verdalis will do about it.  Data that cannot be used at all (a non-positive
price, say) are refused by the importer itself, naming the file, row and
column.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

NOT_DELISTED = "0000-00-00"
#: a day-over-day move larger than this, with an unchanged adjustment factor,
#: looks like a split or a data error
JUMP_LIMIT = 0.60
#: examples shown per finding
EXAMPLES = 3


class DataWarning(UserWarning):
    """A plausibility finding of imported market data (the data were imported)."""


@dataclass
class Finding:
    """One plausibility finding: a short `kind`, its line of text, counts and examples."""

    kind: str
    text: str
    count: int = 0
    examples: list = field(default_factory=list)

    def __str__(self) -> str:
        return self.text


def _some(items, n=EXAMPLES) -> str:
    items = list(items)
    shown = ", ".join(str(i) for i in items[:n])
    return shown + (f" and {len(items) - n} more" if len(items) > n else "")


def _plural(n: int, word: str, plural: str | None = None) -> str:
    return f"{n:,d} {word if n == 1 else (plural or word + 's')}"


def _day(value) -> str:
    return str(np.datetime64(value, "D"))


# --------------------------------------------------------------------------- the checks


def settle(tables: dict) -> list:
    """Complete ``tables`` in place and return the findings.

    * volume: a stock with no volume, or volume 0 on every day (or a bars
      table without volume), has no volume data: its volumes become empty
      (never 0), so that nothing infers suspension from them;
    * listing dates: an empty ``listed_date`` is the first price's date, an
      empty ``de_listed_date`` the trading day after the last price (or
      "0000-00-00" when the prices reach the end of the calendar);
    * an index with weights but no bars gets bars computed from its members'
      weights and total returns.
    """
    found = []
    inst, bars = tables["instruments"], tables["bars"]
    found += _settle_volume(inst, bars, _Ids(bars))
    extra = _index_bars(tables, _Ids(bars))
    if extra is not None:
        bars, finding = extra
        tables["bars"] = bars
        found.append(finding)
    ids = _Ids(tables["bars"])
    found += _settle_listing(tables, ids)
    found += review(tables, ids)
    return found


def review(tables: dict, ids=None) -> list:
    """Findings about ``tables`` that leave them as they are."""
    ids = ids or _Ids(tables["bars"])
    found = []
    found += _volume_findings(tables["instruments"], tables["bars"], ids)
    found += _index_findings(tables, ids)
    found += _gaps(tables, ids)
    found += _jumps(tables, ids)
    return found


class _Ids:
    """The bars' ids factorized once: ``code`` per row into ``names``."""

    def __init__(self, bars):
        code, names = pd.factorize(bars["order_book_id"].to_numpy(dtype=object))
        self.code = code
        self.names = np.asarray(names, dtype=object)
        self.index = pd.Index(self.names, dtype=object)

    def member(self, wanted) -> np.ndarray:
        """Per row: is its id among ``wanted``."""
        hit = self.index.isin(list(wanted))
        return hit[self.code]

    def any(self, mask) -> np.ndarray:
        """Per name: is ``mask`` true in any of its rows."""
        return np.bincount(self.code, weights=np.asarray(mask, dtype=float), minlength=len(self.names)) > 0


def emit(findings, stacklevel: int = 3) -> None:
    """Each finding as a `DataWarning` (the command line prints them as lines),
    attributed ``stacklevel`` frames up, to the user's import call."""
    for f in findings:
        warnings.warn(f.text, DataWarning, stacklevel=stacklevel)


def _stock_rows(inst: pd.DataFrame, ids: "_Ids") -> np.ndarray:
    """Bars of instruments other than indices (volumes mean trading there)."""
    return ~ids.member(inst.loc[inst["type"] == "INDX", "order_book_id"])


def _settle_volume(inst, bars, ids) -> list:
    vol = bars["volume"].to_numpy(dtype=float)
    rows = _stock_rows(inst, ids)
    # a stock whose volume is 0 or empty on every day has no volume data
    traded = ids.any(rows & (vol > 0))
    silent = rows & ~traded[ids.code]
    if silent.any():
        vol = vol.copy()
        vol[silent] = np.nan
        bars["volume"] = vol
    return []


def _volume_findings(inst, bars, ids) -> list:
    rows = _stock_rows(inst, ids)
    vol = bars["volume"].to_numpy(dtype=float)
    has = ids.any(np.isfinite(vol) & rows)
    stocks = ids.any(rows)
    missing = sorted(ids.names[stocks & ~has])
    out = []
    if missing:
        n_stocks = int(stocks.sum())
        one = len(missing) == 1
        out.append(Finding(
            "volume",
            f"volume: {len(missing):,d} of {_plural(n_stocks, 'stock')} ({_some(missing)}) "
            f"{'has' if one else 'have'} no volume data: verdalis treats {'it' if one else 'them'} as "
            f"tradable every day (never as suspended), and the transaction limits refuse {'it' if one else 'them'}",
            len(missing), missing[:EXAMPLES]))
    partly = rows & ~np.isfinite(vol) & has[ids.code]
    if partly.any():
        who = sorted(ids.names[ids.any(partly)])
        out.append(Finding(
            "volume-days",
            f"volume: {_plural(int(partly.sum()), 'bar')} of {_plural(len(who), 'stock')} "
            f"(e.g. {_some(who)}) have no volume: verdalis treats those days as traded",
            int(partly.sum()), who[:EXAMPLES]))
    return out


def _settle_listing(tables, ids) -> list:
    inst, bars = tables["instruments"], tables["bars"]
    cal = np.sort(np.asarray(tables["trading_dates"]["date"]).astype("datetime64[D]"))
    day = np.asarray(bars["date"]).astype("datetime64[D]").astype(np.int64)
    n = len(ids.names)
    lo_day = np.full(n, np.iinfo(np.int64).max)
    hi_day = np.full(n, np.iinfo(np.int64).min)
    np.minimum.at(lo_day, ids.code, day)
    np.maximum.at(hi_day, ids.code, day)
    weights = tables.get("index_weights")
    first_weight = (weights.groupby("index_id")["date"].min() if weights is not None and len(weights)
                    else pd.Series(dtype="datetime64[ns]"))
    listed = inst["listed_date"].astype(str).to_numpy(dtype=object).copy()
    delisted = inst["de_listed_date"].astype(str).to_numpy(dtype=object).copy()
    where = ids.index.get_indexer(inst["order_book_id"].to_numpy(dtype=object))
    filled, ended = [], []
    for k, ob in enumerate(inst["order_book_id"].to_numpy(dtype=object)):
        if listed[k] and delisted[k]:
            continue
        if where[k] >= 0:
            lo = np.datetime64(int(lo_day[where[k]]), "D")
            hi = np.datetime64(int(hi_day[where[k]]), "D")
        elif ob in first_weight.index:
            lo, hi = np.datetime64(first_weight[ob], "D"), cal[-1] if len(cal) else None
        else:
            from .importer import DataImportError

            raise DataImportError(
                f"instruments: {ob!r} has no listed_date and no prices to take it from; give its listed_date")
        told = True
        if not listed[k]:
            listed[k] = _day(lo)
            told = False
        if not delisted[k]:
            after = np.searchsorted(cal, hi, "right")
            delisted[k] = NOT_DELISTED if hi is None or after >= len(cal) else _day(cal[after])
            told &= delisted[k] == NOT_DELISTED  # prices to the end: simply not delisted
            if delisted[k] != NOT_DELISTED:
                ended.append(ob)
        if not told:
            filled.append(ob)
    inst["listed_date"] = listed
    inst["de_listed_date"] = delisted
    if not filled:
        return []
    end = (f"{len(ended):,d} delisted on the trading day after their last price ({_some(ended)}), the others "
           "listed to the end" if ended else "none delisted (their prices reach the last trading date)")
    return [Finding("listing", f"listing dates: {_plural(len(filled), 'instrument')} ({_some(filled)}) had none: "
                    f"taken from the first price; {end}", len(filled), filled[:EXAMPLES])]


def _index_bars(tables, ids):
    """Bars for each index that has weights but no bars, from its members' total returns."""
    inst, bars, iw = tables["instruments"], tables["bars"], tables.get("index_weights")
    if iw is None or not len(iw):
        return None
    with_bars = set(ids.names)
    todo = [i for i in pd.unique(iw["index_id"]) if i not in with_bars]
    if not todo:
        return None
    cal = np.sort(np.asarray(tables["trading_dates"]["date"]).astype("datetime64[D]"))
    days = pd.DatetimeIndex(cal.astype("datetime64[ns]"))
    rows = []
    for index_id in todo:
        level = index_level(bars, iw[iw["index_id"] == index_id], days, ids)
        rows.append(pd.DataFrame({"order_book_id": index_id, "date": level.index.to_numpy().astype("datetime64[D]"),
                                  "close": level.to_numpy(), "volume": np.nan, "adj_factor": 1.0}))
    new = pd.concat(rows, ignore_index=True)
    for column in bars.columns:
        if column not in new.columns:
            new[column] = np.nan
    new = new[list(bars.columns)]
    new["date"] = pd.Series(new["date"].to_numpy().astype("datetime64[D]"))
    merged = pd.concat([bars, new], ignore_index=True)
    merged["date"] = pd.Series(np.asarray(merged["date"]).astype("datetime64[D]"))
    return merged, Finding(
        "index-from-weights",
        f"index weights without bars: {_some(todo)}: "
        f"{'its' if len(todo) == 1 else 'their'} daily return is computed from the members' weights "
        "(the latest on or before the previous day) and total returns, starting at 1000 on the first "
        "weight date", len(todo), todo[:EXAMPLES])


def index_level(bars: pd.DataFrame, weights: pd.DataFrame, days: pd.DatetimeIndex, ids=None) -> pd.Series:
    """The level of an index from its members' weights and total returns.

    On each trading day t after the first weight date, the index's return is
    the average of its members' total returns on t, weighted by the latest
    weights on or before the previous trading day (members without a return
    that day left out, the rest rescaled); the level is 1000 on the first
    weight date.
    """
    members = pd.unique(weights["order_book_id"])
    own = bars[(ids or _Ids(bars)).member(members)]
    tr = pd.Series((own["close"] * own["adj_factor"]).to_numpy(),
                   index=pd.MultiIndex.from_arrays([pd.DatetimeIndex(own["date"]), own["order_book_id"]]))
    price = tr.unstack().reindex(index=days, columns=members)
    ret = (price / price.shift(1) - 1.0).to_numpy()
    w = weights.pivot_table(index="date", columns="order_book_id", values="weight", aggfunc="sum")
    w.index = pd.DatetimeIndex(w.index)
    w = w.reindex(columns=members).fillna(0.0)
    start = w.index.min()
    held = w.reindex(days, method="ffill").fillna(0.0).to_numpy()  # weights in force at each close
    prev = np.vstack([np.zeros((1, len(members))), held[:-1]])     # ... of the previous day
    live = np.isfinite(ret) & (prev > 0)
    total = np.where(live, prev, 0.0).sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        r = np.where(total > 0, np.where(live, prev * np.nan_to_num(ret), 0.0).sum(axis=1) / total, 0.0)
    keep = days >= start
    level = 1000.0 * np.cumprod(np.where(days[keep] == start, 0.0, r[keep]) + 1.0)
    return pd.Series(level, index=days[keep])


def _index_findings(tables, ids) -> list:
    inst, bars, iw = tables["instruments"], tables["bars"], tables.get("index_weights")
    indices = list(inst.loc[inst["type"] == "INDX", "order_book_id"])
    weighted = set(pd.unique(iw["index_id"])) if iw is not None and len(iw) else set()
    with_bars = set(ids.names)
    bare = [i for i in indices if i in with_bars and i not in weighted]
    empty = [i for i in indices if i not in with_bars and i not in weighted]
    out = []
    if bare:
        out.append(Finding(
            "index-no-weights",
            f"index bars without weights: {_some(bare)} {'has' if len(bare) == 1 else 'have'} no constituent "
            "weights: as a benchmark the NAV comes from the bars, and tracking-error objectives and limits, "
            "relative limits and benchmark weight limits against "
            f"{'it' if len(bare) == 1 else 'them'} are refused", len(bare), bare[:EXAMPLES]))
    if empty:
        out.append(Finding(
            "index-empty", f"indices without bars or weights: {_some(empty)}: nothing can use "
            f"{'it' if len(empty) == 1 else 'them'}", len(empty), empty[:EXAMPLES]))
    return out


def _gaps(tables, ids_) -> list:
    """Trading days without a bar inside a stock's listed span (and the calendar)."""
    inst, bars = tables["instruments"], tables["bars"]
    cal = np.sort(np.asarray(tables["trading_dates"]["date"]).astype("datetime64[D]"))
    if not len(cal) or not len(bars):
        return []
    stocks = inst[inst["type"] != "INDX"].set_index("order_book_id")
    listed = pd.to_datetime(stocks["listed_date"], errors="coerce").to_numpy().astype("datetime64[D]")
    de = stocks["de_listed_date"].astype(str)
    delisted = pd.to_datetime(de.where(de != NOT_DELISTED, None), errors="coerce").to_numpy().astype("datetime64[D]")
    lo = np.searchsorted(cal, listed, "left")
    hi = np.where(np.isnat(delisted), len(cal), np.searchsorted(cal, delisted, "left"))
    expected = np.maximum(hi - lo, 0)
    # count only the bars inside each stock's span: bars before listing or
    # after delisting are not gaps
    pos = pd.Index(stocks.index).get_indexer(ids_.names)[ids_.code]
    day = np.asarray(bars["date"]).astype("datetime64[D]")
    ci = np.searchsorted(cal, day)
    own = pos >= 0
    inside = own.copy()
    inside[own] = (ci[own] >= lo[pos[own]]) & (ci[own] < hi[pos[own]])
    have = np.bincount(pos[inside], minlength=len(stocks))
    short = np.flatnonzero(have < expected)
    if not len(short):
        return []
    who = [stocks.index[k] for k in short]
    total = int((expected - have)[short].sum())
    examples = []
    for k in short[:EXAMPLES]:
        ob = stocks.index[k]
        span = cal[lo[k]:hi[k]]
        missing = span[~np.isin(span, day[pos == k])]
        examples.append(f"{ob} {_day(missing[0])}" + (f" and {len(missing) - 1} more day(s)" if len(missing) > 1 else ""))
    if not who:
        return []
    return [Finding(
        "gaps",
        f"gaps: {_plural(len(who), 'stock')} miss {_plural(total, 'trading day')} inside their listed span "
        f"(e.g. {'; '.join(examples)}): verdalis has no price there, so the risk model skips those days and "
        "a backtest holding the stock moves it into cash at its last close", total, who[:EXAMPLES])]


def _jumps(tables, ids_) -> list:
    """Day-over-day moves beyond the limit with no change of the adjustment factor."""
    bars = tables["bars"]
    if len(bars) < 2:
        return []
    day_all = np.asarray(bars["date"]).astype("datetime64[D]")
    order = np.lexsort((day_all, ids_.code))
    code = ids_.code[order]
    close = bars["close"].to_numpy(dtype=float)[order]
    factor = bars["adj_factor"].to_numpy(dtype=float)[order]
    same = code[1:] == code[:-1]
    with np.errstate(divide="ignore", invalid="ignore"):
        move = close[1:] / close[:-1] - 1.0
    hit = np.flatnonzero(same & (np.abs(move) > JUMP_LIMIT) & (factor[1:] == factor[:-1]))
    if not len(hit):
        return []
    days = day_all[order]
    names = ids_.names[code]
    examples = [f"{names[i + 1]} {_day(days[i + 1])} {move[i]:+.0%}" for i in hit[:EXAMPLES]]
    who = sorted(set(names[hit + 1]))
    return [Finding(
        "jumps",
        f"jumps: {_plural(len(hit), 'day-over-day move')} beyond ±{JUMP_LIMIT:.0%} with no change of the "
        f"adjustment factor in {_plural(len(who), 'instrument')} (e.g. {'; '.join(examples)}): verdalis takes "
        "them as real returns; if they are splits or consolidations, give the adjustment factor",
        len(hit), who[:EXAMPLES])]
