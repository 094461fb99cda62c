"""Module-level read functions of the market-data client.

Small immutable data (calendar, instruments, industries, index weights per
index, risk-model snapshots) are cached in memory per store after the first
read, and so are recent months of bars (a bounded block cache); longer price
histories are queried through DuckDB with bound parameters.
"""

from __future__ import annotations

import datetime as _dt
import functools
from typing import NamedTuple

import numpy as np
import pandas as pd

from . import snapshot as _versions
from .client import current
from .coerce import choice, to_date
from .schema import BAR_BASE_COLUMNS, HORIZONS, RISK_MODEL_VERSIONS, STYLE_NAMES

__all__ = [
    "Instrument",
    "instruments",
    "all_instruments",
    "get_trading_dates",
    "get_previous_trading_date",
    "get_next_trading_date",
    "trading_date_offset",
    "index_weights",
    "index_weights_ex",
    "index_components",
    "get_price_change_rate",
    "get_price",
    "get_factor",
    "get_industry",
    "industry_standards",
    "get_risk_model_date",
    "get_risk_exposure",
    "get_factor_covariance",
    "get_specific_risk",
]

_ADJUST = ("none", "pre", "post")
_PRICE_FIELDS = ("close", "volume")
_EXPOSURE_COLUMNS = ["industry"] + STYLE_NAMES


class Instrument(NamedTuple):
    """One instrument record (dates are ``YYYY-MM-DD`` strings, "0000-00-00" when not delisted)."""

    order_book_id: str
    symbol: str
    type: str
    exchange: str
    listed_date: str
    de_listed_date: str


# --------------------------------------------------------------------------- one version per read


def _one_version(fn):
    """Make every store access of one call of ``fn`` read the same version of the store.

    Inside a ``pinned()`` block or a pinned optimization call that version is
    the pinned one; otherwise the latest."""
    @functools.wraps(fn)
    def read(*args, **kwargs):
        st = current()
        if _versions.pinned_snapshot(st) is not None:
            return fn(*args, **kwargs)
        snap = st.snapshot()
        stack = _versions.PINS.stack.setdefault(st, [])
        stack.append(snap)
        try:
            return fn(*args, **kwargs)
        finally:
            stack.pop()

    return read


# --------------------------------------------------------------------------- argument helpers


def _d64(value) -> np.datetime64:
    return np.datetime64(to_date(value), "D")


def _ids(order_book_ids) -> list:
    if isinstance(order_book_ids, str):
        return [order_book_ids]
    if order_book_ids is None:
        raise TypeError("order_book_ids must be a str or an iterable of str, not None")
    return list(order_book_ids)


def _unique(ids: list) -> list:
    return list(dict.fromkeys(ids))


def _choice(value, allowed, what: str) -> str:
    picked = choice(value, allowed)
    if picked is not None:
        return picked
    raise ValueError(f"unknown {what} {value!r}; expected one of {', '.join(allowed)}")


def _as_dates(arr) -> np.ndarray:
    return np.asarray(arr).astype("datetime64[D]")


def _floats(arr) -> np.ndarray:
    if isinstance(arr, np.ma.MaskedArray):
        return arr.astype("float64").filled(np.nan)
    return np.asarray(arr, dtype="float64")


def _timestamps(days: np.ndarray) -> pd.DatetimeIndex:
    return pd.DatetimeIndex(days.astype("datetime64[ns]"), name="date")


# --------------------------------------------------------------------------- instruments


def _instrument_cache():
    def load():
        t = current().read_table("instruments").to_pandas()
        t = t.astype(object).where(t.notna(), "")
        records = {}
        for row in t.itertuples(index=False):
            rec = Instrument(
                row.order_book_id, row.symbol, row.type, row.exchange, row.listed_date,
                row.de_listed_date or "0000-00-00",
            )
            records[rec.order_book_id] = rec
        return records

    return current().memo("instruments", load)


@_one_version
def instruments(order_book_ids):
    """One ``Instrument`` (or None) for an id string; a list of known records for an iterable."""
    records = _instrument_cache()
    if isinstance(order_book_ids, str):
        return records.get(order_book_ids)
    get = records.get
    return [r for r in map(get, _ids(order_book_ids)) if r is not None]


@_one_version
def all_instruments(type=None, date=None) -> pd.DataFrame:
    """The instruments table, optionally filtered by type(s) and by being listed on ``date``."""
    frame = current().memo("instruments_df", lambda: current().read_table("instruments").to_pandas())
    mask = np.ones(len(frame), dtype=bool)
    if type is not None:
        types = [type] if isinstance(type, str) else list(type)
        mask &= frame["type"].isin(types).to_numpy()
    if date is not None:
        d = to_date(date).isoformat()
        listed = frame["listed_date"].to_numpy(dtype=object)
        delisted = frame["de_listed_date"].to_numpy(dtype=object)
        mask &= (listed <= d) & ((delisted == "0000-00-00") | (delisted > d))
    return frame.loc[mask].reset_index(drop=True)


# --------------------------------------------------------------------------- calendar


def _calendar() -> np.ndarray:
    def load():
        col = current().read_table("trading_dates").column("date").to_numpy()
        return np.unique(col.astype("datetime64[D]"))

    return current().memo("calendar", load)


def _cal_date(cal: np.ndarray, i: int) -> _dt.date:
    return cal[i].item()


def _range_error(date, n, cal) -> ValueError:
    if len(cal) == 0:
        return ValueError("the trading calendar is empty")
    return ValueError(
        f"{to_date(date)} offset by {n} trading day(s) falls outside the trading calendar "
        f"({_cal_date(cal, 0)} .. {_cal_date(cal, -1)})"
    )


def _positive(n, name="n") -> int:
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
        raise ValueError(f"{name} must be a positive whole number of trading days, got {n!r}")
    return int(n)


@_one_version
def get_trading_dates(start_date, end_date) -> list:
    """Trading dates from ``start_date`` to ``end_date`` inclusive."""
    cal = _calendar()
    i = np.searchsorted(cal, _d64(start_date), "left")
    j = np.searchsorted(cal, _d64(end_date), "right")
    return cal[i:j].tolist() if j > i else []


@_one_version
def get_previous_trading_date(date, n=1) -> _dt.date:
    """The ``n``-th trading date strictly before ``date``."""
    n = _positive(n)
    cal = _calendar()
    k = int(np.searchsorted(cal, _d64(date), "left")) - n
    if k < 0:
        raise _range_error(date, -n, cal)
    return _cal_date(cal, k)


@_one_version
def get_next_trading_date(date, n=1) -> _dt.date:
    """The ``n``-th trading date strictly after ``date``."""
    n = _positive(n)
    cal = _calendar()
    k = int(np.searchsorted(cal, _d64(date), "right")) + n - 1
    if k >= len(cal):
        raise _range_error(date, n, cal)
    return _cal_date(cal, k)


@_one_version
def trading_date_offset(date, n) -> _dt.date:
    """Move ``n`` trading days from ``date`` (n == 0: ``date`` or the next trading date)."""
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)):
        raise ValueError(f"n must be a whole number of trading days, got {n!r}")
    if n < 0:
        return get_previous_trading_date(date, -int(n))
    if n > 0:
        return get_next_trading_date(date, int(n))
    cal = _calendar()
    k = int(np.searchsorted(cal, _d64(date), "left"))
    if k >= len(cal):
        raise _range_error(date, 0, cal)
    return _cal_date(cal, k)


# --------------------------------------------------------------------------- index weights


class _IndexHistory(NamedTuple):
    dates: np.ndarray  # unique weight dates, ascending
    bounds: np.ndarray  # rows of dates[k] are bounds[k]:bounds[k+1]
    codes: np.ndarray  # int32 position of each row's id in `names`
    names: np.ndarray  # sorted distinct component ids
    weights: np.ndarray


def _index_history(index_id: str):
    st = current()

    def load():
        names = st.query(
            "SELECT DISTINCT order_book_id FROM index_weights WHERE index_id = ? ORDER BY 1", [index_id]
        )["order_book_id"]
        if len(names) == 0:
            return None
        names = np.asarray(names, dtype=object)
        # ids travel as their position in `names`: far cheaper than a million strings
        r = st.query(
            "WITH n AS (SELECT unnest($names) AS order_book_id, generate_subscripts($names, 1) - 1 AS code) "
            "SELECT w.date - DATE '1970-01-01' AS day, n.code AS code, w.weight AS weight "
            "FROM index_weights w JOIN n USING (order_book_id) WHERE w.index_id = $index ORDER BY day, code",
            {"names": names.tolist(), "index": index_id},
        )
        dates = _EPOCH + np.asarray(r["day"]).astype("timedelta64[D]")
        udates, starts = np.unique(dates, return_index=True)
        bounds = np.append(starts, len(dates))
        return _IndexHistory(udates, bounds, np.asarray(r["code"], dtype=np.int32), names, _floats(r["weight"]))

    return st.memo(("index", index_id), load)


def _weights_at(hist: _IndexHistory, k: int) -> pd.Series:
    a, b = hist.bounds[k], hist.bounds[k + 1]
    names = hist.names[hist.codes[a:b]]
    w = np.nan_to_num(hist.weights[a:b].copy(), nan=0.0)
    total = w.sum()
    if total > 0:
        w /= total
    return pd.Series(w, index=pd.Index(names, name="order_book_id", dtype=object), name="weight")


def _weights_on(caller: str, order_book_id, date, exact: bool):
    """Weights on the latest weight date on or before ``date``; with ``exact``, only on ``date``."""
    if not isinstance(order_book_id, str):
        raise TypeError(f"{caller} takes one index id string, got {type(order_book_id).__name__}")
    hist = _index_history(order_book_id)
    if hist is None:
        return None
    d = _d64(date)
    k = int(np.searchsorted(hist.dates, d, "right")) - 1
    if k < 0 or (exact and hist.dates[k] != d):
        return None
    return _weights_at(hist, k)


@_one_version
def index_weights(order_book_id, date):
    """Component weights on the latest weight date on or before ``date`` (None if there is none)."""
    return _weights_on("index_weights", order_book_id, date, exact=False)


@_one_version
def index_weights_ex(order_book_id, date):
    """Component weights recorded exactly on ``date`` (None otherwise)."""
    return _weights_on("index_weights_ex", order_book_id, date, exact=True)


@_one_version
def index_components(index_code, date) -> list:
    """Sorted component ids on the latest weight date on or before ``date``."""
    w = index_weights(index_code, date)
    return [] if w is None else w.index.tolist()


# --------------------------------------------------------------------------- bars


_EPOCH = np.datetime64("1970-01-01", "D")


#: Bars are read a calendar month of the whole market at a time and kept in the
#: store's bounded block cache: a backtest, a sweep or a series of optimisations
#: reads the same recent months again and again, and one month of every stock
#: costs about as much to read as a few hundred stocks' days of it.  A read
#: uses the blocks when it would load at most this many months that are not
#: cached yet, or no more than it finds cached (a history that is mostly in
#: memory already is filled in); otherwise it goes to the store directly (and
#: is kept as it is), so that a one-off read of a long history does not pull
#: the whole market into memory first.
_BAR_BLOCK_MONTHS = 3


def _bar_columns() -> list:
    """The float columns of the bars table: the base ones, then the extra daily factors."""
    return _unique([c for c in BAR_BASE_COLUMNS if c not in ("order_book_id", "date")] + _bar_factors())


def _month_block(month: np.datetime64) -> dict:
    """Every bar of one calendar month: ``ids`` (the distinct ids), ``code`` (index into
    them), ``day`` (days since 1970-01-01) and one float array per bar column."""
    st = current()

    def load():
        first = month.astype("datetime64[D]")
        last = (month + 1).astype("datetime64[D]") - 1
        columns = _bar_columns()
        sids = _sid_index()
        r = st.query(
            ("SELECT _sid" if sids is not None else "SELECT order_book_id")
            + ", date - DATE '1970-01-01' AS day"
            + "".join(f', "{c}"' for c in columns)
            + " FROM bars WHERE date BETWEEN $start AND $end",
            {"start": first.item(), "end": last.item()},
        )
        if sids is not None:  # integer ids: no strings to read or factorize
            ids, code = sids, np.asarray(r["_sid"], dtype=np.int32)
        else:
            code, ids = pd.factorize(r["order_book_id"])
            ids = pd.Index(ids, dtype=object)
        block = {"ids": ids, "code": code.astype(np.int32, copy=False),
                 "day": np.asarray(r["day"], dtype=np.int32)}
        block.update({c: _floats(r[c]) for c in columns})
        return block

    return st.block(("bars", str(month)), load)


def _sid_index() -> "pd.Index | None":
    """The ids the bars' ``_sid`` column points into (the instruments', in file order), or None
    when the store's bars carry no integer ids (format 1)."""
    st = current()
    if st.manifest.get("bar_ids") != "instruments":
        return None

    def load():
        col = st.read_table("instruments").column("order_book_id").to_numpy(zero_copy_only=False)
        index = pd.Index(np.asarray(col, dtype=object), dtype=object)
        return index if index.is_unique else None  # ambiguous positions: read the ids as text

    return st.memo("sid_index", load)


def _bar_rows(ids: list, start: np.datetime64, end: np.datetime64, columns: list, ordered=False) -> dict:
    """Bars of ``ids`` (distinct) between two dates: ``pos`` (index into ``ids``), ``day``
    (days since 1970-01-01) and the ``columns``, floats with NaN for a missing value.  Rows
    come ordered by (pos, day) when ``ordered``, else in no particular order."""
    months = np.arange(start.astype("datetime64[M]"), end.astype("datetime64[M]") + 1)
    st = current()
    missing = sum(("bars", str(m)) not in st.blocks for m in months)
    if missing > max(_BAR_BLOCK_MONTHS, len(months) - missing):
        # kept by its exact request: the same long history is often asked again
        # (one pool, one date, another objective or limit)
        key = ("rows", tuple(ids), str(start), str(end), tuple(columns), bool(ordered))
        rows = st.block(key, lambda: _bar_rows_direct(ids, start, end, columns, ordered))
        return {k: v.copy() for k, v in rows.items()}  # callers may write to what they get
    lo, hi = (start - _EPOCH).astype(int), (end - _EPOCH).astype(int)
    parts = []
    for month in months:
        block = _month_block(month)
        pos_of = block["ids"].get_indexer(ids)
        code_pos = np.full(len(block["ids"]), -1, dtype=np.int64)
        found = np.nonzero(pos_of >= 0)[0]
        code_pos[pos_of[found]] = found
        pos = code_pos[block["code"]]
        keep = np.nonzero((pos >= 0) & (block["day"] >= lo) & (block["day"] <= hi))[0]
        parts.append({"pos": pos[keep], "day": block["day"][keep].astype(np.int64),
                      **{c: block[c][keep] for c in columns}})
    out = {k: np.concatenate([p[k] for p in parts]) for k in ["pos", "day"] + list(columns)}
    if ordered and len(out["pos"]):
        order = np.lexsort((out["day"], out["pos"]))
        out = {k: v[order] for k, v in out.items()}
    return out


def _bar_rows_direct(ids: list, start: np.datetime64, end: np.datetime64, columns: list, ordered) -> dict:
    """`_bar_rows` straight from the store, for long date ranges."""
    # the columns are fixed by the callers (validated field/factor names), never user text
    sids = _sid_index()
    key, values = "order_book_id", ids
    if sids is not None:  # join on the integer ids; an id that is no instrument has no bars
        key, values = "_sid", [int(k) for k in sids.get_indexer(ids)]
    sql = (
        f"WITH ids AS (SELECT unnest($ids) AS {key}, generate_subscripts($ids, 1) - 1 AS pos) "
        "SELECT ids.pos AS pos, b.date - DATE '1970-01-01' AS day"
        + "".join(f', b."{c}"' for c in columns)
        + f" FROM bars b JOIN ids USING ({key}) WHERE b.date BETWEEN $start AND $end"
        + (" ORDER BY pos, day" if ordered else "")
    )
    r = current().query(sql, {"ids": values, "start": start.item(), "end": end.item()})
    out = {"pos": np.asarray(r["pos"], dtype=np.int64), "day": np.asarray(r["day"], dtype=np.int64)}
    out.update({c: _floats(r[c]) for c in columns})
    return out


def _last_adj_factor() -> pd.Series:
    def load():
        sids = _sid_index()
        if sids is not None:
            r = current().query("SELECT _sid, arg_max(adj_factor, date) AS f FROM bars GROUP BY 1")
            return pd.Series(_floats(r["f"]), index=sids[np.asarray(r["_sid"], dtype=np.int64)])
        r = current().query("SELECT order_book_id, arg_max(adj_factor, date) AS f FROM bars GROUP BY 1")
        return pd.Series(_floats(r["f"]), index=pd.Index(r["order_book_id"], dtype=object))

    return current().memo("adj_last", load)


@_one_version
def get_price_change_rate(order_book_ids, start_date, end_date) -> pd.DataFrame:
    """Daily change rates of ``close * adj_factor``; one row per trading date, one column per id."""
    ids = _ids(order_book_ids)
    cal = _calendar()
    i = int(np.searchsorted(cal, _d64(start_date), "left"))
    j = int(np.searchsorted(cal, _d64(end_date), "right"))
    columns = pd.Index(ids, name="order_book_id", dtype=object)
    if j <= i or not ids:
        return pd.DataFrame(
            np.empty((max(j - i, 0), len(ids))), index=_timestamps(cal[i:max(i, j)]), columns=columns
        )
    lo = max(i - 1, 0)
    days = cal[lo:j]  # with the previous trading day when there is one
    uniq = _unique(ids)
    r = _bar_rows(uniq, days[0], days[-1], ["close", "adj_factor"])
    prices = np.full((len(days), len(uniq)), np.nan)
    if len(r["pos"]):
        rows = np.searchsorted(days, _EPOCH + r["day"].astype("timedelta64[D]"))
        prices[rows, r["pos"]] = r["close"] * r["adj_factor"]
    with np.errstate(divide="ignore", invalid="ignore"):
        rates = prices[1:] / prices[:-1] - 1.0
    if lo == i:  # no trading day before the first row
        rates = np.vstack([np.full((1, len(uniq)), np.nan), rates])
    if len(uniq) != len(ids):
        rates = rates[:, pd.Index(uniq, dtype=object).get_indexer(ids)]
    return pd.DataFrame(rates, index=_timestamps(cal[i:j]), columns=columns)


def _bars_frame(order_book_ids, start_date, end_date, columns: list, post=None):
    """Bars of ``ids`` as a DataFrame on (order_book_id, date), ids in the given order."""
    ids = _unique(_ids(order_book_ids))
    start, end = _d64(start_date), _d64(end_date)
    if ids and start <= end:
        r = _bar_rows(ids, start, end, columns, ordered=True)
        pos = r["pos"]
        days = _EPOCH + r["day"].astype("timedelta64[D]")
        data = {c: r[c] for c in columns}
    else:
        pos = np.array([], dtype=np.int64)
        days = np.array([], dtype="datetime64[D]")
        data = {c: np.array([], dtype="float64") for c in columns}
    id_level = pd.Index(ids, dtype=object)
    if post is not None:
        post(id_level, pos, data)
    day_level, day_codes = np.unique(days, return_inverse=True)
    index = pd.MultiIndex(
        levels=[id_level, _timestamps(day_level)],
        codes=[pos, day_codes.reshape(-1)],
        names=["order_book_id", "date"],
        verify_integrity=False,
    ).remove_unused_levels()
    return pd.DataFrame(data, index=index, columns=columns)


@_one_version
def get_price(
    order_book_ids,
    start_date,
    end_date,
    frequency="1d",
    fields=None,
    adjust_type="pre",
    expect_df=True,
) -> pd.DataFrame:
    """Daily close and volume on a (order_book_id, date) index; close adjusted per ``adjust_type``."""
    if frequency != "1d":
        raise ValueError(f"unsupported frequency {frequency!r}; only '1d' is available")
    adjust = _choice(adjust_type, _ADJUST, "adjust_type")
    if fields is None:
        fields = list(_PRICE_FIELDS)
    elif isinstance(fields, str):
        fields = [fields]
    else:
        fields = list(fields)
    for f in fields:
        if f not in _PRICE_FIELDS:
            raise ValueError(f"unknown price field {f!r}; available: {', '.join(_PRICE_FIELDS)}")
    def adjust_close(id_level, pos, data):
        if adjust == "post":
            data["close"] = data["close"] * data["adj_factor"]
        elif adjust == "pre":
            last = _last_adj_factor().reindex(id_level).to_numpy()
            data["close"] = data["close"] * data["adj_factor"] / last[pos]

    frame = _bars_frame(order_book_ids, start_date, end_date, ["close", "volume", "adj_factor"], adjust_close)
    frame = frame[fields]
    if not expect_df and isinstance(order_book_ids, str):
        frame = frame.droplevel("order_book_id")
    return frame


def _bar_factors() -> list:
    return list(current().manifest.get("bar_factors", ["market_cap_3"]))


@_one_version
def get_factor(order_book_ids, factor, start_date, end_date) -> pd.DataFrame:
    """Daily factor values (e.g. "market_cap_3") on a (order_book_id, date) index."""
    names = [factor] if isinstance(factor, str) else list(factor)
    available = _bar_factors()
    for f in names:
        if f not in available:
            raise ValueError(f"unknown factor {f!r}; available: {', '.join(available)}")
    names = _unique(names)
    return _bars_frame(order_book_ids, start_date, end_date, names)


# --------------------------------------------------------------------------- industries


def _industry_table() -> dict:
    st = current()

    def load():
        t = st.read_table("industries").to_pandas()
        return {s: dict(zip(g["order_book_id"], g["industry"])) for s, g in t.groupby("standard", sort=True)}

    return st.memo("industries", load)


@_one_version
def industry_standards() -> list:
    """The industry classification standards the store holds, sorted (may be empty)."""
    return sorted(_industry_table())


@_one_version
def get_industry(order_book_ids, standard="sws") -> pd.Series:
    """Industry name per id under ``standard`` ("UNKNOWN" for ids without a classification)."""
    raw = getattr(standard, "value", standard)
    table = _industry_table()
    mapping = table.get(raw.lower() if isinstance(raw, str) else raw)
    if mapping is None:
        raise ValueError(
            f"unknown industry classification {standard!r}; available: {', '.join(sorted(table)) or 'none'}"
        )
    ids = _ids(order_book_ids)
    return pd.Series(
        [mapping.get(i, "UNKNOWN") for i in ids],
        index=pd.Index(ids, name="order_book_id", dtype=object),
        name="industry",
        dtype=object,
    )


# --------------------------------------------------------------------------- risk model


def _risk_dates() -> dict:
    st = current()

    def load():
        if not st.has_table("style_exposure"):
            return {}
        r = st.query("SELECT DISTINCT version, date FROM style_exposure ORDER BY version, date")
        versions = np.asarray(r["version"], dtype=object)
        dates = _as_dates(r["date"])
        return {v: dates[versions == v] for v in np.unique(versions)}

    return st.memo("risk_dates", load)


def _snapshot(date, version) -> tuple:
    v = _choice(version, RISK_MODEL_VERSIONS, "risk model version")
    dates = _risk_dates().get(v)
    k = -1 if dates is None else int(np.searchsorted(dates, _d64(date), "right")) - 1
    if k < 0:
        return v, None
    return v, dates[k]


@_one_version
def get_risk_model_date(date, version="v1"):
    """The latest risk-model snapshot date on or before ``date`` (None if there is none)."""
    _, d = _snapshot(date, version)
    return None if d is None else d.item()


def _require_snapshot(date, version, what):
    v, d = _snapshot(date, version)
    if d is None:
        if not _risk_dates():
            raise ValueError(f"the market-data store at {current().path} has no risk model")
        raise ValueError(f"no {v} risk-model snapshot on or before {to_date(date)} for the {what}")
    return v, d


def _exposure_snapshot(version: str, day: np.datetime64) -> pd.DataFrame:
    st = current()

    def load():
        df = st.query_df(
            "SELECT order_book_id, " + ", ".join(_EXPOSURE_COLUMNS)
            + " FROM style_exposure WHERE version = ? AND date = ? ORDER BY order_book_id",
            [version, day.item()],
        )
        df.index = pd.Index(df.pop("order_book_id").astype(object), name="order_book_id", dtype=object)
        df["industry"] = df["industry"].astype(object)
        # a style left empty in a snapshot is one the risk model does not have
        absent = [s for s in STYLE_NAMES if len(df) and df[s].isna().all()]
        return df.drop(columns=absent)

    return st.memo(("exposure", version, day), load)


def _select(frame, ids: list):
    pos = frame.index.get_indexer(ids)
    return frame.iloc[pos[pos >= 0]]


@_one_version
def get_risk_exposure(order_book_ids, date, version="v1") -> pd.DataFrame:
    """Industry and style exposures of the covered ids in the snapshot for ``date``."""
    v, day = _require_snapshot(date, version, "style exposures")
    return _select(_exposure_snapshot(v, day), _ids(order_book_ids))


@_one_version
def get_factor_covariance(date, horizon="daily", version="v1") -> pd.DataFrame:
    """Daily factor covariance matrix, factors in model order (country, industries, styles)."""
    h = _choice(horizon, HORIZONS, "horizon")
    v, day = _require_snapshot(date, version, "factor covariance")
    st = current()

    def load():
        r = st.query(
            "SELECT factor_i, factor_j, cov FROM factor_covariance WHERE version = ? AND date = ? AND horizon = ?",
            [v, day.item(), h],
        )
        fi = np.asarray(r["factor_i"], dtype=object)
        fj = np.asarray(r["factor_j"], dtype=object)
        if len(fi) == 0:
            raise ValueError(f"no {h} {v} factor covariance for the snapshot of {day}")
        present = set(fi) | set(fj)
        styles = [s for s in STYLE_NAMES if s in present]
        head = ["country"] if "country" in present else []
        order = head + sorted(present - set(styles) - set(head)) + styles
        idx = pd.Index(order, dtype=object)
        mat = np.full((len(order), len(order)), np.nan)
        a, b = idx.get_indexer(fi), idx.get_indexer(fj)
        cov = _floats(r["cov"])
        mat[a, b] = cov
        # accept a store that holds one triangle only
        missing = np.isnan(mat)
        mat[missing] = mat.T[missing]
        if np.isnan(mat).any():
            raise ValueError(f"the {h} {v} factor covariance of {day} is incomplete")
        return pd.DataFrame(mat, index=pd.Index(order, dtype=object), columns=pd.Index(order, dtype=object))

    return st.memo(("cov", v, h, day), load).copy()


@_one_version
def get_specific_risk(order_book_ids, date, horizon="daily", version="v1") -> pd.Series:
    """Daily specific variance per covered id in the snapshot for ``date``."""
    h = _choice(horizon, HORIZONS, "horizon")
    v, day = _require_snapshot(date, version, "specific risk")
    st = current()

    def load():
        r = st.query(
            "SELECT order_book_id, specific_variance FROM specific_risk "
            "WHERE version = ? AND date = ? AND horizon = ? ORDER BY order_book_id",
            [v, day.item(), h],
        )
        return pd.Series(
            _floats(r["specific_variance"]),
            index=pd.Index(np.asarray(r["order_book_id"], dtype=object), name="order_book_id", dtype=object),
            name="specific_variance",
        )

    return _select(st.memo(("specific", v, h, day), load), _ids(order_book_ids))
