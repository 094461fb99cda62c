"""verdalis: long-only portfolio-weight optimization over a factor risk model.

The optimizer entry point lives in :mod:`verdalis.optimize`; objectives,
constraints and benchmarks in :mod:`verdalis.objective`,
:mod:`verdalis.constraints` and :mod:`verdalis.benchmark`.  Those are compiled
modules and are imported on demand, so ``import verdalis`` stays cheap and works
even where the compiled core has not been built.
"""

__version__ = "0.1.0"

__all__ = ["__version__"]
