// Raising the package's exceptions and issuing warnings.
#include "verdalis/support.hpp"

namespace verdalis {

namespace {

// The catalog module, found through sys.modules at each use.
py::module_ messages() { return py::module_::import("verdalis.messages"); }

}  // namespace

py::object build(py::handle type, const Message& m) {
  return messages().attr("_build")(type, m.tmpl, m.values, **m.attributes);
}

py::str text(const Message& m) { return messages().attr("render")(m.tmpl, m.values); }

py::str id_list(py::handle shown, Py_ssize_t total) {
  return messages().attr("_ids")(shown, total);
}

void raise_(py::handle type, py::handle message) {
  if (message) {
    PyErr_SetObject(type.ptr(), message.ptr());
  } else {
    PyErr_SetNone(type.ptr());
  }
  throw py::error_already_set();
}

void raise_(py::handle type, const Message& m) {
  py::object instance = build(type, m);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
  throw py::error_already_set();
}

void raise_(py::handle type, const char* message) {
  raise_(type, Message{message, py::tuple(), py::dict()});
}

void warn(py::handle category, py::handle message) {
  // PyErr_WarnEx decodes its C string as UTF-8, so passing the message's
  // UTF-8 encoding keeps non-ASCII text exactly.  Stack level 1 is the Python
  // line that called into the package (C++ frames are not Python frames).
  // A filter may turn the warning into an error: -1, then throw it.
  check(PyErr_WarnEx(category.ptr(), py::str(message).cast<std::string>().c_str(), 1));
}

void warn(py::handle category, const Message& m) {
  // warnings.warn with the instance (its class is the category); stack level
  // 1 is the Python line that called into the package, as above.  A filter
  // that turns the warning into an error raises it here.
  py::module_::import("warnings").attr("warn")(build(category, m), py::none(), 1);
}

void warn(py::handle category, const char* message) {
  warn(category, Message{message, py::tuple(), py::dict()});
}

void assert_(bool cond) {
  if (!cond && !Py_OptimizeFlag) raise_(PyExc_AssertionError);
}

}  // namespace verdalis
