// The constraint protocol, limit parsing, and the pieces every constraint
// class shares: limit storage, bound emission, holding alignment and repr.
#include "constraints.hpp"

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
    raise_while_handling(G.invalid_argument(), msg("约束的上限或下限非法: {} = {}", label, v), e);
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
    auto malformed = [&] { raise_(G.invalid_argument(), msg("约束的上下界格式不正确: {}", deviation)); };
    if (text.empty() || (text.front() != '+' && text.front() != '-')) malformed();
    if (text.back() != '%') malformed();
    const Py_ssize_t length = py::len(deviation);
    // float() of the text between sign and percent; its ValueError propagates.
    const double x =
        to_float(deviation[py::slice(1, length - 1, 1)]).cast<double>();
    const double factor = (text.front() == '-' ? -x : x) / 100 + 1;
    return benchmark * py::float_(factor);
  }
  raise_(G.invalid_argument(), msg("约束指定的上限或下限 {} 非法", deviation));
}

void require_a_limit(const char* cls, py::handle lower_limit, py::handle upper_limit) {
  if (lower_limit.is_none() && upper_limit.is_none()) {
    raise_(G.invalid_argument(), msg("{}: upper_limit及lower_limit 最少应该指定一个", cls));
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

void warn_user(const Message& message) { warn(G.optimizer_warning(), message); }

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

py::str constraint_repr(py::handle self, const std::vector<ReprField>& fields) {
  return repr_of(self, fields);
}

}  // namespace verdalis::constraints
