// Monotone root finders on the logit scale.
//
// Both engines transform the function value to the logit of a lower-tail
// probability, in which distribution functions of a location-like parameter
// are close to linear, bracket the target by growth factors and then
// interpolate. quantile_search draws a secant through the two latest points
// (in the parameter or its logarithm); count_search works on integers, by
// bisection or by a secant in a transformed count coordinate, and closes
// with integer bisection to the adjacent pair around the target.
#include "quilvar/numeric/quantile_search.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/elementary.hpp"

namespace quilvar::numeric {
namespace {

constexpr int kContinuousBracketSteps = 70;
constexpr int kContinuousInterpolationSteps = 70;
constexpr int kMidpointHalvings = 10;
// A geometric interpolation step moves the parameter by at most e^5.
constexpr double kLargestLogStep = 5.0;
constexpr int kCountSteps = 32;
// The closing bisection of count_search: enough for the full integer range.
constexpr int kClosingSteps = 64;
// Probabilities are clamped into (floor, 0.999999999) before the logit.
constexpr double kProbabilityFloor = 1.110223024625157e-16;
constexpr double kCountProbabilityFloor = 1e-15;
constexpr double kProbabilityCeiling = 0.999999999;
// Log probabilities are capped just below 0 before the logit.
constexpr double kLogProbabilityCap = -2.220446049250314e-16;

bool is_invalid_target(double target) {
  constexpr std::uint64_t kTopSixteenBits = 0xFFFF000000000000ull;
  return (std::bit_cast<std::uint64_t>(target) & kTopSixteenBits) == kTopSixteenBits || std::isnan(target);
}

// Whether the value is a probability (as opposed to the log of one).
bool is_probability_kind(const QuantileSearch& s) {
  return s.target_kind == kTargetProbability;  // 0 in both engines
}

// The value clamped into the range its logit is taken on.
double clamp_value(const QuantileSearch& s, double v, bool count) {
  if (is_probability_kind(s)) {
    return std::clamp(v, count ? kCountProbabilityFloor : kProbabilityFloor, kProbabilityCeiling);
  }
  return std::min(v, kLogProbabilityCap);
}

// The logit of the lower-tail probability a clamped value stands for.
double value_logit(const QuantileSearch& s, double clamped, bool count) {
  if (count && s.value_transform != nullptr) {
    return s.value_transform(s, clamped);
  }
  if (is_probability_kind(s)) {
    return natural_log(clamped / (1.0 - clamped));
  }
  const bool log_lower = s.target_kind == (count ? kCountTargetLogLower : kTargetLogLower);
  const double log_complement_of_value = natural_log(-exp_minus_one(clamped));
  return log_lower ? clamped - log_complement_of_value : log_complement_of_value - clamped;
}

struct Sample {
  double x;
  double value;
  double logit;
};

// Evaluates at x and records the value and its logit.
int evaluate_at(QuantileSearch& s, double x, bool count, Sample& out) {
  s.trial_point = x;
  if (s.evaluate(s) != kOk) {
    return kFailed;
  }
  const double value = *s.value_slot;
  s.clamped_value = clamp_value(s, value, count);
  out = {x, value, value_logit(s, s.clamped_value, count)};
  s.transformed_value = out.logit;
  return kOk;
}

void set_low_end(QuantileSearch& s, const Sample& sample) {
  s.low_end = sample.x;
  s.value_at_low_end = sample.value;
  s.logit_at_low_end = sample.logit;
}

void set_high_end(QuantileSearch& s, const Sample& sample) {
  s.high_end = sample.x;
  s.value_at_high_end = sample.value;
  s.logit_at_high_end = sample.logit;
}

int finish(QuantileSearch& s, int status, double root) {
  s.status = status;
  s.converged = status == kSearchConverged;
  if (s.converged) {
    s.trial_point = root;
  }
  return s.converged ? kOk : kFailed;
}

bool on_target(const QuantileSearch& s, const Sample& sample) {
  if (s.target_kind == kTargetProbability) {
    return std::fabs(sample.value - s.target) < std::fabs(s.target) * s.tolerance;
  }
  return std::fabs(sample.logit - s.target_logit) < std::max(1.0, std::fabs(s.target_logit)) * s.tolerance;
}

// Reads the target, forms its logit and raises the tolerance.
int read_target(QuantileSearch& s, bool count) {
  if (s.value_slot == nullptr || s.evaluate == nullptr) {
    s.status = kSearchNotConverged;
    return kFailed;
  }
  s.converged = false;
  s.target = *s.value_slot;
  s.tolerance = s.tolerance >= kQuantileTolerance ? s.tolerance : kQuantileTolerance;
  if (is_invalid_target(s.target)) {
    s.status = kSearchInvalidStart;
    return kFailed;
  }
  s.target_logit = value_logit(s, clamp_value(s, s.target, count), count);
  return kOk;
}

enum class Outcome { kContinue, kRoot, kFailed };

// Linear interpolation: evaluates at 0 and turns the start (and the factors)
// toward the target.
Outcome orient_linear_start(QuantileSearch& s, Sample& at_zero) {
  if (evaluate_at(s, 0.0, false, at_zero) != kOk) {
    return Outcome::kFailed;
  }
  if (on_target(s, at_zero)) {
    return Outcome::kRoot;
  }
  const bool target_below = s.target < at_zero.value;
  const bool negative = s.target_kind == kTargetLogUpper ? !target_below : target_below;
  s.start = negative ? -std::fabs(s.start) : std::fabs(s.start);
  if (negative) {
    std::swap(s.up_factor, s.down_factor);
  }
  return Outcome::kContinue;
}

// Multiplies the trial point by the factors until the target lies between
// an end below it and an end above it.
Outcome bracket_continuous(QuantileSearch& s, Sample& older, Sample& newer) {
  bool have_low = false;
  bool have_high = false;
  for (int step = 0;; ++step) {
    const bool below = newer.value < s.target;
    below ? set_low_end(s, newer) : set_high_end(s, newer);
    have_low = have_low || below;
    have_high = have_high || !below;
    if (have_low && have_high) {
      return Outcome::kContinue;
    }
    if (step == kContinuousBracketSteps) {
      return Outcome::kFailed;
    }
    const bool grow = below == (s.target_kind != kTargetLogUpper);
    older = newer;
    if (evaluate_at(s, older.x * (grow ? s.up_factor : s.down_factor), false, newer) != kOk) {
      return Outcome::kFailed;
    }
    if (on_target(s, newer)) {
      return Outcome::kRoot;
    }
  }
}

double bracket_midpoint(const QuantileSearch& s, double a, double b) {
  return s.interpolation_kind == kInterpolateGeometric && a > 0.0 && b > 0.0 ? std::sqrt(a * b) : (a + b) / 2.0;
}

// Evaluates the bracket midpoint, moved toward the end whose logit differs
// from the candidate's while they coincide, and keeps the better point.
int safeguard_with_midpoint(QuantileSearch& s, Sample& candidate) {
  const bool toward_low = s.logit_at_low_end != candidate.logit;
  double mid = bracket_midpoint(s, s.low_end, s.high_end);
  Sample at_mid{};
  if (evaluate_at(s, mid, false, at_mid) != kOk) {
    return kFailed;
  }
  for (int i = 0; i < kMidpointHalvings && at_mid.logit == candidate.logit; ++i) {
    mid = bracket_midpoint(s, toward_low ? s.low_end : s.high_end, mid);
    if (evaluate_at(s, mid, false, at_mid) != kOk) {
      return kFailed;
    }
  }
  if (std::fabs(at_mid.logit - s.target_logit) < std::fabs(candidate.logit - s.target_logit)) {
    candidate = at_mid;
  }
  return kOk;
}

// The next secant point through older and newer; `step` is the move from
// older (in the parameter, or in its logarithm for geometric interpolation).
int secant_point(const QuantileSearch& s, const Sample& older, const Sample& newer, double& next, double& step) {
  const double fraction = (s.target_logit - older.logit) / (newer.logit - older.logit);
  if (s.interpolation_kind != kInterpolateGeometric) {
    next = older.x + (newer.x - older.x) * fraction;
    step = next - older.x;
    return kOk;
  }
  if (!(newer.x > 0.0) || !(older.x > 0.0)) {
    return kFailed;
  }
  step = std::min(kLargestLogStep, natural_log(newer.x / older.x) * fraction);
  next = older.x * safe_exp(step);
  return kOk;
}

// Secant steps on the logit through the two latest points.
int interpolate_continuous(QuantileSearch& s, Sample& older, Sample& newer) {
  for (int step = 0; step < kContinuousInterpolationSteps; ++step) {
    if (newer.logit == older.logit) {
      return finish(s, on_target(s, newer) ? kSearchConverged : kSearchNotConverged, newer.x);
    }
    double next = 0.0;
    double move = 0.0;
    if (secant_point(s, older, newer, next, move) != kOk) {
      return finish(s, kSearchNotConverged, 0.0);
    }
    const double scale = s.interpolation_kind == kInterpolateGeometric ? 1.0 : std::fabs(next);
    const double distance = std::fabs(s.target_logit - newer.logit);
    if (std::fabs(move) < scale * s.tolerance ||
        std::max(std::fabs(s.target_logit), std::fabs(newer.logit)) * s.value_tolerance > distance) {
      return finish(s, kSearchConverged, next);
    }
    Sample sample{};
    if (evaluate_at(s, next, false, sample) != kOk ||
        (s.midpoint_safeguard && safeguard_with_midpoint(s, sample) != kOk)) {
      return finish(s, kSearchNotConverged, 0.0);
    }
    if (on_target(s, sample) || sample.value == s.target) {
      set_low_end(s, sample);
      set_high_end(s, sample);
      return finish(s, kSearchConverged, sample.x);
    }
    sample.value < s.target ? set_low_end(s, sample) : set_high_end(s, sample);
    older = newer;
    newer = sample;
  }
  return finish(s, kSearchNotConverged, 0.0);
}

// An end of the bracket whose logit already meets the target.
bool end_on_target(const QuantileSearch& s, double& root) {
  const double reach = std::fabs(s.target_logit) * s.tolerance;
  if (std::fabs(s.logit_at_low_end - s.target_logit) <= reach) {
    root = s.low_end;
    return true;
  }
  if (std::fabs(s.logit_at_high_end - s.target_logit) <= reach) {
    root = s.high_end;
    return true;
  }
  return false;
}

// The secant coordinate of a count, u = −ln(−ln((k + 1 − lower)/upper)), and
// its inverse; both replaceable by the record's callbacks.
double count_coordinate(const QuantileSearch& s, double k) {
  if (s.count_transform != nullptr) {
    return s.count_transform(s, k);
  }
  constexpr double kLargestRatio = 0.9999999999999999;
  const double ratio = std::clamp((k + 1.0 - s.lower_bound) / s.upper_bound, kTinyArgument, kLargestRatio);
  return -natural_log(-natural_log(ratio));
}

double count_from_coordinate(const QuantileSearch& s, double u) {
  if (s.inverse_count_transform != nullptr) {
    return s.inverse_count_transform(s, u);
  }
  return safe_exp(-safe_exp(-u)) * s.upper_bound + s.lower_bound - 1.0;
}

// Evaluates at count k and moves the end on its side; kRoot when the logit
// meets the target exactly (both ends become k).
Outcome place_count(QuantileSearch& s, double k, Sample& sample) {
  if (evaluate_at(s, k, true, sample) != kOk) {
    return Outcome::kFailed;
  }
  if (sample.logit == s.target_logit) {
    set_low_end(s, sample);
    set_high_end(s, sample);
    return Outcome::kRoot;
  }
  sample.logit < s.target_logit ? set_low_end(s, sample) : set_high_end(s, sample);
  return Outcome::kContinue;
}

// Full path: from the start, up by ⌈up·k⌉ while below the target, down by
// ⌊down·k⌋ while above, within the bounds, until both ends are found. Pinned
// at a bound, the ends meet there and the bound is the answer.
Outcome bracket_counts(QuantileSearch& s) {
  Sample current{};
  Outcome outcome = place_count(s, std::trunc(s.start), current);
  bool have_low = current.logit < s.target_logit;
  bool have_high = !have_low;
  for (int step = 0; outcome == Outcome::kContinue && !(have_low && have_high); ++step) {
    const double k = current.x;
    const bool below = current.logit < s.target_logit;
    const double next = below ? std::min(std::max(std::ceil(s.up_factor * k), k + 1.0), s.upper_bound)
                              : std::max(std::min(std::floor(s.down_factor * k), k - 1.0), s.lower_bound);
    if (next == k) {
      set_low_end(s, current);
      set_high_end(s, current);
      return Outcome::kRoot;
    }
    if (step == kCountSteps) {
      return Outcome::kFailed;
    }
    outcome = place_count(s, next, current);
    have_low = have_low || current.logit < s.target_logit;
    have_high = have_high || current.logit >= s.target_logit;
  }
  return outcome;
}

// Simple path: the caller's ends, or a search from the start by doubling
// distances until the target is crossed within the bounds.
Outcome bracket_counts_simply(QuantileSearch& s) {
  Sample sample{};
  if (s.bracket_given != 0) {
    const double high = s.high_end;
    if (place_count(s, s.low_end, sample) != Outcome::kContinue || sample.logit >= s.target_logit) {
      return Outcome::kFailed;
    }
    const Outcome outcome = place_count(s, high, sample);
    return outcome == Outcome::kRoot || sample.logit > s.target_logit ? outcome : Outcome::kFailed;
  }
  Outcome outcome = place_count(s, std::clamp(std::trunc(s.start), s.lower_bound, s.upper_bound), sample);
  const bool upward = sample.logit < s.target_logit;
  for (double distance = 1.0; outcome == Outcome::kContinue; distance *= 2.0) {
    const double k = sample.x;
    const double next = std::clamp(upward ? k + distance : k - distance, s.lower_bound, s.upper_bound);
    if (next == k) {
      return Outcome::kFailed;
    }
    outcome = place_count(s, next, sample);
    if ((sample.logit < s.target_logit) != upward) {
      break;
    }
  }
  return outcome;
}

bool is_finite_logit(double logit) { return std::fabs(logit) < kRescaleHigh; }

// Bisects while an end's logit is infinite and the ends are not adjacent.
Outcome settle_infinite_ends(QuantileSearch& s) {
  for (int step = 0;; ++step) {
    const bool finite = is_finite_logit(s.logit_at_low_end) && is_finite_logit(s.logit_at_high_end);
    if (finite || s.high_end - s.low_end <= 1.0) {
      return Outcome::kContinue;
    }
    if (step == kCountSteps) {
      return Outcome::kFailed;
    }
    Sample sample{};
    const Outcome outcome = place_count(s, std::trunc((s.low_end + s.high_end) / 2.0), sample);
    if (outcome != Outcome::kContinue) {
      return outcome;
    }
  }
}

// Integer bisection until the ends are adjacent; when a hint equals an end,
// its neighbour inside the bracket is tried first.
Outcome bisect_counts(QuantileSearch& s, double hint, int max_steps) {
  for (int step = 0; s.high_end - s.low_end > 1.0; ++step) {
    if (step == max_steps) {
      return Outcome::kFailed;
    }
    double k = std::trunc((s.low_end + s.high_end) / 2.0);
    if (step == 0 && hint == s.low_end) {
      k = s.low_end + 1.0;
    } else if (step == 0 && hint == s.high_end) {
      k = s.high_end - 1.0;
    }
    Sample sample{};
    const Outcome outcome = place_count(s, k, sample);
    if (outcome != Outcome::kContinue) {
      return outcome;
    }
  }
  return Outcome::kContinue;
}

// Secant between the ends in (count coordinate, logit), evaluated at the
// floor of the new count, until the count repeats or the value is within
// the tolerance of the target; `last` receives the last count evaluated.
Outcome secant_counts(QuantileSearch& s, double& last) {
  for (int step = 0; step < kCountSteps; ++step) {
    if (s.high_end - s.low_end <= 1.0) {
      return Outcome::kContinue;
    }
    const double u_low = count_coordinate(s, s.low_end);
    const double u_high = count_coordinate(s, s.high_end);
    const double fraction = (s.target_logit - s.logit_at_low_end) / (s.logit_at_high_end - s.logit_at_low_end);
    const double k = std::floor(std::clamp(count_from_coordinate(s, u_low + fraction * (u_high - u_low)),
                                           s.low_end, s.high_end));
    if (k == last || k == s.low_end || k == s.high_end) {
      return Outcome::kContinue;
    }
    last = k;
    Sample sample{};
    const Outcome outcome = place_count(s, k, sample);
    if (outcome != Outcome::kContinue ||
        std::fabs(sample.value - s.target) < s.tolerance * std::fabs(s.target)) {
      return outcome;
    }
  }
  s.low_end = last;
  s.high_end = last + 1.0;
  return Outcome::kFailed;
}

// The crossing between the adjacent ends, in (low, high].
double crossing_point(const QuantileSearch& s) {
  if (s.low_end == s.high_end) {
    return s.low_end;
  }
  const double fraction = (s.target_logit - s.logit_at_low_end) / (s.logit_at_high_end - s.logit_at_low_end);
  return s.low_end + (fraction > 0.0 && fraction <= 1.0 ? fraction : 1.0);
}

// Narrows a bracket of counts to the adjacent pair around the target.
int narrow_counts(QuantileSearch& s) {
  Outcome outcome = settle_infinite_ends(s);
  double hint = s.low_end;
  if (outcome == Outcome::kContinue && s.interpolation_kind == kCountSecant) {
    outcome = secant_counts(s, hint);
  }
  if (outcome == Outcome::kContinue) {
    outcome = bisect_counts(s, hint, s.interpolation_kind == kCountSecant ? kClosingSteps : kCountSteps);
  }
  if (outcome == Outcome::kFailed) {
    return finish(s, kSearchNotConverged, 0.0);
  }
  return finish(s, kSearchConverged, crossing_point(s));
}

}  // namespace

int quantile_search(QuantileSearch& s) {
  if (read_target(s, false) != kOk) {
    return kFailed;
  }
  if (s.start_callback != nullptr && s.start_callback(s) != kOk) {
    return finish(s, kSearchNotConverged, 0.0);
  }
  Sample newer{};
  if (s.interpolation_kind == kInterpolateLinear) {
    const Outcome outcome = orient_linear_start(s, newer);
    if (outcome != Outcome::kContinue) {
      return finish(s, outcome == Outcome::kRoot ? kSearchConverged : kSearchNotConverged, 0.0);
    }
  }
  if (s.start < s.lower_bound) {
    return finish(s, kSearchInvalidStart, 0.0);
  }
  if (evaluate_at(s, s.start, false, newer) != kOk) {
    return finish(s, kSearchNotConverged, 0.0);
  }
  if (on_target(s, newer)) {
    return finish(s, kSearchConverged, newer.x);
  }
  Sample older = newer;
  const Outcome outcome = bracket_continuous(s, older, newer);
  if (outcome != Outcome::kContinue) {
    return finish(s, outcome == Outcome::kRoot ? kSearchConverged : kSearchNotConverged, newer.x);
  }
  double root = 0.0;
  if (end_on_target(s, root)) {
    return finish(s, kSearchConverged, root);
  }
  return interpolate_continuous(s, older, newer);
}

int count_search(QuantileSearch& s) {
  if (s.value_slot == nullptr || s.evaluate == nullptr) {
    s.status = kSearchNotConverged;
    return kFailed;
  }
  s.tolerance = s.tolerance >= kQuantileTolerance ? s.tolerance : kQuantileTolerance;
  if (s.full_path != 0 && s.start < s.lower_bound) {
    return finish(s, kSearchNotConverged, 0.0);
  }
  if (s.full_path != 0 && s.start > s.upper_bound) {
    s.trial_point = s.upper_bound;
    s.status = kSearchStartAboveBound;
    s.converged = false;
    return kSearchStartAboveBound;
  }
  if (read_target(s, true) != kOk) {
    return kFailed;
  }
  if (s.full_path == 0 && s.target_kind != kCountTargetProbability) {
    return finish(s, kSearchInvalidStart, 0.0);
  }
  const Outcome outcome = s.full_path != 0 ? bracket_counts(s) : bracket_counts_simply(s);
  if (outcome == Outcome::kRoot) {
    return finish(s, kSearchConverged, s.low_end);
  }
  if (outcome == Outcome::kFailed) {
    return finish(s, kSearchNotConverged, 0.0);
  }
  return narrow_counts(s);
}

QuantileSearch log_upper_tail_search(double* log_upper_tail, void* record, SearchCallback start,
                                     SearchCallback evaluate) {
  // A second stopping tolerance, on the value of ln Q.
  constexpr double kSearchValueTolerance = 1e-13;
  QuantileSearch search{};
  search.target_kind = kTargetLogUpper;
  search.interpolation_kind = kInterpolateGeometric;
  search.tolerance = kQuantileTolerance;
  search.value_tolerance = kSearchValueTolerance;
  search.value_slot = log_upper_tail;
  search.user_record = record;
  search.start_callback = start;
  search.evaluate = evaluate;
  return search;
}

}  // namespace quilvar::numeric
