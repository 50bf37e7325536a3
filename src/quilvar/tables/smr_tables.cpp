// The SMR tables of METHOD=INDIRECT: StrataSMR, one row per stratum, and
// Smr, the overall SMR with its limits and test.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

#include "quilvar/host/calls.hpp"
#include "quilvar/tables/table_framework.hpp"
#include "quilvar/tables/tables.hpp"

namespace quilvar::tables {

namespace {

constexpr std::string_view kStrataName = "StrataSMR";
constexpr std::string_view kSmrName = "Smr";
constexpr int kBuiltinStrataSmr = 14;
constexpr int kBuiltinSmr = 18;
constexpr int kMsgRiskStrataHeader = 14;
constexpr int kMsgRateStrataHeader = 15;
constexpr int kMsgTypeNormal = 97;
constexpr int kMsgTypeLognormal = 98;
constexpr int kMsgTypePoisson = 99;

bool rate(const ProcContext& c) { return c.statistic == kStatRate; }

void define_strata_smr_dynamics(ProcContext& c, host::OdsObject* t) {
  if (rate(c)) {
    set_dynamic(c, t, "_StrataSmrHeader_", message_with_multiplier(c, kMsgRateStrataHeader));
    set_dynamic(c, t, "PopEnd", "PopTime");
  } else {
    set_dynamic(c, t, "_StrataSmrHeader_", message_text(kMsgRiskStrataHeader));
    set_dynamic(c, t, "PopEnd", "NObs");
  }
  set_dynamic(c, t, "_SmrEnd", c.strata_smr_cl_type != kClNone ? "SmrUcl" : "Smr");
  set_span_cl(c, t, c.strata_smr_cl_type);
}

void define_strata_smr_columns(ProcContext& c, host::OdsObject* t) {
  define_rate_mult_column(c, t);
  define_stratum_index_column(c, t);
  define_strata_columns(c, t, true);
  define_numeric_column(c, t, "ObservedEvents", &c.row.events);
  define_numeric_column(c, t, rate(c) ? "PopTime" : "NObs", &c.row.population);
  define_numeric_column(c, t, rate(c) ? "RefCrudeRate" : "RefCrudeRisk", &c.row.reference_estimate);
  define_numeric_column(c, t, "ExpectedEvents", &c.row.expected);
  define_numeric_column(c, t, "Smr", &c.row.smr);
  if (c.strata_smr_cl_type == kClNone) return;
  if (c.strata_smr_cl_type == kClNormal) define_numeric_column(c, t, "StdErr", &c.row.std_error);
  define_text_column(c, t, "Type", c.row.strata_smr_cl_text, std::max<int>(1, c.strata_smr_cl_label.length));
  define_numeric_column(c, t, "SmrLcl", &c.row.smr_lower);
  define_numeric_column(c, t, "SmrUcl", &c.row.smr_upper);
}

void define_smr_columns(ProcContext& c, host::OdsObject* t) {
  define_numeric_column(c, t, "ObservedEvents", &c.row.events);
  define_numeric_column(c, t, "ExpectedEvents", &c.row.expected);
  define_numeric_column(c, t, "Smr", &c.row.smr);
  if (c.cl_type == kClNone || c.cl_type == kClNormal) define_numeric_column(c, t, "StdErr", &c.row.smr_std_error);
  if (c.cl_type != kClNone) {
    define_text_column(c, t, "Type", c.row.cl_text, std::max<int>(1, c.cl_label.length));
    define_numeric_column(c, t, "SmrLcl", &c.row.smr_lower);
    define_numeric_column(c, t, "SmrUcl", &c.row.smr_upper);
  }
  if (c.cl_type == kClPoisson) {
    define_numeric_column(c, t, "pValue", &c.row.p);
  } else {
    define_numeric_column(c, t, "Z", &c.row.z);
    define_numeric_column(c, t, "ProbZ", &c.row.p);
  }
}

void set_strata_smr_row(ProcContext& c, const StratumNode& node) {
  OutputRow& r = c.row;
  copy_stratum_key(c, node);
  r.events = node.cell[0].events;
  r.population = node.cell[0].population;
  r.expected = node.cell[0].expected;
  r.reference_estimate = node.reference_rate;
  scale_rate(c, r.reference_estimate);
  r.smr = node.smr;
  r.std_error = node.smr_std_error;
  r.smr_lower = node.smr_lower;
  r.smr_upper = node.smr_upper;
}

// The Smr row: the SMR with the limits and test of the limit type.
void set_smr_row(ProcContext& c) {
  const SmrResult& s = c.smr_result;
  OutputRow& r = c.row;
  r.events = c.total_events[0];
  r.expected = c.total_expected[0];
  r.smr = s.smr;
  r.smr_std_error = host::is_missing(s.smr) || host::is_missing(s.variance) ? host::kMissing : std::sqrt(s.variance);
  r.z = s.z;
  r.p = s.p;
  r.smr_lower = r.smr_upper = host::kMissing;
  switch (c.cl_type) {
    case kClNormal:
      copy_message_to_slot(r.cl_text, kLabelCapacity, kMsgTypeNormal);
      r.smr_lower = s.normal_lower;
      r.smr_upper = s.normal_upper;
      break;
    case kClLognormal:
      copy_message_to_slot(r.cl_text, kLabelCapacity, kMsgTypeLognormal);
      r.smr_lower = s.lognormal_lower;
      r.smr_upper = s.lognormal_upper;
      r.z = s.z_log;
      r.p = s.p_log;
      break;
    case kClPoisson:
      copy_message_to_slot(r.cl_text, kLabelCapacity, kMsgTypePoisson);
      r.smr_lower = s.poisson_lower;
      r.smr_upper = s.poisson_upper;
      r.p = s.exact_p;
      break;
    default: break;
  }
}

}  // namespace

void define_strata_smr_template(ProcContext& c) {
  host::OdsObject* t = create_template(c, kStrataName, host::ods_make_builtin_text(kBuiltinStrataSmr));
  c.tables.strata_smr = t;
  if (t == nullptr) return;
  define_strata_smr_dynamics(c, t);
  define_strata_smr_columns(c, t);
  end_definition(c, t);
}

void define_smr_template(ProcContext& c) {
  host::OdsObject* t = create_template(c, kSmrName, host::ods_make_builtin_text(kBuiltinSmr));
  c.tables.smr = t;
  if (t == nullptr) return;
  set_span_cl(c, t, c.cl_type);
  define_smr_columns(c, t);
  end_definition(c, t);
}

int produce_strata_smr_table(ProcContext& c) {
  host::OdsObject* t = c.tables.strata_smr;
  if (t == nullptr) return 0;
  std::fill(c.row.strata_smr_cl_text, c.row.strata_smr_cl_text + kLabelCapacity, ' ');
  std::memcpy(c.row.strata_smr_cl_text, c.strata_smr_cl_label.text,
              static_cast<std::size_t>(c.strata_smr_cl_label.length));
  open_table(c, t, kStrataName);
  for (const StratumNode* node = c.strata; node != nullptr; node = node->first) {
    set_strata_smr_row(c, *node);
    add_row(c, t);
  }
  close_table(c, t);
  return 0;
}

int produce_smr_table(ProcContext& c) {
  host::OdsObject* t = c.tables.smr;
  if (t == nullptr) return 0;
  open_table(c, t, kSmrName);
  set_smr_row(c);
  add_row(c, t);
  close_table(c, t);
  return 0;
}

}  // namespace quilvar::tables
