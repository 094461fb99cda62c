"""Invariants of the generated demo market (small size)."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest

from corvana import schema, synth

# the generator writes exactly the store's tables and columns, in schema order
COLUMNS = {name: schema.columns(name) for name in schema.SCHEMA}


@pytest.fixture(scope="module")
def built():
    return synth._build("small", progress=False)


@pytest.fixture(scope="module")
def tables(built):
    return built[0]


@pytest.fixture(scope="module")
def sim(built):
    return built[1]


@pytest.fixture(scope="module")
def stock_bars(tables):
    inst = tables["instruments"]
    stocks = set(inst.loc[inst["type"] == "CS", "order_book_id"])
    b = tables["bars"]
    b = b[b["order_book_id"].isin(stocks)].reset_index(drop=True)
    same = np.r_[False, b["order_book_id"].to_numpy()[1:] == b["order_book_id"].to_numpy()[:-1]]
    b["prev_close"] = b["close"].shift(1).where(same)
    b["prev_adj"] = b["adj_factor"].shift(1).where(same)
    b["prev_cap"] = b["market_cap_3"].shift(1).where(same)
    b["tr_ret"] = b["close"] * b["adj_factor"] / (b["prev_close"] * b["prev_adj"]) - 1.0
    return b


def test_schema_keys_and_calendar(tables):
    assert list(tables) == list(COLUMNS)
    for name, cols in COLUMNS.items():
        df = tables[name]
        assert list(df.columns) == cols, name
        assert len(df) > 0, name
        assert not df.duplicated(subset=schema.KEYS[name]).any(), name
        for c, typ in schema.SCHEMA[name]:
            if typ == schema.DATE:
                assert pd.api.types.is_datetime64_any_dtype(df[c]), (name, c)
            elif typ == schema.F64:
                assert df[c].dtype == np.float64, (name, c)
                assert np.isfinite(df[c]).all(), (name, c)
    inst = tables["instruments"]
    assert inst["order_book_id"].is_unique
    assert (inst["type"] == "CS").sum() == synth.SIZES["small"]["n_stocks"]
    assert set(inst["type"]) == {"CS", "ETF", "LOF", "INDX"}
    assert set(inst.loc[inst["type"] == "INDX", "order_book_id"]) == set(synth.INDEX_IDS)
    for col in ("listed_date", "de_listed_date"):
        assert inst[col].str.fullmatch(r"\d{4}-\d{2}-\d{2}").all()
    cs = inst[inst["type"] == "CS"]["order_book_id"]
    assert cs.str.fullmatch(r"(6\d{5}\.XSHG)|([03]\d{5}\.XSHE)").all()
    assert not tables["bars"].duplicated(["order_book_id", "date"]).any()

    days = pd.DatetimeIndex(tables["trading_dates"]["date"])
    assert days.is_monotonic_increasing and days.is_unique
    assert days[0] == pd.Timestamp("2020-01-02") and days[-1] == pd.Timestamp("2021-12-31")
    assert (days.day_of_week < 5).all()
    for holiday in ("2020-01-01", "2020-01-28", "2020-05-01", "2020-10-05", "2021-02-12", "2021-10-01"):
        assert pd.Timestamp(holiday) not in days


def test_bars_exactly_while_listed(tables):
    days = pd.DatetimeIndex(tables["trading_dates"]["date"])
    by_id = tables["bars"].groupby("order_book_id")["date"].apply(pd.DatetimeIndex)
    inst = tables["instruments"].set_index("order_book_id")
    kinds = {"before": 0, "inside": 0, "recent": 0, "delisted": 0}
    for oid, rec in inst.iterrows():
        end = days[-1] if rec.de_listed_date == "0000-00-00" else pd.Timestamp(rec.de_listed_date)
        listed = pd.Timestamp(rec.listed_date)
        expected = days[(days >= listed) & (days <= end)]
        if rec.de_listed_date != "0000-00-00":
            expected = expected[expected < end]  # no bar on the delisting day itself
            kinds["delisted"] += 1
        if listed < days[0]:
            kinds["before"] += 1
        elif listed >= days[-30]:
            kinds["recent"] += 1
        else:
            kinds["inside"] += 1
        if listed >= days[0]:
            assert listed in days, oid
        got = by_id.get(oid, pd.DatetimeIndex([]))
        assert got.equals(expected), oid
    assert all(n > 0 for n in kinds.values()), kinds


def test_suspension_and_adjustment_events(tables, sim, stock_bars):
    b = stock_bars
    has_prev = b["prev_close"].notna()
    susp = (b["volume"] == 0) & has_prev
    assert susp.sum() > 0
    assert (b.loc[susp, "close"] == b.loc[susp, "prev_close"]).all()
    assert (b.loc[susp, "adj_factor"] == b.loc[susp, "prev_adj"]).all()
    assert (b.loc[b["volume"] > 0, "volume"] % 100 == 0).all()

    # the total-return price follows the simulated returns exactly and stays within price limits
    pos = {oid: i for i, oid in enumerate(sim.ids)}
    day = {d: j for j, d in enumerate(pd.DatetimeIndex(tables["trading_dates"]["date"]))}
    rows = b[has_prev]
    si = rows["order_book_id"].map(pos).to_numpy()
    ti = rows["date"].map(day).to_numpy() + sim.burn
    np.testing.assert_allclose(rows["tr_ret"].to_numpy(), sim.ret[ti, si], rtol=0, atol=1e-12)
    assert rows["tr_ret"].abs().max() <= 0.2 + 1e-12

    # the adjustment factor moves only on recorded dividend/split days, by split / (1 - yield)
    changed = rows[rows["adj_factor"] != rows["prev_adj"]]
    events = {(sim.ids[i], sim.dates[t - sim.burn]): (d, s) for t, i, d, s in sim.events}
    assert len(events) > 0 and any(s > 1 for d, s in events.values())
    assert len(changed) == len(events)
    for r in changed.itertuples():
        d, s = events[(r.order_book_id, r.date.date())]
        g = s / (1.0 - d)
        assert r.adj_factor / r.prev_adj == pytest.approx(g, rel=1e-12)
        # raw close drops by the dividend and the split; market value only by the dividend
        assert r.close / r.prev_close == pytest.approx((1 + r.tr_ret) / g, rel=1e-10)
        assert r.market_cap_3 / r.prev_cap == pytest.approx((1 + r.tr_ret) * (1 - d), rel=1e-10)
    # raw and adjusted closes genuinely differ somewhere
    assert (b["adj_factor"] != 1.0).any()


def test_index_weights_and_levels(tables):
    w = tables["index_weights"]
    bars = tables["bars"]
    inst = tables["instruments"]
    days = pd.DatetimeIndex(tables["trading_dates"]["date"])
    cs = set(inst.loc[inst["type"] == "CS", "order_book_id"])
    assert set(w["order_book_id"].unique()) <= cs
    sums = w.groupby(["index_id", "date"])["weight"].sum()
    np.testing.assert_allclose(sums.to_numpy(), 1.0, atol=1e-12)
    assert (w["weight"] > 0).all()
    assert not w.duplicated(["date", "order_book_id"]).any()  # the three indices are disjoint
    # every member trades (has a bar) that day
    keys = pd.MultiIndex.from_frame(bars[["order_book_id", "date"]])
    assert pd.MultiIndex.from_frame(w[["order_book_id", "date"]]).isin(keys).all()

    sizes = synth.SIZES["small"]["index_sizes"]
    rebal = {days[0]} | {d for p, d in zip(days[:-1], days[1:]) if d.month in (6, 12) and d.month != p.month}
    tr = bars.assign(tr=bars["close"] * bars["adj_factor"]).pivot(
        index="date", columns="order_book_id", values="tr")
    ret = tr.pct_change(fill_method=None)
    for idx, n in sizes.items():
        wi = w[w["index_id"] == idx].pivot(index="date", columns="order_book_id", values="weight")
        assert wi.index.equals(days)
        counts = wi.notna().sum(axis=1)
        assert counts.max() == n and (counts[list(rebal)] == n).all()
        # members join only at rebalances; in between they can only drop out (delisting)
        mem = wi.notna().to_numpy()
        for j in range(1, len(days)):
            if days[j] not in rebal:
                assert not (mem[j] & ~mem[j - 1]).any(), (idx, days[j])
        # the level moves with yesterday's weights applied to today's member returns
        prev = wi.shift(1).iloc[1:]
        r_mem = ret.loc[prev.index, prev.columns]
        trading = r_mem.notna() & prev.notna()
        expected = (prev.where(trading) * r_mem).sum(axis=1) / prev.where(trading).sum(axis=1)
        np.testing.assert_allclose(ret[idx].iloc[1:].to_numpy(), expected.to_numpy(), atol=1e-12)
        idx_bars = bars[bars["order_book_id"] == idx]
        assert (idx_bars["volume"] == 0).all() and len(idx_bars) == len(days)


def test_industries(tables):
    ind = tables["industries"]
    inst = tables["instruments"]
    cs = set(inst.loc[inst["type"] == "CS", "order_book_id"])
    assert set(ind["order_book_id"]) == cs  # funds and indices are not classified
    assert not ind.duplicated(["order_book_id", "standard"]).any()
    sws = ind[ind["standard"] == "sws"].set_index("order_book_id")["industry"]
    citics = ind[ind["standard"] == "citics"].set_index("order_book_id")["industry"]
    assert len(sws) == len(citics) == len(cs)
    assert (sws == "UNKNOWN").any() and (citics == "UNKNOWN").any()
    assert set(sws) - {"UNKNOWN"} <= set(synth.INDUSTRIES_SWS)
    assert set(citics) - {"UNKNOWN"} <= set(synth.INDUSTRIES_CITICS)
    assert set(sws) != set(citics)
    # the risk model's industry is the stock's sws industry wherever that is known
    expo = tables["style_exposure"]
    model = expo.drop_duplicates("order_book_id").set_index("order_book_id")["industry"]
    known = sws.reindex(model.index)
    known = known[known != "UNKNOWN"]
    assert (model[known.index] == known).all()


def test_risk_model_snapshots(tables):
    expo = tables["style_exposure"]
    cov = tables["factor_covariance"]
    spec = tables["specific_risk"]
    bars = tables["bars"]
    inst = tables["instruments"]
    days = pd.DatetimeIndex(tables["trading_dates"]["date"])
    month_ends = days[np.r_[days.month[1:] != days.month[:-1], True]]
    cs = set(inst.loc[inst["type"] == "CS", "order_book_id"])
    stock_bars = bars[bars["order_book_id"].isin(cs)]
    ind_names = sorted(synth.INDUSTRIES_SWS)
    model_order = ["country"] + ind_names + synth.STYLE_NAMES
    for table in (expo, cov, spec):
        assert set(table["version"].unique()) == {"v1", "v2"}
        assert pd.DatetimeIndex(np.sort(table["date"].unique())).equals(month_ends)
    assert set(cov["horizon"].unique()) == set(spec["horizon"].unique()) == set(synth.HORIZONS)

    # every snapshot covers exactly the stocks trading that day, in both versions and all horizons
    trading = stock_bars[stock_bars["date"].isin(month_ends)]
    want = pd.MultiIndex.from_frame(trading[["date", "order_book_id"]]).sort_values()
    for ver in ("v1", "v2"):
        e = expo[expo["version"] == ver]
        assert pd.MultiIndex.from_frame(e[["date", "order_book_id"]]).sort_values().equals(want)
        for hz in ("daily", "monthly", "quarterly"):
            sp = spec[(spec["version"] == ver) & (spec["horizon"] == hz)]
            assert pd.MultiIndex.from_frame(sp[["date", "order_book_id"]]).sort_values().equals(want)
    assert (spec["specific_variance"] > 0).all()
    assert spec["specific_variance"].median() == pytest.approx(0.0155**2, rel=0.6)
    g = expo.groupby(["version", "date"])
    assert (g[synth.STYLE_NAMES].mean().abs() < 0.35).all().all()
    assert (g[synth.STYLE_NAMES].std() > 0.7).all().all() and (g[synth.STYLE_NAMES].std() < 1.3).all().all()
    assert (g["industry"].nunique() == len(ind_names)).all()  # every industry factor has members
    assert set(expo["industry"].unique()) == set(ind_names)

    # covariance blocks: model factor order, symmetric, PSD
    k = len(model_order)
    blocks = cov.sort_values(["version", "date", "horizon"], kind="stable")
    n = len(blocks) // (k * k)
    assert n * k * k == len(blocks) == 2 * 3 * len(month_ends) * k * k
    fi = pd.Series(np.tile(np.repeat(model_order, k), n), dtype=blocks["factor_i"].dtype)
    fj = pd.Series(np.tile(model_order, k * n), dtype=blocks["factor_j"].dtype)
    assert (blocks["factor_i"].reset_index(drop=True) == fi).all()
    assert (blocks["factor_j"].reset_index(drop=True) == fj).all()
    a = blocks["cov"].to_numpy().reshape(n, k, k)
    np.testing.assert_allclose(a, a.transpose(0, 2, 1), rtol=0, atol=1e-18)
    assert np.linalg.eigvalsh(a).min() > -1e-14
    assert ((np.sqrt(a[:, 0, 0]) > 0.005) & (np.sqrt(a[:, 0, 0]) < 0.03)).all()  # a market's daily vol

    # versions and horizons give different numbers
    key = ["date", "horizon", "factor_i", "factor_j"]
    v1 = cov[cov["version"] == "v1"].set_index(key)["cov"]
    v2 = cov[cov["version"] == "v2"].set_index(key)["cov"]
    assert not np.allclose(v1.to_numpy(), v2.reindex(v1.index).to_numpy())
    d = v1.xs("daily", level="horizon").to_numpy()
    q = v1.xs("quarterly", level="horizon").to_numpy()
    assert not np.allclose(d, q)
    e1 = expo[expo["version"] == "v1"]["beta"].to_numpy()
    e2 = expo[expo["version"] == "v2"]["beta"].to_numpy()
    assert 0.8 < np.corrcoef(e1, e2)[0, 1] < 0.9999


def test_deterministic_for_a_seed(tables):
    again = synth.generate("small", progress=False)
    assert list(again) == list(tables)
    for name in tables:
        pd.testing.assert_frame_equal(again[name], tables[name], check_exact=True)
    other = synth.generate("small", seed=7, progress=False)
    assert not other["bars"]["close"].equals(tables["bars"]["close"])


def test_unknown_size_is_refused():
    with pytest.raises(ValueError, match="huge"):
        synth.generate("huge", progress=False)
    assert synth.trading_calendar(dt.date(2024, 2, 8), "2024-02-19") == [
        dt.date(2024, 2, 8), dt.date(2024, 2, 19)]
