"""Bring only prices: a risk model estimated from 33 years of real daily prices.

skfolio ships the daily prices of 20 S&P 500 stocks and of the index from
1990 to 2022 inside its wheel (no download).  This example imports them into
a store (with a sector classification of its own), has corvana estimate the
factor risk model from them, and runs a monthly out-of-sample minimum-variance
rebalancing from 2015 to 2022: each month the optimizer reads the model as of
the previous trading day, and the weights are held (drifting with prices)
until the next month.  It prints the realised volatility beside the
equal-weight portfolio and the minimum-variance portfolio on the plain sample
covariance of the previous year.

Run after `scripts/setup.sh` and `.venv/bin/pip install skfolio`:
`.venv/bin/python examples/real_sp500.py [--store DIR]`
"""
from __future__ import annotations

import argparse
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

import corvana

INDEX_ID = "SP500"
STANDARD = "sector"
#: Sector of each stock; Industrials (GE alone) joins the consumer cyclicals so
#: that every industry factor has at least two members.
SECTORS = {
    "AAPL": "Technology", "AMD": "Technology", "MSFT": "Technology",
    "BAC": "Financials", "JPM": "Financials",
    "BBY": "Cyclicals", "HD": "Cyclicals", "GE": "Cyclicals",
    "CVX": "Energy", "XOM": "Energy", "RRC": "Energy",
    "JNJ": "Health care", "LLY": "Health care", "MRK": "Health care", "PFE": "Health care",
    "UNH": "Health care",
    "KO": "Staples", "PEP": "Staples", "PG": "Staples", "WMT": "Staples",
}


def load_prices(start=None, end=None) -> tuple[pd.DataFrame, pd.Series]:
    """Daily (adjusted) closes of the 20 stocks and of the index."""
    from skfolio.datasets import load_sp500_dataset, load_sp500_index

    prices = load_sp500_dataset().loc[start:end]
    index = load_sp500_index().loc[start:end].iloc[:, 0]
    return prices, index


def write_source(folder, prices: pd.DataFrame, index: pd.Series) -> Path:
    """The import folder: instruments, calendar, bars (prices only), no index weights, sectors."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    first = {s: prices[s].first_valid_index() for s in prices.columns}
    rows = [(s, s, "CS", "", first[s].date().isoformat(), "0000-00-00") for s in prices.columns]
    rows.append((INDEX_ID, "S&P 500", "INDX", "", index.index[0].date().isoformat(), "0000-00-00"))
    pd.DataFrame(rows, columns=["order_book_id", "symbol", "type", "exchange", "listed_date",
                                "de_listed_date"]).to_csv(folder / "instruments.csv", index=False)
    pd.DataFrame({"date": prices.index}).to_parquet(folder / "trading_dates.parquet")
    long = prices.stack().rename("close").reset_index()
    long.columns = ["date", "order_book_id", "close"]
    idx = pd.DataFrame({"date": index.index, "order_book_id": INDEX_ID, "close": index.to_numpy()})
    bars = pd.concat([long, idx], ignore_index=True)
    # the prices are already adjusted; the data have no volumes (the column is
    # left out: the stocks have no volume data, never read as suspended) and
    # no market values
    bars["adj_factor"] = 1.0
    bars["market_cap_3"] = np.nan
    bars[["order_book_id", "date", "close", "adj_factor", "market_cap_3"]].to_parquet(folder / "bars.parquet")
    pd.DataFrame(columns=["index_id", "date", "order_book_id", "weight"]).to_csv(
        folder / "index_weights.csv", index=False)
    pd.DataFrame({"order_book_id": list(SECTORS), "standard": STANDARD,
                  "industry": list(SECTORS.values())}).to_csv(folder / "industries.csv", index=False)
    return folder


def build_store(store, start=None, end=None, progress=True) -> float:
    """Import the skfolio history into ``store`` and estimate its risk model; returns seconds spent estimating."""
    prices, index = load_prices(start, end)
    with tempfile.TemporaryDirectory() as tmp, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", corvana.checks.DataWarning)
        src = write_source(tmp, prices, index)
        tables = corvana.importer.read_source(src)
    if progress:
        for w in caught:  # the import's findings: no volumes, an index without weights, ...
            print("import:", w.message)
    t0 = time.perf_counter()
    tables.update(corvana.riskmodel.estimate(tables, market=INDEX_ID, standard=STANDARD, progress=progress))
    seconds = time.perf_counter() - t0
    corvana.write_store(store, tables, source="skfolio sp500 dataset; risk model estimated by corvana.riskmodel")
    return seconds


def _sample_min_variance(returns: pd.DataFrame) -> pd.Series:
    import cvxpy as cp

    cov = np.cov(returns.to_numpy(), rowvar=False) * 252
    w = cp.Variable(cov.shape[0])
    cp.Problem(cp.Minimize(cp.quad_form(w, cp.psd_wrap(cov))), [cp.sum(w) == 1, w >= 0]).solve(solver="CLARABEL")
    return pd.Series(np.clip(w.value, 0, None) / np.clip(w.value, 0, None).sum(), index=returns.columns)


def backtest(start="2015-01-01", end="2022-12-31") -> pd.DataFrame:
    """Daily returns of the three monthly-rebalanced portfolios over [start, end] (connected store)."""
    from verdalis.objective import MinVariance
    from verdalis.optimize import portfolio_optimize

    days = pd.DatetimeIndex(pd.to_datetime(corvana.get_trading_dates("1990-01-01", end)))
    stocks = sorted(SECTORS)
    px = corvana.get_price(stocks, days[0], days[-1], fields="close", adjust_type="pre")["close"]
    rets = px.unstack("order_book_id")[stocks].pct_change()
    months = [d for d in days[days >= pd.Timestamp(start)]
              if d == days[days >= pd.Timestamp(start)][0] or d.month != days[days.get_loc(d) - 1].month]
    out = {"risk model min-variance": [], "equal weight": [], "sample-cov min-variance": []}
    index = []
    for k, d in enumerate(months):
        stop = months[k + 1] if k + 1 < len(months) else days[-1] + pd.Timedelta(days=1)
        hold = rets.loc[(rets.index >= d) & (rets.index < stop)]
        prev_year = rets.loc[rets.index < d].iloc[-252:].dropna(axis=1)
        w_model = portfolio_optimize(stocks, d.date().isoformat(), MinVariance(), bnds={"*": (0, 1)})
        weights = {
            "risk model min-variance": w_model.reindex(stocks).fillna(0.0),
            "equal weight": pd.Series(1.0 / len(stocks), index=stocks),
            "sample-cov min-variance": _sample_min_variance(prev_year).reindex(stocks).fillna(0.0),
        }
        growth = (1.0 + hold.fillna(0.0)).cumprod()
        for name, w in weights.items():
            value = growth.to_numpy() @ w.to_numpy()  # buy and hold within the month
            out[name].append(np.diff(np.r_[1.0, value]) / np.r_[1.0, value[:-1]])
        index.append(hold.index)
    return pd.DataFrame({k: np.concatenate(v) for k, v in out.items()}, index=index[0].append(index[1:]))


def main(argv=None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--store", help="store folder to (re)build (default: a temporary folder)")
    args = ap.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        store = Path(args.store) if args.store else Path(tmp) / "sp500"
        seconds = build_store(store)
        corvana.connect(store)
        print(f"risk model estimated from 20 stocks over 1990-2022 in {seconds:.1f} s "
              f"(styles: {', '.join(s for s in corvana.STYLE_NAMES if s in corvana.get_risk_exposure(['AAPL'], '2022-12-28').columns)})")
        daily = backtest()
    table = pd.DataFrame({
        "realised volatility": daily.std() * np.sqrt(252),
        "annual return": (1 + daily).prod() ** (252 / len(daily)) - 1,
    })
    print(f"\nMonthly rebalancing 2015-01 .. 2022-12, {len(daily)} days, long-only:")
    print(table.to_string(float_format=lambda x: f"{x:7.2%}"))


if __name__ == "__main__":
    main()
