// Exponential, e^x − 1 and ln(1 + x).
//
// safe_exp reduces x = n·ln 2 + r with |r| ≤ ln 2 / 2 and evaluates e^r by
// the rational form of W. J. Cody and W. Waite, "Software Manual for the
// Elementary Functions" (1980): e^r = 2·(1/2 + P/(Q − P)) with P = r·p(r²),
// Q = q(r²), here with degree-2 coefficient sets of its own. ln(1 + x) uses
// ln(1 + x) = 2·atanh(u/2), u = x/(1 + x/2), by a rational approximation in
// u² near 0.
#include "quilvar/numeric/elementary.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/horner.hpp"
#include "quilvar/numeric/signal.hpp"

namespace quilvar::numeric {
namespace {

// Slightly above ln of the largest double: every larger argument overflows.
constexpr double kSafeExpOverflowArgument = 709.78271289339;
// Below this |x|, e^x rounds to 1.
constexpr double kExpUnitArgument = 2.710505e-20;
// 1 / ln 2.
constexpr double kLog2E = 1.4426950408889634;
// Outside |x| ≤ 0.01 e^x − 1 loses nothing to cancellation worth a series.
constexpr double kExpMinusOneSeriesLimit = 0.01;
// Outside |x| ≤ 1/32 ln(1 + x) is taken directly.
constexpr double kLogOnePlusSeriesLimit = 0.03125;

}  // namespace

double safe_exp(double x) {
  if (std::isnan(x)) {
    return x;
  }
  if (x > kSafeExpOverflowArgument) {
    raise_floating_signal(kSignalFloatingOverflow);
    return std::numeric_limits<double>::infinity();
  }
  if (x < kExpUnderflowArgument) {
    return 0.0;
  }
  if (std::fabs(x) < kExpUnitArgument) {
    return 1.0;
  }
  // P/r and Q as polynomials in s = r², highest power first.
  constexpr std::array<double, 3> kNumerator = {0.000016520330026827912, 0.006943600015117929, 0.25};
  constexpr std::array<double, 3> kDenominator = {0.0004958628849054413, 0.05555386669690012, 0.5};
  const double rounded = std::trunc(std::fabs(x) * kLog2E + 0.5);
  const int n = static_cast<int>(x < 0.0 ? -rounded : rounded);
  const double r = x - n * kLn2;
  const double s = r * r;
  const double p = r * horner(kNumerator, s);
  const double q = horner(kDenominator, s);
  return std::ldexp(0.5 + p / (q - p), n + 1);
}

double exp_minus_one(double x) {
  if (std::fabs(x) > kExpMinusOneSeriesLimit) {
    return safe_exp(x) - 1.0;
  }
  return x * (1.0 + (x / 2.0) * (1.0 + (x / 3.0) * (1.0 + (x / 4.0) * (1.0 + (x / 5.0) * (1.0 + x / 6.0)))));
}

double log_one_plus(double x) {
  if (std::fabs(x) > kLogOnePlusSeriesLimit) {
    return natural_log(1.0 + x);
  }
  const double u = x / (1.0 + 0.5 * x);
  const double u2 = u * u;
  return u + u * u2 * (0.08333333333333427 - 0.0023812878804825234 * u2) / (1.0 - 0.178575454351365 * u2);
}

double log_complement(double log_probability) {
  const double probability = safe_exp(log_probability);
  return probability == 1.0 ? kLogOfZero : log_one_plus(-probability);
}

}  // namespace quilvar::numeric
