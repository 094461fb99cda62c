"""The per-process data cache changes no result: cold or warm, bounded, and
dropped when the store is rewritten on disk."""
import datetime
import shutil
import subprocess
import sys

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
