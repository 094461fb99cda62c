// Expected returns: the history estimate shared by the mean-variance and the
// ratio objectives, and the conversion of a return Series to the numeric
// vector handed to the solver.
#include "objective.hpp"

namespace verdalis::objective {

py::object history_expected_returns(py::handle ids, py::handle helper, py::handle window) {
  return history_mean_return(G, ids, helper.attr("prev_trading_date"), window);
}

py::object history_expected_active_returns(py::handle ids, py::handle helper, py::handle window) {
  py::object history = history_expected_returns(ids, helper, window);
  py::object benchmark_returns =
      helper.attr("benchmark").attr("get_expected_returns")(helper.attr("date"), window);
  history -= benchmark_returns;
  return history;
}

py::object returns_vector(py::handle returns, py::handle ids, const char* name) {
  py::object series = returns.attr("reindex")(ids, py::arg("fill_value") = 0.0);
  py::object missing = series.attr("isna")();
  if (!truthy(missing.attr("any")())) return series.attr("values");
  // A stock with a missing value (for an estimate: no price history in the
  // window, e.g. suspended throughout) is treated like a stock the Series
  // does not cover: expected return 0.  Said once per call, naming them.
  py::object names = series.attr("index")[missing];
  warn(G.optimizer_warning(),
       format("{}: 以下股票的预期收益率缺失（NaN），按 0 处理：{}", name, name_ids(names)));
  return series.attr("fillna")(0.0).attr("values");
}

}  // namespace verdalis::objective
