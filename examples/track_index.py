"""Track the 300-stock index with a 500-stock universe plus its members.

Run after `scripts/setup.sh`: `.venv/bin/python examples/track_index.py`
"""
import corvana
from verdalis.objective import MinTrackingError
from verdalis.optimize import portfolio_optimize
from verdalis.report import analyse
from verdalis.benchmark import IndexBenchmark

DATE = "2024-06-28"
prev = corvana.get_previous_trading_date(DATE)
pool = corvana.index_components("000300.XSHG", prev) + corvana.index_components("000905.XSHG", prev)

weights = portfolio_optimize(pool, DATE, MinTrackingError(), bnds={"*": (0, 0.02)},
                             benchmark="000300.XSHG")
print(analyse(weights, DATE, IndexBenchmark("000300.XSHG")).format("Minimum tracking error"))
