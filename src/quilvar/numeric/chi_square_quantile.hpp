// Chi-square quantiles for exact Poisson and gamma confidence limits.
#pragma once

namespace quilvar::numeric {

// The lower-tail probabilities chi_square_quantile takes are below this one;
// nearer 1, p = 1 − q holds too few digits of the upper tail q to fix the
// quantile, and the fallback stops far below it.
inline constexpr double kLargestChiSquareProbability = 0.9999999999999;

// The degrees of freedom chi_square_quantile takes are below this; the
// fallback takes none above 2^31 − 1, so exact Poisson limits of 5e13 events
// and more cannot be computed.
inline constexpr double kLargestChiSquareDegreesOfFreedom = 1e14;

// Whether the upper end of exact (Poisson or gamma) limits at ALPHA= alpha,
// the quantile at 1 − alpha/2, is in reach: false for alpha up to about 2e-13.
constexpr bool exact_upper_limit_in_reach(double alpha) { return 1.0 - alpha / 2.0 < kLargestChiSquareProbability; }

// out = the chi-square quantile with df degrees of freedom at lower-tail
// probability p, for 0 ≤ p < 0.9999999999999 and 0 < df < 1e14 (p = 0 gives
// 0). Returns 1 with out untouched outside that domain or when the iteration
// does not converge (in particular when the quantile is below the smallest
// normal double, and for large df with p ≤ 0.5 where the series of the
// incomplete gamma function reaches its term cap).
[[nodiscard]] int chi_square_quantile(double p, double df, double& out);

// The same quantile from the chi-square distribution record, for 0 ≤ p < 1
// and df > 0 (p = 0 gives 0); slower and, for large df, less accurate (about
// 5e-6 relative at df = 1e6), but without the term cap. Returns 1 with out
// untouched when the record fails.
[[nodiscard]] int chi_square_quantile_fallback(double p, double df, double& out);

}  // namespace quilvar::numeric
