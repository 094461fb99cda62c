"""corvana: a local market-data client backed by a folder of Parquet tables.

>>> import corvana
>>> corvana.connect("/path/to/store")          # optional; default: $CORVANA_DATA or the per-user folder
>>> corvana.index_weights("000300.XSHG", "2021-06-30")
"""

from .api import (
    Instrument,
    all_instruments,
    get_factor,
    get_factor_covariance,
    get_industry,
    get_next_trading_date,
    get_previous_trading_date,
    get_price,
    get_price_change_rate,
    get_risk_exposure,
    get_risk_model_date,
    get_specific_risk,
    get_trading_dates,
    index_components,
    index_weights,
    index_weights_ex,
    industry_standards,
    instruments,
    trading_date_offset,
)
from .client import connect, pin_for, pinned
from . import checks, riskmodel
from .frames import import_frames
from .importer import DataImportError, import_store
from .riskmodel import estimate_store as estimate_risk_model
from .schema import STYLE_NAMES
from .store import Store, StoreError
from .writer import write_store

__all__ = [
    "STYLE_NAMES",
    "DataImportError",
    "Instrument",
    "Store",
    "StoreError",
    "all_instruments",
    "connect",
    "estimate_risk_model",
    "get_factor",
    "get_factor_covariance",
    "get_industry",
    "get_next_trading_date",
    "get_previous_trading_date",
    "get_price",
    "get_price_change_rate",
    "get_risk_exposure",
    "get_risk_model_date",
    "get_specific_risk",
    "get_trading_dates",
    "import_frames",
    "import_store",
    "index_components",
    "index_weights",
    "index_weights_ex",
    "industry_standards",
    "instruments",
    "pin_for",
    "pinned",
    "trading_date_offset",
    "write_store",
]
