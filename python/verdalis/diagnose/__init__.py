"""Why an optimization is infeasible, and what each binding limit costs.

`diagnose` takes the arguments of `portfolio_optimize` and returns a
`Diagnosis`.  It works on the problem `portfolio_optimize` builds, read as
named groups from the one assembly the driver uses (`verdalis.optimize._assemble`):
the budget, the objective's own constraints, the per-stock bounds and one
group per constraint object.

- A feasible problem gets the weights `portfolio_optimize` returns and one row
  per limit: the value reached and the limit in the limit's own units (the
  weight of an industry, a style exposure, tracking error a year, turnover, a
  stock's weight), the violation, whether it binds, and its shadow price (how
  much the objective improves per unit of relaxation, from the duals).
- An infeasible problem gets the minimal relaxation (one non-negative slack
  per group, in the group's own units, minimising their sum), the smallest
  change of each conflicting limit that makes the problem feasible on its
  own, and an irreducible conflict: a smallest set of groups that cannot hold
  together while any one of them dropped leaves the rest feasible (a deletion
  filter, one feasibility solve per group).

The package: `rows` reads the assembly's rows in each limit's own units,
`relaxation` holds the auxiliary Clarabel solves (minimal relaxation,
conflict, shadow prices), `text` renders a `Diagnosis`.
"""
import math
import warnings
from dataclasses import dataclass, field
from typing import List, Optional

import cvxpy as cp
import numpy as np
import pandas as pd

import corvana

from .. import optimize as _optimize
from ..const import CovModel, RiskModel
from ..exception import InvalidBounds, OptimizationFailed, SoftConstraintsDropped
from ..messages import english
from .relaxation import RELAXATION_COLUMNS, _analyse, _price
from .rows import GROUP_COLUMNS, _groups
from .text import _render

__all__ = ["Diagnosis", "diagnose"]



# ----------------------------------------------------------------- the result

@dataclass
class Diagnosis:
    """What `diagnose` found.

    `feasible`: the problem holds with every constraint given.  `weights`: what
    `portfolio_optimize` returns for the call (None when it fails).
    `groups`: one row per limit (columns group, item, hard, side, value, limit,
    violation, binding, shadow_price), values in each limit's own units.
    `relaxations` (infeasible problems): group, item, parameter, the limit as
    given and the value `needed` to make the problem feasible with every other
    limit as given (`alone` False: that change is not enough by itself, and
    `needed` is its share of the minimal total relaxation).  `conflict`: the
    names of the groups of an irreducible conflict.  `dropped`: the soft
    constraints `portfolio_optimize` dropped to find a solution.
    """

    feasible: bool
    weights: Optional[pd.Series] = None
    groups: pd.DataFrame = field(default_factory=lambda: pd.DataFrame(columns=GROUP_COLUMNS))
    relaxations: pd.DataFrame = field(
        default_factory=lambda: pd.DataFrame(columns=RELAXATION_COLUMNS))
    conflict: List[str] = field(default_factory=list)
    dropped: List[str] = field(default_factory=list)
    #: sum of the group slacks of the minimal relaxation (0 for a feasible problem)
    total_relaxation: float = 0.0
    #: the optimum of the problem solved (with the soft constraints, or without
    #: them when they were dropped); NaN when nothing was solved
    objective_value: float = math.nan
    #: why the solver failed, when it did (its status)
    failure: Optional[str] = None
    #: "the caps sum to 0.6, below 1" when the bounds alone cannot meet the budget
    bound_sums: Optional[str] = None
    #: the warnings the optimization issued, once each, in English
    warnings: List[str] = field(default_factory=list)
    #: the same warnings as the core wrote them (its default language)
    original_warnings: List[str] = field(default_factory=list)

    def __str__(self):
        return _render(self)


# --------------------------------------------------------------- bounds alone

def _bounds_one_by_one(bnds, ids):
    """parse_bnds's per-stock reading of `bnds`, without its refusal of sums
    that cannot meet the budget: each stock is read beside a free placeholder
    stock, so the wildcard, None sides and range checks stay the parser's."""
    placeholder = object()
    given = dict(bnds)
    given[placeholder] = (0.0, 1.0)
    lower, upper = np.empty(len(ids)), np.empty(len(ids))
    for i, oid in enumerate(ids):
        lo, up = _optimize.parse_bnds(given, [oid, placeholder])
        lower[i], upper[i] = lo[0], up[0]
    return lower, upper


# ------------------------------------------------------------------ diagnose

def diagnose(order_book_ids, date, objective=_optimize.DEFAULT_OBJECTIVE, bnds=None, cons=None,
             benchmark=None, cov_model=CovModel.FACTOR_MODEL_DAILY, factor_risk_aversion=1.0,
             specific_risk_aversion=1.0, solver=None, risk_model=RiskModel.V1, **solver_options):
    """Explain the optimization `portfolio_optimize` would run with these
    arguments: its weights and the cost of each binding limit when it is
    feasible; the conflicting limits and the smallest changes that make it
    feasible when it is not.  Returns a `Diagnosis`; the warnings of the
    optimization are collected in `Diagnosis.warnings` rather than shown."""
    model = dict(objective=objective, bnds=bnds, cons=cons, benchmark=benchmark,
                 cov_model=cov_model, factor_risk_aversion=factor_risk_aversion,
                 specific_risk_aversion=specific_risk_aversion, risk_model=risk_model)
    # every solve of the diagnosis reads the one version of the store it started on
    with corvana.pinned(), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        weights, failure, refusal = None, None, None
        # What happened is read from the types the core raises and their
        # attributes, never from message text: bounds whose sums cannot meet
        # the budget (InvalidBounds with a side and a total), soft
        # constraints dropped by the retry (SoftConstraintsDropped).
        try:
            weights = _optimize.portfolio_optimize(order_book_ids, date, solver=solver,
                                                   **model, **solver_options)
        except OptimizationFailed as exc:
            failure = str(exc.args[0]) if exc.args else "failed"
        except InvalidBounds as exc:
            if exc.total is None:
                raise
            refusal = exc.side
        dropped_by_retry = any(issubclass(w.category, SoftConstraintsDropped) for w in caught)
        result = _explain(order_book_ids, date, model, weights, failure, refusal, dropped_by_retry)
    notes, originals = [], []
    for w in caught:
        text = english(w.message)
        if text not in notes:
            notes.append(text)
            originals.append(str(w.message))
    result.warnings = notes
    result.original_warnings = originals
    return result


def _explain(order_book_ids, date, model, weights, failure, refusal, dropped_by_retry):
    bounds = None
    bound_sums = None
    if refusal is not None:
        day = _optimize.to_date(date)
        ids = _optimize.ensure_order_book_ids(order_book_ids, day)
        bounds = _bounds_one_by_one(model["bnds"], ids)
        total = float(np.sum(bounds[1] if refusal == "upper" else bounds[0]))
        bound_sums = ("the caps sum to {:.4g}, below 1".format(total) if refusal == "upper"
                      else "the floors sum to {:.4g}, above 1".format(total))
    assembly = _optimize._assemble(order_book_ids, date, model["objective"], model["bnds"],
                                   model["cons"], model["benchmark"], model["cov_model"],
                                   model["factor_risk_aversion"], model["specific_risk_aversion"],
                                   model["risk_model"], bounds=bounds)
    if assembly is None:  # one stock: nothing to choose
        return Diagnosis(feasible=True, weights=weights)
    g, zeta = assembly["g"], assembly["zeta"]
    groups = _groups(assembly)
    result = Diagnosis(feasible=weights is not None and not dropped_by_retry, weights=weights,
                       failure=failure, bound_sums=bound_sums)
    if weights is not None:
        solved = [grp for grp in groups if grp.hard or not dropped_by_retry]
        result.groups, result.objective_value = _price(solved, groups, model, assembly, weights)
        if dropped_by_retry:
            result.dropped = [grp.name for grp in groups if not grp.hard]
    if result.feasible:
        return result
    if isinstance(zeta, cp.Variable):
        # The ratio objectives scale g by a variable: the relaxation problem
        # works on the weights themselves (scale 1), without the objective's
        # normalisation, which is not a limit.
        assembly = _optimize._assemble(order_book_ids, date, model["objective"], model["bnds"],
                                       model["cons"], model["benchmark"], model["cov_model"],
                                       model["factor_risk_aversion"],
                                       model["specific_risk_aversion"], model["risk_model"],
                                       bounds=bounds, scale=1.0)
        g, zeta = assembly["g"], assembly["zeta"]
        groups = [grp for grp in _groups(assembly) if grp.kind != "objective"]
    total, relaxations, conflict = _analyse(groups, g, zeta, assembly["helper"])
    result.total_relaxation, result.relaxations, result.conflict = total, relaxations, conflict
    return result
