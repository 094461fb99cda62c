"""Store formats: a store written in the earlier format (no CRC-32, no integer
ids in the bars) is read with the same results, and `corvana upgrade`
rewrites it with identical data."""
import datetime
import hashlib
import json

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest

import corvana
from corvana import cli
from corvana import store as cstore
from verdalis.objective import MinTrackingError
from verdalis.optimize import portfolio_optimize


@pytest.fixture(scope="module")
def tables(small_market):
    st = cstore.Store(small_market)
    out = {name: st.read_table(name) for name in st.manifest["tables"]}
    st.close()
    return out


def _format1(path, tables):
    """A store as the format-1 writer left it: the tables as they are, SHA-256s only."""
    path.mkdir()
    meta = {}
    for name, table in tables.items():
        pq.write_table(table, path / f"{name}.parquet", row_group_size=65536, compression="zstd")
        data = (path / f"{name}.parquet").read_bytes()
        meta[name] = {"file": f"{name}.parquet", "rows": table.num_rows, "size": len(data),
                      "sha256": hashlib.sha256(data).hexdigest()}
    manifest = {"format": 1, "source": "corvana.synth.generate(size='small')", "synthetic": True,
                "created": "2024-01-01T00:00:00+00:00", "tables": meta,
                "first_date": "2020-01-02", "last_date": "2021-12-31", "bar_factors": ["market_cap_3"]}
    (path / "manifest.json").write_text(json.dumps(manifest))
    return path


IDS = ["000001.XSHE", "600000.XSHG", "000300.XSHG", "NOT.AN.ID"]


def _results():
    """What the readers of bars and an optimization give: every bar path (month blocks, a
    long direct read, the last adjustment factor) and a call that reads all tables."""
    cs = [i for i in corvana.index_components("000300.XSHG", "2021-06-29")]
    day = datetime.date(2021, 6, 30)
    return {
        "month": corvana.get_price(IDS, "2021-06-01", "2021-06-30"),
        "long": corvana.get_price(IDS, "2020-01-01", "2021-12-31", adjust_type="post"),
        "pre": corvana.get_price(IDS[:2], "2021-03-01", "2021-03-31", adjust_type="pre"),
        "rates": corvana.get_price_change_rate(IDS, "2020-02-01", "2021-11-30"),
        "factor": corvana.get_factor(IDS, "market_cap_3", "2021-01-01", "2021-02-15"),
        "weights": portfolio_optimize(cs, day, MinTrackingError(), bnds={"*": (0, 0.2)}, benchmark="000300.XSHG"),
    }


def _same(a, b):
    for key in a:
        if isinstance(a[key], pd.Series):
            pd.testing.assert_series_equal(a[key], b[key], check_exact=True, obj=key)
        else:
            pd.testing.assert_frame_equal(a[key], b[key], check_exact=True, obj=key)


@pytest.fixture(scope="module")
def current_results(tables, tmp_path_factory, small_market):
    path = corvana.write_store(tmp_path_factory.mktemp("f2") / "s", tables, source="test")
    manifest = json.loads((path / "manifest.json").read_text())
    assert manifest["format"] == cstore.FORMAT_VERSION == 2 and manifest["bar_ids"] == "instruments"
    assert all("crc32" in m for m in manifest["tables"].values())
    corvana.connect(path)
    try:
        return _results()
    finally:
        corvana.connect(small_market)


def test_a_format_1_store_reads_as_the_current_format(tables, current_results, tmp_path, small_market):
    old = _format1(tmp_path / "old", tables)
    corvana.connect(old)
    try:
        _same(_results(), current_results)
    finally:
        corvana.connect(small_market)


def test_upgrade_rewrites_a_format_1_store_with_identical_data(tables, current_results, tmp_path, small_market,
                                                               capsys):
    old = _format1(tmp_path / "old", tables)
    assert cli.main(["info", "--path", str(old)]) == 0
    assert "upgrade --path" in capsys.readouterr().out
    assert cli.main(["upgrade", "--path", str(old)]) == 0
    assert "from format 1 to format 2" in capsys.readouterr().out
    manifest = json.loads((old / "manifest.json").read_text())
    assert manifest["format"] == 2 and manifest["synthetic"] is True
    assert manifest["source"] == "corvana.synth.generate(size='small')"
    st = cstore.Store(old)
    assert st.verify() == {}
    for name, table in tables.items():
        assert st.read_table(name).equals(table), name
    st.close()
    corvana.connect(old)
    try:
        _same(_results(), current_results)
    finally:
        corvana.connect(small_market)
    assert cli.main(["upgrade", "--path", str(old)]) == 0
    assert "already in format 2" in capsys.readouterr().out


def test_a_damaged_format_1_store_is_not_upgraded(tables, tmp_path):
    old = _format1(tmp_path / "old", tables)
    f = old / "specific_risk.parquet"
    data = bytearray(f.read_bytes())
    data[len(data) // 2] ^= 0xFF
    f.write_bytes(bytes(data))
    before = (old / "manifest.json").read_text()
    assert cli.main(["upgrade", "--path", str(old)]) == 1
    assert (old / "manifest.json").read_text() == before


def test_a_store_of_a_newer_format_is_refused_by_name(tables, tmp_path):
    path = corvana.write_store(tmp_path / "s", tables, source="test")
    manifest = json.loads((path / "manifest.json").read_text())
    manifest["format"] = 99
    (path / "manifest.json").write_text(json.dumps(manifest))
    with pytest.raises(cstore.StoreError, match="format 99, newer than"):
        cstore.Store(path).ready()


@pytest.mark.parametrize("instruments_filter, has_ids", [
    (lambda t: t, True),
    # a bar whose id is no instrument: the bars are stored without integer ids, and still read
    (lambda t: t.slice(1), False),
])
def test_bars_carry_integer_ids_only_when_every_id_is_an_instrument(tables, tmp_path, small_market,
                                                                    instruments_filter, has_ids):
    changed = dict(tables, instruments=instruments_filter(tables["instruments"]))
    path = corvana.write_store(tmp_path / "s", changed, source="test")
    manifest = json.loads((path / "manifest.json").read_text())
    assert (manifest["bar_ids"] == "instruments") == has_ids
    assert ("_sid" in pq.read_schema(path / "bars.parquet").names) == has_ids
    corvana.connect(path)
    try:
        got = corvana.get_price(IDS[:2], "2021-06-01", "2021-06-30", adjust_type="none")
        bars = tables["bars"].to_pandas()
        want = bars[bars.order_book_id.isin(IDS[:2]) & (bars.date >= datetime.date(2021, 6, 1))
                    & (bars.date <= datetime.date(2021, 6, 30))]
        assert np.array_equal(np.sort(got["close"].to_numpy()), np.sort(want["close"].to_numpy()))
        assert cstore.Store(path).read_table("bars").column_names == tables["bars"].column_names
    finally:
        corvana.connect(small_market)
