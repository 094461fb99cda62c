"""Details of the product layer a mutation pass found untested: the text of
`PortfolioReport.format` on a hand-built report (every line written out in
full, so a changed count, sign, width or cut shows), a report's active
industries, config refusals and built-in standards, and the command line's
warning texts."""
import numpy as np
import pandas as pd
import pytest

from verdalis.report.summary import PortfolioReport

NAN = float("nan")


def report():
    weights = pd.Series({"A.XSHG": 0.5, "B.XSHE": 0.3, "C.XSHG": 0.19995, "D.XSHG": 0.00005})
    industry = pd.Series({"银行": 0.031, "Energy": -0.052, "Tech": 0.004, "Media": -0.002,
                          "Food": 0.011, "Steel": 0.0005})
    limits = pd.DataFrame(
        [("StyleConstraint('size')", "size", 0.25, -0.5, 0.5),      # in the order given, not sorted
         ("StockPoolLimit(['A.XSHG'])", "A.XSHG", 0.50, 0.10, 0.60),
         ("StockPoolLimit(['A.XSHG'])", "B.XSHE", 0.30, NAN, 0.31),
         ("StockPoolLimit(['A.XSHG'])", "C.XSHG", 0.20, 0.00, 0.90)],
        columns=["constraint", "item", "value", "lower", "upper"])
    return PortfolioReport(weights=weights, risk=0.1234, tracking_error=0.0321,
                           active_industry=industry, limits=limits)


HEAD = """\
day
---
stocks held: 3 (weights > 1e-4), weight sum 1.000000
ex-ante risk: 12.34%
tracking error: 3.21%
top holdings:
  A.XSHG        50.00%
  B.XSHE        30.00%"""
# the CJK name takes four columns of the twelve
INDUSTRIES = """\
largest active industry weights:
  Energy        -5.20%
  银行          +3.10%
  Food          +1.10%
  Tech          +0.40%
  Media         -0.20%"""
# tightest first: B (0.01 below its cap, no floor), A (0.10), C (0.20)
LIMITS = """\
limits: value reached [lower .. upper], tightest first (weights, turnover, tracking error in %; exposures in sd)
  StyleConstraint('size')
    size                  0.250 sd  [-0.500 sd ..  0.500 sd]
  StockPoolLimit(['A.XSHG'])
    B.XSHE                 30.00 %  [        - ..   31.00 %]
    A.XSHG                 50.00 %  [  10.00 % ..   60.00 %]{}"""


@pytest.mark.parametrize("kwargs, expected", [
    ({"n_holdings": 2, "n_limits": 2},
     HEAD + "\n" + INDUSTRIES + "\n" + LIMITS.format("\n    ... 1 more within their bounds")),
    # the defaults: ten holdings (all four here), five of six industries, four limits
    ({}, HEAD + "\n  C.XSHG        19.99%\n  D.XSHG         0.01%\n" + INDUSTRIES + "\n"
     + LIMITS.format("\n    C.XSHG                 20.00 %  [   0.00 % ..   90.00 %]")),
], ids=["cut", "defaults"])
def test_format_writes_every_line(kwargs, expected):
    assert report().format("day", **kwargs) == expected


def test_format_shows_ten_holdings_by_default():
    weights = pd.Series(np.arange(12, 0, -1) / 78.0, index=["S{:02d}.XSHG".format(i) for i in range(12)])
    lines = PortfolioReport(weights=weights, risk=0.1).format("t").splitlines()
    held = lines[lines.index("top holdings:") + 1:]
    assert [line.split()[0] for line in held] == ["S{:02d}.XSHG".format(i) for i in range(10)]


def test_format_without_benchmark_or_limits_leaves_their_sections_out():
    r = PortfolioReport(weights=pd.Series({"A.XSHG": 1.0}), risk=0.2)
    assert r.format("t") == "t\n-\nstocks held: 1 (weights > 1e-4), weight sum 1.000000\n" \
                            "ex-ante risk: 20.00%\ntop holdings:\n  A.XSHG       100.00%"


# ------------------------------------------- config refusals and built-in names

from verdalis import config  # noqa: E402

BASE = """date = 2021-06-30
[pool]
ids = ["000001.XSHE", "600000.XSHG"]
[objective]
type = "MinVariance"
"""


@pytest.mark.parametrize("extra, key, problem", [
    ('[bounds]\n"*" = [0]\n', 'bounds."*"', "expected [lower, upper], two numbers"),
    ('[bounds]\n"*" = [0, 0.1, 0.2]\n', 'bounds."*"', "expected [lower, upper], two numbers"),
    ("[output]\ncolour = 1\n", "output.colour", "unknown key (expected one of: dust)"),
    ("[risk]\ncolour = 1\n", "risk.colour", None),
], ids=["one number", "three numbers", "unknown output key", "unknown risk key"])
def test_a_refusal_names_the_key_and_the_problem(extra, key, problem):
    with pytest.raises(config.ConfigError) as caught:
        config.loads(BASE + extra)
    assert caught.value.key == key
    assert caught.value.problem.startswith("unknown key") if problem is None else caught.value.problem == problem


@pytest.mark.parametrize("name", ["SWS", "citics", "Sws"])
def test_a_built_in_standard_needs_no_store(name, monkeypatch):
    # a built-in standard is taken as such, also where the store knows no standards
    import corvana
    from verdalis.const import IndustryClassification

    monkeypatch.setattr(corvana, "industry_standards", lambda: [])
    cfg = config.loads(BASE + "[[constraints]]\ntype = 'IndustryConstraint'\nindustries = '银行'\n"
                              "classification = '{}'\nupper_limit = 0.1\n".format(name))
    (con,) = cfg.build()["cons"]
    assert con.classification is IndustryClassification[name.upper()]


def test_active_industries_include_the_benchmark_s_industries_not_held(small_market):
    # two stocks of one industry against the index: every other industry of
    # the index shows at minus its benchmark weight (from the raw tables)
    import datetime

    import corvana
    from verdalis.benchmark import IndexBenchmark
    from verdalis.report.summary import analyse

    day = datetime.date(2021, 6, 15)
    prev = corvana.get_previous_trading_date(day)
    bench = corvana.index_weights("000300.XSHG", prev)
    bench = bench / bench.sum()
    industry = corvana.get_industry(list(bench.index), "sws").reindex(bench.index)
    top = industry.value_counts().index[0]
    held = list(industry[industry == top].index[:2])
    r = analyse(pd.Series(0.5, index=held), day, IndexBenchmark("000300.XSHG"))
    expected = -bench.groupby(industry.values).sum()
    expected[top] += 1.0
    assert r.active_industry.reindex(expected.index).to_numpy() == pytest.approx(expected.to_numpy(), abs=1e-6)


@pytest.mark.parametrize("verbose, expected", [
    (False, ["weights clipped", "same"]),
    (True, ["weights clipped [权重被截断]", "same"]),     # the core's text only where it differs
], ids=["quiet", "verbose"])
def test_diagnosis_warnings_carry_the_core_s_text_only_with_v(monkeypatch, verbose, expected):
    from types import SimpleNamespace

    from verdalis import _console, cli

    monkeypatch.setattr(_console, "VERBOSE", verbose)
    d = SimpleNamespace(warnings=["weights clipped", "same"], original_warnings=["权重被截断", "same"])
    assert list(cli._warning_texts(d)) == expected
