"""Exception and warning types raised by verdalis."""

__all__ = ["InvalidArgument", "OptimizationFailed", "OptimizerWarning"]


class InvalidArgument(Exception):
    """An argument passed to the optimizer was refused."""


class OptimizationFailed(Exception):
    """The solver could not produce an optimal portfolio."""

    def diagnose(self):
        """The `verdalis.diagnose.Diagnosis` of the call that failed: which limits
        conflict, by how much, and the smallest changes that make it feasible.

        Available on the failure `portfolio_optimize` raises when the solver ends
        without a solution (an infeasible problem); runs only when called.
        """
        call = getattr(self, "_call", None)
        if call is None:
            raise RuntimeError("this failure does not carry the optimization call it came from")
        from .diagnose import diagnose

        call = dict(call)
        options = call.pop("solver_options", None) or {}
        return diagnose(**call, **options)


class OptimizerWarning(UserWarning):
    """Part of a request was skipped or weakened; the optimization went on."""
