import hashlib
import shutil

import pandas as pd
import pyarrow.parquet as pq
import pytest

import corvana
from corvana import cli, importer, schema
from corvana import writer as cstore


def _export(store_path, folder, parquet=()):
    """Write every table of a store as CSV (or Parquet for the names in ``parquet``)."""
    folder.mkdir()
    for name in schema.SCHEMA:
        frame = pq.read_table(store_path / f"{name}.parquet").to_pandas()
        if name in parquet:
            frame.to_parquet(folder / f"{name}.parquet", index=False)
        else:
            frame.to_csv(folder / f"{name}.csv", index=False)
    return folder


def _fingerprint(folder):
    return {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in sorted(folder.iterdir())}


@pytest.fixture(scope="module")
def exported(small_market, tmp_path_factory):
    return _export(small_market, tmp_path_factory.mktemp("export") / "csv")


@pytest.fixture
def previous_store(small_market, tmp_path):
    """A copy of the small market standing in for the user's current store."""
    path = tmp_path / "store"
    shutil.copytree(small_market, path)
    yield path
    corvana.connect(small_market)


@pytest.fixture
def source(exported, tmp_path):
    path = tmp_path / "src"
    shutil.copytree(exported, path)
    return path


def test_round_trip_csv_and_parquet(small_market, tmp_path, previous_store):
    src = _export(small_market, tmp_path / "mixed", parquet=("bars", "style_exposure"))
    assert cli.main(["import", str(src), "--path", str(previous_store)]) == 0
    for name in schema.SCHEMA:
        got = pq.read_table(previous_store / f"{name}.parquet")
        want = pq.read_table(small_market / f"{name}.parquet")
        assert got.equals(want), name
    corvana.connect(previous_store)
    assert len(corvana.index_components("000300.XSHG", "2021-06-15")) == 10
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]


def _edit(src, name, fn):
    path = src / f"{name}.csv"
    frame = pd.read_csv(path, dtype=str, keep_default_na=False)
    frame = fn(frame)
    frame.to_csv(path, index=False)


def _set(row, column, value):
    def fn(frame):
        frame.loc[row, column] = value
        return frame

    return fn


def _zero_weights_of(frame, row):
    """Set to 0 every weight of the index and date of ``row``."""
    same = (frame["index_id"] == frame.loc[row, "index_id"]) & (frame["date"] == frame.loc[row, "date"])
    frame.loc[same, "weight"] = "0"
    return frame


def _unsorted_blocks_missing_entries(frame):
    """v2's covariances listed before v1's; the first block of each version lacks an entry."""
    drop = [frame.index[frame["version"] == v][5] for v in ("v1", "v2")]
    return pd.concat([frame[frame["version"] == "v2"], frame[frame["version"] == "v1"]]).drop(index=drop)


_EXTRA_FACTOR_ROW = pd.DataFrame([{"version": "v1", "date": "2020-01-23", "horizon": "daily",
                                   "factor_i": "zzz", "factor_j": "beta", "cov": "0.0"}])


@pytest.mark.parametrize(
    "table, edit, expected",
    [
        ("bars", _set(1234, "close", "abc"), r"bars\.csv: row 1235 \(line 1236\), column 'close': 'abc' is not a number"),
        ("bars", _set(12, "close", "0"), r"bars\.csv: row 13 \(line 14\), column 'close': '0' must be greater than 0$"),
        ("bars", _set(20, "volume", "inf"), r"bars\.csv: row 21 \(line 22\), column 'volume': 'inf' is not a finite number$"),
        ("bars", _set(40, "volume", "-5"), r"bars\.csv: row 41 .*column 'volume'.*must not be negative"),
        ("bars", _set(7, "adj_factor", ""), r"bars\.csv: row 8 .*column 'adj_factor'.*missing"),
        ("bars", _set(99, "date", "2021-13-01"), r"bars\.csv: row 100 .*column 'date'.*not a date"),
        ("bars", _set(3, "date", "2020-01-04"), r"bars\.csv: row 4 .*column 'date'.*not in trading_dates"),
        ("bars", _set(5, "order_book_id", "123456.XSHG"), r"bars\.csv: row 6 .*'order_book_id'.*not in instruments"),
        ("bars", lambda f: pd.concat([f, f.iloc[[10]]], ignore_index=True), r"bars\.csv: row \d+ .*duplicate key"),
        ("index_weights", _set(500, "weight", "-0.1"), r"index_weights\.csv: row 501 .*column 'weight'"),
        ("index_weights", _set(300, "order_book_id", "999999.XSHE"),
         r"index_weights\.csv: row 301 .*'order_book_id': '999999\.XSHE' is not in instruments"),
        ("index_weights", _set(2, "index_id", "000999.XSHG"), r"index_weights\.csv: row 3 .*'index_id'.*not in instruments"),
        ("bars", _set(9, "order_book_id", " "), r"bars\.csv: row 10 \(line 11\), column 'order_book_id': value is missing$"),
        # same key, another weight: located at the key's last column
        ("index_weights", lambda f: pd.concat([f, f.iloc[[10]].assign(weight="0.5")], ignore_index=True),
         r"index_weights\.csv: row 29114 \(line 29115\), column 'order_book_id': "
         r"duplicate key \(index_id=000300\.XSHG, date=2020-01-03, order_book_id=000841\.XSHE\)$"),
        ("index_weights", lambda f: _zero_weights_of(f, 400),
         r"index_weights\.csv: row \d+ .*column 'weight'.*sum to 0"),
        ("instruments", _set(2, "listed_date", "yesterday"), r"instruments\.csv: row 3 .*column 'listed_date'"),
        ("instruments", lambda f: f.drop(columns="type"), r"instruments\.csv: missing column\(s\) 'type'"),
        ("style_exposure", _set(12, "version", "v9"), r"style_exposure\.csv: row 13 .*column 'version': 'v9' is not one of v1, v2$"),
        ("factor_covariance", _set(1, "cov", "1.0"), r"factor_covariance\.csv: row \d+ .*not symmetric"),
        ("factor_covariance", _set(3, "version", "v9"),
         r"factor_covariance\.csv: row 4 \(line 5\), column 'version': 'v9' is not one of v1, v2$"),
        ("specific_risk", _set(3, "version", "v0"),
         r"specific_risk\.csv: row 4 \(line 5\), column 'version': 'v0' is not one of v1, v2$"),
        ("factor_covariance", _set(3, "horizon", "weekly"),
         r"factor_covariance\.csv: row 4 \(line 5\), column 'horizon': 'weekly' is not one of daily, monthly, quarterly$"),
        # the small market's covariance blocks are 42x42, the first one v1 daily of 2020-01-23
        ("factor_covariance", lambda f: f.drop(index=5),
         r"factor_covariance\.csv: row 1 \(line 2\), column 'factor_i': the v1 daily covariance of 2020-01-23 "
         r"has 1763 entries; a full 42x42 matrix \(both triangles\) needs 1764$"),
        ("factor_covariance", lambda f: pd.concat([f, _EXTRA_FACTOR_ROW], ignore_index=True),
         r"row 1 .*v1 daily covariance of 2020-01-23 has 1765 entries; a full 43x43 matrix .* needs 1849$"),
        ("factor_covariance", _unsorted_blocks_missing_entries, r"row 1 \(line 2\), .*the v2 daily covariance"),
        ("specific_risk", _set(20, "specific_variance", "-1e-4"), r"specific_risk\.csv: row 21 .*'specific_variance'"),
        # a style may be empty for a whole snapshot, not for some of its rows
        ("style_exposure", _set(12, "beta", ""),
         r"style_exposure\.csv: row 13 \(line 14\), column 'beta': value is missing \(a style the model lacks "
         r"is empty in every row of the snapshot\)$"),
    ],
)
def test_bad_value_is_located_and_store_kept(source, previous_store, table, edit, expected):
    _edit(source, table, edit)
    before = _fingerprint(previous_store)
    with pytest.raises(importer.DataImportError, match=expected):
        corvana.import_store(source, previous_store)
    assert _fingerprint(previous_store) == before


def _first_snapshot(frame):
    return (frame["version"] == frame.loc[0, "version"]) & (frame["date"] == frame.loc[0, "date"])


def _blank_growth_of_first_snapshot(frame):
    frame.loc[_first_snapshot(frame), "growth"] = ""
    return frame


@pytest.mark.parametrize("table, edit, column, blanks", [
    ("bars", _set(5, "market_cap_3", ""), "market_cap_3", lambda f: [5]),   # the one optional bar value
    ("style_exposure", _blank_growth_of_first_snapshot, "growth", lambda f: f.index[_first_snapshot(f)].tolist()),
])
def test_optional_values_may_be_left_empty(source, previous_store, table, edit, column, blanks):
    _edit(source, table, edit)
    corvana.import_store(source, previous_store)
    got = pq.read_table(previous_store / f"{table}.parquet").to_pandas()
    assert got.index[got[column].isna()].tolist() == blanks(got)


def test_date_forms(small_market, source, previous_store):
    """YYYYMMDD and YYYY/MM/DD are read as well, also mixed in one column and before ISO dates."""
    _edit(source, "trading_dates", lambda f: f.assign(date=[d.replace("-", "") if i % 3 == 0 else
                                                             d.replace("-", "/") if i % 3 == 1 else d
                                                             for i, d in enumerate(f["date"])]))
    corvana.import_store(source, previous_store)
    got = pq.read_table(previous_store / "trading_dates.parquet")
    assert got.equals(pq.read_table(small_market / "trading_dates.parquet"))


def test_missing_files(source, previous_store):
    (source / "specific_risk.csv").unlink()
    with pytest.raises(importer.DataImportError, match="risk-model tables come as a group"):
        corvana.import_store(source, previous_store)
    for name in schema.RISK_TABLES:
        (source / f"{name}.csv").unlink(missing_ok=True)
    corvana.import_store(source, previous_store)  # the risk model is optional as a whole
    corvana.connect(previous_store)
    assert corvana.get_risk_model_date("2021-06-15") is None

    (source / "industries.csv").unlink()
    with pytest.raises(importer.DataImportError, match=r"industries\.csv \(or \.parquet\)"):
        corvana.import_store(source, previous_store)


@pytest.mark.parametrize("exc", [RuntimeError("disk full"), KeyboardInterrupt()])
def test_interrupted_write_keeps_previous_store(source, previous_store, monkeypatch, exc):
    written = []
    real = cstore._write_table

    def failing(table, target):
        if len(written) == 3:
            raise exc
        written.append(target)
        real(table, target)

    monkeypatch.setattr(cstore, "_write_table", failing)
    before = _fingerprint(previous_store)
    with pytest.raises(type(exc)):
        corvana.import_store(source, previous_store)
    assert len(written) == 3
    assert _fingerprint(previous_store) == before
    assert sorted(p.name for p in previous_store.parent.iterdir() if p.name.startswith(".")) == []
    corvana.connect(previous_store)
    assert corvana.instruments("000300.XSHG") is not None


def test_cli_info_and_errors(small_market, source, tmp_path, capsys):
    assert cli.main(["info", "--path", str(small_market)]) == 0
    out = capsys.readouterr().out
    assert "2020-01-02 .. 2021-12-31" in out and "bars" in out and "index_weights" in out

    assert cli.main(["info", "--path", str(tmp_path / "nothing")]) == 1
    assert "no market data" in capsys.readouterr().err
    assert not (tmp_path / "nothing").exists()  # info never builds a store

    _edit(source, "trading_dates", _set(4, "date", "20200230"))
    assert cli.main(["import", str(source), "--path", str(tmp_path / "new")]) == 1
    err = capsys.readouterr().err
    assert "trading_dates.csv: row 5 (line 6), column 'date'" in err
    assert not (tmp_path / "new").exists()


def test_swap_without_atomic_exchange(small_market, previous_store, source, monkeypatch):
    """Where directories cannot be exchanged in one call, the two-rename swap restores on failure."""
    monkeypatch.setattr(cstore, "_exchange", lambda a, b: False)
    real_rename = cstore.os.rename
    calls = []

    def second_rename_fails(a, b):
        calls.append((a, b))
        if len(calls) == 2:
            raise OSError("device busy")
        real_rename(a, b)

    before = _fingerprint(previous_store)
    monkeypatch.setattr(cstore.os, "rename", second_rename_fails)
    with pytest.raises(OSError, match="device busy"):
        corvana.import_store(source, previous_store)
    assert _fingerprint(previous_store) == before
    assert not [p for p in previous_store.parent.iterdir() if p.is_dir() and p.name.startswith(".")]

    monkeypatch.setattr(cstore.os, "rename", real_rename)
    _edit(source, "index_weights", lambda f: f[f["index_id"] != "000300.XSHG"])
    with pytest.warns(corvana.checks.DataWarning, match="000300.XSHG has no constituent weights"):
        corvana.import_store(source, previous_store)
    corvana.connect(previous_store)
    assert corvana.index_weights("000300.XSHG", "2021-06-15") is None
    assert not [p for p in previous_store.parent.iterdir() if p.is_dir() and p.name.startswith(".")]


def test_parquet_location_is_the_row(source, previous_store):
    bars = pd.read_csv(source / "bars.csv")
    bars.loc[7, "adj_factor"] = float("nan")
    bars.to_parquet(source / "bars.parquet", index=False)
    (source / "bars.csv").unlink()
    with pytest.raises(importer.DataImportError,
                       match=r"^bars\.parquet: row 8, column 'adj_factor': value is missing$"):
        corvana.import_store(source, previous_store)


def _flags(n, first_null=False):
    """False, True, False, ... (a boolean column; with a null first, pandas holds it as objects)."""
    values = [i % 2 == 1 for i in range(n)]
    return [None] + values[1:] if first_null else values


@pytest.mark.parametrize("edit, expected", [
    (lambda f: f.assign(volume=_flags(len(f))), r"row 1, column 'volume': False is not a number$"),
    (lambda f: f.assign(market_cap_3=_flags(len(f), first_null=True)),
     r"row 2, column 'market_cap_3': True is not a number$"),
    (lambda f: f.assign(is_st=_flags(len(f))), r"row 1, column 'is_st': False is not a number$"),  # extra factor
    # numbers read from Parquet are shown as plain numbers
    (_set(12, "close", 0.0), r"row 13, column 'close': 0\.0 must be greater than 0$"),
    (_set(20, "volume", float("-inf")), r"row 21, column 'volume': -inf is not a finite number$"),
])
def test_parquet_values_in_messages(source, previous_store, edit, expected):
    bars = edit(pd.read_csv(source / "bars.csv"))
    bars.to_parquet(source / "bars.parquet", index=False)
    (source / "bars.csv").unlink()
    with pytest.raises(importer.DataImportError, match=r"^bars\.parquet: " + expected):
        corvana.import_store(source, previous_store)
