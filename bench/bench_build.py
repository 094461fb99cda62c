"""Time the demo-market build and report table sizes and realised market magnitudes.

    PYTHONPATH=python python bench/bench_build.py [--size full|small] [--seed N] [--store DIR]

Writes the store too (to --store, or a temporary folder that is removed
afterwards) when ``corvana.store.write_store`` is available, and reports its
size on disk.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

from corvana import synth  # noqa: E402


def _folder_size(path: Path) -> int:
    return sum(f.stat().st_size for f in path.rglob("*") if f.is_file())


def magnitudes(tables: dict[str, pd.DataFrame], seed: int = 0) -> dict[str, float]:
    """Realised statistics of the generated market (annualised with 252 days)."""
    inst = tables["instruments"]
    bars = tables["bars"]
    stocks = set(inst.loc[inst["type"] == "CS", "order_book_id"])
    out: dict[str, float] = {}
    for idx in ("000300.XSHG", "000905.XSHG", "000852.XSHG"):
        level = bars.loc[bars["order_book_id"] == idx, "close"].to_numpy()
        out[f"vol {idx} %/yr"] = float(np.std(np.diff(np.log(level))) * np.sqrt(252) * 100)
    sb = bars[bars["order_book_id"].isin(stocks)]
    tr = sb["close"].to_numpy() * sb["adj_factor"].to_numpy()
    same = sb["order_book_id"].to_numpy()[1:] == sb["order_book_id"].to_numpy()[:-1]
    r = pd.Series(np.where(same, tr[1:] / tr[:-1] - 1.0, np.nan))
    ids = sb["order_book_id"].to_numpy()[1:]
    vol = r.groupby(ids).agg(["std", "count"])
    vol = vol[vol["count"] >= 120]
    out["median stock vol %/yr"] = float(vol["std"].median() * np.sqrt(252) * 100)
    wide = pd.DataFrame({"id": ids, "date": sb["date"].to_numpy()[1:], "r": r.to_numpy()})
    wide = wide.pivot(index="date", columns="id", values="r")
    full = wide.columns[wide.notna().mean() > 0.98]
    rng = np.random.default_rng(seed)
    pick = rng.choice(full, size=min(400, len(full)), replace=False)
    c = wide[pick].corr().to_numpy()
    out["mean pairwise corr"] = float(c[np.triu_indices_from(c, 1)].mean())
    live = sb["volume"].to_numpy() > 0
    val = (sb["volume"] * sb["close"]).to_numpy()[live]
    cap = sb["market_cap_3"].to_numpy()[live]
    out["mean turnover %/day"] = float(np.mean(val / cap) * 100)
    out["suspended stock-days %"] = float((~live).mean() * 100)
    last = sb[sb["date"] == sb["date"].max()]["market_cap_3"]
    out["largest cap, last day (CNY)"] = float(last.max())
    out["median cap, last day (CNY)"] = float(last.median())
    raw = sb["close"].to_numpy()
    out["stock-days with adj event"] = float(
        np.sum(same & (sb["adj_factor"].to_numpy()[1:] != sb["adj_factor"].to_numpy()[:-1]))
    )
    del raw
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="full", choices=sorted(synth.SIZES))
    ap.add_argument("--seed", type=int, default=20240101)
    ap.add_argument("--store", default=None, help="write the store here (kept)")
    args = ap.parse_args(argv)

    t0 = time.perf_counter()
    tables = synth.generate(args.size, seed=args.seed, progress=False)
    t_gen = time.perf_counter() - t0

    rows = [("generate(%r)" % args.size, f"{t_gen:.1f} s")]
    for name, df in tables.items():
        rows.append((f"rows {name}", f"{len(df):,}"))

    try:
        from corvana.store import write_store
    except Exception:  # the store module is optional for this benchmark
        write_store = None
    if write_store is not None:
        target = Path(args.store) if args.store else Path(tempfile.mkdtemp(prefix="corvana-bench-")) / "store"
        t0 = time.perf_counter()
        write_store(target, tables)
        t_write = time.perf_counter() - t0
        rows.append(("write_store", f"{t_write:.1f} s"))
        rows.append(("store size on disk", f"{_folder_size(target) / 2**20:.1f} MiB"))
        if not args.store:
            shutil.rmtree(target.parent, ignore_errors=True)
    else:
        rows.append(("write_store", "n/a (corvana.store.write_store missing)"))

    for k, v in magnitudes(tables).items():
        rows.append((k, f"{v:,.4g}" if abs(v) < 1e6 else f"{v:.3g}"))

    width = max(len(k) for k, _ in rows)
    print(f"{'measure'.ljust(width)}  value")
    print(f"{'-' * width}  {'-' * 12}")
    for k, v in rows:
        print(f"{k.ljust(width)}  {v}")
    return 0


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    raise SystemExit(main())
