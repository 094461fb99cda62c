// Raising the package's exceptions, issuing warnings and Python-semantics
// comparisons.
#include "verdalis/support.hpp"

namespace verdalis {

void raise_(py::handle type, py::handle message) {
  if (message) {
    PyErr_SetObject(type.ptr(), message.ptr());
  } else {
    PyErr_SetNone(type.ptr());
  }
  throw py::error_already_set();
}

void raise_(py::handle type, const char* message) { raise_(type, py::str(message)); }

void warn(py::handle category, py::handle message) {
  // PyErr_WarnEx wants a C string; go through warnings.warn's C equivalent
  // that takes the message object so non-ASCII text is kept exactly.
  if (PyErr_WarnEx(category.ptr(), py::str(message).cast<std::string>().c_str(), 1) < 0) {
    throw py::error_already_set();
  }
}

void warn(py::handle category, const char* message) { warn(category, py::str(message)); }

bool truthy(py::handle obj) {
  int r = PyObject_IsTrue(obj.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

bool isinstance(py::handle obj, py::handle cls) {
  int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

static bool compare(py::handle a, py::handle b, int op) {
  int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

bool eq(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }
bool ne(py::handle a, py::handle b) { return compare(a, b, Py_NE); }
bool lt(py::handle a, py::handle b) { return compare(a, b, Py_LT); }
bool le(py::handle a, py::handle b) { return compare(a, b, Py_LE); }
bool gt(py::handle a, py::handle b) { return compare(a, b, Py_GT); }

void assert_(bool cond) {
  if (!cond && !Py_OptimizeFlag) raise_(PyExc_AssertionError);
}

}  // namespace verdalis
