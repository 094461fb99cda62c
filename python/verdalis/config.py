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
    [risk]                 # cov_model, risk_model, factor_risk_aversion, specific_risk_aversion,
    cov_model = "FACTOR_MODEL_DAILY"   # industry (a classification of the store, e.g. "gics")
    [solver]               # name = an installed cvxpy solver, then that solver's options
    max_iters = 20000
    [output]               # dust = weights below it are written as 0 (default 1e-6)
    dust = 1e-6

`[pool] allow_shrink = true` lets `verdalis run` and `verdalis backtest` go on
when more than half of the pool's ids are unknown or not listed (they say so
in one line either way).  `[risk] industry` names the industry classification
the industry limits, the report and the backtest use; without it the store's
only one, or "sws" when it has several.  Solver names must be installed, and
the options of SCS, CLARABEL and OSQP are checked by name and type; NaN,
infinite numbers and numbers written as text are refused with their key.

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
import math
import re
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
from .solver_defaults import chosen

__all__ = ["Config", "ConfigError", "load", "loads", "validate", "dumps", "save", "from_objects",
           "objective_classes", "constraint_classes"]

POOL_KINDS = ("index", "indices", "ids", "file")
RISK_KEYS = ("cov_model", "risk_model", "factor_risk_aversion", "specific_risk_aversion", "industry")
#: [pool] keys besides the kind of pool
POOL_OPTIONS = ("allow_shrink",)
#: constraint and objective parameters that are plain numbers
_LIMITS = ("lower_limit", "upper_limit")
_NUMBERS = {"upper_limit", "lower_limit", "window", "risk_aversion_coefficient", "cash"}
_PERCENT = re.compile(r"[+-]?(\d+(\.\d*)?|\.\d+)%")
#: objectives that need the benchmark's constituent weights
_HOLDINGS_OBJECTIVES = ("MinActiveVariance", "MinTrackingError", "ActiveMeanVariance", "MaxInformationRatio")
#: constraint types whose industries come from a classification
_INDUSTRY_TYPES = ("IndustryConstraint", "WildcardIndustryConstraint", "IndustryComponentLimit")
#: options of the solvers the optimizations use, by kind ("int", "float", "bool");
#: another installed solver's options are passed on unchecked
_SOLVER_OPTIONS = {
    "SCS": {"max_iters": "int", "eps_abs": "float", "eps_rel": "float", "eps_infeas": "float",
            "alpha": "float", "rho_x": "float", "scale": "float", "normalize": "bool",
            "adaptive_scale": "bool", "acceleration_lookback": "int", "acceleration_interval": "int",
            "time_limit_secs": "float", "use_indirect": "bool", "warm_start": "bool",
            "linear_solver": "backend"},
    "OSQP": {"max_iter": "int", "eps_abs": "float", "eps_rel": "float", "eps_prim_inf": "float",
             "eps_dual_inf": "float", "rho": "float", "sigma": "float", "alpha": "float", "polish": "bool",
             "adaptive_rho": "bool", "scaling": "int", "time_limit": "float", "warm_start": "bool"},
}
#: the solver every objective prefers: options without a solver name are its
DEFAULT_SOLVER = "SCS"
#: keys of [output]: how the weights are written (see verdalis.report.tables.clean_weights)
OUTPUT_KEYS = ("dust",)


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
    output: dict = field(default_factory=dict)       # {"dust": 1e-6}
    source: Any = "<config>"
    base: Optional[Path] = None     # folder that relative CSV paths start from
    allow_shrink: bool = False      # [pool] allow_shrink: run even when most of the pool is unknown

    # ------------------------------------------------------------- building

    def pool_ids(self, date=None) -> list:
        """The pool on `date` (default the config's): index members as of the previous trading date."""
        import corvana

        kind, value = next(iter(self.pool.items()))
        if kind in ("index", "indices"):
            prev = corvana.get_previous_trading_date(date or self.date)
            ids = []
            for index in [value] if kind == "index" else value:
                if corvana.instruments(index) is None:
                    raise ConfigError(self.source, "pool." + kind,
                                      "unknown index {!r}: the market-data store has no such id".format(index))
                members = corvana.index_components(index, prev)
                if not members:
                    raise ConfigError(self.source, "pool." + kind,
                                      "index {!r} has no constituent weights on or before {}".format(index, prev))
                ids += [i for i in members if i not in ids]
            return ids
        if kind == "ids":
            return list(value)
        return _read_series(self._path(value), self.source, "pool.file", values=False)

    def build(self, date=None, constraints=None) -> dict:
        """Keyword arguments of `portfolio_optimize` for `date`, with fresh objects
        (`constraints`: other constraint specs to build in place of the config's)."""
        specs = self.constraints if constraints is None else constraints
        if any(spec["type"] in _INDUSTRY_TYPES for spec in specs):
            specs = self._with_classification(specs)
        benchmark = self.check_benchmark(date)
        objective, cons = self.objects(specs)
        arguments = dict(order_book_ids=self.pool_ids(date), date=date or self.date, objective=objective,
                         bnds={k: tuple(v) for k, v in self.bounds.items()} if self.bounds else None,
                         cons=cons or None, benchmark=benchmark)
        for key, value in self.risk.items():
            if key == "industry":
                continue  # the product layer's choice of classification, not an argument
            arguments[key] = member(CovModel if key == "cov_model" else RiskModel, value) \
                if key in ("cov_model", "risk_model") else value
        solver = dict(self.solver)
        if "name" in solver:
            arguments["solver"] = solver.pop("name")
        arguments.update(solver)
        # options the product layer chooses where measured faster (solver_defaults)
        arguments.update(chosen(len(arguments["order_book_ids"]), arguments.get("solver"), objective, solver))
        return arguments

    def holdings_uses(self) -> list:
        """The parts of the config that need the benchmark's constituent weights, by key path."""
        uses = []
        if self.objective["type"] in _HOLDINGS_OBJECTIVES or (
                self.objective["type"] == "MinStyleDeviation" and self.objective.get("relative")):
            uses.append("objective ({})".format(self.objective["type"]))
        for i, spec in enumerate(self.constraints):
            if spec["type"] in ("TrackingErrorLimit", "BenchmarkComponentWeightLimit") or spec.get("relative"):
                uses.append("constraints[{}] ({}{})".format(
                    i, spec["type"], ", relative" if spec.get("relative") else ""))
        return uses

    def check_benchmark(self, date=None):
        """The benchmark for the optimizer on `date`: refuses an index the store
        does not know, or one without constituent weights when the config uses
        its holdings; None for an index without weights that only serves to
        compare returns (reports and backtests read its NAV from its bars)."""
        if self.benchmark is None:
            return None
        import corvana

        if corvana.instruments(self.benchmark) is None:
            raise ConfigError(self.source, "benchmark.index",
                              "unknown index {!r}: the market-data store has no such id".format(self.benchmark))
        prev = corvana.get_previous_trading_date(date or self.date)
        if corvana.index_weights(self.benchmark, prev) is not None:
            return self.benchmark
        uses = self.holdings_uses()
        if not uses:
            return None
        raise ConfigError(self.source, "benchmark.index", (
            "index {!r} has no constituent weights on or before {} (its NAV comes from its bars), and {} "
            "{} them; import its weights, or use it only to compare returns").format(
                self.benchmark, prev, ", ".join(uses), "needs" if len(uses) == 1 else "need"))

    def pool_report(self, ids, date=None):
        """(line, shrank) for the pool `ids` on `date`: the line says how many ids
        were given and kept, and why the others were not ("" when all were kept);
        `shrank` is true when more than half of them were lost."""
        import corvana

        day = (date or self.date)
        unknown, unlisted = [], []
        for ob in ids:
            record = corvana.instruments(ob)
            if record is None:
                unknown.append(ob)
            elif record.listed_date > str(day) or (record.de_listed_date != "0000-00-00"
                                                   and record.de_listed_date <= str(day)):
                unlisted.append(ob)
        if not unknown and not unlisted:
            return "", False
        kept = len(ids) - len(unknown) - len(unlisted)
        why = []
        if unknown:
            why.append("{} unknown: {}".format(len(unknown), _some(unknown)))
        if unlisted:
            why.append("{} not listed on {}: {}".format(len(unlisted), day, _some(unlisted)))
        line = "pool: {} ids given, {} kept ({})".format(len(ids), kept, "; ".join(why))
        return line, kept * 2 < len(ids)

    def industry_standard(self):
        """The industry classification the product layer uses: `[risk] industry`,
        else the only one in the store, else "sws" (when the store has several);
        None when the store has no industries."""
        import corvana

        standards = corvana.industry_standards()
        told = self.risk.get("industry")
        if told is not None:
            if told.lower() not in standards:
                raise ConfigError(self.source, "risk.industry", "the market-data store has no industry "
                                  "classification {!r} ({})".format(told, "it has: " + ", ".join(standards)
                                                                    if standards else "it has none"))
            return told.lower()
        if not standards:
            return None
        if len(standards) == 1:
            return standards[0]
        return "sws" if "sws" in standards else standards[0]

    def classification(self):
        """The classification argument for the industry standard in use: an
        `IndustryClassification` member, or the store's mapping id -> industry
        for another standard; None without industries."""
        return classification_of(self.industry_standard())

    def _with_classification(self, specs):
        """Industry limits without their own classification use the config's standard."""
        standard = self.industry_standard()
        out = []
        for i, spec in enumerate(specs):
            if spec["type"] in _INDUSTRY_TYPES and "classification" not in spec:
                if standard is None:
                    raise ConfigError(self.source, "constraints[{}]".format(i),
                                      "{} needs an industry classification and the market-data store has "
                                      "none".format(spec["type"]))
                if standard != IndustryClassification.SWS.value:
                    spec = dict(spec, classification=classification_of(standard))
            out.append(spec)
        return out

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
        if self.allow_shrink:
            out["pool"]["allow_shrink"] = True
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
        if self.output:
            out["output"] = dict(self.output)
        return out

    @property
    def dust(self) -> float:
        """Weights below this are written as 0 (`[output] dust`, default 1e-6)."""
        from .report.tables import DUST

        return float(self.output.get("dust", DUST))


# ---------------------------------------------------------------------- loading

def load(path) -> Config:
    """Read and validate the config file at `path`."""
    path = Path(path)
    try:
        data = path.read_bytes()
    except OSError as exc:
        raise ConfigError(path, "", "cannot read the file ({})".format(exc.strerror or exc)) from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ConfigError(path, "", "not a text file (byte {} is not UTF-8); a config is TOML text"
                          .format(exc.start)) from None
    if "\x00" in text:
        raise ConfigError(path, "", "not a text file (it holds NUL bytes); a config is TOML text")
    return loads(text, source=path, base=path.parent)


def loads(text, source="<config>", base=None) -> Config:
    """Validate a config given as TOML text."""
    try:
        raw = tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        raise ConfigError(source, "", "not valid TOML: {}".format(exc)) from None
    return validate(raw, source, base)


def _nan_key(value, key=""):
    """The key path of the first NaN in a TOML value, or None."""
    if isinstance(value, float) and math.isnan(value):
        return key or "(top level)"
    if isinstance(value, dict):
        items = (("{}.{}".format(key, k) if key else str(k), v) for k, v in value.items())
    elif isinstance(value, list):
        items = (("{}[{}]".format(key, i), v) for i, v in enumerate(value))
    else:
        return None
    for where, v in items:
        found = _nan_key(v, where)
        if found:
            return found
    return None


def _number(value, key, fail, *, whole=False):
    """A finite int or float (not a bool, not text); ``whole``: an integer."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise fail(key, "expected a number, got {!r}{}".format(
            value, " (write it without quotes)" if isinstance(value, str) else ""))
    if isinstance(value, float) and math.isinf(value):
        raise fail(key, "expected a finite number, got {!r} (leave a limit out to have none)".format(value))
    if whole and not isinstance(value, int):
        raise fail(key, "expected a whole number, got {!r}".format(value))
    return value


def _check_solver(solver, fail):
    import cvxpy

    installed = sorted(cvxpy.installed_solvers())
    name = solver.get("name")
    if name is not None:
        if not isinstance(name, str):
            raise fail("solver.name", "expected a solver name, one of the installed: {}".format(", ".join(installed)))
        if name.upper() not in installed:
            raise fail("solver.name", "{!r} is not an installed solver (installed: {})".format(
                name, ", ".join(installed)))
        solver["name"] = name.upper()
    used = solver.get("name", DEFAULT_SOLVER)
    known = _solver_options(used)
    for key, value in solver.items():
        if key == "name":
            continue
        where = "solver." + key
        if key == "verbose":
            raise fail(where, "set VERDALIS_DEBUG=1 to see the solver's progress")
        if known is None:
            continue
        if key not in known:
            raise fail(where, "unknown option of {} (its options: {}; installed solvers: {})".format(
                used, ", ".join(sorted(known)), ", ".join(installed)))
        kind = known[key]
        if kind == "backend":  # SCS's linear-system backend, by its name
            names = _scs_backends()
            if not isinstance(value, str) or value.lower() not in names:
                raise fail(where, "expected one of {}, got {!r}".format(", ".join(names), value))
            solver[key] = value.lower()
        elif kind == "bool":
            if not isinstance(value, bool):
                raise fail(where, "expected true or false, got {!r}".format(value))
        elif kind == "int":
            _number(value, where, fail, whole=True)
            if not -2 ** 31 < value < 2 ** 31:
                raise fail(where, "{} is out of range for {}".format(value, used))
            if key in ("max_iters", "max_iter") and value < 1:
                raise fail(where, "expected at least 1, got {}".format(value))
        elif kind == "float":
            _number(value, where, fail)
            if value < 0:
                raise fail(where, "expected a number not below 0, got {!r}".format(value))


def _scs_backends():
    """The names SCS accepts as its linear_solver ("auto", "qdldl", ...)."""
    try:
        import scs
        return [b.value for b in scs.LinearSolver]
    except (ImportError, AttributeError):
        return ["auto", "qdldl"]


def _solver_options(name):
    """{option: kind} of a solver, or None when its options are not known here."""
    if name == "CLARABEL":
        try:
            import clarabel
        except ImportError:
            return None
        settings = clarabel.DefaultSettings()
        kinds = {bool: "bool", int: "int", float: "float"}
        return {k: kinds[type(getattr(settings, k))] for k in dir(settings)
                if not k.startswith("_") and k != "verbose" and type(getattr(settings, k)) in kinds}
    return _SOLVER_OPTIONS.get(name)


def validate(raw, source="<config>", base=None) -> Config:
    """Validate a config given as a parsed table (what `tomllib` returns);
    `source` names it in errors, `base` is the folder relative CSV paths start from."""
    base = Path(base) if base is not None else None
    fail = lambda key, problem: ConfigError(source, key, problem)  # noqa: E731
    nan = _nan_key(raw)
    if nan:
        raise fail(nan, "NaN is not a value a config can hold")
    known = {"date", "pool", "objective", "benchmark", "bounds", "constraints", "risk", "solver", "output"}
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
        if key not in POOL_KINDS + POOL_OPTIONS:
            raise fail("pool." + key, "unknown key (expected one of: {})".format(", ".join(POOL_KINDS + POOL_OPTIONS)))
    allow_shrink = pool.get("allow_shrink", False)
    if not isinstance(allow_shrink, bool):
        raise fail("pool.allow_shrink", "expected true or false, got {!r}".format(allow_shrink))
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
            for v in pair:
                _number(v, where, fail)
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
        elif key == "industry":
            if not isinstance(setting, str) or not setting.strip():
                raise fail("risk.industry", "expected the name of an industry classification of the store, "
                                            "such as \"sws\" or \"gics\"")
        else:
            _number(setting, "risk." + key, fail)

    solver = dict(_table(raw.get("solver", {}), "solver", fail))
    _check_solver(solver, fail)

    output = _table(raw.get("output", {}), "output", fail)
    for key, setting in output.items():
        if key not in OUTPUT_KEYS:
            raise fail("output." + key, "unknown key (expected one of: {})".format(", ".join(OUTPUT_KEYS)))
        if not isinstance(setting, (int, float)) or isinstance(setting, bool) or not 0 <= setting < 0.01:
            raise fail("output." + key, "expected a number from 0 to 0.01, got {!r}".format(setting))

    config = Config(date=date, pool={kind: pool[kind]}, objective=objective, benchmark=benchmark, bounds=bounds,
                    constraints=constraints, risk=risk, solver=solver, output=output, source=source, base=base,
                    allow_shrink=allow_shrink)
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
    for name in _NUMBERS & set(table):
        value = table[name]
        if name in _LIMITS and isinstance(value, str) and _PERCENT.fullmatch(value.strip()):
            continue  # a deviation from the benchmark's value, e.g. "-2%"
        if isinstance(value, str) and name in _LIMITS:
            raise fail("{}.{}".format(key, name), "expected a number, or a percentage such as \"-2%\" for a "
                       "relative limit; got {!r} (write a number without quotes)".format(value))
        _number(value, "{}.{}".format(key, name), fail, whole=name == "window")
    for name in _SERIES & set(table):
        if isinstance(table[name], dict):
            for k, v in table[name].items():
                _number(v, "{}.{}.{}".format(key, name, k), fail)
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
                value = picked if picked is not None else _store_classification(source, where, value)
            elif not isinstance(value, (dict, pd.Series)):
                raise ConfigError(source, where, "expected a classification name or a table {id = industry}")
        kwargs[name] = value
    from .exception import InvalidArgument
    from .messages import english

    try:
        return factory(**kwargs)
    except (InvalidArgument, TypeError, ValueError) as exc:
        # the refusal in English; the core's own exception stays the cause
        raise ConfigError(source, key, "{} refused it: {}".format(kind, english(exc))) from exc


def _some(items, n=5):
    return ", ".join(items[:n]) + (", ..." if len(items) > n else "")


def classification_of(standard):
    """The classification argument for an industry standard of the store."""
    if standard is None:
        return None
    for known in IndustryClassification:
        if known.value == standard:
            return known
    import corvana

    ids = corvana.all_instruments()["order_book_id"].tolist()
    mapping = corvana.get_industry(ids, standard)
    return mapping[mapping != "UNKNOWN"]


def _store_classification(source, where, name):
    """A classification named in a config that is not a built-in standard: the store's."""
    import corvana

    try:
        standards = corvana.industry_standards()
    except Exception:  # no store to ask: name the built-in standards only
        standards = []
    if name.lower() not in standards:
        raise ConfigError(source, where, "expected one of {}, an industry classification of the store{} "
                          "or a table {{id = industry}}".format(
                              ", ".join(IndustryClassification.__members__),
                              " ({})".format(", ".join(standards)) if standards else ""))
    return classification_of(name.lower())


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
    """The config entry {"type": name, **parameters} of an object, from its public
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
