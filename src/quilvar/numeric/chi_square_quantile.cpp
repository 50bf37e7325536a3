// Chi-square quantiles.
//
// chi_square_quantile solves P(df/2, g) = p for the gamma point g and returns
// 2g, in the manner of D. J. Best and D. E. Roberts, "The percentage points
// of the χ² distribution", Appl. Statist. 24 (1975), AS 91: a Wilson–Hilferty
// start (or (p·Γ(a + 1))^(1/a) in the far lower tail), then steps on the
// plain incomplete gamma function chosen by the region of p: a power step
// g·(p/P)^(P/(g·f)) for p < 0.2, Newton on ln Q for p > 0.8, and Halley's
// method between, stopping when |p − P| ≤ 1e-7·min(p, 1 − p).
// chi_square_quantile_fallback asks the chi-square distribution record.
#include "quilvar/numeric/chi_square_quantile.hpp"

#include <algorithm>
#include <cmath>

#include "quilvar/numeric/chisq_dist.hpp"
#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/elementary.hpp"
#include "quilvar/numeric/incomplete_gamma.hpp"
#include "quilvar/numeric/log_gamma.hpp"

namespace quilvar::numeric {
namespace {

constexpr double kRelativeProbabilityTolerance = 1e-7;
// At most 11 evaluations of the incomplete gamma function in all (restarts
// after halving or doubling included).
constexpr int kEvaluationCap = 11;
// Regions of p for the step formula.
constexpr double kPowerStepLimit = 0.2;
constexpr double kNewtonStepLimit = 0.8;

// Wilson–Hilferty start for the gamma point with shape a.
double starting_point(double p, double a) {
  const double q = std::min(p, 1.0 - p);
  const double s = std::sqrt(-2.0 * natural_log(q));
  double z = s - (2.30753 + 0.27061 * s) / (1.0 + (0.99229 + 0.04481 * s) * s);
  z = p < 0.5 ? -z : z;
  const double w = 1.0 - 1.0 / (9.0 * a) + z / std::sqrt(9.0 * a);
  double g = w > 0.0 ? a * w * w * w : 0.0;
  if (g <= 0.0) {
    g = safe_exp((log_gamma(a) + natural_log(a * p)) / a);  // (p·Γ(a + 1))^(1/a)
  }
  return g <= kTinyArgument ? a : g;
}

// The next gamma point from the lower tail P and density f at g.
double next_point(double p, double a, double g, double lower, double density) {
  if (p < kPowerStepLimit) {
    return g * power(p / lower, lower / (g * density));
  }
  if (p > kNewtonStepLimit) {
    return g - log_one_plus(-(p - lower) / (1.0 - lower)) * (1.0 - lower) / density;
  }
  const double difference = p - lower;
  return g + difference / (density + 0.5 * (std::max(a - 1.0, 0.0) / g - 1.0) * difference);
}

}  // namespace

int chi_square_quantile(double p, double df, double& out) {
  if (!(p >= 0.0 && p < kLargestChiSquareProbability) || !(df > 0.0 && df < kLargestChiSquareDegreesOfFreedom)) {
    return kFailed;
  }
  if (p == 0.0) {
    out = 0.0;
    return kOk;
  }
  const double a = df / 2.0;
  const double tolerance = kRelativeProbabilityTolerance * std::min(p, 1.0 - p);
  double g = starting_point(p, a);
  for (int evaluation = 0; evaluation < kEvaluationCap; ++evaluation) {
    double lower = 0.0;
    double upper = 0.0;
    double density = 0.0;
    if (g <= kTinyArgument || incomplete_gamma(g, a, lower, upper, density) != kOk) {
      return kFailed;
    }
    if (upper == 0.0 || density == 0.0) {
      g /= 2.0;  // Q or the density underflowed: restart nearer the bulk
      continue;
    }
    if (lower == 0.0) {
      g *= 2.0;  // far below the bulk
      continue;
    }
    if (lower == 1.0) {
      return kFailed;  // no step can be formed
    }
    g = next_point(p, a, g, lower, density);
    if (std::fabs(p - lower) <= tolerance) {
      out = 2.0 * g;
      return kOk;
    }
  }
  return kFailed;
}

int chi_square_quantile_fallback(double p, double df, double& out) {
  if (!(p >= 0.0 && p < 1.0) || !(df > 0.0)) {
    return kFailed;
  }
  if (p == 0.0) {
    out = 0.0;
    return kOk;
  }
  ChiSquareDist rec{};
  rec.probability = p;
  rec.degrees_of_freedom = df;
  rec.requests = kRequestLowerQuantile;
  if (chisq_dist_eval(rec) != kOk) {
    return kFailed;
  }
  out = rec.x;
  return kOk;
}

}  // namespace quilvar::numeric
