// User data as pandas Series, and ids named in messages.
#include "verdalis/domain.hpp"

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
                         format("{}: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象", name), e);
  }
}

py::str name_ids(py::handle ids) {
  py::list all(py::reinterpret_borrow<py::object>(ids));
  const Py_ssize_t n = py::len(all);
  py::list shown;
  for (Py_ssize_t i = 0; i < n && i < kMaxNamed; ++i) shown.append(py::str(all[i]));
  py::str text = py::str(", ").attr("join")(shown);
  if (n > kMaxNamed) text = py::str(text + format(" 等共 {} 只", n));
  return text;
}

}  // namespace verdalis
