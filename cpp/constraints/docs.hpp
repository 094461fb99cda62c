// Docstrings of verdalis.constraints, exactly as users read them (help()).
#pragma once

namespace verdalis::constraints::docs {

inline constexpr const char* kTrackingErrorLimitDoc = R"doc(
    追踪误差约束。基准为优化时指定的基准。

    :param upper_limit: 追踪误差上界
    :param hard: 软约束/硬约束
    )doc";

inline constexpr const char* kBenchmarkComponentWeightLimitDoc = R"doc(
    基准成分股权重限制。基准为优化时指定的基准。

    :param lower_limit: 基准成分股权重之和下界
    :param hard: 软约束/硬约束
    )doc";

inline constexpr const char* kIndustryConstraintDoc = R"doc(
    行业权重约束

    :param industries: 行业名，可以为单个或多个行业
    :param lower_limit: 行业权重下界。当 `relative` 为 True 时，支持 '-5%'/'+5%' 形式
    :param upper_limit: 行业权重上界。与下界类似。
    :param relative: 是否为相对于基准
    :param classification: 行业分类标准; 可以传入 dict | pd.Series，作为自定义行业分类
    :param hard: 软约束/硬约束
    )doc";

inline constexpr const char* kWildcardIndustryConstraintDoc = R"doc(
    指定除 exclude 列表外其他行业的权重限制。与 :class:`IndustryConstraint` 配合可方便的实现对所有行业权重的限制。

    :param exclude: 排除列表
    :param lower_limit: 行业权重下界。当 `relative` 为 True 时，支持 '-5%'/'+5%' 形式
    :param upper_limit: 行业权重上界。与下界类似。
    :param relative: 是否为相对于基准
    :param classification: 行业分类标准；可以传入 dict | pd.Series，作为自定义行业分类
    :param hard: 软约束/硬约束
    )doc";

inline constexpr const char* kIndustryComponentLimitDoc = R"doc(
    行业内个股权重约束

    :param industry: 行业名
    :param lower_limit: 个股占行业权重下界
    :param upper_limit: 个股占行业权重上界
    :param classification: 行业分类标准
    :param hard: 软约束/硬约束
    )doc";

inline constexpr const char* kStyleConstraintDoc = R"doc(
    风格约束

    :param styles: 风格列表，可以为单个或多个风格名。支持以下风格：beta, book_to_price,
        earnings_yield, growth, leverage, liquidity, momentum, non_linear_size, residual_volatility, size
    :param lower_limit: 下界。当 `relative` 为 True 时，支持 '-5%'/'+5%' 形式
    :param upper_limit: 上界。与下界类似。
    :param relative: 是否为相对于基准
    :param hard: 软约束/硬约束
    )doc";

inline constexpr const char* kWildcardStyleConstraintDoc = R"doc(
    指定除 exclude 外的其他风格上下界，与 WildcardIndustryConstraint 类似。

    :param exclude: 排除列表
    :param lower_limit: 下界。当 `relative` 为 True 时，支持 '-5%'/'+5%' 形式
    :param upper_limit: 上界。与下界类似。
    :param relative: 是否为相对于基准
    :param hard: 软约束/硬约束
    :return:
    )doc";

inline constexpr const char* kIndexComponentLimitDoc = R"doc(
    指数权重约束
    :param index_code: 指数代码
    :param lower_limit: 指数成分总占比下界
    :param upper_limit: 指数成分总占比上界
    :param hard: 软约束/硬约束
    )doc";

inline constexpr const char* kStockPoolLimitDoc = R"doc(
    自定义组合权重约束

    :param stock_list:自定义股票列表
    :param lower_limit: 组合内股票权重占比下界
    :param upper_limit: 组合内股票权重占比上界
    :param hard: 软约束/硬约束
    )doc";

inline constexpr const char* kTurnoverLimitDoc = R"doc(
    换手率约束

    :param current_holding: 当前持仓
    :param upper_limit: 换手率上界
    :param hard: 软约束/硬约束
    )doc";

inline constexpr const char* kTransactionVolumeLimitDoc = R"doc(
    成交量约束: 当前持仓和可用资金必须至少填入一个，优化器会用两者组成一个完整的投资组合来判定成交量约束

    :param current_holding: 当前持仓，应传入股票数量而非权重
    :param cash: 可用资金数量
    :param window: 前几个交易日的平均交易量
    :param stock_list: 需要约束的股票列表
    :param upper_limit: 成交量占比上界
    :param hard: 软约束/硬约束
    )doc";

inline constexpr const char* kTransactionMarketValueLimitDoc = R"doc(
    成交市值约束

    :param current_holding: 当前持仓，应传入股票数量而非权重
    :param cash: 可用资金数量
    :param window: 前几个交易日的平均市值
    :param stock_list: 需要约束的股票列表
    :param upper_limit: 交易市值占该股票总市值百分比上界
    :param hard: 软约束/硬约束
    )doc";

}  // namespace verdalis::constraints::docs
