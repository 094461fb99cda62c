"""verdalis.constraints: the protocol, limit parsing, construction and repr.

Solving with constraints, on the small market, is in
test_constraints_optimize.py.
"""
import inspect
import warnings

import numpy as np
import pandas as pd
import pytest

import verdalis.constraints as vc
import verdalis.objective as vo
from verdalis.const import IndustryClassification, STYLE_FACTORS
from verdalis.exception import InvalidArgument

from fakes import FakeHelper

LIMITS = "upper_limit及lower_limit 最少应该指定一个"


def test_namespace_in_defining_order():
    names = [k for k in vars(vc) if not k.startswith("__")]
    assert names == [
        "ABCMeta", "warnings", "numbers", "cp", "np", "pd", "corvana", "InvalidArgument",
        "OptimizerWarning", "IndustryClassification", "STYLE_FACTORS", "OptimizationConstraint",
        "_ensure_bound", "ensure_series", "get_deviation_value", "TrackingErrorLimit",
        "TurnoverLimit", "BenchmarkComponentWeightLimit", "IndustryConstraint",
        "WildcardIndustryConstraint", "StyleConstraint", "wildcard_style_constraint",
        "IndustryComponentLimit", "IndexComponentLimit", "StockPoolLimit",
        "TransactionVolumeLimit", "TransactionMarketValueLimit"]


def test_base_class_is_instantiable_but_its_protocol_is_not_implemented():
    base = vc.OptimizationConstraint()
    with pytest.raises(NotImplementedError):
        base.hard
    with pytest.raises(NotImplementedError):
        base.to_constraints(None, 1.0, None)
    assert vc.OptimizationConstraint.__doc__ is None

    class Mine(vc.OptimizationConstraint):  # a user's own constraint needs only the protocol
        hard = False

        def to_constraints(self, g, zeta, helper):
            return []

    assert isinstance(Mine(), vc.OptimizationConstraint) and Mine().hard is False


@pytest.mark.parametrize("cls, signature", [
    (vc.TrackingErrorLimit, "(upper_limit, *, hard=True)"),
    (vc.TurnoverLimit, "(current_holding, upper_limit, *, hard=True)"),
    (vc.BenchmarkComponentWeightLimit, "(lower_limit, *, hard=True)"),
    (vc.IndustryConstraint, "(industries, *, lower_limit=None, upper_limit=None, relative=False, "
                            "classification=<IndustryClassification.SWS: 'sws'>, hard=True)"),
    (vc.WildcardIndustryConstraint, "(*, exclude=None, lower_limit=None, upper_limit=None, relative=False, "
                                    "classification=<IndustryClassification.SWS: 'sws'>, hard=True)"),
    (vc.StyleConstraint, "(styles, *, lower_limit=None, upper_limit=None, relative=False, hard=True)"),
    (vc.wildcard_style_constraint, "(*, exclude=None, lower_limit=None, upper_limit=None, relative=False, "
                                   "hard=True)"),
    (vc.IndustryComponentLimit, "(industry, *, lower_limit=None, upper_limit=None, "
                                "classification=<IndustryClassification.SWS: 'sws'>, hard=True)"),
    (vc.IndexComponentLimit, "(index_code, *, lower_limit=None, upper_limit=None, hard=True)"),
    (vc.StockPoolLimit, "(stock_list, *, lower_limit=None, upper_limit=None, hard=True)"),
    (vc.TransactionVolumeLimit, "(*, upper_limit=None, current_holding=None, cash=None, window=1, "
                                "stock_list=None, hard=True)"),
    (vc.TransactionMarketValueLimit, "(*, upper_limit=None, current_holding=None, cash=None, window=1, "
                                     "stock_list=None, hard=True)"),
    (vc._ensure_bound, "(v, label)"),
    (vc.get_deviation_value, "(benchmark, deviation)"),
])
def test_signatures(cls, signature):
    assert str(inspect.signature(cls)) == signature


def test_docstrings_users_read():
    assert vc.TurnoverLimit.__doc__ == ("\n    换手率约束\n\n    :param current_holding: 当前持仓\n"
                                        "    :param upper_limit: 换手率上界\n    :param hard: 软约束/硬约束\n    ")
    # the one class without an empty line after its title
    assert vc.IndexComponentLimit.__doc__.startswith("\n    指数权重约束\n    :param index_code: 指数代码\n")
    assert vc.StockPoolLimit.__doc__.splitlines()[3] == "    :param stock_list:自定义股票列表"
    assert vc.wildcard_style_constraint.__doc__.endswith("    :return:\n    ")


@pytest.mark.parametrize("call, expected", [
    (lambda: vc._ensure_bound(None, "X:y"), None),
    (lambda: vc._ensure_bound("0.1", "X:y"), 0.1),
    (lambda: vc._ensure_bound(True, "X:y"), 1.0),
    (lambda: vc.get_deviation_value(0.2, None), None),
    (lambda: vc.get_deviation_value(0.2, 0.05), 0.25),
    (lambda: vc.get_deviation_value(0.2, "+5%"), 0.21),
    (lambda: vc.get_deviation_value(0.2, "-5%"), 0.19),
    (lambda: vc.get_deviation_value(0.2, "+-5%"), 0.19),  # the middle '-5' is the number
    (lambda: vc.get_deviation_value(0, "+50%"), 0.0),
    (lambda: vc.get_deviation_value(np.float64(0.5), True), 1.5),
])
def test_limit_conversion(call, expected):
    result = call()
    assert result == pytest.approx(expected) if expected is not None else result is None


@pytest.mark.parametrize("call, error, message", [
    (lambda: vc._ensure_bound("5%", "IndustryConstraint:upper_limit"), InvalidArgument,
     "约束的上限或下限非法: IndustryConstraint:upper_limit = 5%"),
    (lambda: vc._ensure_bound([1], "X:y"), TypeError, None),
    (lambda: vc.get_deviation_value(0.2, "5%"), InvalidArgument, "约束的上下界格式不正确: 5%"),
    (lambda: vc.get_deviation_value(0.2, "+5"), InvalidArgument, "约束的上下界格式不正确: +5"),
    # an empty string is malformed like any other, not an IndexError
    (lambda: vc.get_deviation_value(0.2, ""), InvalidArgument, "约束的上下界格式不正确: "),
    (lambda: vc.get_deviation_value(0.2, "+abc%"), ValueError, None),
    (lambda: vc.get_deviation_value(0.2, [1]), InvalidArgument, "约束指定的上限或下限 [1] 非法"),
    (lambda: vc.ensure_series({1, 2}, "classification"), InvalidArgument,
     "classification: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象"),
])
def test_limit_conversion_refusals(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


def test_ensure_series_is_the_objective_module_s():
    s = pd.Series([1.0])
    assert vc.ensure_series(s, "x") is s
    assert vc.ensure_series({"A": 1}, "x").to_dict() == vo.ensure_series({"A": 1}, "x").to_dict()


HOLDING = pd.Series({"A": 0.5, "B": 0.5})


@pytest.mark.parametrize("make, message", [
    (lambda: vc.TrackingErrorLimit(0), "跟踪误差上限小于0：0.0"),
    (lambda: vc.TrackingErrorLimit(-0.01), "跟踪误差上限小于0：-0.01"),
    (lambda: vc.TrackingErrorLimit(None), "跟踪误差上限小于0：None"),
    (lambda: vc.TrackingErrorLimit(float("nan")), "跟踪误差上限小于0：nan"),
    (lambda: vc.TrackingErrorLimit("abc"), "约束的上限或下限非法: TrackingErrorLimit:upper_limit = abc"),
    (lambda: vc.BenchmarkComponentWeightLimit(1), "在 BenchmarkComponentWeightLimit 中，lower_limit 应该在 [0, 1) 范围内"),
    (lambda: vc.BenchmarkComponentWeightLimit(-0.1), "在 BenchmarkComponentWeightLimit 中，lower_limit 应该在 [0, 1) 范围内"),
    (lambda: vc.IndustryConstraint("银行"), "IndustryConstraint: " + LIMITS),
    (lambda: vc.WildcardIndustryConstraint(), "WildcardIndustryConstraint: " + LIMITS),
    (lambda: vc.IndustryComponentLimit("银行"), "IndustryComponentLimit: " + LIMITS),
    (lambda: vc.IndustryConstraint("银行", lower_limit="5%"), "约束的上限或下限非法: IndustryConstraint:lower_limit = 5%"),
    (lambda: vc.StyleConstraint("beta"), "StyleConstraint: " + LIMITS),
    (lambda: vc.wildcard_style_constraint(), "StyleConstraint: " + LIMITS),
    (lambda: vc.StyleConstraint(["beta", "value"], lower_limit=-0.1),
     "约束中指定的风格 value 非法，应该从 {} 选取".format(STYLE_FACTORS)),
    (lambda: vc.wildcard_style_constraint(exclude="value", upper_limit=1),
     "约束中指定的风格 value 非法，应该从 {} 选取".format(STYLE_FACTORS)),
    (lambda: vc.IndexComponentLimit("000300.XSHG"), "IndexComponentLimit: " + LIMITS),
    (lambda: vc.StockPoolLimit(["A"], lower_limit="30%"), "约束的上限或下限非法: StockPoolLimit:lower_limit = 30%"),
    (lambda: vc.TurnoverLimit(None, "abc"), "在 TurnoverLimit 约束中，current_holding 参数不能为 None"),
    (lambda: vc.TurnoverLimit(HOLDING, 0), "换手率上限小于0：0.0"),
    (lambda: vc.TurnoverLimit(HOLDING, None), "换手率上限小于0：None"),
    (lambda: vc.TurnoverLimit(HOLDING, "abc"), "约束的上限或下限非法: TrunoverLimit:upper_limit = abc"),
    (lambda: vc.TransactionVolumeLimit(upper_limit=0.1),
     "在 TransactionVolumeLimit 约束中，current_holding 和 cash 至少需要一个"),
    (lambda: vc.TransactionMarketValueLimit(upper_limit=0.1, cash=0.0),
     "在 TransactionMarketValueLimit 约束中，current_holding 和 cash 至少需要一个"),
    # a missing limit is refused here, not deep inside the optimization
    (lambda: vc.TransactionVolumeLimit(cash=1e6), "在 TransactionVolumeLimit 约束中，upper_limit 不能为 None"),
])
def test_constructor_refusals(make, message):
    with pytest.raises(InvalidArgument) as info:
        make()
    assert str(info.value) == message


@pytest.mark.parametrize("make", [
    lambda: vc.StockPoolLimit(["A"], 0.1),
    lambda: vc.TurnoverLimit(HOLDING, 0.3, True),
    lambda: vc.TransactionVolumeLimit(0.1),
])
def test_extra_positional_arguments_are_refused(make):
    with pytest.raises(TypeError, match="positional argument"):
        make()


def test_constructors_store_what_the_optimizer_reads():
    c = vc.IndustryConstraint("银行", upper_limit="0.2", classification={"A": "银行"}, hard=0)
    assert c.industries == ["银行"] and c.upper == 0.2 and c.lower is None
    assert isinstance(c.classification, pd.Series) and c._hard == 0 and c.hard == 0
    raw = {"A": "银行"}
    assert vc.IndustryComponentLimit("银行", upper_limit=0.3, classification=raw).classification is raw
    rel = vc.StyleConstraint("size", lower_limit=-0.2, upper_limit="+10%", relative=True)
    assert (rel.styles, rel.lower, rel.upper) == (["size"], -0.2, "+10%")
    assert vc.wildcard_style_constraint(exclude="size", upper_limit=1.0).styles == STYLE_FACTORS[:-1]
    t = vc.TransactionVolumeLimit(upper_limit=0.1, cash=1e6)
    assert (t.cash, t.window, t.stock_list, len(t._current_holding)) == (1000000.0, 1, None, 0)
    stocks = ("A", "B")
    assert vc.StockPoolLimit(stocks, upper_limit=0.5).stock_list is stocks


@pytest.mark.parametrize("make, text", [
    (lambda: vc.IndustryConstraint("银行", upper_limit=0.02), "IndustryConstraint(['银行'], upper_limit=0.02)"),
    (lambda: vc.TrackingErrorLimit(0.05, hard=False), "TrackingErrorLimit(0.05, hard=False)"),
    (lambda: vc.WildcardIndustryConstraint(lower_limit="-2%", upper_limit="+2%", relative=True,
                                           classification=IndustryClassification.CITICS),
     "WildcardIndustryConstraint(lower_limit='-2%', upper_limit='+2%', relative=True, "
     "classification=IndustryClassification.CITICS)"),
    (lambda: vc.TurnoverLimit(HOLDING, 0.3), "TurnoverLimit(<Series of 2>, 0.3)"),
    (lambda: vc.TransactionVolumeLimit(upper_limit=0.1, cash=1e6, window=20),
     "TransactionVolumeLimit(upper_limit=0.1, cash=1000000.0, window=20)"),
    (lambda: vc.IndexComponentLimit("000300.XSHG", lower_limit=0.8),
     "IndexComponentLimit('000300.XSHG', lower_limit=0.8)"),
    # long lists: their count and first items; five items are still shown whole
    (lambda: vc.StockPoolLimit(["{:06d}.XSHE".format(i) for i in range(100)], lower_limit=0.1),
     "StockPoolLimit([100 ids: '000000.XSHE', '000001.XSHE', '000002.XSHE', ...], lower_limit=0.1)"),
    (lambda: vc.StyleConstraint(["beta", "book_to_price", "earnings_yield", "growth", "leverage", "size"],
                                upper_limit=0.2),
     "StyleConstraint([6 items: 'beta', 'book_to_price', 'earnings_yield', ...], upper_limit=0.2)"),
    (lambda: vc.StockPoolLimit(["A.XSHE", "B.XSHE", "C.XSHE", "D.XSHE", "E.XSHE"], upper_limit=0.5),
     "StockPoolLimit(['A.XSHE', 'B.XSHE', 'C.XSHE', 'D.XSHE', 'E.XSHE'], upper_limit=0.5)"),
])
def test_repr_reads_like_the_constructor_call(make, text):
    assert repr(make()) == text


# --------------------------------------------------------------- to_constraints over a fake context

def limit_of(constraint):
    """The constant side of a linear constraint."""
    return next(a.value for a in constraint.args if a.is_constant())


def weights_of(constraints, g, w):
    """Whether numeric weights w satisfy the constraints built over the variable g."""
    g.value = np.asarray(w, float)
    return [bool(c.value()) for c in constraints]


@pytest.fixture
def fake():
    ids = ["A", "B", "C"]
    h = FakeHelper(ids, outside=["X", "Y", "Z"], benchmark_weight={"A": 0.2, "B": 0.3, "X": 0.5},
                   exposure=pd.DataFrame({"size": [1.0, -1.0, 0.0]}, index=ids),
                   benchmark_style=pd.Series({"size": 0.5}))
    h.get_industry_mapping = lambda classification: pd.Series(["银行", "银行", "汽车"], index=ids)
    h.get_benchmark_industry_weight = lambda classification: pd.Series({"银行": 0.2, "汽车": 0.3, "电子": 0.5})
    return h


def test_tracking_error_over_the_union(fake):
    import cvxpy as cp
    g = cp.Variable(3, nonneg=True)
    [c] = vc.TrackingErrorLimit(0.05).to_constraints(g, 1.0, fake)
    w = np.array([0.3, 0.3, 0.4])
    active = np.r_[w, 0, 0, 0] - fake.benchmark_weight.values
    te2 = active @ fake.get_union_cov_matrix() @ active
    # the factor form over the union bounds the dense quadratic form's square root
    g.value = w
    assert c.args[0].value == pytest.approx(np.sqrt(te2))
    assert c.args[1].value == pytest.approx(0.05)
    # a context without factors gets the active variance against the squared limit
    dense = FakeHelper(["A", "B", "C"], outside=["X", "Y", "Z"], factor=False,
                       benchmark_weight={"A": 0.2, "B": 0.3, "X": 0.5})
    [q] = vc.TrackingErrorLimit(0.05).to_constraints(g, 1.0, dense)
    active = np.r_[w, 0, 0, 0] - dense.benchmark_weight.values
    assert q.args[0].value == pytest.approx(active @ dense.get_union_cov_matrix() @ active)
    assert q.args[1].value == pytest.approx(0.05 ** 2)


def test_relative_wildcard_industries_bound_every_industry_in_a_fixed_order(fake):
    import cvxpy as cp
    g = cp.Variable(3, nonneg=True)
    c = vc.WildcardIndustryConstraint(lower_limit="-50%", upper_limit=0.1, relative=True)
    with pytest.warns(Warning, match="候选股票池中没有 电子 行业，相应约束忽略"):
        cons = c.to_constraints(g, 1.0, fake)
    # 银行 in [0.1, 0.3], 汽车 in [0.15, 0.4]
    assert [limit_of(k) for k in cons] == pytest.approx([0.1, 0.3, 0.15, 0.4])
    assert weights_of(cons, g, [0.1, 0.1, 0.8]) == [True, True, True, False]


@pytest.mark.parametrize("exclude, warned", [("银行", True), (["银行", "电子"], False), (("电子", "银行"), False)])
def test_wildcard_industries_leave_out_the_excluded(fake, exclude, warned):
    import cvxpy as cp
    g = cp.Variable(3, nonneg=True)
    c = vc.WildcardIndustryConstraint(exclude=exclude, lower_limit="-50%", upper_limit=0.1, relative=True)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        cons = c.to_constraints(g, 1.0, fake)
    assert [limit_of(k) for k in cons] == pytest.approx([0.15, 0.4])   # 汽车 only
    assert bool(seen) == warned


def test_style_relative_limits_and_no_skipping_at_zero_and_one(fake):
    import cvxpy as cp
    g = cp.Variable(3, nonneg=True)
    rel = vc.StyleConstraint("size", lower_limit=-0.2, upper_limit="+10%", relative=True)
    lower, upper = rel.to_constraints(g, 1.0, fake)
    assert (limit_of(lower), limit_of(upper)) == pytest.approx((0.3, 0.55))
    assert len(vc.StyleConstraint("size", lower_limit=0, upper_limit=1).to_constraints(g, 1.0, fake)) == 2


def test_pool_limits_skip_limits_that_cannot_bind(fake):
    import cvxpy as cp
    g = cp.Variable(3, nonneg=True)
    assert vc.StockPoolLimit(["A"], upper_limit=1).to_constraints(g, 1.0, fake) == []
    assert len(vc.StockPoolLimit(["A"], upper_limit=0.999).to_constraints(g, 1.0, fake)) == 1
    lo, hi = vc.StockPoolLimit(("A", "C"), lower_limit=0.2, upper_limit=0.6).to_constraints(g, 1.0, fake)
    assert weights_of([lo, hi], g, [0.1, 0.8, 0.1]) == [True, True]
    assert weights_of([lo, hi], g, [0.0, 0.9, 0.1]) == [False, True]
