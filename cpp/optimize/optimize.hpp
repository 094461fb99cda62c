// The optimization driver: input normalization and portfolio_optimize.
#pragma once

#include "verdalis/support.hpp"

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

}  // namespace verdalis::optimize
