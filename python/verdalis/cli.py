"""Command line: optimizations from config files, and a showcase on the demo market.

``verdalis run CONFIG`` optimizes what a TOML config describes (see
`verdalis.config`) and writes weights.csv, report.json and report.html;
``verdalis diagnose CONFIG`` explains a config whose limits cannot all hold;
``verdalis frontier CONFIG`` draws the efficient frontier of its mandate;
``verdalis backtest`` and ``verdalis sweep`` run a mandate through time (see
`verdalis.backtest`).
Exit status (every command): 0 done, 1 a request the data cannot serve, 2 bad
command-line usage, 3 a config error, 4 an infeasible problem (`diagnose`
too, after printing its diagnosis).  ``--store PATH`` reads the store there
(as ``CORVANA_DATA`` does).

``verdalis demo`` runs the showcase of `verdalis.demo`.
"""
import argparse
import logging
import os
import sys
import time
import warnings
from pathlib import Path

import corvana

from . import __version__
from . import _console
from ._console import UserError, _check_date, _market_line, _parse_date, _store, history_needed, message_text

EXIT_DATA, EXIT_USAGE, EXIT_CONFIG, EXIT_INFEASIBLE = 1, 2, 3, 4


def _use_store(path, command):
    """Point corvana at the store folder `path` (--store), as CORVANA_DATA
    does; only the demo may fill an empty folder with the demo market."""
    if path is None:
        return
    folder = Path(path).expanduser().absolute()
    if command != "demo" and not (folder / "manifest.json").is_file():
        raise UserError("--store {}: no market-data store there (build one with `corvana build-demo --path "
                        "{}` or `corvana import`)".format(path, path))
    os.environ["CORVANA_DATA"] = str(folder)  # worker processes (sweep) read the same store
    corvana.connect(folder)


def _diagnosis_text(exc):
    """The diagnosis of an infeasible optimization, when the failure carries its call."""
    if getattr(exc, "_call", None) is None or getattr(exc, "diagnose", None) is None:
        return None
    return str(exc.diagnose())


def _pool_line(config, ids, date, allow_shrink):
    """Print how the pool shrank; refuse when it lost more than half (unless allowed)."""
    line, shrank = config.pool_report(ids, date)
    if not line:
        return
    print(line, file=sys.stderr)
    if shrank and not (allow_shrink or config.allow_shrink):
        raise UserError("{}: more than half of the pool is gone; check the ids, or run with --allow-shrink "
                        "(or [pool] allow_shrink = true)".format(line))


def _solver_failure(exc):
    """One line for an error the solver raised: its cause, not its traceback."""
    cause = str(exc).strip().splitlines()
    return "the solver failed: {}".format(cause[-1] if cause else type(exc).__name__)


def _read_holding(path):
    """A holding CSV: columns order_book_id and shares (whole numbers, not negative)."""
    import pandas as pd

    path = Path(path)
    try:
        frame = pd.read_csv(path, dtype={"order_book_id": str})
    except (OSError, ValueError) as exc:
        raise UserError("{}: cannot read the holding: {}".format(path, exc)) from None
    missing = [c for c in ("order_book_id", "shares") if c not in frame.columns]
    if missing:
        raise UserError("{}: the holding needs the columns order_book_id and shares; missing {}".format(
            path, ", ".join(missing)))
    shares = pd.to_numeric(frame["shares"], errors="coerce")
    bad = frame.index[shares.isna() | (shares < 0) | (shares != shares.round())]
    if len(bad):
        row = int(bad[0])
        raise UserError("{}, row {}: shares must be a whole number of at least 0, got {!r}".format(
            path, row + 2, frame["shares"].iloc[row]))
    if frame["order_book_id"].duplicated().any():
        raise UserError("{}: {} is listed twice".format(
            path, frame["order_book_id"][frame["order_book_id"].duplicated()].iloc[0]))
    return pd.Series(shares.to_numpy(dtype=float), index=frame["order_book_id"].to_numpy())


def _write_orders(weights, date, holding_path, cash, out, cash_floor, min_order_value):
    """orders.csv in `out`: the whole-lot orders from the holding to `weights`, at the data date's closes."""
    import corvana as _corvana

    from .orders import orders

    holding = _read_holding(holding_path)
    prev = _corvana.get_previous_trading_date(date)
    ids = list(dict.fromkeys(list(weights.index) + list(holding.index)))
    close = _corvana.get_price(ids, prev, prev, fields="close", adjust_type="none")["close"]
    close = close.droplevel("date").reindex(ids)
    table = orders(weights[weights > 0], holding, close, cash, cash_floor=cash_floor, min_value=min_order_value)
    path = Path(out) / "orders.csv"
    table.to_csv(path, index=False, float_format="%.10g")
    print("  {:8} {} ({} orders at the closes of {}, cash after {:,.2f})".format(
        "orders", path, len(table), prev, table.attrs["cash_after"]))
    return path


def _warning_texts(diagnosis):
    """The diagnosis' warnings in English; with -v, the core's text in brackets."""
    for text, original in zip(diagnosis.warnings, diagnosis.original_warnings):
        yield text + (" [{}]".format(original) if _console.VERBOSE and original != text else "")


def _run(config_path, date_text, out, orders_from=None, cash=None, cash_floor=0.0, min_order_value=0.0,
         allow_shrink=False):
    import cvxpy

    from .config import load
    from .exception import OptimizationFailed
    from .optimize import portfolio_optimize
    from .report import build_report, write_report

    config = load(config_path)
    date = _parse_date(date_text) if date_text else config.date
    store = _store().ready()
    _check_date(date, history_needed(config.objective))
    arguments = config.build(date)
    _pool_line(config, arguments["order_book_ids"], date, allow_shrink)
    started = time.perf_counter()
    limits = None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            if arguments.get("cons"):
                # With constraints the diagnosis gives the weights and the
                # table of limits: value, bound, binding, shadow price.
                from .diagnose import diagnose

                diagnosis = diagnose(**arguments)
                for text in _warning_texts(diagnosis):
                    print("warning:", text, file=sys.stderr)
                if not diagnosis.feasible and diagnosis.weights is None:
                    print("verdalis: the optimization of {} on {} failed: {}".format(
                        config_path, date, diagnosis.failure), file=sys.stderr)
                    print(diagnosis)
                    return EXIT_INFEASIBLE
                weights, limits = diagnosis.weights, diagnosis.groups
            else:
                weights = portfolio_optimize(**arguments)
        except OptimizationFailed as exc:
            for w in caught:
                print("warning:", message_text(w.message), file=sys.stderr)
            print("verdalis: the optimization of {} on {} failed: {}".format(config_path, date, exc),
                  file=sys.stderr)
            text = _diagnosis_text(exc)
            if text:
                print(text)
            return EXIT_INFEASIBLE
        except cvxpy.error.SolverError as exc:
            print("verdalis: the optimization of {} on {} failed: {}".format(
                config_path, date, _solver_failure(exc)), file=sys.stderr)
            return EXIT_INFEASIBLE
    took = time.perf_counter() - started
    for w in caught:
        print("warning:", message_text(w.message), file=sys.stderr)
    started = time.perf_counter()
    with warnings.catch_warnings():
        # the risk model's notices were printed with the optimization's
        warnings.simplefilter("ignore")
        report = build_report(weights, date, config.benchmark, constraints=limits,
                              cov_model=arguments.get("cov_model", "daily"),
                              risk_model=arguments.get("risk_model", "v1"), objective=arguments["objective"],
                              classification=config.classification())
    for note in report.notes:
        print("note:", note, file=sys.stderr)
    out = Path(out) if out else default_out(config_path, date)
    title = "{} on {}".format(Path(config_path).stem, date)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        paths = write_report(report, out, title, market_line=_market_line(store), bounds=arguments.get("bnds"),
                             dust=config.dust, notice=_notice(store),
                             summary_lines=["{} stocks in the pool, {} objective, solved in {:.2f} s".format(
                                 len(arguments["order_book_ids"]), config.objective["type"], took)])
    for w in caught:  # characters the report's font cannot draw, for one
        print("warning:", w.message, file=sys.stderr)
    risk = report.risk
    print("{}: {} stocks held of {}, ex-ante risk {:.2%}{}, solved in {:.2f} s, report in {:.2f} s".format(
        title, report.holdings["count"], len(arguments["order_book_ids"]), risk["total_risk"],
        ", tracking error {:.2%}".format(risk["tracking_error"]) if "tracking_error" in risk else "", took,
        time.perf_counter() - started))
    for name, path in paths.items():
        print("  {:8} {}".format(name, path))
    if orders_from is not None:
        _write_orders(weights, date, orders_from, cash or 0.0, out, cash_floor, min_order_value)
    return 0


#: where `run` writes without --out: under the current directory, never beside the config
OUTPUT_FOLDER = "verdalis-output"


def default_out(config_path, date) -> Path:
    """./verdalis-output/CONFIG-DATE: the output folder of `run` without --out."""
    return Path.cwd() / OUTPUT_FOLDER / "{}-{}".format(Path(config_path).stem, date)


def _notice(store):
    if not store.synthetic:
        return ""
    return ("Synthetic data: the demo market's prices, indices and risk model are generated, "
            "not real market figures.")


def _diagnose(config_path, date_text):
    from .config import load

    config = load(config_path)
    date = _parse_date(date_text) if date_text else config.date
    _store().ready()
    _check_date(date, history_needed(config.objective))
    try:
        from .diagnose import diagnose
    except ImportError:
        raise UserError("this installation cannot diagnose optimizations") from None
    diagnosis = diagnose(**config.build(date))
    print(diagnosis)
    if _console.VERBOSE and diagnosis.original_warnings != diagnosis.warnings:
        print("as the core wrote the warnings:")
        for text in diagnosis.original_warnings:
            print("  - " + text)
    # the exit status `run` gives for the same config: 4 when no portfolio can be made
    return EXIT_INFEASIBLE if diagnosis.weights is None else 0


def _check_period(config_path, start, end):
    """The date check of `run`, for the first rebalance and the end of a period."""
    from .config import load

    config = load(config_path)
    _store().ready()
    if end < start:
        raise UserError("--end {} is before --start {}".format(end, start))
    _check_date(start, history_needed(config.objective), what="--start")
    _check_date(end, what="--end")


def _frontier(args):
    from .config import load
    from .exception import OptimizationFailed
    from .frontier import from_config, save

    config = load(args.config)
    date = _parse_date(args.date) if args.date else config.date
    store = _store().ready()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = from_config(config, date, points=args.points, risk=args.risk)
    except OptimizationFailed as exc:
        print("verdalis: the limits of {} cannot all hold on {} ({}); `verdalis diagnose {}` says "
              "which conflict".format(args.config, date, exc, args.config), file=sys.stderr)
        return EXIT_INFEASIBLE
    print(result)
    out = Path(args.out) if args.out else Path.cwd() / OUTPUT_FOLDER / "{}-frontier-{}".format(
        Path(args.config).stem, date)
    title = "{}: efficient frontier on {}".format(Path(args.config).stem, date)
    for name, path in save(result, out, title, _market_line(store)).items():
        print("  {:8} {}".format(name, path))
    return 0


def _backtest(args):
    from .backtest import run
    from .report.render import _summary_value

    from .backtest import rebalance_dates
    from .config import load

    cost_model = None
    if args.cost_model:
        from .costs import TransactionCostModel

        cost_model = TransactionCostModel()
    config = load(args.config)
    start, end = _parse_date(args.start), _parse_date(args.end)
    _check_period(args.config, start, end)
    dates = rebalance_dates(start, end, _rebalance(args.rebalance))
    first = config.build(dates[0])
    _pool_line(config, first["order_book_ids"], dates[0], args.allow_shrink)
    result = run(config, start, end, _rebalance(args.rebalance), args.cost_bps, out=args.out,
                 resume=args.resume, capital=args.capital, cost_model=cost_model, price_limits=args.price_limits,
                 orders=args.orders, cash_floor=args.cash_floor, min_order_value=args.min_order_value,
                 attribution=not args.no_attribution)
    print(result.title)
    if result.notice:
        print(result.notice)
    print("  {:24} {:,.0f}".format("capital", args.capital))
    for key, value in result.summary.items():
        if value == value:  # not NaN
            print("  {:24} {}".format(key.replace("_", " "), _summary_value(key, value, args.capital)))
    print("written to {}".format(args.out))
    return 0


def _rebalance(text):
    if "," in text:
        return [_parse_date(t) for t in text.split(",")]
    return text


def _sweep(args):
    from .sweep import sweep

    grid = {}
    for item in args.grid:
        key, _, values = item.partition("=")
        if not values:
            raise UserError("--grid {!r}: write KEY=V1,V2,...".format(item))
        grid[key.strip()] = [_scalar(v) for v in values.split(",")]
    client = None
    if args.scheduler:
        from dask.distributed import Client

        client = Client(args.scheduler)
    start, end = _parse_date(args.start), _parse_date(args.end)
    _check_period(args.config, start, end)
    table = sweep(args.config, grid, start, end,
                  _rebalance(args.rebalance), client=client, cost_bps=args.cost_bps, max_workers=args.workers)
    print(table.to_string(float_format=lambda v: "{:.4f}".format(v)))
    if args.out:
        Path(args.out).parent.mkdir(parents=True, exist_ok=True)
        table.to_csv(args.out)
    return 0


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError("expected a positive whole number, got {!r}".format(text))
    return value


def _positive_float(text):
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError("expected a positive number, got {!r}".format(text))
    return value


def _scalar(text):
    text = text.strip()
    for cast in (int, float):
        try:
            return cast(text)
        except ValueError:
            pass
    return {"true": True, "false": False}.get(text.lower(), text)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="verdalis", description=__doc__.splitlines()[0])
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    store_help = "the market-data store folder (default: $CORVANA_DATA or the per-user folder)"
    parser.add_argument("--store", metavar="PATH", help=store_help)
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run", help="optimize what a config file describes and write its report",
                         description="Optimize what CONFIG (TOML) describes; write weights.csv, report.json "
                                     "and report.html into --out.")
    run.add_argument("config", help="the TOML file describing the optimization")
    run.add_argument("--date", help="optimization date YYYY-MM-DD (default: the config's)")
    run.add_argument("--out", help="output folder (default: {}/CONFIG-DATE under the current folder)".format(
        OUTPUT_FOLDER))
    run.add_argument("--allow-shrink", action="store_true",
                     help="run even when more than half of the pool's ids are unknown or not listed")
    run.add_argument("--orders", metavar="HOLDING.csv",
                     help="also write orders.csv: whole-lot orders from this holding (columns order_book_id, "
                          "shares) to the weights, at the closes of the day before the date")
    run.add_argument("--cash", type=float, help="cash beside the holding of --orders (default 0)")
    run.add_argument("-v", "--verbose", action="store_true", help="log solve times; show the core's own text after each message")
    diag = sub.add_parser("diagnose", help="explain which limits of a config conflict, or what each one costs",
                          description="Print the diagnosis of the optimization CONFIG describes.")
    diag.add_argument("config", help="the TOML file describing the optimization")
    diag.add_argument("--date", help="optimization date YYYY-MM-DD (default: the config's)")
    diag.add_argument("-v", "--verbose", action="store_true", help="log solve times; show the core's own text after each message")
    front = sub.add_parser("frontier", help="draw the efficient frontier of a config's mandate",
                           description="The efficient frontier of the mandate CONFIG describes: expected "
                                       "(active) return against risk under all its limits; writes "
                                       "frontier.csv, weights.csv and frontier.html into --out.")
    front.add_argument("config", help="the TOML file describing the mandate")
    front.add_argument("--date", help="date YYYY-MM-DD (default: the config's)")
    front.add_argument("--points", type=_positive_int, default=20, help="points on the frontier (default 20)")
    front.add_argument("--risk", choices=["active", "total"], default=None,
                       help="tracking error (default with a benchmark) or total risk")
    front.add_argument("--out", help="output folder (default: ./{}/CONFIG-frontier-DATE)".format(OUTPUT_FOLDER))
    front.add_argument("-v", "--verbose", action="store_true",
                       help="log solve times; show the core's own text after each message")
    for name, help_text in (("backtest", "rebalance a config's mandate through time"),
                            ("sweep", "backtest a config over a grid of parameter values, in parallel")):
        cmd = sub.add_parser(name, help=help_text, description=help_text.capitalize() + ".")
        cmd.add_argument("config", help="the TOML file describing the mandate")
        cmd.add_argument("--start", required=True, help="first day YYYY-MM-DD")
        cmd.add_argument("--end", required=True, help="last day YYYY-MM-DD")
        cmd.add_argument("--rebalance", default="monthly",
                         help="monthly, weekly, a number of trading days, or dates D1,D2,... (default monthly)")
        cmd.add_argument("--cost-bps", type=float, default=0.0, help="trading cost, bps of the value traded")
        if name == "backtest":
            cmd.add_argument("--capital", type=_positive_float, default=1e9,
                             help="the book's starting value, in the market's currency (default 1e9); "
                                  "costs are reported in it and in bps of it")
            cmd.add_argument("--out", required=True, help="folder for the Parquet tables, report and checkpoint")
            cmd.add_argument("--resume", action="store_true", help="continue an interrupted run in --out")
            cmd.add_argument("--allow-shrink", action="store_true",
                             help="run even when more than half of the pool's ids are unknown or not listed")
            cmd.add_argument("--cost-model", action="store_true",
                             help="charge commission, stamp duty, half-spread and market impact (default rates), "
                                  "and weigh them in a mean-variance objective")
            cmd.add_argument("--price-limits", action="store_true",
                             help="do not buy stocks closing at their up-limit nor sell those at their down-limit")
            cmd.add_argument("--orders", action="store_true", help="trade whole lots, keeping --cash-floor in cash")
            cmd.add_argument("--no-attribution", action="store_true",
                             help="leave the performance attribution out of the report (it costs a regression per period)")
            cmd.add_argument("--cash-floor", type=float, default=0.0, help="cash kept with --orders (default 0)")
            cmd.add_argument("--min-order-value", type=float, default=0.0,
                             help="smallest order with --orders, in money (default 0)")
        else:
            cmd.add_argument("--grid", action="append", required=True,
                             help="KEY=V1,V2,... e.g. constraints[0].upper_limit=0.02,0.03,0.05 (repeatable)")
            cmd.add_argument("--scheduler", help="address of a Dask scheduler (default: local processes)")
            cmd.add_argument("--workers", type=_positive_int, default=None,
                             help="local worker processes (default one a core; 1: the points one after "
                                  "another in this process, sharing its data caches)")
            cmd.add_argument("--out", help="CSV file for the summary table")
        cmd.add_argument("-v", "--verbose", action="store_true", help="log solve times; show the core's own text after each message")
    demo = sub.add_parser("demo", help="optimize two showcase portfolios on the demo market")
    demo.add_argument("--date", default="2024-06-28", help="optimization date (default %(default)s)")
    demo.add_argument("--max-weight", type=float, default=0.03,
                      help="upper bound of each stock's weight in the enhanced portfolio (raised to the "
                           "index's largest weight when that is higher)")
    demo.add_argument("-v", "--verbose", action="store_true", help="log solve times; show the core's own text after each message")
    for command in sub.choices.values():  # --store also after the command's name
        command.add_argument("--store", metavar="PATH", default=argparse.SUPPRESS, help=store_help)
    args = parser.parse_args(argv)
    if args.verbose:
        logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s")
    _console.VERBOSE = bool(args.verbose)
    from .config import ConfigError
    from .exception import InvalidArgument

    try:
        _use_store(args.store, args.command)
        if args.command == "run":
            if args.cash is not None and args.orders is None:
                raise UserError("--cash is the cash beside the holding of --orders; give --orders HOLDING.csv")
            with corvana.pinned():  # pool, optimization and report read one version of the store
                return _run(args.config, args.date, args.out, args.orders, args.cash,
                            allow_shrink=args.allow_shrink)
        if args.command == "diagnose":
            with corvana.pinned():
                return _diagnose(args.config, args.date)
        if args.command == "backtest":
            return _backtest(args)
        if args.command == "frontier":
            return _frontier(args)
        if args.command == "sweep":
            return _sweep(args)
        from .demo import demo

        return demo(args.date, args.max_weight)
    except ConfigError as exc:
        if os.environ.get("VERDALIS_DEBUG"):
            raise
        cause = exc.__cause__
        original = " [{}]".format(cause) if _console.VERBOSE and cause is not None else ""
        print("verdalis: config error: {}{}".format(exc, original), file=sys.stderr)
        return EXIT_CONFIG
    except (UserError, InvalidArgument, corvana.StoreError, ValueError, OSError) as exc:
        # A request the data cannot serve (or a broken store): one line, no
        # traceback; VERDALIS_DEBUG=1 shows where it came from.
        if os.environ.get("VERDALIS_DEBUG"):
            raise
        print("verdalis: error: {}".format(message_text(exc)), file=sys.stderr)
        return EXIT_DATA
    except KeyboardInterrupt:
        print("verdalis: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
