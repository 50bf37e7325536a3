#include "quilvar/numeric/gamma_dist.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/gamma_tolerance.hpp"
#include "quilvar/numeric/incomplete_gamma.hpp"
#include "quilvar/numeric/reference_table.hpp"

namespace quilvar::numeric {
namespace {

GammaDist gamma_request(std::uint32_t requests, double shape, double x = 0.0) {
  GammaDist rec{};
  rec.requests = requests;
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
  GammaDist probe = gamma_request(kRequestTails, a, x);
  probe.tolerance = kMinimumTolerance;
  const bool asymptotic = x / a >= 100.0 && a >= 0.5;
  if (!asymptotic && log_incomplete_gamma(probe) != kOk) {
    return testing::quadrature_log_tail_tolerance(tail, other, log_tail);
  }
  return testing::log_tail_tolerance(a, x, kMinimumTolerance, tail, other, log_tail);
}

TEST(GammaDistEval, TailsMatchReference) {
  const testing::ReferenceTable table("incomplete_gamma.csv");
  for (std::size_t row = 0; row < table.rows(); ++row) {
    SCOPED_TRACE(table.describe(row));
    const double a = table.at(row, "a");
    const double x = table.at(row, "x");
    const double lower = table.at(row, "P");
    const double upper = table.at(row, "Q");
    GammaDist rec = gamma_request(kRequestTails, a, x);
    ASSERT_EQ(gamma_dist_eval(rec), 0);
    EXPECT_NEAR(rec.log_lower_tail, table.at(row, "ln_P"), record_tolerance(a, x, lower, upper, table.at(row, "ln_P")));
    EXPECT_NEAR(rec.log_upper_tail, table.at(row, "ln_Q"), record_tolerance(a, x, upper, lower, table.at(row, "ln_Q")));
    const double ln_density = table.at(row, "ln_density");
    EXPECT_NEAR(rec.log_density, ln_density, 1e-13 * (1.0 + std::fabs(ln_density)));
    EXPECT_EQ(rec.requests, kRequestTails);
  }
}

TEST(GammaDistEval, RefusedRequests) {
  for (const std::uint32_t requests : {0u, 16u}) {  // without touching the record
    GammaDist rec = gamma_request(requests, 2.0, 1.0);
    EXPECT_EQ(gamma_dist_eval(rec), 1);
    EXPECT_EQ(rec.tolerance, 0.0);
  }
  GammaDist rec = gamma_request(kRequestTails, 1e-10, 1.0);
  EXPECT_EQ(gamma_dist_eval(rec), 1);
  rec = gamma_request(kRequestLowerQuantile, 1e-10);
  rec.probability = 0.5;
  EXPECT_EQ(gamma_dist_eval(rec), 1);
  for (const double p : {0.0, 0.99999999}) {
    rec = gamma_request(kRequestLowerQuantile, 2.0);
    rec.probability = p;
    EXPECT_EQ(gamma_dist_eval(rec), 1) << p;
  }
  rec = gamma_request(kRequestLogDensity, 2.0, -1.0);
  EXPECT_EQ(gamma_dist_eval(rec), 1);
}

TEST(GammaDistEval, TailsAtZeroAndFarAbove) {
  for (const auto& [shape, log_density] : {std::pair{2.0, -kLargestDouble}, {0.5, kLargestDouble}, {1.0, 0.0}}) {
    GammaDist rec = gamma_request(kRequestTails, shape, 0.0);
    ASSERT_EQ(gamma_dist_eval(rec), 0);
    EXPECT_EQ(rec.log_lower_tail, -kLargestDouble);
    EXPECT_EQ(rec.log_upper_tail, 0.0);
    EXPECT_EQ(rec.log_density, log_density);
  }
  GammaDist rec = gamma_request(kRequestTails | kRequestLogDensity, 0.5, 60.0);
  rec.method = -1;
  ASSERT_EQ(gamma_dist_eval(rec), 0);
  EXPECT_EQ(rec.method, -1);  // the asymptotic expansion, not the series or fractions
  EXPECT_NEAR(rec.log_upper_tail, -62.62770368803788, 1e-13);
  EXPECT_NEAR(rec.log_density, -62.61953722403575, 1e-13);
}

TEST(GammaDistEval, LowerQuantileInvertsTailsAndTakesPrecedence) {
  for (const auto& [shape, p] : {std::pair{1.0, 0.5}, {0.05, 1e-12}, {3.0, 0.975}, {250.0, 0.025}, {1e4, 1e-9}}) {
    GammaDist rec = gamma_request(kRequestLowerQuantile | kRequestUpperQuantile | kRequestTails, shape);
    rec.probability = p;
    rec.upper_probability = 0.1;
    ASSERT_EQ(gamma_dist_eval(rec), 0);
    GammaDist check = gamma_request(kRequestTails, shape, rec.x);
    ASSERT_EQ(gamma_dist_eval(check), 0);
    EXPECT_NEAR(check.log_lower_tail, std::log(p), 1e-7 * std::fmax(1.0, std::fabs(std::log(p)))) << shape << ", " << p;
    EXPECT_EQ(rec.requests, kRequestLowerQuantile | kRequestUpperQuantile | kRequestTails);
  }
  GammaDist rec = gamma_request(kRequestLowerQuantile, 1.0);
  rec.probability = 0.5;
  ASSERT_EQ(gamma_dist_eval(rec), 0);
  EXPECT_NEAR(rec.x / std::log(2.0), 1.0, 1.05e-8);
}

TEST(GammaDistEval, UpperQuantileInvertsTails) {
  for (const double shape : {0.3, 1.0, 7.5, 400.0}) {
    for (const double q : {0.9, 0.5, 1e-3, 1e-40}) {
      GammaDist rec = gamma_request(kRequestUpperQuantile, shape);
      rec.upper_probability = q;
      ASSERT_EQ(gamma_dist_eval(rec), 0);
      GammaDist check = gamma_request(kRequestTails, shape, rec.x);
      ASSERT_EQ(gamma_dist_eval(check), 0);
      EXPECT_NEAR(check.log_upper_tail, std::log(q), 1e-7 * std::fmax(1.0, std::fabs(std::log(q)))) << shape << ", " << q;
    }
  }
  GammaDist rec = gamma_request(kRequestUpperQuantile, 1e-10);
  rec.upper_probability = 0.5;
  EXPECT_EQ(gamma_dist_eval(rec), 1);
  EXPECT_TRUE(is_missing(rec.x));
  for (const double q : {0.0, 1.0, 1.5, -0.25}) {  // no quantile: refused, x missing
    rec = gamma_request(kRequestUpperQuantile, 2.0);
    rec.upper_probability = q;
    EXPECT_EQ(gamma_dist_eval(rec), 1) << q;
    EXPECT_TRUE(is_missing(rec.x)) << q;
  }
}

}  // namespace
}  // namespace quilvar::numeric
