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
    #: per holding, largest first: weight, benchmark weight, active weight, industry, name
    positions: Optional[pd.DataFrame] = None
    #: the objective's own figures (label -> text), e.g. its expected active return
    objective_figures: dict = field(default_factory=dict)

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
            "objective": dict(self.objective_figures),
        }
        if self.positions is not None:
            out["positions"] = table(self.positions)
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


def store_classification(classification=None):
    """(classification, note): `classification` as given, or, when None, the
    store's own: "sws" when it has it, else its only (or first) standard; None
    with a note when the store has no industries."""
    if classification is not None:
        return classification, None
    import corvana

    from ..config import classification_of

    standards = corvana.industry_standards()
    if not standards:
        return None, "the market data hold no industry classification: industry figures are left out"
    return classification_of("sws" if "sws" in standards else standards[0]), None


def weightless_benchmark(benchmark, date):
    """The note for an index benchmark without constituent weights on `date` (else None)."""
    if not isinstance(benchmark, str):
        return None
    import corvana

    prev = corvana.get_previous_trading_date(date)
    if corvana.index_weights(benchmark, prev) is not None:
        return None
    return ("benchmark {} has no constituent weights on or before {}: tracking error and active "
            "figures are left out".format(benchmark, prev))


def build_report(weights, date, benchmark=None, *, cov_model=CovModel.FACTOR_MODEL_DAILY,
                 risk_model=RiskModel.V1, classification=None,
                 constraints=None, top=15, objective=None) -> RiskReport:
    """The report of `weights` (a Series over order_book_ids) on `date`.

    `benchmark`: an index id or an `OptimizeBenchmark`; `constraints`: a table
    of limits to show as it is (a diagnosis's groups, for example);
    `classification`: the industries shown (default: the store's, see
    `store_classification`).
    `objective`: the objective object the weights were optimized with, whose
    own figures (an expected return) the report then shows.
    """
    from ..benchmark import IndexBenchmark

    notes = []
    classification, note = store_classification(classification)
    if note:
        notes.append(note)
    note = weightless_benchmark(benchmark, date)
    if note:
        notes.append(note)
        benchmark = None
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

    if classification is not None:
        mapping = helper.get_industry_mapping(classification)
        held = weights.groupby(mapping.to_numpy()).sum()
    else:
        held = pd.Series(dtype=float)
    industries = pd.DataFrame({"portfolio": held})

    if benchmark is not None:
        active_factor, active_specific = active_risk_split(helper, w)
        risk.update(tracking_error=float(np.sqrt(active_factor + active_specific)),
                    active_factor_variance=active_factor, active_specific_variance=active_specific)
        styles["benchmark"] = helper.get_benchmark_style().reindex(styles.index).to_numpy()
        styles["active"] = styles["portfolio"] - styles["benchmark"]
        bench = (helper.get_benchmark_industry_weight(classification) if classification is not None
                 else pd.Series(dtype=float))
        industries = industries.reindex(industries.index.union(bench.index), fill_value=0.0)
        industries["benchmark"] = bench.reindex(industries.index, fill_value=0.0)
        industries["active"] = industries["portfolio"] - industries["benchmark"]
        industries = industries.reindex(industries["active"].abs().sort_values(ascending=False).index)
    else:
        industries = industries.sort_values("portfolio", ascending=False)

    positions = pd.DataFrame({"weight": w}, index=weights.index)
    if benchmark is not None:
        bench_w = pd.Series(helper.benchmark_weight.to_numpy(), index=list(helper.union_components))
        positions["benchmark"] = bench_w.reindex(positions.index, fill_value=0.0).to_numpy()
        positions["active"] = positions["weight"] - positions["benchmark"]
    if classification is not None:
        positions["industry"] = mapping.reindex(positions.index).to_numpy()
    positions["name"] = _names(list(positions.index))
    positions = positions.sort_values("weight", ascending=False, kind="stable")

    holdings = {"count": int((w > 1e-4).sum()), "effective_number": float(1.0 / (w @ w)),
                "largest_weight": float(w.max()), "weight_sum": float(w.sum())}
    return RiskReport(date=helper.date, data_date=helper.prev_trading_date, benchmark=name, weights=weights,
                      risk=risk, factor_groups=factor_groups, stocks=stocks, styles=styles,
                      industries=industries, holdings=holdings, constraints=constraints, positions=positions, notes=notes,
                      objective_figures=objective_figures(objective, weights, helper))


def _names(ids):
    """The store's name of each id ("" when it has none)."""
    import corvana

    records = {r.order_book_id: r.symbol for r in corvana.instruments(ids) or []}
    return [records.get(i) or "" for i in ids]


_RETURN_OBJECTIVES = {"MeanVariance": ("_expected_returns", False), "MaxSharpeRatio": ("_expected_returns", False),
                      "ActiveMeanVariance": ("_expected_active_returns", True),
                      "MaxInformationRatio": ("_expected_active_returns", True)}


def objective_figures(objective, weights, helper=None) -> dict:
    """The figure of `weights` that a return objective itself maximises: the
    portfolio's expected (active) return a year, from the returns the
    objective was given or, without them, from the same history estimate it
    makes (the mean daily return over its window, × 252; less the
    benchmark's for an active objective)."""
    kind = type(objective).__name__ if objective is not None else None
    if kind not in _RETURN_OBJECTIVES:
        return {}
    attr, active = _RETURN_OBJECTIVES[kind]
    w = pd.Series(weights, dtype=float)
    given = getattr(objective, attr, None)
    label = "expected active return (a year)" if active else "expected return (a year)"
    if given is not None:
        er = pd.Series(given, dtype=float).reindex(w.index).fillna(0.0)
        # an estimate the objective made and kept (MeanVariance, MaxSharpeRatio) is not a given
        source = (", history estimate over {} days".format(getattr(objective, "_window", 252))
                  if getattr(objective, "_estimated_for", None) is not None else ", from the returns given")
        return {label + source: "{:.2%}".format(float(w @ er))}
    if helper is None:
        return {}
    import corvana

    from ..const import TRADING_DAYS_PER_YEAR

    window = int(getattr(objective, "_window", 252))
    start = corvana.trading_date_offset(helper.prev_trading_date, -window)
    rates = corvana.get_price_change_rate(list(w.index), start, helper.prev_trading_date)
    er = (rates.mean() * TRADING_DAYS_PER_YEAR).reindex(w.index).fillna(0.0)
    value = float(w @ er)
    if active:
        if helper.benchmark is None:
            return {}
        value -= float(helper.benchmark.get_expected_returns(helper.date, window)) * float(w.sum())
    return {label + ", history estimate over {} days".format(window): "{:.2%}".format(value)}
