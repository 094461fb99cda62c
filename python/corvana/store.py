"""The on-disk market-data store: location, atomic writes and the query connection.

A store is a folder holding one Parquet file per table plus ``manifest.json``.
Readers query it in-process through DuckDB (one connection per process, one
cursor per thread) over read-only views of the Parquet files.  Writers never
modify a store in place: :func:`write_store` builds the complete new store in a
sibling temporary folder and swaps it in with a rename, so a failure or an
interrupt at any point leaves the previous store as it was.
"""

from __future__ import annotations

import contextlib
import ctypes
import ctypes.util
import datetime as _dt
import errno
import hashlib
import json
import logging
import os
import re
import secrets
import shutil
import sys
import threading
from pathlib import Path
from typing import Callable, Mapping

import duckdb
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

from . import snapshot as _snapshot
from .schema import BAR_BASE_COLUMNS, DATE, F64, REQUIRED_TABLES, RISK_TABLES, SCHEMA, SORT_KEYS, STR

FORMAT_VERSION = 1
MANIFEST = "manifest.json"

_ROW_GROUP = 65536

log = logging.getLogger("corvana")


class StoreError(RuntimeError):
    """The store folder cannot be used (not a store, unreadable manifest, ...)."""


# --------------------------------------------------------------------------- location


def default_path() -> Path:
    """The store folder used when ``connect`` was not given one."""
    env = os.environ.get("CORVANA_DATA")
    if env:
        return Path(env).expanduser()
    xdg = os.environ.get("XDG_DATA_HOME")
    base = Path(xdg).expanduser() if xdg else Path.home() / ".local" / "share"
    return base / "corvana"


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


def _write_table(table: pa.Table, target: Path) -> None:
    # page checksums let readers that verify them detect a damaged page
    pq.write_table(table, target, row_group_size=_ROW_GROUP, compression="zstd",
                   write_page_checksum=True)
    _fsync_path(target)


def _file_digest(path: Path) -> tuple[int, str]:
    """(size in bytes, SHA-256 hex digest) of a file."""
    h = hashlib.sha256()
    size = 0
    with open(path, "rb") as fh:
        while chunk := fh.read(1 << 20):
            h.update(chunk)
            size += len(chunk)
    return size, h.hexdigest()


def _expected_schema(name: str, found: pa.Schema) -> list[tuple[str, pa.DataType]]:
    fields = list(SCHEMA[name])
    if name == "bars":  # extra daily factors: float64 columns after the base ones
        fields += [(c, F64) for c in found.names[len(fields):]]
    return fields


def _schema_problem(name: str, found: pa.Schema) -> "str | None":
    """What is wrong with a table file's schema, or None when it is the expected one."""
    expected = _expected_schema(name, found)
    got = [(f.name, f.type) for f in found]
    if [c for c, _ in got] != [c for c, _ in expected]:
        return (f"its columns are {', '.join(found.names) or '(none)'}; "
                f"expected {', '.join(c for c, _ in expected)}")
    wrong = [f"{c} is {t}, expected {e}" for (c, t), (_, e) in zip(got, expected) if t != e]
    if wrong:
        return "column types differ: " + "; ".join(wrong)
    return None


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


def _sibling(path: Path, kind: str) -> Path:
    return path.parent / f".{path.name}.{kind}-{os.getpid()}-{secrets.token_hex(4)}"


def _pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True
    return True


def _clean_stale_siblings(path: Path) -> None:
    """Remove temporary folders left by writers that were killed."""
    if not path.parent.is_dir():
        return
    prefix = f".{path.name}."
    for entry in path.parent.iterdir():
        if not entry.name.startswith(prefix) or not entry.is_dir():
            continue
        rest = entry.name[len(prefix):]
        kind, _, tail = rest.partition("-")
        if kind not in ("tmp", "old"):
            continue
        try:
            pid = int(tail.split("-")[0])
        except ValueError:
            continue
        if pid == os.getpid() or _pid_alive(pid):
            continue
        if kind == "old" and not (path / MANIFEST).exists() and (entry / MANIFEST).exists():
            # a writer died between its two renames: the previous store is here
            os.rename(entry, path)
            continue
        shutil.rmtree(entry, ignore_errors=True)


def _rename_new(tmp: Path, path: Path) -> bool:
    """Rename into a free name; False when another writer created ``path`` meanwhile."""
    try:
        os.rename(tmp, path)
    except OSError as exc:
        if exc.errno in (errno.EEXIST, errno.ENOTEMPTY) and (path / MANIFEST).exists():
            return False
        raise
    return True


@contextlib.contextmanager
def _build_lock(path: Path):
    """Serialise the filling of one store folder across processes (POSIX; no-op elsewhere)."""
    try:
        import fcntl
    except ImportError:  # pragma: no cover - Windows
        yield
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path.parent / f".{path.name}.lock", "a+b") as fh:
        fcntl.flock(fh.fileno(), fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(fh.fileno(), fcntl.LOCK_UN)


def _is_replaceable(path: Path) -> bool:
    if not path.exists():
        return True
    if not path.is_dir():
        return False
    if (path / MANIFEST).exists():
        return True
    return not any(path.iterdir())


_ELSEWHERE = ("; point CORVANA_DATA (or corvana.connect(path), or --path on the command line) "
              "at a folder you can write")


@contextlib.contextmanager
def _writable(path: Path, attempt: str):
    """Turn an OSError of a write at ``path`` into a StoreError saying what was attempted."""
    try:
        yield
    except OSError as exc:
        raise StoreError(f"cannot write the store at {path}: could not {attempt} "
                         f"({exc.strerror or exc}){_ELSEWHERE}") from exc


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
        for name, table in arrow.items():
            _write_table(table, tmp / f"{name}.parquet")
            counts[name] = table.num_rows
            files[name] = _file_digest(tmp / f"{name}.parquet")
        dates = arrow["trading_dates"].column("date")
        manifest = {
            "format": FORMAT_VERSION,
            "source": source,
            "synthetic": bool(synthetic),
            "created": _dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds"),
            "tables": {name: {"file": f"{name}.parquet", "rows": counts[name], "size": files[name][0],
                              "sha256": files[name][1]} for name in arrow},
            "first_date": str(dates[0]) if len(dates) else None,
            "last_date": str(dates[-1]) if len(dates) else None,
            "bar_factors": [c for c in arrow["bars"].column_names if c not in BAR_BASE_COLUMNS[:5]],
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


# --------------------------------------------------------------------------- reading


_STORES: "list[Store]" = []
_REGISTRY_LOCK = threading.Lock()


def _invalidate(path: Path) -> None:
    with _REGISTRY_LOCK:
        stores = list(_STORES)
    for st in stores:
        if st.path == path:
            st.reset()


class Store:
    """A store folder and the per-process query state attached to it.

    What is read comes from a :class:`~corvana.snapshot.Snapshot`: one
    version of the store (its manifest and the files it names, held open),
    with its own DuckDB connection (one cursor per thread), its verdicts on
    the files' checksums and its caches of small immutable data (calendar,
    instruments, risk-model snapshots, months of bars).  A new snapshot is
    opened when the manifest changes on disk (this process or another
    rewrote the store); an older one lives on, files and all, while a
    ``pinned()`` block or a call still reads it.

    ``fill(path)``, when given, is called (once across processes, under a lock
    file beside the folder) on first use of a folder that holds no store; it
    must write one there.  Without it such a folder is an error.
    """

    def __init__(self, path, fill: "Callable[[Path], object] | None" = None):
        self.path = Path(path).expanduser().absolute()
        self._fill = fill
        self._lock = threading.RLock()
        self._latest: "_snapshot.Snapshot | None" = None
        with _REGISTRY_LOCK:
            _STORES.append(self)

    def __repr__(self) -> str:
        return f"<corvana.Store {str(self.path)!r}>"

    # -- lifecycle
    def reset(self) -> None:
        """Forget the latest version and its caches (the files will be opened and read again).

        Reads pinned to a version keep it until they end."""
        with self._lock:
            self._latest = None

    def close(self) -> None:
        self.reset()
        _snapshot.forget(self)
        with _REGISTRY_LOCK:
            if self in _STORES:
                _STORES.remove(self)

    def exists(self) -> bool:
        return (self.path / MANIFEST).is_file()

    def _manifest_stamp(self):
        try:
            st = os.stat(self.path / MANIFEST)
        except (FileNotFoundError, NotADirectoryError):
            return None
        return (st.st_ino, st.st_mtime_ns, st.st_size)

    def ready(self) -> "Store":
        """Make sure the store exists (filling the folder first if it has none and ``fill`` is set)."""
        self._newest()
        return self

    def _newest(self) -> "_snapshot.Snapshot":
        """The latest version on disk (opened and checked when it changed)."""
        latest = self._latest
        stamp = self._manifest_stamp()
        if latest is not None and stamp == latest.stamp and latest.pid == os.getpid():
            return latest
        with self._lock:
            stamp = self._manifest_stamp()
            if stamp is None:
                _clean_stale_siblings(self.path)
                stamp = self._manifest_stamp()
            if stamp is None:
                if self._fill is not None:
                    if self.path.exists() and not self.path.is_dir():
                        raise StoreError(f"{self.path} is a file, not a store folder{_ELSEWHERE}")
                    with _writable(self.path, "take the build lock beside it"), _build_lock(self.path):
                        if self._manifest_stamp() is None:  # another process may have filled it meanwhile
                            if self.path.exists() and not _is_replaceable(self.path):
                                raise StoreError(f"{self.path} holds files but no {MANIFEST}: not a corvana store")
                            self._fill(self.path)
                stamp = self._manifest_stamp()
                if stamp is None:
                    raise StoreError(f"no market data at {self.path}")
            latest = self._latest
            if latest is None or stamp != latest.stamp or latest.pid != os.getpid():
                try:
                    _clean_stale_siblings(self.path)  # left by a killed writer
                except OSError:
                    pass  # a read-only parent: nothing can be cleaned, reading still works
                latest = _snapshot.Snapshot(self.path, self._damaged, StoreError)
                self._check_files(latest)
                self._latest = latest
        if _synthetic(latest.manifest):
            _announce_synthetic(self.path)
        return latest

    def snapshot(self) -> "_snapshot.Snapshot":
        """The version this thread's reads see now (see :mod:`corvana.snapshot`)."""
        snap = _snapshot.pinned_snapshot(self)
        if snap is None:
            snap = self._newest()
            _snapshot.note_read(self, snap)
        return snap

    @property
    def manifest(self) -> dict:
        return self.snapshot().manifest

    @property
    def cache(self) -> dict:
        return self.snapshot().cache

    @property
    def blocks(self) -> dict:
        return self.snapshot().blocks

    @property
    def _block_bytes(self) -> int:
        return self.snapshot().block_bytes

    @property
    def synthetic(self) -> bool:
        """True when the store holds generated market data (the demo market), not real data."""
        return _synthetic(self.manifest)

    def repair_command(self, manifest: "dict | None" = None) -> str:
        """The command that rewrites this store."""
        from .cli import command

        if manifest is None:
            latest = self._latest
            manifest = latest.manifest if latest is not None else {}
        action = "build-demo" if _synthetic(manifest) else "import SOURCE_DIR"
        return f"{command('corvana')} {action} --path {self.path}"

    def _damaged(self, name: str, problem: str, manifest: "dict | None" = None) -> StoreError:
        file = self.path / f"{name}.parquet"
        return StoreError(f"table {name!r} ({file}): {problem}; the store is damaged: rewrite it with "
                          f"`{self.repair_command(manifest)}` (`corvana verify --path {self.path}` lists every bad file)")

    def _check_files(self, snap) -> None:
        """Cheap checks on opening: every table file of the recorded size, with its schema.

        Only the Parquet footer is read; the checksum is checked on a table's
        first read, and ``verify`` reads everything."""
        manifest = snap.manifest
        for name, meta in manifest.get("tables", {}).items():
            if name not in SCHEMA:
                continue
            size = snap.size(name)
            if "size" in meta and size != meta["size"]:
                raise self._damaged(name, f"its size is {size} bytes, the manifest records {meta['size']}",
                                    manifest)
            try:
                found = pq.read_schema(snap.file(name))
            except (pa.ArrowException, OSError) as exc:
                raise self._damaged(name, f"it is not a readable Parquet file ({exc})", manifest) from exc
            problem = _schema_problem(name, found)
            if problem:
                raise self._damaged(name, problem, manifest)

    def verify(self) -> dict:
        """Check every table file fully: size, SHA-256, schema, and every page (with its checksum).

        Returns ``{table: problem}`` for the bad files (empty when all are sound).
        """
        try:
            with open(self.path / MANIFEST, encoding="utf-8") as fh:
                manifest = json.load(fh)
        except (OSError, ValueError) as exc:
            raise StoreError(f"cannot read {self.path / MANIFEST}: {exc}") from None
        bad = {}
        for name, meta in manifest.get("tables", {}).items():
            file = self.path / meta.get("file", f"{name}.parquet")
            try:
                size, digest = _file_digest(file)
            except OSError as exc:
                bad[name] = f"cannot be read ({exc.strerror or exc})"
                continue
            if "size" in meta and size != meta["size"]:
                bad[name] = f"its size is {size} bytes, the manifest records {meta['size']}"
            elif "sha256" in meta and digest != meta["sha256"]:
                bad[name] = "its SHA-256 differs from the one the manifest records"
            else:
                try:
                    found = pq.read_schema(file)
                    problem = _schema_problem(name, found) if name in SCHEMA else None
                    if problem is None:
                        pq.read_table(file, page_checksum_verification=True)
                except (pa.ArrowException, OSError) as exc:
                    problem = f"it cannot be read ({exc})"
                if problem:
                    bad[name] = problem
        return bad

    def has_table(self, name: str) -> bool:
        return name in self.manifest.get("tables", {})

    # -- queries
    def _read_error(self, exc: Exception, sql: "str | None" = None, table: "str | None" = None,
                    manifest: "dict | None" = None) -> StoreError:
        """A DuckDB or Arrow error from reading tables, as a StoreError naming them."""
        names = [table] if table else _tables_in(sql, manifest or {})
        where = ", ".join(f"{n!r} ({self.path / (n + '.parquet')})" for n in names) or str(self.path)
        return StoreError(f"reading table {where} failed: {exc}; if the file is damaged, rewrite the store "
                          f"with `{self.repair_command()}` (`corvana verify --path {self.path}` checks every file)")

    def _connection(self, snap):
        box = snap.con_box
        if box[0] is None or box[1] != os.getpid():
            with snap.lock:
                if box[0] is None or box[1] != os.getpid():
                    con = duckdb.connect(":memory:")
                    for name in snap.files:
                        if name in SCHEMA:
                            try:
                                con.read_parquet(snap.file(name)).create_view(name)
                            except duckdb.Error as exc:
                                raise self._read_error(exc, table=name) from exc
                    snap.local = threading.local()
                    box[0], box[1] = con, os.getpid()
        return box[0]

    def cursor(self, snap=None):
        """The calling thread's DuckDB cursor over the views of a version (default: the one reads see now)."""
        snap = snap or self.snapshot()
        cur = getattr(snap.local, "cur", None)
        if cur is None:
            cur = self._connection(snap).cursor()
            snap.local.cur = cur
        return cur

    def _run(self, sql: str, params, fetch):
        snap = self.snapshot()
        for name in _tables_in(sql, snap.manifest):
            snap.check(name)  # a damaged file raises before any value is read
        cur = self.cursor(snap)
        try:
            return fetch(cur.execute(sql, params or []))
        except duckdb.Error as exc:
            raise self._read_error(exc, sql=sql, manifest=snap.manifest) from exc

    def query(self, sql: str, params=None):
        """Run a read-only query with bound parameters; return a dict of numpy arrays."""
        return self._run(sql, params, lambda r: r.fetchnumpy())

    def query_df(self, sql: str, params=None) -> pd.DataFrame:
        return self._run(sql, params, lambda r: r.df())

    def read_table(self, name: str) -> pa.Table:
        """Read a whole (small) table straight from its Parquet file, verifying its checksum and pages."""
        snap = self.snapshot()
        snap.check(name)
        try:
            return pq.read_table(snap.file(name), page_checksum_verification=True)
        except (pa.ArrowException, OSError) as exc:
            raise self._read_error(exc, table=name) from exc

    #: Entries kept in the per-process cache: every small table plus the
    #: risk-model snapshots of a few years of month ends, per version and
    #: horizon.  The least recently used entry goes first.
    MEMO_SIZE = 512

    def memo(self, key, fn: Callable[[], object]):
        """Return ``cache[key]``, computing it with ``fn`` on first use.

        The cache belongs to the version being read, is bounded
        (`MEMO_SIZE` entries, least recently used dropped first) and goes
        with its version."""
        cache = self.snapshot().cache
        try:
            value = cache.pop(key)
        except KeyError:
            value = fn()
            while len(cache) >= self.MEMO_SIZE:
                cache.pop(next(iter(cache)))
        cache[key] = value  # re-inserted last: the most recently used
        return value

    #: Bytes kept in the block cache (months of bars of the whole market, a few
    #: MB each), least recently used first out.
    BLOCK_BYTES = 256 * 2**20

    def block(self, key, fn: Callable[[], dict]) -> dict:
        """Like `memo`, for large values (dicts of numpy arrays): the cache is
        bounded by their bytes (`BLOCK_BYTES`) rather than by a count.  The
        arrays are handed out read-only, shared by every caller."""
        snap = self.snapshot()
        with snap.lock:
            blocks = snap.blocks
            value = blocks.pop(key, None)
            if value is not None:
                blocks[key] = value
                return value
        value = fn()
        size = 0
        for arr in value.values():
            if isinstance(arr, np.ndarray):
                arr.flags.writeable = False
                size += arr.nbytes
        with snap.lock:
            if key in blocks:  # another thread read it meanwhile
                return blocks[key]
            while blocks and snap.block_bytes + size > self.BLOCK_BYTES:
                old = blocks.pop(next(iter(blocks)))
                snap.block_bytes -= sum(a.nbytes for a in old.values() if isinstance(a, np.ndarray))
            blocks[key] = value
            snap.block_bytes += size
        return value


def _synthetic(manifest: dict) -> bool:
    if "synthetic" in manifest:
        return bool(manifest["synthetic"])
    # stores written before the flag existed: the demo generator names itself as the source
    return str(manifest.get("source", "")).startswith("corvana.synth")


def _tables_in(sql: "str | None", manifest: dict) -> list:
    """The tables of ``manifest`` that the query text names."""
    if not sql:
        return []
    return [n for n in manifest.get("tables", {}) if re.search(rf"\b{n}\b", sql)]


@contextlib.contextmanager
def pinned(store: "Store"):
    """Every read of ``store`` in this thread within the block sees one version of it."""
    with _snapshot.pin(store) as snap:
        yield snap


_announced = False
_announce_lock = threading.Lock()


def _announce_synthetic(path: Path) -> None:
    """Say once per process that the data being served are generated, not real."""
    global _announced
    if _announced:
        return
    with _announce_lock:
        if _announced:
            return
        _announced = True
    from .cli import command

    log.warning(
        "corvana: serving the synthetic demo market at %s; its prices, indices and risk model are "
        "generated, not real market figures (import real data with `%s import SOURCE_DIR`)",
        path, command("corvana"),
    )

