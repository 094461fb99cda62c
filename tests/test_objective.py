"""Objectives checked against independent numeric references on explicit data."""
import datetime
import inspect

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest
from scipy.optimize import minimize

import verdalis.objective as vo
from verdalis.const import STYLE_FACTORS
from verdalis.exception import InvalidArgument, OptimizerWarning

from fakes import FakeHelper, random_factor_model

IDS = ["A", "B", "C", "D"]
OUTSIDE = ["X", "Y"]
BENCH_W = {"A": 0.3, "C": 0.1, "X": 0.4, "Y": 0.2}
MU = {"A": 0.12, "B": -0.03, "C": 0.08, "D": 0.2}

ALL_CLASSES = ["MinVariance", "MinActiveVariance", "MinTrackingError", "MeanVariance",
               "ActiveMeanVariance", "MaxSharpeRatio", "MaxInformationRatio", "MaxIndicator",
               "MinStyleDeviation", "RiskParity"]


class FakeBenchmark:
    def __init__(self, expected=0.05):
        self.expected = expected
        self.calls = []

    def get_expected_returns(self, date, window=252):
        self.calls.append((date, window))
        return self.expected


class HistoryClient:
    """Data client serving fixed daily change rates; records every call."""

    def __init__(self, rates):
        self.rates = rates
        self.calls = []

    def trading_date_offset(self, date, n):
        self.calls.append(("trading_date_offset", date, n))
        return date - datetime.timedelta(days=-n)

    def get_price_change_rate(self, ids, start, end):
        self.calls.append(("get_price_change_rate", list(ids), start, end))
        return self.rates[[i for i in ids if i in self.rates.columns]]


def helper(factor=True, ids=IDS, outside=OUTSIDE, **kw):
    rng = np.random.default_rng(7)
    exposure = pd.DataFrame(rng.uniform(-1, 1, (len(ids), len(STYLE_FACTORS))), index=ids,
                            columns=STYLE_FACTORS)
    kw.setdefault("benchmark", FakeBenchmark())
    kw.setdefault("benchmark_style", pd.Series(0.3, index=STYLE_FACTORS))
    return FakeHelper(ids, outside=outside, benchmark_weight=BENCH_W, factor=factor,
                      exposure=exposure, seed=3, **kw)


def sigma(h, union=False):
    full = h._B @ h._B.T + np.diag(h._d)
    n = len(h.union_components if union else h.order_book_ids)
    return full[:n, :n]


def weights_of(h):
    return np.array([0.1, 0.2, 0.3, 0.4])[:len(h.order_book_ids)]


def build(obj, h, zeta=1.0, g_value=None):
    """(objective expr, internal constraints, g) with g (and a variable zeta) fixed."""
    g = cp.Variable(len(h.order_book_ids), nonneg=True)
    g.value = weights_of(h) if g_value is None else np.asarray(g_value, float)
    if isinstance(zeta, cp.Variable):
        zeta.value = 1.0
    return obj.get_objective_expr(g, zeta, h), obj.get_internal_constraints(g, zeta, h), g


def solve(obj, h, solver=None, budget=True):
    """Minimise the objective the way the optimizer does: Σg = zeta, g ≥ 0."""
    n = len(h.order_book_ids)
    g = cp.Variable(n, nonneg=True)
    ratio = isinstance(obj, (vo.MaxSharpeRatio, vo.MaxInformationRatio))
    zeta = cp.Variable(nonneg=True) if ratio else 1.0
    cons = [cp.sum(g) == zeta] + obj.get_internal_constraints(g, zeta, h) if budget else []
    prob = cp.Problem(cp.Minimize(obj.get_objective_expr(g, zeta, h)), cons)
    prob.solve(solver=solver or obj.get_preferred_solver())
    assert prob.status == cp.OPTIMAL
    return g.value / g.value.sum()


# ------------------------------------------------------------------ interface


def test_module_namespace_and_base_class():
    names = list(vars(vo))
    expected = ["ABCMeta", "warnings", "cp", "np", "pd", "corvana", "InvalidArgument",
                "OptimizerWarning", "STYLE_FACTORS", "ensure_series", "OptimizationObjective"]
    assert names[names.index("ABCMeta"):][:len(expected) + len(ALL_CLASSES)] == expected + ALL_CLASSES
    base = vo.OptimizationObjective
    assert type(base) is vo.ABCMeta and base.__bases__ == (object,) and base.__doc__ is None
    obj = base()
    for call in (lambda: obj.get_objective_expr(1, 1, None),
                 lambda: obj.get_internal_constraints(1, 1, None), obj.get_preferred_solver):
        with pytest.raises(NotImplementedError):
            call()

    class Partial(vo.OptimizationObjective):  # a user's objective overriding one method
        def get_preferred_solver(self):
            return cp.CLARABEL

    assert Partial().get_preferred_solver() == cp.CLARABEL
    with pytest.raises(NotImplementedError):
        Partial().get_objective_expr(1, 1, None)
    with pytest.raises(TypeError):
        vo.MinVariance(1)


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_every_class_follows_the_protocol(name):
    cls = getattr(vo, name)
    assert cls.__bases__ == (vo.OptimizationObjective,) and cls.__module__ == "verdalis.objective"
    args = {"MaxIndicator": (pd.Series(1.0, index=IDS),), "MinStyleDeviation": ({"beta": 0.0},)}
    obj = cls(*args.get(name, ()))
    assert obj.get_preferred_solver() == cp.SCS
    for method in ("get_objective_expr", "get_internal_constraints"):
        assert list(inspect.signature(getattr(obj, method)).parameters) == ["g", "zeta", "helper"]
    if name not in ("MaxSharpeRatio", "MaxInformationRatio"):
        g = cp.Variable(4)
        assert obj.get_internal_constraints(g, 1.0, helper()) == []


@pytest.mark.parametrize("name, first, params", [
    ("MeanVariance", "收益/风险优化", ["expected_returns", "window", "risk_aversion_coefficient",
                                    "transaction_cost_model"]),
    ("ActiveMeanVariance", "主动收益/主动风险优化",
     ["expected_active_returns", "window", "risk_aversion_coefficient", "transaction_cost_model"]),
    ("MaxSharpeRatio", "最大化夏普比率", ["expected_returns", "window"]),
    ("MaxInformationRatio", "最大信息比率", ["expected_active_returns", "window"]),
])
def test_keyword_only_constructors_and_docstrings(name, first, params):
    cls = getattr(vo, name)
    sig = inspect.signature(cls)
    assert list(sig.parameters) == params
    assert all(p.kind is p.KEYWORD_ONLY for p in sig.parameters.values())
    defaults = {"window": 252, "risk_aversion_coefficient": 1}
    for p in sig.parameters.values():
        assert p.default == defaults.get(p.name) and type(p.default) is type(defaults.get(p.name))
    with pytest.raises(TypeError):
        cls(None)
    lines = cls.__doc__.split("\n")
    assert lines[0] == "" and lines[1] == "    " + first and lines[2] == "" and lines[-1] == "    "
    assert all(line.startswith("    :param ") or line.startswith("    :type ") for line in lines[3:-1])


def test_full_docstrings():
    assert vo.MeanVariance.__doc__ == (
        "\n    收益/风险优化\n\n"
        "    :param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。\n"
        "    :type expected_returns: None | pd.Series\n"
        "    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年\n"
        "    :param risk_aversion_coefficient: 风险厌恶系数\n"
        "    :param transaction_cost_model: 交易成本模型实例；默认为 None，不考虑交易成本\n    ")
    assert vo.MaxIndicator.__doc__ == (
        "\n    指标最大化\n\n    :param indicator_series: 指标序列\n"
        "    :type indicator_series: pd.Series\n    ")
    assert vo.MinStyleDeviation.__doc__.split("\n")[1:4] == [
        "    风格偏离最小化", "", "    :param target_style: pd.Series, 目标风格"]
    assert [vo.MinVariance.__doc__, vo.MinActiveVariance.__doc__, vo.MinTrackingError.__doc__,
            vo.RiskParity.__doc__] == ["风险最小化", "主动风险最小化", "最小追踪误差", "风险平价"]
    sig = inspect.signature(vo.MinStyleDeviation)
    assert [(p.name, p.kind.name, p.default) for p in sig.parameters.values()] == [
        ("target_style", "POSITIONAL_OR_KEYWORD", inspect.Parameter.empty),
        ("relative", "KEYWORD_ONLY", False), ("priority", "KEYWORD_ONLY", None)]


def test_ensure_series():
    s = pd.Series([1.0])
    assert vo.ensure_series(s, "x") is s
    assert list(vo.ensure_series({"a": 1, "b": 2}, "x").index) == ["a", "b"]
    with pytest.raises(InvalidArgument) as info:
        vo.ensure_series({1, 2}, "expected_returns")
    assert str(info.value) == "expected_returns: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象"
    assert isinstance(info.value.__context__, TypeError)
    with pytest.raises(InvalidArgument, match="^indicator_series: "):
        vo.MaxIndicator({3, 4})


# ------------------------------------------------------------------ risk terms

MU_OBJECTIVES = {
    "MinVariance": lambda: vo.MinVariance(),
    "MinActiveVariance": lambda: vo.MinActiveVariance(),
    "MinTrackingError": lambda: vo.MinTrackingError(),
    "MeanVariance": lambda: vo.MeanVariance(expected_returns=MU, risk_aversion_coefficient=2),
    "ActiveMeanVariance": lambda: vo.ActiveMeanVariance(expected_active_returns=MU),
    "MaxSharpeRatio": lambda: vo.MaxSharpeRatio(expected_returns=MU),
    "MaxInformationRatio": lambda: vo.MaxInformationRatio(expected_active_returns=MU),
    "RiskParity": lambda: vo.RiskParity(),
}


@pytest.mark.parametrize("name", MU_OBJECTIVES)
def test_factor_and_dense_risk_agree(name):
    values = []
    for factor in (True, False):
        h = helper(factor=factor)
        zeta = cp.Variable(nonneg=True) if name.startswith("Max") else 1.0
        expr, _, _ = build(MU_OBJECTIVES[name](), h, zeta)
        assert expr.is_convex() and expr.shape == ()
        values.append(expr.value)
    assert values[0] == pytest.approx(values[1], rel=1e-10)


def test_risk_values_match_numpy():
    h = helper()
    w = weights_of(h)
    active = np.r_[w, 0.0, 0.0] - h.benchmark_weight.values
    S, SU = sigma(h), sigma(h, union=True)
    assert build(vo.MinVariance(), h)[0].value == pytest.approx(w @ S @ w)
    for cls in (vo.MinActiveVariance, vo.MinTrackingError, vo.MaxInformationRatio):
        zeta = cp.Variable(nonneg=True) if cls is vo.MaxInformationRatio else 1.0
        assert build(cls(expected_active_returns=MU) if cls is vo.MaxInformationRatio else cls(),
                     h, zeta)[0].value == pytest.approx(active @ SU @ active)
    assert build(vo.RiskParity(), h)[0].value == pytest.approx(w @ S @ w - np.log(w).sum())
    # all benchmark components in the pool: g is used directly
    inside = helper(outside=())
    b = inside.benchmark_weight.values
    assert build(vo.MinActiveVariance(), inside)[0].value == pytest.approx(
        (w - b) @ sigma(inside) @ (w - b))


@pytest.mark.parametrize("obj", [vo.MinVariance(), vo.MinActiveVariance(), vo.MinTrackingError(),
                                 vo.MeanVariance(expected_returns=MU),
                                 vo.ActiveMeanVariance(expected_active_returns=MU),
                                 vo.MinStyleDeviation({"beta": 0.1})])
def test_scale_must_be_one(obj):
    with pytest.raises(AssertionError):
        build(obj, helper(), zeta=2)


# -------------------------------------------------------------- mean-variance


def mean_variance_reference(mu, S, w, rac):
    mu = np.asarray(mu, float)
    eq = np.full(len(mu), 1.0 / len(mu))
    rtn = mu[mu > 0].mean() if (mu > 0).any() else abs(np.sort(mu)[-len(mu) // 4:].mean())
    return -mu @ w + rac * rtn / (eq @ S @ eq) * (w @ S @ w)


@pytest.mark.parametrize("mu", [[0.2, -0.1, 0.4, 0.0], [-0.4, -0.3, -0.2, -0.1],
                                [-0.4, -0.3, -0.2, -0.1, -0.05]])
@pytest.mark.parametrize("rac", [0, 0.5, 3])
def test_mean_variance_value(mu, rac):
    ids = list("ABCDE")[:len(mu)]
    h = helper(ids=ids)
    w = np.linspace(0.1, 0.3, len(ids))
    obj = vo.MeanVariance(expected_returns=dict(zip(ids, mu)), risk_aversion_coefficient=rac)
    assert build(obj, h, g_value=w)[0].value == pytest.approx(
        mean_variance_reference(mu, sigma(h), w, rac))


def test_active_mean_variance_value_with_cost():
    h = helper()
    w = weights_of(h)

    class Cost:
        def get_penalty(self, g, hh):
            assert hh is h
            return 0.01 * cp.norm1(g)

    obj = vo.ActiveMeanVariance(expected_active_returns={"A": 0.1, "X": -0.2},
                                risk_aversion_coefficient=1.5, transaction_cost_model=Cost())
    mu = np.array([0.1, 0, 0, 0, -0.2, 0])
    active = np.r_[w, 0, 0] - h.benchmark_weight.values
    expected = mean_variance_reference(mu, sigma(h, True), active, 1.5) + 0.01 * w.sum()
    assert build(obj, h)[0].value == pytest.approx(expected)


def test_mean_variance_constructor_checks():
    with pytest.raises(InvalidArgument) as info:
        vo.MeanVariance(risk_aversion_coefficient=-0.5)
    assert str(info.value) == "risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：-0.5"
    with pytest.raises(InvalidArgument, match="^expected_active_returns: "):
        vo.ActiveMeanVariance(expected_active_returns={1, 2}, risk_aversion_coefficient=-1)
    obj = vo.MeanVariance(expected_returns={"A": 0.1}, window=60, transaction_cost_model="tc")
    assert isinstance(obj._expected_returns, pd.Series)
    assert (obj._risk_aversion_coefficient, obj._window, obj._transaction_cost_model) == (1, 60, "tc")


@pytest.mark.parametrize("cls, text", [
    (vo.MeanVariance, "MeanVariance: expected_returns 全部为 0，退化为 MinVariance"),
    (vo.ActiveMeanVariance, "ActiveMeanVariance: active_expected_returns 全部为 0，退化为 MinVariance"),
])
def test_all_zero_returns_fall_back_to_risk(cls, text):
    h = helper()

    class Cost:
        def get_penalty(self, g, hh):
            return 7.0

    key = "expected_returns" if cls is vo.MeanVariance else "expected_active_returns"
    obj = cls(**{key: {"A": 0.0, "Z": 0.3}}, transaction_cost_model=Cost())
    with pytest.warns(OptimizerWarning) as record:
        value = build(obj, h)[0].value
    assert [str(r.message) for r in record] == [text]
    assert record[0].filename == __file__
    risk = vo.MinVariance() if cls is vo.MeanVariance else vo.MinActiveVariance()
    cost = 7.0 if cls is vo.MeanVariance else 0.0  # the active fall-back adds no cost
    assert value == pytest.approx(build(risk, h)[0].value + cost)


def test_mean_variance_moves_along_the_frontier():
    n = 8
    B, d = random_factor_model(n, seed=11)
    ids = [f"S{i}" for i in range(n)]
    h = FakeHelper(ids, B, d)
    mu = pd.Series(np.linspace(-0.05, 0.25, n), index=ids)
    S = B @ B.T + np.diag(d)
    points = []
    for rac in (0.1, 0.5, 2, 10, 100):
        w = solve(vo.MeanVariance(expected_returns=mu, risk_aversion_coefficient=rac), h,
                  solver=cp.CLARABEL)
        points.append((mu.values @ w, w @ S @ w))
    rtn, risk = np.array(points).T
    assert np.all(np.diff(rtn) <= 1e-7) and np.all(np.diff(risk) <= 1e-9)
    assert rtn[0] > rtn[-1] + 0.05 and risk[0] > 2 * risk[-1]
    minimum = solve(vo.MinVariance(), h, solver=cp.CLARABEL)
    assert risk[-1] == pytest.approx(minimum @ S @ minimum, rel=0.05)


# -------------------------------------------------------- history estimates


def rates_frame(columns, seed=0, days=30):
    rng = np.random.default_rng(seed)
    return pd.DataFrame(rng.normal(0.001, 0.02, (days, len(columns))), columns=columns)


def test_mean_variance_and_sharpe_estimate_once(monkeypatch):
    rates = rates_frame(IDS + ["E"])
    client = HistoryClient(rates)
    monkeypatch.setattr(vo, "corvana", client)
    h1 = helper()
    mv, ms = vo.MeanVariance(window=20), vo.MaxSharpeRatio()
    build(mv, h1)
    build(ms, h1, cp.Variable(nonneg=True))
    prev = h1.prev_trading_date
    start_20 = prev - datetime.timedelta(days=20)
    start_252 = prev - datetime.timedelta(days=252)
    assert client.calls == [("trading_date_offset", prev, -20), ("get_price_change_rate", IDS, start_20, prev),
                            ("trading_date_offset", prev, -252),
                            ("get_price_change_rate", IDS, start_252, prev)]
    pd.testing.assert_series_equal(mv._expected_returns, rates[IDS].mean() * 252)
    # a later call on another pool and date reuses the estimate; E is not in it
    h2 = helper(ids=["A", "E"], date=datetime.date(2021, 9, 1),
                prev_trading_date=datetime.date(2021, 8, 31))
    with pytest.warns(OptimizerWarning) as record:
        cons = build(ms, h2, cp.Variable(nonneg=True), g_value=[1.0, 0.0])[1]
        assert len(client.calls) == 4
        build(mv, h2)
    assert len(client.calls) == 4
    # ... and says so, naming the date the estimate was made for
    assert [str(r.message) for r in record if "复用" in str(r.message)] == [
        "{}: 复用在 2021-06-01 估计的预期收益率（本次优化日期为 2021-09-01）".format(c)
        for c in ("MaxSharpeRatio", "MeanVariance")]
    assert {r.filename for r in record} == {__file__}
    v = np.array([rates["A"].mean() * 252, 0.0])
    v = v - min(v.mean(), 0.0)
    assert cons[0].expr.value == pytest.approx(v[0] - 1)


def test_active_estimates_are_made_every_call(monkeypatch):
    h = helper()
    client = HistoryClient(rates_frame(h.union_components, seed=4))
    monkeypatch.setattr(vo, "corvana", client)
    amv, mir = vo.ActiveMeanVariance(window=30), vo.MaxInformationRatio(window=30)
    for _ in range(2):
        build(amv, h)
        build(mir, h, cp.Variable(nonneg=True))
    asked = [c[1] for c in client.calls if c[0] == "get_price_change_rate"]
    assert asked == [h.union_components, IDS] * 2
    assert h.benchmark.calls == [(h.date, 30)] * 4
    assert amv._expected_active_returns is None and mir._expected_active_returns is None
    # information ratio: pool returns minus the benchmark's, as the constraint vector
    mu = client.rates[IDS].mean().values * 252 - 0.05
    if mu.mean() < 0:
        mu = mu - mu.mean()
    cons = build(mir, h, cp.Variable(nonneg=True), g_value=np.eye(4)[2])[1]
    assert cons[0].expr.value == pytest.approx(mu[2] - 1)


def test_missing_history_counts_as_zero_with_a_warning(monkeypatch):
    rates = rates_frame(IDS)
    rates["B"] = np.nan  # no price in the whole window
    monkeypatch.setattr(vo, "corvana", HistoryClient(rates))
    obj = vo.MeanVariance()
    with pytest.warns(OptimizerWarning) as record:
        expr = build(obj, helper(), g_value=[0, 1, 0, 0])[0]
    assert [str(r.message) for r in record] == ["expected_returns: 以下股票的预期收益率缺失（NaN），按 0 处理：B"]
    assert record[0].filename == __file__
    assert np.isfinite(expr.value)
    with pytest.warns(OptimizerWarning, match="expected_active_returns: .*：A, D$"):
        build(vo.MaxInformationRatio(expected_active_returns={"A": np.nan, "B": 1.0, "D": None}),
              helper(), cp.Variable(nonneg=True))


# ---------------------------------------------------------------------- ratio


@pytest.mark.parametrize("mu, expected", [
    ([0.05, 0.05, 0.05, 0.05], [1, 1, 1, 1]),
    ([-0.1, -0.2, 0.0, -0.1], [0.0, -0.1, 0.1, 0.0]),
    ([0.3, -0.1, 0.0, 0.2], [0.3, -0.1, 0.0, 0.2]),
    ({"A": 0.2, "C": 0.1}, [0.2, 0.0, 0.1, 0.0]),
])
@pytest.mark.parametrize("cls, key", [(vo.MaxSharpeRatio, "expected_returns"),
                                      (vo.MaxInformationRatio, "expected_active_returns")])
def test_ratio_normalisation(mu, expected, cls, key):
    mu = mu if isinstance(mu, dict) else dict(zip(IDS, mu))
    obj = cls(**{key: mu})
    for i in range(4):
        (cons,) = build(obj, helper(), cp.Variable(nonneg=True), g_value=np.eye(4)[i])[1]
        assert cons.expr.value == pytest.approx(expected[i] - 1)


def sharpe_reference(mu, S, b=None, SU=None):
    """Long-only maximum (information) ratio by SLSQP from several starts."""
    n = len(mu)

    def neg_ratio(w):
        if b is None:
            return -(mu @ w) / np.sqrt(w @ S @ w)
        a = np.r_[w, np.zeros(len(b) - n)] - b
        return -(mu @ w) / np.sqrt(a @ SU @ a)

    best = None
    for start in [np.full(n, 1 / n)] + list(np.eye(n) * 0.9 + 0.1 / n):
        r = minimize(neg_ratio, start, method="SLSQP", bounds=[(0, 1)] * n,
                     constraints=[{"type": "eq", "fun": lambda w: w.sum() - 1}],
                     options={"ftol": 1e-14, "maxiter": 1000})
        if best is None or r.fun < best.fun:
            best = r
    return best.x


@pytest.mark.parametrize("solver", [cp.CLARABEL, cp.SCS])
def test_max_sharpe_matches_independent_solve(solver):
    n = 7
    B, d = random_factor_model(n, seed=5)
    ids = [f"S{i}" for i in range(n)]
    mu = np.array([0.08, 0.15, -0.02, 0.11, 0.05, 0.2, 0.01])
    w = solve(vo.MaxSharpeRatio(expected_returns=pd.Series(mu, index=ids)), FakeHelper(ids, B, d),
              solver=solver)
    np.testing.assert_allclose(w, sharpe_reference(mu, B @ B.T + np.diag(d)), atol=1e-3)


def test_max_information_ratio_matches_independent_solve():
    h = helper()
    mu = np.array([0.02, 0.06, -0.01, 0.04])
    w = solve(vo.MaxInformationRatio(expected_active_returns=pd.Series(mu, index=IDS)), h,
              solver=cp.CLARABEL)
    ref = sharpe_reference(mu, None, h.benchmark_weight.values, sigma(h, True))
    np.testing.assert_allclose(w, ref, atol=1e-3)


# ----------------------------------------------------------------- indicator


def test_max_indicator_rescales_and_validates():
    h = helper(ids=["A", "B"], outside=())
    obj = vo.MaxIndicator(pd.Series({"A": 1, "B": -3, "Z": 100}))
    assert [build(obj, h, g_value=e)[0].value for e in np.eye(2)] == [-5.0, 15.0]
    cases = [({"A": 1}, "传入股票池中的股票有部分在 indicator_series 中找不到值"),
             ({"A": 0, "B": 0.0, "Z": 5}, "indicator_series 在股票池上全部为 0，无法缩放"),
             ({"A": np.nan, "B": 1.0}, "indicator_series 在以下股票上的值为 NaN 或无穷大：A"),
             ({"A": 1.0, "B": np.inf}, "indicator_series 在以下股票上的值为 NaN 或无穷大：B")]
    for series, message in cases:
        with pytest.raises(InvalidArgument) as info:
            build(vo.MaxIndicator(series), h)
        assert str(info.value) == message


def test_max_indicator_picks_the_best_stock():
    obj = vo.MaxIndicator({"A": 0.5, "B": 2.0, "C": -1.0, "D": 1.5})
    np.testing.assert_allclose(solve(obj, helper()), [0, 1, 0, 0], atol=1e-4)


# --------------------------------------------------------------------- style


def test_style_constructor():
    with pytest.raises(InvalidArgument) as info:
        vo.MinStyleDeviation({"beta": 0.1, "value": 0.2, "junk": 0})
    assert str(info.value) == "目标风格值 value 非法，请从 {} 中选取".format(STYLE_FACTORS)
    obj = vo.MinStyleDeviation({"beta": 0.1, "size": 0.2, "growth": 0.0},
                               priority={"beta": 12, "size": -1, "momentum": 3})
    assert obj._priority.to_dict() == {"beta": 9, "size": 0, "growth": 5}
    assert vo.MinStyleDeviation({"beta": 0}, priority={"beta": 7.9})._priority["beta"] == 7
    assert vo.MinStyleDeviation({"beta": 0})._priority is None
    assert obj._relative is False and vo.MinStyleDeviation.PRIORITY_ADJUST_FACTOR[9] == 45


def test_style_value_with_priorities_and_relative_targets():
    h = helper()
    X = h.get_factor_exposure()
    w = weights_of(h)
    obj = vo.MinStyleDeviation({"beta": 0.1, "size": -0.2, "growth": 0.0},
                               priority={"beta": 9, "size": 0}, relative=True)
    e = X.values.T @ w
    ref = (45 * (e[STYLE_FACTORS.index("beta")] - 0.4) ** 2
           + 1 * (e[STYLE_FACTORS.index("size")] - 0.1) ** 2
           + 25 * (e[STYLE_FACTORS.index("growth")] - 0.3) ** 2)
    assert build(obj, h)[0].value == pytest.approx(ref)
    obj.PRIORITY_ADJUST_FACTOR = [1] * 10  # read through the instance
    assert build(obj, h)[0].value == pytest.approx(sum(
        (e[STYLE_FACTORS.index(s)] - t) ** 2 for s, t in [("beta", 0.4), ("size", 0.1), ("growth", 0.3)]))
    with pytest.raises(InvalidArgument, match="^在使用相对风格偏移时，必须指定 benchmark 参数$"):
        build(obj, helper(benchmark=None))


def test_style_reaches_feasible_targets_and_respects_priority():
    n = 12
    ids = [f"S{i}" for i in range(n)]
    rng = np.random.default_rng(2)
    X = pd.DataFrame(rng.uniform(-1, 1, (n, len(STYLE_FACTORS))), index=ids, columns=STYLE_FACTORS)
    h = FakeHelper(ids, exposure=X)
    w0 = rng.dirichlet(np.ones(n))
    target = (X.T @ w0)[["beta", "size", "momentum"]]
    w = solve(vo.MinStyleDeviation(target), h)
    np.testing.assert_allclose(X[target.index].T.values @ w, target.values, atol=2e-3)
    # out-of-reach targets: the higher priority style ends closer to its target
    far = pd.Series({"beta": 5.0, "size": -5.0})
    gaps = []
    for prio in ({"beta": 9, "size": 0}, {"beta": 0, "size": 9}):
        w = solve(vo.MinStyleDeviation(far, priority=prio), h)
        gaps.append(abs(X[far.index].T.values @ w - far.values))
    assert gaps[0][0] < gaps[1][0] and gaps[0][1] > gaps[1][1]


# --------------------------------------------------------------- risk parity


@pytest.mark.parametrize("factor", [True, False])
def test_risk_parity_equalises_risk_contributions(factor):
    n = 8
    B, d = random_factor_model(n, seed=9)
    h = FakeHelper([f"S{i}" for i in range(n)], B, d, factor=factor)
    w = solve(vo.RiskParity(), h, budget=False)  # the optimizer solves it unconstrained
    rc = w * ((B @ B.T + np.diag(d)) @ w)
    assert rc.max() / rc.min() - 1 < 0.01


@pytest.mark.parametrize("make", [lambda r: vo.MaxSharpeRatio(expected_returns=r),
                                  lambda r: vo.MaxInformationRatio(expected_active_returns=r)],
                         ids=["sharpe", "information"])
@pytest.mark.parametrize("given, vector", [
    ({"A": np.nan, "B": 1.0, "D": None}, [0.0, 1.0, 0.0, 0.0]),  # NaN, absent and None all count as 0
    ({"A": 0.5, "B": np.nan, "C": 0.5, "D": 1.0}, [0.5, 0.0, 0.5, 1.0]),
])
def test_missing_given_returns_count_as_zero(make, given, vector):
    obj = make(given)
    with pytest.warns(OptimizerWarning, match="缺失"):
        cons = [build(obj, helper(), cp.Variable(nonneg=True), g_value=np.eye(4)[i])[1][0]
                for i in range(4)]
    # the unit-return constraint reads g @ returns == 1
    assert [c.expr.value + 1 for c in cons] == pytest.approx(vector)
