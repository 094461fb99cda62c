// Classes built the way a `class` statement builds them: the metaclass is
// called with the name, the bases and a namespace of function objects.
#include "verdalis/support.hpp"

namespace verdalis {

ClassBuilder::ClassBuilder(py::module_& m, const char* name)
    : module_(m),
      name_(name),
      module_name_(PyModule_GetName(m.ptr())),
      metaclass_(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))),
      bases_(py::make_tuple()) {
  ns_["__module__"] = module_name_;
  ns_["__qualname__"] = name_;
}

ClassBuilder& ClassBuilder::metaclass(py::object meta) {
  metaclass_ = std::move(meta);
  return *this;
}

ClassBuilder& ClassBuilder::bases(py::tuple bases) {
  bases_ = std::move(bases);
  return *this;
}

ClassBuilder& ClassBuilder::doc(const char* doc) {
  ns_["__doc__"] = doc;
  return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, py::object value) {
  ns_[name] = std::move(value);
  return *this;
}

ClassBuilder& ClassBuilder::property(const char* name, py::object (*getter)(py::object)) {
  py::object fget = make_function(module_name_.c_str(), qualname(name), {arg("self")}, getter);
  ns_[name] = py::module_::import("builtins").attr("property")(fget);
  return *this;
}

std::string ClassBuilder::qualname(const char* member) const { return name_ + "." + member; }

py::object ClassBuilder::finish() {
  if (!ns_.contains("__doc__")) ns_["__doc__"] = py::none();
  py::object cls = metaclass_(name_, bases_, ns_);
  module_.attr(name_.c_str()) = cls;
  return cls;
}

}  // namespace verdalis
