#include "quilvar/numeric/gamma_dist.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/gamma_tolerance.hpp"
#include "quilvar/numeric/incomplete_gamma.hpp"
#include "quilvar/numeric/reference_table.hpp"

namespace quilvar::numeric {
namespace {

using testing::ReferenceTable;

GammaDist tails_request(double shape, double x) {
  GammaDist rec{};
  rec.requests = kRequestTails;
  rec.shape = shape;
  rec.x = x;
  return rec;
}

// The accuracy the record reaches for ln T at (a, x): the normal
// approximation, the quadrature fall-back, or the series and fractions.
double record_tolerance(double a, double x, double tail, double other, double log_tail) {
  if (testing::in_normal_region(a, x)) {
    return 3e-5 * std::fabs(log_tail);
  }
  GammaDist probe = tails_request(a, x);
  probe.tolerance = kMinimumTolerance;
  const bool asymptotic = x / a >= 100.0 && a >= 0.5;
  if (!asymptotic && log_incomplete_gamma(probe) != kOk) {
    return testing::quadrature_log_tail_tolerance(tail, other, log_tail);
  }
  return testing::log_tail_tolerance(a, x, kMinimumTolerance, tail, other, log_tail);
}

TEST(GammaDistEval, TailsMatchReference) {
  const ReferenceTable table("incomplete_gamma.csv");
  for (std::size_t row = 0; row < table.rows(); ++row) {
    SCOPED_TRACE(table.describe(row));
    const double a = table.at(row, "a");
    const double x = table.at(row, "x");
    const double lower = table.at(row, "P");
    const double upper = table.at(row, "Q");
    GammaDist rec = tails_request(a, x);
    ASSERT_EQ(gamma_dist_eval(rec), 0);
    EXPECT_NEAR(rec.log_lower_tail, table.at(row, "ln_P"), record_tolerance(a, x, lower, upper, table.at(row, "ln_P")));
    EXPECT_NEAR(rec.log_upper_tail, table.at(row, "ln_Q"), record_tolerance(a, x, upper, lower, table.at(row, "ln_Q")));
    EXPECT_EQ(rec.requests, kRequestTails);
  }
}

TEST(GammaDistEval, InvalidRequestsLeaveRecordUntouched) {
  for (const std::uint32_t requests : {0u, 16u}) {
    GammaDist rec = tails_request(2.0, 1.0);
    rec.requests = requests;
    EXPECT_EQ(gamma_dist_eval(rec), 1);
    EXPECT_EQ(rec.tolerance, 0.0);
    EXPECT_EQ(rec.log_lower_tail, 0.0);
  }
}

TEST(GammaDistEval, TailsAtZero) {
  struct Case {
    double shape, log_density;
  };
  for (const Case c : {Case{2.0, -kLargestDouble}, Case{0.5, kLargestDouble}, Case{1.0, 0.0}}) {
    GammaDist rec = tails_request(c.shape, 0.0);
    ASSERT_EQ(gamma_dist_eval(rec), 0);
    EXPECT_EQ(rec.log_lower_tail, -kLargestDouble);
    EXPECT_EQ(rec.log_upper_tail, 0.0);
    EXPECT_EQ(rec.log_density, c.log_density);
  }
}

TEST(GammaDistEval, TinyShapeFails) {
  GammaDist rec = tails_request(1e-10, 1.0);
  EXPECT_EQ(gamma_dist_eval(rec), 1);
  rec.requests = kRequestLowerQuantile;
  rec.probability = 0.5;
  EXPECT_EQ(gamma_dist_eval(rec), 1);
}

TEST(GammaDistEval, AsymptoticExpansionFarAboveShape) {
  GammaDist rec = tails_request(0.5, 60.0);
  rec.method = -1;
  ASSERT_EQ(gamma_dist_eval(rec), 0);
  EXPECT_EQ(rec.method, -1);  // neither series nor fraction was used
  EXPECT_NEAR(rec.log_upper_tail, -62.62770368803788, 1e-13);
  EXPECT_NEAR(rec.log_density, -62.61953722403575, 1e-13);
}

TEST(GammaDistEval, DensityRequest) {
  GammaDist rec = tails_request(3.0, 2.91);
  rec.requests = kRequestTails | kRequestLogDensity;
  ASSERT_EQ(gamma_dist_eval(rec), 0);
  EXPECT_NEAR(rec.log_density, -1.4668410181931431, 1e-15);
  rec.requests = kRequestLogDensity;
  rec.x = -1.0;
  EXPECT_EQ(gamma_dist_eval(rec), 1);
}

TEST(GammaDistEval, LowerQuantileInvertsTails) {
  struct Case {
    double shape, p;
  };
  for (const Case c : {Case{1.0, 0.5}, Case{0.05, 1e-12}, Case{3.0, 0.975}, Case{250.0, 0.025}, Case{1e4, 1e-9}}) {
    SCOPED_TRACE(::testing::Message() << c.shape << ", " << c.p);
    GammaDist rec{};
    rec.requests = kRequestLowerQuantile;
    rec.shape = c.shape;
    rec.probability = c.p;
    ASSERT_EQ(gamma_dist_eval(rec), 0);
    GammaDist check = tails_request(c.shape, rec.x);
    ASSERT_EQ(gamma_dist_eval(check), 0);
    EXPECT_NEAR(check.log_lower_tail, std::log(c.p), 1e-7 * std::fmax(1.0, std::fabs(std::log(c.p))));
  }
  GammaDist rec{};
  rec.requests = kRequestLowerQuantile;
  rec.shape = 1.0;
  rec.probability = 0.5;
  ASSERT_EQ(gamma_dist_eval(rec), 0);
  EXPECT_NEAR(rec.x / std::log(2.0), 1.0, 1.05e-8);
}

TEST(GammaDistEval, LowerQuantileTakesPrecedence) {
  GammaDist rec{};
  rec.requests = kRequestLowerQuantile | kRequestUpperQuantile | kRequestTails;
  rec.shape = 1.0;
  rec.probability = 0.5;
  rec.upper_probability = 0.1;
  ASSERT_EQ(gamma_dist_eval(rec), 0);
  EXPECT_NEAR(rec.x / std::log(2.0), 1.0, 1.05e-8);
  EXPECT_EQ(rec.requests, kRequestLowerQuantile | kRequestUpperQuantile | kRequestTails);
}

TEST(GammaDistEval, LowerQuantileRefusesExtremeProbabilities) {
  for (const double p : {0.0, 0.99999999}) {
    GammaDist rec{};
    rec.requests = kRequestLowerQuantile;
    rec.shape = 2.0;
    rec.probability = p;
    EXPECT_EQ(gamma_dist_eval(rec), 1);
  }
}

TEST(GammaDistEval, UpperQuantileInvertsTails) {
  for (const double shape : {0.3, 1.0, 7.5, 400.0}) {
    for (const double q : {0.9, 0.5, 1e-3, 1e-40}) {
      SCOPED_TRACE(::testing::Message() << shape << ", " << q);
      GammaDist rec{};
      rec.requests = kRequestUpperQuantile;
      rec.shape = shape;
      rec.upper_probability = q;
      ASSERT_EQ(gamma_dist_eval(rec), 0);
      GammaDist check = tails_request(shape, rec.x);
      ASSERT_EQ(gamma_dist_eval(check), 0);
      EXPECT_NEAR(check.log_upper_tail, std::log(q), 1e-7 * std::fmax(1.0, std::fabs(std::log(q))));
    }
  }
}

TEST(GammaDistEval, FailedUpperQuantileLeavesMissingValue) {
  GammaDist rec{};
  rec.requests = kRequestUpperQuantile;
  rec.shape = 1e-10;
  rec.upper_probability = 0.5;
  EXPECT_EQ(gamma_dist_eval(rec), 1);
  EXPECT_TRUE(is_missing(rec.x));
}

}  // namespace
}  // namespace quilvar::numeric
