"""The auxiliary solves of a diagnosis: the minimal relaxation of an
infeasible problem, the smallest change of each conflicting limit, an
irreducible conflict (a deletion filter), and the Clarabel solve that prices
the limits of a feasible one.

Auxiliary solves use Clarabel (interior point, tolerances 1e-8) whatever
solver the optimization uses, so relaxations and duals are accurate.  The
relaxation problem is compiled once; each feasibility test only changes its
parameters.
"""
import math

import cvxpy as cp
import numpy as np
import pandas as pd

from .rows import _coef, _limit_attr, _measure, _own, _rows, _scale_value

CLARABEL = dict(solver=cp.CLARABEL, tol_gap_abs=1e-8, tol_gap_rel=1e-8, tol_feas=1e-8)
# The largest relaxation a group may take in a feasibility test; larger than
# any limit in its own units.
_FREE = 1e3
# A total relaxation below this is no relaxation.
_ZERO = 1e-7
RELAXATION_COLUMNS = ["group", "item", "parameter", "limit", "needed", "alone"]


# ------------------------------------------------------ the relaxation problem

class _Relaxation:
    """The problem with one non-negative slack per group, in the group's own
    units (per stock for the bounds): each row `e <= 0` becomes
    `e <= coef * slack`.  `cap` (a slack's largest value: 0 holds the group as
    given) and `weight` (its price in the objective) are parameters, so every
    test re-solves one compiled problem."""

    def __init__(self, groups, g, zeta):
        self.groups = groups
        self.g = g
        z = _scale_value(zeta)
        self.cap = cp.Parameter(len(groups), nonneg=True)
        self.weight = cp.Parameter(len(groups), nonneg=True)
        self.slacks, self.row_terms, self.relaxed_rows = [], [], []
        constraints, cost = [], []
        for k, group in enumerate(groups):
            per_stock = group.kind == "bounds"
            t = cp.Variable(g.shape if per_stock else (), nonneg=True)
            self.slacks.append(t)
            mine = []
            self.relaxed_rows.append(mine)
            terms = []
            for row, side, value_expr, limit_expr in _rows(group, g):
                attr = _limit_attr(group, side)
                limit = float(getattr(group.source, attr)) if (
                    attr and group.kind == "tracking_error_squared") else 1.0
                coef = _coef(group.kind, z, limit)
                if side == "equal":
                    excess = [value_expr - limit_expr, limit_expr - value_expr]
                elif side == "upper":
                    excess = [value_expr - limit_expr]
                else:
                    excess = [limit_expr - value_expr]
                for e in excess:
                    constraints.append(e <= coef * t)
                    mine.append(constraints[-1])
                terms.append((row, side, excess[0], coef))
            self.row_terms.append(terms)
            constraints.append(t <= self.cap[k])
            cost.append(self.weight[k] * (cp.sum(t) if per_stock else t))
        self.problem = cp.Problem(cp.Minimize(cp.sum(cp.hstack(cost))), constraints)

    def solve(self, caps, weights):
        self.cap.value = np.asarray(caps, dtype=float)
        self.weight.value = np.asarray(weights, dtype=float)
        try:
            self.problem.solve(**CLARABEL)
        except cp.SolverError:
            return None
        if self.problem.status in (cp.OPTIMAL, cp.OPTIMAL_INACCURATE):
            return [np.asarray(t.value, dtype=float) for t in self.slacks]
        return None

    def supporting(self):
        """The groups whose rows carry a multiplier at the last optimum: the
        groups the minimal relaxation pays for."""
        return {k for k, rows in enumerate(self.relaxed_rows)
                if any(np.max(np.abs(np.atleast_1d(r.dual_value))) > 1e-7 for r in rows
                       if r.dual_value is not None)}

    def feasible(self, kept):
        """The groups of `kept` hold together (the others are free)."""
        caps = [0.0 if k in kept else _FREE for k in range(len(self.groups))]
        return self.solve(caps, np.zeros(len(self.groups))) is not None


def _conflict(relax, order, kept=None):
    """Deletion filter: drop each group of `kept` (all groups by default) in
    turn; keep it out when the rest is still infeasible.  What remains is an
    irreducible conflict."""
    kept = set(range(len(relax.groups))) if kept is None else set(kept)
    for k in order:
        trial = kept - {k}
        if not relax.feasible(trial):
            kept = trial
    return sorted(kept)


def _alone(relax, k):
    """The slack group k needs with every other group as given (None when
    relaxing it alone cannot restore feasibility)."""
    caps = np.zeros(len(relax.groups))
    caps[k] = _FREE
    weights = np.zeros(len(relax.groups))
    weights[k] = 1.0
    slacks = relax.solve(caps, weights)
    if slacks is None:
        return None
    t = slacks[k]
    if np.max(t) >= _FREE * 0.999:
        return None
    return t


def _exact_tracking_error(relax, k, zeta):
    """The smallest tracking-error limit the other groups allow: the least
    tracking error over their feasible set (the slack problem's tracking-error
    row is a linearisation; this one is exact)."""
    group = relax.groups[k]
    row, side, value_expr, limit_expr = _rows(group, relax.g)[0]
    others = [c for c in relax.problem.constraints]
    relax.cap.value = np.array([_FREE if j == k else 0.0 for j in range(len(relax.groups))])
    relax.weight.value = np.zeros(len(relax.groups))
    problem = cp.Problem(cp.Minimize(value_expr), others)
    try:
        problem.solve(**CLARABEL)
    except cp.SolverError:
        return None
    if problem.status not in (cp.OPTIMAL, cp.OPTIMAL_INACCURATE):
        return None
    if group.kind == "tracking_error_squared":
        return float(np.sqrt(max(problem.value, 0.0)) / _scale_value(zeta))
    return float(problem.value / _scale_value(zeta))


def _parameter_needed(group, side, limit_own, t, row_limits_own):
    """(parameter, limit as given, needed) for a side of a group relaxed by t
    in its own units."""
    src = group.source
    attr = "upper" if side == "upper" else "lower"
    parameter = attr + "_limit"
    given = getattr(src, attr, None)
    step = t if side == "upper" else -t
    if isinstance(given, str):
        # '+5%' of the benchmark's value: the percentage that moves the
        # tightest item's limit by t
        x = float(given[1:-1]) * (-1 if given[0] == "-" else 1)
        bases = [abs(v) / abs(1 + x / 100) for v in row_limits_own if abs(1 + x / 100) > 0]
        base = min([b for b in bases if b > 0], default=0.0)
        if base == 0:
            return parameter, given, None
        return parameter, given, "{:+.4f}%".format(x + 100 * step / base)
    return parameter, given, float(given) + step


def _relaxation_rows(relax, k, t, alone, zeta, helper):
    """The relaxation records of group k relaxed by slack t."""
    group = relax.groups[k]
    rows = []
    if group.kind == "bounds":
        lower, upper = (np.asarray(b, dtype=float) for b in group.source)
        ids = list(helper.order_book_ids)
        # which side a stock's slack serves: the one its row exceeds at t = 0
        g = relax.g.value
        z = _scale_value(zeta)
        for i in np.nonzero(t > 1e-9)[0]:
            w = g[i] / z if g is not None else math.nan
            side = "upper" if w >= upper[i] - t[i] / 2 else "lower"
            limit = upper[i] if side == "upper" else lower[i]
            needed = limit + t[i] if side == "upper" else limit - t[i]
            rows.append((group.name, ids[i], side + " bound", float(limit), float(needed), alone))
        return rows
    if group.kind in ("rows", "objective", "trade"):
        parameter = "rows" if group.kind != "trade" else "trade bound per stock (weight)"
        return [(group.name, "", parameter, 0.0, float(t), alone)]
    # which sides need the slack: rows still exceeded with the limit as given
    sides = {}
    z = _scale_value(zeta)
    for row, side, excess, coef in relax.row_terms[k]:
        value = np.atleast_1d(excess.value)
        if np.max(value) > 1e-9 * max(1.0, abs(float(np.max(coef)))):
            sides.setdefault(side, [])
    for row, side, value_expr, limit_expr in _rows(group, relax.g):
        if side in sides:
            sides[side].extend(np.atleast_1d(_own(group.kind, limit_expr.value, z)).tolist())
    if not sides:
        sides = {"upper": []} if getattr(group.source, "upper", None) is not None else {"lower": []}
    for side, limits in sides.items():
        if group.kind in ("rows", "objective"):
            continue
        parameter, given, needed = _parameter_needed(group, side, None, float(t), limits)
        rows.append((group.name, "", parameter, given, needed, alone))
    return rows


def _analyse(groups, g, zeta, helper):
    """(total relaxation, relaxations, conflict) of an infeasible problem."""
    relax = _Relaxation(groups, g, zeta)
    m = len(groups)
    free = [0.0 if not grp.relaxable else _FREE for grp in groups]
    price = [0.0 if not grp.relaxable else 1.0 for grp in groups]
    joint = relax.solve(free, price)
    if joint is None:
        return math.nan, pd.DataFrame(columns=RELAXATION_COLUMNS), []
    total = float(sum(np.sum(t) for t in joint))
    if total <= _ZERO:
        return total, pd.DataFrame(columns=RELAXATION_COLUMNS), []
    joint_relaxed = [k for k in range(m) if np.max(joint[k]) > _ZERO]
    # soft groups first, then the hard ones from the last given: the filter
    # keeps the user's earliest hard limits in the conflict when it can choose
    order = [k for k in range(m) if not groups[k].hard] + \
            [k for k in reversed(range(m)) if groups[k].hard]
    # Start the filter from the groups the minimal relaxation leans on when
    # they already conflict: one solve instead of one per unrelated group.
    start = relax.supporting() | set(joint_relaxed)
    if relax.feasible(start):
        conflict = _conflict(relax, order)
    else:
        conflict = _conflict(relax, [k for k in order if k in start], start)
    records = []
    for k in sorted(set(conflict) | set(joint_relaxed)):
        if not groups[k].relaxable:
            continue
        t = _alone(relax, k)
        if t is not None:
            if groups[k].kind in ("tracking_error", "tracking_error_squared"):
                exact = _exact_tracking_error(relax, k, zeta)
                if exact is not None:
                    t = np.asarray(max(exact - float(groups[k].source.upper), 0.0))
                    relax.solve([0.0 if j != k else float(t) + 1e-12 for j in range(m)],
                                np.zeros(m))
                    _alone(relax, k)  # leave the slack problem's values at this group's solution
            records += _relaxation_rows(relax, k, t if groups[k].kind == "bounds" else float(t),
                                        True, zeta, helper)
        elif k in joint_relaxed:
            relax.solve(free, price)
            records += _relaxation_rows(relax, k, joint[k] if groups[k].kind == "bounds"
                                        else float(joint[k]), False, zeta, helper)
    table = pd.DataFrame(records, columns=RELAXATION_COLUMNS)
    return total, table, [groups[k].name for k in conflict]


def _price(solved, groups, model, assembly, weights):
    """The table of limits at the returned weights, with shadow prices from a
    Clarabel solve of the problem portfolio_optimize solved."""
    g, zeta, helper = assembly["g"], assembly["zeta"], assembly["helper"]
    from ..objective import RiskParity

    rows = [row for grp in solved for row in grp.rows]
    if isinstance(model["objective"], RiskParity) and not model["bnds"] and not model["cons"]:
        rows = []  # the driver solves unconstrained risk parity without rows
    problem = cp.Problem(cp.Minimize(assembly["objective_expr"]), rows)
    duals, optimum, value = {}, None, math.nan
    try:
        problem.solve(**CLARABEL)
        if problem.status in (cp.OPTIMAL, cp.OPTIMAL_INACCURATE):
            value = float(problem.value)
            duals = {row.id: row.dual_value for row in rows}
            z = _scale_value(zeta)
            optimum = (np.asarray(g.value, dtype=float), z)
    except cp.SolverError:
        pass
    soft_dropped = {id(grp) for grp in groups if grp not in solved}
    table = _measure(groups, g, zeta, helper, weights.reindex(helper.order_book_ids).to_numpy(),
                     {k: v for k, v in duals.items()}, optimum)
    if soft_dropped:
        dropped_names = {grp.name for grp in groups if id(grp) in soft_dropped}
        table.loc[table["group"].isin(dropped_names), "shadow_price"] = math.nan
    return table, value
