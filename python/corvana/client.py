"""Which store the module-level functions read, and the demo market that fills an empty one.

This module wires the store (:mod:`corvana.store`, which reads and writes
tables) to the demo generator (:mod:`corvana.synth`, which produces them):
a store folder chosen through :func:`connect` that holds no store yet is
filled with the demo market on its first read.
"""

from __future__ import annotations

import os
import sys
import threading
from pathlib import Path

from . import snapshot as _snapshot
from . import synth
from .store import Store, default_path, pinned as _pinned
from .writer import write_store

__all__ = ["connect", "current", "build_demo", "pinned", "pin_for"]


def _demo_size() -> str:
    size = os.environ.get("CORVANA_DEMO_SIZE", "full")
    return size if size in ("full", "small") else "full"


def build_demo(path: Path) -> None:
    """Write the demo market (size from ``$CORVANA_DEMO_SIZE``) as the store at ``path``."""
    size = _demo_size()
    print(
        f"corvana: no market data at {path}; building the synthetic demo market "
        f"(one-off, {'about 30 s' if size == 'full' else 'a few seconds'})",
        file=sys.stderr,
        flush=True,
    )
    tables = synth.generate(size, progress=True)
    write_store(path, tables, source=f"corvana.synth.generate(size={size!r})", synthetic=True)


_current: "Store | None" = None
_current_lock = threading.Lock()


def connect(path=None) -> Store:
    """Point the client at the store folder ``path`` (None: ``$CORVANA_DATA`` or the per-user folder).

    Nothing is read until the first query; a folder without a store is filled
    with the demo market at that point.
    """
    global _current
    target = Path(path).expanduser().absolute() if path is not None else default_path().absolute()
    with _current_lock:
        old, _current = _current, Store(target, fill=build_demo)
    if old is not None:
        old.close()
    return _current


def current() -> Store:
    """The store the module-level functions read (resolved on first use)."""
    st = _current
    if st is None:
        with _current_lock:
            st = _current
        if st is None:
            st = connect(None)
    return st


def pinned():
    """A ``with`` block in which every read of the current store in this thread sees one version.

    A rewrite of the store during the block (by this process or another) is
    seen from the first read after the block; the files of the version read
    inside it stay readable until it ends::

        with corvana.pinned():
            pool = corvana.index_components("000300.XSHG", day)
            weights = portfolio_optimize(pool, date, objective)
    """
    return _pinned(current())


def pin_for(owner) -> None:
    """Pin this thread's reads of the current store to the version the running call started on,
    for as long as ``owner`` lives (the optimizer's per-call helper calls this when it is built).

    The version is the one the call's first reads used, or, when the call
    has not read anything yet, the latest at its first read."""
    _snapshot.pin_call(current(), owner)
