// The AttrFraction table: the attributable fraction among the exposed and
// the population attributable fraction, each with its limits.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "quilvar/host/calls.hpp"
#include "quilvar/tables/table_framework.hpp"
#include "quilvar/tables/tables.hpp"

namespace quilvar::tables {

namespace {

constexpr std::string_view kName = "AttrFraction";
constexpr int kBuiltinAttrFraction = 29;
constexpr int kMsgHeader = 29;
constexpr int kMsgHeaderWithExposed = 30;
constexpr int kMsgSpanLimits = 61;
constexpr int kMsgTypeNormal = 97;
constexpr int kMsgTypeLognormal = 98;
constexpr int kMsgTypePoisson = 99;
constexpr int kMsgTypeLogComplement = 101;
constexpr int kMsgPopulationRate = 105;
constexpr int kMsgExposedRate = 106;
constexpr int kMsgPopulationRisk = 107;
constexpr int kMsgExposedRisk = 108;

bool rate(const ProcContext& c) { return c.statistic == kStatRate; }

int message_length(int number) {
  return static_cast<int>(host::host_get_message_text(host::kMessageSetProcedure, number).size());
}

// The type column holds the estimate's limit type or the log-complement
// text; under METHOD=MH the first row is always of the lognormal type.
int type_width(const ProcContext& c) {
  int width = c.cl_label_width;
  if (c.method == kMethodMh) width = std::max(width, message_length(kMsgTypeLognormal));
  return std::clamp(width, 1, kLabelCapacity);
}

// The exposed level is one of the population values, known only per BY group.
int exposed_width(const ProcContext& c) {
  return c.method == kMethodMh ? std::clamp(c.group.formatted_width, 1, kLongTextCapacity) : 1;
}

void set_exposed_text(ProcContext& c) {
  const AttrFractionResult& af = c.attr_fraction;
  std::fill(c.row.exposed_text, c.row.exposed_text + kLongTextCapacity, ' ');
  std::memcpy(c.row.exposed_text, af.exposed_label, static_cast<std::size_t>(std::max(0, af.exposed_label_length)));
}

void set_header(ProcContext& c, host::OdsObject* t) {
  const AttrFractionResult& af = c.attr_fraction;
  host::OdsText* header =
      c.method == kMethodMh
          ? host::ods_make_message_text(host::kMessageSetProcedure, kMsgHeaderWithExposed,
                                        {host::text_arg({af.exposed_label,
                                                         static_cast<std::size_t>(std::max(0, af.exposed_label_length))})})
          : message_text(kMsgHeader);
  set_dynamic(c, t, "_AttrFracHeader_", header);
}

// Row 1: the exposed fraction with the limits of the limit type (always the
// lognormal ones under METHOD=MH). Under METHOD=INDIRECT without limits the
// type is blank and the limits missing.
void set_exposed_row(ProcContext& c) {
  const AttrFractionResult& af = c.attr_fraction;
  OutputRow& r = c.row;
  copy_message_to_slot(r.parameter_text, kLabelCapacity, rate(c) ? kMsgExposedRate : kMsgExposedRisk);
  r.estimate = af.exposed;
  r.lower = r.upper = host::kMissing;
  std::fill(r.fraction_cl_text, r.fraction_cl_text + kLabelCapacity, ' ');
  const int type = c.method == kMethodMh ? kClLognormal : c.cl_type;
  if (type == kClLognormal) {
    copy_message_to_slot(r.fraction_cl_text, kLabelCapacity, kMsgTypeLognormal);
    r.lower = af.exposed_lognormal_lower;
    r.upper = af.exposed_lognormal_upper;
  } else if (type == kClNormal) {
    copy_message_to_slot(r.fraction_cl_text, kLabelCapacity, kMsgTypeNormal);
    r.lower = af.exposed_normal_lower;
    r.upper = af.exposed_normal_upper;
  } else if (type == kClPoisson) {
    copy_message_to_slot(r.fraction_cl_text, kLabelCapacity, kMsgTypePoisson);
    r.lower = af.exposed_poisson_lower;
    r.upper = af.exposed_poisson_upper;
  }
}

void set_population_row(ProcContext& c) {
  const AttrFractionResult& af = c.attr_fraction;
  OutputRow& r = c.row;
  copy_message_to_slot(r.parameter_text, kLabelCapacity, rate(c) ? kMsgPopulationRate : kMsgPopulationRisk);
  r.estimate = af.population;
  copy_message_to_slot(r.fraction_cl_text, kLabelCapacity, kMsgTypeLogComplement);
  r.lower = af.population_lower;
  r.upper = af.population_upper;
}

}  // namespace

void define_attr_fraction_template(ProcContext& c) {
  host::OdsObject* t = create_template(c, kName, host::ods_make_builtin_text(kBuiltinAttrFraction));
  c.tables.attr_fraction = t;
  if (t == nullptr) return;
  set_dynamic(c, t, "_SpanCL_", span_text(c, kMsgSpanLimits));
  define_text_column(c, t, "Parameter", c.row.parameter_text, std::clamp(c.statistic_label_width, 1, kLabelCapacity));
  define_text_column(c, t, "Exposed", c.row.exposed_text, exposed_width(c));
  define_numeric_column(c, t, "Estimate", &c.row.estimate);
  define_text_column(c, t, "Type", c.row.fraction_cl_text, type_width(c));
  define_numeric_column(c, t, "LowerCL", &c.row.lower);
  define_numeric_column(c, t, "UpperCL", &c.row.upper);
  end_definition(c, t);
}

int produce_attr_fraction_table(ProcContext& c) {
  host::OdsObject* t = c.tables.attr_fraction;
  if (t == nullptr) return 0;
  set_header(c, t);
  open_table(c, t, kName);
  set_exposed_text(c);
  set_exposed_row(c);
  add_row(c, t);
  set_population_row(c);
  add_row(c, t);
  close_table(c, t);
  return 0;
}

}  // namespace quilvar::tables
