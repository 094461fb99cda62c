"""Benchmarks: the custom-benchmark interface and the index benchmark over a fake data client."""
import datetime
import inspect

import numpy as np
import pandas as pd
import pytest

import verdalis.benchmark as vb
from verdalis.benchmark import IndexBenchmark, OptimizeBenchmark
from verdalis.exception import InvalidArgument

from fakes import FakeCorvana, Instrument

DATE = datetime.date(2021, 6, 1)


@pytest.fixture
def client(monkeypatch):
    fake = FakeCorvana(Instrument("000300.XSHG", type="INDX"), Instrument("000001.XSHE"),
                       Instrument("510050.XSHG", type="ETF"))
    fake.weight_calls = []
    weights = pd.Series({"000001.XSHE": 30.0, "600000.XSHG": 70.0})  # not normalised

    def index_weights(order_book_id, date):
        fake.weight_calls.append(("index_weights", order_book_id, date))
        return weights

    fake.index_weights = index_weights
    fake.weights = weights
    monkeypatch.setattr(vb, "corvana", fake)
    return fake


# --------------------------------------------------------------------------- the interface

def test_interface():
    assert OptimizeBenchmark.__doc__ == "自定义基准抽象类"
    assert type(OptimizeBenchmark) is type
    base = OptimizeBenchmark()  # not an ABC: instantiable
    with pytest.raises(NotImplementedError):
        base.get_weight(DATE)
    with pytest.raises(NotImplementedError):
        base.get_expected_returns(DATE)
    assert OptimizeBenchmark.get_weight.__isabstractmethod__
    assert OptimizeBenchmark.get_expected_returns.__isabstractmethod__
    assert str(inspect.signature(OptimizeBenchmark.get_expected_returns)) == "(self, date, window=252)"
    assert "获取 date 日期的持仓权重。此函数必需实现。" in OptimizeBenchmark.get_weight.__doc__
    assert ":param window: 回溯窗口大小" in OptimizeBenchmark.get_expected_returns.__doc__


def test_user_subclass_overrides_what_it_needs():
    class Mine(OptimizeBenchmark):
        def __init__(self, weights):
            self.weights = weights

        def get_weight(self, date):
            return self.weights

    mine = Mine(pd.Series({"A": 1.0}))
    assert isinstance(mine, OptimizeBenchmark)
    assert mine.get_weight(DATE) is mine.weights
    with pytest.raises(NotImplementedError):
        mine.get_expected_returns(DATE, window=20)

    class WithReturns(Mine):
        def get_expected_returns(self, date, window=252):
            return super().get_expected_returns(date, window) if window < 0 else 0.05

    assert WithReturns(None).get_expected_returns(DATE) == 0.05
    with pytest.raises(NotImplementedError):
        WithReturns(None).get_expected_returns(DATE, -1)


def test_index_benchmark_can_be_subclassed(client):
    class Capped(IndexBenchmark):
        def get_weight(self, date):
            return super().get_weight(date).clip(upper=50.0)

    capped = Capped("000300.XSHG")
    assert capped.get_weight(DATE).tolist() == [30.0, 50.0]
    assert isinstance(capped, OptimizeBenchmark)


# --------------------------------------------------------------------------- construction

def test_index_is_accepted(client):
    bench = IndexBenchmark("000300.XSHG")
    assert bench._order_book_id == "000300.XSHG"
    assert vars(bench) == {"_order_book_id": "000300.XSHG"}
    assert client.instrument_calls == ["000300.XSHG"]


@pytest.mark.parametrize("oid, text", [
    ("999999.XSHG", "无效的 benchmark: 999999.XSHG"),
    ("000001.XSHE", "仅支持指数类型的 benchmark, 传入的 benchmark 是 CS 类型"),
    ("510050.XSHG", "仅支持指数类型的 benchmark, 传入的 benchmark 是 ETF 类型"),
])
def test_non_index_is_refused(client, oid, text):
    with pytest.raises(InvalidArgument) as info:
        IndexBenchmark(oid)
    assert str(info.value) == text


def test_client_errors_propagate(client, monkeypatch):
    def broken(order_book_id):
        raise ConnectionError("store unavailable")

    monkeypatch.setattr(client, "instruments", broken)
    with pytest.raises(ConnectionError):
        IndexBenchmark("000300.XSHG")
    with pytest.raises(TypeError):
        IndexBenchmark()


# --------------------------------------------------------------------------- weights

def test_weights_without_the_extended_source(client):
    bench = IndexBenchmark("000300.XSHG")
    assert bench.get_weight(DATE) is client.weights
    assert client.weight_calls == [("index_weights", "000300.XSHG", DATE)]


def failing_ex(order_book_id, date):
    raise RuntimeError("no extended data")


@pytest.mark.parametrize("weights_ex", [None, failing_ex, lambda oid, date: None])
def test_weights_fall_back_to_index_weights(client, weights_ex):
    client.index_weights_ex = weights_ex
    assert IndexBenchmark("000300.XSHG").get_weight(DATE) is client.weights
    assert len(client.weight_calls) == 1


def test_extended_weights_are_used_unchanged(client):
    extended = pd.Series({"000001.XSHE": 0.2, "600000.XSHG": 0.3})
    client.index_weights_ex = lambda oid, date: extended
    assert IndexBenchmark("000300.XSHG").get_weight(DATE) is extended
    assert client.weight_calls == []


def test_index_weights_errors_propagate(client, monkeypatch):
    def broken(order_book_id, date):
        raise KeyError(order_book_id)

    monkeypatch.setattr(client, "index_weights", broken)
    with pytest.raises(KeyError):
        IndexBenchmark("000300.XSHG").get_weight(DATE)
    monkeypatch.setattr(client, "index_weights", lambda oid, date: None)
    assert IndexBenchmark("000300.XSHG").get_weight(DATE) is None


# --------------------------------------------------------------------------- expected return

@pytest.mark.parametrize("args, offset", [((DATE,), -252), ((DATE, 20), -20), ((DATE, 60), -60)])
def test_expected_return_is_annualised_mean(client, args, offset):
    asked = []
    start = datetime.date(2020, 6, 1)

    def trading_date_offset(date, n):
        asked.append(("offset", date, n))
        return start

    def get_price_change_rate(order_book_id, start_date, end_date):
        asked.append(("rates", order_book_id, start_date, end_date))
        return pd.DataFrame({order_book_id: [0.001, 0.002, np.nan, 0.003], "other": [1.0] * 4})

    client.trading_date_offset = trading_date_offset
    client.get_price_change_rate = get_price_change_rate
    result = IndexBenchmark("000300.XSHG").get_expected_returns(*args)
    assert result == pytest.approx(0.002 * 252)  # the factor does not follow the window
    assert asked == [("offset", DATE, offset), ("rates", "000300.XSHG", start, DATE)]


def test_expected_return_needs_the_index_column(client):
    client.trading_date_offset = lambda date, n: date
    client.get_price_change_rate = lambda oid, s, e: pd.DataFrame({"other": [0.1]})
    with pytest.raises(KeyError):
        IndexBenchmark("000300.XSHG").get_expected_returns(DATE)
