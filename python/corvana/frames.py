"""Make a store from pandas objects, for data that are already in memory.

    corvana.import_frames(prices, "my_store", sectors=sectors, standard="gics",
                          index_weights={"MYBENCH": weights}, estimate_risk_model=True)

``prices`` is a wide frame, one row per trading day and one column per
ticker, in either shape users have at hand:

* two column levels, the fields and the tickers (in either order), as common
  download libraries give them: ``Close`` (unadjusted), ``Adj Close`` (total
  return), ``Volume``;
* one level of tickers: the prices themselves, taken as total-return prices.

The adjustment factor is ``Adj Close / Close`` when both are given, else 1.
Without ``Volume`` the stocks have no volume data (never read as suspended).
Every table then goes through the same checks as ``corvana import`` and the
store is replaced atomically (`corvana.write_store`).
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

from .importer import DataImportError, _Source, _validate, settled
from .schema import RISK_TABLES
from .store import default_path, write_store

__all__ = ["import_frames", "tables_from_frames"]

_FIELDS = {"close": "close", "adj close": "adj_close", "adj_close": "adj_close", "adjclose": "adj_close",
           "volume": "volume"}


def _fields(prices: pd.DataFrame) -> dict:
    """{"close"|"adj_close"|"volume": dates x tickers frame} from a wide price frame."""
    if not isinstance(prices, pd.DataFrame):
        raise TypeError(f"prices: expected a DataFrame (dates x tickers), got {type(prices).__name__}")
    cols = prices.columns
    if isinstance(cols, pd.MultiIndex):
        if cols.nlevels != 2:
            raise DataImportError(f"prices: expected columns (field, ticker), got {cols.nlevels} levels")
        level = next((k for k in range(2)
                      if any(str(v).strip().lower() in _FIELDS for v in cols.get_level_values(k))), None)
        if level is None:
            raise DataImportError("prices: no level of the columns names a field (Close, Adj Close, Volume)")
        out = {}
        for name in pd.unique(cols.get_level_values(level)):
            key = _FIELDS.get(str(name).strip().lower())
            if key is not None:
                frame = prices.xs(name, axis=1, level=level)
                frame.columns = [str(c) for c in frame.columns]
                out[key] = frame
        if "close" not in out and "adj_close" not in out:
            raise DataImportError("prices: neither a Close nor an Adj Close field")
        return out
    frame = prices.copy()
    frame.columns = [str(c) for c in frame.columns]
    return {"adj_close": frame}


def _check_wide(name: str, frame: pd.DataFrame, *, positive: bool) -> pd.DataFrame:
    """Numbers, finite, positive (prices) or non-negative (volumes): the first bad cell by ticker and date."""
    if all(pd.api.types.is_numeric_dtype(t) and not pd.api.types.is_bool_dtype(t) for t in frame.dtypes):
        values = frame.astype("float64")
        v = values.to_numpy()
        bad = np.isinf(v)
    else:
        values = frame.apply(pd.to_numeric, errors="coerce")
        v = values.to_numpy(dtype=float)
        bad = (np.isnan(v) & frame.notna().to_numpy()) | np.isinf(v)
    with np.errstate(invalid="ignore"):
        bad |= (v <= 0) if positive else (v < 0)
    if bad.any():
        r, c = np.argwhere(bad)[0]
        v = frame.iat[r, c]
        if isinstance(v, (np.number, np.bool_)):
            v = v.item()
        day = pd.Timestamp(frame.index[r]).date()
        need = "a positive number" if positive else "a non-negative number"
        raise DataImportError(f"prices[{name!r}]: {frame.columns[c]} on {day}: {v!r} is not {need}")
    return values


def tables_from_frames(prices, *, sectors=None, standard="sector", index_weights=None, indices=None,
                       market_caps=None, risk_model=None) -> dict:
    """The store's tables (long DataFrames, not yet checked) from wide pandas data.

    ``sectors``: Series ticker -> sector (``standard`` names the classification);
    ``index_weights``: {index id: Series ticker -> weight (held from the first
    trading day) or frame dates x tickers}, or a long frame with the
    ``index_weights`` columns; ``indices``: index levels, a Series (named by
    its name) or a frame dates x index ids; ``market_caps``: frame dates x
    tickers; ``risk_model``: {table name: DataFrame} of the three risk-model
    tables in the store's layout.
    """
    fields = _fields(prices)
    days = pd.DatetimeIndex(pd.to_datetime(prices.index)).normalize()
    if days.has_duplicates:
        raise DataImportError(f"prices: the date {days[days.duplicated()][0].date()} appears twice")
    for frame in fields.values():
        frame.index = days
    tickers = list(dict.fromkeys(c for f in fields.values() for c in f.columns))
    close = _check_wide("Close", fields["close"], positive=True) if "close" in fields else None
    adj = _check_wide("Adj Close", fields["adj_close"], positive=True) if "adj_close" in fields else None
    if close is None:
        close, factor = adj, pd.DataFrame(1.0, index=days, columns=adj.columns)
    elif adj is None:
        factor = pd.DataFrame(1.0, index=days, columns=close.columns)
    else:
        factor = adj.reindex_like(close) / close
    close = close.reindex(columns=tickers)
    factor = factor.reindex(columns=tickers)
    volume = (_check_wide("Volume", fields["volume"], positive=False).reindex(index=days, columns=tickers)
              if "volume" in fields else None)

    def long(frame, name):
        s = frame.stack(future_stack=True) if _future_stack() else frame.stack(dropna=False)
        s.index.names = ["date", "order_book_id"]
        return s.rename(name)

    parts = [long(close, "close"), long(factor, "adj_factor")]
    if volume is not None:
        parts.append(long(volume, "volume"))
    if market_caps is not None:
        caps = _check_wide("market_caps", market_caps.set_axis(pd.DatetimeIndex(pd.to_datetime(market_caps.index))
                                                               .normalize(), axis=0), positive=False)
        parts.append(long(caps.reindex(index=days, columns=tickers), "market_cap_3"))
    bars = pd.concat(parts, axis=1).reset_index()
    bars = bars[bars["close"].notna()]  # a ticker's days without a price have no bar
    if volume is None:
        bars["volume"] = np.nan
    if "market_cap_3" not in bars:
        bars["market_cap_3"] = np.nan

    index_ids = []
    if indices is not None:
        levels = indices.to_frame() if isinstance(indices, pd.Series) else indices
        levels = levels.copy()
        levels.index = pd.DatetimeIndex(pd.to_datetime(levels.index)).normalize()
        levels.columns = [str(c) for c in levels.columns]
        checked = _check_wide("indices", levels, positive=True)
        ib = long(checked, "close").reset_index()
        ib = ib[ib["close"].notna()]
        ib["adj_factor"], ib["volume"], ib["market_cap_3"] = 1.0, np.nan, np.nan
        bars = pd.concat([bars, ib], ignore_index=True)
        index_ids += list(levels.columns)
        days = days.union(levels.index)

    weights = _weights(index_weights, days)
    index_ids += [i for i in pd.unique(weights["index_id"]) if i not in index_ids]
    clash = sorted(set(index_ids) & set(tickers))
    if clash:
        raise DataImportError(f"index ids also used as tickers in prices: {', '.join(clash)}")

    instruments = pd.DataFrame({
        "order_book_id": tickers + index_ids, "symbol": tickers + index_ids,
        "type": ["CS"] * len(tickers) + ["INDX"] * len(index_ids), "exchange": "",
        "listed_date": "", "de_listed_date": "",  # from the first and last price
    })
    if sectors is None:
        industries = pd.DataFrame({c: pd.Series(dtype=object) for c in ("order_book_id", "standard", "industry")})
    else:
        if not isinstance(sectors, pd.Series):
            sectors = pd.Series(sectors)
        sectors = sectors.dropna()
        unknown = sorted(set(map(str, sectors.index)) - set(tickers))
        if unknown:
            raise DataImportError(f"sectors: {len(unknown)} ticker(s) not in prices: {', '.join(unknown[:5])}")
        industries = pd.DataFrame({"order_book_id": [str(i) for i in sectors.index], "standard": str(standard),
                                   "industry": sectors.astype(str).to_numpy()})
    tables = {
        "instruments": instruments,
        "trading_dates": pd.DataFrame({"date": days}),
        "bars": bars[["order_book_id", "date", "close", "volume", "adj_factor", "market_cap_3"]],
        "index_weights": weights,
        "industries": industries,
    }
    if risk_model is not None:
        missing = [t for t in RISK_TABLES if t not in risk_model]
        if missing:
            raise DataImportError(f"risk_model: the tables come as a group; missing {', '.join(missing)}")
        tables.update({t: risk_model[t] for t in RISK_TABLES})
    return tables


def _future_stack() -> bool:
    return int(pd.__version__.split(".")[0]) >= 2 and tuple(map(int, pd.__version__.split(".")[:2])) >= (2, 1)


def _weights(index_weights, days) -> pd.DataFrame:
    columns = ["index_id", "date", "order_book_id", "weight"]
    if index_weights is None:
        return pd.DataFrame({c: pd.Series(dtype="datetime64[ns]" if c == "date" else
                                          (float if c == "weight" else object)) for c in columns})
    if isinstance(index_weights, pd.DataFrame):
        missing = [c for c in columns if c not in index_weights.columns]
        if missing:
            raise DataImportError("index_weights: a frame needs the columns " + ", ".join(columns)
                                  + "; or give {index id: weights}")
        return index_weights[columns].reset_index(drop=True)
    parts = []
    for index_id, w in dict(index_weights).items():
        if isinstance(w, pd.Series):
            frame = pd.DataFrame({"index_id": str(index_id), "date": days[0],
                                  "order_book_id": [str(i) for i in w.index], "weight": w.to_numpy()})
        elif isinstance(w, pd.DataFrame):
            w = w.set_axis(pd.DatetimeIndex(pd.to_datetime(w.index)).normalize(), axis=0)
            s = w.stack(future_stack=True) if _future_stack() else w.stack(dropna=False)
            s = s.dropna()
            frame = pd.DataFrame({"index_id": str(index_id), "date": s.index.get_level_values(0),
                                  "order_book_id": [str(i) for i in s.index.get_level_values(1)],
                                  "weight": s.to_numpy()})
        else:
            raise TypeError(f"index_weights[{index_id!r}]: expected a Series (ticker -> weight) or a frame "
                            f"(dates x tickers), got {type(w).__name__}")
        parts.append(frame)
    return pd.concat(parts, ignore_index=True) if parts else _weights(None, days)


class _FrameSources(dict):
    def __init__(self, tables):
        super().__init__()
        self.tables = tables

    def __missing__(self, name):
        src = self[name] = _Source(name, Path(f"{name} (frames)"), frame=self.tables[name],
                                   label=f"{name} (from the frames)")
        return src

    def __contains__(self, name):
        return name in self.tables


def import_frames(prices, path=None, *, sectors=None, standard="sector", index_weights=None, indices=None,
                  market_caps=None, risk_model=None, estimate_risk_model=False, progress=False,
                  **estimate_options) -> Path:
    """Check pandas data and make them the store at ``path`` (atomically); see the module's text.

    The same checks as ``corvana import`` apply (a bad value is refused naming
    its ticker and date, or its table and row); each plausibility finding is a
    `corvana.checks.DataWarning`.  ``estimate_risk_model`` estimates the risk
    model from the prices (``corvana.riskmodel.estimate`` with
    ``estimate_options``) unless ``risk_model`` gives one.
    """
    tables = tables_from_frames(prices, sectors=sectors, standard=standard, index_weights=index_weights,
                                indices=indices, market_caps=market_caps, risk_model=risk_model)
    tables = settled(_validate(_FrameSources(tables)))
    source = "import_frames"
    if estimate_risk_model and risk_model is None:
        from .riskmodel import estimate

        tables.update(estimate(tables, progress=progress, **estimate_options))
        source += "; risk model estimated by corvana.riskmodel"
    target = Path(path).expanduser() if path is not None else default_path()
    return write_store(target, tables, source=source)
