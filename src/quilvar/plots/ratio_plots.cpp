// The stratum SMR plot and the stratum effect plot: one estimate with its
// limits per stratum, around a reference value (1 for ratios, 0 for
// differences).
#include <array>

#include "quilvar/estimate/effects.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/input/stratum_node.hpp"
#include "quilvar/plots/plot_data.hpp"
#include "quilvar/plots/plots.hpp"
#include "quilvar/plots/stratum_axis.hpp"
#include "quilvar/tables/table_framework.hpp"

namespace quilvar::plots {

namespace {

using host::is_missing;

constexpr int kBuiltinSmrPlot = 42;
constexpr int kBuiltinSmrDescription = 43;
constexpr int kBuiltinSmrData = 44;
constexpr int kBuiltinEffectDescription = 40;
constexpr int kBuiltinEffectData = 41;
constexpr int kMsgRateDifferenceAxis = 84;

constexpr PlotColumn kStratumIndex{"StratumIndex", ColumnKind::kNumber, &PlotRow::stratum_index};
constexpr PlotColumn kEstimate{"Est", ColumnKind::kNumber, &PlotRow::estimate};
constexpr PlotColumn kLower{"LowerCL", ColumnKind::kNumber, &PlotRow::lower};
constexpr PlotColumn kUpper{"UpperCL", ColumnKind::kNumber, &PlotRow::upper};
constexpr PlotColumn kXRef{"XRef", ColumnKind::kNumber, &PlotRow::x_reference};
constexpr PlotColumn kYRef{"YRef", ColumnKind::kNumber, &PlotRow::y_reference};

constexpr std::array kSmrColumns{kStratumIndex, kEstimate, kLower, kUpper};
constexpr std::array kEffectColumns{kStratumIndex, kEstimate, kLower, kUpper, kXRef, kYRef};

// The texts of the effect plot by statistic and effect type; _YLabel of a
// rate difference is message 84 with the multiplier (builtin 0 here).
struct EffectTexts {
  int statistic;
  int effect;
  int plot_label;
  int y_label;
  int effect_label;
  int title_label;
};
constexpr std::array kEffectTexts{
    EffectTexts{kStatRate, kEffectDiff, 36, 0, 91, 83},
    EffectTexts{kStatRate, kEffectRatio, 37, 86, 93, 86},
    EffectTexts{kStatRisk, kEffectDiff, 38, 85, 92, 85},
    EffectTexts{kStatRisk, kEffectRatio, 39, 87, 94, 87},
};

const EffectTexts& effect_texts(int statistic, int effect) {
  for (const EffectTexts& texts : kEffectTexts) {
    if (texts.statistic == statistic && texts.effect == effect) return texts;
  }
  return kEffectTexts[1];
}

// An estimate with its limits, one row each, in a stratum's place.
void add_estimate_rows(PlotData& plot, double index, double estimate, double lower, double upper) {
  add_blank_row(plot);
  plot.row.stratum_index = index;
  plot.row.estimate = estimate;
  add_plot_row(plot);
  add_blank_row(plot);
  plot.row.stratum_index = index;
  plot.row.lower = lower;
  plot.row.upper = upper;
  add_plot_row(plot);
  add_blank_row(plot);
}

// The stratum effect of the plot's own effect type, which may differ from
// the one the stratum effect table uses: compute_stratum_effect takes the
// context's stratum effect type, so it is set for the call.
void plot_stratum_effect(ProcContext& c, const StratumNode& node, double values[4]) {
  const int table_type = c.strata_effect_type;
  c.strata_effect_type = c.effect_plot_type;
  estimate::compute_stratum_effect(c, node, values[0], values[1], values[2], values[3]);
  c.strata_effect_type = table_type;
}

// The effect of the overall crude estimates, where the reference line goes;
// missing when either is missing, or for a ratio when the second is not
// above 0.
double overall_crude_effect(const ProcContext& c, bool difference) {
  const double first = c.overall_estimate[0];
  const double second = c.overall_estimate[1];
  if (is_missing(first) || is_missing(second)) return host::kMissing;
  if (!difference) return second > 0 ? first / second : host::kMissing;
  double value = first - second;
  tables::scale_rate(c, value);
  return value;
}

void set_effect_variables(PlotData& plot, const EffectTexts& texts, const StratumAxis& axis) {
  const ProcContext& c = *plot.context;
  set_text(plot, "_YLabel", texts.y_label == 0 ? tables::message_with_multiplier(c, kMsgRateDifferenceAxis)
                                               : host::ods_make_builtin_text(texts.y_label));
  set_text(plot, "_Effect", host::ods_make_builtin_text(texts.effect_label));
  set_text(plot, "_TLabel", host::ods_make_builtin_text(texts.title_label));
  set_number(plot, "_Ratio", texts.effect == kEffectRatio ? 1 : 0);
  set_axis_variables(plot, axis);
  set_limit_variables(plot, texts.effect == kEffectDiff ? kClNormal : kClLognormal);
}

void add_effect_rows(PlotData& plot, bool difference) {
  ProcContext& c = *plot.context;
  add_single_value_rows(plot, {{&PlotRow::stratum_index, axis_start(c)},
                               {&PlotRow::estimate, difference ? 0.0 : 1.0},
                               {&PlotRow::stratum_index, axis_end(c)}});
  for (const StratumNode* node = c.strata; node != nullptr; node = node->first) {
    double values[4];
    plot_stratum_effect(c, *node, values);
    if (difference) {
      for (double& value : values) tables::scale_rate(c, value);
    }
    add_estimate_rows(plot, node->index, values[0], values[2], values[3]);
  }
  const double reference = overall_crude_effect(c, difference);
  if (!is_missing(reference)) add_reference_line(plot, axis_start(c), axis_end(c), reference);
}

}  // namespace

int produce_smr_plot(ProcContext& c) {
  StratumAxis axis{};
  if (!make_stratum_axis(c, axis)) return 1;
  const GraphSpec spec{"SmrPhantom", kBuiltinSmrData, "StrataSMRPlot", host::ods_make_builtin_text(kBuiltinSmrPlot),
                       host::ods_make_builtin_text(kBuiltinSmrDescription)};
  PlotData plot{};
  if (!begin_plot(c, plot, spec, kSmrColumns, 1)) return 1;
  set_axis_variables(plot, axis);
  set_limit_variables(plot, c.smr_plot_cl_type);
  if (!open_plot(plot, spec)) return 1;
  add_single_value_rows(plot, {{&PlotRow::stratum_index, axis_start(c)},
                               {&PlotRow::estimate, 1.0},
                               {&PlotRow::stratum_index, axis_end(c)}});
  for (const StratumNode* node = c.strata; node != nullptr; node = node->first) {
    add_estimate_rows(plot, node->index, node->smr, node->smr_lower, node->smr_upper);
  }
  finish_plot(plot, spec);
  return 0;
}

int produce_effect_plot(ProcContext& c) {
  if (c.population_count != 2 || c.effect_plot_type == kEffectNone) return 1;
  StratumAxis axis{};
  if (!make_stratum_axis(c, axis)) return 1;
  const EffectTexts& texts = effect_texts(c.statistic, c.effect_plot_type);
  const GraphSpec spec{"EffectPhantom", kBuiltinEffectData, "StrataEffectPlot",
                       host::ods_make_builtin_text(texts.plot_label),
                       host::ods_make_builtin_text(kBuiltinEffectDescription)};
  PlotData plot{};
  if (!begin_plot(c, plot, spec, kEffectColumns, 1)) return 1;
  set_effect_variables(plot, texts, axis);
  if (!open_plot(plot, spec)) return 1;
  add_effect_rows(plot, texts.effect == kEffectDiff);
  finish_plot(plot, spec);
  return 0;
}

}  // namespace quilvar::plots
