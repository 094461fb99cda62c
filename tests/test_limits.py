"""Every limit holds after the solve, measured independently of the classes.

Each constraint class measures itself (`_measure`); here each measurement is
checked against the test's own computation from the raw tables (industries,
exposures, bars, index members), and every binding limit of a solved problem
is checked the same way against `LIMIT_TOLERANCE`, never through the class's
own measurement.
"""
import datetime
import warnings

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import corvana
import verdalis.constraints as vc
import verdalis.optimize as vo
from verdalis.benchmark import IndexBenchmark
from verdalis.const import CovModel, RiskModel
from verdalis.exception import InvalidArgument, OptimizerWarning
from verdalis.helper import OptimizeHelper
from verdalis.objective import MaxSharpeRatio, MinVariance, RiskParity
from verdalis.optimize import portfolio_optimize

INDEX = "000300.XSHG"
DATE = datetime.date(2021, 6, 15)
TOL = 1e-7
BNDS = {"*": (0, 0.2)}


class Raw:
    """The pool's raw data, read straight from the store."""

    def __init__(self, pool):
        self.pool = pool
        self.helper = OptimizeHelper(pool, DATE, IndexBenchmark(INDEX), CovModel.FACTOR_MODEL_DAILY,
                                     RiskModel.V1, 1.0, 1.0)
        h = self.helper
        self.prev = h.prev_trading_date
        self.union_cov = np.asarray(h.get_union_cov_matrix())
        self.bench = h.benchmark_weight.to_numpy()
        self.members = np.isin(pool, h.benchmark_components)
        self.industry = corvana.get_industry(pool, "sws").reindex(pool).to_numpy()
        self.exposure = corvana.get_risk_exposure(pool, self.prev).reindex(pool)
        self.index_members = np.isin(pool, corvana.index_components(INDEX, self.prev))

    def free(self):
        """The unconstrained solution of the end-to-end cases."""
        if not hasattr(self, "_free"):
            self._free = portfolio_optimize(self.pool, DATE, MinVariance(), bnds=BNDS, benchmark=INDEX).to_numpy()
        return self._free

    def te(self, w):
        a = np.r_[w, np.zeros(len(self.bench) - len(w))] - self.bench
        return float(np.sqrt(a @ self.union_cov @ a))

    def top_industry(self):
        return pd.Series(self.industry).value_counts().index[0]

    def trade_share(self, w, holding, cash, window, kind, stock):
        """|trade| of `stock` at weights w as a share of its average volume (in the
        window's last-day shares) or of its average market value, from raw bars."""
        start = corvana.get_previous_trading_date(DATE, window)
        ids = self.pool + [s for s in holding.index if s not in self.pool]
        raw = corvana.get_price(ids, start, self.prev, fields=["close", "volume"], adjust_type="none")
        factor = corvana.get_price(ids, start, self.prev, fields="close", adjust_type="post")["close"] / raw["close"]
        close = raw["close"].groupby(level=0).last().reindex(ids)
        shares = holding.reindex(ids, fill_value=0.0)
        equity = cash + float((shares * close).sum())
        i = self.pool.index(stock)
        if kind == "volume":
            # one share traded on day t is factor(last) / factor(t) shares of the last day
            day = raw.xs(stock, level=0)
            f = factor.xs(stock, level=0)
            volume = day["volume"] * f.iloc[-1] / f
            average = volume[volume > 0].mean()
            return abs(w[i] * equity / close[stock] - shares[stock]) / average
        cap = corvana.get_factor([stock], "market_cap_3", start, self.prev)["market_cap_3"]
        return abs(w[i] * equity - close[stock] * shares[stock]) / cap.mean()


@pytest.fixture(scope="module")
def raw(small_market):
    prev = corvana.get_previous_trading_date(DATE)
    stocks = corvana.all_instruments(type="CS", date=prev)
    seasoned = stocks.loc[stocks["listed_date"] < "2020-01-01", "order_book_id"].tolist()
    covered = corvana.get_risk_exposure(seasoned, prev).index.tolist()
    return Raw(sorted(covered)[:30])


HOLDING_SHARES = 200_000.0
CASH = 5e6


def _holding(r):
    return pd.Series(HOLDING_SHARES, index=r.pool[:6])


# (name, constraint factory, independent rows at w: [(item, side, value, limit)])
def _cases():
    def industry(r):
        ind = r.top_industry()
        mask = r.industry == ind
        return vc.IndustryConstraint(ind, upper_limit=0.05), lambda w: [(ind, "upper", w @ mask, 0.05)]

    def wildcard(r):
        inds = [i for i in pd.unique(r.industry) if i != "UNKNOWN"]
        return (vc.WildcardIndustryConstraint(upper_limit=0.08),
                lambda w: [(i, "upper", w @ (r.industry == i), 0.08) for i in inds])

    def component(r):
        # the industry whose largest member holds the largest share of it when unconstrained
        free = pd.Series(r.free(), index=r.pool)
        held = free.groupby(r.industry).sum()
        size = pd.Series(r.industry).value_counts()
        top = (free.groupby(r.industry).max() / held.where(held > 1e-2))[size[size >= 3].index]
        ind = top.idxmax()
        mask = r.industry == ind
        def share(w, i):  # undefined (NaN) when (next to) nothing is held in the industry
            total = w @ mask
            return w[i] / total if total > 1e-6 else np.nan
        return (vc.IndustryComponentLimit(ind, upper_limit=0.4),
                lambda w: [(r.pool[i], "upper", share(w, i), 0.4) for i in np.nonzero(mask)[0]])

    def style_momentum(r):
        # the shape of the worst miss measured: a floor on momentum exposure
        x = r.exposure["momentum"].to_numpy()
        floor = float(np.quantile(x, 0.8))
        return (vc.StyleConstraint("momentum", lower_limit=floor),
                lambda w: [("momentum", "lower", w @ x, floor)])

    def style_relative(r):
        x = r.exposure[["beta", "momentum"]].to_numpy()
        b = r.helper.get_benchmark_style()[["beta", "momentum"]].to_numpy()
        return (vc.StyleConstraint(["beta", "momentum"], lower_limit=-0.05, upper_limit="+5%", relative=True),
                lambda w: [row for k, style in enumerate(["beta", "momentum"])
                           for row in ((style, "lower", w @ x[:, k], b[k] - 0.05),
                                       (style, "upper", w @ x[:, k], b[k] * 1.05))])

    def tracking_error(r):
        return vc.TrackingErrorLimit(0.1), lambda w: [("tracking error", "upper", r.te(w), 0.1)]

    def component_weight(r):
        return vc.BenchmarkComponentWeightLimit(0.5), lambda w: [("weight held", "lower", w @ r.members, 0.5)]

    def stock_pool(r):
        # the second of the worst misses: a floor on a list's weight
        chosen = r.pool[::3]
        mask = np.isin(r.pool, chosen)
        return vc.StockPoolLimit(chosen, lower_limit=0.6), lambda w: [("weight held", "lower", w @ mask, 0.6)]

    def index_component(r):
        return (vc.IndexComponentLimit(INDEX, upper_limit=0.02),
                lambda w: [("weight held", "upper", w @ r.index_members, 0.02)])

    def turnover(r):
        h = pd.concat([pd.Series(0.1, index=r.pool[:8]), pd.Series({"OUTSIDE.XSHE": 0.2})])
        current = h.reindex(r.pool, fill_value=0.0).to_numpy()
        return vc.TurnoverLimit(h, 0.3), lambda w: [("turnover", "upper", (np.abs(w - current).sum() + 0.2) / 2, 0.3)]

    def volume(r):
        # the third: a cap on the trade as a share of the average daily volume
        pool = r.pool
        return (vc.TransactionVolumeLimit(upper_limit=0.02, current_holding=_holding(r), cash=CASH, window=20),
                lambda w: [(s, "upper", r.trade_share(w, _holding(r), CASH, 20, "volume", s), 0.02) for s in pool])

    def market_value(r):
        pool = r.pool
        return (vc.TransactionMarketValueLimit(upper_limit=1e-4, current_holding=_holding(r), cash=CASH, window=5),
                lambda w: [(s, "upper", r.trade_share(w, _holding(r), CASH, 5, "value", s), 1e-4) for s in pool])

    return [industry, wildcard, component, style_momentum, style_relative, tracking_error, component_weight, stock_pool,
            index_component, turnover, volume, market_value]


CASES = _cases()
IDS = [c.__name__ for c in CASES]


def _weights(n):
    rng = np.random.default_rng(7)
    spread = rng.dirichlet(np.ones(n))
    concentrated = np.zeros(n)
    concentrated[[0, 3, 7]] = [0.5, 0.3, 0.2]
    return [np.full(n, 1.0 / n), spread, concentrated]


def _table(rows):
    frame = pd.DataFrame(rows, columns=["item", "side", "value", "limit"])
    return frame.sort_values(["item", "side"]).reset_index(drop=True)


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_each_class_measures_itself_as_the_raw_data_say(raw, case):
    constraint, expected = case(raw)
    for w in _weights(len(raw.pool)):
        got = constraint._measure(pd.Series(w, index=raw.pool), raw.helper)
        assert list(got.columns) == ["item", "side", "value", "limit"]
        want = _table(expected(w))
        got = got.sort_values(["item", "side"]).reset_index(drop=True)
        assert got[["item", "side"]].astype(str).equals(want[["item", "side"]].astype(str))
        np.testing.assert_allclose(got["value"].to_numpy(), want["value"].to_numpy(float), rtol=1e-8, atol=1e-12)
        np.testing.assert_allclose(got["limit"].to_numpy(), want["limit"].to_numpy(float), rtol=0, atol=0)


def _worst_miss(rows):
    misses = [(lim - val) if side == "lower" else (val - lim) for _, side, val, lim in rows if not np.isnan(val)]
    return max(misses)


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_a_binding_limit_holds_to_the_tolerance_after_the_solve(raw, case):
    constraint, expected = case(raw)
    bnds = BNDS
    assert _worst_miss(expected(raw.free())) > 1e-4, "the limit should bind for this test to mean anything"
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # neither a miss left nor an inaccurate projection
        w = portfolio_optimize(raw.pool, DATE, MinVariance(), bnds=bnds, cons=[constraint], benchmark=INDEX)
    w = w.to_numpy()
    assert abs(w.sum() - 1) < 1e-12 and w.min() >= 0 and w.max() <= 0.2
    assert _worst_miss(expected(w)) <= TOL
    # binding: the limit is reached, not merely respected
    assert _worst_miss(expected(w)) > -1e-5


@pytest.mark.parametrize("name", ["volume", "market_value"])
def test_the_window_is_read_once_per_call(raw, monkeypatch, name):
    # the constraint rows and the measurement after the solve share one read
    constraint, _ = CASES[IDS.index(name)](raw)
    reads = []

    class Counting:
        def __getattr__(self, attr):
            real = getattr(corvana, attr)
            if attr not in ("get_price", "get_factor"):
                return real

            def counted(*args, **kwargs):
                reads.append(attr)
                return real(*args, **kwargs)
            return counted

    monkeypatch.setattr(vc, "corvana", Counting())
    portfolio_optimize(raw.pool, DATE, MinVariance(), bnds=BNDS, cons=[constraint], benchmark=INDEX)
    assert len(reads) == 2      # two reads of the window, for rows and measurement alike


def test_soft_limits_kept_after_the_solve_hold_too(raw):
    constraint, expected = CASES[IDS.index("stock_pool")](raw)
    constraint = vc.StockPoolLimit(constraint.stock_list, lower_limit=constraint.lower, hard=False)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        w = portfolio_optimize(raw.pool, DATE, MinVariance(), cons=[constraint]).to_numpy()
    assert _worst_miss(expected(w)) <= TOL


@pytest.mark.parametrize("objective", [MaxSharpeRatio(expected_returns=None), RiskParity()],
                         ids=["ratio objective", "risk parity"])
def test_limits_hold_under_a_scaled_problem(raw, objective):
    # g / zeta are the weights: zeta a variable (ratio objectives) or the pool size
    constraint, expected = CASES[IDS.index("stock_pool")](raw)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        w = portfolio_optimize(raw.pool, DATE, objective, cons=[constraint]).to_numpy()
    assert _worst_miss(expected(w)) <= TOL


class FloorOnFirst(vc.OptimizationConstraint):
    """A user's own class (no measurement of its own): the first stock at least `floor`."""

    def __init__(self, floor):
        self.floor = floor

    def to_constraints(self, g, zeta, helper):
        return [g[0] >= self.floor * zeta]

    @property
    def hard(self):
        return True


def test_a_users_class_is_measured_from_its_rows(raw):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        w = portfolio_optimize(raw.pool, DATE, MinVariance(), cons=[FloorOnFirst(0.37)])
    assert w.iloc[0] >= 0.37 - TOL


class NoClarabel:
    """cvxpy as the driver sees it, except that Clarabel cannot be used."""

    def __getattr__(self, name):
        if name == "CLARABEL":
            return "NO-SUCH-SOLVER"
        return getattr(cp, name)


@pytest.mark.parametrize("how", ["polish fails", "polish cannot meet the limit"])
def test_a_miss_that_cannot_be_polished_away_is_named_in_one_warning(raw, monkeypatch, how):
    constraint, expected = CASES[IDS.index("stock_pool")](raw)
    if how == "polish fails":
        monkeypatch.setattr(vo, "cp", NoClarabel())
        monkeypatch.setattr(vo, "LIMIT_TOLERANCE", 1e-15)  # any solver residual is a miss
    else:
        # a tolerance below what any solver reaches: the polish cannot help
        monkeypatch.setattr(vo, "LIMIT_TOLERANCE", 0.0)
        constraint = vc.StockPoolLimit(constraint.stock_list, lower_limit=constraint.lower, upper_limit=constraint.lower)
    with pytest.warns(OptimizerWarning) as record:
        w = portfolio_optimize(raw.pool, DATE, MinVariance(), cons=[constraint])
    missed = [r.message for r in record if getattr(r.message, "limits", None) is not None]
    if not missed:  # the solve happened to meet the limit exactly: nothing to report
        assert _worst_miss(expected(w.to_numpy())) <= 0
        return
    assert len(missed) == 1
    named = str(missed[0])
    assert "StockPoolLimit" in named and "weight held" in named and "下限 0.6" in named
    [(name, item, side, value, limit)] = [m for m in missed[0].limits if m[2] == "lower"]
    assert (name, item, limit) == (repr(constraint), "weight held", 0.6)
    assert value == pytest.approx(_worst_miss(expected(w.to_numpy())) * -1 + 0.6, abs=1e-12)
    assert all(r.filename == __file__ for r in record)
    assert w.sum() == pytest.approx(1.0, abs=1e-12)


def test_the_tolerance_is_read_at_each_call(raw, monkeypatch):
    constraint, expected = CASES[IDS.index("style_momentum")](raw)
    monkeypatch.setattr(vo, "LIMIT_TOLERANCE", 1e-3)
    loose = portfolio_optimize(raw.pool, DATE, MinVariance(), cons=[constraint], max_iters=300).to_numpy()
    monkeypatch.setattr(vo, "LIMIT_TOLERANCE", 1e-9)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        tight = portfolio_optimize(raw.pool, DATE, MinVariance(), cons=[constraint], max_iters=300).to_numpy()
    assert _worst_miss(expected(loose)) <= 1e-3
    assert _worst_miss(expected(tight)) <= 1e-9


# ------------------------------------------------------ volumes across a split

class Bars:
    """A market data client over bars written in the test: one stock, ten days."""

    def __init__(self, bars, days):
        self.bars, self.days = bars, days

    def get_previous_trading_date(self, date, n=1):
        return self.days[-n]

    def get_price(self, ids, start, end, frequency="1d", fields=None, adjust_type="pre", expect_df=True):
        frame = self.bars.loc[(slice(None), slice(pd.Timestamp(start), pd.Timestamp(end))), :].copy()
        if adjust_type == "pre":  # to the price level of the last day in the store
            frame["close"] = frame["close"] * frame["adj_factor"] / frame["adj_factor"].iloc[-1]
        return frame[fields if isinstance(fields, list) else [fields]]


def _split_market(volume_after=None):
    # 602371.XSHG on the ten trading days to 2024-06-13: a 2-for-1 split on
    # 06-06 halves the close and doubles the share count and the volume.
    days = [d.date() for d in pd.bdate_range("2024-05-31", "2024-06-13")]
    ob = "602371.XSHG"
    split = datetime.date(2024, 6, 6)
    rows = []
    for d in days:
        after = d >= split
        volume = (volume_after if volume_after is not None else 2_000_000.0) if after else 1_000_000.0
        rows.append((ob, pd.Timestamp(d), 10.0 if after else 20.0, volume, 2.0 if after else 1.0))
    bars = pd.DataFrame(rows, columns=["order_book_id", "date", "close", "volume", "adj_factor"]).set_index(
        ["order_book_id", "date"])
    return ob, days, Bars(bars, days)


class SplitHelper:
    def __init__(self, ob, days):
        self.order_book_ids = [ob]
        self.date = datetime.date(2024, 6, 14)
        self.prev_trading_date = days[-1]


def test_volumes_before_a_split_count_in_todays_shares(monkeypatch):
    ob, days, bars = _split_market()
    monkeypatch.setattr(vc, "corvana", bars)
    helper = SplitHelper(ob, days)
    held = 3_000_000.0  # shares of today; the book: 30 million at a close of 10, plus as much cash
    limit = vc.TransactionVolumeLimit(upper_limit=0.1, current_holding={ob: held}, cash=30e6, window=10)
    lower, upper = limit.to_constraints(cp.Variable(1, nonneg=True), 1.0, helper)
    # every day traded 2 million of today's shares (1 million before the split,
    # each worth two today): 10 % of that is 200,000 shares either way
    assert lower.args[0].value[0] == pytest.approx((held - 200_000) * 10 / 60e6, rel=1e-12)
    assert upper.args[1].value[0] == pytest.approx((held + 200_000) * 10 / 60e6, rel=1e-12)
    w = pd.Series({ob: (held + 200_000) * 10 / 60e6})
    assert limit._measure(w, helper)["value"].iloc[0] == pytest.approx(0.1, rel=1e-12)


@pytest.mark.parametrize("cls", [vc.TransactionVolumeLimit, vc.TransactionMarketValueLimit])
def test_a_stock_without_any_volume_in_the_window_is_refused(monkeypatch, cls):
    ob, days, bars = _split_market(volume_after=np.nan)
    bars.bars.loc[:, "volume"] = np.nan
    bars.bars["market_cap_3"] = np.nan
    bars.get_factor = lambda ids, factor, start, end: bars.bars[[factor]]
    monkeypatch.setattr(vc, "corvana", bars)
    limit = cls(upper_limit=0.1, current_holding={ob: 1000.0}, cash=1e6, window=10)
    with pytest.raises(InvalidArgument) as info:
        limit.to_constraints(cp.Variable(1, nonneg=True), 1.0, SplitHelper(ob, days))
    message = str(info.value)
    assert ob in message and "2024-05-31" in message and "2024-06-13" in message
    assert cls.__name__ in message


def test_days_without_a_volume_do_not_lower_the_average(monkeypatch):
    ob, days, bars = _split_market()
    bars.bars.iloc[0, bars.bars.columns.get_loc("volume")] = np.nan
    monkeypatch.setattr(vc, "corvana", bars)
    limit = vc.TransactionVolumeLimit(upper_limit=0.1, current_holding={ob: 3_000_000.0}, cash=30e6, window=10)
    _, upper = limit.to_constraints(cp.Variable(1, nonneg=True), 1.0, SplitHelper(ob, days))
    assert upper.args[1].value[0] == pytest.approx(3_200_000 * 10 / 60e6, rel=1e-12)
