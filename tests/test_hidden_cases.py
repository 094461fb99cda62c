"""Cases a quiet test day hides, on the shared fixtures of conftest.py: an index
rebalance between the data date and the day, a suspension, a split, a book that
leaves benchmark members out, percentage limits, constraints with equal repr,
trading costs and weekly rebalancing over a year end.  Every number is checked
against a computation from the raw store tables, not the package's helpers."""
import datetime
import warnings

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import corvana
import verdalis.constraints as vc
from verdalis import backtest, checkpoint, cli, config
from verdalis import sweep as sweeps
from verdalis.diagnose import diagnose
from verdalis.exception import OptimizationFailed
from verdalis.objective import MaxSharpeRatio, MinTrackingError, MinVariance, RiskParity
from verdalis.optimize import portfolio_optimize
from verdalis.report import build_report

from test_config_report import BASE as MANDATE  # the plain index mandate

INDEX = "000300.XSHG"
DATE = datetime.date(2021, 6, 15)


def quiet(call, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return call(*args, **kwargs)


@pytest.fixture(scope="module")
def pool(small_market):
    prev = corvana.get_previous_trading_date(DATE)
    stocks = corvana.all_instruments(type="CS", date=prev)
    seasoned = stocks.loc[stocks["listed_date"] < "2020-01-01", "order_book_id"].tolist()
    return sorted(corvana.get_risk_exposure(seasoned, prev).index.tolist())[:30]


def bench_weights(index, day):
    """The index's member weights on `day`, from the raw weights table."""
    w = corvana.index_weights(index, day)
    return w / w.sum()


# ----------------------------------------------------------------- the core

@pytest.mark.parametrize("objective", [MaxSharpeRatio(expected_returns=None), RiskParity()],
                         ids=["max-sharpe", "risk-parity"])
def test_a_lower_limit_holds_under_the_ratio_objectives(pool, objective):
    # the ratio objectives scale the weights by a variable: a floor compared
    # with the unscaled limit gives the list 0.17 or 0.32 here, not 0.6
    chosen = pool[-4:]
    free = quiet(portfolio_optimize, pool, DATE, objective)
    assert free.reindex(chosen).sum() < 0.5            # the floor binds
    w = quiet(portfolio_optimize, pool, DATE, objective, cons=[vc.StockPoolLimit(chosen, lower_limit=0.6)])
    assert w.reindex(chosen).sum() >= 0.6 - 2e-4
    assert w.sum() == pytest.approx(1.0, abs=1e-9)


def test_index_members_are_read_on_the_day_before(membership_change):
    index, day, prev, left, joined = membership_change
    members = set(corvana.index_components(index, prev))   # the data date's members
    pool = sorted(set(corvana.index_components(index, day)) | set(left))
    # all weight in the members: the stocks that joined today may not be held,
    # one that left today must be (its floor is only feasible on yesterday's list)
    w = quiet(portfolio_optimize, pool, day, MinVariance(), bnds={"*": (0, 1), left[0]: (0.05, 1)},
              cons=[vc.IndexComponentLimit(index, lower_limit=1.0)])
    assert w.reindex(sorted(members & set(pool))).sum() >= 1 - 2e-4
    assert w.reindex(joined).fillna(0).max() <= 2e-4
    assert w[left[0]] >= 0.05 - 2e-4


@pytest.mark.parametrize("bnds", [{"*": (0, 0.06)}, {"*": (0.01, 0.08)}], ids=["caps", "floors and caps"])
def test_weights_meet_their_bounds_exactly_under_scs(pool, bnds):
    # SCS meets the bounds to its tolerance only; the final projection must
    # bring every weight inside its own bounds, not merely inside [0, 1]
    lower, upper = bnds["*"]
    w = quiet(portfolio_optimize, pool, DATE, MinTrackingError(), bnds=bnds, benchmark=INDEX, solver="SCS")
    assert (w <= upper).all() and (w >= lower).all()
    assert ((w == upper) | (w == lower) & (lower > 0)).sum() >= 3     # the bounds bind
    assert w.sum() == pytest.approx(1.0, abs=1e-12)


# ------------------------------------------------------------------ diagnosis

class Held(vc.OptimizationConstraint):
    """A user's constraint: stock k holds at least `share`; its repr the same
    whatever k and the share."""

    def __init__(self, k, share):
        self.k, self.share = k, share

    def to_constraints(self, g, zeta, helper):
        return [g[self.k] >= zeta * self.share]

    @property
    def hard(self):
        return True

    def __repr__(self):
        return "Held()"


class Floor(vc.OptimizationConstraint):
    """A user's constraint on every stock: at least `share` each (soft), its
    repr the same whatever the share."""

    def __init__(self, share, hard=False):
        self.share, self._hard = share, hard

    def to_constraints(self, g, zeta, helper):
        return [g >= zeta * self.share]

    @property
    def hard(self):
        return self._hard

    def __repr__(self):
        return "Floor()"


def test_turnover_rows_read_in_one_way_turnover(pool):
    held = pd.Series(1 / 6, index=pool[:6])
    for limit in (0.3, 0.9):                       # binding, then slack
        result = quiet(diagnose, pool, DATE, MinVariance(), cons=[vc.TurnoverLimit(held, limit)])
        w = result.weights
        union = w.index.union(held.index)
        expected = (w.reindex(union, fill_value=0) - held.reindex(union, fill_value=0)).abs().sum() / 2
        [row] = result.groups[result.groups["item"] == "turnover"].itertuples()
        assert row.value == pytest.approx(expected, abs=1e-6) and row.limit == limit
        assert row.value <= limit + 1e-6


def test_a_percentage_relative_limit_gets_the_percentage_needed(pool):
    prev = corvana.get_previous_trading_date(DATE)
    industry = corvana.get_industry(pool, "sws").reindex(pool)
    bench = bench_weights(INDEX, prev)
    bench_industry = bench.groupby(corvana.get_industry(list(bench.index), "sws").reindex(bench.index)).sum()
    top = bench_industry.reindex(industry.unique()).idxmax()
    b = float(bench_industry[top])
    floor = min(2.5 * b, 0.9)
    cap = vc.IndustryConstraint(top, upper_limit="+5%", relative=True)
    result = quiet(diagnose, pool, DATE, MinVariance(), benchmark=INDEX,
                   cons=[cap, vc.StockPoolLimit(list(industry[industry == top].index), lower_limit=floor)])
    assert not result.feasible
    row = result.relaxations.set_index(["group", "parameter"]).loc[(repr(cap), "upper_limit")]
    needed = float(row["needed"].rstrip("%"))
    # the industry may hold `floor`: the benchmark's weight b times (1 + x/100)
    assert needed == pytest.approx((floor / b - 1) * 100, abs=1e-2)


def test_violated_per_stock_rows_of_dropped_constraints_are_listed(pool):
    share = 1.5 / len(pool)                    # 30 floors of 0.05 cannot hold with a budget of 1
    floor = Floor(share)
    result = quiet(diagnose, pool, DATE, MinVariance(), cons=[floor])
    assert not result.feasible and result.dropped == [repr(floor)]
    rows = result.groups[result.groups["group"] == repr(floor)].set_index("item")
    w = result.weights.reindex(pool).fillna(0)
    below = w[w < share - 1e-6]
    assert len(below) > 0
    assert set(below.index) <= set(rows.index)
    np.testing.assert_allclose(rows.loc[below.index, "violation"], share - below, atol=1e-6)


def test_constraints_with_the_same_repr_are_told_apart(pool):
    first, second = Held(0, 0.0), Held(1, 0.05)
    assert repr(first) == repr(second)
    result = quiet(diagnose, pool, DATE, MinVariance(), cons=[first, second])
    groups = result.groups
    named = [g for g in groups["group"].unique() if g.startswith("Held()")]
    assert len(named) == 2
    # each group's row reads its own stock's weight against its own floor
    w = result.weights.reindex(pool).fillna(0)
    rows = sorted(((float(r.limit), float(r.value)) for r in groups[groups["group"].isin(named)].itertuples()))
    assert rows == [pytest.approx((0.0, w.iloc[0]), abs=1e-6), pytest.approx((0.05, w.iloc[1]), abs=1e-6)]


# ------------------------------------------------------------------ backtest

@pytest.fixture(scope="module")
def mandate(small_market):
    return config.loads(MANDATE + "[[constraints]]\ntype = 'TurnoverLimit'\ncurrent_holding = {}\n"
                                  "upper_limit = 0.3\n")


def drifted(weights, start, stop):
    """`weights` bought at the close of the day before `start`, carried to the close of `stop`."""
    rates = corvana.get_price_change_rate(list(weights.index), start, stop).fillna(0.0)
    return weights * (1 + rates).prod()


def test_weekly_rebalancing_with_costs_over_a_year_end(mandate, weekly_across_new_year, cost_bps):
    start, end = weekly_across_new_year
    res = backtest.run(mandate, start, end, "weekly", cost_bps=cost_bps, progress=False)
    days = corvana.get_trading_dates(start, end)
    mondays = [d for k, d in enumerate(days) if k == 0 or
               d - datetime.timedelta(days=d.weekday()) != days[k - 1] - datetime.timedelta(days=days[k - 1].weekday())]
    assert [d.date() for d in res.weights.index] == mondays
    assert any(d.year == 2020 for d in mondays) and any(d.year == 2021 for d in mondays)
    # the book: bought from cash, then drifted and traded; each trade pays
    # cost_bps of the value traded
    value, held, nav = 1.0, None, {}
    for k, date in enumerate(res.weights.index):
        w = res.weights.loc[date]
        w = w[w > 0]
        if held is None:
            turnover = w.abs().sum()                        # from cash: all of it is bought
        else:
            grown = drifted(held, res.weights.index[k - 1].date(), corvana.get_previous_trading_date(date))
            value = float(grown.sum()) * value
            before = grown / grown.sum()
            union = before.index.union(w.index)
            turnover = (w.reindex(union, fill_value=0) - before.reindex(union, fill_value=0)).abs().sum() / 2
        assert res.turnover.loc[date] == pytest.approx(turnover, abs=1e-9)
        cost = value * turnover * cost_bps / 1e4
        assert res.rebalances.loc[date, "cost"] / 1e9 == pytest.approx(cost, rel=1e-9)
        value -= cost
        held = w
        nav[date] = value
    last = res.weights.index[-1]
    final = value * float(drifted(held, last.date(), end).sum())
    assert res.nav["portfolio"].iloc[-1] == pytest.approx(final, rel=1e-10)
    assert res.summary["total_costs"] / 1e9 == pytest.approx(sum(
        res.rebalances["cost"]) / 1e9, rel=1e-12)


@pytest.mark.parametrize("with_costs", [False, True], ids=["no costs", "costs"])
def test_a_suspended_holding_keeps_its_shares(mandate, suspension, cost_bps, with_costs):
    ob, first, last = suspension
    before = corvana.get_previous_trading_date(first, 5)
    bps = cost_bps if with_costs else 0.0
    res = backtest.run(mandate, before, last, [before, first], cost_bps=bps, progress=False)
    w0 = res.weights.iloc[0]
    assert w0.get(ob, 0) > 0                        # held when it stops trading
    assert "suspended, kept: {}".format(ob) in res.rebalances.loc[pd.Timestamp(first), "notes"]
    # shares unchanged: its value through the trade and its suspension is the
    # value bought, grown by its own price (unchanged while it is suspended)
    bought = corvana.get_previous_trading_date(before)
    nav = res.nav["portfolio"]
    value = nav.loc[pd.Timestamp(bought)] * (1 - bps / 1e4) * w0[ob]    # from cash, all bought
    close = corvana.get_price(ob, bought, last, fields="close", adjust_type="post")["close"].droplevel(0)
    held_until = corvana.get_previous_trading_date(first)
    expected = value * close.loc[pd.Timestamp(held_until)] / close.loc[pd.Timestamp(bought)]
    cost = res.rebalances.loc[pd.Timestamp(first), "cost"] / 1e9
    w1 = res.weights.loc[pd.Timestamp(first), ob]
    navs = nav.loc[pd.Timestamp(held_until)]
    assert w1 * navs == pytest.approx(expected, rel=1e-9)     # the weight kept, of the NAV before costs
    # after the trade: the suspended stock at its value, the cost paid from the rest
    t = res.weights.loc[pd.Timestamp(first)]
    t = t[t > 0]
    days = nav.loc[pd.Timestamp(first):pd.Timestamp(last)].index
    growth = (1 + corvana.get_price_change_rate(list(t.index), first, last).fillna(0.0)).cumprod().loc[days]
    rest = t.drop(ob)
    expected_nav = (w1 * navs * growth[ob]
                    + (navs - cost - w1 * navs) * (growth[rest.index] * rest).sum(axis=1) / rest.sum())
    np.testing.assert_allclose(nav.loc[days].to_numpy(), expected_nav.to_numpy(), rtol=1e-12)
    assert (cost > 0) == with_costs


def test_a_split_moves_no_value(mandate, split):
    ob, day = split
    start = corvana.get_previous_trading_date(day, 3)
    res = backtest.run(config.loads(MANDATE), start, corvana.get_next_trading_date(day, 2), [start],
                       progress=False)
    w = res.weights.iloc[0]
    assert w.get(ob, 0) > 0
    # the NAV on the split day moves with the adjusted return of each holding
    bought = corvana.get_previous_trading_date(start)      # the book is set at this close
    prices = corvana.get_price(list(w[w > 0].index), bought, day, fields="close",
                               adjust_type="post")["close"].unstack(0)
    grown = (w[w > 0] * prices.loc[pd.Timestamp(day)] / prices.loc[pd.Timestamp(bought)]).sum()
    nav = res.nav["portfolio"]
    assert nav.loc[pd.Timestamp(day)] == pytest.approx(grown, rel=1e-9)


def test_a_checkpoint_is_used_only_when_resuming(mandate, tmp_path, monkeypatch):
    from verdalis import optimize

    real, calls = optimize.portfolio_optimize, []
    start, end = datetime.date(2021, 3, 1), datetime.date(2021, 5, 31)

    def interrupted(*args, **kwargs):
        calls.append(1)
        if len(calls) == 2:
            raise KeyboardInterrupt
        return real(*args, **kwargs)

    monkeypatch.setattr(optimize, "portfolio_optimize", interrupted)
    with pytest.raises(KeyboardInterrupt):
        backtest.run(mandate, start, end, "monthly", out=tmp_path, progress=False)
    assert checkpoint.exists(tmp_path)
    counted = []

    def counting(*args, **kwargs):
        counted.append(1)
        return real(*args, **kwargs)

    monkeypatch.setattr(optimize, "portfolio_optimize", counting)
    fresh = backtest.run(mandate, start, end, "monthly", out=tmp_path, progress=False)
    assert len(counted) == len(fresh.weights) == 3      # every date solved again


@pytest.mark.parametrize("key", ["constraints[1].upper_limit", "constraints[7].upper_limit",
                                 "constraint[0].upper_limit"])
def test_a_grid_key_naming_no_constraint_is_refused(mandate, key, monkeypatch):
    monkeypatch.setattr(sweeps, "run", lambda *a, **k: pytest.fail("ran a point"))
    with pytest.raises(ValueError, match=r"grid key '{}'".format(key.replace("[", r"\[").replace("]", r"\]"))):
        sweeps.sweep(mandate, {key: [0.1]}, datetime.date(2021, 3, 1), datetime.date(2021, 4, 30), max_workers=1)


# ----------------------------------------------------------- config and CLI

@pytest.mark.parametrize("pair", ["[true, 0.2]", "[0, false]", "[0]", "[0, 0.1, 0.2]", "['0', 0.2]"])
def test_bounds_that_are_not_two_numbers_are_refused(pair):
    text = MANDATE.replace('"*" = [0, 0.2]', '"*" = {}'.format(pair))
    with pytest.raises(config.ConfigError, match=r'bounds\."\*"'):
        config.loads(text)


def test_a_run_whose_soft_constraints_were_dropped_succeeds(small_market, tmp_path, capsys):
    path = tmp_path / "mandate.toml"
    path.write_text(MANDATE + "[[constraints]]\ntype = 'StockPoolLimit'\nstock_list = ['000001.XSHE']\n"
                              "lower_limit = 0.9\nhard = false\n")
    assert cli.main(["run", str(path), "--out", str(tmp_path / "out")]) == 0
    assert "without the soft constraints" in capsys.readouterr().err
    weights = pd.read_csv(tmp_path / "out" / "weights.csv", index_col=0)["weight"]
    assert weights.sum() == pytest.approx(1.0) and weights.max() <= 0.2 + 1e-9


# ------------------------------------------------------------------ report

def test_active_risk_of_a_book_that_leaves_members_out(partial_holding):
    weights, date = partial_holding
    prev = corvana.get_previous_trading_date(date)
    report = quiet(build_report, weights, date, INDEX)
    bench = bench_weights(INDEX, prev)
    ids = sorted(set(weights.index) | set(bench.index))
    assert set(bench.index) - set(weights.index)      # members left out
    active = weights.reindex(ids, fill_value=0) - bench.reindex(ids, fill_value=0)
    raw = corvana.get_risk_exposure(ids, prev).reindex(ids)
    F = corvana.get_factor_covariance(prev)
    X = pd.DataFrame(0.0, index=ids, columns=F.index)
    X["country"] = 1.0
    for ob, industry in raw["industry"].items():
        X.loc[ob, industry] = 1.0
    styles = [c for c in raw.columns if c != "industry"]
    X[styles] = raw[styles].astype(float)
    spec = corvana.get_specific_risk(ids, prev).reindex(ids)
    x = X.to_numpy().T @ active.to_numpy()
    factor = float(x @ F.to_numpy() @ x)
    specific = float((spec.to_numpy() * active.to_numpy() ** 2).sum())
    te = report.risk["tracking_error"]
    ratio = te ** 2 / (factor + specific)     # the same annualisation for both parts
    assert report.risk["active_factor_variance"] == pytest.approx(ratio * factor, rel=1e-6)
    assert report.risk["active_specific_variance"] == pytest.approx(ratio * specific, rel=1e-6)
    assert ratio == pytest.approx(252, rel=1e-6)


# ------------------------------------------- what the mutation pass turned up

@pytest.mark.parametrize("key, value, expected", [
    ("risk.factor_risk_aversion", 2.0, {"factor_risk_aversion": 2.0}),       # a table the config lacks
    ("objective.type", "MinVariance", None),                                  # a table it has
    ("constraints[0].upper_limit", 0.1, None),
])
def test_grid_keys_reach_their_value(mandate, key, value, expected):
    raw = mandate.to_dict()
    changed = sweeps._with_value(raw, key, value)
    node = changed
    for part in key.split(".")[:-1]:
        name, _, index = part.partition("[")
        node = node[name] if not index else node[name][int(index[:-1])]
    assert node[key.split(".")[-1]] == value
    if expected is not None:
        assert node == expected
    assert raw == mandate.to_dict()                     # the original is left as it was


def test_the_sweep_command_passes_its_options_on(small_market, tmp_path, monkeypatch, capsys):
    seen = {}

    def fake(config_path, grid, start, end, rebalance, **kwargs):
        seen.update(grid=grid, rebalance=rebalance, **kwargs)
        return pd.DataFrame({"annual_return": [0.1]}, index=pd.Index([0.1], name="x"))

    monkeypatch.setattr(sweeps, "sweep", fake)
    path = tmp_path / "m.toml"
    path.write_text(MANDATE)
    assert cli.main(["sweep", str(path), "--start", "2021-03-01", "--end", "2021-04-30", "--grid",
                     "constraints[0].upper_limit=0.1,0.2", "--workers", "1", "--cost-bps", "5"]) == 0
    assert seen["max_workers"] == 1 and seen["cost_bps"] == 5.0
    assert seen["grid"] == {"constraints[0].upper_limit": [0.1, 0.2]}
    assert cli.main(["sweep", str(path), "--start", "2021-03-01", "--end", "2021-04-30",
                     "--grid", "nonsense"]) == cli.EXIT_DATA
    assert "--grid 'nonsense'" in capsys.readouterr().err


@pytest.mark.parametrize("command", ["run", "diagnose", "backtest", "sweep", "demo"])
def test_every_command_takes_the_short_verbose_flag(command, capsys):
    with pytest.raises(SystemExit):
        cli.main([command, "--help"])
    assert "-v, --verbose" in capsys.readouterr().out


def test_the_run_report_uses_the_configs_covariance_model(small_market, tmp_path):
    import json

    path = tmp_path / "m.toml"
    path.write_text(MANDATE + "[risk]\ncov_model = 'FACTOR_MODEL_QUARTERLY'\n"
                              "[[constraints]]\ntype = 'TrackingErrorLimit'\nupper_limit = 0.1\n")
    assert cli.main(["run", str(path), "--out", str(tmp_path / "out")]) == 0
    data = json.loads((tmp_path / "out" / "report.json").read_text(encoding="utf-8"))
    weights = pd.Series(data["weights"])
    date = datetime.date(2021, 6, 30)
    from verdalis.const import CovModel

    quarterly = quiet(build_report, weights, date, INDEX, cov_model=CovModel.FACTOR_MODEL_QUARTERLY)
    daily = quiet(build_report, weights, date, INDEX)
    assert data["risk"]["total_risk"] == pytest.approx(quarterly.risk["total_risk"], rel=1e-9)
    assert daily.risk["total_risk"] != pytest.approx(quarterly.risk["total_risk"], rel=1e-6)
    assert data["data_date"] == str(corvana.get_previous_trading_date(date))
    rows = data["constraints"]
    assert {r["group"] for r in rows} >= {"TrackingErrorLimit(0.1)"}


def test_pool_and_index_rows_are_labelled_weight_held(pool):
    cons = [vc.StockPoolLimit(pool[:5], upper_limit=0.3), vc.IndexComponentLimit(INDEX, upper_limit=0.9)]
    result = quiet(diagnose, pool, DATE, MinVariance(), benchmark=INDEX, cons=cons)
    groups = result.groups
    for c in cons:
        assert groups.loc[groups["group"] == repr(c), "item"].tolist() == ["weight held"]


@pytest.mark.parametrize("objective", [MinVariance(), MaxSharpeRatio(expected_returns=None)],
                         ids=["min-variance", "max-sharpe"])
def test_a_diagnosis_reads_every_row_at_the_weights(pool, objective):
    # bounds without other constraints still get their prices; a user's own
    # row reads at the weights returned, whatever the objective's scale
    cons = [Held(0, 0.05)]
    for kwargs in (dict(bnds={"*": (0, 0.06)}), dict(bnds={"*": (0, 0.06)}, cons=cons)):
        result = quiet(diagnose, pool, DATE, objective, **kwargs)
        w = result.weights.reindex(pool).fillna(0)
        bounds = result.groups[result.groups["group"] == "bounds"].set_index("item")
        capped = w[w >= 0.06 - 1e-6].index
        assert len(capped) and set(capped) <= set(bounds.index)
        if isinstance(objective, MinVariance):
            assert (bounds.loc[capped, "shadow_price"] > 0).any()
        if "cons" in kwargs:
            [held] = result.groups.loc[result.groups["group"] == "Held()", "value"]
            assert held == pytest.approx(w.iloc[0], abs=1e-6)


@pytest.mark.parametrize("cap_sum", [1 - 5e-10, 1.0])
def test_caps_that_only_just_reach_the_budget_still_give_a_full_budget(pool, cap_sum):
    # caps summing to 1 within the tolerance the bounds parser allows: the
    # projection cannot reach 1 inside them and spreads the rest evenly
    ten = pool[:10]
    w = quiet(portfolio_optimize, ten, DATE, MinVariance(), bnds={"*": (0, cap_sum / 10)})
    assert abs(w.sum() - 1.0) < 1e-12
    assert (w <= cap_sum / 10 + 1e-9).all()


@pytest.mark.parametrize("values, cash, expected", [
    ({"A": 0.3, "B": 0.2}, 0.0, {"A": 0.6, "B": 0.4}),        # a book worth less than one unit
    ({"A": 300.0, "B": 100.0}, 100.0, {"A": 0.6, "B": 0.2}),
    ({"A": 0.0}, 0.0, {"A": 0.0}),                           # nothing left: no division by zero
])
def test_book_weights_are_values_over_the_nav(values, cash, expected):
    book = backtest._Book(cash)
    book.values = pd.Series(values, dtype=float)
    assert book.weights().to_dict() == pytest.approx(expected)


def test_component_share_rows_read_upper_and_lower(pool):
    industry = corvana.get_industry(pool, "sws").reindex(pool)
    top = industry.value_counts().index[0]
    members = list(industry[industry == top].index)
    limit = vc.IndustryComponentLimit(top, upper_limit=0.4)
    result = quiet(diagnose, pool, DATE, MinVariance(), bnds={"*": (0, 0.2), members[0]: (0.1, 0.2)},
                   cons=[limit])
    rows = result.groups[result.groups["group"] == repr(limit)]
    w = result.weights.reindex(pool).fillna(0)
    share = w[members] / w[members].sum()
    assert len(rows) and set(rows["side"]) == {"upper"}
    for r in rows.itertuples():
        assert r.value == pytest.approx(share[r.item], abs=1e-6) and r.limit == 0.4


@pytest.mark.parametrize("grid, names, index", [
    ({"constraints[0].upper_limit": [0.2, 0.3]}, ["constraints[0].upper_limit"], [0.2, 0.3]),
    ({"constraints[0].upper_limit": [0.2, 0.3], "risk.factor_risk_aversion": [1.0, 2.0]},
     ["constraints[0].upper_limit", "risk.factor_risk_aversion"],
     [(0.2, 1.0), (0.2, 2.0), (0.3, 1.0), (0.3, 2.0)]),
], ids=["one key", "two keys"])
def test_a_sweep_frame_is_indexed_by_its_keys(mandate, monkeypatch, grid, names, index):
    # each point's summary carries the values the point ran with: the rows
    # must line up with the index, in the grid's order
    from types import SimpleNamespace

    def run(config, *args, **kwargs):
        raw = config.to_dict()
        return SimpleNamespace(summary={"limit": raw["constraints"][0]["upper_limit"],
                                        "aversion": raw.get("risk", {}).get("factor_risk_aversion")})

    monkeypatch.setattr(sweeps, "run", run)
    frame = sweeps.sweep(mandate, grid, datetime.date(2021, 3, 1), datetime.date(2021, 4, 30),
                         max_workers=1, progress=False)
    assert list(frame.index.names) == names and list(frame.index) == index
    assert list(frame["limit"]) == [p[0] if isinstance(p, tuple) else p for p in index]
    if len(names) == 2:
        assert list(frame["aversion"]) == [p[1] for p in index]
