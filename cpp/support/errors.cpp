// Raising the package's exceptions and issuing warnings.
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
  // PyErr_WarnEx decodes its C string as UTF-8, so passing the message's
  // UTF-8 encoding keeps non-ASCII text exactly.  Stack level 1 is the Python
  // line that called into the package (C++ frames are not Python frames).
  // A filter may turn the warning into an error: -1, then throw it.
  check(PyErr_WarnEx(category.ptr(), py::str(message).cast<std::string>().c_str(), 1));
}

void warn(py::handle category, const char* message) { warn(category, py::str(message)); }

void assert_(bool cond) {
  if (!cond && !Py_OptimizeFlag) raise_(PyExc_AssertionError);
}

}  // namespace verdalis
