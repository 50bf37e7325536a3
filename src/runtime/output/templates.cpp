// The stored table templates and column styles of the output system. These
// are the system's own template data: header texts, spans and formats of the
// tables delivered under the "Vesk.Quilvar." paths.
#include "runtime/output/templates.hpp"

#include <array>

#include "runtime/output/model.hpp"

namespace quilvar::runtime::output {
namespace {

constexpr std::array kColumnStyles{
    ColumnStyle{"Method", "Method", kTextFormat},
    ColumnStyle{"RateMult", "Rate Multiplier", kCountFormat},
    ColumnStyle{"StratumIndex", "Stratum Index", kCountFormat},
    ColumnStyle{"ObservedEvents", "Observed Events", kCountFormat},
    ColumnStyle{"PopTime", "Population Time", kCountFormat},
    ColumnStyle{"PopTimeProp", "Proportion", kFourDecimals},
    ColumnStyle{"NObs", "Population Size", kCountFormat},
    ColumnStyle{"NObsProp", "Proportion", kFourDecimals},
    ColumnStyle{"CrudeRate", "Crude Rate", kFourDecimals},
    ColumnStyle{"CrudeRisk", "Crude Risk", kFourDecimals},
    ColumnStyle{"Rate", "Rate", kFourDecimals},
    ColumnStyle{"Risk", "Risk", kFourDecimals},
    ColumnStyle{"CompRate", "Comparison Rate", kFourDecimals},
    ColumnStyle{"CompRisk", "Comparison Risk", kFourDecimals},
    ColumnStyle{"StdErr", "Std Error", kFourDecimals},
    ColumnStyle{"Type", "Limit Type", kTextFormat},
    ColumnStyle{"LowerCL", "Lower", kFourDecimals},
    ColumnStyle{"UpperCL", "Upper", kFourDecimals},
    ColumnStyle{"RefPopTime", "Population Time", kCountFormat},
    ColumnStyle{"RefPopTimeProp", "Proportion", kFourDecimals},
    ColumnStyle{"RefNObs", "Population Size", kCountFormat},
    ColumnStyle{"RefNObsProp", "Proportion", kFourDecimals},
    ColumnStyle{"MHWeight", "MH Weight", kCountFormat},
    ColumnStyle{"RefCrudeRate", "Reference Rate", kFourDecimals},
    ColumnStyle{"RefCrudeRisk", "Reference Risk", kFourDecimals},
    ColumnStyle{"ExpectedEvents", "Expected Events", kFourDecimals},
    ColumnStyle{"Quilvar", "Standardized Rate", kFourDecimals},
    ColumnStyle{"StdRisk", "Standardized Risk", kFourDecimals},
    ColumnStyle{"Smr", "SMR", kFourDecimals},
    ColumnStyle{"SmrLcl", "Lower", kFourDecimals},
    ColumnStyle{"SmrUcl", "Upper", kFourDecimals},
    ColumnStyle{"Estimate", "Estimate", kFourDecimals},
    ColumnStyle{"RateDiff", "Rate Difference", kFourDecimals},
    ColumnStyle{"RateRatio", "Rate Ratio", kFourDecimals},
    ColumnStyle{"RiskDiff", "Risk Difference", kFourDecimals},
    ColumnStyle{"RiskRatio", "Risk Ratio", kFourDecimals},
    ColumnStyle{"LogRatio", "Log Ratio", kFourDecimals},
    ColumnStyle{"Z", "Z", kTwoDecimals},
    ColumnStyle{"ProbZ", "Pr > |Z|", kPValueFormat},
    ColumnStyle{"pValue", "Exact Pr", kPValueFormat},
    ColumnStyle{"Parameter", "Parameter", kTextFormat},
    ColumnStyle{"Exposed", "Exposed", kTextFormat},
};

constexpr std::string_view kStudyPopulation = "Study Population";
constexpr std::string_view kEffectColumns = "RateDiff|RateRatio|RiskDiff|RiskRatio";
constexpr std::string_view kFirstRateColumns = "Rate|Risk";
constexpr std::string_view kSecondRateColumns = "CompRate|CompRisk";

constexpr SpanRule kLimitSpan{"_SpanCL_", "", "", "LowerCL", "", "UpperCL"};
constexpr SpanRule kSmrLimitSpan{"_SpanCL_", "", "", "SmrLcl", "", "SmrUcl"};
constexpr SpanRule kReferenceSpan{"RefText", "", "RefStart", "", "RefEnd", ""};
constexpr SpanRule kPopulationSpan{"", kStudyPopulation, "PopStart", "ObservedEvents", "PopEnd", ""};
constexpr SpanRule kEffectSpan{"_SpanEffect_", "", "", kEffectColumns, "", "UpperCL"};
constexpr SpanRule kGroupSpan{"_SpanGroup_", "", "_StatStart_", kFirstRateColumns, "_StatEnd_", kSecondRateColumns};

constexpr std::array kStrataStatsSpans{kPopulationSpan, kReferenceSpan, kLimitSpan};

constexpr std::array kRateEstimateSpans{
    kPopulationSpan, kReferenceSpan, SpanRule{"", "Standardized Rate", "", "Quilvar", "_StdEstEnd", "Quilvar"},
    kLimitSpan};
constexpr std::array kRiskEstimateSpans{
    kPopulationSpan, kReferenceSpan, SpanRule{"", "Standardized Risk", "", "StdRisk", "_StdEstEnd", "StdRisk"},
    kLimitSpan};
constexpr std::array kEstimateHeaders{HeaderRule{"Quilvar|StdRisk", "", "Estimate"}};

constexpr std::array kStrataSmrSpans{SpanRule{"", kStudyPopulation, "", "ObservedEvents", "PopEnd", "PopTime|NObs"},
                                     SpanRule{"", "SMR", "", "Smr", "_SmrEnd", "Smr"}, kSmrLimitSpan};
constexpr std::array kStrataSmrHeaders{HeaderRule{"Smr", "", "Estimate"}};

constexpr std::array kSmrSpans{kSmrLimitSpan};

constexpr std::array kStrataEffectSpans{kGroupSpan, kEffectSpan, kLimitSpan};
constexpr std::array kEffectSpans{
    SpanRule{"_SpanStat_", "", "_StatStart_", kFirstRateColumns, "_StatEnd_", kSecondRateColumns},
    kGroupSpan,
    kEffectSpan,
    kLimitSpan,
    SpanRule{"_TestEffect_", "", "_StartTest_", "Z", "", "ProbZ"}};
constexpr std::array kStrataEffectHeaders{HeaderRule{kFirstRateColumns, "_Pop1_", ""},
                                          HeaderRule{kSecondRateColumns, "_Pop2_", ""},
                                          HeaderRule{kEffectColumns, "", "Estimate"}};
constexpr std::array kEffectHeaders{HeaderRule{kFirstRateColumns, "_Pop1_", ""},
                                    HeaderRule{kSecondRateColumns, "_Pop2_", ""},
                                    HeaderRule{kEffectColumns, "", "Estimate"},
                                    HeaderRule{"LogRatio", "_LogRatio_", ""}};

constexpr std::array kAttrFractionSpans{kLimitSpan};

// Method, multiplier and limit type are in the title or the spans already.
constexpr std::string_view kHiddenEstimateColumns = "Method|RateMult|Type";

constexpr std::array kTableTemplates{
    TableTemplate{"Vesk.Quilvar.StdInfo", "", {}, {}, "", false},
    TableTemplate{"Vesk.Quilvar.StrataStats", "_StrataHeader_", kStrataStatsSpans, {}, kHiddenEstimateColumns,
                  false},
    TableTemplate{"Vesk.Quilvar.Quilvar", "_StdEstHeader_", kRateEstimateSpans, kEstimateHeaders,
                  kHiddenEstimateColumns, false},
    TableTemplate{"Vesk.Quilvar.StdRisk", "_StdEstHeader_", kRiskEstimateSpans, kEstimateHeaders,
                  kHiddenEstimateColumns, false},
    TableTemplate{"Vesk.Quilvar.StrataSMR", "_StrataSmrHeader_", kStrataSmrSpans, kStrataSmrHeaders,
                  "RateMult|Type", false},
    TableTemplate{"Vesk.Quilvar.Smr", "", kSmrSpans, {}, "Type", false},
    TableTemplate{"Vesk.Quilvar.StrataEffect", "_StrataEffectHeader_", kStrataEffectSpans, kStrataEffectHeaders,
                  "RateMult", false},
    TableTemplate{"Vesk.Quilvar.Effect", "_EffectHeader_", kEffectSpans, kEffectHeaders, "RateMult", false},
    TableTemplate{"Vesk.Quilvar.AttrFraction", "_AttrFracHeader_", kAttrFractionSpans, {}, "", false},
    TableTemplate{"Vesk.Quilvar.RatePhantom", "", {}, {}, "", true},
    TableTemplate{"Vesk.Quilvar.DistPhantom", "", {}, {}, "", true},
    TableTemplate{"Vesk.Quilvar.SmrPhantom", "", {}, {}, "", true},
    TableTemplate{"Vesk.Quilvar.EffectPhantom", "", {}, {}, "", true},
};

}  // namespace

const TableTemplate* find_table_template(std::string_view path) {
  for (const TableTemplate& stored : kTableTemplates) {
    if (same_name(stored.path, path)) return &stored;
  }
  return nullptr;
}

const ColumnStyle* find_column_style(std::string_view name) {
  for (const ColumnStyle& style : kColumnStyles) {
    if (same_name(style.name, name)) return &style;
  }
  return nullptr;
}

bool list_contains(std::string_view list, std::string_view name) {
  while (!list.empty()) {
    const std::size_t bar = list.find('|');
    if (same_name(list.substr(0, bar), name)) return true;
    if (bar == std::string_view::npos) break;
    list.remove_prefix(bar + 1);
  }
  return false;
}

}  // namespace quilvar::runtime::output
