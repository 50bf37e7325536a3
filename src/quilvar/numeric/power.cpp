// x^y.
//
// Integral exponents use repeated squaring, y = 0.5 the square root. Other
// exponents of positive bases follow the logarithm-exponential method of the
// fdlibm e_pow.c (Sun Microsystems, 1993; K. C. Ng): log2 x is formed in two
// pieces, the high one with 29 trailing zero bits, y·log2 x = n + y' is
// formed in simulated double-double arithmetic, and 2^y'·2^n is evaluated
// with a Remez polynomial. The constants are fdlibm's. Changes: the method
// only ever sees finite positive x and |y| ≤ 2^31 − 1 (the caller handles the
// rest), so fdlibm's special-value and huge-exponent branches are absent;
// overflow gives the host's missing value instead of infinity.
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/elementary.hpp"
#include "quilvar/numeric/horner.hpp"
#include "quilvar/numeric/signal.hpp"

namespace quilvar::numeric {
namespace {

// Intervals of the mantissa reduction: base point 1 or 1.5, and log2(1.5)
// split into a high part (24 bits) and a low part.
constexpr std::array<double, 2> kBasePoint = {1.0, 1.5};
constexpr std::array<double, 2> kLog2BaseHigh = {0.0, 5.84962487220764160156e-01};
constexpr std::array<double, 2> kLog2BaseLow = {0.0, 1.35003920212974897128e-08};
constexpr double kTwo53 = 9007199254740992.0;
// 2/(3 ln 2) in full and split into 24-bit high and low parts.
constexpr double kTwoThirdsLog2E = 9.61796693925975554329e-01;
constexpr double kTwoThirdsLog2EHigh = 9.61796700954437255859e-01;
constexpr double kTwoThirdsLog2ELow = -7.02846165095275826516e-09;
// ln 2 in full and split into high and low parts.
constexpr double kLn2Full = 6.93147180559945286227e-01;
constexpr double kLn2High = 6.93147182464599609375e-01;
constexpr double kLn2Low = -1.90465429995776804525e-09;
// −(1024 − log2(largest double + ulp/2)): the overflow margin at exponent 1024.
constexpr double kOverflowMargin = 8.0085662595372944372e-17;

// (3/2)·(ln x − 2s − 2s³/3) in s², highest power first (L6 … L1).
constexpr std::array<double, 6> kLogPolynomial = {
    2.06975017800338417784e-01, 2.30660745775561754067e-01, 2.72728123808534006489e-01,
    3.33333329818377432918e-01, 4.28571428578550184252e-01, 5.99999999999994648725e-01};
// Remez polynomial of the exponential in t = z², highest power first (P5 … P1).
constexpr std::array<double, 5> kExpPolynomial = {
    4.13813679705723846039e-08, -1.65339022054652515390e-06, 6.61375632143793436117e-05,
    -2.77777777770155933842e-03, 1.66666666666666019037e-01};

std::int32_t high_word(double x) { return static_cast<std::int32_t>(std::bit_cast<std::uint64_t>(x) >> 32); }
std::uint32_t low_word(double x) { return static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(x)); }

double from_words(std::int32_t high, std::uint32_t low) {
  return std::bit_cast<double>((static_cast<std::uint64_t>(static_cast<std::uint32_t>(high)) << 32) | low);
}

// Keeps the high 32 bits of x: a value exact enough to multiply without error.
double clear_low_word(double x) { return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) & 0xFFFFFFFF00000000ull); }

struct TwoPart {
  double high;
  double low;
};

// log2 x = high + low for finite x > 0, high having 29 trailing zero bits.
TwoPart log2_in_two_parts(double x) {
  // Step 1: x = 2^n·m with m in [sqrt(3)/2, sqrt(3)), expanded around b = 1 or 1.5.
  int n = 0;
  std::int32_t ix = high_word(x);
  if (ix < 0x00100000) {  // subnormal: scale into the normal range
    x *= kTwo53;
    n -= 53;
    ix = high_word(x);
  }
  n += (ix >> 20) - 0x3ff;
  const std::int32_t mantissa = ix & 0x000fffff;
  ix = mantissa | 0x3ff00000;
  int k = 0;
  if (mantissa > 0x3988E && mantissa < 0xBB67A) {  // sqrt(3/2) ≤ m < sqrt(3): expand around 1.5
    k = 1;
  } else if (mantissa >= 0xBB67A) {  // m ≥ sqrt(3): use m/2 around 1
    n += 1;
    ix -= 0x00100000;
  }
  const double m = from_words(ix, low_word(x));
  // Step 2: s = (m − b)/(m + b) in two parts; ln(m/b) = 2 atanh s.
  const double u = m - kBasePoint[k];
  const double v = 1.0 / (m + kBasePoint[k]);
  const double s = u * v;
  const double s_high = clear_low_word(s);
  const double sum_high = from_words(((ix >> 1) | 0x20000000) + 0x00080000 + (k << 18), 0);
  const double sum_low = m - (sum_high - kBasePoint[k]);
  const double s_low = v * ((u - s_high * sum_high) - s_high * sum_low);
  // Step 3: 3 + s² + r with r the polynomial remainder of atanh, in two parts.
  double s2 = s * s;
  double r = s2 * s2 * horner(kLogPolynomial, s2);
  r += s_low * (s_high + s);
  s2 = s_high * s_high;
  const double t_high = clear_low_word(3.0 + s2 + r);
  const double t_low = r - ((t_high - 3.0) - s2);
  // Step 4: (3/2)·ln(m/b) = p_high + p_low; times 2/(3 ln 2) it becomes
  // log2(m/b), to which log2 b and n are added.
  const double uu = s_high * t_high;
  const double vv = s_low * t_high + t_low * s;
  const double p_high = clear_low_word(uu + vv);
  const double p_low = vv - (p_high - uu);
  const double z_high = kTwoThirdsLog2EHigh * p_high;
  const double z_low = kTwoThirdsLog2ELow * p_high + p_low * kTwoThirdsLog2E + kLog2BaseLow[k];
  const double exponent = n;
  const double high = clear_low_word(((z_high + z_low) + kLog2BaseHigh[k]) + exponent);
  return {high, z_low - (((high - exponent) - kLog2BaseHigh[k]) - z_high)};
}

// 2^(high + low) for |high + low| < 1075, the sum not overflowing.
double exp2_of_two_parts(double high, double low) {
  const std::int32_t j = high_word(high + low);
  const std::int32_t i = j & 0x7fffffff;
  std::int32_t k = (i >> 20) - 0x3ff;
  std::int32_t n = 0;
  if (i > 0x3fe00000) {  // |z| > 0.5: split off the nearest integer n
    n = j + (0x00100000 >> (k + 1));
    k = ((n & 0x7fffffff) >> 20) - 0x3ff;
    const double integral = from_words(n & ~(0x000fffff >> k), 0);
    n = ((n & 0x000fffff) | 0x00100000) >> (20 - k);
    if (j < 0) {
      n = -n;
    }
    high -= integral;
  }
  const double t = clear_low_word(low + high);
  const double u = t * kLn2High;
  const double v = (low - (t - high)) * kLn2Full + t * kLn2Low;
  double z = u + v;
  const double w = v - (z - u);
  const double z2 = z * z;
  const double t1 = z - z2 * horner(kExpPolynomial, z2);
  const double r = (z * t1) / (t1 - 2.0) - (w + z * w);
  z = 1.0 - (r - z);
  const std::int32_t scaled = high_word(z) + static_cast<std::int32_t>(static_cast<std::uint32_t>(n) << 20);
  if ((scaled >> 20) <= 0) {
    return std::ldexp(z, n);  // subnormal result
  }
  return from_words(scaled, low_word(z));
}

// x^y for finite x > 0 and non-integral |y| < 2^31.
double logarithmic_power(double x, double y) {
  if (std::isinf(x)) {
    return y > 0.0 ? x : 0.0;
  }
  const TwoPart log2x = log2_in_two_parts(x);
  const double y_high = clear_low_word(y);
  const double low = (y - y_high) * log2x.high + y * log2x.low;
  const double high = y_high * log2x.high;
  const double z = low + high;
  const std::int32_t j = high_word(z);
  const std::uint32_t i = low_word(z);
  if (j >= 0x40900000) {  // z ≥ 1024
    if (((static_cast<std::uint32_t>(j) - 0x40900000u) | i) != 0 || low + kOverflowMargin > z - high) {
      return kMissingValue;
    }
  } else if ((j & 0x7fffffff) >= 0x4090cc00) {  // z ≤ −1075
    if (((static_cast<std::uint32_t>(j) - 0xc090cc00u) | i) != 0 || low <= z - high) {
      return 0.0;
    }
  }
  return exp2_of_two_parts(high, low);
}

// x^n by repeated squaring of x, or of 1/x for negative n.
double integral_power(double x, double n) {
  double base = n < 0.0 ? 1.0 / x : x;
  auto remaining = static_cast<std::uint32_t>(std::fabs(n));
  double result = 1.0;
  while (remaining != 0) {
    if ((remaining & 1u) != 0) {
      result *= base;
    }
    remaining >>= 1;
    if (remaining != 0) {
      base *= base;
    }
  }
  return result;
}

// x^y for |y| > 2^31 − 1 and x ≥ 0, through e^(y ln x).
double huge_exponent_power(double x, double y) {
  const double t = y * natural_log(x);
  if (t > kExpOverflowArgument) {
    raise_floating_signal(kSignalFloatingOverflow);
    return kLargestDouble;
  }
  if (t < kExpUnderflowArgument) {
    return 0.0;
  }
  return safe_exp(t);
}

double invalid_power() {
  raise_floating_signal(kSignalInvalidPower);
  return kLargestDouble;
}

}  // namespace

double power(double x, double y) {
  if (std::isnan(x) || std::isnan(y)) {
    return x + y;
  }
  if (x == 0.0) {
    return y == 0.0 ? 1.0 : 0.0;
  }
  if (std::fabs(y) > kLargestInt) {
    return x > 0.0 ? huge_exponent_power(x, y) : invalid_power();
  }
  if (y == std::trunc(y)) {
    return integral_power(x, y);
  }
  if (x < 0.0) {
    return invalid_power();
  }
  if (y == 0.5) {
    return std::sqrt(x);
  }
  return logarithmic_power(x, y);
}

}  // namespace quilvar::numeric
