// The stratum rate (or risk) plot and the population distribution plot:
// the series of each study population, and of the reference where it is
// shown, side by side at each stratum.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "quilvar/host/calls.hpp"
#include "quilvar/input/stratum_node.hpp"
#include "quilvar/plots/plot_data.hpp"
#include "quilvar/plots/plots.hpp"
#include "quilvar/plots/stratum_axis.hpp"
#include "quilvar/tables/table_framework.hpp"

namespace quilvar::plots {

namespace {

using host::kMissing;
using host::is_missing;

constexpr int kBuiltinRatePlot = 31;
constexpr int kBuiltinRateData = 32;
constexpr int kBuiltinRiskPlot = 33;
constexpr int kBuiltinDistPlot = 34;
constexpr int kBuiltinDistData = 35;
constexpr int kBuiltinRiskAxis = 55;
constexpr int kBuiltinProportionAxis = 88;
constexpr int kMsgRateAxis = 53;
constexpr double kProportionHeadroom = 1.2;

constexpr PlotColumn kStratumId{"StratumID", ColumnKind::kNumber, &PlotRow::stratum_id};
constexpr PlotColumn kStratumIndex{"StratumIndex", ColumnKind::kNumber, &PlotRow::stratum_index};
constexpr PlotColumn kPopulation{"Population", ColumnKind::kPopulation, nullptr};
constexpr PlotColumn kStudyPopulation{"Population1", ColumnKind::kStudyPopulation, nullptr};
constexpr PlotColumn kEstimate{"Est", ColumnKind::kNumber, &PlotRow::estimate};
constexpr PlotColumn kLower{"LowerCL", ColumnKind::kNumber, &PlotRow::lower};
constexpr PlotColumn kUpper{"UpperCL", ColumnKind::kNumber, &PlotRow::upper};
constexpr PlotColumn kXRef{"XRef", ColumnKind::kNumber, &PlotRow::x_reference};
constexpr PlotColumn kYRef{"YRef", ColumnKind::kNumber, &PlotRow::y_reference};
constexpr PlotColumn kPropLow{"Prop_l", ColumnKind::kNumber, &PlotRow::proportion_low};
constexpr PlotColumn kPropHigh{"Prop_u", ColumnKind::kNumber, &PlotRow::proportion_high};

constexpr std::array kRateColumns{kStratumId, kStratumIndex, kPopulation, kEstimate, kLower, kUpper, kXRef, kYRef};
constexpr std::array kRateColumnsIndirect{kStratumId, kStratumIndex, kPopulation, kStudyPopulation, kEstimate,
                                          kLower,     kUpper,        kXRef,       kYRef};
constexpr std::array kDistColumns{kStratumId, kStratumIndex, kPopulation, kPropLow, kPropHigh};

double scaled(const ProcContext& c, double value) {
  tables::scale_rate(c, value);
  return value;
}

std::string_view label_text(const LongText& label) {
  return {label.text, static_cast<std::size_t>(std::clamp<int>(label.length, 0, kLongTextCapacity))};
}

// The series name of study population k: its label. The renderer draws the
// rows of one name as one series, so two populations whose labels coincide
// (GROUP= values that differ only in leading blanks, which labels leave
// out, or only past a label's length) would share one colour, one marker
// and one legend entry. Their names then end in the population's number,
// which follows the order of the tables.
LongText series_label(const ProcContext& c, int k) {
  LongText label = c.population_label[k];
  if (c.population_count != 2 || label_text(c.population_label[0]) != label_text(c.population_label[1])) return label;
  const std::string suffix = " (" + std::to_string(k + 1) + ")";
  const int kept = std::min<int>(label.length, kLongTextCapacity - static_cast<int>(suffix.size()));
  std::memcpy(label.text + kept, suffix.data(), suffix.size());
  label.length = static_cast<std::int16_t>(kept + static_cast<int>(suffix.size()));
  return label;
}

// The population columns fit every series name, and the reference label
// when the reference is one of the plot's series.
int population_text_length(const ProcContext& c, bool with_reference) {
  int length = with_reference ? c.reference_label.length : 0;
  for (int k = 0; k < c.population_count; ++k) length = std::max<int>(length, series_label(c, k).length);
  return std::max(c.population_label_width, length);
}

// The series position of study population k: the first to the right of the
// stratum, the second to the left.
int study_shift(int k) { return k == 0 ? 1 : -1; }

// The estimates' range; missing when no estimate was present.
double smallest_estimate(const ProcContext& c) {
  return c.axis_minimum <= c.axis_maximum ? scaled(c, c.axis_minimum) : kMissing;
}
double largest_estimate(const ProcContext& c) {
  return c.axis_minimum <= c.axis_maximum ? scaled(c, c.axis_maximum) : kMissing;
}

void set_rate_variables(PlotData& plot, const StratumAxis& axis) {
  const ProcContext& c = *plot.context;
  const bool popn1 = c.method == kMethodIndirect && is_missing(c.reference_estimate);
  set_text(plot, "_Popn", popn1 ? "Population1" : "Population");
  set_number(plot, "_DStd", c.method != kMethodIndirect ? 1 : 0);
  set_number(plot, "_Mh", c.method == kMethodMh ? 1 : 0);
  set_text(plot, "_YLabel", c.statistic == kStatRate ? tables::message_with_multiplier(c, kMsgRateAxis)
                                                     : host::ods_make_builtin_text(kBuiltinRiskAxis));
  set_axis_variables(plot, axis);
  if (c.rate_plot_cl_type != kClNone) set_limit_variables(plot, c.rate_plot_cl_type);
}

void add_reference_series(PlotData& plot) {
  const ProcContext& c = *plot.context;
  set_population(plot, c.reference_label);
  for (const StratumNode* node = c.strata; node != nullptr; node = node->first) {
    plot.row.stratum_index = node->index;
    plot.row.stratum_id = stratum_position(c, node->index, -1);
    plot.row.estimate = scaled(c, node->reference_rate);
    add_plot_row(plot);
    add_blank_row(plot);
  }
  if (!is_missing(c.reference_estimate)) {
    add_reference_line(plot, axis_start(c), axis_end(c), scaled(c, c.reference_estimate));
  }
}

void add_study_series(PlotData& plot, int k) {
  const ProcContext& c = *plot.context;
  set_population(plot, series_label(c, k));
  for (const StratumNode* node = c.strata; node != nullptr; node = node->first) {
    const PopulationCell& cell = node->cell[k];
    const double position = stratum_position(c, node->index, study_shift(k));
    plot.row.stratum_index = node->index;
    plot.row.stratum_id = position;
    plot.row.estimate = scaled(c, cell.estimate);
    add_plot_row(plot);
    add_blank_row(plot);
    if (c.rate_plot_cl_type == kClNone) continue;
    plot.row.stratum_index = node->index;
    plot.row.stratum_id = position;
    plot.row.lower = scaled(c, cell.lower);
    plot.row.upper = scaled(c, cell.upper);
    add_plot_row(plot);
    add_blank_row(plot);
  }
  if (!is_missing(c.overall_estimate[k])) {
    add_reference_line(plot, axis_start(c), axis_end(c), scaled(c, c.overall_estimate[k]));
  }
}

void add_rate_rows(PlotData& plot) {
  const ProcContext& c = *plot.context;
  set_study_population(plot, c.population_label[0]);
  set_population(plot, c.population_label[0]);
  add_single_value_rows(plot, {{&PlotRow::stratum_id, axis_start(c)},
                               {&PlotRow::estimate, smallest_estimate(c)},
                               {&PlotRow::stratum_id, axis_end(c)},
                               {&PlotRow::estimate, largest_estimate(c)}});
  if (c.method == kMethodIndirect) add_reference_series(plot);
  for (int k = 0; k < c.population_count; ++k) add_study_series(plot, k);
}

// The second population stands left of the stratum without a reference
// series; with one, the reference takes the left and it the centre.
int dist_shift(const ProcContext& c, int k) {
  if (k == 0) return 1;
  return c.reference.data != nullptr ? 0 : -1;
}

void add_dist_series(PlotData& plot, const LongText& label, int shift, bool reference, int k) {
  const ProcContext& c = *plot.context;
  set_population(plot, label);
  for (const StratumNode* node = c.strata; node != nullptr; node = node->first) {
    plot.row.stratum_index = node->index;
    plot.row.stratum_id = stratum_position(c, node->index, shift);
    plot.row.proportion_low = 0;
    plot.row.proportion_high = reference ? node->reference_proportion : node->cell[k].proportion;
    add_plot_row(plot);
    add_blank_row(plot);
  }
}

void add_dist_rows(PlotData& plot) {
  const ProcContext& c = *plot.context;
  set_population(plot, c.population_label[0]);
  add_single_value_rows(plot, {{&PlotRow::stratum_id, axis_start(c)},
                               {&PlotRow::proportion_low, 0.0},
                               {&PlotRow::stratum_id, axis_end(c)},
                               {&PlotRow::proportion_low, kProportionHeadroom * c.largest_proportion}});
  for (int k = 0; k < c.population_count; ++k) add_dist_series(plot, series_label(c, k), dist_shift(c, k), false, k);
  if (c.reference.data != nullptr) add_dist_series(plot, c.reference_label, -1, true, 0);
}

}  // namespace

int produce_rate_plot(ProcContext& c) {
  StratumAxis axis{};
  if (!make_stratum_axis(c, axis)) return 1;
  const bool rate = c.statistic == kStatRate;
  host::OdsText* label = host::ods_make_builtin_text(rate ? kBuiltinRatePlot : kBuiltinRiskPlot);
  const GraphSpec spec{"RatePhantom", kBuiltinRateData, rate ? "StrataRatePlot" : "StrataRiskPlot", label, label};
  const bool indirect = c.method == kMethodIndirect;
  PlotData plot{};
  const std::span<const PlotColumn> columns = indirect ? std::span<const PlotColumn>(kRateColumnsIndirect)
                                                       : std::span<const PlotColumn>(kRateColumns);
  if (!begin_plot(c, plot, spec, columns, population_text_length(c, indirect))) return 1;
  set_rate_variables(plot, axis);
  if (!open_plot(plot, spec)) return 1;
  add_rate_rows(plot);
  finish_plot(plot, spec);
  return 0;
}

int produce_dist_plot(ProcContext& c) {
  StratumAxis axis{};
  if (!make_stratum_axis(c, axis)) return 1;
  host::OdsText* label = host::ods_make_builtin_text(kBuiltinDistPlot);
  const GraphSpec spec{"DistPhantom", kBuiltinDistData, "StrataDistPlot", label, label};
  PlotData plot{};
  if (!begin_plot(c, plot, spec, kDistColumns, population_text_length(c, c.reference.data != nullptr))) return 1;
  set_number(plot, "_Popn", c.method == kMethodIndirect && is_missing(c.reference_estimate) ? 0 : 1);
  set_number(plot, "_Mh", c.method == kMethodMh ? 1 : 0);
  set_text(plot, "_YLabel", host::ods_make_builtin_text(kBuiltinProportionAxis));
  set_axis_variables(plot, axis);
  if (!open_plot(plot, spec)) return 1;
  add_dist_rows(plot);
  finish_plot(plot, spec);
  return 0;
}

}  // namespace quilvar::plots
