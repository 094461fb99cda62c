// User data as pandas Series, and ids named in messages.
#include "verdalis/domain.hpp"

#include <cmath>

namespace verdalis {

namespace {

// At most this many ids are spelled out in one message.
constexpr Py_ssize_t kMaxNamed = 20;

}  // namespace

py::object ensure_series(const Globals& G, py::object obj, py::object name) {
  py::object Series = G["pd"].attr("Series");
  if (verdalis::isinstance(obj, Series)) return obj;
  try {
    return Series(obj);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    // The conversion failure becomes the package's error, the original
    // exception attached as its context (as a raise inside `except` does).
    raise_while_handling(G.invalid_argument(),
                         msg("{}: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象", name), e);
  }
}

namespace {

bool is_real(py::handle v) {
  return verdalis::isinstance(v, py::module_::import("numbers").attr("Real"));
}

}  // namespace

py::object ensure_numeric_series(const Globals& G, py::object obj, py::object name, Numbers mode) {
  py::object series = ensure_series(G, std::move(obj), name);
  py::object index = series.attr("index");
  if (truthy(index.attr("has_duplicates"))) {
    py::object repeated = index[index.attr("duplicated")()].attr("unique")();
    raise_(G.invalid_argument(), msg("{}: 存在重复的索引：{}", name, name_ids(repeated)));
  }
  py::list values, bad;
  for (py::handle item : series.attr("items")()) {
    py::object label = item[py::int_(0)];
    py::object v = item[py::int_(1)];
    double x = NAN;
    if (!v.is_none()) {
      if (!is_real(v)) {
        bad.append(label);
        continue;
      }
      x = to_float(v).cast<double>();
    }
    if ((std::isnan(x) && mode == Numbers::kFinite) ||
        (std::isinf(x) && mode != Numbers::kAny)) {
      bad.append(label);
      continue;
    }
    values.append(py::float_(x));
  }
  if (py::len(bad) > 0) {
    raise_(G.invalid_argument(), msg("{}: 以下条目的值不是有限数值：{}", name, name_ids(bad)));
  }
  return G["pd"].attr("Series")(values, py::arg("index") = index, py::arg("dtype") = "float64",
                                py::arg("name") = series.attr("name"));
}

void require_finite_number(const Globals& G, py::handle value, const char* name) {
  if (!is_real(value) || !std::isfinite(to_float(value).cast<double>())) {
    raise_(G.invalid_argument(), msg("{} 必须是有限数值，传入值为：{}", name, value));
  }
}

void require_window(const Globals& G, py::handle window) {
  const bool integer = !PyBool_Check(window.ptr()) &&
                       verdalis::isinstance(window, py::module_::import("numbers").attr("Integral"));
  if (!integer || !gt(window, py::int_(0))) {
    raise_(G.invalid_argument(), msg("window 必须是正整数，传入值为：{}", window));
  }
}

py::str name_ids(py::handle ids) {
  py::list all(py::reinterpret_borrow<py::object>(ids));
  const Py_ssize_t n = py::len(all);
  py::list shown;
  for (Py_ssize_t i = 0; i < n && i < kMaxNamed; ++i) shown.append(py::str(all[i]));
  // The ending " 等共 {} 只" comes from the catalog, in the chosen language.
  return id_list(shown, n);
}

}  // namespace verdalis
