"""The numbers of a portfolio report, as DataFrames: nothing here draws.

From the weights, the date, the benchmark and the risk model the optimizer
used, `build_report` computes the ex-ante risk split into factor and specific
parts, the risk contribution of each factor group (country, industries, each
style, specific) and of each stock, style exposures against the benchmark,
active industry weights and how concentrated the book is.  All risk figures
are annual: variances from the daily model × 252, risks their square roots.
"""
from __future__ import annotations

import datetime
from dataclasses import dataclass, field
from typing import Optional

import numpy as np
import pandas as pd

from ..const import CovModel, IndustryClassification, RiskModel
from ..helper import OptimizeHelper
from ..measures import active_risk_split
from ..measures import active_risk_split as active_variances  # noqa: F401  (the name it had here)


@dataclass
class RiskReport:
    """Ex-ante figures of one portfolio; every table is a DataFrame or Series."""

    date: datetime.date
    data_date: datetime.date
    benchmark: Optional[str]
    weights: pd.Series
    #: total_variance, factor_variance, specific_variance, total_risk and, with a
    #: benchmark, tracking_error, active_factor_variance, active_specific_variance
    risk: dict
    #: variance contribution and share of the total per factor group
    factor_groups: pd.DataFrame
    #: per stock: weight, marginal contribution to risk, contribution, share of variance
    stocks: pd.DataFrame
    #: style exposure of portfolio, benchmark, active
    styles: pd.DataFrame
    #: industry weight of portfolio, benchmark, active
    industries: pd.DataFrame
    #: holdings count, effective number of stocks, largest weight
    holdings: dict
    #: the constraint table (one row per limit), when the caller supplies it
    constraints: Optional[pd.DataFrame] = None
    notes: list = field(default_factory=list)

    def to_json(self) -> dict:
        """The report's numbers for machines (plain JSON types)."""
        def table(frame):
            return {str(k): {c: _num(v) for c, v in row.items()} for k, row in frame.to_dict("index").items()}

        out = {
            "date": str(self.date), "data_date": str(self.data_date), "benchmark": self.benchmark,
            "weights": {k: float(v) for k, v in self.weights.items()},
            "risk": {k: _num(v) for k, v in self.risk.items()},
            "factor_groups": table(self.factor_groups),
            "stocks": table(self.stocks),
            "styles": table(self.styles),
            "industries": table(self.industries),
            "holdings": {k: _num(v) for k, v in self.holdings.items()},
            "notes": list(self.notes),
        }
        if self.constraints is not None:
            out["constraints"] = [{k: _num(v) for k, v in row.items()}
                                  for row in self.constraints.to_dict("records")]
        return out


def _num(value):
    if isinstance(value, (np.floating, float)):
        return None if not np.isfinite(value) else float(value)
    if isinstance(value, (np.integer,)):
        return int(value)
    if isinstance(value, np.bool_):
        return bool(value)
    return value


def build_report(weights, date, benchmark=None, *, cov_model=CovModel.FACTOR_MODEL_DAILY,
                 risk_model=RiskModel.V1, classification=IndustryClassification.SWS,
                 constraints=None, top=15) -> RiskReport:
    """The report of `weights` (a Series over order_book_ids) on `date`.

    `benchmark`: an index id or an `OptimizeBenchmark`; `constraints`: a table
    of limits to show as it is (a diagnosis's groups, for example).
    """
    from ..benchmark import IndexBenchmark

    weights = pd.Series(weights, dtype=float)
    weights = weights[weights.abs() > 0]
    name = benchmark if isinstance(benchmark, str) or benchmark is None else type(benchmark).__name__
    if isinstance(benchmark, str):
        benchmark = IndexBenchmark(benchmark)
    ids = list(weights.index)
    helper = OptimizeHelper(ids, date, benchmark, cov_model, risk_model, 1.0, 1.0)
    w = weights.to_numpy()

    X, F = helper.get_factor_model()
    _, d = helper.get_factor_risk()
    x = X.to_numpy().T @ w                      # factor exposures of the portfolio
    Fx = F.to_numpy() @ x
    factor_var = float(x @ Fx)
    specific_var = float(d @ (w * w))
    total_var = factor_var + specific_var
    risk = {"total_variance": total_var, "factor_variance": factor_var,
            "specific_variance": specific_var, "total_risk": float(np.sqrt(total_var))}

    # factor groups: each factor's variance contribution x_j (F x)_j
    per_factor = pd.Series(x * Fx, index=F.index)
    exposure = helper.get_factor_exposure()
    styles_in_model = [f for f in exposure.columns if f in per_factor.index]
    groups = {}
    if "country" in per_factor.index:
        groups["country"] = per_factor["country"]
    industry_factors = [f for f in per_factor.index if f != "country" and f not in styles_in_model]
    groups["industries"] = per_factor[industry_factors].sum()
    for style in styles_in_model:
        groups[style] = per_factor[style]
    groups["specific"] = specific_var
    factor_groups = pd.DataFrame({"variance": pd.Series(groups)})
    factor_groups["share"] = factor_groups["variance"] / total_var

    # stocks: Σw = X F x + d∘w; contributions w_i (Σw)_i add up to the variance
    sigma_w = X.to_numpy() @ Fx + d * w
    sigma = np.sqrt(total_var)
    stocks = pd.DataFrame({"weight": w, "marginal": sigma_w / sigma, "contribution": w * sigma_w / sigma,
                           "variance_share": w * sigma_w / total_var}, index=weights.index)
    stocks = stocks.sort_values("contribution", ascending=False)

    portfolio_style = exposure.T.to_numpy() @ w
    styles = pd.DataFrame({"portfolio": portfolio_style}, index=exposure.columns)

    mapping = helper.get_industry_mapping(classification)
    held = weights.groupby(mapping.to_numpy()).sum()
    industries = pd.DataFrame({"portfolio": held})

    if benchmark is not None:
        active_factor, active_specific = active_risk_split(helper, w)
        risk.update(tracking_error=float(np.sqrt(active_factor + active_specific)),
                    active_factor_variance=active_factor, active_specific_variance=active_specific)
        styles["benchmark"] = helper.get_benchmark_style().reindex(styles.index).to_numpy()
        styles["active"] = styles["portfolio"] - styles["benchmark"]
        bench = helper.get_benchmark_industry_weight(classification)
        industries = industries.reindex(industries.index.union(bench.index), fill_value=0.0)
        industries["benchmark"] = bench.reindex(industries.index, fill_value=0.0)
        industries["active"] = industries["portfolio"] - industries["benchmark"]
        industries = industries.reindex(industries["active"].abs().sort_values(ascending=False).index)
    else:
        industries = industries.sort_values("portfolio", ascending=False)

    holdings = {"count": int((w > 1e-4).sum()), "effective_number": float(1.0 / (w @ w)),
                "largest_weight": float(w.max()), "weight_sum": float(w.sum())}
    return RiskReport(date=helper.date, data_date=helper.prev_trading_date, benchmark=name, weights=weights,
                      risk=risk, factor_groups=factor_groups, stocks=stocks, styles=styles,
                      industries=industries, holdings=holdings, constraints=constraints)
