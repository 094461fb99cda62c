"""Factor risk model estimated from a market's daily data.

``estimate(tables)`` takes the tables of a store (instruments, trading dates,
bars, industries) and returns the three risk-model tables (``style_exposure``,
``factor_covariance``, ``specific_risk``) described in docs/data.md:

* **Style exposures**, on each month end, for the stocks trading that day,
  from what the data hold:

  ==================== ==========================================================
  ``beta``             exponentially weighted (half-life 63 days) regression of
                       the stock's daily returns on the market's over a year
  ``residual_volatility`` log of the volatility of that regression's residuals
                       (half-life 42 days)
  ``momentum``         log total return from 252 to 21 trading days ago
  ``size``             log market value (needs ``market_cap_3``)
  ``non_linear_size``  size cubed, made orthogonal to size
  ``liquidity``        log of the average daily turnover over 21, 63 and 252
                       days (traded value over market value, or traded value
                       alone without market values), made orthogonal to size
                       (needs volumes)
  ``book_to_price``, ``earnings_yield``, ``growth``, ``leverage``
                       a bar column of that name when the data carry one
  ==================== ==========================================================

  Every style is standardised across the stocks of the snapshot (mean 0,
  standard deviation 1, clipped at ±3) and a stock whose history is too short
  gets 0.  A style the data cannot support is left out: its column is empty
  and it is not a factor of the covariance, which the optimizer reads as "the
  risk model has no such style".

* **Factor returns**, each trading day, by a weighted cross-sectional
  regression of the stocks' returns on the exposures in force (country,
  industries, styles; weights √market value, or equal without market values;
  the industries' returns constrained to sum to 0 weighted by their market
  value or stock count, so that "country" is the market).

* Per month end and horizon, the **factor covariance** and the **specific
  variances** as exponentially weighted averages of the factor returns' outer
  products and the squared specific returns, with the half-lives of each
  version (``VERSIONS``).  Specific variances of stocks with a short history
  lean towards their industry's mean, and each version shrinks all of them
  towards it by its ``spec_shrink``.

The demo generator (``corvana.synth``) uses the same averaging, shrinkage and
standardisation on the true factor returns of its simulation, so the demo's
risk model and an estimated one differ only in what they are fed.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from .schema import HORIZONS, RISK_MODEL_VERSIONS, STYLE_NAMES

__all__ = ["VERSIONS", "estimate", "estimate_store", "EwmaRisk", "zscore", "bias_statistics"]

#: Risk-model versions: EWMA half-lives (trading days) per horizon, shrinkage of
#: the factor covariance towards its diagonal and of the specific variances
#: towards a target (the industry mean in an estimate).
VERSIONS = {
    "v1": {"half_lives": (42, 90, 252), "cov_shrink": 0.0, "spec_shrink": 0.0},
    "v2": {"half_lives": (60, 120, 300), "cov_shrink": 0.1, "spec_shrink": 0.2},
}
assert tuple(VERSIONS) == RISK_MODEL_VERSIONS and all(len(v["half_lives"]) == len(HORIZONS)
                                                       for v in VERSIONS.values())

#: Styles read from a bar column of the same name when the data carry one.
FUNDAMENTAL_STYLES = ("book_to_price", "earnings_yield", "growth", "leverage")

_BETA_WINDOW, _BETA_HL, _RESVOL_HL = 252, 63, 42
_MOM_LONG, _MOM_SHORT = 252, 21
_MIN_OBS = 42            # returns a stock needs in a window for beta, residual volatility, momentum
_SPEC_PRIOR_DAYS = 21    # weight (in days of data) of the industry mean in a young stock's variance


# ------------------------------------------------------------ shared pieces
def zscore(x: np.ndarray, mask: np.ndarray, clip: float = 3.0) -> np.ndarray:
    """Standardise over the finite values of ``x`` in ``mask`` (equal weights) and clip the tails.

    NaN stays NaN; with fewer than two values the scale is left at 1.
    """
    sel = mask & np.isfinite(x)
    if not sel.any():
        return np.full_like(x, np.nan, dtype=float)
    m = x[sel].mean()
    s = x[sel].std()
    if not np.isfinite(s) or s < 1e-12:
        s = 1.0
    return np.clip((x - m) / s, -clip, clip)


def non_linear_size(size: np.ndarray, mask: np.ndarray) -> np.ndarray:
    """Cube of size, made orthogonal to size over ``mask`` and standardised."""
    sel = mask & np.isfinite(size)
    c = size**3
    if sel.sum() < 3:
        return np.full_like(size, np.nan)
    b = np.polyfit(size[sel], c[sel], 1)
    return zscore(c - np.polyval(b, size), mask)


def half_life_decay(half_lives) -> np.ndarray:
    return np.array([0.5 ** (1.0 / hl) for hl in half_lives])


def version_decays(versions=VERSIONS) -> np.ndarray:
    """One decay per (version, horizon) state, version-major."""
    return half_life_decay([hl for v in versions.values() for hl in v["half_lives"]])


class EwmaRisk:
    """Exponentially weighted factor covariance and specific variances, one state per decay.

    ``update(f, e, ok)`` adds one day: factor returns ``f`` (K) and specific
    returns ``e`` (N), of which only the stocks in ``ok`` count.  Started from
    a prior (``cov0``, ``spec0``) the states are the plain recursions
    ``s = λ s + (1 - λ) x``; started from nothing they are divided by the
    weight seen so far (``1 - λⁿ``), i.e. the weighted mean of the data alone.
    """

    def __init__(self, lam: np.ndarray, n_factors: int, n_stocks: int, cov0=None, spec0=None):
        self.lam = np.asarray(lam, dtype=float)
        S = len(self.lam)
        self.prior = cov0 is not None
        self.cov = np.tile(cov0, (S, 1, 1)) if cov0 is not None else np.zeros((S, n_factors, n_factors))
        self.spec = np.tile(spec0, (S, 1)) if spec0 is not None else np.zeros((S, n_stocks))
        self.n_days = 0
        self.n_obs = np.zeros(n_stocks, dtype=np.int64)

    def update(self, f: np.ndarray, e: np.ndarray, ok: np.ndarray) -> None:
        lam = self.lam
        e2 = np.where(ok, e * e, 0.0)
        self.spec[:, ok] = lam[:, None] * self.spec[:, ok] + (1 - lam)[:, None] * e2[None, ok]
        self.cov = lam[:, None, None] * self.cov + (1 - lam)[:, None, None] * np.outer(f, f)[None]
        self.n_days += 1
        self.n_obs[ok] += 1

    def covariance(self, state: int) -> np.ndarray:
        c = self.cov[state]
        if not self.prior and self.n_days:
            c = c / (1.0 - self.lam[state] ** self.n_days)
        return c

    def specific(self, state: int) -> np.ndarray:
        """Specific variances (NaN for stocks never observed without a prior)."""
        s = self.spec[state]
        if not self.prior:
            w = 1.0 - self.lam[state] ** self.n_obs
            s = np.divide(s, w, out=np.full_like(s, np.nan), where=self.n_obs > 0)
        return s


def shrink_cov(c: np.ndarray, a: float) -> np.ndarray:
    """Shrink towards the diagonal by ``a``; exactly symmetric."""
    c = (1 - a) * c + a * np.diag(np.diag(c))
    return 0.5 * (c + c.T)


def shrink_spec(s: np.ndarray, target, a: float) -> np.ndarray:
    return (1 - a) * s + a * target


# ------------------------------------------------------------ panels
class _Panel:
    """Bars of the stocks as [T, N] arrays over the trading calendar."""

    def __init__(self, tables, market=None, standard=None, start=None):
        inst = tables["instruments"]
        stocks = inst.loc[inst["type"] == "CS", "order_book_id"].astype(str).to_numpy(dtype=object)
        stocks = np.sort(stocks)
        dates = pd.DatetimeIndex(pd.to_datetime(tables["trading_dates"]["date"])).sort_values().unique()
        bars = tables["bars"]
        bar_dates = pd.DatetimeIndex(pd.to_datetime(bars["date"]))
        di = dates.get_indexer(bar_dates)
        si = pd.Index(stocks).get_indexer(bars["order_book_id"].astype(str))
        T, N = len(dates), len(stocks)
        if N == 0:
            raise ValueError("the store holds no stocks (instruments of type 'CS')")
        ok = (di >= 0) & (si >= 0)
        di_s, si_s = di[ok], si[ok]

        def panel(col):
            a = np.full((T, N), np.nan)
            if col in bars.columns:
                a[di_s, si_s] = pd.to_numeric(bars[col], errors="coerce").to_numpy(dtype=float)[ok]
            return a

        self.dates, self.ids, self.T, self.N = dates, stocks, T, N
        close = panel("close")
        self.tr = close * panel("adj_factor")
        self.has = np.isfinite(self.tr)
        volume = panel("volume")
        self.has_volume = bool(np.nanmax(np.where(self.has, volume, 0.0), initial=0.0) > 0)
        self.value = volume * close if self.has_volume else None  # traded value
        cap = panel("market_cap_3")
        self.has_cap = bool(np.isfinite(cap[self.has]).any() and (cap[self.has] > 0).any())
        self.cap = np.where(cap > 0, cap, np.nan) if self.has_cap else None
        self.extra = {s: panel(s) for s in FUNDAMENTAL_STYLES if s in bars.columns}
        self.extra = {s: a for s, a in self.extra.items() if np.isfinite(a[self.has]).any()}

        # volume 0 is a suspension; an empty volume is no data, never a suspension
        traded = (volume != 0) if self.has_volume else np.ones((T, N), dtype=bool)
        ret = np.full((T, N), np.nan)
        ret[1:] = self.tr[1:] / self.tr[:-1] - 1.0
        ret[~(self.has & traded)] = np.nan
        ret[~np.isfinite(ret)] = np.nan
        self.ret = ret

        # market: an index's bars, or the cap-weighted (else equal-weighted) stock average
        self.market_id = market
        if market is not None:
            rows = bars["order_book_id"].astype(str).to_numpy() == market
            if not rows.any():
                raise ValueError(f"market index {market!r} has no bars")
            m = np.full(T, np.nan)
            idx = dates.get_indexer(bar_dates[rows])
            keep = idx >= 0
            m[idx[keep]] = (pd.to_numeric(bars.loc[rows, "close"]).to_numpy(float)
                            * pd.to_numeric(bars.loc[rows, "adj_factor"]).to_numpy(float))[keep]
            mret = np.full(T, np.nan)
            mret[1:] = m[1:] / m[:-1] - 1.0
        else:
            w = np.ones((T, N))
            if self.cap is not None:
                w[1:] = self.cap[:-1]
                w[0] = np.nan
            w = np.where(np.isfinite(self.ret) & np.isfinite(w), w, 0.0)
            tot = w.sum(axis=1)
            mret = np.divide((w * np.nan_to_num(self.ret)).sum(axis=1), tot,
                             out=np.full(T, np.nan), where=tot > 0)
        self.mret = mret

        # industry classification
        ind = tables.get("industries")
        self.standard = None
        labels = np.full(N, None, dtype=object)
        if ind is not None and len(ind):
            standards = sorted(set(ind["standard"].astype(str)))
            std = standard if standard is not None else ("sws" if "sws" in standards else standards[0])
            if std not in standards:
                raise ValueError(f"no industry classification {std!r} in the store "
                                 f"(it has {', '.join(standards)})")
            self.standard = std
            sub = ind[ind["standard"].astype(str) == std]
            pos = pd.Index(stocks).get_indexer(sub["order_book_id"].astype(str))
            lab = sub["industry"].astype(str).to_numpy(dtype=object)
            good = (pos >= 0) & ~np.isin(lab, ["", "UNKNOWN", "nan", "None"])
            labels[pos[good]] = lab[good]
        elif standard is not None:
            raise ValueError(f"no industry classification {standard!r} in the store")
        self.industries = sorted({x for x in labels if x is not None})
        self.ind_of = pd.Index(self.industries).get_indexer(pd.Index(labels, dtype=object))  # -1: none
        self.labels = np.where(self.ind_of >= 0, labels, "UNKNOWN")

        month = dates.year * 12 + dates.month
        last = np.r_[month[1:] != month[:-1], True]
        self.month_ends = np.flatnonzero(last)
        if start is not None:
            self.first_snapshot = pd.Timestamp(start)
        else:
            self.first_snapshot = None

    def styles(self) -> list:
        """The styles the data support, in model order."""
        have = {"beta", "residual_volatility", "momentum"}
        if self.has_cap:
            have |= {"size", "non_linear_size"}
        if self.has_volume:
            have.add("liquidity")
        have |= set(self.extra)
        return [s for s in STYLE_NAMES if s in have]


def _ew_weights(n: int, half_life: float) -> np.ndarray:
    return 0.5 ** (np.arange(n)[::-1] / half_life)


def _orthogonal(y: np.ndarray, x: np.ndarray, mask: np.ndarray) -> np.ndarray:
    sel = mask & np.isfinite(y) & np.isfinite(x)
    if sel.sum() < 3:
        return y
    b = np.polyfit(x[sel], y[sel], 1)
    return y - np.polyval(b, x)


def _exposures(p: _Panel, t: int, styles: list) -> np.ndarray:
    """Standardised style exposures known at the close of day t (NaN: data too short)."""
    N = p.N
    mask = p.has[t]
    raw = {}
    lo = max(0, t - _BETA_WINDOW + 1)
    R = p.ret[lo:t + 1]
    M = p.mret[lo:t + 1]
    ok = np.isfinite(R) & np.isfinite(M)[:, None]
    n_ok = ok.sum(axis=0)
    if "beta" in styles or "residual_volatility" in styles:
        w = _ew_weights(len(M), _BETA_HL)[:, None] * ok
        sw = w.sum(axis=0)
        Rz, Mz = np.where(ok, R, 0.0), np.where(ok, M[:, None], 0.0)
        with np.errstate(invalid="ignore", divide="ignore"):
            mr = (w * Rz).sum(axis=0) / sw
            mm = (w * Mz).sum(axis=0) / sw
            cov = (w * (Rz - mr) * (Mz - mm)).sum(axis=0) / sw
            var = (w * (Mz - mm) ** 2).sum(axis=0) / sw
            beta = np.where((n_ok >= _MIN_OBS) & (var > 0), cov / var, np.nan)
            res = np.where(ok, Rz - mr - beta * (Mz - mm), 0.0)
            w2 = _ew_weights(len(M), _RESVOL_HL)[:, None] * ok
            rv = np.sqrt((w2 * res**2).sum(axis=0) / w2.sum(axis=0))
        raw["beta"] = beta
        raw["residual_volatility"] = np.where(np.isfinite(beta) & (rv > 0), np.log(np.maximum(rv, 1e-12)), np.nan)
    if "momentum" in styles:
        a, b = t - _MOM_LONG + 1, t - _MOM_SHORT
        if b > 0:
            win = p.ret[max(a, 0):b + 1]
            n = np.isfinite(win).sum(axis=0)
            mom = np.log1p(np.nan_to_num(win)).sum(axis=0)
            raw["momentum"] = np.where(n >= _MIN_OBS, mom, np.nan)
        else:
            raw["momentum"] = np.full(N, np.nan)
    size = None
    if p.cap is not None:
        with np.errstate(invalid="ignore", divide="ignore"):
            size = zscore(np.log(p.cap[t]), mask)
    if "liquidity" in styles:
        parts = []
        for days, wt in ((21, 0.35), (63, 0.35), (252, 0.3)):
            v = p.value[max(0, t - days + 1):t + 1]
            if p.cap is not None:
                v = v / p.cap[max(0, t - days + 1):t + 1]
            fin = np.isfinite(v)
            cnt = fin.sum(axis=0)
            m = np.divide(np.where(fin, v, 0.0).sum(axis=0), cnt, out=np.full(N, np.nan), where=cnt > 0)
            with np.errstate(invalid="ignore", divide="ignore"):
                parts.append(wt * np.log(np.where(m > 0, m, np.nan)))
        liq = np.sum(parts, axis=0)
        if size is not None:
            liq = _orthogonal(liq, size, mask)
        raw["liquidity"] = liq
    for s, a in p.extra.items():
        raw[s] = a[t]
    out = np.full((N, len(styles)), np.nan)
    for j, s in enumerate(styles):
        if s == "size":
            out[:, j] = size
        elif s == "non_linear_size":
            out[:, j] = non_linear_size(size, mask)
        else:
            out[:, j] = zscore(raw[s], mask)
    out[~mask] = np.nan
    return out


def _regress(X: np.ndarray, r: np.ndarray, w: np.ndarray, ind_cols: np.ndarray, ind_w: np.ndarray):
    """Weighted least squares with sum_k ind_w[k] f[ind_cols[k]] = 0; None when underdetermined."""
    K = X.shape[1]
    if len(ind_cols) > 1:
        ref = int(np.argmax(ind_w))
        free = [k for k in range(K) if k != ind_cols[ref]]
        T = np.zeros((K, K - 1))
        T[free, np.arange(K - 1)] = 1.0
        for k, c in enumerate(ind_cols):
            if k != ref:
                T[ind_cols[ref], free.index(c)] = -ind_w[k] / ind_w[ref]
    else:
        T = np.eye(K)
    if len(r) <= T.shape[1]:
        return None
    sw = np.sqrt(w)
    A = (X @ T) * sw[:, None]
    g, *_ = np.linalg.lstsq(A, r * sw, rcond=None)
    return T @ g


def estimate(tables, *, market: str | None = None, standard: str | None = None,
             min_history: int = 63, start=None, progress: bool = True,
             return_factor_returns: bool = False):
    """Estimate the risk model from ``tables`` (a dict of DataFrames as a store holds them).

    ``market``: an index id whose bars give the market return for beta (default:
    the cap-weighted average of the stocks, equal-weighted without market
    values).  ``standard``: the industry classification whose industries are
    the industry factors (default "sws" when present, else the first one).
    Snapshots are written on the month ends after ``min_history`` days of
    factor returns (and on or after ``start`` when given).  Returns a dict with
    ``style_exposure``, ``factor_covariance`` and ``specific_risk``; with
    ``return_factor_returns`` also ``factor_returns`` (a DataFrame by date).
    """
    p = _Panel(tables, market=market, standard=standard)
    styles = p.styles()
    n_ind = len(p.industries)
    factors = ["country"] + p.industries + styles
    K = len(factors)
    s0 = 1 + n_ind
    lam = version_decays()
    n_h = len(HORIZONS)
    ewma = EwmaRisk(lam, K, p.N)
    start = pd.Timestamp(start) if start is not None else None

    base = np.zeros((p.N, K))
    base[:, 0] = 1.0
    known = p.ind_of >= 0
    base[np.flatnonzero(known), 1 + p.ind_of[known]] = 1.0

    bar = None
    if progress:
        from tqdm import tqdm

        bar = tqdm(total=p.T, desc="risk model", unit="day", leave=False)
    f_rows, f_dates = [], []
    snaps = []
    X = None
    ends = set(p.month_ends.tolist())
    try:
        for t in range(p.T):
            if X is not None:
                r = p.ret[t]
                live = np.isfinite(r)
                reg = live & known if n_ind else live
                if p.cap is not None and t > 0:
                    w = p.cap[t - 1]
                    reg &= np.isfinite(w)
                    w = np.sqrt(np.where(reg, w, 0.0))
                else:
                    w = np.ones(p.N)
                idx = np.flatnonzero(reg)
                f = None
                if len(idx):
                    present = np.zeros(K, dtype=bool)
                    present[0] = True
                    present[s0:] = True
                    members = np.bincount(p.ind_of[idx], minlength=n_ind) if n_ind else np.zeros(0)
                    present[1:s0] = members > 0
                    cols = np.flatnonzero(present)
                    icol = np.flatnonzero(present[1:s0])
                    iw = (np.bincount(p.ind_of[idx], weights=w[idx] ** 2, minlength=n_ind)[icol]
                          if n_ind else np.zeros(0))
                    pos = {c: j for j, c in enumerate(cols)}
                    g = _regress(X[np.ix_(idx, cols)], r[idx], w[idx],
                                 np.array([pos[1 + k] for k in icol], dtype=int), iw)
                    if g is not None:
                        f = np.zeros(K)
                        f[cols] = g
                if f is not None:
                    e = np.where(live, r - X @ f, 0.0)
                    ewma.update(f, e, live)
                    f_rows.append(f)
                    f_dates.append(p.dates[t])
            if t in ends:
                E = _exposures(p, t, styles)
                X = base.copy()
                X[:, s0:] = np.nan_to_num(E, nan=0.0)  # too short a history: the mean, 0
                if ewma.n_days >= min_history and (start is None or p.dates[t] >= start):
                    snaps.append(_snapshot(p, t, E, ewma, n_h))
            if bar is not None:
                bar.update(1)
    finally:
        if bar is not None:
            bar.close()
    if not snaps:
        raise ValueError(
            f"not enough history to estimate a risk model: {ewma.n_days} days of factor returns, "
            f"{min_history} needed before the first snapshot"
            + ("" if f_rows or len(p.ids) > K else f" ({len(p.ids)} stocks for {K} factors)"))
    out = _risk_tables(snaps, factors, styles)
    if return_factor_returns:
        out["factor_returns"] = pd.DataFrame(np.array(f_rows).reshape(-1, K), columns=factors,
                                             index=pd.DatetimeIndex(f_dates, name="date"))
    return out


def _snapshot(p: _Panel, t: int, E: np.ndarray, ewma: EwmaRisk, n_h: int) -> dict:
    stocks = np.flatnonzero(p.has[t])
    ind = p.ind_of[stocks]
    snap = {"date": p.dates[t], "stocks": stocks, "order_book_id": p.ids[stocks],
            "industry": p.labels[stocks], "styles": E[stocks], "versions": {}}
    n_obs = ewma.n_obs[stocks].astype(float)
    for v_i, (name, v) in enumerate(VERSIONS.items()):
        covs, specs = [], []
        for h in range(n_h):
            k = v_i * n_h + h
            covs.append(shrink_cov(ewma.covariance(k), v["cov_shrink"]))
            s = ewma.specific(k)[stocks]
            target = _industry_mean(s, ind, n_obs >= _SPEC_PRIOR_DAYS)
            seen = np.isfinite(s)
            s = np.where(seen, (n_obs * np.nan_to_num(s) + _SPEC_PRIOR_DAYS * target)
                         / (n_obs + _SPEC_PRIOR_DAYS), target)
            specs.append(shrink_spec(s, target, v["spec_shrink"]))
        snap["versions"][name] = {"cov": covs, "spec": specs}
    return snap


def _industry_mean(s: np.ndarray, ind: np.ndarray, reliable: np.ndarray) -> np.ndarray:
    """Each stock's industry mean of the reliable variances (the overall mean where there is none)."""
    good = reliable & np.isfinite(s)
    if not good.any():
        good = np.isfinite(s)
    overall = s[good].mean() if good.any() else 0.0
    target = np.full(len(s), overall)
    has_ind = ind >= 0
    if has_ind.any():
        n = int(ind.max()) + 1
        gi = good & has_ind
        tot = np.bincount(ind[gi], weights=s[gi], minlength=n)
        cnt = np.bincount(ind[gi], minlength=n)
        mean = np.divide(tot, cnt, out=np.full(n, overall), where=cnt > 0)
        target[has_ind] = mean[ind[has_ind]]
    return target


def _risk_tables(snaps: list, factors: list, styles: list) -> dict:
    """The three risk-model tables (version, then snapshot date) from the snapshots."""
    K = len(factors)
    fnames = np.array(factors, dtype=object)
    hz = np.array(HORIZONS, dtype=object)
    n_h = len(HORIZONS)
    e_parts, c_parts, s_parts = [], [], []
    for ver in VERSIONS:
        for snap in snaps:
            day = np.datetime64(snap["date"], "ns")
            n = len(snap["stocks"])
            frame = pd.DataFrame({"version": ver, "date": np.full(n, day),
                                  "order_book_id": snap["order_book_id"], "industry": snap["industry"]})
            sty = np.full((n, len(STYLE_NAMES)), np.nan)
            for j, s in enumerate(styles):
                col = np.nan_to_num(snap["styles"][:, j], nan=0.0)
                sty[:, STYLE_NAMES.index(s)] = col
            e_parts.append(pd.concat([frame, pd.DataFrame(sty, columns=STYLE_NAMES)], axis=1))
            v = snap["versions"][ver]
            c_parts.append(pd.DataFrame({
                "version": ver, "date": np.full(n_h * K * K, day),
                "horizon": np.repeat(hz, K * K),
                "factor_i": np.tile(np.repeat(fnames, K), n_h),
                "factor_j": np.tile(fnames, K * n_h),
                "cov": np.concatenate([c.ravel() for c in v["cov"]]),
            }))
            s_parts.append(pd.DataFrame({
                "version": ver, "date": np.full(n_h * n, day), "horizon": np.repeat(hz, n),
                "order_book_id": np.tile(snap["order_book_id"], n_h),
                "specific_variance": np.concatenate(v["spec"]),
            }))
    return {
        "style_exposure": pd.concat(e_parts, ignore_index=True),
        "factor_covariance": pd.concat(c_parts, ignore_index=True),
        "specific_risk": pd.concat(s_parts, ignore_index=True),
    }


# ------------------------------------------------------------ store
def read_tables(path) -> tuple[dict, dict]:
    """Every table of the store at ``path`` as DataFrames, and its manifest."""
    from .store import Store, pinned

    st = Store(path)
    try:
        with pinned(st):  # every table of one version, even if the store is rewritten meanwhile
            manifest = st.manifest
            tables = {name: st.read_table(name).to_pandas() for name in manifest.get("tables", {})}
    finally:
        st.close()
    return tables, manifest


def estimate_store(path=None, *, market=None, standard=None, min_history=63, start=None,
                   progress=True):
    """Estimate the risk model of the store at ``path`` and write it there, atomically.

    The store keeps its other tables; any risk-model tables it had are
    replaced.  Returns the store's path.
    """
    from pathlib import Path

    from .store import default_path
    from .writer import write_store

    target = Path(path).expanduser().absolute() if path is not None else default_path().absolute()
    tables, manifest = read_tables(target)
    tables.update(estimate(tables, market=market, standard=standard, min_history=min_history,
                           start=start, progress=progress))
    source = manifest.get("source", "?")
    if "; risk model estimated" not in source:
        source += "; risk model estimated by corvana.riskmodel"
    return write_store(target, tables, source=source, synthetic=bool(manifest.get("synthetic")))


# ------------------------------------------------------------ checking a model
def bias_statistics(tables, model: dict, *, version="v1", horizon="daily", n_portfolios=200,
                    seed=0, sizes=(5, 50)) -> dict:
    """Predicted against realised risk of random long-only portfolios.

    For each snapshot of ``model`` (risk-model tables) and each of
    ``n_portfolios`` random portfolios (between ``sizes`` stocks, random
    weights), the portfolio's predicted daily volatility from the snapshot is
    compared with its returns over the trading days until the next snapshot.
    Returns ``bias`` (the mean over portfolios of the standard deviation of the
    standardised returns r/σ: 1 for a model that is right on average),
    ``bias_quantiles`` (its 5 % and 95 % quantiles), ``corr`` (correlation
    across portfolios of the mean predicted volatility and the realised
    volatility) and ``n_days``.
    """
    p = _Panel(tables)
    rng = np.random.default_rng(seed)
    se = model["style_exposure"]
    se = se[se["version"] == version]
    fc = model["factor_covariance"]
    fc = fc[(fc["version"] == version) & (fc["horizon"] == horizon)]
    sr = model["specific_risk"]
    sr = sr[(sr["version"] == version) & (sr["horizon"] == horizon)]
    snap_dates = pd.DatetimeIndex(sorted(pd.to_datetime(se["date"]).unique()))
    if len(snap_dates) < 2:
        raise ValueError("need at least two snapshots to compare predicted and realised risk")
    # portfolios over the stocks covered by every snapshot but the last
    common = None
    for day in snap_dates[:-1]:
        ids_day = pd.Index(se.loc[pd.to_datetime(se["date"]) == day, "order_book_id"])
        common = ids_day if common is None else common.intersection(ids_day)
    common = common.sort_values()
    portfolios = []
    for _ in range(n_portfolios):
        m = int(rng.integers(sizes[0], min(sizes[1], len(common)) + 1))
        pick = np.sort(rng.choice(len(common), size=m, replace=False))
        w = rng.exponential(size=m)
        portfolios.append((common[pick], w / w.sum()))
    id_pos = pd.Index(p.ids)
    z = [[] for _ in range(n_portfolios)]
    pred = [[] for _ in range(n_portfolios)]
    real = [[] for _ in range(n_portfolios)]
    for k, day in enumerate(snap_dates[:-1]):
        e = se[pd.to_datetime(se["date"]) == day].set_index("order_book_id")
        c = fc[pd.to_datetime(fc["date"]) == day].pivot(index="factor_i", columns="factor_j", values="cov")
        s = sr[pd.to_datetime(sr["date"]) == day].set_index("order_book_id")["specific_variance"]
        factors = list(c.index)
        F = c.loc[factors, factors].to_numpy(float)
        t0 = p.dates.get_loc(day) + 1
        t1 = p.dates.get_loc(snap_dates[k + 1]) + 1
        for j, (ids, w) in enumerate(portfolios):
            X = np.zeros((len(ids), len(factors)))
            if "country" in factors:
                X[:, factors.index("country")] = 1.0
            labels = e.loc[ids, "industry"].to_numpy(dtype=object)
            fpos = pd.Index(factors).get_indexer(pd.Index(labels, dtype=object))
            rows = np.flatnonzero(fpos >= 0)
            X[rows, fpos[rows]] = 1.0
            for st in STYLE_NAMES:
                if st in factors:
                    X[:, factors.index(st)] = e.loc[ids, st].to_numpy(float)
            b = w @ X
            sig = float(np.sqrt(b @ F @ b + (w**2) @ s.reindex(ids).fillna(s.median()).to_numpy(float)))
            rp = np.nansum(p.ret[t0:t1][:, id_pos.get_indexer(ids)] * w, axis=1)
            z[j].extend(rp / sig)
            pred[j].append(sig)
            real[j].extend(rp)
    bias = np.array([np.std(v) for v in z])
    pv = np.array([np.mean(v) for v in pred])
    rv = np.array([np.std(v) for v in real])
    return {"bias": float(bias.mean()), "bias_quantiles": tuple(np.quantile(bias, [0.05, 0.95])),
            "corr": float(np.corrcoef(pv, rv)[0, 1]), "n_days": len(z[0])}
