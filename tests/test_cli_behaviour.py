"""One behaviour across the commands: exit codes, --store, the date check,
the default output folder, and the backtest's page."""
import re

import numpy as np
import pandas as pd
import pytest

from verdalis import cli

FEASIBLE = """
date = 2021-06-30
[pool]
index = "000300.XSHG"
[objective]
type = "MinTrackingError"
[benchmark]
index = "000300.XSHG"
[bounds]
"*" = [0, 0.2]
[[constraints]]
type = "TrackingErrorLimit"
upper_limit = 0.1
"""
# one stock must hold 90 % while no stock may hold more than 20 %
INFEASIBLE = FEASIBLE + "[[constraints]]\ntype = 'StockPoolLimit'\nstock_list = ['{}']\nlower_limit = 0.9\n"
WINDOWED = FEASIBLE.replace('type = "MinTrackingError"', 'type = "ActiveMeanVariance"')


@pytest.fixture
def configs(small_market, tmp_path):
    import corvana

    member = corvana.index_components("000300.XSHG", pd.Timestamp("2021-06-29").date())[0]
    paths = {}
    for name, text in (("feasible", FEASIBLE), ("infeasible", INFEASIBLE.format(member)),
                       ("windowed", WINDOWED), ("broken", FEASIBLE + "colour = 1\n")):
        paths[name] = tmp_path / "cfg" / (name + ".toml")
        paths[name].parent.mkdir(exist_ok=True)
        paths[name].write_text(text)
    return paths


@pytest.mark.parametrize("argv, code, message", [
    (["run", "{feasible}", "--out", "{tmp}/o"], 0, ""),
    (["run", "{infeasible}", "--out", "{tmp}/o"], cli.EXIT_INFEASIBLE, "failed"),
    (["diagnose", "{infeasible}"], cli.EXIT_INFEASIBLE, ""),
    (["diagnose", "{feasible}"], 0, ""),
    (["run", "{broken}"], cli.EXIT_CONFIG, "verdalis: config error: "),
    # the one date check: past the end names the last date, too early the first that works
    (["run", "{feasible}", "--date", "2022-03-01"], cli.EXIT_DATA,
     "date 2022-03-01 is past the end of the store (2020-01-02 .. 2021-12-31): the last date it holds is 2021-12-31"),
    (["diagnose", "{feasible}", "--date", "2022-03-01"], cli.EXIT_DATA, "the last date it holds is 2021-12-31"),
    (["demo", "--date", "2022-03-01"], cli.EXIT_DATA, "the last date it holds is 2021-12-31"),
    (["run", "{windowed}", "--date", "2020-06-30"], cli.EXIT_DATA,
     "needs 252 trading days of history before it; the store starts at 2020-01-02, so the first date that works "
     "is 2021-01-18"),
    (["backtest", "{feasible}", "--start", "2021-06-01", "--end", "2022-06-30", "--out", "{tmp}/bt"],
     cli.EXIT_DATA, "--end 2022-06-30 is past the end of the store"),
    (["backtest", "{windowed}", "--start", "2020-02-03", "--end", "2021-06-30", "--out", "{tmp}/bt"],
     cli.EXIT_DATA, "--start 2020-02-03 needs 252 trading days"),
    (["sweep", "{feasible}", "--start", "2021-06-01", "--end", "2021-05-01", "--grid", "x=1"],
     cli.EXIT_DATA, "--end 2021-05-01 is before --start 2021-06-01"),
    # --store: before or after the command; a folder without a store is refused, not filled
    (["--store", "{store}", "run", "{feasible}", "--out", "{tmp}/o"], 0, ""),
    (["run", "{feasible}", "--store", "{store}", "--out", "{tmp}/o"], 0, ""),
    (["--store", "{tmp}/nowhere", "run", "{feasible}"], cli.EXIT_DATA,
     "--store {tmp}/nowhere: no market-data store there"),
    (["diagnose", "{feasible}", "--store", "{tmp}/nowhere"], cli.EXIT_DATA, "no market-data store there"),
    (["backtest", "{feasible}", "--start", "2021-06-01", "--end", "2021-07-30", "--capital", "-5",
      "--out", "{tmp}/bt"], cli.EXIT_USAGE, "expected a positive number, got '-5'"),
])
def test_exit_codes_and_store_in_every_command(configs, small_market, tmp_path, capsys, argv, code, message):
    fill = {k: str(v) for k, v in configs.items()}
    fill.update(tmp=str(tmp_path), store=str(small_market))
    argv = [a.format(**fill) for a in argv]
    try:
        got = cli.main(argv)
    except SystemExit as exc:  # argparse's usage errors
        got = exc.code
    err = capsys.readouterr().err
    assert got == code, err
    assert message.format(**fill) in err and "Traceback" not in err
    assert not (tmp_path / "nowhere").exists()


def test_run_writes_under_the_current_folder_not_beside_the_config(configs, tmp_path, monkeypatch, capsys):
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    assert cli.main(["run", str(configs["feasible"])]) == 0
    assert (work / "verdalis-output" / "feasible-2021-06-30" / "weights.csv").is_file()
    # nothing written beside the config
    assert sorted(p.name for p in configs["feasible"].parent.iterdir()) == sorted(c.name for c in configs.values())


def test_weights_csv_is_clean_and_sums_to_one_within_the_bounds(configs, tmp_path, capsys):
    text = FEASIBLE.replace('"*" = [0, 0.2]', '"*" = [0, 0.08]').replace(
        'index = "000300.XSHG"\n[objective]', 'indices = ["000300.XSHG", "000905.XSHG"]\n[objective]') \
        + "[output]\ndust = 1e-5\n"
    path = tmp_path / "cfg" / "capped.toml"
    path.write_text(text)
    assert cli.main(["run", str(path), "--out", str(tmp_path / "o")]) == 0
    raw = (tmp_path / "o" / "weights.csv").read_text().splitlines()
    assert raw[0] == "order_book_id,weight"
    values = [line.split(",")[1] for line in raw[1:]]
    # every value on the 1e-8 grid, none below the dust threshold, all within [0, 5 %]
    assert all(re.fullmatch(r"0\.\d{8}", v) for v in values), values[:5]
    units = [int(v.replace("0.", "", 1)) for v in values]
    assert sum(units) == 10 ** 8
    assert min(units) >= 1000 and max(units) <= 8 * 10 ** 6
    assert max(units) == 8 * 10 ** 6  # the cap binds and reads as the cap


def test_backtest_page_title_capital_costs_and_counts(configs, tmp_path, capsys, monkeypatch):
    from corvana.client import current

    # the session's market is not marked synthetic; the demo market is
    monkeypatch.setattr(type(current()), "synthetic", property(lambda self: True))
    out = tmp_path / "bt"
    assert cli.main(["backtest", str(configs["feasible"]), "--start", "2021-06-01", "--end", "2021-08-31",
                     "--cost-bps", "10", "--capital", "2e6", "--out", str(out)]) == 0
    printed = capsys.readouterr().out
    page = (out / "report.html").read_text(encoding="utf-8")
    title = re.search(r"<h1>(.*?)</h1>", page).group(1)
    assert title.startswith("Backtest of feasible vs 000300.XSHG, ") and " .. 2021-08-31" in title
    assert "id='synthetic'" in page and "Synthetic data" in printed
    records = pd.read_parquet(out / "rebalances.parquet")
    total = float(records["cost"].sum())
    assert total > 0
    # costs in currency and in bps of the capital, computed here from the recorded costs
    assert "{:,.0f} ({:.1f} bps of the capital)".format(total, total / 2e6 * 1e4) in page
    assert re.search(r"<th[^>]*>infeasible dates</th><td>0</td>", page)
    assert "capital</th><td>2,000,000</td>" in page
    weights = pd.read_parquet(out / "weights.parquet")
    assert np.allclose(np.round(weights.to_numpy() * 1e8), weights.to_numpy() * 1e8, atol=1e-6)
    assert np.allclose(weights.sum(axis=1), 1.0, atol=1e-12)
