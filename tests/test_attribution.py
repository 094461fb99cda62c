"""Attribution: factor / specific / cost split of the active return, and the Brinson split."""
import numpy as np
import pandas as pd
import pytest

from verdalis.attribution import GROUPS, brinson, decompose, factor_returns

INDS = ["bank", "chem", "tech"]


def _market(seed, n=60, noise=0.0):
    rng = np.random.default_rng(seed)
    ids = ["{:06d}.XSHE".format(i) for i in range(n)]
    industry = pd.Series([INDS[i % 3] for i in range(n)], index=ids)
    expo = pd.DataFrame(rng.normal(size=(n, 2)), index=ids, columns=["size", "beta"])
    cap = pd.Series(np.exp(rng.normal(22, 1, n)), index=ids)
    # true factor returns meeting the estimator's constraint: cap-weighted industry returns sum to 0
    ind_f = rng.normal(0, 0.02, 3)
    caps = np.array([cap[industry == j].sum() for j in INDS])
    ind_f -= (caps * ind_f).sum() / caps.sum()
    f = pd.Series(np.r_[0.01, ind_f, rng.normal(0, 0.01, 2)], index=["country"] + INDS + ["size", "beta"])
    X = np.c_[np.ones(n), (industry.to_numpy()[:, None] == np.array(INDS)).astype(float), expo.to_numpy()]
    r = pd.Series(X @ f.to_numpy() + noise * rng.standard_normal(n), index=ids)
    w = pd.Series(rng.dirichlet(np.ones(n)) * 0.95, index=ids)  # 5 % cash
    w[w.index[:10]] = 0.0
    b = pd.Series(cap / cap.sum())
    return ids, industry, expo, cap, f, r, w, b


@pytest.mark.parametrize("seed", range(4))
def test_pure_factor_market_has_no_specific_return(seed):
    ids, industry, expo, cap, f_true, r, w, b = _market(seed)
    f = factor_returns(expo, r, cap, industry)
    assert np.allclose(f[f_true.index], f_true, atol=1e-12)
    row = decompose(w, b, r, expo, industry, f)
    assert abs(row["specific"]) < 1e-13
    # the factor parts are the active exposures times the true factor returns
    X = np.c_[np.ones(len(ids)), (industry.to_numpy()[:, None] == np.array(INDS)).astype(float), expo.to_numpy()]
    contrib = (X.T @ (w - b).to_numpy()) * f_true.to_numpy()
    assert row["country"] == pytest.approx(contrib[0], abs=1e-14)
    assert row["industry"] == pytest.approx(contrib[1:4].sum(), abs=1e-14)
    assert row["style"] == pytest.approx(contrib[4:].sum(), abs=1e-14)


@pytest.mark.parametrize("seed, cost, bench_return", [(0, 0.0, None), (1, 0.003, None), (2, 0.01, 0.0123),
                                                      (3, 0.0005, -0.02)])
def test_components_sum_to_the_realised_active_return(seed, cost, bench_return):
    ids, industry, expo, cap, _, r, w, b = _market(seed, noise=0.03)
    f = factor_returns(expo, r, cap, industry)
    # one stock held is unknown to the risk model: all of its return is specific
    w = pd.concat([w * 0.9, pd.Series({"688999.XSHG": 0.095})])
    r = pd.concat([r, pd.Series({"688999.XSHG": 0.2})])
    row = decompose(w, b, r, expo, industry, f, cost, bench_return)
    # realised from raw numbers: the book of w in cash terms after paying kappa
    nav_end = (1 - cost) * (1 + (w * r.reindex(w.index)).sum())
    rb = (b * r.reindex(b.index)).sum() if bench_return is None else bench_return
    assert row["active_return"] == pytest.approx(nav_end - 1 - rb, abs=1e-14)
    parts = row[["country", "industry", "style", "specific", "costs", "benchmark_residual"]].sum()
    assert parts == pytest.approx(row["active_return"], abs=1e-12)
    assert row["allocation"] + row["selection"] == pytest.approx(
        ((w.reindex(r.index).fillna(0) - b.reindex(r.index).fillna(0)) * r).sum(), abs=1e-12)
    assert list(row.index[:len(GROUPS)]) == GROUPS


def test_brinson_known_answer():
    # two industries, benchmark 50/50 with returns 10 % and 0 %; the portfolio holds 80 % of A
    # (earning 12 %) and 20 % of B (earning 1 %)
    w = pd.Series({"a1": 0.8, "b1": 0.2, "a2": 0.0, "b2": 0.0})
    b = pd.Series({"a1": 0.0, "b1": 0.0, "a2": 0.5, "b2": 0.5})
    r = pd.Series({"a1": 0.12, "b1": 0.01, "a2": 0.10, "b2": 0.0})
    industry = pd.Series({"a1": "A", "a2": "A", "b1": "B", "b2": "B"})
    out = brinson(w, b, r, industry)
    # allocation: (0.8-0.5)(0.10-0.05) + (0.2-0.5)(0-0.05) = 0.03; selection: 0.8*0.02 + 0.2*0.01 = 0.018
    assert out["allocation"] == pytest.approx(0.03)
    assert out["selection"] == pytest.approx(0.018)
    # with 10 % cash the underweight in stocks costs the benchmark's return
    out = brinson(w * 0.9, b, r, industry)
    assert out["allocation"] + out["selection"] == pytest.approx(0.9 * (0.8 * 0.12 + 0.2 * 0.01) - 0.05)
