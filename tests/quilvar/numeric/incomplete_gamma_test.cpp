#include "quilvar/numeric/incomplete_gamma.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/gamma_tolerance.hpp"
#include "quilvar/numeric/reference_table.hpp"

namespace quilvar::numeric {
namespace {

using testing::ReferenceTable;

struct Plain {
  int status;
  double lower, upper, density;
};

Plain plain(double x, double a) {
  Plain r{0, 9.0, 9.0, 9.0};
  r.status = incomplete_gamma(x, a, r.lower, r.upper, r.density);
  return r;
}

TEST(IncompleteGamma, MatchesReference) {
  const ReferenceTable table("incomplete_gamma.csv");
  for (std::size_t row = 0; row < table.rows(); ++row) {
    SCOPED_TRACE(table.describe(row));
    const double a = table.at(row, "a");
    const double x = table.at(row, "x");
    const double ref_lower = table.at(row, "P");
    const double ref_upper = table.at(row, "Q");
    const Plain r = plain(x, a);
    // The series (2000 terms) and the fraction (1000 steps) run out for
    // large shapes within a few standard deviations of x = a.
    if (a >= 5e4 && std::fabs(x - a) < 4.0 * std::sqrt(a) && !testing::in_normal_region(a, x)) {
      EXPECT_EQ(r.status, 1);
      continue;
    }
    ASSERT_EQ(r.status, 0);
    const double tolerance =
        testing::in_normal_region(a, x) ? 2e-11 : testing::plain_tail_tolerance(a, x, ref_lower, ref_upper);
    EXPECT_NEAR(r.lower, ref_lower, tolerance);
    EXPECT_NEAR(r.upper, ref_upper, tolerance);
    EXPECT_EQ(r.lower + r.upper, 1.0);
    const double ref_density = table.at(row, "density");
    EXPECT_NEAR(r.density, ref_density, testing::prefactor_rounding(a, x) * ref_density + 1e-300);
  }
  // Below the shape in the normal region; P by the power series in 30-digit arithmetic (mpmath).
  EXPECT_NEAR(plain(1999950000.0, 2e9).lower, 0.13177584071085944602, 2e-11);
}

TEST(IncompleteGamma, LimitsAndInvalidArguments) {
  struct Case {
    double x, a;
    Plain expected;
  };
  for (const Case& c : {Case{0.0, 1.0, {0, 0.0, 1.0, 1.0}}, Case{0.0, 2.0, {0, 0.0, 1.0, 0.0}},
                        Case{3.0, 0.0, {0, 1.0, 0.0, 0.0}}, Case{-1.0, 2.0, {1, -2.0, -2.0, 0.0}},
                        Case{1.0, -0.5, {1, -2.0, -2.0, 0.0}}, Case{1000.0, 2.0, {0, 1.0, 0.0, 0.0}}}) {
    const Plain r = plain(c.x, c.a);
    SCOPED_TRACE(::testing::Message() << "x=" << c.x << " a=" << c.a);
    EXPECT_EQ(r.status, c.expected.status);
    EXPECT_EQ(r.lower, c.expected.lower);
    EXPECT_EQ(r.upper, c.expected.upper);
    EXPECT_EQ(r.density, c.expected.density);
  }
  for (const double x : {1e-8, 0.3, 2.5, 40.0}) {  // shape 1 is the exponential
    const Plain r = plain(x, 1.0);
    EXPECT_NEAR(r.lower, -std::expm1(-x), testing::prefactor_rounding(1.0, x) * -std::expm1(-x)) << x;
    EXPECT_NEAR(r.upper, std::exp(-x), 1e-15 * (1.0 + x) * std::exp(-x)) << x;
  }
}

GammaDist log_form(double shape, double x) {
  GammaDist rec{};
  rec.shape = shape;
  rec.x = x;
  rec.tolerance = kMinimumTolerance;
  return rec;
}

TEST(LogIncompleteGamma, MethodByRegion) {
  struct Case {
    double shape, x;
    int method;
  };
  for (const Case c : {Case{3.0, 2.0, kMethodLowerSeries}, Case{3.0, 9.0, kMethodUpperFraction},
                       Case{0.7, 0.9, kMethodLowerSeries}, Case{1e5, 1e5, kMethodLowerFraction},
                       Case{2e9, 2e9, kMethodNormalApproximation}, Case{1.5e9, 1.455e9, kMethodLowerFraction},
                       Case{1.5e9, 1.545e9, kMethodUpperFraction}}) {
    SCOPED_TRACE(::testing::Message() << "shape=" << c.shape << " x=" << c.x);
    GammaDist rec = log_form(c.shape, c.x);
    EXPECT_EQ(log_incomplete_gamma(rec), 0);
    EXPECT_EQ(rec.method, c.method);
    EXPECT_EQ(rec.shape, c.shape);
    EXPECT_NEAR(std::exp(rec.log_lower_tail) + std::exp(rec.log_upper_tail), 1.0, 1e-13);
  }
  GammaDist rec = log_form(2.0, 1000.0);  // the plain form underflows here
  ASSERT_EQ(log_incomplete_gamma(rec), 0);
  EXPECT_NEAR(rec.log_upper_tail, -1000.0 + std::log(1001.0), 1e-12);
  rec = log_form(1e7, 1e7);  // series and both fractions run out
  EXPECT_EQ(log_incomplete_gamma(rec), 1);
  EXPECT_EQ(rec.shape, 1e7);
}

TEST(GammaTailByQuadrature, MatchesReferenceNearTheMode) {
  // The fall-back integrates the upper tail; it serves where both tails are
  // moderate (x within a few standard deviations of a).
  const ReferenceTable table("incomplete_gamma.csv");
  for (std::size_t row = 0; row < table.rows(); ++row) {
    const double lower = table.at(row, "P");
    const double upper = table.at(row, "Q");
    if (table.at(row, "a") < 1.0 || std::fmin(lower, upper) < 1e-6) {
      continue;
    }
    SCOPED_TRACE(table.describe(row));
    GammaDist rec = log_form(table.at(row, "a"), table.at(row, "x"));
    ASSERT_EQ(gamma_tail_by_quadrature(rec), 0);
    const double ln_q = table.at(row, "ln_Q");
    const double ln_p = table.at(row, "ln_P");
    EXPECT_NEAR(rec.log_upper_tail, ln_q, testing::quadrature_log_tail_tolerance(upper, lower, ln_q));
    EXPECT_NEAR(rec.log_lower_tail, ln_p, testing::quadrature_log_tail_tolerance(lower, upper, ln_p));
    EXPECT_NEAR(rec.log_density, table.at(row, "ln_density"), 1e-13 * (1.0 + std::fabs(table.at(row, "ln_density"))));
  }
  GammaDist rec = log_form(0.7, 2.1);  // shifted shape; the shift cancels about a third
  ASSERT_EQ(gamma_tail_by_quadrature(rec), 0);
  EXPECT_NEAR(rec.log_upper_tail, -2.6845462129871815, 3e-7);
  EXPECT_NEAR(rec.log_density, -2.5834484499504794, 1e-14);
  EXPECT_EQ(rec.shape, 0.7);
}

}  // namespace
}  // namespace quilvar::numeric
