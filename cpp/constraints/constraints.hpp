// Constraints: the constraint protocol, limit parsing and the constraint
// classes.  Each class turns itself, when the driver asks, into a list of
// cvxpy constraints over the scaled weights g (weights = g / zeta).
#pragma once

#include "verdalis/domain.hpp"

namespace verdalis::constraints {

namespace py = pybind11;

// verdalis.constraints' own namespace, read at call time.
extern const Globals G;

// ------------------------------------------------------------ shared pieces

// OptimizationConstraint: both members raise NotImplementedError.
py::object base_to_constraints(py::object self, py::object g, py::object zeta, py::object helper);
py::object base_hard(py::object self);
// The `hard` property of every concrete class: self._hard.
py::object hard(py::object self);

// The module functions _ensure_bound, ensure_series, get_deviation_value.
py::object ensure_bound(py::object v, py::object label);
py::object ensure_series(py::object obj, py::object name);
py::object get_deviation_value(py::object benchmark, py::object deviation);

// "<cls>: upper_limit及lower_limit 最少应该指定一个" when both limits are None.
void require_a_limit(const char* cls, py::handle lower_limit, py::handle upper_limit);
// _ensure_bound(v, "<cls>:<param>").
py::object bound(const char* cls, const char* param, py::handle v);
// lower/upper stored as given (relative) or through _ensure_bound (absolute).
void store_limits(py::handle self, const char* cls, py::handle lower_limit,
                  py::handle upper_limit, py::handle relative);

// warnings.warn(message, OptimizerWarning) pointing at the caller of
// portfolio_optimize.
void warn_user(const Message& message);

// `lhs >= zeta * b` / `lhs <= zeta * b`.
py::object at_least(py::handle lhs, py::handle zeta, py::handle b);
py::object at_most(py::handle lhs, py::handle zeta, py::handle b);

// A current holding lined up with the pool: the pool followed by the held
// stocks outside it, and the holding over that list (0.0 where not held).
struct AlignedHolding {
  py::list not_in_pool;
  py::list whole_pool;
  py::object values;  // numpy vector over whole_pool
};
AlignedHolding align_holding(py::handle holding, py::handle helper);

// ------------------------------------------------------------------ repr

// One constructor argument: the shared table that makes repr and get_params.
using ReprField = ParamField;
py::str constraint_repr(py::handle self, const std::vector<ReprField>& fields);

// ------------------------------------------------------- benchmark-relative

py::object tracking_error_init(py::object self, py::object upper_limit, py::object hard);
py::object tracking_error_to_constraints(py::object self, py::object g, py::object zeta,
                                         py::object helper);
py::object component_weight_init(py::object self, py::object lower_limit, py::object hard);
py::object component_weight_to_constraints(py::object self, py::object g, py::object zeta,
                                           py::object helper);

// ----------------------------------------------------------------- industry

py::object industry_init(py::object self, py::object industries, py::object lower_limit,
                         py::object upper_limit, py::object relative, py::object classification,
                         py::object hard);
py::object industry_to_constraints(py::object self, py::object g, py::object zeta,
                                   py::object helper);
py::object wildcard_industry_init(py::object self, py::object exclude, py::object lower_limit,
                                  py::object upper_limit, py::object relative,
                                  py::object classification, py::object hard);
py::object wildcard_industry_to_constraints(py::object self, py::object g, py::object zeta,
                                            py::object helper);
py::object industry_component_init(py::object self, py::object industry, py::object lower_limit,
                                   py::object upper_limit, py::object classification,
                                   py::object hard);
py::object industry_component_to_constraints(py::object self, py::object g, py::object zeta,
                                             py::object helper);

// -------------------------------------------------------------------- style

py::object style_init(py::object self, py::object styles, py::object lower_limit,
                      py::object upper_limit, py::object relative, py::object hard);
py::object style_to_constraints(py::object self, py::object g, py::object zeta,
                                py::object helper);
py::object wildcard_style_constraint(py::object exclude, py::object lower_limit,
                                     py::object upper_limit, py::object relative,
                                     py::object hard);

// --------------------------------------------------------------------- pool

py::object index_component_init(py::object self, py::object index_code, py::object lower_limit,
                                py::object upper_limit, py::object hard);
py::object index_component_to_constraints(py::object self, py::object g, py::object zeta,
                                          py::object helper);
py::object stock_pool_init(py::object self, py::object stock_list, py::object lower_limit,
                           py::object upper_limit, py::object hard);
py::object stock_pool_to_constraints(py::object self, py::object g, py::object zeta,
                                     py::object helper);

// ----------------------------------------------------------------- turnover

py::object turnover_init(py::object self, py::object current_holding, py::object upper_limit,
                         py::object hard);
py::object turnover_to_constraints(py::object self, py::object g, py::object zeta,
                                   py::object helper);

// -------------------------------------------------------------- transaction

py::object transaction_volume_init(py::object self, py::object upper_limit,
                                   py::object current_holding, py::object cash,
                                   py::object window, py::object stock_list, py::object hard);
py::object transaction_volume_to_constraints(py::object self, py::object g, py::object zeta,
                                             py::object helper);
py::object transaction_value_init(py::object self, py::object upper_limit,
                                  py::object current_holding, py::object cash, py::object window,
                                  py::object stock_list, py::object hard);
py::object transaction_value_to_constraints(py::object self, py::object g, py::object zeta,
                                            py::object helper);

// -------------------------------------------------------------- measurement
//
// Every concrete class measures itself through the private method
// `_measure(self, weights, helper)`: given weights (a Series over the pool, or
// a vector in pool order) and the optimization context, one row per limit it
// imposes there, as a DataFrame with the columns item, side ('lower' or
// 'upper'), value (reached) and limit, all in the class's own units (weights,
// annual tracking error, exposure, share of the industry, share of the
// average volume or market value).  Limits that to_constraints skips (they
// cannot bind, or their industry or style is absent) give no row.

// The weights as a float vector in pool order (a Series is lined up with the
// pool, missing stocks 0).
py::object pool_weights(py::handle weights, py::handle helper);
// The measurement table of rows (item, side, value, limit).
py::object measure_table(const py::list& rows);
void add_row(py::list& rows, py::handle item, const char* side, py::handle value, py::handle limit);

py::object tracking_error_measure(py::object self, py::object weights, py::object helper);
py::object component_weight_measure(py::object self, py::object weights, py::object helper);
py::object industry_measure(py::object self, py::object weights, py::object helper);
py::object wildcard_industry_measure(py::object self, py::object weights, py::object helper);
py::object industry_component_measure(py::object self, py::object weights, py::object helper);
py::object style_measure(py::object self, py::object weights, py::object helper);
py::object index_component_measure(py::object self, py::object weights, py::object helper);
py::object stock_pool_measure(py::object self, py::object weights, py::object helper);
py::object turnover_measure(py::object self, py::object weights, py::object helper);
py::object transaction_volume_measure(py::object self, py::object weights, py::object helper);
py::object transaction_value_measure(py::object self, py::object weights, py::object helper);

// Adds `_measure` to each concrete class of the module (measure.cpp).
void register_measures(py::module_& m);

}  // namespace verdalis::constraints
