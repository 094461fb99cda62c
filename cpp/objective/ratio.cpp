// Ratio objectives in homogenised form: with g = ζ·w, the internal
// constraint μᵀg = 1 fixes the scale and minimising the (active) variance of
// g maximises the Sharpe (information) ratio μᵀw / sqrt(risk(w)).
#include "objective.hpp"

namespace verdalis::objective {

namespace {

void init_common(py::object self, const char* returns_attr, const char* returns_name,
                 py::object returns, py::object window) {
  if (!returns.is_none()) {
    returns = ensure_numeric_series(G, returns, py::str(returns_name), Numbers::kNoInfinity);
  }
  require_window(G, window);
  py::setattr(self, returns_attr, returns);
  py::setattr(self, "_window", window);
}

// μᵀg = 1 after normalising μ: all-equal returns carry no information and
// become ones (the problem reduces to minimum risk); a negative mean is
// removed so that the normalisation can be met by a long-only g.
py::list unit_return_constraint(py::handle g, py::object expected_returns) {
  py::object np = G["np"];
  py::object first = expected_returns[py::int_(0)];
  if (truthy(richcmp(expected_returns, first, Py_EQ).attr("all")())) {
    expected_returns = np.attr("repeat")(1.0, py::len(expected_returns));
  }
  py::object mean = expected_returns.attr("mean")();
  if (lt(mean, py::int_(0))) expected_returns = expected_returns - mean;
  py::list constraints;
  constraints.append(richcmp(matmul(g, expected_returns), py::int_(1), Py_EQ));
  return constraints;
}

}  // namespace

py::object max_sharpe_init(py::object self, py::object expected_returns, py::object window) {
  init_common(self, "_expected_returns", "expected_returns", expected_returns, window);
  return py::none();
}

py::object max_sharpe_expr(py::object, py::object g, py::object, py::object helper) {
  return risk_term(G, g, helper, false);
}

py::object max_sharpe_constraints(py::object self, py::object g, py::object, py::object helper) {
  py::object ids = helper.attr("order_book_ids");
  // The estimate is made once and kept on the instance.
  reuse_estimate(self, "_expected_returns", ids, helper);
  return unit_return_constraint(
      g, returns_vector(self.attr("_expected_returns"), ids, "expected_returns"));
}

py::object max_information_init(py::object self, py::object expected_active_returns,
                                py::object window) {
  init_common(self, "_expected_active_returns", "expected_active_returns",
              expected_active_returns, window);
  return py::none();
}

py::object max_information_expr(py::object, py::object g, py::object zeta, py::object helper) {
  return risk_term(G, active_weight(g, zeta, helper), helper, true);
}

py::object max_information_constraints(py::object self, py::object g, py::object,
                                       py::object helper) {
  py::object ids = helper.attr("order_book_ids");
  py::object given = self.attr("_expected_active_returns");
  // Active returns are needed for the pool only: benchmark components outside
  // it carry risk but no return term.  Without given returns the estimate is
  // made afresh on every call.
  py::object returns =
      given.is_none() ? history_expected_active_returns(ids, helper, self.attr("_window")) : given;
  return unit_return_constraint(g, returns_vector(returns, ids, "expected_active_returns"));
}

}  // namespace verdalis::objective
