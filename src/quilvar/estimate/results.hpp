// Result records of the standardized estimates, the SMR and the
// attributable fractions, kept in the context for the tables and plots.
#pragma once

namespace quilvar {

// The directly standardized (or Mantel-Haenszel) estimate of one population.
struct StdEstimate {
  double estimate;
  double std_error;
};

// The overall SMR of the study population and the standardized estimate
// derived from it.
struct SmrResult {
  double smr;
  double variance;
};

// The attributable fractions among the exposed and in the population.
struct AttrFractionResult {
  double exposed;
  double population;
};

}  // namespace quilvar
