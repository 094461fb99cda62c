// MinStyleDeviation: the priority-weighted sum of squared deviations of the
// portfolio's style exposures from their targets (absolute, or offsets from
// the benchmark's exposures).
#include "objective.hpp"

namespace verdalis::objective {

py::object min_style_init(py::object self, py::object target_style, py::object relative,
                          py::object priority) {
  py::object target = ensure_numeric_series(G, target_style, py::str("target_style"), Numbers::kFinite);
  py::setattr(self, "_target_style", target);
  py::object styles = G["STYLE_FACTORS"];
  for (py::handle style : target.attr("index")) {
    if (!contains(styles, style)) {
      raise_(G.invalid_argument(), msg("目标风格值 {} 非法，请从 {} 中选取", style, styles));
    }
  }
  py::setattr(self, "_relative", relative);
  if (!priority.is_none()) {
    // Truncate to integers, default 5 for styles without a priority, drop
    // priorities of styles without a target, clip to 0..9.
    priority = ensure_numeric_series(G, priority, py::str("priority"), Numbers::kFinite)
                   .attr("astype")(py::type::of(py::int_(0)))
                   .attr("reindex")(target.attr("index"), py::arg("fill_value") = 5)
                   .attr("clip")(0, 9);
  }
  py::setattr(self, "_priority", priority);
  return py::none();
}

py::object min_style_expr(py::object self, py::object g, py::object zeta, py::object helper) {
  assert_(eq(zeta, py::float_(1.0)));
  const bool relative = truthy(self.attr("_relative"));
  py::object benchmark_style = py::none();
  if (relative) {
    if (helper.attr("benchmark").is_none()) {
      raise_(G.invalid_argument(), "在使用相对风格偏移时，必须指定 benchmark 参数");
    }
    benchmark_style = helper.attr("get_benchmark_style")();
  }
  py::object factor_exposure = helper.attr("get_factor_exposure")();
  py::object priority = self.attr("_priority");
  py::object diff = py::int_(0);
  for (py::handle item : self.attr("_target_style").attr("items")()) {
    py::object style = item[py::int_(0)];
    py::object target = item[py::int_(1)];
    if (relative) target += benchmark_style[style];
    py::object weight = priority.is_none()
                            ? py::object(py::int_(1))
                            : py::object(self.attr("PRIORITY_ADJUST_FACTOR")[priority[style]]);
    py::object exposure = matmul(g, factor_exposure[style].attr("values"));
    diff += weight * power(exposure - target, py::int_(2));
  }
  return diff;
}

}  // namespace verdalis::objective
