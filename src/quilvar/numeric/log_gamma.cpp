// ln Γ(x), Stirling's remainder and the gamma log density.
//
// For x ≥ 15 Stirling's series with six Bernoulli terms; below, the argument
// is reduced to [1, 2] by the recurrence Γ(x + 1) = x·Γ(x) and ln Γ there is
// taken from rational minimax approximations in x − 1 (on [1, 1.5)) and in
// x − 2 (on [1.5, 2]) of degree 6/6. Half-integers reduce exactly to
// ln Γ(1.5).
#include "quilvar/numeric/log_gamma.hpp"

#include <array>
#include <cmath>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/elementary.hpp"
#include "quilvar/numeric/horner.hpp"

namespace quilvar::numeric {
namespace {

// ln Γ(1.5) = ln(sqrt(π)/2).
constexpr double kLogGammaThreeHalves = -0.12078223763524522;
// The gamma density is formed in the cancellation-free Stirling form when the
// shape is at least 10 and x within 30% of it.
constexpr double kDensityStirlingShape = 10.0;
constexpr double kDensityStirlingBand = 0.3;

// ln Γ(y) for 1 ≤ y ≤ 2.
double log_gamma_one_to_two(double y) {
  constexpr std::array<double, 7> kNumeratorNearOne = {
      0.002126546376940967, 0.05692342633165193, 0.36252537533106266, 0.7494577256954738,
      0.2079812846119617,   -0.8017986934675778, -0.5772156649015329};
  constexpr std::array<double, 7> kDenominatorNearOne = {
      0.0005124543681927987, 0.026724016735058816, 0.31469269123782706, 1.4276752135116328,
      2.9550965510668346,    2.8139668163177345,   1.0};
  constexpr std::array<double, 7> kNumeratorNearTwo = {
      9.627912858833401e-5, 0.004410493669232917, 0.05678875296955259, 0.3098673634213962,
      0.8058203645027399,   0.9712118746069075,   0.42278433509846713};
  constexpr std::array<double, 7> kDenominatorNearTwo = {
      0.000021326962979603636, 0.0016767266689027731, 0.03194668377437606, 0.24611091348667924,
      0.8949255863507323,      1.5344580849517535,    1.0};
  if (y < 1.5) {
    const double c = y - 1.0;
    return c * horner(kNumeratorNearOne, c) / horner(kDenominatorNearOne, c);
  }
  const double d = y - 2.0;
  return d * horner(kNumeratorNearTwo, d) / horner(kDenominatorNearTwo, d);
}

}  // namespace

double stirling_remainder(double x) {
  // 1/12, −1/360, 1/1260, −1/1680, 1/1188, −691/360360 in b = 1/x², highest power first.
  constexpr std::array<double, 6> kSeries = {-0.0019175269175269176, 0.0008417508417508417, -0.0005952380952380953,
                                             0.0007936507936507937,  -0.002777777777777778, 0.08333333333333333};
  return horner(kSeries, 1.0 / (x * x)) / x;
}

double log_gamma(double x) {
  if (x <= kTinyArgument) {
    return kLogGammaErrorValue;
  }
  if (std::fabs(x - 1.0) < kUnitTolerance || std::fabs(x - 2.0) < kUnitTolerance) {
    return 0.0;
  }
  if (x >= kStirlingArgument) {
    return kLogRootTwoPi - x + (x - 0.5) * natural_log(x) + stirling_remainder(x);
  }
  // Γ(x) = factor·Γ(y) with 1 ≤ y ≤ 2.
  double factor = 1.0;
  double y = x;
  while (y < 1.0) {
    factor /= y;
    y += 1.0;
  }
  while (y > 2.0) {
    y -= 1.0;
    factor *= y;
  }
  if (std::fabs(x - 0.5 - std::trunc(x)) < kUnitTolerance) {
    return natural_log(factor) + kLogGammaThreeHalves;
  }
  return natural_log(factor) + log_gamma_one_to_two(y);
}

int log_gamma_density(double x, double a, double& out) {
  if (x < 0.0 || a <= 0.0) {
    return kFailed;
  }
  if (x == 0.0) {
    out = a == 1.0 ? 0.0 : kMissingValue;
    return kOk;
  }
  const double ratio = x / a;
  if (a < kDensityStirlingShape || std::fabs(ratio - 1.0) > kDensityStirlingBand) {
    out = (a - 1.0) * natural_log(x) - x - log_gamma(a);
    return kOk;
  }
  // (a − 1) ln x − ln Γ(a) with ln Γ(a) in Stirling's form: the large terms
  // a ln a and x − a cancel before rounding.
  out = (a - 1.0) * natural_log(ratio) + (a - x) - kLogRootTwoPi - 0.5 * natural_log(a) - stirling_remainder(a);
  return kOk;
}

}  // namespace quilvar::numeric
