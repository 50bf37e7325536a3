// Small helpers shared by the estimation phases: presence tests, bounds that
// leave a missing value missing, two-sided p-values and the normal quantiles
// of a run's alpha.
#pragma once

#include <algorithm>
#include <cmath>

#include "quilvar/estimate/quantile_memo.hpp"
#include "quilvar/host/missing.hpp"
#include "quilvar/numeric/normal.hpp"

namespace quilvar::estimate {

inline bool present(double x) { return !host::is_missing(x); }

// A computed value, or the missing value when it is NaN or infinite.
inline double finite_or_missing(double x) { return std::isfinite(x) ? x : host::kMissing; }

// max(0, x) and min(1, x), each leaving a missing value missing.
inline double at_least_zero(double x) { return present(x) ? std::max(0.0, x) : host::kMissing; }
inline double at_most_one(double x) { return present(x) ? std::min(1.0, x) : host::kMissing; }

// Two-sided p-value of a standard normal statistic: 2·min(Φ(z), 1 − Φ(z)),
// computed as 2·Φ(−|z|), the same value: the smaller tail taken directly,
// since 1 − Φ(z) by subtraction loses its digits for large z (0 from z ≈ 8.3).
inline double two_sided_p(double z) { return 2 * numeric::normal_cdf(-std::fabs(z)); }

// The normal quantiles za = z(alpha/2) (negative) and zb = z(1 − alpha/2).
struct NormalQuantiles {
  double za;
  double zb;
};

// 1 − alpha/2 holds its tail alpha/2 only to about 1e-16 (absolute): below
// this tail it keeps fewer than ten of its digits, and from about 1e-16 it
// is 1, whose quantile is the normal quantile's cap (7.94). There zb is the
// mirror image of za, exact by symmetry.
inline constexpr double kSmallestMirroredTail = 1e-6;

inline NormalQuantiles normal_quantiles(double alpha) {
  const double tail = alpha / 2;
  const double za = numeric::normal_quantile(tail);
  return {za, tail < kSmallestMirroredTail ? -za : numeric::normal_quantile(1 - tail)};
}

// The same for the step's alpha, remembered in the memo (a pure function of
// alpha, so a remembered pair is the computed pair).
inline NormalQuantiles normal_quantiles(double alpha, NormalQuantileMemo& memo) {
  if (memo.alpha != alpha) {
    const NormalQuantiles z = normal_quantiles(alpha);
    memo = NormalQuantileMemo{alpha, z.za, z.zb};
  }
  return {memo.lower, memo.upper};
}

}  // namespace quilvar::estimate
