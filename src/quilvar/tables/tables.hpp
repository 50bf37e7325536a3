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

// The templates defined once per step: StrataSMR and Smr under
// METHOD=INDIRECT, then AttrFraction when an attributable fraction is
// requested.
void define_step_templates(ProcContext& context);

// The standardized estimate table (Quilvar for rates, StdRisk for risks):
// one row per study population under METHOD=DIRECT or MH; under
// METHOD=INDIRECT one row, or message 908-164/165 and no table when the
// standardized estimate is missing.
void define_std_estimate_template(ProcContext& context);
int produce_std_estimate_table(ProcContext& context);
int produce_std_estimate_table_indirect(ProcContext& context);

// The SMR tables (METHOD=INDIRECT): stratum SMRs, and the overall SMR with
// its limits and test.
void define_strata_smr_template(ProcContext& context);
void define_smr_template(ProcContext& context);
int produce_strata_smr_table(ProcContext& context);
int produce_smr_table(ProcContext& context);

// The effect tables of two populations: per stratum, and overall from the
// standardized estimates.
void define_strata_effect_template(ProcContext& context);
void define_effect_template(ProcContext& context);
int produce_strata_effect_table(ProcContext& context);
int produce_effect_table(ProcContext& context);

// The attributable fractions among the exposed and in the population.
void define_attr_fraction_template(ProcContext& context);
int produce_attr_fraction_table(ProcContext& context);

}  // namespace quilvar::tables
