"""The store defends its data: damage is found and named, writes fail clearly."""
import datetime as dt
import json
import os
from pathlib import Path

import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import corvana
from corvana import cli
from corvana import store as cstore
from corvana import writer


@pytest.fixture(scope="module")
def tables(small_market):
    st = cstore.Store(small_market)
    out = {name: st.read_table(name) for name in st.manifest["tables"]}
    st.close()
    return out


@pytest.fixture
def fresh(tmp_path, tables):
    return corvana.write_store(tmp_path / "s", tables, source="test")


def _flip(path, at):
    data = bytearray(path.read_bytes())
    data[int(len(data) * at)] ^= 0xFF
    path.write_bytes(bytes(data))


def _rewrite_manifest(path, name, **meta):
    m = json.loads((path / "manifest.json").read_text())
    m["tables"][name].update(meta)
    (path / "manifest.json").write_text(json.dumps(m))


def test_manifest_records_size_and_digest(fresh):
    meta = json.loads((fresh / "manifest.json").read_text())["tables"]
    for name, entry in meta.items():
        size, digest = cstore._file_digest(fresh / entry["file"])
        assert (entry["size"], entry["sha256"]) == (size, digest)
    assert cstore.Store(fresh).verify() == {}


def _truncate(path):
    f = path / "bars.parquet"
    f.write_bytes(f.read_bytes()[: f.stat().st_size // 3])


def _wrong_columns(path):
    f = path / "industries.parquet"
    pq.write_table(pq.read_table(f).rename_columns(["a", "b", "c"]), f)
    _rewrite_manifest(path, "industries", size=f.stat().st_size)


def _wrong_type(path):
    f = path / "trading_dates.parquet"
    pq.write_table(pa.table({"date": pq.read_table(f).column("date").cast(pa.string())}), f)
    _rewrite_manifest(path, "trading_dates", size=f.stat().st_size)


def _missing(path):
    (path / "industries.parquet").unlink()


def _not_parquet(path):
    f = path / "instruments.parquet"
    f.write_bytes(b"x" * f.stat().st_size)


@pytest.mark.parametrize("damage, table, problem", [
    (_truncate, "bars", "manifest records"),
    (_wrong_columns, "industries", "its columns are a, b, c; expected order_book_id, standard, industry"),
    (_wrong_type, "trading_dates", "column types differ: date is string, expected date32"),
    (_missing, "industries", "cannot be read"),
    (_not_parquet, "instruments", "not a readable Parquet file"),
])
def test_opening_a_damaged_store_names_the_file_and_the_repair(fresh, damage, table, problem):
    damage(fresh)
    st = cstore.Store(fresh)
    with pytest.raises(cstore.StoreError) as info:
        st.query("select 1")
    text = str(info.value)
    assert f"table {table!r} ({fresh / (table + '.parquet')})" in text and problem in text
    assert "import SOURCE_DIR --path" in text
    assert table in st.verify()


def test_verify_finds_a_flipped_byte_the_open_check_cannot(fresh, capsys):
    _flip(fresh / "bars.parquet", 0.5)
    assert cli.main(["verify", "--path", str(fresh)]) == 1
    err = capsys.readouterr().err
    assert f"bad file {fresh / 'bars.parquet'} (table 'bars'): its SHA-256 differs" in err
    assert "rewrite the store with" in err
    # the other files are sound
    assert set(cstore.Store(fresh).verify()) == {"bars"}


def _without_checksums(path):
    """A manifest recording no sizes or checksums: damage is left for the reader to find."""
    m = json.loads((path / "manifest.json").read_text())
    for meta in m["tables"].values():
        meta.pop("sha256", None), meta.pop("crc32", None), meta.pop("size", None)
    (path / "manifest.json").write_text(json.dumps(m))


def test_read_errors_surface_as_store_errors(fresh):
    _without_checksums(fresh)
    st = cstore.Store(fresh)
    st.query("select count(*) from bars")
    # damage behind an open connection: the size check is not repeated, the reader fails
    _flip(fresh / "instruments.parquet", 0.3)
    with pytest.raises(cstore.StoreError, match=r"reading table 'instruments' .*instruments.parquet") as info:
        st.read_table("instruments")
    assert info.value.__cause__ is not None


def test_stale_temporary_folder_is_removed_on_open(fresh):
    stale = fresh.parent / f".{fresh.name}.tmp-999999999-dead"
    stale.mkdir()
    (stale / "bars.parquet").write_bytes(b"partial")
    cstore.Store(fresh).ready()
    assert not stale.exists()


@pytest.mark.parametrize("where, attempted", [
    ("file", "is a file, not a store folder"),
    ("file/sub/store", "could not take the build lock beside it"),
])
def test_unwritable_location_says_what_was_attempted(tmp_path, tables, where, attempted):
    (tmp_path / "file").write_text("not a folder")
    target = tmp_path / where
    st = cstore.Store(target, fill=lambda p: corvana.write_store(p, tables))
    with pytest.raises(cstore.StoreError) as info:
        st.ready()
    assert attempted in str(info.value) and "point CORVANA_DATA" in str(info.value)


@pytest.mark.parametrize("read", [
    lambda st: st.query("select count(*) from bars where volume > 0"),
    lambda st: st.query_df("select * from bars limit 5"),
], ids=["query", "query_df"])
def test_failed_queries_name_their_tables(fresh, read):
    _without_checksums(fresh)
    st = cstore.Store(fresh)
    st.query("select 1")  # the views are open: damage now is found by the reader
    f = fresh / "bars.parquet"
    f.write_bytes(f.read_bytes()[: f.stat().st_size // 2])
    with pytest.raises(cstore.StoreError, match=rf"^reading table 'bars' \({fresh / 'bars.parquet'}\) failed"):
        read(st)


@pytest.mark.parametrize("manifest, action", [
    ({"synthetic": True, "source": "test"}, "build-demo"),
    # written before the flag existed: the demo generator named itself as the source
    ({"source": "corvana.synth.generate(size='small')"}, "build-demo"),
    ({"source": "import from /data"}, "import SOURCE_DIR"),
    ({}, "import SOURCE_DIR"),
])
def test_repair_command_fits_what_built_the_store(fresh, manifest, action):
    m = json.loads((fresh / "manifest.json").read_text())
    m.pop("synthetic"), m.pop("source")
    (fresh / "manifest.json").write_text(json.dumps({**m, **manifest}))
    _missing(fresh)
    with pytest.raises(cstore.StoreError, match=f" {action} --path {fresh}`"):
        cstore.Store(fresh).query("select 1")


@pytest.mark.parametrize("env, expected", [
    ({"CORVANA_DATA": "~/markets/a"}, "HOME/markets/a"),
    ({"CORVANA_DATA": "", "XDG_DATA_HOME": "/xdg"}, "/xdg/corvana"),
    ({"XDG_DATA_HOME": "~/xdg"}, "HOME/xdg/corvana"),
    ({}, "HOME/.local/share/corvana"),
])
def test_default_path(monkeypatch, tmp_path, env, expected):
    monkeypatch.setenv("HOME", str(tmp_path))
    for name in ("CORVANA_DATA", "XDG_DATA_HOME"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    assert cstore.default_path() == Path(expected.replace("HOME", str(tmp_path)))


def test_memo_drops_the_least_recently_used(fresh):
    st = cstore.Store(fresh)
    st.MEMO_SIZE = 2
    computed = []

    def value(key):
        return lambda: computed.append(key) or key.upper()

    for key in ["a", "b", "a", "c", "a", "b"]:   # "a" is read again before "c" arrives: "b" goes
        assert st.memo(key, value(key)) == key.upper()
    assert computed == ["a", "b", "c", "b"]


def test_missing_values_are_stored_as_nulls(tmp_path, tables):
    """NaN becomes a Parquet null, which queries see as NULL (not as a NaN number)."""
    bars = tables["bars"].to_pandas()
    bars.loc[3, "market_cap_3"] = float("nan")
    path = corvana.write_store(tmp_path / "s", {**tables, "bars": bars})
    assert pq.read_table(path / "bars.parquet").column("market_cap_3").null_count == 1
    st = cstore.Store(path)
    assert st.query("select count(*) as n from bars where market_cap_3 is null")["n"][0] == 1


@pytest.mark.parametrize("given, message", [
    ("bars", "^table 'bars': expected a pandas DataFrame, got str$"),
    ("volume", r"^table 'bars', column 'volume': cannot convert to double: "),
    ("partial", "^the risk-model tables come as a group: style_exposure, factor_covariance given without "
                "specific_risk$"),
])
def test_write_store_refusals_say_what_is_wrong(tmp_path, tables, given, message):
    bars = tables["bars"].to_pandas()
    edited = {
        "bars": {**tables, "bars": "bars"},
        "volume": {**tables, "bars": bars.assign(volume="many")},
        "partial": {k: v for k, v in tables.items() if k != "specific_risk"},
    }[given]
    with pytest.raises((TypeError, ValueError), match=message):
        corvana.write_store(tmp_path / "s", edited)
    assert not (tmp_path / "s").exists()


DEAD = 999999999  # above Linux's pid limit: never a live process


@pytest.mark.parametrize("store_exists", [True, False])
def test_stale_siblings_cleaned_and_others_kept(tmp_path, store_exists):
    path = tmp_path / "s"
    if store_exists:
        path.mkdir()
        (path / cstore.MANIFEST).write_text("{}")
    siblings = {  # name -> what becomes of it
        f".s.tmp-{DEAD}-a": "removed",                   # a killed writer's partial store
        f".s.tmp-{os.getpid()}-b": "kept",               # this process is writing it
        ".s.tmp-1-c": "kept",                            # a live writer
        ".s.tmp-notapid": "kept",
        f".s.new-{DEAD}": "kept",                        # not a name writers use
        f".t.tmp-{DEAD}": "kept",                        # another store's
        # the previous store, moved aside by a writer that died between its two renames
        f".s.old-{DEAD}-d": "removed" if store_exists else "restored",
    }
    for name in siblings:
        (tmp_path / name).mkdir()
        (tmp_path / name / cstore.MANIFEST).write_text("{}")
    (tmp_path / f".s.tmp-{DEAD}-file").write_text("a file, not a writer's folder")
    # whatever order the folder lists them in: here the ones to keep come first
    stale = {name for name, fate in siblings.items() if fate != "kept"}

    class KeptFirst(type(path)):
        def iterdir(self):
            return iter(sorted(super().iterdir(), key=lambda p: p.name in stale))

    cstore._clean_stale_siblings(KeptFirst(path))
    for name, fate in siblings.items():
        assert (tmp_path / name).exists() == (fate == "kept"), name
    assert (tmp_path / f".s.tmp-{DEAD}-file").exists()
    assert (path / cstore.MANIFEST).exists()


JUNE_15 = dt.date(2021, 6, 15)


@pytest.mark.parametrize("values, stored", [
    ([JUNE_15], [JUNE_15]),                                 # date objects, a single row
    ([JUNE_15, float("nan")], [JUNE_15, None]),             # a missing one among date objects
    (["2021-06-15"], [JUNE_15]),
    ([dt.datetime(2021, 6, 15, 10, 30)], [JUNE_15]),        # the day of a timestamp
])
def test_date_columns_in_any_form(values, stored):
    table = writer._to_arrow("trading_dates", pd.DataFrame({"date": pd.Series(values, dtype=object)}))
    assert table.column("date").to_pylist() == stored
