// Python operators, comparisons and statements as one C++ call each:
// operators returning objects, truth and rich comparisons, tuple unpacking,
// raising inside an except block and naming a callable as CPython does.
#include "verdalis/support.hpp"

namespace verdalis {

py::object steal(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

int check(int status) {
  if (status == -1 && PyErr_Occurred()) throw py::error_already_set();
  return status;
}

bool truthy(py::handle obj) { return check(PyObject_IsTrue(obj.ptr())) == 1; }

bool isinstance(py::handle obj, py::handle cls) {
  return check(PyObject_IsInstance(obj.ptr(), cls.ptr())) == 1;
}

static bool compare(py::handle a, py::handle b, int op) {
  return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), op)) == 1;
}

bool eq(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }
bool ne(py::handle a, py::handle b) { return compare(a, b, Py_NE); }
bool lt(py::handle a, py::handle b) { return compare(a, b, Py_LT); }
bool le(py::handle a, py::handle b) { return compare(a, b, Py_LE); }
bool gt(py::handle a, py::handle b) { return compare(a, b, Py_GT); }

bool contains(py::handle container, py::handle item) {
  return check(PySequence_Contains(container.ptr(), item.ptr())) == 1;
}

py::object negative(py::handle a) { return steal(PyNumber_Negative(a.ptr())); }
py::object absolute(py::handle a) { return steal(PyNumber_Absolute(a.ptr())); }
py::object to_float(py::handle a) { return steal(PyNumber_Float(a.ptr())); }
py::object remainder(py::handle a, py::handle b) {
  return steal(PyNumber_Remainder(a.ptr(), b.ptr()));
}

py::object matmul(py::handle a, py::handle b) {
  return steal(PyNumber_MatrixMultiply(a.ptr(), b.ptr()));
}

py::object power(py::handle a, py::handle b) {
  return steal(PyNumber_Power(a.ptr(), b.ptr(), Py_None));
}

std::pair<py::object, py::object> unpack2(py::handle obj) {
  PyObject* it = PyObject_GetIter(obj.ptr());
  if (it == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    raise_(PyExc_TypeError,
           format("cannot unpack non-iterable {} object", py::type::of(obj).attr("__name__")));
  }
  py::iterator iter = py::reinterpret_steal<py::iterator>(it);
  py::object items[2];
  for (int k = 0; k < 2; ++k) {
    PyObject* next = PyIter_Next(iter.ptr());
    if (next == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      raise_(PyExc_ValueError, format("not enough values to unpack (expected 2, got {})", k));
    }
    items[k] = py::reinterpret_steal<py::object>(next);
  }
  PyObject* extra = PyIter_Next(iter.ptr());
  if (extra != nullptr) {
    Py_DECREF(extra);
    raise_(PyExc_ValueError, py::str("too many values to unpack (expected 2)"));
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  return {std::move(items[0]), std::move(items[1])};
}

py::object richcmp(py::handle a, py::handle b, int op) {
  return steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

namespace {

[[noreturn]] void raise_instance_while_handling(py::object exc,
                                                const py::error_already_set& handled) {
  py::object caught = handled.value();
  // A caught exception carries its traceback, as it does in an except block.
  PyObject* traceback = PyException_GetTraceback(caught.ptr());  // new reference or null
  if (traceback == nullptr && handled.trace()) {
    PyException_SetTraceback(caught.ptr(), handled.trace().ptr());
  }
  Py_XDECREF(traceback);
  PyException_SetContext(exc.ptr(), caught.release().ptr());  // steals the reference
  PyObject* exc_type = reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()));
  Py_INCREF(exc_type);
  // PyErr_Restore, not PyErr_SetObject: the latter would replace the context
  // by whatever exception the caller happens to be handling.
  PyErr_Restore(exc_type, exc.release().ptr(), nullptr);
  throw py::error_already_set();
}

}  // namespace

void raise_while_handling(py::handle type, py::handle message, const py::error_already_set& handled) {
  raise_instance_while_handling(py::reinterpret_borrow<py::object>(type)(message), handled);
}

void raise_while_handling(py::handle type, const Message& m, const py::error_already_set& handled) {
  raise_instance_while_handling(build(type, m), handled);
}

py::str function_str(py::handle func) {
  py::object qualname = py::getattr(func, "__qualname__", py::none());
  if (qualname.is_none()) return py::str(func);
  py::object module = py::getattr(func, "__module__", py::none());
  if (!module.is_none() && ne(module, py::str("builtins"))) {
    return format("{}.{}()", module, qualname);
  }
  return format("{}()", qualname);
}

}  // namespace verdalis
