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
suspended (no volume) on D cannot be traded and keeps its drifted weight.
Trading costs are `cost_bps` basis points of the value traded.  An infeasible
date does not end the run: the book is held and the date recorded with its
diagnosis.  The first rebalance starts from cash, so holding-aware limits are
left out on that date (the result says so).

Each finished date is checkpointed in `out` (when given), so an interrupted
run continues with ``resume=True`` where it stopped.  `verdalis.sweep` runs
one backtest per point of a parameter grid (also importable here as
`verdalis.backtest.sweep`).
"""
from __future__ import annotations

import os
import pickle
import warnings
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

import corvana

from . import measures
from .config import Config, load
from .messages import english

__all__ = ["BacktestResult", "rebalance_dates", "run", "sweep"]

CHECKPOINT = "checkpoint.pickle"


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

    def save(self, out) -> Path:
        """Parquet tables and report.html into the folder `out`."""
        from .report.render import backtest_html

        out = Path(out)
        out.mkdir(parents=True, exist_ok=True)
        self.nav.to_parquet(out / "nav.parquet")
        self.weights.to_parquet(out / "weights.parquet")
        self.turnover.rename("turnover").to_frame().to_parquet(out / "turnover.parquet")
        self.rebalances.astype({"notes": str}).to_parquet(out / "rebalances.parquet")
        self.summary.rename("value").to_frame().to_csv(out / "summary.csv")
        (out / "report.html").write_text(backtest_html(self), encoding="utf-8")
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
    if not ids:
        return []
    bars = corvana.get_price(ids, date, date, fields="volume", adjust_type="none")["volume"]
    traded = set(bars[bars > 0].index.get_level_values("order_book_id"))
    return [i for i in ids if i not in traded]


def _ex_ante_te(weights, date, benchmark, arguments):
    """The tracking error the optimization's risk model expected of `weights` (a year)."""
    if benchmark is None:
        return np.nan
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


def _state_path(out):
    return Path(out) / CHECKPOINT


def _save_state(out, state):
    path = _state_path(out)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as f:
        pickle.dump(state, f)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def run(config, start, end, rebalance="monthly", cost_bps=0.0, out=None, resume=False, *,
        capital=1e9, progress=True) -> BacktestResult:
    """Backtest the mandate `config` (a TOML path or a `Config`) from `start` to `end`."""
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

    state = None
    if resume and out is not None and _state_path(out).exists():
        with open(_state_path(out), "rb") as f:
            state = pickle.load(f)
        if state["key"] != (dates, float(cost_bps), float(capital), repr(config.to_dict())):
            raise ValueError("{}: the checkpoint is of another backtest; remove it or choose another --out"
                             .format(_state_path(out)))
    if state is None:
        state = {"key": (dates, float(cost_bps), float(capital), repr(config.to_dict())), "book": _Book(capital),
                 "day": 0, "done": 0, "nav": [(days[0], float(capital))], "weights": {}, "records": []}
    book = state["book"]

    all_ids = set()
    bar = None
    if progress:
        from tqdm.auto import tqdm

        bar = tqdm(total=len(dates), initial=state["done"], desc="backtest", unit="rebalance")
    try:
        while state["done"] < len(dates):
            date = dates[state["done"]]
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
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    target = portfolio_optimize(**arguments)
            except OptimizationFailed as exc:
                record["status"] = "infeasible"
                diagnose = getattr(exc, "diagnose", None)
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
                cost = nav * turnover * cost_bps / 1e4
                book.values = target * (nav - cost)
                book.cash = 0.0
                record.update(cost=cost, turnover=turnover)
                state["weights"][date] = target
                record["ex_ante_te"] = _ex_ante_te(target, date, benchmark, arguments)
            else:
                record.update(turnover=0.0, ex_ante_te=np.nan)
            all_ids |= set(book.values.index)
            state["records"].append(record)
            state["done"] += 1
            if out is not None:
                _save_state(out, state)
            if bar is not None:
                bar.update(1)
        _drift_until(book, days, state, len(days) - 1)
    finally:
        if bar is not None:
            bar.close()
    result = _result(state, benchmark, dates, days)
    if out is not None:
        result.save(out)
        _save_state(out, state)
    return result


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
    return BacktestResult(nav=frame, weights=weights, turnover=turnover,
                          summary=_summary(frame, records), rebalances=records)


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
