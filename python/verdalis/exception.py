"""Exception and warning types raised by verdalis.

Every exception and warning the core raises with a catalogued message carries
the message's template and values (``template``, ``values``; see
`verdalis.messages`), so its text can be shown in another language without
reading the text itself.  Two refusals carry more, for the product layer:
`InvalidBounds` (which bound, which side) and `SoftConstraintsDropped` (which
constraints the retry dropped).
"""

# Set by verdalis/__init__.py: the function that diagnoses a failed call.
_diagnose_hook = None

__all__ = ["InvalidArgument", "OptimizationFailed", "OptimizerWarning", "InvalidBounds",
           "SoftConstraintsDropped"]


class InvalidArgument(Exception):
    """An argument passed to the optimizer was refused."""


class InvalidBounds(InvalidArgument):
    """The per-stock bounds (`bnds`) were refused.

    `order_book_id`: the id whose entry was refused ("*" for the wildcard entry,
    None when only the sums fail); `entry`: that entry as given; `side`:
    "lower", "upper" or None (an entry that is not a pair); `total`: the sum of
    the lower (upper) bounds when the sums cannot meet the budget, else None.
    """

    order_book_id = None
    entry = None
    side = None
    total = None


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
        call = dict(call)
        options = call.pop("solver_options", None) or {}
        # The diagnosis is a product-layer module that imports this one; the
        # package registers it here (verdalis/__init__.py), so this module
        # imports nothing of the package.
        return _diagnose_hook(**call, **options)


class OptimizerWarning(UserWarning):
    """Part of a request was skipped or weakened; the optimization went on."""


class SoftConstraintsDropped(OptimizerWarning):
    """The problem was infeasible; it was solved again without the soft constraints.

    `constraints`: the constraint objects (``hard`` false) that were dropped.
    """

    constraints = ()
