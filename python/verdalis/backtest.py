"""A mandate through time: rebalance on a calendar, drift in between, and
sweep many mandates in parallel (`verdalis.sweep`).

At each rebalance date D the config is built anew for D (the pool as of the
day before, fresh objective and constraint objects, so no estimate is ever
reused), the book's **drifted** holding is handed to every holding-aware
constraint (`TurnoverLimit` gets weights, the transaction limits shares and
cash), and the new weights replace the book at the close of the day before D
(the optimization uses data up to then).  Between rebalances every position
moves with its total return (prices adjusted for dividends and splits); a
stock delisted while held leaves at its last close into cash; a stock
suspended (volume 0, or no bar) on D cannot be traded and keeps its drifted
weight; a stock without volume data (empty volume) is tradable every day, and
the notes of each date name such stocks.
Trading costs are `cost_bps` basis points of the value traded, or (and) those
of a `cost_model` (`verdalis.costs.TransactionCostModel`), reported by
component; the cost model also becomes the optimizer's cost term when the
objective takes one (`MeanVariance`, `ActiveMeanVariance`).  With
`price_limits` a stock that closes at its up-limit on the trading day is not
bought and one at its down-limit not sold (`verdalis.trading`), the target
left unreached being reported per date (`untraded`); with `orders` the book
trades whole lots (`verdalis.orders`) with a cash floor, so its NAV is that of
a real book.  With a benchmark and a risk model, `attribution` splits each
holding period's active return into factor, specific and cost parts
(`verdalis.attribution`).  An infeasible
date does not end the run: the book is held and the date recorded with its
diagnosis.  The first rebalance starts from cash, so holding-aware limits are
left out on that date (the result says so).

Each finished date is checkpointed in `out` (when given), so an interrupted
run continues with ``resume=True`` where it stopped.  `verdalis.sweep` runs
one backtest per point of a parameter grid (also importable here as
`verdalis.backtest.sweep`).
"""
from __future__ import annotations

import warnings
from dataclasses import dataclass, field
from typing import Optional
from pathlib import Path

import numpy as np
import pandas as pd

import corvana

from . import checkpoint, measures
from .config import Config, load
from .messages import english

__all__ = ["BacktestResult", "rebalance_dates", "run", "sweep"]



@dataclass
class BacktestResult:
    """What a backtest produced; the names below are fixed for tools to rely on."""

    #: by trading day: `portfolio` and `benchmark` NAV, both starting at 1
    nav: pd.DataFrame
    #: the weights chosen at each rebalance date, one row per date
    weights: pd.DataFrame
    #: one-way turnover at each rebalance date
    turnover: pd.Series
    #: annualised return, volatility, Sharpe, information ratio, max drawdown, average turnover, ...
    summary: pd.Series
    #: per rebalance date: status, costs, ex-ante and realised tracking error, notes
    rebalances: pd.DataFrame = field(default_factory=pd.DataFrame)
    #: per holding period (by its start): active return split into factor, specific and cost parts
    attribution: pd.DataFrame = field(default_factory=pd.DataFrame)
    #: per rebalance date and stock: target weight minus the weight reached (limits, lots)
    untraded: pd.DataFrame = field(default_factory=pd.DataFrame)
    #: the book's starting value (costs are in its currency)
    capital: float = float("nan")
    #: the title of the page: config name, benchmark, period
    title: str = "Backtest"
    #: a line shown first on the page (the synthetic-data notice), or ""
    notice: str = ""
    #: how weights.parquet is written: the config's bounds and dust threshold (see report.tables.clean_weights)
    bounds: Optional[dict] = None
    dust: float = 1e-6

    def save(self, out) -> Path:
        """Parquet tables and report.html into the folder `out`."""
        from .report.render import backtest_html

        out = Path(out)
        out.mkdir(parents=True, exist_ok=True)
        self.nav.to_parquet(out / "nav.parquet")
        from .report.tables import clean_weights

        # the weights as the product writes weights: no dust, on the 1e-8 grid, summing to 1 within the bounds
        clean = self.weights.apply(lambda row: clean_weights(row, self.bounds, dust=self.dust), axis=1) \
            if len(self.weights) else self.weights
        clean.to_parquet(out / "weights.parquet")
        self.turnover.rename("turnover").to_frame().to_parquet(out / "turnover.parquet")
        self.rebalances.astype({"notes": str}).to_parquet(out / "rebalances.parquet")
        self.summary.rename("value").to_frame().to_csv(out / "summary.csv")
        for name in ("attribution", "untraded"):
            frame = getattr(self, name)
            if len(frame):
                frame.to_parquet(out / "{}.parquet".format(name))
        (out / "report.html").write_text(backtest_html(self, self.title, notice=self.notice, capital=self.capital),
                                         encoding="utf-8")
        return out


def _trading_days(start, end):
    return [pd.Timestamp(d).date() for d in corvana.get_trading_dates(start, end)]


def rebalance_dates(start, end, rebalance="monthly") -> list:
    """The rebalance dates in [start, end]: "monthly" / "weekly" (the first
    trading day of each month / week), an integer N or "N" (every N trading
    days from the first), or explicit dates (moved to the next trading day)."""
    days = _trading_days(start, end)
    if not days:
        raise ValueError("no trading days between {} and {}".format(start, end))
    if isinstance(rebalance, (list, tuple)):
        chosen = []
        for d in rebalance:
            d = pd.Timestamp(d).date()
            later = [t for t in days if t >= d]
            if later and later[0] not in chosen:
                chosen.append(later[0])
        return chosen
    if rebalance in ("monthly", "weekly"):
        key = (lambda d: (d.year, d.month)) if rebalance == "monthly" else (lambda d: d.isocalendar()[:2])
        chosen, seen = [], set()
        for d in days:
            if key(d) not in seen:
                seen.add(key(d))
                chosen.append(d)
        return chosen
    try:
        step = int(rebalance)
    except (TypeError, ValueError):
        raise ValueError("rebalance: expected 'monthly', 'weekly', a number of trading days or a list of "
                         "dates, got {!r}".format(rebalance)) from None
    if step < 1:
        raise ValueError("rebalance: the number of trading days must be at least 1, got {}".format(step))
    return days[::step]


class _Book:
    """Positions in money (value per stock) and cash; drifts with total returns."""

    def __init__(self, capital):
        self.values = pd.Series(dtype=float)
        self.cash = float(capital)

    @property
    def nav(self):
        return float(self.values.sum() + self.cash)

    def weights(self):
        return self.values / self.nav if self.nav > 0 else self.values * 0.0

    def drift(self, returns: pd.Series):
        """One day: each position moves with its return; one without a price (delisted) goes to cash."""
        self.drift_days(returns.reindex(self.values.index).to_numpy(dtype=float)[None, :])

    def drift_days(self, rates: np.ndarray) -> list:
        """`drift` for consecutive days at once: ``rates`` has a row per day and a
        column per position (in the book's order). Returns the NAV after each day."""
        values = self.values.to_numpy(dtype=float, copy=True)
        alive = np.ones(len(values), dtype=bool)
        cash, navs = self.cash, []
        for r in rates:
            gone = alive & np.isnan(r)
            if gone.any():
                cash += float(values[gone].sum())
                alive &= ~gone
            values[alive] = values[alive] * (1.0 + r[alive])
            navs.append(float(values[alive].sum() + cash))
        self.values = pd.Series(values[alive], index=self.values.index[alive], dtype=float)
        self.cash = cash
        return navs


def _holding_unit(spec):
    """What a constraint spec's class says of the holding it reads: False, or
    the unit of its current_holding ("weights", or "shares" with cash)."""
    from .config import constraint_classes

    return getattr(constraint_classes().get(spec["type"]), "holding_aware", False)


def _set_holding(spec, book, prev):
    """A holding-aware constraint's spec with the book's drifted holding in it,
    in the unit its class declares."""
    spec = dict(spec)
    if _holding_unit(spec) == "weights":
        spec["current_holding"] = book.weights().to_dict()
    else:
        held = list(book.values.index)
        close = corvana.get_price(held, prev, prev, fields="close", adjust_type="none")["close"]
        close = close.droplevel("date").reindex(held)
        priced = close.notna() & (close > 0)
        spec["current_holding"] = (book.values[priced] / close[priced]).to_dict()
        spec["cash"] = book.cash + float(book.values[~priced].sum())
    return spec


def _suspended(ids, date):
    """The stocks of `ids` that cannot trade on `date`: volume 0 (suspended) or
    no bar.  An empty volume is no volume data, never a suspension."""
    if not ids:
        return []
    bars = corvana.get_price(ids, date, date, fields="volume", adjust_type="none")["volume"]
    traded = set(bars[(bars > 0) | bars.isna()].index.get_level_values("order_book_id"))
    return [i for i in ids if i not in traded]


def _without_volume(ids, date):
    """The stocks of `ids` whose bar on `date` has no volume data (treated as tradable)."""
    if not ids:
        return []
    bars = corvana.get_price(ids, date, date, fields="volume", adjust_type="none")["volume"]
    return sorted(set(bars[bars.isna()].index.get_level_values("order_book_id")))


def _ex_ante_te(weights, date, benchmark, arguments):
    """The tracking error the optimization's risk model expected of `weights` (a year)."""
    if benchmark is None or corvana.index_weights(benchmark, corvana.get_previous_trading_date(date)) is None:
        return np.nan  # no benchmark, or one known by its NAV only
    from .benchmark import IndexBenchmark
    from .const import CovModel, RiskModel
    from .helper import OptimizeHelper

    helper = OptimizeHelper(list(weights.index), date, IndexBenchmark(benchmark),
                            arguments.get("cov_model", CovModel.FACTOR_MODEL_DAILY),
                            arguments.get("risk_model", RiskModel.V1), 1.0, 1.0)
    return measures.ex_ante_tracking_error(helper, weights.to_numpy())


def _note_missed_limits(record, weights, date, arguments):
    """Notes any limit the returned weights miss beyond the optimizer's
    tolerance (its warning is silenced during the run), from each
    constraint's own measurement."""
    cons = arguments.get("cons")
    if not cons:
        return
    from .benchmark import IndexBenchmark
    from .const import CovModel, RiskModel
    from .helper import OptimizeHelper
    from .optimize import LIMIT_TOLERANCE

    benchmark = arguments.get("benchmark")
    if isinstance(benchmark, str):
        benchmark = IndexBenchmark(benchmark)
    helper = OptimizeHelper(list(weights.index), date, benchmark,
                            arguments.get("cov_model", CovModel.FACTOR_MODEL_DAILY),
                            arguments.get("risk_model", RiskModel.V1),
                            arguments.get("factor_risk_aversion", 1.0),
                            arguments.get("specific_risk_aversion", 1.0))
    missed = measures.limit_misses(measures.limit_table(cons, weights, helper), LIMIT_TOLERANCE)
    for row in missed.itertuples():
        record["notes"].append("limit missed: {} {} {} {:.6g}, reached {:.6g}".format(
            row.constraint, row.item, row.side, row.limit, row.value))


def _save_state(out, state):
    checkpoint.save(out, state)


def _restored_book(values, cash):
    book = _Book(0.0)
    book.values, book.cash = values, cash
    return book


def run(config, start, end, rebalance="monthly", cost_bps=0.0, out=None, resume=False, *,
        capital=1e9, progress=True, cost_model=None, price_limits=False, orders=False, cash_floor=0.0,
        min_order_value=0.0, attribution=False, cost_in_objective=True) -> BacktestResult:
    """Backtest the mandate `config` (a TOML path or a `Config`) from `start` to `end`.

    `cost_model`, `price_limits`, `orders` (whole lots, `cash_floor` and
    `min_order_value` in money) and `attribution`: see the module text;
    `cost_in_objective=False` charges the cost model's costs without adding
    them to the optimizer's objective (its impact term makes each solve
    several times slower).
    """
    from .optimize import portfolio_optimize
    from .exception import OptimizationFailed

    if not isinstance(config, Config):
        config = load(config)
    start, end = pd.Timestamp(start).date(), pd.Timestamp(end).date()
    dates = rebalance_dates(start, end, rebalance)
    # NAV days: from the data date of the first rebalance (the book is set at
    # its close) to the end
    days = _trading_days(corvana.get_previous_trading_date(dates[0]), end)
    benchmark = config.benchmark

    # what a checkpoint must match: the config, dates, costs, capital and market data
    key = checkpoint.key(config.to_dict(), dates, cost_bps, capital, corvana.client.current().manifest)
    state = None
    if resume and out is not None and checkpoint.exists(out):
        state = checkpoint.load(out, key, _restored_book)
    if state is None:
        state = {"key": key, "book": _Book(capital),
                 "day": 0, "done": 0, "nav": [(days[0], float(capital))], "weights": {}, "records": []}
    trading_options = (repr(cost_model), bool(price_limits), bool(orders), float(cash_floor), float(min_order_value),
                       bool(cost_in_objective))
    if state.setdefault("trading", trading_options) != trading_options:
        raise checkpoint.CheckpointError("{}: the checkpoint is of a backtest with other trading options; remove "
                                         "it or choose another --out".format(checkpoint.path(out)))
    state.setdefault("periods", [])
    state.setdefault("untraded", {})
    trading = cost_model is not None or price_limits or orders
    book = state["book"]

    all_ids = set()
    bar = None
    if progress:
        from tqdm.auto import tqdm

        bar = tqdm(total=len(dates), initial=state["done"], desc="backtest", unit="rebalance")
    steps = _pinned_steps(dates, state)
    try:
        for date in steps:
            prev = corvana.get_previous_trading_date(date)
            # drift through the close of the data date; the book changes there
            _drift_until(book, days, state, days.index(prev))
            record = {"date": date, "status": "optimal", "cost": 0.0, "notes": []}
            first = book.values.empty
            specs = []
            for spec in config.constraints:
                if _holding_unit(spec):
                    if first:
                        record["notes"].append("{} left out: the book starts in cash".format(spec["type"]))
                        continue
                    spec = _set_holding(spec, book, prev)
                specs.append(spec)
            arguments = config.build(date, constraints=specs)
            if cost_in_objective and cost_model is not None and \
                    getattr(arguments["objective"], "_transaction_cost_model", False) is None:
                # the optimizer weighs the same costs the book will pay
                arguments["objective"]._transaction_cost_model = cost_model.at_holding(book.weights(), book.nav)
            # stocks held but suspended today keep their drifted weight
            held_now = book.weights()
            frozen = _suspended(list(held_now[held_now > 0].index), date)
            if frozen:
                bnds = dict(arguments.get("bnds") or {})
                for ob in frozen:
                    bnds[ob] = (float(held_now[ob]), float(held_now[ob]))
                arguments["bnds"] = bnds
                pool = list(arguments["order_book_ids"])
                arguments["order_book_ids"] = pool + [ob for ob in frozen if ob not in pool]
                record["notes"].append("suspended, kept: {}".format(", ".join(frozen)))
            silent = _without_volume(list(arguments["order_book_ids"]), date)
            if silent:
                record["notes"].append("no volume data, treated as tradable: {} stock(s) ({}{})".format(
                    len(silent), ", ".join(silent[:5]), ", ..." if len(silent) > 5 else ""))
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    target = portfolio_optimize(**arguments)
            except OptimizationFailed as exc:
                record["status"] = "infeasible"
                diagnose = getattr(exc, "diagnose", None) if getattr(exc, "_call", None) is not None else None
                if diagnose is not None:
                    try:
                        record["notes"].append(str(diagnose()))
                    except Exception as failure:  # the diagnosis is a courtesy
                        record["notes"].append("diagnosis failed: {}".format(english(failure)))
                target = None
            if target is not None:
                _note_missed_limits(record, target, date, arguments)
                target = target[target > 0]
                current = book.weights()
                turnover = measures.turnover(target, current)
                if first:
                    turnover = 1.0  # from cash: the whole book is bought (counted one way)
                nav = book.nav
                if trading:
                    cost = _trade(book, target, prev, record, state, turnover=turnover, cost_model=cost_model,
                                  cost_bps=cost_bps, price_limits=price_limits, lots=orders,
                                  cash_floor=cash_floor, min_order_value=min_order_value)
                else:
                    cost = nav * turnover * cost_bps / 1e4
                    book.values = target * nav
                    if cost > 0:
                        # the cost is paid from the stocks traded: a suspended holding keeps its shares
                        traded = ~book.values.index.isin(frozen)
                        book.values[traded] *= 1 - cost / float(book.values[traded].sum())
                    book.cash = 0.0
                record.update(cost=cost, turnover=turnover)
                state["periods"].append({"start": prev, "weights": book.weights(), "cost": cost / nav})
                state["weights"][date] = target
                record["ex_ante_te"] = _ex_ante_te(target, date, benchmark, arguments)
            else:
                record.update(turnover=0.0, ex_ante_te=np.nan)
                state["periods"].append({"start": prev, "weights": book.weights(), "cost": 0.0})
            all_ids |= set(book.values.index)
            state["records"].append(record)
            state["done"] += 1
            if out is not None:
                _save_state(out, state)
            if bar is not None:
                bar.update(1)
        _drift_until(book, days, state, len(days) - 1)
    finally:
        steps.close()
        if bar is not None:
            bar.close()
    result = _result(state, benchmark, dates, days)
    if attribution and benchmark is not None:
        result.attribution = _attribution(state, benchmark, days, config)
    _describe(result, config, capital, days)
    if out is not None:
        result.save(out)
        _save_state(out, state)
    return result


def _pinned_steps(dates, state):
    """The rebalance dates still to do.  Each step (drift, pool, optimization,
    records) reads one version of the store: the pin is taken when a date is
    handed out and released when the next is asked for (or the loop ends)."""
    while state["done"] < len(dates):
        with corvana.pinned():
            yield dates[state["done"]]


def _trade(book, target, day, record, state, **options):
    """Trade the book to `target` at the close of `day` (limits, lots, costs); returns the cost."""
    from .costs import COMPONENTS
    from .trading import execute

    done = execute(book.values, book.cash, target, day, **options)
    book.values, book.cash = done.values, done.cash
    for name in COMPONENTS + ("bps",):
        record["cost_" + name] = done.costs[name]
    residual = done.residual()
    record["untraded"] = float(residual.abs().sum() / 2)
    record["cash"] = done.cash
    if done.blocked_buy:
        record["notes"].append("at the up-limit, not bought: {}".format(", ".join(done.blocked_buy)))
    if done.blocked_sell:
        record["notes"].append("at the down-limit, not sold: {}".format(", ".join(done.blocked_sell)))
    state["untraded"][record["date"]] = residual
    return done.costs["total"]


def _attribution(state, benchmark, days, config):
    """The attribution table of the holding periods (empty, with a warning, when the store cannot give it)."""
    from .attribution import attribute

    periods = []
    starts = [p["start"] for p in state["periods"]] + [days[-1]]
    for period, end in zip(state["periods"], starts[1:]):
        if end > period["start"]:
            periods.append(dict(period, end=end))
    version = str(config.risk.get("risk_model", "v1")).lower()  # the model the optimizer used
    try:
        # the industries of the config's standard (the store's own when it names none)
        return attribute(periods, benchmark, version=version, standard=config.industry_standard() or "sws")
    except ValueError as exc:  # no risk model, or too few stocks to estimate factor returns
        warnings.warn("backtest: no attribution: {}".format(exc), stacklevel=3)
        return pd.DataFrame()
def _describe(result, config, capital, days):
    """The page's title, notice and capital, and how its weights are written."""
    from .report.render import backtest_title

    name = Path(str(config.source)).stem if config.source not in (None, "<config>") else "a config"
    result.title = backtest_title(name, config.benchmark, days[0], days[-1])
    result.capital = float(capital)
    store = corvana.client.current()
    if store.synthetic:
        result.notice = ("Synthetic data: the demo market's prices, indices and risk model are generated, "
                         "not real market figures.")
    result.bounds, result.dust = config.bounds, config.dust


def _drift_until(book, days, state, last):
    """Apply each day's returns from the day after state['day'] through days[last], recording the NAV."""
    first = state["day"] + 1
    if last < first:
        return
    held = list(book.values.index)
    if held:
        rates = corvana.get_price_change_rate(held, days[first], days[last]).to_numpy()
        navs = book.drift_days(rates)
    else:
        navs = [book.nav] * (last + 1 - first)
    state["nav"].extend(zip(days[first:last + 1], navs))
    state["day"] = last


def _result(state, benchmark, dates, days):
    nav = pd.Series(dict(state["nav"]), dtype=float)
    nav.index = pd.to_datetime(nav.index)
    frame = pd.DataFrame({"portfolio": nav / nav.iloc[0]})
    if benchmark is not None and len(nav) > 1:
        rates = corvana.get_price_change_rate(benchmark, nav.index[1], nav.index[-1])[benchmark].fillna(0.0)
        bench = np.r_[1.0, np.cumprod(1.0 + rates.to_numpy())]
        frame["benchmark"] = bench[:len(frame)]
    else:
        frame["benchmark"] = np.nan
    weights = pd.DataFrame({pd.Timestamp(d): w for d, w in state["weights"].items()}).T.fillna(0.0)
    records = pd.DataFrame(state["records"]).set_index("date") if state["records"] else pd.DataFrame()
    if len(records):
        records["notes"] = records["notes"].map(lambda n: "; ".join(n))
        records.index = pd.to_datetime(records.index)
    turnover = records["turnover"] if len(records) else pd.Series(dtype=float)
    untraded = pd.DataFrame({pd.Timestamp(d): r for d, r in state.get("untraded", {}).items()}).T.fillna(0.0)
    return BacktestResult(nav=frame, weights=weights, turnover=turnover,
                          summary=_summary(frame, records), rebalances=records, untraded=untraded)


def _summary(nav, records):
    r = nav["portfolio"].pct_change().dropna()
    out = {
        "annual_return": measures.annual_return(nav["portfolio"].iloc[-1], len(r)) if len(r) else np.nan,
        "volatility": measures.annualise_std(r.std()) if len(r) > 1 else np.nan,
    }
    out["sharpe"] = out["annual_return"] / out["volatility"] if out["volatility"] else np.nan
    out["max_drawdown"] = float(measures.drawdown(nav["portfolio"]).min())
    if nav["benchmark"].notna().all() and len(r) > 1:
        active = (r - nav["benchmark"].pct_change().dropna())
        out["benchmark_return"] = measures.annual_return(nav["benchmark"].iloc[-1], len(r))
        out["active_return"] = out["annual_return"] - out["benchmark_return"]
        out["tracking_error"] = measures.realised_tracking_error(active)
        out["information_ratio"] = out["active_return"] / out["tracking_error"] if out["tracking_error"] else np.nan
    if len(records):
        out["average_turnover"] = float(records["turnover"].iloc[1:].mean()) if len(records) > 1 else np.nan
        out["total_costs"] = float(records["cost"].sum())
        out["ex_ante_tracking_error"] = float(records["ex_ante_te"].mean())
        out["infeasible_dates"] = int((records["status"] != "optimal").sum())
    return pd.Series(out, dtype=float)


def __getattr__(name):
    # `verdalis.backtest.sweep`, the name sweeps had before they moved to
    # verdalis.sweep; read on first use, since verdalis.sweep imports this module.
    if name == "sweep":
        from .sweep import sweep

        return sweep
    raise AttributeError("module {!r} has no attribute {!r}".format(__name__, name))
