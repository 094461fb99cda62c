"""The efficient frontier of a mandate: how much expected (active) return
each step of risk buys under all of the mandate's limits.

`frontier` takes the arguments of `portfolio_optimize` (or `from_config` a
`Config`) and returns a `Frontier`: `points` portfolios (20 by default)
evenly spaced in risk between the least-risk portfolio the limits allow and
the highest-return one.  Each point is the portfolio of the highest expected
return whose risk is at most the point's risk, with its weights and the
limits it meets with equality.

- **Risk** is tracking error against the benchmark when the mandate has one
  (``risk="active"``), else the portfolio's total risk (``risk="total"``);
  both annualised, from the mandate's risk model (covariance model, model
  version and aversion coefficients).
- **Expected returns** are, first found: the `expected_returns` argument; the
  objective's own (``expected_returns``, ``expected_active_returns``, or a
  `MaxIndicator`'s indicator, read as an expected return); otherwise the
  history estimate the mean-variance objectives make (252 days).  On an
  active frontier a stock's expected active return is its expected return
  less the benchmark's, so the return axis reads as the portfolio's expected
  return over the benchmark's.
- **Limits**: the bounds and every constraint object, hard and soft; the
  objective's own constraints (a ratio objective's normalisation) are not
  limits and are left out.  When the limits cannot all hold, the soft ones are
  dropped, as `portfolio_optimize` does, and the result says so.

The problem is compiled once: the risk limit is a cvxpy `Parameter`, and each
point only changes its value (cvxpy then maps the new value into the
solver's data without building the problem again).  Points are solved with
Clarabel (interior point), so every point lies on the frontier to the
solver's accuracy (1e-8), whatever solver the mandate names; the mandate's
own portfolio, marked on the frontier, is `portfolio_optimize`'s.
"""
from __future__ import annotations

import math
import time
import warnings
from dataclasses import dataclass, field
from typing import List, Optional

import cvxpy as cp
import numpy as np
import pandas as pd

from . import optimize as _optimize
from .const import CovModel, RiskModel
from .exception import InvalidArgument, OptimizationFailed

__all__ = ["Frontier", "frontier", "from_config"]

#: the solver every point is solved with, and its tolerances
CLARABEL = dict(solver=cp.CLARABEL, tol_gap_abs=1e-8, tol_gap_rel=1e-8, tol_feas=1e-8)
#: the least-risk end: risk is flat at its minimum (a weight moved by 1e-5
#: can change it by 1e-9 only), so it is solved to tighter tolerances
CLARABEL_TIGHT = dict(CLARABEL, tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
#: a limit is met with equality when the value is within this of it (own units)
BINDING_TOLERANCE = 1e-6
_SOLVED = (cp.OPTIMAL, cp.OPTIMAL_INACCURATE)


@dataclass
class Frontier:
    """What `frontier` found.

    `table`: one row per point (index 0 .. points-1): `risk` (tracking error or
    total risk a year), `expected_return` (active when `risk_measure` is
    "tracking error"), `limit` (the risk limit the point was solved with;
    NaN for the least-risk point) and `binding` (the limits met with equality,
    "; "-joined).  `weights`: one row per point, one column per stock of the
    pool.  `mandate`: the risk and expected return of the mandate's own
    portfolio (None when it was not asked for or could not be solved), its
    weights in `mandate_weights`.  `notes`: what was done differently from
    the mandate as given (soft limits dropped, the mandate's failure).
    """

    risk_measure: str
    table: pd.DataFrame
    weights: pd.DataFrame
    expected_returns: pd.Series
    mandate: Optional[pd.Series] = None
    mandate_weights: Optional[pd.Series] = None
    notes: List[str] = field(default_factory=list)
    #: seconds: assembly (data and expressions), the end points, the other points
    timings: dict = field(default_factory=dict)

    @property
    def risk(self) -> np.ndarray:
        return self.table["risk"].to_numpy()

    @property
    def expected_return(self) -> np.ndarray:
        return self.table["expected_return"].to_numpy()

    def __str__(self):
        lines = ["Efficient frontier: expected {}return against {}, {} points".format(
            "active " if self.risk_measure == "tracking error" else "", self.risk_measure,
            len(self.table))]
        for k, row in self.table.iterrows():
            binding = row["binding"] or "-"
            lines.append("  {:>3}  risk {:7.4f}  return {:8.4f}  {}".format(
                k, row["risk"], row["expected_return"],
                binding if len(binding) <= 110 else binding[:107] + "..."))
        if self.mandate is not None:
            lines.append("The mandate's own portfolio: risk {:.4f}, return {:.4f}".format(
                self.mandate["risk"], self.mandate["expected_return"]))
        lines += ["Note: " + n for n in self.notes]
        return "\n".join(lines)


# ------------------------------------------------------------------ report

def figure(result) -> str:
    """The frontier as inline SVG: expected return against risk, the
    mandate's own portfolio marked."""
    from .report.render import _pyplot, _svg

    plt, rc = _pyplot()
    with plt.rc_context(rc):
        fig, ax = plt.subplots(figsize=(7, 4.2))
        x, y = result.risk * 100, result.expected_return * 100
        ax.plot(x, y, "-o", color="#3b6ea8", markersize=4,
                label="efficient frontier ({} points)".format(len(x)))
        if result.mandate is not None:
            ax.plot([result.mandate["risk"] * 100], [result.mandate["expected_return"] * 100], "*",
                    color="#c0392b", markersize=14, label="the mandate's portfolio")
        active = result.risk_measure == "tracking error"
        ax.set_xlabel("{}, % a year".format("tracking error" if active else "total risk"))
        ax.set_ylabel("expected {}return, % a year".format("active " if active else ""))
        ax.set_title("Efficient frontier under the mandate's limits")
        ax.grid(alpha=0.3)
        ax.legend(loc="lower right", fontsize=8)
        svg = _svg(fig, "frontier")
    plt.close(fig)
    return svg


def html_page(result, title, market_line="") -> str:
    """A self-contained page: the figure, the table of points, the notes."""
    import html

    from .report.render import _finish, _head, _table

    parts = [_head(title)]
    if market_line:
        parts.append("<p class='note'>{}</p>".format(html.escape(market_line)))
    if result.mandate is not None:
        parts.append("<p>The mandate's own portfolio: {} {:.2%}, expected {}return {:.2%}.</p>".format(
            result.risk_measure, result.mandate["risk"],
            "active " if result.risk_measure == "tracking error" else "", result.mandate["expected_return"]))
    for note in result.notes:
        parts.append("<p class='note'>{}</p>".format(html.escape(note)))
    parts.append(figure(result))
    table = result.table.copy()
    table["stocks held"] = (result.weights.to_numpy() > 1e-4).sum(axis=1)
    parts.append("<h2 id='points'>Points</h2>" + _table(
        table, {"risk": "{:.2%}", "expected_return": "{:.2%}", "limit": "{:.2%}"}, "point"))
    parts.append("<p class='note'>Risk and returns are annual. Each point holds the highest expected "
                 "return at its risk under every limit of the mandate; 'binding' lists the limits it "
                 "meets with equality. Generated by verdalis.</p></body></html>")
    return _finish(parts)


def save(result, out, title="Efficient frontier", market_line="") -> dict:
    """frontier.csv (the points), weights.csv (a column per point) and
    frontier.html into the folder `out`; their paths."""
    from pathlib import Path

    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    paths = {"points": out / "frontier.csv", "weights": out / "weights.csv", "html": out / "frontier.html"}
    result.table.rename_axis("point").to_csv(paths["points"])
    weights = result.weights.T
    weights.columns = ["point_{}".format(k) for k in range(weights.shape[1])]
    if result.mandate_weights is not None:
        weights["mandate"] = result.mandate_weights.reindex(weights.index).to_numpy()
    weights.to_csv(paths["weights"])
    paths["html"].write_text(html_page(result, title, market_line), encoding="utf-8")
    return paths


# ------------------------------------------------------------ expected returns

def _expected_returns(objective, helper, given, active):
    """(per-stock expected returns over the pool, the offset c): the return
    axis reads μᵀw − c, c the benchmark's expected return on an active
    frontier (0 otherwise)."""
    ids = list(helper.order_book_ids)
    series = None
    if given is not None:
        series = pd.Series(given, dtype=float)
    else:
        for attr in ("_expected_active_returns", "_expected_returns", "_indicator_series"):
            value = getattr(objective, attr, None)
            if value is not None:
                series = pd.Series(value, dtype=float)
                break
    offset = 0.0
    if series is None:
        series = _history_estimate(helper)
        if active:
            # the benchmark's own estimate over the same window
            offset = float(helper.benchmark.get_expected_returns(helper.date, _WINDOW))
    elif active:
        # μᵀ(w − b): the benchmark's figure from the same returns; its members
        # outside the pool without one count as 0
        bench = helper.benchmark_weight
        offset = float(series.reindex(bench.index).fillna(0.0).to_numpy() @ bench.to_numpy())
    missing = [i for i in ids if not np.isfinite(series.get(i, np.nan))]
    if missing:
        raise InvalidArgument("expected_returns: no finite value for {} stock(s) of the pool, e.g. {}"
                              .format(len(missing), ", ".join(map(str, missing[:5]))))
    return series.reindex(ids).astype(float), offset


_WINDOW = 252


def _history_estimate(helper):
    """The estimate the mean-variance objective makes (and keeps), made by it:
    the expression it builds is thrown away."""
    from .objective import MeanVariance

    estimator = MeanVariance(window=_WINDOW)
    g = cp.Variable(len(helper.order_book_ids), nonneg=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        estimator.get_objective_expr(g, 1.0, helper)
    return pd.Series(estimator._expected_returns, dtype=float)


# ----------------------------------------------------------------------- risk

def _risk_root(helper, active):
    """(R, x0) with risk(w)² = ‖Rᵀ(w_u − x0)‖²: R n_u×m, w_u the weights over the
    pool extended by zeros to the benchmark's other members, x0 the benchmark
    weights (or zeros)."""
    getter = getattr(helper, "get_union_factor_risk" if active else "get_factor_risk", None)
    structure = getter() if getter is not None else None
    if structure is not None:
        B, d = structure
        R = np.hstack([np.asarray(B, dtype=float), np.diag(np.sqrt(np.asarray(d, dtype=float)))])
    else:  # a context without factors: a square root of its covariance
        cov = np.asarray(helper.get_union_cov_matrix() if active else helper.get_cov_matrix(), dtype=float)
        vals, vecs = np.linalg.eigh((cov + cov.T) / 2)
        keep = vals > vals.max(initial=0.0) * len(vals) * np.finfo(float).eps
        R = vecs[:, keep] * np.sqrt(vals[keep])
    x0 = np.asarray(helper.benchmark_weight, dtype=float) if active else np.zeros(R.shape[0])
    return R, x0


class _Risk:
    """The risk expression over g and its value at given weights."""

    def __init__(self, helper, g, active):
        self.R, self.x0 = _risk_root(helper, active)
        n, n_u = g.shape[0], self.R.shape[0]
        held = g if n_u == n else cp.hstack([g, np.zeros(n_u - n)])
        # ‖Rᵀx‖ with R as n_u×m: factor columns and a diagonal block; a sparse
        # copy keeps the diagonal from becoming n² entries in the solver's data
        import scipy.sparse as sp

        Rt = sp.csr_matrix(self.R.T)
        self.expr = cp.norm(Rt @ held - Rt @ self.x0)
        # the least-risk portfolio minimises the square: a quadratic objective
        # the solver meets directly, as sharp at its minimum as the variance
        self.squared = cp.sum_squares(Rt @ held - Rt @ self.x0)

    def value(self, w):
        w = np.asarray(w, dtype=float)
        full = np.concatenate([w, np.zeros(self.R.shape[0] - len(w))])
        return float(np.linalg.norm(self.R.T @ (full - self.x0)))


# ----------------------------------------------------------- binding limits

def _binding(assembly, groups, w, risk_label, risk_binds):
    """The limits met with equality at weights w, each as "constraint [item]"."""
    from .report.summary import _limit_rows

    helper = assembly["helper"]
    ids = list(helper.order_book_ids)
    found = [risk_label] if risk_binds else []
    for name, hard, rows, source in groups:
        if name == "bounds":
            lower, upper = (np.asarray(b, dtype=float) for b in source)
            at_upper = (upper < 1) & (w >= upper - BINDING_TOLERANCE)
            at_lower = (lower > 0) & (w <= lower + BINDING_TOLERANCE)
            if at_upper.any():
                found.append("bounds [{} at the upper bound]".format(_few(ids, at_upper)))
            if at_lower.any():
                found.append("bounds [{} at the lower bound]".format(_few(ids, at_lower)))
            continue
        if name == "budget":
            continue
        # each constraint's own measurement: (item, value, lower, upper)
        measured = ([row[1:] for row in _limit_rows([source], pd.Series(w, index=ids), helper)]
                    if source is not None else [])
        measured = [m for m in measured if np.isfinite(m[1])]
        label = type(source).__name__ if source is not None else name
        if measured:
            items = [item for item, value, lower, upper in measured
                     if any(np.isfinite(b) and abs(value - b) <= BINDING_TOLERANCE * max(1.0, abs(b))
                            for b in (lower, upper))]
            if items:
                found.append("{} [{}]".format(label, _few(items, np.ones(len(items), dtype=bool))))
        elif any(r.dual_value is not None and np.max(np.abs(r.dual_value)) > 1e-6 for r in rows):
            found.append(label)  # a limit the report cannot measure: its duals say it binds
    return found


def _lean(group, g):
    """The group with the per-stock bounds written only where they limit
    anything: g >= 0 is the variable's own, and a cap of 1 cannot bind.  The
    same feasible set in a third fewer rows for the solver."""
    name, hard, rows, source = group
    if name != "bounds":
        return group
    lower, upper = (np.asarray(b, dtype=float) for b in source)
    lean = []
    floors, caps = np.nonzero(lower > 0)[0], np.nonzero(upper < 1)[0]
    if len(floors):
        lean.append(g[floors] >= lower[floors])
    if len(caps):
        lean.append(g[caps] <= upper[caps])
    return name, hard, lean, source


def _few(ids, mask, shown=3):
    names = np.asarray(ids, dtype=object)[mask].tolist()
    more = " and {} more".format(len(names) - shown) if len(names) > shown else ""
    return ", ".join(names[:shown]) + more


# ------------------------------------------------------------------ frontier

def frontier(order_book_ids, date, objective=_optimize.DEFAULT_OBJECTIVE, bnds=None, cons=None,
             benchmark=None, cov_model=CovModel.FACTOR_MODEL_DAILY, factor_risk_aversion=1.0,
             specific_risk_aversion=1.0, solver=None, risk_model=RiskModel.V1, *, points=20,
             expected_returns=None, risk=None, mandate=True, **solver_options) -> Frontier:
    """The efficient frontier of the mandate these `portfolio_optimize`
    arguments describe: `points` portfolios evenly spaced in risk from the
    least-risk one to the highest-return one.

    `risk`: "active" (tracking error; the default with a benchmark) or
    "total".  `expected_returns`: a Series by order_book_id (default: the
    objective's own, else a history estimate).  `mandate`: also solve the
    mandate itself with `portfolio_optimize` (with `solver` and
    `solver_options`) and mark it.
    """
    if isinstance(points, bool) or not isinstance(points, (int, np.integer)) or points < 2:
        raise InvalidArgument("points must be an integer of at least 2, got {!r}".format(points))
    if risk is None:
        risk = "active" if benchmark is not None else "total"
    if risk not in ("active", "total"):
        raise InvalidArgument('risk must be "active" or "total", got {!r}'.format(risk))
    if risk == "active" and benchmark is None:
        raise InvalidArgument('risk="active" (tracking error) needs a benchmark')
    active = risk == "active"
    started = time.perf_counter()
    assembly = _optimize._assemble(order_book_ids, date, objective, bnds, cons, benchmark, cov_model,
                                   factor_risk_aversion, specific_risk_aversion, risk_model, scale=1.0)
    if assembly is None:
        raise InvalidArgument("the pool holds one stock after filtering: there is no frontier to draw")
    helper, g = assembly["helper"], assembly["g"]
    ids = list(helper.order_book_ids)
    mu, offset = _expected_returns(objective, helper, expected_returns, active)
    groups = [_lean(grp, g) for grp in assembly["groups"] if grp[0] != "objective" and grp[2]]
    notes = []
    risk_of = _Risk(helper, g, active)
    assembled = time.perf_counter()

    def rows_of(chosen):
        return [row for grp in chosen for row in grp[2]]

    # The least-risk problem, compiled once: a floor on the expected return
    # (a parameter) also finds the least-risk of the highest-return portfolios.
    m = mu.to_numpy()
    floor = cp.Parameter(name="return_floor")
    no_floor = -2.0 * (np.abs(m).max() + 1.0)

    def least_problem():
        return cp.Problem(cp.Minimize(risk_of.squared), rows_of(groups) + [m @ g >= floor])

    floor.value = no_floor
    least = least_problem()
    least.solve(**CLARABEL_TIGHT)
    if least.status not in _SOLVED and any(not grp[1] for grp in groups):
        notes.append("the limits cannot all hold: the soft ones were dropped ({})".format(
            ", ".join(grp[0] for grp in groups if not grp[1])))
        groups = [grp for grp in groups if grp[1]]
        least = least_problem()
        least.solve(**CLARABEL_TIGHT)
    if least.status not in _SOLVED:
        error = OptimizationFailed(least.status)
        # the mandate rides along, so that error.diagnose() explains which limits conflict
        error._call = dict(order_book_ids=order_book_ids, date=date, objective=objective, bnds=bnds,
                           cons=cons, benchmark=benchmark, cov_model=cov_model,
                           factor_risk_aversion=factor_risk_aversion,
                           specific_risk_aversion=specific_risk_aversion, solver=solver,
                           risk_model=risk_model, solver_options=dict(solver_options))
        raise error
    w_least = np.asarray(g.value, dtype=float).copy()
    binding_least = _binding(assembly, groups, w_least, "", False)

    # The frontier's problem, compiled once: the risk limit is a parameter.
    limit = cp.Parameter(nonneg=True, name="risk_limit")
    frontier_rows = rows_of(groups)
    risk_row = risk_of.expr <= limit
    problem = cp.Problem(cp.Maximize(m @ g), frontier_rows + [risk_row])
    # Highest return: a limit no long-only portfolio reaches (risk is convex,
    # so no weights summing to 1 exceed the largest single-stock risk plus the
    # benchmark's).
    single = np.linalg.norm(risk_of.R, axis=1).max()
    limit.value = 2.0 * (single + risk_of.value(np.zeros(len(ids))) + 1.0)
    problem.solve(**CLARABEL)
    if problem.status not in _SOLVED:
        raise OptimizationFailed(problem.status)
    # Tied expected returns leave many highest-return portfolios: the end of
    # the frontier is the least-risk one among them.
    # (A return a hair below the best found: a floor at the solver's own
    # figure could be out of reach by its accuracy; then the best found stays.)
    w_most = np.asarray(g.value, dtype=float).copy()
    # the return of the long-only weights summing to 1 nearest the solver's
    # (its own figure can exceed what is reachable by its tolerance)
    held = np.clip(w_most, 0.0, None)
    floor.value = float(m @ held) / held.sum() - 1e-9 * max(1.0, np.abs(m).max())
    least.solve(**CLARABEL_TIGHT)
    if least.status in _SOLVED:
        w_most = np.asarray(g.value, dtype=float).copy()
    r_least, r_most = risk_of.value(w_least), risk_of.value(w_most)
    binding_most = _binding(assembly, groups, w_most, "", False)
    ends = time.perf_counter()

    label = "tracking error" if active else "total risk"
    levels = np.linspace(r_least, r_most, points)
    weights, bindings, limits = [w_least], ["; ".join(binding_least)], [math.nan]
    flat = r_most - r_least <= 1e-9 * max(1.0, r_least)
    if flat:
        # no portfolio the limits allow earns more without more risk
        notes.append("the expected returns do not reward risk under these limits: every point is the "
                     "least-risk portfolio")
        w_most, binding_most = w_least, binding_least
    for level in [] if flat else levels[1:-1]:
        limit.value = float(level)
        problem.solve(**CLARABEL)
        if problem.status not in _SOLVED:
            raise OptimizationFailed(problem.status)
        w = np.asarray(g.value, dtype=float).copy()
        weights.append(w)
        limits.append(float(level))
        bindings.append("; ".join(_binding(assembly, groups, w, label, True)))
    if flat:
        weights += [w_least] * (points - 2)
        limits += [math.nan] * (points - 2)
        bindings += [bindings[0]] * (points - 2)
    weights.append(w_most)
    limits.append(math.nan)
    bindings.append("; ".join(binding_most))
    done = time.perf_counter()

    W = np.vstack(weights)
    table = pd.DataFrame({"risk": [risk_of.value(w) for w in W],
                          "expected_return": W @ mu.to_numpy() - offset,
                          "limit": limits, "binding": bindings})
    result = Frontier(risk_measure=label, table=table,
                      weights=pd.DataFrame(W, columns=pd.Index(ids, name="order_book_id")),
                      expected_returns=mu, notes=notes,
                      timings={"assembly": assembled - started, "ends": ends - assembled,
                               "points": done - ends})
    if mandate:
        _mark_mandate(result, risk_of, mu, offset, order_book_ids, date, dict(
            objective=objective, bnds=bnds, cons=cons, benchmark=benchmark, cov_model=cov_model,
            factor_risk_aversion=factor_risk_aversion, specific_risk_aversion=specific_risk_aversion,
            solver=solver, risk_model=risk_model, **solver_options))
    return result


def _mark_mandate(result, risk_of, mu, offset, order_book_ids, date, arguments):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            own = _optimize.portfolio_optimize(order_book_ids, date, **arguments)
    except OptimizationFailed as exc:
        result.notes.append("the mandate itself could not be solved ({}); `verdalis diagnose` "
                            "explains why".format(exc.args[0] if exc.args else "failed"))
        return
    own = own.reindex(mu.index, fill_value=0.0)
    result.mandate_weights = own
    result.mandate = pd.Series({"risk": risk_of.value(own.to_numpy()),
                                "expected_return": float(own.to_numpy() @ mu.to_numpy()) - offset})


def from_config(config, date=None, **options) -> Frontier:
    """The frontier of the mandate a `Config` (or the path of its TOML file)
    describes; `options` as `frontier`'s keyword-only arguments."""
    from .config import Config, load

    if not isinstance(config, Config):
        config = load(config)
    return frontier(**config.build(date), **options)
