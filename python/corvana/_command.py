"""How the user types a console script of this installation (for hints such as
"rebuild the store with ..."); imports nothing from the package, so every
module can use it."""

from __future__ import annotations

import os
import shutil
import sys
from pathlib import Path


def command(name: str) -> str:
    """How the user types the console script ``name`` of this installation.

    ``name`` when the script found on PATH is this installation's, else the
    script's path relative to the current folder (``.venv/bin/corvana``), else
    ``python -m name`` with this interpreter.
    """
    bindir = Path(sys.executable).parent
    script = bindir / name
    if not script.is_file():
        return f"{sys.executable} -m {name}"
    found = shutil.which(name)
    if found and os.path.realpath(found) == os.path.realpath(script):
        return name
    try:
        rel = os.path.relpath(script)
    except ValueError:  # another drive (Windows)
        return str(script)
    return rel if not rel.startswith("..") else str(script)
