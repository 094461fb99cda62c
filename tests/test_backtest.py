"""Backtests and sweeps on the small market, checked against independent computations."""
import datetime

import numpy as np
import pandas as pd
import pytest

import corvana
import verdalis.constraints as vc
from verdalis import backtest, config
from verdalis import sweep as sweeps

from test_config_report import BASE

MANDATE = BASE + """[[constraints]]
type = "TurnoverLimit"
current_holding = {}     # replaced by the drifted book at each rebalance
upper_limit = 0.2
"""
START, END = datetime.date(2021, 3, 1), datetime.date(2021, 7, 30)


@pytest.fixture(scope="module")
def mandate(small_market):
    return config.loads(MANDATE)


@pytest.fixture(scope="module")
def result(mandate, tmp_path_factory):
    return backtest.run(mandate, START, END, "monthly", out=tmp_path_factory.mktemp("bt"), progress=False)


@pytest.mark.parametrize("rebalance, expected", [
    ("monthly", ["2021-03-01", "2021-04-01", "2021-05-06"]),
    (10, ["2021-03-01", "2021-03-15"]),
    (["2021-03-03", "2021-03-06"], ["2021-03-03", "2021-03-08"]),  # a weekend moves to the next trading day
])
def test_rebalance_dates(small_market, rebalance, expected):
    dates = backtest.rebalance_dates(START, END, rebalance)
    trading = {str(d) for d in corvana.get_trading_dates(START, END)}
    assert all(str(d) in trading for d in dates)
    assert [str(d) for d in dates[:len(expected)]] == expected


def test_nav_recomputed_from_prices_and_the_recorded_weights(result):
    nav = result.nav
    assert nav.iloc[0].tolist() == [1.0, 1.0]
    # between rebalances a book of weights w grows by Σ w_i Π(1 + r_i)
    expected = [1.0]
    dates = list(result.weights.index) + [nav.index[-1] + pd.Timedelta(days=1)]
    value = 1.0
    for start, stop in zip(dates[:-1], dates[1:]):
        w = result.weights.loc[start]
        w = w[w > 0]
        days = nav.index[(nav.index >= start) & (nav.index < stop)]
        rates = corvana.get_price_change_rate(list(w.index), days[0], days[-1]).fillna(0.0)
        growth = (1 + rates).cumprod()
        expected += list(value * (growth * w).sum(axis=1))
        value = expected[-1]
    np.testing.assert_allclose(nav["portfolio"].to_numpy(), expected, rtol=1e-10)
    bench = corvana.get_price_change_rate("000300.XSHG", nav.index[1], nav.index[-1])["000300.XSHG"]
    np.testing.assert_allclose(nav["benchmark"].to_numpy()[1:], (1 + bench).cumprod().to_numpy(), rtol=1e-10)


def test_turnover_limit_gets_the_drifted_book_and_holds(mandate, monkeypatch):
    seen = []

    class Recording(vc.TurnoverLimit):
        def __init__(self, current_holding, upper_limit, *, hard=True):
            super().__init__(current_holding, upper_limit, hard=hard)
            seen.append(self._current_holding)

    monkeypatch.setattr(vc, "TurnoverLimit", Recording)
    res = backtest.run(mandate, START, END, "monthly", progress=False)
    handed = [h for h in seen if len(h)]  # the load-time check and the first (cash) date hold nothing
    assert "TurnoverLimit left out: the book starts in cash" in res.rebalances["notes"].iloc[0]
    dates = list(res.weights.index)
    assert len(dates) == 5 and len(handed) >= len(dates) - 1
    for before, after, holding in zip(dates[:-1], dates[1:], handed[-(len(dates) - 1):]):
        w = res.weights.loc[before]
        w = w[w > 0]
        prev = corvana.get_previous_trading_date(after)
        rates = corvana.get_price_change_rate(list(w.index), corvana.get_next_trading_date(before - pd.Timedelta(days=1)), prev)
        first = corvana.get_previous_trading_date(before)
        rates = rates[rates.index > pd.Timestamp(first)]
        drifted = w * (1 + rates.fillna(0.0)).prod()
        drifted /= drifted.sum()
        pd.testing.assert_series_equal(holding.sort_index(), drifted.sort_index(), check_names=False, rtol=1e-9)
    assert (res.turnover.iloc[1:] <= 0.2 + 2e-4).all()


def test_resume_after_an_interruption_gives_the_same_result(mandate, result, tmp_path, monkeypatch):
    from verdalis import optimize

    real, calls = optimize.portfolio_optimize, []

    def interrupted(*args, **kwargs):
        calls.append(1)
        if len(calls) == 3:
            raise KeyboardInterrupt
        return real(*args, **kwargs)

    monkeypatch.setattr(optimize, "portfolio_optimize", interrupted)
    with pytest.raises(KeyboardInterrupt):
        backtest.run(mandate, START, END, "monthly", out=tmp_path, progress=False)
    monkeypatch.setattr(optimize, "portfolio_optimize", real)
    resumed = backtest.run(mandate, START, END, "monthly", out=tmp_path, resume=True, progress=False)
    pd.testing.assert_frame_equal(resumed.nav, result.nav)
    pd.testing.assert_frame_equal(resumed.weights, result.weights)
    assert (tmp_path / "nav.parquet").exists() and (tmp_path / "report.html").exists()


@pytest.mark.parametrize("returns, values, cash", [
    ({"A": 0.1, "B": -0.5}, {"A": 55.0, "B": 25.0}, 20.0),
    ({"A": 0.0, "B": np.nan}, {"A": 50.0}, 70.0),   # B delisted: it leaves at its last value into cash
])
def test_book_drift_and_delisting(returns, values, cash):
    book = backtest._Book(0.0)
    book.values = pd.Series({"A": 50.0, "B": 50.0})
    book.cash = 20.0
    book.drift(pd.Series(returns))
    assert book.values.to_dict() == pytest.approx(values) and book.cash == pytest.approx(cash)


def test_a_suspended_holding_keeps_its_drifted_weight(mandate, monkeypatch):
    frozen = {}

    def suspended(ids, date):
        if ids and not frozen:
            frozen[date] = ids[0]
        return [frozen[date]] if date in frozen else []

    monkeypatch.setattr(backtest, "_suspended", suspended)
    res = backtest.run(mandate, START, END, "monthly", progress=False)
    [(date, ob)] = frozen.items()
    assert "suspended, kept: {}".format(ob) in res.rebalances.loc[pd.Timestamp(date), "notes"]
    before = res.weights.index[list(res.weights.index).index(pd.Timestamp(date)) - 1]
    assert res.weights.loc[pd.Timestamp(date), ob] > 0 and res.weights.loc[before, ob] > 0


@pytest.mark.parametrize("where", ["dask", "this process"])
def test_sweep_equals_one_by_one(mandate, where, capsys):
    from dask.distributed import Client, LocalCluster

    grid = {"constraints[0].upper_limit": [0.1, 0.3]}
    if where == "dask":
        with LocalCluster(n_workers=2, processes=False, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            table = backtest.sweep(mandate, grid, START, datetime.date(2021, 5, 31), client=client)
    else:
        store = corvana.client.current()
        table = backtest.sweep(mandate, grid, START, datetime.date(2021, 5, 31), max_workers=1)
        assert corvana.client.current() is store   # the same store, its caches kept
    err = capsys.readouterr().err   # the progress bar counts the points
    assert "sweep" in err and "2/2" in err
    for limit in grid["constraints[0].upper_limit"]:
        raw = sweeps._with_value(mandate.to_dict(), "constraints[0].upper_limit", limit)
        alone = backtest.run(config.validate(raw, "x", None), START, datetime.date(2021, 5, 31), progress=False)
        pd.testing.assert_series_equal(table.loc[limit], alone.summary, check_names=False)


@pytest.mark.parametrize("workers", [0, -1, 1.5, True])
def test_sweep_refuses_a_worker_count_that_is_not_a_positive_whole_number(mandate, workers):
    with pytest.raises(ValueError, match="max_workers"):
        backtest.sweep(mandate, {"constraints[0].upper_limit": [0.1]}, START, END, max_workers=workers)


def test_a_limit_the_weights_miss_is_noted_on_its_date(mandate, monkeypatch):
    # A tolerance below 0 makes every limit a miss that no polish can remove:
    # the optimizer's warning is silenced during the run, so the date's notes
    # must say which limit was missed, measured by the constraint itself.
    import verdalis.optimize as vo

    monkeypatch.setattr(vo, "LIMIT_TOLERANCE", -1.0)
    res = backtest.run(mandate, datetime.date(2021, 4, 1), datetime.date(2021, 5, 10), "monthly",
                       progress=False)
    notes = res.rebalances["notes"].tolist()
    assert "limit missed" not in notes[0]  # the first date starts in cash: no turnover limit
    assert any("limit missed: TurnoverLimit(" in n and "turnover upper 0.2, reached" in n for n in notes[1:])


# ---------------------------------------------------------------- trading: costs, limits, lots, attribution

@pytest.fixture(scope="module")
def traded(mandate):
    from verdalis.costs import TransactionCostModel

    return backtest.run(mandate, START, END, "monthly", cost_bps=3, progress=False,
                        cost_model=TransactionCostModel(), price_limits=True, orders=True, cash_floor=1e6,
                        min_order_value=2000, attribution=True)


def test_trading_costs_by_component_sum_to_the_total(traded):
    r = traded.rebalances
    parts = r[["cost_commission", "cost_stamp_duty", "cost_spread", "cost_impact", "cost_bps"]]
    assert np.allclose(parts.sum(axis=1), r["cost"], rtol=1e-12, atol=1e-6)
    assert (r["cost_impact"] > 0).all() and (r["cost_stamp_duty"].iloc[1:] > 0).all()
    assert r["cost_stamp_duty"].iloc[0] == 0  # the first rebalance only buys
    assert (r["cash"] >= 1e6 - 1e-6).all()


def test_attribution_sums_to_the_realised_active_return(traded):
    att, nav = traded.attribution, traded.nav
    assert len(att) == len(traded.rebalances)
    starts = list(att.index) + [nav.index[-1]]
    for (start, row), end in zip(att.iterrows(), starts[1:]):
        realised = (nav.loc[end, "portfolio"] / nav.loc[start, "portfolio"]
                    - nav.loc[end, "benchmark"] / nav.loc[start, "benchmark"])
        parts = row[["country", "industry", "style", "specific", "costs", "benchmark_residual"]].sum()
        assert row["active_return"] == pytest.approx(realised, abs=1e-10)
        assert parts == pytest.approx(realised, abs=1e-10)
        # the costs part: kappa (the cost over the book before trading) of the gross growth
        kappa = traded.rebalances["cost"].iloc[len([s for s in att.index if s < start])] / (
            nav.loc[start, "portfolio"] * 1e9)
        growth = nav.loc[end, "portfolio"] / nav.loc[start, "portfolio"]
        assert row["costs"] == pytest.approx(-kappa * growth / (1 - kappa), rel=1e-9)


def test_trading_notes_name_only_stocks_at_their_limits(traded, mandate):
    from verdalis.trading import limit_status

    for date, row in traded.rebalances.iterrows():
        prev = corvana.get_previous_trading_date(date)
        untraded = traded.untraded.loc[date] if date in traded.untraded.index else pd.Series(dtype=float)
        up, down = limit_status(list(untraded.index), prev)
        for note in row["notes"].split("; "):
            if note.startswith("at the up-limit"):
                assert set(note.split(": ")[1].split(", ")) <= up
            if note.startswith("at the down-limit"):
                assert set(note.split(": ")[1].split(", ")) <= down
    assert "untraded" in traded.rebalances and (traded.rebalances["untraded"] < 0.05).all()


def test_default_backtest_unchanged_by_the_trading_options(mandate, result):
    # no cost model, limits or lots: the book is traded exactly as before
    assert "cost_impact" not in result.rebalances
    assert result.attribution.empty     # asked for with attribution=True


def test_report_shows_the_attribution(traded):
    from verdalis.report.render import attribution_table, backtest_html

    page = backtest_html(traded)
    assert "id='figure-attribution'" in page and "id='attribution'" in page
    table = attribution_table(traded)
    assert table.loc["sum of periods", "specific"] == pytest.approx(traded.attribution["specific"].sum())


@pytest.mark.parametrize("closes, shares, cash", [
    ({"A.XSHG": 10.0, "B.XSHE": 4.0}, {"A.XSHG": 100.0, "B.XSHE": 62.5}, 50.0),
    # no price the day before (suspended since listing, or a zero close): the
    # stock's value is counted as cash, not lost and not held in shares
    ({"A.XSHG": 10.0, "B.XSHE": float("nan")}, {"A.XSHG": 100.0}, 300.0),
    ({"A.XSHG": 0.0, "B.XSHE": 4.0}, {"B.XSHE": 62.5}, 1050.0),
], ids=["priced", "no close", "zero close"])
def test_a_holding_in_shares_keeps_the_unpriced_value_as_cash(monkeypatch, closes, shares, cash):
    from types import SimpleNamespace

    day = datetime.date(2021, 6, 14)
    index = pd.MultiIndex.from_tuples([(ob, pd.Timestamp(day)) for ob in closes], names=["order_book_id", "date"])
    monkeypatch.setattr(corvana, "get_price", lambda *a, **k: pd.DataFrame({"close": list(closes.values())}, index=index))
    book = SimpleNamespace(values=pd.Series({"A.XSHG": 1000.0, "B.XSHE": 250.0}), cash=50.0)
    spec = backtest._set_holding({"type": "TransactionVolumeLimit", "upper_limit": 0.1}, book, day)
    assert spec["current_holding"] == pytest.approx(shares) and spec["cash"] == pytest.approx(cash)
