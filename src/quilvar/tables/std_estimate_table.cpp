// The standardized estimate table (Quilvar for rates, StdRisk for risks):
// one row per study population with its totals, the standardized estimate,
// its standard error and limits.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

#include "quilvar/entry/step_status.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/tables/table_framework.hpp"
#include "quilvar/tables/tables.hpp"

namespace quilvar::tables {

namespace {

constexpr std::string_view kRateName = "Quilvar";
constexpr std::string_view kRiskName = "StdRisk";
constexpr int kBuiltinRates = 16;
constexpr int kBuiltinRisks = 17;
constexpr int kMsgRateHeaderDirect = 19;   // + 1 MH, + 2 INDIRECT
constexpr int kMsgRiskHeaderDirect = 22;   // + 1 MH, + 2 INDIRECT
constexpr int kMsgReferenceText = 49;
constexpr int kMsgMhText = 50;
constexpr int kMsgNoIndirectRate = 164;
constexpr int kMsgNoIndirectRisk = 165;

bool rate(const ProcContext& c) { return c.statistic == kStatRate; }
std::string_view table_name(const ProcContext& c) { return rate(c) ? kRateName : kRiskName; }

int header_offset(int method) { return method == kMethodDirect ? 0 : (method == kMethodMh ? 1 : 2); }

void set_dynamics(ProcContext& c, host::OdsObject* t) {
  const int offset = header_offset(c.method);
  set_dynamic(c, t, "_StdEstHeader_",
              rate(c) ? message_with_multiplier(c, kMsgRateHeaderDirect + offset) : message_text(kMsgRiskHeaderDirect + offset));
  set_dynamic(c, t, "PopStart", "ObservedEvents");
  set_dynamic(c, t, "PopEnd", rate(c) ? "CrudeRate" : "CrudeRisk");
  if (c.method != kMethodIndirect) {
    set_dynamic(c, t, "RefText", message_text(c.method == kMethodDirect ? kMsgReferenceText : kMsgMhText));
    set_dynamic(c, t, "RefStart", "ExpectedEvents");
    const std::string_view end = c.method == kMethodMh ? "MHWeight" : (rate(c) ? "RefPopTime" : "RefNObs");
    set_dynamic(c, t, "RefEnd", end);
  }
  set_dynamic(c, t, "_StdEstEnd", c.cl_type != kClNone ? std::string_view("UpperCL") : table_name(c));
  set_span_cl(c, t, c.cl_type);
}

void define_columns(ProcContext& c, host::OdsObject* t) {
  define_text_column(c, t, "Method", c.row.method_text, std::max<int>(1, c.method_label.length));
  define_rate_mult_column(c, t);
  define_population_column(c, t);
  define_numeric_column(c, t, "ObservedEvents", &c.row.events);
  define_numeric_column(c, t, rate(c) ? "PopTime" : "NObs", &c.row.population);
  define_numeric_column(c, t, rate(c) ? "CrudeRate" : "CrudeRisk", &c.row.estimate_crude);
  if (c.method == kMethodIndirect) {
    define_numeric_column(c, t, rate(c) ? "RefCrudeRate" : "RefCrudeRisk", &c.row.reference_estimate);
  }
  define_numeric_column(c, t, "ExpectedEvents", &c.row.expected);
  if (c.method == kMethodDirect) define_numeric_column(c, t, rate(c) ? "RefPopTime" : "RefNObs", &c.row.reference_population);
  if (c.method == kMethodMh) define_numeric_column(c, t, "MHWeight", &c.row.reference_population);
  if (c.method == kMethodIndirect) define_numeric_column(c, t, "Smr", &c.row.smr);
  define_numeric_column(c, t, table_name(c), &c.row.standardized);
  if (c.cl_type == kClNormal) define_numeric_column(c, t, "StdErr", &c.row.standardized_std_error);
  if (c.cl_type != kClNone) {
    define_text_column(c, t, "Type", c.row.cl_text, std::max<int>(1, c.cl_label.length));
    define_numeric_column(c, t, "LowerCL", &c.row.lower);
    define_numeric_column(c, t, "UpperCL", &c.row.upper);
  }
}

void copy_label(char* slot, const ShortText& label) {
  std::fill(slot, slot + kLabelCapacity, ' ');
  std::memcpy(slot, label.text, static_cast<std::size_t>(label.length));
}

// The limits of population k's StdEstimate for the limit type.
void set_direct_limits(const ProcContext& c, const StdEstimate& e, OutputRow& r) {
  r.lower = r.upper = host::kMissing;
  switch (c.cl_type) {
    case kClNormal: r.lower = e.normal_lower; r.upper = e.normal_upper; break;
    case kClLognormal: r.lower = e.lognormal_lower; r.upper = e.lognormal_upper; break;
    case kClGammaConservative: r.lower = e.gamma_lower; r.upper = e.gamma_upper_largest; break;
    case kClGammaAverage: r.lower = e.gamma_lower; r.upper = e.gamma_upper_mean; break;
    default: break;
  }
}

void set_indirect_limits(const ProcContext& c, const SmrResult& s, OutputRow& r) {
  r.lower = r.upper = host::kMissing;
  switch (c.cl_type) {
    case kClNormal: r.lower = s.standardized_normal_lower; r.upper = s.standardized_normal_upper; break;
    case kClLognormal: r.lower = s.standardized_lognormal_lower; r.upper = s.standardized_lognormal_upper; break;
    case kClPoisson: r.lower = s.standardized_poisson_lower; r.upper = s.standardized_poisson_upper; break;
    default: break;
  }
}

void scale_rates(const ProcContext& c, OutputRow& r) {
  for (double* value : {&r.estimate_crude, &r.reference_estimate, &r.standardized, &r.standardized_std_error, &r.lower,
                        &r.upper}) {
    scale_rate(c, *value);
  }
}

void set_population_row(ProcContext& c, int k) {
  OutputRow& r = c.row;
  copy_population_value(c, k);
  r.events = c.total_events[k];
  r.population = c.total_population[k];
  r.estimate_crude = c.overall_estimate[k];
  r.expected = c.total_expected[k];
  r.reference_population = c.method == kMethodDirect ? c.reference_population_for[k] : c.total_reference_population;
  r.standardized = c.std_estimates[k].estimate;
  r.standardized_std_error = c.std_estimates[k].std_error;
  set_direct_limits(c, c.std_estimates[k], r);
  scale_rates(c, r);
}

void set_indirect_row(ProcContext& c) {
  const SmrResult& s = c.smr_result;
  OutputRow& r = c.row;
  r.events = c.total_events[0];
  r.population = c.total_population[0];
  r.estimate_crude = c.overall_estimate[0];
  r.expected = c.total_expected[0];
  r.reference_estimate = c.reference_estimate;
  r.smr = s.smr;
  r.standardized = s.standardized;
  r.standardized_std_error = host::is_missing(s.standardized_variance) ? host::kMissing : std::sqrt(s.standardized_variance);
  set_indirect_limits(c, s, r);
  scale_rates(c, r);
}

}  // namespace

void define_std_estimate_template(ProcContext& c) {
  const int builtin = rate(c) ? kBuiltinRates : kBuiltinRisks;
  host::OdsObject* t = create_template(c, table_name(c), host::ods_make_builtin_text(builtin));
  c.tables.std_estimate = t;
  if (t == nullptr) return;
  set_dynamics(c, t);
  copy_label(c.row.method_text, c.method_label);
  copy_label(c.row.cl_text, c.cl_label);
  define_columns(c, t);
  end_definition(c, t);
}

int produce_std_estimate_table(ProcContext& c) {
  define_std_estimate_template(c);
  host::OdsObject* t = c.tables.std_estimate;
  if (t == nullptr) return 0;
  open_table(c, t, table_name(c));
  for (int k = 0; k < c.population_count; ++k) {
    set_population_row(c, k);
    add_row(c, t);
  }
  close_table(c, t);
  return 0;
}

int produce_std_estimate_table_indirect(ProcContext& c) {
  if (host::is_missing(c.smr_result.standardized)) {
    // A risk above 1 (908-169) and a step without population events
    // (908-187) were reported with their cause; the general warning would
    // add advice about expected events and the reference estimate.
    if (c.smr_result.risk_above_one || c.indirect_without_events) return 0;
    host::host_issue_message(host::kMessageSetProcedure, rate(c) ? kMsgNoIndirectRate : kMsgNoIndirectRisk);
    raise_step_status(c, host::kStatusWarning);
    return 0;
  }
  define_std_estimate_template(c);
  host::OdsObject* t = c.tables.std_estimate;
  if (t == nullptr) return 0;
  open_table(c, t, table_name(c));
  set_indirect_row(c);
  add_row(c, t);
  close_table(c, t);
  return 0;
}

}  // namespace quilvar::tables
