"""The measures' one home, checked against numbers worked out by hand."""
import math

import numpy as np
import pandas as pd
import pytest

from verdalis import measures


@pytest.mark.parametrize("target, current, expected", [
    ({"a": 0.5, "b": 0.5}, {"a": 0.5, "b": 0.5}, 0.0),
    ({"a": 1.0}, {"b": 1.0}, 1.0),                     # sell all of b, buy all of a
    ({"a": 0.6, "b": 0.4}, {"a": 0.5, "c": 0.5}, 0.5),  # |0.1| + |0.4| + |-0.5|, halved
    ({"a": 0.3}, {}, 0.15),                             # from cash: counted one way
])
def test_turnover_is_half_the_absolute_changes(target, current, expected):
    got = measures.turnover(pd.Series(target, dtype=float), pd.Series(current, dtype=float))
    assert got == pytest.approx(expected)


@pytest.mark.parametrize("nav, expected", [
    ([1.0, 1.2, 0.9, 1.3, 1.04], [0.0, 0.0, -0.25, 0.0, -0.2]),
    ([1.0, 0.5, 0.25], [0.0, -0.5, -0.75]),
])
def test_drawdown_from_the_running_peak(nav, expected):
    np.testing.assert_allclose(measures.drawdown(pd.Series(nav)).to_numpy(), expected)


@pytest.mark.parametrize("growth, n_days, expected", [
    (1.21, 504, 0.1),          # two years
    (1.1, 252, 0.1),
    (1.0, 0, 0.0),             # no returns: no growth rate, and no division by zero
])
def test_annual_return(growth, n_days, expected):
    assert measures.annual_return(growth, n_days) == pytest.approx(expected, abs=1e-12)


def test_realised_tracking_error_annualises_the_daily_spread():
    active = pd.Series([0.01, -0.01, 0.01, -0.01])
    daily = math.sqrt(4 * 0.01 ** 2 / 3)   # sample standard deviation by hand
    assert measures.realised_tracking_error(active) == pytest.approx(daily * math.sqrt(252))


class _Helper:
    """Two stocks, one factor: B = [[0.2], [0.1]], d = [0.04, 0.09]; benchmark (0.5, 0.5)."""

    def get_factor_risk(self):
        return np.array([[0.2], [0.1]]), np.array([0.04, 0.09])

    get_union_factor_risk = get_factor_risk
    benchmark_weight = pd.Series([0.5, 0.5])


def test_risk_splits_by_hand():
    f, s = measures.risk_split(_Helper(), [1.0, 0.0])
    assert (f, s) == pytest.approx((0.04, 0.04))
    f, s = measures.active_risk_split(_Helper(), [1.0, 0.0])   # active (0.5, -0.5)
    assert (f, s) == pytest.approx((0.05 ** 2, 0.25 * 0.04 + 0.25 * 0.09))
    assert measures.ex_ante_tracking_error(_Helper(), [1.0, 0.0]) == pytest.approx(
        math.sqrt(0.05 ** 2 + 0.0325))
