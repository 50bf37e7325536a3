// The procedure's state for one step, passed to every phase. It is cleared
// before option resolution and lives until the step ends; everything it
// points into (stratum nodes, key buffers, labels) comes from the step's pool.
#pragma once

#include <cstdint>

#include "quilvar/host/missing.hpp"
#include "quilvar/host/services.hpp"
#include "quilvar/host/statement_state.hpp"

namespace quilvar {

// Codes shared by every phase.
inline constexpr int kMethodDirect = 11;
inline constexpr int kMethodIndirect = 12;
inline constexpr int kMethodMh = 13;
inline constexpr int kStatRate = 1;
inline constexpr int kStatRisk = 2;
inline constexpr int kClNone = 0;
inline constexpr int kClNormal = 1;
inline constexpr int kClLognormal = 2;
inline constexpr int kClPoisson = 3;
inline constexpr int kClGammaConservative = 4;
inline constexpr int kClGammaAverage = 5;
inline constexpr int kEffectNone = 0;
inline constexpr int kEffectDiff = 11;
inline constexpr int kEffectRatio = 12;
inline constexpr int kOrderData = 1;
inline constexpr int kOrderFormatted = 2;
inline constexpr int kOrderInternal = 3;
inline constexpr int kLabelLevels = 12;
inline constexpr int kLabelIndex = 11;
inline constexpr int kVertical = 12;
inline constexpr int kHorizontal = 11;

struct StratumNode;

struct ProcContext {
  // Parse result, the step's pool, element sizes of the pool's item kinds.
  host::ParseResult* parse_result;
  host::Pool* pool;
  int element_sizes[3];

  // Run settings.
  int method;
  int statistic;
  int variance_divisor;
  int strata_order;
  int group_order;
  int population_count;
  int strata_stats_on;
  int strata_smr_on;
  int strata_effect_type;
  int smr_table_on;
  int attr_fraction_on;
  int cl_type;
  int strata_cl_type;
  int strata_cl_compute_type;
  int strata_smr_cl_type;
  int strata_smr_cl_compute_type;
  int rate_plot_cl_type;
  int smr_plot_cl_type;
  int effect_type;
  int missing_levels;
  double alpha;

  // Step status: starts 0 and is only ever raised.
  int step_status;

  // Data sets.
  host::DataSet* population_data;
  host::Reader* population_reader;
  host::DataSet* reference_data;
  host::Reader* reference_reader;

  // Stratum tree root, later the head of the ordered stratum list.
  StratumNode* strata;

  // Output objects.
  host::OdsObject* output_root;
  host::OdsObject* output_manager;
  host::OdsObject* output_group;
};

}  // namespace quilvar
