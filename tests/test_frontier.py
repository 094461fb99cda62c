"""verdalis.frontier on the small market: every point lies on the frontier (its
weights are a direct portfolio_optimize with the same risk limit), the points
are monotone and evenly spaced in a risk computed here from the dense
covariance, and the returns read on the axis are the ones given."""
import datetime
import warnings

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import corvana
import verdalis.constraints as vc
from verdalis.exception import InvalidArgument
from verdalis.frontier import frontier
from verdalis.helper import OptimizeHelper
from verdalis.const import CovModel, RiskModel
from verdalis.objective import ActiveMeanVariance, MaxIndicator, MeanVariance, MinTrackingError, MinVariance
from verdalis.optimize import portfolio_optimize

INDEX = "000300.XSHG"
DATE = datetime.date(2021, 6, 15)
CLARABEL = dict(solver=cp.CLARABEL, tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)


@pytest.fixture(scope="module")
def pool(small_market):
    prev = corvana.get_previous_trading_date(DATE)
    stocks = corvana.all_instruments(type="CS", date=prev)
    seasoned = stocks.loc[stocks["listed_date"] < "2020-01-01", "order_book_id"].tolist()
    return sorted(corvana.get_risk_exposure(seasoned, prev).index.tolist())[:30]


def returns_for(ids, seed=3):
    return pd.Series(np.random.default_rng(seed).normal(0.08, 0.15, len(ids)), index=ids)


class RiskAtMost(vc.OptimizationConstraint):
    """Total risk at most `limit`, through the dense covariance (quad_form):
    the direct problem a total-risk frontier point must equal."""

    def __init__(self, limit):
        self.limit = limit

    def to_constraints(self, g, zeta, helper):
        return [cp.quad_form(g, cp.psd_wrap(helper.get_cov_matrix())) <= self.limit ** 2]

    @property
    def hard(self):
        return True


def dense_risk(ids, benchmark, weights):
    """Risk from the dense covariance of the helper (tracking error over the
    union with a benchmark): independent of the frontier's factor form."""
    from verdalis.benchmark import IndexBenchmark

    bench = IndexBenchmark(benchmark) if benchmark is not None else None
    h = OptimizeHelper(ids, DATE, bench, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
    w = np.asarray(weights, dtype=float)
    if benchmark is None:
        return float(np.sqrt(w @ h.get_cov_matrix() @ w))
    b = np.asarray(h.benchmark_weight, dtype=float)
    x = np.concatenate([w, np.zeros(len(b) - len(w))]) - b
    return float(np.sqrt(x @ h.get_union_cov_matrix() @ x))


def total_mandate(pool):
    industry = corvana.get_industry(pool, "sws").reindex(pool)
    top = industry.value_counts().index[0]
    return dict(bnds={"*": (0.0, 0.12)},
                cons=[vc.IndustryConstraint([top], upper_limit=0.15)], benchmark=None)


def active_mandate(pool):
    return dict(bnds={"*": (0.0, 0.2)},
                cons=[vc.WildcardIndustryConstraint(lower_limit=-0.1, upper_limit=0.1, relative=True)],
                benchmark=INDEX)


MANDATES = {"total risk, industry cap": total_mandate, "tracking error, relative industries": active_mandate}


@pytest.fixture(scope="module", params=list(MANDATES))
def case(request, pool):
    mandate = MANDATES[request.param](pool)
    mu = returns_for(pool)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        # the mandate's own objective: mean-variance in the frontier's risk
        objective = ActiveMeanVariance(expected_active_returns=mu) if mandate["benchmark"] \
            else MeanVariance(expected_returns=mu)
        f = frontier(pool, DATE, objective=objective, points=6, **mandate)
    return pool, mandate, mu, f


def test_points_are_monotone_and_evenly_spaced_in_an_independent_risk(case):
    pool, mandate, mu, f = case
    risk = np.array([dense_risk(pool, mandate["benchmark"], w) for w in f.weights.to_numpy()])
    np.testing.assert_allclose(risk, f.risk, rtol=1e-6)
    steps = np.diff(risk)
    assert (steps > 0).all()
    np.testing.assert_allclose(steps, steps.mean(), rtol=1e-4)
    assert (np.diff(f.expected_return) >= -1e-9).all()
    assert f.expected_return[-1] > f.expected_return[0]
    # the weights are long-only, sum to one and the returns are read from them
    np.testing.assert_allclose(f.weights.sum(axis=1), 1.0, atol=1e-7)
    assert (f.weights.to_numpy() >= -1e-8).all()


def _direct(pool, mandate, mu, extra, objective=None):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return portfolio_optimize(pool, DATE, objective or MaxIndicator(mu), bnds=mandate["bnds"],
                                  cons=list(mandate["cons"]) + extra, benchmark=mandate["benchmark"],
                                  **CLARABEL).reindex(pool).to_numpy()


def test_each_point_is_a_direct_optimization_at_its_risk_limit(case):
    pool, mandate, mu, f = case
    active = mandate["benchmark"] is not None
    for k in range(1, len(f.table) - 1):
        limit = f.table["limit"][k]
        extra = [vc.TrackingErrorLimit(limit)] if active else [RiskAtMost(limit)]
        np.testing.assert_allclose(f.weights.iloc[k].to_numpy(), _direct(pool, mandate, mu, extra),
                                   atol=1e-5, err_msg="point {}".format(k))
    # the ends: the least-risk portfolio and the highest-return one
    least = MinTrackingError() if active else MinVariance()
    np.testing.assert_allclose(f.weights.iloc[0].to_numpy(), _direct(pool, mandate, mu, [], least), atol=1e-5)
    np.testing.assert_allclose(f.weights.iloc[-1].to_numpy(), _direct(pool, mandate, mu, []), atol=1e-5)


def test_returns_read_on_the_axis_are_the_expected_returns_given(case):
    pool, mandate, mu, f = case
    W = f.weights.to_numpy()
    if mandate["benchmark"] is None:
        np.testing.assert_allclose(f.expected_return, W @ mu.to_numpy(), atol=1e-10)
        return
    # active: the portfolio's expected return less the benchmark's, over its members
    weights = corvana.index_weights(INDEX, corvana.get_previous_trading_date(DATE))
    weights = weights / weights.sum()
    bench_return = float(mu.reindex(weights.index).fillna(0.0) @ weights)
    np.testing.assert_allclose(f.expected_return, W @ mu.to_numpy() - bench_return, atol=1e-10)


def test_interior_points_bind_their_risk_limit_and_name_what_else_binds(case):
    pool, mandate, mu, f = case
    label = f.risk_measure
    assert all(b.startswith(label) for b in f.table["binding"][1:-1])
    assert not f.table["binding"][0].startswith(label)
    # the highest-return end holds as much as its caps allow in the best stocks
    assert "upper bound" in f.table["binding"].iloc[-1]


def test_the_mandate_s_own_portfolio_lies_on_its_frontier(case):
    pool, mandate, mu, f = case
    assert f.mandate is not None
    assert f.risk[0] - 1e-4 <= f.mandate["risk"] <= f.risk[-1] + 1e-4
    # the frontier is concave: the mandate is above the chord of its points...
    chord = np.interp(f.mandate["risk"], f.risk, f.expected_return)
    assert f.mandate["expected_return"] >= chord - 1e-4
    # ...and, a mean-variance portfolio being efficient, it is the frontier at its risk
    limit = f.mandate["risk"]
    extra = [vc.TrackingErrorLimit(limit)] if mandate["benchmark"] else [RiskAtMost(limit)]
    best = _direct(pool, mandate, mu, extra)
    on_axis = f.expected_return[0] + (best - f.weights.iloc[0].to_numpy()) @ mu.to_numpy()
    assert f.mandate["expected_return"] == pytest.approx(on_axis, abs=2e-3)


def test_without_expected_returns_the_history_estimate_is_used(pool):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        f = frontier(pool, DATE, points=3, mandate=False, bnds={"*": (0, 0.2)})
        estimator = MeanVariance()
        portfolio_optimize(pool, DATE, estimator, bnds={"*": (0, 0.2)})
    np.testing.assert_allclose(f.expected_returns.to_numpy(),
                               pd.Series(estimator._expected_returns).reindex(pool).to_numpy())
    assert f.risk_measure == "total risk"


@pytest.mark.parametrize("kwargs, word", [
    (dict(points=1), "points"),
    (dict(points=2.5), "points"),
    (dict(risk="beta"), "risk"),
    (dict(risk="active"), "benchmark"),
    (dict(expected_returns=pd.Series({"000001.XSHE": 0.1})), "expected_returns"),
])
def test_refusals_name_the_argument(pool, kwargs, word):
    with pytest.raises(InvalidArgument, match=word):
        frontier(pool, DATE, mandate=False, **kwargs)


def _config(tmp_path, pool, extra=""):
    path = tmp_path / "mandate.toml"
    path.write_text('date = 2021-06-15\n[pool]\nids = [{}]\n[objective]\ntype = "ActiveMeanVariance"\n'
                    '[benchmark]\nindex = "{}"\n[bounds]\n"*" = [0, 0.2]\n{}'.format(
                        ", ".join('"{}"'.format(i) for i in pool), INDEX, extra), encoding="utf-8")
    return path


def test_the_command_writes_the_points_weights_and_page(pool, tmp_path, capsys):
    from verdalis import cli

    path = _config(tmp_path, pool, '[[constraints]]\ntype = "TrackingErrorLimit"\nupper_limit = 0.3\n')
    assert cli.main(["frontier", str(path), "--points", "5", "--out", str(tmp_path / "out")]) == 0
    out = capsys.readouterr().out
    assert "expected active return against tracking error, 5 points" in out
    assert "The mandate's own portfolio" in out
    points = pd.read_csv(tmp_path / "out" / "frontier.csv", index_col="point")
    weights = pd.read_csv(tmp_path / "out" / "weights.csv", index_col=0)
    assert len(points) == 5 and list(weights.columns) == ["point_{}".format(k) for k in range(5)] + ["mandate"]
    # the csv holds what the page and the terminal show: risk from the weights written
    for k in range(5):
        w = weights["point_{}".format(k)].reindex(pool).to_numpy()
        assert dense_risk(pool, INDEX, w) == pytest.approx(points["risk"][k], rel=1e-6)
    page = (tmp_path / "out" / "frontier.html").read_text(encoding="utf-8")
    assert "<svg id='figure-frontier'" in page and "the mandate's own portfolio" in page.lower()


def test_the_command_says_when_the_limits_cannot_hold(pool, tmp_path, capsys):
    from verdalis import cli

    path = _config(tmp_path, pool, '[[constraints]]\ntype = "StockPoolLimit"\nstock_list = ["{}"]\n'
                                   'lower_limit = 0.5\n'.format(pool[0]))
    assert cli.main(["frontier", str(path), "--points", "3", "--out", str(tmp_path / "out")]) == 4
    err = capsys.readouterr().err
    assert "cannot all hold" in err and "verdalis diagnose" in err


def test_a_frontier_that_cannot_be_drawn_carries_its_diagnosis(pool):
    from verdalis.exception import OptimizationFailed

    cons = [vc.StockPoolLimit([pool[0]], lower_limit=0.5)]
    with pytest.raises(OptimizationFailed) as failure:
        frontier(pool, DATE, bnds={"*": (0.0, 0.2)}, cons=cons, points=3, mandate=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        diagnosis = failure.value.diagnose()
    assert not diagnosis.feasible
    assert set(diagnosis.conflict) >= {"bounds", repr(cons[0])}


def test_soft_limits_that_cannot_hold_are_dropped_and_said(pool):
    mu = returns_for(pool)
    base = dict(objective=MeanVariance(expected_returns=mu), bnds={"*": (0.0, 0.2)}, points=4, mandate=False)
    impossible = vc.StockPoolLimit([pool[0]], lower_limit=0.5, hard=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        dropped = frontier(pool, DATE, cons=[impossible], **base)
        plain = frontier(pool, DATE, **base)
    assert len(dropped.notes) == 1 and "soft ones were dropped" in dropped.notes[0]
    assert "StockPoolLimit" in dropped.notes[0]
    np.testing.assert_allclose(dropped.weights.to_numpy(), plain.weights.to_numpy(), atol=1e-6)


def _min_variance(pool, bnds):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return portfolio_optimize(pool, DATE, MinVariance(), bnds=bnds, **CLARABEL).reindex(pool).to_numpy()


def test_tied_returns_end_at_the_least_risk_of_the_best_portfolios(pool):
    # scores 1..3: every portfolio held in the top-score stocks has the highest
    # return; the frontier ends at the least risky of them
    scores = pd.Series(np.arange(len(pool)) % 3 + 1.0, index=pool)
    top = [s for s in pool if scores[s] == 3.0]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        f = frontier(pool, DATE, MaxIndicator(scores), bnds={"*": (0.0, 0.3)}, points=3, mandate=False)
    best = _min_variance(pool, {**{s: (0.0, 0.0) for s in pool}, **{s: (0.0, 0.3) for s in top}})
    np.testing.assert_allclose(f.weights.iloc[-1].to_numpy(), best, atol=1e-5)
    assert f.expected_return[-1] == pytest.approx(3.0, abs=1e-6)


def test_returns_that_do_not_reward_risk_give_a_one_point_frontier(pool):
    flat = pd.Series(0.05, index=pool)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        f = frontier(pool, DATE, bnds={"*": (0.0, 0.3)}, points=4, mandate=False, expected_returns=flat)
    least = _min_variance(pool, {"*": (0.0, 0.3)})
    for k in range(4):
        np.testing.assert_allclose(f.weights.iloc[k].to_numpy(), least, atol=1e-5)
    assert any("do not reward risk" in n for n in f.notes)
