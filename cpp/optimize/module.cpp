// verdalis.optimize: registration only (namespace, signatures, docstrings).
#include "optimize.hpp"

namespace py = pybind11;
using namespace verdalis;
using namespace verdalis::optimize;

namespace {

const char* const kPortfolioOptimizeDoc =
    "\n"
    "    组合优化，根据给定的约束及目标函数计算最优组合权重。\n"
    "\n"
    "    支持的目标函数：\n"
    "\n"
    "    - :class:`MinVariance`: 风险最小化\n"
    "    - :class:`MinActiveVariance`: 主动风险最小化\n"
    "    - :class:`MeanVariance`: 均值方差，最大化期望收益与风险惩罚之差\n"
    "    - :class:`ActiveMeanVariance`: 主动均值方差，最大化期望主动收益与主动风险惩罚之差\n"
    "    - :class:`RiskParity`: 风险平价，使各股票的风险贡献相等\n"
    "    - :class:`MinTrackingError`: 最小追踪误差\n"
    "    - :class:`MaxInformationRatio`: 最大信息比率\n"
    "    - :class:`MaxSharpeRatio`: 最大夏普比率\n"
    "    - :class:`MaxIndicator`: 最大化指标（如因子值、评分）的加权和\n"
    "    - :class:`MinStyleDeviation`: 最小化组合风格暴露与目标风格的偏离\n"
    "\n"
    "    支持的约束类型：\n"
    "\n"
    "    - :class:`TrackingErrorLimit`: 追踪误差约束\n"
    "    - :class:`TurnoverLimit`: 换手率约束\n"
    "    - :class:`BenchmarkComponentWeightLimit`: 基准成分股权重之和约束\n"
    "    - :class:`IndustryConstraint`: 行业权重约束\n"
    "    - :class:`WildcardIndustryConstraint`: 通配行业约束，对未单独指定的行业统一限制权重\n"
    "    - :class:`StyleConstraint`: 风格暴露约束\n"
    "    - :class:`WildcardStyleConstraint`: 通配风格约束，对未单独指定的风格统一限制暴露\n"
    "    - :class:`IndustryComponentLimit`: 行业内成分股权重约束\n"
    "\n"
    "    :param order_book_ids: 候选合约\n"
    "    :param date: 优化日期；优化结果用于指导此日的调仓；_优化过程中所使用的所有数据均在此日开盘之前_。\n"
    "    :param objective: 目标函数，默认为MinVariance（风险最小化）。\n"
    "    :param bnds: 个股权重上下界。字典，key 为 order_book_id, value 为 (lower_limit, upper_limit) 组成的 tuple。\n"
    "        lower_limit/upper_limit 取值可以是 [0, 1] 的数或 None。当取值为 None 时，表示对应的界不做限制。\n"
    "        当 key 为 `'*'` 时，表示所有未在此字典中明确指定的其他合约。\n"
    "        所有合约默认上下界为 [0, 1]。\n"
    "    :param cons: 约束列表\n"
    "    :param benchmark: 基准, 指数使用指数代码，自定义基准需要继承自 :class:`OptimizeBenchmark` 的类实例\n"
    "    :param cov_model: 协方差模型，支持 daily/monthly/quarterly\n"
    "    :param factor_risk_aversion: 因子风险厌恶系数，默认为1\n"
    "    :param specific_risk_aversion: 特异风险厌恶系数，默认为1\n"
    "    :param solver: 使用指定的solver求解，默认为 None，表示使用默认的 solver\n"
    "    :param risk_model: 风险模型版本，支持 v1/v2\n"
    "    :param solver_options: solver 参数，如对于 MOSEK，可以传入 mosek_params={...}\n"
    "    :return: pd.Series 组合最优化权重\n"
    "    ";

}  // namespace

PYBIND11_MODULE(optimize, m) {
  init_support(m);

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

  def(m, "to_enum", {arg("v"), arg("enum_type")}, &to_enum);
  def(m, "to_date", {arg("dt")}, &to_date);
  def(m, "ensure_date_str", {arg("date")}, &ensure_date_str);
  def(m, "ensure_order_book_ids", {arg("order_book_ids"), arg("date")}, &ensure_order_book_ids);
  def(m, "ensure_bound", {arg("v")}, &ensure_bound);
  def(m, "parse_bnds", {arg("bnds"), arg("order_book_ids")}, &parse_bnds);

  m.attr("DEFAULT_OBJECTIVE") = m.attr("MinVariance")();

  def(m, "portfolio_optimize",
      {arg("order_book_ids"), arg("date"), arg("objective", m.attr("DEFAULT_OBJECTIVE")),
       arg("bnds", py::none()), arg("cons", py::none()), arg("benchmark", py::none()),
       arg("cov_model", m.attr("CovModel").attr("FACTOR_MODEL_DAILY")),
       arg("factor_risk_aversion", py::float_(1.0)), arg("specific_risk_aversion", py::float_(1.0)),
       arg("solver", py::none()), arg("risk_model", m.attr("RiskModel").attr("V1")),
       var_kw("solver_options")},
      &portfolio_optimize, kPortfolioOptimizeDoc);
}
