// Classes built the way a `class` statement builds them: the metaclass is
// called with the name, the bases and a namespace of function objects.
#include "verdalis/support.hpp"

#include <cctype>

#include <memory>

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

namespace {

// A list longer than this is shown as its count and its first few items.
constexpr std::size_t kLongList = 5;
constexpr std::size_t kListHead = 3;

// An order_book_id: letters or digits, a dot, an upper-case exchange code.
bool looks_like_id(py::handle item) {
  if (!PyUnicode_Check(item.ptr())) return false;
  std::string text = item.cast<std::string>();
  std::size_t dot = text.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == text.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (i < dot && !std::isalnum(c)) return false;
    if (i > dot && !std::isupper(c)) return false;
  }
  return true;
}

// A long list as "[100 ids: 'A.XSHE', 'B.XSHE', 'C.XSHE', ...]": a pool of
// hundreds of ids would otherwise fill every line that names the constraint.
std::string shown_list(py::handle value) {
  py::list items = py::list(py::reinterpret_borrow<py::object>(value));
  bool ids = true;
  for (py::handle item : items) ids = ids && looks_like_id(item);
  std::string text = "[" + std::to_string(items.size()) + (ids ? " ids: " : " items: ");
  for (std::size_t i = 0; i < kListHead; ++i) {
    text += py::repr(items[i]).cast<std::string>() + ", ";
  }
  return text + "...]";
}

// How repr shows one argument: enums by their qualified name, Series by
// their size (a holding or a classification is a variable to a user), long
// lists by their count and first items, other values by their repr.
std::string shown(py::handle value) {
  if (verdalis::isinstance(value, py::module_::import("pandas").attr("Series"))) {
    return "<Series of " + std::to_string(py::len(value)) + ">";
  }
  if ((PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) && py::len(value) > kLongList) {
    return shown_list(value);
  }
  if (verdalis::isinstance(value, py::module_::import("enum").attr("Enum"))) {
    return py::str(value).cast<std::string>();
  }
  return py::repr(value).cast<std::string>();
}

bool is_default(py::handle value, py::handle shown_default) {
  if (!shown_default) return false;
  // A holding not given is stored as an empty Series.
  if (verdalis::isinstance(value, py::module_::import("pandas").attr("Series"))) {
    return shown_default.is_none() && py::len(value) == 0;
  }
  if (value.is_none() || shown_default.is_none()) return value.is_none() && shown_default.is_none();
  try {
    return eq(value, shown_default);
  } catch (py::error_already_set&) {
    return false;
  }
}

py::object stored(py::handle self, const ParamField& f) {
  if (f.estimated_flag && !py::getattr(self, f.estimated_flag, py::none()).is_none()) {
    return py::none();
  }
  return py::getattr(self, f.attr, py::none());
}

}  // namespace

py::dict params_of(py::handle self, const std::vector<ParamField>& fields) {
  py::object copy = py::module_::import("copy").attr("copy");
  py::tuple containers = py::make_tuple(
      py::module_::import("builtins").attr("list"), py::module_::import("builtins").attr("dict"),
      py::module_::import("builtins").attr("set"), py::module_::import("pandas").attr("Series"),
      py::module_::import("numpy").attr("ndarray"));
  py::dict params;
  for (const ParamField& f : fields) {
    py::object value = stored(self, f);
    params[f.param] = verdalis::isinstance(value, containers) ? copy(value) : value;
  }
  return params;
}

py::str repr_of(py::handle self, const std::vector<ParamField>& fields) {
  std::string text = py::str(py::type::of(self).attr("__name__")).cast<std::string>() + "(";
  bool first = true;
  for (const ParamField& f : fields) {
    py::object value = stored(self, f);
    if (f.keyword && is_default(value, f.shown_default)) continue;
    if (!first) text += ", ";
    first = false;
    if (f.keyword) text += std::string(f.param) + "=";
    text += shown(value);
  }
  return py::str(text + ")");
}

ClassBuilder& ClassBuilder::parameters(std::vector<ParamField> fields) {
  auto table = std::make_shared<std::vector<ParamField>>(std::move(fields));
  method("__repr__", {arg("self")},
         Impl([table](std::vector<py::object>& a) { return py::object(repr_of(a[0], *table)); }));
  method("get_params", {arg("self")},
         Impl([table](std::vector<py::object>& a) { return py::object(params_of(a[0], *table)); }),
         "The constructor's parameters and the values this object holds, as a new dict\n"
         "(passing them to the class builds an equal object).");
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
