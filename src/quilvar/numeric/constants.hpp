// Constants shared by the numerical library: status codes, double-range
// thresholds, tolerances and the host's missing value.
#pragma once

#include <bit>
#include <cstdint>

namespace quilvar::numeric {

// Status returned by every function that can fail.
inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;

// ln sqrt(2 pi), the constant of Stirling's formula and of the normal density.
inline constexpr double kLogRootTwoPi = 0.9189385332046728;
// ln 2.
inline constexpr double kLn2 = 0.6931471805599453;
// e, the base of the integrands' scale exponents.
inline constexpr double kNaturalBase = 2.718281828459045;
// From this argument on ln Γ is taken in Stirling's form.
inline constexpr double kStirlingArgument = 15.0;

// One unit above the smallest normal double: at or below it an argument counts as zero.
inline constexpr double kTinyArgument = 2.225073858507202e-308;
// The largest finite double.
inline constexpr double kLargestDouble = 1.7976931348623157e308;
// ln of the largest double; e^x overflows above it.
inline constexpr double kExpOverflowArgument = 709.782712893384;
// Below this argument e^x is returned as 0 rather than as a subnormal.
inline constexpr double kExpUnderflowArgument = -708.3964185;
// 2^512 and about 2^-511: running values outside this band are rescaled.
inline constexpr double kRescaleHigh = 1.3407807929943e154;
inline constexpr double kRescaleLow = 1.491668147e-154;
// Stands for ln 0 wherever the logarithm of a probability would be minus infinity.
inline constexpr double kLogOfZero = -1.3407807929943e154;
// The largest 32-bit signed integer, the range of counts and scale exponents.
inline constexpr double kLargestInt = 2147483647.0;

// Half a unit in the last place of 1: closeness to an integer in log_gamma.
inline constexpr double kUnitTolerance = 1.110223024625157e-16;
// Relative precision at which the plain series and continued fractions stop.
inline constexpr double kSeriesPrecision = 5.551115123125785e-16;
// Floor of the relative tolerance of the distribution records (4 ulp of 1).
inline constexpr double kMinimumTolerance = 8.881784197001256e-16;
// Relative tolerance of the quantile searches (about 2^-26.5).
inline constexpr double kQuantileTolerance = 1.053671212772351e-8;
// The largest probability whose quantile the records attempt.
inline constexpr double kLargestQuantileProbability = 0.9999999894632878;

// The host's standard missing value (a NaN carrying missing code 209).
inline constexpr std::uint64_t kMissingValueBits = 0xFFFFD10000000000ull;
inline constexpr double kMissingValue = std::bit_cast<double>(kMissingValueBits);

// True for any double the host treats as missing: exponent field all ones.
constexpr bool is_missing(double value) {
  constexpr std::uint64_t kExponentMask = 0x7FF0000000000000ull;
  return (std::bit_cast<std::uint64_t>(value) & kExponentMask) == kExponentMask;
}

}  // namespace quilvar::numeric
