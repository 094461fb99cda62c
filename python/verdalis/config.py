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

`load(path)` validates every key and value (`validate(raw)` does the same for
a parsed table): an unknown key, a wrong type or a value the optimizer refuses
is a `ConfigError` naming the file, the key path (``constraints[2].upper_limit``,
counting from 0) and the problem.  Dates and choices (``cov_model``,
``classification``) are read by `corvana.coerce`, like everywhere above the
core: ``"daily"``, ``"DAILY"`` and ``"FACTOR_MODEL_DAILY"`` all mean the daily
model.  The
objective and constraint objects are built anew by `Config.build()` on each
call, so an estimate cached by one optimization never leaks into the next.
`dumps(config)` writes a config back as TOML (`load(dumps(c))` gives `c`
again), and `from_objects(...)` describes objects a user built in Python,
read through their public `get_params()`.

Series-valued parameters (a holding, expected returns, an indicator, a custom
classification) are TOML tables ``{order_book_id = value}`` or the path of a
two-column CSV file (order_book_id, value), relative to the config's folder.
"""
from __future__ import annotations

import copy
import datetime
import enum
import importlib
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
from corvana.coerce import member, to_date

from .const import CovModel, IndustryClassification, RiskModel

__all__ = ["Config", "ConfigError", "load", "loads", "validate", "dumps", "save", "from_objects",
           "objective_classes", "constraint_classes"]

POOL_KINDS = ("index", "indices", "ids", "file")
RISK_KEYS = ("cov_model", "risk_model", "factor_risk_aversion", "specific_risk_aversion")


def _classes(module_name, base_name):
    module = importlib.import_module(module_name)
    base = getattr(module, base_name)
    return {name: value for name, value in vars(module).items()
            if isinstance(value, type) and issubclass(value, base) and value is not base
            and not name.startswith("_")}


def objective_classes() -> dict:
    """Every objective class a config may name, by name."""
    return _classes("verdalis.objective", "OptimizationObjective")


def constraint_classes() -> dict:
    """Every constraint a config may name, by name (the classes, and the
    function `wildcard_style_constraint`, which builds a StyleConstraint)."""
    from . import constraints

    found = _classes("verdalis.constraints", "OptimizationConstraint")
    found["wildcard_style_constraint"] = constraints.wildcard_style_constraint
    return found


def _parameters(factory):
    return list(inspect.signature(factory).parameters)


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
            arguments[key] = member(CovModel if key == "cov_model" else RiskModel, value) \
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
        from .optimize import portfolio_optimize

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
    return validate(raw, source, base)


def validate(raw, source="<config>", base=None) -> Config:
    """Validate a config given as a parsed table (what `tomllib` returns);
    `source` names it in errors, `base` is the folder relative CSV paths start from."""
    base = Path(base) if base is not None else None
    fail = lambda key, problem: ConfigError(source, key, problem)  # noqa: E731
    known = {"date", "pool", "objective", "benchmark", "bounds", "constraints", "risk", "solver"}
    for key in raw:
        if key not in known:
            raise fail(key, "unknown key (expected one of: {})".format(", ".join(sorted(known))))
    for key in ("date", "pool", "objective"):
        if key not in raw:
            raise fail(key, "missing")

    date = raw["date"]
    if not isinstance(date, (str, datetime.date)):
        raise fail("date", "not a date: {!r}".format(date))
    try:
        date = to_date(date)
    except (TypeError, ValueError):
        raise fail("date", "not a date: {!r} (write 2024-06-28)".format(date)) from None

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

    objective = _typed(raw["objective"], "objective", fail, objective_classes())

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
    kinds = constraint_classes()
    constraints = [_typed(c, "constraints[{}]".format(i), fail, kinds) for i, c in enumerate(constraints)]

    risk = _table(raw.get("risk", {}), "risk", fail)
    for key, setting in risk.items():
        if key not in RISK_KEYS:
            raise fail("risk." + key, "unknown key (expected one of: {})".format(", ".join(RISK_KEYS)))
        if key in ("cov_model", "risk_model"):
            choices = CovModel if key == "cov_model" else RiskModel
            if member(choices, setting) is None:
                raise fail("risk." + key, "expected one of {} (or {}), got {!r}".format(
                    ", ".join(choices.__members__), ", ".join(m.value for m in choices), setting))
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


def _typed(value, key, fail, kinds):
    table = dict(_table(value, key, fail))
    kind = table.get("type")
    if kind not in kinds:
        raise fail(key + ".type", "expected one of: {}; got {!r}".format(", ".join(kinds), kind))
    parameters = _parameters(kinds[kind])
    for name in table:
        if name != "type" and name not in parameters:
            expected = ", ".join(parameters) or "no parameters"
            raise fail("{}.{}".format(key, name), "unknown parameter of {} (expected: {})".format(kind, expected))
    if "transaction_cost_model" in table:
        raise fail(key + ".transaction_cost_model", "a transaction cost model is a Python object; "
                                                    "build this objective in Python")
    return table


def _make(source, key, spec, module_name, path_of):
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
                picked = member(IndustryClassification, value)
                if picked is None:
                    raise ConfigError(source, where, "expected one of {} or a table {{id = industry}}".format(
                        ", ".join(IndustryClassification.__members__)))
                value = picked
            elif not isinstance(value, dict):
                raise ConfigError(source, where, "expected a classification name or a table {id = industry}")
        kwargs[name] = value
    from .exception import InvalidArgument
    from .messages import english

    try:
        return factory(**kwargs)
    except (InvalidArgument, TypeError, ValueError) as exc:
        # the refusal in English; the core's own exception stays the cause
        raise ConfigError(source, key, "{} refused it: {}".format(kind, english(exc))) from exc


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


def _spec_of(obj, kinds, what):
    """The spec {"type": name, **parameters} of an object, from its public
    get_params(); parameters at their default are left out."""
    kind = type(obj).__name__
    if kinds.get(kind) is not type(obj):
        raise TypeError("{} {} cannot be written to a config".format(what, kind))
    signature = inspect.signature(type(obj))
    spec = {"type": kind}
    for param, value in obj.get_params().items():
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
                  objective=_plain(_spec_of(objective, objective_classes(), "objective")),
                  benchmark=benchmark, bounds={k: tuple(v) for k, v in (bnds or {}).items()} or None,
                  constraints=[_plain(_spec_of(c, constraint_classes(), "constraint")) for c in cons or []],
                  risk=dict(risk or {}), solver=dict(solver or {}))
