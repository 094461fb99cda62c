// portfolio_optimize: filters the pool, builds one convex problem over the
// scaled weight vector g (weights = g / zeta), solves it, retries once
// without the soft constraints when it is infeasible, and returns the
// weights as a pandas Series over the sorted pool.
#include "optimize.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

namespace verdalis::optimize {

const Globals G("verdalis.optimize");

namespace {

// solve(solver=..., verbose=..., **options), failing on a repeated keyword
// the way a Python call does.
py::dict solve_kwargs(py::handle solve, py::object solver, py::object verbose, py::dict options) {
  py::dict kwargs;
  kwargs["solver"] = solver;
  kwargs["verbose"] = verbose;
  for (auto item : options) {
    if (kwargs.contains(item.first)) {
      raise_(PyExc_TypeError, format("{} got multiple values for keyword argument '{}'",
                                     function_str(solve), item.first));
    }
    kwargs[item.first] = item.second;
  }
  return kwargs;
}

// A weight the final projection moves by more than this means the solve was
// not accurate enough for its result to be trusted as it stands.
constexpr double kProjectionWarnShift = 1e-4;

std::vector<double> doubles(py::handle array) {
  std::vector<double> out;
  for (py::handle x : array.attr("tolist")()) out.push_back(x.cast<double>());
  return out;
}

// The Euclidean projection of v onto {sum(w) = 1, l <= w <= u}: w = clip(v - t,
// l, u) for the shift t that makes the sum 1.  The sum falls monotonically in
// t; bisection brackets t, then t is solved exactly over the stocks strictly
// inside their bounds.  Bounds whose sums only reach 1 within the parser's
// tolerance leave a residual of at most that tolerance, spread evenly.
std::vector<double> project_onto_bounds(const std::vector<double>& v, const std::vector<double>& l,
                                        const std::vector<double>& u) {
  const std::size_t n = v.size();
  auto clipped = [&](double t, std::vector<double>& w) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      w[i] = std::min(std::max(v[i] - t, l[i]), u[i]);
      sum += w[i];
    }
    return sum;
  };
  std::vector<double> w(n);
  double lo = v[0] - u[0], hi = v[0] - l[0];
  for (std::size_t i = 1; i < n; ++i) {
    lo = std::min(lo, v[i] - u[i]);
    hi = std::max(hi, v[i] - l[i]);
  }
  for (int iter = 0; iter < 200 && lo < hi; ++iter) {
    const double mid = 0.5 * (lo + hi);
    if (mid <= lo || mid >= hi) break;
    if (clipped(mid, w) > 1.0) lo = mid; else hi = mid;
  }
  double t = 0.5 * (lo + hi);
  clipped(t, w);
  double fixed = 0.0, free_sum = 0.0;
  std::size_t free_count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (w[i] > l[i] && w[i] < u[i]) {
      free_sum += v[i];
      ++free_count;
    } else {
      fixed += w[i];
    }
  }
  if (free_count > 0) {
    t = (free_sum + fixed - 1.0) / static_cast<double>(free_count);
    clipped(t, w);
  }
  double sum = 0.0;
  for (double x : w) sum += x;
  if (sum != 1.0) {
    // The residual (rounding, or the parser's tolerance on the bound sums)
    // goes to the stock with the most room inside its bounds, so that it
    // never pushes a weight at or next to a bound (0 above all) past it; to
    // every stock when none has room for it.
    const double residual = 1.0 - sum;
    std::size_t roomiest = n;
    double room = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double r = std::min(w[i] - l[i], u[i] - w[i]);
      if (r > room) {
        room = r;
        roomiest = i;
      }
    }
    if (roomiest < n && room >= std::abs(residual)) {
      w[roomiest] += residual;
    } else {
      for (double& x : w) x += residual / static_cast<double>(n);
    }
  }
  return w;
}

}  // namespace

// The solver meets bounds and budget only to its tolerance: the normalised
// weights are projected onto them (within [0, 1], as g >= 0 and the budget
// imply), warning when that moves a weight by more than kProjectionWarnShift.
py::object honour_bounds(py::object weight, py::object lower_bound, py::object upper_bound) {
  std::vector<double> v = doubles(weight);
  const std::size_t n = v.size();
  std::vector<double> l(n, 0.0), u(n, 1.0);
  if (!lower_bound.is_none()) {
    std::vector<double> lb = doubles(lower_bound), ub = doubles(upper_bound);
    for (std::size_t i = 0; i < n; ++i) {
      l[i] = std::min(std::max(lb[i], 0.0), 1.0);
      u[i] = std::max(std::min(ub[i], 1.0), l[i]);
    }
  }
  for (double x : v) {
    if (!std::isfinite(x)) return weight;
  }
  std::vector<double> w = project_onto_bounds(v, l, u);
  double shift = 0.0;
  for (std::size_t i = 0; i < n; ++i) shift = std::max(shift, std::abs(w[i] - v[i]));
  if (shift > kProjectionWarnShift) {
    warn(G.optimizer_warning(),
         msg("求解精度不足：为满足个股上下限与权重之和为 1，权重最多调整了 {}", py::str("{:.2g}").attr("format")(shift)));
  }
  py::list out;
  for (double x : w) out.append(py::float_(x));
  return G["np"].attr("array")(out, py::arg("dtype") = "float64");
}

py::object portfolio_optimize(py::object order_book_ids, py::object date, py::object objective,
                              py::object bnds, py::object cons, py::object benchmark,
                              py::object cov_model, py::object factor_risk_aversion,
                              py::object specific_risk_aversion, py::object solver,
                              py::object risk_model, py::dict solver_options) {
  date = G["to_date"](date);
  order_book_ids = G["ensure_order_book_ids"](order_book_ids, date);
  const py::ssize_t n = py::len(order_book_ids);
  if (n == 0) raise_(G.invalid_argument(), "经过剔除后，股票池为空");
  if (n < 2) {
    // Nothing to choose: the whole weight on the one stock, provided the
    // caller's bounds allow it (parsed as for a larger pool: an upper bound
    // below 1 leaves the upper bounds summing to less than 1).
    if (!bnds.is_none()) G["parse_bnds"](bnds, order_book_ids);
    py::dict single;
    single[order_book_ids[py::int_(0)]] = py::float_(1.0);
    return G["pd"].attr("Series")(single);
  }

  Assembly assembly = assemble(order_book_ids, date, objective, bnds, cons, benchmark, cov_model,
                               factor_risk_aversion, specific_risk_aversion, risk_model);
  py::object cp = G["cp"];
  py::object g = assembly.g;
  py::object zeta = assembly.zeta;
  py::object objective_expr = assembly.objective_expr;
  py::list hard_cons = assembly.constraints(/*hard=*/true);
  py::list soft_cons = assembly.constraints(/*hard=*/false);
  // The parsed bounds (None without bnds): the returned weights honour them.
  py::object lower_bound = assembly.lower_bound, upper_bound = assembly.upper_bound;

  py::object problem;
  if (verdalis::isinstance(objective, G["RiskParity"]) && !truthy(bnds) && !truthy(cons)) {
    // Unconstrained risk parity: g >= 0 from the variable alone; the result
    // is normalised below.
    problem = cp.attr("Problem")(
        cp.attr("Minimize")(objective_expr));
  } else {
    problem = cp.attr("Problem")(
        cp.attr("Minimize")(objective_expr),
        hard_cons + soft_cons);
  }

  if (!truthy(solver)) solver = objective.attr("get_preferred_solver")();
  if (eq(solver, cp.attr("SCS")) && !solver_options.contains("max_iters")) {
    solver_options["max_iters"] = py::int_(10000);
  }

  // At most two solves: the retry empties soft_cons.
  py::object result;
  for (;;) {
    try {
      py::object start_at = G["time"].attr("perf_counter")();
      py::object solve = problem.attr("solve");
      py::object solver_name = truthy(solver) ? solver : objective.attr("get_preferred_solver")();
      result = solve(**solve_kwargs(solve, solver_name, G["DEBUG"], solver_options));
      G["logging"].attr("info")("solve time: %f, optimization result = %f",
                                G["time"].attr("perf_counter")() - start_at, result);
    } catch (py::error_already_set& e) {
      if (!e.matches(cp.attr("SolverError"))) throw;
      raise_while_handling(G.optimization_failed(), py::str("failed"), e);
    }

    py::object status = problem.attr("status");
    if (eq(status, cp.attr("OPTIMAL")) || eq(status, cp.attr("OPTIMAL_INACCURATE"))) break;
    if ((eq(status, cp.attr("INFEASIBLE")) || eq(status, cp.attr("INFEASIBLE_INACCURATE"))) &&
        py::len(soft_cons) > 0) {
      // The warning carries the constraint objects it drops.
      py::list dropped;
      for (const Group& group : assembly.groups) {
        if (!group.hard) dropped.append(group.source);
      }
      warn(py::module_::import("verdalis.exception").attr("SoftConstraintsDropped"),
           Message{"约束无法满足，放弃所有软约束重试", py::tuple(), py::dict()}.with("constraints",
                                                                                  dropped));
      soft_cons.attr("clear")();
      problem = cp.attr("Problem")(problem.attr("objective"), hard_cons);
      continue;
    }
    // The status string when the solve returned a number, else what it
    // returned (built first, so a tuple is one argument, not several).
    py::object failed = G.optimization_failed();
    py::object error =
        failed(PyFloat_Check(result.ptr()) ? py::object(problem.attr("status")) : result);
    // The call rides along (not in the message or the arguments), so that
    // error.diagnose() can explain the failure on request.
    py::dict call;
    call["order_book_ids"] = order_book_ids;
    call["date"] = date;
    call["objective"] = objective;
    call["bnds"] = bnds;
    call["cons"] = cons;
    call["benchmark"] = benchmark;
    call["cov_model"] = cov_model;
    call["factor_risk_aversion"] = factor_risk_aversion;
    call["specific_risk_aversion"] = specific_risk_aversion;
    call["solver"] = solver;
    call["risk_model"] = risk_model;
    call["solver_options"] = solver_options;
    py::setattr(error, "_call", call);
    raise_(failed, error);
  }

  G["logging"].attr("debug")(
      "g.value.sum() = %f, zeta = %f", g.attr("value").attr("sum")(),
      verdalis::isinstance(zeta, cp.attr("Variable")) ? py::object(zeta.attr("value")) : zeta);
  if (eq(problem.attr("status"), cp.attr("OPTIMAL_INACCURATE"))) {
    warn(G.optimizer_warning(), "达到最大迭代次数，但仍未达到所需精度，可能会导致某些约束不能满足");
  }
  py::object value = g.attr("value");
  py::object weight = honour_bounds(value / value.attr("sum")(), lower_bound, upper_bound);
  // The problem's limits are met only to the solver's tolerance, and the
  // projection moves them: each is measured, and a miss polished away.
  weight = verify_limits(assembly, weight, /*soft_kept=*/py::len(soft_cons) > 0);
  return G["pd"].attr("Series")(weight, py::arg("index") = order_book_ids);
}

}  // namespace verdalis::optimize
