// The standard gamma distribution (shape a, scale 1) as a request record:
// log tails and log density at a point, and the lower and upper quantiles.
#pragma once

#include <cstdint>

namespace quilvar::numeric {

struct QuadratureRecord;

// Request bits of GammaDist and ChiSquareDist.
inline constexpr std::uint32_t kRequestTails = 1;
inline constexpr std::uint32_t kRequestLogDensity = 2;
inline constexpr std::uint32_t kRequestLowerQuantile = 4;
inline constexpr std::uint32_t kRequestUpperQuantile = 8;

// Method codes left by the tail computation.
inline constexpr int kMethodLowerSeries = 0;
inline constexpr int kMethodNormalApproximation = 2;
inline constexpr int kMethodUpperFraction = 3;
inline constexpr int kMethodLowerFraction = 4;

// Request record of gamma_dist_eval, owned by the caller and zero-filled
// before the inputs are set. All probabilities travel as logarithms.
struct GammaDist {
  std::uint32_t requests;         // bits kRequestTails … kRequestUpperQuantile, 1 to 15
  double probability;             // p, input of the lower quantile
  double x;                       // point: input of tails and density, output of the quantiles
  double shape;                   // a
  double log_lower_tail;          // ln P(a, x) (output)
  double log_upper_tail;          // ln Q(a, x) (output); the upper quantile keeps ln q here
  double log_density;             // output
  double tolerance;               // relative tolerance of the tails; at least 8.881784197001256e-16
  double upper_probability;       // q, input of the upper quantile
  double shape_minus_one;         // scratch
  double last_value;              // scratch: last series or continued-fraction value
  double integrand_scale_origin;  // scratch of the quadrature fall-back: ln of the integrand's peak
  int method;                     // kMethod… code of the last tail computation
  double up_factor;               // bracket growth factor of the quantile searches
  double down_factor;             // bracket shrink factor of the quantile searches
  QuadratureRecord* quadrature_link;  // scratch: the quadrature record in use
  double x_floor;                 // steps in x below it count as converged
};

// Serves the requests of the record: bit 4 alone if set, else bit 8 alone if
// set, else bit 1 then bit 2. Returns 0 on success and 1 on failure; requests
// of 0 or above 15 fail without touching the record. A failed upper quantile
// leaves the missing value in x.
[[nodiscard]] int gamma_dist_eval(GammaDist& record);

}  // namespace quilvar::numeric
