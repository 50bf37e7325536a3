// Poisson tails at the edges of their domain: huge counts near the mean,
// where the series and continued fractions converge slowly, and tiny means,
// where the upper tail of the closed forms is 1 − P(X ≤ k) with P near 1.
#include <gtest/gtest.h>

#include <cmath>

#include "quilvar/numeric/poisson_dist.hpp"

namespace quilvar::numeric {
namespace {

struct TailCase {
  double mean;
  double count;
  double log_lower;  // ln P(X ≤ k)
  double log_upper;  // ln P(X > k)
};

// Reference values: mpmath 1.3.0 at 60 digits, P(X ≤ k) = Q(k + 1, μ) and
// P(X > k) = P(k + 1, μ) with Q(a, x) = gammainc(a, x, inf, regularized=True)
// for a < 1e4 and, above, P from x^a e^(−x)/Γ(a + 1)·hyp1f1(1, a + 1, x) for
// x < a and Q from Legendre's continued fraction for x > a.
constexpr TailCase kLargeCounts[] = {
    {100020000.0, 100000000.0, -3.7827097517897542, -0.023023960159546381},
    {99980000.0, 100000000.0, -0.023001861014547697, -3.7836590380210514},
    {499980000.0, 500000000.0, -0.20522446487662243, -1.6845089178194313},
    {1002000.0, 1000000.0, -3.7784440158839468, -0.023123530826209204},
    {30346.0, 30000.0, -3.7504323319797556, -0.023788291706215822},
};

constexpr TailCase kTinyMeans[] = {
    {1e-5, 2.0, -1.6666541667166671e-16, -36.330543364136865},
    {3e-6, 2.0, -4.4999898750121503e-18, -39.942456527116379},
    {1e-7, 1.0, -4.9999996666666912e-15, -32.929338549143251},
    {1e-14, 0.0, -1.0e-14, -32.236191301916645},
    {1e-17, 0.0, -1.0000000000000001e-17, -39.143946580898777},
};

// The exact SMR p-value takes its tails at this tolerance.
constexpr double kProcedureTolerance = 1e-5;

// A tail at tolerance τ is within a few τ relative, whatever the count: an
// error of δ in its logarithm is a relative error of about δ in it.
TEST(PoissonTailAccuracy, LargeCountsNearTheMeanMeetTheTolerance) {
  for (const TailCase& c : kLargeCounts) {
    SCOPED_TRACE(::testing::Message() << "mean=" << c.mean << " k=" << c.count);
    double lower = 0.0;
    double upper = 0.0;
    ASSERT_EQ(poisson_tail_logs(c.mean, c.count, kProcedureTolerance, lower, upper), 0);
    EXPECT_NEAR(lower, c.log_lower, 3.0 * kProcedureTolerance * std::fabs(c.log_lower) + 3.0 * kProcedureTolerance);
    EXPECT_NEAR(upper, c.log_upper, 3.0 * kProcedureTolerance * std::fabs(c.log_upper) + 3.0 * kProcedureTolerance);
  }
}

TEST(PoissonTailAccuracy, SmallUpperTailsOfSmallCountsKeepTheirDigits) {
  for (const double tolerance : {kProcedureTolerance, 0.0}) {
    for (const TailCase& c : kTinyMeans) {
      SCOPED_TRACE(::testing::Message() << "tolerance=" << tolerance << " mean=" << c.mean << " k=" << c.count);
      double lower = 0.0;
      double upper = 0.0;
      ASSERT_EQ(poisson_tail_logs(c.mean, c.count, tolerance, lower, upper), 0);
      // ln P(X ≤ k) is near 0 here: absolute error of the order of ε·μ.
      EXPECT_NEAR(lower, c.log_lower, 1e-14 * (c.mean + std::fabs(c.log_lower)));
      // The upper tail to the tolerance, and never worse than 1e-6 relative.
      EXPECT_NEAR(upper, c.log_upper, std::fmax(tolerance, 1e-12) + 1e-15 * std::fabs(c.log_upper));
      EXPECT_LT(std::fabs(upper - c.log_upper), 1e-6);
    }
  }
}

}  // namespace
}  // namespace quilvar::numeric
