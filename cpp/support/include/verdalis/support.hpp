// Support library shared by the four core modules.
//
// The core modules are C++ but must look and behave like well-written Python
// modules.  This header gives every module the same few tools so none of them
// re-invents them:
//
//   * Globals     - module globals looked up in the module's __dict__ at call
//                   time (so tests can monkeypatch collaborators);
//   * Param/def_* - functions with real Python signatures (keyword-only
//                   parameters, defaults evaluated once, CPython's own
//                   argument-error messages, inspect.signature support);
//   * ClassBuilder- classes created by calling their metaclass with a
//                   namespace of such functions, so instances have a __dict__,
//                   subclassing works and isinstance behaves;
//   * raise_/warn - the package's exceptions and warnings with exact texts,
//                   warnings attributed to the user's calling line;
//   * format      - str.format-style message filling;
//   * steal/check - owning a new reference or throwing the pending Python
//                   error, and checking a C-API status, in one call each.
//
// Domain logic shared by several modules (risk terms, ensure_series, the
// history-return estimate) lives apart, in verdalis/domain.hpp.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace verdalis {

namespace py = pybind11;

// ---------------------------------------------------------------------------
// Module globals
// ---------------------------------------------------------------------------

// A handle on a module by name.  Lookups go through sys.modules and the
// module's __dict__ every time, never through a cached C++ object, so a name
// rebound on the module (monkeypatch) is seen by the next call.
class Globals {
 public:
  explicit Globals(const char* module_name) : module_name_(module_name) {}

  // module.__dict__[name]; NameError("name 'x' is not defined") if absent.
  py::object operator[](const char* name) const;
  py::module_ module() const;

  // The package's exception and warning types, as bound in this module's
  // namespace (one accessor each, so no call site spells the name).
  py::object invalid_argument() const { return (*this)["InvalidArgument"]; }
  py::object optimization_failed() const { return (*this)["OptimizationFailed"]; }
  py::object optimizer_warning() const { return (*this)["OptimizerWarning"]; }

 private:
  const char* module_name_;
};

// Import helpers used by registration code to fill a module namespace in a
// fixed order.
void bind_module(py::module_& m, const char* as, const char* module_name);
void bind_from(py::module_& m, const char* as, const char* module_name, const char* attr);
// `from module import *`: the names of __all__, else every public name.
void bind_star(py::module_& m, const char* module_name);
// __all__ of a core module: its own public functions and classes and the
// package's names it imports (types, enums, constants), not the libraries it
// uses (np, pd, cp, os, ...).  Called last in a module's init.
void export_package_names(py::module_& m);

// ---------------------------------------------------------------------------
// C-API results
// ---------------------------------------------------------------------------

// Own the new reference a C-API call returned, or throw the pending Python
// error when it returned null.
py::object steal(PyObject* result);
// A C-API status: -1 means a Python error is pending (thrown); other values
// are returned unchanged (PySequence_Contains: 0 or 1).
int check(int status);

// ---------------------------------------------------------------------------
// Errors, warnings, messages
// ---------------------------------------------------------------------------

// A catalogued message: its Chinese template (the catalog key, see
// verdalis/messages.toml) and the values that fill it, plus attributes the
// exception or warning carries for the product layer.  The text is made in
// the language the user chose (verdalis.messages), and the instance carries
// `template` and `values` whatever the language.
struct Message {
  const char* tmpl;
  py::tuple values;
  py::dict attributes;
  // Another attribute of the instance (`error.side`, `warning.constraints`).
  Message& with(const char* name, py::handle value) {
    attributes[name] = value;
    return *this;
  }
};
template <class... A>
Message msg(const char* tmpl, A&&... values) {
  return Message{tmpl, py::make_tuple(std::forward<A>(values)...), py::dict()};
}
// The text of a message in the current language (a piece of another message).
py::str text(const Message& m);
// A list of ids for a message, cut after `shown` names with the count of all.
py::str id_list(py::handle shown, Py_ssize_t total);
// The instance of `type` a catalogued message makes.
py::object build(py::handle type, const Message& m);
[[noreturn]] void raise_(py::handle type, const Message& m);
void warn(py::handle category, const Message& m);

// Raise `type(message)` (or `type()` when message is null) as a Python
// exception.  Never returns.  A C string is a catalogued message without
// values.
[[noreturn]] void raise_(py::handle type, py::handle message = py::handle());
[[noreturn]] void raise_(py::handle type, const char* message);

// warnings.warn(message, category) attributed to the Python line that called
// into the package (C++ frames are not Python frames, so this is stack level
// 1).  Propagates the exception if a filter turns the warning into an error.
void warn(py::handle category, py::handle message);
void warn(py::handle category, const char* message);

// str.format: format("{} 在 {} 尚未上市", a, b).
template <class... A>
py::str format(const char* fmt, A&&... args) {
  return py::str(fmt).attr("format")(std::forward<A>(args)...);
}

// Python truth value of an object (errors propagate).
bool truthy(py::handle obj);
// isinstance with any class-like object (a type, or a tuple of types).
bool isinstance(py::handle obj, py::handle cls);
// Rich comparisons with Python semantics (errors propagate).
bool eq(py::handle a, py::handle b);
bool ne(py::handle a, py::handle b);
bool lt(py::handle a, py::handle b);
bool le(py::handle a, py::handle b);
bool gt(py::handle a, py::handle b);
// `assert cond` without a message.
void assert_(bool cond);

// Python operators returning objects: `a @ b`, `a ** b`, and a rich
// comparison (op is Py_EQ, Py_GE, ...) that keeps the result, so cvxpy
// expressions build constraints and arrays compare elementwise.
py::object matmul(py::handle a, py::handle b);
py::object power(py::handle a, py::handle b);
// -a, abs(a), float(a), a % b, and `item in container`.
py::object negative(py::handle a);
py::object absolute(py::handle a);
py::object to_float(py::handle a);
py::object remainder(py::handle a, py::handle b);
bool contains(py::handle container, py::handle item);
py::object richcmp(py::handle a, py::handle b, int op);
// `a, b = obj`, with Python's TypeError / ValueError texts.
std::pair<py::object, py::object> unpack2(py::handle obj);
// `raise type(message)` inside the `except` block that caught `handled`:
// the caught exception becomes the new one's __context__.
[[noreturn]] void raise_while_handling(py::handle type, py::handle message,
                                       const py::error_already_set& handled);
[[noreturn]] void raise_while_handling(py::handle type, const Message& m,
                                       const py::error_already_set& handled);
// How CPython names a callable in argument errors: "module.qualname()".
py::str function_str(py::handle func);

// ---------------------------------------------------------------------------
// Functions with Python signatures
// ---------------------------------------------------------------------------

struct Param {
  enum Kind { POSITIONAL_OR_KEYWORD, KEYWORD_ONLY, VAR_KEYWORD };
  std::string name;
  Kind kind;
  py::object default_value;  // null: required
};

// arg("x") / arg("x", default): positional-or-keyword parameter.
Param arg(const char* name);
Param arg(const char* name, py::object default_value);
// kwonly("x") / kwonly("x", default): keyword-only parameter.
Param kwonly(const char* name);
Param kwonly(const char* name, py::object default_value);
// var_kw("options"): **options (handed to the logic as a dict).
Param var_kw(const char* name);

// Logic receives the bound arguments in signature order; a **kwargs
// parameter arrives as a dict.
using Impl = std::function<py::object(std::vector<py::object>&)>;

// Register the module-local function type.  Call once at the top of each
// module's init, before any function is created.
void init_support(py::module_& m);

// Create a Python-callable function object with a real signature.
// `module` is the __module__ and `qualname` the __qualname__ shown to users
// ("portfolio_optimize", "MeanVariance.__init__").
py::object make_function(const char* module, const std::string& qualname,
                         std::vector<Param> params, Impl impl,
                         const char* doc = nullptr);

namespace detail {
template <class T>
T cast_arg(py::object& o) {
  return py::reinterpret_borrow<T>(o);
}
template <class F, class... A, std::size_t... I>
py::object call_unpacked(F f, std::vector<py::object>& a, std::index_sequence<I...>) {
  return f(cast_arg<A>(a[I])...);
}
}  // namespace detail

// Typed variant: `logic` takes one py::object (or py::dict for **kwargs) per
// parameter, in signature order.
template <class... A>
py::object make_function(const char* module, const std::string& qualname,
                         std::vector<Param> params, py::object (*logic)(A...),
                         const char* doc = nullptr) {
  if (params.size() != sizeof...(A)) {
    throw std::logic_error("parameter list does not match logic for " + qualname);
  }
  Impl impl = [logic](std::vector<py::object>& a) {
    return detail::call_unpacked<py::object (*)(A...), A...>(
        logic, a, std::index_sequence_for<A...>{});
  };
  return make_function(module, qualname, std::move(params), std::move(impl), doc);
}

// Define a module-level function: creates it and binds it on the module.
template <class... A>
py::object def(py::module_& m, const char* name, std::vector<Param> params,
               py::object (*logic)(A...), const char* doc = nullptr) {
  py::object f = make_function(PyModule_GetName(m.ptr()), name, std::move(params), logic, doc);
  m.attr(name) = f;
  return f;
}

// ---------------------------------------------------------------------------
// Classes
// ---------------------------------------------------------------------------

// One constructor parameter as an instance stores it (read from `attr`).
// The table of a class's parameters makes both its repr and its public
// accessor get_params(), so the two cannot disagree.  repr shows positional
// parameters always and keyword ones when they differ from `shown_default`
// (null: always).  `estimated_flag`: an attribute that, when present and not
// None, says the object estimated this value itself (the parameter was None).
struct ParamField {
  const char* param;
  const char* attr;
  bool keyword;
  py::object shown_default;
  const char* estimated_flag = nullptr;
};
// {parameter: value} of an instance; containers are copies, so the result
// cannot change the object.
py::dict params_of(py::handle self, const std::vector<ParamField>& fields);
// "ClassName(arg, keyword=value)": the constructor call as a user writes it.
py::str repr_of(py::handle self, const std::vector<ParamField>& fields);

// Builds a class by calling its metaclass with (name, bases, namespace), the
// way a `class` statement does.  Methods are function objects from
// make_function; they bind to instances like Python functions.
class ClassBuilder {
 public:
  ClassBuilder(py::module_& m, const char* name);

  ClassBuilder& metaclass(py::object meta);
  ClassBuilder& bases(py::tuple bases);
  ClassBuilder& doc(const char* doc);

  // A method; `params` lists every parameter including "self".  The name
  // "__init__" makes it the constructor.
  template <class... A>
  ClassBuilder& method(const char* name, std::vector<Param> params, py::object (*logic)(A...),
                       const char* doc = nullptr) {
    ns_[name] = make_function(module_name_.c_str(), qualname(name), std::move(params), logic, doc);
    return *this;
  }
  // The same, wrapped by `decorator` (for example abc.abstractmethod).
  template <class... A>
  ClassBuilder& decorated_method(py::object decorator, const char* name, std::vector<Param> params,
                                 py::object (*logic)(A...), const char* doc = nullptr) {
    ns_[name] = decorator(
        make_function(module_name_.c_str(), qualname(name), std::move(params), logic, doc));
    return *this;
  }
  // A method whose logic is a closure (bound arguments in signature order).
  ClassBuilder& method(const char* name, std::vector<Param> params, Impl impl,
                       const char* doc = nullptr) {
    ns_[name] = make_function(module_name_.c_str(), qualname(name), std::move(params),
                              std::move(impl), doc);
    return *this;
  }
  // A read-only property whose getter is `getter(self)`.
  ClassBuilder& property(const char* name, py::object (*getter)(py::object));
  // A plain class attribute.
  ClassBuilder& attr(const char* name, py::object value);
  // __repr__ and get_params() from the table of constructor parameters.
  ClassBuilder& parameters(std::vector<ParamField> fields);

  // Create the class and bind it on the module.
  py::object finish();

 private:
  std::string qualname(const char* member) const;

  py::module_ module_;
  std::string name_;
  std::string module_name_;
  py::object metaclass_;
  py::tuple bases_;
  py::dict ns_;
};

}  // namespace verdalis
