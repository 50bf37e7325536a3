// Direct standardization: the weighted sum of stratum rates or risks with
// the reference population's shares (or the Mantel-Haenszel weights) as
// weights, its variance as the weighted sum of binomial or Poisson stratum
// variances, normal and lognormal limits, and the gamma limits of Fay and
// Feuer (1997), with the upper limit built either on the largest stratum
// weight (their original, conservative form) or on the mean stratum weight
// (Tiwari, Clegg and Zou 2006).
#include "quilvar/estimate/direct_standardization.hpp"

#include <algorithm>
#include <cmath>

#include "quilvar/entry/step_status.hpp"
#include "quilvar/estimate/estimate_support.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/input/stratum_node.hpp"
#include "quilvar/numeric/chi_square_quantile.hpp"
#include "quilvar/numeric/constants.hpp"

namespace quilvar::estimate {

namespace {

constexpr int kMsgGammaLimitFailed = 161;

// Below this many degrees of freedom no chi-square quantile is attempted;
// below the second the fall-back routine is not tried either.
constexpr double kSmallestGammaDf = 0.0001053671212772351;
constexpr double kSmallestFallbackDf = 0.01053671212772351;

// What the stratum walk gathers: the variance and the per-event weights
// d = w / n of the strata used (their count, sum, sum of squares, largest).
struct WeightSums {
  double variance = 0;
  int count = 0;
  double sum = 0;
  double sum_of_squares = 0;
  double largest = 0;
};

void clear(StdEstimate& e) {
  e.estimate = e.variance = e.std_error = host::kMissing;
  e.normal_lower = e.normal_upper = e.lognormal_lower = e.lognormal_upper = host::kMissing;
  e.gamma_lower = e.gamma_upper_largest = e.gamma_upper_mean = host::kMissing;
}

// The reference total that the weights of population k are shares of.
double reference_total(const ProcContext& c, int k) {
  return c.method == kMethodDirect ? c.reference_population_for[k] : c.total_reference_population;
}

// Variance term of one stratum with weight w, crude estimate r and
// population n: Poisson for RATE, binomial for RISK.
double variance_term(const ProcContext& c, double w, double r, double n) {
  if (c.statistic == kStatRate) return w * w * r / n;
  const double divisor = c.variance_divisor ? n - 1 : n;
  return w * w * r * (1 - r) / divisor;
}

WeightSums sum_strata(const ProcContext& c, int k, double total) {
  WeightSums sums;
  for (const StratumNode* node = c.strata; node != nullptr; node = node->first) {
    const PopulationCell& cell = node->cell[k];
    if ((c.method == kMethodDirect && node->absent[k]) || !present(cell.population)) continue;
    const double w = node->reference_population / total;
    const double d = w / cell.population;
    ++sums.count;
    sums.sum += d;
    sums.sum_of_squares += d * d;
    sums.largest = std::max(sums.largest, d);
    sums.variance += variance_term(c, w, cell.estimate, cell.population);
  }
  return sums;
}

// The chi-square quantile at p with df degrees of freedom for a gamma limit:
// none for very small df, the fall-back only for df that is not small.
bool gamma_quantile(double p, double df, double& q) {
  if (!(df >= kSmallestGammaDf)) return false;
  if (numeric::chi_square_quantile(p, df, q) == numeric::kOk) return true;
  return df >= kSmallestFallbackDf && numeric::chi_square_quantile_fallback(p, df, q) == numeric::kOk;
}

// The gamma limit at p of an estimate y with variance v, after adding the
// weight a and the variance b of one more event (a = b = 0 for the lower
// limit). Missing when the quantile cannot be computed.
double gamma_limit(double p, double y, double v, double a, double b) {
  const double df = 2 * (y + a) * (y + a) / (v + b);
  double q;
  if (!gamma_quantile(p, df, q)) return host::kMissing;
  return q * (v + b) / (2 * (y + a));
}

// Fills the gamma limits of the chosen variant; returns false when one of
// them could not be computed.
bool set_gamma_limits(const ProcContext& c, StdEstimate& e, const WeightSums& sums) {
  const double y = e.estimate;
  const double v = e.variance;
  e.gamma_lower = gamma_limit(c.alpha / 2, y, v, 0, 0);
  if (c.cl_type == kClGammaConservative) {
    e.gamma_upper_largest = gamma_limit(1 - c.alpha / 2, y, v, sums.largest, sums.largest * sums.largest);
  } else {
    const double count = sums.count;
    e.gamma_upper_mean = gamma_limit(1 - c.alpha / 2, y, v, sums.sum / count, sums.sum_of_squares / count);
  }
  const double upper = c.cl_type == kClGammaConservative ? e.gamma_upper_largest : e.gamma_upper_mean;
  return present(e.gamma_lower) && present(upper);
}

void set_normal_limits(const ProcContext& c, StdEstimate& e, const NormalQuantiles& z) {
  e.normal_lower = std::max(0.0, e.estimate + z.za * e.std_error);
  e.normal_upper = e.estimate + z.zb * e.std_error;
  if (c.statistic == kStatRisk) e.normal_upper = std::min(1.0, e.normal_upper);
}

void set_lognormal_limits(const ProcContext& c, StdEstimate& e, const NormalQuantiles& z) {
  if (!(e.estimate > 0)) return;
  const double s = e.std_error / e.estimate;
  e.lognormal_lower = e.estimate * std::exp(z.za * s);
  e.lognormal_upper = e.estimate * std::exp(z.zb * s);
  if (c.statistic == kStatRisk) e.lognormal_upper = std::min(1.0, e.lognormal_upper);
}

// Estimates population k; returns false when a gamma limit failed.
bool estimate_population(const ProcContext& c, StdEstimate& e, int k, const NormalQuantiles& z) {
  const double total = reference_total(c, k);
  if (!present(c.total_expected[k]) || !present(total) || !(total > 0)) return true;
  e.estimate = c.total_expected[k] / total;
  // A total too large for a double (infinite) still has a variance.
  if (!(c.total_population[k] > 0)) return true;
  const WeightSums sums = sum_strata(c, k, total);
  // A stratum of zero size (or of size 1 with the n - 1 divisor) makes the
  // variance infinite; it is then reported as missing.
  e.variance = finite_or_missing(sums.variance);
  if (!(e.variance > 0)) return true;
  e.std_error = std::sqrt(e.variance);
  switch (c.cl_type) {
    case kClNormal: set_normal_limits(c, e, z); return true;
    case kClLognormal: set_lognormal_limits(c, e, z); return true;
    case kClGammaConservative:
    case kClGammaAverage: return set_gamma_limits(c, e, sums);
    default: return true;
  }
}

}  // namespace

int compute_direct_estimates(ProcContext& c) {
  const NormalQuantiles z = normal_quantiles(c.alpha, c.normal_memo);
  bool gamma_failed = false;
  for (StdEstimate& e : c.std_estimates) clear(e);
  for (int k = 0; k < c.population_count; ++k) {
    if (!estimate_population(c, c.std_estimates[k], k, z)) gamma_failed = true;
  }
  if (gamma_failed && numeric::exact_upper_limit_in_reach(c.alpha)) {
    host::host_issue_message(host::kMessageSetProcedure, kMsgGammaLimitFailed);
    raise_step_status(c, host::kStatusWarning);
  }
  return 0;
}

}  // namespace quilvar::estimate
