// TurnoverLimit: half the L1 distance between the new weights and the
// current holding, held stocks outside the pool included, at most a limit.
#include "constraints.hpp"

namespace verdalis::constraints {

py::object turnover_init(py::object self, py::object current_holding, py::object upper_limit,
                         py::object hard) {
  if (current_holding.is_none()) {
    raise_(G.invalid_argument(), "在 TurnoverLimit 约束中，current_holding 参数不能为 None");
  }
  py::setattr(self, "_current_holding", ensure_series(current_holding, py::str("current_holding")));
  // The label's spelling is the one users have always seen in this message.
  py::object upper = bound("TrunoverLimit", "upper_limit", upper_limit);
  // NaN is refused with the non-positive limits: it would reach the solver.
  if (upper.is_none() || !gt(upper, py::int_(0))) {
    raise_(G.invalid_argument(), msg("换手率上限小于0：{}", upper));
  }
  py::setattr(self, "upper", upper);
  py::setattr(self, "_hard", hard);
  return py::none();
}

py::object turnover_to_constraints(py::object self, py::object g, py::object zeta,
                                   py::object helper) {
  AlignedHolding holding = align_holding(self.attr("_current_holding"), helper);
  py::object held = g;
  if (py::len(holding.not_in_pool) > 0) {
    // The new portfolio holds nothing outside the pool: the whole current
    // weight of those stocks counts as traded.
    py::list parts;
    parts.append(g);
    parts.append(G["np"].attr("repeat")(0.0, py::len(holding.not_in_pool)));
    held = G["cp"].attr("hstack")(parts);
  }
  py::object turnover = held - zeta * holding.values;
  py::list result;
  result.append(richcmp(G["cp"].attr("norm1")(turnover),
                        py::int_(2) * zeta * self.attr("upper"), Py_LE));
  return result;
}

// One-way turnover: half the L1 distance from the current holding, the
// whole weight of held stocks outside the pool counting as sold.
py::object turnover_measure(py::object self, py::object weights, py::object helper) {
  py::object np = G["np"];
  py::object w = pool_weights(weights, helper);
  AlignedHolding holding = align_holding(self.attr("_current_holding"), helper);
  const Py_ssize_t outside = py::len(holding.not_in_pool);
  if (outside > 0) {
    py::list parts;
    parts.append(w);
    parts.append(np.attr("zeros")(outside));
    w = np.attr("concatenate")(parts);
  }
  py::object current = np.attr("asarray")(holding.values, py::arg("dtype") = "float64");
  py::object turnover = np.attr("abs")(w - current).attr("sum")() / py::float_(2.0);
  py::list rows;
  add_row(rows, py::str("turnover"), "upper", turnover, self.attr("upper"));
  return measure_table(rows);
}

}  // namespace verdalis::constraints
