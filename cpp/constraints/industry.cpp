// Industry constraints: the total weight of named industries (or of every
// industry but an exclusion list) within absolute or benchmark-relative
// limits, and each stock's share of its industry.
#include "constraints.hpp"

#include <limits>

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

// One industry of IndustryConstraint or WildcardIndustryConstraint: its
// members and its limits (benchmark-relative ones made absolute).  False,
// with a warning when asked, when the pool has none of its stocks.
struct IndustryLimit {
  py::object s, lower, upper;
};
bool industry_limit(IndustryLimit& out, py::handle self, py::handle industry_mapping,
                    py::handle benchmark_weight, py::handle industry, bool warn) {
  out.s = members(industry_mapping, industry);
  if (!truthy(out.s.attr("any")())) {
    if (warn) warn_user(msg("候选股票池中没有 {} 行业，相应约束忽略", industry));
    return false;
  }
  out.lower = self.attr("lower");
  out.upper = self.attr("upper");
  if (truthy(self.attr("relative"))) {
    py::object b = benchmark_weight.attr("get")(industry, py::int_(0));
    out.lower = get_deviation_value(b, out.lower);
    out.upper = get_deviation_value(b, out.upper);
  }
  return true;
}

void industry_bounds(py::list& result, py::handle self, py::handle g, py::handle zeta,
                     py::handle industry_mapping, py::handle benchmark_weight,
                     py::handle industry) {
  IndustryLimit limit;
  if (!industry_limit(limit, self, industry_mapping, benchmark_weight, industry, /*warn=*/true)) {
    return;
  }
  emit_industry_bounds(result, g, zeta, limit.s, limit.lower, limit.upper);
}

// The industries a WildcardIndustryConstraint limits: the pool's industries
// in order of first appearance; with relative limits, then the benchmark's
// other industries in the order of its index.  A fixed order keeps the
// constraint list, and so the solve, identical from run to run.  Excluded
// industries and "UNKNOWN" are left out.
py::list wildcard_industries(py::handle self, py::handle industry_mapping,
                             py::handle benchmark_weight) {
  py::list industries(industry_mapping.attr("unique")());
  if (!benchmark_weight.is_none()) {
    py::set seen(industries);
    for (py::handle industry : benchmark_weight.attr("index")) {
      if (contains(seen, industry)) continue;
      seen.add(industry);
      industries.append(industry);
    }
  }
  py::object exclude = self.attr("exclude");
  py::list kept;
  for (py::handle industry : industries) {
    if (contains(exclude, industry)) continue;
    if (eq(industry, py::str("UNKNOWN"))) continue;
    kept.append(industry);
  }
  return kept;
}

// The rows of one industry's limits at weights w (those emit_industry_bounds
// would constrain).
void industry_rows(py::list& rows, const IndustryLimit& limit, py::handle industry, py::handle w) {
  py::object total = matmul(w, limit.s.attr("astype")("float64"));
  if (!limit.lower.is_none() && gt(limit.lower, py::int_(0))) {
    add_row(rows, industry, "lower", total, limit.lower);
  }
  if (!limit.upper.is_none() && lt(limit.upper, py::int_(1))) {
    add_row(rows, industry, "upper", total, limit.upper);
  }
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
  if (truthy(self.attr("relative"))) {
    benchmark_weight = helper.attr("get_benchmark_industry_weight")(classification);
  }
  py::list result;
  for (py::handle industry : wildcard_industries(self, industry_mapping, benchmark_weight)) {
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

namespace {

py::object measure_industries(py::handle self, py::handle weights, py::handle helper,
                              bool wildcard) {
  py::object w = pool_weights(weights, helper);
  py::object classification = self.attr("classification");
  py::object industry_mapping = helper.attr("get_industry_mapping")(classification);
  py::object benchmark_weight = py::none();
  if (truthy(self.attr("relative"))) {
    benchmark_weight = helper.attr("get_benchmark_industry_weight")(classification);
  }
  py::object industries = wildcard ? py::object(wildcard_industries(self, industry_mapping,
                                                                    benchmark_weight))
                                   : py::object(self.attr("industries"));
  py::list rows;
  for (py::handle industry : industries) {
    IndustryLimit limit;
    if (!industry_limit(limit, self, industry_mapping, benchmark_weight, industry, /*warn=*/false)) {
      continue;
    }
    industry_rows(rows, limit, industry, w);
  }
  return measure_table(rows);
}

}  // namespace

py::object industry_measure(py::object self, py::object weights, py::object helper) {
  return measure_industries(self, weights, helper, /*wildcard=*/false);
}

py::object wildcard_industry_measure(py::object self, py::object weights, py::object helper) {
  return measure_industries(self, weights, helper, /*wildcard=*/true);
}

// Each member's share of its industry's total weight.  With (next to)
// nothing held in the industry every share is undefined (NaN) and every row
// is met: the constraint rows g[i] <= total * limit read 0 <= 0, and a share
// of a total below kNoIndustryWeight is solver noise (a weight of 1e-12 all
// in one stock is a share of 1), not a holding.
constexpr double kNoIndustryWeight = 1e-6;

py::object industry_component_measure(py::object self, py::object weights, py::object helper) {
  py::object w = pool_weights(weights, helper);
  py::object industry = self.attr("industry");
  py::object industry_mapping = helper.attr("get_industry_mapping")(self.attr("classification"));
  py::object s = members(industry_mapping, industry);
  if (!truthy(s.attr("any")())) {
    raise_(G.invalid_argument(), msg("候选股票池中没有 {} 行业", industry));
  }
  const double total = matmul(w, s.attr("astype")("float64")).cast<double>();
  py::object lower = self.attr("lower");
  py::object upper = self.attr("upper");
  const bool has_lower = !lower.is_none() && gt(lower, py::int_(0));
  const bool has_upper = !upper.is_none() && lt(upper, py::int_(1));
  py::object ids = helper.attr("order_book_ids");
  py::list rows;
  py::object positions = G["np"].attr("nonzero")(s)[py::int_(0)];
  for (py::handle i : positions) {
    const double x = py::float_(w[i]).cast<double>();
    py::float_ share(total > kNoIndustryWeight ? x / total : std::numeric_limits<double>::quiet_NaN());
    py::object ob = ids[i];
    if (has_lower) add_row(rows, ob, "lower", share, lower);
    if (has_upper) add_row(rows, ob, "upper", share, upper);
  }
  return measure_table(rows);
}

}  // namespace verdalis::constraints
