"""Classes publish their parameters (get_params, from the table that makes
their repr), say whether they read a holding, and the compiled modules export
only the package's names; one coercion with one documented difference."""
import datetime
import inspect
from pathlib import Path

import pandas as pd
import pytest

import verdalis.benchmark as vb
import verdalis.constraints as vc
import verdalis.objective as vo
import verdalis.optimize as vopt
from corvana.coerce import member
from verdalis import config
from verdalis.const import CovModel, IndustryClassification, RiskModel
from verdalis.exception import InvalidArgument

ROOT = Path(__file__).resolve().parents[1]
HOLDING = pd.Series({"000001.XSHE": 0.6, "000002.XSHE": 0.4})

# One object of every class, with parameters away from their defaults.
OBJECTS = [
    vo.MinVariance(), vo.MinActiveVariance(), vo.MinTrackingError(), vo.RiskParity(),
    vo.MeanVariance(expected_returns={"000001.XSHE": 0.1}, window=60, risk_aversion_coefficient=2),
    vo.ActiveMeanVariance(expected_active_returns={"000001.XSHE": 0.05}, window=120),
    vo.MaxSharpeRatio(window=30), vo.MaxInformationRatio(expected_active_returns={"000002.XSHE": 0.1}),
    vo.MaxIndicator({"000001.XSHE": 1.0, "000002.XSHE": 2.0}),
    vo.MinStyleDeviation({"size": 0.5}, relative=True, priority={"size": 3}),
    vc.TrackingErrorLimit(0.05, hard=False),
    vc.TurnoverLimit(HOLDING, 0.3),
    vc.BenchmarkComponentWeightLimit(0.8),
    vc.IndustryConstraint(["银行"], lower_limit="-2%", upper_limit=0.1, relative=True,
                          classification=IndustryClassification.CITICS),
    vc.WildcardIndustryConstraint(exclude=["银行"], upper_limit=0.2),
    vc.StyleConstraint("size", lower_limit=-0.2, upper_limit=0.2),
    vc.IndustryComponentLimit("银行", upper_limit=0.3, classification={"000001.XSHE": "银行"}),
    vc.IndexComponentLimit("000300.XSHG", lower_limit=0.7),
    vc.StockPoolLimit(["000001.XSHE"], upper_limit=0.2, hard=False),
    vc.TransactionVolumeLimit(upper_limit=0.1, current_holding=HOLDING * 1e5, cash=1e6, window=20),
    vc.TransactionMarketValueLimit(upper_limit=0.2, cash=5e5, stock_list=["000001.XSHE"]),
]


def _same(a, b):
    if isinstance(a, pd.Series) or isinstance(b, pd.Series):
        return isinstance(a, pd.Series) and isinstance(b, pd.Series) and a.equals(b)
    return a == b


@pytest.mark.parametrize("obj", OBJECTS, ids=lambda o: type(o).__name__)
def test_repr_accessor_and_config_agree(obj):
    params = obj.get_params()
    # the accessor names exactly the constructor's parameters
    assert list(params) == list(inspect.signature(type(obj)).parameters)
    # and builds an equal object: same parameters, same repr
    again = type(obj)(**params)
    assert all(_same(again.get_params()[k], v) for k, v in params.items())
    assert repr(again) == repr(obj)
    # read-only: changing what it returned does not change the object
    for value in params.values():
        if isinstance(value, (list, pd.Series)):
            value[:] = 0 if isinstance(value, pd.Series) else []
    assert repr(type(obj)(**obj.get_params())) == repr(obj)
    # a config written from the object builds the same object again
    is_objective = isinstance(obj, vo.OptimizationObjective)
    written = config.from_objects(datetime.date(2021, 6, 30), ["000001.XSHE", "000002.XSHE"],
                                  obj if is_objective else vo.MinVariance(), cons=None if is_objective else [obj])
    loaded = config.loads(config.dumps(written))
    built = loaded.objects()
    rebuilt = built[0] if is_objective else built[1][0]
    assert type(rebuilt) is type(obj) and repr(rebuilt) == repr(obj)


def test_an_estimate_made_by_the_object_is_not_a_parameter():
    objective = vo.MaxSharpeRatio(window=30)
    objective._expected_returns, objective._estimated_for = pd.Series({"A": 0.1}), datetime.date(2021, 6, 1)
    assert objective.get_params()["expected_returns"] is None and repr(objective) == "MaxSharpeRatio(window=30)"


@pytest.mark.parametrize("cls, unit", [
    (vc.TurnoverLimit, "weights"), (vc.TransactionVolumeLimit, "shares"),
    (vc.TransactionMarketValueLimit, "shares"), (vc.TrackingErrorLimit, False), (vc.StockPoolLimit, False),
])
def test_holding_aware_classes_say_so(cls, unit):
    assert getattr(cls, "holding_aware", False) == unit
    if unit:
        assert "current_holding" in inspect.signature(cls).parameters


DOCUMENTED = {
    "optimize": {"portfolio_optimize", "to_enum", "to_date", "ensure_date_str", "ensure_order_book_ids",
                 "ensure_bound", "parse_bnds"},
    "objective": {"OptimizationObjective", "MinVariance", "MinActiveVariance", "MinTrackingError",
                  "ensure_series", "MeanVariance", "ActiveMeanVariance", "MaxSharpeRatio",
                  "MaxInformationRatio", "MaxIndicator", "MinStyleDeviation", "RiskParity"},
    "constraints": {"OptimizationConstraint", "ensure_series", "get_deviation_value", "TrackingErrorLimit",
                    "BenchmarkComponentWeightLimit", "IndustryConstraint", "WildcardIndustryConstraint",
                    "IndustryComponentLimit", "StyleConstraint", "wildcard_style_constraint",
                    "IndexComponentLimit", "StockPoolLimit", "TurnoverLimit", "TransactionVolumeLimit",
                    "TransactionMarketValueLimit"},
    "benchmark": {"OptimizeBenchmark", "IndexBenchmark"},
}


@pytest.mark.parametrize("name", sorted(DOCUMENTED))
def test_star_import_brings_the_package_names_only(name):
    module = {"optimize": vopt, "objective": vo, "constraints": vc, "benchmark": vb}[name]
    namespace = {}
    exec("from verdalis.{} import *".format(name), namespace)
    names = set(namespace) - {"__builtins__"}
    assert DOCUMENTED[name] <= names
    assert not names & {"np", "pd", "cp", "os", "warnings", "corvana", "ABCMeta", "datetime", "logging"}
    # the module itself still holds what it binds (monkeypatching works as before)
    assert module.np is not None and module.pd is not None
    # and its stub declares the same __all__
    stub = (ROOT / "python" / "verdalis" / (name + ".pyi")).read_text(encoding="utf-8")
    assert "__all__ = [\n" + "".join("    {!r},\n".format(n) for n in module.__all__) + "]" in stub


@pytest.mark.parametrize("value, cov_model", [
    (CovModel.FACTOR_MODEL_MONTHLY, CovModel.FACTOR_MODEL_MONTHLY),
    ("monthly", CovModel.FACTOR_MODEL_MONTHLY),
    ("MONTHLY", CovModel.FACTOR_MODEL_MONTHLY),
    ("FACTOR_MODEL_MONTHLY", CovModel.FACTOR_MODEL_MONTHLY),
    ("factor_model_quarterly", CovModel.FACTOR_MODEL_QUARTERLY),
    ("hourly", None), (3, None), (None, None),
])
def test_one_coercion_and_its_one_difference(value, cov_model):
    # every layer above the core reads choices through corvana.coerce.member
    assert member(CovModel, value) is cov_model
    # portfolio_optimize's own to_enum takes members and exact values only
    exact = isinstance(value, CovModel) or value == "monthly"
    if exact:
        assert vopt.to_enum(value, CovModel) is cov_model
    else:
        with pytest.raises(InvalidArgument, match="invalid value .* for CovModel"):
            vopt.to_enum(value, CovModel)
    # a config accepts whatever the shared coercion reads
    text = ('date = 2021-06-30\n[pool]\nids = ["000001.XSHE"]\n[objective]\ntype = "MinVariance"\n'
            '[risk]\ncov_model = {}\n'.format('"{}"'.format(value) if isinstance(value, str) else 1))
    if cov_model is not None and isinstance(value, str):
        assert config.loads(text).build()["cov_model"] is cov_model
    else:
        with pytest.raises(config.ConfigError):
            config.loads(text)


@pytest.mark.parametrize("text, date", [
    ("2021-06-30", datetime.date(2021, 6, 30)), ("20210630", datetime.date(2021, 6, 30)),
    ("2021/6/30", datetime.date(2021, 6, 30)), ("June", None), ("30", None), ("2021-02-30", None),
])
def test_config_and_command_line_read_dates_alike(text, date):
    from verdalis._console import UserError, _parse_date

    raw = 'date = "{}"\n[pool]\nids = ["A"]\n[objective]\ntype = "MinVariance"\n'.format(text)
    if date is None:
        with pytest.raises(config.ConfigError):
            config.loads(raw)
        with pytest.raises(UserError):
            _parse_date(text)
    else:
        assert config.loads(raw).date == date == _parse_date(text)


def test_risk_model_choices_too():
    assert member(RiskModel, "V2") is RiskModel.V2 and member(RiskModel, "v3") is None
