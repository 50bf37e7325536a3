#include "quilvar/numeric/elementary.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/signal.hpp"
#include "quilvar/numeric/signal_recorder.hpp"

namespace quilvar::numeric {
namespace {

using testing::take_signals;
using Signals = std::vector<std::uint32_t>;

constexpr double kEpsilon = 2.220446049250313e-16;

TEST(SafeExp, MatchesLibraryExponentialAcrossRange) {
  // The one-constant reduction r = x − n·ln 2 rounds n·ln 2 (half an ulp of x)
  // and carries the representation error of ln 2 (n·2.3e-17): 1.5e-16·|x| in all.
  for (double x = -708.0; x <= 709.0; x += 0.731) {
    EXPECT_NEAR(safe_exp(x) / std::exp(x), 1.0, 4e-16 + 1.5e-16 * std::fabs(x)) << x;
  }
}

TEST(SafeExp, RangeEdges) {
  take_signals();
  EXPECT_EQ(safe_exp(-708.4), 0.0);
  EXPECT_GT(safe_exp(-708.39), 0.0);
  EXPECT_EQ(safe_exp(1e-21), 1.0);
  EXPECT_EQ(safe_exp(-2.7e-20), 1.0);
  EXPECT_NEAR(safe_exp(709.78) / std::exp(709.78), 1.0, 1.1e-13);
  EXPECT_EQ(take_signals(), Signals{});
  EXPECT_EQ(safe_exp(709.8), std::numeric_limits<double>::infinity());
  EXPECT_EQ(take_signals(), Signals{kSignalFloatingOverflow});
}

TEST(ExpMinusOne, AccurateOnBothSidesOfSeriesLimit) {
  for (const double x : {1e-300, -1e-12, 3e-5, 0.0099, -0.01, 0.0101, -0.5, 2.0}) {
    EXPECT_NEAR(exp_minus_one(x) / std::expm1(x), 1.0, 4 * kEpsilon) << x;
  }
}

TEST(LogOnePlus, AccurateOnBothSidesOfSeriesLimit) {
  // Relative accuracy up to |x| = 1/32; beyond, 1 + x is rounded first.
  for (const double x : {1e-300, -1e-17, 1e-9, 0.03125, -0.03125}) {
    EXPECT_NEAR(log_one_plus(x) / std::log1p(x), 1.0, 3 * kEpsilon) << x;
  }
  for (const double x : {0.0313, -0.0313, 0.5, -0.999, 1e10}) {
    EXPECT_NEAR(log_one_plus(x), std::log1p(x), kEpsilon * (0.5 + 2 * std::fabs(std::log1p(x)))) << x;
  }
}

TEST(LogComplement, SmallAndLargeTails) {
  EXPECT_NEAR(log_complement(std::log(1e-20)), -1e-20, 1e-34);  // safe_exp at −46: 7e-15
  EXPECT_NEAR(log_complement(std::log(0.25)), std::log(0.75), 2 * kEpsilon);
  EXPECT_EQ(log_complement(-1e-20), kLogOfZero);  // e^t rounds to 1
}

TEST(Power, ExactCases) {
  struct Case {
    double x, y, expected;
  };
  take_signals();
  for (const Case c : {Case{0.0, 0.0, 1.0}, Case{-0.0, 3.0, 0.0}, Case{0.0, -1.0, 0.0}, Case{2.0, 10.0, 1024.0},
                       Case{-2.0, 3.0, -8.0}, Case{2.0, -3.0, 0.125}, Case{-0.5, -2.0, 4.0}, Case{9.0, 0.5, 3.0},
                       Case{1.0, 0.37, 1.0}, Case{0.5, 3e9, 0.0}, Case{10.0, -400.5, 0.0},
                       Case{3.0, 40.0, 12157665459056928801.0}}) {
    EXPECT_EQ(power(c.x, c.y), c.expected) << c.x << "^" << c.y;
  }
  EXPECT_TRUE(is_missing(power(10.0, 400.5)));  // overflow of the logarithmic method
  EXPECT_EQ(take_signals(), Signals{});
}

TEST(Power, RepeatedSquaringAndLogarithmicMethod) {
  // Each squaring's rounding is doubled by the squarings after it: n·ε relative.
  EXPECT_NEAR(power(1.0000001, 2147483647.0) / std::pow(1.0000001, 2147483647.0), 1.0, 2147483647.0 * kEpsilon);
  EXPECT_NEAR(power(0.7, -25.0) / std::pow(0.7, -25.0), 1.0, 30 * kEpsilon);
  for (double x = 1e-5; x < 1e5; x *= 1.37) {
    for (const double y : {-30.3, -2.5, -0.1, 1e-9, 0.3333, 1.7, 7.25, 31.9}) {
      EXPECT_NEAR(power(x, y) / std::pow(x, y), 1.0, kEpsilon) << x << "^" << y;
    }
  }
  EXPECT_NEAR(power(4e-320, 0.25) / std::pow(4e-320, 0.25), 1.0, kEpsilon);  // subnormal base
  EXPECT_NEAR(power(1e-300, 1.03) / std::pow(1e-300, 1.03), 1.0, 1e-3);     // subnormal result
}

TEST(Power, SignalsOverflowAndInvalidPowers) {
  take_signals();
  EXPECT_NEAR(power(1.0000000001, 3e9), std::exp(3e9 * std::log1p(1e-10)), 1e-6);
  EXPECT_EQ(take_signals(), Signals{});
  EXPECT_EQ(power(2.0, 3e9), kLargestDouble);
  EXPECT_EQ(take_signals(), Signals{kSignalFloatingOverflow});
  EXPECT_EQ(power(-2.0, 3e9), kLargestDouble);
  EXPECT_EQ(power(-8.0, 1.0 / 3.0), kLargestDouble);
  EXPECT_EQ(take_signals(), (Signals{kSignalInvalidPower, kSignalInvalidPower}));
}

}  // namespace
}  // namespace quilvar::numeric
