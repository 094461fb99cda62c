from abc import ABCMeta
from typing import Any, ClassVar, Protocol

import cvxpy as cp
import pandas as pd

from .helper import OptimizeHelper

class _TransactionCostModel(Protocol):
    def get_penalty(self, g: cp.Variable, helper: OptimizeHelper) -> Any: ...

def ensure_series(obj: Any, name: str) -> pd.Series: ...

class OptimizationObjective(metaclass=ABCMeta):
    def get_objective_expr(self, g: cp.Variable, zeta: Any, helper: OptimizeHelper) -> cp.Expression: ...
    def get_internal_constraints(self, g: cp.Variable, zeta: Any, helper: OptimizeHelper) -> list[cp.Constraint]: ...
    def get_preferred_solver(self) -> str | None: ...

class MinVariance(OptimizationObjective):
    """风险最小化"""

class MinActiveVariance(OptimizationObjective):
    """主动风险最小化"""

class MinTrackingError(OptimizationObjective):
    """最小追踪误差"""

class MeanVariance(OptimizationObjective):
    """收益/风险优化"""
    _expected_returns: pd.Series | None
    _risk_aversion_coefficient: float
    _window: int
    _transaction_cost_model: _TransactionCostModel | None
    def __init__(self, *, expected_returns: pd.Series | Any | None = None, window: int = 252,
                 risk_aversion_coefficient: float = 1,
                 transaction_cost_model: _TransactionCostModel | None = None) -> None: ...

class ActiveMeanVariance(OptimizationObjective):
    """主动收益/主动风险优化"""
    _expected_active_returns: pd.Series | None
    _risk_aversion_coefficient: float
    _window: int
    _transaction_cost_model: _TransactionCostModel | None
    def __init__(self, *, expected_active_returns: pd.Series | Any | None = None, window: int = 252,
                 risk_aversion_coefficient: float = 1,
                 transaction_cost_model: _TransactionCostModel | None = None) -> None: ...

class MaxSharpeRatio(OptimizationObjective):
    """最大化夏普比率"""
    _expected_returns: pd.Series | None
    _window: int
    def __init__(self, *, expected_returns: pd.Series | Any | None = None, window: int = 252) -> None: ...

class MaxInformationRatio(OptimizationObjective):
    """最大信息比率"""
    _expected_active_returns: pd.Series | None
    _window: int
    def __init__(self, *, expected_active_returns: pd.Series | Any | None = None,
                 window: int = 252) -> None: ...

class MaxIndicator(OptimizationObjective):
    """指标最大化"""
    _indicator_series: pd.Series
    def __init__(self, indicator_series: pd.Series | Any) -> None: ...

class MinStyleDeviation(OptimizationObjective):
    """风格偏离最小化"""
    PRIORITY_ADJUST_FACTOR: ClassVar[list[int]]
    _target_style: pd.Series
    _relative: bool
    _priority: pd.Series | None
    def __init__(self, target_style: pd.Series | Any, *, relative: bool = False,
                 priority: pd.Series | Any | None = None) -> None: ...

class RiskParity(OptimizationObjective):
    """风险平价"""
