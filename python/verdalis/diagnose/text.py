"""A Diagnosis as text: the verdict, the conflict, the smallest changes and
the binding limits with their shadow prices."""
import math

from .relaxation import _ZERO

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


def _relaxation_summary(relaxations):
    """The minimal relaxation, limit by limit in each limit's own unit (percent
    for weights and tracking error, standard deviations for exposures): never
    one sum across units."""
    from ..report.tables import format_value, short_repr, unit_of

    parts = []
    for group, rows in relaxations.groupby("group", sort=False):
        shared = rows[~rows["alone"].astype(bool)]
        if not len(shared):
            continue
        moves = [abs(float(r.needed) - float(r.limit)) if r.parameter != "rows" else abs(float(r.needed))
                 for r in shared.itertuples() if not isinstance(r.needed, str) and r.needed is not None
                 and (r.parameter == "rows" or not isinstance(r.limit, str))]
        if moves:
            parts.append("{} by {}".format(short_repr(group), format_value(sum(moves), unit_of(group))))
    if not parts:
        return "Any one of the changes above is enough on its own."
    return "Minimal relaxation, each limit in its own unit: " + "; ".join(parts)


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
            lines.append(_relaxation_summary(d.relaxations))
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
