"""Writing a store: the table checks and the atomic write.

Writers never modify a store in place: :func:`write_store` builds the complete
new store in a sibling temporary folder and swaps it in with a rename, so a
failure or an interrupt at any point leaves the previous store as it was.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import datetime as _dt
import errno
import json
import os
import shutil
import sys
from pathlib import Path
from typing import Mapping

import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from .layout import (_ELSEWHERE, FORMAT_VERSION, MANIFEST, SID, StoreError, _clean_stale_siblings,
                     _file_checksums, _invalidate, _is_replaceable, _sibling, _writable)
from .schema import BAR_BASE_COLUMNS, DATE, F64, REQUIRED_TABLES, RISK_TABLES, SCHEMA, SORT_KEYS, STR

_ROW_GROUP = 65536

# --------------------------------------------------------------------------- table checks


def _to_arrow(name: str, frame) -> pa.Table:
    """Convert one table to its Arrow schema, raising ValueError on missing columns."""
    spec = SCHEMA[name]
    if isinstance(frame, pa.Table):
        frame = frame.to_pandas()
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"table {name!r}: expected a pandas DataFrame, got {type(frame).__name__}")
    missing = [c for c, _ in spec if c not in frame.columns]
    if missing:
        raise ValueError(f"table {name!r} lacks column(s) {', '.join(missing)}")
    fields = list(spec)
    if name == "bars":
        base = {c for c, _ in spec}
        for c in frame.columns:
            if c not in base:
                if c == SID:  # the store's own integer ids (bars read from a store's file): made anew
                    continue
                if not (isinstance(c, str) and c.isidentifier() and c.isascii()):
                    raise ValueError(f"table 'bars': extra column name {c!r} must be a plain identifier")
                if not pd.api.types.is_numeric_dtype(frame[c].dtype) or pd.api.types.is_bool_dtype(frame[c].dtype):
                    raise ValueError(f"table 'bars': extra column {c!r} must be numeric")
                fields.append((str(c), F64))
    arrays = []
    for col, typ in fields:
        s = frame[col]
        try:
            if typ == DATE:
                if _is_date_objects(s):
                    arr = pa.array(s, type=DATE, from_pandas=True)
                else:
                    days = pd.to_datetime(s).to_numpy().astype("datetime64[D]")
                    arr = pa.array(days, type=DATE, from_pandas=True)
            elif typ == F64:
                arr = pa.array(pd.to_numeric(s).astype("float64"), type=F64, from_pandas=True)
            else:
                try:
                    arr = pa.array(s, type=STR, from_pandas=True)
                except (pa.ArrowException, TypeError, ValueError):
                    arr = pa.array([None if _isna(v) else str(v) for v in s], type=STR)
        except (TypeError, ValueError, pa.ArrowException) as exc:
            raise ValueError(f"table {name!r}, column {col!r}: cannot convert to {typ}: {exc}") from None
        arrays.append(arr)
    table = pa.Table.from_arrays(arrays, names=[c for c, _ in fields])
    keys = SORT_KEYS[name]
    return table.sort_by([(k, "ascending") for k in keys])


def _isna(v) -> bool:
    try:
        return bool(pd.isna(v))
    except (TypeError, ValueError):
        return False


def _is_date_objects(s: pd.Series) -> bool:
    if s.dtype != object or len(s) == 0:
        return False
    first = s.iloc[0]
    return isinstance(first, _dt.date) and not isinstance(first, _dt.datetime)


def check_tables(tables: Mapping[str, object]) -> dict[str, pa.Table]:
    """Check that the required tables are present with their columns; return Arrow tables."""
    unknown = sorted(set(tables) - set(SCHEMA))
    if unknown:
        raise ValueError(f"unknown table(s): {', '.join(unknown)}")
    missing = [t for t in REQUIRED_TABLES if t not in tables]
    if missing:
        raise ValueError(f"missing table(s): {', '.join(missing)}")
    risk = [t for t in RISK_TABLES if t in tables]
    if risk and len(risk) != len(RISK_TABLES):
        absent = [t for t in RISK_TABLES if t not in tables]
        raise ValueError(
            f"the risk-model tables come as a group: {', '.join(risk)} given without {', '.join(absent)}"
        )
    return {name: _to_arrow(name, frame) for name, frame in tables.items()}


# --------------------------------------------------------------------------- atomic write


def _fsync_path(path: Path, directory: bool = False) -> None:
    flags = os.O_RDONLY
    if directory:
        flags |= getattr(os, "O_DIRECTORY", 0)
    try:
        fd = os.open(path, flags)
    except OSError:
        return  # some platforms cannot open directories; best effort
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _with_sids(bars: pa.Table, instruments: pa.Table) -> "pa.Table | None":
    """The bars with ``_sid``, each row's position among the (sorted) instrument ids;
    None when some bar's id is not an instrument (the bars are then stored without it)."""
    sid = pc.index_in(bars.column("order_book_id"), value_set=instruments.column("order_book_id"))
    if sid.null_count:
        return None
    return bars.append_column(SID, sid.cast(pa.int32()))


def _write_table(table: pa.Table, target: Path) -> None:
    # page checksums let readers that verify them detect a damaged page
    pq.write_table(table, target, row_group_size=_ROW_GROUP, compression="zstd",
                   write_page_checksum=True)
    _fsync_path(target)


_RENAME_EXCHANGE = 2
_AT_FDCWD = -100


def _exchange(a: Path, b: Path) -> bool:
    """Atomically swap two directory entries (Linux renameat2); False when unsupported."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        fn = libc.renameat2
    except (OSError, AttributeError):
        return False
    fn.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
    fn.restype = ctypes.c_int
    rc = fn(_AT_FDCWD, os.fsencode(str(a)), _AT_FDCWD, os.fsencode(str(b)), _RENAME_EXCHANGE)
    if rc == 0:
        return True
    err = ctypes.get_errno()
    if err in (22, 38, 95):  # EINVAL, ENOSYS, EOPNOTSUPP: filesystem cannot exchange
        return False
    raise OSError(err, os.strerror(err), str(b))


def _rename_new(tmp: Path, path: Path) -> bool:
    """Rename into a free name; False when another writer created ``path`` meanwhile."""
    try:
        os.rename(tmp, path)
    except OSError as exc:
        if exc.errno in (errno.EEXIST, errno.ENOTEMPTY) and (path / MANIFEST).exists():
            return False
        raise
    return True


def write_store(path, tables: Mapping[str, object], *, source: str = "corvana.write_store",
                synthetic: bool = False) -> Path:
    """Write ``tables`` as a complete store at ``path``, replacing any store there atomically.

    ``source`` says what built the store; ``synthetic=True`` marks generated
    (not real) market data in the manifest, so that readers announce it.

    The new store is written into a sibling temporary folder (every file
    fsynced) and then swapped in by renaming; the previous store is removed
    only once the new one is in place.  On any exception, including
    KeyboardInterrupt, the previous store is untouched and the temporary folder
    is removed.  A folder that exists and is neither empty nor a store is never
    replaced.
    """
    path = Path(path).expanduser().absolute()
    arrow = check_tables(tables)
    if not _is_replaceable(path):
        raise StoreError(f"refusing to replace {path}: it exists and is not a corvana store"
                         f"{_ELSEWHERE}")
    with _writable(path, "create the store folder's parent"):
        path.parent.mkdir(parents=True, exist_ok=True)
    _clean_stale_siblings(path)

    tmp = _sibling(path, "tmp")
    old = None
    try:
        with _writable(path, f"create the temporary folder {tmp.name} beside it"):
            tmp.mkdir()
        counts, files = {}, {}
        bar_factors = [c for c in arrow["bars"].column_names if c not in BAR_BASE_COLUMNS[:5]]
        with_sids = _with_sids(arrow["bars"], arrow["instruments"])
        if with_sids is not None:
            arrow = dict(arrow, bars=with_sids)
        for name, table in arrow.items():
            _write_table(table, tmp / f"{name}.parquet")
            counts[name] = table.num_rows
            files[name] = _file_checksums(tmp / f"{name}.parquet")
        dates = arrow["trading_dates"].column("date")
        manifest = {
            "format": FORMAT_VERSION,
            "source": source,
            "synthetic": bool(synthetic),
            "created": _dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds"),
            "tables": {name: {"file": f"{name}.parquet", "rows": counts[name], "size": files[name][0],
                              "sha256": files[name][1], "crc32": files[name][2]} for name in arrow},
            "first_date": str(dates[0]) if len(dates) else None,
            "last_date": str(dates[-1]) if len(dates) else None,
            "bar_factors": bar_factors,
            # the bars carry `_sid`, positions among the instruments' ids
            "bar_ids": "instruments" if with_sids is not None else None,
        }
        with open(tmp / MANIFEST, "w", encoding="utf-8") as fh:
            json.dump(manifest, fh, indent=2)
            fh.flush()
            os.fsync(fh.fileno())
        _fsync_path(tmp, directory=True)

        if not path.exists() and _rename_new(tmp, path):
            pass
        elif _exchange(tmp, path):
            old = tmp  # after the exchange the temporary name holds the previous store
        else:
            old = _sibling(path, "old")
            os.rename(path, old)
            try:
                os.rename(tmp, path)
            except BaseException:
                os.rename(old, path)
                old = None
                raise
        _fsync_path(path.parent, directory=True)
    finally:
        if tmp.exists() and tmp != old:
            shutil.rmtree(tmp, ignore_errors=True)
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)
    _invalidate(path)
    return path


def upgrade_store(path) -> int:
    """Rewrite the store at ``path`` in the current format (atomically, like any write).

    Every table is read (and checked against its recorded checksum, so a
    damaged store is refused rather than carried over) and written again with
    the same data, source and synthetic flag.  Returns the format the store
    had; a store already in the current format is left as it is.
    """
    from .store import Store, _synthetic, pinned  # the reader imports this module

    path = Path(path).expanduser().absolute()
    st = Store(path)
    try:
        with pinned(st):  # every table of one version
            manifest = st.manifest
            found = manifest.get("format", 1)
            if isinstance(found, int) and found >= FORMAT_VERSION:
                return found
            tables = {name: st.read_table(name) for name in manifest.get("tables", {}) if name in SCHEMA}
            source = manifest.get("source", "corvana.write_store")
            synthetic = _synthetic(manifest)
    finally:
        st.close()
    write_store(path, tables, source=source, synthetic=synthetic)
    return found
