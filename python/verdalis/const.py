"""Enumerations and constants shared by the optimizer modules."""

from enum import Enum

__all__ = ["CovModel", "RiskModel", "IndustryClassification", "STYLE_FACTORS", "TRADING_DAYS_PER_YEAR"]


class CovModel(Enum):
    """Horizon of the factor covariance model (half-lives of the estimate)."""

    FACTOR_MODEL_DAILY = "daily"
    FACTOR_MODEL_MONTHLY = "monthly"
    FACTOR_MODEL_QUARTERLY = "quarterly"


class RiskModel(Enum):
    """Version of the risk model."""

    V1 = "v1"
    V2 = "v2"


class IndustryClassification(Enum):
    """Industry classification standard."""

    SWS = "sws"
    CITICS = "citics"


STYLE_FACTORS = [
    "beta",
    "book_to_price",
    "earnings_yield",
    "growth",
    "leverage",
    "liquidity",
    "momentum",
    "non_linear_size",
    "residual_volatility",
    "size",
]

#: Trading days per year: the default history window and the annualisation
#: factor of daily returns and covariances.
TRADING_DAYS_PER_YEAR = 252
