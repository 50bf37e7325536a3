// The stratum axis every plot shares: its extent (_TMax, _XMin, _XMax), its
// tick labels and heading (_XTicks, _XLabel), and the confidence-limit
// variables (_Cl, _ClLabel).
#pragma once

#include "quilvar/entry/proc_context.hpp"
#include "quilvar/plots/plot_data.hpp"

namespace quilvar::plots {

// The tick text (null when the strata are shown by index) and the heading.
struct StratumAxis {
  host::OdsText* ticks;
  host::OdsText* heading;
};

// Builds the axis texts: with stratum-value labels and strata variables, the
// tick text and the variable's name (several variables: the combined strata
// heading); otherwise no ticks and the index heading (908-45). Returns false
// when the tick text is too long (the plot is then skipped).
bool make_stratum_axis(ProcContext& context, StratumAxis& axis);

// The axis ends: the margin XMin and the number of strata + 1 − XMin.
double axis_start(const ProcContext& context);
double axis_end(const ProcContext& context);
// Where a stratum's points of one series sit: its index shifted by
// `shift` × 1.5·XMin (shift −1, 0 or +1).
double stratum_position(const ProcContext& context, double index, int shift);

// Sets _TMax, _XMin, _XMax, _XTicks (when there are ticks) and _XLabel.
void set_axis_variables(PlotData& plot, const StratumAxis& axis);

// Sets _Cl = 1 and _ClLabel to the span text of the limit type (normal,
// lognormal or Poisson) with the confidence level inserted.
void set_limit_variables(PlotData& plot, int cl_type);

}  // namespace quilvar::plots
