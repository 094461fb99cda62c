"""Enumerations and constants shared by the optimizer modules."""

from enum import Enum

from corvana.schema import STYLE_NAMES, TRADING_DAYS_PER_YEAR

# TRADING_DAYS_PER_YEAR is read as an attribute (by the helper and the compiled
# modules); it stays out of __all__ so that ``from verdalis.const import *``
# binds the same names as before.
__all__ = ["CovModel", "RiskModel", "IndustryClassification", "STYLE_FACTORS"]


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


#: Style factors of the risk model, in model order (the data layer's names).
STYLE_FACTORS = list(STYLE_NAMES)
