"""The on-disk market-data store and its query connection.

A store is a folder holding one Parquet file per table plus ``manifest.json``.
Readers query it in-process through DuckDB (one connection per process, one
cursor per thread) over read-only views of the Parquet files.  Writing lives
in :mod:`corvana.writer` (``write_store``, re-exported here); what both share
(location, errors, file checks, the build lock) in :mod:`corvana.layout`.
"""

from __future__ import annotations

import json
import os
import re
import threading
from pathlib import Path
from typing import Callable

import duckdb
import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from ._command import command
from .layout import (_ELSEWHERE, _REGISTRY_LOCK, _STORES, FORMAT_VERSION, MANIFEST, StoreError,  # noqa: F401
                     _build_lock, _clean_stale_siblings, _file_digest, _is_replaceable, _schema_problem,
                     _writable, default_path, log)
from .schema import SCHEMA
from .writer import check_tables, write_store  # noqa: F401  (public here since the store began)


# --------------------------------------------------------------------------- reading


class Store:
    """A store folder and the per-process query state attached to it.

    Holds the DuckDB connection (created lazily, re-created after a fork), one
    cursor per thread, and a dictionary of small immutable caches that the API
    fills (calendar, instruments, risk-model snapshots).  The caches are
    dropped when the store is rewritten in this process or when its manifest
    changes on disk (another process replaced it).

    ``fill(path)``, when given, is called (once across processes, under a lock
    file beside the folder) on first use of a folder that holds no store; it
    must write one there.  Without it such a folder is an error.
    """

    def __init__(self, path, fill: "Callable[[Path], object] | None" = None):
        self.path = Path(path).expanduser().absolute()
        self._fill = fill
        self._lock = threading.RLock()
        self._local = threading.local()
        self._con = None
        self._pid = None
        self._stamp = None
        self._manifest = None
        self.cache: dict = {}
        self.blocks: dict = {}
        self._block_bytes = 0
        with _REGISTRY_LOCK:
            _STORES.append(self)

    def __repr__(self) -> str:
        return f"<corvana.Store {str(self.path)!r}>"

    # -- lifecycle
    def reset(self) -> None:
        """Drop the connection and every cache (the files will be re-read)."""
        with self._lock:
            con, self._con = self._con, None
            self._local = threading.local()
            self._stamp = None
            self._manifest = None
            self.cache = {}
            self.blocks, self._block_bytes = {}, 0
            if con is not None and self._pid == os.getpid():
                try:
                    con.close()
                except duckdb.Error:
                    pass

    def close(self) -> None:
        self.reset()
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
        stamp = self._manifest_stamp()
        if stamp is not None and stamp == self._stamp and self._pid == os.getpid():
            return self
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
            if stamp != self._stamp or self._pid != os.getpid():
                self.reset()
                self._stamp = stamp
                self._pid = os.getpid()
                try:
                    _clean_stale_siblings(self.path)  # left by a killed writer
                except OSError:
                    pass  # a read-only parent: nothing can be cleaned, reading still works
                try:
                    self._check_files()
                except BaseException:
                    self._stamp = None  # checked again on the next use
                    raise
        if self.synthetic:
            _announce_synthetic(self.path)
        return self

    @property
    def manifest(self) -> dict:
        self.ready()
        if self._manifest is None:
            try:
                with open(self.path / MANIFEST, encoding="utf-8") as fh:
                    self._manifest = json.load(fh)
            except (OSError, ValueError) as exc:
                raise StoreError(f"cannot read {self.path / MANIFEST}: {exc}") from None
        return self._manifest

    @property
    def synthetic(self) -> bool:
        """True when the store holds generated market data (the demo market), not real data."""
        manifest = self.manifest
        if "synthetic" in manifest:
            return bool(manifest["synthetic"])
        # stores written before the flag existed: the demo generator names itself as the source
        return str(manifest.get("source", "")).startswith("corvana.synth")

    def repair_command(self) -> str:
        """The command that rewrites this store."""
        manifest = self._manifest or {}
        synthetic = manifest.get("synthetic") or str(manifest.get("source", "")).startswith("corvana.synth")
        action = "build-demo" if synthetic else "import SOURCE_DIR"
        return f"{command('corvana')} {action} --path {self.path}"

    def _damaged(self, name: str, problem: str, cause=None) -> StoreError:
        file = self.path / f"{name}.parquet"
        return StoreError(f"table {name!r} ({file}): {problem}; the store is damaged: rewrite it with "
                          f"`{self.repair_command()}` (`corvana verify --path {self.path}` lists every bad file)")

    def _check_files(self) -> None:
        """Cheap checks on opening: every table file is there, of the recorded size, with its schema.

        Only the Parquet footer is read; ``verify`` reads everything.
        """
        for name, meta in self.manifest.get("tables", {}).items():
            if name not in SCHEMA:
                continue
            file = self.path / meta.get("file", f"{name}.parquet")
            try:
                size = file.stat().st_size
            except OSError as exc:
                raise self._damaged(name, f"cannot be read ({exc.strerror or exc})") from None
            if "size" in meta and size != meta["size"]:
                raise self._damaged(name, f"its size is {size} bytes, the manifest records {meta['size']}")
            try:
                found = pq.read_schema(file)
            except (pa.ArrowException, OSError) as exc:
                raise self._damaged(name, f"it is not a readable Parquet file ({exc})") from exc
            problem = _schema_problem(name, found)
            if problem:
                raise self._damaged(name, problem)

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
    def _read_error(self, exc: Exception, sql: "str | None" = None, table: "str | None" = None) -> StoreError:
        """A DuckDB or Arrow error from reading tables, as a StoreError naming them."""
        names = [table] if table else [n for n in self.manifest.get("tables", {})
                                       if sql is not None and re.search(rf"\b{n}\b", sql)]
        where = ", ".join(f"{n!r} ({self.path / (n + '.parquet')})" for n in names) or str(self.path)
        return StoreError(f"reading table {where} failed: {exc}; if the file is damaged, rewrite the store "
                          f"with `{self.repair_command()}` (`corvana verify --path {self.path}` checks every file)")

    def _connection(self):
        if self._con is None or self._pid != os.getpid():
            con = duckdb.connect(":memory:")
            for name in self.manifest.get("tables", {}):
                if name in SCHEMA:
                    try:
                        con.read_parquet(str(self.path / f"{name}.parquet")).create_view(name)
                    except duckdb.Error as exc:
                        raise self._read_error(exc, table=name) from exc
            self._con = con
            self._pid = os.getpid()
            self._local = threading.local()
        return self._con

    def cursor(self):
        """The calling thread's DuckDB cursor over this store's views."""
        self.ready()
        cur = getattr(self._local, "cur", None)
        if cur is None:
            with self._lock:
                cur = self._connection().cursor()
            self._local.cur = cur
        return cur

    def query(self, sql: str, params=None):
        """Run a read-only query with bound parameters; return a dict of numpy arrays."""
        cur = self.cursor()
        try:
            return cur.execute(sql, params or []).fetchnumpy()
        except duckdb.Error as exc:
            raise self._read_error(exc, sql=sql) from exc

    def query_df(self, sql: str, params=None) -> pd.DataFrame:
        cur = self.cursor()
        try:
            return cur.execute(sql, params or []).df()
        except duckdb.Error as exc:
            raise self._read_error(exc, sql=sql) from exc

    def read_table(self, name: str) -> pa.Table:
        """Read a whole (small) table straight from its Parquet file, verifying page checksums."""
        self.ready()
        try:
            return pq.read_table(self.path / f"{name}.parquet", page_checksum_verification=True)
        except (pa.ArrowException, OSError) as exc:
            raise self._read_error(exc, table=name) from exc

    #: Entries kept in the per-process cache: every small table plus the
    #: risk-model snapshots of a few years of month ends, per version and
    #: horizon.  The least recently used entry goes first.
    MEMO_SIZE = 512

    def memo(self, key, fn: Callable[[], object]):
        """Return ``cache[key]``, computing it with ``fn`` on first use.

        The cache is bounded (`MEMO_SIZE` entries, least recently used
        dropped first) and dropped whole when the store changes on disk."""
        self.ready()
        cache = self.cache
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
        self.ready()
        with self._lock:
            blocks = self.blocks
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
        with self._lock:
            if self.blocks is not blocks:  # the store changed while this was read
                return value
            if key in blocks:  # another thread read it meanwhile
                return blocks[key]
            while blocks and self._block_bytes + size > self.BLOCK_BYTES:
                old = blocks.pop(next(iter(blocks)))
                self._block_bytes -= sum(a.nbytes for a in old.values() if isinstance(a, np.ndarray))
            blocks[key] = value
            self._block_bytes += size
        return value


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
    log.warning(
        "corvana: serving the synthetic demo market at %s; its prices, indices and risk model are "
        "generated, not real market figures (import real data with `%s import SOURCE_DIR`)",
        path, command("corvana"),
    )

