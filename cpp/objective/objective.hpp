// Objectives: the objective protocol and the ten objective classes.
#pragma once

#include "verdalis/domain.hpp"

namespace verdalis::objective {

namespace py = pybind11;

extern const Globals G;

// ---------------------------------------------------------------- shared bits

// The active weight over union_components: g extended with a zero for every
// benchmark component outside the pool, minus zeta times the benchmark weights.
py::object active_weight(py::handle g, py::handle zeta, py::handle helper);

// ensure_series(obj, name): the shared implementation over this module's
// namespace.
py::object ensure_series(py::object obj, py::object name);

// Protocol pieces shared by several classes.
py::object no_internal_constraints(py::object self, py::object g, py::object zeta, py::object helper);
py::object prefer_scs(py::object self);

// OptimizationObjective: every operation raises NotImplementedError.
py::object base_get_objective_expr(py::object self, py::object g, py::object zeta, py::object helper);
py::object base_get_internal_constraints(py::object self, py::object g, py::object zeta,
                                         py::object helper);
py::object base_get_preferred_solver(py::object self);

// ------------------------------------------------------ expected-return data

// Annualised mean daily price change of `ids` over the `window` trading days
// up to helper.prev_trading_date (a Series indexed by order_book_id).
py::object history_expected_returns(py::handle ids, py::handle helper, py::handle window);

// The same for `ids`, minus the benchmark's annualised expected return
// (helper.benchmark.get_expected_returns(helper.date, window)).
py::object history_expected_active_returns(py::handle ids, py::handle helper, py::handle window);

// The instance's expected returns (`returns_attr`): estimated over `ids` on
// first use and kept, with the date they were made for; reusing them for
// another date warns.
void reuse_estimate(py::handle self, const char* returns_attr, py::handle ids, py::handle helper);

// `returns` reindexed to `ids` (0 where it has no value) as a numpy vector.
// NaN values never reach the solver: they count as 0, with a warning naming
// the stocks (`name` labels the message).
py::object returns_vector(py::handle returns, py::handle ids, const char* name);

// ------------------------------------------------------------ risk-minimising

py::object min_variance_expr(py::object self, py::object g, py::object zeta, py::object helper);
py::object min_active_variance_expr(py::object self, py::object g, py::object zeta,
                                    py::object helper);

// -------------------------------------------------------------- mean-variance

py::object mean_variance_init(py::object self, py::object expected_returns, py::object window,
                              py::object risk_aversion_coefficient,
                              py::object transaction_cost_model);
py::object mean_variance_expr(py::object self, py::object g, py::object zeta, py::object helper);
py::object active_mean_variance_init(py::object self, py::object expected_active_returns,
                                     py::object window, py::object risk_aversion_coefficient,
                                     py::object transaction_cost_model);
py::object active_mean_variance_expr(py::object self, py::object g, py::object zeta,
                                     py::object helper);

// ---------------------------------------------------------------------- ratio

py::object max_sharpe_init(py::object self, py::object expected_returns, py::object window);
py::object max_sharpe_expr(py::object self, py::object g, py::object zeta, py::object helper);
py::object max_sharpe_constraints(py::object self, py::object g, py::object zeta,
                                  py::object helper);
py::object max_information_init(py::object self, py::object expected_active_returns,
                                py::object window);
py::object max_information_expr(py::object self, py::object g, py::object zeta,
                                py::object helper);
py::object max_information_constraints(py::object self, py::object g, py::object zeta,
                                       py::object helper);

// ------------------------------------------------- indicator / style / parity

py::object max_indicator_init(py::object self, py::object indicator_series);
py::object max_indicator_expr(py::object self, py::object g, py::object zeta, py::object helper);

py::object min_style_init(py::object self, py::object target_style, py::object relative,
                          py::object priority);
py::object min_style_expr(py::object self, py::object g, py::object zeta, py::object helper);

py::object risk_parity_expr(py::object self, py::object g, py::object zeta, py::object helper);

}  // namespace verdalis::objective
