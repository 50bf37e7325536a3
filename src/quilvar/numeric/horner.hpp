// Polynomial evaluation by Horner's rule, shared by every rational
// approximation of the numerical library.
#pragma once

#include <array>
#include <cstddef>

namespace quilvar::numeric {

// Returns c[0]·x^(N−1) + c[1]·x^(N−2) + … + c[N−1]; coefficients are given
// highest power first.
template <std::size_t N>
constexpr double horner(const std::array<double, N>& coefficients, double x) {
  static_assert(N > 0);
  double value = coefficients[0];
  for (std::size_t i = 1; i < N; ++i) {
    value = value * x + coefficients[i];
  }
  return value;
}

}  // namespace quilvar::numeric
