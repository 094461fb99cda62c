// verdalis.objective: registration only (names, signatures, docstrings).
// One register_<family> function per family of objectives, in the order the
// module defines them; the docstrings live in docs.hpp.
#include "docs.hpp"
#include "objective.hpp"

namespace py = pybind11;
using namespace verdalis;
using namespace verdalis::objective;

namespace {

using Expr = py::object (*)(py::object, py::object, py::object, py::object);

// The three protocol methods of an objective class.
ClassBuilder& protocol(ClassBuilder& cls, Expr expr, Expr constraints = &no_internal_constraints) {
  return cls.method("get_objective_expr", {arg("self"), arg("g"), arg("zeta"), arg("helper")}, expr)
      .method("get_internal_constraints", {arg("self"), arg("g"), arg("zeta"), arg("helper")},
              constraints)
      .method("get_preferred_solver", {arg("self")}, &prefer_scs);
}
ClassBuilder& protocol(ClassBuilder&& cls, Expr expr) { return protocol(cls, expr); }

// A concrete objective class: ABCMeta, derived from OptimizationObjective,
// with a repr and get_params() from one table of the constructor's
// parameters.
ClassBuilder objective_class(py::module_& m, const char* name, const char* doc,
                             std::vector<ParamField> params = {}) {
  ClassBuilder cls(m, name);
  cls.metaclass(m.attr("ABCMeta"))
      .bases(py::make_tuple(m.attr("OptimizationObjective")))
      .doc(doc)
      .parameters(std::move(params));
  return cls;
}

// A keyword parameter stored in `attr`, shown by repr unless it is `shown_default`.
ParamField keyword(const char* param, const char* attr, py::object shown_default = py::none()) {
  return {param, attr, true, std::move(shown_default)};
}
// Expected returns: None when the object estimated them itself.
ParamField returns_field(const char* param, const char* attr) {
  return {param, attr, true, py::none(), "_estimated_for"};
}

void register_namespace(py::module_& m) {
  bind_from(m, "ABCMeta", "abc", "ABCMeta");
  bind_module(m, "warnings", "warnings");
  bind_module(m, "cp", "cvxpy");
  bind_module(m, "np", "numpy");
  bind_module(m, "pd", "pandas");
  bind_module(m, "corvana", "corvana");
  bind_from(m, "InvalidArgument", "verdalis.exception", "InvalidArgument");
  bind_from(m, "OptimizerWarning", "verdalis.exception", "OptimizerWarning");
  bind_from(m, "STYLE_FACTORS", "verdalis.const", "STYLE_FACTORS");
}

void register_protocol(py::module_& m) {
  def(m, "ensure_series", {arg("obj"), arg("name")}, &verdalis::objective::ensure_series);
  ClassBuilder(m, "OptimizationObjective")
      .metaclass(m.attr("ABCMeta"))
      .method("get_objective_expr", {arg("self"), arg("g"), arg("zeta"), arg("helper")},
              &base_get_objective_expr)
      .method("get_internal_constraints", {arg("self"), arg("g"), arg("zeta"), arg("helper")},
              &base_get_internal_constraints)
      .method("get_preferred_solver", {arg("self")}, &base_get_preferred_solver)
      .finish();
}

void register_risk_minimising(py::module_& m) {
  protocol(objective_class(m, "MinVariance", "风险最小化"), &min_variance_expr).finish();
  protocol(objective_class(m, "MinActiveVariance", "主动风险最小化"), &min_active_variance_expr)
      .finish();
  protocol(objective_class(m, "MinTrackingError", "最小追踪误差"), &min_active_variance_expr)
      .finish();
}

void register_mean_variance(py::module_& m) {
  const py::object window = trading_days_per_year();
  {
    ClassBuilder cls = objective_class(
        m, "MeanVariance", docs::kMeanVarianceDoc,
        {returns_field("expected_returns", "_expected_returns"), keyword("window", "_window", window),
         keyword("risk_aversion_coefficient", "_risk_aversion_coefficient", py::int_(1)),
         keyword("transaction_cost_model", "_transaction_cost_model")});
    cls.method("__init__",
               {arg("self"), kwonly("expected_returns", py::none()), kwonly("window", window),
                kwonly("risk_aversion_coefficient", py::int_(1)),
                kwonly("transaction_cost_model", py::none())},
               &mean_variance_init);
    protocol(cls, &mean_variance_expr).finish();
  }
  {
    ClassBuilder cls = objective_class(
        m, "ActiveMeanVariance", docs::kActiveMeanVarianceDoc,
        {keyword("expected_active_returns", "_expected_active_returns"),
         keyword("window", "_window", window),
         keyword("risk_aversion_coefficient", "_risk_aversion_coefficient", py::int_(1)),
         keyword("transaction_cost_model", "_transaction_cost_model")});
    cls.method("__init__",
               {arg("self"), kwonly("expected_active_returns", py::none()),
                kwonly("window", window), kwonly("risk_aversion_coefficient", py::int_(1)),
                kwonly("transaction_cost_model", py::none())},
               &active_mean_variance_init);
    protocol(cls, &active_mean_variance_expr).finish();
  }
}

void register_ratio(py::module_& m) {
  const py::object window = trading_days_per_year();
  {
    ClassBuilder cls = objective_class(
        m, "MaxSharpeRatio", docs::kMaxSharpeRatioDoc,
        {returns_field("expected_returns", "_expected_returns"), keyword("window", "_window", window)});
    cls.method("__init__",
               {arg("self"), kwonly("expected_returns", py::none()), kwonly("window", window)},
               &max_sharpe_init);
    protocol(cls, &max_sharpe_expr, &max_sharpe_constraints).finish();
  }
  {
    ClassBuilder cls = objective_class(
        m, "MaxInformationRatio", docs::kMaxInformationRatioDoc,
        {keyword("expected_active_returns", "_expected_active_returns"),
         keyword("window", "_window", window)});
    cls.method("__init__",
               {arg("self"), kwonly("expected_active_returns", py::none()),
                kwonly("window", window)},
               &max_information_init);
    protocol(cls, &max_information_expr, &max_information_constraints).finish();
  }
}

void register_indicator_style_parity(py::module_& m) {
  {
    ClassBuilder cls = objective_class(m, "MaxIndicator", docs::kMaxIndicatorDoc,
                                       {{"indicator_series", "_indicator_series", false, py::object()}});
    cls.method("__init__", {arg("self"), arg("indicator_series")}, &max_indicator_init);
    protocol(cls, &max_indicator_expr).finish();
  }
  {
    ClassBuilder cls = objective_class(
        m, "MinStyleDeviation", docs::kMinStyleDeviationDoc,
        {{"target_style", "_target_style", false, py::object()},
         keyword("relative", "_relative", py::bool_(false)), keyword("priority", "_priority")});
    py::list factors;
    for (int f : {1, 5, 10, 15, 20, 25, 30, 35, 40, 45}) factors.append(f);
    cls.attr("PRIORITY_ADJUST_FACTOR", factors)
        .method("__init__",
                {arg("self"), arg("target_style"), kwonly("relative", py::bool_(false)),
                 kwonly("priority", py::none())},
                &min_style_init);
    protocol(cls, &min_style_expr).finish();
  }
  protocol(objective_class(m, "RiskParity", "风险平价"), &risk_parity_expr).finish();
}

}  // namespace

PYBIND11_MODULE(objective, m) {
  init_support(m);
  register_namespace(m);
  register_protocol(m);
  register_risk_minimising(m);
  register_mean_variance(m);
  register_ratio(m);
  register_indicator_style_parity(m);
  export_package_names(m);
}
