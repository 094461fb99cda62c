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

from . import synth
from .store import Store, default_path
from .writer import write_store

__all__ = ["connect", "current", "build_demo"]


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
