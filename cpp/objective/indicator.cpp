// MaxIndicator: maximise the portfolio's exposure to a per-stock indicator,
// rescaled so that its mean absolute value over the pool is 10.
#include "objective.hpp"

namespace verdalis::objective {

py::object max_indicator_init(py::object self, py::object indicator_series) {
  py::setattr(self, "_indicator_series", ensure_numeric_series(G, indicator_series, py::str("indicator_series"), Numbers::kAny));
  return py::none();
}

py::object max_indicator_expr(py::object self, py::object g, py::object, py::object helper) {
  py::object np = G["np"];
  py::object ids = helper.attr("order_book_ids");
  py::object series = self.attr("_indicator_series");
  py::set pool(ids);
  py::set index(series.attr("index"));
  if (!truthy(pool.attr("issubset")(index))) {
    raise_(G.invalid_argument(), "传入股票池中的股票有部分在 indicator_series 中找不到值");
  }
  py::object values =
      np.attr("asarray")(series.attr("reindex")(ids).attr("values"), py::arg("dtype") = "float64");
  // A NaN or infinite value would reach the solver as NaN, and an all-zero
  // indicator cannot be rescaled: refuse both with a message naming them.
  py::object bad = ~np.attr("isfinite")(values);
  if (truthy(bad.attr("any")())) {
    py::object names = np.attr("asarray")(ids, py::arg("dtype") = "object")[bad];
    raise_(G.invalid_argument(),
           msg("indicator_series 在以下股票上的值为 NaN 或无穷大：{}", name_ids(names)));
  }
  // The mean absolute value is taken of the values divided by their largest
  // magnitude, so that values near the float range do not overflow the sum.
  py::object largest = np.attr("abs")(values).attr("max")();
  if (eq(largest, py::int_(0))) {
    raise_(G.invalid_argument(), "indicator_series 在股票池上全部为 0，无法缩放");
  }
  py::object unit = values / largest;
  py::object rescaled = unit / (np.attr("abs")(unit).attr("mean")() * py::float_(0.1));
  return matmul(-g, rescaled);
}

}  // namespace verdalis::objective
