// Docstrings of verdalis.objective, exactly as users read them (help()).
#pragma once

namespace verdalis::objective::docs {

inline constexpr const char* kMeanVarianceDoc = R"doc(
    收益/风险优化

    :param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。
    :type expected_returns: None | pd.Series
    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年
    :param risk_aversion_coefficient: 风险厌恶系数
    :param transaction_cost_model: 交易成本模型实例；默认为 None，不考虑交易成本
    )doc";

inline constexpr const char* kActiveMeanVarianceDoc = R"doc(
    主动收益/主动风险优化

    :param expected_active_returns: 预期主动收益率。当不传入时，默认使用历史收益率估计。
    :type expected_active_returns: None | pd.Series
    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年
    :param risk_aversion_coefficient: 风险厌恶系数
    :param transaction_cost_model: 交易成本模型；默认为 None，不考虑交易成本
    )doc";

inline constexpr const char* kMaxSharpeRatioDoc = R"doc(
    最大化夏普比率

    :param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。
    :type expected_returns: None | pd.Series
    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年
    )doc";

inline constexpr const char* kMaxInformationRatioDoc = R"doc(
    最大信息比率

    :param expected_active_returns: 预期主动收益率。不传入时，使用历史收益率估计。
    :type expected_active_returns: None | pd.Series
    :param window: 使用历史收益率估计预期主动收益时，取历史收益的长度，默认为252，即一年
    )doc";

inline constexpr const char* kMaxIndicatorDoc = R"doc(
    指标最大化

    :param indicator_series: 指标序列
    :type indicator_series: pd.Series
    )doc";

inline constexpr const char* kMinStyleDeviationDoc = R"doc(
    风格偏离最小化

    :param target_style: pd.Series, 目标风格
    :param relative: bool, 是否为相对于基准
    :param priority: pd.Series, 优先级，可以为每个风格指定一个0-9的优先级，9为最高优先级，0为最低优先级；未指定的风格默认优先级为5
    )doc";

}  // namespace verdalis::objective::docs
