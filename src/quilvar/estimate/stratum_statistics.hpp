// Stratum statistics of a BY group: crude estimates, reference estimates,
// expected events, Mantel-Haenszel weights, totals, proportions, stratum
// SMRs, and the confidence limits of the crude estimates.
#pragma once

#include "quilvar/entry/proc_context.hpp"

namespace quilvar::estimate {

// Returns 0, or 1 when a required value is missing: the message names the
// value, the population and the stratum, and the step status is raised to
// at least 1012 (the BY group is then skipped).
int compute_stratum_statistics(ProcContext& context);

// Limits of each stratum's crude estimate by the stratum limit type.
// Always returns 0.
int compute_stratum_limits(ProcContext& context);

// The chi-square quantile at p with df degrees of freedom, from the main
// routine or, when it fails, its fall-back, remembered in the context's
// memo. Returns false when both fail.
bool chi_square_quantile_with_fallback(ProcContext& context, double p, double df, double& x);

}  // namespace quilvar::estimate
