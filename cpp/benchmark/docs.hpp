// Docstrings of verdalis.benchmark, exactly as users read them (help()).
#pragma once

namespace verdalis::benchmark::docs {

inline constexpr const char* kGetWeightDoc = R"doc(
        获取 date 日期的持仓权重。此函数必需实现。

        :param date: datetime.date
        :return: pd.Series, index 为order_book_id
        )doc";

inline constexpr const char* kGetExpectedReturnsDoc = R"doc(
        获得 date 日期的年化期望收益。
        仅当使用 :class:`MaxInformationRatio` / :class:`ActiveMeanVariance` 目标函数，
        且不指定 `expected_active_returns` 时需要实现此函数

        :param date: datetime.date
        :param window: 回溯窗口大小
        :return: float
        )doc";

}  // namespace verdalis::benchmark::docs
