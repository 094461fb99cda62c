"""Damage never becomes a number: a read touching a damaged table file raises
StoreError naming the table and the file, before any value is derived."""
import datetime
import json
import shutil

import numpy as np
import pytest

import corvana
from corvana import snapshot
from corvana import store as cstore
from verdalis.objective import MinTrackingError
from verdalis.optimize import portfolio_optimize

DATE = datetime.date(2021, 6, 30)
PREV = "2021-06-29"


@pytest.fixture
def copy(small_market, tmp_path):
    """A copy of the small store, the client connected to it (and back afterwards)."""
    path = tmp_path / "store"
    shutil.copytree(small_market, path)
    corvana.connect(path)
    yield path
    corvana.connect(small_market)


def _some_ids():
    return corvana.index_components("000300.XSHG", PREV)[:5]


# one read per table, each touching only that table once the small ones are in memory
READS = {
    "instruments": lambda: corvana.instruments("000001.XSHE"),
    "trading_dates": lambda: corvana.get_trading_dates("2021-01-01", "2021-06-30"),
    "bars": lambda: corvana.get_price(["000001.XSHE"], "2021-06-01", "2021-06-30"),
    "index_weights": lambda: corvana.index_weights("000300.XSHG", PREV),
    "industries": lambda: corvana.get_industry(["000001.XSHE"]),
    "style_exposure": lambda: corvana.get_risk_exposure(["000001.XSHE"], PREV),
    "factor_covariance": lambda: corvana.get_factor_covariance(PREV),
    "specific_risk": lambda: corvana.get_specific_risk(["000001.XSHE"], PREV),
}


def _flip(path, where=0.4, count=16):
    """Invert `count` bytes at a fraction `where` into the file (its data pages; the footer is at the end)."""
    data = bytearray(path.read_bytes())
    at = int(len(data) * where)
    for k in range(at, min(at + count, len(data) - 16)):
        data[k] ^= 0xFF
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("table", sorted(READS))
@pytest.mark.parametrize("where", [0.1, 0.5])
def test_a_flipped_data_page_fails_the_first_read_naming_the_file(copy, table, where):
    _flip(copy / f"{table}.parquet", where)
    with pytest.raises(cstore.StoreError) as info:
        READS[table]()
    message = str(info.value)
    assert repr(table) in message and str(copy / f"{table}.parquet") in message
    # and again: the verdict is kept, the value never appears
    with pytest.raises(cstore.StoreError, match=table):
        READS[table]()


@pytest.mark.parametrize("table", ["style_exposure", "factor_covariance", "specific_risk", "index_weights"])
def test_an_optimization_on_a_damaged_table_raises_instead_of_solving(copy, table):
    pool = corvana.index_components("000300.XSHG", PREV)
    _flip(copy / f"{table}.parquet")
    corvana.client.current().reset()  # as a fresh process would: nothing in memory
    with pytest.raises(cstore.StoreError, match=table):
        portfolio_optimize(pool, DATE, MinTrackingError(), bnds={"*": (0, 0.2)}, benchmark="000300.XSHG")


def test_sound_files_are_checked_once_per_version(copy, monkeypatch):
    checked = []
    real = snapshot.Snapshot._verify
    monkeypatch.setattr(snapshot.Snapshot, "_verify",
                        lambda self, name: checked.append(name) or real(self, name))
    corvana.client.current().reset()
    for _ in range(3):
        for read in READS.values():
            read()
    assert sorted(checked) == sorted(READS)


def test_damage_after_the_check_of_a_version_is_found_by_the_next_version(copy):
    READS["factor_covariance"]()
    # the same bytes rewritten with a new manifest: a new version, checked anew
    _flip(copy / "factor_covariance.parquet")
    manifest = json.loads((copy / "manifest.json").read_text())
    (copy / "manifest.json").write_text(json.dumps(manifest, indent=1))
    with pytest.raises(cstore.StoreError, match="factor_covariance"):
        corvana.get_factor_covariance("2021-05-31")


def test_a_store_without_recorded_checksums_is_read(copy):
    manifest = json.loads((copy / "manifest.json").read_text())
    for meta in manifest["tables"].values():
        meta.pop("sha256", None)
        meta.pop("crc32", None)
    (copy / "manifest.json").write_text(json.dumps(manifest))
    cov = corvana.get_factor_covariance(PREV)
    assert np.allclose(cov.to_numpy(), cov.to_numpy().T)
