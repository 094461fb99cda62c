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
from ..measures import ex_ante_tracking_error, risk_split


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


def _bound(value):
    return np.nan if value is None else float(value)


def _limit_rows(constraint, w, helper, tracking_error):
    """(item, value, lower, upper) of the limits of one constraint object that
    the report knows how to measure; none for the others."""
    from .. import constraints as vc

    name = type(constraint).__name__
    relative = bool(getattr(constraint, "relative", False))
    if isinstance(constraint, vc.TrackingErrorLimit):
        yield "tracking error", tracking_error, np.nan, constraint.upper
    elif isinstance(constraint, (vc.IndustryConstraint, vc.WildcardIndustryConstraint)):
        mapping = helper.get_industry_mapping(constraint.classification)
        held = pd.Series(w, index=mapping.index).groupby(mapping.values).sum()
        bench = helper.get_benchmark_industry_weight(constraint.classification) if relative else None
        if isinstance(constraint, vc.IndustryConstraint):
            industries = [i for i in constraint.industries if i in held.index]
        else:
            industries = [i for i in held.index if i not in constraint.exclude and i != "UNKNOWN"]
        for industry in industries:
            lower, upper = constraint.lower, constraint.upper
            if relative:
                b = bench.get(industry, 0)
                lower, upper = vc.get_deviation_value(b, lower), vc.get_deviation_value(b, upper)
            yield industry, float(held[industry]), _bound(lower), _bound(upper)
    elif isinstance(constraint, vc.StyleConstraint):
        exposure = helper.get_factor_exposure()
        bench = helper.get_benchmark_style() if relative else None
        for style in constraint.styles:
            if style not in exposure.columns:
                continue
            lower, upper = constraint.lower, constraint.upper
            if relative:
                lower = vc.get_deviation_value(bench[style], lower)
                upper = vc.get_deviation_value(bench[style], upper)
            yield style, float(exposure[style].values @ w), _bound(lower), _bound(upper)
    elif name in ("StockPoolLimit", "IndexComponentLimit", "BenchmarkComponentWeightLimit"):
        import corvana

        if name == "StockPoolLimit":
            group = constraint.stock_list
        elif name == "IndexComponentLimit":
            group = corvana.index_components(constraint.index_code, helper.prev_trading_date)
        else:
            group = set(helper.benchmark_components)
        share = float(sum(x for ob, x in zip(helper.order_book_ids, w) if ob in group))
        yield "weight held", share, _bound(constraint.lower), _bound(getattr(constraint, "upper", None))
    elif isinstance(constraint, vc.TurnoverLimit):
        h = constraint.get_params()["current_holding"]
        current = h.reindex(helper.order_book_ids, fill_value=0.0).to_numpy()
        outside = float(h[~h.index.isin(helper.order_book_ids)].abs().sum())
        yield "turnover", (np.abs(w - current).sum() + outside) / 2, np.nan, constraint.upper


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
    rows = [(repr(c),) + row for c in (cons or []) for row in _limit_rows(c, w, helper, report.tracking_error)]
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
