"""Solver options the product layer adds to a config's call: which calls get
them, that a config's own choice wins, and that they change no weight."""
import datetime
import warnings

import numpy as np
import pytest

import corvana
from verdalis import config, solver_defaults
from verdalis.optimize import portfolio_optimize

DATE = datetime.date(2021, 6, 15)
INDEX = "000300.XSHG"


@pytest.fixture(scope="module")
def pool(small_market):
    prev = corvana.get_previous_trading_date(DATE)
    stocks = corvana.all_instruments(type="CS", date=prev)
    seasoned = stocks.loc[stocks["listed_date"] < "2020-01-01", "order_book_id"].tolist()
    return sorted(corvana.get_risk_exposure(seasoned, prev).index.tolist())[:40]


def mandate(pool, **extra):
    raw = {"date": DATE, "pool": {"ids": pool}, "objective": {"type": "MinVariance"},
           "bounds": {"*": [0.0, 0.08]}}
    raw.update(extra)
    return config.validate(raw, "test", None)


@pytest.mark.parametrize("solver_table, expected", [
    ({}, "qdldl"),                                    # SCS by the objective's preference
    ({"name": "SCS"}, "qdldl"),
    ({"name": "scs", "max_iters": 500}, "qdldl"),
    ({"linear_solver": "auto"}, "auto"),              # the config's own choice is kept
    ({"name": "CLARABEL"}, None),                     # another solver gets nothing
])
def test_which_calls_get_the_backend(pool, solver_table, expected):
    built = mandate(pool, solver=solver_table).build()
    assert built.get("linear_solver") == expected


def test_large_pools_keep_scs_s_own_backend(pool, monkeypatch):
    monkeypatch.setattr(solver_defaults, "QDLDL_UP_TO", len(pool) - 1)
    assert "linear_solver" not in mandate(pool).build()


@pytest.mark.parametrize("extra", [
    {},
    {"benchmark": {"index": INDEX}, "objective": {"type": "MinTrackingError"},
     "constraints": [{"type": "WildcardIndustryConstraint", "upper_limit": 0.2, "relative": True},
                     {"type": "TrackingErrorLimit", "upper_limit": 0.2}]},
    {"objective": {"type": "MeanVariance"}, "constraints": [{"type": "WildcardIndustryConstraint",
                                                             "upper_limit": 0.3}]},
])
def test_chosen_options_give_the_weights_of_the_defaults(pool, extra):
    built = mandate(pool, **extra).build()
    assert built.pop("linear_solver") == "qdldl"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        chosen = mandate(pool, **extra).optimize()
        plain = portfolio_optimize(**built)
    np.testing.assert_allclose(chosen.to_numpy(), plain.reindex(chosen.index).to_numpy(), atol=1e-5)


@pytest.mark.parametrize("value, accepted", [("qdldl", True), ("auto", True), ("QDLDL", True),
                                             ("fastest", False), (3, False)])
def test_the_config_checks_the_backend_it_is_given(pool, value, accepted):
    if accepted:
        assert mandate(pool, solver={"linear_solver": value}).build()["linear_solver"] == value.lower()
    else:
        with pytest.raises(config.ConfigError, match="solver.linear_solver"):
            mandate(pool, solver={"linear_solver": value})
