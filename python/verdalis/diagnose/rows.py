"""Decoding the assembled cvxpy rows into named limit rows.

The assembly `verdalis.optimize._assemble` builds is read as named groups
(the budget, the objective's own constraints, the per-stock bounds, one group
per constraint object).  Each row is split into its side, its value and its
limit, read in the limit's own units (the weight of an industry, a style
exposure, tracking error a year, turnover, a stock's weight), and labelled
with the stock, industry or style it is about.  `measure` makes the table of
limits at a set of weights.
"""
import math

import cvxpy as cp
import numpy as np
import pandas as pd

GROUP_COLUMNS = ["group", "item", "hard", "side", "value", "limit", "violation", "binding",
                 "shadow_price"]


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


def _items(group, side_rows, helper, n):
    """A label per row element of a group the constraint does not measure
    itself (the bounds, a user's own rows): stocks for per-stock rows, else
    the row's number."""
    ids = list(helper.order_book_ids)
    labels = []
    for k, (row, side, value_expr, limit_expr) in enumerate(side_rows):
        size = int(np.prod(row.shape)) if row.shape else 1
        if size == n and size > 1:
            labels.append(ids)
        elif size == 1:
            labels.append(["row {}".format(k)])
        else:
            labels.append(["row {}[{}]".format(k, j) for j in range(size)])
    return labels


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
        if hasattr(group.source, "_measure") and group.kind not in ("budget", "bounds"):
            records += _measured(group, helper, weights, duals, optimum, z)
            continue
        rows = _rows(group, g)
        labels = _items(group, rows, helper, n)
        for (row, side, value_expr, limit_expr), items in zip(rows, labels):
            measured = []
            for point, zv in ((at_weights, z), optimum or (None, None)):  # no optimum: Clarabel failed
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


def _measured(group, helper, weights, duals, optimum, z):
    """The rows of a constraint object from its own measurement (`_measure`,
    the numbers the optimizer verifies after every solve): value and limit at
    the returned weights, slack at the Clarabel optimum, and the shadow price
    of each limit in its own units from the dual of its row."""
    ids = list(helper.order_book_ids)
    at = group.source._measure(pd.Series(weights, index=ids), helper)
    at_optimum = None
    if optimum is not None:
        point, zv = optimum
        at_optimum = group.source._measure(pd.Series(np.asarray(point) / zv, index=ids), helper)
    prices = _prices(group, at, helper, weights, duals, z)
    records = []
    for k, row in enumerate(at.itertuples(index=False)):
        value, limit = float(row.value), float(row.limit)
        if math.isnan(value):  # nothing to measure (an industry nothing is held in)
            violation, slack = 0.0, math.inf
        elif row.side == "upper":
            violation, slack = max(value - limit, 0.0), limit - value
        else:
            violation, slack = max(limit - value, 0.0), value - limit
        if at_optimum is not None and len(at_optimum) == len(at):
            ovalue = float(at_optimum["value"].iloc[k])
            if not math.isnan(ovalue):
                slack = limit - ovalue if row.side == "upper" else ovalue - limit
        price = prices[k]
        binding = bool(abs(slack) <= 1e-6 * max(1.0, abs(limit)) or (not math.isnan(price) and price > 1e-6))
        records.append((group.name, row.item, group.hard, row.side, value, limit, violation, binding, price))
    return records


def _prices(group, table, helper, weights, duals, z):
    """The shadow price of each measured limit: the dual of its row (per unit
    of the row's limit) times the row limit's change per unit of the limit in
    its own units; NaN where no dual is known."""
    prices = [math.nan] * len(table)
    if not duals:
        return prices
    if group.kind == "trade":
        return _trade_prices(group, table, helper, weights, duals, z)
    # One scalar row per measured limit, in the same order.
    rows = list(group.rows)
    if len(rows) != len(table) or any(r.size != 1 for r in rows):
        return prices
    ids = list(helper.order_book_ids)
    for k, (row, limit) in enumerate(zip(rows, table["limit"])):
        dual = duals.get(row.id)
        if dual is None:
            continue
        if group.kind == "component":
            # g[i] against the industry's total (in g) times the share limit
            members = [ids.index(i) for i in table["item"].unique()]
            coef = z * float(np.sum(np.asarray(weights)[members]))
        else:
            coef = float(np.atleast_1d(_coef(group.kind, z, np.atleast_1d(limit)))[0])
        prices[k] = float(abs(np.atleast_1d(dual).astype(float)[0]) * coef)
    return prices


def _trade_prices(group, table, helper, weights, duals, z):
    """Per stock: the duals of its two weight bounds (per unit of weight)
    divided by the measured share's change per unit of weight, which the
    measurement gives at weights moved by a small step."""
    ids = list(helper.order_book_ids)
    lower, upper = group.rows
    d = np.zeros(len(ids))
    for row in (lower, upper):
        dual = duals.get(row.id)
        if dual is not None:
            d += np.abs(np.asarray(dual, dtype=float).ravel())
    step = 1e-6
    held = pd.Series(weights, index=ids)
    moved = group.source._measure(held + step, helper).set_index("item")["value"]
    at = table.set_index("item")["value"]
    per_weight = (moved.reindex(at.index) - at).abs() / step
    prices = []
    for item in table["item"]:
        i = ids.index(item)
        slope = per_weight.get(item, np.nan)
        prices.append(float(d[i] * z / slope) if slope > 0 else (0.0 if d[i] == 0 else math.nan))
    return prices


def _own_pair(group, side, val, lim, z, row):
    if group.kind == "bounds":
        # rows g - z*l >= 0 and g - z*u <= 0: the stock's weight and its bound
        lower, upper = group.source
        weights = (val + (0 if side == "lower" else 0)) / z
        bound = np.asarray(lower if side == "lower" else upper, dtype=float)
        w = weights + bound  # val = w*z - b*z, so val/z + b = w
        return w, bound
    return _own(group.kind, val, z), _own(group.kind, lim, z)
