// The Poisson distribution with mean μ as a request record: log tails, log
// probability, quantiles and the derivative of the log lower tail.
#pragma once

#include <cstdint>

namespace quilvar::numeric {

// Request values of PoissonDist (one at a time, not bits).
inline constexpr std::uint32_t kPoissonTails = 1;
inline constexpr std::uint32_t kPoissonLogProbability = 2;
inline constexpr std::uint32_t kPoissonLowerQuantile = 4;
inline constexpr std::uint32_t kPoissonUpperQuantile = 8;
inline constexpr std::uint32_t kPoissonDerivative = 16;

// Request record of poisson_dist_eval, owned by the caller and zero-filled
// before the inputs are set.
struct PoissonDist {
  std::uint32_t request;       // one of kPoissonTails … kPoissonDerivative
  double probability;          // p, input of the lower quantile
  double log_lower_tail;       // ln P(X ≤ k) (output)
  double log_upper_tail;       // ln P(X > k) (output)
  double log_probability;      // ln P(X = k), output of requests 2 and 16
  double tolerance;            // relative tolerance passed to the gamma record
  double reserved;
  int count;                   // k: input of requests 1, 2, 16; output of request 4
  int result_count;            // output of request 8
  double quantile;             // request 4's answer before rounding; 0, 1 or 2 from the closed forms
  double mean;                 // μ
  double target_logit;         // ln(p/(1 − p)), set by request 4
  double target;               // p, set by request 4
  double upper_probability;    // q, input of request 8
  double log_tail_derivative;  // d ln P(X ≤ k)/dμ, output of request 16
};

// Serves the record's request; returns 0 on success and 1 on failure (any
// other request value fails).
[[nodiscard]] int poisson_dist_eval(PoissonDist& record);

// ln P(X ≤ count) and ln P(X > count) for X Poisson with the given mean; the
// count is truncated to an integer and the tolerance is passed to the gamma
// record. Returns 1 (outputs untouched) when they cannot be computed.
[[nodiscard]] int poisson_tail_logs(double mean, double count, double tolerance, double& log_lower,
                                    double& log_upper);

}  // namespace quilvar::numeric
