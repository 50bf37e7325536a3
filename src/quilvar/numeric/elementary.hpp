// Elementary functions of the numerical library: exponential, e^x − 1,
// logarithm, power and ln(1 + x).
#pragma once

#include <cmath>

namespace quilvar::numeric {

// e^x. Returns 0 below −708.3964185 and exactly 1 for |x| < 2.710505e-20.
// Above 709.78271289339 signals floating overflow to the host and, when the
// host continues, returns +infinity. NaN propagates.
[[nodiscard]] double safe_exp(double x);

// e^x − 1, accurate near 0 (a Taylor series for |x| ≤ 0.01).
[[nodiscard]] double exp_minus_one(double x);

// ln x for x > 0.
[[nodiscard]] inline double natural_log(double x) { return std::log(x); }

// x^y. 0^y is 1 for y = 0 and 0 otherwise. Integral exponents up to 2^31 − 1
// use repeated squaring, y = 0.5 the square root, other exponents of positive
// bases the logarithm-exponential method (overflow gives the missing value,
// underflow 0). A negative base with a non-integral or huge exponent signals
// an invalid power and returns the largest double; a huge exponent whose
// result overflows signals overflow and returns the largest double.
[[nodiscard]] double power(double x, double y);

// ln(1 + x) for x > −1, accurate for small x.
[[nodiscard]] double log_one_plus(double x);

// ln(1 − e^t) for t ≤ 0: the log of the complementary probability of a tail
// given by its logarithm. −1.3407807929943e154 (standing for ln 0) when e^t
// rounds to 1.
[[nodiscard]] double log_complement(double log_probability);

}  // namespace quilvar::numeric
