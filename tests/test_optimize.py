"""portfolio_optimize: namespace, argument checks, problem assembly, solving and failures."""
import datetime
import inspect
import logging
import os
import subprocess
import sys
import warnings
from types import SimpleNamespace

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import verdalis.benchmark
import verdalis.optimize as vo
from verdalis.benchmark import IndexBenchmark, OptimizeBenchmark
from verdalis.const import CovModel, RiskModel
from verdalis.exception import InvalidArgument, OptimizationFailed, OptimizerWarning
from verdalis.objective import (MaxInformationRatio, MaxSharpeRatio, MinActiveVariance, MinTrackingError,
                                MinVariance, OptimizationObjective, RiskParity)

from fakes import FakeCorvana, FakeHelper, Instrument, fake_helper_class

IDS = ["A", "B", "C", "D", "E"]
DATE = "2021-06-01"


@pytest.fixture
def helper_calls(monkeypatch):
    """A fake market of five stocks (plus an index and a stock listed on DATE)
    and a fake OptimizeHelper over explicit matrices; yields the helper calls."""
    client = FakeCorvana(*[Instrument(i) for i in IDS], Instrument("IDX", type="INDX"),
                         Instrument("NEW", listed_date=DATE))
    monkeypatch.setattr(vo, "corvana", client)
    monkeypatch.setattr(verdalis.benchmark, "corvana", client)
    calls = []
    monkeypatch.setattr(vo, "OptimizeHelper", fake_helper_class(calls, factor=False))
    return calls


@pytest.fixture
def solves(monkeypatch):
    """Records every Problem.solve call (keywords in order, constraint count)."""
    seen = []
    original = cp.Problem.solve

    def spy(self, *args, **kwargs):
        seen.append(SimpleNamespace(keys=list(kwargs), kwargs=dict(kwargs),
                                    n_constraints=len(self.constraints)))
        return original(self, *args, **kwargs)

    monkeypatch.setattr(cp.Problem, "solve", spy)
    return seen


def reference_min_variance(cov, upper=1.0):
    """Long-only minimum-variance weights, solved independently with Clarabel."""
    w = cp.Variable(cov.shape[0])
    cp.Problem(cp.Minimize(cp.quad_form(w, cov)),
               [cp.sum(w) == 1, w >= 0, w <= upper]).solve(solver=cp.CLARABEL)
    return w.value


def fake_cov(ids=IDS):
    return FakeHelper(ids, factor=False).get_cov_matrix()


class Limit:
    """A constraint object following the protocol: `hard` and to_constraints(g, zeta, helper)."""

    def __init__(self, make, hard=True):
        self._make, self._hard = make, hard
        self.calls = []

    @property
    def hard(self):
        return self._hard

    def to_constraints(self, g, zeta, helper):
        self.calls.append((g, zeta, helper))
        return self._make(g, zeta)


def recording(base, internal=lambda g, zeta: []):
    """A user subclass of an objective class: minimum variance, records zeta."""

    class Recording(base):
        def __init__(self):
            self.zetas = []

        def get_objective_expr(self, g, zeta, helper):
            self.zetas.append(zeta)
            return cp.quad_form(g, helper.get_cov_matrix())

        def get_internal_constraints(self, g, zeta, helper):
            return internal(g, zeta)

        def get_preferred_solver(self):
            return cp.CLARABEL

    return Recording()


# --------------------------------------------------------------------------- the module

def test_namespace_order():
    names = list(vars(vo))
    expected = ["warnings", "datetime", "time", "logging", "os", "Iterable", "parse_datetime",
                "pd", "np", "cp", "corvana", "InvalidArgument", "OptimizationFailed",
                "OptimizerWarning", "CovModel", "RiskModel", "IndustryClassification",
                "STYLE_FACTORS", "OptimizeHelper", "IndexBenchmark", "OptimizeBenchmark",
                "OptimizationObjective", "MinVariance", "MaxInformationRatio", "MaxSharpeRatio",
                "MinTrackingError", "ActiveMeanVariance", "MinActiveVariance", "RiskParity",
                "DEBUG", "to_enum", "to_date", "ensure_date_str", "ensure_order_book_ids",
                "ensure_bound", "parse_bnds", "DEFAULT_OBJECTIVE", "portfolio_optimize"]
    assert [n for n in names if n in expected] == expected
    assert "constraints" not in names
    assert vo.Iterable is __import__("typing").Iterable
    assert vo.parse_datetime is __import__("dateutil.parser").parser.parse


def test_signature_and_defaults():
    f = vo.portfolio_optimize
    assert f.__defaults__ == (vo.DEFAULT_OBJECTIVE, None, None, None, CovModel.FACTOR_MODEL_DAILY,
                              1.0, 1.0, None, RiskModel.V1)
    assert type(vo.DEFAULT_OBJECTIVE) is MinVariance
    params = inspect.signature(f).parameters
    assert list(params) == ["order_book_ids", "date", "objective", "bnds", "cons", "benchmark",
                            "cov_model", "factor_risk_aversion", "specific_risk_aversion",
                            "solver", "risk_model", "solver_options"]
    assert params["objective"].default is vo.DEFAULT_OBJECTIVE
    assert params["solver_options"].kind is inspect.Parameter.VAR_KEYWORD
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in list(params.values())[:-1])
    doc = f.__doc__
    assert doc.strip().startswith("组合优化，根据给定的约束及目标函数计算最优组合权重。")
    for text in ["候选合约", "目标函数，默认为MinVariance（风险最小化）。", "所有合约默认上下界为 [0, 1]。",
                 "协方差模型，支持 daily/monthly/quarterly", "pd.Series 组合最优化权重"]:
        assert text in doc


def test_argument_errors_are_pythons():
    with pytest.raises(TypeError, match=r"portfolio_optimize\(\) missing 1 required positional argument: 'date'"):
        vo.portfolio_optimize(IDS)
    with pytest.raises(TypeError, match="takes from 2 to 11 positional arguments but 12 were given"):
        vo.portfolio_optimize(*range(12))


@pytest.mark.parametrize("value, expected", [("1", "True"), ("", "False")])
def test_import_reads_debug_flag_and_installs_the_filter(value, expected):
    # A fresh interpreter: pytest resets the warnings filters around each test.
    code = """if True:
        import warnings
        import verdalis.optimize as vo
        from fakes import FakeCorvana, Instrument
        print(vo.DEBUG, type(vo.DEBUG).__name__)
        vo.corvana = FakeCorvana(Instrument("A"), Instrument("NEW", listed_date="2021-06-01"))
        with warnings.catch_warnings(record=True) as record:
            for _ in range(2):
                vo.portfolio_optimize(["NEW", "A", "A"], "2021-06-01")
        print(*[w.category.__name__ for w in record])
    """
    env = dict(os.environ, VERDALIS_DEBUG=value, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         check=True, cwd=os.path.dirname(__file__)).stdout.split("\n")
    assert out[0] == expected + " bool"
    # a dropped stock is reported on every call; the plain duplicate warning
    # follows Python's default filter (once per line)
    assert out[1] == "OptimizerWarning UserWarning OptimizerWarning"


# --------------------------------------------------------------------------- pool

def test_pool_of_one_returns_at_once(helper_calls):
    with pytest.warns(OptimizerWarning, match="NEW 在 2021-06-01 当天上市，被剔除") as record:
        result = vo.portfolio_optimize(["NEW", "B"], DATE, objective=object(), bnds={"*": (0.1, None)},
                                       benchmark=5, cov_model="nope")
    assert record[0].filename == __file__
    assert isinstance(result, pd.Series) and result.name is None
    assert result.to_dict() == {"B": 1.0} and result.dtype == float
    assert helper_calls == []
    # a single id string is a pool of one; a missing benchmark is not looked at either
    assert vo.portfolio_optimize("A", DATE, objective=MinTrackingError()).to_dict() == {"A": 1.0}


@pytest.mark.parametrize("bnds, text", [
    ({"*": (0, 0.3)}, "上限之和小于1"),
    ({"A": (0, 0.5), "*": (0, 1)}, "上限之和小于1"),
    ({"A": (0.2, 0.1)}, "合约 A 的上限 0.1 小于下限 0.2"),
    ("junk", "bnds 应该是一个类似 dict 的结构，key 为order_book_id, value 为 (lower, upper)"),
])
def test_pool_of_one_honours_the_bounds(helper_calls, bnds, text):
    # the one stock takes the whole weight only where its bounds allow it
    with pytest.raises(InvalidArgument) as info:
        vo.portfolio_optimize(["A"], DATE, bnds=bnds)
    assert str(info.value) == text


def test_empty_pool_is_refused(helper_calls):
    with pytest.warns(OptimizerWarning):
        with pytest.raises(InvalidArgument, match="^经过剔除后，股票池为空$"):
            vo.portfolio_optimize(["NEW", "IDX"], DATE)


# --------------------------------------------------------------------------- arguments

def test_helper_gets_the_normalised_arguments(helper_calls):
    result = vo.portfolio_optimize(["E", "C", "A"], "20210601", cov_model="monthly", risk_model="v2",
                                   factor_risk_aversion=2.0, specific_risk_aversion=0.5,
                                   solver="CLARABEL")
    assert helper_calls == [(["A", "C", "E"], datetime.date(2021, 6, 1), None,
                             CovModel.FACTOR_MODEL_MONTHLY, RiskModel.V2, 2.0, 0.5)]
    assert list(result.index) == ["A", "C", "E"]


@pytest.mark.parametrize("kwargs, text", [
    (dict(objective=MinVariance), "非法的目标函数"),
    (dict(objective=MinTrackingError()), "对于目标函数 MinTrackingError，必须传入 benchmark 参数"),
    (dict(objective=MinActiveVariance()), "对于目标函数 MinActiveVariance，必须传入 benchmark 参数"),
    (dict(objective=type("MyTE", (MinTrackingError,), {})()), "对于目标函数 MyTE，必须传入 benchmark 参数"),
    (dict(benchmark=5), "无效的benchmark：5；对于指数，可以直接传入对应的order_book_id；"
                        "对于自定义基准，请传入一个 OptimizeBenchmark 的对象"),
    (dict(cov_model="yearly"), "invalid value yearly for CovModel"),
    (dict(risk_model="v9"), "invalid value v9 for RiskModel"),
    (dict(benchmark="A"), "仅支持指数类型的 benchmark, 传入的 benchmark 是 CS 类型"),
])
def test_refused_arguments(helper_calls, kwargs, text):
    with pytest.raises(InvalidArgument) as info:
        vo.portfolio_optimize(IDS, DATE, **kwargs)
    assert str(info.value) == text
    assert helper_calls == []


def test_benchmarks(helper_calls):
    vo.portfolio_optimize(IDS, DATE, benchmark="IDX", solver="CLARABEL")
    made = helper_calls[-1][2]
    assert type(made) is IndexBenchmark and made._order_book_id == "IDX"

    class Mine(OptimizeBenchmark):
        def get_weight(self, date):
            return pd.Series({"A": 1.0})

    mine = Mine()
    vo.portfolio_optimize(IDS, DATE, benchmark=mine, solver="CLARABEL")
    assert helper_calls[-1][2] is mine


# --------------------------------------------------------------------------- solving

def test_min_variance_by_default(helper_calls, solves):
    result = vo.portfolio_optimize(list(reversed(IDS)), DATE)
    assert list(result.index) == IDS
    assert abs(result.sum() - 1.0) < 1e-12 and (result >= -1e-6).all()
    assert np.abs(result.values - reference_min_variance(fake_cov())).max() < 1e-3
    # SCS, the objective's preferred solver, with the raised iteration limit
    assert solves[0].keys == ["solver", "verbose", "max_iters"]
    assert solves[0].kwargs == {"solver": "SCS", "verbose": vo.DEBUG, "max_iters": 10000}
    assert solves[0].n_constraints == 1  # the budget


def test_bounds_are_imposed(helper_calls, solves):
    result = vo.portfolio_optimize(IDS, DATE, bnds={"*": (0.0, 0.25), "A": (0.1, None)}, solver="CLARABEL")
    assert solves[0].n_constraints == 3
    assert result["A"] >= 0.1 - 1e-6
    assert (result.drop("A") <= 0.25 + 1e-6).all()


@pytest.mark.parametrize("options, expected", [
    (dict(solver="SCS"), dict(solver="SCS", verbose=False, max_iters=10000)),
    (dict(solver="SCS", max_iters=500), dict(solver="SCS", verbose=False, max_iters=500)),
    (dict(solver="SCS", eps_abs=1e-7), dict(solver="SCS", verbose=False, eps_abs=1e-7, max_iters=10000)),
    (dict(solver="CLARABEL", max_iter=300), dict(solver="CLARABEL", verbose=False, max_iter=300)),
])
def test_solver_options(helper_calls, solves, options, expected):
    vo.portfolio_optimize(IDS, DATE, **options)
    assert solves[0].keys == list(expected)
    assert solves[0].kwargs == dict(expected, verbose=vo.DEBUG)


def test_verbose_option_clashes_like_a_python_call(helper_calls):
    problem = cp.Problem(cp.Minimize(0))
    with pytest.raises(TypeError) as python:
        problem.solve(solver="SCS", verbose=False, **{"verbose": True})
    with pytest.raises(TypeError) as info:
        vo.portfolio_optimize(IDS, DATE, verbose=True)
    assert str(info.value) == str(python.value)


def test_preferred_solver_is_asked_only_without_a_solver(helper_calls):
    class NoSolver(OptimizationObjective):
        def get_objective_expr(self, g, zeta, helper):
            return cp.quad_form(g, helper.get_cov_matrix())

        def get_internal_constraints(self, g, zeta, helper):
            return []

    result = vo.portfolio_optimize(IDS, DATE, objective=NoSolver(), solver="CLARABEL")
    assert np.abs(result.values - reference_min_variance(fake_cov())).max() < 1e-4
    with pytest.raises(NotImplementedError):
        vo.portfolio_optimize(IDS, DATE, objective=NoSolver())


def test_logging(helper_calls, caplog):
    caplog.set_level(logging.DEBUG)
    vo.portfolio_optimize(IDS, DATE, solver="CLARABEL")
    records = [(r.name, r.levelno, r.getMessage()) for r in caplog.records if r.name == "root"]
    assert [r[:2] for r in records] == [("root", logging.INFO), ("root", logging.DEBUG)]
    assert records[0][2].startswith("solve time: ") and ", optimization result = " in records[0][2]
    assert records[1][2] == "g.value.sum() = 1.000000, zeta = 1.000000"


@pytest.mark.parametrize("base, zeta_type", [
    (MinVariance, float), (MinTrackingError, float), (OptimizationObjective, float),
    (MaxSharpeRatio, cp.Variable), (MaxInformationRatio, cp.Variable),
])
def test_scale_by_objective(helper_calls, base, zeta_type):
    mu = np.full(len(IDS), 0.1)
    objective = recording(base, internal=lambda g, zeta: [mu @ g == 1] if zeta_type is cp.Variable else [])
    result = vo.portfolio_optimize(IDS, DATE, objective=objective, bnds={"*": (0, 0.3)},
                                   benchmark="IDX")
    (zeta,) = objective.zetas
    assert type(zeta) is zeta_type
    if zeta_type is float:
        assert zeta == 1.0
    # ratio objectives: bounds are imposed on g / zeta
    assert abs(result.sum() - 1) < 1e-12 and result.max() <= 0.3 + 1e-6
    assert np.abs(result.values - reference_min_variance(fake_cov(), upper=0.3)).max() < 1e-3


class Parity(RiskParity):
    """Risk parity as a log-barrier problem, recording zeta."""

    def __init__(self):
        self.zetas = []

    def get_objective_expr(self, g, zeta, helper):
        self.zetas.append(zeta)
        return 0.5 * cp.quad_form(g, helper.get_cov_matrix()) - cp.sum(cp.log(g))


@pytest.mark.parametrize("kwargs, n_constraints, g_sum", [
    (dict(), 0, None), (dict(bnds={}, cons=[]), 0, None),
    (dict(bnds={"*": (0, 1)}), 3, 5.0), (dict(cons=[Limit(lambda g, z: [])]), 1, 5.0),
])
def test_risk_parity(helper_calls, solves, caplog, kwargs, n_constraints, g_sum):
    caplog.set_level(logging.DEBUG)
    objective = Parity()
    result = vo.portfolio_optimize(IDS, DATE, objective=objective, **kwargs)
    assert objective.zetas == [5] and type(objective.zetas[0]) is int
    assert solves[0].n_constraints == n_constraints
    assert abs(result.sum() - 1) < 1e-12 and (result > 0).all()
    if g_sum is not None:
        assert caplog.records[-1].getMessage() == "g.value.sum() = %f, zeta = 5.000000" % g_sum
    # equal risk contributions
    cov = fake_cov()
    contribution = result.values * (cov @ result.values)
    if not n_constraints:
        assert np.ptp(contribution) / contribution.mean() < 1e-2


# --------------------------------------------------------------------------- constraints and retries

def test_constraints_are_filed_hard_or_soft(helper_calls, solves):
    hard = Limit(lambda g, z: [g[0] >= 0.3 * z, g[1] >= 0.2 * z])
    soft = Limit(lambda g, z: [g[2] <= 0.1 * z], hard=False)
    result = vo.portfolio_optimize(IDS, DATE, cons=(c for c in [hard, soft]), solver="CLARABEL")
    assert solves[0].n_constraints == 4
    assert result["A"] >= 0.3 - 1e-6 and result["B"] >= 0.2 - 1e-6 and result["C"] <= 0.1 + 1e-6
    (g, zeta, helper), = hard.calls
    assert isinstance(g, cp.Variable) and g.shape == (5,) and zeta == 1.0
    assert helper.order_book_ids == IDS and soft.calls[0][2] is helper


def test_infeasible_soft_constraints_are_all_dropped(helper_calls, solves):
    satisfiable = Limit(lambda g, z: [g[0] >= 0.9 * z], hard=False)
    companion = Limit(lambda g, z: [g[1] >= 0.5 * z], hard=False)
    with pytest.warns(OptimizerWarning) as record:
        result = vo.portfolio_optimize(IDS, DATE, cons=[satisfiable, companion])
    assert [str(w.message) for w in record] == ["约束无法满足，放弃所有软约束重试"]
    assert record[0].filename == __file__
    assert [s.n_constraints for s in solves] == [3, 1]
    assert np.abs(result.values - reference_min_variance(fake_cov())).max() < 1e-3


def test_infeasible_hard_constraints_fail(helper_calls, solves):
    impossible = Limit(lambda g, z: [g[0] >= 0.9 * z, g[1] >= 0.5 * z])
    with pytest.raises(OptimizationFailed) as info:
        vo.portfolio_optimize(IDS, DATE, cons=[impossible])
    assert info.value.args == (cp.INFEASIBLE,)
    assert len(solves) == 1
    # with a soft constraint as well: one retry, then the same failure
    with pytest.warns(OptimizerWarning, match="约束无法满足"):
        with pytest.raises(OptimizationFailed) as info:
            vo.portfolio_optimize(IDS, DATE, cons=[impossible, Limit(lambda g, z: [g[2] >= 0.1], hard=False)])
    assert info.value.args == (cp.INFEASIBLE,)
    assert len(solves) == 3


class Unbounded(OptimizationObjective):
    """Minimises a free variable: unbounded whatever the constraints on g."""

    def get_objective_expr(self, g, zeta, helper):
        return cp.Variable()

    def get_internal_constraints(self, g, zeta, helper):
        return []

    def get_preferred_solver(self):
        return cp.CLARABEL


def test_unbounded_fails_at_once(helper_calls, solves):
    soft = Limit(lambda g, z: [g[0] >= 0.1], hard=False)
    with pytest.raises(OptimizationFailed) as info:
        vo.portfolio_optimize(IDS, DATE, objective=Unbounded(), cons=[soft])
    assert info.value.args == (cp.UNBOUNDED,)
    assert len(solves) == 1


def test_solver_error_becomes_failed(helper_calls, monkeypatch):
    error = cp.SolverError("numerical trouble")

    def broken(self, **kwargs):
        raise error

    monkeypatch.setattr(cp.Problem, "solve", broken)
    with pytest.raises(OptimizationFailed) as info:
        vo.portfolio_optimize(IDS, DATE)
    assert info.value.args == ("failed",)
    assert info.value.__context__ is error and info.value.__cause__ is None
    assert error.__traceback__ is not None
    # raised while the caller handles another exception: the context is still the solver's
    try:
        raise KeyError("outer")
    except KeyError:
        with pytest.raises(OptimizationFailed) as info:
            vo.portfolio_optimize(IDS, DATE)
    assert info.value.__context__ is error


@pytest.mark.parametrize("outcome, expected", [
    (ValueError("bad data"), ValueError),
    ("solver-specific", OptimizationFailed),
])
def test_other_solve_outcomes(helper_calls, monkeypatch, outcome, expected):
    def solve(self, **kwargs):
        if isinstance(outcome, Exception):
            raise outcome
        return outcome  # not a number: the failure carries it

    monkeypatch.setattr(cp.Problem, "solve", solve)
    with pytest.raises(expected) as info:
        vo.portfolio_optimize(IDS, DATE)
    if expected is ValueError:
        assert info.value is outcome
    else:
        assert info.value.args == ("solver-specific",)


def test_inaccurate_solution_warns(helper_calls):
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        result = vo.portfolio_optimize(IDS, DATE, max_iters=3)
    ours = [w for w in record if w.category is OptimizerWarning]
    assert [str(w.message) for w in ours] == ["达到最大迭代次数，但仍未达到所需精度，可能会导致某些约束不能满足"]
    assert ours[0].filename == __file__
    assert abs(result.sum() - 1) < 1e-12


# --------------------------------------------------------------------------- the small market

@pytest.fixture(scope="module")
def members(small_market):
    import corvana

    date = datetime.date(2021, 6, 1)
    return date, sorted(corvana.index_components("000300.XSHG", date))


def test_min_variance_over_index_members(members):
    from verdalis.helper import OptimizeHelper

    date, ids = members
    result = vo.portfolio_optimize(ids, date)
    assert list(result.index) == ids
    assert (result >= -1e-6).all() and abs(result.sum() - 1) < 1e-9
    helper = OptimizeHelper(ids, date, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
    assert np.abs(result.values - reference_min_variance(helper.get_cov_matrix())).max() < 1e-3


def test_min_tracking_error_against_the_index(members):
    from verdalis.helper import OptimizeHelper

    date, ids = members
    result = vo.portfolio_optimize(ids, date, objective=MinTrackingError(), benchmark="000300.XSHG")
    assert list(result.index) == ids
    assert (result >= -1e-6).all() and abs(result.sum() - 1) < 1e-9

    helper = OptimizeHelper(ids, date, IndexBenchmark("000300.XSHG"), CovModel.FACTOR_MODEL_DAILY,
                            RiskModel.V1, 1.0, 1.0)
    outside = len(helper.union_components) - len(ids)
    w = cp.Variable(len(ids))
    active = cp.hstack([w, np.zeros(outside)]) - helper.benchmark_weight.values if outside else \
        w - helper.benchmark_weight.values
    cp.Problem(cp.Minimize(cp.quad_form(active, helper.get_union_cov_matrix())),
               [cp.sum(w) == 1, w >= 0]).solve(solver=cp.CLARABEL)
    assert np.abs(result.values - w.value).max() < 1e-3


@pytest.mark.parametrize("first_status, retried", [
    (cp.INFEASIBLE, True),
    (cp.INFEASIBLE_INACCURATE, True),
    (cp.UNBOUNDED, False),
    (cp.UNBOUNDED_INACCURATE, False),
    (cp.USER_LIMIT, False),
])
def test_which_first_outcomes_drop_the_soft_constraints(helper_calls, monkeypatch, first_status, retried):
    """The first solve reports ``first_status``; later solves are real."""
    real = cp.Problem.solve
    counts = []

    def solve(self, **kwargs):
        counts.append(len(self.constraints))
        if len(counts) == 1:
            self._status = first_status
            return 0.0
        return real(self, **kwargs)

    monkeypatch.setattr(cp.Problem, "solve", solve)
    soft = Limit(lambda g, z: [g[0] >= 0.5 * z], hard=False)
    if retried:
        with pytest.warns(OptimizerWarning, match="放弃所有软约束重试"):
            result = vo.portfolio_optimize(IDS, DATE, cons=[soft], solver="CLARABEL")
        assert counts == [2, 1]
        assert np.abs(result.values - reference_min_variance(fake_cov())).max() < 1e-4
    else:
        with pytest.raises(OptimizationFailed) as info:
            vo.portfolio_optimize(IDS, DATE, cons=[soft], solver="CLARABEL")
        assert info.value.args == (first_status,) and counts == [2]


def reference_with_bounds(cov, lower, upper):
    w = cp.Variable(cov.shape[0])
    cp.Problem(cp.Minimize(cp.quad_form(w, cov)),
               [cp.sum(w) == 1, w >= lower, w <= upper]).solve(solver=cp.CLARABEL)
    return w.value


@pytest.mark.parametrize("base", [MinVariance, MaxSharpeRatio, MaxInformationRatio])
@pytest.mark.parametrize("bnds, lower, upper", [
    ({"*": (0.1, 0.5)}, [0.1] * 5, [0.5] * 5),
    ({"*": (0.0, 0.4), "E": (0.3, None)}, [0, 0, 0, 0, 0.3], [0.4, 0.4, 0.4, 0.4, 1.0]),
])
def test_bounds_hold_on_the_weights_for_every_scale(helper_calls, base, bnds, lower, upper):
    """The bounds are on g / zeta, so they bind the same whether zeta is 1 or a variable."""
    mu = np.full(len(IDS), 0.1)
    ratio = base is not MinVariance
    objective = recording(base, internal=lambda g, zeta: [mu @ g == 1] if ratio else [])
    result = vo.portfolio_optimize(IDS, DATE, objective=objective, bnds=bnds, benchmark="IDX",
                                   solver="CLARABEL")
    expected = reference_with_bounds(fake_cov(), np.array(lower), np.array(upper))
    assert np.abs(result.values - expected).max() < 1e-4
