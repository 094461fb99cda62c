"""Why an optimization is infeasible, and what each binding limit costs."""
from .rows import Diagnosis, diagnose

__all__ = ["Diagnosis", "diagnose"]
