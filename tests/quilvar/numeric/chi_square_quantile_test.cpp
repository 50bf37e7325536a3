#include "quilvar/numeric/chi_square_quantile.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "quilvar/numeric/gamma_dist.hpp"
#include "quilvar/numeric/reference_table.hpp"

namespace quilvar::numeric {
namespace {

using testing::ReferenceTable;

// Within 1e-10 of the reference, or an error below 1e-8 relative when
// expressed as an error in probability.
void expect_quantile_near(double x, double reference, double p, double density_at_reference) {
  const double probability_error =
      std::fabs(std::log(x / reference)) * reference * density_at_reference / std::fmin(p, 1.0 - p);
  EXPECT_TRUE(std::fabs(x / reference - 1.0) <= 1e-10 || probability_error <= 1e-8)
      << "x=" << x << " reference=" << reference << " probability error=" << probability_error;
}

// Relative accuracy of the fall-back.
constexpr double kFallbackTolerance = 1e-10;

TEST(ChiSquareQuantile, MatchesReference) {
  const ReferenceTable table("chi_square_quantile.csv");
  for (std::size_t row = 0; row < table.rows(); ++row) {
    SCOPED_TRACE(table.describe(row));
    const double p = table.at(row, "p");
    const double df = table.at(row, "df");
    const double reference = table.at(row, "x");
    double x = -1.0;
    double fallback = -1.0;
    const int status = chi_square_quantile(p, df, x);
    const int fallback_status = chi_square_quantile_fallback(p, df, fallback);
    if (reference < 2.2250738585072014e-308) {  // not a normal double: both fail, out untouched
      EXPECT_EQ(status, 1);
      EXPECT_EQ(fallback_status, 1);
      EXPECT_EQ(x, -1.0);
      EXPECT_EQ(fallback, -1.0);
      continue;
    }
    ASSERT_EQ(status, 0);
    ASSERT_EQ(fallback_status, 0);
    expect_quantile_near(x, reference, p, table.at(row, "density_at_x"));
    EXPECT_NEAR(fallback / reference, 1.0, kFallbackTolerance);
  }
}

TEST(ChiSquareQuantile, ExactPoissonLimits) {
  const ReferenceTable table("poisson_exact_limits.csv");
  for (std::size_t row = 0; row < table.rows(); ++row) {
    SCOPED_TRACE(table.describe(row));
    for (const std::string side : {"lower", "upper"}) {
      const double p = table.at(row, "p_" + side);
      const double df = table.at(row, "df_" + side);
      const double reference = table.at(row, "chi2_" + side);
      const double density = std::exp((df / 2.0 - 1.0) * std::log(reference) - reference / 2.0 -
                                      df / 2.0 * std::log(2.0) - std::lgamma(df / 2.0));
      double x = 0.0;
      ASSERT_EQ(chi_square_quantile(p, df, x), 0);
      expect_quantile_near(x, reference, p, density);
      ASSERT_EQ(chi_square_quantile_fallback(p, df, x), 0);
      EXPECT_NEAR(x / reference, 1.0, kFallbackTolerance);
    }
  }
}

TEST(ChiSquareQuantile, DomainAndZeroProbability) {
  double x = 5.0;
  ASSERT_EQ(chi_square_quantile(0.0, 3.0, x), 0);
  EXPECT_EQ(x, 0.0);
  x = 5.0;
  ASSERT_EQ(chi_square_quantile_fallback(0.0, 3.0, x), 0);
  EXPECT_EQ(x, 0.0);
  x = 5.0;
  for (const auto& [p, df] : {std::pair{0.025, 0.0}, {0.9999999999999, 3.0}, {-0.1, 3.0}, {0.5, 1e14}}) {
    EXPECT_EQ(chi_square_quantile(p, df, x), 1) << p << ", " << df;
  }
  for (const auto& [p, df] : {std::pair{0.025, 0.0}, {1.0, 3.0}, {0.99999999, 3.0}}) {
    EXPECT_EQ(chi_square_quantile_fallback(p, df, x), 1) << p << ", " << df;
  }
  EXPECT_EQ(x, 5.0);
}

// exact_upper_limit_in_reach says, from ALPHA= alone, whether the upper end
// of an exact limit (the quantile at 1 − ALPHA/2) can be computed: it must
// agree with the quantile functions on both sides of the boundary, for small
// and large counts alike.
TEST(ChiSquareQuantile, UpperLimitReachAgreesWithTheQuantiles) {
  struct Case {
    double alpha;
    bool in_reach;
  };
  for (const auto& [alpha, in_reach] : {Case{0.05, true}, Case{1e-12, true}, Case{2.1e-13, true},
                                       Case{2e-13, false}, Case{1e-14, false}, Case{1e-300, false}}) {
    for (const double df : {2.0, 12.0, 2000.0, 2e6}) {
      SCOPED_TRACE(::testing::Message() << "alpha=" << alpha << " df=" << df);
      EXPECT_EQ(exact_upper_limit_in_reach(alpha), in_reach);
      double x = 0.0;
      const bool computed = chi_square_quantile(1 - alpha / 2, df, x) == 0 ||
                            chi_square_quantile_fallback(1 - alpha / 2, df, x) == 0;
      EXPECT_EQ(computed, in_reach);
    }
  }
}

// P(X ≤ x) of the chi-square through the gamma record.
double chi_square_lower_tail(double x, double df) {
  GammaDist rec{};
  rec.requests = kRequestTails;
  rec.shape = df / 2.0;
  rec.x = x / 2.0;
  EXPECT_EQ(gamma_dist_eval(rec), 0);
  return std::exp(rec.log_lower_tail);
}

TEST(ChiSquareQuantile, SeriesCapForLargeDegreesOfFreedom) {
  // The incomplete gamma's 2000-term series fails near the median from
  // df ≈ 1.5e5 and at p = 0.025 from df ≈ 2.5e5; callers then use the fall-back.
  double x = 0.0;
  ASSERT_EQ(chi_square_quantile(0.5, 5e4, x), 0);
  EXPECT_NEAR(chi_square_lower_tail(x, 5e4), 0.5, 1e-8);
  EXPECT_EQ(chi_square_quantile(0.5, 3e5, x), 1);
  EXPECT_EQ(chi_square_quantile(0.025, 1e6, x), 1);
  ASSERT_EQ(chi_square_quantile(0.975, 1e6, x), 0);  // upper tails use the fraction
  EXPECT_NEAR(chi_square_lower_tail(x, 1e6), 0.975, 1e-8);
  for (const double df : {3e5, 2e6}) {
    ASSERT_EQ(chi_square_quantile_fallback(0.5, df, x), 0);
    // 1e-10 relative in x is 1e-10·df/sqrt(2·df) standard deviations; φ ≤ 0.4.
    EXPECT_NEAR(chi_square_lower_tail(x, df), 0.5, 0.4 * 1e-10 * df / std::sqrt(2.0 * df)) << df;
  }
}

// Where the series gives up, exact lower limits of half a million events
// and more rest on the fall-back. Its start (a normal approximation) is
// then very close to the root while the first bracket point is tens of
// standard deviations away, so a secant drawn between them must not be
// taken for the root. Quantiles by bisection at 40 digits.
TEST(ChiSquareQuantile, FallBackFindsLargeQuantilesToFullAccuracy) {
  const struct {
    double p, df, quantile;
  } cases[] = {
      {0.025, 1e6, 997230.0871432901025594477},     {0.025, 2000002.0, 1996083.964720624139664335},
      {0.005, 1e6, 996360.9839353822353947839},     {0.5, 1e6, 999999.3333334123457367039},
      {0.1, 1.2e6, 1198015.057593779146002227},
  };
  for (const auto& c : cases) {
    double x = 0.0;
    ASSERT_EQ(chi_square_quantile_fallback(c.p, c.df, x), 0) << c.p << ", " << c.df;
    EXPECT_NEAR(x / c.quantile, 1.0, kFallbackTolerance) << c.p << ", " << c.df;
  }
}

}  // namespace
}  // namespace quilvar::numeric
