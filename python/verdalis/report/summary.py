"""Ex-ante analytics of an optimized portfolio.

`analyse` reads the same risk model the optimizer used (through
`OptimizeHelper`) and reports the figures an analyst checks first: total
risk, tracking error, the largest holdings and the largest active industry
weights.  Given the constraint objects of the optimization, it also shows
each limit next to the value the portfolio reached, in the limit's own units.
"""
import unicodedata
from dataclasses import dataclass, field
from typing import Optional

import numpy as np
import pandas as pd

from ..const import CovModel, IndustryClassification, RiskModel
from ..helper import OptimizeHelper
from ..measures import ex_ante_tracking_error, limit_table, risk_split


def _pad(text, width):
    """`text` left-aligned in `width` terminal columns (CJK characters take two)."""
    used = sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in str(text))
    return str(text) + " " * max(width - used, 0)


@dataclass
class PortfolioReport:
    """Ex-ante figures of one portfolio (annualised)."""

    weights: pd.Series
    risk: float
    tracking_error: Optional[float] = None
    active_industry: pd.Series = field(default_factory=lambda: pd.Series(dtype=float))
    #: one row per limit: constraint, item, value, lower, upper (NaN: no bound)
    limits: pd.DataFrame = field(default_factory=lambda: pd.DataFrame(
        columns=["constraint", "item", "value", "lower", "upper"]))

    def top_holdings(self, n=10):
        return self.weights.sort_values(ascending=False).head(n)

    def format(self, title, n_holdings=10, n_industries=5, n_limits=4):
        lines = [title, "-" * len(title)]
        lines.append("stocks held: {} (weights > 1e-4), weight sum {:.6f}".format(
            int((self.weights > 1e-4).sum()), float(self.weights.sum())))
        lines.append("ex-ante risk: {:.2%}".format(self.risk))
        if self.tracking_error is not None:
            lines.append("tracking error: {:.2%}".format(self.tracking_error))
        lines.append("top holdings:")
        for oid, w in self.top_holdings(n_holdings).items():
            lines.append("  {} {:7.2%}".format(_pad(oid, 12), w))
        if len(self.active_industry):
            lines.append("largest active industry weights:")
            largest = self.active_industry.reindex(
                self.active_industry.abs().sort_values(ascending=False).index).head(n_industries)
            for name, w in largest.items():
                lines.append("  {} {:+7.2%}".format(_pad(name, 12), w))
        if len(self.limits):
            from .tables import format_value, short_repr, unit_of

            lines.append("limits: value reached [lower .. upper], tightest first "
                         "(weights, turnover, tracking error in %; exposures in sd)")
            for name, rows in self.limits.groupby("constraint", sort=False):
                lines.append("  " + short_repr(name))
                unit = unit_of(name)
                slack = np.fmin(rows["value"] - rows["lower"], rows["upper"] - rows["value"])
                shown = rows.loc[slack.fillna(np.inf).sort_values(kind="stable").index[:n_limits]]
                for row in shown.itertuples():
                    bounds = " .. ".join("{:>9}".format(format_value(b, unit)) if np.isfinite(b) else "        -"
                                         for b in (row.lower, row.upper))
                    lines.append("    {} {:>9}  [{}]".format(_pad(row.item, 20), format_value(row.value, unit),
                                                            bounds))
                if len(rows) > len(shown):
                    lines.append("    ... {} more within their bounds".format(len(rows) - len(shown)))
        return "\n".join(lines)


def _limit_rows(cons, weights, helper):
    """(constraint, item, value, lower, upper) per item the constraint objects
    limit, from their own measurement (`measures.limit_table`): the same
    numbers the optimizer verifies after every solve."""
    table = limit_table(cons, weights, helper)
    for (name, item), rows in table.groupby(["constraint", "item"], sort=False):
        limits = dict(zip(rows["side"], rows["limit"]))
        yield name, item, float(rows["value"].iloc[0]), limits.get("lower", np.nan), limits.get("upper", np.nan)


def analyse(weights, date, benchmark=None, *, cov_model=CovModel.FACTOR_MODEL_DAILY,
            risk_model=RiskModel.V1, classification=None, cons=None):
    """Risk, tracking error and active industry weights of `weights` on `date`.

    `benchmark` is an `OptimizeBenchmark` (or None); risk figures use the
    unscaled risk model (both aversion coefficients 1).  `cons`, the
    constraint objects of the optimization, adds the table of limits: each
    limit next to the value reached, in its own units (weights, exposures,
    tracking error a year).  `classification`: the industries of the active
    weights (default: the store's; none without industries).
    """
    from .risk import store_classification

    classification, _ = store_classification(classification)
    weights = pd.Series(weights, dtype=float)
    ids = list(weights.index)
    helper = OptimizeHelper(ids, date, benchmark, cov_model, risk_model, 1.0, 1.0)
    w = weights.values
    risk = float(np.sqrt(sum(risk_split(helper, w), 0.0)))
    report = PortfolioReport(weights=weights, risk=risk)
    if benchmark is not None:
        _add_benchmark_figures(report, w, helper, classification)
    rows = list(_limit_rows(cons, weights, helper))
    if rows:
        report.limits = pd.DataFrame(rows, columns=["constraint", "item", "value", "lower", "upper"])
    return report


def _add_benchmark_figures(report, w, helper, classification):
    weights = report.weights
    report.tracking_error = ex_ante_tracking_error(helper, w)
    if classification is None:
        return
    industry = helper.get_industry_mapping(classification)
    held = weights.groupby(industry.values).sum()
    bench = helper.get_benchmark_industry_weight(classification)
    report.active_industry = held.reindex(held.index.union(bench.index), fill_value=0.0) \
        .sub(bench, fill_value=0.0)
