// Lower-tail inversion by bracketing and a secant on (ln x, logit P).
//
// In these coordinates the gamma and chi-square distribution functions are
// close to linear over wide ranges, so the secant converges in a few steps
// from a normal-approximation start. The convergence test compares the new
// point with the older of the two points the secant was drawn through (on
// the first step with both of them).
#include "quilvar/numeric/tail_inversion.hpp"

#include <algorithm>
#include <cmath>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/elementary.hpp"

namespace quilvar::numeric {
namespace {

constexpr int kBracketSteps = 50;
constexpr int kSecantSteps = 70;

struct TailPoint {
  double x;
  double log_lower;
  double log_upper;
  [[nodiscard]] double logit() const { return log_lower - log_upper; }
};

struct InversionState {
  const TailInversion& inversion;
  double log_p;
  double target_logit;

  int evaluate(double x, TailPoint& point) const {
    point.x = x;
    return inversion.evaluate(inversion.context, x, point.log_lower, point.log_upper);
  }
  [[nodiscard]] bool on_target(const TailPoint& point) const {
    return inversion.logit_closeness &&
           std::fabs(target_logit - point.logit()) < kQuantileTolerance * std::fabs(target_logit);
  }
};

enum class Outcome { kContinue, kRoot, kFailed };

// Multiplies x by the up factor until ln P(x) ≥ ln p, or by the down factor
// until ln P(x) ≤ ln p; older and newer are the last two points.
Outcome bracket(const InversionState& state, TailPoint& older, TailPoint& newer) {
  const bool grow = state.log_p > newer.log_lower;
  const double factor = grow ? state.inversion.up_factor : state.inversion.down_factor;
  for (int step = 0; step < kBracketSteps; ++step) {
    const bool crossed = grow ? newer.log_lower >= state.log_p : newer.log_lower <= state.log_p;
    if (crossed) {
      break;
    }
    older = newer;
    if (state.evaluate(older.x * factor, newer) != kOk) {
      return Outcome::kFailed;
    }
    if (state.on_target(newer)) {
      return Outcome::kRoot;
    }
  }
  return Outcome::kContinue;
}

// Secant steps through the two latest points in (ln x, logit P).
Outcome secant(const InversionState& state, TailPoint& older, TailPoint& newer) {
  for (int step = 0; step < kSecantSteps; ++step) {
    const double logit_older = older.logit();
    const double rise = newer.logit() - logit_older;
    const double run = state.target_logit - logit_older;
    if (std::fabs(rise) <= std::max(2.0, std::fabs(run)) * kTinyArgument) {
      newer = older;
      return Outcome::kRoot;
    }
    const double x = older.x * safe_exp((natural_log(newer.x) - natural_log(older.x)) * run / rise);
    TailPoint next{};
    if (x < kTinyArgument || state.evaluate(x, next) != kOk) {
      return Outcome::kFailed;
    }
    const double scale = kQuantileTolerance * std::max(std::fabs(x), state.inversion.x_floor);
    // On the first step the older point is the last bracket point, not a
    // secant point: a good start lies close to the root, and a secant drawn
    // from it to a far bracket point lands near it without having found the
    // root. That step counts as converged only when it also agrees with the
    // newer point; later steps compare with the older point alone.
    const bool converged =
        std::fabs(older.x - x) < scale && (step > 0 || std::fabs(newer.x - x) < scale);
    older = newer;
    newer = next;
    if (converged || state.on_target(next)) {
      return Outcome::kRoot;
    }
  }
  return Outcome::kFailed;
}

}  // namespace

int invert_lower_tail(const TailInversion& inversion, double start, double& root) {
  const double p = inversion.probability;
  const InversionState state{inversion, natural_log(p), natural_log(p / (1.0 - p))};
  TailPoint newer{};
  if (state.evaluate(start, newer) != kOk) {
    return kFailed;
  }
  TailPoint older = newer;
  Outcome outcome = state.on_target(newer) || newer.log_lower == state.log_p ? Outcome::kRoot : Outcome::kContinue;
  if (outcome == Outcome::kContinue) {
    outcome = bracket(state, older, newer);
  }
  if (outcome == Outcome::kContinue) {
    outcome = secant(state, older, newer);
  }
  root = newer.x;
  return outcome == Outcome::kRoot ? kOk : kFailed;
}

}  // namespace quilvar::numeric
