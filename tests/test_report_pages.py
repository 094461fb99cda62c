"""The pages and tables the product writes: clean weights, limits in one unit
convention tightest first, and a font carried by the page."""
import base64
import datetime
import io
import re
import warnings

import numpy as np
import pandas as pd
import pytest

from verdalis.report import fonts
from verdalis.report.tables import clean_weights, limit_table, short_repr

DATE = datetime.date(2021, 6, 30)


# ---------------------------------------------------------------- clean weights

def _raw(n_held=60, n_dust=60, cap=0.03, seed=0):
    """Solver-like weights: capped holdings a hair under the cap, dust near 0."""
    rng = np.random.default_rng(seed)
    held = rng.uniform(0.005, 0.02, n_held)
    held[:10] = cap - 2.3e-12
    dust = rng.uniform(-1e-13, 9e-7, n_dust)
    w = np.r_[held, dust]
    w[10:n_held] *= (1 - w[:10].sum() - dust.sum()) / w[10:n_held].sum()
    ids = ["S{:03d}.XSHE".format(i) for i in range(len(w))]
    return pd.Series(w, index=ids)


@pytest.mark.parametrize("bounds, dust", [
    (None, 1e-6),
    ({"*": (0.0, 0.03)}, 1e-6),
    ({"*": (0.0, 0.0301)}, 1e-4),
    ({"*": (0.0, 0.03), "S000.XSHE": (0.0, 0.02)}, 1e-6),   # one cap below the weight: moved onto it
])
def test_clean_weights_sum_to_one_within_bounds_on_the_grid(bounds, dust):
    raw = _raw()
    clean = clean_weights(raw, bounds, dust=dust)
    # sums to 1 on the 1e-8 grid, checked in integer units
    units = np.round(clean.to_numpy() * 1e8)
    assert np.allclose(clean.to_numpy() * 1e8, units, atol=1e-6)
    assert units.sum() == 1e8
    # no dust left, and nothing held that was dust before
    assert ((clean == 0) | (clean.abs() >= dust)).all()
    assert (clean[raw.abs() < dust] == 0).all()
    # every weight within its bounds
    for oid, w in clean.items():
        lo, up = (bounds or {}).get(oid, (bounds or {}).get("*", (-np.inf, np.inf)))
        assert lo - 1e-12 <= w <= up + 1e-12, oid
    # capped weights read as the cap, not 0.029999999997...
    if bounds and bounds.get("*") == (0.0, 0.03):
        assert (clean.iloc[1:10] == 0.03).all()
    # the change is small: what the dust and the rounding moved, no more
    assert np.abs(clean - raw).sum() <= 2 * raw[raw.abs() < dust].abs().sum() + 2e-8 * len(raw) + (
        0.02 if bounds and "S000.XSHE" in bounds else 0)


def test_clean_weights_keeps_a_floor_above_the_dust_and_refuses_a_bad_threshold():
    raw = pd.Series({"A": 0.5, "B": 0.4999995, "C": 5e-7})
    clean = clean_weights(raw, {"*": (0, 1), "C": (5e-7, 1)})
    assert clean["C"] == pytest.approx(5e-7) and round(clean.sum() * 1e8) == 1e8
    with pytest.raises(ValueError, match="dust"):
        clean_weights(raw, dust=-1)


# --------------------------------------------------------------------- limits

def _groups():
    rows = [("budget", "row 0", "equal", 0.0, 0.0, 0.0, True, 0.5)]
    rows += [("bounds", "Z{:03d}".format(i), "lower", 0.0, 0.0, 0.0, True, 0.1) for i in range(8)]
    rows += [("bounds", "C{:03d}".format(i), "upper", 0.03, 0.03, 0.0, True, 0.2 + i / 100) for i in range(12)]
    rows += [("TrackingErrorLimit(0.05)", "tracking error", "upper", 0.0381, 0.05, 0.0, False, 0.0),
             ("StyleConstraint(['beta', 'book_to_price', 'earnings_yield', 'growth', 'leverage', 'liquidity'], "
              "lower_limit=-0.2, upper_limit=0.2, relative=True)", "size", "upper", 0.2, 0.2, 0.0, True, 0.9),
             ("TurnoverLimit(0.2)", "turnover", "upper", 0.25, 0.2, 0.05, False, np.nan)]
    return pd.DataFrame(rows, columns=["group", "item", "side", "value", "limit", "violation", "binding",
                                       "shadow_price"])


def test_limits_tightest_first_in_one_unit_convention_with_zero_floors_folded():
    table = limit_table(_groups(), shown=5)
    constraints = [c for c in table["constraint"] if c]
    # violated, then binding by price, then the rest; budget and the zero floors last
    assert constraints[0] == "TurnoverLimit(0.2)" and table.iloc[0]["state"] == "violated"
    assert constraints[1].startswith("StyleConstraint([6 items: 'beta', 'book_to_price', 'earnings_yield', ...]")
    assert constraints[2] == "bounds" and constraints[-2:] == ["budget", "bounds"]
    assert table.iloc[-1]["item"] == "8 stocks at their lower bound of 0 (not held)"
    # the stocks at their cap come first among the bounds, highest price first, the rest counted
    caps = table[table["item"].str.startswith("C")]
    assert list(caps["item"]) == ["C011", "C010", "C009", "C008", "C007"]
    assert "7 more (7 binding)" in " ".join(table["item"])
    row = {r["item"]: r for _, r in table.iterrows()}
    assert row["turnover"]["value"] == "25.00 %" and row["turnover"]["violation"] == "5.00 %"
    assert row["tracking error"]["value"] == "3.81 %" and row["tracking error"]["limit"] == "5.00 %"
    assert row["size"]["value"] == "0.200 sd"
    assert row["C011"]["value"] == "3.00 %"


@pytest.mark.parametrize("text, expected", [
    ("StockPoolLimit(['{}'], lower_limit=0.1)".format("', '".join("{:06d}.XSHE".format(i) for i in range(100))),
     "StockPoolLimit([100 ids: '000000.XSHE', '000001.XSHE', '000002.XSHE', ...], lower_limit=0.1)"),
    ("IndustryConstraint(['银行', '电子'], upper_limit=0.1)", "IndustryConstraint(['银行', '电子'], upper_limit=0.1)"),
    ("TrackingErrorLimit(0.05)", "TrackingErrorLimit(0.05)"),
])
def test_short_repr_cuts_long_lists_to_a_count(text, expected):
    assert short_repr(text) == expected


# ------------------------------------------------------------------------ font

needs_font = pytest.mark.skipif(fonts.font_path() is None, reason="the report font (mplfonts) is not installed")


def _font_of(page):
    from fontTools.ttLib import TTFont

    data = re.search(r"src:url\(data:font/otf;base64,([A-Za-z0-9+/=]+)\)", page).group(1)
    return TTFont(io.BytesIO(base64.b64decode(data)))


@needs_font
def test_a_report_on_cjk_names_carries_a_font_that_draws_them(small_market, tmp_path):
    import corvana

    from verdalis import config
    from verdalis.report import build_report, write_report

    loaded = config.loads("date = 2021-06-30\n[pool]\nindex = '000300.XSHG'\n[objective]\ntype = 'MinVariance'\n"
                          "[bounds]\n'*' = [0, 0.1]\n[benchmark]\nindex = '000300.XSHG'\n")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        weights = loaded.optimize()
        report = build_report(weights, DATE, "000300.XSHG")
    paths = write_report(report, tmp_path, "cjk")
    page = paths["html"].read_text(encoding="utf-8")
    # the names the page shows: industries and stock names, in Chinese
    names = [n for n in list(report.industries.index) + list(report.positions["name"]) if n]
    wanted = {ch for n in names for ch in n if ord(ch) > 0x2E80}
    assert wanted, "the small market has CJK names"
    # the page names the characters its font covers ...
    covered = re.search(r"<meta name='verdalis-font-characters' content='([^']*)'>", page).group(1)
    import html as html_module
    covered = set(html_module.unescape(covered))
    assert wanted <= covered
    # ... and the embedded font really has a glyph for each of them (read back from the page)
    cmap = _font_of(page).getBestCmap()
    assert all(ord(ch) in cmap for ch in wanted)
    # figures keep their text as text, drawn with the embedded family
    assert "<svg id='figure-industries'" in page and "font-family:'verdalis-embedded'" in page
    some_industry = next(n for n in report.industries.index if any(ord(c) > 0x2E80 for c in n))
    figure = page[page.index("<svg id='figure-industries'"):]
    assert some_industry in figure[:figure.index("</svg>")]
    assert "id='missing-glyphs'" not in page


@needs_font
def test_characters_without_a_glyph_are_named_not_muted(tmp_path):
    from verdalis.report.render import _finish, _head

    with pytest.warns(fonts.MissingGlyphWarning, match="1 characters have no glyph") as caught:
        page = _finish([_head("t"), "<p>银行 \U0001F9EA</p>", "</body></html>"])
    assert "\U0001F9EA" in str(caught[0].message)
    assert "id='missing-glyphs'" in page
    assert all(ord(ch) in _font_of(page).getBestCmap() for ch in "银行")


def test_without_a_font_to_embed_the_page_says_so(monkeypatch):
    from verdalis.report.render import _finish, _head

    monkeypatch.setattr(fonts, "font_path", lambda: None)
    with pytest.warns(fonts.MissingGlyphWarning, match="no font to embed"):
        page = _finish([_head("t"), "<p>银行</p>", "</body></html>"])
    assert "@font-face" not in page and "id='missing-glyphs'" in page
    # an ASCII page needs no font and says nothing
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        _finish([_head("t"), "<p>bank</p>", "</body></html>"])


# ------------------------------------------------------------------ diagnosis

@pytest.mark.parametrize("rows, expected", [
    # changes needed together: each in its own unit, never one sum across units
    ([("IndustryConstraint(['银行'], upper_limit=0.02)", "", "upper_limit", 0.02, 0.05, False),
      ("StyleConstraint(['size'], upper_limit=0.1)", "", "upper_limit", 0.1, 0.35, False),
      ("TrackingErrorLimit(0.003)", "", "upper_limit", 0.003, 0.0042, False)],
     "Minimal relaxation, each limit in its own unit: IndustryConstraint(['银行'], upper_limit=0.02) by 3.00 %; "
     "StyleConstraint(['size'], upper_limit=0.1) by 0.250 sd; TrackingErrorLimit(0.003) by 0.12 %"),
    ([("TrackingErrorLimit(0.003)", "", "upper_limit", 0.003, 0.009, True)],
     "Any one of the changes above is enough on its own."),
])
def test_relaxation_summary_in_limit_units(rows, expected):
    from verdalis.diagnose.text import _relaxation_summary

    frame = pd.DataFrame(rows, columns=["group", "item", "parameter", "limit", "needed", "alone"])
    assert _relaxation_summary(frame) == expected


# ---------------------------------------------------------------- bar charts

@pytest.mark.parametrize("low, high", [(0.0, 3.0), (-2.0, 2.0), (0.2, 0.9), (-7.0, -1.0), (-3.0, 65.0),
                                       (0.0, 0.00042), (-1000.0, 1e4)])
def test_nice_ticks_cover_the_values_and_zero_on_round_steps(low, high):
    from verdalis.report.svgchart import nice_ticks

    ticks = np.array(nice_ticks(low, high))
    steps = np.diff(ticks)
    assert ticks[0] <= min(low, 0) and ticks[-1] >= max(high, 0)
    assert np.any(np.isclose(ticks, 0.0, atol=steps[0] * 1e-9))
    assert np.allclose(steps, steps[0]) and 3 <= len(ticks) <= 12
    mantissa = steps[0] / 10 ** np.floor(np.log10(steps[0]))
    assert any(np.isclose(mantissa, m) for m in (1, 2, 2.5, 5))


def test_a_sliver_below_zero_earns_no_tick_step():
    from verdalis.report.svgchart import nice_ticks

    assert nice_ticks(-0.05, 65.0)[0] == 0.0


def test_bars_start_at_zero_and_keep_names_as_text():
    from verdalis.report.svgchart import hbar

    svg = hbar("t", ["银行", "电子"], {"active": [-1.0, 2.0]}, "Active", "weight, %")
    bars = [tuple(float(v) for v in m) for m in re.findall(r"<rect x='([-0-9.]+)' y='[-0-9.]+' width='([0-9.]+)'", svg)]
    (x_neg, w_neg), (x_pos, w_pos) = bars
    assert x_neg + w_neg == pytest.approx(x_pos, abs=0.1)    # both bars meet at the zero line
    assert w_pos == pytest.approx(2 * w_neg, rel=1e-3)       # lengths in proportion to the values
    assert ">银行</text>" in svg and ">电子</text>" in svg


def test_run_imports_no_plotting_library(small_market, tmp_path):
    import os
    import subprocess
    import sys

    path = tmp_path / "m.toml"
    path.write_text("date = 2021-06-30\n[pool]\nindex = '000300.XSHG'\n[objective]\ntype = 'MinVariance'\n"
                    "[bounds]\n'*' = [0, 0.2]\n")
    code = ("import sys; from verdalis import cli; assert cli.main(['run', {!r}, '--out', {!r}]) == 0; "
            "print('matplotlib' in sys.modules)").format(str(path), str(tmp_path / "o"))
    env = dict(os.environ, CORVANA_DATA=str(small_market))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().splitlines()[-1] == "False"


@needs_font
def test_pages_are_cut_from_the_lean_copy_unless_it_lacks_a_character(tmp_path, monkeypatch):
    monkeypatch.setenv("VERDALIS_CACHE", str(tmp_path))
    # a small lean copy keeps the test quick; the real one holds the GB2312 set
    monkeypatch.setattr(fonts, "lean_characters", lambda: "".join(chr(c) for c in range(0x20, 0x7F)) + "银行")
    lean = fonts.prepare()
    assert lean is not None and lean.is_file() and lean.parent == tmp_path / "fonts"
    assert fonts.prepare() == lean                       # once: the cached copy is reused
    page = "<p>Bank 银行</p>"
    cut = fonts.embed(page)
    assert cut.source == lean and set("银行") <= set(cut.covered)
    wider = fonts.embed(page + "<p>电子</p>")             # 电子 is not in the lean copy: the whole font
    assert wider.source == fonts.font_path() and set("银行电子") <= set(wider.covered) and not wider.missing
    for font in (cut, wider):
        assert all(ord(ch) in _font_of("src:url(data:font/otf;base64,{})".format(
            base64.b64encode(font.data).decode())).getBestCmap() for ch in font.covered)


def test_expected_active_return_of_a_return_objective(small_market):
    import corvana

    from verdalis import config
    from verdalis.report import build_report

    loaded = config.loads("date = 2021-06-30\n[pool]\nindex = '000300.XSHG'\n[objective]\n"
                          "type = 'ActiveMeanVariance'\nwindow = 120\n[bounds]\n'*' = [0, 0.2]\n"
                          "[benchmark]\nindex = '000300.XSHG'\n")
    arguments = loaded.build()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        from verdalis.optimize import portfolio_optimize

        weights = portfolio_optimize(**arguments)
        report = build_report(weights, DATE, "000300.XSHG", objective=arguments["objective"])
    [(label, text)] = report.objective_figures.items()
    assert label == "expected active return (a year), history estimate over 120 days"
    # independently: the mean daily return a year from the trading day 120 days before the end through
    # the end, for the stocks up to the data date and for the index up to the date itself (as the
    # objective estimates them)
    days = corvana.get_trading_dates("2020-01-01", "2021-06-30")
    prev, date = days[-2], days[-1]
    stock_rates = corvana.get_price_change_rate(list(weights.index), days[-2 - 120], prev)
    index_rates = corvana.get_price_change_rate("000300.XSHG", days[-1 - 120], date)
    assert len(stock_rates) == len(index_rates) == 121
    stocks = stock_rates.mean() * 252
    index = float(index_rates.mean().iloc[0]) * 252
    expected = float(weights @ stocks.reindex(weights.index).fillna(0.0)) - index
    assert text == "{:.2%}".format(expected)
