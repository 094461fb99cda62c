// verdalis.benchmark: registration only (names, signatures, docstrings).
// The docstrings live in docs.hpp.
#include "benchmark.hpp"
#include "docs.hpp"

namespace py = pybind11;
using namespace verdalis;
using namespace verdalis::benchmark;

namespace {

void register_namespace(py::module_& m) {
  bind_from(m, "abstractmethod", "abc", "abstractmethod");
  bind_module(m, "np", "numpy");
  bind_module(m, "pd", "pandas");
  bind_module(m, "cp", "cvxpy");
  bind_module(m, "corvana", "corvana");
  bind_from(m, "InvalidArgument", "verdalis.exception", "InvalidArgument");
}

void register_benchmarks(py::module_& m) {
  const py::object window = trading_days_per_year();
  py::object abstract = m.attr("abstractmethod");
  py::object base =
      ClassBuilder(m, "OptimizeBenchmark")
          .doc("自定义基准抽象类")
          .decorated_method(abstract, "get_weight", {arg("self"), arg("date")}, &interface_get_weight,
                            docs::kGetWeightDoc)
          .decorated_method(abstract, "get_expected_returns",
                            {arg("self"), arg("date"), arg("window", window)},
                            &interface_get_expected_returns, docs::kGetExpectedReturnsDoc)
          .finish();

  ClassBuilder(m, "IndexBenchmark")
      .bases(py::make_tuple(base))
      .method("__init__", {arg("self"), arg("order_book_id")}, &index_init)
      .method("get_weight", {arg("self"), arg("date")}, &index_get_weight)
      .method("get_expected_returns", {arg("self"), arg("date"), arg("window", window)},
              &index_get_expected_returns)
      .finish();
}

}  // namespace

PYBIND11_MODULE(benchmark, m) {
  init_support(m);
  register_namespace(m);
  register_benchmarks(m);
  export_package_names(m);
}
