// Test support: the accuracy each gamma-family algorithm can reach, as
// derived in data/README.md from a double-precision model of the algorithms.
#pragma once

#include <algorithm>
#include <cmath>

namespace quilvar::numeric::testing {

inline constexpr double kEpsilon = 2.220446049250313e-16;

// K: rounding in the log prefactor, growing with a, x and |ln x|.
inline double prefactor_rounding(double a, double x) {
  const double m = 1.0 + (1.0 + a) * std::fabs(std::log(x)) + x + a * (std::fabs(std::log(a)) + 1.0);
  return 4.0 * kEpsilon * (m + 10.0 + std::sqrt(a));
}

// Tolerance of P or Q from incomplete_gamma (fixed precision 5.55e-16).
inline double plain_tail_tolerance(double a, double x, double lower, double upper) {
  const double k = prefactor_rounding(a, x);
  return a >= 1.0 ? k * std::min(lower, upper) + 2.0 * kEpsilon : k + 34.0 * kEpsilon;
}

// Tolerance of ln T (T = P or Q, other = 1 − T) from the series and
// continued fractions at tolerance tau.
inline double log_tail_tolerance(double a, double x, double tau, double tail, double other, double log_tail) {
  double k = prefactor_rounding(a, x) + 2.0 * tau * (1.0 + std::sqrt(a));
  if (a < 1.0) {
    k = (k + 32.0 * kEpsilon) / std::min(tail, other);
  }
  return k * std::min(1.0, other / tail) + 1e-15 * std::fabs(log_tail);
}

// Tolerance of ln T where the quadrature takes over (smallest tolerance).
inline double quadrature_log_tail_tolerance(double tail, double other, double log_tail) {
  return 1e-7 * std::min(1.0, other / tail) + 1e-15 * std::fabs(log_tail);
}

// Whether the uncorrected normal approximation serves shape a at x.
inline bool in_normal_region(double a, double x) {
  return a >= 1e9 && std::fabs(x - a) <= 0.7 * std::sqrt(a) + 0.02 * a;
}

}  // namespace quilvar::numeric::testing
