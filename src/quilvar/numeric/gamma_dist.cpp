// The gamma distribution record.
//
// Tails come from the incomplete gamma function in logarithmic form, or for
// x ≥ 100·a from the asymptotic expansion
// Q(a, x) ~ g(x)·(1 + (a−1)/x + (a−1)(a−2)/x² + …) (DLMF 8.11.2), with the
// exponential-grid quadrature as fall-back. The lower quantile brackets and
// runs a secant on (ln x, logit P) from a normal start; the upper quantile
// uses the monotone root finder on ln Q.
#include "quilvar/numeric/gamma_dist.hpp"

#include <algorithm>
#include <cmath>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/elementary.hpp"
#include "quilvar/numeric/incomplete_gamma.hpp"
#include "quilvar/numeric/log_gamma.hpp"
#include "quilvar/numeric/normal.hpp"
#include "quilvar/numeric/quantile_search.hpp"
#include "quilvar/numeric/tail_inversion.hpp"

namespace quilvar::numeric {
namespace {

constexpr std::uint32_t kLargestRequests = 15;
// Shapes at or below this are refused.
constexpr double kSmallestShape = 1e-9;
// Numerator of the x floor: the floor is at least this over the tolerance.
constexpr double kXFloorScale = 2.225073858507202e-305;
// The asymptotic expansion serves x ≥ 100·a for a ≥ 0.5; its terms stop
// below 1e-12 of the sum, and 99 or more terms are not trusted.
constexpr double kAsymptoticRatio = 100.0;
constexpr double kAsymptoticShape = 0.5;
constexpr double kAsymptoticPrecision = 1e-12;
constexpr int kAsymptoticTermCap = 100;
constexpr int kAsymptoticTrustedTerms = 99;

double at_least(double value, double floor) { return value >= floor ? value : floor; }

// ln Q by the asymptotic expansion, falling back to the quadrature when the
// expansion needs too many terms.
int asymptotic_upper_tail(GammaDist& rec) {
  const double a = rec.shape;
  const double x = rec.x;
  double term = 1.0;
  double sum = 0.0;
  int terms = 0;
  for (int i = 1; i <= kAsymptoticTermCap; ++i) {
    term *= (a - i) / x;
    if (!(std::fabs(term) > kAsymptoticPrecision * std::fabs(sum))) {
      break;
    }
    sum += term;
    ++terms;
  }
  if (terms >= kAsymptoticTrustedTerms) {
    return gamma_tail_by_quadrature(rec);
  }
  rec.log_density = (a - 1.0) * natural_log(x) - log_gamma(a) - x;
  rec.log_upper_tail = sum == -1.0 ? kLogOfZero : rec.log_density + log_one_plus(sum);
  rec.log_lower_tail = log_complement(rec.log_upper_tail);
  return kOk;
}

// Request 1: ln P, ln Q and the log density at x.
int gamma_tails(GammaDist& rec) {
  if (!(rec.x >= 0.0) || !(rec.shape > kSmallestShape)) {
    return kFailed;
  }
  if (rec.x == 0.0) {
    rec.log_lower_tail = -kLargestDouble;
    rec.log_upper_tail = 0.0;
    rec.log_density = rec.shape > 1.0 ? -kLargestDouble : (rec.shape < 1.0 ? kLargestDouble : 0.0);
    return kOk;
  }
  rec.tolerance = at_least(rec.tolerance, kSeriesPrecision);
  int status = kOk;
  if (rec.x / rec.shape >= kAsymptoticRatio && rec.shape >= kAsymptoticShape) {
    status = asymptotic_upper_tail(rec);
  } else if (log_incomplete_gamma(rec) != kOk) {
    status = gamma_tail_by_quadrature(rec);
  }
  if (status != kOk || rec.log_lower_tail > 0.0 || rec.log_upper_tail > 0.0) {
    return kFailed;
  }
  return kOk;
}

int evaluate_gamma_tails(void* context, double point, double& log_lower, double& log_upper) {
  auto& rec = *static_cast<GammaDist*>(context);
  rec.x = point;
  if (gamma_tails(rec) != kOk) {
    return kFailed;
  }
  log_lower = rec.log_lower_tail;
  log_upper = rec.log_upper_tail;
  return kOk;
}

// Request 4: x with P(a, x) = p.
int gamma_lower_quantile(GammaDist& rec) {
  const double a = rec.shape;
  const double p = rec.probability;
  if (!(a > kSmallestShape) || !(p > 0.0) || p > kLargestQuantileProbability) {
    return kFailed;
  }
  const double start = std::max(1.0, normal_quantile(p) * std::sqrt(a) + a);
  rec.up_factor = std::clamp(1.0 + 1.0 / (a * start), 1.5, 3.0);
  rec.down_factor = std::min(0.9, 1.0 / rec.up_factor);
  const TailInversion inversion{evaluate_gamma_tails, &rec, p, rec.up_factor, rec.down_factor, rec.x_floor, false};
  double root = start;
  const int status = invert_lower_tail(inversion, start, root);
  rec.x = root;
  return status;
}

int gamma_upper_start(QuantileSearch& search) {
  auto& rec = *static_cast<GammaDist*>(search.user_record);
  const double a = rec.shape;
  search.start = std::max(1.0, a - normal_quantile(rec.upper_probability) * std::sqrt(a));
  rec.up_factor = std::max(1.5, 1.0 + 1.0 / (a * search.start));
  rec.down_factor = std::min(0.9, 1.0 / rec.up_factor);
  search.up_factor = rec.up_factor;
  search.down_factor = rec.down_factor;
  return kOk;
}

int gamma_upper_evaluate(QuantileSearch& search) {
  auto& rec = *static_cast<GammaDist*>(search.user_record);
  rec.x = search.trial_point;
  return gamma_tails(rec);
}

// Request 8: x with Q(a, x) = q, by the root finder on ln Q.
int gamma_upper_quantile(GammaDist& rec) {
  const double q = rec.upper_probability;
  if (!(q > 0.0 && q < 1.0)) {
    rec.x = kMissingValue;
    return kFailed;
  }
  rec.log_upper_tail = natural_log(q);
  QuantileSearch search = log_upper_tail_search(&rec.log_upper_tail, &rec, gamma_upper_start, gamma_upper_evaluate);
  if (quantile_search(search) != kOk) {
    rec.x = kMissingValue;
    return kFailed;
  }
  rec.x = search.trial_point;
  return kOk;
}

}  // namespace

int gamma_dist_eval(GammaDist& rec) {
  const std::uint32_t requests = rec.requests;
  if (requests == 0 || requests > kLargestRequests) {
    return kFailed;
  }
  rec.tolerance = at_least(rec.tolerance, kMinimumTolerance);
  rec.x_floor = at_least(rec.x_floor, kXFloorScale / rec.tolerance);
  int status = kOk;
  if ((requests & kRequestLowerQuantile) != 0) {
    status = gamma_lower_quantile(rec);
  } else if ((requests & kRequestUpperQuantile) != 0) {
    status = gamma_upper_quantile(rec);
  } else {
    if ((requests & kRequestTails) != 0) {
      status = gamma_tails(rec);
    }
    if ((requests & kRequestLogDensity) != 0 && log_gamma_density(rec.x, rec.shape, rec.log_density) != kOk) {
      status = kFailed;
    }
  }
  rec.requests = requests;
  return status;
}

}  // namespace quilvar::numeric
