"""The showcase command runs end to end on a market."""
from verdalis import cli


def test_demo_prints_both_portfolios(small_market, capsys):
    assert cli.main(["demo", "--date", "2021-06-30"]) == 0
    out = capsys.readouterr().out
    assert "Index enhancement vs 000300.XSHG" in out
    assert "Risk parity over the 000300.XSHG members" in out
    # Both portfolios are reported in full and fully invested.
    assert out.count("weight sum 1.000000") == 2
    assert out.count("tracking error:") == 2
    assert "largest active industry weights:" in out
