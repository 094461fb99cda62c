"""Ex-ante analytics of an optimized portfolio.

`analyse` reads the same risk model the optimizer used (through
`OptimizeHelper`) and reports the figures an analyst checks first: total
risk, tracking error, the largest holdings and the largest active industry
weights.
"""
import unicodedata
from dataclasses import dataclass, field
from typing import Optional

import numpy as np
import pandas as pd

from .const import CovModel, IndustryClassification, RiskModel
from .helper import OptimizeHelper


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

    def top_holdings(self, n=10):
        return self.weights.sort_values(ascending=False).head(n)

    def format(self, title, n_holdings=10, n_industries=5):
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
        return "\n".join(lines)


def analyse(weights, date, benchmark=None, *, cov_model=CovModel.FACTOR_MODEL_DAILY,
            risk_model=RiskModel.V1, classification=IndustryClassification.SWS):
    """Risk, tracking error and active industry weights of `weights` on `date`.

    `benchmark` is an `OptimizeBenchmark` (or None); risk figures use the
    unscaled risk model (both aversion coefficients 1).
    """
    weights = pd.Series(weights, dtype=float)
    ids = list(weights.index)
    helper = OptimizeHelper(ids, date, benchmark, cov_model, risk_model, 1.0, 1.0)
    w = weights.values
    B, d = helper.get_factor_risk()
    exposure = B.T @ w
    risk = float(np.sqrt(exposure @ exposure + d @ (w * w)))
    report = PortfolioReport(weights=weights, risk=risk)
    if benchmark is None:
        return report

    union = helper.union_components
    active = np.concatenate([w, np.zeros(len(union) - len(ids))]) - helper.benchmark_weight.values
    Bu, du = helper.get_union_factor_risk()
    active_exposure = Bu.T @ active
    report.tracking_error = float(np.sqrt(active_exposure @ active_exposure + du @ (active * active)))
    industry = helper.get_industry_mapping(classification)
    held = weights.groupby(industry.values).sum()
    bench = helper.get_benchmark_industry_weight(classification)
    report.active_industry = held.reindex(held.index.union(bench.index), fill_value=0.0) \
        .sub(bench, fill_value=0.0)
    return report
