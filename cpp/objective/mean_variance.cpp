// Mean-variance objectives: −μᵀw + λ·(r̄/σ²_eq)·wᵀΣw + TC(w), on total or on
// active weights.  The risk scale r̄/σ²_eq (a reference expected return over
// the variance of the equally weighted portfolio) makes λ comparable across
// pools.
#include "objective.hpp"

#include <cmath>

namespace verdalis::objective {

namespace {

void init_common(py::object self, const char* returns_attr, const char* returns_name,
                 py::object returns, py::object window, py::object risk_aversion_coefficient,
                 py::object transaction_cost_model) {
  if (!returns.is_none()) {
    returns = ensure_numeric_series(G, returns, py::str(returns_name), Numbers::kNoInfinity);
  }
  require_window(G, window);
  require_finite_number(G, risk_aversion_coefficient, "risk_aversion_coefficient");
  if (lt(risk_aversion_coefficient, py::int_(0))) {
    raise_(G.invalid_argument(),
           msg("risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：{}",
                  risk_aversion_coefficient));
  }
  py::setattr(self, returns_attr, returns);
  py::setattr(self, "_risk_aversion_coefficient", risk_aversion_coefficient);
  py::setattr(self, "_window", window);
  py::setattr(self, "_transaction_cost_model", transaction_cost_model);
}

bool all_zero(py::handle values) {
  return truthy(richcmp(values, py::int_(0), Py_EQ).attr("all")());
}

// The reference return r̄: the mean of the positive expected returns, or,
// when none is positive, |mean| of the best quarter (rounded up).
py::object reference_return(py::handle expected_returns) {
  py::object er = py::reinterpret_borrow<py::object>(expected_returns);
  py::object positive = richcmp(er, py::int_(0), Py_GT);
  if (truthy(positive.attr("any")())) return er[positive].attr("mean")();
  py::object sorted = G["np"].attr("sort")(er);
  const Py_ssize_t m = py::len(er);
  const Py_ssize_t start = -((m + 3) / 4);  // (-m) // 4
  py::object best = sorted[py::slice(start, std::nullopt, std::nullopt)];
  return absolute(best.attr("mean")());
}

// λ·r̄/σ²_eq, σ²_eq the variance of the equally weighted portfolio over the
// pool (or the union for active terms).
py::object risk_scale(py::handle self, py::handle expected_returns, py::handle helper,
                      py::handle ids, bool over_union) {
  const Py_ssize_t n = py::len(ids);
  py::object weight = G["np"].attr("repeat")(py::float_(1.0) / py::int_(n), n);
  py::object risk = risk_value(G, weight, helper, over_union);
  py::object adjust_factor = reference_return(expected_returns) / risk;
  adjust_factor *= self.attr("_risk_aversion_coefficient");
  return adjust_factor;
}

py::object transaction_cost(py::handle self, py::handle g, py::handle helper) {
  py::object model = self.attr("_transaction_cost_model");
  if (model.is_none()) return py::int_(0);
  py::object get_penalty = py::getattr(model, "get_penalty", py::none());
  if (get_penalty.is_none() || !PyCallable_Check(get_penalty.ptr())) {
    raise_(G.invalid_argument(),
           msg("transaction_cost_model 需要提供 get_penalty(g, helper) 方法，传入值为：{}", py::repr(model)));
  }
  // The penalty joins the objective: a scalar cvxpy expression (or a
  // constant, finite number).
  py::object penalty = get_penalty(g, helper);
  const bool number = verdalis::isinstance(penalty, py::module_::import("numbers").attr("Real")) &&
                      std::isfinite(to_float(penalty).cast<double>());
  const bool expression = verdalis::isinstance(penalty, G["cp"].attr("Expression")) &&
                          truthy(penalty.attr("is_scalar")());
  if (!number && !expression) {
    raise_(G.invalid_argument(),
           msg("transaction_cost_model.get_penalty 应返回一个标量 cvxpy 表达式，返回值为：{}",
                  py::repr(penalty)));
  }
  return penalty;
}

}  // namespace

py::object mean_variance_init(py::object self, py::object expected_returns, py::object window,
                              py::object risk_aversion_coefficient,
                              py::object transaction_cost_model) {
  init_common(self, "_expected_returns", "expected_returns", expected_returns, window,
              risk_aversion_coefficient, transaction_cost_model);
  return py::none();
}

py::object active_mean_variance_init(py::object self, py::object expected_active_returns,
                                     py::object window, py::object risk_aversion_coefficient,
                                     py::object transaction_cost_model) {
  init_common(self, "_expected_active_returns", "expected_active_returns",
              expected_active_returns, window, risk_aversion_coefficient,
              transaction_cost_model);
  return py::none();
}

py::object mean_variance_expr(py::object self, py::object g, py::object zeta, py::object helper) {
  assert_(eq(zeta, py::float_(1.0)));
  py::object ids = helper.attr("order_book_ids");
  // The estimate is made once and kept on the instance.
  reuse_estimate(self, "_expected_returns", ids, helper);
  py::object expected_returns = returns_vector(self.attr("_expected_returns"), ids, "expected_returns");
  py::object cost = transaction_cost(self, g, helper);
  if (all_zero(expected_returns)) {
    warn(G.optimizer_warning(), "MeanVariance: expected_returns 全部为 0，退化为 MinVariance");
    return risk_term(G, g, helper, false) + cost;
  }
  py::object adjust_factor = risk_scale(self, expected_returns, helper, ids, false);
  return matmul(-g, expected_returns) + risk_term(G, g, helper, false) * adjust_factor + cost;
}

py::object active_mean_variance_expr(py::object self, py::object g, py::object zeta,
                                     py::object helper) {
  assert_(eq(zeta, py::float_(1.0)));
  py::object union_ids = helper.attr("union_components");
  py::object given = self.attr("_expected_active_returns");
  // Without given returns the estimate is made afresh on every call.
  py::object returns =
      given.is_none() ? history_expected_active_returns(union_ids, helper, self.attr("_window"))
                      : given;
  py::object expected_returns = returns_vector(returns, union_ids, "expected_active_returns");
  py::object active = active_weight(g, zeta, helper);
  if (all_zero(expected_returns)) {
    warn(G.optimizer_warning(),
         "ActiveMeanVariance: active_expected_returns 全部为 0，退化为 MinVariance");
    return risk_term(G, active, helper, true);
  }
  py::object adjust_factor = risk_scale(self, expected_returns, helper, union_ids, true);
  py::object cost = transaction_cost(self, g, helper);
  return matmul(-active, expected_returns) + risk_term(G, active, helper, true) * adjust_factor +
         cost;
}

}  // namespace verdalis::objective
