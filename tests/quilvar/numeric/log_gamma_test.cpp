#include "quilvar/numeric/log_gamma.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/reference_table.hpp"

namespace quilvar::numeric {
namespace {

TEST(LogGamma, MatchesReference) {
  const testing::ReferenceTable table("log_gamma.csv");
  for (std::size_t row = 0; row < table.rows(); ++row) {
    const double expected = table.at(row, "ln_gamma");
    EXPECT_NEAR(log_gamma(table.at(row, "x")), expected, 2e-15 * std::fmax(1.0, std::fabs(expected)))
        << table.describe(row);
  }
}

TEST(LogGamma, SpecialArguments) {
  EXPECT_EQ(log_gamma(1.0), 0.0);
  EXPECT_EQ(log_gamma(2.0), 0.0);
  EXPECT_EQ(log_gamma(1.0 - 1.1e-16), 0.0);
  EXPECT_DOUBLE_EQ(log_gamma(0.5), 0.5723649429247001);
  EXPECT_NEAR(log_gamma(5.5), std::log(945.0 / 32.0 * std::sqrt(M_PI)), 4e-15);  // Γ(n + ½) exactly
  EXPECT_EQ(log_gamma(0.0), kLogGammaErrorValue);
  EXPECT_EQ(log_gamma(-3.5), kLogGammaErrorValue);
  EXPECT_EQ(log_gamma(2.225073858507202e-308), kLogGammaErrorValue);
  EXPECT_NEAR(log_gamma(std::nextafter(15.0, 0.0)), log_gamma(15.0), 1e-15 * log_gamma(15.0));
}

// Arguments near, but not at, a half-integer take the general reduction, not
// the Γ(n + ½) shortcut. References computed with 40 digits.
TEST(LogGamma, BesideTheHalfIntegers) {
  for (const auto& [x, expected] : {std::pair{0.6, 0.39823385806923493}, {1.6, -0.11259176569675577},
                                    {2.6, 0.35741186354897984}, {3.4, 1.0923280598027415},
                                    {7.6, 7.7297497043070125}}) {
    EXPECT_NEAR(log_gamma(x), expected, 2e-15 * std::fmax(1.0, std::fabs(expected))) << x;
  }
}

TEST(StirlingRemainder, IsTheGapToStirlingsFormula) {
  for (const double x : {15.0, 40.0, 1e3, 1e8}) {
    const double stirling = (x - 0.5) * std::log(x) - x + kLogRootTwoPi;
    EXPECT_NEAR(stirling_remainder(x), std::lgamma(x) - stirling, 1e-15 * std::lgamma(x) + 1e-17) << x;
    EXPECT_NEAR(stirling_remainder(x) * 12.0 * x, 1.0, std::fmax(1.0 / (30.0 * x * x), 3e-16)) << x;
  }
}

TEST(LogGammaDensity, ZeroPointAndInvalidArguments) {
  double out = 7.0;
  EXPECT_EQ(log_gamma_density(0.0, 1.0, out), 0);
  EXPECT_EQ(out, 0.0);
  EXPECT_EQ(log_gamma_density(0.0, 2.0, out), 0);
  EXPECT_TRUE(is_missing(out));
  out = 7.0;
  EXPECT_EQ(log_gamma_density(-1.0, 2.0, out), 1);
  EXPECT_EQ(log_gamma_density(1.0, 0.0, out), 1);
  EXPECT_EQ(out, 7.0);
}

TEST(LogGammaDensity, BothFormsAgreeWithDirectDensity) {
  // Direct form (a < 10 or x/a outside 0.7..1.3) and the Stirling form.
  for (const auto& [x, a] : {std::pair{3.0, 2.5}, {12.0, 9.99}, {6.0, 20.0}, {11.0, 10.0}, {1e6 + 300.0, 1e6}}) {
    double out = 0.0;
    ASSERT_EQ(log_gamma_density(x, a, out), 0);
    const double direct = (a - 1.0) * std::log(x) - x - std::lgamma(a);
    EXPECT_NEAR(out, direct, 2e-16 * (a * std::log(x) + x) + 1e-15) << x << ", " << a;
  }
}

}  // namespace
}  // namespace quilvar::numeric
