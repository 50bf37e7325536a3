// The chi-square distribution record, central and noncentral.
//
// The central distribution is the gamma distribution with shape k/2 at x/2.
// Quantiles of the noncentral distribution start from Patnaik's
// approximation (P. B. Patnaik, Biometrika 36 (1949)): X ≈ c·χ²(ν*) with
// c = 1 + λ/(k + λ) and ν* = (k + λ)/c, whose quantile is found first with a
// Wilson–Hilferty start; the search on the true distribution then brackets
// and runs a secant on (ln x, logit P).
#include "quilvar/numeric/chisq_dist.hpp"

#include <algorithm>
#include <cmath>

#include "quilvar/numeric/bessel.hpp"
#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/elementary.hpp"
#include "quilvar/numeric/log_gamma.hpp"
#include "quilvar/numeric/noncentral_chisq.hpp"
#include "quilvar/numeric/normal.hpp"
#include "quilvar/numeric/quantile_search.hpp"
#include "quilvar/numeric/tail_inversion.hpp"

namespace quilvar::numeric {
namespace {

constexpr std::uint32_t kLargestRequests = 15;
constexpr double kSmallestDegreesOfFreedom = 1e-8;
// Numerator of the x floor: the floor is at least this over the tolerance.
constexpr double kXFloorScale = 2.225073858507202e-308;
// Up to this noncentrality the Poisson mixture is tried first.
constexpr double kMixtureNoncentrality = 500.0;
// 2/9, the variance factor of the cube-root (Wilson–Hilferty) transform, and
// the 15-digit value the fall-back starts of the quantile searches use.
constexpr double kTwoNinths = 0.2222222222222222;
constexpr double kFallbackTwoNinths = 0.222222222222222;
constexpr double kSqrt2 = 1.4142135623730951;
// Bracket factors of the searches.
constexpr double kGrowth = 1.5;
constexpr double kShrink = 0.7;

double at_least(double value, double floor) { return value >= floor ? value : floor; }

// λ = 0: the gamma record with shape k/2 at x/2.
int central_tails(ChiSquareDist& rec) {
  GammaDist gamma{};
  gamma.requests = kRequestTails;
  gamma.x = rec.x / 2.0;
  gamma.shape = rec.degrees_of_freedom / 2.0;
  gamma.tolerance = rec.tolerance;
  const int status = gamma_dist_eval(gamma);
  rec.log_lower_tail = gamma.log_lower_tail;
  rec.log_upper_tail = gamma.log_upper_tail;
  rec.log_density = gamma.log_density - kLn2;
  return status;
}

// Request 2.
int chisq_log_density(ChiSquareDist& rec) {
  const double k = rec.degrees_of_freedom;
  const double lambda = rec.noncentrality;
  const double x = rec.x;
  if (!(k >= kSmallestDegreesOfFreedom)) {
    return kFailed;
  }
  if (lambda == 0.0) {
    double log_density = 0.0;
    if (log_gamma_density(x / 2.0, k / 2.0, log_density) != kOk) {
      return kFailed;
    }
    rec.log_density = is_missing(log_density) ? log_density : log_density - kLn2;
    return kOk;
  }
  if (!(x > 0.0) || !(lambda > 0.0)) {
    return kFailed;
  }
  const double z = std::sqrt(x * lambda);
  const double nu = k / 2.0 - 1.0;
  double log_scaled_bessel = 0.0;
  if (log_scaled_bessel_i(nu, z, log_scaled_bessel) != kOk) {
    return kFailed;
  }
  const double gap = std::sqrt(lambda) - std::sqrt(x);
  rec.log_density = log_scaled_bessel - kLn2 - 0.5 * gap * gap + 0.5 * nu * natural_log(x / lambda);
  return kOk;
}

int evaluate_gamma_at_half(void* context, double point, double& log_lower, double& log_upper) {
  auto& gamma = *static_cast<GammaDist*>(context);
  gamma.requests = kRequestTails;
  gamma.x = point / 2.0;
  if (gamma_dist_eval(gamma) != kOk) {
    return kFailed;
  }
  log_lower = gamma.log_lower_tail;
  log_upper = gamma.log_upper_tail;
  return kOk;
}

int evaluate_chisq(void* context, double point, double& log_lower, double& log_upper) {
  auto& rec = *static_cast<ChiSquareDist*>(context);
  rec.x = point;
  if (chisq_tails(rec) != kOk) {
    return kFailed;
  }
  log_lower = rec.log_lower_tail;
  log_upper = rec.log_upper_tail;
  return kOk;
}

// Normal deviate of p by a rational approximation accurate to about 3e-3.
double rough_normal_deviate(double p) {
  const double g = std::sqrt(-2.0 * natural_log(std::min(p, 1.0 - p)));
  const double z = g - (2.30753 + 0.27061 * g) / (1.0 + 0.99229 * g + 0.04481 * g * g);
  return p < 0.5 ? -z : z;
}

// The lower p quantile of the central chi-square with nu degrees of freedom,
// from a Wilson–Hilferty start.
int central_lower_root(double nu, double p, const ChiSquareDist& rec, double& root) {
  const double s = nu / 2.0;
  const double e = 1.0 - 1.0 / (9.0 * s) + rough_normal_deviate(p) / std::sqrt(9.0 * s);
  double y0 = e > 0.0 ? s * e * e * e : safe_exp((log_gamma(s) + natural_log(p * s)) / s);
  if (!(y0 > 0.0)) {
    y0 = s;
  }
  GammaDist gamma{};
  gamma.shape = s;
  gamma.tolerance = rec.tolerance;
  const TailInversion inversion{evaluate_gamma_at_half, &gamma, p, kGrowth, kShrink, rec.x_floor, false};
  return invert_lower_tail(inversion, 2.0 * y0, root);
}

// Request 4: x with P(X ≤ x) = p.
int chisq_lower_quantile(ChiSquareDist& rec) {
  const double k = rec.degrees_of_freedom;
  const double lambda = rec.noncentrality;
  const double p = rec.probability;
  if (!(k > kSmallestDegreesOfFreedom) || k > kLargestInt || !(lambda >= 0.0) || !(p > 0.0) ||
      p > kLargestQuantileProbability) {
    return kFailed;
  }
  const double c = lambda / (k + lambda) + 1.0;
  double start = 0.0;
  if (central_lower_root((k + lambda) / c, p, rec, start) == kOk) {
    start *= c;
  } else {
    start = std::fabs(1.0 - kFallbackTwoNinths * c + std::sqrt(2.0 * c) * normal_quantile(p));
  }
  rec.up_factor = kGrowth;
  rec.down_factor = kShrink;
  const TailInversion inversion{evaluate_chisq, &rec, p, kGrowth, kShrink, rec.x_floor, true};
  double root = start;
  const int status = invert_lower_tail(inversion, start, root);
  rec.x = root;
  return status;
}

// Wilson–Hilferty start of the central upper quantile.
void central_upper_start(double k, double q, QuantileSearch& search) {
  const double v = kTwoNinths / k;
  const double c = 1.0 - v - normal_quantile(q) * std::sqrt(v);
  double start = c > 1e-8 ? k * c * c * c : safe_exp(natural_log(q) / (0.5 * k));
  search.start = start > 0.0 ? start : k;
  search.up_factor = k >= 0.5 ? kGrowth : 5.0;
  search.down_factor = k >= 0.5 ? kShrink : 0.2;
}

int upper_start_central(QuantileSearch& search) {
  const auto& rec = *static_cast<ChiSquareDist*>(search.user_record);
  central_upper_start(rec.degrees_of_freedom, rec.upper_probability, search);
  return kOk;
}

// Noncentral start: c times the central upper quantile for ν* degrees of freedom.
int upper_start_noncentral(QuantileSearch& search) {
  const auto& rec = *static_cast<ChiSquareDist*>(search.user_record);
  const double k = rec.degrees_of_freedom;
  const double c = rec.noncentrality / (k + rec.noncentrality) + 1.0;
  ChiSquareDist central{};
  central.requests = kRequestUpperQuantile;
  central.degrees_of_freedom = (k + rec.noncentrality) / c;
  central.upper_probability = rec.upper_probability;
  central.tolerance = rec.tolerance;
  if (chisq_dist_eval(central) == kOk) {
    search.start = c * central.x;
  } else {
    search.start =
        std::fabs(1.0 - kFallbackTwoNinths * c + normal_quantile(rec.upper_probability) * std::sqrt(2.0 * c));
  }
  search.up_factor = kGrowth;
  search.down_factor = kShrink;
  return kOk;
}

int upper_evaluate(QuantileSearch& search) {
  auto& rec = *static_cast<ChiSquareDist*>(search.user_record);
  rec.x = search.trial_point;
  return chisq_tails(rec);
}

// Request 8: x with P(X > x) = q, by the root finder on ln Q.
int chisq_upper_quantile(ChiSquareDist& rec) {
  const double q = rec.upper_probability;
  if (!(q > 0.0 && q < 1.0)) {
    rec.x = kMissingValue;
    return kFailed;
  }
  rec.log_upper_tail = natural_log(q);
  QuantileSearch search = log_upper_tail_search(&rec.log_upper_tail, &rec, rec.noncentrality == 0.0 ? upper_start_central : upper_start_noncentral, upper_evaluate);
  if (quantile_search(search) != kOk) {
    rec.x = kMissingValue;
    return kFailed;
  }
  rec.up_factor = search.up_factor;
  rec.down_factor = search.down_factor;
  rec.x = search.trial_point;
  return kOk;
}

}  // namespace

int chisq_tails(ChiSquareDist& rec) {
  const double k = rec.degrees_of_freedom;
  const double lambda = rec.noncentrality;
  if (!(rec.x > 0.0) || !(k >= kSmallestDegreesOfFreedom) || !(lambda >= 0.0)) {
    return kFailed;
  }
  rec.tolerance = at_least(rec.tolerance, kSeriesPrecision);
  if (rec.moments_ready == 0) {
    rec.mean = k + lambda;
    rec.standard_deviation = std::sqrt(k + 2.0 * lambda) * kSqrt2;
    rec.moments_ready = 1;
  }
  if (lambda == 0.0) {
    return central_tails(rec);
  }
  // Wilson–Hilferty-type deviate of x under Patnaik's approximation: far in
  // the lower tail the density is integrated over [0, x].
  const double e = (lambda / (k + lambda) + 1.0) * kTwoNinths / (k + lambda);
  rec.lower_integration = (std::sqrt(rec.x / (k + lambda)) - 1.0 + e) / std::sqrt(e) <= -2.0 ? 1 : 0;
  if (lambda <= kMixtureNoncentrality && noncentral_chisq_series(rec) == kOk) {
    return kOk;
  }
  return noncentral_chisq_by_quadrature(rec);
}

int chisq_dist_eval(ChiSquareDist& rec) {
  const std::uint32_t requests = rec.requests;
  if (requests == 0 || requests > kLargestRequests) {
    return kFailed;
  }
  rec.tolerance = at_least(rec.tolerance, kMinimumTolerance);
  rec.x_floor = at_least(rec.x_floor, kXFloorScale / rec.tolerance);
  int status = kOk;
  if ((requests & kRequestUpperQuantile) != 0) {
    status = chisq_upper_quantile(rec);
  } else if ((requests & kRequestLowerQuantile) != 0) {
    status = chisq_lower_quantile(rec);
  } else {
    if ((requests & kRequestTails) != 0) {
      status = chisq_tails(rec);
    }
    if ((requests & kRequestLogDensity) != 0 && chisq_log_density(rec) != kOk) {
      status = kFailed;
    }
  }
  rec.requests = requests;
  return status;
}

}  // namespace quilvar::numeric
