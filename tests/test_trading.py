"""Trading at a close under price limits, on a market of five stocks written here."""
import numpy as np
import pandas as pd
import pytest

import corvana
from corvana.exchange import limit_flags, price_limit
from verdalis.trading import execute, limit_status

DAYS = pd.to_datetime(["2021-03-01", "2021-03-02", "2021-03-03"])
# id: (symbol, closes, adjustment factors)
STOCKS = {
    "600001.XSHG": ("甲", [10.00, 11.00, 11.50], [1, 1, 1]),       # +10 %: at the main board's up-limit
    "600002.XSHG": ("乙", [10.00, 9.00, 9.10], [1, 1, 1]),         # -10 %: at its down-limit
    "300001.XSHE": ("丙", [10.00, 11.00, 11.20], [1, 1, 1]),       # +10 % on ChiNext: 20 % away, tradable
    "600003.XSHG": ("*ST丁", [10.00, 10.50, 10.40], [1, 1, 1]),   # +5 % of a special-treatment name: limit
    # ex-dividend day: the previous close is 9.50 on today's basis, so 10.45 is +10 %
    "600004.XSHG": ("戊", [10.00, 10.45, 10.40], [1, 10 / 9.5, 10 / 9.5]),
}
TRADE_DAY = DAYS[1]


@pytest.fixture
def tiny_market(tmp_path, small_market):
    rows = []
    for ob, (_, closes, adj) in STOCKS.items():
        for d, c, a in zip(DAYS, closes, adj):
            rows.append((ob, d, c, 1e6, a, c * 1e8))
    tables = {
        "instruments": pd.DataFrame(
            [(ob, s, "CS", ob.split(".")[1], "2010-01-04", "0000-00-00") for ob, (s, _, _) in STOCKS.items()],
            columns=["order_book_id", "symbol", "type", "exchange", "listed_date", "de_listed_date"]),
        "trading_dates": pd.DataFrame({"date": DAYS}),
        "bars": pd.DataFrame(rows, columns=["order_book_id", "date", "close", "volume", "adj_factor", "market_cap_3"]),
        "index_weights": pd.DataFrame({"index_id": "000300.XSHG", "date": DAYS[0], "order_book_id": list(STOCKS),
                                       "weight": 0.2}),
        "industries": pd.DataFrame({"order_book_id": list(STOCKS), "standard": "sws", "industry": "银行"}),
    }
    corvana.write_store(tmp_path / "tiny", tables)
    corvana.connect(tmp_path / "tiny")
    yield
    corvana.connect(small_market)


@pytest.mark.parametrize("ob, symbol, pct", [
    ("600000.XSHG", "浦发银行", 0.10), ("000001.XSHE", "", 0.10), ("300750.XSHE", "", 0.20),
    ("301001.XSHE", "", 0.20), ("688001.XSHG", "", 0.20), ("600003.XSHG", "*ST丁", 0.05),
    ("000004.XSHE", "ST国华", 0.05), ("300001.XSHE", "ST丙", 0.20),  # ChiNext ST names keep 20 %
])
def test_limit_by_board(ob, symbol, pct):
    assert price_limit(ob, symbol) == pct


@pytest.mark.parametrize("prev, close, pct, up, down", [
    (10.00, 11.00, 0.1, True, False),
    (10.00, 10.99, 0.1, False, False),
    (10.123, 11.1353, 0.1, True, False),   # an unrounded close on the limit (the limit price is 11.14)
    (10.00, 9.00, 0.1, False, True),
    (3.33, 3.66, 0.1, True, False),         # 3.663 rounds to 3.66
    (np.nan, 5.0, 0.1, False, False),       # no previous close: no limit known
])
def test_limit_flags(prev, close, pct, up, down):
    at_up, at_down = limit_flags([prev], [close], [pct])
    assert (bool(at_up[0]), bool(at_down[0])) == (up, down)


def test_limit_status_on_the_written_market(tiny_market):
    up, down = limit_status(list(STOCKS), TRADE_DAY)
    assert up == {"600001.XSHG", "600003.XSHG", "600004.XSHG"}
    assert down == {"600002.XSHG"}
    assert limit_status(list(STOCKS), DAYS[2]) == (set(), set())


@pytest.mark.parametrize("lots", [False, True])
def test_stocks_at_their_limits_are_not_traded(tiny_market, lots):
    # the book: 600002 worth 300,000 (to be sold, but at its down-limit) and 700,000 cash
    values = pd.Series({"600002.XSHG": 300_000.0})
    target = pd.Series({"600001.XSHG": 0.3, "300001.XSHE": 0.4, "600003.XSHG": 0.1, "600004.XSHG": 0.1,
                        "600002.XSHG": 0.1})
    done = execute(values, 700_000.0, target, TRADE_DAY, turnover=0.0, price_limits=True, lots=lots)
    after = done.values
    assert set(done.blocked_buy) == {"600001.XSHG", "600003.XSHG", "600004.XSHG"}
    assert done.blocked_sell == ["600002.XSHG"]
    assert after.get("600001.XSHG", 0) == 0 and after.get("600003.XSHG", 0) == 0
    # not sold (with lots the book holds the whole shares, 33,333 at 9.00, the change in cash)
    assert after["600002.XSHG"] == pytest.approx(33_333 * 9.0 if lots else 300_000)
    # ChiNext at +10 % is bought as targeted: 40 % of 1,000,000 at 11.00 -> 36,363.6 shares, nearest 36,400
    expected = 36_400 * 11.0 if lots else 400_000.0
    assert after["300001.XSHE"] == pytest.approx(expected)
    assert done.cash == pytest.approx(1_000_000 - after.sum())
    residual = done.residual()
    assert residual["600001.XSHG"] == pytest.approx(0.3) and residual["600002.XSHG"] == pytest.approx(-0.2, abs=1e-5)
    # without the limits everything trades
    free = execute(values, 700_000.0, target, TRADE_DAY, turnover=0.0)
    assert free.values["600001.XSHG"] == pytest.approx(300_000) and free.blocked_buy == []
