// Function objects with real Python signatures.
//
// Each function is an instance of a small module-local type holding its
// parameter list and its C++ logic.  Calls bind the arguments the way CPython
// binds them for a `def` (same TypeError texts), then hand them to the logic
// in signature order.  The objects carry __name__, __qualname__, __module__,
// __doc__, __defaults__, __kwdefaults__ and __signature__, and bind to
// instances through __get__, so inspect.signature, help() and methods work as
// they do for Python functions.
#include "verdalis/support.hpp"

#include <sstream>

namespace verdalis {

namespace {

struct Function {
  std::string qualname;
  std::vector<Param> params;
  Impl impl;
};

std::string quoted_list(const std::vector<std::string>& names) {
  // CPython: 'a'; 'a' and 'b'; 'a', 'b', and 'c'
  std::ostringstream out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out << " and ";
      } else if (i == names.size() - 1) {
        out << ", and ";
      } else {
        out << ", ";
      }
    }
    out << "'" << names[i] << "'";
  }
  return out.str();
}

[[noreturn]] void type_error(const std::string& text) {
  raise_(PyExc_TypeError, py::str(text));
}

std::vector<py::object> bind(const Function& f, py::args args, py::kwargs kwargs) {
  const std::size_t n = f.params.size();
  std::vector<py::object> bound(n);
  std::vector<bool> filled(n, false);

  std::size_t n_positional = 0, n_required_positional = 0;
  int var_kw = -1;
  for (std::size_t i = 0; i < n; ++i) {
    const Param& p = f.params[i];
    if (p.kind == Param::POSITIONAL_OR_KEYWORD) {
      ++n_positional;
      if (!p.default_value) ++n_required_positional;
    } else if (p.kind == Param::VAR_KEYWORD) {
      var_kw = static_cast<int>(i);
    }
  }

  const std::size_t given = args.size();
  if (given > n_positional) {
    std::ostringstream msg;
    msg << f.qualname << "() takes ";
    if (n_required_positional != n_positional) {
      msg << "from " << n_required_positional << " to " << n_positional;
    } else {
      msg << n_positional;
    }
    msg << " positional argument" << (n_positional == 1 ? "" : "s") << " but " << given
        << (given == 1 ? " was" : " were") << " given";
    type_error(msg.str());
  }
  for (std::size_t i = 0; i < given; ++i) {
    bound[i] = py::reinterpret_borrow<py::object>(args[i]);
    filled[i] = true;
  }

  py::dict extra;
  for (auto item : kwargs) {
    std::string key = py::str(item.first);
    bool matched = false;
    for (std::size_t i = 0; i < n; ++i) {
      const Param& p = f.params[i];
      if (p.kind == Param::VAR_KEYWORD || p.name != key) continue;
      if (filled[i]) type_error(f.qualname + "() got multiple values for argument '" + key + "'");
      bound[i] = py::reinterpret_borrow<py::object>(item.second);
      filled[i] = true;
      matched = true;
      break;
    }
    if (matched) continue;
    if (var_kw < 0) type_error(f.qualname + "() got an unexpected keyword argument '" + key + "'");
    extra[item.first] = item.second;
  }

  std::vector<std::string> missing_positional, missing_kwonly;
  for (std::size_t i = 0; i < n; ++i) {
    const Param& p = f.params[i];
    if (p.kind == Param::VAR_KEYWORD) {
      bound[i] = extra;
      continue;
    }
    if (filled[i]) continue;
    if (p.default_value) {
      bound[i] = p.default_value;
    } else if (p.kind == Param::POSITIONAL_OR_KEYWORD) {
      missing_positional.push_back(p.name);
    } else {
      missing_kwonly.push_back(p.name);
    }
  }
  if (!missing_positional.empty() || !missing_kwonly.empty()) {
    const bool positional = !missing_positional.empty();
    const auto& names = positional ? missing_positional : missing_kwonly;
    std::ostringstream msg;
    msg << f.qualname << "() missing " << names.size() << " required "
        << (positional ? "positional" : "keyword-only") << " argument"
        << (names.size() == 1 ? "" : "s") << ": " << quoted_list(names);
    type_error(msg.str());
  }
  return bound;
}

py::object build_signature(const std::vector<Param>& params) {
  py::module_ inspect = py::module_::import("inspect");
  py::object Parameter = inspect.attr("Parameter");
  py::list parameters;
  for (const Param& p : params) {
    py::object kind;
    switch (p.kind) {
      case Param::POSITIONAL_OR_KEYWORD: kind = Parameter.attr("POSITIONAL_OR_KEYWORD"); break;
      case Param::KEYWORD_ONLY: kind = Parameter.attr("KEYWORD_ONLY"); break;
      case Param::VAR_KEYWORD: kind = Parameter.attr("VAR_KEYWORD"); break;
    }
    if (p.default_value) {
      parameters.append(Parameter(p.name, kind, py::arg("default") = p.default_value));
    } else {
      parameters.append(Parameter(p.name, kind));
    }
  }
  return inspect.attr("Signature")(parameters);
}

}  // namespace

Param arg(const char* name) { return {name, Param::POSITIONAL_OR_KEYWORD, py::object()}; }
Param arg(const char* name, py::object d) { return {name, Param::POSITIONAL_OR_KEYWORD, std::move(d)}; }
Param kwonly(const char* name) { return {name, Param::KEYWORD_ONLY, py::object()}; }
Param kwonly(const char* name, py::object d) { return {name, Param::KEYWORD_ONLY, std::move(d)}; }
Param var_kw(const char* name) { return {name, Param::VAR_KEYWORD, py::object()}; }

void init_support(py::module_& m) {
  // Registered, then removed from the namespace: users
  // see the function objects, not an extra module attribute.
  py::class_<Function> cls(m, "function", py::module_local(), py::dynamic_attr());
  cls
      .def("__call__",
           [](py::object self, py::args args, py::kwargs kwargs) {
             Function& f = self.cast<Function&>();
             std::vector<py::object> bound = bind(f, args, kwargs);
             return f.impl(bound);
           })
      .def("__get__",
           [](py::object self, py::object instance, py::object /*owner*/) -> py::object {
             if (instance.is_none()) return self;
             PyObject* method = PyMethod_New(self.ptr(), instance.ptr());
             if (method == nullptr) throw py::error_already_set();
             return py::reinterpret_steal<py::object>(method);
           },
           py::arg("instance"), py::arg("owner") = py::none())
      .def("__repr__", [](py::object self) {
        std::ostringstream out;
        out << "<function " << self.cast<Function&>().qualname << " at " << self.ptr() << ">";
        return out.str();
      });
  // The type must outlive its removal from the namespace (pybind11 forgets a
  // type once its object dies): keep one reference for the process lifetime.
  cls.inc_ref();
  py::delattr(m, "function");
}

py::object make_function(const char* module, const std::string& qualname,
                         std::vector<Param> params, Impl impl, const char* doc) {
  py::object signature = build_signature(params);
  py::list defaults;
  py::dict kwdefaults;
  for (const Param& p : params) {
    if (!p.default_value) continue;
    if (p.kind == Param::POSITIONAL_OR_KEYWORD) defaults.append(p.default_value);
    if (p.kind == Param::KEYWORD_ONLY) kwdefaults[py::str(p.name)] = p.default_value;
  }
  std::string name = qualname.substr(qualname.rfind('.') == std::string::npos ? 0 : qualname.rfind('.') + 1);

  py::object f = py::cast(Function{qualname, std::move(params), std::move(impl)});
  if (!f) throw py::error_already_set();
  py::dict attrs = f.attr("__dict__");
  attrs["__name__"] = name;
  attrs["__qualname__"] = qualname;
  attrs["__module__"] = module;
  attrs["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
  attrs["__defaults__"] = defaults.empty() ? py::object(py::none()) : py::object(py::tuple(defaults));
  attrs["__kwdefaults__"] = kwdefaults.empty() ? py::object(py::none()) : py::object(kwdefaults);
  attrs["__signature__"] = signature;
  return f;
}

}  // namespace verdalis
