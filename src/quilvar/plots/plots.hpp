// The stratum plots of a BY group: the rate or risk plot, the population
// distribution plot, the stratum SMR plot and the stratum effect plot. Each
// writes a graph data object through the output system and binds it to its
// graph template, vertical or horizontal.
#pragma once

#include <string>

#include "quilvar/entry/proc_context.hpp"
#include "quilvar/host/services.hpp"

namespace quilvar::plots {

// Each returns 0 when the plot was made, 1 when it was skipped (the stratum
// labels were too long, or the output system refused its data object).
int produce_rate_plot(ProcContext& context);
int produce_dist_plot(ProcContext& context);
int produce_smr_plot(ProcContext& context);
int produce_effect_plot(ProcContext& context);

// The tick text of the strata in list order: per stratum its strata values
// (formatted, left-justified, trimmed, one blank between them) inside
// apostrophes, the strata written back to back: 'A''B''C'.
std::string stratum_tick_text(const ProcContext& context);

// Makes *ticks the text value of stratum_tick_text. Returns 0, or 1 after
// message 908-166 when the text is longer than 32000 characters.
int build_stratum_ticks(ProcContext& context, host::OdsText** ticks);

}  // namespace quilvar::plots
