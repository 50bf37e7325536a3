// Effect estimates between two populations: differences with normal limits
// and ratios with limits on the log scale (Rothman, Greenland and Lash 2008,
// ch. 14), and the variance of the log Mantel-Haenszel rate ratio and risk
// ratio (Greenland and Robins 1985).
#include "quilvar/estimate/effects.hpp"

#include <cmath>

#include "quilvar/estimate/attributable_fraction.hpp"
#include "quilvar/estimate/estimate_support.hpp"

namespace quilvar::estimate {

namespace {

using host::kMissing;

// The sums of the Mantel-Haenszel variance over strata: the numerator and
// P = Σ w·r1, Q = Σ w·r2.
struct MhSums {
  double numerator = 0;
  double p = 0;
  double q = 0;
};

// The stratum effect type: the one asked for, otherwise RATIO.
int stratum_effect_type(const ProcContext& c) {
  if (c.strata_effect_type != kEffectNone) return c.strata_effect_type;
  return c.effect_type != kEffectNone ? c.effect_type : kEffectRatio;
}

// Variance of a crude estimate r on n: r / n (RATE) or r·(1 − r) / n (RISK);
// missing without a positive population.
double crude_variance(const ProcContext& c, double r, double n) {
  if (!present(n) || !(n > 0)) return kMissing;
  return c.statistic == kStatRisk ? r * (1 - r) / n : r / n;
}

double root_or_missing(double variance) {
  return present(variance) && variance >= 0 ? std::sqrt(variance) : kMissing;
}

MhSums sum_mh_terms(const ProcContext& c) {
  MhSums sums;
  for (const StratumNode* node = c.strata; node != nullptr; node = node->first) {
    const PopulationCell& first = node->cell[0];
    const PopulationCell& second = node->cell[1];
    const double w = node->reference_population;
    const double t = first.population + second.population;
    if (!present(w) || !present(first.events) || !present(second.events) || !(t > 0)) continue;
    double term = w * (first.events + second.events) / t;
    if (c.statistic == kStatRisk) term -= first.events * second.events / t;
    sums.numerator += term;
    sums.p += w * first.estimate;
    sums.q += w * second.estimate;
  }
  return sums;
}

void set_difference(const ProcContext& c, OverallEffect& e, const NormalQuantiles& z) {
  const double v1 = c.std_estimates[0].variance;
  const double v2 = c.std_estimates[1].variance;
  if (present(e.first) && present(e.second)) e.effect = e.first - e.second;
  if (present(v1) && present(v2)) e.std_error = root_or_missing(v1 + v2);
  if (!present(e.effect) || !(e.std_error > 0)) return;
  e.z = e.effect / e.std_error;
  e.p = two_sided_p(e.z);
  e.lower = e.effect + z.za * e.std_error;
  e.upper = e.effect + z.zb * e.std_error;
}

// Standard error of the log ratio of the two standardized estimates.
double log_ratio_std_error(const ProcContext& c, double e1, double e2) {
  if (c.method == kMethodMh) return root_or_missing(c.mh_log_ratio_variance);
  const double v1 = c.std_estimates[0].variance;
  const double v2 = c.std_estimates[1].variance;
  if (!present(v1) || !present(v2)) return kMissing;
  return root_or_missing(v1 / (e1 * e1) + v2 / (e2 * e2));
}

void set_ratio(const ProcContext& c, OverallEffect& e, const NormalQuantiles& z) {
  if (present(e.first) && e.second > 0) e.effect = e.first / e.second;
  if (e.first > 0 && e.second > 0) e.std_error = log_ratio_std_error(c, e.first, e.second);
  if (!present(e.effect) || !(e.std_error > 0)) return;
  e.log_ratio = std::log(e.effect);
  e.z = e.log_ratio / e.std_error;
  e.p = two_sided_p(e.z);
  e.lower = e.effect * std::exp(z.za * e.std_error);
  e.upper = e.effect * std::exp(z.zb * e.std_error);
}

}  // namespace

int compute_stratum_effect(ProcContext& c, const StratumNode& node, double& estimate, double& std_error,
                           double& lower, double& upper) {
  estimate = std_error = lower = upper = kMissing;
  const double r1 = node.cell[0].estimate;
  const double r2 = node.cell[1].estimate;
  if (!present(r1) || !present(r2)) return 0;
  const NormalQuantiles z = normal_quantiles(c.alpha, c.normal_memo);
  const double w1 = crude_variance(c, r1, node.cell[0].population);
  const double w2 = crude_variance(c, r2, node.cell[1].population);
  if (stratum_effect_type(c) == kEffectDiff) {
    estimate = r1 - r2;
    if (!present(w1) || !present(w2)) return 0;
    std_error = root_or_missing(w1 + w2);
    if (!present(std_error)) return 0;
    lower = estimate + z.za * std_error;
    upper = estimate + z.zb * std_error;
    return 0;
  }
  if (r2 > 0) estimate = r1 / r2;
  if (!(r1 > 0) || !(r2 > 0) || !present(w1) || !present(w2)) return 0;
  std_error = root_or_missing(w1 / (r1 * r1) + w2 / (r2 * r2));
  if (!present(std_error)) return 0;
  lower = estimate * std::exp(z.za * std_error);
  upper = estimate * std::exp(z.zb * std_error);
  return 0;
}

int compute_mh_statistics(ProcContext& c) {
  c.mh_log_ratio_variance = kMissing;
  reset_attr_fraction(c);
  if (c.attr_fraction_on && !choose_exposed_population(c)) return 0;
  const MhSums sums = sum_mh_terms(c);
  if (!(sums.p > 0) || !(sums.q > 0)) return 0;
  c.mh_log_ratio_variance = finite_or_missing(sums.numerator / (sums.p * sums.q));
  if (c.attr_fraction_on) compute_mh_attr_fraction(c, c.mh_log_ratio_variance);
  return 0;
}

OverallEffect compute_overall_effect(const ProcContext& c) {
  OverallEffect e{c.std_estimates[0].estimate, c.std_estimates[1].estimate, kMissing, kMissing, kMissing,
                  kMissing, kMissing, kMissing, kMissing};
  const NormalQuantiles z = normal_quantiles(c.alpha);
  if (c.effect_type == kEffectDiff) {
    set_difference(c, e, z);
  } else {
    set_ratio(c, e, z);
  }
  return e;
}

}  // namespace quilvar::estimate
