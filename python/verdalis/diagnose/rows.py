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

Auxiliary solves use Clarabel (interior point, tolerances 1e-8) whatever
solver the optimization uses, so relaxations and duals are accurate.  The
relaxation problem is compiled once; each feasibility test only changes its
parameters.
"""
import math
import warnings
from dataclasses import dataclass, field
from typing import List, Optional

import cvxpy as cp
import numpy as np
import pandas as pd

from .. import optimize as _optimize
from ..const import CovModel, RiskModel
from ..exception import InvalidArgument, OptimizationFailed

__all__ = ["Diagnosis", "diagnose"]

# What the driver says when it drops the soft constraints and retries, and
# its refusals of bounds whose sums cannot meet the budget.
RETRY_WARNING = "约束无法满足，放弃所有软约束重试"
BOUND_SUM_REFUSALS = {"上限之和小于1": "upper", "下限之和大于1": "lower"}

CLARABEL = dict(solver=cp.CLARABEL, tol_gap_abs=1e-8, tol_gap_rel=1e-8, tol_feas=1e-8)
# The largest relaxation a group may take in a feasibility test; larger than
# any limit in its own units.
_FREE = 1e3
# A total relaxation below this is no relaxation.
_ZERO = 1e-7

GROUP_COLUMNS = ["group", "item", "hard", "side", "value", "limit", "violation", "binding",
                 "shadow_price"]
RELAXATION_COLUMNS = ["group", "item", "parameter", "limit", "needed", "alone"]


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
    #: the warnings the optimization issued, once each
    warnings: List[str] = field(default_factory=list)

    def __str__(self):
        return _render(self)


# --------------------------------------------------------- groups and units

class _Group:
    """One named group of the assembly and how its rows read in its own units."""

    def __init__(self, name, hard, rows, source, kind):
        self.name, self.hard, self.rows, self.source, self.kind = name, hard, list(rows), source, kind

    @property
    def relaxable(self):
        return self.kind != "budget"


def _kind(name, source):
    from .. import constraints as vc

    if name == "budget":
        return "budget"
    if name == "objective":
        return "objective"
    if name == "bounds":
        return "bounds"
    if isinstance(source, vc.TrackingErrorLimit):
        return "tracking_error"
    if isinstance(source, vc.TurnoverLimit):
        return "turnover"
    if isinstance(source, vc.IndustryComponentLimit):
        return "component"
    if isinstance(source, (vc.TransactionVolumeLimit, vc.TransactionMarketValueLimit)):
        return "trade"
    if isinstance(source, (vc.IndustryConstraint, vc.WildcardIndustryConstraint, vc.StyleConstraint,
                           vc.IndexComponentLimit, vc.StockPoolLimit,
                           vc.BenchmarkComponentWeightLimit)):
        return "linear"
    return "rows"  # a user's own class: its rows in their own terms


def _groups(assembly):
    seen = {}
    out = []
    for name, hard, rows, source in assembly["groups"]:
        if not rows:
            continue
        seen[name] = seen.get(name, 0) + 1
        shown = name if seen[name] == 1 else "{} #{}".format(name, seen[name])
        kind = _kind(name, source)
        if kind == "tracking_error" and rows[0].args[0].is_quadratic():
            # a context without factors bounds the active variance by the squared limit
            kind = "tracking_error_squared"
        out.append(_Group(shown, bool(hard), rows, source, kind))
    return out


def _scale_value(zeta):
    return float(zeta.value) if isinstance(zeta, cp.Variable) else float(zeta)


def _split(row, g):
    """(side, value expression, limit expression) of an inequality row; side is
    'upper' for value <= limit, 'lower' for value >= limit, 'equal' for ==."""
    a, b = row.args
    if isinstance(row, cp.constraints.Equality) or type(row).__name__ == "Zero":
        return "equal", a, b
    # identity, not ==: a cvxpy variable compared with == builds a constraint
    in_a = any(v is g for v in a.variables())
    in_b = any(v is g for v in b.variables())
    if in_a and in_b:  # a stock's share of its industry: g[i] against total * limit
        return ("upper", a, b) if a.size == 1 and type(a).__name__ == "index" else ("lower", b, a)
    return ("upper", a, b) if in_a or not in_b else ("lower", b, a)


def _own(kind, x, z, limit_attr=None):
    """A row-side number in the group's own units (z: the scale of g)."""
    x = np.asarray(x, dtype=float)
    if kind in ("linear", "bounds", "trade"):
        return x / z
    if kind == "turnover":
        return x / (2 * z)
    if kind == "tracking_error":  # the row bounds z × tracking error
        return x / z
    if kind == "tracking_error_squared":  # the row bounds z² × active variance
        return np.sqrt(np.maximum(x, 0.0)) / z
    return x


def _coef(kind, z, limit):
    """d(row limit) / d(limit in own units): turns a relaxation in own units
    into one in the row's terms (the tracking error's is its linearisation)."""
    if kind in ("linear", "bounds", "trade"):
        return z
    if kind == "turnover":
        return 2 * z
    if kind == "tracking_error":
        return z
    if kind == "tracking_error_squared":
        return 2 * z * z * limit
    if kind == "component":
        return z  # the industry's total is at most z: a conservative row scale
    return 1.0


def _limit_attr(group, side):
    if group.kind in ("rows", "objective", "budget", "bounds", "trade"):
        return None
    attr = "upper" if side == "upper" else "lower"
    return attr if getattr(group.source, attr, None) is not None else None


def _items(group, side_rows, helper, g, n):
    """A label per row element: stocks for per-stock rows, the industry or
    style a row is about, else the measure's name."""
    ids = list(helper.order_book_ids)
    labels = []
    kind, src = group.kind, group.source
    for k, (row, side, value_expr, limit_expr) in enumerate(side_rows):
        size = int(np.prod(row.shape)) if row.shape else 1
        if size == n and size > 1:
            labels.append(ids)
            continue
        if kind in ("tracking_error", "tracking_error_squared"):
            labels.append(["tracking error"])
        elif kind == "turnover":
            labels.append(["turnover"])
        elif kind == "component":
            labels.append([_single_stock(value_expr, g, ids)])
        elif kind == "linear":
            labels.append([_linear_item(src, value_expr, helper, n)])
        elif size == 1:
            labels.append(["row {}".format(k)])
        else:
            labels.append(["row {}[{}]".format(k, j) for j in range(size)])
    return labels


def _single_stock(expr, g, ids):
    saved = g.value
    g.value = np.arange(len(ids), dtype=float)
    try:
        return ids[int(round(float(expr.value)))]
    finally:
        g.value = saved


def _coefficients(expr, n):
    for a in expr.args:
        if isinstance(a, cp.Constant) and a.size == n:
            return np.asarray(a.value, dtype=float).ravel()
        found = _coefficients(a, n) if a.args else None
        if found is not None:
            return found
    return None


def _linear_item(src, expr, helper, n):
    from .. import constraints as vc

    if isinstance(src, (vc.IndustryConstraint, vc.WildcardIndustryConstraint)):
        s = _coefficients(expr, n)
        mapping = helper.get_industry_mapping(src.classification)
        if s is not None and s.any():
            return str(mapping.values[np.nonzero(s)[0][0]])
    if isinstance(src, vc.StyleConstraint):
        x = _coefficients(expr, n)
        exposure = helper.get_factor_exposure()
        if x is not None:
            for style in src.styles:
                if style in exposure.columns and np.allclose(exposure[style].to_numpy(), x):
                    return style
    return "weight held"


def _rows(group, g):
    return [(row,) + _split(row, g) for row in group.rows]


# --------------------------------------------------------- the table of limits

def _measure(groups, g, zeta, helper, weights, duals, optimum):
    """One row per limit at the returned weights; binding and shadow prices
    from the Clarabel optimum (`duals` by constraint id, `optimum` the values
    of g and zeta there)."""
    n = len(helper.order_book_ids)
    z = _scale_value(zeta) if not isinstance(zeta, cp.Variable) else 1.0
    at_weights = np.asarray(weights, dtype=float) * z
    records = []
    for group in groups:
        if group.kind == "objective":
            continue
        rows = _rows(group, g)
        labels = _items(group, rows, helper, g, n)
        for (row, side, value_expr, limit_expr), items in zip(rows, labels):
            measured = []
            for point, zv in ((at_weights, z), optimum):
                if point is None:
                    measured.append(None)
                    continue
                g.value = point
                if isinstance(zeta, cp.Variable):
                    zeta.value = zv
                measured.append((np.atleast_1d(value_expr.value).astype(float),
                                 np.atleast_1d(limit_expr.value).astype(float) * np.ones(1), zv))
            (val, lim, zv) = measured[0]
            lim = np.broadcast_to(lim, val.shape)
            value, limit = _own_pair(group, side, val, lim, zv, row)
            dual = duals.get(row.id)
            if measured[1] is not None:
                oval, olim, oz = measured[1]
                ovalue, olimit = _own_pair(group, side, oval, np.broadcast_to(olim, oval.shape), oz, row)
            else:
                ovalue, olimit = value, limit
            coef = _coef(group.kind, z, np.atleast_1d(limit))
            if group.kind == "component":
                coef = np.where(np.abs(limit) > 0, np.abs(lim) / np.where(limit == 0, 1, np.abs(limit)), 0)
            for j, item in enumerate(items):
                if side == "equal":
                    violation, slack = abs(value[j] - limit[j]), 0.0
                elif side == "upper":
                    violation, slack = max(value[j] - limit[j], 0.0), olimit[j] - ovalue[j]
                else:
                    violation, slack = max(limit[j] - value[j], 0.0), ovalue[j] - olimit[j]
                price = math.nan
                if dual is not None:
                    d = np.atleast_1d(dual).astype(float)
                    price = float(abs(d[j] if d.size > 1 else d[0]) * np.atleast_1d(coef)[
                        j if np.size(coef) > 1 else 0])
                binding = bool(abs(slack) <= 1e-6 * max(1.0, abs(limit[j])) or
                               (not math.isnan(price) and price > 1e-6))
                records.append((group.name, item, group.hard, side, float(value[j]), float(limit[j]),
                                float(violation), binding, price))
    table = pd.DataFrame(records, columns=GROUP_COLUMNS)
    # Per-stock rows (bounds, trade limits, per-stock user rows): only the
    # stocks at a bound or beyond it, so 3000 stocks do not make 6000 rows.
    per_stock = table["item"].isin(set(helper.order_book_ids))
    keep = ~per_stock | table["binding"] | (table["violation"] > 1e-6)
    return table[keep].reset_index(drop=True)


def _own_pair(group, side, val, lim, z, row):
    if group.kind == "bounds":
        # rows g - z*l >= 0 and g - z*u <= 0: the stock's weight and its bound
        lower, upper = group.source
        weights = (val + (0 if side == "lower" else 0)) / z
        bound = np.asarray(lower if side == "lower" else upper, dtype=float)
        w = weights + bound  # val = w*z - b*z, so val/z + b = w
        return w, bound
    if group.kind == "component":
        attr = "upper" if side == "upper" else "lower"
        share_limit = float(getattr(group.source, attr))
        total = lim / share_limit if share_limit else np.full_like(lim, np.nan)
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(total > 0, val / total, np.nan), np.full_like(val, share_limit)
    return _own(group.kind, val, z), _own(group.kind, lim, z)


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
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        weights, failure, refusal = None, None, None
        try:
            weights = _optimize.portfolio_optimize(order_book_ids, date, solver=solver,
                                                   **model, **solver_options)
        except OptimizationFailed as exc:
            failure = str(exc.args[0]) if exc.args else "failed"
        except InvalidArgument as exc:
            if not (exc.args and exc.args[0] in BOUND_SUM_REFUSALS):
                raise
            refusal = BOUND_SUM_REFUSALS[exc.args[0]]
        dropped_by_retry = any(str(w.message) == RETRY_WARNING for w in caught)
        result = _explain(order_book_ids, date, model, weights, failure, refusal, dropped_by_retry)
    notes = []
    for w in caught:
        text = str(w.message)
        if text not in notes:
            notes.append(text)
    result.warnings = notes
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


# ------------------------------------------------------------------ the report

def _number(x):
    if isinstance(x, str):
        return x
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return "-"
    return "{:.4g}".format(x)


def _relaxation_line(r):
    target = r.group + (" [{}]".format(r.item) if r.item else "")
    if r.parameter == "rows":
        text = "allow its rows to be exceeded by {}".format(_number(r.needed))
    elif r.parameter.endswith("bound"):
        verb = "raise" if r.parameter.startswith("upper") else "lower"
        text = "{} the {} from {} to {}".format(verb, r.parameter, _number(r.limit),
                                                _number(r.needed))
    elif r.needed is None:
        text = "{} cannot make it feasible".format(r.parameter)
    else:
        more = isinstance(r.needed, str) or r.needed > (r.limit if not isinstance(
            r.limit, str) else -math.inf)
        text = "{} from {} to {} {}".format(r.parameter, _number(r.limit),
                                             "at least" if more else "at most",
                                             _number(r.needed))
    if not r.alone:
        text += " (together with the other changes listed)"
    return "  - {}: {}".format(target, text)


_SHOWN = 8


def _render(d):
    lines = []
    if d.feasible:
        held = int((d.weights > 1e-4).sum()) if d.weights is not None else 0
        lines.append("Feasible: {} stocks held (weights above 1e-4).".format(held))
    elif d.weights is not None:
        lines.append("Infeasible as given; portfolio_optimize dropped the soft constraints and "
                     "solved without them:")
        lines += ["  - " + name for name in d.dropped]
    elif d.bound_sums:
        lines.append("Infeasible: the per-stock bounds cannot meet the budget: {}.".format(
            d.bound_sums))
    else:
        lines.append("Infeasible: no portfolio satisfies every limit (solver status: {}).".format(
            d.failure or "failed"))
    if not d.feasible:
        if d.conflict:
            lines.append("These limits conflict (dropping any one of them makes the rest feasible):")
            lines += ["  - " + (name if name != "budget" else "budget (the weights sum to 1)")
                      for name in d.conflict]
        elif d.total_relaxation <= _ZERO:
            lines.append("The limits hold together: the failure lies elsewhere (the objective's "
                         "own condition, such as a positive expected return, or the solver).")
        if len(d.relaxations):
            lines.append("Smallest change of one limit that makes the problem feasible, the others "
                         "as given:")
            for group, rows in d.relaxations.groupby("group", sort=False):
                if len(rows) > _SHOWN and rows["parameter"].str.endswith("bound").all():
                    step = (rows["needed"] - rows["limit"]).abs()
                    lines.append("  - {}: move the bounds of {} stocks by {} in all ({} to {} "
                                 "each), for example {}".format(
                                     group, len(rows), _number(step.sum()), _number(step.min()),
                                     _number(step.max()), ", ".join(rows["item"].head(3))))
                    continue
                lines += [_relaxation_line(r) for r in rows.itertuples()]
            lines.append("Minimal total relaxation (sum over groups, each in its own units): "
                         "{}".format(_number(d.total_relaxation)))
    if len(d.groups):
        binding = d.groups[d.groups["binding"]]
        if len(binding):
            lines.append("Binding limits (shadow price: objective improvement per unit of "
                         "relaxation):")
            binding = binding[(binding["group"] != "budget") &
                              ~((binding["side"] == "lower") & (binding["limit"] == 0))]
            for group, rows in binding.groupby("group", sort=False):
                shown = rows.sort_values("shadow_price", ascending=False).head(_SHOWN)
                for r in shown.itertuples():
                    target = r.group + (" [{}]".format(r.item) if r.item else "")
                    lines.append("  - {}: {} at {} limit {}, shadow price {}".format(
                        target, _number(r.value), r.side, _number(r.limit), _number(r.shadow_price)))
                if len(rows) > len(shown):
                    lines.append("    ... and {} more".format(len(rows) - len(shown)))
        violated = d.groups[d.groups["violation"] > 1e-4]
        if len(violated):
            lines.append("Exceeded at the returned weights:")
            for r in violated.itertuples():
                lines.append("  - {} [{}]: {} beyond its {} limit {} by {}".format(
                    r.group, r.item, _number(r.value), r.side, _number(r.limit),
                    _number(r.violation)))
    if d.warnings:
        lines.append("Warnings of the optimization:")
        lines += ["  - " + w for w in d.warnings]
    return "\n".join(lines)
