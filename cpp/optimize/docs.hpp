// Docstrings of verdalis.optimize, exactly as users read them (help()).
#pragma once

namespace verdalis::optimize::docs {

inline constexpr const char* kPortfolioOptimizeDoc = R"doc(
    组合优化，根据给定的约束及目标函数计算最优组合权重。

    支持的目标函数：

    - :class:`MinVariance`: 风险最小化
    - :class:`MinActiveVariance`: 主动风险最小化
    - :class:`MeanVariance`: 均值方差，最大化期望收益与风险惩罚之差
    - :class:`ActiveMeanVariance`: 主动均值方差，最大化期望主动收益与主动风险惩罚之差
    - :class:`RiskParity`: 风险平价，使各股票的风险贡献相等
    - :class:`MinTrackingError`: 最小追踪误差
    - :class:`MaxInformationRatio`: 最大信息比率
    - :class:`MaxSharpeRatio`: 最大夏普比率
    - :class:`MaxIndicator`: 最大化指标（如因子值、评分）的加权和
    - :class:`MinStyleDeviation`: 最小化组合风格暴露与目标风格的偏离

    支持的约束类型：

    - :class:`TrackingErrorLimit`: 追踪误差约束
    - :class:`TurnoverLimit`: 换手率约束
    - :class:`BenchmarkComponentWeightLimit`: 基准成分股权重之和约束
    - :class:`IndustryConstraint`: 行业权重约束
    - :class:`WildcardIndustryConstraint`: 通配行业约束，对未单独指定的行业统一限制权重
    - :class:`StyleConstraint`: 风格暴露约束
    - :class:`WildcardStyleConstraint`: 通配风格约束，对未单独指定的风格统一限制暴露
    - :class:`IndustryComponentLimit`: 行业内成分股权重约束

    :param order_book_ids: 候选合约
    :param date: 优化日期；优化结果用于指导此日的调仓；_优化过程中所使用的所有数据均在此日开盘之前_。
    :param objective: 目标函数，默认为MinVariance（风险最小化）。
    :param bnds: 个股权重上下界。字典，key 为 order_book_id, value 为 (lower_limit, upper_limit) 组成的 tuple。
        lower_limit/upper_limit 取值可以是 [0, 1] 的数或 None。当取值为 None 时，表示对应的界不做限制。
        当 key 为 `'*'` 时，表示所有未在此字典中明确指定的其他合约。
        所有合约默认上下界为 [0, 1]。
    :param cons: 约束列表
    :param benchmark: 基准, 指数使用指数代码，自定义基准需要继承自 :class:`OptimizeBenchmark` 的类实例
    :param cov_model: 协方差模型，支持 daily/monthly/quarterly
    :param factor_risk_aversion: 因子风险厌恶系数，默认为1
    :param specific_risk_aversion: 特异风险厌恶系数，默认为1
    :param solver: 使用指定的solver求解，默认为 None，表示使用默认的 solver
    :param risk_model: 风险模型版本，支持 v1/v2
    :param solver_options: solver 参数，如对于 MOSEK，可以传入 mosek_params={...}
    :return: pd.Series 组合最优化权重
    )doc";

}  // namespace verdalis::optimize::docs
