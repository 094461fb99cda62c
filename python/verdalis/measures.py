"""One home for the measures the product layer reports: annualisation,
realised and ex-ante tracking error, turnover, drawdown and the ex-ante risk
split into factor and specific parts.

Risk figures are annual: the risk model's daily variances × 252
(`TRADING_DAYS_PER_YEAR`), risks their square roots; realised volatilities
are daily standard deviations × sqrt(252).
"""
import math

import numpy as np
import pandas as pd

from .const import TRADING_DAYS_PER_YEAR

__all__ = ["TRADING_DAYS_PER_YEAR", "annualise_std", "years", "annual_return",
           "realised_tracking_error", "turnover", "drawdown", "risk_split",
           "active_risk_split", "ex_ante_tracking_error", "limit_table", "limit_misses"]


def annualise_std(daily_std):
    """A daily standard deviation as an annual one (× sqrt(252))."""
    return daily_std * math.sqrt(TRADING_DAYS_PER_YEAR)


def years(n_days):
    """The length in years of `n_days` daily returns (never 0)."""
    return max(n_days / TRADING_DAYS_PER_YEAR, 1e-9)


def annual_return(growth, n_days):
    """The annual rate of a total growth factor `growth` earned over `n_days` daily returns."""
    return growth ** (1 / years(n_days)) - 1


def realised_tracking_error(active_returns):
    """The annual standard deviation of daily active returns."""
    return annualise_std(active_returns.std())


def turnover(target: pd.Series, current: pd.Series) -> float:
    """One-way turnover from the weights `current` to `target` (stocks absent
    from one side count as 0): half the sum of the absolute changes."""
    union = current.index.union(target.index)
    return float((target.reindex(union, fill_value=0.0)
                  - current.reindex(union, fill_value=0.0)).abs().sum() / 2)


def drawdown(nav: pd.Series) -> pd.Series:
    """The fall of `nav` below its running peak at each date (0 at a peak, negative below)."""
    return nav / nav.cummax() - 1


def risk_split(helper, weights):
    """(factor, specific) variance a year of `weights` over the helper's pool,
    from its factor risk (B with B Bᵀ the factor covariance, d the specific
    variances); the total risk is the square root of their sum."""
    B, d = helper.get_factor_risk()
    w = np.asarray(weights, dtype=float)
    exposure = B.T @ w
    return float(exposure @ exposure), float(d @ (w * w))


def active_risk_split(helper, weights):
    """(factor, specific) variance a year of the active weights, `weights`
    over the helper's pool minus its benchmark, over union_components; the
    tracking error is the square root of their sum."""
    B, d = helper.get_union_factor_risk()
    w = np.asarray(weights, dtype=float)
    a = np.r_[w, np.zeros(len(d) - len(w))] - helper.benchmark_weight.to_numpy()
    exposure = B.T @ a
    return float(exposure @ exposure), float(d @ (a * a))


def ex_ante_tracking_error(helper, weights):
    """The tracking error a year the helper's risk model expects of `weights`."""
    return float(np.sqrt(sum(active_risk_split(helper, weights))))


LIMIT_COLUMNS = ["constraint", "item", "side", "value", "limit"]


def limit_table(cons, weights, helper):
    """Each limit of the constraint objects `cons` at `weights` (a Series over
    the helper's pool), one row per limit: constraint (its repr), item, side
    ('lower' or 'upper'), value reached and limit, in the limit's own units.
    The numbers are each constraint's own measurement (`_measure`), the ones
    `portfolio_optimize` verifies after every solve; a user's class without
    one adds no row."""
    frames = []
    for c in cons or []:
        measure = getattr(c, "_measure", None)
        if measure is None:
            continue
        table = measure(weights, helper)
        if len(table):
            frames.append(table.assign(constraint=repr(c))[LIMIT_COLUMNS])
    if not frames:
        return pd.DataFrame(columns=LIMIT_COLUMNS)
    return pd.concat(frames, ignore_index=True)


def limit_misses(table, tolerance):
    """The rows of a `limit_table` whose value is beyond its limit by more than
    `tolerance` (in the limit's own units)."""
    if not len(table):
        return table
    excess = np.where(table["side"] == "lower", table["limit"] - table["value"],
                      table["value"] - table["limit"])
    return table[np.nan_to_num(excess.astype(float), nan=-np.inf) > tolerance]

