// Result records of the standardized estimates, the SMR and the
// attributable fractions, kept in the context for the tables and plots.
// Every double is the host's missing value unless it was computed.
#pragma once

namespace quilvar {

// The directly standardized (or Mantel-Haenszel) estimate of one population,
// unscaled, with the limits of every type; only the chosen type's are filled.
struct StdEstimate {
  double estimate;
  double variance;
  double std_error;
  double normal_lower;
  double normal_upper;
  double lognormal_lower;
  double lognormal_upper;
  double gamma_lower;
  double gamma_upper_largest;   // upper limit built on the largest stratum weight
  double gamma_upper_mean;      // upper limit built on the mean stratum weight
};

// The overall SMR of the study population, its tests and limits, and the
// indirectly standardized estimate (SMR × reference crude estimate).
struct SmrResult {
  double smr;
  double variance;
  double std_error;
  double z;                     // normal test of SMR = 1
  double p;
  double log_smr;
  double log_std_error;         // standard error / SMR
  double z_log;                 // test of ln SMR = 0
  double p_log;
  double normal_lower;
  double normal_upper;
  double lognormal_lower;
  double lognormal_upper;
  double exact_p;               // exact two-sided Poisson p-value
  double poisson_lower;
  double poisson_upper;
  double standardized;
  double standardized_variance;
  double standardized_std_error;
  double standardized_normal_lower;
  double standardized_normal_upper;
  double standardized_lognormal_lower;
  double standardized_lognormal_upper;
  double standardized_poisson_lower;
  double standardized_poisson_upper;
  bool risk_above_one;          // the standardized risk was above 1 and left out
};

inline constexpr int kExposedLabelCapacity = 256;

// The attributable fractions among the exposed and in the population, their
// limits, and (METHOD=MH) which population is the exposed one.
struct AttrFractionResult {
  double exposed;               // (RR - 1) / RR
  double population;            // exposed fraction × O_e / (O_e + O_u)
  double log_variance;          // variance of ln RR (METHOD=INDIRECT)
  double exposed_normal_lower;
  double exposed_normal_upper;
  double exposed_lognormal_lower;
  double exposed_lognormal_upper;
  double exposed_poisson_lower;
  double exposed_poisson_upper;
  double population_lower;
  double population_upper;
  int exposed_index;            // 0 or 1; -1 before it is chosen
  int exposed_label_length;
  char exposed_label[kExposedLabelCapacity];  // the exposed level's formatted value, left-justified
};

}  // namespace quilvar
