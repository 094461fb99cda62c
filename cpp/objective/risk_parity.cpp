// Risk parity in log-barrier form: gᵀΣg − Σ log gᵢ, whose minimiser has equal
// risk contributions gᵢ(Σg)ᵢ for every stock.
#include "objective.hpp"

namespace verdalis::objective {

py::object risk_parity_expr(py::object, py::object g, py::object, py::object helper) {
  py::object cp = G["cp"];
  return risk_term(G, g, helper, false) - cp.attr("sum")(cp.attr("log")(g));
}

}  // namespace verdalis::objective
