// The problem portfolio_optimize solves, built once: the scaled weight
// vector g (weights = g / zeta), the objective's expression, and the
// constraints as named groups (budget, the objective's own constraints, the
// per-stock bounds, one group per constraint object).  The driver solves it;
// the product layer (verdalis.diagnose) reads the same groups through
// _assemble to explain an infeasible problem or price a binding limit.
#include "optimize.hpp"

namespace verdalis::optimize {

namespace {

// Refuses an objective that is not one, or one that needs a benchmark when
// none was given.
void check_objective(py::handle objective, py::handle benchmark) {
  if (!verdalis::isinstance(objective, G["OptimizationObjective"])) {
    raise_(G.invalid_argument(), "非法的目标函数");
  }
  py::tuple needs_benchmark = py::make_tuple(G["MinTrackingError"], G["ActiveMeanVariance"],
                                             G["MaxInformationRatio"], G["MinActiveVariance"]);
  if (verdalis::isinstance(objective, needs_benchmark) && benchmark.is_none()) {
    raise_(G.invalid_argument(), msg("对于目标函数 {}，必须传入 benchmark 参数",
                                        objective.attr("__class__").attr("__name__")));
  }
}

// An index order_book_id becomes an IndexBenchmark; anything else must be an
// OptimizeBenchmark.
py::object resolve_benchmark(py::object benchmark) {
  if (benchmark.is_none()) return benchmark;
  if (PyUnicode_Check(benchmark.ptr())) benchmark = G["IndexBenchmark"](benchmark);
  if (!verdalis::isinstance(benchmark, G["OptimizeBenchmark"])) {
    raise_(G.invalid_argument(),
           msg("无效的benchmark：{}；对于指数，可以直接传入对应的order_book_id；"
                  "对于自定义基准，请传入一个 OptimizeBenchmark 的对象",
                  benchmark));
  }
  return benchmark;
}

// The scale of g: a variable for the ratio objectives (homogeneous
// formulation), the pool size for risk parity, 1.0 otherwise.
py::object make_scale(py::handle objective, py::handle cp, py::ssize_t n) {
  py::tuple ratio_objectives = py::make_tuple(G["MaxInformationRatio"], G["MaxSharpeRatio"]);
  if (verdalis::isinstance(objective, ratio_objectives)) {
    return cp.attr("Variable")(py::arg("nonneg") = true);
  }
  if (verdalis::isinstance(objective, G["RiskParity"])) return py::int_(n);
  return py::float_(1.0);
}

// cons as a list whose every element follows the constraint protocol: an
// instance with a `hard` attribute and a to_constraints method.
py::list checked_cons(py::handle cons) {
  if (!verdalis::isinstance(cons, G["Iterable"]) || PyUnicode_Check(cons.ptr())) {
    raise_(G.invalid_argument(), msg("cons 应该是约束对象的列表，传入值为：{}", cons));
  }
  py::list items(py::reinterpret_borrow<py::object>(cons));
  for (py::handle c : items) {
    const bool protocol = !PyType_Check(c.ptr()) && py::hasattr(c, "to_constraints") &&
                          PyCallable_Check(c.attr("to_constraints").ptr()) &&
                          py::hasattr(c, "hard");
    if (!protocol) {
      raise_(G.invalid_argument(),
             msg("cons 中的元素 {} 不是约束对象（需要 hard 属性和 to_constraints 方法）", py::repr(c)));
    }
  }
  return items;
}

Group make_group(const char* name, bool hard, py::list constraints, py::object source) {
  return Group{py::str(name), hard, std::move(constraints), std::move(source)};
}

}  // namespace

py::list Assembly::constraints(bool hard) const {
  py::list result;
  for (const Group& group : groups) {
    if (group.hard == hard) result.attr("extend")(group.constraints);
  }
  return result;
}

Assembly assemble(py::object order_book_ids, py::object date, py::object objective,
                  py::object bnds, py::object cons, py::object benchmark, py::object cov_model,
                  py::object factor_risk_aversion, py::object specific_risk_aversion,
                  py::object risk_model, py::object bounds, py::object scale) {
  const py::ssize_t n = py::len(order_book_ids);
  check_objective(objective, benchmark);
  benchmark = resolve_benchmark(benchmark);
  cov_model = G["to_enum"](cov_model, G["CovModel"]);
  risk_model = G["to_enum"](risk_model, G["RiskModel"]);

  Assembly a;
  a.helper = G["OptimizeHelper"](order_book_ids, date, benchmark, cov_model, risk_model,
                                 factor_risk_aversion, specific_risk_aversion);
  py::object cp = G["cp"];
  py::object g = cp.attr("Variable")(n, py::arg("nonneg") = true);
  py::object zeta = scale.is_none() ? make_scale(objective, cp, n) : scale;
  a.g = g;
  a.zeta = zeta;

  py::list budget;
  budget.append(richcmp(cp.attr("sum")(g) - zeta, py::int_(0), Py_EQ));
  a.groups.push_back(make_group("budget", true, budget, py::none()));
  a.groups.push_back(make_group(
      "objective", true, py::list(objective.attr("get_internal_constraints")(g, zeta, a.helper)),
      objective));
  if (!bnds.is_none()) {
    // `bounds`, when given, are the parsed (lower, upper) arrays of `bnds`.
    if (bounds.is_none()) bounds = G["parse_bnds"](bnds, order_book_ids);
    auto [lower_bound, upper_bound] = unpack2(bounds);
    a.lower_bound = lower_bound;
    a.upper_bound = upper_bound;
    py::list rows;
    rows.append(richcmp(g - zeta * lower_bound, py::int_(0), Py_GE));
    rows.append(richcmp(g - zeta * upper_bound, py::int_(0), Py_LE));
    a.groups.push_back(make_group("bounds", true, rows, py::make_tuple(lower_bound, upper_bound)));
  }
  if (!cons.is_none()) {
    cons = checked_cons(cons);
    for (auto c : cons) {
      const bool hard = truthy(c.attr("hard"));
      py::list rows(c.attr("to_constraints")(g, zeta, a.helper));
      a.groups.push_back(Group{py::repr(c), hard, rows, py::reinterpret_borrow<py::object>(c), true});
    }
  }
  a.objective_expr = objective.attr("get_objective_expr")(g, zeta, a.helper);
  return a;
}

py::object assemble_for_product(py::object order_book_ids, py::object date, py::object objective,
                                py::object bnds, py::object cons, py::object benchmark,
                                py::object cov_model, py::object factor_risk_aversion,
                                py::object specific_risk_aversion, py::object risk_model,
                                py::object bounds, py::object scale) {
  date = G["to_date"](date);
  order_book_ids = G["ensure_order_book_ids"](order_book_ids, date);
  if (py::len(order_book_ids) == 0) raise_(G.invalid_argument(), "经过剔除后，股票池为空");
  if (py::len(order_book_ids) < 2) return py::none();
  Assembly a = assemble(order_book_ids, date, objective, bnds, cons, benchmark, cov_model,
                        factor_risk_aversion, specific_risk_aversion, risk_model, bounds, scale);
  py::list groups;
  for (const Group& group : a.groups) {
    groups.append(py::make_tuple(group.name, py::bool_(group.hard), group.constraints,
                                 group.source));
  }
  py::dict result;
  result["order_book_ids"] = order_book_ids;
  result["date"] = date;
  result["helper"] = a.helper;
  result["g"] = a.g;
  result["zeta"] = a.zeta;
  result["objective_expr"] = a.objective_expr;
  result["groups"] = groups;
  return result;
}

}  // namespace verdalis::optimize
