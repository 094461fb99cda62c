"""Exception and warning types raised by verdalis."""

__all__ = ["InvalidArgument", "OptimizationFailed", "OptimizerWarning"]


class InvalidArgument(Exception):
    """An argument passed to the optimizer was refused."""


class OptimizationFailed(Exception):
    """The solver could not produce an optimal portfolio."""


class OptimizerWarning(UserWarning):
    """Part of a request was skipped or weakened; the optimization went on."""
