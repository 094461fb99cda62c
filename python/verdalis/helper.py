"""Per-call optimization context: risk model, industries and benchmark data."""

import datetime
import functools
import math
import os
import sys
import threading
import warnings
from collections import OrderedDict
from collections.abc import Mapping
from typing import NamedTuple

import numpy as np
import pandas as pd

import corvana
from corvana.coerce import member, to_date

from .const import STYLE_FACTORS, TRADING_DAYS_PER_YEAR, CovModel, IndustryClassification, RiskModel
from .exception import InvalidArgument, OptimizerWarning
from .messages import IdList, _build

__all__ = ["OptimizeHelper"]

UNKNOWN_INDUSTRY = "UNKNOWN"
# industry standard used to place stocks the risk model does not cover
_FALLBACK_INDUSTRY_STANDARD = IndustryClassification.SWS.value
# at most this many ids are spelled out in a warning
_MAX_NAMED = 20

_INTERNAL_FILES = frozenset(
    os.path.normcase(os.path.abspath(f)) for f in (__file__, functools.__file__)
)


def _refusal(template, *values):
    """The InvalidArgument of a catalogued message (its text in the chosen language)."""
    return _build(InvalidArgument, template, values)


def _warn(template, *values):
    """Warn with a catalogued message, at the stack level of the first frame outside this module.

    The helper's members are reached through ``functools.cached_property``
    and internal methods, or straight from the compiled core (whose frames do
    not count), so the right level is found by walking the stack.
    """
    frame = sys._getframe(0)
    level = 1
    while frame is not None and os.path.normcase(
            os.path.abspath(frame.f_code.co_filename)) in _INTERNAL_FILES:
        frame = frame.f_back
        level += 1
    warnings.warn(_build(OptimizerWarning, template, values), stacklevel=level)


def _name_ids(ids):
    ids = list(ids)
    return IdList(ids[:_MAX_NAMED], len(ids))


def _enum_value(enum_cls, value, name):
    """The ``.value`` string of an enum member given as member, value or name."""
    if value is None:
        return next(iter(enum_cls)).value
    if isinstance(value, enum_cls):
        return value.value
    picked = member(enum_cls, value)
    if picked is not None:
        return picked.value
    raise _refusal("无效的 {}：{}，可选值为：{}",
        name, value, ", ".join(m.value for m in enum_cls))


def _check_aversion(name, value):
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise _refusal("{} 必须是数值，传入值为：{}", name, value) from None
    if math.isnan(v) or math.isinf(v):
        raise _refusal("{} 必须是有限数值，传入值为：{}", name, value)
    if v < 0:
        raise _refusal("{} 不能小于0，传入值为：{}", name, value)
    return v


def _readonly(a):
    a.setflags(write=False)
    return a


class _RiskData(NamedTuple):
    snapshot_date: datetime.date
    styles: list           # style factor names, in STYLE_FACTORS order
    style_exposure: np.ndarray   # m x len(styles), gaps filled
    B: np.ndarray          # m x k, B B^T = fra * X F X^T (annualised)
    d: np.ndarray          # m, sra * annualised specific variance
    factors: list          # factor names, in covariance order
    X: np.ndarray          # m x len(factors) exposures (country, industries, styles)
    F: np.ndarray          # annualised factor covariance, unscaled by fra


_ROOTS: "OrderedDict[bytes, np.ndarray]" = OrderedDict()
_ROOTS_SIZE = 64
_ROOTS_LOCK = threading.Lock()


def _factor_root(F):
    """L with F = L Lᵀ, through a clipped eigen-decomposition (works for a
    singular F).  Every optimization on one date and model reads the same F,
    so roots are kept by F's bytes (a small bounded cache): the result is the
    same array a fresh decomposition gives."""
    key = F.tobytes()
    with _ROOTS_LOCK:
        root = _ROOTS.get(key)
        if root is not None:
            _ROOTS.move_to_end(key)
            return root
    eigval, eigvec = np.linalg.eigh(F)
    eigval = np.clip(eigval, 0.0, None)
    keep = eigval > eigval.max(initial=0.0) * F.shape[0] * np.finfo(float).eps
    if not keep.any():
        keep[-1:] = True
    root = _readonly(eigvec[:, keep] * np.sqrt(eigval[keep]))
    with _ROOTS_LOCK:
        _ROOTS[key] = root
        while len(_ROOTS) > _ROOTS_SIZE:
            _ROOTS.popitem(last=False)
    return root


class OptimizeHelper:
    """Data of one optimization call: risk model, industries, benchmark.

    ``OptimizeHelper(order_book_ids, date, benchmark, cov_model, risk_model,
    factor_risk_aversion, specific_risk_aversion)``

    Everything is read from ``corvana`` as of ``prev_trading_date``, the last
    trading date before ``date`` (the risk model from its latest snapshot on or
    before that date), computed on first use and cached on the instance.

    Risk model: Σ = factor_risk_aversion · X F Xᵀ + specific_risk_aversion · Δ,
    with X the exposures to the model's factors ("country" = 1, one-hot
    industry, the style factors), F the factor covariance of the chosen horizon
    (``cov_model``) and version (``risk_model``), Δ the diagonal of specific
    variances; F and Δ are annualised (daily × 252).  ``get_factor_risk()``
    gives the same matrix in factor form, (B, d) with Σ = B Bᵀ + diag(d).

    When a benchmark is given, risk data are loaded once for
    ``union_components`` (the pool, then the benchmark's other components) and
    the pool's quantities are its leading rows.

    Stocks the risk model does not cover (or covers with gaps) are never
    handed on as NaN.  One ``OptimizerWarning`` names them, and they get:
    style exposures 0 (the cross-sectional mean of standardised styles); the
    industry factor of their "sws" industry when the risk model has a factor
    of that name, otherwise no industry exposure; and the cross-sectional
    median of the covered stocks' specific variances.

    Benchmark members (``benchmark_components``, ``union_components``,
    ``benchmark_weight``, ``get_union_cov_matrix``, ``get_union_factor_risk``,
    ``get_benchmark_industry_weight``, ``get_benchmark_style``) raise
    ``InvalidArgument`` when no benchmark was given.  Benchmark weights come
    from ``benchmark.get_weight(prev_trading_date)``; non-positive and missing
    weights are dropped and the rest normalised to sum to 1.
    """

    def __init__(self, order_book_ids, date, benchmark, cov_model, risk_model,
                 factor_risk_aversion, specific_risk_aversion):
        self.factor_risk_aversion = _check_aversion(
            "factor_risk_aversion", factor_risk_aversion)
        self.specific_risk_aversion = _check_aversion(
            "specific_risk_aversion", specific_risk_aversion)
        self._horizon = _enum_value(CovModel, cov_model, "cov_model")
        self._version = _enum_value(RiskModel, risk_model, "risk_model")
        self.cov_model = CovModel(self._horizon)
        self.risk_model = RiskModel(self._version)

        ids = [order_book_ids] if isinstance(order_book_ids, str) else list(order_book_ids)
        if len(set(ids)) != len(ids):
            dups = pd.Index(ids)[pd.Index(ids).duplicated()].unique()
            raise _refusal("股票池中存在重复的 order_book_id：{}", _name_ids(dups))
        self.order_book_ids = ids
        self.date = to_date(date)
        self.benchmark = benchmark
        self._cache = {}
        # every read of this call (its own and the core's) sees the store
        # version the call started on, for as long as the helper lives
        pin = getattr(corvana, "pin_for", None)
        if pin is not None:
            pin(self)

    # ------------------------------------------------------------------ dates

    @functools.cached_property
    def prev_trading_date(self):
        prev = to_date(corvana.get_previous_trading_date(self.date))
        try:
            corvana.trading_date_offset(self.date, 0)
        except ValueError:
            # no trading date on or after the date: the data stop at prev
            _warn("{} 晚于行情数据的最后一个交易日 {}，所用数据截至该日", self.date, prev)
        return prev

    @property
    def risk_model_date(self):
        """Date of the risk-model snapshot in use (latest on or before prev_trading_date)."""
        return self._risk.snapshot_date

    # -------------------------------------------------------------- benchmark

    def _require_benchmark(self, member):
        if self.benchmark is None:
            raise _refusal("{} 需要传入 benchmark 参数", member)

    @functools.cached_property
    def _benchmark_weights(self):
        """Normalised positive weights of the benchmark, sorted by id."""
        date = self.prev_trading_date
        raw = self.benchmark.get_weight(date)
        if raw is None:
            raise _refusal("benchmark 在 {} 没有权重数据", date)
        w = self._numeric_weights(raw)
        if w.index.has_duplicates:
            dups = w.index[w.index.duplicated()].unique()
            raise _refusal("benchmark 权重中存在重复的 order_book_id：{}",
                _name_ids(dups))
        values = w.to_numpy()
        w = w[np.isfinite(values) & (values > 0)]
        # the weighted stocks must be ones the market data know
        labels = list(w.index)
        strange = [i for i in labels if not isinstance(i, str)]
        if not strange:
            known = {r.order_book_id for r in corvana.instruments(labels) if r is not None}
            strange = [i for i in labels if i not in known]
        if strange:
            raise _refusal("benchmark 权重中存在未知的 order_book_id：{}",
                _name_ids(strange))
        if w.empty:
            raise _refusal("benchmark 在 {} 没有正的权重", date)
        w = (w / w.sum()).sort_index()
        w.index.name = "order_book_id"
        w.name = "weight"
        return w

    @staticmethod
    def _numeric_weights(raw):
        """``get_weight``'s result as a float Series, or InvalidArgument saying what it was."""
        try:
            w = raw if isinstance(raw, pd.Series) else pd.Series(raw, dtype=float)
            if pd.api.types.is_complex_dtype(w.dtype) or not (
                    pd.api.types.is_numeric_dtype(w.dtype) or w.dtype == object):
                raise TypeError(w.dtype)
            return w.astype(float)
        except (TypeError, ValueError):
            raise _refusal("benchmark 的 get_weight 应返回以 order_book_id 为索引的数值 pd.Series，"
                                  "返回值为：{}", repr(raw)) from None

    @functools.cached_property
    def benchmark_components(self):
        self._require_benchmark("benchmark_components")
        return list(self._benchmark_weights.index)

    @functools.cached_property
    def union_components(self):
        self._require_benchmark("union_components")
        pool = set(self.order_book_ids)
        return self.order_book_ids + [c for c in self.benchmark_components if c not in pool]

    @functools.cached_property
    def _benchmark_weight(self):
        self._require_benchmark("benchmark_weight")
        w = self._benchmark_weights.reindex(self.union_components, fill_value=0.0)
        w.index.name = "order_book_id"
        return w

    @property
    def benchmark_weight(self):
        """Benchmark weights over union_components (0 for pool stocks outside
        it); a copy, so that a caller's edit never reaches later reads."""
        return self._benchmark_weight.copy()

    @functools.cached_property
    def _universe(self):
        """Ids risk and industry data are loaded for: the union with a benchmark, else the pool."""
        if self.benchmark is None:
            return self.order_book_ids
        return self.union_components

    # ------------------------------------------------------------- risk model

    @functools.cached_property
    def _risk(self):
        ids = self._universe
        version, horizon = self._version, self._horizon
        snapshot = corvana.get_risk_model_date(self.prev_trading_date, version)
        if snapshot is None:
            raise _refusal("风险模型 {} 在 {} 及之前没有数据",
                version, self.prev_trading_date)
        snapshot = to_date(snapshot)

        cov = corvana.get_factor_covariance(snapshot, horizon, version)
        factors = [str(f) for f in cov.index]
        F = cov.reindex(index=factors, columns=factors).to_numpy(dtype=float)
        if not np.isfinite(F).all():
            raise _refusal("风险模型 {} 在 {} 的因子协方差含有缺失值",
                version, snapshot)
        F = (F + F.T) * (0.5 * TRADING_DAYS_PER_YEAR)

        expo = corvana.get_risk_exposure(ids, snapshot, version)
        covered = pd.Index(ids, dtype=object).isin(expo.index)  # hashed; an Arrow string index would scan
        expo = expo.reindex(ids)
        styles = [s for s in STYLE_FACTORS if s in expo.columns]
        style_values = np.array(expo[styles].to_numpy(dtype=float))
        style_gap = ~np.isfinite(style_values)
        style_values[style_gap] = 0.0

        spec = corvana.get_specific_risk(ids, snapshot, horizon, version)
        spec = spec.reindex(ids).to_numpy(dtype=float)
        spec_ok = np.isfinite(spec) & (spec >= 0)
        if not spec_ok.any():
            raise _refusal("风险模型 {} 在 {} 没有覆盖任何股票", version, snapshot)
        spec = np.where(spec_ok, spec, np.median(spec[spec_ok])) * TRADING_DAYS_PER_YEAR

        if "industry" in expo.columns:
            industry = np.array(expo["industry"].to_numpy(dtype=object))
        else:
            industry = np.full(len(ids), None, dtype=object)
        if not covered.all():
            missing = np.asarray(ids, dtype=object)[~covered].tolist()
            try:
                fallback = corvana.get_industry(missing, _FALLBACK_INDUSTRY_STANDARD)
            except ValueError:  # a store without that standard: no industry factor for them
                fallback = pd.Series(UNKNOWN_INDUSTRY, index=missing, dtype=object)
            industry[~covered] = fallback.reindex(missing).to_numpy(dtype=object)

        filled = ~covered | style_gap.any(axis=1) | ~spec_ok
        if filled.any():
            _warn("风险模型（{}，{}）未完整覆盖以下股票，已按风格暴露 0、特异方差取截面中位数处理：{}",
                version, snapshot, _name_ids(np.asarray(ids, dtype=object)[filled]))

        # exposure matrix over the factors, in covariance order
        X = np.zeros((len(ids), len(factors)))
        if "country" in factors:
            X[:, factors.index("country")] = 1.0
        style_set = set(styles) | set(STYLE_FACTORS)
        industry_factors = [f for f in factors if f != "country" and f not in style_set]
        pos = pd.Index(industry_factors).get_indexer(pd.Index(industry, dtype=object))
        rows = np.nonzero(pos >= 0)[0]
        col_of = np.array([factors.index(f) for f in industry_factors], dtype=int)
        if len(rows):
            X[rows, col_of[pos[rows]]] = 1.0
        for j, s in enumerate(styles):
            if s in factors:
                X[:, factors.index(s)] = style_values[:, j]

        L = _factor_root(F)
        B = math.sqrt(self.factor_risk_aversion) * (X @ L)
        d = self.specific_risk_aversion * spec
        return _RiskData(snapshot, styles, _readonly(style_values),
                         _readonly(np.ascontiguousarray(B)), _readonly(d),
                         list(factors), _readonly(X), _readonly(F))

    @staticmethod
    def _cov_from_factors(B, d):
        cov = B @ B.T
        # make the matrix exactly symmetric; a tiled copy of the upper triangle
        # stays cache friendly where ``cov += cov.T`` would not
        n, tile = cov.shape[0], 256
        for i in range(0, n, tile):
            for j in range(i + tile, n, tile):
                cov[j:j + tile, i:i + tile] = cov[i:i + tile, j:j + tile].T
            block = cov[i:i + tile, i:i + tile]
            block[...] = np.triu(block) + np.triu(block, 1).T
        cov[np.diag_indices_from(cov)] += d
        return _readonly(cov)

    def get_factor_risk(self):
        """(B, d) over the pool: Σ = B Bᵀ + diag(d), B n×k, d of length n."""
        n = len(self.order_book_ids)
        return self._risk.B[:n], self._risk.d[:n]

    def get_union_factor_risk(self):
        """(B, d) over union_components, same form as get_factor_risk()."""
        self._require_benchmark("get_union_factor_risk")
        return self._risk.B, self._risk.d

    def get_factor_model(self, union=False):
        """(X, F) of the risk model: exposures (rows the pool, or union_components
        with ``union=True``; one column per factor) and the annualised factor
        covariance, so that B Bᵀ = factor_risk_aversion · X F Xᵀ.  Copies:
        editing them changes nothing here."""
        if union:
            self._require_benchmark("get_factor_model")
        rows = self.union_components if union else self.order_book_ids
        risk = self._risk
        X = pd.DataFrame(risk.X[:len(rows)].copy(), index=pd.Index(rows, name="order_book_id"),
                         columns=risk.factors)
        F = pd.DataFrame(risk.F.copy(), index=risk.factors, columns=risk.factors)
        return X, F

    def get_cov_matrix(self):
        """Annualised n×n covariance matrix of the pool, in pool order."""
        if "cov" not in self._cache:
            if self.benchmark is None:
                cov = self._cov_from_factors(*self.get_factor_risk())
            else:
                # the pool block of the union matrix: one computation for both
                n = len(self.order_book_ids)
                union_cov = self.get_union_cov_matrix()
                cov = union_cov if union_cov.shape[0] == n else _readonly(union_cov[:n, :n].copy())
            self._cache["cov"] = cov
        return self._cache["cov"]

    def get_union_cov_matrix(self):
        """Annualised covariance matrix over union_components, in that order."""
        self._require_benchmark("get_union_cov_matrix")
        if "union_cov" not in self._cache:
            self._cache["union_cov"] = self._cov_from_factors(*self.get_union_factor_risk())
        return self._cache["union_cov"]

    def get_factor_exposure(self):
        """Style exposures: rows the pool in pool order, one column per style factor."""
        if "exposure" not in self._cache:
            n = len(self.order_book_ids)
            self._cache["exposure"] = pd.DataFrame(
                self._risk.style_exposure[:n], index=pd.Index(self.order_book_ids, name="order_book_id"),
                columns=list(self._risk.styles))
        return self._cache["exposure"].copy()

    def get_benchmark_style(self):
        """Benchmark-weighted style exposure, indexed by style factor."""
        self._require_benchmark("get_benchmark_style")
        if "benchmark_style" not in self._cache:
            values = self.benchmark_weight.to_numpy() @ self._risk.style_exposure
            s = pd.Series(values, index=pd.Index(self._risk.styles, name="style"), name="exposure")
            self._cache["benchmark_style"] = s
        return self._cache["benchmark_style"].copy()

    # --------------------------------------------------------------- industry

    @staticmethod
    def _resolve_classification(classification):
        """A standard's value string, or a custom id -> industry Series."""
        if isinstance(classification, IndustryClassification):
            return classification.value
        if isinstance(classification, pd.Series):
            custom = classification
        elif isinstance(classification, Mapping):
            custom = pd.Series(dict(classification), dtype=object)
        elif isinstance(classification, str) or hasattr(classification, "value"):
            return _enum_value(IndustryClassification, classification, "classification")
        else:
            raise _refusal("classification: 期望传入 IndustryClassification、dict 或 pd.Series，传入值为：{}",
                    classification)
        if custom.index.has_duplicates:
            dups = custom.index[custom.index.duplicated()].unique()
            raise _refusal("自定义行业分类中存在重复的 order_book_id：{}", _name_ids(dups))
        return custom

    def _industry(self, classification, ids):
        """Industry per id of ``ids`` (the pool or the union) as a Series."""
        resolved = self._resolve_classification(classification)
        if isinstance(resolved, str):
            # one query per standard over the whole universe; the pool is its
            # head.  Every industry limit asks for the same Series (when it
            # builds its rows and when it is measured after the solve), so
            # the Series is kept too and each caller gets its own copy.
            key = ("industry", resolved)
            if key not in self._cache:
                universe = self._universe
                s = corvana.get_industry(universe, resolved).reindex(universe)
                self._cache[key] = s.to_numpy(dtype=object)
            series_key = ("industry_series", resolved, len(ids))
            if series_key not in self._cache:
                s = pd.Series(self._cache[key][:len(ids)], dtype=object)
                s = s.where(s.notna(), UNKNOWN_INDUSTRY)
                s.index = pd.Index(ids, name="order_book_id")
                s.name = "industry"
                self._cache[series_key] = s
            return self._cache[series_key].copy()
        s = resolved.reindex(ids).astype(object)
        s = s.where(s.notna(), UNKNOWN_INDUSTRY)
        s.index = pd.Index(ids, name="order_book_id")
        s.name = "industry"
        return s

    def get_industry_mapping(self, classification):
        """Industry name per pool stock in pool order; "UNKNOWN" when unclassified.

        ``classification``: an IndustryClassification member (or its value),
        or a user's mapping id -> industry (pd.Series or dict).
        """
        return self._industry(classification, self.order_book_ids)

    def get_benchmark_industry_weight(self, classification):
        """Total benchmark weight per industry, indexed by industry name."""
        self._require_benchmark("get_benchmark_industry_weight")
        resolved = self._resolve_classification(classification)
        key = ("benchmark_industry_weight", resolved) if isinstance(resolved, str) else None
        if key is not None and key in self._cache:
            return self._cache[key].copy()
        weight = self.benchmark_weight
        industry = self._industry(classification, self.union_components)
        held = weight.to_numpy() > 0
        s = pd.Series(weight.to_numpy()[held]).groupby(industry.to_numpy()[held]).sum()
        s.index.name = "industry"
        s.name = "weight"
        if key is not None:
            self._cache[key] = s.copy()
        return s
