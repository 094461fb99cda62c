"""verdalis: long-only portfolio-weight optimization over a factor risk model.

The optimizer entry point lives in :mod:`verdalis.optimize`; objectives,
constraints and benchmarks in :mod:`verdalis.objective`,
:mod:`verdalis.constraints` and :mod:`verdalis.benchmark`.  Those are compiled
modules and are imported on demand, so ``import verdalis`` stays cheap and works
even where the compiled core has not been built.
"""

from importlib import metadata as _metadata

try:
    # the version is set once, in pyproject.toml, and read from the installed metadata
    __version__ = _metadata.version("verdalis")
except _metadata.PackageNotFoundError:  # running from a source tree that is not installed
    __version__ = "0+unknown"

from . import exception as _exception  # noqa: E402
from .messages import get_language, set_language  # noqa: E402  (the language of the core's messages)


def _diagnose(*args, **kwargs):
    # OptimizationFailed.diagnose() reaches the diagnosis through this hook,
    # imported on first use (it needs cvxpy and the compiled core).
    from .diagnose import diagnose

    return diagnose(*args, **kwargs)


_exception._diagnose_hook = _diagnose

__all__ = ["__version__", "get_language", "set_language"]
