// The chi-square distribution with k degrees of freedom and noncentrality
// λ ≥ 0 as a request record: log tails and log density at a point, and the
// lower and upper quantiles.
#pragma once

#include <cstdint>

#include "quilvar/numeric/gamma_dist.hpp"

namespace quilvar::numeric {

struct QuadratureRecord;

// Request record of chisq_dist_eval (request bits as for GammaDist), owned by
// the caller and zero-filled before the inputs are set.
struct ChiSquareDist {
  double probability;         // p, input of the lower quantile
  double x;                   // point: input of tails and density, output of the quantiles
  double degrees_of_freedom;  // k
  double noncentrality;       // λ
  double log_lower_tail;      // output
  double log_upper_tail;      // output; the upper quantile keeps ln q here
  double log_density;         // output
  double tolerance;           // relative tolerance of the tails; at least 8.881784197001256e-16
  double upper_probability;   // q, input of the upper quantile
  int lower_integration;      // set by the tails: integrate the density over [0, x]
  std::uint32_t requests;     // bits kRequestTails … kRequestUpperQuantile, 1 to 15
  double bessel_order;        // scratch: (k − 2)/2
  double half_bessel_order;   // scratch
  double root_noncentrality;  // scratch: sqrt(λ)
  double up_factor;           // bracket factors of the quantile searches
  double down_factor;
  QuadratureRecord* quadrature_link;  // scratch: the quadrature record in use
  int moments_ready;          // 0 until the first tail computation fills the moments
  double mean;                // k + λ
  double standard_deviation;  // sqrt(2(k + 2λ))
  double x_floor;             // steps in x below it count as converged
};

// Serves the requests: bit 8 alone if set, else bit 4 alone if set, else
// bit 1 then bit 2. Returns 0 or 1; requests of 0 or above 15 fail without
// touching the record; a failed upper quantile leaves the missing value in x.
[[nodiscard]] int chisq_dist_eval(ChiSquareDist& record);

// ln P(X ≤ x) and ln P(X > x) for x > 0, k ≥ 1e-8, λ ≥ 0 (status 1
// otherwise): the gamma record for λ = 0, the Poisson mixture for λ ≤ 500 and
// the integrated density otherwise or when the mixture does not converge.
[[nodiscard]] int chisq_tails(ChiSquareDist& record);

// Tails of the noncentral chi-square as the Poisson mixture
// Σ_j e^(−λ/2)(λ/2)^j/j!·P(k/2 + j, x/2), summed outward from a central
// index. Returns non-zero for invalid arguments or when the mixture does not
// converge within 1000 iterations.
[[nodiscard]] int noncentral_chisq_series(ChiSquareDist& record);

}  // namespace quilvar::numeric
