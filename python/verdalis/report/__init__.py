"""Reports of optimized portfolios: numbers apart from pictures.

* `analyse` / `PortfolioReport` (summary.py): the short terminal summary the
  demo prints, with each limit beside the value reached;
* `build_report` / `RiskReport` (risk.py): the full ex-ante report as
  DataFrames: risk split into factor and specific parts, contributions by
  factor group and by stock, style and industry exposures, concentration;
* `write_report` / `render_html` / `figures` (render.py): weights.csv,
  report.json and a self-contained report.html drawn from those numbers.
"""
from .render import figures, render_html, write_report
from .risk import RiskReport, build_report
from .summary import PortfolioReport, analyse

__all__ = ["PortfolioReport", "RiskReport", "analyse", "build_report", "figures", "render_html", "write_report"]
