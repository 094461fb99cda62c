"""Bad arguments are refused by name before they reach pandas, cvxpy or the solver."""
import numpy as np
import pandas as pd
import pytest

import corvana
import verdalis.objective as vo
from verdalis.exception import InvalidArgument, OptimizerWarning
from verdalis.optimize import parse_bnds, portfolio_optimize

from fakes import warned_from

DATE = "2021-06-01"


@pytest.fixture(scope="module")
def pool(small_market):
    return sorted(corvana.all_instruments(type="CS", date="2020-06-30")["order_book_id"])[:6]


@pytest.mark.parametrize("make, text", [
    (lambda: vo.MeanVariance(risk_aversion_coefficient=np.nan), "risk_aversion_coefficient 必须是有限数值，传入值为：nan"),
    (lambda: vo.MeanVariance(risk_aversion_coefficient="1"), "risk_aversion_coefficient 必须是有限数值，传入值为：1"),
    (lambda: vo.MaxSharpeRatio(window=0), "window 必须是正整数，传入值为：0"),
    (lambda: vo.MeanVariance(window=2.5), "window 必须是正整数，传入值为：2.5"),
    (lambda: vo.MeanVariance(expected_returns={"A": np.inf}), "expected_returns: 以下条目的值不是有限数值：A"),
    (lambda: vo.MaxSharpeRatio(expected_returns={"A": "x", "B": [1]}), "expected_returns: 以下条目的值不是有限数值：A, B"),
    (lambda: vo.MaxIndicator(pd.Series([1.0, 2.0], index=["A", "A"])), "indicator_series: 存在重复的索引：A"),
    (lambda: vo.MinStyleDeviation({"beta": np.nan}), "target_style: 以下条目的值不是有限数值：beta"),
    (lambda: vo.MinStyleDeviation({"beta": 0.1}, priority={"beta": "high"}), "priority: 以下条目的值不是有限数值：beta"),
])
def test_constructors_refuse(make, text):
    with pytest.raises(InvalidArgument) as info:
        make()
    assert str(info.value) == text


@pytest.mark.parametrize("bnds, text", [
    ({"*": (np.nan, 1)}, "合约 * 的下限 nan 无效"),
    ({"*": (0, np.inf)}, "合约 * 的上限 inf 无效"),
    ({"A": (np.nan, 0.5)}, "合约 A 的下限 nan 无效"),
    ({"A": (0, np.nan)}, "合约 A 的上限 nan 无效"),
])
def test_non_finite_bounds_are_refused(bnds, text):
    with pytest.raises(InvalidArgument) as info:
        parse_bnds(bnds, ["A", "B"])
    assert str(info.value) == text


@pytest.mark.parametrize("star, lower, upper", [((None, 0.6), 0.0, 0.6), ((0.1, None), 0.1, 1.0)])
def test_star_none_means_no_limit_on_that_side(star, lower, upper):
    lo, up = parse_bnds({"*": star}, ["A", "B"])
    assert lo.tolist() == [lower] * 2 and up.tolist() == [upper] * 2


class Tc:
    def __init__(self, penalty):
        self.penalty = penalty

    def get_penalty(self, g, helper):
        return self.penalty(g)


@pytest.mark.parametrize("kwargs, text", [
    (dict(date=pd.NaT), "^日期不能为 NaT$"),
    (dict(order_book_ids=["X", 5]), "^order_book_ids 中含有非字符串的元素：5$"),
    (dict(benchmark=["000300.XSHG"]), "^无效的benchmark"),
    (dict(cons=5), "^cons 应该是约束对象的列表"),
    (dict(cons=[object]), "^cons 中的元素 <class 'object'> 不是约束对象"),
    (dict(objective=vo.MeanVariance(transaction_cost_model="tc")), "^transaction_cost_model 需要提供 get_penalty"),
    (dict(objective=vo.MeanVariance(transaction_cost_model=Tc(lambda g: g))), "get_penalty 应返回一个标量"),
    (dict(objective=vo.MeanVariance(window=10 ** 5)), "^window 100000 超出了行情数据的历史"),
])
def test_optimize_refuses(pool, kwargs, text):
    args = dict(order_book_ids=pool, date=DATE)
    args.update(kwargs)
    with pytest.raises(InvalidArgument, match=text):
        portfolio_optimize(**args)


def test_bounds_hold_exactly_and_late_dates_warn(pool):
    with pytest.warns(OptimizerWarning, match="晚于行情数据的最后一个交易日") as record:
        w = portfolio_optimize(pool, "2030-01-02", bnds={"*": (0.0, 0.2)})
    assert warned_from(record[0], __file__)
    assert abs(w.sum() - 1.0) <= 1e-12 and (w <= 0.2 + 1e-12).all() and (w >= 0).all()


# Data so large that the problem would overflow are refused by name before the
# solver; an indicator of any finite size is rescaled without overflow.
@pytest.mark.parametrize("make, text", [
    (lambda ids: vo.MaxSharpeRatio(expected_returns={ids[0]: -1e300}),
     "^expected_returns: 以下股票的预期收益率绝对值超过 1e6，数值过大：{}$"),
    (lambda ids: vo.MeanVariance(expected_returns={ids[1]: 1e7, ids[2]: 0.1}),
     "^expected_returns: 以下股票的预期收益率绝对值超过 1e6，数值过大：{}$"),
    (lambda ids: vo.MaxInformationRatio(expected_active_returns={ids[1]: 1.7e308}),
     "^expected_active_returns: 以下股票的预期收益率绝对值超过 1e6，数值过大：{}$"),
])
def test_overflowing_returns_are_refused_by_name(pool, make, text):
    objective = make(pool)
    named = [k for k, v in objective.get_params()[next(iter(objective.get_params()))].items() if abs(v) > 1e6]
    kwargs = {"benchmark": "000300.XSHG"} if isinstance(objective, vo.MaxInformationRatio) else {}
    with pytest.raises(InvalidArgument, match=text.format(", ".join(named))):
        portfolio_optimize(pool, DATE, objective=objective, **kwargs)


@pytest.mark.parametrize("scale", [1e-300, 1.0, 1e300, 1.7e308])
def test_indicator_of_any_finite_size_gives_the_same_weights(pool, scale):
    values = np.array([1.0, -0.5, 0.25, 0.8, -1.0, 0.1])
    base = portfolio_optimize(pool, DATE, objective=vo.MaxIndicator(pd.Series(values, index=pool)),
                              bnds={"*": (0, 0.4)})
    scaled = portfolio_optimize(pool, DATE, objective=vo.MaxIndicator(pd.Series(values * scale, index=pool)),
                                bnds={"*": (0, 0.4)})
    # the indicator is scaled to its mean absolute value: the same problem at every size
    np.testing.assert_allclose(scaled.to_numpy(), base.to_numpy(), atol=1e-6)
    assert abs(scaled.sum() - 1) < 1e-12
