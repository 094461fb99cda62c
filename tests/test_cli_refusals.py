"""The command line on malformed configs and on a user's own stores: one line and
a documented exit status, never a traceback.

Exit status (verdalis.cli): 0 done, 1 a request the data cannot serve, 3 a
config error, 4 an infeasible problem or a solver failure.
"""
import math
import os
import warnings

import numpy as np
import pandas as pd
import pytest
import tomli_w
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvana
from corvana.checks import DataWarning
from verdalis import cli

BASE = {
    "date": "2021-06-15",
    "pool": {"index": "000300.XSHG"},
    "objective": {"type": "MinTrackingError"},
    "benchmark": {"index": "000300.XSHG"},
    "bounds": {"*": [0, 0.2]},
    "constraints": [{"type": "TrackingErrorLimit", "upper_limit": 0.05},
                    {"type": "StyleConstraint", "styles": ["size"], "lower_limit": -1, "upper_limit": 1}],
}


def _write(tmp_path, text):
    path = tmp_path / "c.toml"
    if isinstance(text, bytes):
        path.write_bytes(text)
    else:
        path.write_text(text, encoding="utf-8")
    return path


def _toml(**edits):
    raw = {k: (dict(v) if isinstance(v, dict) else [dict(c) for c in v] if isinstance(v, list) else v)
           for k, v in BASE.items()}
    for path, value in edits.items():
        node = raw
        keys = path.split("__")
        for k in keys[:-1]:
            node = node[int(k)] if k.isdigit() else node.setdefault(k, {})
        node[int(keys[-1]) if keys[-1].isdigit() else keys[-1]] = value
    lines = tomli_w.dumps({k: v for k, v in raw.items() if k != "date"})
    return "date = {}\n".format(raw["date"]) + lines


def _main(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


# (name, config text, exit status, the one error line's expected part)
REFUSALS = [
    ("solver not installed", _toml(solver={"name": "GUROBI"}), 3,
     "c.toml: solver.name: 'GUROBI' is not an installed solver (installed: "),
    ("unknown solver option", _toml(solver={"bogus_option": 1}), 3,
     "solver.bogus_option: unknown option of SCS (its options: "),
    ("huge float iteration count", _toml(solver={"max_iters": 1e300}), 3,
     "solver.max_iters: expected a whole number, got 1e+300"),
    ("iteration count out of range", _toml(solver={"max_iters": 2 ** 40}), 3,
     "solver.max_iters: 1099511627776 is out of range for SCS"),
    ("option of another solver", _toml(solver={"name": "clarabel", "max_iters": 100}), 3,
     "solver.max_iters: unknown option of CLARABEL"),
    ("verbose clashes with the driver's", _toml(solver={"verbose": True}), 3,
     "solver.verbose: set VERDALIS_DEBUG=1"),
    ("a limit in quotes", _toml(constraints__0__upper_limit="0.05"), 3,
     "constraints[0].upper_limit: expected a number, or a percentage"),
    ("an infinite tracking-error limit", _toml(constraints__0__upper_limit=math.inf), 3,
     "constraints[0].upper_limit: expected a finite number, got inf"),
    ("a NaN style limit", _toml(constraints__1__lower_limit=math.nan), 3,
     "constraints[1].lower_limit: NaN is not a value a config can hold"),
    ("a NaN bound", _toml(bounds={"*": [0, math.nan]}), 3, 'bounds.*[1]: NaN'),
    ("an infinite risk aversion", _toml(risk={"factor_risk_aversion": -math.inf}), 3,
     "risk.factor_risk_aversion: expected a finite number"),
    ("unknown pool index", _toml(pool={"index": "NOPE.XSHG"}), 3,
     "pool.index: unknown index 'NOPE.XSHG': the market-data store has no such id"),
    ("unknown benchmark index", _toml(benchmark={"index": "NOPE.XSHG"}), 3,
     "benchmark.index: unknown index 'NOPE.XSHG'"),
    ("unknown industry standard", _toml(risk={"industry": "gics"}, constraints=[
        {"type": "WildcardIndustryConstraint", "upper_limit": 0.3}]), 3,
     "risk.industry: the market-data store has no industry classification 'gics' (it has: "),
    ("binary file", b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\xff\xfe", 3, "c.toml: not a text file"),
    ("NUL bytes", b"date = 2021-06-15\n\x00\x00", 3, "c.toml: not a text file (it holds NUL bytes)"),
]


@pytest.mark.parametrize("text, code, expected", [c[1:] for c in REFUSALS], ids=[c[0] for c in REFUSALS])
def test_malformed_configs_are_refused_in_one_line(small_market, tmp_path, capsys, text, code, expected):
    path = _write(tmp_path, text)
    got, out, err = _main(capsys, "run", str(path), "--out", str(tmp_path / "out"))
    assert got == code, err
    lines = err.strip().splitlines()
    assert len(lines) == 1 and expected in lines[0], err
    assert "Traceback" not in err + out
    assert not (tmp_path / "out").exists()


def test_a_solver_error_is_one_line_with_its_cause(small_market, tmp_path, capsys, monkeypatch):
    import cvxpy
    import verdalis.optimize

    def failing(**_):
        raise cvxpy.error.SolverError("Solver 'SCS' failed. Try another solver, or solve with verbose=True "
                                      "for more information.")

    monkeypatch.setattr(verdalis.optimize, "portfolio_optimize", failing)
    path = _write(tmp_path, _toml(constraints=[], objective={"type": "MinVariance"}))
    code, out, err = _main(capsys, "run", str(path))
    assert code == 4
    assert err.strip().splitlines() == [
        "verdalis: the optimization of {} on 2021-06-15 failed: the solver failed: Solver 'SCS' failed. "
        "Try another solver, or solve with verbose=True for more information.".format(path)]


def test_a_failure_without_its_call_is_not_diagnosed(small_market, tmp_path, capsys, monkeypatch):
    import verdalis.optimize
    from verdalis.exception import OptimizationFailed

    class Bare(OptimizationFailed):
        def diagnose(self):
            raise AssertionError("diagnose called on a failure without its call")

    def failing(**_):
        raise Bare("infeasible")

    monkeypatch.setattr(verdalis.optimize, "portfolio_optimize", failing)
    path = _write(tmp_path, _toml(constraints=[], objective={"type": "MinVariance"}))
    code, out, err = _main(capsys, "run", str(path))
    assert code == 4 and "failed: infeasible" in err and out == ""


# ---------------------------------------------------------------------------- generated malformed configs

LEAVES = [("date",), ("pool", "index"), ("objective", "type"), ("benchmark", "index"), ("bounds", "*"),
          ("constraints", 0, "upper_limit"), ("constraints", 1, "styles"), ("constraints", 1, "lower_limit"),
          ("solver", "max_iters"), ("solver", "name"), ("risk", "cov_model"), ("risk", "industry"),
          ("pool", "allow_shrink"), ("constraints", 0, "hard")]
VALUES = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True), st.integers(-2 ** 63, 2 ** 63 - 1), st.booleans(),
    st.text(max_size=8), st.sampled_from(["0.05", "SCS", "GUROBI", "sws", "gics", "000300.XSHG", "-2%"]),
    st.lists(st.floats(allow_nan=True, allow_infinity=True), max_size=3), st.just({"x": 1}))


@settings(max_examples=int(os.environ.get("VERDALIS_FUZZ_EXAMPLES", "40")), deadline=None, derandomize=True,
          suppress_health_check=list(HealthCheck))
@given(leaf=st.sampled_from(LEAVES), value=VALUES)
def test_generated_malformed_configs_end_in_one_line(small_market, tmp_path_factory, leaf, value):
    import contextlib
    import io

    raw = {k: (dict(v) if isinstance(v, dict) else [dict(c) for c in v] if isinstance(v, list) else v)
           for k, v in BASE.items()}
    raw["date"] = pd.Timestamp(raw["date"]).date()
    node = raw
    for k in leaf[:-1]:
        node = node[k] if isinstance(k, int) else node.setdefault(k, {})
    node[leaf[-1]] = value
    folder = tmp_path_factory.mktemp("fuzz")
    path = folder / "c.toml"
    path.write_text(tomli_w.dumps(raw), encoding="utf-8")
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        code = cli.main(["run", str(path), "--out", str(folder / "out")])
    assert code in (0, 1, 3, 4), err.getvalue()
    assert "Traceback" not in err.getvalue()
    if code:
        errors = [line for line in err.getvalue().splitlines() if line.startswith("verdalis:")]
        assert len(errors) == 1, err.getvalue()


# ---------------------------------------------------------------------------- a user's own stores

@pytest.fixture(scope="module")
def own_stores(tmp_path_factory):
    """Two years of prices of twelve stocks: a store with industries under "gics", one without any."""
    rng = np.random.default_rng(11)
    days = pd.bdate_range("2020-01-01", "2021-12-31")
    tickers = ["AAA", "BBB", "CCC", "DDD", "EEE", "FFF", "GGG", "HHH", "III", "JJJ", "KKK", "LLL"]
    prices = pd.DataFrame(50 * np.cumprod(1 + rng.normal(3e-4, 0.015, (len(days), 12)), axis=0),
                          index=days, columns=tickers)
    sectors = pd.Series(["Tech", "Energy", "Health"] * 4, index=tickers)
    root = tmp_path_factory.mktemp("own")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DataWarning)
        gics = corvana.import_frames(prices, root / "gics", sectors=sectors, standard="gics",
                                     index_weights={"EQW": pd.Series(1.0, index=tickers)}, estimate_risk_model=True)
        bare = corvana.import_frames(prices, root / "bare", index_weights={"EQW": pd.Series(1.0, index=tickers)},
                                     estimate_risk_model=True)
    yield {"gics": gics, "bare": bare}
    corvana.connect(os.environ["CORVANA_DATA"])


OWN = """date = 2021-06-01
[pool]
ids = {ids}
[objective]
type = "MinTrackingError"
[benchmark]
index = "EQW"
[bounds]
"*" = [0, 0.5]
{extra}
"""


@pytest.mark.parametrize("store, extra, code, expect_err, expect_industries", [
    ("gics", "", 0, "", {"Tech", "Energy", "Health"}),
    ("gics", '[risk]\nindustry = "gics"\n[[constraints]]\ntype = "WildcardIndustryConstraint"\n'
             'upper_limit = 0.05\nrelative = true\n', 0, "", {"Tech", "Energy", "Health"}),
    ("bare", "", 0, "note: the market data hold no industry classification: industry figures are left out", set()),
    ("bare", '[[constraints]]\ntype = "WildcardIndustryConstraint"\nupper_limit = 0.4\n', 3,
     "constraints[0]: WildcardIndustryConstraint needs an industry classification and the market-data store "
     "has none", None),
])
def test_run_on_own_stores(own_stores, tmp_path, capsys, store, extra, code, expect_err, expect_industries):
    import json

    corvana.connect(own_stores[store])
    path = _write(tmp_path, OWN.format(ids='["AAA", "BBB", "CCC", "DDD", "EEE", "FFF"]', extra=extra))
    got, out, err = _main(capsys, "run", str(path), "--out", str(tmp_path / "out"))
    assert got == code, err
    assert expect_err in err
    if expect_industries is not None:
        report = json.loads((tmp_path / "out" / "report.json").read_text())
        assert set(report["industries"]) == expect_industries
        assert report["risk"]["tracking_error"] > 0


@pytest.mark.parametrize("ids, flag, code, line", [
    ('["AAA", "NOPE1", "NOPE2", "NOPE3"]', [], 1, "pool: 4 ids given, 1 kept (3 unknown: NOPE1, NOPE2, NOPE3)"),
    ('["AAA", "NOPE1", "NOPE2", "NOPE3"]', ["--allow-shrink"], 0,
     "pool: 4 ids given, 1 kept (3 unknown: NOPE1, NOPE2, NOPE3)"),
    ('["AAA", "BBB", "NOPE1"]', [], 0, "pool: 3 ids given, 2 kept (1 unknown: NOPE1)"),
    ('["AAA", "BBB", "CCC"]', [], 0, None),
])
def test_pool_shrink_is_said_and_refused_past_half(own_stores, tmp_path, capsys, ids, flag, code, line):
    corvana.connect(own_stores["gics"])
    path = _write(tmp_path, OWN.format(ids=ids, extra="").replace("MinTrackingError", "MinVariance")
                  .replace("[0, 0.5]", "[0, 1]"))
    got, out, err = _main(capsys, "run", str(path), "--out", str(tmp_path / "out"), *flag)
    assert got == code, err
    if line is None:
        assert "pool:" not in err
    else:
        assert err.splitlines()[0] == line
    if code:
        assert "more than half of the pool is gone" in err.splitlines()[-1]
        assert "--allow-shrink" in err


def test_backtest_refuses_a_shrunk_pool_too(own_stores, tmp_path, capsys):
    corvana.connect(own_stores["gics"])
    path = _write(tmp_path, OWN.format(ids='["AAA", "NOPE1", "NOPE2"]', extra="").replace(
        "MinTrackingError", "MinVariance"))
    got, out, err = _main(capsys, "backtest", str(path), "--start", "2021-03-01", "--end", "2021-05-31",
                          "--out", str(tmp_path / "bt"))
    assert got == 1 and "pool: 3 ids given, 1 kept (2 unknown: NOPE1, NOPE2)" in err


def test_a_benchmark_with_bars_only_refuses_holdings_uses(own_stores, tmp_path, capsys):
    """The index of bars only: MinTrackingError refused naming it; MinVariance runs and notes it."""
    from corvana import writer
    from corvana.riskmodel import read_tables

    tables, _ = read_tables(own_stores["gics"])
    tables["index_weights"] = tables["index_weights"].iloc[:0]
    writer.write_store(tmp_path / "store", tables)
    corvana.connect(tmp_path / "store")
    path = _write(tmp_path, OWN.format(ids='["AAA", "BBB", "CCC"]', extra=""))
    got, out, err = _main(capsys, "run", str(path), "--out", str(tmp_path / "out"))
    assert got == 3
    assert err.strip() == (
        "verdalis: config error: {}: benchmark.index: index 'EQW' has no constituent weights on or before "
        "2021-05-31 (its NAV comes from its bars), and objective (MinTrackingError) needs them; import its "
        "weights, or use it only to compare returns".format(path))
    path.write_text(path.read_text().replace("MinTrackingError", "MinVariance"))
    got, out, err = _main(capsys, "run", str(path), "--out", str(tmp_path / "out"))
    assert got == 0 and "benchmark EQW has no constituent weights" in err
