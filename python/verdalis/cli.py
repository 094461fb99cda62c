"""Command line: optimizations from config files, and a showcase on the demo market.

``verdalis run CONFIG`` optimizes what a TOML config describes (see
`verdalis.config`) and writes weights.csv, report.json and report.html;
``verdalis diagnose CONFIG`` explains a config whose limits cannot all hold;
``verdalis backtest`` and ``verdalis sweep`` run a mandate through time (see
`verdalis.backtest`).
Exit status: 0 done, 1 a request the data cannot serve, 2 bad command-line
usage, 3 a config error, 4 an infeasible problem.

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
from ._console import UserError, _market_line, _parse_date, _store, message_text

EXIT_DATA, EXIT_USAGE, EXIT_CONFIG, EXIT_INFEASIBLE = 1, 2, 3, 4


def _diagnosis_text(exc):
    """The diagnosis of an infeasible optimization, when the package can give one."""
    diagnose = getattr(exc, "diagnose", None)
    if diagnose is None:
        return None
    return str(diagnose())


def _warning_texts(diagnosis):
    """The diagnosis' warnings in English; with -v, the core's text in brackets."""
    for text, original in zip(diagnosis.warnings, diagnosis.original_warnings):
        yield text + (" [{}]".format(original) if _console.VERBOSE and original != text else "")


def _run(config_path, date_text, out):
    from .config import load
    from .exception import OptimizationFailed
    from .optimize import portfolio_optimize
    from .report import build_report, write_report

    config = load(config_path)
    date = _parse_date(date_text) if date_text else config.date
    store = _store().ready()
    arguments = config.build(date)
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
    took = time.perf_counter() - started
    for w in caught:
        print("warning:", message_text(w.message), file=sys.stderr)
    with warnings.catch_warnings():
        # the risk model's notices were printed with the optimization's
        warnings.simplefilter("ignore")
        report = build_report(weights, date, config.benchmark, constraints=limits,
                              cov_model=arguments.get("cov_model", "daily"),
                              risk_model=arguments.get("risk_model", "v1"))
    out = Path(out) if out else Path(config_path).with_suffix("").with_name(Path(config_path).stem + "-" + str(date))
    title = "{} on {}".format(Path(config_path).stem, date)
    paths = write_report(report, out, title, market_line=_market_line(store),
                         summary_lines=["{} stocks in the pool, {} objective, solved in {:.2f} s".format(
                             len(arguments["order_book_ids"]), config.objective["type"], took)])
    risk = report.risk
    print("{}: {} stocks held of {}, ex-ante risk {:.2%}{}, solved in {:.2f} s".format(
        title, report.holdings["count"], len(arguments["order_book_ids"]), risk["total_risk"],
        ", tracking error {:.2%}".format(risk["tracking_error"]) if "tracking_error" in risk else "", took))
    for name, path in paths.items():
        print("  {:8} {}".format(name, path))
    return 0


def _diagnose(config_path, date_text):
    from .config import load

    config = load(config_path)
    date = _parse_date(date_text) if date_text else config.date
    _store().ready()
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
    return 0


def _backtest(args):
    from .backtest import run

    result = run(args.config, _parse_date(args.start), _parse_date(args.end), _rebalance(args.rebalance),
                 args.cost_bps, out=args.out, resume=args.resume)
    print(result.summary.to_string(float_format=lambda v: "{:.4f}".format(v)))
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
    table = sweep(args.config, grid, _parse_date(args.start), _parse_date(args.end),
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
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run", help="optimize what a config file describes and write its report",
                         description="Optimize what CONFIG (TOML) describes; write weights.csv, report.json "
                                     "and report.html into --out.")
    run.add_argument("config", help="the TOML file describing the optimization")
    run.add_argument("--date", help="optimization date YYYY-MM-DD (default: the config's)")
    run.add_argument("--out", help="output folder (default: CONFIG-DATE beside the config)")
    run.add_argument("-v", "--verbose", action="store_true", help="log solve times; show the core's own text after each message")
    diag = sub.add_parser("diagnose", help="explain which limits of a config conflict, or what each one costs",
                          description="Print the diagnosis of the optimization CONFIG describes.")
    diag.add_argument("config", help="the TOML file describing the optimization")
    diag.add_argument("--date", help="optimization date YYYY-MM-DD (default: the config's)")
    diag.add_argument("-v", "--verbose", action="store_true", help="log solve times; show the core's own text after each message")
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
            cmd.add_argument("--out", required=True, help="folder for the Parquet tables, report and checkpoint")
            cmd.add_argument("--resume", action="store_true", help="continue an interrupted run in --out")
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
    args = parser.parse_args(argv)
    if args.verbose:
        logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s")
    _console.VERBOSE = bool(args.verbose)
    from .config import ConfigError
    from .exception import InvalidArgument

    try:
        if args.command == "run":
            return _run(args.config, args.date, args.out)
        if args.command == "diagnose":
            return _diagnose(args.config, args.date)
        if args.command == "backtest":
            return _backtest(args)
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
