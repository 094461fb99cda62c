"""Command line: a showcase of the optimizer on the demo market.

``python -m verdalis.cli demo`` builds the demo market if there is none yet
(through corvana), then optimizes two portfolios and prints their ex-ante
analytics:

* an index-enhancement portfolio: `ActiveMeanVariance` against the 300-stock
  index over the members of the 300- and 500-stock indices;
* a risk-parity portfolio over the 300-stock index members.
"""
import argparse
import logging
import sys
import time
import warnings

import corvana

INDEX = "000300.XSHG"
WIDER_INDEX = "000905.XSHG"


def _demo(date, max_weight):
    from .benchmark import IndexBenchmark
    from .exception import OptimizerWarning
    from .objective import ActiveMeanVariance, RiskParity
    from .optimize import portfolio_optimize
    from .report import analyse

    prev = corvana.get_previous_trading_date(date)
    members = corvana.index_components(INDEX, prev)
    wider = corvana.index_components(WIDER_INDEX, prev)
    pool = sorted(set(members) | set(wider))
    print("date {}, data as of {}; pool: {} stocks ({} ∪ {})".format(
        date, prev, len(pool), INDEX, WIDER_INDEX))
    print()

    # A cap the pool can reach: at least twice the equal weight.
    cap = max(max_weight, 2.0 / len(pool))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", OptimizerWarning)
        started = time.perf_counter()
        enhanced = portfolio_optimize(
            pool, date, ActiveMeanVariance(risk_aversion_coefficient=4.0),
            bnds={"*": (0.0, cap)}, benchmark=INDEX)
        took = time.perf_counter() - started
    for w in caught:
        print("warning:", w.message)
    report = analyse(enhanced, date, IndexBenchmark(INDEX))
    print(report.format("Index enhancement vs {} (ActiveMeanVariance, {:.2f} s)".format(INDEX, took)))
    print()

    started = time.perf_counter()
    parity = portfolio_optimize(members, date, RiskParity())
    took = time.perf_counter() - started
    report = analyse(parity, date, IndexBenchmark(INDEX))
    print(report.format("Risk parity over the {} members ({:.2f} s)".format(INDEX, took)))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="verdalis", description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="optimize two showcase portfolios on the demo market")
    demo.add_argument("--date", default="2024-06-28", help="optimization date (default %(default)s)")
    demo.add_argument("--max-weight", type=float, default=0.03,
                      help="upper bound of each stock's weight in the enhanced portfolio")
    demo.add_argument("-v", "--verbose", action="store_true", help="log solve times")
    args = parser.parse_args(argv)
    if args.verbose:
        logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s")
    if args.command == "demo":
        return _demo(args.date, args.max_weight)
    return 2


if __name__ == "__main__":
    sys.exit(main())
