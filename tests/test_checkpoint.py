"""The backtest checkpoint is data: a damaged, foreign or legacy one is refused
with one line, and nothing in it can run."""
import datetime
import json
import pickle
import shutil

import pandas as pd
import pytest

import corvana
from verdalis import backtest, checkpoint, config

from test_backtest import MANDATE

START, END = datetime.date(2021, 3, 1), datetime.date(2021, 5, 31)


@pytest.fixture(scope="module")
def mandate(small_market):
    return config.loads(MANDATE)


@pytest.fixture(scope="module")
def finished(mandate, tmp_path_factory):
    out = tmp_path_factory.mktemp("ck")
    result = backtest.run(mandate, START, END, "monthly", out=out, progress=False)
    return out, result


@pytest.fixture
def out(finished, tmp_path):
    target = tmp_path / "out"
    shutil.copytree(finished[0], target)
    return target


def test_the_checkpoint_holds_only_json_and_parquet(finished):
    folder = finished[0] / checkpoint.FOLDER
    suffixes = sorted(p.suffix for p in folder.iterdir())
    assert suffixes == [".json"] + [".parquet"] * 5  # book, nav, weights, periods, untraded
    assert not (finished[0] / checkpoint.LEGACY).exists()


def test_resuming_a_finished_run_gives_the_same_result(mandate, finished, out):
    resumed = backtest.run(mandate, START, END, "monthly", out=out, resume=True, progress=False)
    pd.testing.assert_frame_equal(resumed.nav, finished[1].nav, check_exact=True)
    pd.testing.assert_frame_equal(resumed.weights, finished[1].weights, check_exact=True)
    pd.testing.assert_frame_equal(resumed.rebalances, finished[1].rebalances)


def _state(out):
    return out / checkpoint.FOLDER / checkpoint.STATE


def _flip_state(out):
    text = _state(out).read_text()
    # a changed number in the body: still valid JSON, but not what was written
    _state(out).write_text(text.replace('"done": 3', '"done": 2', 1))


def _flip_parquet(out):
    body = json.loads(_state(out).read_text())["body"]
    path = out / checkpoint.FOLDER / body["files"]["nav"]["file"]
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0x01
    path.write_bytes(bytes(data))


def _missing_parquet(out):
    body = json.loads(_state(out).read_text())["body"]
    (out / checkpoint.FOLDER / body["files"]["weights"]["file"]).unlink()


def _not_json(out):
    _state(out).write_bytes(b"\x80\x04\x95 not json")


def _resealed_other_format(out):
    raw = json.loads(_state(out).read_text())
    raw["body"]["format"] = 99
    raw["sha256"] = checkpoint._sha(checkpoint._canonical(raw["body"]))
    _state(out).write_text(json.dumps(raw))


@pytest.mark.parametrize("damage, says", [
    (_flip_state, "does not match its SHA-256"),
    (_flip_parquet, "does not match its SHA-256"),
    (_missing_parquet, "damaged"),
    (_not_json, "cannot read it"),
    (_resealed_other_format, "format 99"),
])
def test_a_damaged_checkpoint_is_refused_in_one_line(mandate, out, damage, says):
    damage(out)
    with pytest.raises(checkpoint.CheckpointError) as info:
        backtest.run(mandate, START, END, "monthly", out=out, resume=True, progress=False)
    message = str(info.value)
    assert says in message and str(_state(out)) in message and "\n" not in message


@pytest.mark.parametrize("change, says", [
    (dict(mandate_text=MANDATE.replace("upper_limit = 0.2", "upper_limit = 0.25")), "the config differs"),
    (dict(end=datetime.date(2021, 6, 30)), "the rebalance dates differ"),
    (dict(cost_bps=5.0), "the trading costs differ"),
])
def test_a_checkpoint_of_another_backtest_is_refused(small_market, out, change, says):
    other = config.loads(change.get("mandate_text", MANDATE))
    with pytest.raises(checkpoint.CheckpointError, match=says):
        backtest.run(other, START, change.get("end", END), "monthly", cost_bps=change.get("cost_bps", 0.0),
                     out=out, resume=True, progress=False)


def test_a_checkpoint_of_other_market_data_is_refused(mandate, small_market, out, tmp_path):
    st = corvana.Store(small_market)
    tables = {name: st.read_table(name).to_pandas() for name in st.manifest["tables"]}
    st.close()
    bars = tables["bars"]
    bars.loc[bars.index[-1], "close"] *= 1.01  # one price corrected
    corvana.write_store(tmp_path / "other", tables, source="test")
    corvana.connect(tmp_path / "other")
    try:
        with pytest.raises(checkpoint.CheckpointError, match="the market data changed"):
            backtest.run(mandate, START, END, "monthly", out=out, resume=True, progress=False)
    finally:
        corvana.connect(small_market)


class _Payload:
    def __reduce__(self):
        return (open, ("/nonexistent-dir/ran", "w"))


def test_a_legacy_pickle_is_refused_without_being_loaded(mandate, tmp_path, monkeypatch):
    monkeypatch.setattr(pickle, "load", lambda *a, **k: pytest.fail("a pickle was loaded"))
    monkeypatch.setattr(pickle, "loads", lambda *a, **k: pytest.fail("a pickle was loaded"))
    (tmp_path / checkpoint.LEGACY).write_bytes(pickle.dumps(_Payload()))
    with pytest.raises(checkpoint.CheckpointError, match="never loaded"):
        backtest.run(mandate, START, END, "monthly", out=tmp_path, resume=True, progress=False)


def test_a_trading_backtest_resumes_to_the_same_result(mandate, tmp_path, monkeypatch):
    from verdalis import optimize
    from verdalis.costs import TransactionCostModel

    options = dict(cost_bps=3, progress=False, cost_model=TransactionCostModel(), price_limits=True, orders=True,
                   cash_floor=1e6, min_order_value=2000)
    whole = backtest.run(mandate, START, END, "monthly", **options)
    real, calls = optimize.portfolio_optimize, []

    def interrupted(*args, **kwargs):
        calls.append(1)
        if len(calls) == 3:
            raise KeyboardInterrupt
        return real(*args, **kwargs)

    monkeypatch.setattr(optimize, "portfolio_optimize", interrupted)
    with pytest.raises(KeyboardInterrupt):
        backtest.run(mandate, START, END, "monthly", out=tmp_path, **options)
    monkeypatch.setattr(optimize, "portfolio_optimize", real)
    with pytest.raises(checkpoint.CheckpointError, match="other trading options"):
        backtest.run(mandate, START, END, "monthly", out=tmp_path, resume=True, **dict(options, cash_floor=0.0))
    resumed = backtest.run(mandate, START, END, "monthly", out=tmp_path, resume=True, **options)
    for name in ("nav", "weights", "rebalances", "untraded", "attribution"):
        pd.testing.assert_frame_equal(getattr(resumed, name), getattr(whole, name), check_exact=True, obj=name)
