"""The command lines: the showcase runs end to end; user errors are one line and a non-zero exit."""
import os
import subprocess
import sys
from importlib import metadata

import pytest

import corvana
from corvana import cli as corvana_cli
from verdalis import cli

# the version the installed package declares (pyproject.toml), not a copy of it
VERSION = metadata.version("verdalis")

def test_demo_prints_both_portfolios(small_market, capsys):
    assert cli.main(["demo", "--date", "2021-06-30"]) == 0
    out = capsys.readouterr().out
    assert "Index enhancement vs 000300.XSHG" in out
    assert "Risk parity over the 000300.XSHG members" in out
    # Both portfolios are reported in full and fully invested.
    assert out.count("weight sum 1.000000") == 2
    assert out.count("tracking error:") == 2
    assert "largest active industry weights:" in out
    # the enhanced portfolio's mandate, each limit beside the value reached
    assert "  TrackingErrorLimit(0.05)\n    tracking error" in out
    assert "WildcardIndustryConstraint(lower_limit=-0.02, upper_limit=0.02, relative=True, hard=False)" in out


# The small market starts on 2020-01-02; the enhanced portfolio needs 252
# trading days of history before the data date, so 2021-01-18 is the first
# date the demo can run.
@pytest.mark.parametrize("date, expected", [
    ("2019-06-01", "date 2019-06-01 is not after the first trading date of the store (2020-01-02 .. 2021-12-31)"),
    ("2020-01-02", "date 2020-01-02 is not after the first trading date"),
    ("2020-01-03", "date 2020-01-03 needs 252 trading days of history before it; the store starts at "
                   "2020-01-02, so the first date that works is 2021-01-18"),
    ("2021-01-15", "date 2021-01-15 needs 252 trading days of history"),
    ("2021-13-01", "cannot read the date '2021-13-01'; write it as YYYY-MM-DD"),
])
def test_demo_refuses_dates_in_one_line(small_market, capsys, date, expected):
    assert cli.main(["demo", "--date", date]) == 1
    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err.startswith("verdalis: error: ") and "Traceback" not in captured.err
    assert expected in captured.err and captured.err.count("\n") == 1


def test_demo_on_a_folder_that_is_no_store(small_market, tmp_path, capsys):
    (tmp_path / "notes.txt").write_text("not market data")
    corvana.connect(tmp_path)
    try:
        assert cli.main(["demo"]) == 1
    finally:
        corvana.connect(small_market)
    err = capsys.readouterr().err
    assert err.startswith("verdalis: error: ") and "not a corvana store" in err and err.count("\n") == 1


@pytest.mark.parametrize("argv, expected", [
    (["info", "--path", "{tmp}/nothing"], "corvana: error: no market data at {tmp}/nothing"),
    (["import", "{tmp}/no-such-folder", "--path", "{tmp}/store"], "corvana: error: {tmp}/no-such-folder: not a folder"),
])
def test_corvana_errors_in_one_line(tmp_path, capsys, argv, expected):
    assert corvana_cli.main([a.format(tmp=tmp_path) for a in argv]) == 1
    err = capsys.readouterr().err
    assert err.startswith(expected.format(tmp=tmp_path)) and err.count("\n") == 1


@pytest.mark.parametrize("main, argv, expected", [
    (cli.main, ["--version"], "verdalis " + VERSION),
    (corvana_cli.main, ["--version"], "corvana (verdalis {})".format(VERSION)),
    (corvana_cli.main, ["build-demo", "--help"], "--seed SEED"),
])
def test_version_and_help(capsys, main, argv, expected):
    with pytest.raises(SystemExit) as exit_:
        main(argv)
    assert exit_.value.code == 0
    assert expected in capsys.readouterr().out


def test_command_line_error_without_traceback_in_a_real_process(small_market):
    # The installed entry point, as a user runs it: exit status 1 and one line.
    env = dict(os.environ, CORVANA_DATA=str(small_market))
    done = subprocess.run([sys.executable, "-m", "verdalis.cli", "demo", "--date", "2020-01-03"],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 1
    assert done.stderr.startswith("verdalis: error: date 2020-01-03 needs 252 trading days")
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr


@pytest.mark.parametrize("workers", ["0", "two"])
def test_sweep_refuses_a_bad_worker_count_as_a_usage_error(capsys, workers):
    argv = ["sweep", "x.toml", "--start", "2021-01-01", "--end", "2021-06-30", "--grid", "k=1", "--workers", workers]
    with pytest.raises(SystemExit) as exit_:
        cli.main(argv)
    assert exit_.value.code == 2
    assert "--workers: expected a positive whole number, got '{}'".format(workers) in capsys.readouterr().err
