"""Bar charts as SVG text, written directly: the single-run report's four
figures are plain bars, and drawing them here instead of through matplotlib
keeps `verdalis run` from importing a plotting library at all.  Text stays
text, so the page's embedded font draws it (Chinese names included).
"""
from __future__ import annotations

import html
import math
import unicodedata

import numpy as np

FONT_SIZE = 11
BLUE, GREY, RED = "#3b6ea8", "#9aa5b1", "#c0504d"


def text_width(text: str, size: float = FONT_SIZE) -> float:
    """Approximate width in pixels of `text` at `size`: wide (CJK) characters one em, others 0.6 em."""
    return sum(size if unicodedata.east_asian_width(ch) in "WF" else 0.6 * size for ch in str(text))


def nice_ticks(low: float, high: float, count: int = 5) -> list:
    """Round tick values covering [low, high] (0 included), about `count` of them."""
    low, high = min(low, 0.0), max(high, 0.0)
    # a sliver below (or above) zero does not earn a whole tick step
    if 0 < -low < 0.02 * high:
        low = 0.0
    if 0 < high < 0.02 * -low:
        high = 0.0
    if not np.isfinite(low) or not np.isfinite(high) or high - low <= 0:
        return [0.0, 1.0] if not (high - low) else [low, high]
    raw = (high - low) / count
    power = 10 ** math.floor(math.log10(raw))
    step = next(m * power for m in (1, 2, 2.5, 5, 10) if m * power >= raw)
    start = math.floor(low / step + 1e-9) * step
    ticks, value = [], start
    while value <= high + step * 1e-9:
        ticks.append(round(value, 12))
        value += step
    if ticks[-1] < high - 1e-12:
        ticks.append(round(value, 12))
    return ticks


def _tick_label(value):
    return "{:g}".format(round(value, 10))


def _esc(text):
    return html.escape(str(text), quote=True)


def _svg(name, width, height, body, title):
    return ("<svg id='figure-{0}' role='img' aria-label='{1}' xmlns='http://www.w3.org/2000/svg' "
            "viewBox='0 0 {2:.0f} {3:.0f}' width='{2:.0f}' height='{3:.0f}' font-size='{4}'>"
            "<text x='{5:.1f}' y='16' text-anchor='middle' font-size='13'>{1}</text>{6}</svg>").format(
                name, _esc(title), width, height, FONT_SIZE, width / 2, "".join(body))


def hbar(name, labels, series, title, xlabel, colors=None, width=480):
    """Horizontal bars, one row per label (first label on top); `series`:
    {legend name: values}, drawn side by side within each row; `colors`: one
    colour per series, or per bar (a list as long as the labels) for one series."""
    labels = [str(label) for label in labels]
    names = list(series)
    values = np.array([np.asarray(series[n], dtype=float) for n in names])  # series x labels
    colors = colors or [BLUE, GREY, RED][:len(names)]
    row = 18 if len(names) == 1 else 22
    left = 8 + max([text_width(label) for label in labels] + [20])
    top, bottom, right = 28, 38 + (16 if len(names) > 1 else 0), 16
    height = top + row * len(labels) + bottom
    finite = values[np.isfinite(values)]
    ticks = nice_ticks(float(finite.min()) if finite.size else 0.0, float(finite.max()) if finite.size else 1.0)
    lo, hi = ticks[0], ticks[-1]
    plot_w = width - left - right
    x = lambda v: left + (v - lo) / (hi - lo) * plot_w  # noqa: E731
    body = []
    for t in ticks:
        body.append("<line x1='{0:.1f}' x2='{0:.1f}' y1='{1}' y2='{2}' stroke='#e3e6ea'/>"
                    "<text x='{0:.1f}' y='{3}' text-anchor='middle'>{4}</text>".format(
                        x(t), top, top + row * len(labels), top + row * len(labels) + 14, _tick_label(t)))
    bar = (row - 6) / len(names)
    for i, label in enumerate(labels):
        y0 = top + i * row + 3
        body.append("<text x='{:.1f}' y='{:.1f}' text-anchor='end' dominant-baseline='middle'>{}</text>".format(
            left - 6, y0 + (row - 6) / 2, _esc(label)))
        for k in range(len(names)):
            v = values[k, i]
            if not np.isfinite(v):
                continue
            colour = colors[i] if len(names) == 1 and len(colors) == len(labels) else colors[k % len(colors)]
            x0, x1 = sorted((x(0.0), x(v)))
            body.append("<rect x='{:.1f}' y='{:.1f}' width='{:.1f}' height='{:.1f}' fill='{}'>"
                        "<title>{}: {:.4g}</title></rect>".format(
                            x0, y0 + k * bar, max(x1 - x0, 0.5), bar, colour, _esc(label), v))
    body.append("<line x1='{0:.1f}' x2='{0:.1f}' y1='{1}' y2='{2}' stroke='#222' stroke-width='0.8'/>".format(
        x(0.0), top, top + row * len(labels)))
    body.append("<text x='{:.1f}' y='{}' text-anchor='middle'>{}</text>".format(
        left + plot_w / 2, top + row * len(labels) + 30, _esc(xlabel)))
    if len(names) > 1:
        legend_y = height - 8
        cursor = left
        for k, n in enumerate(names):
            body.append("<rect x='{:.1f}' y='{}' width='10' height='10' fill='{}'/>"
                        "<text x='{:.1f}' y='{}'>{}</text>".format(cursor, legend_y - 9, colors[k % len(colors)],
                                                                  cursor + 14, legend_y, _esc(n)))
            cursor += 24 + text_width(n)
    return _svg(name, width, height, body, title)


def vbar(name, labels, values, title, ylabel, color=BLUE, width=480, height=300):
    """Vertical bars, one per label, labels turned under the axis."""
    labels = [str(label) for label in labels]
    values = np.asarray(values, dtype=float)
    finite = values[np.isfinite(values)]
    ticks = nice_ticks(float(finite.min()) if finite.size else 0.0, float(finite.max()) if finite.size else 1.0)
    lo, hi = ticks[0], ticks[-1]
    label_h = 10 + max([text_width(label, 9) for label in labels] + [10]) * 0.8
    left, right, top, bottom = 48, 10, 28, label_h + 6
    plot_w, plot_h = width - left - right, height - top - bottom
    y = lambda v: top + (hi - v) / (hi - lo) * plot_h  # noqa: E731
    step = plot_w / max(len(labels), 1)
    body = []
    for t in ticks:
        body.append("<line x1='{0}' x2='{1}' y1='{2:.1f}' y2='{2:.1f}' stroke='#e3e6ea'/>"
                    "<text x='{3}' y='{2:.1f}' text-anchor='end' dominant-baseline='middle'>{4}</text>".format(
                        left, width - right, y(t), left - 4, _tick_label(t)))
    for i, (label, v) in enumerate(zip(labels, values)):
        cx = left + (i + 0.5) * step
        if np.isfinite(v):
            y0, y1 = sorted((y(0.0), y(v)))
            body.append("<rect x='{:.1f}' y='{:.1f}' width='{:.1f}' height='{:.1f}' fill='{}'>"
                        "<title>{}: {:.4g}</title></rect>".format(cx - step * 0.35, y0, step * 0.7,
                                                                  max(y1 - y0, 0.5), color, _esc(label), v))
        body.append("<text font-size='9' text-anchor='end' transform='translate({:.1f},{:.1f}) rotate(-60)'>{}"
                    "</text>".format(cx + 3, top + plot_h + 8, _esc(label)))
    body.append("<line x1='{0}' x2='{1}' y1='{2:.1f}' y2='{2:.1f}' stroke='#222' stroke-width='0.8'/>".format(
        left, width - right, y(0.0)))
    body.append("<text transform='translate(12,{:.1f}) rotate(-90)' text-anchor='middle'>{}</text>".format(
        top + plot_h / 2, _esc(ylabel)))
    return _svg(name, width, height, body, title)
