"""verdalis.diagnose on the small market: conflicts with known answers, the
relaxations re-solved (they restore feasibility and are minimal), shadow prices
against finite differences, and the same diagnosis from the failure itself."""
import copy
import datetime
import warnings

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import corvana
import verdalis.constraints as vc
from verdalis.diagnose import diagnose
from verdalis.exception import InvalidArgument, OptimizationFailed, OptimizerWarning
from verdalis.objective import MinVariance
from verdalis.optimize import portfolio_optimize

INDEX = "000300.XSHG"
DATE = datetime.date(2021, 6, 15)
CLARABEL = {"solver": cp.CLARABEL}


@pytest.fixture(scope="module")
def pool(small_market):
    prev = corvana.get_previous_trading_date(DATE)
    stocks = corvana.all_instruments(type="CS", date=prev)
    seasoned = stocks.loc[stocks["listed_date"] < "2020-01-01", "order_book_id"].tolist()
    return sorted(corvana.get_risk_exposure(seasoned, prev).index.tolist())[:30]


def industry_of(pool):
    ind = corvana.get_industry(pool, "sws").reindex(pool)
    top = ind.value_counts().index[0]
    return top, list(ind[ind == top].index), [s for s in pool if ind[s] != top]


class User(vc.OptimizationConstraint):
    """A user's own constraint: the first stock holds at least `share`."""

    def __init__(self, share):
        self.share = share

    def to_constraints(self, g, zeta, helper):
        return [g[0] >= zeta * self.share]

    @property
    def hard(self):
        return True

    def __repr__(self):
        return "User({})".format(self.share)


# Each case: the call's keyword arguments, the conflict expected (group names,
# in any order), the total relaxation when known (None: checked by re-solving).
def _cases():
    def industry_vs_pool(pool):
        top, members, others = industry_of(pool)
        industry = vc.IndustryConstraint(top, upper_limit=0.02)
        # the pool list: the industry plus two other stocks capped at 0.08 each
        chosen = vc.StockPoolLimit(members + others[:2], lower_limit=0.3)
        return (dict(bnds={"*": (0, 0.08)}, cons=[industry, chosen]),
                {repr(industry), repr(chosen), "bounds"},
                {(repr(industry), "upper_limit"): 0.14, (repr(chosen), "lower_limit"): 0.18})

    def te_vs_turnover(pool):
        held = pd.Series(1 / 6, index=pool[:6])
        te, turnover = vc.TrackingErrorLimit(0.1), vc.TurnoverLimit(held, 0.1)
        return (dict(benchmark=INDEX, cons=[te, turnover]), {repr(te), repr(turnover)}, {})

    def crossing_styles(pool):
        above = vc.StyleConstraint("size", lower_limit=0.1, relative=True)
        below = vc.StyleConstraint("size", upper_limit=-0.1, relative=True)
        return (dict(benchmark=INDEX, cons=[above, below]), {repr(above), repr(below)},
                {(repr(above), "lower_limit"): -0.1, (repr(below), "upper_limit"): 0.1})

    def user_class(pool):
        own = User(0.5)
        return (dict(bnds={"*": (0, 0.3)}, cons=[own]), {repr(own), "bounds"},
                {(repr(own), "rows"): 0.2})

    return [industry_vs_pool, te_vs_turnover, crossing_styles, user_class]


CASES = _cases()


def failure(pool, kwargs):
    with pytest.raises(OptimizationFailed) as info:
        portfolio_optimize(pool, DATE, MinVariance(), **kwargs)
    return info.value


def with_limit(kwargs, group, parameter, value):
    """The call with one constraint object's limit replaced."""
    cons = []
    for c in kwargs["cons"]:
        if repr(c) == group:
            c = copy.copy(c)
            setattr(c, parameter.replace("_limit", ""), value)
        cons.append(c)
    return dict(kwargs, cons=cons)


def solves(pool, kwargs):
    """The call finds a portfolio (at the boundary, possibly an inaccurate one)."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            portfolio_optimize(pool, DATE, MinVariance(), **kwargs, **CLARABEL)
        return True
    except OptimizationFailed:
        return False


@pytest.mark.parametrize("case", CASES, ids=[c.__name__ for c in CASES])
def test_conflicts_are_found_and_each_relaxation_restores_feasibility_minimally(pool, case):
    kwargs, conflict, known = case(pool)
    direct = diagnose(pool, DATE, MinVariance(), **kwargs)
    via_failure = failure(pool, kwargs).diagnose()
    for d in (direct, via_failure):
        assert not d.feasible and d.weights is None
        assert set(d.conflict) == conflict
        assert list(d.groups.columns[:1]) == ["group"]
        assert {"group", "parameter", "limit", "needed"} <= set(d.relaxations.columns)
    pd.testing.assert_frame_equal(direct.relaxations, via_failure.relaxations)
    found = {(r.group, r.parameter): r.needed for r in direct.relaxations.itertuples()
             if r.alone and r.group != "bounds"}
    for key, needed in known.items():
        assert found[key] == pytest.approx(needed, abs=1e-5)
    for (group, parameter), needed in found.items():
        if parameter == "rows":
            continue
        given = next(r.limit for r in direct.relaxations.itertuples() if r.group == group)
        outward = np.sign(needed - given)
        assert solves(pool, with_limit(kwargs, group, parameter, needed + outward * 1e-6))
        assert not solves(pool, with_limit(kwargs, group, parameter, needed - outward * 1e-4))
    caps = direct.relaxations[direct.relaxations["group"] == "bounds"]
    if len(caps):  # every stock's cap raised as listed, then the total short by 1e-4
        rise = caps["needed"] - caps["limit"]
        for shrink, feasible in ((-1e-6, True), (1e-4, False)):
            raised = [(r.item, r.limit + x * (1 - shrink / rise.sum()))
                      for r, x in zip(caps.itertuples(), rise)]
            bnds = dict(kwargs["bnds"], **{oid: (0, cap) for oid, cap in raised})
            assert solves(pool, dict(kwargs, bnds=bnds)) == feasible
    report = str(direct)
    assert report.startswith("Infeasible") and all(name in report for name in conflict - {"budget"})


def test_caps_below_one_are_explained_stock_by_stock(pool):
    bnds = {"*": (0, 0.02)}
    with pytest.raises(InvalidArgument):
        portfolio_optimize(pool, DATE, MinVariance(), bnds=bnds)
    d = diagnose(pool, DATE, MinVariance(), bnds=bnds)
    assert not d.feasible and d.conflict == ["budget", "bounds"]
    assert d.bound_sums == "the caps sum to 0.6, below 1"
    raise_by = (d.relaxations["needed"] - d.relaxations["limit"]).to_numpy()
    assert raise_by.sum() == pytest.approx(0.4, abs=1e-6) and (raise_by >= 0).all()
    raised = dict(bnds, **{r.item: (0, r.needed + 1e-9) for r in d.relaxations.itertuples()})
    portfolio_optimize(pool, DATE, MinVariance(), bnds=raised, **CLARABEL)
    short = dict(bnds, **{r.item: (0, r.needed - 1e-4) for r in d.relaxations.itertuples()})
    with pytest.raises(InvalidArgument):
        portfolio_optimize(pool, DATE, MinVariance(), bnds=short)
    assert "the caps sum to 0.6, below 1" in str(d)


def test_a_dropped_soft_constraint_is_named_with_the_weights_returned(pool):
    top, members, _ = industry_of(pool)
    soft = vc.StockPoolLimit(members, lower_limit=0.3, hard=False)
    kwargs = dict(cons=[vc.IndustryConstraint(top, upper_limit=0.02), soft])
    with pytest.warns(OptimizerWarning):
        expected = portfolio_optimize(pool, DATE, MinVariance(), **kwargs)
    d = diagnose(pool, DATE, MinVariance(), **kwargs)
    assert not d.feasible and d.dropped == [repr(soft)]
    pd.testing.assert_series_equal(d.weights, expected)
    assert repr(soft) in d.conflict and "dropped the soft constraints" in str(d)


# (constraints, benchmark, group whose limit is priced, parameter, step)
def _priced():
    def industry(pool):
        top, _, _ = industry_of(pool)
        return [vc.IndustryConstraint(top, upper_limit=0.05)], None, "upper_limit", 1e-3

    def pool_weight(pool):
        _, members, _ = industry_of(pool)
        return [vc.StockPoolLimit(members, lower_limit=0.25)], None, "lower_limit", -1e-3

    def tracking_error(pool):
        return [vc.TrackingErrorLimit(0.12)], INDEX, "upper_limit", 1e-4

    def turnover(pool):
        return [vc.TurnoverLimit(pd.Series(0.1, index=pool[:10]), 0.3)], None, "upper_limit", 1e-3

    return [industry, pool_weight, tracking_error, turnover]


PRICED = _priced()


@pytest.mark.parametrize("case", PRICED, ids=[c.__name__ for c in PRICED])
def test_shadow_prices_match_finite_differences(pool, case):
    cons, benchmark, parameter, step = case(pool)
    kwargs = dict(bnds={"*": (0, 0.1)}, benchmark=benchmark)
    d = diagnose(pool, DATE, MinVariance(), cons=cons, **kwargs)
    assert d.feasible
    row = d.groups[d.groups["group"] == repr(cons[0])].iloc[0]
    assert row["binding"] and row["violation"] < 1e-4
    relaxed = with_limit(dict(kwargs, cons=cons), repr(cons[0]), parameter,
                         getattr(cons[0], parameter.replace("_limit", "")) + step)
    moved = diagnose(pool, DATE, MinVariance(), **relaxed)
    assert (d.objective_value - moved.objective_value) / abs(step) == \
        pytest.approx(row["shadow_price"], rel=0.05)


def test_feasible_table_reads_each_limit_in_its_own_units(pool):
    top, members, _ = industry_of(pool)
    cons = [vc.IndustryConstraint(top, upper_limit=0.05), vc.TrackingErrorLimit(0.5)]
    d = diagnose(pool, DATE, MinVariance(), bnds={"*": (0, 0.1)}, cons=cons, benchmark=INDEX)
    w = portfolio_optimize(pool, DATE, MinVariance(), bnds={"*": (0, 0.1)}, cons=cons, benchmark=INDEX)
    pd.testing.assert_series_equal(d.weights, w)
    rows = d.groups.set_index(["group", "item"])
    assert rows.loc[(repr(cons[0]), top), "value"] == pytest.approx(w[members].sum(), abs=1e-9)
    te = rows.loc[(repr(cons[1]), "tracking error")]
    assert te["limit"] == 0.5 and not te["binding"] and 0 < te["value"] < 0.5
    capped = rows.loc["bounds"]
    assert (capped[capped["side"] == "upper"]["limit"] == 0.1).all()
    assert set(capped.index) <= set(pool)


@pytest.mark.parametrize("objective", [
    lambda pool: MinVariance(),
    lambda pool: __import__("verdalis.objective", fromlist=["RiskParity"]).RiskParity(),
    lambda pool: __import__("verdalis.objective", fromlist=["MaxSharpeRatio"]).MaxSharpeRatio(
        expected_returns=pd.Series(np.linspace(0.02, 0.2, len(pool)), index=pool)),
], ids=["min_variance", "risk_parity", "max_sharpe"])
def test_feasible_diagnosis_gives_the_optimizer_s_weights_and_names_a_user_s_class(pool, objective):
    cons = [User(0.05), vc.StockPoolLimit(pool[:10], upper_limit=0.6)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        expected = portfolio_optimize(pool, DATE, objective(pool), cons=cons)
        d = diagnose(pool, DATE, objective(pool), cons=cons)
    assert d.feasible
    pd.testing.assert_series_equal(d.weights, expected)
    user = d.groups[d.groups["group"] == "User(0.05)"]
    assert len(user) == 1 and user["value"].iloc[0] >= 0.05 - 1e-6


def _volume_and_close(pool, window):
    """Independently: average positive volume in the last day's shares and the
    last close, from raw bars."""
    prev = corvana.get_previous_trading_date(DATE)
    start = corvana.get_previous_trading_date(DATE, window)
    raw = corvana.get_price(pool, start, prev, fields=["close", "volume"], adjust_type="none")
    post = corvana.get_price(pool, start, prev, fields="close", adjust_type="post")["close"]
    factor = (post / raw["close"]).groupby(level=0).transform(lambda s: s.iloc[-1] / s)
    volume = raw["volume"] * factor
    return volume[volume > 0].groupby(level=0).mean(), raw["close"].groupby(level=0).last()


def test_trade_limits_read_in_shares_of_volume_and_their_prices_add_up(pool):
    # A book in cash, a share of the average daily volume per stock chosen so
    # that the caps sum to 1.5: the diagnosis reads each stock's trade as a
    # share of its average volume (not as a weight), and the prices of the
    # stocks' limits, which share one parameter, add up to the objective's
    # change when that parameter moves.
    window, book = 5, 2e9
    average, close = _volume_and_close(pool, window)
    upper = float("{:.2g}".format(1.5 / (average * close / book).sum()))
    limit = vc.TransactionVolumeLimit(upper_limit=upper, cash=book, window=window)
    kwargs = dict(cons=[limit])
    d = diagnose(pool, DATE, MinVariance(), **kwargs)
    assert d.feasible
    rows = d.groups[d.groups["group"] == repr(limit)]
    assert len(rows) and (rows["side"] == "upper").all() and (rows["limit"] == upper).all()
    for row in rows.itertuples():
        expected = d.weights[row.item] * book / close[row.item] / average[row.item]
        assert row.value == pytest.approx(expected, rel=1e-9)
    priced = rows["shadow_price"].sum()
    assert priced > 0
    step = upper * 1e-3
    moved = diagnose(pool, DATE, MinVariance(), **with_limit(kwargs, repr(limit), "upper_limit", upper + step))
    assert (d.objective_value - moved.objective_value) / step == pytest.approx(priced, rel=0.05)


class UserPair(User):
    """A user's own two-element row: the first two stocks hold at least `share` each."""

    def to_constraints(self, g, zeta, helper):
        return [g[0:2] >= zeta * self.share]

    def __repr__(self):
        return "UserPair({})".format(self.share)


def test_a_user_s_row_of_a_few_elements_is_read_element_by_element(pool):
    # neither one row nor one a stock: each element labelled with its row and place
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        d = diagnose(pool, DATE, MinVariance(), cons=[UserPair(0.05)])
    user = d.groups[d.groups["group"] == "UserPair(0.05)"]
    assert list(user["item"]) == ["row 0[0]", "row 0[1]"]
    assert list(user["value"]) == pytest.approx(list(d.weights.reindex(pool[:2])), abs=1e-9)
    assert (user["value"] >= 0.05 - 1e-6).all()


def test_trade_limits_too_tight_to_invest_the_book_are_relaxed_as_a_trade_bound(pool):
    # caps summing to half the book: a book in cash cannot be invested, and the
    # relaxation names the trade bound per stock (in weight), not generic rows
    window, book = 5, 2e9
    average, close = _volume_and_close(pool, window)
    upper = float("{:.2g}".format(0.5 / (average * close / book).sum()))
    limit = vc.TransactionVolumeLimit(upper_limit=upper, cash=book, window=window)
    d = diagnose(pool, DATE, MinVariance(), cons=[limit])
    assert not d.feasible
    (row,) = [r for r in d.relaxations.itertuples() if r.group == repr(limit)]
    assert row.parameter == "trade bound per stock (weight)"
    # one slack for every stock: the caps in weight fall short of the book by
    # 1 - their sum, shared by the stocks
    caps = (upper * average * close / book).reindex(pool)
    assert row.needed == pytest.approx((1 - caps.sum()) / len(pool), rel=1e-3)
