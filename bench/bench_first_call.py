"""First-call times on the full demo market: a fresh process's first
optimization (cold: nothing of the store in memory) and the same call again
(warm).

Run: ``.venv/bin/python bench/bench_first_call.py [--path STORE] [--runs 5]``

Two mandates: the index-enhancement mandate of ``bench/backtest_mandate.toml``
(its first rebalance, without the holding-aware limits: reads the risk
model, the index weights and a year of bars for the expected returns) and a
long-only minimum variance over the same 300 stocks (no bars).  Each run is
a new Python process; the cold time counts from before the first read to
the weights (imports excluded), the warm time is the same call repeated.
Medians over the runs.  The operating system's file cache is warm in both
(the files were read by the previous run).
"""
import argparse
import json
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = r"""
import json, sys, time, warnings
warnings.simplefilter("ignore")
import corvana
from verdalis import backtest, config
from verdalis.objective import MinVariance
from verdalis.optimize import portfolio_optimize
corvana.connect(sys.argv[1])
mandate = config.load(sys.argv[2])
kind = sys.argv[3]

def call():
    if kind == "mandate":
        # the first rebalance's problem: no holding yet, so no holding-aware limits
        specs = [c for c in mandate.constraints if not backtest._holding_unit(c)]
        return portfolio_optimize(**mandate.build(mandate.date, constraints=specs))
    pool = corvana.index_components("000300.XSHG", "2024-06-27")
    return portfolio_optimize(pool, "2024-06-28", MinVariance(), bnds={"*": (0.0, 0.05)})

t = time.perf_counter(); call(); cold = time.perf_counter() - t
t = time.perf_counter(); call(); warm = time.perf_counter() - t
print(json.dumps({"cold": cold, "warm": warm}))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", default=None, help="store folder (default: the client's default)")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    import corvana

    path = args.path or str(corvana.client.current().path)
    print("| mandate | cold first call | warm call |\n|---|---|---|")
    for kind in ("mandate", "minvariance"):
        runs = []
        for _ in range(args.runs):
            out = subprocess.run([sys.executable, "-c", CHILD, path, str(HERE / "backtest_mandate.toml"), kind],
                                 check=True, capture_output=True, text=True).stdout
            runs.append(json.loads(out.strip().splitlines()[-1]))
        cold = statistics.median(r["cold"] for r in runs)
        warm = statistics.median(r["warm"] for r in runs)
        print("| {} | {:.2f} s | {:.3f} s |".format(kind, cold, warm), flush=True)


if __name__ == "__main__":
    main()
