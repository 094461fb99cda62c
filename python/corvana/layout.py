"""What the reader and the writer of a store share: its location, manifest
name and format version, the error type, the file checks, the build lock and
stale-sibling clean-up, and the registry of stores open in this process (a
write resets the open stores of its folder).
"""

from __future__ import annotations

import contextlib
import hashlib
import logging
import os
import secrets
import shutil
import threading
import zlib
from pathlib import Path

import pyarrow as pa

from .schema import F64, SCHEMA

#: Format of the stores this version writes.  1: one Parquet file per table,
#: SHA-256 per file.  2: also a CRC-32 per file (checked on each table's first
#: read) and, in the bars, ``_sid``: the position of the row's id among the
#: instruments' ids, so that a month of the whole market is read as integers.
#: Both are read; ``corvana upgrade`` rewrites a format-1 store as format 2.
FORMAT_VERSION = 2
MANIFEST = "manifest.json"
#: The bars' integer id column (format 2); no user column may take the name.
SID = "_sid"

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


# --------------------------------------------------------------------------- file checks


def _file_digest(path: Path) -> tuple[int, str]:
    """(size in bytes, SHA-256 hex digest) of a file."""
    h = hashlib.sha256()
    size = 0
    with open(path, "rb") as fh:
        while chunk := fh.read(1 << 20):
            h.update(chunk)
            size += len(chunk)
    return size, h.hexdigest()


def _file_checksums(path: Path) -> tuple[int, str, str]:
    """(size in bytes, SHA-256, CRC-32) of a file, both as hex text, in one pass."""
    h = hashlib.sha256()
    crc = 0
    size = 0
    with open(path, "rb") as fh:
        while chunk := fh.read(1 << 20):
            h.update(chunk)
            crc = zlib.crc32(chunk, crc)
            size += len(chunk)
    return size, h.hexdigest(), format(crc & 0xFFFFFFFF, "08x")


def _expected_schema(name: str, found: pa.Schema) -> list[tuple[str, pa.DataType]]:
    fields = list(SCHEMA[name])
    if name == "bars":  # extra daily factors: float64 columns after the base ones, then the integer ids
        extra = found.names[len(fields):]
        sid = bool(extra) and extra[-1] == SID
        fields += [(c, F64) for c in (extra[:-1] if sid else extra)]
        if sid:
            fields.append((SID, pa.int32()))
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


# --------------------------------------------------------------------------- siblings and locks


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


# --------------------------------------------------------------------------- open stores


_STORES: "list[Store]" = []
_REGISTRY_LOCK = threading.Lock()


def _invalidate(path: Path) -> None:
    with _REGISTRY_LOCK:
        stores = list(_STORES)
    for st in stores:
        if st.path == path:
            st.reset()
