// The stratum axis of the plots: tick labels from the strata values, the
// axis heading, the axis extent and the limit labels.
#include "quilvar/plots/stratum_axis.hpp"

#include <string_view>

#include "quilvar/entry/step_status.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/input/stratum_node.hpp"
#include "quilvar/plots/plots.hpp"
#include "quilvar/tables/table_framework.hpp"

namespace quilvar::plots {

namespace {

constexpr std::size_t kTickTextLimit = 32000;
constexpr int kMsgTicksTooLong = 166;
constexpr int kMsgIndexHeading = 45;
constexpr int kMsgSpanNormal = 62;
constexpr int kMsgSpanLognormal = 64;
constexpr int kMsgSpanPoisson = 65;
constexpr double kSeriesOffset = 1.5;   // × XMin: how far the series of one stratum stand apart
constexpr char kQuote = '\'';

// A formatted value without its leading and trailing blanks.
std::string_view trimmed(const char* text, int width) {
  std::string_view value(text, static_cast<std::size_t>(width));
  const std::size_t first = value.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return value.substr(first, value.find_last_not_of(' ') - first + 1);
}

std::string_view variable_name(const KeyVariable& variable) {
  return {variable.name.text, static_cast<std::size_t>(variable.name.length)};
}

}  // namespace

std::string stratum_tick_text(const ProcContext& c) {
  std::string text;
  for (const StratumNode* node = c.strata; node != nullptr; node = node->first) {
    text += kQuote;
    for (int i = 0; i < c.strata_count; ++i) {
      const KeyVariable& v = c.strata_variables[i];
      if (i > 0) text += ' ';
      text += trimmed(node->formatted_key + v.formatted_offset, v.formatted_width);
    }
    text += kQuote;
  }
  return text;
}

int build_stratum_ticks(ProcContext& c, host::OdsText** ticks) {
  const std::string text = stratum_tick_text(c);
  if (text.size() > kTickTextLimit) {
    host::host_issue_message(host::kMessageSetProcedure, kMsgTicksTooLong);
    raise_step_status(c, host::kStatusWarning);
    return 1;
  }
  *ticks = host::ods_make_string(text.data(), static_cast<std::int64_t>(text.size()));
  return 0;
}

// Without strata variables there are no values to label the ticks with, so
// the single stratum is shown by its index.
bool make_stratum_axis(ProcContext& c, StratumAxis& axis) {
  axis.ticks = nullptr;
  if (c.plot_label_mode != kLabelLevels || c.strata_count == 0) {
    axis.heading = tables::message_text(kMsgIndexHeading);
    return true;
  }
  if (build_stratum_ticks(c, &axis.ticks) != 0) return false;
  const std::string_view heading =
      c.strata_count == 1 ? variable_name(c.strata_variables[0])
                          : std::string_view(c.strata_heading.text, static_cast<std::size_t>(c.strata_heading.length));
  axis.heading = host::ods_make_string(heading.data(), static_cast<std::int64_t>(heading.size()));
  return true;
}

double axis_start(const ProcContext& c) { return c.plot_margin; }

double axis_end(const ProcContext& c) { return c.stratum_count + 1 - c.plot_margin; }

double stratum_position(const ProcContext& c, double index, int shift) {
  return index + shift * kSeriesOffset * c.plot_margin;
}

void set_axis_variables(PlotData& plot, const StratumAxis& axis) {
  const ProcContext& c = *plot.context;
  set_number(plot, "_TMax", c.stratum_count);
  set_number(plot, "_XMin", axis_start(c));
  set_number(plot, "_XMax", axis_end(c));
  if (axis.ticks != nullptr) set_text(plot, "_XTicks", axis.ticks);
  set_text(plot, "_XLabel", axis.heading);
}

void set_limit_variables(PlotData& plot, int cl_type) {
  const int number = cl_type == kClLognormal ? kMsgSpanLognormal : (cl_type == kClPoisson ? kMsgSpanPoisson : kMsgSpanNormal);
  set_number(plot, "_Cl", 1);
  set_text(plot, "_ClLabel", tables::span_text(*plot.context, number));
}

}  // namespace quilvar::plots
