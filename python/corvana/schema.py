"""What a market-data store holds: its tables, their columns and keys, and the
names the data are indexed by (style factors, risk-model versions, horizons).

Everything that reads, writes, imports or generates tables takes these facts
from here, so adding a table or a column means changing this module, the API
that reads it and docs/data.md.
"""

from __future__ import annotations

import pyarrow as pa

#: Trading days in a year; daily risk figures are annualised with it.
TRADING_DAYS_PER_YEAR = 252

#: Style factors of the risk model, in model order.
STYLE_NAMES = [
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

#: Horizons of the risk model's covariance estimates (values of ``horizon``).
HORIZONS = ("daily", "monthly", "quarterly")

#: Risk-model versions (values of ``version``).
RISK_MODEL_VERSIONS = ("v1", "v2")

STR = pa.string()
DATE = pa.date32()
F64 = pa.float64()

#: Columns of every table, in file order.  ``bars`` may carry extra float64
#: columns (additional daily factors readable through ``get_factor``).
SCHEMA: dict[str, list[tuple[str, pa.DataType]]] = {
    "instruments": [
        ("order_book_id", STR), ("symbol", STR), ("type", STR), ("exchange", STR),
        ("listed_date", STR), ("de_listed_date", STR),
    ],
    "trading_dates": [("date", DATE)],
    "bars": [
        ("order_book_id", STR), ("date", DATE), ("close", F64), ("volume", F64),
        ("adj_factor", F64), ("market_cap_3", F64),
    ],
    "index_weights": [("index_id", STR), ("date", DATE), ("order_book_id", STR), ("weight", F64)],
    "industries": [("order_book_id", STR), ("standard", STR), ("industry", STR)],
    "style_exposure": [("version", STR), ("date", DATE), ("order_book_id", STR), ("industry", STR)]
    + [(s, F64) for s in STYLE_NAMES],
    "factor_covariance": [
        ("version", STR), ("date", DATE), ("horizon", STR), ("factor_i", STR), ("factor_j", STR),
        ("cov", F64),
    ],
    "specific_risk": [
        ("version", STR), ("date", DATE), ("horizon", STR), ("order_book_id", STR),
        ("specific_variance", F64),
    ],
}

#: The columns that identify a row of each table (no two rows share them).
KEYS = {
    "instruments": ["order_book_id"],
    "trading_dates": ["date"],
    "bars": ["order_book_id", "date"],
    "index_weights": ["index_id", "date", "order_book_id"],
    "industries": ["order_book_id", "standard"],
    "style_exposure": ["version", "date", "order_book_id"],
    "factor_covariance": ["version", "date", "horizon", "factor_i", "factor_j"],
    "specific_risk": ["version", "date", "horizon", "order_book_id"],
}

#: Sort order of each file.  Bars are sorted by date first so that the usual
#: query (a set of stocks over a short window) reads few row groups.
SORT_KEYS = {
    "instruments": ["order_book_id"],
    "trading_dates": ["date"],
    "bars": ["date", "order_book_id"],
    "index_weights": ["index_id", "date", "order_book_id"],
    "industries": ["standard", "order_book_id"],
    "style_exposure": ["version", "date", "order_book_id"],
    "factor_covariance": ["version", "date", "horizon", "factor_i", "factor_j"],
    "specific_risk": ["version", "date", "horizon", "order_book_id"],
}

REQUIRED_TABLES = ["instruments", "trading_dates", "bars", "index_weights", "industries"]
#: Optional tables that come as a group: all of them or none.
RISK_TABLES = ["style_exposure", "factor_covariance", "specific_risk"]
BAR_BASE_COLUMNS = [c for c, _ in SCHEMA["bars"]]


def columns(name: str) -> list[str]:
    """The column names of table ``name``, in file order."""
    return [c for c, _ in SCHEMA[name]]
