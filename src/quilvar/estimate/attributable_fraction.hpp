// Attributable fractions among the exposed and in the population, with
// their confidence limits, for METHOD=MH (exposed against unexposed
// population) and METHOD=INDIRECT (study population against the reference).
#pragma once

#include <string_view>

#include "quilvar/entry/proc_context.hpp"

namespace quilvar::estimate {

// Sets every fraction and limit to missing and forgets the exposed
// population (index -1, empty label). Run at the start of each BY group's
// estimation so that no earlier group's values show through.
void reset_attr_fraction(ProcContext& context);

// The label of population level k: its formatted value without leading or
// trailing blanks.
std::string_view level_label(const ProcContext& context, int k);

// METHOD=MH: the exposed population is the level named by EXPOSED=, or the
// first one without it; its index and label go into the result. Returns
// false when EXPOSED= names neither level: message 908-160 is issued and the
// step is ended with status 1008.
bool choose_exposed_population(ProcContext& context);

// METHOD=MH, after the exposed population is chosen: the fractions from the
// ratio of the two standardized estimates, the exposed limits from the
// variance of the log Mantel-Haenszel ratio, and the population limits
// unless the ratio is at most 1 (then warning 908-157 or 908-158).
void compute_mh_attr_fraction(ProcContext& context, double log_ratio_variance);

// METHOD=INDIRECT: the fractions from the SMR, the exposed limits from its
// six limits, and the population limits from the variance of the log SMR
// unless the SMR is at most 1 (then warning 908-159) or too close to 1.
void compute_indirect_attr_fraction(ProcContext& context);

}  // namespace quilvar::estimate
