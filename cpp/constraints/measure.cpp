// The measurement protocol shared by every concrete class: `_measure(self,
// weights, helper)`, one row per limit in the class's own units.  The logic
// of each class lives next to its constraints (one file per concept); this
// file holds the shared table helpers and adds the method to the classes.
#include "constraints.hpp"

namespace verdalis::constraints {

py::object pool_weights(py::handle weights, py::handle helper) {
  py::object np = G["np"];
  py::object w = py::reinterpret_borrow<py::object>(weights);
  if (verdalis::isinstance(w, G["pd"].attr("Series"))) {
    w = w.attr("reindex")(helper.attr("order_book_ids"), py::arg("fill_value") = 0.0)
            .attr("to_numpy")();
  }
  py::object vec = np.attr("asarray")(w, py::arg("dtype") = "float64");
  const py::ssize_t n = py::len(helper.attr("order_book_ids"));
  if (py::len(vec) != n) {
    raise_(PyExc_ValueError,
           format("weights: expected {} values, one per pool stock, got {}", n, py::len(vec)));
  }
  return vec;
}

void add_row(py::list& rows, py::handle item, const char* side, py::handle value, py::handle limit) {
  rows.append(py::make_tuple(item, side, to_float(value), to_float(limit)));
}

py::object measure_table(const py::list& rows) {
  py::list columns;
  for (const char* c : {"item", "side", "value", "limit"}) columns.append(c);
  py::object frame = G["pd"].attr("DataFrame")(rows, py::arg("columns") = columns);
  // An empty table keeps numeric value/limit columns.
  for (const char* c : {"value", "limit"}) {
    frame[py::str(c)] = frame[py::str(c)].attr("astype")("float64");
  }
  return frame;
}

namespace {

using Measure = py::object (*)(py::object, py::object, py::object);

void add_measure(py::module_& m, const char* cls, Measure logic) {
  py::object klass = m.attr(cls);
  py::object method = make_function(PyModule_GetName(m.ptr()), std::string(cls) + "._measure",
                                    {arg("self"), arg("weights"), arg("helper")}, logic);
  py::setattr(klass, "_measure", method);
}

}  // namespace

void register_measures(py::module_& m) {
  add_measure(m, "TrackingErrorLimit", &tracking_error_measure);
  add_measure(m, "TurnoverLimit", &turnover_measure);
  add_measure(m, "BenchmarkComponentWeightLimit", &component_weight_measure);
  add_measure(m, "IndustryConstraint", &industry_measure);
  add_measure(m, "WildcardIndustryConstraint", &wildcard_industry_measure);
  add_measure(m, "StyleConstraint", &style_measure);
  add_measure(m, "IndustryComponentLimit", &industry_component_measure);
  add_measure(m, "IndexComponentLimit", &index_component_measure);
  add_measure(m, "StockPoolLimit", &stock_pool_measure);
  add_measure(m, "TransactionVolumeLimit", &transaction_volume_measure);
  add_measure(m, "TransactionMarketValueLimit", &transaction_value_measure);
}

}  // namespace verdalis::constraints
