// The procedure's state for one step, passed to every phase. It is cleared
// before option resolution and lives until the step ends; everything it
// points into (stratum nodes, key buffers, labels) comes from the step's pool.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quilvar/estimate/quantile_memo.hpp"
#include "quilvar/estimate/results.hpp"
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

inline constexpr int kLabelCapacity = 32;
inline constexpr int kLongTextCapacity = 256;
inline constexpr int kNameCapacity = 32;

// A counted text of up to 32 characters (labels taken from the catalog).
struct ShortText {
  std::int16_t length;
  char text[kLabelCapacity];
};

// A counted text of up to 256 characters.
struct LongText {
  std::int16_t length;
  char text[kLongTextCapacity];
};

struct VariableName {
  std::int16_t length;
  char text[kNameCapacity + 1];
};

// The three values an observation may give, in this order.
inline constexpr int kEventValue = 0;
inline constexpr int kTotalValue = 1;
inline constexpr int kRateValue = 2;
inline constexpr int kValueCount = 3;

// One side of the input: the population or the reference data set.
struct DataSide {
  host::DataSet* data;
  host::Reader* reader;
  char name[kLongTextCapacity];
  int name_length;
  int variable[kValueCount];          // variable numbers, 0 when not given
  VariableName variable_name[kValueCount];
  double value[kValueCount];          // bound buffers of the current observation
  int given[kValueCount];             // the variable was named
  int available[kValueCount];         // given, or derivable from the other two
};

// A STRATA or GROUP= variable as the readers bind it.
struct KeyVariable {
  int number;
  int type;                           // 1 numeric, 2 character
  int length;                         // raw length in bytes
  int formatted_width;
  VariableName name;
  LongText label;
  int formatted_offset;               // slice of the formatted key text
  int raw_offset;                     // slice of the raw character key text
};

// One population level of the GROUP= variable.
struct PopulationLevel {
  double raw_number;
  char formatted[kLongTextCapacity];
  char raw_text[kLongTextCapacity];
  LongText label;          // "name=value"
  int value_length;        // trimmed formatted value
};

// One entry of a strata variable's first-appearance list (DATA order).
struct DataOrderEntry {
  DataOrderEntry* next;
  double index;            // 1-based
  char* formatted;         // the variable's formatted width
};

// A strata variable's DATA-order entries by formatted value, so that an
// observation finds its level without walking a list of thousands of
// levels (area codes, say); looked up by a view of the key buffer.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
struct DataOrderLookup {
  std::unordered_map<std::string, DataOrderEntry*, TextHash, std::equal_to<>> entries;
  DataOrderEntry* last = nullptr;  // the list's tail, where a new level goes
};

// The value slots table columns are bound to; one slot serves the like-named
// columns of every table. Each row request reads their current values.
struct OutputRow {
  double events;
  double population;
  double estimate_crude;          // CrudeRate, CrudeRisk, Rate, Risk
  double lower;
  double upper;
  double expected;
  double comparison;              // CompRate, CompRisk
  double proportion;
  double reference_proportion;
  double smr;
  double smr_lower;
  double smr_upper;
  double smr_std_error;
  double estimate;                // Estimate, RateDiff, RateRatio, RiskDiff, RiskRatio
  double log_ratio;
  double std_error;
  double z;
  double p;
  double reference_population;    // RefPopTime, RefNObs, MHWeight
  double reference_estimate;      // RefCrudeRate, RefCrudeRisk
  double standardized;            // Quilvar, StdRisk
  double standardized_std_error;
  double stratum_index;
  double rate_multiplier;         // RateMult
  double population_number;       // the population variable's value, numeric
  char population_text[kLongTextCapacity];
  char method_text[kLabelCapacity];
  char cl_text[kLabelCapacity];           // the estimate's and the SMR's limit type
  char strata_cl_text[kLabelCapacity];
  char strata_smr_cl_text[kLabelCapacity];
  char parameter_text[kLabelCapacity];
  char fraction_cl_text[kLabelCapacity];
  char exposed_text[kLongTextCapacity];
};

// Template handles, one per table family.
struct TableTemplates {
  host::OdsObject* strata_stats;
  host::OdsObject* std_estimate;
  host::OdsObject* strata_effect;
  host::OdsObject* effect;
  host::OdsObject* strata_smr;
  host::OdsObject* smr;
  host::OdsObject* attr_fraction;
  host::OdsObject* open_output;
};

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
  int indirect_without_events;        // INDIRECT with no population events (908-135, 908-187)
  int attr_fraction_on;
  int cl_type;                        // standardized estimates
  int strata_cl_type;                 // shown in the stratum statistics
  int strata_cl_compute_type;
  int strata_smr_cl_type;
  int strata_smr_cl_compute_type;
  int effect_type;
  int missing_levels;
  double alpha;
  int exposed_given;
  int exposed_length;
  char exposed[kLongTextCapacity];

  // Multipliers.
  int multiplier;
  double multiplier_value;
  int multiplier_exponent;
  double population_multiplier;
  int population_multiplier_applies;
  double reference_multiplier;
  int reference_multiplier_applies;
  char multiplier_text[10];
  int multiplier_text_length;

  // Step status: starts 0 and is only ever raised.
  int step_status;

  // Population observations left out over the step's BY groups, for a
  // missing STRATA value and for a missing GROUP= value.
  std::int64_t left_out_strata;
  std::int64_t left_out_group;
  // Whether the step has warned that the population's (0) or reference's
  // (1) rates or risks disagree with their event counts and totals.
  int rate_disagreement_noted[2];

  // Labels and column widths.
  ShortText method_label;
  ShortText cl_label;
  ShortText strata_cl_label;
  ShortText strata_smr_cl_label;
  int statistic_label_width;
  int cl_label_width;
  int info_label_width;
  int info_value_width;
  LongText strata_heading;
  LongText reference_label;

  // Data sets.
  DataSide population;
  DataSide reference;

  // GROUP= variable and the current observation's group value.
  int group_given;
  KeyVariable group;
  char group_formatted[kLongTextCapacity];
  char group_raw_text[kLongTextCapacity];
  double group_raw_number;

  // STRATA variables and their key buffers (from the step's pool).
  int strata_count;
  KeyVariable* strata_variables;
  char* strata_formatted_key;
  int strata_formatted_width;
  char* strata_raw_key;
  int strata_raw_width;
  double* strata_numeric_key;

  // Population levels and labels.
  int level_count;
  PopulationLevel levels[2];
  // GROUP= values by formatted value, numbered in the order the step first
  // met them (DATA order): every BY group's levels keep that order.
  std::unordered_map<std::string, int, TextHash, std::equal_to<>> group_data_order;
  LongText population_label[2];
  int population_label_width;       // the longest population label
  int population_column_width;
  int label_width;
  int second_label_width;
  LongText study_label;

  // Stratum tree root, later the head of the ordered stratum list; the
  // spare node the next observation is read into; the DATA-order lists.
  StratumNode* strata;
  StratumNode* spare_node;
  StratumNode* free_nodes;          // the previous BY group's nodes, for reuse
  DataOrderEntry** data_order_lists;
  std::vector<DataOrderLookup> data_order_lookup;  // one per strata variable
  int stratum_count;

  // Totals of the BY group (per study population where indexed).
  double total_events[2];
  double total_population[2];
  double overall_estimate[2];
  double total_expected[2];
  double total_reference_events;
  double total_reference_population;
  double reference_population_for[2];   // DIRECT: strata absent from the population left out
  double reference_estimate;
  double largest_proportion;

  // Standardized estimates, SMR and attributable fractions.
  StdEstimate std_estimates[2];
  SmrResult smr_result;
  AttrFractionResult attr_fraction;
  QuantileMemo quantile_memo;
  NormalQuantileMemo normal_memo;

  // Plot settings.
  int graphics_enabled;
  int rate_plot_on;
  int dist_plot_on;
  int smr_plot_on;
  int effect_plot_type;               // 0 off, else the effect type
  int rate_plot_cl_type;
  int smr_plot_cl_type;
  int plot_label_mode;
  int plot_orientation;
  double axis_minimum;
  double axis_maximum;
  double plot_margin;

  // Reference constants and the population event total (missing unless given).
  double reference_events_constant;
  double reference_total_constant;
  double reference_rate_constant;
  double population_event_total;

  // Output rows and templates.
  OutputRow row;
  TableTemplates tables;

  // Output objects.
  host::OdsObject* output_root;
  host::OdsObject* output_manager;
  host::OdsObject* output_group;

  // Effect estimates (METHOD=MH): the variance of the log Mantel-Haenszel
  // ratio, missing unless compute_mh_statistics could compute it.
  double mh_log_ratio_variance;
};

// The confidence level of an ALPHA= value in percent, rounded to 8
// decimals so that 1 - 0.05 reads 95 and not 94.99999999999999.
inline double confidence_percent(double alpha) { return std::round((1 - alpha) * 100 * 1e8) / 1e8; }

}  // namespace quilvar
