// The effect tables of two study populations: StrataEffect, one row per
// stratum, and Effect, the overall effect of the standardized estimates.
#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

#include "quilvar/entry/step_status.hpp"
#include "quilvar/estimate/effects.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/tables/table_framework.hpp"
#include "quilvar/tables/tables.hpp"

namespace quilvar::tables {

namespace {

constexpr std::string_view kStrataName = "StrataEffect";
constexpr std::string_view kEffectName = "Effect";
constexpr int kMsgRateStrataEffect = 25;
constexpr int kMsgRiskStrataEffect = 26;
constexpr int kMsgRateEffect = 27;
constexpr int kMsgRiskEffect = 28;
constexpr int kMsgSpanRates = 51;
constexpr int kMsgSpanRisks = 52;
constexpr int kMsgTestRates = 69;
constexpr int kMsgTestRisks = 70;
constexpr int kMsgRateDifference = 83;
constexpr int kMsgRiskDifference = 85;
constexpr int kMsgRateRatio = 86;
constexpr int kMsgRiskRatio = 87;
constexpr int kMsgLogRateRatio = 89;
constexpr int kMsgLogRiskRatio = 90;
constexpr int kMsgSpanNormal = 62;
constexpr int kMsgSpanLognormal = 64;

bool rate(const ProcContext& c) { return c.statistic == kStatRate; }

// The effect column: RateDiff, RateRatio, RiskDiff or RiskRatio.
std::string_view effect_column(const ProcContext& c, int type) {
  if (rate(c)) return type == kEffectDiff ? "RateDiff" : "RateRatio";
  return type == kEffectDiff ? "RiskDiff" : "RiskRatio";
}

int effect_span_message(const ProcContext& c, int type) {
  if (rate(c)) return type == kEffectDiff ? kMsgRateDifference : kMsgRateRatio;
  return type == kEffectDiff ? kMsgRiskDifference : kMsgRiskRatio;
}

// The header of a table: the RATE message with the multiplier, or the RISK one.
host::OdsText* header_text(const ProcContext& c, int rate_message, int risk_message) {
  return rate(c) ? message_with_multiplier(c, rate_message) : message_text(risk_message);
}

host::OdsText* plain_text(std::string_view text) {
  return host::ods_make_string(text.data(), static_cast<std::int64_t>(text.size()));
}

// Several dynamic variables in one request.
void set_dynamics(ProcContext& c, host::OdsObject* t,
                  std::initializer_list<std::pair<std::string_view, host::OdsText*>> pairs) {
  std::vector<host::OutputItem> items;
  for (const auto& [name, value] : pairs) {
    items.push_back(host::make_counted_text_item(host::kAttrDynamicName, name.data(),
                                                 static_cast<std::int64_t>(name.size())));
    items.push_back(host::make_text_item(host::kAttrDynamicValue, value));
  }
  check_output_status(c, host::ods_invoke(t, nullptr, host::kMethodSetDynamic, static_cast<int>(items.size()),
                                          items.data()));
}

// _SpanGroup_ (the population variable's name), _SpanEffect_ and _SpanCL_.
void set_span_dynamics(ProcContext& c, host::OdsObject* t, int type) {
  set_dynamic(c, t, "_SpanGroup_", std::string_view(c.group.name.text, static_cast<std::size_t>(c.group.name.length)));
  set_dynamic(c, t, "_SpanEffect_", message_text(effect_span_message(c, type)));
  set_dynamic(c, t, "_SpanCL_", span_text(c, type == kEffectDiff ? kMsgSpanNormal : kMsgSpanLognormal));
}

// _Pop1_ and _Pop2_: the two population values, each of the common width.
void set_population_dynamics(ProcContext& c, host::OdsObject* t) {
  set_dynamic(c, t, "_Pop1_", host::ods_make_string(c.levels[0].formatted, c.group.formatted_width));
  set_dynamic(c, t, "_Pop2_", host::ods_make_string(c.levels[1].formatted, c.group.formatted_width));
}

void define_rate_columns(ProcContext& c, host::OdsObject* t) {
  define_numeric_column(c, t, rate(c) ? "Rate" : "Risk", &c.row.estimate_crude);
  define_numeric_column(c, t, rate(c) ? "CompRate" : "CompRisk", &c.row.comparison);
}

void set_strata_effect_row(ProcContext& c, const StratumNode& node) {
  OutputRow& r = c.row;
  copy_stratum_key(c, node);
  r.estimate_crude = node.cell[0].estimate;
  r.comparison = node.cell[1].estimate;
  estimate::compute_stratum_effect(c, node, r.estimate, r.std_error, r.lower, r.upper);
  scale_rate(c, r.estimate_crude);
  scale_rate(c, r.comparison);
  if (c.strata_effect_type != kEffectDiff) return;
  for (double* value : {&r.estimate, &r.std_error, &r.lower, &r.upper}) scale_rate(c, *value);
}

// Every slot of the Effect row is written, so nothing of an earlier table
// shows through where the effect cannot be computed.
void set_effect_row(ProcContext& c) {
  const estimate::OverallEffect e = estimate::compute_overall_effect(c);
  OutputRow& r = c.row;
  r.estimate_crude = e.first;
  r.comparison = e.second;
  r.estimate = e.effect;
  r.std_error = e.std_error;
  r.lower = e.lower;
  r.upper = e.upper;
  r.log_ratio = e.log_ratio;
  r.z = e.z;
  r.p = e.p;
  scale_rate(c, r.estimate_crude);
  scale_rate(c, r.comparison);
  if (c.effect_type != kEffectDiff) return;
  for (double* value : {&r.estimate, &r.std_error, &r.lower, &r.upper}) scale_rate(c, *value);
}

}  // namespace

void define_strata_effect_template(ProcContext& c) {
  const int type = c.strata_effect_type == kEffectDiff ? kEffectDiff : kEffectRatio;
  host::OdsText* header = header_text(c, kMsgRateStrataEffect, kMsgRiskStrataEffect);
  host::OdsObject* t = create_template(c, kStrataName, header);
  c.tables.strata_effect = t;
  if (t == nullptr) return;
  set_dynamic(c, t, "_StrataEffectHeader_", header);
  set_dynamic(c, t, "_StatStart_", rate(c) ? "Rate" : "Risk");
  set_dynamic(c, t, "_StatEnd_", rate(c) ? "CompRate" : "CompRisk");
  set_span_dynamics(c, t, type);
  set_population_dynamics(c, t);
  define_rate_mult_column(c, t);
  define_stratum_index_column(c, t);
  define_strata_columns(c, t, true);
  define_rate_columns(c, t);
  define_numeric_column(c, t, effect_column(c, type), &c.row.estimate);
  if (type == kEffectDiff) define_numeric_column(c, t, "StdErr", &c.row.std_error);
  define_numeric_column(c, t, "LowerCL", &c.row.lower);
  define_numeric_column(c, t, "UpperCL", &c.row.upper);
  end_definition(c, t);
}

void define_effect_template(ProcContext& c) {
  const int type = c.effect_type == kEffectDiff ? kEffectDiff : kEffectRatio;
  host::OdsText* header = header_text(c, kMsgRateEffect, kMsgRiskEffect);
  host::OdsObject* t = create_template(c, kEffectName, header);
  c.tables.effect = t;
  if (t == nullptr) return;
  set_dynamics(c, t,
               {{"_EffectHeader_", header},
                {"_SpanStat_", message_text(rate(c) ? kMsgSpanRates : kMsgSpanRisks)},
                {"_StatStart_", plain_text(rate(c) ? "Rate" : "Risk")},
                {"_StatEnd_", plain_text(rate(c) ? "CompRate" : "CompRisk")},
                {"_TestEffect_", message_text(rate(c) ? kMsgTestRates : kMsgTestRisks)},
                {"_LogRatio_", message_text(rate(c) ? kMsgLogRateRatio : kMsgLogRiskRatio)}});
  set_span_dynamics(c, t, type);
  set_dynamic(c, t, "_StartTest_", type == kEffectDiff ? "Z" : "LogRatio");
  set_population_dynamics(c, t);
  define_rate_mult_column(c, t);
  define_rate_columns(c, t);
  define_numeric_column(c, t, effect_column(c, type), &c.row.estimate);
  define_numeric_column(c, t, "LowerCL", &c.row.lower);
  define_numeric_column(c, t, "UpperCL", &c.row.upper);
  if (type == kEffectRatio) define_numeric_column(c, t, "LogRatio", &c.row.log_ratio);
  define_numeric_column(c, t, "StdErr", &c.row.std_error);
  define_numeric_column(c, t, "Z", &c.row.z);
  define_numeric_column(c, t, "ProbZ", &c.row.p);
  end_definition(c, t);
}

int produce_strata_effect_table(ProcContext& c) {
  define_strata_effect_template(c);
  host::OdsObject* t = c.tables.strata_effect;
  if (t == nullptr) return 0;
  open_table(c, t, kStrataName);
  for (const StratumNode* node = c.strata; node != nullptr; node = node->first) {
    set_strata_effect_row(c, *node);
    add_row(c, t);
  }
  close_table(c, t);
  return 0;
}

int produce_effect_table(ProcContext& c) {
  define_effect_template(c);
  host::OdsObject* t = c.tables.effect;
  if (t == nullptr) return 0;
  open_table(c, t, kEffectName);
  set_effect_row(c);
  add_row(c, t);
  close_table(c, t);
  return 0;
}

}  // namespace quilvar::tables
