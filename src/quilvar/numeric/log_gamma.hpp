// The logarithm of the gamma function, its Stirling remainder and the log
// density of the standard gamma distribution.
#pragma once

namespace quilvar::numeric {

// Returned by log_gamma for an argument at or below the tiny argument
// (every x ≤ 0 included).
inline constexpr double kLogGammaErrorValue = -99.0;

// ln Γ(x) for x > 0; kLogGammaErrorValue (−99) for x ≤ 2.225073858507202e-308.
[[nodiscard]] double log_gamma(double x);

// ln Γ(x) − [(x − 0.5) ln x − x + ln sqrt(2π)] by Stirling's asymptotic
// series; accurate for x ≥ 10.
[[nodiscard]] double stirling_remainder(double x);

// out = ln of the gamma(a, 1) density at x, for x ≥ 0 and a > 0; fails
// (status 1, out untouched) otherwise. At x = 0 out is 0 for a = 1 and the
// missing value otherwise.
[[nodiscard]] int log_gamma_density(double x, double a, double& out);

}  // namespace quilvar::numeric
