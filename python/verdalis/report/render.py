"""Pictures and pages of a `RiskReport`: figures with matplotlib (Agg, no
display), one self-contained HTML page with the figures embedded, and the
JSON of the numbers.  Everything drawn here is computed in `risk.py`.
"""
from __future__ import annotations

import base64
import html
import io
import json
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

from .. import measures

FIGURES = ("holdings", "industries", "styles", "risk")

# Fonts with CJK glyphs (industry names), first found wins; without one the
# names still draw, as boxes, and matplotlib's missing-glyph warnings are muted.
_CJK_FONTS = ("Noto Sans CJK SC", "Noto Sans CJK JP", "WenQuanYi Micro Hei", "WenQuanYi Zen Hei",
              "Source Han Sans SC", "Droid Sans Fallback", "AR PL UMing CN", "SimHei", "Microsoft YaHei")


def _pyplot():
    import matplotlib

    matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt
    from matplotlib import font_manager

    available = {f.name for f in font_manager.fontManager.ttflist}
    family = [f for f in _CJK_FONTS if f in available]
    plt.rcParams["font.sans-serif"] = family + ["DejaVu Sans"]
    plt.rcParams["axes.unicode_minus"] = False
    return plt


def _png(fig) -> bytes:
    buffer = io.BytesIO()
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Glyph .* missing from")
        fig.savefig(buffer, format="png", dpi=110, bbox_inches="tight")
    return buffer.getvalue()


def figures(report) -> dict:
    """PNG bytes of each figure, by name: holdings, industries, styles, risk."""
    plt = _pyplot()
    out = {}
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Glyph .* missing from")

        top = report.weights.sort_values(ascending=False).head(20)
        fig, ax = plt.subplots(figsize=(7, 3.6))
        ax.bar(range(len(top)), top.to_numpy() * 100, color="#3b6ea8")
        ax.set_xticks(range(len(top)), top.index, rotation=70, fontsize=7)
        ax.set_ylabel("weight, %")
        ax.set_title("Largest holdings")
        out["holdings"] = _png(fig)
        plt.close(fig)

        column = "active" if "active" in report.industries else "portfolio"
        ind = report.industries[column].head(15).iloc[::-1]
        fig, ax = plt.subplots(figsize=(7, 4.2))
        ax.barh(range(len(ind)), ind.to_numpy() * 100,
                color=np.where(ind.to_numpy() >= 0, "#3b6ea8", "#c0504d"))
        ax.set_yticks(range(len(ind)), [str(i) for i in ind.index], fontsize=8)
        ax.axvline(0, color="black", linewidth=0.6)
        ax.set_xlabel("weight, %")
        ax.set_title("Active industry weights" if column == "active" else "Industry weights")
        out["industries"] = _png(fig)
        plt.close(fig)

        styles = report.styles
        fig, ax = plt.subplots(figsize=(7, 4.0))
        pos = np.arange(len(styles))
        height = 0.4 if "benchmark" in styles else 0.7
        ax.barh(pos + (height / 2 if "benchmark" in styles else 0), styles["portfolio"], height,
                label="portfolio", color="#3b6ea8")
        if "benchmark" in styles:
            ax.barh(pos - height / 2, styles["benchmark"], height, label="benchmark", color="#9aa5b1")
        ax.set_yticks(pos, styles.index, fontsize=8)
        ax.axvline(0, color="black", linewidth=0.6)
        ax.set_xlabel("exposure")
        ax.set_title("Style exposures")
        ax.legend(fontsize=8)
        out["styles"] = _png(fig)
        plt.close(fig)

        groups = report.factor_groups["share"].sort_values()
        fig, ax = plt.subplots(figsize=(7, 4.0))
        ax.barh(range(len(groups)), groups.to_numpy() * 100,
                color=["#c0504d" if g == "specific" else "#3b6ea8" for g in groups.index])
        ax.set_yticks(range(len(groups)), groups.index, fontsize=8)
        ax.set_xlabel("share of the portfolio's variance, %")
        ax.set_title("Risk decomposition: {:.2%} a year, {:.0%} from factors".format(
            report.risk["total_risk"], report.risk["factor_variance"] / report.risk["total_variance"]))
        out["risk"] = _png(fig)
        plt.close(fig)
    return out


_STYLE = (
    "body{font-family:-apple-system,'Segoe UI',Roboto,'Noto Sans','WenQuanYi Micro Hei',sans-serif;"
    "margin:2em auto;max-width:1000px;color:#222}h1{font-size:1.5em}h2{font-size:1.15em;margin-top:1.6em;"
    "border-bottom:1px solid #ddd}table.table{border-collapse:collapse;font-size:.85em}"
    "table.table td,table.table th{padding:.25em .7em;text-align:right;border-bottom:1px solid #eee}"
    "table.table th{background:#f5f7fa}.grid{display:flex;flex-wrap:wrap;gap:1em}"
    ".grid img{max-width:480px;width:100%}.note{color:#666;font-size:.85em}")


def _head(title):
    """The start of a self-contained page, through its <h1>: every page looks alike."""
    return ("<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'><title>{0}</title>"
            "<style>{1}</style></head><body>\n<h1>{0}</h1>".format(html.escape(title), _STYLE))


def _table(frame, formats, index_name):
    frame = frame.astype(object).where(frame.notna(), None)
    for column, fmt in formats.items():
        if column in frame:
            frame[column] = [("" if v is None or (isinstance(v, float) and not np.isfinite(v)) else fmt.format(v))
                             for v in frame[column]]
    frame = frame.where(frame.notna(), "")
    frame.index.name = index_name
    # the index as the first column: one header row, not two
    return frame.reset_index().to_html(classes="table", border=0, escape=True, index=False)


def _condensed(limits, shown=8):
    """At most `shown` rows per constraint (binding ones and the highest shadow
    prices first), then one row counting the rest: per-stock bounds would
    otherwise fill the page."""
    first = limits.columns[0]
    parts = []
    for _, rows in limits.groupby(first, sort=False):
        if len(rows) > shown:
            order = rows.sort_values([c for c in ("binding", "shadow_price", "violation") if c in rows],
                                     ascending=False, kind="stable")
            rest = len(rows) - shown
            more = {c: None for c in rows.columns}
            more[first] = rows[first].iloc[0]
            if "item" in rows:
                more["item"] = "... {} more".format(rest)
            rows = pd.concat([order.head(shown), pd.DataFrame([more])], ignore_index=True)
        parts.append(rows)
    return pd.concat(parts, ignore_index=True)


def render_html(report, title, *, market_line="", summary_lines=()) -> str:
    """One self-contained page (figures embedded as PNG data) of `report`."""
    images = figures(report)
    risk = report.risk
    rows = [("ex-ante risk (a year)", "{:.2%}".format(risk["total_risk"])),
            ("factor / specific variance", "{:.6f} / {:.6f}".format(risk["factor_variance"],
                                                                   risk["specific_variance"]))]
    if "tracking_error" in risk:
        rows.append(("tracking error vs {} (a year)".format(report.benchmark),
                     "{:.2%}".format(risk["tracking_error"])))
    rows += [("stocks held (weight > 0.01 %)", str(report.holdings["count"])),
             ("effective number of stocks (1/Σw²)", "{:.1f}".format(report.holdings["effective_number"])),
             ("largest weight", "{:.2%}".format(report.holdings["largest_weight"]))]
    parts = [_head(title)]
    if market_line:
        parts.append("<p class='note'>{}</p>".format(html.escape(market_line)))
    parts.append("<p>date {}, data as of {}{}</p>".format(
        report.date, report.data_date, ", benchmark {}".format(html.escape(str(report.benchmark)))
        if report.benchmark else ""))
    for line in summary_lines:
        parts.append("<p>{}</p>".format(html.escape(line)))
    parts.append("<h2>Summary</h2><table class='table'>" + "".join(
        "<tr><th style='text-align:left'>{}</th><td>{}</td></tr>".format(html.escape(k), html.escape(v))
        for k, v in rows) + "</table>")
    parts.append("<h2>Figures</h2><div class='grid'>" + "".join(
        "<img alt='{}' id='figure-{}' src='data:image/png;base64,{}'>".format(
            name, name, base64.b64encode(images[name]).decode("ascii")) for name in FIGURES) + "</div>")
    if report.constraints is not None and len(report.constraints):
        table = _condensed(report.constraints)
        first = table.columns[0]
        # a constraint over many items is named once, on its first row
        table[first] = table[first].where(table[first] != table[first].shift(), "")
        numbers = ("value", "limit", "violation", "shadow_price", "lower", "upper")
        parts.append("<h2 id='constraints'>Constraints</h2>" + _table(
            table.set_index(first), {c: "{:.4g}" if c == "shadow_price" else "{:.4f}"
                                     for c in numbers if c in table.columns}, "constraint"))
    parts.append("<h2 id='risk'>Risk by factor group</h2>" + _table(
        report.factor_groups, {"variance": "{:.6f}", "share": "{:.1%}"}, "group"))
    parts.append("<h2 id='stocks'>Largest contributions to risk</h2>" + _table(
        report.stocks.head(15), {"weight": "{:.2%}", "marginal": "{:.4f}", "contribution": "{:.4f}",
                                 "variance_share": "{:.1%}"}, "order_book_id"))
    parts.append("<h2 id='styles'>Style exposures</h2>" + _table(
        report.styles, {c: "{:+.3f}" for c in report.styles.columns}, "style"))
    parts.append("<h2 id='industries'>Industry weights</h2>" + _table(
        report.industries, {c: "{:+.2%}" if c == "active" else "{:.2%}" for c in report.industries.columns},
        "industry"))
    parts.append("<p class='note'>Risk figures are annual (daily model × 252). Generated by verdalis.</p>")
    parts.append("</body></html>")
    return "\n".join(parts)


def write_report(report, out, title, *, market_line="", summary_lines=()) -> dict:
    """Write weights.csv, report.json and report.html into the folder `out`; their paths."""
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    paths = {"weights": out / "weights.csv", "json": out / "report.json", "html": out / "report.html"}
    report.weights.rename("weight").rename_axis("order_book_id").to_csv(paths["weights"])
    paths["json"].write_text(json.dumps(report.to_json(), ensure_ascii=False, indent=1), encoding="utf-8")
    paths["html"].write_text(render_html(report, title, market_line=market_line, summary_lines=summary_lines),
                             encoding="utf-8")
    return paths


# ---------------------------------------------------------------------------- backtests

def backtest_figures(result) -> dict:
    """PNG bytes of a backtest's figures: nav, active, drawdown, turnover, tracking."""
    plt = _pyplot()
    nav = result.nav
    out = {}
    fig, ax = plt.subplots(figsize=(7, 3.4))
    ax.plot(nav.index, nav["portfolio"], label="portfolio", color="#3b6ea8")
    if nav["benchmark"].notna().any():
        ax.plot(nav.index, nav["benchmark"], label="benchmark", color="#9aa5b1")
    ax.set_title("Cumulative return (NAV)")
    ax.legend(fontsize=8)
    out["nav"] = _png(fig)
    plt.close(fig)

    if nav["benchmark"].notna().any():
        fig, ax = plt.subplots(figsize=(7, 3.0))
        ax.plot(nav.index, (nav["portfolio"] / nav["benchmark"] - 1) * 100, color="#3b6ea8")
        ax.axhline(0, color="black", linewidth=0.6)
        ax.set_ylabel("%")
        ax.set_title("Cumulative active return")
        out["active"] = _png(fig)
        plt.close(fig)

    fig, ax = plt.subplots(figsize=(7, 3.0))
    drawdown = measures.drawdown(nav["portfolio"]) * 100
    ax.fill_between(nav.index, drawdown, 0, color="#c0504d", alpha=0.6)
    ax.set_ylabel("%")
    ax.set_title("Drawdown")
    out["drawdown"] = _png(fig)
    plt.close(fig)

    if len(result.turnover):
        fig, ax = plt.subplots(figsize=(7, 3.0))
        ax.bar(range(len(result.turnover)), result.turnover.to_numpy() * 100, color="#3b6ea8")
        ax.set_xticks(range(len(result.turnover)), [d.strftime("%Y-%m-%d") for d in result.turnover.index],
                      rotation=70, fontsize=7)
        ax.set_ylabel("one-way, %")
        ax.set_title("Turnover at each rebalance")
        out["turnover"] = _png(fig)
        plt.close(fig)

    tracking = tracking_table(result)
    if tracking is not None and tracking["realised"].notna().any():
        fig, ax = plt.subplots(figsize=(7, 3.0))
        ax.plot(tracking.index, tracking["ex_ante"] * 100, marker="o", label="ex ante", color="#3b6ea8")
        ax.plot(tracking.index, tracking["realised"] * 100, marker="s", label="realised", color="#c0504d")
        ax.set_ylabel("% a year")
        ax.set_title("Tracking error: ex ante against realised (each holding period)")
        ax.legend(fontsize=8)
        out["tracking"] = _png(fig)
        plt.close(fig)
    return out


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


def backtest_html(result, title="Backtest") -> str:
    """One self-contained page of a backtest's numbers and figures."""
    images = backtest_figures(result)
    summary = result.summary
    percent = {"annual_return", "volatility", "max_drawdown", "benchmark_return", "active_return",
               "tracking_error", "average_turnover", "ex_ante_tracking_error"}
    rows = "".join("<tr><th style='text-align:left'>{}</th><td>{}</td></tr>".format(
        html.escape(k.replace("_", " ")), "{:.2%}".format(v) if k in percent else "{:,.3f}".format(v))
        for k, v in summary.items() if np.isfinite(v))
    records = result.rebalances.copy()
    if len(records):
        records.index = [d.strftime("%Y-%m-%d") for d in records.index]
    parts = [
        _head(title),
        "<p>{} .. {}, {} rebalances</p>".format(result.nav.index[0].date(), result.nav.index[-1].date(),
                                                 len(records)),
        "<h2>Summary</h2><table class='table'>{}</table>".format(rows),
        "<h2>Figures</h2><div class='grid'>" + "".join(
            "<img alt='{0}' id='figure-{0}' src='data:image/png;base64,{1}'>".format(
                name, base64.b64encode(png).decode("ascii")) for name, png in images.items()) + "</div>",
    ]
    if len(records):
        parts.append("<h2 id='rebalances'>Rebalances</h2>" + _table(
            records, {"cost": "{:,.0f}", "turnover": "{:.2%}", "ex_ante_te": "{:.2%}"}, "date"))
    parts.append("</body></html>")
    return "\n".join(parts)
