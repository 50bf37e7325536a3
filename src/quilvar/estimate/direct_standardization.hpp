// Directly standardized and Mantel-Haenszel estimates of each study
// population, with their variances and confidence limits.
#pragma once

#include "quilvar/entry/proc_context.hpp"

namespace quilvar::estimate {

// Fills the StdEstimate of each population (METHOD=DIRECT or MH): estimate,
// variance, standard error and the limits of the chosen type. A population
// whose totals are missing or not positive keeps missing fields; a zero
// variance leaves standard error and limits missing. A gamma limit that
// cannot be computed stays missing and message 908-161 is issued once.
// Always returns 0.
int compute_direct_estimates(ProcContext& context);

}  // namespace quilvar::estimate
