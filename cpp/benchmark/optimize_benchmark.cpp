// OptimizeBenchmark: the abstract interface a custom benchmark implements
// (both methods abstract, raising NotImplementedError when called).
#include "benchmark.hpp"

namespace verdalis::benchmark {

py::object interface_get_weight(py::object, py::object) { raise_(PyExc_NotImplementedError); }

py::object interface_get_expected_returns(py::object, py::object, py::object) {
  raise_(PyExc_NotImplementedError);
}

}  // namespace verdalis::benchmark
