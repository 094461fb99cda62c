// Verification after every solve.  The solver meets each limit only to its
// own tolerance, and the final projection onto the bounds and the budget
// moves the other limits; so every constraint object still in the problem
// measures itself at the returned weights (`_measure`, or its cvxpy rows for
// a class without one).  A limit missed by more than LIMIT_TOLERANCE, in its
// own units, is polished away: the nearest weights (least squares) that meet
// the budget, the bounds and every such constraint, found by Clarabel at
// tight tolerances and projected the same way.  When that fails or still
// misses, the weights are returned as they were, with one warning naming
// each limit.
#include "optimize.hpp"

#include <cmath>
#include <string>
#include <vector>

namespace verdalis::optimize {

namespace {

// Clarabel's tolerances for the polish.
constexpr double kPolishTolerance = 1e-9;
// At most this many limits are spelled out in the warning.
constexpr std::size_t kNamedMisses = 20;

struct Miss {
  std::string constraint, item, side;
  double value, limit;
};

double tolerance() { return G["LIMIT_TOLERANCE"].cast<double>(); }

// The scale value of g at weights w: g = w * zeta (a scale variable is set
// to 1).
double scale_of(py::handle zeta) {
  if (verdalis::isinstance(zeta, G["cp"].attr("Variable"))) return 1.0;
  return py::float_(py::reinterpret_borrow<py::object>(zeta)).cast<double>();
}

// A constraint object without `_measure`: each of its cvxpy rows as a
// residual against 0 (cvxpy's violation of the row at g = w * zeta).
py::object rows_measure(const Group& group, py::handle weight, py::handle g, py::handle zeta) {
  py::object np = G["np"];
  const double z = scale_of(zeta);
  py::setattr(g, "value", py::reinterpret_borrow<py::object>(weight) * py::float_(z));
  if (verdalis::isinstance(zeta, G["cp"].attr("Variable"))) {
    py::setattr(zeta, "value", py::float_(1.0));
  }
  py::list rows;
  std::size_t k = 0;
  for (py::handle row : group.constraints) {
    py::object violation = np.attr("atleast_1d")(row.attr("violation")()).attr("ravel")();
    const py::ssize_t size = py::len(violation);
    for (py::ssize_t j = 0; j < size; ++j) {
      std::string item = "row " + std::to_string(k);
      if (size > 1) item += "[" + std::to_string(j) + "]";
      rows.append(py::make_tuple(item, "upper", to_float(violation[py::int_(j)]), 0.0));
    }
    ++k;
  }
  py::list columns;
  for (const char* c : {"item", "side", "value", "limit"}) columns.append(c);
  return G["pd"].attr("DataFrame")(rows, py::arg("columns") = columns);
}

bool measured(const Group& group, bool soft_kept) {
  if (!group.is_constraint || py::len(group.constraints) == 0) return false;
  return group.hard || soft_kept;
}

// Every limit of the measured groups missed by more than the tolerance.
std::vector<Miss> find_misses(const Assembly& a, py::handle weight, bool soft_kept, double tol) {
  py::object series = G["pd"].attr("Series")(weight, py::arg("index") = a.helper.attr("order_book_ids"));
  std::vector<Miss> misses;
  for (const Group& group : a.groups) {
    if (!measured(group, soft_kept)) continue;
    py::object table = py::hasattr(group.source, "_measure")
                           ? py::object(group.source.attr("_measure")(series, a.helper))
                           : rows_measure(group, weight, a.g, a.zeta);
    py::list items = table["item"].attr("tolist")();
    py::list sides = table["side"].attr("tolist")();
    py::list values = table["value"].attr("tolist")();
    py::list limits = table["limit"].attr("tolist")();
    for (py::ssize_t i = 0; i < py::len(items); ++i) {
      const double value = values[i].cast<double>();
      const double limit = limits[i].cast<double>();
      const std::string side = py::str(sides[i]).cast<std::string>();
      // NaN: nothing to measure (a share of an industry nothing is held in).
      if (std::isnan(value) || std::isnan(limit)) continue;
      const double miss = side == "lower" ? limit - value : value - limit;
      if (miss > tol) {
        misses.push_back({group.name.cast<std::string>(), py::str(items[i]).cast<std::string>(),
                          side, value, limit});
      }
    }
  }
  return misses;
}

// The nearest weights meeting the budget, the bounds and every measured
// constraint, projected as the solve's weights are; None when Clarabel
// fails.
py::object polish(const Assembly& a, py::handle weight, bool soft_kept) {
  py::object cp = G["cp"];
  py::list constraints;
  for (const Group& group : a.groups) {
    // The objective's own rows fix the ratio objectives' scale and are no
    // limit: they stay out.
    const bool kept = group.is_constraint ? measured(group, soft_kept)
                                          : !eq(group.name, py::str("objective"));
    if (!kept) continue;
    for (py::handle row : group.constraints) constraints.append(row);
  }
  py::object g = a.g;
  py::object zeta = a.zeta;
  py::object target = py::reinterpret_borrow<py::object>(weight);
  py::object distance;
  if (verdalis::isinstance(zeta, cp.attr("Variable"))) {
    constraints.append(richcmp(zeta, py::float_(1.0), Py_EQ));
    distance = g - target;
  } else {
    distance = g / zeta - target;
  }
  py::object problem = cp.attr("Problem")(
      cp.attr("Minimize")(cp.attr("sum_squares")(distance)), constraints);
  try {
    problem.attr("solve")(py::arg("solver") = cp.attr("CLARABEL"),
                          py::arg("tol_gap_abs") = kPolishTolerance,
                          py::arg("tol_gap_rel") = kPolishTolerance,
                          py::arg("tol_feas") = kPolishTolerance,
                          py::arg("tol_ktratio") = kPolishTolerance);
  } catch (py::error_already_set& e) {
    if (!e.matches(cp.attr("SolverError"))) throw;
    return py::none();
  }
  py::object status = problem.attr("status");
  py::object value = g.attr("value");
  if (!(eq(status, cp.attr("OPTIMAL")) || eq(status, cp.attr("OPTIMAL_INACCURATE"))) ||
      value.is_none()) {
    return py::none();
  }
  return honour_bounds(value / value.attr("sum")(), a.lower_bound, a.upper_bound);
}

std::string shown(double x) { return py::str("{:.6g}").attr("format")(x).cast<std::string>(); }

// One warning naming each limit missed (at most kNamedMisses spelled out);
// the misses ride along as `warning.limits`, tuples (constraint, item, side,
// value, limit), for the product layer.
void warn_misses(const std::vector<Miss>& misses, double tol) {
  std::string text;
  py::list limits;
  for (std::size_t i = 0; i < misses.size(); ++i) {
    const Miss& m = misses[i];
    limits.append(py::make_tuple(m.constraint, m.item, m.side, m.value, m.limit));
    if (i >= kNamedMisses) continue;
    if (!text.empty()) text += "; ";
    Message item = m.side == "lower"
                       ? msg("{} {} 下限 {}，实际 {}", m.constraint, m.item, shown(m.limit), shown(m.value))
                       : msg("{} {} 上限 {}，实际 {}", m.constraint, m.item, shown(m.limit), shown(m.value));
    text += verdalis::text(item).cast<std::string>();
  }
  if (misses.size() > kNamedMisses) {
    text += verdalis::text(msg(" 等共 {} 项", misses.size())).cast<std::string>();
  }
  warn(G.optimizer_warning(),
       msg("以下约束在求解后未能满足（容差 {}）：{}", py::str("{:g}").attr("format")(tol), py::str(text))
           .with("limits", limits));
}

}  // namespace

py::object verify_limits(const Assembly& assembly, py::object weight, bool soft_kept) {
  bool any = false;
  for (const Group& group : assembly.groups) any = any || measured(group, soft_kept);
  if (!any) return weight;
  for (py::handle x : weight.attr("tolist")()) {
    if (!std::isfinite(x.cast<double>())) return weight;
  }
  const double tol = tolerance();
  std::vector<Miss> misses = find_misses(assembly, weight, soft_kept, tol);
  if (misses.empty()) return weight;
  G["logging"].attr("info")("%d limit(s) missed after the solve; polishing", py::int_(misses.size()));
  py::object polished = polish(assembly, weight, soft_kept);
  if (!polished.is_none() && find_misses(assembly, polished, soft_kept, tol).empty()) {
    return polished;
  }
  warn_misses(misses, tol);
  return weight;
}

}  // namespace verdalis::optimize
