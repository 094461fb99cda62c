// The objective protocol, ensure_series and the active weight over the
// benchmark union that several objectives share.
#include "objective.hpp"

namespace verdalis::objective {

const Globals G("verdalis.objective");

py::object active_weight(py::handle g, py::handle zeta, py::handle helper) {
  const Py_ssize_t not_in_pool =
      py::len(helper.attr("union_components")) - py::len(helper.attr("order_book_ids"));
  py::object benchmark = py::reinterpret_borrow<py::object>(zeta) *
                         helper.attr("benchmark_weight").attr("values");
  py::object held = py::reinterpret_borrow<py::object>(g);
  if (not_in_pool > 0) {
    py::list parts;
    parts.append(g);
    parts.append(G["np"].attr("repeat")(0.0, not_in_pool));
    held = G["cp"].attr("hstack")(parts);
  }
  return held - benchmark;
}

py::object ensure_series(py::object obj, py::object name) {
  return verdalis::ensure_series(G, std::move(obj), std::move(name));
}

py::object no_internal_constraints(py::object, py::object, py::object, py::object) {
  return py::list();
}

py::object prefer_scs(py::object) { return G["cp"].attr("SCS"); }

py::object base_get_objective_expr(py::object, py::object, py::object, py::object) {
  raise_(PyExc_NotImplementedError);
}

py::object base_get_internal_constraints(py::object, py::object, py::object, py::object) {
  raise_(PyExc_NotImplementedError);
}

py::object base_get_preferred_solver(py::object) { raise_(PyExc_NotImplementedError); }

}  // namespace verdalis::objective
