// Transaction constraints: how far each stock's weight may move from the
// current holding, capped by a fraction of its average daily volume
// (TransactionVolumeLimit) or of its average market value
// (TransactionMarketValueLimit).  The holding is in shares; with the cash it
// makes the whole book against which weights are measured.
#include "constraints.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <string>

namespace verdalis::constraints {

namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

void init_transaction(py::handle self, const char* cls, py::handle upper_limit,
                      py::object current_holding, py::handle cash, py::handle window,
                      py::handle stock_list, py::handle hard) {
  if (current_holding.is_none()) current_holding = G["pd"].attr("Series")();
  current_holding = ensure_series(current_holding, py::str("current_holding"));
  if (eq(current_holding.attr("sum")(), py::int_(0)) &&
      (cash.is_none() || eq(cash, py::int_(0)))) {
    raise_(G.invalid_argument(), msg("在 {} 约束中，current_holding 和 cash 至少需要一个", cls));
  }
  py::setattr(self, "_current_holding", current_holding);
  py::setattr(self, "cash", cash.is_none() ? py::object(py::int_(0)) : to_float(cash));
  py::setattr(self, "window", window);
  py::setattr(self, "stock_list", stock_list);
  py::object upper = bound(cls, "upper_limit", upper_limit);
  // Without a limit there is no allowed trade to compute: refuse it here
  // rather than fail inside the optimization.
  if (upper.is_none()) {
    raise_(G.invalid_argument(), msg("在 {} 约束中，upper_limit 不能为 None", cls));
  }
  py::setattr(self, "upper", upper);
  py::setattr(self, "_hard", hard);
}

// The market data of one call, as vectors over the whole pool.
struct Market {
  Doubles close;    // last unadjusted close (NaN: none)
  Doubles average;  // average volume (shares) or market value (money); NaN: none
  // Stocks with bars in the window but no volume (respectively market value)
  // on any day: their average cannot be computed.
  py::list missing;
};

// The ids of `values` (a Series on an (order_book_id, date) index) whose
// every value in the window is missing.
py::list all_missing(py::handle values) {
  py::object by_id = values.attr("notna")().attr("groupby")(py::arg("level") = "order_book_id")
                         .attr("any")();
  py::list missing;
  py::object none_known = by_id[richcmp(by_id, py::bool_(false), Py_EQ)];
  for (py::handle ob : none_known.attr("index")) missing.append(ob);
  return missing;
}

Market volume_data(py::handle whole_pool, py::handle start_date, py::handle prev) {
  py::object corvana = G["corvana"];
  py::list close_volume;
  close_volume.append("close");
  close_volume.append("volume");
  py::list close_only;
  close_only.append("close");
  py::object unadjusted = corvana.attr("get_price")(
      whole_pool, start_date, prev, py::arg("fields") = close_volume,
      py::arg("adjust_type") = "none", py::arg("expect_df") = true);
  py::object adjusted = corvana.attr("get_price")(
      whole_pool, start_date, prev, py::arg("fields") = close_only,
      py::arg("adjust_type") = "pre", py::arg("expect_df") = true);
  // The adjustment ratio (unadjusted over adjusted close), 1 on each stock's
  // last day of the window.  Before a split of s new shares for one it is s:
  // one share traded then is s shares of the last day, so volumes are
  // multiplied by it to count every day in the last day's shares.
  py::object ratio = py::object(unadjusted["close"]) / py::object(adjusted["close"]);
  py::object last = ratio.attr("groupby")(py::arg("level") = "order_book_id").attr("nth")(-1);
  py::object last_by_id = G["pd"].attr("Series")(
      last.attr("values"), py::arg("index") = last.attr("index").attr("get_level_values")("order_book_id"));
  ratio = ratio / last_by_id
                      .attr("reindex")(ratio.attr("index").attr("get_level_values")("order_book_id"))
                      .attr("values");
  py::object volume = py::object(unadjusted["volume"]) * ratio;
  py::object close = unadjusted["close"]
                         .attr("groupby")(py::arg("level") = "order_book_id")
                         .attr("last")()
                         .attr("reindex")(whole_pool);
  // Days without trading (volume 0) and days without a volume (NaN) do not
  // enter the average.
  py::object traded = volume[richcmp(volume, py::int_(0), Py_GT)];
  py::object average = traded.attr("groupby")(py::arg("level") = "order_book_id")
                           .attr("mean")()
                           .attr("reindex")(whole_pool);
  return {Doubles::ensure(close.attr("values")), Doubles::ensure(average.attr("values")),
          all_missing(unadjusted["volume"])};
}

Market value_data(py::handle whole_pool, py::handle start_date, py::handle prev) {
  py::object corvana = G["corvana"];
  // Market values are money: a split changes the share count and the price,
  // not their product, so the window's values need no restatement.
  py::object market_cap = corvana.attr("get_factor")(whole_pool, "market_cap_3", start_date, prev);
  py::object average = market_cap["market_cap_3"]
                           .attr("groupby")(py::arg("level") = "order_book_id")
                           .attr("mean")()
                           .attr("reindex")(whole_pool);
  py::object price = corvana.attr("get_price")(whole_pool, prev, prev, "1d",
                                               py::arg("fields") = "close",
                                               py::arg("adjust_type") = "none",
                                               py::arg("expect_df") = true);
  py::object close = price["close"].attr("droplevel")("date").attr("reindex")(whole_pool);
  return {Doubles::ensure(close.attr("values")), Doubles::ensure(average.attr("values")),
          all_missing(market_cap["market_cap_3"])};
}

enum class Cap { VOLUME, MARKET_VALUE };

// The window's market data, read once per call: kept on the call's helper
// (when it takes attributes), since the constraint rows and the
// verification's measurement after the solve ask for the same window.  The
// store is pinned for the call, so the data cannot change in between.
Market market_data(Cap cap, py::handle helper, py::handle whole_pool, py::handle start_date,
                   py::handle prev) {
  py::object key = py::make_tuple(py::int_(static_cast<int>(cap)), start_date, prev,
                                  py::tuple(py::reinterpret_borrow<py::object>(whole_pool)));
  py::object cache = py::none();
  if (py::hasattr(helper, "__dict__")) {
    py::dict attributes = helper.attr("__dict__");
    if (!attributes.contains("_transaction_market")) attributes["_transaction_market"] = py::dict();
    cache = attributes["_transaction_market"];
  }
  if (!cache.is_none() && py::cast<py::dict>(cache).contains(key)) {
    py::tuple kept = cache[key];
    return {Doubles::ensure(kept[0]), Doubles::ensure(kept[1]), py::list(kept[2])};
  }
  Market market = cap == Cap::VOLUME ? volume_data(whole_pool, start_date, prev)
                                     : value_data(whole_pool, start_date, prev);
  if (!cache.is_none()) cache[key] = py::make_tuple(market.close, market.average, market.missing);
  return market;
}

// Everything the per-stock limits need, for to_constraints and _measure.
struct Book {
  py::object pool;     // helper.order_book_ids
  py::set stocks;      // the stocks to constrain
  Doubles held;        // shares held, over the whole pool
  Market market;
  double total_equity = 0.0;
  double upper = 0.0;
};

Book trade_book(py::handle self, const char* cls, Cap cap, py::handle helper, bool warn) {
  AlignedHolding holding = align_holding(self.attr("_current_holding"), helper);
  py::object stock_list = self.attr("stock_list");
  if (warn && py::len(holding.not_in_pool) > 0) {
    py::object stocks = holding.not_in_pool;
    if (truthy(stock_list)) {
      stocks = py::set(holding.not_in_pool).attr("__and__")(py::set(stock_list));
    }
    if (truthy(stocks)) {
      warn_user(msg("在 {} 约束中，以下股票不在目标股票池中，这些股票将不受约束: {}", cls, stocks));
    }
  }
  py::object prev = helper.attr("prev_trading_date");
  py::object start_date = G["corvana"].attr("get_previous_trading_date")(
      helper.attr("date"), py::arg("n") = self.attr("window"));
  Book book{helper.attr("order_book_ids"), py::set(),
            Doubles::ensure(holding.values),
            market_data(cap, helper, holding.whole_pool, start_date, prev)};
  book.stocks = py::set(truthy(stock_list) ? stock_list : book.pool);

  // A constrained pool stock whose volume (market value) is missing on every
  // day of the window has no allowed trade: refused rather than left
  // unconstrained.
  py::list unknown;
  py::set pool_set(book.pool);
  for (py::handle ob : book.market.missing) {
    if (contains(pool_set, ob) && contains(book.stocks, ob)) unknown.append(ob);
  }
  if (py::len(unknown) > 0) {
    if (cap == Cap::VOLUME) {
      raise_(G.invalid_argument(),
             msg("在 {} 约束中，以下股票在 {} 至 {} 没有成交量数据，无法计算平均成交量：{}", cls,
                 start_date, prev, name_ids(unknown)));
    }
    raise_(G.invalid_argument(),
           msg("在 {} 约束中，以下股票在 {} 至 {} 没有市值数据，无法计算平均市值：{}", cls, start_date,
               prev, name_ids(unknown)));
  }

  auto held = book.held.unchecked<1>();
  auto close = book.market.close.unchecked<1>();
  // The book is valued over what is held: a stock not held adds nothing
  // whatever its price, and a held stock without a close cannot be valued.
  double total_equity = self.attr("cash").cast<double>();
  py::list unpriced;
  for (py::ssize_t i = 0; i < held.shape(0); ++i) {
    if (held(i) == 0.0) continue;
    if (std::isnan(close(i))) {
      unpriced.append(holding.whole_pool[i]);
      continue;
    }
    total_equity += held(i) * close(i);
  }
  if (py::len(unpriced) > 0) {
    raise_(G.invalid_argument(),
           msg("在 {} 约束中，以下持仓股票在 {} 没有收盘价，无法计算组合市值：{}", cls, prev,
               name_ids(unpriced)));
  }
  if (!(total_equity > 0.0)) {
    raise_(G.invalid_argument(),
           msg("在 {} 约束中，组合总市值（现金加持仓市值）应该大于0：{}", cls, total_equity));
  }
  book.total_equity = total_equity;
  book.upper = self.attr("upper").cast<double>();
  return book;
}

py::object transaction_constraints(py::handle self, const char* cls, Cap cap, py::handle g,
                                   py::handle zeta, py::handle helper) {
  Book book = trade_book(self, cls, cap, helper, /*warn=*/true);
  auto held = book.held.unchecked<1>();
  auto close = book.market.close.unchecked<1>();
  auto average = book.market.average.unchecked<1>();
  const double total_equity = book.total_equity;
  const double upper = book.upper;
  const py::ssize_t n = py::len(book.pool);
  Doubles lower_bound(n), upper_bound(n);
  auto lower_at = lower_bound.mutable_unchecked<1>();
  auto upper_at = upper_bound.mutable_unchecked<1>();
  for (py::ssize_t k = 0; k < n; ++k) {
    lower_at(k) = 0.0;
    upper_at(k) = 1.0;
  }
  py::ssize_t i = 0;
  for (py::handle ob : book.pool) {
    const py::ssize_t k = i++;
    if (!contains(book.stocks, ob)) continue;
    // The allowed trade: a share of the average volume (shares, valued at
    // the close) or of the average market value (money).  NaN (no data)
    // fails both tests below, so such a stock keeps the bounds 0 and 1.
    double max_weight, min_weight;
    if (cap == Cap::VOLUME) {
      const double max_volume = upper * average(k);
      max_weight = (held(k) + max_volume) * close(k) / total_equity;
      min_weight = (held(k) - max_volume) * close(k) / total_equity;
    } else {
      const double max_value = average(k) * upper;
      max_weight = (close(k) * held(k) + max_value) / total_equity;
      min_weight = (close(k) * held(k) - max_value) / total_equity;
    }
    if (max_weight < 1) upper_at(k) = max_weight;
    if (min_weight > 0) lower_at(k) = min_weight;
  }
  py::list result;
  result.append(at_least(g, zeta, lower_bound));
  result.append(at_most(g, zeta, upper_bound));
  return result;
}

// Each constrained stock's trade at weights w as a share of its average
// volume (shares) or market value (money).  The two weight bounds of
// to_constraints are exactly this share at most `upper` (a bound it leaves
// out could only bind beyond a weight of 0 or 1); a stock without data is
// not constrained and gets no row.
py::object transaction_measure(py::handle self, const char* cls, Cap cap, py::handle weights,
                               py::handle helper) {
  py::object w_vec = pool_weights(weights, helper);
  Book book = trade_book(self, cls, cap, helper, /*warn=*/false);
  Doubles wd = Doubles::ensure(w_vec);
  auto w = wd.unchecked<1>();
  auto held = book.held.unchecked<1>();
  auto close = book.market.close.unchecked<1>();
  auto average = book.market.average.unchecked<1>();
  py::list rows;
  py::float_ upper(book.upper);
  py::ssize_t i = 0;
  for (py::handle ob : book.pool) {
    const py::ssize_t k = i++;
    if (!contains(book.stocks, ob)) continue;
    if (!(average(k) > 0.0) || !std::isfinite(close(k)) || !(close(k) > 0.0)) continue;
    double traded;
    if (cap == Cap::VOLUME) {
      traded = std::abs(w(k) * book.total_equity / close(k) - held(k));
    } else {
      traded = std::abs(w(k) * book.total_equity - close(k) * held(k));
    }
    add_row(rows, ob, "upper", py::float_(traded / average(k)), upper);
  }
  return measure_table(rows);
}

}  // namespace

py::object transaction_volume_init(py::object self, py::object upper_limit,
                                   py::object current_holding, py::object cash,
                                   py::object window, py::object stock_list, py::object hard) {
  init_transaction(self, "TransactionVolumeLimit", upper_limit, current_holding, cash, window,
                   stock_list, hard);
  return py::none();
}

py::object transaction_volume_to_constraints(py::object self, py::object g, py::object zeta,
                                             py::object helper) {
  return transaction_constraints(self, "TransactionVolumeLimit", Cap::VOLUME, g, zeta, helper);
}

py::object transaction_value_init(py::object self, py::object upper_limit,
                                  py::object current_holding, py::object cash, py::object window,
                                  py::object stock_list, py::object hard) {
  init_transaction(self, "TransactionMarketValueLimit", upper_limit, current_holding, cash, window,
                   stock_list, hard);
  return py::none();
}

py::object transaction_value_to_constraints(py::object self, py::object g, py::object zeta,
                                            py::object helper) {
  return transaction_constraints(self, "TransactionMarketValueLimit", Cap::MARKET_VALUE, g, zeta,
                                 helper);
}

py::object transaction_volume_measure(py::object self, py::object weights, py::object helper) {
  return transaction_measure(self, "TransactionVolumeLimit", Cap::VOLUME, weights, helper);
}

py::object transaction_value_measure(py::object self, py::object weights, py::object helper) {
  return transaction_measure(self, "TransactionMarketValueLimit", Cap::MARKET_VALUE, weights,
                             helper);
}

}  // namespace verdalis::constraints
