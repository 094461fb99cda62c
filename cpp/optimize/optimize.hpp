// The optimization driver: input normalization and portfolio_optimize.
#pragma once

#include "verdalis/support.hpp"

#include <vector>

namespace verdalis::optimize {

namespace py = pybind11;

// verdalis.optimize's own namespace, read at call time.
extern const Globals G;

// Input normalization (normalize.cpp), each behaving as the module function
// of the same name.
py::object to_enum(py::object v, py::object enum_type);
py::object to_date(py::object dt);
py::object ensure_date_str(py::object date);
py::object ensure_order_book_ids(py::object order_book_ids, py::object date);
py::object ensure_bound(py::object v);
py::object parse_bnds(py::object bnds, py::object order_book_ids);

// The assembly (assembly.cpp): the problem portfolio_optimize solves, as
// named groups of constraints.
struct Group {
  py::object name;         // "budget", "objective", "bounds", or the object's repr
  bool hard;               // false only for a constraint object that is soft
  py::list constraints;    // its cvxpy constraints, in the order they are emitted
  py::object source;       // the constraint object, the objective, the bounds'
                           // (lower, upper) arrays, or None for the budget
  bool is_constraint = false;  // a constraint object's group (one of `cons`)
};
struct Assembly {
  py::object helper, g, zeta, objective_expr;
  // The parsed per-stock bounds (None without bnds).
  py::object lower_bound = py::none(), upper_bound = py::none();
  std::vector<Group> groups;  // budget, objective, bounds (when given), then cons in order
  // The constraints of the hard (or soft) groups, in group order.
  py::list constraints(bool hard) const;
};
// Builds the problem over a normalised pool and date: checks the objective,
// resolves the benchmark, creates the helper, g and its scale, the groups
// and the objective's expression.  `bounds`, when not None, stands for
// parse_bnds(bnds, order_book_ids); `scale`, when not None, replaces the
// objective's scale of g.
Assembly assemble(py::object order_book_ids, py::object date, py::object objective,
                  py::object bnds, py::object cons, py::object benchmark, py::object cov_model,
                  py::object factor_risk_aversion, py::object specific_risk_aversion,
                  py::object risk_model, py::object bounds = py::none(),
                  py::object scale = py::none());
// _assemble: date and pool normalised as portfolio_optimize does, then the
// assembly as a dict (order_book_ids, date, helper, g, zeta, objective_expr,
// groups as (name, hard, constraints, source) tuples); None for a pool of
// one stock, which portfolio_optimize answers without a problem.
py::object assemble_for_product(py::object order_book_ids, py::object date, py::object objective,
                                py::object bnds, py::object cons, py::object benchmark,
                                py::object cov_model, py::object factor_risk_aversion,
                                py::object specific_risk_aversion, py::object risk_model,
                                py::object bounds, py::object scale);

// The driver (driver.cpp).
py::object portfolio_optimize(py::object order_book_ids, py::object date, py::object objective,
                              py::object bnds, py::object cons, py::object benchmark,
                              py::object cov_model, py::object factor_risk_aversion,
                              py::object specific_risk_aversion, py::object solver,
                              py::object risk_model, py::dict solver_options);

// The final projection (driver.cpp): normalised weights projected onto the
// bounds and the budget.
py::object honour_bounds(py::object weight, py::object lower_bound, py::object upper_bound);

// Verification after the solve (verify.cpp): measures every constraint
// object of the assembly that stayed in the problem (the soft ones only when
// `soft_kept`) at the projected `weight`; a limit missed by more than the
// module's LIMIT_TOLERANCE, in its own units, is polished away (the nearest
// weights meeting the budget, the bounds and every such constraint, by
// Clarabel, then the same projection).  Returns the weights to use; warns
// once, naming each limit, when the miss remains.
py::object verify_limits(const Assembly& assembly, py::object weight, bool soft_kept);

}  // namespace verdalis::optimize
