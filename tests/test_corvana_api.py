import datetime as dt
import enum
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import corvana
from corvana import client, schema
from corvana import store as cstore

DAY = dt.date(2021, 6, 15)  # a Tuesday and a trading day of the small market
SATURDAY = dt.date(2021, 6, 12)
INDEX = "000300.XSHG"


class Horizon(enum.Enum):
    MONTHLY = "monthly"


class Standard(enum.Enum):
    CITICS = "citics"


@pytest.fixture(scope="module")
def stocks(small_market):
    return corvana.all_instruments(type="CS", date=DAY)["order_book_id"].tolist()


# ----------------------------------------------------------------- instruments


def test_instruments_single_list_and_unknown(small_market, stocks):
    rec = corvana.instruments(stocks[0])
    assert isinstance(rec, corvana.Instrument)
    assert rec.order_book_id == stocks[0] and rec.type == "CS"
    assert len(rec.listed_date) == 10 and rec.listed_date[4] == "-"
    assert "order_book_id=" in repr(rec)
    with pytest.raises(AttributeError):
        rec.type = "INDX"
    assert corvana.instruments("999999.XSHG") is None

    got = corvana.instruments([stocks[2], "nope", stocks[0], stocks[2]])
    assert [r.order_book_id for r in got] == [stocks[2], stocks[0], stocks[2]]
    assert corvana.instruments(iter([INDEX]))[0].type == "INDX"
    assert corvana.instruments([]) == []


def test_all_instruments_filters(small_market):
    every = corvana.all_instruments()
    assert list(every.columns) == [c for c, _ in schema.SCHEMA["instruments"]]
    assert set(corvana.all_instruments(type="INDX")["order_book_id"]) == {
        "000300.XSHG", "000905.XSHG", "000852.XSHG"
    }
    assert set(corvana.all_instruments(type=["ETF", "LOF"])["type"]) <= {"ETF", "LOF"}
    both = corvana.all_instruments(type=("CS", "INDX"))  # any sequence of types
    assert set(both["type"]) == {"CS", "INDX"}
    assert len(both) == len(corvana.all_instruments(type="CS")) + 3
    listed = corvana.all_instruments(date=DAY)
    d = DAY.isoformat()
    assert (listed["listed_date"] <= d).all()
    assert ((listed["de_listed_date"] == "0000-00-00") | (listed["de_listed_date"] > d)).all()
    # listed later or delisted earlier: excluded
    out = every[~every["order_book_id"].isin(listed["order_book_id"])]
    assert ((out["listed_date"] > d) | ((out["de_listed_date"] != "0000-00-00") & (out["de_listed_date"] <= d))).all()


# ----------------------------------------------------------------- calendar


def test_trading_calendar_lookups(small_market):
    dates = corvana.get_trading_dates("2021-06-01", "20210630")
    assert all(type(d) is dt.date for d in dates)
    assert dates == sorted(dates) and dates[0] >= dt.date(2021, 6, 1) and dates[-1] <= dt.date(2021, 6, 30)
    assert SATURDAY not in dates and DAY in dates
    assert corvana.get_trading_dates(DAY, DAY) == [DAY]
    assert corvana.get_trading_dates(DAY, SATURDAY) == []

    i = dates.index(DAY)
    assert corvana.get_previous_trading_date(DAY) == dates[i - 1]
    assert corvana.get_previous_trading_date(DAY, n=3) == dates[i - 3]
    assert corvana.get_next_trading_date(DAY, 2) == dates[i + 2]
    # a non-trading day: "strictly before/after" counts from the neighbouring trading days
    assert corvana.get_previous_trading_date(SATURDAY) == max(d for d in dates if d < SATURDAY)
    assert corvana.get_next_trading_date(SATURDAY) == min(d for d in dates if d > SATURDAY)

    # every accepted date form gives the same answer
    for form in (DAY, "2021-06-15", "20210615", pd.Timestamp(DAY), np.datetime64("2021-06-15"),
                 dt.datetime(2021, 6, 15, 14, 30)):
        assert corvana.trading_date_offset(form, -2) == dates[i - 2]


def test_trading_date_offset_semantics(small_market):
    dates = corvana.get_trading_dates("2020-01-01", "2022-12-31")
    assert corvana.trading_date_offset(DAY, 0) == DAY
    assert corvana.trading_date_offset(SATURDAY, 0) == corvana.get_next_trading_date(SATURDAY)
    assert corvana.trading_date_offset(SATURDAY, -1) == corvana.get_previous_trading_date(SATURDAY)
    assert corvana.trading_date_offset(DAY, 5) == corvana.get_next_trading_date(DAY, 5)
    assert corvana.trading_date_offset(DAY, np.int64(-252)) == corvana.get_previous_trading_date(DAY, 252)
    assert corvana.trading_date_offset(dates[-1], -(len(dates) - 1)) == dates[0]

    with pytest.raises(ValueError, match="outside the trading calendar"):
        corvana.trading_date_offset(dates[0], -1)
    with pytest.raises(ValueError, match="outside the trading calendar"):
        corvana.trading_date_offset(dates[-1], 1)
    with pytest.raises(ValueError, match="outside the trading calendar"):
        corvana.trading_date_offset(dates[-1] + dt.timedelta(days=3), 0)
    with pytest.raises(ValueError):
        corvana.get_previous_trading_date(DAY, 0)
    with pytest.raises(ValueError):
        corvana.trading_date_offset(DAY, 1.5)
    with pytest.raises(ValueError, match="as a date"):
        corvana.trading_date_offset("not a date", 1)


# ----------------------------------------------------------------- index weights


def test_index_weights_shape_and_lookup_rules(small_market):
    w = corvana.index_weights(INDEX, DAY)
    assert isinstance(w, pd.Series) and w.dtype == np.float64
    assert w.index.name == "order_book_id" and w.name == "weight"
    assert w.index.is_monotonic_increasing and w.index.is_unique
    assert len(w) == 10 and w.sum() == pytest.approx(1.0) and (w >= 0).all()

    # a weekend has no weights of its own: the latest earlier weights are used
    friday = corvana.get_previous_trading_date(SATURDAY)
    pd.testing.assert_series_equal(corvana.index_weights(INDEX, SATURDAY), corvana.index_weights(INDEX, friday))
    assert corvana.index_weights_ex(INDEX, SATURDAY) is None
    pd.testing.assert_series_equal(corvana.index_weights_ex(INDEX, DAY), w)

    assert corvana.index_weights(INDEX, "2019-06-01") is None
    assert corvana.index_weights("999999.XSHG", DAY) is None
    assert corvana.index_weights_ex("999999.XSHG", DAY) is None

    assert corvana.index_components(INDEX, SATURDAY) == sorted(corvana.index_weights(INDEX, friday).index)
    assert corvana.index_components("999999.XSHG", DAY) == []
    assert len(corvana.index_components("000852.XSHG", DAY)) == 30

    # callers may modify what they get without affecting later reads
    w.iloc[0] = 99.0
    assert corvana.index_weights(INDEX, DAY).iloc[0] != 99.0


# ----------------------------------------------------------------- prices


def test_price_change_rate_matches_total_return_prices(small_market, stocks):
    ids = [stocks[3], INDEX, stocks[1], stocks[3], "000000.XSHE"]
    start = "2021-06-01"
    r = corvana.get_price_change_rate(ids, start, DAY)
    expected_rows = corvana.get_trading_dates(start, DAY)
    assert list(r.index.date) == expected_rows and r.index.name == "date"
    assert list(r.columns) == ids and r.columns.name == "order_book_id"
    assert r["000000.XSHE"].isna().all()
    assert not r[INDEX].isna().any()

    prev = corvana.get_previous_trading_date(start)
    post = corvana.get_price(stocks[1], prev, DAY, fields="close", adjust_type="post")["close"]
    tr = post.droplevel("order_book_id")
    expected = (tr / tr.shift(1) - 1).iloc[1:]
    np.testing.assert_allclose(r[stocks[1]].to_numpy(), expected.to_numpy(), rtol=1e-12)

    one = corvana.get_price_change_rate(INDEX, DAY, DAY)
    assert one.shape == (1, 1) and one.iloc[0, 0] == pytest.approx(r[INDEX].iloc[-1])
    first = corvana.get_trading_dates("2020-01-01", "2020-01-31")[0]
    assert np.isnan(corvana.get_price_change_rate(INDEX, first, first).iloc[0, 0])
    empty = corvana.get_price_change_rate([INDEX], SATURDAY, SATURDAY)
    assert empty.shape == (0, 1)


def test_get_price_shape_order_and_adjustments(small_market, stocks):
    ids = [stocks[5], stocks[0]]
    start = "2020-03-01"
    raw = corvana.get_price(ids, start, DAY, fields=["close", "volume"], adjust_type="none")
    pre = corvana.get_price(ids, start, DAY, fields=["close"], adjust_type="pre")
    post = corvana.get_price(ids, start, DAY, "1d", "close", "post", True)

    assert raw.index.names == ["order_book_id", "date"] and list(raw.columns) == ["close", "volume"]
    assert list(pre.columns) == ["close"]
    assert list(dict.fromkeys(raw.index.get_level_values(0))) == ids
    for i in ids:
        assert raw.loc[i].index.is_monotonic_increasing
    assert raw.index.equals(pre.index) and raw.index.equals(post.index)
    assert isinstance(raw.index.get_level_values("date")[0], pd.Timestamp)

    # post = raw * factor; pre = post / (factor of the stock's last bar), so pre/post is constant per stock
    full = corvana.get_price(ids, "2020-01-01", "2030-01-01", fields="close", adjust_type="none")
    for i in ids:
        ratio = (pre.loc[i, "close"] / post.loc[i, "close"]).to_numpy()
        np.testing.assert_allclose(ratio, ratio[0], rtol=1e-12)
        assert (post.loc[i, "close"] / raw.loc[i, "close"] >= 1 - 1e-12).all()
        last_pre = corvana.get_price(i, "2020-01-01", "2030-01-01", fields="close")["close"].iloc[-1]
        assert last_pre == pytest.approx(full.loc[i, "close"].iloc[-1], rel=1e-12)

    one_day = corvana.get_price(ids, DAY, DAY, "1d", fields="close", adjust_type="none")
    assert len(one_day) == 2 and one_day.index.get_level_values("date").unique().tolist() == [pd.Timestamp(DAY)]

    empty = corvana.get_price(["000000.XSHE"], start, DAY)
    assert empty.empty and list(empty.columns) == ["close", "volume"]
    assert empty.index.names == ["order_book_id", "date"]

    with pytest.raises(ValueError, match="open"):
        corvana.get_price(ids, start, DAY, fields=["open"])
    with pytest.raises(ValueError, match="adjust_type"):
        corvana.get_price(ids, start, DAY, adjust_type="backward")
    with pytest.raises(ValueError, match="frequency"):
        corvana.get_price(ids, start, DAY, "1m")


def test_get_factor(small_market, stocks):
    f = corvana.get_factor(stocks[:3], "market_cap_3", "2021-06-01", DAY)
    assert list(f.columns) == ["market_cap_3"] and f.index.names == ["order_book_id", "date"]
    assert (f["market_cap_3"] > 0).all()
    assert f.index.equals(corvana.get_price(stocks[:3], "2021-06-01", DAY).index)
    with pytest.raises(ValueError, match="pe_ratio"):
        corvana.get_factor(stocks[:3], ["market_cap_3", "pe_ratio"], "2021-06-01", DAY)


def test_get_industry(small_market, stocks):
    ids = [stocks[4], "000000.XSHE", stocks[1]]
    sws = corvana.get_industry(ids)
    assert list(sws.index) == ids and sws.index.name == "order_book_id"
    assert (sws.name, sws.dtype) == ("industry", object)  # not pandas' string dtype
    assert sws["000000.XSHE"] == "UNKNOWN" and sws[stocks[4]] != "UNKNOWN"
    citics = corvana.get_industry(ids, Standard.CITICS)
    pd.testing.assert_series_equal(citics, corvana.get_industry(ids, "citics"))
    with pytest.raises(ValueError, match="^unknown industry classification 'gics'; available: citics, sws$"):
        corvana.get_industry(ids, "gics")


# ----------------------------------------------------------------- risk model


def test_risk_model_snapshots(small_market, stocks):
    snap = corvana.get_risk_model_date(DAY)
    assert type(snap) is dt.date and snap <= DAY
    assert corvana.get_risk_model_date(snap) == snap
    assert corvana.get_risk_model_date(snap - dt.timedelta(days=1)) < snap
    assert corvana.get_risk_model_date("2019-01-01") is None
    with pytest.raises(ValueError, match="no v1 risk-model snapshot"):
        corvana.get_risk_exposure(stocks, "2019-01-01")
    with pytest.raises(ValueError, match="v3"):
        corvana.get_risk_model_date(DAY, "v3")

    ids = [stocks[7], "000000.XSHE", stocks[2]]
    x = corvana.get_risk_exposure(ids, DAY)
    assert list(x.index) == [stocks[7], stocks[2]] and x.index.name == "order_book_id"
    assert list(x.columns) == ["industry"] + corvana.STYLE_NAMES
    assert x[corvana.STYLE_NAMES].notna().all().all()
    # the snapshot in force is the same for every day up to the next one
    pd.testing.assert_frame_equal(x, corvana.get_risk_exposure(ids, snap))
    assert not corvana.get_risk_exposure(ids, DAY, "v2").equals(x)

    s = corvana.get_specific_risk(ids, DAY)
    assert list(s.index) == [stocks[7], stocks[2]] and s.index.name == "order_book_id"
    assert (s > 0).all() and (s < 0.01).all()  # daily units
    assert not s.equals(corvana.get_specific_risk(ids, DAY, Horizon.MONTHLY))


def test_factor_covariance_order_and_psd(small_market):
    c = corvana.get_factor_covariance(DAY)
    names = list(c.index)
    assert names == list(c.columns)
    assert names[0] == "country" and names[-10:] == corvana.STYLE_NAMES
    industries = names[1:-10]
    assert industries == sorted(industries) and len(industries) > 20
    x = corvana.get_risk_exposure(corvana.all_instruments(type="CS", date=DAY)["order_book_id"], DAY)
    assert set(x["industry"]) <= set(industries)
    m = c.to_numpy()
    np.testing.assert_allclose(m, m.T)
    assert np.linalg.eigvalsh(m).min() > -1e-12
    assert np.diag(m).max() < 0.01  # daily units
    monthly = corvana.get_factor_covariance(DAY, Horizon.MONTHLY, "v2")
    assert list(monthly.index) == names and not np.allclose(monthly.to_numpy(), m)
    with pytest.raises(ValueError, match="yearly"):
        corvana.get_factor_covariance(DAY, "yearly")


# ----------------------------------------------------------------- store behaviour


def test_build_on_first_read_and_rewrite(small_market, tmp_path, capfd, monkeypatch):
    """A folder without a store is filled on first read; a rewrite is seen by the next read."""
    from corvana import synth

    calls = []
    tables = {k: v.copy() for k, v in synth.generate("small", progress=False).items()}

    def fake_generate(size="full", seed=20240101, progress=True):
        calls.append((size, progress))
        return tables

    monkeypatch.setattr(synth, "generate", fake_generate)
    target = tmp_path / "fresh"
    try:
        corvana.connect(target)
        assert corvana.instruments(INDEX).type == "INDX"
        assert calls == [("small", True)]  # CORVANA_DEMO_SIZE=small in the test session
        err = capfd.readouterr().err
        assert f"no market data at {target}" in err and "building the synthetic demo market" in err
        assert (target / "manifest.json").is_file()
        assert corvana.connect(target).synthetic  # the auto-built store is marked as generated
        corvana.get_trading_dates(DAY, DAY)
        assert len(calls) == 1

        before = corvana.index_weights(INDEX, DAY)
        tables["index_weights"] = tables["index_weights"][tables["index_weights"]["index_id"] != INDEX]
        corvana.write_store(target, tables)
        assert before is not None and corvana.index_weights(INDEX, DAY) is None
        assert not [p for p in tmp_path.iterdir() if p.is_dir() and p.name.startswith(".")]
    finally:
        corvana.connect(small_market)


def test_write_store_refuses_foreign_folder_and_bad_tables(small_market, tmp_path):
    foreign = tmp_path / "documents"
    foreign.mkdir()
    (foreign / "thesis.txt").write_text("precious")
    tables = {name: pd.read_parquet(small_market / f"{name}.parquet") for name in schema.SCHEMA}
    with pytest.raises(cstore.StoreError, match="not a corvana store"):
        corvana.write_store(foreign, tables)
    assert (foreign / "thesis.txt").read_text() == "precious"

    with pytest.raises(ValueError, match="close"):
        corvana.write_store(tmp_path / "s", {**tables, "bars": tables["bars"].drop(columns="close")})
    partial = {k: v for k, v in tables.items() if k != "specific_risk"}
    with pytest.raises(ValueError, match="risk-model tables come as a group"):
        corvana.write_store(tmp_path / "s", partial)
    assert not (tmp_path / "s").exists()

    no_risk = {k: v for k, v in tables.items() if k not in schema.RISK_TABLES}
    corvana.write_store(tmp_path / "s", no_risk)
    try:
        corvana.connect(tmp_path / "s")
        assert corvana.get_risk_model_date(DAY) is None
        with pytest.raises(ValueError, match="no risk model"):
            corvana.get_factor_covariance(DAY)
    finally:
        corvana.connect(small_market)


@pytest.mark.parametrize("foreign, fill, message", [
    (False, False, "no market data at"),           # nothing may fill the folder
    (True, True, "holds files but no manifest"),   # a fill never writes over other files
])
def test_store_without_data_is_an_error_when_it_cannot_be_filled(tmp_path, foreign, fill, message):
    folder = tmp_path / "store"
    if foreign:
        folder.mkdir()
        (folder / "notes.txt").write_text("keep")
    calls = []
    store = cstore.Store(folder, fill=calls.append if fill else None)
    try:
        with pytest.raises(cstore.StoreError, match=message):
            store.ready()
    finally:
        store.close()
    assert calls == []
    assert not foreign or (folder / "notes.txt").read_text() == "keep"


@pytest.mark.parametrize("version", ["v1", "v2"])
def test_factor_covariance_per_horizon(small_market, version):
    """Each horizon of one version and date is its own matrix, whatever was read before."""
    raw = pd.read_parquet(small_market / "factor_covariance.parquet")
    snapshot = corvana.get_risk_model_date(DAY, version)
    raw = raw[(raw["version"] == version) & (pd.to_datetime(raw["date"]).dt.date == snapshot)]
    for horizon in ["daily", "monthly", "quarterly", "daily"]:
        got = corvana.get_factor_covariance(DAY, horizon, version)
        rows = raw[raw["horizon"] == horizon]
        expected = got.copy() * np.nan
        for fi, fj, c in zip(rows["factor_i"], rows["factor_j"], rows["cov"]):
            expected.loc[fi, fj] = expected.loc[fj, fi] = c
        np.testing.assert_allclose(got.to_numpy(), expected.to_numpy(), rtol=0, atol=0)


def test_one_member_index_and_a_model_without_country(small_market, tmp_path):
    """Edge shapes of imported data: an index of a single stock, a risk model with no country factor."""
    tables = {name: pd.read_parquet(small_market / f"{name}.parquet") for name in schema.SCHEMA}
    member = corvana.index_weights(INDEX, DAY).index[0]
    iw = tables["index_weights"]
    tables["index_weights"] = iw[(iw["index_id"] != INDEX) | (iw["order_book_id"] == member)]
    fc = tables["factor_covariance"]
    tables["factor_covariance"] = fc[(fc["factor_i"] != "country") & (fc["factor_j"] != "country")]
    corvana.write_store(tmp_path / "s", tables)
    try:
        corvana.connect(tmp_path / "s")
        assert corvana.index_weights(INDEX, DAY).to_dict() == {member: 1.0}
        c = corvana.get_factor_covariance(DAY)
        assert "country" not in c.index and list(c.index[-10:]) == corvana.STYLE_NAMES
        assert np.isfinite(c.to_numpy()).all()
    finally:
        corvana.connect(small_market)


@pytest.mark.parametrize("env, size, wait", [
    (None, "full", "about 30 s"), ("full", "full", "about 30 s"), ("small", "small", "a few seconds"),
    ("tiny", "full", "about 30 s"),   # an unknown size builds the full market
])
def test_build_demo_size_and_manifest(small_market, tmp_path, capsys, monkeypatch, env, size, wait):
    from corvana import synth

    tables = {name: pd.read_parquet(small_market / f"{name}.parquet") for name in schema.SCHEMA}
    calls = []
    monkeypatch.setattr(synth, "generate", lambda size, progress: calls.append((size, progress)) or tables)
    if env is None:
        monkeypatch.delenv("CORVANA_DEMO_SIZE")
    else:
        monkeypatch.setenv("CORVANA_DEMO_SIZE", env)
    client.build_demo(tmp_path / "demo")
    assert calls == [(size, True)]
    assert f"building the synthetic demo market (one-off, {wait})" in capsys.readouterr().err
    st = cstore.Store(tmp_path / "demo")
    assert st.synthetic and st.manifest["source"] == f"corvana.synth.generate(size={size!r})"


@pytest.mark.parametrize("given, env, expected", [
    ("~/markets", None, "HOME/markets"),
    ("rel", None, "CWD/rel"),
    (None, "rel/store", "CWD/rel/store"),    # CORVANA_DATA, made absolute
])
def test_connect_resolves_the_folder(small_market, tmp_path, monkeypatch, given, env, expected):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.chdir(tmp_path)
    if env is not None:
        monkeypatch.setenv("CORVANA_DATA", env)
    try:
        st = corvana.connect(given)
        assert st.path == Path(expected.replace("HOME", str(tmp_path / "home")).replace("CWD", str(tmp_path)))
        assert client.current() is st
    finally:
        corvana.connect(small_market)


def test_first_use_connects_to_the_default_folder(small_market, monkeypatch):
    monkeypatch.setattr(client, "_current", None)  # restored afterwards
    st = client.current()
    try:
        assert st.path == cstore.default_path().absolute() and client.current() is st
    finally:
        st.close()
