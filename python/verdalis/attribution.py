"""Where a backtest's active return came from.

For each holding period (from the close at which the book was set to the
close before the next rebalance) the realised active return

    R_p - R_b,   R_p = (1 - kappa) (1 + sum_i w_i r_i) - 1

(w the weights set at the start, cash earning nothing; r_i the stock's
total return over the period, a stock delisted while held going to cash at
its last close; kappa the trading cost as a fraction of the book before
trading; R_b the benchmark index's return) is split into

* factor contributions: the active exposures at the start of the period,
  X'(w - b), times the period's factor returns f (country, industries,
  styles).  f comes from the cross-sectional regression the risk-model
  estimator uses (corvana.riskmodel): weighted least squares of the stocks'
  period returns on their exposures, weights the square root of market value,
  industry returns constrained to a cap-weighted sum of zero;
* specific return: sum_i (w_i - b_i) (r_i - X_i f); a stock the risk model
  does not cover has all of its return here;
* costs: -kappa (1 + sum_i w_i r_i), what trading took from the period;
* benchmark residual: sum_i b_i r_i - R_b, the index's own return beside
  that of its constituents at their start weights (zero for an index that
  is exactly its constituents held through the period).

These add up to R_p - R_b exactly.  Beside them, a Brinson split by industry
of the same gross active return sum_i (w_i - b_i) r_i: allocation
sum_j (W_pj - W_bj)(R_bj - R_b*) and selection sum_j W_pj (R_pj - R_bj)
(interaction included), cash an industry of its own with return 0, R_b* the
constituents' return, R_bj = R_b* for an industry the benchmark does not hold.
"""
from __future__ import annotations

import numpy as np
import pandas as pd

import corvana
from corvana.riskmodel import _regress

__all__ = ["period_returns", "factor_returns", "decompose", "brinson", "attribute", "GROUPS"]

#: The summary columns of an attribution table, in order.
GROUPS = ["active_return", "country", "industry", "style", "specific", "costs", "benchmark_residual",
          "allocation", "selection"]


def period_returns(order_book_ids, start, end) -> pd.Series:
    """Total return of each stock from the close of `start` to the close of `end`; a stock
    that stops trading (no price) keeps what it had reached, as the backtest's book does."""
    ids = list(order_book_ids)
    if not ids:
        return pd.Series(dtype=float)
    days = corvana.get_trading_dates(start, end)
    if len(days) < 2:
        return pd.Series(0.0, index=ids)
    rates = corvana.get_price_change_rate(ids, days[1], days[-1]).to_numpy(dtype=float)
    gone = np.cumsum(np.isnan(rates), axis=0) > 0
    growth = np.where(gone, 1.0, 1.0 + np.nan_to_num(rates))
    return pd.Series(np.prod(growth, axis=0) - 1.0, index=ids)


def factor_returns(exposures: pd.DataFrame, returns: pd.Series, cap: pd.Series, industry: pd.Series) -> pd.Series:
    """The period's factor returns by the risk model's cross-sectional regression.

    `exposures`: style exposures (ids x styles); `industry`: each stock's
    industry; `cap`: market values (regression weights sqrt(cap), industry
    constraint weights the industries' total cap).  Returns a Series over
    "country", the industries (sorted) and the styles.
    """
    ids = exposures.index
    r = returns.reindex(ids).to_numpy(dtype=float)
    w = cap.reindex(ids).to_numpy(dtype=float)
    ok = np.isfinite(r) & np.isfinite(w) & (w > 0)
    inds = sorted(industry.reindex(ids)[ok].unique())
    styles = list(exposures.columns)
    X = design(exposures, industry, inds)
    index = ["country"] + inds + styles
    idx = np.flatnonzero(ok)
    sw = np.sqrt(w[idx])
    ind_of = industry.reindex(ids).to_numpy()[idx]
    iw = np.array([w[idx][ind_of == j].sum() for j in inds])
    f = _regress(X[idx], r[idx], sw, np.arange(1, 1 + len(inds)), iw)
    if f is None:
        raise ValueError("too few stocks ({}) to estimate {} factor returns".format(len(idx), len(index)))
    return pd.Series(f, index=index)


def design(exposures: pd.DataFrame, industry: pd.Series, inds: list) -> np.ndarray:
    """Exposure matrix: country (1), industry dummies (in the order `inds`), styles."""
    n = len(exposures)
    X = np.zeros((n, 1 + len(inds) + exposures.shape[1]))
    X[:, 0] = 1.0
    col = {j: 1 + k for k, j in enumerate(inds)}
    for row, j in enumerate(industry.reindex(exposures.index).to_numpy()):
        if j in col:
            X[row, col[j]] = 1.0
    X[:, 1 + len(inds):] = np.nan_to_num(exposures.to_numpy(dtype=float))
    return X


def decompose(weights: pd.Series, bench: pd.Series, returns: pd.Series, exposures: pd.DataFrame,
              industry: pd.Series, f: pd.Series, cost: float = 0.0, bench_return=None) -> pd.Series:
    """One period's split (see the module text); `cost` a fraction of the book before trading."""
    ids = weights.index.union(bench.index)
    w = weights.reindex(ids).fillna(0.0)
    b = bench.reindex(ids).fillna(0.0)
    r = returns.reindex(ids).fillna(0.0)
    active = w - b
    inds = [k for k in f.index if k != "country" and k not in exposures.columns]
    covered = ids.intersection(exposures.index)
    X = pd.DataFrame(design(exposures.reindex(covered), industry, inds), index=covered, columns=f.index)
    a_exp = X.T @ active.reindex(covered)
    contrib = a_exp * f
    fitted = (X @ f).reindex(ids).fillna(0.0)
    gross_p = float((w * r).sum())
    out = {
        "country": float(contrib["country"]),
        "industry": float(contrib[inds].sum()),
        "style": float(contrib[list(exposures.columns)].sum()),
        "specific": float((active * (r - fitted)).sum()),
        "costs": -cost * (1.0 + gross_p),
    }
    bench_gross = float((b * r).sum())
    if bench_return is None:
        bench_return = bench_gross
    out["benchmark_residual"] = bench_gross - float(bench_return)
    out["active_return"] = (1.0 - cost) * (1.0 + gross_p) - 1.0 - float(bench_return)
    split = brinson(w, b, r, industry)
    out.update(split)
    series = pd.Series(out)[GROUPS]
    detail = pd.concat([contrib[inds].rename(lambda k: "industry:" + k),
                        contrib[list(exposures.columns)].rename(lambda k: "style:" + k)])
    return pd.concat([series, detail])


def brinson(w: pd.Series, b: pd.Series, r: pd.Series, industry: pd.Series) -> dict:
    """Allocation and selection by industry of sum (w - b) r; cash an industry with return 0."""
    ind = industry.reindex(w.index).fillna("UNKNOWN")
    frame = pd.DataFrame({"w": w, "b": b, "wr": w * r, "br": b * r, "ind": ind})
    g = frame.groupby("ind").sum()
    cash = 1.0 - float(w.sum())
    rb_total = float(frame["br"].sum()) / float(b.sum()) if b.sum() > 0 else 0.0
    rb = np.where(g["b"] > 0, g["br"] / g["b"].where(g["b"] > 0), rb_total)
    rp = np.where(g["w"] > 0, g["wr"] / g["w"].where(g["w"] > 0), 0.0)
    allocation = float(((g["w"] - g["b"]) * (rb - rb_total)).sum()) + cash * (0.0 - rb_total)
    selection = float((g["w"] * (rp - rb)).sum())
    return {"allocation": allocation, "selection": selection}


def attribute(periods, benchmark, *, version="v1", standard="sws", progress=False) -> pd.DataFrame:
    """The attribution table of a backtest, one row per holding period (indexed by its start).

    `periods`: dicts with `start` (the data date at whose close the book was
    set), `end`, `weights` (the book after trading, fractions of its value)
    and `cost` (fraction of the book before trading).  `benchmark`: an index
    id (its level gives R_b and its weights on `start` give b), or None.
    """
    rows = {}
    iterator = periods
    if progress:
        from tqdm.auto import tqdm

        iterator = tqdm(periods, desc="attribution", unit="period", leave=False)
    for period in iterator:
        start, end = period["start"], period["end"]
        weights = pd.Series(period["weights"], dtype=float)
        weights = weights[weights != 0]
        if benchmark is not None:
            bench = corvana.index_weights(benchmark, start)
            bench = bench / bench.sum()
            days = corvana.get_trading_dates(start, end)
            level = corvana.get_price_change_rate(benchmark, days[1], days[-1])[benchmark] if len(days) > 1 else []
            bench_return = float(np.prod(1.0 + np.nan_to_num(np.asarray(level, dtype=float))) - 1.0)
        else:
            bench, bench_return = pd.Series(dtype=float), 0.0
        universe = corvana.all_instruments(type="CS", date=start)["order_book_id"].tolist()
        exposure = corvana.get_risk_exposure(universe, start, version=version)
        exposures = exposure.drop(columns=["industry"])
        industry = corvana.get_industry(sorted(set(universe) | set(weights.index) | set(bench.index)), standard)
        model_industry = exposure["industry"]
        ids = sorted(set(exposures.index) | set(weights.index) | set(bench.index))
        returns = period_returns(ids, start, end)
        # market values of the last trading day on or before the start
        cap = corvana.get_factor(list(exposures.index), "market_cap_3",
                                 pd.Timestamp(start) - pd.Timedelta(days=15), start)["market_cap_3"]
        cap = cap.groupby(level="order_book_id").last()
        f = factor_returns(exposures, returns, cap, model_industry)
        row = decompose(weights, bench, returns, exposures, model_industry, f, period["cost"], bench_return)
        # the Brinson split reads the classification standard asked for
        row.update(pd.Series(brinson(weights.reindex(weights.index.union(bench.index)).fillna(0.0),
                                     bench.reindex(weights.index.union(bench.index)).fillna(0.0),
                                     returns.reindex(weights.index.union(bench.index)).fillna(0.0), industry)))
        rows[pd.Timestamp(start)] = row
    frame = pd.DataFrame(rows).T
    frame.index.name = "date"
    return frame
