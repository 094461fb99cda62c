"""One optimization described in a TOML file.

    date = 2024-06-28
    [pool]                 # one of: index = "000300.XSHG" | indices = [...] | ids = [...] | file = "pool.csv"
    indices = ["000300.XSHG", "000905.XSHG"]
    [objective]            # type = a class of verdalis.objective, then its keyword parameters
    type = "MinTrackingError"
    [benchmark]            # index = an index id
    index = "000300.XSHG"
    [bounds]               # id or "*" = [lower, upper]
    "*" = [0, 0.02]
    [[constraints]]        # type = a class of verdalis.constraints (or wildcard_style_constraint),
    type = "TrackingErrorLimit"   # then its parameters by name
    upper_limit = 0.05
    [risk]                 # cov_model, risk_model, factor_risk_aversion, specific_risk_aversion
    cov_model = "FACTOR_MODEL_DAILY"
    [solver]               # name = "SCS" | "CLARABEL" | ..., then the solver's options
    max_iters = 20000

`load(path)` validates every key and value: an unknown key, a wrong type or a
value the optimizer refuses is a `ConfigError` naming the file, the key path
(``constraints[2].upper_limit``, counting from 0) and the problem.  The
objective and constraint objects are built anew by `Config.build()` on each
call, so an estimate cached by one optimization never leaks into the next.
`dumps(config)` writes a config back as TOML (`load(dumps(c))` gives `c`
again), and `from_objects(...)` describes objects a user built in Python.

Series-valued parameters (a holding, expected returns, an indicator, a custom
classification) are TOML tables ``{order_book_id = value}`` or the path of a
two-column CSV file (order_book_id, value), relative to the config's folder.
"""
from __future__ import annotations

import copy
import datetime
import enum
import inspect
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Optional

import pandas as pd

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - older interpreters
    import tomli as tomllib

import tomli_w

from .const import CovModel, IndustryClassification, RiskModel

__all__ = ["Config", "ConfigError", "load", "loads", "dumps", "save", "from_objects"]

POOL_KINDS = ("index", "indices", "ids", "file")
RISK_KEYS = ("cov_model", "risk_model", "factor_risk_aversion", "specific_risk_aversion")

# Constructor parameter -> instance attribute, per class: how an object built
# in Python is written back.  Every class of the two modules is listed (a test
# checks it against the constructors' signatures).
_OBJECTIVE_ATTRS = {
    "MinVariance": {}, "MinActiveVariance": {}, "MinTrackingError": {}, "RiskParity": {},
    "MeanVariance": {"expected_returns": "_expected_returns", "window": "_window",
                     "risk_aversion_coefficient": "_risk_aversion_coefficient",
                     "transaction_cost_model": "_transaction_cost_model"},
    "ActiveMeanVariance": {"expected_active_returns": "_expected_active_returns", "window": "_window",
                           "risk_aversion_coefficient": "_risk_aversion_coefficient",
                           "transaction_cost_model": "_transaction_cost_model"},
    "MaxSharpeRatio": {"expected_returns": "_expected_returns", "window": "_window"},
    "MaxInformationRatio": {"expected_active_returns": "_expected_active_returns", "window": "_window"},
    "MaxIndicator": {"indicator_series": "_indicator_series"},
    "MinStyleDeviation": {"target_style": "_target_style", "relative": "_relative", "priority": "_priority"},
}
_LIMITS = {"lower_limit": "lower", "upper_limit": "upper"}
_CONSTRAINT_ATTRS = {
    "TrackingErrorLimit": {"upper_limit": "upper"},
    "TurnoverLimit": {"current_holding": "_current_holding", "upper_limit": "upper"},
    "BenchmarkComponentWeightLimit": {"lower_limit": "lower"},
    "IndustryConstraint": {"industries": "industries", **_LIMITS, "relative": "relative",
                           "classification": "classification"},
    "WildcardIndustryConstraint": {"exclude": "exclude", **_LIMITS, "relative": "relative",
                                   "classification": "classification"},
    "StyleConstraint": {"styles": "styles", **_LIMITS, "relative": "relative"},
    "IndustryComponentLimit": {"industry": "industry", **_LIMITS, "classification": "classification"},
    "IndexComponentLimit": {"index_code": "index_code", **_LIMITS},
    "StockPoolLimit": {"stock_list": "stock_list", **_LIMITS},
    "TransactionVolumeLimit": {"upper_limit": "upper", "current_holding": "_current_holding",
                               "cash": "cash", "window": "window", "stock_list": "stock_list"},
    "TransactionMarketValueLimit": {"upper_limit": "upper", "current_holding": "_current_holding",
                                    "cash": "cash", "window": "window", "stock_list": "stock_list"},
    # a function returning a StyleConstraint: read from configs, never written
    "wildcard_style_constraint": {"exclude": None, **_LIMITS, "relative": None},
}
for _attrs in _CONSTRAINT_ATTRS.values():
    _attrs["hard"] = "_hard"
#: parameters whose value is a Series (a TOML table or a CSV path)
_SERIES = {"expected_returns", "expected_active_returns", "indicator_series", "target_style",
           "priority", "current_holding"}


class ConfigError(ValueError):
    """A config that cannot describe an optimization: the file, the key path and the problem."""

    def __init__(self, source, key, problem):
        self.source, self.key, self.problem = source, key, problem
        where = "{}: {}".format(source, key) if key else str(source)
        super().__init__("{}: {}".format(where, problem))


@dataclass
class Config:
    """A validated optimization description; `build()` makes its objects."""

    date: datetime.date
    pool: dict                      # {"index": ...} | {"indices": [...]} | {"ids": [...]} | {"file": ...}
    objective: dict                 # {"type": name, **parameters}
    benchmark: Optional[str] = None
    bounds: Optional[dict] = None   # id -> (lower, upper)
    constraints: list = field(default_factory=list)  # [{"type": name, **parameters}]
    risk: dict = field(default_factory=dict)
    solver: dict = field(default_factory=dict)       # {"name": ..., **options}
    source: Any = "<config>"
    base: Optional[Path] = None     # folder that relative CSV paths start from

    # ------------------------------------------------------------- building

    def pool_ids(self, date=None) -> list:
        """The pool on `date` (default the config's): index members as of the previous trading date."""
        import corvana

        kind, value = next(iter(self.pool.items()))
        if kind in ("index", "indices"):
            prev = corvana.get_previous_trading_date(date or self.date)
            ids = []
            for index in [value] if kind == "index" else value:
                ids += [i for i in corvana.index_components(index, prev) if i not in ids]
            return ids
        if kind == "ids":
            return list(value)
        return _read_series(self._path(value), self.source, "pool.file", values=False)

    def build(self, date=None, constraints=None) -> dict:
        """Keyword arguments of `portfolio_optimize` for `date`, with fresh objects
        (`constraints`: other constraint specs to build in place of the config's)."""
        objective, cons = self.objects(constraints)
        arguments = dict(order_book_ids=self.pool_ids(date), date=date or self.date, objective=objective,
                         bnds={k: tuple(v) for k, v in self.bounds.items()} if self.bounds else None,
                         cons=cons or None, benchmark=self.benchmark)
        for key, value in self.risk.items():
            arguments[key] = getattr(CovModel if key == "cov_model" else RiskModel, value) \
                if key in ("cov_model", "risk_model") else value
        solver = dict(self.solver)
        if "name" in solver:
            arguments["solver"] = solver.pop("name")
        arguments.update(solver)
        return arguments

    def objects(self, constraints=None):
        """Fresh objective and constraint objects (`constraints`: other specs
        in place of the config's); a value their classes refuse is a
        ConfigError naming its key path."""
        objective = _make(self.source, "objective", self.objective, "verdalis.objective", self._path)
        specs = self.constraints if constraints is None else constraints
        cons = [_make(self.source, "constraints[{}]".format(i), spec, "verdalis.constraints", self._path)
                for i, spec in enumerate(specs)]
        return objective, cons

    def optimize(self, date=None):
        """Run the optimization this config describes (on `date`, default its own)."""
        import corvana

        from .optimize import portfolio_optimize

        with corvana.pinned():  # the pool and the optimization read one version of the store
            return portfolio_optimize(**self.build(date))

    def _path(self, value):
        path = Path(value)
        return path if path.is_absolute() or self.base is None else self.base / path

    def to_dict(self) -> dict:
        out = {"date": self.date, "pool": dict(self.pool), "objective": dict(self.objective)}
        if self.benchmark is not None:
            out["benchmark"] = {"index": self.benchmark}
        if self.bounds:
            out["bounds"] = {k: list(v) for k, v in self.bounds.items()}
        if self.constraints:
            out["constraints"] = [dict(c) for c in self.constraints]
        if self.risk:
            out["risk"] = dict(self.risk)
        if self.solver:
            out["solver"] = dict(self.solver)
        return out


# ---------------------------------------------------------------------- loading

def load(path) -> Config:
    """Read and validate the config file at `path`."""
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as exc:
        raise ConfigError(path, "", "cannot read the file ({})".format(exc.strerror or exc)) from None
    return loads(text, source=path, base=path.parent)


def loads(text, source="<config>", base=None) -> Config:
    """Validate a config given as TOML text."""
    try:
        raw = tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        raise ConfigError(source, "", "not valid TOML: {}".format(exc)) from None
    return _validate(raw, source, Path(base) if base is not None else None)


def _validate(raw, source, base) -> Config:
    fail = lambda key, problem: ConfigError(source, key, problem)  # noqa: E731
    known = {"date", "pool", "objective", "benchmark", "bounds", "constraints", "risk", "solver"}
    for key in raw:
        if key not in known:
            raise fail(key, "unknown key (expected one of: {})".format(", ".join(sorted(known))))
    for key in ("date", "pool", "objective"):
        if key not in raw:
            raise fail(key, "missing")

    date = raw["date"]
    if isinstance(date, str):
        try:
            date = datetime.date.fromisoformat(date)
        except ValueError:
            raise fail("date", "not a date: {!r} (write 2024-06-28)".format(date)) from None
    if isinstance(date, datetime.datetime):
        date = date.date()
    if not isinstance(date, datetime.date):
        raise fail("date", "not a date: {!r}".format(date))

    pool = _table(raw["pool"], "pool", fail)
    kinds = [k for k in pool if k in POOL_KINDS]
    for key in pool:
        if key not in POOL_KINDS:
            raise fail("pool." + key, "unknown key (expected one of: {})".format(", ".join(POOL_KINDS)))
    if len(kinds) != 1:
        raise fail("pool", "give exactly one of: {}".format(", ".join(POOL_KINDS)))
    kind = kinds[0]
    value = pool[kind]
    if kind in ("index", "file") and not isinstance(value, str):
        raise fail("pool." + kind, "expected a string, got {!r}".format(value))
    if kind in ("indices", "ids") and not (isinstance(value, list) and value
                                           and all(isinstance(v, str) for v in value)):
        raise fail("pool." + kind, "expected a non-empty list of strings")

    objective = _typed(raw["objective"], "objective", fail, "verdalis.objective", _OBJECTIVE_ATTRS)

    benchmark = None
    if "benchmark" in raw:
        table = _table(raw["benchmark"], "benchmark", fail)
        for key in table:
            if key != "index":
                raise fail("benchmark." + key, "unknown key (a custom benchmark is built in Python; "
                                               "here only: index)")
        benchmark = table.get("index")
        if not isinstance(benchmark, str):
            raise fail("benchmark.index", "expected an index id string")

    bounds = None
    if "bounds" in raw:
        bounds = {}
        for key, pair in _table(raw["bounds"], "bounds", fail).items():
            where = 'bounds."{}"'.format(key)
            if not (isinstance(pair, list) and len(pair) == 2
                    and all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in pair)):
                raise fail(where, "expected [lower, upper], two numbers")
            bounds[key] = (pair[0], pair[1])

    constraints = raw.get("constraints", [])
    if not isinstance(constraints, list):
        raise fail("constraints", "expected an array of tables ([[constraints]])")
    constraints = [_typed(c, "constraints[{}]".format(i), fail, "verdalis.constraints", _CONSTRAINT_ATTRS)
                   for i, c in enumerate(constraints)]

    risk = _table(raw.get("risk", {}), "risk", fail)
    for key, setting in risk.items():
        if key not in RISK_KEYS:
            raise fail("risk." + key, "unknown key (expected one of: {})".format(", ".join(RISK_KEYS)))
        if key in ("cov_model", "risk_model"):
            names = list((CovModel if key == "cov_model" else RiskModel).__members__)
            if setting not in names:
                raise fail("risk." + key, "expected one of {}, got {!r}".format(", ".join(names), setting))
        elif not isinstance(setting, (int, float)) or isinstance(setting, bool):
            raise fail("risk." + key, "expected a number, got {!r}".format(setting))

    solver = _table(raw.get("solver", {}), "solver", fail)
    if "name" in solver and not isinstance(solver["name"], str):
        raise fail("solver.name", "expected a solver name such as \"SCS\" or \"CLARABEL\"")

    config = Config(date=date, pool={kind: pool[kind]}, objective=objective, benchmark=benchmark, bounds=bounds,
                    constraints=constraints, risk=risk, solver=solver, source=source, base=base)
    # Every object must build: a value the optimizer's classes refuse is a
    # config error at load time, not a failure in the middle of a run.
    config.objects()
    return config


def _table(value, key, fail):
    if not isinstance(value, dict):
        raise fail(key, "expected a table")
    return value


def _typed(value, key, fail, module_name, attrs):
    table = dict(_table(value, key, fail))
    kind = table.get("type")
    if kind not in attrs:
        raise fail(key + ".type", "expected one of: {}; got {!r}".format(", ".join(attrs), kind))
    for name in table:
        if name != "type" and name not in attrs[kind]:
            expected = ", ".join(attrs[kind]) or "no parameters"
            raise fail("{}.{}".format(key, name), "unknown parameter of {} (expected: {})".format(kind, expected))
    if "transaction_cost_model" in table:
        raise fail(key + ".transaction_cost_model", "a transaction cost model is a Python object; "
                                                    "build this objective in Python")
    return table


def _make(source, key, spec, module_name, path_of):
    import importlib

    module = importlib.import_module(module_name)
    kind = spec["type"]
    factory = getattr(module, kind)
    kwargs = {}
    for name, value in spec.items():
        if name == "type":
            continue
        where = "{}.{}".format(key, name)
        if name in _SERIES or (name in ("stock_list",) and isinstance(value, str) and value.endswith(".csv")):
            if isinstance(value, str):
                value = _read_series(path_of(value), source, where, values=name in _SERIES)
            elif name in _SERIES and not isinstance(value, dict):
                raise ConfigError(source, where, "expected a table {id = value} or a CSV path")
        elif name == "classification":
            if isinstance(value, str):
                members = IndustryClassification.__members__
                match = [m for n, m in members.items() if value in (n, m.value)]
                if not match:
                    raise ConfigError(source, where, "expected one of {} or a table {{id = industry}}".format(
                        ", ".join(members)))
                value = match[0]
            elif not isinstance(value, dict):
                raise ConfigError(source, where, "expected a classification name or a table {id = industry}")
        kwargs[name] = value
    from .exception import InvalidArgument

    try:
        return factory(**kwargs)
    except (InvalidArgument, TypeError, ValueError) as exc:
        raise ConfigError(source, key, "{} refused it: {}".format(kind, exc)) from None


def _read_series(path, source, where, values=True):
    try:
        frame = pd.read_csv(path, dtype={0: str})
    except (OSError, ValueError) as exc:
        raise ConfigError(source, where, "cannot read {}: {}".format(path, exc)) from None
    if frame.shape[1] < (2 if values else 1) or frame.empty:
        raise ConfigError(source, where, "{}: expected columns order_book_id{}".format(
            path, ", value" if values else ""))
    ids = frame.iloc[:, 0].astype(str)
    if not values:
        return ids.tolist()
    try:
        numbers = pd.to_numeric(frame.iloc[:, 1])
    except ValueError as exc:
        raise ConfigError(source, where, "{}: the second column is not numeric ({})".format(path, exc)) from None
    return pd.Series(numbers.to_numpy(), index=ids.to_numpy())


# ---------------------------------------------------------------------- writing

def dumps(config: Config) -> str:
    """The config as TOML text (loads(dumps(c)) describes the same optimization)."""
    return tomli_w.dumps(_plain(config.to_dict()))


def save(config: Config, path) -> Path:
    path = Path(path)
    path.write_text(dumps(config), encoding="utf-8")
    return path


def _plain(value):
    """TOML-ready values: Series and dicts become tables, enums their names, tuples lists."""
    if isinstance(value, pd.Series):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items() if v is not None}
    if isinstance(value, (list, tuple, set, pd.Index)):
        return [_plain(v) for v in value]
    if isinstance(value, enum.Enum):
        return value.name
    if hasattr(value, "item") and not isinstance(value, (str, bytes)):  # numpy scalars
        return value.item()
    return value


def _spec_of(obj, attrs, what):
    kind = type(obj).__name__
    if kind not in attrs:
        raise TypeError("{} {} cannot be written to a config".format(what, kind))
    factory = type(obj)
    signature = inspect.signature(factory)
    spec = {"type": kind}
    for param, attr in attrs[kind].items():
        value = getattr(obj, attr, None)
        default = signature.parameters[param].default
        if value is None or (isinstance(value, pd.Series) and value.empty and default is None):
            continue
        if param == "cash" and value == 0:
            continue
        if not isinstance(value, pd.Series) and default is not inspect.Parameter.empty:
            try:
                if value == default and type(value) is type(default):
                    continue
            except (TypeError, ValueError):
                pass
        if param == "transaction_cost_model":
            raise TypeError("{}: a transaction cost model cannot be written to a config".format(kind))
        spec[param] = copy.copy(value)
    return spec


def from_objects(date, order_book_ids, objective, bnds=None, cons=None, benchmark=None, *,
                 risk=None, solver=None) -> Config:
    """A config describing objects built in Python (an explicit pool of ids)."""
    if benchmark is not None and not isinstance(benchmark, str):
        benchmark = getattr(benchmark, "_order_book_id", None)
        if benchmark is None:
            raise TypeError("only an index benchmark can be written to a config")
    return Config(date=date, pool={"ids": list(order_book_ids)},
                  objective=_plain(_spec_of(objective, _OBJECTIVE_ATTRS, "objective")),
                  benchmark=benchmark, bounds={k: tuple(v) for k, v in (bnds or {}).items()} or None,
                  constraints=[_plain(_spec_of(c, _CONSTRAINT_ATTRS, "constraint")) for c in cons or []],
                  risk=dict(risk or {}), solver=dict(solver or {}))
