// The procedure's output tables.
#pragma once

#include "quilvar/entry/proc_context.hpp"

namespace quilvar::tables {

// The information list: data sets, method, statistic, strata, multiplier.
int produce_information_list(ProcContext& context);

// Stratum statistics: per stratum the study populations' events,
// population, crude estimate and its limits, and the reference figures.
void define_strata_stats_template(ProcContext& context);
int produce_strata_stats_table(ProcContext& context);
int produce_strata_stats_table_indirect(ProcContext& context);

}  // namespace quilvar::tables
