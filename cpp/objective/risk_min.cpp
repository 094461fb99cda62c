// Risk-minimising objectives: total variance and active variance.
#include "objective.hpp"

namespace verdalis::objective {

py::object min_variance_expr(py::object, py::object g, py::object zeta, py::object helper) {
  assert_(eq(zeta, py::float_(1.0)));
  return risk_term(G, g, helper, false);
}

// MinActiveVariance and MinTrackingError: (w - b)ᵀ Σ_U (w - b) over the
// union of the pool and the benchmark components.
py::object min_active_variance_expr(py::object, py::object g, py::object zeta, py::object helper) {
  assert_(eq(zeta, py::float_(1.0)));
  return risk_term(G, active_weight(g, zeta, helper), helper, true);
}

}  // namespace verdalis::objective
