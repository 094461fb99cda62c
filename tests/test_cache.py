"""The per-process data cache changes no result: cold or warm, bounded, and
dropped when the store is rewritten on disk."""
import datetime
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import corvana
from corvana import client, store
from verdalis.optimize import portfolio_optimize
from verdalis.objective import MinTrackingError

DATE = datetime.date(2021, 6, 30)


def _optimize():
    prev = corvana.get_previous_trading_date(DATE)
    pool = corvana.index_components("000300.XSHG", prev) + corvana.index_components("000905.XSHG", prev)
    return portfolio_optimize(pool, DATE, MinTrackingError(), bnds={"*": (0, 0.2)}, benchmark="000300.XSHG")


@pytest.mark.parametrize("memo_size", [store.Store.MEMO_SIZE, 2])
def test_cold_and_warm_caches_give_the_same_weights(small_market, monkeypatch, memo_size):
    monkeypatch.setattr(store.Store, "MEMO_SIZE", memo_size)
    client.current().reset()
    cold = _optimize()
    warm = _optimize()
    assert len(client.current().cache) <= memo_size
    pd.testing.assert_series_equal(cold, warm, check_exact=True)


def test_a_store_rewritten_on_disk_by_another_process_is_read_again(small_market, tmp_path):
    path = tmp_path / "store"
    shutil.copytree(small_market, path)
    corvana.connect(path)
    try:
        before = corvana.get_trading_dates("2020-01-01", "2021-12-31")
        rewrite = (
            "import sys, pandas as pd, corvana\n"
            "p = sys.argv[1]\n"
            "names = ['instruments', 'trading_dates', 'bars', 'index_weights', 'industries',\n"
            "         'style_exposure', 'factor_covariance', 'specific_risk']\n"
            "t = {n: pd.read_parquet(p + '/' + n + '.parquet') for n in names}\n"
            "t['trading_dates'] = t['trading_dates'].iloc[:-5]\n"
            "corvana.write_store(p, t, source='rewritten')\n")
        subprocess.run([sys.executable, "-c", rewrite, str(path)], check=True, capture_output=True)
        after = corvana.get_trading_dates("2020-01-01", "2021-12-31")
        assert len(after) == len(before) - 5
    finally:
        corvana.connect(small_market)


def _bars(ids, start, end):
    kw = dict(start_date=start, end_date=end)
    return (corvana.get_price(ids, fields=["close", "volume"], **kw),
            corvana.get_price(ids, adjust_type="none", **kw),
            corvana.get_price_change_rate(ids, **kw),
            corvana.get_factor(ids, "market_cap_3", **kw))


BAR_READS = [
    # within a month; across a month end; a single day; across three months
    ("2021-06-01", "2021-06-25"), ("2021-05-20", "2021-06-10"), ("2021-06-30", "2021-06-30"),
    ("2021-04-15", "2021-06-15"),
]


@pytest.mark.parametrize("start,end", BAR_READS)
def test_bars_from_the_month_cache_equal_bars_read_directly(small_market, monkeypatch, start, end):
    from corvana import api

    prev = corvana.get_previous_trading_date(DATE)
    ids = corvana.index_components("000905.XSHG", prev)[:40][::-1] + ["000001.XSHE", "999999.XSHE"]
    client.current().reset()
    cached, again = _bars(ids, start, end), _bars(ids, start, end)
    monkeypatch.setattr(api, "_BAR_BLOCK_MONTHS", 0)   # every read straight from the store
    direct = _bars(ids, start, end)
    for c, a, d in zip(cached, again, direct):
        pd.testing.assert_frame_equal(c, d, check_exact=True)
        pd.testing.assert_frame_equal(a, d, check_exact=True)


def test_the_month_cache_is_bounded_by_bytes_and_shared_read_only(small_market, monkeypatch):
    from corvana import api

    st = client.current()
    st.reset()
    corvana.get_price_change_rate(["000001.XSHE"], "2021-06-10", "2021-06-20")
    monkeypatch.setattr(store.Store, "BLOCK_BYTES", int(st._block_bytes * 1.5))  # room for one month
    corvana.get_price_change_rate(["000001.XSHE"], "2021-04-01", "2021-05-31")  # March to May
    sizes = [sum(a.nbytes for a in b.values() if isinstance(a, np.ndarray)) for b in st.blocks.values()]
    assert list(st.blocks) == [("bars", "2021-05")] and st._block_bytes == sum(sizes) <= st.BLOCK_BYTES
    block = api._month_block(np.datetime64("2021-05"))
    with pytest.raises(ValueError):
        block["close"][0] = 1.0


def test_repeated_bar_reads_are_served_from_memory(small_market, monkeypatch):
    st = client.current()
    st.reset()
    queries = []
    real = store.Store.query
    monkeypatch.setattr(store.Store, "query", lambda self, *a, **k: queries.append(a) or real(self, *a, **k))
    reads = [corvana.get_price_change_rate(["000001.XSHE"], "2021-05-20", "2021-06-10") for _ in range(3)]
    assert len(queries) == 2 and sorted(st.blocks) == [("bars", "2021-05"), ("bars", "2021-06")]
    for again in reads[1:]:
        pd.testing.assert_frame_equal(again, reads[0], check_exact=True)
    # a long read that would load more than three new months goes to the store, once ...
    long = [corvana.get_price_change_rate(["000001.XSHE"], "2020-12-01", "2021-06-10") for _ in range(2)]
    long[0].iloc[:, 0] = 0.0   # the caller's copy
    pd.testing.assert_frame_equal(corvana.get_price_change_rate(["000001.XSHE"], "2020-12-01", "2021-06-10"),
                                  long[1], check_exact=True)
    assert len(queries) == 3 and len(st.blocks) == 3
    shorter = corvana.get_price_change_rate(["000001.XSHE"], "2020-12-01", "2021-06-03")  # another request
    assert shorter.index[-1] <= pd.Timestamp("2021-06-03") < long[1].index[-1] and len(queries) == 4
    # ... one with at most three new months loads them
    corvana.get_price_change_rate(["000001.XSHE"], "2021-02-15", "2021-06-10")
    sizes = [sum(a.nbytes for a in b.values() if isinstance(a, np.ndarray)) for b in st.blocks.values()]
    assert len(queries) == 7 and len(st.blocks) == 7 and st._block_bytes == sum(sizes)
    # ... and one that finds at least as many months cached as it misses fills them in
    corvana.get_price_change_rate(["000001.XSHE"], "2020-08-03", "2021-06-10")  # 7 new, 5 cached: direct
    assert len(queries) == 8 and len(st.blocks) == 8
    corvana.get_price_change_rate(["000001.XSHE"], "2020-09-15", "2021-06-10")  # 5 new, 5 cached
    assert len(queries) == 13 and len(st.blocks) == 13
