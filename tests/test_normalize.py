"""Input normalization of verdalis.optimize: enums, dates, the pool filter and bounds."""
import datetime
import enum

import numpy as np
import pandas as pd
import pytest

import verdalis.optimize as vo
from verdalis.const import CovModel, RiskModel
from verdalis.exception import InvalidArgument, InvalidBounds, OptimizerWarning

from fakes import FakeCorvana, Instrument

DATE = datetime.date(2021, 6, 1)


# --------------------------------------------------------------------------- to_enum

class Aliased(enum.Enum):
    A = "a"
    B = "b"
    FIRST = "a"  # alias of A


@pytest.mark.parametrize("value, expected", [
    (CovModel.FACTOR_MODEL_MONTHLY, CovModel.FACTOR_MODEL_MONTHLY),
    ("quarterly", CovModel.FACTOR_MODEL_QUARTERLY),
    ("daily", CovModel.FACTOR_MODEL_DAILY),
])
def test_to_enum_accepts_members_and_values(value, expected):
    assert vo.to_enum(value, CovModel) is expected


def test_to_enum_resolves_aliases_to_the_first_member():
    assert vo.to_enum("a", Aliased) is Aliased.A


@pytest.mark.parametrize("value, text", [
    ("v3", "invalid value v3 for RiskModel"),
    ("V1", "invalid value V1 for RiskModel"),  # member names are not values
    (RiskModel, "invalid value <enum 'RiskModel'> for RiskModel"),
])
def test_to_enum_refuses_unknown_values(value, text):
    with pytest.raises(InvalidArgument) as info:
        vo.to_enum(value, RiskModel)
    assert str(info.value) == text


# --------------------------------------------------------------------------- dates

@pytest.mark.parametrize("value", [
    datetime.datetime(2020, 1, 2, 15, 30),
    pd.Timestamp("2020-01-02 09:31"),
    datetime.date(2020, 1, 2),
    "2020-01-02", "20200102", "2020/1/2",
])
def test_to_date_accepts_date_like_values(value):
    result = vo.to_date(value)
    assert type(result) is datetime.date and result == datetime.date(2020, 1, 2)


@pytest.mark.parametrize("value, text", [
    (20200102, "expect a datetime like object, got <class 'int'>(20200102)"),
    (None, "expect a datetime like object, got <class 'NoneType'>(None)"),
    (2020.0, "expect a datetime like object, got <class 'float'>(2020.0)"),
])
def test_to_date_refuses_other_types(value, text):
    with pytest.raises(InvalidArgument) as info:
        vo.to_date(value)
    assert str(info.value) == text


def test_to_date_lets_parser_errors_through():
    with pytest.raises(ValueError) as info:
        vo.to_date("not a date")
    assert not isinstance(info.value, InvalidArgument)


@pytest.mark.parametrize("value, text", [
    (datetime.date(2020, 1, 2), "2020-01-02"),
    (datetime.date(2021, 3, 5), "2021-03-05"),
    (datetime.date(987, 3, 5), "0987-03-05"),
    ("2021/3/5", "2021-03-05"),
])
def test_ensure_date_str_is_zero_padded(value, text):
    assert vo.ensure_date_str(value) == text


# --------------------------------------------------------------------------- pool filter

@pytest.fixture
def client(monkeypatch):
    fake = FakeCorvana(
        Instrument("B"), Instrument("A"), Instrument("C", listed_date="2015-03-02"),
        Instrument("000300.XSHG", type="INDX"),
        Instrument("NEW", listed_date="2021-06-02"),
        Instrument("TODAY", listed_date="2021-06-01"),
        Instrument("GONE", de_listed_date="2021-06-01"),
        Instrument("LATER", de_listed_date="2021-06-02"),
    )
    monkeypatch.setattr(vo, "corvana", fake)
    return fake


def test_pool_is_sorted_and_unique(client):
    with pytest.warns(UserWarning) as record:
        result = vo.ensure_order_book_ids(["B", "C", "A", "B"], DATE)
    assert result == ["A", "B", "C"]
    assert [type(w.message) for w in record] == [UserWarning]
    assert str(record[0].message) == "重复的 order_book_id: B, 仅保留一个"
    assert record[0].filename == __file__
    # the caller's argument goes to the client unchanged
    assert client.instrument_calls == [["B", "C", "A", "B"]]


@pytest.mark.parametrize("oid, text", [
    ("000300.XSHG", "000300.XSHG 不是股票，被剔除"),
    ("NEW", "NEW 在 2021-06-01 尚未上市，被剔除"),
    ("TODAY", "TODAY 在 2021-06-01 当天上市，被剔除"),
    ("GONE", "GONE 在 2021-06-01 时已退市，被剔除"),
])
def test_pool_drops_what_may_not_be_held(client, oid, text):
    with pytest.warns(OptimizerWarning) as record:
        result = vo.ensure_order_book_ids(["A", oid], "20210601")
    assert result == ["A"]
    assert [str(w.message) for w in record] == [text]
    assert record[0].category is OptimizerWarning
    assert record[0].filename == __file__


def test_dropped_id_is_reported_at_each_occurrence(client):
    with pytest.warns(OptimizerWarning) as record:
        result = vo.ensure_order_book_ids(["NEW", "LATER", "NEW"], DATE)
    assert result == ["LATER"]  # delisted after the date: kept
    assert [str(w.message) for w in record] == ["NEW 在 2021-06-01 尚未上市，被剔除"] * 2


def test_single_id_string_is_a_pool(client):
    assert vo.ensure_order_book_ids("A", DATE) == ["A"]
    assert client.instrument_calls == ["A"]


def test_unknown_ids_are_not_held(client):
    with pytest.warns(OptimizerWarning) as record:
        assert vo.ensure_order_book_ids("NOPE", DATE) == []
        assert vo.ensure_order_book_ids(["NOPE", "A", "NOPE"], DATE) == ["A"]
    # dropped with a warning at each occurrence, like the other drops
    assert [str(w.message) for w in record] == ["NOPE 在行情数据中不存在，被剔除"] * 3
    assert {w.filename for w in record} == {__file__}


@pytest.mark.parametrize("value", [5, None, 1.5])
def test_pool_must_be_iterable(client, value):
    with pytest.raises(InvalidArgument, match="^order_book_ids 非法$"):
        vo.ensure_order_book_ids(value, DATE)
    assert client.instrument_calls == []


# --------------------------------------------------------------------------- bounds

@pytest.mark.parametrize("value, expected", [(None, None), ("0.2", 0.2), (1, 1.0), (np.float32(0.5), 0.5)])
def test_ensure_bound(value, expected):
    result = vo.ensure_bound(value)
    assert result == expected and (expected is None or type(result) is float)


def test_ensure_bound_refusals():
    with pytest.raises(InvalidArgument, match="^约束的上限或下限非法: 5%$") as info:
        vo.ensure_bound("5%")
    assert isinstance(info.value.__context__, ValueError)
    with pytest.raises(TypeError):
        vo.ensure_bound([0.1])


def test_parse_bnds_defaults_and_wildcard():
    lower, upper = vo.parse_bnds({}, ["A", "B"])
    assert lower.tolist() == [0.0, 0.0] and upper.tolist() == [1.0, 1.0]
    assert lower.dtype == np.float64 and upper.dtype == np.float64

    lower, upper = vo.parse_bnds({"*": (0, 0.5)}, ["A", "B"])
    assert upper.tolist() == [0.5, 0.5]

    # per-stock entries win over "*"; None means no limit on that side;
    # ids outside the pool are ignored
    lower, upper = vo.parse_bnds({"*": (0.1, 0.5), "A": (None, 0.3), "Z": (0.9, 1.0)}, ["A", "B", "C"])
    assert lower.tolist() == [0.0, 0.1, 0.1] and upper.tolist() == [0.3, 0.5, 0.5]
    lower, upper = vo.parse_bnds({"A": (0.2, None)}, ["A", "B"])
    assert lower.tolist() == [0.2, 0.0] and upper.tolist() == [1.0, 1.0]


def test_parse_bnds_accepts_dict_subclasses():
    class Bounds(dict):
        pass

    lower, upper = vo.parse_bnds(Bounds(A=(0.1, 0.6)), ["A", "B"])
    assert lower.tolist() == [0.1, 0.0] and upper.tolist() == [0.6, 1.0]


@pytest.mark.parametrize("bnds, text", [
    ({"A": 0.5}, "上下限应该以 (lower, upper) 的形式指定"),
    ({"A": ("x", 0.5)}, "上下限应该以 (lower, upper) 的形式指定"),
    ({"A": (0.5, 0.2)}, "合约 A 的上限 0.2 小于下限 0.5"),
    ({"A": (-0.1, 1)}, "合约 A 的下限 -0.1 无效"),
    ({"A": (0, 1.5)}, "合约 A 的上限 1.5 无效"),
    ({"*": (0.4, 1.0)}, "下限之和大于1"),
    ({"*": (0, 0.5), "B": (0, 0.3)}, "上限之和小于1"),
    ([("A", (0, 1))], "bnds 应该是一个类似 dict 的结构，key 为order_book_id, value 为 (lower, upper)"),
])
def test_parse_bnds_refusals(bnds, text):
    with pytest.raises(InvalidArgument) as info:
        vo.parse_bnds(bnds, ["A", "B", "C"] if "*" in bnds and bnds["*"][0] else ["A", "B"])
    assert str(info.value) == text


def test_parse_bnds_checks_stocks_in_pool_order():
    with pytest.raises(InvalidArgument, match="合约 A 的下限"):
        vo.parse_bnds({"B": (0.5, 0.2), "A": (2, 3)}, ["A", "B"])


# Every malformed entry is refused by name: the id, the entry and, for a
# limit out of range, the side; the existing texts stay where one fits.
PAIR = "合约 {} 的上下限应该以 (lower, upper) 的形式指定，传入值为：{}"


@pytest.mark.parametrize("bnds, oid, side, text", [
    ({"A": (0.1, 0.2, 0.3)}, "A", None, PAIR.format("A", (0.1, 0.2, 0.3))),  # three items
    ({"A": (0.1,)}, "A", None, PAIR.format("A", (0.1,))),                    # one item
    ({"A": {"lo": 0.1}}, "A", None, PAIR.format("A", {"lo": 0.1})),           # a dict of one key
    ({"*": (0.1,)}, "*", None, PAIR.format("*", (0.1,))),
    ({"*": None}, "*", None, PAIR.format("*", None)),
    ({"*": 5}, "*", None, PAIR.format("*", 5)),
    ({"*": (pd.NA, None)}, "*", None, PAIR.format("*", (pd.NA, None))),
    ({"*": ([0.1], 0)}, "*", None, PAIR.format("*", ([0.1], 0))),
    ({"*": (0.1j, 0.5)}, "*", None, PAIR.format("*", (0.1j, 0.5))),
    ({"*": ("x", 0.5)}, "*", None, PAIR.format("*", ("x", 0.5))),      # "0.1" reads as 0.1
    ({"*": ("nan", 0.5)}, "*", "lower", "合约 * 的下限 nan 无效"),
    ({"*": (0, 10 ** 400)}, "*", "upper", "合约 * 的上限 {} 无效".format(10 ** 400)),
    ({"A": ([0.1], 0)}, "A", None, "上下限应该以 (lower, upper) 的形式指定"),
    ({"A": (0.1j, 0.5)}, "A", None, "上下限应该以 (lower, upper) 的形式指定"),
    ({"A": (pd.NA, None)}, "A", None, "上下限应该以 (lower, upper) 的形式指定"),
    ({"A": (np.array([0.1, 0.2]), 1)}, "A", None, "上下限应该以 (lower, upper) 的形式指定"),
    ({"A": (0, 10 ** 400)}, "A", "upper", "合约 A 的上限 {} 无效".format(10 ** 400)),
    ({"A": (0.5, 0.2)}, "A", "upper", "合约 A 的上限 0.2 小于下限 0.5"),
    ({"A": (np.nan, 0.2)}, "A", "lower", "合约 A 的下限 nan 无效"),
])
def test_malformed_bounds_are_refused_by_id_and_entry(bnds, oid, side, text):
    with pytest.raises(InvalidBounds) as info:
        vo.parse_bnds(bnds, ["A", "B"])
    error = info.value
    assert isinstance(error, InvalidArgument) and str(error) == text
    assert error.order_book_id == oid and error.side == side
    assert error.entry is bnds[oid] or error.entry == bnds[oid]


@pytest.mark.parametrize("bnds, pool, side, total", [
    ({"*": (0.4, 1.0)}, ["A", "B", "C"], "lower", 1.2),
    ({"*": (0, 0.5), "B": (0, 0.3)}, ["A", "B"], "upper", 0.8),
])
def test_bound_sum_refusals_carry_the_side_and_the_total(bnds, pool, side, total):
    with pytest.raises(InvalidBounds) as info:
        vo.parse_bnds(bnds, pool)
    assert info.value.side == side and info.value.total == pytest.approx(total)
    assert info.value.order_book_id is None


def test_bound_sums_tolerate_rounding():
    ids = ["A", "B", "C", "D"]
    # upper bounds 0.7 + 0.1 + 0.1 + 0.1 add up to 0.9999999999999999
    lower, upper = vo.parse_bnds({"*": (0.0, 0.1), "A": (0.0, 0.7)}, ids)
    assert upper.sum() < 1.0
    # lower bounds 0.2 + 0.4 + 0.3 + 0.1 add up to 1.0000000000000002
    bnds = {"A": (0.2, 0.2), "B": (0.4, 0.4), "C": (0.3, 0.3), "D": (0.1, 0.1)}
    lower, upper = vo.parse_bnds(bnds, ids)
    assert lower.sum() > 1.0
    with pytest.raises(InvalidArgument, match="^上限之和小于1$"):
        vo.parse_bnds({"*": (0.0, 0.1), "A": (0.0, 0.6999999)}, ids)
    with pytest.raises(InvalidArgument, match="^下限之和大于1$"):
        vo.parse_bnds(dict(bnds, D=(0.1000001, 0.2)), ids)


@pytest.mark.parametrize("entry, lower_a, upper_a", [
    ((None, 0.3), 0.0, 0.3),    # None below: no lower limit, not the "*" one
    ((0.05, None), 0.05, 1.0),  # None above: no upper limit, not the "*" one
    ((None, None), 0.0, 1.0),
])
def test_none_in_a_stock_entry_is_no_limit_not_the_wildcard(entry, lower_a, upper_a):
    lower, upper = vo.parse_bnds({"*": (0.1, 0.4), "A": entry}, ["A", "B", "C"])
    assert lower.tolist() == [lower_a, 0.1, 0.1] and upper.tolist() == [upper_a, 0.4, 0.4]
