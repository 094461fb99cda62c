"""Pictures and pages of a `RiskReport`: figures with matplotlib (SVG with
text kept as text, no display), one self-contained HTML page with the figures
inline and its font embedded, and the JSON of the numbers.  Everything drawn
here is computed in `risk.py`; the tables' order and units come from
`tables.py`, the font from `fonts.py`.
"""
from __future__ import annotations

import html
import io
import json
import re
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

from .. import measures
from . import fonts, svgchart
from .tables import DUST, clean_weights, limit_table

FIGURES = ("holdings", "industries", "styles", "risk")


def _pyplot():
    """pyplot (Agg) and the rc settings figures draw with: the report's font,
    SVG text kept as text (the page's embedded font draws it)."""
    import matplotlib

    matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt
    from matplotlib import font_manager

    family = []
    path = fonts.font_path()
    if path is not None:
        if str(path) not in {f.fname for f in font_manager.fontManager.ttflist}:
            font_manager.fontManager.addfont(str(path))
        family = [font_manager.FontProperties(fname=str(path)).get_name()]
    rc = {"font.family": "sans-serif", "font.sans-serif": family + ["DejaVu Sans"],
          "axes.unicode_minus": False, "svg.fonttype": "none"}
    return plt, rc


def _svg(fig, name) -> str:
    """The figure as an inline <svg> element, its ids made unique to `name`."""
    buffer = io.StringIO()
    with warnings.catch_warnings():
        # characters the font lacks are named once, for the whole page, by fonts.missing_note
        warnings.filterwarnings("ignore", message="Glyph .* missing from")
        fig.savefig(buffer, format="svg", bbox_inches="tight")
    text = buffer.getvalue()
    text = text[text.index("<svg"):]
    text = re.sub(r'(id="|url\(#|href="#)', r"\g<1>{}-".format(name), text)
    return text.replace("<svg ", "<svg id='figure-{}' role='img' aria-label='{}' ".format(name, name), 1)


def figures(report) -> dict:
    """Each figure as inline SVG text, by name: holdings, industries, styles, risk
    (drawn directly, see svgchart.py: no plotting library is imported)."""
    out = {}
    top = report.weights.sort_values(ascending=False).head(20)
    out["holdings"] = svgchart.vbar("holdings", top.index, top.to_numpy() * 100, "Largest holdings",
                                    "weight, %")

    column = "active" if "active" in report.industries else "portfolio"
    ind = report.industries[column].head(15)
    if len(ind):  # none without an industry classification (the report's notes say so)
        out["industries"] = svgchart.hbar(
            "industries", ind.index, {column: ind.to_numpy() * 100},
            "Active industry weights" if column == "active" else "Industry weights", "weight, %",
            colors=[svgchart.BLUE if v >= 0 else svgchart.RED for v in ind.to_numpy()])

    styles = report.styles
    series = {"portfolio": styles["portfolio"].to_numpy()}
    if "benchmark" in styles:
        series["benchmark"] = styles["benchmark"].to_numpy()
    out["styles"] = svgchart.hbar("styles", styles.index, series, "Style exposures",
                                  "exposure, standard deviations")

    groups = report.factor_groups["share"].sort_values(ascending=False)
    out["risk"] = svgchart.hbar(
        "risk", groups.index, {"share": groups.to_numpy() * 100},
        "Risk decomposition: {:.2%} a year, {:.0%} from factors".format(
            report.risk["total_risk"], report.risk["factor_variance"] / report.risk["total_variance"]),
        "share of the portfolio's variance, %",
        colors=[svgchart.RED if g == "specific" else svgchart.BLUE for g in groups.index])
    return out


_STYLE = (
    "body{{font-family:'{0}',sans-serif;"
    "margin:2em auto;max-width:1000px;color:#222}}h1{{font-size:1.5em}}h2{{font-size:1.15em;margin-top:1.6em;"
    "border-bottom:1px solid #ddd}}table.table{{border-collapse:collapse;font-size:.85em}}"
    "table.table td,table.table th{{padding:.25em .7em;text-align:right;border-bottom:1px solid #eee}}"
    "table.table td{{white-space:nowrap}}table.table td.wrap{{white-space:normal;max-width:24em;text-align:left}}"
    "table.table th{{background:#f5f7fa}}.grid{{display:flex;flex-wrap:wrap;gap:1em}}"
    ".grid svg{{max-width:480px;width:100%;height:auto}}"
    "svg text{{font-family:'{0}',sans-serif !important}}"
    ".note{{color:#666;font-size:.85em}}.notice{{background:#fff4e5;border-left:4px solid #e69a28;"
    "padding:.5em 1em}}td.state-violated{{color:#b00020;font-weight:bold}}td.state-binding{{color:#8a5a00}}"
).format(fonts.FAMILY)

#: placeholder for the font rule, filled once the page's text is complete
_FONT_SLOT = "/*verdalis-font*/"


def _head(title):
    """The start of a self-contained page, through its <h1>: every page looks alike."""
    return ("<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'><title>{0}</title>"
            "<style>{2}{1}</style></head><body>\n<h1>{0}</h1>".format(html.escape(title), _STYLE, _FONT_SLOT))


def _finish(parts) -> str:
    """The page from its parts, carrying the subset of the report font that
    draws its characters; characters the font lacks are named on the page
    and in a `MissingGlyphWarning`."""
    page = "\n".join(parts)
    font = fonts.embed(page)
    note = fonts.missing_note(font, page)
    closing = []
    if font is not None:
        closing.append("<p class='note' id='font'>Text set in {} (SIL Open Font License 1.1), embedded: a subset "
                       "of {} characters.</p>".format(html.escape(font.name), len(font.covered)))
    if note:
        closing.append("<p class='note notice' id='missing-glyphs'>{}</p>".format(html.escape(note)))
    if closing:
        # the notes add ASCII (which the subset holds) and the characters it cannot draw anyway
        page = page.replace("</body></html>", "\n".join(closing) + "\n</body></html>")
    if font is None:
        return page.replace(_FONT_SLOT, "", 1)
    meta = ("<meta name='verdalis-font' content='{}'><meta name='verdalis-font-characters' content='{}'>"
            .format(html.escape(font.name, quote=True), html.escape(font.covered, quote=True)))
    page = page.replace("<meta charset='utf-8'>", "<meta charset='utf-8'>" + meta, 1)
    return page.replace(_FONT_SLOT, font.css(), 1)


def _table(frame, formats, index_name, *, index=True):
    frame = frame.astype(object).where(frame.notna(), None)
    for column, fmt in formats.items():
        if column in frame:
            frame[column] = [("" if v is None or (isinstance(v, float) and not np.isfinite(v)) else fmt.format(v))
                             for v in frame[column]]
    frame = frame.where(frame.notna(), "")
    if not index:
        return frame.to_html(classes="table", border=0, escape=True, index=False)
    frame.index.name = index_name
    # the index as the first column: one header row, not two
    return frame.reset_index().to_html(classes="table", border=0, escape=True, index=False)


def _summary_rows(report):
    """(label, value) of the summary: risk as annual volatility and shares, the objective's own figures."""
    risk = report.risk
    total = risk["total_variance"]
    rows = [("ex-ante risk (a year)", "{:.2%}".format(risk["total_risk"])),
            ("factor risk (a year; share of the variance)", "{:.2%}; {:.1%}".format(
                np.sqrt(max(risk["factor_variance"], 0.0)), risk["factor_variance"] / total if total else np.nan)),
            ("specific risk (a year; share of the variance)", "{:.2%}; {:.1%}".format(
                np.sqrt(max(risk["specific_variance"], 0.0)), risk["specific_variance"] / total if total else np.nan))]
    if "tracking_error" in risk:
        rows.append(("tracking error vs {} (a year)".format(report.benchmark), "{:.2%}".format(risk["tracking_error"])))
    for label, value in (getattr(report, "objective_figures", None) or {}).items():
        rows.append((label, value))
    rows += [("stocks held (weight > 0.01 %)", "{:d}".format(int(report.holdings["count"]))),
             ("effective number of stocks (1/Σw²)", "{:.1f}".format(report.holdings["effective_number"])),
             ("largest weight", "{:.2%}".format(report.holdings["largest_weight"]))]
    return rows


def render_html(report, title, *, market_line="", summary_lines=(), notice="") -> str:
    """One self-contained page of `report`: figures inline, the font embedded."""
    images = figures(report)
    parts = [_head(title)]
    if notice:
        parts.append("<p class='notice' id='synthetic'>{}</p>".format(html.escape(notice)))
    elif market_line:  # the notice already says what the synthetic market is
        parts.append("<p class='note'>{}</p>".format(html.escape(market_line)))
    parts.append("<p>date {}, data as of {}{}</p>".format(
        report.date, report.data_date, ", benchmark {}".format(html.escape(str(report.benchmark)))
        if report.benchmark else ""))
    for line in summary_lines:
        parts.append("<p>{}</p>".format(html.escape(line)))
    parts.append("<h2>Summary</h2><table class='table'>" + "".join(
        "<tr><th style='text-align:left'>{}</th><td>{}</td></tr>".format(html.escape(k), html.escape(v))
        for k, v in _summary_rows(report)) + "</table>")
    if report.constraints is not None and len(report.constraints):
        table = limit_table(report.constraints)
        body = "".join(
            "<tr>" + "".join("<td class='state-{}'>{}</td>".format(row["state"], html.escape(str(row[c])))
                             if c == "state" else "<td class='wrap'>{}</td>".format(
                                 html.escape(str(row[c]))) if c in ("constraint", "item")
                             else "<td>{}</td>".format(html.escape(str(row[c]))) for c in table.columns) + "</tr>"
            for _, row in table.iterrows())
        head = "".join("<th>{}</th>".format(c.replace("_", " ")) for c in table.columns)
        parts.append("<h2 id='constraints'>Limits, tightest first</h2><table class='table'><tr>{}</tr>{}</table>"
                     "<p class='note'>Weights, turnover and tracking error in percent, style exposures in "
                     "standard deviations; shadow price: the objective's gain per unit of relaxation."
                     "</p>".format(head, body))
    positions = getattr(report, "positions", None)
    if positions is not None and len(positions):
        parts.append("<h2 id='holdings'>Holdings</h2>" + _table(
            positions.head(30), {"weight": "{:.2%}", "benchmark": "{:.2%}", "active": "{:+.2%}"},
            "order_book_id") + ("<p class='note'>The 30 largest of {} holdings; weights.csv has all.</p>".format(
                len(positions)) if len(positions) > 30 else ""))
    parts.append("<h2>Figures</h2><div class='grid'>" + "".join(images[name] for name in FIGURES if name in images)
                 + "</div>")
    groups = report.factor_groups.assign(risk=np.sqrt(report.factor_groups["variance"].clip(lower=0)))
    parts.append("<h2 id='risk'>Risk by factor group</h2>" + _table(
        groups[["share", "variance", "risk"]], {"variance": "{:.6f}", "share": "{:.1%}", "risk": "{:.2%}"}, "group")
        + "<p class='note'>share: of the portfolio's variance (shares of factor groups add up with the specific "
          "share to 100 %); risk: the group's variance as an annual volatility.</p>")
    parts.append("<h2 id='stocks'>Largest contributions to risk</h2>" + _table(
        report.stocks.head(15), {"weight": "{:.2%}", "marginal": "{:.4f}", "contribution": "{:.2%}",
                                 "variance_share": "{:.1%}"}, "order_book_id"))
    parts.append("<h2 id='styles'>Style exposures (standard deviations)</h2>" + _table(
        report.styles, {c: "{:+.3f}" for c in report.styles.columns}, "style"))
    if len(report.industries):
        parts.append("<h2 id='industries'>Industry weights</h2>" + _table(
            report.industries, {c: "{:+.2%}" if c == "active" else "{:.2%}" for c in report.industries.columns},
            "industry"))
    for note in getattr(report, "notes", ()):
        parts.append("<p class='note'>{}</p>".format(html.escape(note)))
    parts.append("<p class='note'>Risk figures are annual (daily model × 252). Generated by verdalis.</p>")
    parts.append("</body></html>")
    return _finish(parts)


def write_report(report, out, title, *, market_line="", summary_lines=(), bounds=None, dust=DUST,
                 notice="") -> dict:
    """Write weights.csv, report.json and report.html into the folder `out`; their paths.

    The weights written are clean (`tables.clean_weights`: dust below `dust`
    dropped, rounded to 1e-8, summing to 1 within `bounds`), and only the
    stocks held are listed; the page and report.json use the same weights."""
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    paths = {"weights": out / "weights.csv", "json": out / "report.json", "html": out / "report.html"}
    weights = clean_weights(report.weights, bounds, dust=dust)
    report.weights = weights[weights != 0]
    # the per-stock risk table lists the stocks held, at the weights written
    stocks = report.stocks[report.stocks.index.isin(report.weights.index)].copy()
    stocks["weight"] = report.weights.reindex(stocks.index).to_numpy()
    report.stocks = stocks
    if getattr(report, "positions", None) is not None:
        positions = report.positions.copy()
        positions["weight"] = weights.reindex(positions.index, fill_value=0.0)
        if "benchmark" in positions:
            positions["active"] = positions["weight"] - positions["benchmark"]
        report.positions = positions[positions["weight"] != 0].sort_values("weight", ascending=False,
                                                                          kind="stable")
    # everything is made before anything is written: a failure leaves no half-written folder
    page = render_html(report, title, market_line=market_line, summary_lines=summary_lines, notice=notice)
    data = json.dumps(report.to_json(), ensure_ascii=False, indent=1)
    report.weights.rename("weight").rename_axis("order_book_id").to_csv(paths["weights"], float_format="%.8f")
    paths["json"].write_text(data, encoding="utf-8")
    paths["html"].write_text(page, encoding="utf-8")
    return paths


# ---------------------------------------------------------------------------- backtests

def backtest_figures(result) -> dict:
    """A backtest's figures as inline SVG: nav, active, drawdown, turnover, tracking."""
    plt, rc = _pyplot()
    with plt.rc_context(rc):
        return _backtest_figures(plt, result)


def _backtest_figures(plt, result):
    nav = result.nav
    out = {}
    fig, ax = plt.subplots(figsize=(7, 3.4))
    ax.plot(nav.index, nav["portfolio"], label="portfolio", color="#3b6ea8")
    if nav["benchmark"].notna().any():
        ax.plot(nav.index, nav["benchmark"], label="benchmark", color="#9aa5b1")
    ax.set_title("Cumulative return (NAV)")
    ax.legend(fontsize=8)
    ax.tick_params(axis="x", labelrotation=30, labelsize=8)
    out["nav"] = _svg(fig, "nav")
    plt.close(fig)

    if nav["benchmark"].notna().any():
        fig, ax = plt.subplots(figsize=(7, 3.0))
        ax.plot(nav.index, (nav["portfolio"] / nav["benchmark"] - 1) * 100, color="#3b6ea8")
        ax.axhline(0, color="black", linewidth=0.6)
        ax.set_ylabel("%")
        ax.set_title("Cumulative active return")
        ax.tick_params(axis="x", labelrotation=30, labelsize=8)
        out["active"] = _svg(fig, "active")
        plt.close(fig)

    fig, ax = plt.subplots(figsize=(7, 3.0))
    drawdown = measures.drawdown(nav["portfolio"]) * 100
    ax.fill_between(nav.index, drawdown, 0, color="#c0504d", alpha=0.6)
    ax.set_ylabel("%")
    ax.set_title("Drawdown")
    ax.tick_params(axis="x", labelrotation=30, labelsize=8)
    out["drawdown"] = _svg(fig, "drawdown")
    plt.close(fig)

    if len(result.turnover):
        fig, ax = plt.subplots(figsize=(7, 3.0))
        ax.bar(range(len(result.turnover)), result.turnover.to_numpy() * 100, color="#3b6ea8")
        ax.set_xticks(range(len(result.turnover)), [d.strftime("%Y-%m-%d") for d in result.turnover.index],
                      rotation=70, fontsize=7)
        ax.set_ylabel("one-way, %")
        ax.set_title("Turnover at each rebalance")
        out["turnover"] = _svg(fig, "turnover")
        plt.close(fig)

    tracking = tracking_table(result)
    if tracking is not None and tracking["realised"].notna().any():
        fig, ax = plt.subplots(figsize=(7, 3.0))
        ax.plot(tracking.index, tracking["ex_ante"] * 100, marker="o", label="ex ante", color="#3b6ea8")
        ax.plot(tracking.index, tracking["realised"] * 100, marker="s", label="realised", color="#c0504d")
        ax.set_ylabel("% a year")
        ax.set_title("Tracking error: ex ante against realised (each holding period)")
        ax.legend(fontsize=8)
        ax.tick_params(axis="x", labelrotation=30, labelsize=8)
        out["tracking"] = _svg(fig, "tracking")
        plt.close(fig)

    table = attribution_table(result)
    if table is not None:
        out["attribution"] = _attribution_figure(plt, table)
    return out


#: The parts of the active return drawn and tabled, in order.
ATTRIBUTION_PARTS = ["country", "industry", "style", "specific", "costs", "benchmark_residual"]


def attribution_table(result):
    """Each holding period's active return and its parts, plus a total row (sums of the periods)."""
    att = getattr(result, "attribution", None)
    if att is None or not len(att):
        return None
    columns = ["active_return"] + ATTRIBUTION_PARTS + ["allocation", "selection"]
    table = att[columns].astype(float).copy()
    table.index = [d.strftime("%Y-%m-%d") for d in table.index]
    table.loc["sum of periods"] = table.sum()
    return table


def _attribution_figure(plt, table):
    periods = table.drop(index="sum of periods")
    colors = ["#9aa5b1", "#3b6ea8", "#6aa84f", "#e69138", "#c0504d", "#b4a7d6"]
    fig, ax = plt.subplots(figsize=(7, 3.4))
    x = np.arange(len(periods))
    up, down = np.zeros(len(periods)), np.zeros(len(periods))
    for part, color in zip(ATTRIBUTION_PARTS, colors):
        v = periods[part].to_numpy() * 100
        base = np.where(v >= 0, up, down)
        ax.bar(x, v, bottom=base, color=color, label=part.replace("_", " "))
        up, down = up + np.clip(v, 0, None), down + np.clip(v, None, 0)
    ax.plot(x, periods["active_return"].to_numpy() * 100, "ko-", markersize=3, label="active return")
    ax.axhline(0, color="black", linewidth=0.6)
    ax.set_xticks(x, list(periods.index), rotation=70, fontsize=7)
    ax.set_ylabel("%")
    ax.set_title("Attribution of the active return, each holding period")
    ax.legend(fontsize=7, ncol=4)
    svg = _svg(fig, "attribution")
    plt.close(fig)
    return svg


def tracking_table(result):
    """Ex-ante tracking error at each rebalance and the realised one over the period it was held."""
    nav, records = result.nav, result.rebalances
    if not len(records) or not nav["benchmark"].notna().all():
        return None
    active = nav["portfolio"].pct_change() - nav["benchmark"].pct_change()
    bounds = list(records.index) + [nav.index[-1] + pd.Timedelta(days=1)]
    realised = []
    for start, stop in zip(bounds[:-1], bounds[1:]):
        period = active[(active.index >= start) & (active.index < stop)].dropna()
        realised.append(measures.realised_tracking_error(period) if len(period) > 2 else np.nan)
    return pd.DataFrame({"ex_ante": records["ex_ante_te"].to_numpy(dtype=float), "realised": realised},
                        index=records.index)


#: summary entries that count something: written as whole numbers
_COUNTS = {"infeasible_dates", "rebalances"}
_PERCENT = {"annual_return", "volatility", "max_drawdown", "benchmark_return", "active_return",
            "tracking_error", "average_turnover", "ex_ante_tracking_error"}


def backtest_title(name, benchmark, start, end) -> str:
    """"NAME vs BENCHMARK, START .. END": the title of a backtest's page."""
    return "Backtest of {}{}, {} .. {}".format(name, " vs {}".format(benchmark) if benchmark else "", start, end)


def _summary_value(key, value, capital):
    if key in _COUNTS:
        return "{:d}".format(int(round(value)))
    if key in _PERCENT:
        return "{:.2%}".format(value)
    if key == "total_costs":
        if capital and np.isfinite(capital):
            return "{:,.0f} ({:.1f} bps of the capital)".format(value, value / capital * 1e4)
        return "{:,.0f}".format(value)
    return "{:,.3f}".format(value)


def backtest_html(result, title="Backtest", *, notice="", capital=None) -> str:
    """One self-contained page of a backtest's numbers and figures.

    `notice`: a line shown first (the synthetic-data notice); `capital`: the
    book's starting value, which costs are stated against."""
    images = backtest_figures(result)
    summary = result.summary
    rows = "".join("<tr><th style='text-align:left'>{}</th><td>{}</td></tr>".format(
        html.escape(k.replace("_", " ")), html.escape(_summary_value(k, v, capital)))
        for k, v in summary.items() if np.isfinite(v))
    if capital:
        rows = "<tr><th style='text-align:left'>capital</th><td>{:,.0f}</td></tr>".format(capital) + rows
    records = result.rebalances.copy()
    if len(records):
        records.index = [d.strftime("%Y-%m-%d") for d in records.index]
        if capital and "cost" in records:
            records.insert(list(records.columns).index("cost") + 1, "cost_bps_of_capital",
                           records["cost"] / capital * 1e4)
    parts = [_head(title)]
    if notice:
        parts.append("<p class='notice' id='synthetic'>{}</p>".format(html.escape(notice)))
    parts += [
        "<p>{} .. {}, {:d} rebalances</p>".format(result.nav.index[0].date(), result.nav.index[-1].date(),
                                                   len(records)),
        "<h2>Summary</h2><table class='table'>{}</table>".format(rows),
        "<h2>Figures</h2><div class='grid'>" + "".join(images.values()) + "</div>",
    ]
    if len(records):
        parts.append("<h2 id='rebalances'>Rebalances</h2>" + _table(
            records, {"cost": "{:,.0f}", "turnover": "{:.2%}", "ex_ante_te": "{:.2%}", "untraded": "{:.2%}",
                      "cash": "{:,.0f}", **{c: "{:,.0f}" for c in records.columns if c.startswith("cost_")},
                      "cost_bps_of_capital": "{:.2f}"},
            "date") + "<p class='note'>cost: in the book's currency; cost bps of capital: of the starting "
                       "capital.</p>")
    table = attribution_table(result)
    if table is not None:
        parts.append("<h2 id='attribution'>Attribution</h2><p>Active return of each holding period (from the "
                      "close the book was set at) split into factor parts (active exposures at the start times "
                      "the period's factor returns), specific return, trading costs and the index's own residual; "
                      "allocation and selection split the same gross active return by industry.</p>"
                      + _table(table, {c: "{:.3%}" for c in table.columns}, "period"))
    parts.append("</body></html>")
    return _finish(parts)
