"""The risk-model estimator: recovery of known exposures and factor returns,
styles the data cannot support, ticker ids end to end, the real-data example."""
import importlib.util
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import corvana
from corvana import cli as corvana_cli
from corvana import riskmodel, synth
from corvana.schema import RISK_TABLES, STYLE_NAMES
from verdalis.constraints import StyleConstraint
from verdalis.exception import OptimizerWarning
from verdalis.objective import MinVariance
from verdalis.optimize import portfolio_optimize

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def demo():
    tables, sim = synth._build("small", progress=False)
    est = riskmodel.estimate(tables, progress=False, return_factor_returns=True)
    return tables, sim, est


@pytest.fixture
def reconnect(small_market):
    """Tests that point the client at their own store hand it back to the session's."""
    yield
    corvana.connect(small_market)


def _market(n=400, n_days=320, caps=True, seed=3):
    """A market of n stocks in four industries driven by known factor returns.

    Two styles come as bar columns (book_to_price, leverage: standard normal,
    fixed); returns are country + industry + styles + specific noise of 1 %.
    """
    rng = np.random.default_rng(seed)
    ids = [f"S{i:03d}" for i in range(n)]
    dates = pd.bdate_range("2021-01-04", periods=n_days)
    ind = rng.integers(0, 4, n)
    expo = rng.standard_normal((n, 2))
    expo = (expo - expo.mean(0)) / expo.std(0)
    cap = np.exp(rng.normal(22, 1, n))
    share = np.bincount(ind, weights=cap if caps else np.ones(n), minlength=4)
    f_ind = rng.normal(0, 0.006, (n_days, 4))
    f_ind -= ((f_ind @ share) / share.sum())[:, None]  # industry returns sum to 0, as estimated
    f = np.column_stack([rng.normal(0, 0.012, n_days), f_ind, rng.normal(0, 0.004, (n_days, 2))])
    X = np.column_stack([np.ones(n), np.eye(4)[ind], expo])
    r = f @ X.T + rng.normal(0, 0.01, (n_days, n))
    price = 10 * np.cumprod(1 + r, axis=0)
    bars = pd.DataFrame({
        "order_book_id": np.tile(ids, n_days), "date": np.repeat(dates, n),
        "close": price.ravel(), "volume": np.exp(rng.normal(13, 1, n_days * n)).round(), "adj_factor": 1.0,
        "market_cap_3": np.tile(cap, n_days) if caps else np.nan,
        "book_to_price": np.tile(expo[:, 0], n_days), "leverage": np.tile(expo[:, 1], n_days),
    })
    tables = {
        "instruments": pd.DataFrame({"order_book_id": ids, "symbol": ids, "type": "CS", "exchange": "",
                                     "listed_date": "2010-01-04", "de_listed_date": "0000-00-00"}),
        "trading_dates": pd.DataFrame({"date": dates}),
        "bars": bars,
        "index_weights": pd.DataFrame(columns=["index_id", "date", "order_book_id", "weight"]),
        "industries": pd.DataFrame({"order_book_id": ids, "standard": "sws",
                                    "industry": [f"ind{k}" for k in ind]}),
    }
    true = pd.DataFrame(f, index=dates, columns=["country", "ind0", "ind1", "ind2", "ind3",
                                                  "book_to_price", "leverage"])
    return tables, true, expo


@pytest.mark.parametrize("caps", [True, False], ids=["cap-weighted", "equal-weighted"])
def test_regression_recovers_known_factor_returns_and_exposures(caps):
    tables, true, expo = _market(caps=caps)
    est = riskmodel.estimate(tables, progress=False, return_factor_returns=True, min_history=21)
    fr = est["factor_returns"]
    corr = fr[true.columns].corrwith(true.loc[fr.index])
    assert (corr > 0.97).all(), corr
    # the styles estimated from prices explain nothing here
    assert (fr[["beta", "momentum", "residual_volatility"]].std() < 0.25 * true["leverage"].std()).all()
    # the bar-column styles come back as the exposures themselves (tails clipped at 3)
    snap = est["style_exposure"].query("version == 'v1'")
    last = snap[snap["date"] == snap["date"].max()].set_index("order_book_id").sort_index()
    assert np.allclose(last[["book_to_price", "leverage"]].to_numpy(), np.clip(expo, -3, 3), atol=1e-9)
    # specific variances see the noise (variance 1e-4), not the factors
    spec = est["specific_risk"].query("version == 'v1' and horizon == 'quarterly'")["specific_variance"]
    assert 0.8e-4 < spec.median() < 1.1e-4


def test_suspended_days_are_no_returns():
    # a third of the stocks stop trading for 60 days (volume 0, close held):
    # counted as zero returns they would pull each day's factor returns
    # towards zero by about a third
    tables, true, _ = _market(caps=False)
    bars = tables["bars"]
    days = np.sort(bars["date"].unique())
    stopped = bars["order_book_id"].isin([f"S{i:03d}" for i in range(0, 400, 3)])
    window = (bars["date"] >= days[150]) & (bars["date"] < days[210])
    held = bars.loc[stopped & (bars["date"] == days[149])].set_index("order_book_id")["close"]
    rows = stopped & window
    bars.loc[rows, "volume"] = 0.0
    bars.loc[rows, "close"] = bars.loc[rows, "order_book_id"].map(held).to_numpy()
    est = riskmodel.estimate(tables, progress=False, return_factor_returns=True, min_history=21)
    fr = est["factor_returns"]
    inside = pd.DatetimeIndex(days[150:210])
    err = (fr.loc[inside, "country"] - true.loc[inside, "country"]).abs()
    assert err.mean() < 0.1 * true["country"].abs().mean(), err.mean()
    # the market of the beta style is the average of the stocks that traded:
    # betas estimated against it spread across the stocks
    snap = est["style_exposure"].query("version == 'v1'")
    beta = snap[snap["date"] == snap["date"].max()]["beta"]
    assert beta.notna().all() and beta.std() > 0.5


@pytest.mark.parametrize("style, min_corr", [
    ("size", 0.999), ("non_linear_size", 0.999), ("momentum", 0.6),
    ("liquidity", 0.6), ("residual_volatility", 0.6),
])
def test_demo_exposures_recovered(demo, style, min_corr):
    tables, _, est = demo
    e, t = (x[x["version"] == "v1"] for x in (est["style_exposure"], tables["style_exposure"]))
    m = e.merge(t, on=["date", "order_book_id"], suffixes=("_est", "_true"))
    assert np.corrcoef(m[f"{style}_est"], m[f"{style}_true"])[0, 1] > min_corr


def test_demo_country_factor_and_risk_recovered(demo):
    tables, sim, est = demo
    fr = est["factor_returns"]
    true = pd.DataFrame(sim.factor_ret[sim.burn:], index=pd.DatetimeIndex(sim.dates),
                        columns=sim.factor_names).loc[fr.index]
    assert np.corrcoef(fr["country"], true["country"])[0, 1] > 0.9
    check = riskmodel.bias_statistics(tables, est, n_portfolios=60)
    assert 0.85 < check["bias"] < 1.25
    assert check["corr"] > 0.8


@pytest.mark.parametrize("drop, absent", [
    ({"market_cap_3": np.nan}, {"size", "non_linear_size"}),
    ({"volume": 0.0}, {"liquidity"}),
    ({"market_cap_3": np.nan, "volume": 0.0}, {"size", "non_linear_size", "liquidity"}),
])
def test_styles_the_data_cannot_support_are_left_out(small_market, reconnect, tmp_path, drop, absent):
    tables = synth.generate("small", progress=False)
    for t in RISK_TABLES:
        del tables[t]
    tables["bars"] = tables["bars"].assign(**drop)
    tables.update(riskmodel.estimate(tables, progress=False))
    expected = {"beta", "momentum", "residual_volatility", "size", "non_linear_size", "liquidity"} - absent
    se = tables["style_exposure"]
    assert {s for s in STYLE_NAMES if se[s].notna().all()} == expected
    assert {s for s in STYLE_NAMES if se[s].isna().all()} == set(STYLE_NAMES) - expected
    assert not set(tables["factor_covariance"]["factor_i"]) & (set(STYLE_NAMES) - expected)

    # through a CSV import, the store and the optimizer's "no such style" path
    src = tmp_path / "src"
    src.mkdir()
    for name, frame in tables.items():
        frame.to_csv(src / f"{name}.csv", index=False)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", corvana.checks.DataWarning)
        corvana.import_store(src, tmp_path / "store")
    # volume 0 on every day is no volume data, said by the import
    assert any("have no volume data" in str(w.message) for w in caught) == ("liquidity" in absent)
    corvana.connect(tmp_path / "store")
    pool = corvana.index_components("000300.XSHG", "2021-06-30")
    assert set(corvana.get_risk_exposure(pool, "2021-06-30").columns) == {"industry"} | expected
    style = sorted(absent)[0]
    with pytest.warns(OptimizerWarning, match=f"没有 {style} 风格"):
        w = portfolio_optimize(pool, "2021-07-01", MinVariance(),
                               cons=[StyleConstraint(style, lower_limit=-0.1, upper_limit=0.1)])
    assert w.sum() == pytest.approx(1.0)


def test_partly_empty_style_column_is_refused(tmp_path):
    tables, _, _ = _market(n=30, n_days=90)
    tables.update(riskmodel.estimate(tables, progress=False, min_history=21))
    se = tables["style_exposure"]
    se.loc[se.index[3], "beta"] = np.nan
    for name, frame in tables.items():
        frame.to_csv(tmp_path / f"{name}.csv", index=False)
    with pytest.raises(corvana.DataImportError, match=r"style_exposure.csv: row 4 .*'beta': value is missing"):
        corvana.import_store(tmp_path, tmp_path / "store")


def test_ticker_ids_through_import_estimation_and_optimize(small_market, reconnect, tmp_path, capsys):
    tables = synth.generate("small", progress=False)
    for t in RISK_TABLES:
        del tables[t]
    stocks = tables["instruments"].query("type == 'CS'")["order_book_id"]
    tickers = ["AAPL", "MSFT", "BRK.B", "T"] + [f"TK{i}" for i in range(len(stocks) - 4)]
    rename = dict(zip(stocks, tickers))
    src = tmp_path / "src"
    src.mkdir()
    for name, frame in tables.items():
        frame = frame.replace({c: rename for c in ("order_book_id",) if c in frame})
        frame.to_csv(src / f"{name}.csv", index=False)
    store = tmp_path / "store"
    assert corvana_cli.main(["import", str(src), "--path", str(store), "--quiet"]) == 0
    assert corvana_cli.main(["estimate-risk-model", "--path", str(store), "--quiet"]) == 0
    assert "specific_risk" in capsys.readouterr().out
    corvana.connect(store)
    pool = ["AAPL", "MSFT", "BRK.B", "T", "TK1", "TK2", "TK3", "TK4"]
    listed = [i for i in pool if corvana.instruments(i).de_listed_date == "0000-00-00"
              and corvana.instruments(i).listed_date < "2021-06-01"]
    assert corvana.get_specific_risk(listed, "2021-06-30").index.tolist() == listed
    w = portfolio_optimize(listed, "2021-07-01", MinVariance())
    assert list(w.index) == sorted(listed) and w.sum() == pytest.approx(1.0)


def test_estimating_a_store_without_stocks_history_says_so(tmp_path):
    tables, _, _ = _market(n=30, n_days=40)
    with pytest.raises(ValueError, match="not enough history"):
        riskmodel.estimate(tables, progress=False)


def _example():
    spec = importlib.util.spec_from_file_location("real_sp500", ROOT / "examples" / "real_sp500.py")
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def test_real_data_example_imports_and_estimates_two_years(small_market, reconnect, tmp_path):
    pytest.importorskip("skfolio")
    ex = _example()
    ex.build_store(tmp_path / "sp500", "2020-01-01", "2021-12-31", progress=False)
    corvana.connect(tmp_path / "sp500")
    dates = corvana.get_trading_dates("2020-01-01", "2021-12-31")
    snaps = sorted({corvana.get_risk_model_date(d) for d in dates if corvana.get_risk_model_date(d)})
    assert 18 <= len(snaps) <= 21  # month ends after three months of factor returns
    expo = corvana.get_risk_exposure(sorted(ex.SECTORS), snaps[-1])
    assert list(expo.columns) == ["industry", "beta", "momentum", "residual_volatility"]
    assert expo["industry"].to_dict() == ex.SECTORS
    cov = corvana.get_factor_covariance(snaps[-1])
    assert list(cov.index) == ["country"] + sorted(set(ex.SECTORS.values())) + ["beta", "momentum",
                                                                               "residual_volatility"]
    # annualised volatility of the market factor: real-world range, not demo figures
    assert 0.1 < np.sqrt(cov.loc["country", "country"] * 252) < 0.6
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        w = portfolio_optimize(sorted(ex.SECTORS), "2021-12-01", MinVariance())
    assert w.sum() == pytest.approx(1.0) and set(w.index) == set(ex.SECTORS)
