// The optimization driver: input normalization and portfolio_optimize.
#pragma once

#include "verdalis/support.hpp"

#include <utility>

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

// The driver (driver.cpp).
py::object portfolio_optimize(py::object order_book_ids, py::object date, py::object objective,
                              py::object bnds, py::object cons, py::object benchmark,
                              py::object cov_model, py::object factor_risk_aversion,
                              py::object specific_risk_aversion, py::object solver,
                              py::object risk_model, py::dict solver_options);

// Python statement semantics the logic needs (pyops.cpp).

// `a, b = obj`, with Python's TypeError / ValueError texts.
std::pair<py::object, py::object> unpack2(py::handle obj);
// A rich comparison returning the resulting object (`a >= b` on cvxpy
// expressions builds a constraint, not a bool).
py::object compare(py::handle a, py::handle b, int op);
// `raise type(message)` inside the `except` block that caught `handled`:
// the caught exception becomes the new one's __context__.
[[noreturn]] void raise_while_handling(py::handle type, py::handle message,
                                       const py::error_already_set& handled);
// How CPython names a callable in argument errors: "module.qualname()".
py::str function_str(py::handle func);

}  // namespace verdalis::optimize
