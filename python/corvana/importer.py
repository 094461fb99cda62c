"""Import users' own market data from a folder of CSV or Parquet files.

One file per table, named after the table (``instruments.csv``,
``bars.parquet``, ...).  The risk-model tables (``style_exposure``,
``factor_covariance``, ``specific_risk``) are optional as a group.  Every
value is checked before anything is written; the first problem found is
reported with the file, the data row (1-based; for CSV also the line of the
file, the header being line 1) and the column.  The store is then replaced
atomically through :func:`corvana.writer.write_store`.
"""

from __future__ import annotations

import datetime as _dt
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow.parquet as pq

from .schema import (
    HORIZONS, KEYS, REQUIRED_TABLES, RISK_MODEL_VERSIONS, RISK_TABLES, SCHEMA, STYLE_NAMES,
)
from .store import default_path
from .writer import write_store

_NOT_DELISTED = "0000-00-00"
#: columns a file may leave out: empty in every row (volumes: no volume data;
#: listing dates: taken from the first and last price)
OPTIONAL_COLUMNS = {"instruments": ("symbol", "exchange", "listed_date", "de_listed_date"),
                    "bars": ("volume", "market_cap_3")}
_SYMMETRY_TOL = 1e-8
_EPOCH_DAY = np.datetime64("1970-01-01", "D")


class DataImportError(ValueError):
    """Imported data are missing, malformed or inconsistent; the message says where."""


class _Source:
    """One input file, read as raw values, with helpers that convert and check columns."""

    def __init__(self, name: str, path: Path, frame: pd.DataFrame | None = None, label: str | None = None):
        self.name = name
        self.path = path
        self.label = label or path.name
        self.is_csv = frame is None and path.suffix.lower() == ".csv"
        try:
            if frame is not None:
                self.raw = frame.reset_index(drop=True)
            elif self.is_csv:
                self.raw = pd.read_csv(path, dtype=str, keep_default_na=False, na_filter=False)
            else:
                self.raw = pq.read_table(path).to_pandas()
        except Exception as exc:  # parser errors of either format
            raise DataImportError(f"{self.label}: cannot read the file: {exc}") from None
        self.raw.columns = [str(c).strip() for c in self.raw.columns]
        self.n = len(self.raw)
        missing = [c for c, _ in SCHEMA[name] if c not in self.raw.columns and c not in OPTIONAL_COLUMNS.get(name, ())]
        if missing:
            raise DataImportError(f"{self.label}: missing column(s) {', '.join(repr(c) for c in missing)}")
        for c in OPTIONAL_COLUMNS.get(name, ()):
            if c not in self.raw.columns:
                self.raw[c] = pd.Series([None] * self.n, dtype=object)

    def where(self, i: int, column: str | None = None) -> str:
        loc = f"row {i + 1} (line {i + 2})" if self.is_csv else f"row {i + 1}"
        col = f", column {column!r}" if column else ""
        return f"{self.label}: {loc}{col}"

    def fail(self, mask: np.ndarray, column: str | None, message) -> None:
        """Raise for the first row where ``mask`` is true; ``message`` may take the raw value."""
        bad = np.flatnonzero(np.asarray(mask, dtype=bool))
        if len(bad):
            i = int(bad[0])
            value = self.raw[column].iloc[i]
            if isinstance(value, (np.number, np.bool_)):  # Parquet values: 0.0, not np.float64(0.0)
                value = value.item()
            text = message(value) if callable(message) else message
            raise DataImportError(f"{self.where(i, column)}: {text}")

    def _blank(self, column: str) -> np.ndarray:
        s = self.raw[column]
        na = s.isna().to_numpy()
        if s.dtype == object or pd.api.types.is_string_dtype(s.dtype):
            return na | (s.astype(str).str.strip().eq("").to_numpy() & ~na)
        return na.copy()

    def text(self, column: str, required: bool = True, allowed=None) -> pd.Series:
        s = self.raw[column]
        blank = self._blank(column)
        if required:
            self.fail(blank, column, "value is missing")
        out = s.astype(str).str.strip().where(~blank, "")
        if allowed is not None:
            self.fail(~out.isin(allowed).to_numpy(), column,
                      lambda v: f"{v!r} is not one of {', '.join(sorted(allowed))}")
        return out

    def date(self, column: str, required: bool = True) -> pd.Series:
        """A date column as datetime64 (accepts YYYY-MM-DD, YYYYMMDD, YYYY/MM/DD); NaT where blank."""
        s = self.raw[column]
        blank = self._blank(column)
        if required:
            self.fail(blank, column, "date is missing")
        elif blank.any():
            s = s.where(~blank, None)
        if pd.api.types.is_datetime64_any_dtype(s.dtype):
            return pd.Series(s.to_numpy().astype("datetime64[D]"))
        if s.dtype == object and len(s) and isinstance(s.iloc[0], _dt.date):
            parsed = pd.to_datetime(s, errors="coerce")
        else:
            parsed = _parse_dates(s.astype(str).str.strip().where(~blank, ""))
        self.fail(parsed.isna().to_numpy() & ~blank, column, lambda v: f"{v!r} is not a date (expected YYYY-MM-DD)")
        return pd.Series(parsed.to_numpy().astype("datetime64[D]"))

    def number(self, column: str, *, required=True, positive=False, nonnegative=False) -> pd.Series:
        s = self.raw[column]
        blank = self._blank(column)
        # a boolean Parquet column (object dtype when it has nulls) would
        # otherwise pass as 0 and 1; CSV text like "True" fails the parse below
        if pd.api.types.is_bool_dtype(s.dtype):
            self.fail(~blank, column, lambda v: f"{v!r} is not a number")
        elif s.dtype == object:
            self.fail(s.map(lambda v: isinstance(v, (bool, np.bool_))), column, lambda v: f"{v!r} is not a number")
        if pd.api.types.is_numeric_dtype(s.dtype):
            values = s.astype("float64")
        else:
            values = _exact_floats(s.where(~blank, None))
            self.fail(values.isna().to_numpy() & ~blank, column, lambda v: f"{v!r} is not a number")
        if required:
            self.fail(blank | values.isna().to_numpy(), column, "value is missing")
        v = values.to_numpy()
        self.fail(np.isinf(v), column, lambda x: f"{x!r} is not a finite number")
        with np.errstate(invalid="ignore"):
            if positive:
                self.fail(v <= 0, column, lambda x: f"{x!r} must be greater than 0")
            if nonnegative:
                self.fail(v < 0, column, lambda x: f"{x!r} must not be negative")
        return values.reset_index(drop=True)

    def unique(self, frame: pd.DataFrame, keys: list) -> None:
        dup = frame.duplicated(subset=keys, keep="first").to_numpy()
        if dup.any():
            i = int(np.flatnonzero(dup)[0])
            shown = ", ".join(f"{k}={_show(frame[k].iloc[i])}" for k in keys)
            raise DataImportError(f"{self.where(i, keys[-1])}: duplicate key ({shown})")

    def known(self, values: pd.Series, column: str, known: set, what: str) -> None:
        self.fail(~values.isin(known).to_numpy(), column, lambda v: f"{v!r} is not {what}")


class _Sources(dict):
    """The files found, each read only when its table is validated (the first error stops early)."""

    def __init__(self, found: dict):
        super().__init__()
        self.found = found

    def __missing__(self, name):
        src = self[name] = _Source(name, self.found[name])
        return src

    def __contains__(self, name):
        return name in self.found


def _show(v) -> str:
    if isinstance(v, np.datetime64):
        return str(v.astype("datetime64[D]"))
    if isinstance(v, pd.Timestamp):
        return v.date().isoformat()
    return str(v)


def _exact_floats(strings: pd.Series) -> pd.Series:
    """Text to float64, correctly rounded; NaN for blanks and non-numbers.

    ``pd.to_numeric`` uses a fast parser that can be off in the last digit
    (pandas 2), which would silently change imported data.
    """
    out = np.full(len(strings), np.nan)
    present = strings.notna().to_numpy()
    values = strings[present]
    try:
        out[present] = values.astype("float64").to_numpy()
    except (TypeError, ValueError):
        out[present] = [_float_or_nan(v) for v in values]
    return pd.Series(out)


def _float_or_nan(text) -> float:
    try:
        return float(text)
    except (TypeError, ValueError):
        return float("nan")

def _parse_dates(s: pd.Series) -> pd.Series:
    out = pd.to_datetime(s, format="%Y-%m-%d", errors="coerce")
    for fmt in ("%Y%m%d", "%Y/%m/%d"):
        todo = out.isna() & s.ne("")
        if not todo.any():
            break
        out = out.where(~todo, pd.to_datetime(s.where(todo), format=fmt, errors="coerce"))
    return out


def _find_sources(folder: Path) -> dict:
    if not folder.is_dir():
        raise DataImportError(f"{folder}: not a folder")
    found = {}
    for name in SCHEMA:
        candidates = [folder / f"{name}.{ext}" for ext in ("csv", "parquet")]
        present = [p for p in candidates if p.is_file()]
        if len(present) > 1:
            raise DataImportError(f"{folder}: both {present[0].name} and {present[1].name} given; keep one")
        if present:
            found[name] = present[0]
    missing = [t for t in REQUIRED_TABLES if t not in found]
    if missing:
        raise DataImportError(
            f"{folder}: missing table file(s): " + ", ".join(f"{t}.csv (or .parquet)" for t in missing)
        )
    risk = [t for t in RISK_TABLES if t in found]
    if risk and len(risk) != len(RISK_TABLES):
        absent = [f"{t}.csv" for t in RISK_TABLES if t not in found]
        raise DataImportError(
            f"{folder}: the risk-model tables come as a group; {', '.join(absent)} missing "
            f"(or remove {', '.join(found[t].name for t in risk)})"
        )
    return found


def _iso(days: pd.Series) -> pd.Series:
    return pd.Series(np.datetime_as_string(days.to_numpy().astype("datetime64[D]"), unit="D"), dtype=object)


def _instruments(src: _Source) -> pd.DataFrame:
    ids = src.text("order_book_id")
    out = pd.DataFrame({
        "order_book_id": ids,
        "symbol": src.text("symbol", required=False),
        "type": src.text("type"),
        "exchange": src.text("exchange", required=False),
    })
    listed = src.date("listed_date", required=False)  # empty: the first price's date
    out["listed_date"] = _iso(listed).where(listed.notna().to_numpy(), "")
    raw = src.text("de_listed_date", required=False)
    # empty: taken from the last price (corvana.checks)
    live = raw.isin(["", _NOT_DELISTED]).to_numpy()
    parsed = _parse_dates(raw.where(~live, "").astype(str))
    src.fail(parsed.isna().to_numpy() & ~live, "de_listed_date",
             lambda v: f"{v!r} is not a date (expected YYYY-MM-DD, or {_NOT_DELISTED} when not delisted)")
    dl = pd.Series(parsed.to_numpy().astype("datetime64[D]"))
    src.fail(~live & (dl < listed).to_numpy(), "de_listed_date", "is before listed_date")
    out["de_listed_date"] = np.where(raw.eq("").to_numpy(), "",
                                     np.where(live, _NOT_DELISTED, _iso(dl.where(~live, _EPOCH_DAY))))
    src.unique(out, KEYS["instruments"])
    return out


def _validate(sources: dict) -> dict:
    tables = {}
    inst = _instruments(sources["instruments"])
    tables["instruments"] = inst
    ids = set(inst["order_book_id"])

    src = sources["trading_dates"]
    cal = src.date("date")
    tables["trading_dates"] = pd.DataFrame({"date": cal})
    src.unique(tables["trading_dates"], KEYS["trading_dates"])
    cal_set = pd.Index(cal.unique())

    src = sources["bars"]
    bars = pd.DataFrame({"order_book_id": src.text("order_book_id"), "date": src.date("date")})
    src.known(bars["order_book_id"], "order_book_id", ids, "in instruments")
    src.fail(~bars["date"].isin(cal_set).to_numpy(), "date", lambda v: f"{_show(v)} is not in trading_dates")
    bars["close"] = src.number("close", positive=True)
    # empty: no volume data that day (never read as a suspension)
    bars["volume"] = src.number("volume", required=False, nonnegative=True)
    bars["adj_factor"] = src.number("adj_factor", positive=True)
    bars["market_cap_3"] = src.number("market_cap_3", required=False, nonnegative=True)
    for extra in src.raw.columns:
        if extra not in bars.columns:
            if not (extra.isidentifier() and extra.isascii()):
                raise DataImportError(
                    f"{src.path.name}: column {extra!r}: extra factor columns need plain names "
                    "(letters, digits and _)"
                )
            bars[extra] = src.number(extra, required=False)
    src.unique(bars, KEYS["bars"])
    tables["bars"] = bars

    src = sources["index_weights"]
    iw = pd.DataFrame({
        "index_id": src.text("index_id"), "date": src.date("date"), "order_book_id": src.text("order_book_id"),
    })
    src.known(iw["index_id"], "index_id", ids, "in instruments")
    src.known(iw["order_book_id"], "order_book_id", ids, "in instruments")
    iw["weight"] = src.number("weight", nonnegative=True)
    src.unique(iw, KEYS["index_weights"])
    totals = iw.groupby(["index_id", "date"], sort=False)["weight"].transform("sum").to_numpy()
    src.fail(totals <= 0, "weight", "the weights of this index and date sum to 0")
    tables["index_weights"] = iw

    src = sources["industries"]
    ind = pd.DataFrame({
        "order_book_id": src.text("order_book_id"), "standard": src.text("standard").str.lower(),
        "industry": src.text("industry"),
    })
    src.known(ind["order_book_id"], "order_book_id", ids, "in instruments")
    src.unique(ind, KEYS["industries"])
    tables["industries"] = ind

    if "style_exposure" in sources:
        tables.update(_validate_risk(sources, ids))
    return tables


def _validate_risk(sources: dict, ids: set) -> dict:
    out = {}
    src = sources["style_exposure"]
    se = pd.DataFrame({
        "version": src.text("version", allowed=RISK_MODEL_VERSIONS), "date": src.date("date"),
        "order_book_id": src.text("order_book_id"), "industry": src.text("industry"),
    })
    src.known(se["order_book_id"], "order_book_id", ids, "in instruments")
    snap_key = se["version"] + "|" + _iso(se["date"])
    for s in STYLE_NAMES:
        # a style may be left out of a model: empty in every row of its snapshot
        se[s] = src.number(s, required=False)
        blank = se[s].isna()
        partly = blank.groupby(snap_key).transform("any") & ~blank.groupby(snap_key).transform("all")
        src.fail((blank & partly).to_numpy(), s,
                 "value is missing (a style the model lacks is empty in every row of the snapshot)")
    src.unique(se, KEYS["style_exposure"])
    out["style_exposure"] = se
    snapshots = pd.MultiIndex.from_frame(se[["version", "date"]]).unique()

    src = sources["factor_covariance"]
    fc = pd.DataFrame({
        "version": src.text("version", allowed=RISK_MODEL_VERSIONS), "date": src.date("date"),
        "horizon": src.text("horizon", allowed=HORIZONS),
        "factor_i": src.text("factor_i"), "factor_j": src.text("factor_j"),
    })
    fc["cov"] = src.number("cov")
    src.unique(fc, KEYS["factor_covariance"])
    src.fail(~pd.MultiIndex.from_frame(fc[["version", "date"]]).isin(snapshots), "date",
             "has no style_exposure snapshot for this version and date")
    src.fail((fc["factor_i"].eq(fc["factor_j"]) & fc["cov"].lt(0)).to_numpy(), "cov",
             "a factor variance must not be negative")
    _check_square(src, fc)
    out["factor_covariance"] = fc

    src = sources["specific_risk"]
    sr = pd.DataFrame({
        "version": src.text("version", allowed=RISK_MODEL_VERSIONS), "date": src.date("date"),
        "horizon": src.text("horizon", allowed=HORIZONS), "order_book_id": src.text("order_book_id"),
    })
    src.known(sr["order_book_id"], "order_book_id", ids, "in instruments")
    sr["specific_variance"] = src.number("specific_variance", nonnegative=True)
    src.unique(sr, KEYS["specific_risk"])
    src.fail(~pd.MultiIndex.from_frame(sr[["version", "date"]]).isin(snapshots), "date",
             "has no style_exposure snapshot for this version and date")
    out["specific_risk"] = sr
    return out


def _check_square(src: _Source, fc: pd.DataFrame) -> None:
    """Every covariance block must list each factor pair and be symmetric."""
    for (v, d, h), block in fc.groupby(["version", "date", "horizon"], sort=False):
        names = pd.Index(sorted(set(block["factor_i"]) | set(block["factor_j"])))
        k = len(names)
        first = int(block.index[0])
        label = f"{v} {h} covariance of {_show(d)}"
        if len(block) != k * k:
            raise DataImportError(
                f"{src.where(first, 'factor_i')}: the {label} has {len(block)} entries; "
                f"a full {k}x{k} matrix (both triangles) needs {k * k}"
            )
        mat = np.empty((k, k))
        mat[names.get_indexer(block["factor_i"]), names.get_indexer(block["factor_j"])] = block["cov"].to_numpy()
        asym = np.abs(mat - mat.T) > _SYMMETRY_TOL * np.maximum(1.0, np.abs(mat))
        if asym.any():
            a, b = np.argwhere(asym)[0]
            hit = block.index[(block["factor_i"] == names[a]).to_numpy() & (block["factor_j"] == names[b]).to_numpy()]
            raise DataImportError(
                f"{src.where(int(hit[0]), 'cov')}: the {label} is not symmetric "
                f"({names[a]}, {names[b]}) = {mat[a, b]!r} but ({names[b]}, {names[a]}) = {mat[b, a]!r}"
            )


def read_source(folder, _stacklevel: int = 1) -> dict:
    """Read and validate the tables of ``folder``; return them as DataFrames.

    The plausibility checks of `corvana.checks` complete the tables (volumes
    that are no data, listing dates, the bars of an index given by its weights
    only); each finding is issued as a `corvana.checks.DataWarning`.
    """
    folder = Path(folder).expanduser()
    return settled(_validate(_Sources(_find_sources(folder))), stacklevel=_stacklevel)


def settled(tables: dict, stacklevel: int = 1) -> dict:
    """``tables`` completed by the plausibility checks, their findings issued as
    warnings that point ``stacklevel`` frames above the caller (at the user's line)."""
    from .checks import emit, settle

    emit(settle(tables), stacklevel=stacklevel + 3)
    return tables


def import_store(source_dir, path=None, *, estimate_risk_model: bool = False, progress: bool = False,
                 **estimate_options) -> Path:
    """Validate the files of ``source_dir`` and make them the store at ``path`` (atomically).

    With ``estimate_risk_model`` the risk-model tables are estimated from the
    imported bars (``corvana.riskmodel.estimate``, which takes
    ``estimate_options``) and written with them, replacing any the folder held.
    """
    tables = read_source(source_dir, _stacklevel=2)
    source = f"import from {Path(source_dir).expanduser().absolute()}"
    if estimate_risk_model:
        from .riskmodel import estimate

        tables.update(estimate(tables, progress=progress, **estimate_options))
        source += "; risk model estimated by corvana.riskmodel"
    target = Path(path).expanduser() if path is not None else default_path()
    return write_store(target, tables, source=source)
