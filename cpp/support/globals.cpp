// Module globals resolved at call time, and the import helpers that fill a
// module namespace at import.
#include "verdalis/support.hpp"

namespace verdalis {

py::module_ Globals::module() const {
  PyObject* mod = PyImport_GetModule(py::str(module_name_).ptr());
  if (mod == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    // Not imported yet (or removed from sys.modules): import it.
    return py::module_::import(module_name_);
  }
  return py::reinterpret_steal<py::module_>(mod);
}

py::object Globals::operator[](const char* name) const {
  py::module_ mod = module();
  PyObject* dict = PyModule_GetDict(mod.ptr());  // borrowed
  PyObject* value = PyDict_GetItemString(dict, name);  // borrowed
  if (value == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(value);
}

void bind_module(py::module_& m, const char* as, const char* module_name) {
  m.attr(as) = py::module_::import(module_name);
}

void bind_from(py::module_& m, const char* as, const char* module_name, const char* attr) {
  m.attr(as) = py::module_::import(module_name).attr(attr);
}

void bind_star(py::module_& m, const char* module_name) {
  py::module_ src = py::module_::import(module_name);
  py::object names;
  if (py::hasattr(src, "__all__")) {
    names = src.attr("__all__");
  } else {
    py::list public_names;
    for (auto item : src.attr("__dict__").cast<py::dict>()) {
      std::string key = py::str(item.first);
      if (!key.empty() && key[0] != '_') public_names.append(item.first);
    }
    names = public_names;
  }
  for (auto name : names) {
    m.attr(name) = src.attr(name);
  }
}

}  // namespace verdalis

namespace verdalis {

void export_package_names(py::module_& m) {
  py::module_ constants = py::module_::import("verdalis.const");
  py::list names;
  for (auto item : m.attr("__dict__").cast<py::dict>()) {
    std::string key = py::str(item.first);
    if (key.empty() || key[0] == '_') continue;
    py::handle value = item.second;
    if (PyModule_Check(value.ptr())) continue;
    bool package = false;
    if (PyType_Check(value.ptr()) || PyCallable_Check(value.ptr())) {
      std::string origin = py::str(py::getattr(value, "__module__", py::str("")));
      package = origin.rfind("verdalis.", 0) == 0;
    } else {
      // a constant of the package (STYLE_FACTORS), not a setting of the module
      package = py::getattr(constants, key.c_str(), py::none()).is(value);
    }
    if (package) names.append(item.first);
  }
  m.attr("__all__") = names;
}

}  // namespace verdalis
