"""Many mandates in parallel: one backtest per point of a parameter grid.

Each point is the config with the values at its key paths replaced
(``constraints[0].upper_limit`` and the like), validated anew and run through
`verdalis.backtest.run`, on local processes, in this process, or on a
`dask.distributed.Client`; the result is one summary row per point.
"""
from __future__ import annotations

import copy
import itertools
import re

import pandas as pd

import corvana

from .backtest import run
from .config import Config, load

__all__ = ["sweep"]

_PATH = re.compile(r"([A-Za-z_]\w*)(?:\[(\d+)\])?")


def _with_value(raw: dict, key: str, value):
    """A copy of the config dict with the value at `key` (e.g. constraints[0].upper_limit) replaced."""
    raw = copy.deepcopy(raw)
    node = raw
    parts = key.split(".")
    for n, part in enumerate(parts):
        match = _PATH.fullmatch(part)
        if not match:
            raise ValueError("grid key {!r}: cannot read {!r}".format(key, part))
        name, index = match.group(1), match.group(2)
        last = n == len(parts) - 1
        if index is None:
            if last:
                node[name] = value
            else:
                node = node.setdefault(name, {})
        else:
            items = node.get(name)
            if not isinstance(items, list) or int(index) >= len(items):
                raise ValueError("grid key {!r}: no {}[{}] in the config".format(key, name, index))
            if last:
                items[int(index)] = value
            else:
                node = items[int(index)]
    return raw


def _point(args):
    raw, source, base, start, end, rebalance, cost_bps, store = args
    from .config import validate

    if store is not None and str(corvana.client.current().path) != store:
        corvana.connect(store)  # a worker: the store this sweep reads
    config = validate(raw, source, base)
    result = run(config, start, end, rebalance, cost_bps, progress=False, attribution=False)  # summaries only
    return result.summary


def sweep(config, grid, start, end, rebalance="monthly", client=None, *, cost_bps=0.0,
          max_workers=None, progress=True) -> pd.DataFrame:
    """One backtest per point of `grid` ({key path: [values]}), in parallel.

    Local processes by default (`max_workers` of them, default one a core);
    `max_workers=1` runs the points one after another in this process, whose
    data caches then serve every point (on two cores that beats two cold
    worker processes).  With a `dask.distributed.Client` the points run on its
    workers, which read the store from the path this process uses (a path
    they share).  One summary row per point, indexed by its values.
    `progress` shows a bar of the points done.
    """
    if not isinstance(config, Config):
        config = load(config)
    keys = list(grid)
    points = list(itertools.product(*(grid[k] for k in keys)))
    raw = config.to_dict()
    store = str(corvana.client.current().path)
    tasks = []
    for values in points:
        changed = raw
        for key, value in zip(keys, values):
            changed = _with_value(changed, key, value)
        tasks.append((changed, "{} {}".format(config.source, dict(zip(keys, values))), config.base,
                      start, end, rebalance, cost_bps, store))
    if max_workers is not None and (not isinstance(max_workers, int) or isinstance(max_workers, bool)
                                    or max_workers < 1):
        raise ValueError("max_workers: expected a positive whole number, got {!r}".format(max_workers))
    def counted(results):
        if not progress:
            return list(results)
        from tqdm.auto import tqdm

        return list(tqdm(results, total=len(tasks), desc="sweep", unit="point"))

    if client is not None:
        from dask.distributed import as_completed

        futures = client.map(_point, tasks, pure=False)
        counted(as_completed(futures))
        summaries = client.gather(futures)
    elif max_workers == 1:
        summaries = counted(_point(task) for task in tasks)
    else:
        from concurrent.futures import ProcessPoolExecutor
        import multiprocessing

        with ProcessPoolExecutor(max_workers=max_workers,
                                 mp_context=multiprocessing.get_context("spawn")) as pool:
            summaries = counted(pool.map(_point, tasks))
    frame = pd.DataFrame(summaries)
    frame.index = pd.MultiIndex.from_tuples(points, names=keys) if len(keys) > 1 else \
        pd.Index([p[0] for p in points], name=keys[0])
    return frame
