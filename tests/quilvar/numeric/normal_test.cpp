#include "quilvar/numeric/normal.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "quilvar/numeric/reference_table.hpp"
#include "quilvar/numeric/signal_recorder.hpp"

namespace quilvar::numeric {
namespace {

using testing::ReferenceTable;

// The argument x/sqrt(2) is rounded, and erfc amplifies that error by about x².
double tail_tolerance(double x, double reference) { return 1e-15 * (2.0 + x * x) * std::fabs(reference) + 1e-300; }
double cdf_tolerance(double x, double reference) { return 1e-15 * (2.0 + x * x) * reference + 5e-310; }

TEST(NormalCdf, MatchesReference) {
  const ReferenceTable table("normal_cdf.csv");
  for (std::size_t row = 0; row < table.rows(); ++row) {
    const double x = table.at(row, "x");
    const double expected = x < -37.6403 ? 0.0 : table.at(row, "Phi");  // below 2.4e-310: exactly 0
    EXPECT_NEAR(normal_cdf(x), expected, cdf_tolerance(x, expected)) << table.describe(row);
  }
  EXPECT_EQ(normal_cdf(0.0), 0.5);
  EXPECT_EQ(normal_cdf(1500.0), 1.0);
  EXPECT_EQ(normal_cdf(-1500.0), 0.0);
}

TEST(NormalQuantile, MatchesReference) {
  const ReferenceTable table("normal_quantile.csv");
  for (std::size_t row = 0; row < table.rows(); ++row) {
    const double expected = table.at(row, "x");
    EXPECT_NEAR(normal_quantile(table.at(row, "p")), expected, 2e-15 * (1.0 + std::fabs(expected)))
        << table.describe(row);
  }
}

TEST(NormalQuantile, FixedPointsAndBranches) {
  EXPECT_EQ(normal_quantile(0.975), 1.9599639845400543);
  EXPECT_EQ(normal_quantile(0.025), -normal_quantile(0.975));
  EXPECT_EQ(normal_quantile(0.5), 0.0);
  EXPECT_TRUE(std::signbit(normal_quantile(0.5)));
  EXPECT_EQ(normal_quantile(0.0), -37.64030867301702);
  EXPECT_EQ(normal_quantile(1.0), 7.941345326170997);
  EXPECT_EQ(normal_quantile(1e-15), -7.941345326170998);                     // rational branch
  EXPECT_NEAR(normal_quantile(1e-20), -9.262340089798407, 2e-15 * 10.27);  // Newton branch
  EXPECT_TRUE(std::isnan(normal_quantile(1.5)));
  for (const double p : {1e-300, 0.99e-16, 1.01e-16, 0.0099, 0.0101, 0.3, 0.7, 0.9899, 0.9901}) {
    EXPECT_NEAR(normal_cdf(normal_quantile(p)) / p, 1.0, 1e-13) << p;
  }
}

TEST(MillsRatio, MatchesReference) {
  const ReferenceTable table("normal_cdf.csv");
  testing::take_signals();
  for (std::size_t row = 0; row < table.rows(); ++row) {
    const double x = table.at(row, "x");
    const double expected = table.at(row, "mills_ratio");
    double ratio = 0.0;
    ASSERT_EQ(mills_ratio(x, ratio), 0);
    if (std::isinf(expected)) {
      EXPECT_TRUE(std::isinf(ratio)) << table.describe(row);
    } else {
      EXPECT_NEAR(ratio, expected, tail_tolerance(x, expected)) << table.describe(row);
    }
  }
  EXPECT_FALSE(testing::take_signals().empty());  // overflow below x ≈ −37.7 reaches the host
  double below = 0.0;
  double at = 0.0;
  ASSERT_EQ(mills_ratio(std::nextafter(5.0, 0.0), below), 0);  // Φ branch
  ASSERT_EQ(mills_ratio(5.0, at), 0);                          // continued fraction
  EXPECT_NEAR(below / at, 1.0, 1e-13);
}

TEST(LogNormalTails, MatchesReference) {
  const ReferenceTable table("normal_cdf.csv");
  for (std::size_t row = 0; row < table.rows(); ++row) {
    SCOPED_TRACE(table.describe(row));
    const double x = table.at(row, "x");
    double lower = 0.0;
    double upper = 0.0;
    double density = 0.0;
    ASSERT_EQ(log_normal_tails(x, lower, upper, density), 0);
    EXPECT_NEAR(lower, table.at(row, "ln_Phi"), tail_tolerance(x, table.at(row, "ln_Phi")));
    EXPECT_NEAR(upper, table.at(row, "ln_one_minus_Phi"), tail_tolerance(x, table.at(row, "ln_one_minus_Phi")));
    EXPECT_NEAR(density, table.at(row, "ln_density"), 1e-15 * std::fabs(table.at(row, "ln_density")));
  }
  double lower = 0.0;
  double upper = 0.0;
  double density = 0.0;
  ASSERT_EQ(log_normal_tails(0.0, lower, upper, density), 0);
  EXPECT_DOUBLE_EQ(lower, std::log(0.5));
  EXPECT_DOUBLE_EQ(upper, std::log(0.5));
}

}  // namespace
}  // namespace quilvar::numeric
