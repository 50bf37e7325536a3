#include "quilvar/numeric/poisson_dist.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/gamma_dist.hpp"
#include "quilvar/numeric/gamma_tolerance.hpp"
#include "quilvar/numeric/reference_table.hpp"

namespace quilvar::numeric {
namespace {

using testing::kEpsilon;
using testing::ReferenceTable;

TEST(PoissonTailLogs, MatchesReference) {
  const ReferenceTable table("poisson_tails.csv");
  for (const double tau : {0.0, 1e-5}) {
    for (std::size_t row = 0; row < table.rows(); ++row) {
      SCOPED_TRACE(::testing::Message() << "tau=" << tau << " " << table.describe(row));
      const double mu = table.at(row, "mu");
      const double k = table.at(row, "k");
      const double ref_lower = table.at(row, "ln_P_le_k");
      const double ref_upper = table.at(row, "ln_P_gt_k");
      double lower = 0.0;
      double upper = 0.0;
      ASSERT_EQ(poisson_tail_logs(mu, k, tau, lower, upper), 0);
      const double p_lower = std::exp(ref_lower);
      const double p_upper = std::exp(ref_upper);
      const bool closed_form = k <= 2.0 && p_lower < 1.0;
      double lower_tolerance = 0.0;
      double upper_tolerance = 0.0;
      if (closed_form) {
        lower_tolerance = 8.0 * kEpsilon * (1.0 + mu) + 1e-15 * std::fabs(ref_lower);
        upper_tolerance = 8.0 * kEpsilon * (1.0 + mu) / p_upper + 1e-15 * std::fabs(ref_upper);
      } else {  // the gamma record with shape k + 1 at mu; P(X ≤ k) is its upper tail
        const double tolerance = std::fmax(tau, kMinimumTolerance);
        lower_tolerance = testing::log_tail_tolerance(k + 1.0, mu, tolerance, p_lower, p_upper, ref_lower);
        upper_tolerance = testing::log_tail_tolerance(k + 1.0, mu, tolerance, p_upper, p_lower, ref_upper);
      }
      EXPECT_NEAR(lower, ref_lower, lower_tolerance);
      EXPECT_NEAR(upper, ref_upper, upper_tolerance);
    }
  }
}

TEST(PoissonTailLogs, FailureLeavesOutputsUntouched) {
  for (const double mu : {0.0, -1.0}) {
    double lower = 3.0;
    double upper = 4.0;
    EXPECT_EQ(poisson_tail_logs(mu, 2.0, 1e-5, lower, upper), 1);
    EXPECT_EQ(lower, 3.0);
    EXPECT_EQ(upper, 4.0);
  }
  double lower = 3.0;
  double upper = 4.0;
  EXPECT_EQ(poisson_tail_logs(1.0, -1.0, 1e-5, lower, upper), 1);
  EXPECT_EQ(poisson_tail_logs(1.0, 3e9, 1e-5, lower, upper), 1);
  EXPECT_EQ(lower, 3.0);
}

PoissonDist request(std::uint32_t kind, double mu, int k) {
  PoissonDist rec{};
  rec.request = kind;
  rec.mean = mu;
  rec.count = k;
  return rec;
}

TEST(PoissonDistEval, ClosedFormsAndGammaRecord) {
  PoissonDist rec = request(kPoissonTails, 1.0, 0);
  ASSERT_EQ(poisson_dist_eval(rec), 0);
  EXPECT_EQ(rec.log_lower_tail, -1.0);
  rec = request(kPoissonTails, 2.5, 3);
  ASSERT_EQ(poisson_dist_eval(rec), 0);
  GammaDist gamma{};
  gamma.requests = kRequestTails;
  gamma.shape = 4.0;
  gamma.x = 2.5;
  ASSERT_EQ(gamma_dist_eval(gamma), 0);
  EXPECT_EQ(rec.log_lower_tail, gamma.log_upper_tail);
  EXPECT_EQ(rec.log_upper_tail, gamma.log_lower_tail);
}

TEST(PoissonDistEval, ZeroMeanAndInvalidRequests) {
  for (const std::uint32_t kind : {kPoissonTails, kPoissonLowerQuantile, kPoissonUpperQuantile, kPoissonDerivative}) {
    SCOPED_TRACE(kind);
    PoissonDist rec = request(kind, 0.0, 0);
    rec.probability = 0.5;
    rec.upper_probability = 0.5;
    EXPECT_EQ(poisson_dist_eval(rec), 1);
  }
  PoissonDist rec = request(kPoissonTails, 0.0, 1);
  EXPECT_EQ(poisson_dist_eval(rec), 1);
  EXPECT_TRUE(is_missing(rec.log_upper_tail));
  rec = request(kPoissonLogProbability, 0.0, 0);
  ASSERT_EQ(poisson_dist_eval(rec), 0);
  EXPECT_EQ(rec.log_probability, 0.0);
  rec = request(kPoissonLogProbability, 0.0, 3);
  ASSERT_EQ(poisson_dist_eval(rec), 0);
  EXPECT_TRUE(is_missing(rec.log_probability));
  rec = request(kPoissonLogProbability, 1.0, -2);
  EXPECT_EQ(poisson_dist_eval(rec), 1);
  EXPECT_TRUE(is_missing(rec.log_probability));
  for (const std::uint32_t kind : {0u, 3u, 32u}) {
    rec = request(kind, 1.0, 1);
    EXPECT_EQ(poisson_dist_eval(rec), 1);
  }
}

TEST(PoissonDistEval, LogProbabilityAndDerivative) {
  for (const double mu : {0.01, 3.0, 450.0}) {
    for (const int k : {0, 2, 7, 400}) {
      SCOPED_TRACE(::testing::Message() << mu << ", " << k);
      PoissonDist rec = request(kPoissonDerivative, mu, k);
      ASSERT_EQ(poisson_dist_eval(rec), 0);
      EXPECT_NEAR(rec.log_probability, k * std::log(mu) - mu - std::lgamma(k + 1.0), 1e-13 * (mu + k + 1.0));
      // Central difference of ln P(X ≤ k) in mu.
      const double h = 1e-5 * mu;
      double up = 0.0;
      double down = 0.0;
      double other = 0.0;
      ASSERT_EQ(poisson_tail_logs(mu + h, k, 0.0, up, other), 0);
      ASSERT_EQ(poisson_tail_logs(mu - h, k, 0.0, down, other), 0);
      const double slope = (up - down) / (2.0 * h);
      EXPECT_NEAR(rec.log_tail_derivative, slope, 1e-6 * std::fmax(1.0, std::fabs(slope)));
    }
  }
}

TEST(PoissonDistEval, LowerQuantileIsSmallestCountReachingP) {
  struct Case {
    double mu, p;
  };
  for (const Case c : {Case{3.5, 0.01}, Case{3.5, 0.3}, Case{3.5, 0.97}, Case{0.1, 0.9999}, Case{1000.0, 0.025},
                       Case{2e5, 0.5}, Case{40.0, 1e-9}}) {
    SCOPED_TRACE(::testing::Message() << c.mu << ", " << c.p);
    PoissonDist rec = request(kPoissonLowerQuantile, c.mu, 0);
    rec.probability = c.p;
    ASSERT_EQ(poisson_dist_eval(rec), 0);
    EXPECT_EQ(rec.target, c.p);
    const int k = rec.count;
    double at_k = 0.0;
    double below_k = -kLargestDouble;
    double other = 0.0;
    ASSERT_EQ(poisson_tail_logs(c.mu, k, 0.0, at_k, other), 0);
    if (k > 0) {
      ASSERT_EQ(poisson_tail_logs(c.mu, k - 1, 0.0, below_k, other), 0);
    }
    EXPECT_GE(at_k, std::log(c.p) - 1e-12);
    EXPECT_LT(below_k, std::log(c.p));
  }
}

TEST(PoissonDistEval, LowerQuantileAtClosedFormTail) {
  PoissonDist rec = request(kPoissonLowerQuantile, 2.0, 9);
  rec.probability = std::exp(-2.0);
  ASSERT_EQ(poisson_dist_eval(rec), 0);
  EXPECT_EQ(rec.count, 0);
  EXPECT_EQ(rec.quantile, 0.0);
}

TEST(PoissonDistEval, LowerQuantileTieWithinRounding) {
  // p a hair above P(X ≤ 5): the count 5 is taken as reaching it.
  double at_five = 0.0;
  double other = 0.0;
  ASSERT_EQ(poisson_tail_logs(3.5, 5.0, 0.0, at_five, other), 0);
  PoissonDist rec = request(kPoissonLowerQuantile, 3.5, 0);
  rec.probability = std::exp(at_five) * (1.0 + 5e-13);
  ASSERT_EQ(poisson_dist_eval(rec), 0);
  EXPECT_EQ(rec.count, 5);
  rec.probability = std::exp(at_five) * (1.0 + 5e-11);
  ASSERT_EQ(poisson_dist_eval(rec), 0);
  EXPECT_EQ(rec.count, 6);
}

TEST(PoissonDistEval, UpperQuantileAtClosedFormTail) {
  PoissonDist rec = request(kPoissonUpperQuantile, 2.0, 9);
  rec.upper_probability = -std::expm1(-2.0) * (1.0 + 1e-11);
  ASSERT_EQ(poisson_dist_eval(rec), 0);
  EXPECT_EQ(rec.count, 0);
  EXPECT_EQ(rec.quantile, 0.0);
  EXPECT_EQ(rec.result_count, 0);
}

TEST(PoissonDistEval, UpperQuantileIsSmallestCountWithTailBelowQ) {
  struct Case {
    double mu, q;
  };
  for (const Case c : {Case{3.5, 0.5}, Case{3.5, 1e-6}, Case{0.2, 0.5}, Case{800.0, 1e-100}, Case{12.0, 0.9}}) {
    SCOPED_TRACE(::testing::Message() << c.mu << ", " << c.q);
    PoissonDist rec = request(kPoissonUpperQuantile, c.mu, 0);
    rec.upper_probability = c.q;
    ASSERT_EQ(poisson_dist_eval(rec), 0);
    const int k = rec.result_count;
    double other = 0.0;
    double above_k = 0.0;
    double above_previous = 0.0;
    ASSERT_EQ(poisson_tail_logs(c.mu, k, 0.0, other, above_k), 0);
    if (k > 0) {
      ASSERT_EQ(poisson_tail_logs(c.mu, k - 1, 0.0, other, above_previous), 0);
      EXPECT_GT(above_previous, std::log(c.q));
    }
    EXPECT_LE(above_k, std::log(c.q) + 1e-12);
  }
  PoissonDist rec = request(kPoissonUpperQuantile, 3.0, 0);
  rec.upper_probability = 1e-160;  // below the search range: nothing stored
  rec.result_count = 77;
  ASSERT_EQ(poisson_dist_eval(rec), 0);
  EXPECT_EQ(rec.result_count, 77);
}

}  // namespace
}  // namespace quilvar::numeric
