// Option resolution: method, statistic, limits, effects, stratum options,
// plots, multipliers and the label texts. The data sets and variables are
// resolved in resolve_data_sets.cpp.
#include "quilvar/syntax/resolve_options.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "quilvar/entry/step_status.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/host/text.hpp"
#include "quilvar/numeric/chi_square_quantile.hpp"
#include "quilvar/syntax/option_names.hpp"
#include "quilvar/syntax/parse_codes.hpp"
#include "quilvar/syntax/parse_result.hpp"
#include "quilvar/syntax/parse_step.hpp"
#include "quilvar/syntax/resolve_data_sets.hpp"

namespace quilvar::syntax {

namespace {

using host::text_arg;

constexpr double kDefaultAlpha = 0.05;
constexpr int kDefaultMultiplier = 100000;
constexpr int kDefaultMultiplierExponent = 5;
constexpr double kLargestMultiplier = 2147483647.0;
constexpr double kPlotMargin = 0.1;
// An ALPHA= value at or above this gives limits at a level of 50% or less.
constexpr double kLowestSuspectAlpha = 0.5;

bool flag(const ProcContext& c, int n) { return syntax::flag(*c.parse_result, n); }

std::string_view method_option(const ProcContext& c) {
  return c.method == kMethodDirect ? kOptDirect : (c.method == kMethodMh ? kOptMh : kOptIndirect);
}

void resolve_statistic_and_method(ProcContext& c) {
  c.statistic = flag(c, kFlagRisk) ? kStatRisk : kStatRate;
  if (flag(c, kFlagDirect)) c.method = kMethodDirect;
  else if (flag(c, kFlagIndirect)) c.method = kMethodIndirect;
  else if (flag(c, kFlagMh)) c.method = kMethodMh;
  else stop(kMsgNoMethod, host::kStatusStatementError);
  c.population_count = 1;
}

void resolve_alpha(ProcContext& c) {
  c.missing_levels = flag(c, kFlagStrataMissing) ? 1 : 0;
  c.variance_divisor = flag(c, kFlagVarianceDivisor) ? 1 : 0;
  c.alpha = kDefaultAlpha;
  const NumberSlot alpha = number_slot(*c.parse_result, kSlotAlpha);
  if (!alpha.given) return;
  c.alpha = alpha.value;
  if (!(c.alpha > 0.0 && c.alpha < 1.0)) stop(kMsgAlphaRange, host::kStatusStatementError, {text_arg(kOptAlpha)});
  // ALPHA=0.95 is most likely the confidence level written in its place:
  // it is kept as given, but the log says what level it gives.
  if (c.alpha >= kLowestSuspectAlpha) {
    note(kMsgAlphaAsLevel, {host::number_arg(c.alpha), host::number_arg(confidence_percent(c.alpha))});
  }
}

void resolve_estimate_cl(ProcContext& c) {
  c.cl_type = kClNormal;
  if (flag(c, kFlagClNone)) {
    c.cl_type = kClNone;
  } else if (flag(c, kFlagClLognormal)) {
    c.cl_type = kClLognormal;
  } else if (flag(c, kFlagClPoisson)) {
    if (c.method == kMethodIndirect) c.cl_type = kClPoisson;
    else note(kMsgPoissonNotIndirect);
  } else if (flag(c, kFlagClGamma)) {
    if (c.statistic == kStatRisk) note(kMsgGammaWithRisk);
    else if (c.method == kMethodIndirect) note(kMsgGammaWithIndirect);
    else c.cl_type = flag(c, kFlagGammaConservative) ? kClGammaConservative : kClGammaAverage;
  }
}

void resolve_effect(ProcContext& c) {
  if (!flag(c, kFlagEffect)) return;
  c.effect_type = flag(c, kFlagEffectDiff) ? kEffectDiff : kEffectRatio;
  if (c.method == kMethodIndirect) {
    warn(c, kMsgNotWithMethod, {text_arg(kOptEffect), text_arg(kOptIndirect)});
    c.effect_type = kEffectNone;
  }
}

// The limit type of a stratum table from its NONE, LOGNORMAL and POISSON
// flags; Poisson limits of risks are not offered.
int stratum_cl_type(const ProcContext& c, int none, int lognormal, int poisson, std::string_view option) {
  if (flag(c, none)) return kClNone;
  if (flag(c, lognormal)) return kClLognormal;
  if (flag(c, poisson)) {
    if (c.statistic != kStatRisk) return kClPoisson;
    note(kMsgPoissonWithRisk, {text_arg(option)});
  }
  return kClNormal;
}

void copy_cl_label(ShortText& label, int type) {
  label.length = 0;
  static constexpr int kLabels[] = {0, kMsgClNormal, kMsgClLognormal, kMsgClPoisson, kMsgClGamma, kMsgClGamma};
  if (type <= kClNone || type > kClGammaAverage) return;
  const std::string_view text = host::host_get_message_text(host::kMessageSetProcedure, kLabels[type]);
  label.length = static_cast<std::int16_t>(std::min<std::size_t>(text.size(), kLabelCapacity));
  std::memcpy(label.text, text.data(), static_cast<std::size_t>(label.length));
}

void resolve_strata_options(ProcContext& c) {
  c.strata_stats_on = flag(c, kFlagStrataStats) ? 1 : 0;
  c.strata_smr_on = flag(c, kFlagStrataSmr) ? 1 : 0;
  if (c.strata_smr_on && c.method != kMethodIndirect) {
    warn(c, kMsgStrataNotWithMethod, {text_arg(kOptSmr), text_arg(method_option(c))});
    c.strata_smr_on = 0;
  }
  if (c.strata_stats_on) {
    c.strata_cl_type = stratum_cl_type(c, kFlagStatsClNone, kFlagStatsClLognormal, kFlagStatsClPoisson, kOptStats);
  }
  if (c.strata_smr_on) {
    c.strata_smr_cl_type = stratum_cl_type(c, kFlagSmrClNone, kFlagSmrClLognormal, kFlagSmrClPoisson, kOptSmr);
  }
  c.strata_cl_compute_type = c.strata_cl_type;
  c.strata_smr_cl_compute_type = c.strata_smr_cl_type;
  copy_cl_label(c.strata_cl_label, c.strata_cl_type);
  copy_cl_label(c.strata_smr_cl_label, c.strata_smr_cl_type);
  if (flag(c, kFlagStrataEffect)) {
    c.strata_effect_type = c.effect_type != kEffectNone ? c.effect_type : kEffectRatio;
    if (c.method == kMethodIndirect) {
      warn(c, kMsgStrataNotWithMethod, {text_arg(kOptEffect), text_arg(kOptIndirect)});
      c.strata_effect_type = kEffectNone;
    }
  }
  if (c.method == kMethodIndirect) c.smr_table_on = 1;
}

void resolve_attr_fraction(ProcContext& c) {
  const TextSlot exposed = text_slot(*c.parse_result, kSlotExposed);
  if (!flag(c, kFlagAttrFraction)) {
    // Without (AF) no level is the exposed one: the log says the value
    // given is not used, rather than pass over it (or a typo in it).
    if (exposed.given) note(kMsgExposedWithoutAf);
    return;
  }
  c.attr_fraction_on = 1;
  if (!exposed.given) return;
  const char* text = exposed.text.data();
  int length = std::min(static_cast<int>(exposed.text.size()), kLongTextCapacity);
  while (length > 0 && *text == ' ') ++text, --length;  // left-aligned
  std::memcpy(c.exposed, text, static_cast<std::size_t>(length));
  c.exposed_length = length;
  c.exposed_given = 1;
}

// Creates the step's output manager and asks it whether graphs are wanted.
void set_up_output_manager(ProcContext& c) {
  check_output_status(c, host::ods_get_root(&c.output_root));
  host::OdsObject* manager = nullptr;
  std::int32_t status = host::ods_invoke(
      c.output_root, nullptr, host::kMethodCreate,
      {host::make_counted_text_item(host::kAttrOds, "ods", 3), host::make_counted_text_item(host::kAttrKind, "manager", 7),
       host::make_result_item(host::kAttrResult, &manager), host::make_int_item(host::kAttrMessageSet, host::kMessageSetProcedure),
       host::make_int_item(host::kAttrAlwaysMinusOne, -1), host::make_counted_text_item(host::kAttrName, "Quilvar", 7),
       host::make_text_item(host::kAttrLabel, host::ods_make_builtin_text(1))});
  check_output_status(c, status);
  if (status < 0 || manager == nullptr) return;
  c.output_manager = manager;
  status = host::ods_invoke(manager, nullptr, host::kMethodStepProperties,
                            {host::make_int_item(host::kAttrAlwaysMinusOne, -1),
                             host::make_text_item(host::kAttrBuiltinText, host::ods_make_builtin_text(1))});
  check_output_status(c, status);
  host::OutputItem graphics = host::make_flag_item(host::kAttrGraphicsEnabled, 0);
  check_output_status(c, host::ods_class_operation(manager, host::kClassReadAttribute, 1, &graphics));
  c.graphics_enabled = host::item_flag(graphics) != 0 ? 1 : 0;
}

void choose_plots(ProcContext& c) {
  const bool named_rate = flag(c, kFlagPlotRate) || flag(c, kFlagPlotRisk);
  if (flag(c, kFlagPlotNone)) {
    if (named_rate || flag(c, kFlagPlotDist) || flag(c, kFlagPlotEffect) || flag(c, kFlagPlotAll)) {
      host::host_issue_message(host::kMessageSetGraphics, kMsgPlotsNoneWithOthers);
    }
    return;
  }
  if (flag(c, kFlagPlotAll)) {
    c.rate_plot_on = c.dist_plot_on = 1;
    if (c.method == kMethodIndirect) c.smr_plot_on = 1;
    else c.effect_plot_type = 1;
    return;
  }
  c.rate_plot_on = flag(c, kFlagPlotOnly) ? (named_rate ? 1 : 0) : 1;
  c.dist_plot_on = flag(c, kFlagPlotDist) ? 1 : 0;
  c.smr_plot_on = flag(c, kFlagPlotSmr) ? 1 : 0;
  c.effect_plot_type = flag(c, kFlagPlotEffect) ? 1 : 0;
}

void check_plots_for_method(ProcContext& c) {
  if (c.method != kMethodIndirect && c.smr_plot_on) {
    warn(c, kMsgNotWithMethod, {text_arg(kOptPlotSmr), text_arg(method_option(c))});
    c.smr_plot_on = 0;
  }
  if (c.method == kMethodIndirect && c.effect_plot_type != 0) {
    warn(c, kMsgNotWithMethod, {text_arg(kOptPlotEffect), text_arg(kOptIndirect)});
    c.effect_plot_type = 0;
  }
  // Plots that draw limits make the stratum limits computed even when the
  // tables do not show them.
  if (c.rate_plot_on) {
    c.rate_plot_cl_type = c.strata_cl_type != kClNone ? c.strata_cl_type : kClNormal;
    if (c.strata_cl_compute_type == kClNone) c.strata_cl_compute_type = c.rate_plot_cl_type;
  }
  if (c.smr_plot_on) {
    c.smr_plot_cl_type = c.strata_smr_cl_type != kClNone ? c.strata_smr_cl_type : kClNormal;
    if (c.strata_smr_cl_compute_type == kClNone) c.strata_smr_cl_compute_type = c.smr_plot_cl_type;
  }
  if (c.effect_plot_type != 0) c.effect_plot_type = c.effect_type != kEffectNone ? c.effect_type : kEffectRatio;
}

// An ALPHA= so small that 1 − ALPHA/2 is beyond the chi-square quantiles
// leaves every Poisson and gamma upper limit missing, whatever the data:
// the log says so once, with that cause, and the estimates do not report
// each such limit as a failure of the data.
void check_exact_limit_level(ProcContext& c) {
  const bool exact_limits = c.cl_type == kClPoisson || c.cl_type == kClGammaAverage ||
                            c.cl_type == kClGammaConservative || c.strata_cl_compute_type == kClPoisson ||
                            c.strata_smr_cl_compute_type == kClPoisson;
  if (exact_limits && !numeric::exact_upper_limit_in_reach(c.alpha)) {
    warn(c, kMsgAlphaBelowExactLimits, {host::number_arg(c.alpha)});
  }
}

void resolve_plots(ProcContext& c) {
  set_up_output_manager(c);
  c.axis_minimum = std::numeric_limits<double>::max();
  c.axis_maximum = 0.0;
  c.plot_margin = kPlotMargin;
  if (c.graphics_enabled) {
    choose_plots(c);
  } else if (flag(c, kFlagPlots) && !flag(c, kFlagPlotNone)) {
    // PLOTS=NONE asks for no plot, so graphics being off loses nothing.
    host::host_issue_message(host::kMessageSetGraphics, kMsgGraphicsOff);
    raise_step_status(c, host::kStatusWarning);
  }
  check_plots_for_method(c);
  c.plot_label_mode = flag(c, kFlagPlotIndex) ? kLabelIndex : kLabelLevels;
  c.plot_orientation = flag(c, kFlagPlotHorizontal) ? kHorizontal : kVertical;
}

void resolve_multiplier(ProcContext& c) {
  if (c.statistic == kStatRisk) {
    c.multiplier = 1;
    c.multiplier_value = 1.0;
    c.multiplier_exponent = 0;
  } else {
    c.multiplier = kDefaultMultiplier;
    c.multiplier_value = kDefaultMultiplier;
    c.multiplier_exponent = kDefaultMultiplierExponent;
    const NumberSlot multiplier = number_slot(*c.parse_result, kSlotStatMultiplier);
    if (multiplier.given) {
      const double m = multiplier.value;
      const int exponent = multiplier_exponent(m);
      if (exponent < 0) stop(kMsgMultiplier, host::kStatusStatementError);
      c.multiplier = static_cast<int>(m);
      c.multiplier_value = c.multiplier;
      c.multiplier_exponent = exponent;
    }
  }
  host::host_format_number(c.multiplier_value, c.multiplier_text);
  c.multiplier_text_length = host::trim_length(c.multiplier_text, sizeof c.multiplier_text);
}

}  // namespace

void stop(int number, int status, std::initializer_list<host::MessageArg> args) {
  host::host_issue_message(host::kMessageSetProcedure, number, args);
  host::host_set_step_status(status);
}

void warn(ProcContext& c, int number, std::initializer_list<host::MessageArg> args) {
  host::host_issue_message(host::kMessageSetProcedure, number, args);
  raise_step_status(c, host::kStatusWarning);
}

void note(int number, std::initializer_list<host::MessageArg> args) {
  host::host_issue_message(host::kMessageSetProcedure, number, args);
}

int multiplier_exponent(double m) {
  // NaN, zero, negative and too large multipliers fail here; a multiplier
  // above the largest integer would not fit the integer copy or its text.
  if (!(m >= 1.0 && m <= kLargestMultiplier)) return -1;
  const int t = static_cast<int>(std::log10(m) + 0.0001);
  if ((m - std::pow(10.0, t)) / m > 0.000001) return -1;
  return t;
}

void resolve_options(ProcContext& c, host::StatementState& state) {
  // The fresh context is made on the heap: it takes some 270 KB, more than
  // a small stack limit (ulimit -s 256) leaves the step.
  c = std::move(*std::make_unique<ProcContext>());
  parse_step(c, state);
  c.parse_result = state.parse_result;
  c.pool = host::host_create_pool();
  if (c.pool == nullptr) host::host_set_step_status(host::kStatusNoMemory);
  c.element_sizes[0] = 4;
  c.element_sizes[1] = 4;
  c.element_sizes[2] = 8;
  c.step_status = 0;
  c.reference_events_constant = c.reference_total_constant = c.reference_rate_constant = host::kMissing;
  c.population_event_total = host::kMissing;
  resolve_statistic_and_method(c);
  resolve_alpha(c);
  resolve_estimate_cl(c);
  resolve_effect(c);
  resolve_strata_options(c);
  resolve_attr_fraction(c);
  resolve_plots(c);
  check_exact_limit_level(c);
  resolve_multiplier(c);
  resolve_data_sets(c);
  resolve_label_texts(c);
}

}  // namespace quilvar::syntax
