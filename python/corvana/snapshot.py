"""One version of a store, held open while anyone reads it, and which version a read sees.

A :class:`Snapshot` is the store as one manifest describes it: the manifest
read at one moment and every file it names, opened relative to the same
folder handle so that the manifest and the files belong together.  Queries
read the files through the open handles (``/proc/self/fd/N`` on Linux), so a
rewrite of the store, by this process or another, can rename and delete the
old files without disturbing a reader that still holds the snapshot: the
operating system keeps an open file's data until its last handle is closed,
and the snapshot closes its handles when nobody refers to it any more.

Each table file is checked against the checksum the manifest records the
first time a snapshot reads it (CRC-32 when recorded, else SHA-256), and the
verdict is kept for the snapshot's life: a damaged file raises `StoreError`
before any value is read from it, and later reads of a sound file cost
nothing.

Which snapshot a read uses (`Store.snapshot`):

1. the innermost ``pinned()`` block of the calling thread, if any;
2. else the thread's *call pin*: set by ``pin_for(owner)`` (the optimizer's
   per-call helper calls it when it is built) to the version the call's
   first reads used, for as long as ``owner`` lives;
3. else the store's latest version (the manifest on disk is checked).
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import sys
import threading
import weakref
import zlib
from pathlib import Path

MANIFEST = "manifest.json"

#: Table files are read through their open handles where the platform names them.
_BY_HANDLE = sys.platform.startswith("linux") and os.path.isdir("/proc/self/fd")

#: Files are opened relative to one handle of the store folder where the platform can.
_BY_FOLDER = os.open in os.supports_dir_fd


def _open_in(folder, path: Path, name: str) -> int:
    flags = os.O_RDONLY | getattr(os, "O_BINARY", 0)
    if folder is not None:
        return os.open(name, flags, dir_fd=folder)
    return os.open(path / name, flags)


#: Times a snapshot is opened again when the store was replaced while it was being opened.
_OPEN_ATTEMPTS = 5


def _file_checksum(fd: int, kind: str) -> str:
    """The ``kind`` ("crc32" or "sha256") checksum of an open file's content, as hex text.

    Read in chunks into one reused buffer rather than mapped: a file cut
    short under a reader then gives a wrong checksum, not a crash."""
    crc, sha = 0, hashlib.sha256()
    buf = bytearray(_CHUNK)
    view = memoryview(buf)
    offset = 0
    if not hasattr(os, "preadv"):  # no positioned reads (Windows): from the start
        os.lseek(fd, 0, os.SEEK_SET)

    def read(offset):
        if hasattr(os, "preadv"):
            return os.preadv(fd, [buf], offset)
        chunk = os.read(fd, _CHUNK)
        buf[:len(chunk)] = chunk
        return len(chunk)

    while n := read(offset):
        if kind == "crc32":
            crc = zlib.crc32(view[:n], crc)
        else:
            sha.update(view[:n])
        offset += n
    return format(crc & 0xFFFFFFFF, "08x") if kind == "crc32" else sha.hexdigest()


_CHUNK = 1 << 20


def _close_all(fds: list, box: list) -> None:
    con = box[0] if box else None
    if con is not None and box[1] == os.getpid():
        try:
            con.close()
        except Exception:  # noqa: BLE001 - closing at interpreter exit or after a fork
            pass
    for fd in fds:
        try:
            os.close(fd)
        except OSError:
            pass


class Snapshot:
    """One manifest generation of a store and its files, open for reading.

    ``damaged(name, problem)`` makes the StoreError for a bad file of table
    ``name`` (the store supplies it, with its repair advice).
    """

    def __init__(self, path: Path, damaged, error_type):
        self.path = path
        self.pid = os.getpid()
        self._damaged = damaged
        self._error = error_type
        self.stamp, self.manifest, self._fds = self._open()
        self.files = {name: meta.get("file", f"{name}.parquet")
                      for name, meta in self.manifest.get("tables", {}).items()}
        self._verdicts: dict = {}
        self._verify_locks = {name: threading.Lock() for name in self._fds}
        self.lock = threading.RLock()
        self.local = threading.local()
        self.cache: dict = {}
        self.blocks: dict = {}
        self.block_bytes = 0
        # [connection, pid that made it]; closed with the handles when the snapshot goes
        self.con_box: list = [None, None]
        weakref.finalize(self, _close_all, list(self._fds.values()), self.con_box)

    def __repr__(self) -> str:
        return f"<corvana.Snapshot {str(self.path)!r} {self.stamp}>"

    # -- opening
    def _open(self):
        for attempt in range(_OPEN_ATTEMPTS):
            try:
                return self._open_once()
            except _Replaced:
                if attempt == _OPEN_ATTEMPTS - 1:
                    raise self._error(f"the store at {self.path} was replaced {_OPEN_ATTEMPTS} times "
                                      "while it was being opened; try again") from None
        raise AssertionError("unreachable")

    def _open_once(self):
        if _BY_FOLDER:
            flags = os.O_RDONLY | getattr(os, "O_DIRECTORY", 0)
            try:
                folder = os.open(self.path, flags)
            except OSError as exc:
                raise self._error(f"cannot open the store folder {self.path}: {exc.strerror or exc}") from None
        else:  # no opening relative to a folder handle: by name (a rewrite in between is caught below)
            folder = None
        fds: dict = {}
        try:
            try:
                mfd = _open_in(folder, self.path, MANIFEST)
            except FileNotFoundError:
                raise _Replaced() from None
            with os.fdopen(mfd, "rb") as fh:
                st = os.fstat(fh.fileno())
                raw = fh.read()
            stamp = (st.st_ino, st.st_mtime_ns, st.st_size)
            try:
                manifest = json.loads(raw.decode("utf-8"))
                tables = manifest.get("tables", {})
                if not isinstance(tables, dict):
                    raise ValueError("'tables' is not a mapping")
            except (UnicodeDecodeError, ValueError, AttributeError) as exc:
                raise self._error(f"cannot read {self.path / MANIFEST}: {exc}") from None
            for name, meta in tables.items():
                file = meta.get("file", f"{name}.parquet")
                if os.path.basename(file) != file:
                    raise self._error(f"{self.path / MANIFEST}: table {name!r} names the file {file!r} "
                                      "outside the store folder")
                try:
                    fds[name] = _open_in(folder, self.path, file)
                except FileNotFoundError:
                    if self._stamp_now() != stamp:
                        raise _Replaced() from None  # a rewrite swapped the folder meanwhile
                    raise self._damaged(name, "cannot be read (No such file or directory)", manifest) from None
                except OSError as exc:
                    raise self._damaged(name, f"cannot be read ({exc.strerror or exc})", manifest) from None
        except BaseException:
            for fd in fds.values():
                os.close(fd)
            raise
        finally:
            if folder is not None:
                os.close(folder)
        if folder is None and self._stamp_now() != stamp:
            for fd in fds.values():
                os.close(fd)
            raise _Replaced()
        return stamp, manifest, fds

    def _stamp_now(self):
        try:
            st = os.stat(self.path / MANIFEST)
        except OSError:
            return None
        return (st.st_ino, st.st_mtime_ns, st.st_size)

    # -- files
    def file(self, name: str) -> str:
        """The path a reader opens for table ``name``: this snapshot's own file, even after a rewrite."""
        if _BY_HANDLE:
            return f"/proc/self/fd/{self._fds[name]}"
        return str(self.path / self.files[name])

    def fd(self, name: str) -> int:
        return self._fds[name]

    def size(self, name: str) -> int:
        return os.fstat(self._fds[name]).st_size

    # -- integrity
    def check(self, name: str) -> None:
        """Raise StoreError when table ``name``'s file differs from its recorded checksum.

        The file is read once per snapshot; the verdict is kept."""
        verdict = self._verdicts.get(name)
        if verdict is None:
            lock = self._verify_locks.get(name)
            if lock is None:
                return  # not a table of this store: the query fails on its own
            with lock:
                verdict = self._verdicts.get(name)
                if verdict is None:
                    verdict = self._verdicts[name] = self._verify(name)
        if verdict is not True:
            raise self._damaged(name, verdict, self.manifest)

    def check_in_background(self) -> None:
        """Check every table file in a background thread, smallest first, so that
        the checksums are computed while the caller works (reading and
        checksumming release the interpreter lock).  A read of a table still
        waits for its verdict, from either thread, and raises it."""
        names = sorted(self._fds, key=self.size)
        threading.Thread(target=self._check_quietly, args=(names,), daemon=True,
                         name="corvana-checksums").start()

    def _check_quietly(self, names) -> None:
        for name in names:
            try:
                self.check(name)
            except Exception:  # noqa: BLE001 - the verdict is kept; the reader raises it
                pass

    def _verify(self, name: str):
        """True, or what is wrong with the file."""
        meta = self.manifest["tables"][name]
        size = self.size(name)
        if "size" in meta and size != meta["size"]:
            return f"its size is {size} bytes, the manifest records {meta['size']}"
        kind = "crc32" if "crc32" in meta else "sha256" if "sha256" in meta else None
        if kind is None:
            return True  # a store written before checksums were recorded: `verify` reads its pages
        found = _file_checksum(self._fds[name], kind)
        if found != meta[kind]:
            return f"its content differs from the {kind.upper()} checksum the manifest records"
        return True


class _Replaced(Exception):
    """The store folder was swapped while a snapshot was being opened."""


# --------------------------------------------------------------------------- which version a read sees


class _Pins(threading.local):
    def __init__(self):
        self.stack: dict = {}   # store -> [Snapshot]: the pinned() blocks, innermost last
        self.call: dict = {}    # store -> (weakref to the owner, Snapshot)
        self.recent: dict = {}  # store -> (Snapshot, call site) of the thread's last read


PINS = _Pins()

#: Modules whose frames are the data path, not the caller: a call site is
#: the first frame outside them.
_DATA_MODULES = ("corvana.", "verdalis.helper")


def call_site():
    """The frame and instruction of the first caller outside the data path.

    A read made by the optimizer's compiled core for one call, and the helper
    the core builds for the same call, share it: the caller's frame is
    suspended at the same instruction throughout the call."""
    frame = sys._getframe(1)
    while frame is not None:
        name = frame.f_globals.get("__name__", "")
        if not name.startswith(_DATA_MODULES):
            return (id(frame), frame.f_lasti, frame.f_code)
        frame = frame.f_back
    return None


def pinned_snapshot(store):
    """The snapshot a ``pinned()`` block or a live call pin gives ``store``'s reads, or None."""
    stack = PINS.stack.get(store)
    if stack:
        return stack[-1]
    call = PINS.call.get(store)
    if call is not None:
        owner, snap = call
        if owner() is not None:
            if snap is None:  # the call had read nothing when it was pinned: its first read decides
                snap = call[1] = store._newest()
            if snap.pid == os.getpid():
                return snap
        del PINS.call[store]
    return None


@contextlib.contextmanager
def pin(store):
    """Every read of ``store`` in this thread within the block sees one version."""
    snap = store.snapshot()
    stack = PINS.stack.setdefault(store, [])
    stack.append(snap)
    try:
        yield snap
    finally:
        stack.pop()
        if not stack:
            PINS.stack.pop(store, None)


def pin_call(store, owner) -> None:
    """Pin ``store``'s reads in this thread to the version this call started on, while ``owner`` lives.

    The version is the one the thread's last read used when that read came
    from the same call site (the call's own first reads), else the latest at
    the call's first read."""
    snap = pinned_snapshot(store) if PINS.stack.get(store) else None
    if snap is None:
        recent = PINS.recent.get(store)
        if recent is not None and recent[1] == call_site() and recent[0].pid == os.getpid():
            snap = recent[0]
    # without a read yet, nothing is opened now: the call's first read takes the latest version
    PINS.call[store] = [weakref.ref(owner), snap]


def note_read(store, snap) -> None:
    """Remember the version an unpinned read used, with its call site."""
    PINS.recent[store] = (snap, call_site())


def forget(store) -> None:
    """Drop this thread's pins of ``store`` (the store is closed)."""
    PINS.stack.pop(store, None)
    PINS.call.pop(store, None)
    PINS.recent.pop(store, None)
