"""Time OptimizeHelper on the demo market that corvana resolves.

Usage: python bench/bench_helper.py [--date YYYY-MM-DD] [--repeat N]

Each run builds a fresh helper and computes every member once (the cold,
first-computation cost an optimization pays).  Targets: 300-stock pool with a
benchmark < 0.2 s, 3000-stock pool < 1 s.
"""

import argparse
import datetime
import statistics
import time
import warnings

import corvana
from verdalis.const import CovModel, IndustryClassification, RiskModel
from verdalis.helper import OptimizeHelper


class IndexWeights:
    """Benchmark reading an index's weights from corvana."""

    def __init__(self, index):
        self.index = index

    def get_weight(self, date):
        return corvana.index_weights(self.index, date)


def touch_all(helper):
    helper.prev_trading_date
    helper.get_cov_matrix()
    helper.get_factor_risk()
    helper.get_factor_exposure()
    helper.get_industry_mapping(IndustryClassification.SWS)
    if helper.benchmark is not None:
        helper.benchmark_weight
        helper.get_union_cov_matrix()
        helper.get_union_factor_risk()
        helper.get_benchmark_style()
        helper.get_benchmark_industry_weight(IndustryClassification.SWS)


def run(pool, date, benchmark, repeat):
    times = []
    for _ in range(repeat):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            start = time.perf_counter()
            helper = OptimizeHelper(pool, date, benchmark, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
            touch_all(helper)
            times.append(time.perf_counter() - start)
    union = len(helper.union_components) if benchmark is not None else len(pool)
    return union, len(caught), min(times), statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--date", default="2023-06-15")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    date = datetime.date.fromisoformat(args.date)
    prev = corvana.get_previous_trading_date(date)  # builds the demo store on first use
    stocks = sorted(corvana.all_instruments(type="CS", date=prev)["order_book_id"])
    csi300 = corvana.index_components("000300.XSHG", prev)
    # a 300-stock pool half inside the index, so the union is larger than the pool
    pool300 = sorted(csi300[::2] + [s for s in stocks if s not in set(csi300)][:150])
    pool3000 = stocks[:3000]
    if len(pool3000) < 3000:  # fill up with stocks listed later, as a real pool might
        listed = set(pool3000)
        later = sorted(s for s in corvana.all_instruments(type="CS")["order_book_id"] if s not in listed)
        pool3000 = sorted(pool3000 + later[:3000 - len(pool3000)])

    cases = [
        ("300 stocks + 000300.XSHG", pool300, IndexWeights("000300.XSHG"), 0.2),
        ("300 stocks, no benchmark", pool300, None, 0.2),
        ("3000 stocks + 000300.XSHG", pool3000, IndexWeights("000300.XSHG"), 1.0),
        ("3000 stocks + 000852.XSHG", pool3000, IndexWeights("000852.XSHG"), 1.0),
    ]
    print("OptimizeHelper, all members, cold start; date {} (data as of {})".format(date, prev))
    print("{:<28} {:>5} {:>6} {:>8} {:>8} {:>9} {:>7}".format(
        "case", "pool", "union", "warnings", "min s", "median s", "target"))
    for name, pool, benchmark, target in cases:
        union, warned, best, median = run(pool, date, benchmark, args.repeat)
        verdict = "ok" if median < target else "SLOW"
        print("{:<28} {:>5} {:>6} {:>8} {:>8.3f} {:>9.3f} {:>7.1f}  {}".format(
            name, len(pool), union, warned, best, median, target, verdict))


if __name__ == "__main__":
    main()
