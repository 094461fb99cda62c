// verdalis.objective: registration only (names, signatures, docstrings).
#include "objective.hpp"

namespace py = pybind11;
using namespace verdalis;
using namespace verdalis::objective;

namespace {

const char* const kMeanVarianceDoc =
    "\n"
    "    收益/风险优化\n"
    "\n"
    "    :param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。\n"
    "    :type expected_returns: None | pd.Series\n"
    "    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年\n"
    "    :param risk_aversion_coefficient: 风险厌恶系数\n"
    "    :param transaction_cost_model: 交易成本模型实例；默认为 None，不考虑交易成本\n"
    "    ";

const char* const kActiveMeanVarianceDoc =
    "\n"
    "    主动收益/主动风险优化\n"
    "\n"
    "    :param expected_active_returns: 预期主动收益率。当不传入时，默认使用历史收益率估计。\n"
    "    :type expected_active_returns: None | pd.Series\n"
    "    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年\n"
    "    :param risk_aversion_coefficient: 风险厌恶系数\n"
    "    :param transaction_cost_model: 交易成本模型；默认为 None，不考虑交易成本\n"
    "    ";

const char* const kMaxSharpeRatioDoc =
    "\n"
    "    最大化夏普比率\n"
    "\n"
    "    :param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。\n"
    "    :type expected_returns: None | pd.Series\n"
    "    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年\n"
    "    ";

const char* const kMaxInformationRatioDoc =
    "\n"
    "    最大信息比率\n"
    "\n"
    "    :param expected_active_returns: 预期主动收益率。不传入时，使用历史收益率估计。\n"
    "    :type expected_active_returns: None | pd.Series\n"
    "    :param window: 使用历史收益率估计预期主动收益时，取历史收益的长度，默认为252，即一年\n"
    "    ";

const char* const kMaxIndicatorDoc =
    "\n"
    "    指标最大化\n"
    "\n"
    "    :param indicator_series: 指标序列\n"
    "    :type indicator_series: pd.Series\n"
    "    ";

const char* const kMinStyleDeviationDoc =
    "\n"
    "    风格偏离最小化\n"
    "\n"
    "    :param target_style: pd.Series, 目标风格\n"
    "    :param relative: bool, 是否为相对于基准\n"
    "    :param priority: pd.Series, 优先级，可以为每个风格指定一个0-9的优先级，9为最高优先级，0为最低优先级；"
    "未指定的风格默认优先级为5\n"
    "    ";

using Expr = py::object (*)(py::object, py::object, py::object, py::object);

// The three protocol methods of an objective class.
ClassBuilder& protocol(ClassBuilder& cls, Expr expr, Expr constraints = &no_internal_constraints) {
  return cls.method("get_objective_expr", {arg("self"), arg("g"), arg("zeta"), arg("helper")}, expr)
      .method("get_internal_constraints", {arg("self"), arg("g"), arg("zeta"), arg("helper")},
              constraints)
      .method("get_preferred_solver", {arg("self")}, &prefer_scs);
}

}  // namespace

PYBIND11_MODULE(objective, m) {
  init_support(m);

  bind_from(m, "ABCMeta", "abc", "ABCMeta");
  bind_module(m, "warnings", "warnings");
  bind_module(m, "cp", "cvxpy");
  bind_module(m, "np", "numpy");
  bind_module(m, "pd", "pandas");
  bind_module(m, "corvana", "corvana");
  bind_from(m, "InvalidArgument", "verdalis.exception", "InvalidArgument");
  bind_from(m, "OptimizerWarning", "verdalis.exception", "OptimizerWarning");
  bind_from(m, "STYLE_FACTORS", "verdalis.const", "STYLE_FACTORS");

  def(m, "ensure_series", {arg("obj"), arg("name")}, &verdalis::objective::ensure_series);

  py::object base =
      ClassBuilder(m, "OptimizationObjective")
          .metaclass(m.attr("ABCMeta"))
          .method("get_objective_expr", {arg("self"), arg("g"), arg("zeta"), arg("helper")},
                  &base_get_objective_expr)
          .method("get_internal_constraints", {arg("self"), arg("g"), arg("zeta"), arg("helper")},
                  &base_get_internal_constraints)
          .method("get_preferred_solver", {arg("self")}, &base_get_preferred_solver)
          .finish();
  const py::tuple bases = py::make_tuple(base);
  py::object abc_meta = m.attr("ABCMeta");

  auto objective_class = [&](const char* name, const char* doc) {
    ClassBuilder cls(m, name);
    cls.metaclass(abc_meta).bases(bases).doc(doc);
    return cls;
  };

  {
    ClassBuilder cls = objective_class("MinVariance", "风险最小化");
    protocol(cls, &min_variance_expr).finish();
  }
  {
    ClassBuilder cls = objective_class("MinActiveVariance", "主动风险最小化");
    protocol(cls, &min_active_variance_expr).finish();
  }
  {
    ClassBuilder cls = objective_class("MinTrackingError", "最小追踪误差");
    protocol(cls, &min_active_variance_expr).finish();
  }
  {
    ClassBuilder cls = objective_class("MeanVariance", kMeanVarianceDoc);
    cls.method("__init__",
               {arg("self"), kwonly("expected_returns", py::none()), kwonly("window", py::int_(252)),
                kwonly("risk_aversion_coefficient", py::int_(1)),
                kwonly("transaction_cost_model", py::none())},
               &mean_variance_init);
    protocol(cls, &mean_variance_expr).finish();
  }
  {
    ClassBuilder cls = objective_class("ActiveMeanVariance", kActiveMeanVarianceDoc);
    cls.method("__init__",
               {arg("self"), kwonly("expected_active_returns", py::none()),
                kwonly("window", py::int_(252)), kwonly("risk_aversion_coefficient", py::int_(1)),
                kwonly("transaction_cost_model", py::none())},
               &active_mean_variance_init);
    protocol(cls, &active_mean_variance_expr).finish();
  }
  {
    ClassBuilder cls = objective_class("MaxSharpeRatio", kMaxSharpeRatioDoc);
    cls.method("__init__",
               {arg("self"), kwonly("expected_returns", py::none()), kwonly("window", py::int_(252))},
               &max_sharpe_init);
    protocol(cls, &max_sharpe_expr, &max_sharpe_constraints).finish();
  }
  {
    ClassBuilder cls = objective_class("MaxInformationRatio", kMaxInformationRatioDoc);
    cls.method("__init__",
               {arg("self"), kwonly("expected_active_returns", py::none()),
                kwonly("window", py::int_(252))},
               &max_information_init);
    protocol(cls, &max_information_expr, &max_information_constraints).finish();
  }
  {
    ClassBuilder cls = objective_class("MaxIndicator", kMaxIndicatorDoc);
    cls.method("__init__", {arg("self"), arg("indicator_series")}, &max_indicator_init);
    protocol(cls, &max_indicator_expr).finish();
  }
  {
    ClassBuilder cls = objective_class("MinStyleDeviation", kMinStyleDeviationDoc);
    py::list factors;
    for (int f : {1, 5, 10, 15, 20, 25, 30, 35, 40, 45}) factors.append(f);
    cls.attr("PRIORITY_ADJUST_FACTOR", factors)
        .method("__init__",
                {arg("self"), arg("target_style"), kwonly("relative", py::bool_(false)),
                 kwonly("priority", py::none())},
                &min_style_init);
    protocol(cls, &min_style_expr).finish();
  }
  {
    ClassBuilder cls = objective_class("RiskParity", "风险平价");
    protocol(cls, &risk_parity_expr).finish();
  }
}
