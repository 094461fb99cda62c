// Domain logic shared by the core modules: the things an objective, a
// constraint and a benchmark all need and that must mean the same in each.
//
//   * risk_term / risk_value - the one place that builds (and evaluates)
//                              x'Σx risk terms, in factor form when it can;
//   * ensure_series          - user data that must be a pandas Series;
//   * history_mean_return    - the annualised history estimate of returns;
//   * name_ids               - shortened id lists for messages.
//
// Every function takes the calling module's Globals: collaborators (np, pd,
// cp, corvana, InvalidArgument) are that module's, looked up at call time.
#pragma once

#include "verdalis/support.hpp"

namespace verdalis {

// The one builder of every x'Σx risk term.  When the helper offers its
// factor structure (get_factor_risk / get_union_factor_risk returning (B, d)
// with Σ = B Bᵀ + diag(d)) the term is emitted in factor form,
//   sum_squares(Bᵀ x) + sum_squares(sqrt(d) ∘ x),
// which is the same number but scales to thousands of stocks; otherwise it is
// exactly cp.quad_form(x, helper.get_cov_matrix()) (or the union matrix).
py::object risk_term(const Globals& G, py::handle x, py::handle helper, bool over_union);

// sqrt(x'Σx) as a second-order cone expression, norm([Bᵀx, sqrt(d) ∘ x]),
// when the helper offers its factor structure; an empty object otherwise.
// A limit on a risk (a tracking error of 1 %) is written on this norm rather
// than on the variance (1e-4): solvers judge feasibility in the units of the
// constraint, and a variance that small sits inside their tolerance.
py::object risk_norm(const Globals& G, py::handle x, py::handle helper, bool over_union);

// The same quadratic form evaluated for a numeric vector w (a float).
py::object risk_value(const Globals& G, py::handle w, py::handle helper, bool over_union);

// ensure_series(obj, name): a Series unchanged, anything else through
// pd.Series(obj); a failed conversion raises the module's InvalidArgument
// naming the parameter, the original error as its context.
py::object ensure_series(const Globals& G, py::object obj, py::object name);

// User data that must be numbers: ensure_series, then refused with the
// module's InvalidArgument (naming the parameter and the labels) when a label
// is repeated or a value is not a number, or a number the mode excludes.
// Returns the values as a float64 Series (None becomes NaN).
enum class Numbers {
  kAny,          // NaN and infinities pass (checked later, where they matter)
  kNoInfinity,   // NaN passes (it means "no value"), infinities are refused
  kFinite,       // NaN and infinities are refused
};
py::object ensure_numeric_series(const Globals& G, py::object obj, py::object name, Numbers mode);

// A scalar argument that must be a finite real number: refused with the
// module's InvalidArgument "<name> 必须是有限数值，传入值为：<value>" otherwise.
void require_finite_number(const Globals& G, py::handle value, const char* name);

// A window of trading days: a positive integer (bool excluded), else the
// module's InvalidArgument naming the value.
void require_window(const Globals& G, py::handle window);

// Trading days per year (verdalis.const.TRADING_DAYS_PER_YEAR): the default
// history window and the annualisation factor of daily returns.
py::object trading_days_per_year();

// Annualised mean daily price change over the `window` trading days up to
// `end_date`: corvana.get_price_change_rate(ids, start, end_date), start
// `window` trading days before end_date, its mean times the trading days a
// year.  With `column`, that column of the rates only (one id).
py::object history_mean_return(const Globals& G, py::handle ids, py::handle end_date,
                               py::handle window, py::handle column = py::handle());

// "a, b, c" (at most twenty ids, then the total count) for messages.
py::str name_ids(py::handle ids);

}  // namespace verdalis
