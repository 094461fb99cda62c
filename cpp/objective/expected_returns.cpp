// Expected returns: the history estimate shared by the mean-variance and the
// ratio objectives, and the conversion of a return Series to the numeric
// vector handed to the solver.
#include "objective.hpp"

namespace verdalis::objective {

void reuse_estimate(py::handle self, const char* returns_attr, py::handle ids, py::handle helper) {
  if (py::getattr(self, returns_attr).is_none()) {
    py::setattr(self, returns_attr,
                history_expected_returns(ids, helper, self.attr("_window")));
    py::setattr(self, "_estimated_for", helper.attr("date"));
    return;
  }
  // Kept on the instance, the estimate is reused for any later date: the
  // warning makes that visible.
  py::object estimated_for = py::getattr(self, "_estimated_for", py::none());
  if (!estimated_for.is_none() && ne(estimated_for, helper.attr("date"))) {
    warn(G.optimizer_warning(),
         msg("{}: 复用在 {} 估计的预期收益率（本次优化日期为 {}）",
                py::type::of(self).attr("__name__"), estimated_for, helper.attr("date")));
  }
}

py::object history_expected_returns(py::handle ids, py::handle helper, py::handle window) {
  return history_mean_return(G, ids, helper.attr("prev_trading_date"), window);
}

py::object history_expected_active_returns(py::handle ids, py::handle helper, py::handle window) {
  py::object history = history_expected_returns(ids, helper, window);
  py::object benchmark_returns =
      helper.attr("benchmark").attr("get_expected_returns")(helper.attr("date"), window);
  // A custom benchmark's figure is subtracted from every stock's estimate:
  // it must be one real number.
  if (!verdalis::isinstance(benchmark_returns, py::module_::import("numbers").attr("Real"))) {
    raise_(G.invalid_argument(),
           msg("benchmark 的 get_expected_returns 应返回一个数值，返回值为：{}", py::repr(benchmark_returns)));
  }
  history -= benchmark_returns;
  return history;
}

namespace {
// Expected annual returns above this in absolute value (100,000,000 %) are
// refused: no real figure comes near it, and values near the float range
// overflow the solver's data.
constexpr double kMaxExpectedReturn = 1e6;
}  // namespace

py::object returns_vector(py::handle returns, py::handle ids, const char* name) {
  // Data labelled with none of the stocks (other ids, or positions instead
  // of ids) would silently become all zeros: said so, naming the labels.
  // Empty data are plainly no data and only meet the all-zero warning.
  if (py::len(returns) > 0 && !truthy(returns.attr("index").attr("isin")(ids).attr("any")())) {
    warn(G.optimizer_warning(),
         msg("{}: 索引与股票池中的股票均不匹配，全部按 0 处理；索引为：{}", name,
                name_ids(returns.attr("index"))));
  }
  py::object series = returns.attr("reindex")(ids, py::arg("fill_value") = 0.0);
  // Returns beyond any real range (-1e300) would overflow the problem data
  // and fail inside the solver: refused here, naming the stocks.
  py::object too_large =
      richcmp(G["np"].attr("abs")(series), py::float_(kMaxExpectedReturn), Py_GT);
  if (truthy(too_large.attr("any")())) {
    raise_(G.invalid_argument(), msg("{}: 以下股票的预期收益率绝对值超过 {}，数值过大：{}", name,
                                     py::str("1e6"), name_ids(series.attr("index")[too_large])));
  }
  py::object missing = series.attr("isna")();
  if (!truthy(missing.attr("any")())) return series.attr("values");
  // A stock with a missing value (for an estimate: no price history in the
  // window, e.g. suspended throughout) is treated like a stock the Series
  // does not cover: expected return 0.  Said once per call, naming them.
  py::object names = series.attr("index")[missing];
  warn(G.optimizer_warning(),
       msg("{}: 以下股票的预期收益率缺失（NaN），按 0 处理：{}", name, name_ids(names)));
  return series.attr("fillna")(0.0).attr("values");
}

}  // namespace verdalis::objective
