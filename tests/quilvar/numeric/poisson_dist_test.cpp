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

TEST(PoissonTailLogs, MatchesReference) {
  const testing::ReferenceTable table("poisson_tails.csv");
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
      if (k <= 2.0 && p_lower < 1.0) {  // closed forms: cancellation for small mu
        EXPECT_NEAR(lower, ref_lower, 8.0 * kEpsilon * (1.0 + mu) + 1e-15 * std::fabs(ref_lower));
        EXPECT_NEAR(upper, ref_upper, 8.0 * kEpsilon * (1.0 + mu) / p_upper + 1e-15 * std::fabs(ref_upper));
      } else {  // the gamma record at shape k + 1 and x = mu; P(X ≤ k) is its upper tail
        const double t = std::fmax(tau, kMinimumTolerance);
        EXPECT_NEAR(lower, ref_lower, testing::log_tail_tolerance(k + 1.0, mu, t, p_lower, p_upper, ref_lower));
        EXPECT_NEAR(upper, ref_upper, testing::log_tail_tolerance(k + 1.0, mu, t, p_upper, p_lower, ref_upper));
      }
    }
  }
}

TEST(PoissonTailLogs, FailureLeavesOutputsUntouched) {
  for (const auto& [mu, k] : {std::pair{0.0, 2.0}, {-1.0, 2.0}, {1.0, -1.0}, {1.0, 3e9}}) {
    double lower = 3.0;
    double upper = 4.0;
    EXPECT_EQ(poisson_tail_logs(mu, k, 1e-5, lower, upper), 1) << mu << ", " << k;
    EXPECT_EQ(lower, 3.0);
    EXPECT_EQ(upper, 4.0);
  }
}

PoissonDist request(std::uint32_t kind, double mu, int k = 0) {
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
    PoissonDist rec = request(kind, 0.0, 1);
    rec.probability = 0.5;
    rec.upper_probability = 0.5;
    EXPECT_EQ(poisson_dist_eval(rec), 1) << kind;
  }
  for (const std::uint32_t kind : {0u, 3u, 32u}) {
    PoissonDist rec = request(kind, 1.0, 1);
    EXPECT_EQ(poisson_dist_eval(rec), 1) << kind;
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
}

TEST(PoissonDistEval, LogProbabilityAndDerivative) {
  for (const double mu : {0.01, 3.0, 450.0}) {
    for (const int k : {0, 2, 7, 400}) {
      SCOPED_TRACE(::testing::Message() << mu << ", " << k);
      PoissonDist rec = request(kPoissonDerivative, mu, k);
      ASSERT_EQ(poisson_dist_eval(rec), 0);
      EXPECT_NEAR(rec.log_probability, k * std::log(mu) - mu - std::lgamma(k + 1.0), 1e-13 * (mu + k + 1.0));
      double up = 0.0;
      double down = 0.0;
      double other = 0.0;
      ASSERT_EQ(poisson_tail_logs(mu * (1.0 + 1e-5), k, 0.0, up, other), 0);
      ASSERT_EQ(poisson_tail_logs(mu * (1.0 - 1e-5), k, 0.0, down, other), 0);
      const double slope = (up - down) / (2e-5 * mu);  // central difference in mu
      EXPECT_NEAR(rec.log_tail_derivative, slope, 1e-6 * std::fmax(1.0, std::fabs(slope)));
    }
  }
}

// ln P(X ≤ k) or ln P(X > k); for k < 0 the limits −∞ and 0.
double log_tail(double mu, int k, bool upper_tail = false) {
  double lower = -kLargestDouble;
  double upper = 0.0;
  if (k >= 0) {
    EXPECT_EQ(poisson_tail_logs(mu, k, 0.0, lower, upper), 0);
  }
  return upper_tail ? upper : lower;
}

TEST(PoissonDistEval, LowerQuantileIsSmallestCountReachingP) {
  for (const auto& [mu, p] : {std::pair{3.5, 0.01}, {3.5, 0.3}, {3.5, 0.97}, {0.1, 0.9999}, {1000.0, 0.025},
                              {2e5, 0.5}, {40.0, 1e-9}, {2.0, std::exp(-2.0)}}) {
    PoissonDist rec = request(kPoissonLowerQuantile, mu);
    rec.probability = p;
    ASSERT_EQ(poisson_dist_eval(rec), 0);
    EXPECT_EQ(rec.target, p);
    EXPECT_GE(log_tail(mu, rec.count), std::log(p) - 1e-12) << mu << ", " << p;
    EXPECT_LT(log_tail(mu, rec.count - 1), std::log(p)) << mu << ", " << p;
  }
  // A hair above P(X ≤ 5) still takes 5; a little more needs 6.
  for (const auto& [factor, count] : {std::pair{1.0 + 5e-13, 5}, {1.0 + 5e-11, 6}}) {
    PoissonDist rec = request(kPoissonLowerQuantile, 3.5);
    rec.probability = std::exp(log_tail(3.5, 5)) * factor;
    ASSERT_EQ(poisson_dist_eval(rec), 0);
    EXPECT_EQ(rec.count, count);
  }
  // Counts 1 and 2 from their closed forms: within their closeness a p a
  // little above P(X ≤ k) still takes k (mu = 2; tails summed term by term).
  for (const auto& [p, count] : {std::pair{std::exp(-2.0) * 3.0 * (1.0 + 1e-11), 1},
                                 {std::exp(-2.0) * 5.0 * (1.0 + 1e-11), 2}}) {
    PoissonDist rec = request(kPoissonLowerQuantile, 2.0);
    rec.probability = p;
    ASSERT_EQ(poisson_dist_eval(rec), 0);
    EXPECT_EQ(rec.count, count) << p;
  }
  // No quantile for a probability outside (0, 1).
  for (const double p : {0.0, 1.0, 1.5}) {
    PoissonDist lower = request(kPoissonLowerQuantile, 2.0);
    lower.probability = p;
    EXPECT_EQ(poisson_dist_eval(lower), 1) << p;
    PoissonDist upper = request(kPoissonUpperQuantile, 2.0);
    upper.upper_probability = p;
    EXPECT_EQ(poisson_dist_eval(upper), 1) << p;
  }
}

TEST(PoissonDistEval, UpperQuantileIsSmallestCountWithTailBelowQ) {
  for (const auto& [mu, q] : {std::pair{3.5, 0.5}, {3.5, 1e-6}, {0.2, 0.5}, {800.0, 1e-100}, {12.0, 0.9}}) {
    PoissonDist rec = request(kPoissonUpperQuantile, mu);
    rec.upper_probability = q;
    ASSERT_EQ(poisson_dist_eval(rec), 0);
    EXPECT_LE(log_tail(mu, rec.result_count, true), std::log(q) + 1e-12) << mu << ", " << q;
    if (rec.result_count > 0) {
      EXPECT_GT(log_tail(mu, rec.result_count - 1, true), std::log(q)) << mu << ", " << q;
    }
  }
  // Counts 0 to 2 come from closed forms: q between two of those tails, or
  // within the closeness of one, answers with its count. Tails summed term by
  // term here: P(X > k) = 1 − e^(−mu)·Σ_{j≤k} mu^j/j!.
  struct Case {
    double mu;
    int tail_of;    // q is this count's upper tail times factor (or, with -1, q is factor)
    double factor;
    int expected;
  };
  const Case cases[] = {
      {2.0, -1, 0.7, 1},         {2.0, -1, 0.4, 2},          {2.0, -1, 0.315, 3},          {0.5, -1, 0.05, 2},      {0.5, -1, 0.2, 1},
      {2.0, 1, 1.0 + 1e-11, 1},  {2.0, 1, 1.0 - 1e-11, 1},   {2.0, 2, 1.0 + 1e-11, 2}, {2.0, 2, 1.0 - 1e-11, 2},
      {0.5, 2, 1.0 - 1e-11, 2},  {0.5, 1, 1.0 + 1e-11, 1},   {0.05, -1, 0.01, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mu=" << c.mu << " tail_of=" << c.tail_of << " factor=" << c.factor);
    double q = c.factor;
    if (c.tail_of >= 0) {
      double term = 1.0;
      double sum = 1.0;
      for (int j = 1; j <= c.tail_of; ++j) {
        term *= c.mu / j;
        sum += term;
      }
      q = (1.0 - std::exp(-c.mu) * sum) * c.factor;
    }
    PoissonDist closed = request(kPoissonUpperQuantile, c.mu);
    closed.upper_probability = q;
    ASSERT_EQ(poisson_dist_eval(closed), 0);
    EXPECT_EQ(closed.result_count, c.expected);
  }
  PoissonDist rec = request(kPoissonUpperQuantile, 2.0, 9);
  rec.upper_probability = -std::expm1(-2.0) * (1.0 + 1e-11);  // P(X > 0) within the closeness
  ASSERT_EQ(poisson_dist_eval(rec), 0);
  EXPECT_EQ(rec.count, 0);
  EXPECT_EQ(rec.result_count, 0);
  rec = request(kPoissonUpperQuantile, 3.0);
  rec.upper_probability = 1e-160;  // below the search range: nothing stored
  rec.result_count = 77;
  ASSERT_EQ(poisson_dist_eval(rec), 0);
  EXPECT_EQ(rec.result_count, 77);
}

}  // namespace
}  // namespace quilvar::numeric
