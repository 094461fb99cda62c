"""Deterministic demo market: an A-share-like market simulated from a factor model.

``generate(size, seed)`` returns every table of the store (see docs/data.md) as
pandas DataFrames.  The market is driven by a true factor model

    r[t, i] = f_country[t] + f_industry(i)[t] + sum_s X[i, s] f_s[t] + e[t, i]

with one country factor, about thirty one-hot industries, the ten standardised
style factors (slowly drifting month by month) and fat-tailed idiosyncratic
noise of stock-specific volatility.  The simulation runs a burn-in period before
the stored window so that the first risk-model snapshots already have a return
history; burn-in days are never written.

On top of the returns the generator lays out what a real market has: listings
and delistings inside the window, suspensions (volume 0, close unchanged),
dividends and bonus-share splits that move the raw close while the adjustment
factor keeps ``close * adj_factor`` on the simulated total-return path, funds,
and three cap-weighted indices rebalanced twice a year.  The risk model (two
versions) stores, on each month end, the exposures in force for the next month
and EWMA estimates of the factor covariance and specific variance.

Everything is drawn from one ``numpy.random.default_rng(seed)`` in a fixed
order, so the same size and seed always give identical tables.
"""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from .exchange import price_limit
from .riskmodel import VERSIONS, EwmaRisk, non_linear_size, shrink_cov, shrink_spec, version_decays, zscore
from .schema import HORIZONS, STYLE_NAMES

__all__ = ["generate", "SIZES", "STYLE_NAMES", "INDUSTRIES_SWS", "INDUSTRIES_CITICS"]


INDEX_IDS = ["000300.XSHG", "000905.XSHG", "000852.XSHG"]

#: Appended to every instrument name of the demo market ("沪深300(demo)").
DEMO_SUFFIX = "(demo)"

#: Size presets.  Both sizes go through the same code; only these numbers differ.
SIZES: dict[str, dict] = {
    "full": {
        "n_stocks": 5400,  # over 5,000 listed on the last day, a whole-market size
        "start": "2020-01-02",
        "end": "2024-12-31",
        "index_sizes": {"000300.XSHG": 300, "000905.XSHG": 500, "000852.XSHG": 1000},
        "n_funds": 10,
        "burn_in": 250,
    },
    "small": {
        "n_stocks": 80,
        "start": "2020-01-02",
        "end": "2021-12-31",
        "index_sizes": {"000300.XSHG": 10, "000905.XSHG": 20, "000852.XSHG": 30},
        "n_funds": 4,
        "burn_in": 250,
    },
}

# Share of stocks listed inside the window (before its last month), listed in
# its last days, and delisted inside it.
_FRAC_NEW_LISTINGS = 0.17
_FRAC_RECENT_LISTINGS = 0.006
_RECENT_WINDOW = 30  # trading days at the end of the window for "recent" listings
_FRAC_DELISTED = 0.02
_FRAC_SUSPENDED = 0.05
_SEASONING_DAYS = 60  # trading days a new listing waits before entering an index
_TURNOVER = 0.01  # average daily traded value / market value
_BLOCK = 21  # length of a burn-in "month"
_DELIST_PRICE = 1.0  # raw close below which a stock is delisted about a month later

# Risk-model versions: the estimator's half-lives and shrinkage (corvana.riskmodel),
# plus the noise added to the style exposures of the demo's second version.  The
# demo's specific variances are shrunk towards the cross-sectional median (its
# simulated specific risk has no industry structure).
_RISK_VERSIONS = {name: dict(v, expo_noise=n) for (name, v), n in zip(VERSIONS.items(), (0.0, 0.2))}

#: Level-1 industries of the "sws" standard; also the risk model's industry factors.
INDUSTRIES_SWS = [
    "农林牧渔", "基础化工", "钢铁", "有色金属", "电子", "家用电器", "食品饮料", "纺织服饰",
    "轻工制造", "医药生物", "公用事业", "交通运输", "房地产", "商贸零售", "社会服务", "综合",
    "建筑材料", "建筑装饰", "电力设备", "国防军工", "计算机", "传媒", "通信", "银行",
    "非银金融", "汽车", "机械设备", "煤炭", "石油石化", "环保", "美容护理",
]
# Relative number of stocks per sws industry (same order).
_SWS_WEIGHTS = [
    3, 13, 1.5, 4.5, 9, 2, 4, 2.5,
    3.5, 10, 3, 3.5, 2.5, 2.5, 2, 0.5,
    2, 3, 7, 3, 7, 3.5, 3, 1.2,
    2, 5, 10, 1, 1.2, 2.5, 0.8,
]

#: Level-1 industries of the "citics" standard: a different grouping of the same stocks.
INDUSTRIES_CITICS = [
    "石油石化", "煤炭", "有色金属", "电力及公用事业", "钢铁", "基础化工", "建筑", "建材",
    "轻工制造", "机械", "电力设备及新能源", "国防军工", "汽车", "商贸零售", "消费者服务",
    "家电", "纺织服装", "医药", "食品饮料", "农林牧渔", "银行", "非银行金融", "房地产",
    "交通运输", "电子", "通信", "计算机", "传媒", "综合", "综合金融",
]
_SWS_TO_CITICS = {
    "农林牧渔": "农林牧渔", "基础化工": "基础化工", "钢铁": "钢铁", "有色金属": "有色金属",
    "电子": "电子", "家用电器": "家电", "食品饮料": "食品饮料", "纺织服饰": "纺织服装",
    "轻工制造": "轻工制造", "医药生物": "医药", "公用事业": "电力及公用事业",
    "交通运输": "交通运输", "房地产": "房地产", "商贸零售": "商贸零售", "社会服务": "消费者服务",
    "综合": "综合", "建筑材料": "建材", "建筑装饰": "建筑", "电力设备": "电力设备及新能源",
    "国防军工": "国防军工", "计算机": "计算机", "传媒": "传媒", "通信": "通信", "银行": "银行",
    "非银金融": "非银行金融", "汽车": "汽车", "机械设备": "机械", "煤炭": "煤炭",
    "石油石化": "石油石化", "环保": "电力及公用事业", "美容护理": "轻工制造",
}

# Exchange holidays (approximate, weekends inside the ranges are ignored):
# New Year, Spring Festival week, Qingming, Labour Day, Dragon Boat,
# Mid-Autumn, National Day week.
_HOLIDAYS = {
    2019: ["01-01", "02-04:02-08", "04-05", "05-01:05-03", "06-07", "09-13", "10-01:10-07"],
    2020: ["01-01", "01-24:01-31", "04-06", "05-01:05-05", "06-25:06-26", "10-01:10-08"],
    2021: ["01-01", "02-11:02-17", "04-05", "05-03:05-05", "06-14", "09-20:09-21", "10-01:10-07"],
    2022: ["01-03", "01-31:02-04", "04-04:04-05", "05-02:05-04", "06-03", "09-12", "10-03:10-07"],
    2023: ["01-02", "01-23:01-27", "04-05", "05-01:05-03", "06-22:06-23", "09-29", "10-02:10-06"],
    2024: ["01-01", "02-09:02-16", "04-04:04-05", "05-01:05-03", "06-10", "09-16:09-17", "10-01:10-07"],
    2025: ["01-01", "01-28:02-04", "04-04", "05-01:05-05", "06-02", "10-01:10-08"],
}

# Funds: id, symbol, type, what the fund tracks.
_FUNDS = [
    ("510300.XSHG", "沪深300ETF", "ETF", ("index", "000300.XSHG")),
    ("510500.XSHG", "中证500ETF", "ETF", ("index", "000905.XSHG")),
    ("159915.XSHE", "创业板ETF", "ETF", ("growth", None)),
    ("161005.XSHE", "价值精选LOF", "LOF", ("market", None)),
    ("512100.XSHG", "中证1000ETF", "ETF", ("index", "000852.XSHG")),
    ("512880.XSHG", "证券ETF", "ETF", ("industry", "非银金融")),
    ("512170.XSHG", "医疗ETF", "ETF", ("industry", "医药生物")),
    ("512480.XSHG", "半导体ETF", "ETF", ("industry", "电子")),
    ("518880.XSHG", "黄金ETF", "ETF", ("gold", None)),
    ("163406.XSHE", "稳健成长LOF", "LOF", ("market", None)),
]

_INDICES = [
    ("000300.XSHG", "沪深300", "2005-04-08", 4096.58),
    ("000905.XSHG", "中证500", "2007-01-15", 5380.37),
    ("000852.XSHG", "中证1000", "2014-10-17", 5892.11),
]

_NAME_HEAD = list("华中东金海天新国长宏恒达瑞鑫安信盛通远光明大德嘉永泰康汇隆兴荣昌福顺益丰正鼎")
_NAME_TAIL = list("科创航力达宇源能威峰晨航联合星智泰润祥宁阳辉通盈")
_NAME_SUFFIX = ["股份", "科技", "集团", "控股", "实业", "发展", "电子", "药业", "智能", "新材"]


# --------------------------------------------------------------------- calendar
def _holidays() -> set[_dt.date]:
    out: set[_dt.date] = set()
    for year, items in _HOLIDAYS.items():
        for item in items:
            a, _, b = item.partition(":")
            d0 = _dt.date.fromisoformat(f"{year}-{a}")
            d1 = _dt.date.fromisoformat(f"{year}-{b}") if b else d0
            while d0 <= d1:
                out.add(d0)
                d0 += _dt.timedelta(days=1)
    return out


def trading_calendar(start, end) -> list[_dt.date]:
    """Trading days from ``start`` to ``end`` inclusive: weekdays minus exchange holidays."""
    start = pd.Timestamp(start).date()
    end = pd.Timestamp(end).date()
    hol = _holidays()
    days = []
    d = start
    one = _dt.timedelta(days=1)
    while d <= end:
        if d.weekday() < 5 and d not in hol:
            days.append(d)
        d += one
    return days


# ------------------------------------------------------------------- universe
def _stock_codes(rng: np.random.Generator, n: int) -> list[str]:
    """n unique stock ids: Shanghai 60xxxx/688xxx, Shenzhen 000xxx/002xxx/300xxx."""
    pools = [
        (np.arange(600000, 606000), ".XSHG", 0.36),
        (np.arange(688000, 689000), ".XSHG", 0.09),
        (np.arange(1, 1000), ".XSHE", 0.14),
        (np.arange(2001, 3000), ".XSHE", 0.22),
        (np.arange(300001, 301300), ".XSHE", 0.19),
    ]
    counts = rng.multinomial(n, [p[2] for p in pools])
    codes = []
    for (numbers, suffix, _), k in zip(pools, counts):
        k = min(int(k), len(numbers))
        picked = rng.choice(numbers, size=k, replace=False)
        codes += [f"{c:06d}{suffix}" for c in picked]
    while len(codes) < n:  # only reached if a pool ran short
        c = int(rng.integers(600000, 606000))
        s = f"{c:06d}.XSHG"
        if s not in codes:
            codes.append(s)
    return sorted(codes)


def _stock_names(rng: np.random.Generator, n: int) -> list[str]:
    names: list[str] = []
    seen: set[str] = set()
    while len(names) < n:
        name = (
            _NAME_HEAD[rng.integers(len(_NAME_HEAD))]
            + _NAME_TAIL[rng.integers(len(_NAME_TAIL))]
            + _NAME_SUFFIX[rng.integers(len(_NAME_SUFFIX))]
        )
        if name not in seen:
            seen.add(name)
            names.append(name)
    return names


_zscore = zscore


def _true_factor_cov(rng: np.random.Generator, n_ind: int) -> np.ndarray:
    """Daily covariance of the true factor returns (country, industries, styles)."""
    style_vol = {
        "beta": 0.0040, "book_to_price": 0.0020, "earnings_yield": 0.0015, "growth": 0.0015,
        "leverage": 0.0012, "liquidity": 0.0025, "momentum": 0.0030, "non_linear_size": 0.0020,
        "residual_volatility": 0.0030, "size": 0.0040,
    }
    vols = np.concatenate([[0.0135], rng.uniform(0.005, 0.009, n_ind), [style_vol[s] for s in STYLE_NAMES]])
    k = len(vols)
    corr = np.eye(k)
    # industries share a weak common component beyond the country factor
    load = rng.normal(0.0, 0.3, n_ind)
    ind = slice(1, 1 + n_ind)
    corr[ind, ind] += np.outer(load, load) * (1 - np.eye(n_ind))
    pos = {s: 1 + n_ind + j for j, s in enumerate(STYLE_NAMES)}
    pairs = [
        ("beta", "residual_volatility", 0.5), ("size", "non_linear_size", -0.3),
        ("size", "liquidity", -0.3), ("beta", "liquidity", 0.4),
        ("momentum", "residual_volatility", -0.2), ("book_to_price", "earnings_yield", 0.4),
        ("growth", "momentum", 0.3),
    ]
    for a, b, c in pairs:
        corr[pos[a], pos[b]] = corr[pos[b], pos[a]] = c
    corr[0, pos["beta"]] = corr[pos["beta"], 0] = 0.3
    corr[0, pos["size"]] = corr[pos["size"], 0] = -0.2
    w, v = np.linalg.eigh(corr)
    corr = (v * np.maximum(w, 0.05)) @ v.T
    d = np.sqrt(np.diag(corr))
    corr = corr / np.outer(d, d)
    return corr * np.outer(vols, vols)


@dataclass
class _Sim:
    """Everything the table builders need from the simulation."""

    dates: list  # window trading days
    burn: int
    ids: list
    names: list
    list_day: np.ndarray  # first simulated day with a bar (sim-time index)
    del_day: np.ndarray  # first day without a bar (sim-time index; T_total if never)
    listed_date_str: list
    de_listed_date_str: list
    ind_sws: np.ndarray  # true industry index (sws)
    sws_label: list  # industries-table labels ("UNKNOWN" for a few)
    citics_label: list
    listed: np.ndarray  # [T_total, N] has a bar
    suspended: np.ndarray  # [T_total, N]
    ret: np.ndarray  # [T_total, N] simulated total return
    tr: np.ndarray  # [T_total, N] total-return price
    adj: np.ndarray  # [T_total, N]
    shares: np.ndarray  # [T_total, N]
    factor_ret: np.ndarray  # [T_total, K]
    factor_names: list
    liq_day: np.ndarray  # [T_total, N] liquidity latent in force each day
    snapshots: list = field(default_factory=list)
    events: list = field(default_factory=list)  # (sim day, stock, dividend yield, split ratio)


# ----------------------------------------------------------------- simulation
def _window_date(dates: list, B: int):
    def window_date(t):
        return dates[t - B].isoformat()

    return window_date


def _listings(rng, N: int, B: int, TT: int, dates: list):
    """Listing and delisting days (sim-time indices; window = [B, TT)) and listed-date strings."""
    n_recent = max(2, int(round(_FRAC_RECENT_LISTINGS * N)))
    n_new = int(round(_FRAC_NEW_LISTINGS * N))
    n_del = max(3, int(round(_FRAC_DELISTED * N)))
    perm = rng.permutation(N)
    new_idx = perm[:n_new]
    recent_idx = perm[n_new:n_new + n_recent]
    pre_idx = perm[n_new + n_recent:]
    list_day = np.zeros(N, dtype=np.int64)
    list_day[new_idx] = rng.integers(B + 1, TT - _RECENT_WINDOW - 1, size=n_new)
    list_day[recent_idx] = rng.integers(TT - _RECENT_WINDOW, TT, size=n_recent)
    del_day = np.full(N, TT, dtype=np.int64)
    # mostly old stocks are delisted, a couple of new listings too
    n_del_new = min(max(1, n_del // 10), n_new)
    early_new = new_idx[list_day[new_idx] < TT - 3 * _SEASONING_DAYS]
    n_del_new = min(n_del_new, len(early_new))
    del_idx = np.concatenate([
        rng.choice(pre_idx, size=n_del - n_del_new, replace=False),
        rng.choice(early_new, size=n_del_new, replace=False),
    ]).astype(np.int64)
    lo = np.maximum(list_day[del_idx] + _SEASONING_DAYS, B + 20)
    del_day[del_idx] = lo + (rng.random(len(del_idx)) * (TT - lo)).astype(np.int64)
    days = np.arange(TT)
    listed = (days[:, None] >= list_day[None, :]) & (days[:, None] < del_day[None, :])

    stable = np.setdiff1d(pre_idx, del_idx)  # listed the whole window

    window_date = _window_date(dates, B)
    listed_date_str = []
    old_lo = _dt.date(1991, 1, 1).toordinal()
    old_hi = _dt.date(2018, 12, 28).toordinal()
    old_draw = rng.integers(old_lo, old_hi, size=N)
    for i in range(N):
        if list_day[i] == 0:
            d = _dt.date.fromordinal(int(old_draw[i]))
            while d.weekday() >= 5:
                d -= _dt.timedelta(days=1)
            listed_date_str.append(d.isoformat())
        else:
            listed_date_str.append(window_date(list_day[i]))

    return list_day, del_day, listed, stable, new_idx, recent_idx, pre_idx, del_idx, listed_date_str


def _industries(rng, N: int, stable, recent_idx, pre_idx):
    """True (sws) industry per stock, the two standards' labels, and the stocks kept listed."""
    n_ind = len(INDUSTRIES_SWS)
    w = np.array(_SWS_WEIGHTS, dtype=float)
    ind_sws = rng.choice(n_ind, size=N, p=w / w.sum())
    # one stock per industry that trades through the whole window (exempt from the
    # low-price delisting below), so every industry factor always has members
    keep = np.zeros(N, dtype=bool)
    if len(stable) >= n_ind:
        cover = rng.choice(stable, size=n_ind, replace=False)
        ind_sws[cover] = np.arange(n_ind)
        keep[cover] = True
    citics_pos = {name: j for j, name in enumerate(INDUSTRIES_CITICS)}
    citics = np.array([citics_pos[_SWS_TO_CITICS[INDUSTRIES_SWS[j]]] for j in ind_sws])
    # the "综合金融" group is carved out of non-bank financials, and some stocks sit elsewhere
    nonbank = np.flatnonzero(ind_sws == INDUSTRIES_SWS.index("非银金融"))
    citics[nonbank[rng.random(len(nonbank)) < 0.3]] = citics_pos["综合金融"]
    moved = rng.random(N) < 0.06
    citics[moved] = rng.integers(0, len(INDUSTRIES_CITICS), size=int(moved.sum()))
    sws_label = [INDUSTRIES_SWS[j] for j in ind_sws]
    citics_label = [INDUSTRIES_CITICS[j] for j in citics]
    # newest listings are not classified yet; a few other stocks miss a classification
    for i in recent_idx:
        sws_label[i] = "UNKNOWN"
        citics_label[i] = "UNKNOWN"
    n_unknown = max(1, N // 400)
    for i in rng.choice(pre_idx, size=n_unknown, replace=False):
        sws_label[i] = "UNKNOWN"
    for i in rng.choice(pre_idx, size=n_unknown, replace=False):
        citics_label[i] = "UNKNOWN"

    return ind_sws, keep, sws_label, citics_label


def _corporate_actions(rng, N, B, TT, dates, listed, list_day, del_day, stable, ind_sws, p0, a0, cap0):
    """Suspensions, then dividends and splits: (suspended, adj, shares, events)."""
    # ---- suspensions (window days only)
    suspended = np.zeros((TT, N), dtype=bool)
    n_susp = max(2, int(round(_FRAC_SUSPENDED * N)))
    for i in rng.choice(stable, size=min(n_susp, len(stable)), replace=False):
        for _ in range(int(rng.integers(1, 4))):
            length = int(rng.integers(1, 6)) if rng.random() < 0.7 else int(rng.integers(10, 61))
            first = max(list_day[i] + 1, B + 1)
            last = del_day[i] - length - 1
            if last <= first:
                continue
            s = int(rng.integers(first, last))
            suspended[s:s + length, i] = True
    suspended &= listed

    # ---- dividends and splits (window days only): g = split / (1 - dividend yield)
    years = sorted({d.year for d in dates})
    date_arr = np.array(dates, dtype="datetime64[D]")
    event_g = np.ones((TT, N))
    split_g = np.ones((TT, N))
    events = []
    bank = INDUSTRIES_SWS.index("银行")
    for y in years:
        season = np.flatnonzero(
            (date_arr >= np.datetime64(f"{y}-05-15")) & (date_arr <= np.datetime64(f"{y}-07-31"))
        ) + B
        if len(season) == 0:
            continue
        pay = rng.random(N) < 0.55
        split = (rng.random(N) < 0.1) & (p0 >= 10.0)  # cheap stocks rarely split
        day = rng.choice(season, size=N)
        yld = rng.uniform(0.002, 0.04, N) * np.where(ind_sws == bank, 1.8, 1.0)
        ratio = rng.choice([1.2, 1.3, 1.4, 1.5, 2.0], size=N)
        for i in np.flatnonzero(pay | split):
            t = int(day[i])
            if not (list_day[i] < t < del_day[i]) or suspended[t, i]:
                continue
            d = float(yld[i]) if pay[i] else 0.0
            s = float(ratio[i]) if split[i] else 1.0
            event_g[t, i] = s / (1.0 - d)
            split_g[t, i] = s
            events.append((t, int(i), d, s))
    adj = a0[None, :] * np.cumprod(event_g, axis=0)
    shares0 = cap0 / p0
    shares = shares0[None, :] * np.cumprod(split_g, axis=0)
    del event_g, split_g

    return suspended, adj, shares, events


def _simulate(params: dict, rng: np.random.Generator, bar) -> _Sim:
    dates = trading_calendar(params["start"], params["end"])
    T = len(dates)
    B = int(params["burn_in"])
    TT = B + T
    N = int(params["n_stocks"])
    n_ind = len(INDUSTRIES_SWS)
    n_sty = len(STYLE_NAMES)
    K = 1 + n_ind + n_sty
    ind_order = sorted(range(n_ind), key=lambda j: INDUSTRIES_SWS[j])
    factor_names = ["country"] + [INDUSTRIES_SWS[j] for j in ind_order] + list(STYLE_NAMES)
    ind_col = np.empty(n_ind, dtype=np.int64)  # sws index -> column of X
    ind_col[np.array(ind_order)] = 1 + np.arange(n_ind)
    sty0 = 1 + n_ind

    ids = _stock_codes(rng, N)
    names = _stock_names(rng, N)

    list_day, del_day, listed, stable, new_idx, recent_idx, pre_idx, del_idx, listed_date_str = _listings(
        rng, N, B, TT, dates)
    window_date = _window_date(dates, B)
    days = np.arange(TT)

    ind_sws, keep, sws_label, citics_label = _industries(rng, N, stable, recent_idx, pre_idx)

    # ---- initial prices, caps, adjustment factors
    p0 = np.clip(np.exp(rng.normal(np.log(15.0), 0.7, N)), 2.5, 900.0)
    log_cap0 = rng.normal(np.log(2.0e10), 1.15, N)
    log_cap0[list_day > 0] = rng.normal(np.log(7e9), 0.8, int((list_day > 0).sum()))
    top = np.argsort(log_cap0)[-max(1, N // 600):]
    log_cap0[top] += np.log(2.0)
    cap0 = np.exp(log_cap0)
    a0 = np.where(list_day == 0, np.exp(rng.uniform(0.0, 1.2, N)), 1.0)

    suspended, adj, shares, events = _corporate_actions(
        rng, N, B, TT, dates, listed, list_day, del_day, stable, ind_sws, p0, a0, cap0)

    # ---- factor returns with a slowly varying volatility regime
    fcov = _true_factor_cov(rng, n_ind)
    # reorder industries to model (sorted-name) order
    perm_k = np.concatenate([[0], 1 + np.array(ind_order), sty0 + np.arange(n_sty)])
    fcov = fcov[np.ix_(perm_k, perm_k)]
    chol = np.linalg.cholesky(fcov)
    z = rng.standard_normal((TT, K))
    logv = np.zeros(TT)
    shocks = rng.normal(0.0, 0.045, TT)
    for t in range(1, TT):
        logv[t] = 0.985 * logv[t - 1] + shocks[t]
    regime = np.exp(logv)
    regime /= np.sqrt(np.mean(regime**2))
    F = z @ chol.T
    F[:, :sty0] *= regime[:, None]
    F[:, 0] += 0.0003
    F[:, sty0 + STYLE_NAMES.index("size")] -= 0.0001

    # ---- specific returns: Student-t(5), heterogeneous vol, distress before delisting
    size_z0 = (log_cap0 - log_cap0.mean()) / log_cap0.std()
    spec_vol = 0.0155 * np.exp(rng.normal(0.0, 0.33, N) - 0.12 * size_z0)
    E = rng.standard_t(5, size=(TT, N)) * (spec_vol / np.sqrt(5.0 / 3.0))[None, :]
    for i in del_idx:
        t1 = del_day[i]
        E[max(t1 - 60, 0):t1, i] -= 0.003

    # the exchange's daily limits by board (and special-treatment mark in the name)
    limit = np.array([price_limit(c, nm) for c, nm in zip(ids, names)])

    # ---- latent style drivers (monthly AR(1))
    ind_offset = rng.normal(0.0, 0.6, (n_ind, n_sty))
    latent = rng.standard_normal((N, n_sty))
    rho = np.full(n_sty, 0.97)
    rho[STYLE_NAMES.index("beta")] = 0.95
    rho[STYLE_NAMES.index("liquidity")] = 0.9
    log_spec_z = (np.log(spec_vol) - np.log(spec_vol).mean()) / np.log(spec_vol).std()

    # ---- blocks: burn-in pseudo-months, then calendar months of the window
    month_end = [B + j for j in range(T) if j == T - 1 or dates[j + 1].month != dates[j].month]
    burn_ends = list(range(B - 1, -1, -_BLOCK))[::-1]
    if burn_ends and burn_ends[0] < 5:
        burn_ends = burn_ends[1:]
    ends = burn_ends + month_end
    snap_ends = set(month_end)

    rv = list(_RISK_VERSIONS.items())
    # EWMA risk estimates from the true factor and specific returns, started at the truth
    risk = EwmaRisk(version_decays(_RISK_VERSIONS), K, N, cov0=fcov, spec0=spec_vol**2)

    ret = np.zeros((TT, N))
    tr = np.empty((TT, N))
    liq_day = np.empty((TT, N))
    tr_prev = p0 * a0
    snapshots = []

    def exposures(t_end: int, tr_now: np.ndarray) -> np.ndarray:
        """Exposures known at the close of day t_end (in force from the next day)."""
        mask = listed[t_end] if listed[t_end].sum() > 1 else np.ones(N, dtype=bool)
        X = np.zeros((N, K))
        X[:, 0] = 1.0
        X[np.arange(N), ind_col[ind_sws]] = 1.0
        cap = tr_now / adj[t_end] * shares[t_end]
        size = _zscore(np.log(cap), mask)
        raw = latent + ind_offset[ind_sws]
        sty = np.empty((N, n_sty))
        for j, s in enumerate(STYLE_NAMES):
            if s == "size":
                sty[:, j] = size
            elif s == "non_linear_size":
                sty[:, j] = non_linear_size(size, mask)
            elif s == "momentum":
                a = tr[max(t_end - 252, 0), :] if t_end >= 1 else tr_now
                b_ = tr[max(t_end - 21, 0), :] if t_end >= 1 else tr_now
                sty[:, j] = _zscore(np.log(b_ / a) + 0.2 * raw[:, j], mask)
            elif s == "residual_volatility":
                sty[:, j] = _zscore(0.8 * log_spec_z + 0.4 * raw[:, j], mask)
            elif s == "liquidity":
                sty[:, j] = _zscore(latent[:, j] - 0.3 * size, mask)
            else:
                sty[:, j] = _zscore(raw[:, j], mask)
        X[:, sty0:] = sty
        return X

    # initial exposures from the starting state
    tr[0] = tr_prev
    X = exposures(0, tr_prev)
    start = 0
    for end in ends:
        sl = slice(start, end + 1)
        liq_day[sl] = latent[:, STYLE_NAMES.index("liquidity")][None, :]
        r = F[sl] @ X.T + E[sl]
        np.clip(r, -limit, limit, out=r)
        live = listed[sl] & ~suspended[sl] & (days[sl, None] != list_day[None, :])
        r[~live] = 0.0
        ret[sl] = r
        tr[sl] = tr_prev[None, :] * np.cumprod(1.0 + r, axis=0)
        tr_prev = tr[end].copy()
        # EWMA risk estimates, one trading day at a time
        for t in range(start, end + 1):
            new = np.flatnonzero(list_day == t) if t > 0 else np.empty(0, dtype=np.int64)
            if len(new):
                alive = listed[t - 1]
                risk.spec[:, new] = np.median(risk.spec[:, alive], axis=1)[:, None]
            ok = live[t - start]
            e = r[t - start] - X @ F[t]  # specific return under the exposures in force
            risk.update(F[t], e, ok)
        # month end: next month's exposures, snapshot inside the window
        latent = rho * latent + np.sqrt(1 - rho**2) * rng.standard_normal((N, n_sty))
        X = exposures(end, tr_prev)
        if end in snap_ends:
            snapshots.append(_snapshot(end, X, risk, listed[end], ind_sws, rng, rv))
        # a stock whose raw close has fallen below 1 CNY is delisted a month later
        if end >= B:
            raw = tr_prev / adj[end]
            low = np.flatnonzero(listed[end] & (raw < _DELIST_PRICE) & (del_day == TT) & ~keep)
            t_del = end + _BLOCK
            if t_del < TT and len(low):
                del_day[low] = t_del
                listed[t_del:, low] = False
                suspended[t_del:, low] = False
        start = end + 1
        if bar is not None:
            bar.update(1)

    de_listed_date_str = [window_date(t) if t < TT else "0000-00-00" for t in del_day]
    events = [ev for ev in events if ev[0] < del_day[ev[1]]]
    return _Sim(
        dates=dates, burn=B, ids=ids, names=names, list_day=list_day, del_day=del_day,
        listed_date_str=listed_date_str, de_listed_date_str=de_listed_date_str,
        ind_sws=ind_sws, sws_label=sws_label, citics_label=citics_label,
        listed=listed, suspended=suspended, ret=ret, tr=tr, adj=adj, shares=shares,
        factor_ret=F, factor_names=factor_names, liq_day=liq_day,
        snapshots=snapshots, events=events,
    )


def _snapshot(t, X, risk, listed_t, ind_sws, rng, rv):
    """Risk-model snapshot of day t for every version: exposures, covariances, specific variances."""
    n_sty = len(STYLE_NAMES)
    stocks = np.flatnonzero(listed_t)
    out = {"t": t, "stocks": stocks, "industry": ind_sws[stocks], "versions": {}}
    n_h = len(HORIZONS)
    for v_i, (name, v) in enumerate(rv):
        sty = X[stocks, -n_sty:].copy()
        if v["expo_noise"] > 0:
            noisy = sty + v["expo_noise"] * rng.standard_normal(sty.shape)
            mask = np.ones(len(stocks), dtype=bool)
            sty = np.column_stack([_zscore(noisy[:, j], mask) for j in range(n_sty)])
        covs, specs = [], []
        for h in range(n_h):
            covs.append(shrink_cov(risk.covariance(v_i * n_h + h), v["cov_shrink"]))
            s = risk.specific(v_i * n_h + h)[stocks]
            specs.append(shrink_spec(s, np.median(s), v["spec_shrink"]))
        out["versions"][name] = {"styles": sty, "cov": covs, "spec": specs}
    return out


# ------------------------------------------------------------------ indices
def _indices(sim: _Sim, params: dict):
    """Member weights per day (drifting with caps) and index levels over the window."""
    B = sim.burn
    T = len(sim.dates)
    win = slice(B, B + T)
    listed = sim.listed[win]
    cap = sim.tr[win] / sim.adj[win] * sim.shares[win]
    cap_prev = sim.tr[B - 1:B + T - 1] / sim.adj[B - 1:B + T - 1] * sim.shares[B - 1:B + T - 1]
    rets = sim.ret[win]
    dates = sim.dates
    rebal = [0] + [
        j for j in range(1, T)
        if dates[j].month in (6, 12) and dates[j].month != dates[j - 1].month
    ]
    seasoned = lambda j: (sim.list_day == 0) | (B + j - sim.list_day >= _SEASONING_DAYS)  # noqa: E731
    period = np.searchsorted(np.array(rebal), np.arange(T), side="right") - 1
    sizes = [params["index_sizes"][i] for i in INDEX_IDS]
    membership = np.zeros((len(INDEX_IDS), len(rebal), len(sim.ids)), dtype=bool)
    for p, j in enumerate(rebal):
        elig = np.flatnonzero(listed[j] & seasoned(j))
        order = elig[np.argsort(-cap_prev[j, elig], kind="stable")]
        lo = 0
        for k, n in enumerate(sizes):
            membership[k, p, order[lo:lo + n]] = True
            lo += n
    out = []
    for k, idx_id in enumerate(INDEX_IDS):
        member = membership[k][period] & listed  # delisted members drop out
        w = np.where(member, cap, 0.0)
        tot = w.sum(axis=1, keepdims=True)
        w = np.divide(w, tot, out=np.zeros_like(w), where=tot > 0)
        # day t return: yesterday's weights on today's returns of members still trading
        wp = w[:-1] * listed[1:]
        s = wp.sum(axis=1)
        r_idx = np.divide((wp * rets[1:]).sum(axis=1), s, out=np.zeros_like(s), where=s > 0)
        base = [b for i, _, _, b in _INDICES if i == idx_id][0]
        level = base * np.concatenate([[1.0], np.cumprod(1.0 + r_idx)])
        out.append({"id": idx_id, "member": member, "weight": w, "level": level,
                    "cap": tot[:, 0], "ret": np.concatenate([[0.0], r_idx])})
    return out


def _funds(sim: _Sim, indices, params: dict, rng: np.random.Generator):
    B = sim.burn
    T = len(sim.dates)
    F = sim.factor_ret[B:B + T]
    fn = sim.factor_names
    idx_ret = {d["id"]: d["ret"] for d in indices}
    funds = []
    for fid, sym, typ, (kind, target) in _FUNDS[:params["n_funds"]]:
        noise = rng.standard_normal(T)
        if kind == "index":
            r = idx_ret[target] + 0.0003 * noise
        elif kind == "industry":
            r = F[:, 0] + F[:, fn.index(target)] + 0.004 * noise
        elif kind == "growth":
            r = F[:, 0] + F[:, fn.index("growth")] - 0.5 * F[:, fn.index("size")] + 0.006 * noise
        elif kind == "market":
            r = 0.9 * F[:, 0] + 0.005 * noise + 0.0001
        else:  # gold: mostly its own path
            r = 0.1 * F[:, 0] + 0.008 * noise + 0.0003
        r[0] = 0.0
        price = float(rng.uniform(1.0, 5.0)) * np.cumprod(1.0 + r)
        units = float(np.exp(rng.uniform(np.log(1e9), np.log(2e10))))
        volume = np.round(units * 0.03 * np.exp(rng.normal(0.0, 0.4, T) - 0.08) / 100.0) * 100.0
        listed = _dt.date(2012, 5, 28).toordinal() + int(rng.integers(0, 2400))
        ld = _dt.date.fromordinal(listed)
        while ld.weekday() >= 5:
            ld -= _dt.timedelta(days=1)
        funds.append({"id": fid, "symbol": sym, "type": typ, "listed": ld.isoformat(),
                      "close": price, "volume": volume, "cap": price * units})
    return funds


# ------------------------------------------------------------------- tables
def _tables(sim: _Sim, indices, funds, rng: np.random.Generator) -> dict[str, pd.DataFrame]:
    B = sim.burn
    T = len(sim.dates)
    N = len(sim.ids)
    win = slice(B, B + T)
    dates64 = np.array(sim.dates, dtype="datetime64[D]").astype("datetime64[ns]")

    # instruments
    exch = lambda i: i.split(".")[1]  # noqa: E731
    rows = [(sim.ids[i], sim.names[i], "CS", exch(sim.ids[i]), sim.listed_date_str[i],
             sim.de_listed_date_str[i]) for i in range(N)]
    rows += [(f["id"], f["symbol"], f["type"], exch(f["id"]), f["listed"], "0000-00-00") for f in funds]
    rows += [(i, s, "INDX", exch(i), ld, "0000-00-00") for i, s, ld, _ in _INDICES]
    instruments = pd.DataFrame(
        rows, columns=["order_book_id", "symbol", "type", "exchange", "listed_date", "de_listed_date"]
    ).sort_values("order_book_id", kind="stable").reset_index(drop=True)
    # The ids stay the familiar ones (short examples); the names say the data are generated.
    instruments["symbol"] = instruments["symbol"] + DEMO_SUFFIX

    trading_dates = pd.DataFrame({"date": dates64})

    # bars of stocks: volume ~ 1 % of market value on average, 0 on suspension
    listed = sim.listed[win]
    susp = sim.suspended[win]
    close = sim.tr[win] / sim.adj[win]
    shares = sim.shares[win]
    rets = sim.ret[win]
    live = listed & ~susp
    rate = np.exp(0.5 * sim.liq_day[win] + rng.normal(0.0, 0.35, (T, N))) * (1.0 + 8.0 * np.abs(rets))
    rate *= _TURNOVER / rate[live].mean()
    volume = np.where(live, np.maximum(np.round(rate * shares / 100.0) * 100.0, 100.0), 0.0)
    si, ti = np.nonzero(listed.T)  # stock-major: sorted by id then date
    stock_ids = np.array(sim.ids, dtype=object)
    parts = [pd.DataFrame({
        "order_book_id": stock_ids[si],
        "date": dates64[ti],
        "close": close[ti, si],
        "volume": volume[ti, si],
        "adj_factor": sim.adj[win][ti, si],
        "market_cap_3": close[ti, si] * shares[ti, si],
    })]
    for f in funds:
        parts.append(pd.DataFrame({
            "order_book_id": np.full(T, f["id"], dtype=object), "date": dates64,
            "close": f["close"], "volume": f["volume"], "adj_factor": np.ones(T),
            "market_cap_3": f["cap"],
        }))
    for d in indices:
        parts.append(pd.DataFrame({
            "order_book_id": np.full(T, d["id"], dtype=object), "date": dates64,
            "close": d["level"], "volume": np.zeros(T), "adj_factor": np.ones(T),
            "market_cap_3": d["cap"],
        }))
    bars = pd.concat(parts, ignore_index=True)
    bars = bars.sort_values(["order_book_id", "date"], kind="stable").reset_index(drop=True)

    # index weights
    parts = []
    for d in indices:
        ti, si = np.nonzero(d["member"])  # date-major, ids ascending within a day
        parts.append(pd.DataFrame({
            "index_id": np.full(len(ti), d["id"], dtype=object),
            "date": dates64[ti],
            "order_book_id": stock_ids[si],
            "weight": d["weight"][ti, si],
        }))
    index_weights = pd.concat(parts, ignore_index=True)

    # industries
    industries = pd.DataFrame({
        "order_book_id": np.concatenate([stock_ids, stock_ids]),
        "standard": np.array(["sws"] * N + ["citics"] * N, dtype=object),
        "industry": np.array(list(sim.sws_label) + list(sim.citics_label), dtype=object),
    })

    # risk model: rows grouped by version, then snapshot date
    ind_names = np.array(INDUSTRIES_SWS, dtype=object)
    fnames = np.array(sim.factor_names, dtype=object)
    K = len(fnames)
    n_h = len(HORIZONS)
    versions = list(_RISK_VERSIONS)
    e_ver, e_date, e_id, e_ind, e_sty = [], [], [], [], []
    c_ver, c_date, c_cov = [], [], []
    s_ver, s_date, s_hz, s_id, s_var = [], [], [], [], []
    for ver in versions:
        for snap in sim.snapshots:
            day = dates64[snap["t"] - B]
            st = snap["stocks"]
            n = len(st)
            v = snap["versions"][ver]
            e_ver.append(np.full(n, ver, dtype=object))
            e_date.append(np.full(n, day))
            e_id.append(stock_ids[st])
            e_ind.append(ind_names[snap["industry"]])
            e_sty.append(v["styles"])
            c_ver.append(np.full(n_h * K * K, ver, dtype=object))
            c_date.append(np.full(n_h * K * K, day))
            c_cov.append(np.concatenate([c.ravel() for c in v["cov"]]))
            s_ver.append(np.full(n_h * n, ver, dtype=object))
            s_date.append(np.full(n_h * n, day))
            s_hz.append(np.repeat(np.array(HORIZONS, dtype=object), n))
            s_id.append(np.tile(stock_ids[st], n_h))
            s_var.append(np.concatenate(v["spec"]))
    style_exposure = pd.DataFrame({
        "version": np.concatenate(e_ver),
        "date": np.concatenate(e_date),
        "order_book_id": np.concatenate(e_id),
        "industry": np.concatenate(e_ind),
    })
    sty = np.concatenate(e_sty)
    style_exposure = pd.concat(
        [style_exposure, pd.DataFrame(sty, columns=list(STYLE_NAMES))], axis=1)
    n_blocks = len(c_ver)
    factor_covariance = pd.DataFrame({
        "version": np.concatenate(c_ver),
        "date": np.concatenate(c_date),
        "horizon": np.tile(np.repeat(np.array(HORIZONS, dtype=object), K * K), n_blocks),
        "factor_i": np.tile(np.repeat(fnames, K), n_blocks * n_h),
        "factor_j": np.tile(fnames, K * n_blocks * n_h),
        "cov": np.concatenate(c_cov),
    })
    specific_risk = pd.DataFrame({
        "version": np.concatenate(s_ver),
        "date": np.concatenate(s_date),
        "horizon": np.concatenate(s_hz),
        "order_book_id": np.concatenate(s_id),
        "specific_variance": np.concatenate(s_var),
    })

    return {
        "instruments": instruments,
        "trading_dates": trading_dates,
        "bars": bars,
        "index_weights": index_weights,
        "industries": industries,
        "style_exposure": style_exposure,
        "factor_covariance": factor_covariance,
        "specific_risk": specific_risk,
    }


def _build(size: str = "full", seed: int = 20240101, progress: bool = True):
    """Run the simulation; returns (tables, simulation state) — the state is for tests."""
    if size not in SIZES:
        raise ValueError(f"unknown demo market size {size!r}; expected one of {sorted(SIZES)}")
    params = SIZES[size]
    rng = np.random.default_rng(seed)
    bar = None
    if progress:
        from tqdm import tqdm

        n_months = len({(d.year, d.month) for d in trading_calendar(params["start"], params["end"])})
        n_burn = len(range(params["burn_in"] - 1, -1, -_BLOCK))
        bar = tqdm(total=n_burn + n_months + 2, desc=f"demo market ({size})", unit="step",
                   leave=False)
    try:
        sim = _simulate(params, rng, bar)
        indices = _indices(sim, params)
        funds = _funds(sim, indices, params, rng)
        if bar is not None:
            bar.update(1)
        tables = _tables(sim, indices, funds, rng)
        if bar is not None:
            bar.update(bar.total - bar.n)
    finally:
        if bar is not None:
            bar.close()
    return tables, sim


def generate(size: str = "full", seed: int = 20240101, progress: bool = True) -> dict[str, pd.DataFrame]:
    """Build the demo market of the given size; same size and seed give identical tables.

    Returns a dict table name -> DataFrame with the columns of docs/data.md
    (dates as datetime64[ns] columns, instrument dates as "YYYY-MM-DD" strings).
    A progress bar goes to stderr when ``progress`` is true.
    """
    tables, _ = _build(size, seed, progress)
    return tables
