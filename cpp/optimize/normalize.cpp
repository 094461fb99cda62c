// Input normalization: turns the loosely typed arguments of
// portfolio_optimize into the forms the problem builder needs, and refuses
// what cannot be used.  The module's own functions call each other through
// the module namespace, as module-level Python functions do.
#include "optimize.hpp"

#include <cmath>

namespace verdalis::optimize {

namespace {

// Two bound sums within this distance of 1 are taken as 1: bounds such as
// ten times 0.1 add up to 0.9999999999999999 in floating point.
constexpr double kBoundSumTolerance = 1e-9;

// "%04d-%02d-%02d" % (year, month, day)
py::str percent(const char* fmt, py::tuple values) {
  return py::reinterpret_borrow<py::str>(remainder(py::str(fmt), values));
}

// A bound that float() reads as a finite number; anything float() cannot
// read (a string, a list) is left to the range comparisons, which refuse it
// in their own way.
bool finite(py::handle v) {
  double x = PyFloat_AsDouble(v.ptr());
  if (x == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {  // an int beyond the float range
      PyErr_Clear();
      return false;
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
      throw py::error_already_set();
    }
    PyErr_Clear();
    return true;
  }
  return std::isfinite(x);
}

// The type of refused bounds, read from the package's exception module.
py::object invalid_bounds() {
  return py::module_::import("verdalis.exception").attr("InvalidBounds");
}

// One limit of a bound: a real number (bool, int, float, numpy scalars,
// Fraction, Decimal), not a complex number, a string or a container.
bool is_limit(py::handle v) {
  py::module_ numbers = py::module_::import("numbers");
  if (verdalis::isinstance(v, numbers.attr("Real"))) return true;
  return verdalis::isinstance(v, numbers.attr("Number")) &&
         !verdalis::isinstance(v, numbers.attr("Complex"));
}

}  // namespace

py::object to_enum(py::object v, py::object enum_type) {
  if (verdalis::isinstance(v, enum_type)) return v;
  for (auto item : enum_type.attr("__members__").attr("items")()) {
    py::object member = item[py::int_(1)];
    if (eq(v, member)) return member;
    if (eq(v, member.attr("value"))) return member;
  }
  raise_(G.invalid_argument(), msg("invalid value {} for {}", v, enum_type.attr("__name__")));
}

py::object to_date(py::object dt) {
  py::object datetime = G["datetime"];
  // NaT is a datetime that holds no date.
  if (dt.is(G["pd"].attr("NaT"))) raise_(G.invalid_argument(), "日期不能为 NaT");
  if (verdalis::isinstance(dt, datetime.attr("datetime"))) return dt.attr("date")();
  if (verdalis::isinstance(dt, datetime.attr("date"))) return dt;
  if (PyUnicode_Check(dt.ptr())) return G["parse_datetime"](dt).attr("date")();
  raise_(G.invalid_argument(),
         percent("expect a datetime like object, got %r(%r)", py::make_tuple(py::type::of(dt), dt)));
}

py::object ensure_date_str(py::object date) {
  date = G["to_date"](date);
  return percent("%04d-%02d-%02d",
                 py::make_tuple(date.attr("year"), date.attr("month"), date.attr("day")));
}

py::object ensure_order_book_ids(py::object order_book_ids, py::object date) {
  if (!verdalis::isinstance(order_book_ids, G["Iterable"])) {
    raise_(G.invalid_argument(), "order_book_ids 非法");
  }
  // The members are read once (the pool may be a generator) and must be id
  // strings: anything else would reach the data service as a key.
  py::list requested;
  if (PyUnicode_Check(order_book_ids.ptr())) {
    requested.append(order_book_ids);
  } else {
    order_book_ids = py::list(order_book_ids);
    requested = py::reinterpret_borrow<py::list>(order_book_ids);
    for (py::handle id : requested) {
      if (!PyUnicode_Check(id.ptr())) {
        raise_(G.invalid_argument(), msg("order_book_ids 中含有非字符串的元素：{}", py::repr(id)));
      }
    }
  }
  date = G["ensure_date_str"](date);
  py::object instruments = G["corvana"].attr("instruments")(order_book_ids);
  if (!PyList_Check(instruments.ptr())) instruments = py::make_tuple(instruments);

  // An id the data service does not know comes back as None (a single id
  // string) or not at all (a list): either way it is dropped, said at each
  // occurrence like the other drops.
  py::set known;
  for (auto i : instruments) {
    if (!i.is_none()) known.add(i.attr("order_book_id"));
  }
  for (py::handle id : requested) {
    if (!known.contains(id)) {
      warn(G.optimizer_warning(), msg("{} 在行情数据中不存在，被剔除", id));
    }
  }

  py::set result;
  for (auto i : instruments) {
    if (i.is_none()) continue;
    py::object order_book_id = i.attr("order_book_id");
    if (result.contains(order_book_id)) {
      warn(PyExc_UserWarning, msg("重复的 order_book_id: {}, 仅保留一个", order_book_id));
      continue;
    }
    if (ne(i.attr("type"), py::str("CS"))) {
      warn(G.optimizer_warning(), msg("{} 不是股票，被剔除", order_book_id));
      continue;
    }
    py::object listed_date = i.attr("listed_date");
    if (gt(listed_date, date)) {
      warn(G.optimizer_warning(), msg("{} 在 {} 尚未上市，被剔除", order_book_id, date));
      continue;
    }
    if (eq(listed_date, date)) {
      warn(G.optimizer_warning(), msg("{} 在 {} 当天上市，被剔除", order_book_id, date));
      continue;
    }
    py::object de_listed_date = i.attr("de_listed_date");
    if (ne(de_listed_date, py::str("0000-00-00")) && le(de_listed_date, date)) {
      warn(G.optimizer_warning(), msg("{} 在 {} 时已退市，被剔除", order_book_id, date));
      continue;
    }
    result.add(order_book_id);
  }

  py::list sorted = py::reinterpret_borrow<py::list>(steal(PySequence_List(result.ptr())));
  check(PyList_Sort(sorted.ptr()));
  return sorted;
}

py::object ensure_bound(py::object v) {
  if (v.is_none()) return v;
  try {
    return to_float(v);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    raise_while_handling(G.invalid_argument(), msg("约束的上限或下限非法: {}", v), e);
  }
}

py::object parse_bnds(py::object bnds, py::object order_book_ids) {
  if (!PyDict_Check(bnds.ptr())) {
    raise_(G.invalid_argument(),
           "bnds 应该是一个类似 dict 的结构，key 为order_book_id, value 为 (lower, upper)");
  }
  py::object np = G["np"];
  // Refused bounds raise InvalidBounds (an InvalidArgument) naming the id,
  // the entry and the side, so callers need not read the message.
  py::object invalid = invalid_bounds();
  auto refuse = [&](Message m, py::handle id, py::handle entry, const char* side) {
    m.with("order_book_id", id).with("entry", entry);
    if (side) m.with("side", py::str(side));
    raise_(invalid, m);
  };
  auto not_a_pair = [&](py::handle id, py::handle entry) {
    refuse(msg("合约 {} 的上下限应该以 (lower, upper) 的形式指定，传入值为：{}", id, py::repr(entry)),
           id, entry, nullptr);
  };

  py::str star("*");
  py::object wildcard = bnds.attr("get")(star, py::make_tuple(0.0, 1.0));
  // The "*" entry: a pair of numbers (None leaves that side unlimited, as in
  // a stock's own entry); anything else is refused naming the entry.
  std::pair<py::object, py::object> pair;
  try {
    pair = unpack2(wildcard);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
    not_a_pair(star, wildcard);
  }
  // Each side: None (unlimited), a real number, or a string float() reads.
  auto side_of = [&](py::object v, double unlimited, const char* side,
                     const char* invalid_text) -> py::object {
    if (v.is_none()) return py::float_(unlimited);
    if (!is_limit(v) && !PyUnicode_Check(v.ptr())) not_a_pair(star, wildcard);
    if (!finite(v)) refuse(msg(invalid_text, v), star, wildcard, side);
    py::object x;
    try {
      x = to_float(v);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_ValueError)) throw;
      not_a_pair(star, wildcard);
    }
    if (!finite(x)) refuse(msg(invalid_text, v), star, wildcard, side);
    return x;
  };
  py::object lower_bound = side_of(pair.first, 0.0, "lower", "合约 * 的下限 {} 无效");
  py::object upper_bound = side_of(pair.second, 1.0, "upper", "合约 * 的上限 {} 无效");

  const py::ssize_t n = py::len(order_book_ids);
  py::object lower_bounds = np.attr("repeat")(lower_bound, n);
  py::object upper_bounds = np.attr("repeat")(upper_bound, n);

  py::ssize_t i = 0;
  for (auto order_book_id : order_book_ids) {
    py::object entry;
    try {
      entry = bnds[order_book_id];
      auto [l, u] = unpack2(entry);
      // None leaves that side unlimited (it does not fall back to "*").
      if (l.is_none()) l = py::int_(0);
      if (u.is_none()) u = py::int_(1);
      // A limit must be one real number: a string, a list, an array, a
      // complex number or pd.NA is refused as not a (lower, upper) pair,
      // before a comparison could fail in its own way.
      if (!is_limit(l) || !is_limit(u)) {
        raise_(invalid, Message{"上下限应该以 (lower, upper) 的形式指定", py::tuple(), py::dict()}
                            .with("order_book_id", order_book_id)
                            .with("entry", entry));
      }
      // NaN passes every comparison: it is refused by name.
      if (!finite(l) || lt(l, py::int_(0)) || gt(l, py::int_(1))) {
        refuse(msg("合约 {} 的下限 {} 无效", order_book_id, l), order_book_id, entry, "lower");
      }
      if (!finite(u) || lt(u, py::int_(0)) || gt(u, py::int_(1))) {
        refuse(msg("合约 {} 的上限 {} 无效", order_book_id, u), order_book_id, entry, "upper");
      }
      if (lt(u, l)) {
        refuse(msg("合约 {} 的上限 {} 小于下限 {}", order_book_id, u, l), order_book_id, entry,
               "upper");
      }
      lower_bounds[py::int_(i)] = l;
      upper_bounds[py::int_(i)] = u;
    } catch (py::error_already_set& e) {
      if (e.matches(PyExc_KeyError)) {
        // no entry of its own: the "*" bounds stay
      } else if (e.matches(PyExc_TypeError)) {
        raise_while_handling(invalid,
                             Message{"上下限应该以 (lower, upper) 的形式指定", py::tuple(), py::dict()}
                                 .with("order_book_id", order_book_id)
                                 .with("entry", entry ? entry : py::none()),
                             e);
      } else if (e.matches(PyExc_ValueError)) {
        // not two items (a one-element tuple, a dict of one key)
        not_a_pair(order_book_id, entry ? entry : py::none());
      } else {
        throw;
      }
    }
    ++i;
  }

  py::object lower_total = lower_bounds.attr("sum")();
  if (gt(lower_total, py::float_(1.0 + kBoundSumTolerance))) {
    raise_(invalid, Message{"下限之和大于1", py::tuple(), py::dict()}
                        .with("side", py::str("lower"))
                        .with("total", to_float(lower_total)));
  }
  py::object upper_total = upper_bounds.attr("sum")();
  if (lt(upper_total, py::float_(1.0 - kBoundSumTolerance))) {
    raise_(invalid, Message{"上限之和小于1", py::tuple(), py::dict()}
                        .with("side", py::str("upper"))
                        .with("total", to_float(upper_total)));
  }
  return py::make_tuple(lower_bounds, upper_bounds);
}

}  // namespace verdalis::optimize
