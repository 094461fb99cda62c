// IndexBenchmark: weights and expected return of a market index, read from
// the market-data client on every call (nothing is cached).
#include "benchmark.hpp"

namespace verdalis::benchmark {

const Globals G("verdalis.benchmark");

py::object index_init(py::object self, py::object order_book_id) {
  // Only an id string names one instrument (a list would be a query for
  // several).
  py::object instrument = PyUnicode_Check(order_book_id.ptr())
                              ? G["corvana"].attr("instruments")(order_book_id)
                              : py::none();
  if (instrument.is_none()) {
    raise_(G.invalid_argument(), msg("无效的 benchmark: {}", order_book_id));
  }
  py::object type = instrument.attr("type");
  if (ne(type, py::str("INDX"))) {
    raise_(G.invalid_argument(), msg("仅支持指数类型的 benchmark, 传入的 benchmark 是 {} 类型", type));
  }
  py::setattr(self, "_order_book_id", order_book_id);
  return py::none();
}

py::object index_get_weight(py::object self, py::object date) {
  py::object corvana = G["corvana"];
  py::object order_book_id = self.attr("_order_book_id");
  py::object weight = py::none();
  py::object weights_ex = py::getattr(corvana, "index_weights_ex", py::none());
  if (!weights_ex.is_none()) {
    // The extended source is optional: any failure of it falls back to the
    // plain index weights.  Only ordinary errors are swallowed; an interrupt
    // (KeyboardInterrupt, SystemExit) still stops the program.
    try {
      weight = weights_ex(order_book_id, date);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      weight = py::none();
    }
  }
  if (weight.is_none()) {
    weight = corvana.attr("index_weights")(order_book_id, date);
  }
  return weight;
}

py::object index_get_expected_returns(py::object self, py::object date, py::object window) {
  py::object order_book_id = self.attr("_order_book_id");
  return history_mean_return(G, order_book_id, date, window, order_book_id);
}

}  // namespace verdalis::benchmark
