// verdalis.benchmark: registration only (names, signatures, docstrings).
#include "benchmark.hpp"

namespace py = pybind11;
using namespace verdalis;
using namespace verdalis::benchmark;

namespace {

const char* const kGetWeightDoc =
    "\n"
    "        获取 date 日期的持仓权重。此函数必需实现。\n"
    "\n"
    "        :param date: datetime.date\n"
    "        :return: pd.Series, index 为order_book_id\n"
    "        ";

const char* const kGetExpectedReturnsDoc =
    "\n"
    "        获得 date 日期的年化期望收益。\n"
    "        仅当使用 :class:`MaxInformationRatio` / :class:`ActiveMeanVariance` 目标函数，\n"
    "        且不指定 `expected_active_returns` 时需要实现此函数\n"
    "\n"
    "        :param date: datetime.date\n"
    "        :param window: 回溯窗口大小\n"
    "        :return: float\n"
    "        ";

}  // namespace

PYBIND11_MODULE(benchmark, m) {
  init_support(m);

  bind_from(m, "abstractmethod", "abc", "abstractmethod");
  bind_module(m, "np", "numpy");
  bind_module(m, "pd", "pandas");
  bind_module(m, "cp", "cvxpy");
  bind_module(m, "corvana", "corvana");
  bind_from(m, "InvalidArgument", "verdalis.exception", "InvalidArgument");

  py::object abstract = m.attr("abstractmethod");
  py::object base =
      ClassBuilder(m, "OptimizeBenchmark")
          .doc("自定义基准抽象类")
          .decorated_method(abstract, "get_weight", {arg("self"), arg("date")}, &interface_get_weight,
                            kGetWeightDoc)
          .decorated_method(abstract, "get_expected_returns",
                            {arg("self"), arg("date"), arg("window", py::int_(252))},
                            &interface_get_expected_returns, kGetExpectedReturnsDoc)
          .finish();

  ClassBuilder(m, "IndexBenchmark")
      .bases(py::make_tuple(base))
      .method("__init__", {arg("self"), arg("order_book_id")}, &index_init)
      .method("get_weight", {arg("self"), arg("date")}, &index_get_weight)
      .method("get_expected_returns", {arg("self"), arg("date"), arg("window", py::int_(252))},
              &index_get_expected_returns)
      .finish();
}
