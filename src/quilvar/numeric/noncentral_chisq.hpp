// Tails of the noncentral chi-square distribution by integrating its density.
#pragma once

#include "quilvar/numeric/chisq_dist.hpp"

namespace quilvar::numeric {

// ln P and ln Q at the record's x by the trapezoid quadrature of the
// density, over [0, x] when the record's lower-integration flag is set and
// over [x, ∞) otherwise. Returns 1 when the quadrature fails.
[[nodiscard]] int noncentral_chisq_by_quadrature(ChiSquareDist& record);

}  // namespace quilvar::numeric
