// Benchmarks: the custom-benchmark interface and the index benchmark.
#pragma once

#include "verdalis/domain.hpp"

namespace verdalis::benchmark {

namespace py = pybind11;

extern const Globals G;

// OptimizeBenchmark: interface methods, both raising NotImplementedError.
py::object interface_get_weight(py::object self, py::object date);
py::object interface_get_expected_returns(py::object self, py::object date, py::object window);

// IndexBenchmark
py::object index_init(py::object self, py::object order_book_id);
py::object index_get_weight(py::object self, py::object date);
py::object index_get_expected_returns(py::object self, py::object date, py::object window);

}  // namespace verdalis::benchmark
