// TrackingErrorLimit and BenchmarkComponentWeightLimit: constraints that tie
// the portfolio to the benchmark of the optimization.
#include "constraints.hpp"

namespace verdalis::constraints {

py::object tracking_error_init(py::object self, py::object upper_limit, py::object hard) {
  py::object upper = bound("TrackingErrorLimit", "upper_limit", upper_limit);
  // NaN is refused with the non-positive limits: it would reach the solver.
  if (upper.is_none() || !gt(upper, py::int_(0))) {
    raise_(G.invalid_argument(), msg("跟踪误差上限小于0：{}", upper));
  }
  py::setattr(self, "upper", to_float(upper));
  py::setattr(self, "_hard", hard);
  return py::none();
}

py::object tracking_error_to_constraints(py::object self, py::object g, py::object zeta,
                                         py::object helper) {
  // The limit bounds a standard deviation: squaring both sides keeps it
  // convex only when zeta is a plain number (not the ratio objectives'
  // scale variable, nor risk parity's integer pool size).
  if (!PyFloat_Check(zeta.ptr())) {
    warn_user(msg(
        "当目标函数为 MaxInformationRatio 或 MaxSharpeRatio 时，不支持 TrackingErrorLimit 类型的约束；此约束被忽略"));
    return py::list();
  }
  const Py_ssize_t not_in_pool =
      py::len(helper.attr("union_components")) - py::len(helper.attr("order_book_ids"));
  py::object held = g;
  if (not_in_pool >= 1) {
    py::list parts;
    parts.append(g);
    parts.append(G["np"].attr("repeat")(0.0, not_in_pool));
    held = G["cp"].attr("hstack")(parts);
  }
  py::object active = held - zeta * helper.attr("benchmark_weight").attr("values");
  py::object limit = zeta * self.attr("upper");
  py::list result;
  // Over our context (factor structure) the tracking error itself is bounded,
  // in its own units, so that a limit the portfolio cannot reach is found
  // infeasible rather than met within the solver's tolerance on the variance.
  // A context without factors gets the active variance against the squared
  // limit, quad_form over the union's covariance.
  py::object norm = risk_norm(G, active, helper, /*over_union=*/true);
  if (norm) {
    result.append(richcmp(norm, limit, Py_LE));
  } else {
    result.append(richcmp(risk_term(G, active, helper, /*over_union=*/true), power(limit, py::int_(2)), Py_LE));
  }
  return result;
}

py::object component_weight_init(py::object self, py::object lower_limit, py::object hard) {
  py::object lower = bound("BenchmarkComponentWeightLimit", "lower_limit", lower_limit);
  if (lower.is_none() || lt(lower, py::int_(0)) || !lt(lower, py::int_(1))) {
    raise_(G.invalid_argument(), "在 BenchmarkComponentWeightLimit 中，lower_limit 应该在 [0, 1) 范围内");
  }
  py::setattr(self, "lower", lower);
  py::setattr(self, "_hard", hard);
  return py::none();
}

py::object component_weight_to_constraints(py::object self, py::object g, py::object zeta,
                                           py::object helper) {
  py::set components(helper.attr("benchmark_components"));
  py::list member;
  for (py::handle ob : helper.attr("order_book_ids")) member.append(py::bool_(contains(components, ob)));
  py::object selector = G["np"].attr("array")(member);
  py::list result;
  result.append(richcmp(matmul(g, selector), py::object(self.attr("lower")) * zeta, Py_GE));
  return result;
}

// The tracking error reached: the square root of the active variance over
// the union of pool and benchmark components, in the limit's units.
py::object tracking_error_measure(py::object self, py::object weights, py::object helper) {
  py::object np = G["np"];
  py::object w = pool_weights(weights, helper);
  const Py_ssize_t not_in_pool =
      py::len(helper.attr("union_components")) - py::len(helper.attr("order_book_ids"));
  if (not_in_pool > 0) {  // benchmark members outside the pool hold 0
    py::list parts;
    parts.append(w);
    parts.append(np.attr("zeros")(not_in_pool));
    w = np.attr("concatenate")(parts);
  }
  py::object active = w - np.attr("asarray")(helper.attr("benchmark_weight").attr("values"),
                                            py::arg("dtype") = "float64");
  py::object variance = risk_value(G, active, helper, /*over_union=*/true);
  py::list rows;
  add_row(rows, py::str("tracking error"), "upper",
          np.attr("sqrt")(np.attr("maximum")(variance, 0.0)), self.attr("upper"));
  return measure_table(rows);
}

py::object component_weight_measure(py::object self, py::object weights, py::object helper) {
  py::object w = pool_weights(weights, helper);
  py::set components(helper.attr("benchmark_components"));
  double held = 0.0;
  py::ssize_t i = 0;
  for (py::handle ob : helper.attr("order_book_ids")) {
    const double x = py::float_(w[py::int_(i++)]).cast<double>();
    if (contains(components, ob)) held += x;
  }
  py::list rows;
  add_row(rows, py::str("weight held"), "lower", py::float_(held), self.attr("lower"));
  return measure_table(rows);
}

}  // namespace verdalis::constraints
