// Industry constraints: the total weight of named industries (or of every
// industry but an exclusion list) within absolute or benchmark-relative
// limits, and each stock's share of its industry.
#include "constraints.hpp"

namespace verdalis::constraints {

namespace {

// A custom classification (anything but an IndustryClassification member)
// becomes a Series at construction.
py::object classification_arg(py::object classification) {
  if (verdalis::isinstance(classification, G["IndustryClassification"])) return classification;
  return ensure_series(std::move(classification), py::str("classification"));
}

// The stocks of one industry as a boolean vector over the pool.
py::object members(py::handle industry_mapping, py::handle industry) {
  return richcmp(industry_mapping, industry, Py_EQ).attr("values");
}

// Bounds on the total weight of one industry.  A lower limit of 0 or less
// and an upper limit of 1 or more cannot bind (weights are non-negative and
// sum to one) and give no constraint.
void emit_industry_bounds(py::list& result, py::handle g, py::handle zeta, py::handle s,
                          py::handle lower, py::handle upper) {
  py::object total;
  if (!lower.is_none() && gt(lower, py::int_(0))) {
    total = matmul(g, s);
    result.append(at_least(total, zeta, lower));
  }
  if (!upper.is_none() && lt(upper, py::int_(1))) {
    if (!total) total = matmul(g, s);
    result.append(at_most(total, zeta, upper));
  }
}

// One industry of IndustryConstraint or WildcardIndustryConstraint: warn and
// skip when the pool has none of its stocks, else its (relative) bounds.
void industry_bounds(py::list& result, py::handle self, py::handle g, py::handle zeta,
                     py::handle industry_mapping, py::handle benchmark_weight,
                     py::handle industry) {
  py::object s = members(industry_mapping, industry);
  if (!truthy(s.attr("any")())) {
    warn_user(msg("候选股票池中没有 {} 行业，相应约束忽略", industry));
    return;
  }
  py::object lower = self.attr("lower");
  py::object upper = self.attr("upper");
  if (truthy(self.attr("relative"))) {
    py::object b = benchmark_weight.attr("get")(industry, py::int_(0));
    lower = get_deviation_value(b, lower);
    upper = get_deviation_value(b, upper);
  }
  emit_industry_bounds(result, g, zeta, s, lower, upper);
}

}  // namespace

py::object industry_init(py::object self, py::object industries, py::object lower_limit,
                         py::object upper_limit, py::object relative, py::object classification,
                         py::object hard) {
  require_a_limit("IndustryConstraint", lower_limit, upper_limit);
  py::setattr(self, "relative", relative);
  store_limits(self, "IndustryConstraint", lower_limit, upper_limit, relative);
  if (PyUnicode_Check(industries.ptr())) {
    py::list one;
    one.append(industries);
    industries = one;
  }
  py::setattr(self, "industries", industries);
  py::setattr(self, "classification", classification_arg(classification));
  py::setattr(self, "_hard", hard);
  return py::none();
}

py::object industry_to_constraints(py::object self, py::object g, py::object zeta,
                                   py::object helper) {
  py::object classification = self.attr("classification");
  py::object industry_mapping = helper.attr("get_industry_mapping")(classification);
  py::object benchmark_weight = py::none();
  if (truthy(self.attr("relative"))) {
    benchmark_weight = helper.attr("get_benchmark_industry_weight")(classification);
  }
  py::list result;
  for (py::handle industry : self.attr("industries")) {
    industry_bounds(result, self, g, zeta, industry_mapping, benchmark_weight, industry);
  }
  return result;
}

py::object wildcard_industry_init(py::object self, py::object exclude, py::object lower_limit,
                                  py::object upper_limit, py::object relative,
                                  py::object classification, py::object hard) {
  require_a_limit("WildcardIndustryConstraint", lower_limit, upper_limit);
  py::setattr(self, "relative", relative);
  store_limits(self, "WildcardIndustryConstraint", lower_limit, upper_limit, relative);
  py::list excluded;
  if (PyUnicode_Check(exclude.ptr())) {
    excluded.append(exclude);
  } else if (!exclude.is_none()) {
    excluded = py::list(exclude);
  }
  py::setattr(self, "exclude", excluded);
  py::setattr(self, "classification", classification_arg(classification));
  py::setattr(self, "_hard", hard);
  return py::none();
}

py::object wildcard_industry_to_constraints(py::object self, py::object g, py::object zeta,
                                            py::object helper) {
  py::object classification = self.attr("classification");
  py::object industry_mapping = helper.attr("get_industry_mapping")(classification);
  py::object benchmark_weight = py::none();
  // The pool's industries in order of first appearance; with relative
  // limits, then the benchmark's other industries in the order of its index.
  // A fixed order keeps the constraint list, and so the solve, identical
  // from run to run.
  py::list industries(industry_mapping.attr("unique")());
  if (truthy(self.attr("relative"))) {
    benchmark_weight = helper.attr("get_benchmark_industry_weight")(classification);
    py::set seen(industries);
    for (py::handle industry : benchmark_weight.attr("index")) {
      if (contains(seen, industry)) continue;
      seen.add(industry);
      industries.append(industry);
    }
  }
  py::object exclude = self.attr("exclude");
  py::list result;
  for (py::handle industry : industries) {
    if (contains(exclude, industry)) continue;
    if (eq(industry, py::str("UNKNOWN"))) continue;
    industry_bounds(result, self, g, zeta, industry_mapping, benchmark_weight, industry);
  }
  return result;
}

py::object industry_component_init(py::object self, py::object industry, py::object lower_limit,
                                   py::object upper_limit, py::object classification,
                                   py::object hard) {
  require_a_limit("IndustryComponentLimit", lower_limit, upper_limit);
  py::setattr(self, "lower", bound("IndustryComponentLimit", "lower_limit", lower_limit));
  py::setattr(self, "upper", bound("IndustryComponentLimit", "upper_limit", upper_limit));
  py::setattr(self, "industry", industry);
  py::setattr(self, "classification", classification);
  py::setattr(self, "_hard", hard);
  return py::none();
}

py::object industry_component_to_constraints(py::object self, py::object g, py::object zeta,
                                             py::object helper) {
  py::object industry = self.attr("industry");
  py::object industry_mapping = helper.attr("get_industry_mapping")(self.attr("classification"));
  py::object s = members(industry_mapping, industry);
  if (!truthy(s.attr("any")())) {
    raise_(G.invalid_argument(), msg("候选股票池中没有 {} 行业", industry));
  }
  // Both sides scale with g, so zeta is not needed: g[i] within a fraction
  // of the industry's total, per stock.
  py::object total = matmul(g, s);
  py::object lower = self.attr("lower");
  py::object upper = self.attr("upper");
  const bool has_lower = !lower.is_none() && gt(lower, py::int_(0));
  const bool has_upper = !upper.is_none() && lt(upper, py::int_(1));
  py::list result;
  // Held in a local: iterating an item of a temporary would outlive it.
  py::object positions = G["np"].attr("nonzero")(s)[py::int_(0)];
  for (py::handle i : positions) {
    py::object weight = g[i];
    if (has_lower) result.append(richcmp(weight, total * lower, Py_GE));
    if (has_upper) result.append(richcmp(weight, total * upper, Py_LE));
  }
  return result;
}

}  // namespace verdalis::constraints
