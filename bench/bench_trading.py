"""Orders in whole lots and the trading backtest, on the full demo market.

Run: ``python bench/bench_trading.py [--months 24] [--skip-backtest]``

1. Orders for a 300-stock and a 1,000-stock book (the 300 and 1000 indices'
   weights as targets, from cash): time, and the tracking error of the
   rounded book against the target under the risk model, beside independent
   rounding of each stock (to its nearest lot, which may overspend the cash,
   and down to a lot, which never does).
2. 24 monthly rebalances of bench/backtest_mandate.toml as today (10 bps)
   and with the cost model, price limits and whole-lot orders: time and NAV.
"""
import argparse
import time
from pathlib import Path

import numpy as np
import pandas as pd

import corvana
from verdalis.orders import lot_rule, plan

HERE = Path(__file__).resolve().parent
DATE = "2024-06-28"


def tracking_error(dev: pd.Series, date) -> float:
    """Annualised TE of the weight differences `dev` under the v1 daily risk model."""
    ids = list(dev.index)
    expo = corvana.get_risk_exposure(ids, date)
    styles = [c for c in expo.columns if c != "industry"]
    cov = corvana.get_factor_covariance(date)
    X = pd.DataFrame(0.0, index=ids, columns=cov.index)
    X["country"] = 1.0
    for i, ind in expo["industry"].items():
        X.loc[i, ind] = 1.0
    X.loc[expo.index, styles] = expo[styles].to_numpy()
    spec = corvana.get_specific_risk(ids, date).reindex(ids).fillna(0.0)
    x = X.T @ dev
    var = float(x @ cov.to_numpy() @ x) + float((spec * dev ** 2).sum())
    return float(np.sqrt(var * 252))


def independent(target, prices, nav, down):
    shares = {}
    for i in target.index:
        rule = lot_rule(i)
        x = target[i] * nav / prices[i]
        if x < rule.minimum:
            options = [0, rule.minimum]
        else:
            k = (x - rule.minimum) // rule.step
            options = [rule.minimum + k * rule.step, rule.minimum + (k + 1) * rule.step]
        shares[i] = options[0] if down else min(options, key=lambda s: abs(s - x))
    return pd.Series(shares, dtype=float)


def orders_table():
    prev = corvana.get_previous_trading_date(DATE)
    print("| book | capital | rounding | time | TE vs target | squared deviation | cash left |")
    print("|---|---|---|---|---|---|---|")
    for index, n in (("000300.XSHG", 300), ("000852.XSHG", 1000)):
        target = corvana.index_weights(index, prev)
        target = target / target.sum()
        prices = corvana.get_price(list(target.index), prev, prev, fields="close", adjust_type="none")["close"]
        prices = prices.droplevel("date").reindex(target.index)
        for capital in (1e7, 1e8):
            started = time.perf_counter()
            book = plan(target, {}, prices, capital)
            took = time.perf_counter() - started
            dev = book["deviation"]
            print("| {} stocks | {:.0e} | least squared deviation | {:.3f} s | {:.3%} | {:.2e} | {:,.0f} |".format(
                n, capital, took, tracking_error(dev, prev), float((dev ** 2).sum()), book.attrs["cash_after"]))
            for down in (False, True):
                shares = independent(target, prices, capital, down)
                dev = shares * prices / capital - target
                left = capital - float((shares * prices).sum())
                print("| {} stocks | {:.0e} | independent, {} | | {:.3%} | {:.2e} | {:,.0f} |".format(
                    n, capital, "down" if down else "nearest", tracking_error(dev, prev), float((dev ** 2).sum()),
                    left))


def backtests(months):
    from verdalis import backtest, config
    from verdalis.costs import TransactionCostModel

    mandate = config.load(HERE / "backtest_mandate.toml")
    end = pd.Timestamp("2024-12-31")
    start = (end - pd.DateOffset(months=months) + pd.Timedelta(days=1)).date()
    cold = corvana.client.current().reset
    runs = {}
    for name, kw in (("today (10 bps)", dict(cost_bps=10)),
                     ("cost model + limits + orders", dict(cost_model=TransactionCostModel(), price_limits=True,
                                                           orders=True, cash_floor=1e6, min_order_value=1000)),
                     ("the same, costs not in the objective", dict(
                         cost_model=TransactionCostModel(), price_limits=True, orders=True, cash_floor=1e6,
                         min_order_value=1000, cost_in_objective=False)),
                     ("today, no attribution", dict(cost_bps=10, attribution=False))):
        cold()
        started = time.perf_counter()
        result = backtest.run(mandate, start, end.date(), "monthly", progress=False, **kw)
        runs[name] = (time.perf_counter() - started, result)
    print("| backtest | time | final NAV | annual return | costs | untraded (mean) |")
    print("|---|---|---|---|---|---|")
    for name, (took, result) in runs.items():
        r = result.rebalances
        print("| {} | {:.1f} s | {:.4f} | {:.2%} | {:,.0f} | {} |".format(
            name, took, result.nav["portfolio"].iloc[-1], result.summary["annual_return"], r["cost"].sum(),
            "{:.3%}".format(r["untraded"].mean()) if "untraded" in r else "-"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--months", type=int, default=24)
    parser.add_argument("--skip-backtest", action="store_true")
    args = parser.parse_args()
    orders_table()
    if not args.skip_backtest:
        backtests(args.months)


if __name__ == "__main__":
    main()
