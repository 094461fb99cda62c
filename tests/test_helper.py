import datetime

import numpy as np
import pandas as pd
import pytest

import corvana
from verdalis.const import STYLE_FACTORS, CovModel, IndustryClassification, RiskModel
from verdalis.exception import InvalidArgument, OptimizerWarning
from verdalis.helper import OptimizeHelper, _factor_root

from fakes import warned_from

INDEX = "000300.XSHG"
DATE = datetime.date(2021, 6, 15)


class RecordingBenchmark:
    """Index weights from corvana; remembers the dates it was asked for."""

    def __init__(self, weights="index"):
        self.weights = weights
        self.dates = []

    def get_weight(self, date):
        self.dates.append(date)
        if isinstance(self.weights, str):
            return corvana.index_weights(INDEX, date)
        return self.weights


@pytest.fixture(scope="module")
def universe(small_market):
    prev = corvana.get_previous_trading_date(DATE)
    members = corvana.index_components(INDEX, prev)
    stocks = corvana.all_instruments(type="CS", date=prev)["order_book_id"].tolist()
    covered = corvana.get_risk_exposure(stocks, prev).index.tolist()
    outside = [s for s in covered if s not in members]
    # pool: three index members and four other covered stocks, deliberately unsorted
    pool = [members[2], outside[0], members[0], outside[3], outside[1], members[5], outside[2]]
    return {"prev": prev, "members": members, "pool": pool}


def make(pool, benchmark=None, date=DATE, cov_model=CovModel.FACTOR_MODEL_DAILY,
         risk_model=RiskModel.V1, fra=1.0, sra=1.0):
    return OptimizeHelper(pool, date, benchmark, cov_model, risk_model, fra, sra)


def reference_cov(ids, date, horizon="daily", version="v1", gone=None):
    """fra=sra=1 covariance rebuilt straight from the corvana tables.

    ``gone``: an id the risk model is treated as not covering: sws industry
    factor (if the model has it), zero styles, median specific variance.
    """
    cov = corvana.get_factor_covariance(date, horizon, version)
    expo = corvana.get_risk_exposure(ids, date, version).reindex(ids)
    spec = corvana.get_specific_risk(ids, date, horizon, version).reindex(ids)
    if gone is not None:
        expo.loc[gone, STYLE_FACTORS] = 0.0
        expo.loc[gone, "industry"] = corvana.get_industry([gone], "sws").iloc[0]
        spec[gone] = spec.drop(index=gone).median()
    X = pd.DataFrame(0.0, index=ids, columns=cov.index)
    X["country"] = 1.0
    for sid, industry in expo["industry"].items():
        if industry in X.columns:
            X.loc[sid, industry] = 1.0
    X[STYLE_FACTORS] = expo[STYLE_FACTORS].values
    return 252 * (X.values @ cov.values @ X.values.T + np.diag(spec.values))


def test_benchmark_union_and_weights(universe):
    pool, members = universe["pool"], universe["members"]
    bench = RecordingBenchmark()
    h = make(pool, bench)

    assert h.prev_trading_date == universe["prev"] < DATE
    assert h.benchmark_components == sorted(members)
    outside = sorted(set(members) - set(pool))
    assert h.union_components == pool + outside
    w = h.benchmark_weight
    assert list(w.index) == h.union_components
    assert w.sum() == pytest.approx(1.0)
    assert (w[[s for s in pool if s not in members]] == 0).all()
    assert (w[members] > 0).all()
    # weights asked once, for the previous trading date only
    h.get_union_cov_matrix(), h.get_benchmark_style(), h.get_benchmark_industry_weight("sws")
    assert bench.dates == [universe["prev"]]


def test_benchmark_weights_cleaned_and_normalised(universe):
    pool = universe["pool"][:3]
    other = universe["members"][1]
    raw = pd.Series({other: 2.0, pool[1]: 6.0, "600000.XSHG": 0.0,
                     "600001.XSHG": np.nan, "600002.XSHG": -1.0})
    h = make(pool, RecordingBenchmark(weights=raw))
    assert h.benchmark_components == sorted([other, pool[1]])
    assert h.benchmark_weight.to_dict() == pytest.approx(
        {pool[0]: 0.0, pool[1]: 0.75, pool[2]: 0.0, other: 0.25})

    # weighted ids must be stocks the market data know
    for bad in (None, pd.Series({pool[0]: 0.0}), pd.Series({"000001.XSHE": 1.0}),
                pd.Series({5: 1.0}), ["junk"], pd.Series({pool[0]: "x"})):
        with pytest.raises(InvalidArgument, match="benchmark"):
            make(pool, RecordingBenchmark(weights=bad)).benchmark_weight


def test_covariance_matches_risk_model(universe):
    pool, prev = universe["pool"], universe["prev"]
    h = make(pool, RecordingBenchmark())
    cov = h.get_cov_matrix()
    assert cov.shape == (len(pool), len(pool))
    assert np.array_equal(cov, cov.T)
    assert np.linalg.eigvalsh(cov).min() > -1e-12 * np.abs(cov).max()

    B, d = h.get_factor_risk()
    assert B.shape[0] == len(pool) and d.shape == (len(pool),)
    np.testing.assert_allclose(cov, B @ B.T + np.diag(d), rtol=1e-12, atol=1e-15)

    snapshot = h.risk_model_date
    assert snapshot == corvana.get_risk_model_date(prev) and snapshot <= prev
    np.testing.assert_allclose(cov, reference_cov(pool, snapshot), rtol=1e-9, atol=1e-14)

    union = h.get_union_cov_matrix()
    n = len(pool)
    assert union.shape == (len(h.union_components),) * 2
    np.testing.assert_array_equal(union[:n, :n], cov)
    np.testing.assert_allclose(union, reference_cov(h.union_components, snapshot), rtol=1e-9, atol=1e-14)
    Bu, du = h.get_union_factor_risk()
    np.testing.assert_allclose(union, Bu @ Bu.T + np.diag(du), rtol=1e-12, atol=1e-15)


def test_no_look_ahead_on_snapshot_day(small_market):
    # on a month's last trading day the snapshot of that day is not yet known
    month_end = max(corvana.get_trading_dates("2021-03-01", "2021-03-31"))
    assert corvana.get_risk_model_date(month_end) == month_end
    stocks = corvana.index_components(INDEX, month_end)[:3]
    h = make(stocks, date=month_end)
    h.get_cov_matrix()
    assert h.risk_model_date < month_end


def test_models_and_aversion(universe):
    pool = universe["pool"]
    base = make(pool).get_cov_matrix()
    factor_part = make(pool, sra=0.0).get_cov_matrix()
    specific_part = make(pool, fra=0.0).get_cov_matrix()
    # fra = 0 leaves the specific variances alone on the diagonal
    assert np.count_nonzero(specific_part - np.diag(np.diag(specific_part))) == 0
    assert (np.diag(specific_part) > 0).all()
    np.testing.assert_allclose(base, factor_part + specific_part, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(make(pool, fra=2.0, sra=3.0).get_cov_matrix(),
                               2 * factor_part + 3 * specific_part, rtol=1e-12, atol=1e-15)

    monthly = make(pool, cov_model=CovModel.FACTOR_MODEL_MONTHLY).get_cov_matrix()
    np.testing.assert_array_equal(make(pool, cov_model="monthly").get_cov_matrix(), monthly)
    assert not np.allclose(monthly, base)
    np.testing.assert_array_equal(make(pool, risk_model="v1").get_cov_matrix(), base)

    for kwargs, text in (({"fra": -1}, "factor_risk_aversion 不能小于0，传入值为：-1"),
                         ({"sra": -0.5}, "specific_risk_aversion 不能小于0，传入值为：-0.5"),
                         ({"fra": float("nan")}, "factor_risk_aversion"),
                         ({"cov_model": "weekly"}, "cov_model")):
        with pytest.raises(InvalidArgument) as info:
            make(pool, **kwargs)
        assert text in str(info.value)


def test_uncovered_stock_is_filled_with_one_warning(universe, monkeypatch):
    pool = universe["pool"]
    # a stock whose sws industry is one of the risk model's industry factors
    factors = corvana.get_factor_covariance(universe["prev"]).index
    sws = corvana.get_industry(pool, "sws")
    gone = next(s for s in pool if sws[s] in factors)
    real_expo, real_spec = corvana.get_risk_exposure, corvana.get_specific_risk
    calls = []

    def expo(ids, *args):
        calls.append(list(ids))
        df = real_expo(ids, *args)
        return df.drop(index=gone)

    monkeypatch.setattr(corvana, "get_risk_exposure", expo)
    monkeypatch.setattr(corvana, "get_specific_risk", lambda ids, *a: real_spec(ids, *a).drop(index=gone))

    h = make(pool, RecordingBenchmark())
    with pytest.warns(OptimizerWarning, match=gone) as record:
        cov = h.get_cov_matrix()
    assert len(record) == 1 and warned_from(record[0], __file__)
    # later members reuse the loaded data: no second query, no second warning
    union = h.get_union_cov_matrix()
    exposure = h.get_factor_exposure()
    assert len(calls) == 1
    assert np.isfinite(cov).all() and np.isfinite(union).all()
    assert (exposure.loc[gone] == 0).all()

    np.testing.assert_allclose(
        union, reference_cov(h.union_components, h.risk_model_date, gone=gone), rtol=1e-9, atol=1e-14)


def test_missing_benchmark(universe):
    h = make(universe["pool"])
    for member in ("benchmark_components", "union_components", "benchmark_weight"):
        with pytest.raises(InvalidArgument, match="{} 需要传入 benchmark 参数".format(member)):
            getattr(h, member)
    for method, args in (("get_union_cov_matrix", ()), ("get_union_factor_risk", ()),
                         ("get_benchmark_style", ()), ("get_benchmark_industry_weight", ("sws",))):
        with pytest.raises(InvalidArgument, match="^{} 需要传入 benchmark 参数$".format(method)):
            getattr(h, method)(*args)
    # members that need no benchmark still work
    assert h.get_cov_matrix().shape == (7, 7)


def test_industries(universe):
    pool, members = universe["pool"], universe["members"]
    h = make(pool, RecordingBenchmark())
    sws = h.get_industry_mapping(IndustryClassification.SWS)
    assert list(sws.index) == pool
    assert sws.tolist() == corvana.get_industry(pool, "sws").tolist()
    assert h.get_industry_mapping("sws").equals(sws)
    citics = h.get_industry_mapping(IndustryClassification.CITICS)
    assert citics.tolist() == corvana.get_industry(pool, "citics").tolist()

    custom = {pool[0]: "A", pool[2]: "B", "999999.XSHG": "C"}
    for given in (custom, pd.Series(custom)):
        mapping = h.get_industry_mapping(given)
        assert mapping.tolist() == ["A", "UNKNOWN", "B"] + ["UNKNOWN"] * (len(pool) - 3)

    weights = corvana.index_weights(INDEX, universe["prev"])
    expected = weights.groupby(corvana.get_industry(list(weights.index), "sws").values).sum()
    got = h.get_benchmark_industry_weight(IndustryClassification.SWS)
    assert got.sum() == pytest.approx(1.0)
    pd.testing.assert_series_equal(got.sort_index(), expected.sort_index(), check_names=False)

    by_member = pd.Series({m: ("first" if m == members[0] else "rest") for m in members})
    custom_weight = h.get_benchmark_industry_weight(by_member)
    assert custom_weight["first"] == pytest.approx(weights[members[0]])

    with pytest.raises(InvalidArgument, match="classification"):
        h.get_industry_mapping("gics")


class _Standard:
    """Not the enum, but carries a standard's value the way an enum member does."""
    value = "CITICS"


@pytest.mark.parametrize("given, expected", [
    ("SWS", "sws"), ("Citics", "citics"), (_Standard(), "citics"),
])
def test_classification_forms(universe, given, expected):
    h = make(universe["pool"])
    assert h.get_industry_mapping(given).tolist() == corvana.get_industry(universe["pool"], expected).tolist()


@pytest.mark.parametrize("given, message", [
    ("gics", "无效的 classification：gics，可选值为：sws, citics"),
    (3, "classification: 期望传入 IndustryClassification、dict 或 pd.Series，传入值为：3"),
    (None, "classification: 期望传入 IndustryClassification、dict 或 pd.Series，传入值为：None"),
    (pd.Series(["A", "B", "C"], index=["X", "Y", "X"]), "自定义行业分类中存在重复的 order_book_id：X"),
])
def test_classification_refused(universe, given, message):
    h = make(universe["pool"], RecordingBenchmark())
    for method in (h.get_industry_mapping, h.get_benchmark_industry_weight):
        with pytest.raises(InvalidArgument) as info:
            method(given)
        assert str(info.value) == message


def test_style_exposures(universe):
    pool = universe["pool"]
    h = make(pool, RecordingBenchmark())
    exposure = h.get_factor_exposure()
    assert list(exposure.columns) == STYLE_FACTORS and list(exposure.index) == pool
    expo = corvana.get_risk_exposure(pool, h.risk_model_date)
    np.testing.assert_allclose(exposure.values, expo.loc[pool, STYLE_FACTORS].values)

    weights = h.benchmark_weight
    union_expo = corvana.get_risk_exposure(h.union_components, h.risk_model_date).loc[h.union_components]
    expected = weights.values @ union_expo[STYLE_FACTORS].values
    np.testing.assert_allclose(h.get_benchmark_style()[STYLE_FACTORS].values, expected)


def _scribble(value):
    """Overwrite every entry of a returned frame, series or array in place
    (a read-only array refuses, which is as good)."""
    try:
        if isinstance(value, pd.Series) and value.dtype == object:
            value.iloc[:] = "edited"
        elif isinstance(value, (pd.DataFrame, pd.Series)):
            value.iloc[:] = 99.0
        else:
            value[...] = 99.0
    except ValueError:
        pass


@pytest.mark.parametrize("read", [
    lambda h: h.get_factor_exposure(),
    lambda h: h.get_benchmark_style(),
    lambda h: h.get_industry_mapping(IndustryClassification.SWS),
    lambda h: h.get_benchmark_industry_weight(IndustryClassification.SWS),
    lambda h: h.get_cov_matrix(),
    lambda h: h.get_union_cov_matrix(),
    lambda h: h.benchmark_weight,
    lambda h: h.get_factor_model()[0],
], ids=["exposure", "benchmark_style", "industry", "benchmark_industry", "cov", "union_cov",
        "benchmark_weight", "factor_model"])
def test_caller_edits_do_not_reach_later_reads(universe, read):
    h = make(universe["pool"], RecordingBenchmark())
    first = read(h)
    snapshot = first.copy()
    _scribble(first)
    again = read(h)
    if isinstance(snapshot, (pd.DataFrame, pd.Series)):
        assert again.equals(snapshot)
    else:
        np.testing.assert_array_equal(again, snapshot)


@pytest.mark.parametrize("F, columns, product", [
    (np.zeros((3, 3)), 1, np.zeros((3, 3))),      # no risk at all: one zero column
    (-np.eye(3), 1, np.zeros((3, 3))),            # nothing positive: clipped to zero, not NaN
    (np.diag([4.0, 1.0, 0.0, 0.0]), 2, None),     # singular: one column per positive eigenvalue
    (np.array([[2.0, 1.0], [1.0, 2.0]]), 2, None),
])
def test_factor_root(F, columns, product):
    L = _factor_root(F)
    assert L.shape == (len(F), columns) and np.isfinite(L).all()
    np.testing.assert_allclose(L @ L.T, F if product is None else product, atol=1e-12)


def test_covariance_of_a_pool_wider_than_one_tile():
    # the exact symmetrisation copies tiles of 256 rows; 600 rows span three
    rng = np.random.default_rng(3)
    B, d = rng.normal(size=(600, 5)), rng.uniform(0.01, 0.1, size=600)
    cov = OptimizeHelper._cov_from_factors(B, d)
    assert np.array_equal(cov, cov.T)
    np.testing.assert_allclose(cov, B @ B.T + np.diag(d), rtol=1e-12, atol=1e-14)


def _ids(n):
    return ["{:06d}.XSHE".format(i) for i in range(n)]


@pytest.mark.parametrize("n, shown", [
    (1, "000000.XSHE"),
    (20, ", ".join(_ids(20))),
    (21, ", ".join(_ids(20)) + " 等共 21 只"),   # at most 20 spelled out, then the count
])
def test_duplicate_pool_ids_named(n, shown):
    with pytest.raises(InvalidArgument) as info:
        make(_ids(n) * 2)
    assert str(info.value) == "股票池中存在重复的 order_book_id：" + shown


@pytest.mark.parametrize("weights, shown", [(["junk"], "['junk']"), ({"a": "b"}, "{'a': 'b'}")])
def test_unreadable_benchmark_weights_are_shown(universe, weights, shown):
    with pytest.raises(InvalidArgument) as info:
        make(universe["pool"], RecordingBenchmark(weights=weights)).benchmark_weight
    assert str(info.value) == ("benchmark 的 get_weight 应返回以 order_book_id 为索引的数值 pd.Series，"
                               "返回值为：" + shown)


def test_custom_industry_codes_keep_their_type(universe):
    pool = universe["pool"]
    mapping = make(pool).get_industry_mapping({pool[0]: 7, pool[1]: 8})
    assert mapping.astype(str).tolist() == ["7", "8"] + ["UNKNOWN"] * (len(pool) - 2)


def test_labels_of_style_and_factor_tables(universe):
    h = make(universe["pool"], RecordingBenchmark())
    style = h.get_benchmark_style()
    assert (style.name, style.index.name, list(style.index)) == ("exposure", "style", STYLE_FACTORS)
    X, F = h.get_factor_model()
    factors = list(corvana.get_factor_covariance(h.risk_model_date).index)
    assert list(X.columns) == list(F.index) == list(F.columns) == factors


@pytest.mark.parametrize("benchmark", [None, RecordingBenchmark()], ids=["pool", "union"])
def test_covariance_is_computed_once(universe, monkeypatch, benchmark):
    real = OptimizeHelper._cov_from_factors
    calls = []

    def counting(B, d):
        calls.append(len(d))
        return real(B, d)

    monkeypatch.setattr(OptimizeHelper, "_cov_from_factors", staticmethod(counting))
    h = make(universe["pool"], benchmark)
    for _ in range(2):
        h.get_cov_matrix()
        if benchmark is not None:
            h.get_union_cov_matrix()
    # with a benchmark the pool's matrix is the union's leading block
    assert calls == [len(h._universe)]
