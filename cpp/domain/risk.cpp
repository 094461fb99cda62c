// The one builder of x'Σx risk terms, in factor form when the helper offers
// its factor structure and as a dense quadratic form otherwise.
#include "verdalis/domain.hpp"

namespace verdalis {

namespace {

// (B, d) from the helper, or an empty object when it offers no factor form.
py::object factor_structure(py::handle helper, bool over_union) {
  const char* name = over_union ? "get_union_factor_risk" : "get_factor_risk";
  py::object getter = py::getattr(helper, name, py::none());
  if (getter.is_none()) return py::object();
  py::object structure = getter();
  if (structure.is_none()) return py::object();
  return structure;
}

py::object covariance(py::handle helper, bool over_union) {
  return helper.attr(over_union ? "get_union_cov_matrix" : "get_cov_matrix")();
}

}  // namespace

py::object risk_term(const Globals& G, py::handle x, py::handle helper, bool over_union) {
  py::object cp = G["cp"];
  py::object structure = factor_structure(helper, over_union);
  if (!structure) {
    return cp.attr("quad_form")(x, covariance(helper, over_union));
  }
  py::object np = G["np"];
  py::object B = structure[py::int_(0)];
  py::object d = structure[py::int_(1)];
  // Bᵀx as a constant-matrix product: (k×n) @ x.
  py::object exposure = py::reinterpret_borrow<py::object>(x).attr("__rmatmul__")(B.attr("T"));
  py::object specific = cp.attr("multiply")(np.attr("sqrt")(d), x);
  return cp.attr("sum_squares")(exposure) + cp.attr("sum_squares")(specific);
}

py::object risk_norm(const Globals& G, py::handle x, py::handle helper, bool over_union) {
  py::object structure = factor_structure(helper, over_union);
  if (!structure) return py::object();
  py::object cp = G["cp"];
  py::object B = structure[py::int_(0)];
  py::object d = structure[py::int_(1)];
  py::list parts;
  parts.append(py::reinterpret_borrow<py::object>(x).attr("__rmatmul__")(B.attr("T")));
  parts.append(cp.attr("multiply")(G["np"].attr("sqrt")(d), x));
  return cp.attr("norm")(cp.attr("hstack")(parts));
}

py::object risk_value(const Globals& G, py::handle w, py::handle helper, bool over_union) {
  py::object np = G["np"];
  py::object vec = np.attr("asarray")(w, py::arg("dtype") = "float64");
  py::object structure = factor_structure(helper, over_union);
  if (!structure) {
    py::object cov = covariance(helper, over_union);
    return vec.attr("dot")(cov).attr("dot")(vec);
  }
  py::object B = structure[py::int_(0)];
  py::object d = np.attr("asarray")(structure[py::int_(1)]);
  py::object exposure = B.attr("T").attr("dot")(vec);
  return exposure.attr("dot")(exposure) + d.attr("dot")(vec * vec);
}

}  // namespace verdalis
