"""The showcase of ``verdalis demo``: it builds the demo market if there is
none yet (through corvana), then optimizes two portfolios and prints their
ex-ante analytics:

* an index-enhancement portfolio: `ActiveMeanVariance` against the 300-stock
  index over the members of the 300- and 500-stock indices, within a 5 %
  tracking error, every industry within ±2 % of the benchmark's weight and
  every style exposure within ±0.2 of the benchmark's;
* a risk-parity portfolio over the 300-stock index members.
"""
import time
import warnings

import corvana

from ._console import UserError, _check_date, _market_line, _parse_date, _store, message_text

__all__ = ["demo"]

INDEX = "000300.XSHG"
WIDER_INDEX = "000905.XSHG"
#: trading days of returns the enhanced portfolio's expected returns are estimated from
HISTORY_WINDOW = 252


def _index_name(order_book_id):
    record = corvana.instruments(order_book_id)
    return "{} {}".format(order_book_id, record.symbol) if record is not None and record.symbol else order_book_id


def demo(date_text, max_weight):
    """Print the two showcase portfolios for `date_text` (YYYY-MM-DD); 0 when done."""
    from .benchmark import IndexBenchmark
    from .constraints import TrackingErrorLimit, WildcardIndustryConstraint, wildcard_style_constraint
    from .objective import ActiveMeanVariance, RiskParity
    from .optimize import portfolio_optimize
    from .report import analyse

    date = _parse_date(date_text)
    store = _store().ready()
    prev = _check_date(date, HISTORY_WINDOW)
    members = corvana.index_components(INDEX, prev)
    wider = corvana.index_components(WIDER_INDEX, prev)
    pool = sorted(set(members) | set(wider))
    print(_market_line(store))
    print("date {}, data as of {}; pool: {} stocks ({} ∪ {})".format(
        date, prev, len(pool), _index_name(INDEX), _index_name(WIDER_INDEX)))
    print()

    # A cap the pool can reach: at least twice the equal weight, and no lower
    # than the index's largest weight, so that holding the index itself (a
    # tracking error of 0) stays within the bounds.
    largest = float(corvana.index_weights(INDEX, prev).max())
    cap = max(max_weight, 2.0 / len(pool), largest)
    # The index-enhancement mandate: tracking error, industries and styles
    # all held close to the benchmark.  The industry and style limits are
    # soft: on a market too small for all of them, they give way (with a
    # warning) and the tracking-error limit still holds.
    mandate = [
        TrackingErrorLimit(0.05),
        WildcardIndustryConstraint(lower_limit=-0.02, upper_limit=0.02, relative=True, hard=False),
        wildcard_style_constraint(lower_limit=-0.2, upper_limit=0.2, relative=True, hard=False),
    ]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")  # every warning of the solve is printed below
        started = time.perf_counter()
        enhanced = portfolio_optimize(
            pool, date, ActiveMeanVariance(window=HISTORY_WINDOW, risk_aversion_coefficient=4.0),
            bnds={"*": (0.0, cap)}, cons=mandate, benchmark=INDEX)
        took = time.perf_counter() - started
    for w in caught:
        print("warning:", message_text(w.message))
    report = analyse(enhanced, date, IndexBenchmark(INDEX), cons=mandate)
    print(report.format("Index enhancement vs {} (ActiveMeanVariance, {:.2f} s)".format(INDEX, took)))
    print()

    started = time.perf_counter()
    parity = portfolio_optimize(members, date, RiskParity())
    took = time.perf_counter() - started
    report = analyse(parity, date, IndexBenchmark(INDEX))
    print(report.format("Risk parity over the {} members ({:.2f} s)".format(INDEX, took)))
    return 0
