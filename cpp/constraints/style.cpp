// Style constraints: the portfolio's exposure to risk-model style factors
// within absolute or benchmark-relative limits.
#include "constraints.hpp"

#include <utility>

namespace verdalis::constraints {

namespace {

void require_style(py::handle style) {
  py::object styles = G["STYLE_FACTORS"];
  if (!contains(styles, style)) {
    raise_(G.invalid_argument(), msg("约束中指定的风格 {} 非法，应该从 {} 选取", style, styles));
  }
}

// The limits on one style: relative ones made absolute with the
// benchmark's exposure (`benchmark_style` None for absolute limits).
std::pair<py::object, py::object> style_limits(py::handle self, py::handle benchmark_style,
                                               py::handle style) {
  py::object lower = self.attr("lower");
  py::object upper = self.attr("upper");
  if (!benchmark_style.is_none()) {
    py::object benchmark = benchmark_style[style];
    lower = get_deviation_value(benchmark, lower);
    upper = get_deviation_value(benchmark, upper);
  }
  return {lower, upper};
}

}  // namespace

py::object style_init(py::object self, py::object styles, py::object lower_limit,
                      py::object upper_limit, py::object relative, py::object hard) {
  require_a_limit("StyleConstraint", lower_limit, upper_limit);
  if (PyUnicode_Check(styles.ptr())) {
    py::list one;
    one.append(styles);
    styles = one;
  }
  for (py::handle style : styles) require_style(style);
  py::setattr(self, "styles", styles);
  py::setattr(self, "relative", relative);
  store_limits(self, "StyleConstraint", lower_limit, upper_limit, relative);
  py::setattr(self, "_hard", hard);
  return py::none();
}

py::object style_to_constraints(py::object self, py::object g, py::object zeta,
                                py::object helper) {
  py::object factor_exposure = helper.attr("get_factor_exposure")();
  const bool relative = truthy(self.attr("relative"));
  py::object benchmark_style = py::none();
  if (relative) benchmark_style = helper.attr("get_benchmark_style")();
  py::object columns = factor_exposure.attr("columns");
  py::list result;
  for (py::handle style : self.attr("styles")) {
    if (!contains(columns, style)) {
      warn_user(msg("所选的风险模型中没有 {} 风格，相应约束忽略", style));
      continue;
    }
    auto [lower, upper] = style_limits(self, benchmark_style, style);
    // Exposures may be negative: no limit value is skipped.
    py::object exposure = matmul(g, factor_exposure[style].attr("values"));
    if (!lower.is_none()) result.append(at_least(exposure, zeta, lower));
    if (!upper.is_none()) result.append(at_most(exposure, zeta, upper));
  }
  return result;
}

py::object wildcard_style_constraint(py::object exclude, py::object lower_limit,
                                     py::object upper_limit, py::object relative,
                                     py::object hard) {
  if (exclude.is_none()) {
    exclude = py::list();
  } else if (PyUnicode_Check(exclude.ptr())) {
    py::list one;
    one.append(exclude);
    exclude = one;
  }
  py::list excluded(exclude);
  for (py::handle name : excluded) require_style(name);
  py::list styles;
  for (py::handle style : G["STYLE_FACTORS"]) {
    if (!contains(excluded, style)) styles.append(style);
  }
  return G["StyleConstraint"](styles, py::arg("lower_limit") = lower_limit,
                              py::arg("upper_limit") = upper_limit,
                              py::arg("relative") = relative, py::arg("hard") = hard);
}

// The portfolio's exposure to each limited style, against the limits that
// to_constraints writes (relative ones made absolute).
py::object style_measure(py::object self, py::object weights, py::object helper) {
  py::object w = pool_weights(weights, helper);
  py::object factor_exposure = helper.attr("get_factor_exposure")();
  const bool relative = truthy(self.attr("relative"));
  py::object benchmark_style = py::none();
  if (relative) benchmark_style = helper.attr("get_benchmark_style")();
  py::object columns = factor_exposure.attr("columns");
  py::list rows;
  for (py::handle style : self.attr("styles")) {
    if (!contains(columns, style)) continue;
    auto [lower, upper] = style_limits(self, benchmark_style, style);
    py::object exposure = matmul(
        w, G["np"].attr("asarray")(factor_exposure[style].attr("values"), py::arg("dtype") = "float64"));
    if (!lower.is_none()) add_row(rows, style, "lower", exposure, lower);
    if (!upper.is_none()) add_row(rows, style, "upper", exposure, upper);
  }
  return measure_table(rows);
}

}  // namespace verdalis::constraints
