"""The backtest's checkpoint: plain data (JSON and Parquet), never code.

A checkpoint is the folder ``checkpoint/`` inside a backtest's output folder:

- ``state.json``: what the checkpoint belongs to (the config's SHA-256, the
  rebalance dates, costs, capital and the market-data version), how far the
  run got, the rebalance records and the book's cash; the SHA-256 of each
  Parquet file below; and the SHA-256 of all of that, so that any change to
  the file is found;
- ``book-<tag>.parquet`` (positions in money), ``nav-<tag>.parquet`` (NAV by
  day), ``weights-<tag>.parquet`` (the weights chosen at each rebalance, long
  form).

Saving writes new Parquet files under a fresh tag, then replaces
``state.json`` in one rename, then removes the files of the previous save:
an interruption at any point leaves the previous checkpoint whole.
Loading checks every digest and the key before anything is used, and refuses
with `CheckpointError` (one line naming the file and what is wrong).
"""
from __future__ import annotations

import datetime
import hashlib
import io
import json
import math
import os
import secrets
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

FOLDER = "checkpoint"
STATE = "state.json"
FORMAT = 1
#: the pickle file earlier versions wrote; refused, never read
LEGACY = "checkpoint.pickle"

_ADVICE = "remove it or choose another --out"


class CheckpointError(ValueError):
    """A checkpoint that cannot be resumed: damaged, or of another backtest."""


def _canonical(obj) -> bytes:
    return json.dumps(obj, sort_keys=True, separators=(",", ":"), default=str).encode("utf-8")


def _sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def key(config_dict: dict, dates, cost_bps: float, capital: float, manifest: dict) -> dict:
    """What a checkpoint must match to be resumed."""
    return {
        "config_sha256": _sha(_canonical(config_dict)),
        "dates": [d.isoformat() for d in dates],
        "cost_bps": float(cost_bps),
        "capital": float(capital),
        "store": store_version(manifest),
    }


def store_version(manifest: dict) -> str:
    """An identity of the market data a store holds: its tables' recorded SHA-256s."""
    tables = manifest.get("tables", {})
    return _sha(_canonical({n: (m.get("sha256"), m.get("rows")) for n, m in sorted(tables.items())}))


def _parquet(frame: pd.DataFrame, folder: Path, name: str, tag: str) -> dict:
    sink = io.BytesIO()
    pq.write_table(pa.Table.from_pandas(frame, preserve_index=False), sink)
    data = sink.getvalue()
    file = "{}-{}.parquet".format(name, tag)
    with open(folder / file, "wb") as fh:
        fh.write(data)
        fh.flush()
        os.fsync(fh.fileno())
    return {"file": file, "sha256": _sha(data)}


def _num(x):
    """A float for JSON: NaN and infinities tagged, as JSON cannot hold them."""
    x = float(x)
    return x if math.isfinite(x) else {"$float": repr(x)}


def _unnum(x):
    return float(x["$float"]) if isinstance(x, dict) else float(x)


def _plain(v):
    """A record's value as JSON: dates as ISO text, floats tagged when not finite."""
    if isinstance(v, datetime.date):
        return {"$date": v.isoformat()}
    if isinstance(v, (float, np.floating)):
        return _num(v)
    if isinstance(v, (np.integer, np.bool_)):
        return v.item()
    if isinstance(v, (list, tuple)):
        return [_plain(x) for x in v]
    return v


def _unplain(v):
    if isinstance(v, dict) and "$date" in v:
        return datetime.date.fromisoformat(v["$date"])
    if isinstance(v, dict) and "$float" in v:
        return _unnum(v)
    if isinstance(v, list):
        return [_unplain(x) for x in v]
    return v


def _series_frame(items) -> pd.DataFrame:
    """(key position, order_book_id, value) rows of a list of (key, Series)."""
    rows = [(k, i, float(x)) for k, (_, series) in enumerate(items) for i, x in series.items()]
    return pd.DataFrame(rows, columns=["k", "order_book_id", "value"]).astype({"k": "int64", "value": "float64"})


def _series_back(frame: pd.DataFrame, count: int, names) -> list:
    out = []
    for k in range(count):
        rows = frame[frame["k"] == k]
        index_name, name = names[k] if names else (None, None)
        ids = pd.Index(rows["order_book_id"].to_numpy(), dtype=object, name=index_name)
        out.append(pd.Series(rows["value"].to_numpy(dtype=float), index=ids, name=name))
    return out


def save(out, state: dict) -> Path:
    """Write `state` (the backtest's running state) as the checkpoint in the folder `out`."""
    folder = Path(out) / FOLDER
    folder.mkdir(parents=True, exist_ok=True)
    tag = "{}-{}".format(os.getpid(), secrets.token_hex(4))
    book = state["book"]
    weights = state["weights"]
    long = [(d, i, float(w)) for d, s in weights.items() for i, w in s.items()]
    files = {
        "book": _parquet(pd.DataFrame({"order_book_id": list(book.values.index),
                                       "value": book.values.to_numpy(dtype=float)}), folder, "book", tag),
        "nav": _parquet(pd.DataFrame({"date": [d for d, _ in state["nav"]],
                                      "nav": [float(v) for _, v in state["nav"]]}), folder, "nav", tag),
        "weights": _parquet(pd.DataFrame(long, columns=["date", "order_book_id", "weight"]), folder,
                            "weights", tag),
    }
    records = [{k: _plain(v) for k, v in r.items()} for r in state["records"]]
    periods = state.get("periods", [])
    untraded = list(state.get("untraded", {}).items())
    files["periods"] = _parquet(_series_frame([(p["start"], p["weights"]) for p in periods]), folder,
                                "periods", tag)
    files["untraded"] = _parquet(_series_frame(untraded), folder, "untraded", tag)
    body = {
        "format": FORMAT,
        "key": state["key"],
        "day": int(state["day"]),
        "done": int(state["done"]),
        "cash": _num(book.cash),
        "records": records,
        "weight_dates": [d.isoformat() for d in weights],
        "weight_names": _names(weights),
        "trading": _plain(list(state["trading"])) if "trading" in state else None,
        "periods": [{"start": p["start"].isoformat(), "cost": _num(p["cost"]),
                     "names": [p["weights"].index.name, p["weights"].name]} for p in periods],
        "untraded": [{"date": d.isoformat(), "names": [r.index.name, r.name]} for d, r in untraded],
        "files": files,
    }
    text = json.dumps({"body": body, "sha256": _sha(_canonical(body))}, indent=1)
    tmp = folder / "{}.{}.tmp".format(STATE, tag)
    with open(tmp, "w", encoding="utf-8") as fh:
        fh.write(text)
        fh.flush()
        os.fsync(fh.fileno())
    os.replace(tmp, folder / STATE)
    keep = {STATE} | {f["file"] for f in files.values()}
    for entry in folder.iterdir():
        if entry.name not in keep and entry.suffix in (".parquet", ".tmp"):
            try:
                entry.unlink()
            except OSError:
                pass
    return folder


def path(out) -> Path:
    """The checkpoint's state file in the output folder `out`."""
    return Path(out) / FOLDER / STATE


def exists(out) -> bool:
    return (Path(out) / FOLDER / STATE).exists() or (Path(out) / LEGACY).exists()


def load(out, expected_key: dict, make_book) -> dict:
    """The state saved in the folder `out`, checked whole and against `expected_key`.

    `make_book(values, cash)` rebuilds the book.  Raises CheckpointError."""
    folder = Path(out) / FOLDER
    state_file = folder / STATE
    if not state_file.exists() and (Path(out) / LEGACY).exists():
        raise CheckpointError("{}: a checkpoint of an earlier version (a pickle, which is never loaded); {}"
                              .format(Path(out) / LEGACY, _ADVICE))

    def damaged(problem):
        return CheckpointError("{}: the checkpoint is damaged ({}); {}".format(state_file, problem, _ADVICE))

    try:
        raw = json.loads(state_file.read_text(encoding="utf-8"))
        body = raw["body"]
        sound = isinstance(body, dict) and raw.get("sha256") == _sha(_canonical(body))
    except (OSError, UnicodeDecodeError, ValueError, TypeError, KeyError) as exc:
        raise damaged("cannot read it: {}".format(exc)) from None
    if not sound:
        raise damaged("its content does not match its SHA-256")
    if body.get("format") != FORMAT:
        raise CheckpointError("{}: a checkpoint of format {!r}, this version reads format {}; {}"
                              .format(state_file, body.get("format"), FORMAT, _ADVICE))
    found = body.get("key", {})
    for part, what in (("config_sha256", "the config differs"), ("dates", "the rebalance dates differ"),
                       ("cost_bps", "the trading costs differ"), ("capital", "the capital differs"),
                       ("store", "the market data changed since it was written")):
        if found.get(part) != expected_key[part]:
            raise CheckpointError("{}: the checkpoint is of another backtest ({}); {}"
                                  .format(state_file, what, _ADVICE))
    frames = {}
    for name in ("book", "nav", "weights", "periods", "untraded"):
        meta = body["files"].get(name, {})
        path = folder / str(meta.get("file", ""))
        try:
            if os.path.basename(str(meta.get("file", ""))) != meta.get("file"):
                raise ValueError("a file outside the checkpoint folder")
            data = path.read_bytes()
            if _sha(data) != meta.get("sha256"):
                raise ValueError("{} does not match its SHA-256".format(path.name))
            frames[name] = pq.read_table(io.BytesIO(data)).to_pandas()
        except (OSError, ValueError, pa.ArrowException) as exc:
            raise damaged(str(exc)) from None
    try:
        book = frames["book"]
        values = pd.Series(book["value"].to_numpy(dtype=float), dtype=float,
                           index=pd.Index(book["order_book_id"].to_numpy(), dtype=object))
        nav = [(_date(d), float(v)) for d, v in zip(frames["nav"]["date"], frames["nav"]["nav"])]
        weights = {}
        long = frames["weights"]
        for d in body["weight_dates"]:
            rows = long[long["date"].map(_date) == _date(d)]
            index_name, name = body["weight_names"]
            ids = pd.Index(rows["order_book_id"].to_numpy(), dtype=object, name=index_name)
            weights[_date(d)] = pd.Series(rows["weight"].to_numpy(dtype=float), index=ids, name=name)
        records = [{k: _unplain(v) for k, v in r.items()} for r in body["records"]]
        state = {"key": found, "book": make_book(values, _unnum(body["cash"])), "day": int(body["day"]),
                 "done": int(body["done"]), "nav": nav, "weights": weights, "records": records}
        if body["trading"] is not None:
            state["trading"] = tuple(_unplain(body["trading"]))
        series = _series_back(frames["periods"], len(body["periods"]), [p["names"] for p in body["periods"]])
        state["periods"] = [{"start": _date(p["start"]), "weights": w, "cost": _unnum(p["cost"])}
                            for p, w in zip(body["periods"], series)]
        series = _series_back(frames["untraded"], len(body["untraded"]), [u["names"] for u in body["untraded"]])
        state["untraded"] = {_date(u["date"]): r for u, r in zip(body["untraded"], series)}
    except (KeyError, TypeError, ValueError) as exc:
        raise damaged("unexpected content: {}".format(exc)) from None
    return state


def _names(weights: dict) -> list:
    """The index name and the name of the weight series (the same for every date)."""
    for series in weights.values():
        return [series.index.name, series.name]
    return [None, None]


def _date(value) -> datetime.date:
    if isinstance(value, str):
        return datetime.date.fromisoformat(value)
    return pd.Timestamp(value).date()
