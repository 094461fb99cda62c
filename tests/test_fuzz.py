"""Every argument combination gets weights that honour the request, or a clear refusal.

A property-based test over the arguments of portfolio_optimize and the
objective and benchmark constructors, on the small demo market.  The outcome
of every case is one of: weights (finite, summing to 1, within the bounds),
InvalidArgument, OptimizationFailed, or an error documented to propagate
(the data service's, the date parser's, the caller's own objects').  Anything
else is an internal error and fails.  Malformed bounds of every shape and
objectives fed extreme numbers (near the float range, NaN, infinities) must
end in weights or one of the package's exceptions.

``VERDALIS_FUZZ_EXAMPLES`` sets the number of cases (default 100, a few
seconds to half a minute); ``scripts/fuzz.sh`` runs a long randomised session
and prints the outcome counts.
"""
import collections
import datetime
import os
import threading
import traceback
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvana
import verdalis.objective as vo
from verdalis.benchmark import OptimizeBenchmark
from verdalis.exception import InvalidArgument, OptimizationFailed
from verdalis.optimize import parse_bnds, portfolio_optimize

EXAMPLES = int(os.environ.get("VERDALIS_FUZZ_EXAMPLES", "100"))
# the suite replays the same cases; a long run explores new ones
RANDOM = bool(os.environ.get("VERDALIS_FUZZ_RANDOM"))
OUTCOMES = collections.Counter()
REFUSALS = collections.Counter()  # refusal texts, for the long run's report
BOUND_TOLERANCE = 1e-9
SUM_TOLERANCE = 1e-12


class CallerError(Exception):
    """Raised by the caller's own objects; must reach the caller unchanged."""


@pytest.fixture(scope="module")
def market(small_market):
    instruments = corvana.all_instruments()
    stocks = sorted(instruments.loc[instruments["type"] == "CS", "order_book_id"])
    others = sorted(instruments.loc[instruments["type"] != "CS", "order_book_id"])
    return stocks, others


# --------------------------------------------------------------------------- strategies

GOOD_NUMBERS = st.one_of(st.floats(0.0, 0.5), st.sampled_from([0.0, 1.0, 0.05, 0.2, 3]))
NUMBERS = st.one_of(
    st.floats(-0.5, 1.5), st.sampled_from([0.0, 1.0, 0.05, 0.2, np.nan, np.inf, -np.inf, -1e300]),
    st.integers(-2, 3), st.sampled_from(["0.1", "x", None, [0.1], True]))
# Numbers at the edges of the float range, for objective data.
EXTREME = st.one_of(
    st.sampled_from([1e300, -1e300, 1.7e308, -1.7e308, 1e-300, 5e-324, 1e6, -1e7, 1e15]),
    st.floats(allow_nan=False, allow_infinity=False, min_value=-1e308, max_value=1e308))
# Bound limits and entries of every shape a caller may pass by mistake.
ODD_LIMITS = st.sampled_from([pd.NA, 0.1j, [0.1], (0.1,), {"x": 1}, np.array([0.1, 0.2]), 10 ** 400,
                              np.float32(0.3), np.int64(0), "0.2", b"0.1", object()])
ODD_ENTRIES = st.one_of(
    st.sampled_from([None, (0.1,), (0.1, 0.2, 0.3), {"lo": 0, "hi": 1}, {"lo": 0.1}, 0.1j, "ab", 5,
                     [0.0, 0.5], np.array([0.0, 0.5])]),
    st.tuples(st.one_of(NUMBERS, ODD_LIMITS), st.one_of(NUMBERS, ODD_LIMITS)))
TIGHT = st.floats(0.2, 0.5)


@st.composite
def pools(draw, stocks, others):
    odd = st.one_of(st.sampled_from(others), st.sampled_from(["NOPE.XSHE", "", "000001"]),
                    st.sampled_from([5, None, ["A"], 1.5, b"000001.XSHE"]))
    members = draw(st.lists(st.sampled_from(stocks), min_size=draw(st.sampled_from([0, 1, 5, 5, 5])),
                            max_size=30))
    if draw(st.integers(0, 9)) == 0:
        members.insert(draw(st.integers(0, len(members))), draw(odd))
    shape = draw(st.sampled_from(["list"] * 12 + ["tuple", "str", "gen", "junk"]))
    if shape == "tuple":
        return tuple(members)
    if shape == "str":
        return draw(st.sampled_from(stocks))
    if shape == "gen":
        return (m for m in members)
    if shape == "junk":
        return draw(st.sampled_from([5, None, 1.5]))
    return members


DATES = st.one_of(
    st.dates(datetime.date(2020, 9, 1), datetime.date(2021, 12, 31)),
    st.dates(datetime.date(2020, 9, 1), datetime.date(2021, 12, 31)).map(str),
    st.dates(datetime.date(2019, 6, 1), datetime.date(2022, 6, 30)),
    st.sampled_from([pd.NaT, None, 20210601, "not a date", "2021-02-30", np.nan,
                     pd.Timestamp("2021-06-01 10:00"), datetime.datetime(2021, 3, 1)]))


@st.composite
def bounds(draw, stocks):
    kind = draw(st.sampled_from(["none"] * 3 + ["tight"] * 4 + ["wild", "junk", "odd", "odd"]))
    if kind == "none":
        return None
    if kind == "junk":
        return draw(st.sampled_from(["junk", [("*", (0, 1))], 5]))
    bnds = {}
    if kind == "odd":
        # any entry, "*" or a stock's, is refused by name or read as a pair
        if draw(st.booleans()):
            bnds["*"] = draw(ODD_ENTRIES)
        for oid in draw(st.lists(st.sampled_from(stocks), max_size=4)):
            bnds[oid] = draw(ODD_ENTRIES)
        return bnds
    if kind == "tight":
        u = draw(TIGHT)
        bnds["*"] = (draw(st.sampled_from([0.0, None])), u)
    else:
        star = draw(st.one_of(st.tuples(NUMBERS, NUMBERS), st.sampled_from([(0.1,), "ab", 5, None])))
        if draw(st.booleans()):
            bnds["*"] = star
    for oid in draw(st.lists(st.sampled_from(stocks), max_size=5)):
        bnds[oid] = draw(st.one_of(st.tuples(NUMBERS, NUMBERS), st.sampled_from([0.5, (0.1, 0.2, 0.3)])))
    return bnds


def series_data(stocks, values=NUMBERS):
    labels = st.one_of(st.sampled_from(stocks), st.sampled_from(["NOPE", 0, 1]))
    return st.one_of(
        st.dictionaries(st.sampled_from(stocks), GOOD_NUMBERS, min_size=1, max_size=60),
        st.dictionaries(st.sampled_from(stocks), GOOD_NUMBERS, min_size=1, max_size=60),
        # a few extreme values among ordinary ones
        st.dictionaries(st.sampled_from(stocks), st.one_of(GOOD_NUMBERS, EXTREME), min_size=1, max_size=60),
        st.dictionaries(st.sampled_from(stocks), values, max_size=30),
        st.lists(st.tuples(labels, values), max_size=20).map(
            lambda items: pd.Series([v for _, v in items], index=[k for k, _ in items], dtype=object)),
        st.sampled_from([None, "junk", 5, {1, 2}]))


class Cost:
    def __init__(self, kind):
        self.kind = kind

    def get_penalty(self, g, helper):
        import cvxpy as cp
        return {"ok": 0.01 * cp.sum(g), "num": 0.5, "vec": g, "none": None, "nan": np.nan}[self.kind]


@st.composite
def objectives(draw, stocks):
    kind = draw(st.sampled_from(["min_var", "mv", "amv", "sharpe", "ir", "te", "active", "parity",
                                 "indicator", "style"] * 3 + ["junk"]))
    window = draw(st.sampled_from([20, 60, 252] * 4 + [0, -5, 1.5, "60", 10 ** 6, True]))
    returns = draw(st.one_of(st.none(), series_data(stocks)))
    if kind == "min_var":
        return vo.MinVariance()
    if kind in ("mv", "amv"):
        cls = vo.MeanVariance if kind == "mv" else vo.ActiveMeanVariance
        key = "expected_returns" if kind == "mv" else "expected_active_returns"
        cost = draw(st.sampled_from([None, None, Cost("ok"), Cost("num"), Cost("vec"), Cost("none"),
                                     Cost("nan"), "tc"]))
        aversion = draw(st.one_of(GOOD_NUMBERS, GOOD_NUMBERS, NUMBERS))
        return cls(**{key: returns}, window=window, transaction_cost_model=cost,
                   risk_aversion_coefficient=aversion)
    if kind == "sharpe":
        return vo.MaxSharpeRatio(expected_returns=returns, window=window)
    if kind == "ir":
        return vo.MaxInformationRatio(expected_active_returns=returns, window=window)
    if kind == "te":
        return vo.MinTrackingError()
    if kind == "active":
        return vo.MinActiveVariance()
    if kind == "parity":
        return vo.RiskParity()
    if kind == "indicator":
        return vo.MaxIndicator(draw(series_data(stocks)))
    if kind == "style":
        styles = st.sampled_from(list(vo.STYLE_FACTORS) + ["value"])
        good = st.dictionaries(st.sampled_from(list(vo.STYLE_FACTORS)), GOOD_NUMBERS, min_size=1, max_size=4)
        target = draw(st.one_of(good, good, st.dictionaries(styles, NUMBERS, max_size=4),
                                st.sampled_from([None, 5])))
        priority = draw(st.one_of(st.none(), st.none(), st.dictionaries(styles, NUMBERS, max_size=3)))
        return vo.MinStyleDeviation(target, relative=draw(st.booleans()), priority=priority)
    return draw(st.sampled_from([object(), vo.MinVariance, None]))


class Custom(OptimizeBenchmark):
    def __init__(self, weight, expected):
        self.weight, self.expected = weight, expected

    def get_weight(self, date):
        if isinstance(self.weight, str) and self.weight == "raise":
            raise CallerError("get_weight")
        return self.weight

    def get_expected_returns(self, date, window=252):
        return self.expected


@st.composite
def benchmarks(draw, stocks, others):
    kind = draw(st.sampled_from(["none"] * 4 + ["index"] * 4 + ["custom"] * 2 + ["id", "junk"]))
    if kind == "none":
        return None
    if kind == "index":
        return draw(st.sampled_from(["000300.XSHG", "000905.XSHG", "000852.XSHG"]))
    if kind == "id":
        return draw(st.sampled_from(others + stocks[:3] + ["NOPE.XSHG"]))
    if kind == "junk":
        return draw(st.sampled_from([5, ["000300.XSHG"], object()]))
    weight = draw(st.one_of(series_data(stocks, st.floats(0, 1)), series_data(stocks, st.floats(0, 1)),
                            st.just("raise"), st.just(pd.Series(dtype=float))))
    expected = draw(st.sampled_from([0.05, 0.05, np.float64(0.02), np.nan, None, "x", pd.Series([0.1])]))
    return Custom(weight, expected)


# --------------------------------------------------------------------------- the property


def classify(call):
    """Run one case; return its outcome class, failing on an internal error."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = call()
    except InvalidArgument as exc:
        REFUSALS[str(exc)[:24]] += 1
        return "InvalidArgument"
    except OptimizationFailed:
        return "OptimizationFailed"
    except CallerError:
        return "caller's error"
    except Exception as exc:
        frames = traceback.extract_tb(exc.__traceback__)
        origin = frames[-1].filename if frames else ""
        if "/corvana/" in origin or "/dateutil/" in origin:
            return "data service or date parser: " + type(exc).__name__
        raise AssertionError("internal error: {!r}".format(exc)) from exc
    return result


def check_weights(w, bnds):
    assert isinstance(w, pd.Series) and len(w) > 0
    values = w.to_numpy(dtype=float)
    assert np.isfinite(values).all()
    assert abs(values.sum() - 1.0) <= SUM_TOLERANCE
    lower, upper = (np.zeros(len(w)), np.ones(len(w))) if bnds is None else parse_bnds(bnds, list(w.index))
    assert (values >= np.maximum(lower, 0.0) - BOUND_TOLERANCE).all()
    assert (values <= np.minimum(upper, 1.0) + BOUND_TOLERANCE).all()


@pytest.fixture(scope="module")
def strategies(market):
    stocks, others = market
    return stocks, others


def test_every_outcome_is_weights_or_a_clear_refusal(strategies):
    stocks, others = strategies

    @settings(max_examples=EXAMPLES, deadline=None, derandomize=not RANDOM, database=None,
              suppress_health_check=list(HealthCheck))
    @given(data=st.data())
    def case(data):
        pool = data.draw(pools(stocks, others), "pool")
        date = data.draw(DATES, "date")
        bnds = data.draw(bounds(stocks), "bnds")
        benchmark = data.draw(benchmarks(stocks, others), "benchmark")
        made = {}

        def call():
            made["objective"] = data.draw(objectives(stocks), "objective")
            return portfolio_optimize(pool, date, objective=made["objective"], bnds=bnds,
                                      benchmark=benchmark)

        outcome = classify(call)
        if isinstance(outcome, pd.Series):
            check_weights(outcome, bnds)
            outcome = "weights"
        OUTCOMES[outcome] += 1

    case()
    if os.environ.get("VERDALIS_FUZZ_REPORT"):
        print("\nfuzz outcomes:", dict(OUTCOMES), "total", sum(OUTCOMES.values()))
        print("most frequent refusals:", REFUSALS.most_common(15))


@pytest.mark.filterwarnings("ignore")
def test_threads_get_bitwise_identical_weights(small_market, market):
    stocks, _ = market
    pool = stocks[5:25]
    kwargs = dict(bnds={"*": (0.0, 0.1)}, benchmark="000300.XSHG", objective=vo.MinTrackingError())
    results, errors = [None] * 8, []
    barrier = threading.Barrier(8)

    def run(i):
        try:
            barrier.wait()
            results[i] = portfolio_optimize(pool, "2021-06-01", **kwargs).to_numpy()
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert all(r.tobytes() == results[0].tobytes() for r in results)
