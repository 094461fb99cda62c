"""The on-disk market-data store and its query connection.

A store is a folder holding one Parquet file per table plus ``manifest.json``.
Readers query it in-process through DuckDB (one connection per process, one
cursor per thread) over read-only views of the Parquet files.  Writing lives
in :mod:`corvana.writer` (``write_store``, re-exported here); what both share
(location, errors, file checks, the build lock) in :mod:`corvana.layout`.
"""

from __future__ import annotations

import contextlib
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

from . import snapshot as _snapshot
from ._command import command
from .layout import (_ELSEWHERE, _REGISTRY_LOCK, _STORES, FORMAT_VERSION, MANIFEST, SID, StoreError,  # noqa: F401
                     _build_lock, _clean_stale_siblings, _file_digest, _is_replaceable, _schema_problem,
                     _writable, default_path, log)
from .schema import SCHEMA
from .writer import check_tables, write_store  # noqa: F401  (public here since the store began)


# --------------------------------------------------------------------------- reading


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
                latest.check_in_background()
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
        found_format = manifest.get("format", 1)
        if not isinstance(found_format, int) or found_format > FORMAT_VERSION:
            raise StoreError(f"{self.path / MANIFEST}: the store has format {found_format!r}, newer than this "
                             f"version of corvana reads (format {FORMAT_VERSION}); upgrade verdalis")
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
            table = pq.read_table(snap.file(name), page_checksum_verification=True)
        except (pa.ArrowException, OSError) as exc:
            raise self._read_error(exc, table=name) from exc
        if name == "bars" and SID in table.column_names:  # the store's own ids, not part of the table
            table = table.drop_columns([SID])
        return table

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
    log.warning(
        "corvana: serving the synthetic demo market at %s; its prices, indices and risk model are "
        "generated, not real market figures (import real data with `%s import SOURCE_DIR`)",
        path, command("corvana"),
    )

