// Indirect standardization: the standardized morbidity or mortality ratio
// of the study population, its tests and limits, and the indirectly
// standardized rate or risk.
#pragma once

#include "quilvar/entry/proc_context.hpp"

namespace quilvar::estimate {

// Fills the SmrResult (METHOD=INDIRECT) and then, when requested, the
// attributable fractions. With the observed or expected events missing, or
// no expected events, every field stays missing. A failing Poisson quantile
// leaves its limit missing, with message 908-162 (standardized estimate) or
// 908-163 (SMR) when the limit type is POISSON. Always returns 0.
int compute_indirect_estimates(ProcContext& context);

}  // namespace quilvar::estimate
