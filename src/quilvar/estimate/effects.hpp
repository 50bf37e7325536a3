// Effects of the first study population against the second: per stratum,
// overall from the two standardized estimates, and the Mantel-Haenszel
// statistics of METHOD=MH.
#pragma once

#include "quilvar/entry/proc_context.hpp"
#include "quilvar/input/stratum_node.hpp"

namespace quilvar::estimate {

// The overall effect, unscaled: the two standardized estimates, the
// difference or ratio, its standard error (of the log ratio for RATIO),
// limits, log ratio (RATIO only), z and two-sided p. Missing where it
// cannot be computed.
struct OverallEffect {
  double first;
  double second;
  double effect;
  double std_error;
  double lower;
  double upper;
  double log_ratio;
  double z;
  double p;
};

// The stratum effect of the context's stratum effect type: DIFF r1 − r2 with
// normal limits, or RATIO r1 / r2 with limits from the standard error of the
// log ratio (given as the standard error). All four are set to missing first;
// what cannot be computed stays missing. Always returns 0.
int compute_stratum_effect(ProcContext& context, const StratumNode& node, double& estimate, double& std_error,
                           double& lower, double& upper);

// METHOD=MH: the variance of the log Mantel-Haenszel ratio (missing when
// either weighted sum of rates is not positive), then, when requested, the
// attributable fractions. Always returns 0.
int compute_mh_statistics(ProcContext& context);

// The overall effect of the context's effect type from the two
// standardized estimates; under METHOD=MH a ratio's standard error is that
// of the log Mantel-Haenszel ratio.
OverallEffect compute_overall_effect(const ProcContext& context);

}  // namespace quilvar::estimate
