// The standard normal distribution: distribution function, quantile, Mills
// ratio and the logarithms of both tails.
#pragma once

namespace quilvar::numeric {

// Φ(x). Exactly 0 below about −37.64 and 1 above about 8.3.
[[nodiscard]] double normal_cdf(double x);

// Φ⁻¹(p) for p in [0, 1]. p = 0 gives −37.64030867301702 and p = 1 gives
// 7.941345326170997; below p = 1e-16 Newton steps on ln Φ are taken, and
// −37.51776241585513 is returned when they fail. Outside [0, 1]: NaN.
[[nodiscard]] double normal_quantile(double p);

// r = (1 − Φ(x)) / φ(x). Fails (status 1) only when the continued fraction
// used for x ≥ 5 has not converged after 100 convergents; r then holds the
// last convergent. Overflows to infinity (with a floating-overflow signal)
// below x ≈ −37.7.
[[nodiscard]] int mills_ratio(double x, double& ratio);

// ln Φ(x), ln(1 − Φ(x)) and ln φ(x), each with full relative precision far
// into the tails. Fails (status 1, tails untouched) when the Mills ratio
// fails.
[[nodiscard]] int log_normal_tails(double x, double& log_lower, double& log_upper, double& log_density);

}  // namespace quilvar::numeric
