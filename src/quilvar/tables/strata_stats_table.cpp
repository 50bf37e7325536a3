// The StrataStats table.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "quilvar/host/calls.hpp"
#include "quilvar/input/stratum_node.hpp"
#include "quilvar/tables/table_framework.hpp"
#include "quilvar/tables/tables.hpp"

namespace quilvar::tables {

namespace {

constexpr std::string_view kName = "StrataStats";
constexpr int kBuiltinDirect = 8;
constexpr int kBuiltinIndirect = 9;
constexpr int kBuiltinMh = 10;
constexpr int kMsgRiskHeaderDirect = 5;      // + 1 INDIRECT, + 2 MH
constexpr int kMsgRateHeaderDirect = 11;     // + 1 INDIRECT, + 2 MH
constexpr int kMsgReferenceText = 49;
constexpr int kMsgMhText = 50;

bool known(const ProcContext& c, int k) { return c.population.available[k] != 0; }

int method_offset(int method) { return method == kMethodDirect ? 0 : (method == kMethodIndirect ? 1 : 2); }

void set_header(ProcContext& c, host::OdsObject* t) {
  const int offset = method_offset(c.method);
  host::OdsText* header = c.statistic == kStatRate ? message_with_multiplier(c, kMsgRateHeaderDirect + offset)
                                                   : message_text(kMsgRiskHeaderDirect + offset);
  set_dynamic(c, t, "_StrataHeader_", header);
}

void set_population_span(ProcContext& c, host::OdsObject* t) {
  const bool rate = c.statistic == kStatRate;
  const std::string_view crude = rate ? "CrudeRate" : "CrudeRisk";
  if (c.method == kMethodIndirect && !known(c, kEventValue)) {
    set_dynamic(c, t, "PopStart", rate ? "PopTime" : "NObs");
    set_dynamic(c, t, "PopEnd", rate ? "PopTimeProp" : "NObsProp");
    return;
  }
  set_dynamic(c, t, "PopStart", known(c, kEventValue) ? std::string_view("ObservedEvents") : crude);
  set_dynamic(c, t, "PopEnd", c.strata_cl_type != kClNone ? std::string_view("UpperCL") : crude);
}

void set_reference_span(ProcContext& c, host::OdsObject* t) {
  const bool rate = c.statistic == kStatRate;
  if (c.method == kMethodDirect) {
    set_dynamic(c, t, "RefText", message_text(kMsgReferenceText));
    set_dynamic(c, t, "RefEnd", "ExpectedEvents");
    set_dynamic(c, t, "RefStart", rate ? "RefPopTime" : "RefNObs");
  } else if (c.method == kMethodMh) {
    set_dynamic(c, t, "RefText", message_text(kMsgMhText));
    set_dynamic(c, t, "RefStart", "MHWeight");
    set_dynamic(c, t, "RefEnd", "ExpectedEvents");
  } else {
    // The reference totals come first and the reference estimate last; when
    // there are no totals the span covers the estimate alone.
    const std::string_view estimate = rate ? "RefCrudeRate" : "RefCrudeRisk";
    const bool totals = !host::is_missing(c.total_reference_population);
    set_dynamic(c, t, "RefText", message_text(kMsgReferenceText));
    set_dynamic(c, t, "RefStart", totals ? std::string_view(rate ? "RefPopTime" : "RefNObs") : estimate);
    set_dynamic(c, t, "RefEnd", estimate);
  }
}

void define_population_columns(ProcContext& c, host::OdsObject* t) {
  const bool rate = c.statistic == kStatRate;
  if (known(c, kEventValue)) define_numeric_column(c, t, "ObservedEvents", &c.row.events);
  if (known(c, kTotalValue)) {
    define_numeric_column(c, t, rate ? "PopTime" : "NObs", &c.row.population);
    define_numeric_column(c, t, rate ? "PopTimeProp" : "NObsProp", &c.row.proportion);
  }
  if (known(c, kRateValue)) define_numeric_column(c, t, rate ? "CrudeRate" : "CrudeRisk", &c.row.estimate_crude);
  if (c.strata_cl_type == kClNormal) define_numeric_column(c, t, "StdErr", &c.row.std_error);
  if (c.strata_cl_type != kClNone) {
    define_text_column(c, t, "Type", c.row.strata_cl_text, c.strata_cl_label.length);
    define_numeric_column(c, t, "LowerCL", &c.row.lower);
    define_numeric_column(c, t, "UpperCL", &c.row.upper);
  }
}

void define_reference_columns(ProcContext& c, host::OdsObject* t) {
  const bool rate = c.statistic == kStatRate;
  const auto totals = [&] {
    define_numeric_column(c, t, rate ? "RefPopTime" : "RefNObs", &c.row.reference_population);
    define_numeric_column(c, t, rate ? "RefPopTimeProp" : "RefNObsProp", &c.row.reference_proportion);
  };
  if (c.method == kMethodDirect) {
    totals();
  } else if (c.method == kMethodMh) {
    define_numeric_column(c, t, "MHWeight", &c.row.reference_population);
  } else {
    if (!host::is_missing(c.total_reference_population)) totals();
    define_numeric_column(c, t, rate ? "RefCrudeRate" : "RefCrudeRisk", &c.row.reference_estimate);
  }
}

// Fills the row slots from stratum node and its population cell k.
void set_stratum_row(ProcContext& c, const StratumNode& node, int k) {
  const PopulationCell& cell = node.cell[k];
  OutputRow& r = c.row;
  copy_stratum_key(c, node);
  r.events = cell.events;
  r.population = cell.population;
  r.estimate_crude = cell.estimate;
  r.std_error = cell.std_error;
  r.lower = cell.lower;
  r.upper = cell.upper;
  r.expected = cell.expected;
  r.proportion = cell.proportion;
  r.reference_population = node.reference_population;
  r.reference_estimate = node.reference_rate;
  r.reference_proportion = node.reference_proportion;
  for (double* rate : {&r.estimate_crude, &r.std_error, &r.lower, &r.upper, &r.reference_estimate}) scale_rate(c, *rate);
}

void add_population_rows(ProcContext& c, host::OdsObject* t, int k) {
  copy_population_value(c, k);
  for (const StratumNode* node = c.strata; node != nullptr; node = node->first) {
    set_stratum_row(c, *node, k);
    add_row(c, t);
  }
}

}  // namespace

void define_strata_stats_template(ProcContext& c) {
  const int builtin = c.method == kMethodDirect ? kBuiltinDirect : (c.method == kMethodIndirect ? kBuiltinIndirect : kBuiltinMh);
  host::OdsObject* t = create_template(c, kName, host::ods_make_builtin_text(builtin));
  c.tables.strata_stats = t;
  if (t == nullptr) return;
  set_header(c, t);
  set_population_span(c, t);
  set_span_cl(c, t, c.strata_cl_type);
  set_reference_span(c, t);
  std::fill(c.row.method_text, c.row.method_text + kLabelCapacity, ' ');
  std::memcpy(c.row.method_text, c.method_label.text, static_cast<std::size_t>(c.method_label.length));
  std::memcpy(c.row.strata_cl_text, c.strata_cl_label.text, static_cast<std::size_t>(c.strata_cl_label.length));
  define_text_column(c, t, "Method", c.row.method_text, c.method_label.length);
  define_rate_mult_column(c, t);
  define_population_column(c, t);
  define_stratum_index_column(c, t);
  define_strata_columns(c, t, false);
  define_population_columns(c, t);
  define_reference_columns(c, t);
  define_numeric_column(c, t, "ExpectedEvents", &c.row.expected);
  end_definition(c, t);
}

int produce_strata_stats_table(ProcContext& c) {
  define_strata_stats_template(c);
  host::OdsObject* t = c.tables.strata_stats;
  if (t == nullptr) return 0;
  open_table(c, t, kName);
  for (int k = 0; k < c.population_count; ++k) add_population_rows(c, t, k);
  close_table(c, t);
  return 0;
}

int produce_strata_stats_table_indirect(ProcContext& c) {
  define_strata_stats_template(c);
  host::OdsObject* t = c.tables.strata_stats;
  if (t == nullptr) return 0;
  open_table(c, t, kName);
  add_population_rows(c, t, 0);
  close_table(c, t);
  return 0;
}

}  // namespace quilvar::tables
