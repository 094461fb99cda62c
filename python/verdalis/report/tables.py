"""Tables a portfolio manager reads: limits tightest first, each in its own
unit, and clean weights.

`limit_table` orders the rows of a limits table (one row per limit: group,
item, side, value, limit, violation, binding, shadow_price) so that violated
and binding limits come first, folds the budget and the lower bounds at zero
into one closing row each, cuts each constraint to a few rows plus a count,
and writes every number in one convention: percent for weights, turnover and
tracking error; style exposures in standard deviations.

`clean_weights` is what every table of weights the product writes goes
through: dust below a threshold dropped, values rounded to 1e-8 and put back
on a sum of 1 within the bounds.
"""
from __future__ import annotations

import re

import numpy as np
import pandas as pd

#: weights below this are dust: written as 0 (the config's `[output] dust` changes it)
DUST = 1e-6
#: the grid weights are written on
DECIMALS = 8
#: a limit this close to its bound counts as reached when the table has no `binding` column
TOLERANCE = 1e-7


# ------------------------------------------------------------------ short reprs

_LIST = re.compile(r"\[([^\[\]]*)\]")


def short_repr(text: str, shown: int = 3, longest: int = 5) -> str:
    """`text` (a constraint's repr) with each list of more than `longest` items
    cut to its count and the first `shown`: "[100 ids: 'A', 'B', 'C', ...]"."""
    def cut(match):
        items = [i.strip() for i in match.group(1).split(",") if i.strip()]
        if len(items) <= longest:
            return match.group(0)
        kind = "ids" if all(re.fullmatch(r"'[0-9A-Za-z]+\.[A-Z]+'", i) for i in items) else "items"
        return "[{} {}: {}, ...]".format(len(items), kind, ", ".join(items[:shown]))
    return _LIST.sub(cut, str(text))


# ------------------------------------------------------------------------ units

def unit_of(group: str) -> str:
    """"sd" for style exposures, "%" for weights, turnover and tracking error,
    "" for what has no unit of its own (an objective's internal rows)."""
    name = str(group).split("(", 1)[0].strip()
    if name in ("StyleConstraint", "wildcard_style_constraint"):
        return "sd"
    if name == "objective":
        return ""
    return "%"


def format_value(value, unit: str, signed: bool = False) -> str:
    """`value` in `unit`: 0.0381 -> "3.81 %", 0.2 (exposure) -> "0.200 sd"."""
    if value is None or (isinstance(value, float) and not np.isfinite(value)):
        return ""
    value = float(value)
    if unit == "%":
        return ("{:+.2f} %" if signed else "{:.2f} %").format(value * 100)
    if unit == "sd":
        return ("{:+.3f} sd" if signed else "{:.3f} sd").format(value)
    return "{:.4g}".format(value)


# ------------------------------------------------------------------- the limits

def _is_zero_floor(frame):
    return (frame["group"] == "bounds") & (frame.get("side") == "lower") & (frame["limit"].abs() <= 1e-12)


def limit_table(limits: pd.DataFrame, shown: int = 5) -> pd.DataFrame:
    """The rows of `limits` as a page shows them: columns constraint, item,
    value, limit, violation, shadow_price (formatted text) and state
    ("violated", "binding" or ""); tightest first, long groups folded."""
    columns = ["constraint", "item", "state", "value", "limit", "violation", "shadow_price"]
    if limits is None or not len(limits):
        return pd.DataFrame(columns=columns)
    frame = limits.copy()
    if "group" not in frame:
        frame = frame.rename(columns={frame.columns[0]: "group"})
    for column, default in (("side", ""), ("violation", 0.0), ("shadow_price", np.nan), ("limit", np.nan)):
        if column not in frame:
            frame[column] = default
    frame["violation"] = frame["violation"].fillna(0.0).astype(float)
    if "binding" not in frame:
        frame["binding"] = (frame["value"] - frame["limit"]).abs() <= TOLERANCE
    frame["violated"] = frame["violation"] > TOLERANCE
    frame["binding"] = frame["binding"].fillna(False).astype(bool) & ~frame["violated"]
    slack = (frame["value"] - frame["limit"]).abs().fillna(np.inf)
    frame["slack"] = slack
    frame["price"] = frame["shadow_price"].abs().fillna(0.0)

    budget = frame["group"] == "budget"
    floors = _is_zero_floor(frame)
    main = frame[~budget & ~floors]

    # groups in order: a violated row first, then a binding one (largest price first), then the rest
    def rank(rows):
        return (-int(rows["violated"].any()), -int(rows["binding"].any()), -float(rows["price"].max()),
                float(rows["slack"].min()))
    ordered = sorted(main.groupby("group", sort=False), key=lambda item: rank(item[1]))

    out = []
    for group, rows in ordered:
        unit = unit_of(group)
        rows = rows.sort_values(["violated", "binding", "price", "slack"], ascending=[False, False, False, True],
                                kind="stable")
        name = short_repr(group)
        for i, row in enumerate(rows.head(shown).itertuples()):
            out.append({"constraint": name if i == 0 else "", "item": str(row.item),
                        "state": "violated" if row.violated else "binding" if row.binding else "",
                        "value": format_value(row.value, unit), "limit": format_value(row.limit, unit),
                        "violation": format_value(row.violation, unit) if row.violated else "",
                        "shadow_price": "" if not np.isfinite(row.shadow_price) else "{:.4g}".format(
                            row.shadow_price)})
        rest = rows.iloc[shown:]
        if len(rest):
            out.append({"constraint": name if not len(rows.head(shown)) else "",
                        "item": "... {} more ({} binding)".format(len(rest), int(rest["binding"].sum()))
                        if rest["binding"].any() or rest["violated"].any()
                        else "... {} more within their limits".format(len(rest)),
                        "state": "", "value": "", "limit": "", "violation": "", "shadow_price": ""})
    if budget.any():
        row = frame[budget].iloc[0]
        out.append({"constraint": "budget", "item": "weights sum to 100 %",
                    "state": "violated" if row["violated"] else "",
                    "value": format_value(1.0 + row["value"] - row["limit"], "%"), "limit": "100.00 %",
                    "violation": format_value(row["violation"], "%") if row["violated"] else "",
                    "shadow_price": ""})
    if floors.any():
        rows = frame[floors]
        out.append({"constraint": "bounds", "item": "{} stocks at their lower bound of 0 (not held)".format(
                    int(rows["binding"].sum())) if rows["binding"].any()
                    else "{} lower bounds of 0, none reached".format(len(rows)),
                    "state": "", "value": "", "limit": "0.00 %", "violation": "", "shadow_price": ""})
    return pd.DataFrame(out, columns=columns)


# ---------------------------------------------------------------- clean weights

def _bounds_of(ids, bounds):
    """Per-stock (lower, upper) arrays from a `bnds` mapping (id or "*" -> (lower, upper))."""
    lower = np.full(len(ids), -np.inf)
    upper = np.full(len(ids), np.inf)
    if bounds:
        default = bounds.get("*")
        for i, oid in enumerate(ids):
            pair = bounds.get(oid, default)
            if pair is None:
                continue
            lo, up = pair
            lower[i] = -np.inf if lo is None else float(lo)
            upper[i] = np.inf if up is None else float(up)
    return lower, upper


def clean_weights(weights, bounds=None, *, dust: float = DUST, decimals: int = DECIMALS) -> pd.Series:
    """`weights` as the product writes them.

    Weights whose size is below `dust` become 0 (unless their lower bound
    keeps them), the rest are rounded to 10**-decimals, and the difference
    to a sum of 1 is spread over the holdings in proportion to their size,
    within each stock's bounds (`bounds`: the `bnds` mapping of the
    optimization), on the same grid.  The result sums to 1 exactly on that
    grid; a weights vector that does not sum to 1 to begin with (a
    long-short book, say) keeps its own sum.
    """
    weights = pd.Series(weights, dtype=float)
    if dust < 0 or not np.isfinite(dust):
        raise ValueError("dust: expected a non-negative number, got {!r}".format(dust))
    if weights.empty:
        return weights
    w = weights.to_numpy().copy()
    lower, upper = _bounds_of(list(weights.index), bounds)
    scale = 10 ** decimals
    keep_floor = lower > 0
    w[(np.abs(w) < dust) & ~keep_floor] = 0.0
    units = np.round(w * scale)
    lo = np.where(np.isfinite(lower), np.ceil(lower * scale - 1e-3), -np.inf)
    up = np.where(np.isfinite(upper), np.floor(upper * scale + 1e-3), np.inf)
    units = np.clip(units, lo, up)
    original = float(weights.sum())
    target = round(original * scale) if abs(original - 1.0) > 1e-4 else scale
    gap = int(target - units.sum())
    held = units != 0
    for _ in range(50):  # a few passes: a stock that reaches its bound hands its share on
        if gap == 0:
            break
        room = (up - units) if gap > 0 else (units - lo)
        room = np.where(held, room, 0.0)
        open_ = room > 0
        # stocks strictly inside their bounds take the change first: a capped weight stays on its cap
        inside = open_ & (units < up) & (units > lo)
        if inside.any():
            open_ = inside
        if not open_.any():
            break
        share = np.abs(units) * open_
        share = share / share.sum() if share.sum() > 0 else open_ / open_.sum()
        step = np.minimum(np.floor(share * abs(gap)), room)
        if step.sum() == 0:  # less than one unit each: one unit to the largest holdings with room
            order = np.argsort(-np.abs(units) * open_, kind="stable")[:abs(gap)]
            step = np.zeros_like(units)
            step[order[open_[order]]] = 1
        units += np.sign(gap) * step
        gap = int(target - units.sum())
    return pd.Series(units / scale + 0.0, index=weights.index, name=weights.name)  # + 0.0: no -0
