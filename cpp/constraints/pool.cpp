// Pool constraints: the total weight held in an index's components (as of
// the previous trading date) or in a user's stock list.
#include "constraints.hpp"

namespace verdalis::constraints {

namespace {

void init_pool_limit(py::handle self, const char* cls, const char* group_attr, py::handle group,
                     py::handle lower_limit, py::handle upper_limit, py::handle hard) {
  require_a_limit(cls, lower_limit, upper_limit);
  py::setattr(self, "lower", bound(cls, "lower_limit", lower_limit));
  py::setattr(self, "upper", bound(cls, "upper_limit", upper_limit));
  py::setattr(self, group_attr, group);
  py::setattr(self, "_hard", hard);
}

// Bounds on the total weight of the pool's stocks that `group` holds (tested
// with Python's `in`).  Limits that cannot bind give no constraint.
py::object group_bounds(py::handle self, py::handle g, py::handle zeta, py::handle helper,
                        py::handle group) {
  py::list member;
  for (py::handle ob : helper.attr("order_book_ids")) member.append(py::bool_(contains(group, ob)));
  py::object selector = G["np"].attr("array")(member);
  py::object lower = self.attr("lower");
  py::object upper = self.attr("upper");
  py::list result;
  if (!lower.is_none() && gt(lower, py::int_(0))) {
    result.append(at_least(matmul(g, selector), zeta, lower));
  }
  if (!upper.is_none() && lt(upper, py::int_(1))) {
    result.append(at_most(matmul(g, selector), zeta, upper));
  }
  return result;
}

// The index's members as of the previous trading date, re-read on every
// call: the same object follows the membership from one date to the next.
py::object index_members(py::handle self, py::handle helper) {
  return G["corvana"].attr("index_components")(
      self.attr("index_code"), helper.attr("prev_trading_date"));
}

}  // namespace

py::object index_component_init(py::object self, py::object index_code, py::object lower_limit,
                                py::object upper_limit, py::object hard) {
  init_pool_limit(self, "IndexComponentLimit", "index_code", index_code, lower_limit, upper_limit,
                  hard);
  return py::none();
}

py::object index_component_to_constraints(py::object self, py::object g, py::object zeta,
                                          py::object helper) {
  return group_bounds(self, g, zeta, helper, index_members(self, helper));
}

py::object stock_pool_init(py::object self, py::object stock_list, py::object lower_limit,
                           py::object upper_limit, py::object hard) {
  init_pool_limit(self, "StockPoolLimit", "stock_list", stock_list, lower_limit, upper_limit,
                  hard);
  return py::none();
}

py::object stock_pool_to_constraints(py::object self, py::object g, py::object zeta,
                                     py::object helper) {
  return group_bounds(self, g, zeta, helper, self.attr("stock_list"));
}

namespace {

// The weight held in the pool's stocks that `group` holds, against the
// limits group_bounds writes.
py::object group_measure(py::handle self, py::handle weights, py::handle helper, py::handle group) {
  py::object w = pool_weights(weights, helper);
  double held = 0.0;
  py::ssize_t i = 0;
  for (py::handle ob : helper.attr("order_book_ids")) {
    const double x = py::float_(w[py::int_(i++)]).cast<double>();
    if (contains(group, ob)) held += x;
  }
  py::object lower = self.attr("lower");
  py::object upper = self.attr("upper");
  py::list rows;
  if (!lower.is_none() && gt(lower, py::int_(0))) {
    add_row(rows, py::str("weight held"), "lower", py::float_(held), lower);
  }
  if (!upper.is_none() && lt(upper, py::int_(1))) {
    add_row(rows, py::str("weight held"), "upper", py::float_(held), upper);
  }
  return measure_table(rows);
}

}  // namespace

py::object index_component_measure(py::object self, py::object weights, py::object helper) {
  return group_measure(self, weights, helper, index_members(self, helper));
}

py::object stock_pool_measure(py::object self, py::object weights, py::object helper) {
  return group_measure(self, weights, helper, self.attr("stock_list"));
}

}  // namespace verdalis::constraints
