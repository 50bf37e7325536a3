// One stratum: tree links (later the list link), the reference values and
// stratum results, a PopulationCell per study population, the key images
// and the label used in messages.
#pragma once

#include <cstdint>

#include "quilvar/entry/proc_context.hpp"

namespace quilvar {

// Per study population, in this order.
struct PopulationCell {
  double events;
  double population;
  double estimate;       // crude rate or risk
  double std_error;
  double lower;
  double upper;
  double expected;       // expected events
  double proportion;     // share of the population
};

struct StratumNode {
  StratumNode* first;    // left child in the tree; next stratum in the list
  StratumNode* second;   // right child in the tree
  std::int16_t balance;  // -1 left subtree taller, +1 right subtree taller

  double reference_events;
  double reference_population;   // the MH weight under METHOD=MH
  double reference_rate;
  double reference_proportion;
  double smr;
  double smr_std_error;
  double smr_lower;
  double smr_upper;
  double index;                  // 1-based position in the list

  PopulationCell cell[2];
  int absent[2];                 // METHOD=DIRECT: no observation of that population
  // Some observation of the cell, or of the reference, left its event count
  // or its population blank (after deriving it from a rate). A sum the other
  // observations gave is then a sum over part of the stratum only.
  int count_blank[2];
  int population_blank[2];
  int reference_count_blank;
  int reference_population_blank;
  // Observations of the cell, or of the reference, gave different rates.
  // Rates cannot be added, so where no sums give the stratum's rate the one
  // kept stands for them all.
  int rates_differ[2];
  int reference_rates_differ;

  // Key images, laid out after the node in the same pool block.
  double* data_order_key;        // per strata variable
  double* numeric_key;           // per strata variable
  char* formatted_key;
  char* raw_key;

  LongText label;
};

}  // namespace quilvar
