"""A user's own data: the import's plausibility findings, import_frames, and
a weights-only benchmark, checked against computations from the raw data."""
import warnings

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest

import corvana
from corvana import cli as ccli
from corvana.checks import DataWarning

DAYS = pd.bdate_range("2024-01-01", periods=12)


def _prices(**edits):
    """A wide frame (Close, Adj Close, Volume) x (A, B, C) over DAYS; `edits` replace fields."""
    rng = np.random.default_rng(3)
    close = pd.DataFrame(10 * np.cumprod(1 + rng.normal(0, 0.01, (len(DAYS), 3)), axis=0),
                         index=DAYS, columns=["A", "B", "C"])
    fields = {"Close": close, "Adj Close": close * 1.0, "Volume": pd.DataFrame(1e5, index=DAYS, columns=close.columns)}
    for name, fn in edits.items():
        fields[name] = fn(fields[name].copy()) if fn is not None else None
    fields = {k: v for k, v in fields.items() if v is not None}
    return pd.concat(fields, axis=1)


def _run(tmp_path, prices, **kwargs):
    """Import, returning the finding lines and the stored tables."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", DataWarning)
        path = corvana.import_frames(prices, tmp_path / "store", **kwargs)
    lines = [str(w.message) for w in caught if issubclass(w.category, DataWarning)]
    tables = {n: pq.read_table(path / f"{n}.parquet").to_pandas()
              for n in ("instruments", "bars", "index_weights")}
    return lines, tables


def _set(frame, row, col, value):
    frame.iloc[row, frame.columns.get_loc(col)] = value
    return frame


def _nan_days(frame):
    frame.iloc[4:6, frame.columns.get_loc("B")] = np.nan
    return frame


def _jump(frame):
    frame.iloc[6:, frame.columns.get_loc("C")] *= 1.8
    return frame


def _short(frame):
    frame.iloc[:3, frame.columns.get_loc("A")] = np.nan
    frame.iloc[9:, frame.columns.get_loc("C")] = np.nan
    return frame


# each case: the edits, extra arguments, the expected finding lines (substrings, in
# the order issued; [] for none)
FINDINGS = [
    ("clean", {}, {}, []),
    ("no volume field", {"Volume": None}, {},
     ["volume: 3 of 3 stocks (A, B, C) have no volume data: verdalis treats them as tradable every day "
      "(never as suspended), and the transaction limits refuse them"]),
    ("volume 0 every day", {"Volume": lambda f: _set(f.astype(float), slice(None), "B", 0.0)}, {},
     ["volume: 1 of 3 stocks (B) has no volume data"]),
    ("volume 0 on some days is a suspension", {"Volume": lambda f: _set(f, slice(2, 4), "B", 0.0)}, {}, []),
    ("gap", {"Close": _nan_days, "Adj Close": _nan_days, "Volume": _nan_days}, {},
     ["gaps: 1 stock miss 2 trading days inside their listed span (e.g. B 2024-01-05 and 1 more day(s))"]),
    ("jump without a factor change", {"Close": _jump, "Adj Close": _jump}, {},
     ["jumps: 1 day-over-day move beyond ±60% with no change of the adjustment factor in 1 instrument "
      "(e.g. C 2024-01-09 +80%)"]),
    ("a split the factor explains", {"Close": _jump}, {}, []),
    ("late listing and early end", {"Close": _short, "Adj Close": _short, "Volume": _short}, {},
     ["listing dates: 3 instruments (A, B, C) had none: taken from the first price; 1 delisted on the trading "
      "day after their last price (C)"]),
    ("index bars without weights", {}, {"indices": pd.Series(1000.0, index=DAYS, name="IDX")},
     ["index bars without weights: IDX has no constituent weights"]),
    ("index weights without bars", {}, {"index_weights": {"EQW": pd.Series(1.0, index=["A", "B", "C"])}},
     ["index weights without bars: EQW: its daily return is computed from the members' weights"]),
]


@pytest.mark.parametrize("edits, kwargs, expected", [c[1:] for c in FINDINGS], ids=[c[0] for c in FINDINGS])
def test_each_finding_is_one_line(tmp_path, edits, kwargs, expected):
    lines, _ = _run(tmp_path, _prices(**edits), **kwargs)
    # the listing line is there for frames (they carry no listing dates) unless a date was derived
    lines = [x for x in lines if not (x.startswith("listing dates:") and "none delisted" in x)]
    assert len(lines) == len(expected), lines
    for line, want in zip(lines, expected):
        assert want in line


@pytest.mark.parametrize("edits, volume_of_b", [
    ({"Volume": None}, [np.nan] * 12),
    ({"Volume": lambda f: _set(f.astype(float), slice(None), "B", 0.0)}, [np.nan] * 12),
    ({"Volume": lambda f: _set(f, slice(2, 4), "B", 0.0)}, [1e5, 1e5, 0, 0] + [1e5] * 8),
])
def test_volume_stored_as_no_data_never_as_zero(tmp_path, edits, volume_of_b):
    _, tables = _run(tmp_path, _prices(**edits))
    b = tables["bars"][tables["bars"]["order_book_id"] == "B"].sort_values("date")["volume"].to_numpy()
    np.testing.assert_array_equal(b, volume_of_b)


def test_listing_dates_come_from_the_first_and_last_price(tmp_path):
    _, tables = _run(tmp_path, _prices(Close=_short, **{"Adj Close": _short}))
    inst = tables["instruments"].set_index("order_book_id")
    assert inst.loc["A", "listed_date"] == "2024-01-04"
    assert inst.loc["C", ["listed_date", "de_listed_date"]].tolist() == ["2024-01-01", "2024-01-12"]
    assert inst.loc["B", "de_listed_date"] == "0000-00-00"


@pytest.mark.parametrize("edits, message", [
    ({"Close": lambda f: _set(f, 3, "A", -1.0)}, r"prices\['Close'\]: A on 2024-01-04: -1.0 is not a positive number"),
    ({"Adj Close": lambda f: _set(f, 0, "C", 0.0)}, r"prices\['Adj Close'\]: C on 2024-01-01: 0.0 is not a positive"),
    ({"Volume": lambda f: _set(f.astype(float), 5, "B", -3.0)}, r"prices\['Volume'\]: B on 2024-01-08: -3.0 is not a non-neg"),
    ({"Close": lambda f: _set(f.astype(object), 2, "B", "n/a")}, r"prices\['Close'\]: B on 2024-01-03: 'n/a' is not a pos"),
])
def test_bad_prices_are_refused_by_ticker_and_date(tmp_path, edits, message):
    with pytest.raises(corvana.DataImportError, match=message):
        corvana.import_frames(_prices(**edits), tmp_path / "store")
    assert not (tmp_path / "store").exists()


@pytest.mark.parametrize("column, value, message", [
    ("close", "0", r"bars\.csv: row 2 \(line 3\), column 'close': '0' must be greater than 0"),
    ("close", "-2.5", r"column 'close': '-2.5' must be greater than 0"),
])
def test_non_positive_prices_in_files_are_refused(tmp_path, column, value, message):
    src = _files(tmp_path)
    bars = pd.read_csv(src / "bars.csv", dtype=str)
    bars.loc[1, column] = value
    bars.to_csv(src / "bars.csv", index=False)
    with pytest.raises(corvana.DataImportError, match=message):
        corvana.import_store(src, tmp_path / "store")


def _files(tmp_path):
    """The clean case as a folder of CSV files without volume or listing dates."""
    src = tmp_path / "src"
    src.mkdir()
    close = _prices()["Close"]
    long = close.stack().rename("close").reset_index()
    long.columns = ["date", "order_book_id", "close"]
    long["date"] = long["date"].dt.strftime("%Y-%m-%d")
    long["adj_factor"] = 1.0
    long["market_cap_3"] = ""
    long.to_csv(src / "bars.csv", index=False)
    pd.DataFrame({"order_book_id": ["A", "B", "C"], "symbol": "", "type": "CS", "exchange": ""}).to_csv(
        src / "instruments.csv", index=False)
    pd.DataFrame({"date": DAYS.strftime("%Y-%m-%d")}).to_csv(src / "trading_dates.csv", index=False)
    (src / "index_weights.csv").write_text("index_id,date,order_book_id,weight\n")
    (src / "industries.csv").write_text("order_book_id,standard,industry\n")
    return src


def test_files_without_volume_and_listing_columns_import_and_verify(tmp_path, capsys):
    src = _files(tmp_path)
    assert ccli.main(["import", str(src), "--path", str(tmp_path / "store"), "--quiet"]) == 0
    out = capsys.readouterr().out
    assert "checks: 2 finding(s)" in out
    assert "volume: 3 of 3 stocks (A, B, C) have no volume data" in out
    assert "listing dates: 3 instruments (A, B, C) had none" in out
    assert ccli.main(["verify", "--path", str(tmp_path / "store")]) == 0
    out = capsys.readouterr().out
    assert "is sound" in out and "volume: 3 of 3 stocks" in out


@pytest.mark.parametrize("how", ["frames", "import_store", "read_source"])
def test_findings_point_at_the_users_call(tmp_path, how):
    from corvana.importer import read_source

    calls = {"frames": lambda: corvana.import_frames(_prices(Volume=None), tmp_path / "store"),
             "import_store": lambda: corvana.import_store(_files(tmp_path), tmp_path / "store"),
             "read_source": lambda: read_source(_files(tmp_path))}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", DataWarning)
        calls[how]()
    found = [w for w in caught if issubclass(w.category, DataWarning)]
    assert found and {w.filename for w in found} == {__file__}


def test_weights_only_benchmark_nav_matches_the_members_returns(tmp_path):
    """Weights that change on the 5th day; member B lacks a bar on day 8."""
    prices = _prices(Close=lambda f: _set(f, 7, "B", np.nan), **{"Adj Close": lambda f: f * [1.0, 1.5, 2.0]})
    weights = pd.DataFrame({"A": [0.5, 0.2], "B": [0.3, 0.3], "C": [0.2, 0.5]}, index=[DAYS[0], DAYS[4]])
    _run(tmp_path, prices, index_weights={"BENCH": weights})
    corvana.connect(tmp_path / "store")
    try:
        nav = corvana.get_price("BENCH", DAYS[0], DAYS[-1], adjust_type="post")["close"].droplevel(0)
        # independently: the total-return prices, and each day's weights of the day before
        tr = prices["Adj Close"].where(prices["Close"].notna())
        level = [1000.0]
        for t in range(1, len(DAYS)):
            w = weights.loc[weights.index <= DAYS[t - 1]].iloc[-1]
            r = tr.iloc[t] / tr.iloc[t - 1] - 1
            ok = r.notna()
            level.append(level[-1] * (1 + (w[ok] * r[ok]).sum() / w[ok].sum()))
        np.testing.assert_allclose(nav.to_numpy(), level, rtol=1e-10, atol=0)
    finally:
        corvana.connect(pytest.importorskip("os").environ["CORVANA_DATA"])


@pytest.fixture(scope="module")
def sp500():
    datasets = pytest.importorskip("skfolio.datasets")
    return datasets.load_sp500_dataset(), datasets.load_sp500_index()


SP500_FINDINGS = [
    "volume: 20 of 20 stocks (AAPL, AMD, BAC and 17 more) have no volume data",
    "index bars without weights: SP500 has no constituent weights",
    "jumps: 1 day-over-day move beyond ±60% with no change of the adjustment factor in 1 instrument "
    "(e.g. RRC 1990-04-10 -67%)",
]


def test_sp500_through_frames(tmp_path, sp500):
    prices, index = sp500
    lines, tables = _run(tmp_path, prices, indices=index.iloc[:, 0].rename("SP500"))
    found = [x for x in lines if not x.startswith("listing dates:")]
    assert len(found) == len(SP500_FINDINGS)
    for line, want in zip(found, SP500_FINDINGS):
        assert want in line
    assert tables["bars"]["volume"].isna().all()


def test_sp500_through_the_example_files(tmp_path, sp500, capsys):
    import importlib.util
    from pathlib import Path

    spec = importlib.util.spec_from_file_location(
        "real_sp500", Path(__file__).resolve().parents[1] / "examples" / "real_sp500.py")
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    src = example.write_source(tmp_path / "src", *sp500_pair(sp500))
    assert ccli.main(["import", str(src), "--path", str(tmp_path / "store"), "--quiet"]) == 0
    out = capsys.readouterr().out
    assert "checks: 3 finding(s)" in out
    for want in SP500_FINDINGS:
        assert want in out


def sp500_pair(sp500):
    prices, index = sp500
    return prices, index.iloc[:, 0]


def test_the_bring_your_own_data_walkthrough_runs(tmp_path, monkeypatch, sp500):
    """docs/data.md's walkthrough, and what it promises: a benchmark from weights
    gives a backtest that trades every month and whose IR is not its Sharpe."""
    import os
    import re
    from pathlib import Path

    text = (Path(__file__).resolve().parents[1] / "docs" / "data.md").read_text(encoding="utf-8")
    walk = text[text.index("## Bring your own data"):text.index("## Estimating the risk model")]
    blocks = re.findall(r"```python\n(.*?)```", walk, flags=re.S)
    assert len(blocks) == 4
    monkeypatch.chdir(tmp_path)
    space = {}
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DataWarning)
            # the attribution's own regression needs more stocks than these 20 (it says so and the
            # backtest goes on without it)
            warnings.filterwarnings("ignore", message="backtest: no attribution")
            for block in blocks:
                exec(compile(block, "docs/data.md", "exec"), space)
        for name in ("weights", "capped", "tracked", "vendor_weights"):
            w = space[name]
            assert abs(w.sum() - 1) < 1e-9 and w.max() <= 0.10 + 1e-5, name
        by_sector = space["capped"].groupby(space["gics"]).sum()
        assert by_sector.max() <= 0.25 + 1e-5  # within the solver's tolerance
        result = space["result"]
        assert len(result.turnover) == 24 and (result.turnover > 0).all()
        summary = result.summary
        assert abs(summary["information_ratio"] - summary["sharpe"]) > 0.1
        # the benchmark NAV moves with the members: not the flat 1.0 of a missing benchmark
        assert result.nav["benchmark"].std() > 0.01
        assert "no volume data, treated as tradable: 20 stock(s)" in result.rebalances["notes"].iloc[1]
    finally:
        corvana.connect(os.environ["CORVANA_DATA"])
