// verdalis.constraints: registration only (names, signatures, docstrings,
// repr fields).  Classes are registered in the order the module defines
// them; the docstrings live in docs.hpp.
#include "constraints.hpp"
#include "docs.hpp"

namespace py = pybind11;
using namespace verdalis;
using namespace verdalis::constraints;

namespace {

using ToConstraints = py::object (*)(py::object, py::object, py::object, py::object);

// A concrete constraint class: ABCMeta, derived from OptimizationConstraint,
// with the protocol (to_constraints, the `hard` property), and a repr and
// get_params() from one table of the constructor's parameters.  A class that
// reads a current holding says so in `holding_aware`: the unit of the
// holding it takes ("weights", or "shares" with `cash`).
ClassBuilder constraint_class(py::module_& m, const char* name, const char* doc,
                              ToConstraints to_constraints, std::vector<ReprField> repr) {
  ClassBuilder cls(m, name);
  cls.metaclass(m.attr("ABCMeta"))
      .bases(py::make_tuple(m.attr("OptimizationConstraint")))
      .doc(doc)
      .method("to_constraints", {arg("self"), arg("g"), arg("zeta"), arg("helper")},
              to_constraints)
      .property("hard", &hard)
      .parameters(std::move(repr));
  return cls;
}

ReprField positional(const char* param, const char* attr) { return {param, attr, false, py::object()}; }
ReprField keyword(const char* param, const char* attr, py::object shown_default = py::none()) {
  return {param, attr, true, std::move(shown_default)};
}
ReprField hard_field() { return keyword("hard", "_hard", py::bool_(true)); }

void register_namespace(py::module_& m) {
  bind_from(m, "ABCMeta", "abc", "ABCMeta");
  bind_module(m, "warnings", "warnings");
  bind_module(m, "numbers", "numbers");
  bind_module(m, "cp", "cvxpy");
  bind_module(m, "np", "numpy");
  bind_module(m, "pd", "pandas");
  bind_module(m, "corvana", "corvana");
  bind_from(m, "InvalidArgument", "verdalis.exception", "InvalidArgument");
  bind_from(m, "OptimizerWarning", "verdalis.exception", "OptimizerWarning");
  bind_from(m, "IndustryClassification", "verdalis.const", "IndustryClassification");
  bind_from(m, "STYLE_FACTORS", "verdalis.const", "STYLE_FACTORS");
}

void register_protocol(py::module_& m) {
  ClassBuilder(m, "OptimizationConstraint")
      .metaclass(m.attr("ABCMeta"))
      .method("to_constraints", {arg("self"), arg("g"), arg("zeta"), arg("helper")},
              &base_to_constraints)
      .property("hard", &base_hard)
      .finish();
  def(m, "_ensure_bound", {arg("v"), arg("label")}, &ensure_bound);
  def(m, "ensure_series", {arg("obj"), arg("name")}, &verdalis::constraints::ensure_series);
  def(m, "get_deviation_value", {arg("benchmark"), arg("deviation")}, &get_deviation_value);
}

void register_tracking_error(py::module_& m) {
  constraint_class(m, "TrackingErrorLimit", docs::kTrackingErrorLimitDoc,
                   &tracking_error_to_constraints,
                   {positional("upper_limit", "upper"), hard_field()})
      .method("__init__", {arg("self"), arg("upper_limit"), kwonly("hard", py::bool_(true))},
              &tracking_error_init)
      .finish();
}

void register_turnover(py::module_& m) {
  constraint_class(m, "TurnoverLimit", docs::kTurnoverLimitDoc, &turnover_to_constraints,
                   {positional("current_holding", "_current_holding"),
                    positional("upper_limit", "upper"), hard_field()})
      .method("__init__",
              {arg("self"), arg("current_holding"), arg("upper_limit"),
               kwonly("hard", py::bool_(true))},
              &turnover_init)
      .attr("holding_aware", py::str("weights"))
      .finish();
}

void register_benchmark_component(py::module_& m) {
  constraint_class(m, "BenchmarkComponentWeightLimit", docs::kBenchmarkComponentWeightLimitDoc,
                   &component_weight_to_constraints,
                   {positional("lower_limit", "lower"), hard_field()})
      .method("__init__", {arg("self"), arg("lower_limit"), kwonly("hard", py::bool_(true))},
              &component_weight_init)
      .finish();
}

void register_industry(py::module_& m) {
  py::object sws = m.attr("IndustryClassification").attr("SWS");
  auto limits = [&](std::vector<ReprField> fields) {
    for (ReprField f : {keyword("lower_limit", "lower"), keyword("upper_limit", "upper"),
                        keyword("relative", "relative", py::bool_(false)),
                        keyword("classification", "classification", sws), hard_field()}) {
      fields.push_back(f);
    }
    return fields;
  };
  constraint_class(m, "IndustryConstraint", docs::kIndustryConstraintDoc, &industry_to_constraints,
                   limits({positional("industries", "industries")}))
      .method("__init__",
              {arg("self"), arg("industries"), kwonly("lower_limit", py::none()),
               kwonly("upper_limit", py::none()), kwonly("relative", py::bool_(false)),
               kwonly("classification", sws), kwonly("hard", py::bool_(true))},
              &industry_init)
      .finish();
  py::list no_exclusion;
  constraint_class(m, "WildcardIndustryConstraint", docs::kWildcardIndustryConstraintDoc,
                   &wildcard_industry_to_constraints,
                   limits({keyword("exclude", "exclude", no_exclusion)}))
      .method("__init__",
              {arg("self"), kwonly("exclude", py::none()), kwonly("lower_limit", py::none()),
               kwonly("upper_limit", py::none()), kwonly("relative", py::bool_(false)),
               kwonly("classification", sws), kwonly("hard", py::bool_(true))},
              &wildcard_industry_init)
      .finish();
}

void register_style(py::module_& m) {
  constraint_class(m, "StyleConstraint", docs::kStyleConstraintDoc, &style_to_constraints,
                   {positional("styles", "styles"), keyword("lower_limit", "lower"),
                    keyword("upper_limit", "upper"),
                    keyword("relative", "relative", py::bool_(false)), hard_field()})
      .method("__init__",
              {arg("self"), arg("styles"), kwonly("lower_limit", py::none()),
               kwonly("upper_limit", py::none()), kwonly("relative", py::bool_(false)),
               kwonly("hard", py::bool_(true))},
              &style_init)
      .finish();
  def(m, "wildcard_style_constraint",
      {kwonly("exclude", py::none()), kwonly("lower_limit", py::none()),
       kwonly("upper_limit", py::none()), kwonly("relative", py::bool_(false)),
       kwonly("hard", py::bool_(true))},
      &wildcard_style_constraint, docs::kWildcardStyleConstraintDoc);
}

void register_industry_component(py::module_& m) {
  py::object sws = m.attr("IndustryClassification").attr("SWS");
  constraint_class(m, "IndustryComponentLimit", docs::kIndustryComponentLimitDoc,
                   &industry_component_to_constraints,
                   {positional("industry", "industry"), keyword("lower_limit", "lower"),
                    keyword("upper_limit", "upper"),
                    keyword("classification", "classification", sws), hard_field()})
      .method("__init__",
              {arg("self"), arg("industry"), kwonly("lower_limit", py::none()),
               kwonly("upper_limit", py::none()), kwonly("classification", sws),
               kwonly("hard", py::bool_(true))},
              &industry_component_init)
      .finish();
}

void register_pool(py::module_& m) {
  constraint_class(m, "IndexComponentLimit", docs::kIndexComponentLimitDoc,
                   &index_component_to_constraints,
                   {positional("index_code", "index_code"), keyword("lower_limit", "lower"),
                    keyword("upper_limit", "upper"), hard_field()})
      .method("__init__",
              {arg("self"), arg("index_code"), kwonly("lower_limit", py::none()),
               kwonly("upper_limit", py::none()), kwonly("hard", py::bool_(true))},
              &index_component_init)
      .finish();
  constraint_class(m, "StockPoolLimit", docs::kStockPoolLimitDoc, &stock_pool_to_constraints,
                   {positional("stock_list", "stock_list"), keyword("lower_limit", "lower"),
                    keyword("upper_limit", "upper"), hard_field()})
      .method("__init__",
              {arg("self"), arg("stock_list"), kwonly("lower_limit", py::none()),
               kwonly("upper_limit", py::none()), kwonly("hard", py::bool_(true))},
              &stock_pool_init)
      .finish();
}

void register_transaction(py::module_& m) {
  auto fields = [] {
    return std::vector<ReprField>{keyword("upper_limit", "upper"),
                                  keyword("current_holding", "_current_holding"),
                                  keyword("cash", "cash", py::int_(0)),
                                  keyword("window", "window", py::int_(1)),
                                  keyword("stock_list", "stock_list"), hard_field()};
  };
  auto params = [] {
    return std::vector<Param>{arg("self"),
                              kwonly("upper_limit", py::none()),
                              kwonly("current_holding", py::none()),
                              kwonly("cash", py::none()),
                              kwonly("window", py::int_(1)),
                              kwonly("stock_list", py::none()),
                              kwonly("hard", py::bool_(true))};
  };
  constraint_class(m, "TransactionVolumeLimit", docs::kTransactionVolumeLimitDoc,
                   &transaction_volume_to_constraints, fields())
      .method("__init__", params(), &transaction_volume_init)
      .attr("holding_aware", py::str("shares"))
      .finish();
  constraint_class(m, "TransactionMarketValueLimit", docs::kTransactionMarketValueLimitDoc,
                   &transaction_value_to_constraints, fields())
      .method("__init__", params(), &transaction_value_init)
      .attr("holding_aware", py::str("shares"))
      .finish();
}

}  // namespace

PYBIND11_MODULE(constraints, m) {
  init_support(m);
  register_namespace(m);
  register_protocol(m);
  register_tracking_error(m);
  register_turnover(m);
  register_benchmark_component(m);
  register_industry(m);
  register_style(m);
  register_industry_component(m);
  register_pool(m);
  register_transaction(m);
  register_measures(m);
  export_package_names(m);
}
