// Expected returns: the history estimate shared by the mean-variance and the
// ratio objectives, and the conversion of a return Series to the numeric
// vector handed to the solver.
#include "objective.hpp"

#include <string>

namespace verdalis::objective {

namespace {

// Trading days per year: the annualisation factor of daily mean returns.
constexpr int kTradingDays = 252;
// At most this many ids are spelled out in one message.
constexpr Py_ssize_t kMaxNamed = 20;

}  // namespace

py::str name_ids(py::handle ids) {
  py::list all(py::reinterpret_borrow<py::object>(ids));
  const Py_ssize_t n = py::len(all);
  py::list shown;
  for (Py_ssize_t i = 0; i < n && i < kMaxNamed; ++i) shown.append(py::str(all[i]));
  py::str text = py::str(", ").attr("join")(shown);
  if (n > kMaxNamed) text = py::str(text + format(" 等共 {} 只", n));
  return text;
}

py::object history_expected_returns(py::handle ids, py::handle helper, py::handle window) {
  py::object corvana = G["corvana"];
  py::object prev = helper.attr("prev_trading_date");
  py::object start_date =
      corvana.attr("trading_date_offset")(prev, -py::reinterpret_borrow<py::object>(window));
  py::object rates = corvana.attr("get_price_change_rate")(ids, start_date, prev);
  return rates.attr("mean")() * py::int_(kTradingDays);
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
  warn(G["OptimizerWarning"],
       format("{}: 以下股票的预期收益率缺失（NaN），按 0 处理：{}", name, name_ids(names)));
  return series.attr("fillna")(0.0).attr("values");
}

}  // namespace verdalis::objective
