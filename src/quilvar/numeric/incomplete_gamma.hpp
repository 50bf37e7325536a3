// The regularized incomplete gamma function P(a, x) and Q(a, x) = 1 − P(a, x),
// in plain form to fixed precision and in logarithmic form to a chosen
// tolerance, with a quadrature fall-back for the log form.
#pragma once

#include "quilvar/numeric/gamma_dist.hpp"

namespace quilvar::numeric {

// P, Q and the gamma(a, 1) density at x ≥ 0 for a ≥ 0, to a relative
// precision of about 5.6e-16 in the smaller tail. Fails (status 1, with
// P = Q = −2 and density = 0) for negative x or a, or when the series
// (2000 terms) or continued fraction (1000 steps) does not converge.
[[nodiscard]] int incomplete_gamma(double x, double a, double& lower, double& upper, double& density);

// ln P, ln Q and the log density at the record's x and shape, to the
// record's tolerance; sets the method code and last value. Returns 1 when
// the series and continued fractions do not converge (the record's other
// outputs are then partial; shape is always restored).
[[nodiscard]] int log_incomplete_gamma(GammaDist& record);

// ln Q, ln P and the log density at the record's x > 0 and shape, by
// integrating t^(s−1)e^(−t) over [x, ∞) with the trapezoid quadrature.
// Returns 1 when the quadrature fails or, for shape < 1, when the shift
// correction cannot be applied.
[[nodiscard]] int gamma_tail_by_quadrature(GammaDist& record);

}  // namespace quilvar::numeric
