"""Small stand-ins for the optimization context, used to isolate units.

`FakeHelper` offers the members the core modules read, built from explicit
matrices, so tests can check results against independent computations.
"""
import datetime
import os

import numpy as np
import pandas as pd


def warned_from(warning, filename) -> bool:
    """Whether ``warning`` names ``filename`` as the place it came from.

    Under mutmut every mutated function is called through mutmut's
    trampoline, so there the first frame outside a mutated module is the
    trampoline's (and a wrong stack level still names another file).
    """
    if "MUTANT_UNDER_TEST" in os.environ and os.path.basename(warning.filename) == "trampoline.py":
        return "mutmut" in warning.filename
    return warning.filename == filename


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


# --------------------------------------------------------------------------- data client

class Instrument:
    """An instrument record with the fields the core modules read."""

    def __init__(self, order_book_id, type="CS", listed_date="2010-01-04",
                 de_listed_date="0000-00-00"):
        self.order_book_id = order_book_id
        self.type = type
        self.listed_date = listed_date
        self.de_listed_date = de_listed_date


class FakeCorvana:
    """A data client serving explicit instrument records (and whatever else a
    test sets as attributes).  Like the real client, `instruments` gives one
    record or None for an id string and the known records for an iterable."""

    def __init__(self, *records):
        self.records = list(records)
        self.instrument_calls = []

    def instruments(self, order_book_ids):
        self.instrument_calls.append(order_book_ids)
        by_id = {r.order_book_id: r for r in self.records}
        if isinstance(order_book_ids, str):
            return by_id.get(order_book_ids)
        return [by_id[i] for i in order_book_ids if i in by_id]


def fake_helper_class(calls=None, **options):
    """A stand-in for the OptimizeHelper class: takes the seven positional
    arguments the driver passes, records them in `calls` and returns a
    FakeHelper over the pool (with `options` as FakeHelper keywords)."""

    def make(order_book_ids, date, benchmark, cov_model, risk_model,
             factor_risk_aversion, specific_risk_aversion):
        if calls is not None:
            calls.append((order_book_ids, date, benchmark, cov_model, risk_model,
                          factor_risk_aversion, specific_risk_aversion))
        return FakeHelper(order_book_ids, benchmark=benchmark, **options)

    return make
