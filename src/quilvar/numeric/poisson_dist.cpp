// The Poisson distribution record.
//
// Counts 0, 1 and 2 have closed-form tails; larger counts use the identity
// P(X ≤ k) = Q(k + 1, μ) with the gamma record. The quantiles compare with
// the closed-form tails at 0, 1 and 2 and otherwise search the integers on
// the logit scale from a variance-stabilised normal start (2·sqrt(X) is
// close to normal with mean 2·sqrt(μ) and unit variance).
#include "quilvar/numeric/poisson_dist.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/elementary.hpp"
#include "quilvar/numeric/gamma_dist.hpp"
#include "quilvar/numeric/log_gamma.hpp"
#include "quilvar/numeric/normal.hpp"
#include "quilvar/numeric/quantile_search.hpp"

namespace quilvar::numeric {
namespace {

// A probability equal to a closed-form tail within this relative closeness
// answers with that count.
constexpr double kClosedFormCloseness = 1.0536712127723511e-10;
// Rounding of a found quantile to a count, and the tie test one count lower.
constexpr double kCountCloseness = 1e-12;
// Count search settings.
constexpr double kCountSearchTolerance = 1e-11;
constexpr double kCountGrowth = 1.5;
constexpr double kCountShrink = 0.5;
// Upper-tail probabilities at or below this are not searched.
constexpr double kSmallestUpperProbability = 1.491668147e-154;

// Request 1.
int poisson_tails(PoissonDist& rec) {
  rec.log_upper_tail = kMissingValue;
  const double mu = rec.mean;
  const int k = rec.count;
  if (!(mu > 0.0) || k < 0) {
    return kFailed;
  }
  bool closed_form_lower = false;
  if (k <= 2) {
    const double s = k == 0 ? 0.0 : (k == 1 ? mu : mu * (0.5 * mu + 1.0));
    rec.log_lower_tail = log_one_plus(s) - mu;
    const double upper = 1.0 - safe_exp(rec.log_lower_tail);
    // 1 − P(X ≤ k) carries the rounding error of P, about 1.1e-16, so the
    // closed form serves the upper tail only while that error stays within
    // the tolerance relative to it; a smaller upper tail comes from the gamma
    // record's lower tail (for μ = 1e-5, P(X > 2) = 1.7e-16 came out 29%
    // off).
    if (upper * std::max(rec.tolerance, kMinimumTolerance) > kUnitTolerance) {
      rec.log_upper_tail = log_one_plus(-safe_exp(rec.log_lower_tail));
      return kOk;
    }
    closed_form_lower = upper > 0.0;  // else P(X ≤ k) rounds to 1: the record gives ln P too
  }
  GammaDist gamma{};
  gamma.requests = kRequestTails;
  gamma.x = mu;
  gamma.shape = k + 1.0;
  gamma.tolerance = rec.tolerance;
  const int status = gamma_dist_eval(gamma);
  if (!closed_form_lower) {
    rec.log_lower_tail = gamma.log_upper_tail;
  }
  rec.log_upper_tail = gamma.log_lower_tail;
  return status;
}

// Request 2.
int poisson_log_probability(PoissonDist& rec) {
  if (log_gamma_density(rec.mean, rec.count + 1.0, rec.log_probability) != kOk) {
    rec.log_probability = kMissingValue;
    return kFailed;
  }
  return kOk;
}

// Request 16: d ln P(X ≤ k)/dμ = −P(X = k)/P(X ≤ k).
int poisson_derivative(PoissonDist& rec) {
  rec.log_tail_derivative = kMissingValue;
  if (poisson_log_probability(rec) != kOk || poisson_tails(rec) != kOk) {
    return kFailed;
  }
  const double exponent = rec.log_probability - rec.log_lower_tail;
  if (!(exponent < kExpOverflowArgument)) {
    return kFailed;
  }
  rec.log_tail_derivative = -safe_exp(exponent);
  return kOk;
}

bool close_to(double p, double tail) { return std::max(p, tail) * kClosedFormCloseness >= std::fabs(p - tail); }

// The count for a found quantile: g when within 1e-12 (relative) of g = ⌊q⌋, else ⌈q⌉.
int round_to_count(double quantile) {
  const double g = std::floor(quantile);
  if (g == 0.0 && std::fabs(quantile - g) < kCountCloseness) {
    return 0;
  }
  return static_cast<int>(std::fabs(quantile - g) < kCountCloseness * quantile ? g : std::ceil(quantile));
}

struct CountSearchContext {
  PoissonDist& rec;
  bool upper;  // report ln P(X > k) instead of P(X ≤ k)
};

int evaluate_count(QuantileSearch& search) {
  auto& context = *static_cast<CountSearchContext*>(search.user_record);
  context.rec.count = static_cast<int>(search.trial_point);
  if (poisson_tails(context.rec) != kOk) {
    return kFailed;
  }
  *search.value_slot = context.upper ? context.rec.log_upper_tail : safe_exp(context.rec.log_lower_tail);
  return kOk;
}

// Searches the counts for the target; z is the normal deviate of the start.
int search_counts(PoissonDist& rec, double target, double z, bool upper, double& answer) {
  CountSearchContext context{rec, upper};
  double value = target;
  const double h = 2.0 * std::sqrt(rec.mean) - z;
  QuantileSearch search{};
  search.target_kind = upper ? kCountTargetLogUpper : kCountTargetProbability;
  search.interpolation_kind = kCountSecant;
  search.tolerance = kCountSearchTolerance;
  search.value_slot = &value;
  search.lower_bound = 0.0;
  search.upper_bound = kLargestInt;
  search.up_factor = kCountGrowth;
  search.down_factor = kCountShrink;
  search.start = h > 0.0 ? 0.5 * h * h + 0.5 : 1.0;
  search.user_record = &context;
  search.evaluate = evaluate_count;
  search.full_path = 1;
  if (count_search(search) != kOk) {
    return kFailed;
  }
  answer = search.trial_point;
  return kOk;
}

double deviate_for_start(double probability) {
  return normal_quantile(std::max(kQuantileTolerance, std::min(probability, kLargestQuantileProbability)));
}

// Request 4: the smallest count whose lower tail reaches p.
int poisson_lower_quantile(PoissonDist& rec) {
  const double mu = rec.mean;
  const double p = rec.probability;
  if (!(mu > 0.0) || !(p > 0.0 && p < 1.0)) {
    return kFailed;
  }
  rec.target = p;
  rec.target_logit = natural_log(p / (1.0 - p));
  const double e0 = safe_exp(-mu);
  const std::array<double, 3> tails = {e0, (1.0 + mu) * e0, (1.0 + mu + 0.5 * mu * mu) * e0};
  for (int k = 0; k < 3; ++k) {
    if (close_to(p, tails[k]) || p <= tails[k]) {
      rec.quantile = k;
      rec.count = k;
      return kOk;
    }
  }
  double answer = 0.0;
  if (search_counts(rec, p, deviate_for_start(1.0 - p), false, answer) != kOk) {
    return kFailed;
  }
  const double found = std::ceil(answer);
  rec.count = static_cast<int>(found) - 1;
  if (found >= 1.0 && poisson_tails(rec) == kOk && std::fabs(safe_exp(rec.log_lower_tail) - p) <= kCountCloseness * p) {
    answer = found - 1.0;
  }
  rec.quantile = answer;
  rec.count = round_to_count(answer);
  return kOk;
}

// Request 8: the smallest count whose upper tail P(X > k) is at most q.
int poisson_upper_quantile(PoissonDist& rec) {
  const double mu = rec.mean;
  const double q = rec.upper_probability;
  if (!(mu > 0.0) || !(q > 0.0 && q < 1.0)) {
    return kFailed;
  }
  const double e0 = safe_exp(-mu);
  const std::array<double, 3> tails = {1.0 - e0, 1.0 - (1.0 + mu) * e0, 1.0 - e0 * (1.0 + mu + 0.5 * mu * mu)};
  for (int k = 0; k < 3; ++k) {
    if (close_to(q, tails[k])) {
      rec.count = k;
      rec.quantile = k;
      rec.result_count = k;
      return kOk;
    }
  }
  if (q <= kSmallestUpperProbability) {
    return kOk;
  }
  for (int k = 0; k < 3; ++k) {
    if (q >= tails[k]) {
      rec.result_count = k;
      return kOk;
    }
  }
  double answer = 0.0;
  if (search_counts(rec, natural_log(q), deviate_for_start(q), true, answer) != kOk) {
    return kFailed;
  }
  rec.result_count = round_to_count(answer);
  return kOk;
}

}  // namespace

int poisson_dist_eval(PoissonDist& rec) {
  switch (rec.request) {
    case kPoissonTails:
      return poisson_tails(rec);
    case kPoissonLogProbability:
      return poisson_log_probability(rec);
    case kPoissonLowerQuantile:
      return poisson_lower_quantile(rec);
    case kPoissonUpperQuantile:
      return poisson_upper_quantile(rec);
    case kPoissonDerivative:
      return poisson_derivative(rec);
    default:
      return kFailed;
  }
}

int poisson_tail_logs(double mean, double count, double tolerance, double& log_lower, double& log_upper) {
  if (!(count > -1.0 && count < kLargestInt + 1.0)) {
    return kFailed;
  }
  PoissonDist rec{};
  rec.request = kPoissonTails;
  rec.mean = mean;
  rec.count = static_cast<int>(count);
  rec.tolerance = tolerance;
  if (poisson_dist_eval(rec) != kOk) {
    return kFailed;
  }
  log_lower = rec.log_lower_tail;
  log_upper = rec.log_upper_tail;
  return kOk;
}

}  // namespace quilvar::numeric
