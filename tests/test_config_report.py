"""Config files, the full report and `verdalis run` on the small market."""
import datetime
import inspect
import json
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import verdalis.constraints as vc
import verdalis.objective as vo
from verdalis import cli, config
from verdalis.benchmark import IndexBenchmark
from verdalis.const import CovModel, RiskModel
from verdalis.helper import OptimizeHelper
from verdalis.report import build_report

ROOT = Path(__file__).resolve().parent.parent
DATE = datetime.date(2021, 6, 30)

BASE = """
date = 2021-06-30
[pool]
indices = ["000300.XSHG", "000905.XSHG"]
[objective]
type = "MinTrackingError"
[benchmark]
index = "000300.XSHG"
[bounds]
"*" = [0, 0.2]
"""


@pytest.mark.parametrize("extra, key, problem", [
    ("[colour]\nx = 1", "colour", "unknown key"),
    ("[[constraints]]\ntype = 'TrackingErrorLimit'\nupper_limit = 0.05\n[[constraints]]\ntype = 'Nope'",
     "constraints[1].type", "expected one of"),
    ("[[constraints]]\ntype = 'TrackingErrorLimit'\nuper_limit = 0.05", "constraints[0].uper_limit",
     "unknown parameter of TrackingErrorLimit"),
    # a value the class refuses is reported with the class's own message
    ("[[constraints]]\ntype = 'TrackingErrorLimit'\nupper_limit = -0.05", "constraints[0]",
     "the tracking-error limit -0.05 is not positive"),   # the class's own message, in English
    ("[[constraints]]\ntype = 'IndustryConstraint'\nindustries = '银行'\nclassification = 'GICS'\n"
     "upper_limit = 0.1", "constraints[0].classification", "expected one of SWS, CITICS"),
    ("[risk]\ncov_model = 'hourly'", "risk.cov_model", "expected one of FACTOR_MODEL_DAILY"),
    ("[risk]\nfactor_risk_aversion = 'high'", "risk.factor_risk_aversion", "expected a number"),
    ("[solver]\nname = 3", "solver.name", "solver name"),
])
def test_bad_configs_name_the_key_path(extra, key, problem):
    with pytest.raises(config.ConfigError) as info:
        config.loads(BASE + extra, source="mandate.toml")
    assert info.value.key == key and problem in info.value.problem
    assert str(info.value).startswith("mandate.toml: " + key + ": ")


@pytest.mark.parametrize("text, key", [
    ("date = 2021-06-30\n[objective]\ntype = 'MinVariance'", "pool"),
    ("date = 'June'\n[pool]\nindex = 'X'\n[objective]\ntype = 'MinVariance'", "date"),
    ("date = 2021-06-30\n[pool]\nindex = 'X'\nids = ['A']\n[objective]\ntype = 'MinVariance'", "pool"),
    ("date = 2021-06-30\n[pool]\nids = []\n[objective]\ntype = 'MinVariance'", "pool.ids"),
    (BASE.replace('"*" = [0, 0.2]', '"*" = [0]'), 'bounds."*"'),
    ("date = 2021-06-30\n[pool]\nindex = 'X'\n[objective]\ntype = 'MeanVariance'\n"
     "transaction_cost_model = 'bps'", "objective.transaction_cost_model"),
])
def test_structural_errors(text, key):
    with pytest.raises(config.ConfigError) as info:
        config.loads(text)
    assert info.value.key == key


@pytest.mark.parametrize("cls_module, table", [(vo, config.objective_classes), (vc, config.constraint_classes)])
def test_every_class_of_the_modules_can_be_named_in_a_config(cls_module, table):
    # a class added to a module is known to the config reader and writer
    kinds = table()
    public = {n for n, v in vars(cls_module).items() if isinstance(v, type) and not n.startswith("_")
              and n not in ("ABCMeta", "OptimizationObjective", "OptimizationConstraint")
              and v.__module__ == cls_module.__name__}
    assert public <= set(kinds)


def test_examples_round_trip():
    for path in sorted((ROOT / "examples").glob("*.toml")):
        loaded = config.load(path)
        assert config.loads(config.dumps(loaded)).to_dict() == loaded.to_dict(), path.name


def test_objects_round_trip_through_a_config(tmp_path):
    holding = pd.Series({"000001.XSHE": 0.6, "000002.XSHE": 0.4})
    cons = [vc.TrackingErrorLimit(0.05, hard=False),
            vc.WildcardIndustryConstraint(lower_limit="-2%", upper_limit=0.02, relative=True),
            vc.wildcard_style_constraint(exclude="size", lower_limit=-0.2, upper_limit=0.2, relative=True),
            vc.IndustryComponentLimit("银行", upper_limit=0.3, classification={"000001.XSHE": "银行"}),
            vc.TurnoverLimit(holding, 0.3),
            vc.TransactionVolumeLimit(upper_limit=0.1, current_holding=holding * 1e5, cash=1e6, window=20)]
    objective = vo.ActiveMeanVariance(expected_active_returns={"000001.XSHE": 0.1}, risk_aversion_coefficient=2)
    written = config.from_objects(DATE, ["000001.XSHE", "000002.XSHE"], objective, {"*": (0, 0.5)}, cons,
                                  "000300.XSHG", risk={"cov_model": "FACTOR_MODEL_MONTHLY"})
    path = config.save(written, tmp_path / "mandate.toml")
    loaded = config.load(path)
    built = loaded.build()
    assert [repr(c) for c in built["cons"]] == [repr(c) for c in cons]
    assert built["objective"]._risk_aversion_coefficient == 2
    assert built["cov_model"] is CovModel.FACTOR_MODEL_MONTHLY and built["bnds"] == {"*": (0, 0.5)}
    # every build is fresh: an estimate cached by one optimization never reaches the next
    assert loaded.build()["objective"] is not built["objective"]


def test_holding_from_a_csv_next_to_the_config(tmp_path):
    (tmp_path / "held.csv").write_text("order_book_id,weight\n000001.XSHE,0.7\n000002.XSHE,0.3\n")
    loaded = config.loads(BASE + "[[constraints]]\ntype = 'TurnoverLimit'\ncurrent_holding = 'held.csv'\n"
                                 "upper_limit = 0.2", base=tmp_path)
    [turnover] = loaded.build()["cons"]
    assert turnover._current_holding.to_dict() == {"000001.XSHE": 0.7, "000002.XSHE": 0.3}


# ----------------------------------------------------------------------------------- report

@pytest.fixture(scope="module")
def enhanced(small_market):
    loaded = config.loads(BASE + "[[constraints]]\ntype = 'TrackingErrorLimit'\nupper_limit = 0.1\n")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        weights = loaded.optimize()
    return weights


def test_risk_decomposition_adds_up_and_matches_the_dense_covariance(enhanced):
    report = build_report(enhanced, DATE, "000300.XSHG")
    ids = list(report.weights.index)
    h = OptimizeHelper(ids, DATE, IndexBenchmark("000300.XSHG"), CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1, 1)
    w = report.weights.to_numpy()
    cov = np.asarray(h.get_cov_matrix())
    risk = report.risk
    assert risk["factor_variance"] + risk["specific_variance"] == pytest.approx(risk["total_variance"], rel=1e-12)
    assert risk["total_variance"] == pytest.approx(w @ cov @ w, rel=1e-9)
    assert report.factor_groups["variance"].sum() == pytest.approx(risk["total_variance"], rel=1e-9)
    assert report.stocks["contribution"].sum() == pytest.approx(risk["total_risk"], rel=1e-9)
    active = np.r_[w, np.zeros(len(h.union_components) - len(ids))] - h.benchmark_weight.to_numpy()
    te = np.sqrt(active @ np.asarray(h.get_union_cov_matrix()) @ active)
    assert risk["tracking_error"] == pytest.approx(te, rel=1e-9)
    assert report.industries["active"].sum() == pytest.approx(0.0, abs=1e-9)
    assert report.holdings["effective_number"] == pytest.approx(1 / (w @ w))


def test_run_writes_weights_json_and_a_complete_page(small_market, tmp_path, capsys):
    path = tmp_path / "mandate.toml"
    path.write_text(BASE + "[[constraints]]\ntype = 'TrackingErrorLimit'\nupper_limit = 0.1\n")
    assert cli.main(["run", str(path), "--out", str(tmp_path / "out")]) == 0
    out = tmp_path / "out"
    weights = pd.read_csv(out / "weights.csv", index_col=0)["weight"]
    assert weights.sum() == pytest.approx(1.0)
    data = json.loads((out / "report.json").read_text(encoding="utf-8"))
    assert set(data["weights"]) == set(weights.index)
    assert data["risk"]["factor_variance"] + data["risk"]["specific_variance"] == \
        pytest.approx(data["risk"]["total_variance"])
    page = (out / "report.html").read_text(encoding="utf-8")
    for name in ("holdings", "industries", "styles", "risk"):
        assert "<svg id='figure-{}'".format(name) in page
    for section in ("constraints", "risk", "stocks", "styles", "industries"):
        assert "id='{}'".format(section) in page
    assert "TrackingErrorLimit(0.1)" in page
    assert "tracking error" in capsys.readouterr().out


@pytest.mark.parametrize("text, code, message", [
    (BASE + "colour = 1", cli.EXIT_CONFIG, "verdalis: config error: "),
    # caps of 0.0001 on ~25 stocks: the bounds alone cannot make a portfolio
    (BASE.replace("0.2]", "0.0001]"), cli.EXIT_DATA, "the upper bounds sum to less than 1"),
    (BASE + "[[constraints]]\ntype = 'StockPoolLimit'\nstock_list = ['000001.XSHE']\nlower_limit = 0.9\n",
     cli.EXIT_INFEASIBLE, "failed"),
])
def test_run_exit_codes(small_market, tmp_path, capsys, text, code, message):
    path = tmp_path / "mandate.toml"
    path.write_text(text)
    assert cli.main(["run", str(path), "--out", str(tmp_path / "out")]) == code
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err
