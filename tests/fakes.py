"""Small stand-ins for the optimization context, used to isolate units.

`FakeHelper` offers the members the core modules read, built from explicit
matrices, so tests can check results against independent computations.
"""
import datetime

import numpy as np
import pandas as pd

STYLES = ["beta", "book_to_price", "earnings_yield", "growth", "leverage",
          "liquidity", "momentum", "non_linear_size", "residual_volatility", "size"]


def random_factor_model(n, k=3, seed=0):
    """(B, d) of a random factor model with Σ = B Bᵀ + diag(d) (annual units)."""
    rng = np.random.default_rng(seed)
    B = rng.normal(0.0, 0.12, size=(n, k))
    d = rng.uniform(0.02, 0.09, size=n)
    return B, d


class FakeHelper:
    """Optimization context over explicit data.

    With ``factor=True`` it also offers the factor structure (get_factor_risk /
    get_union_factor_risk); without it only the dense covariance matrices.
    The union is the pool followed by ``outside`` (benchmark components not
    in the pool).
    """

    def __init__(self, order_book_ids, B=None, d=None, *, outside=(), benchmark_weight=None,
                 benchmark=None, factor=True, exposure=None, benchmark_style=None,
                 date=datetime.date(2021, 6, 1), prev_trading_date=datetime.date(2021, 5, 31),
                 seed=0):
        self.order_book_ids = list(order_book_ids)
        self.union_components = self.order_book_ids + list(outside)
        u = len(self.union_components)
        if B is None:
            B, d = random_factor_model(u, seed=seed)
        self._B, self._d = np.asarray(B, float), np.asarray(d, float)
        self._factor = factor
        self.date = date
        self.prev_trading_date = prev_trading_date
        self.benchmark = benchmark
        if benchmark_weight is not None:
            bw = pd.Series(benchmark_weight, dtype=float).reindex(self.union_components, fill_value=0.0)
            self.benchmark_weight = bw / bw.sum()
            self.benchmark_components = sorted(bw.index[bw > 0])
        self._exposure = exposure
        self._benchmark_style = benchmark_style

    # dense covariance
    def get_union_cov_matrix(self):
        return self._B @ self._B.T + np.diag(self._d)

    def get_cov_matrix(self):
        n = len(self.order_book_ids)
        return self.get_union_cov_matrix()[:n, :n]

    # factor structure, only when asked for
    def __getattr__(self, name):
        if self.__dict__.get("_factor") and name == "get_union_factor_risk":
            return lambda: (self._B, self._d)
        if self.__dict__.get("_factor") and name == "get_factor_risk":
            n = len(self.order_book_ids)
            return lambda: (self._B[:n], self._d[:n])
        raise AttributeError(name)

    def get_factor_exposure(self):
        return self._exposure

    def get_benchmark_style(self):
        return self._benchmark_style
