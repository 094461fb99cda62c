// The constraint protocol, limit parsing, and the pieces every constraint
// class shares: limit storage, bound emission, holding alignment and repr.
#include "constraints.hpp"

#include <cctype>

#include <string>

namespace verdalis::constraints {

const Globals G("verdalis.constraints");

py::object base_to_constraints(py::object, py::object, py::object, py::object) {
  raise_(PyExc_NotImplementedError);
}

py::object base_hard(py::object) { raise_(PyExc_NotImplementedError); }

py::object hard(py::object self) { return self.attr("_hard"); }

py::object ensure_bound(py::object v, py::object label) {
  if (v.is_none()) return v;
  try {
    return to_float(v);
  } catch (py::error_already_set& e) {
    // An unparsable string ('5%', 'abc'); a TypeError (a list) propagates.
    if (!e.matches(PyExc_ValueError)) throw;
    raise_while_handling(G.invalid_argument(), format("约束的上限或下限非法: {} = {}", label, v), e);
  }
}

py::object ensure_series(py::object obj, py::object name) {
  return verdalis::ensure_series(G, std::move(obj), std::move(name));
}

py::object get_deviation_value(py::object benchmark, py::object deviation) {
  if (deviation.is_none()) return deviation;
  if (verdalis::isinstance(deviation, G["numbers"].attr("Number"))) {
    // An additive offset from the benchmark's value.
    return to_float(benchmark + deviation);
  }
  if (PyUnicode_Check(deviation.ptr())) {
    // "+5%" / "-5%": a percentage of the benchmark's value.  An empty string
    // is malformed like any other (it has no sign to read).
    const std::string text = deviation.cast<std::string>();
    auto malformed = [&] { raise_(G.invalid_argument(), format("约束的上下界格式不正确: {}", deviation)); };
    if (text.empty() || (text.front() != '+' && text.front() != '-')) malformed();
    if (text.back() != '%') malformed();
    const Py_ssize_t length = py::len(deviation);
    // float() of the text between sign and percent; its ValueError propagates.
    const double x =
        to_float(deviation[py::slice(1, length - 1, 1)]).cast<double>();
    const double factor = (text.front() == '-' ? -x : x) / 100 + 1;
    return benchmark * py::float_(factor);
  }
  raise_(G.invalid_argument(), format("约束指定的上限或下限 {} 非法", deviation));
}

void require_a_limit(const char* cls, py::handle lower_limit, py::handle upper_limit) {
  if (lower_limit.is_none() && upper_limit.is_none()) {
    raise_(G.invalid_argument(), py::str(std::string(cls) + ": upper_limit及lower_limit 最少应该指定一个"));
  }
}

py::object bound(const char* cls, const char* param, py::handle v) {
  return ensure_bound(py::reinterpret_borrow<py::object>(v),
                      py::str(std::string(cls) + ":" + param));
}

void store_limits(py::handle self, const char* cls, py::handle lower_limit,
                  py::handle upper_limit, py::handle relative) {
  if (truthy(relative)) {
    py::setattr(self, "lower", lower_limit);
    py::setattr(self, "upper", upper_limit);
  } else {
    py::setattr(self, "lower", bound(cls, "lower_limit", lower_limit));
    py::setattr(self, "upper", bound(cls, "upper_limit", upper_limit));
  }
}

void warn_user(py::handle message) { warn(G.optimizer_warning(), message); }

py::object at_least(py::handle lhs, py::handle zeta, py::handle b) {
  return richcmp(lhs, py::reinterpret_borrow<py::object>(zeta) * py::reinterpret_borrow<py::object>(b),
                 Py_GE);
}

py::object at_most(py::handle lhs, py::handle zeta, py::handle b) {
  return richcmp(lhs, py::reinterpret_borrow<py::object>(zeta) * py::reinterpret_borrow<py::object>(b),
                 Py_LE);
}

AlignedHolding align_holding(py::handle holding, py::handle helper) {
  AlignedHolding aligned;
  py::object pool_ids = helper.attr("order_book_ids");
  py::set pool(pool_ids);
  for (py::handle ob : holding.attr("index")) {
    if (!contains(pool, ob)) aligned.not_in_pool.append(ob);
  }
  aligned.whole_pool = py::reinterpret_borrow<py::list>(pool_ids + aligned.not_in_pool);
  aligned.values = holding.attr("reindex")(aligned.whole_pool, py::arg("fill_value") = 0.0)
                       .attr("values");
  return aligned;
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
  if (verdalis::isinstance(value, G["pd"].attr("Series"))) {
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
  if (verdalis::isinstance(value, G["pd"].attr("Series"))) {
    return shown_default.is_none() && py::len(value) == 0;
  }
  if (value.is_none() || shown_default.is_none()) return value.is_none() && shown_default.is_none();
  try {
    return eq(value, shown_default);
  } catch (py::error_already_set&) {
    return false;
  }
}

}  // namespace

py::str constraint_repr(py::handle self, const std::vector<ReprField>& fields) {
  std::string text = py::str(py::type::of(self).attr("__name__")).cast<std::string>() + "(";
  bool first = true;
  for (const ReprField& f : fields) {
    py::object value = py::getattr(self, f.attr, py::none());
    if (f.keyword && is_default(value, f.shown_default)) continue;
    if (!first) text += ", ";
    first = false;
    if (f.keyword) text += std::string(f.param) + "=";
    text += shown(value);
  }
  return py::str(text + ")");
}

}  // namespace verdalis::constraints
