import datetime
from enum import Enum
from typing import Any, Iterable, TypeVar

import numpy as np
import pandas as pd

from .benchmark import IndexBenchmark as IndexBenchmark, OptimizeBenchmark as OptimizeBenchmark
from .const import (
    STYLE_FACTORS as STYLE_FACTORS,
    CovModel as CovModel,
    IndustryClassification as IndustryClassification,
    RiskModel as RiskModel,
)
from .exception import (
    InvalidArgument as InvalidArgument,
    OptimizationFailed as OptimizationFailed,
    OptimizerWarning as OptimizerWarning,
)
from .helper import OptimizeHelper as OptimizeHelper
from .objective import (
    ActiveMeanVariance as ActiveMeanVariance,
    MaxInformationRatio as MaxInformationRatio,
    MaxSharpeRatio as MaxSharpeRatio,
    MinActiveVariance as MinActiveVariance,
    MinTrackingError as MinTrackingError,
    MinVariance as MinVariance,
    OptimizationObjective as OptimizationObjective,
    RiskParity as RiskParity,
)

_E = TypeVar("_E", bound=Enum)
_DateLike = datetime.date | datetime.datetime | str
_Bound = float | int | str | None

DEBUG: bool
DEFAULT_OBJECTIVE: MinVariance

def to_enum(v: Any, enum_type: type[_E]) -> _E: ...
def to_date(dt: _DateLike) -> datetime.date: ...
def ensure_date_str(date: _DateLike) -> str: ...
def ensure_order_book_ids(order_book_ids: Iterable[str] | str, date: _DateLike) -> list[str]: ...
def ensure_bound(v: _Bound) -> float | None: ...
def parse_bnds(
    bnds: dict[str, tuple[float | None, float | None]], order_book_ids: list[str]
) -> tuple[np.ndarray, np.ndarray]: ...
def portfolio_optimize(
    order_book_ids: Iterable[str] | str,
    date: _DateLike,
    objective: OptimizationObjective = ...,
    bnds: dict[str, tuple[float | None, float | None]] | None = None,
    cons: Iterable[Any] | None = None,
    benchmark: str | OptimizeBenchmark | None = None,
    cov_model: CovModel | str = CovModel.FACTOR_MODEL_DAILY,
    factor_risk_aversion: float = 1.0,
    specific_risk_aversion: float = 1.0,
    solver: str | None = None,
    risk_model: RiskModel | str = RiskModel.V1,
    **solver_options: Any,
) -> pd.Series: ...
