// The annualised history estimate of expected returns, shared by the
// mean-variance and ratio objectives and the index benchmark.
#include "verdalis/domain.hpp"

namespace verdalis {

py::object trading_days_per_year() {
  return Globals("verdalis.const")["TRADING_DAYS_PER_YEAR"];
}

py::object history_mean_return(const Globals& G, py::handle ids, py::handle end_date,
                               py::handle window, py::handle column) {
  py::object corvana = G["corvana"];
  py::object start_date;
  try {
    start_date = corvana.attr("trading_date_offset")(end_date, negative(window));
  } catch (py::error_already_set& e) {
    // The calendar holds fewer than `window` trading days before end_date.
    if (!e.matches(PyExc_ValueError)) throw;
    raise_while_handling(G.invalid_argument(),
                         msg("window {} 超出了行情数据的历史：{} 之前不足 {} 个交易日", window,
                                end_date, window),
                         e);
  }
  py::object rates = corvana.attr("get_price_change_rate")(ids, start_date, end_date);
  if (column) rates = rates[column];
  return rates.attr("mean")() * trading_days_per_year();
}

}  // namespace verdalis
