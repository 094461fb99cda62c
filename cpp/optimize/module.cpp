// verdalis.optimize: registration only (namespace, signatures, docstrings).
// The docstring lives in docs.hpp.
#include "docs.hpp"
#include "optimize.hpp"

namespace py = pybind11;
using namespace verdalis;
using namespace verdalis::optimize;

namespace {

void register_namespace(py::module_& m) {
  bind_module(m, "warnings", "warnings");
  bind_module(m, "datetime", "datetime");
  bind_module(m, "time", "time");
  bind_module(m, "logging", "logging");
  bind_module(m, "os", "os");
  bind_from(m, "Iterable", "typing", "Iterable");
  bind_from(m, "parse_datetime", "dateutil.parser", "parse");
  bind_module(m, "pd", "pandas");
  bind_module(m, "np", "numpy");
  bind_module(m, "cp", "cvxpy");
  bind_module(m, "corvana", "corvana");
  for (const char* name : {"InvalidArgument", "OptimizationFailed", "OptimizerWarning"}) {
    bind_from(m, name, "verdalis.exception", name);
  }
  bind_star(m, "verdalis.const");
  bind_from(m, "OptimizeHelper", "verdalis.helper", "OptimizeHelper");
  bind_from(m, "IndexBenchmark", "verdalis.benchmark", "IndexBenchmark");
  bind_from(m, "OptimizeBenchmark", "verdalis.benchmark", "OptimizeBenchmark");
  for (const char* name : {"OptimizationObjective", "MinVariance", "MaxInformationRatio",
                           "MaxSharpeRatio", "MinTrackingError", "ActiveMeanVariance",
                           "MinActiveVariance", "RiskParity"}) {
    bind_from(m, name, "verdalis.objective", name);
  }
  // Every OptimizerWarning, from any module of the package, is shown each
  // time it is issued.
  m.attr("warnings").attr("filterwarnings")("always",
                                            py::arg("category") = m.attr("OptimizerWarning"));
  m.attr("DEBUG") = py::bool_(truthy(m.attr("os").attr("getenv")("VERDALIS_DEBUG")));
}

void register_normalization(py::module_& m) {
  def(m, "to_enum", {arg("v"), arg("enum_type")}, &to_enum);
  def(m, "to_date", {arg("dt")}, &to_date);
  def(m, "ensure_date_str", {arg("date")}, &ensure_date_str);
  def(m, "ensure_order_book_ids", {arg("order_book_ids"), arg("date")}, &ensure_order_book_ids);
  def(m, "ensure_bound", {arg("v")}, &ensure_bound);
  def(m, "parse_bnds", {arg("bnds"), arg("order_book_ids")}, &parse_bnds);
}

void register_driver(py::module_& m) {
  m.attr("DEFAULT_OBJECTIVE") = m.attr("MinVariance")();
  // A limit missed by more than this, in its own units, after the solve and
  // the projection is polished away or reported (read at every call).
  m.attr("LIMIT_TOLERANCE") = py::float_(1e-7);

  def(m, "portfolio_optimize",
      {arg("order_book_ids"), arg("date"), arg("objective", m.attr("DEFAULT_OBJECTIVE")),
       arg("bnds", py::none()), arg("cons", py::none()), arg("benchmark", py::none()),
       arg("cov_model", m.attr("CovModel").attr("FACTOR_MODEL_DAILY")),
       arg("factor_risk_aversion", py::float_(1.0)), arg("specific_risk_aversion", py::float_(1.0)),
       arg("solver", py::none()), arg("risk_model", m.attr("RiskModel").attr("V1")),
       var_kw("solver_options")},
      &portfolio_optimize, docs::kPortfolioOptimizeDoc);

  // The same problem as named groups, for verdalis.diagnose (not part of
  // the documented namespace).
  def(m, "_assemble",
      {arg("order_book_ids"), arg("date"), arg("objective"), arg("bnds"), arg("cons"),
       arg("benchmark"), arg("cov_model"), arg("factor_risk_aversion"),
       arg("specific_risk_aversion"), arg("risk_model"), kwonly("bounds", py::none()),
       kwonly("scale", py::none())},
      &assemble_for_product);
}

}  // namespace

PYBIND11_MODULE(optimize, m) {
  init_support(m);
  register_namespace(m);
  register_normalization(m);
  register_driver(m);
  export_package_names(m);
}
