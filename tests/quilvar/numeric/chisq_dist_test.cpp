#include "quilvar/numeric/chisq_dist.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "quilvar/numeric/bessel.hpp"
#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/reference_table.hpp"

namespace quilvar::numeric {
namespace {

constexpr double kEpsilon = 2.220446049250313e-16;

ChiSquareDist chisq_request(std::uint32_t requests, double k, double lambda, double x = 0.0) {
  ChiSquareDist rec{};
  rec.requests = requests;
  rec.degrees_of_freedom = k;
  rec.noncentrality = lambda;
  rec.x = x;
  return rec;
}

// The Poisson mixture (λ ≤ 500) stops at τ·|correction|; the density
// quadrature accepts a pass whose change is below √τ.
double noncentral_tolerance(double lambda, double log_tail, double log_other) {
  const double scale = lambda <= 500.0 ? 1e-11 + 50.0 * kMinimumTolerance : 1e-7;
  return scale * std::fmin(1.0, std::exp(log_other - log_tail)) + 8.0 * kEpsilon + 1e-15 * std::fabs(log_tail);
}

TEST(ChisqDistEval, NoncentralTailsMatchReference) {
  const testing::ReferenceTable table("noncentral_chi_square.csv");
  for (std::size_t row = 0; row < table.rows(); ++row) {
    SCOPED_TRACE(table.describe(row));
    const double lambda = table.at(row, "lambda");
    ChiSquareDist rec = chisq_request(kRequestTails, table.at(row, "df"), lambda, table.at(row, "x"));
    ASSERT_EQ(chisq_dist_eval(rec), 0);
    const double ln_p = table.at(row, "ln_P");
    const double ln_q = table.at(row, "ln_Q");
    EXPECT_NEAR(rec.log_lower_tail, ln_p, noncentral_tolerance(lambda, ln_p, ln_q));
    EXPECT_NEAR(rec.log_upper_tail, ln_q, noncentral_tolerance(lambda, ln_q, ln_p));
    EXPECT_EQ(rec.mean, rec.degrees_of_freedom + lambda);
  }
}

TEST(ChisqDistEval, CentralTailsAreGammaTails) {
  ChiSquareDist rec = chisq_request(kRequestTails | kRequestLogDensity, 7.0, 0.0, 5.2);
  ASSERT_EQ(chisq_dist_eval(rec), 0);
  GammaDist gamma{};
  gamma.requests = kRequestTails;
  gamma.shape = 3.5;
  gamma.x = 2.6;
  ASSERT_EQ(gamma_dist_eval(gamma), 0);
  EXPECT_EQ(rec.log_lower_tail, gamma.log_lower_tail);
  EXPECT_EQ(rec.log_upper_tail, gamma.log_upper_tail);
  EXPECT_NEAR(rec.log_density, gamma.log_density - std::log(2.0), 1e-15);
}

TEST(ChisqDistEval, RefusedArguments) {
  for (const std::uint32_t requests : {kRequestTails, kRequestLogDensity, kRequestLowerQuantile, kRequestUpperQuantile}) {
    ChiSquareDist rec = chisq_request(requests, 1e-9, 0.0, 1.0);
    rec.probability = 0.5;
    rec.upper_probability = 0.5;
    EXPECT_EQ(chisq_dist_eval(rec), 1) << requests;
  }
  ChiSquareDist rec = chisq_request(kRequestLowerQuantile, 3e9, 0.0);
  rec.probability = 0.5;
  EXPECT_EQ(chisq_dist_eval(rec), 1);
  rec = chisq_request(kRequestLowerQuantile, 2.0, 0.0);  // p = 0
  EXPECT_EQ(chisq_dist_eval(rec), 1);
  rec = chisq_request(kRequestTails, 2.0, 0.0, 0.0);  // x = 0
  EXPECT_EQ(chisq_dist_eval(rec), 1);
  rec = chisq_request(0, 2.0, 0.0, 1.0);
  EXPECT_EQ(chisq_dist_eval(rec), 1);
  EXPECT_EQ(rec.tolerance, 0.0);
}

TEST(ChisqDistEval, LowerQuantileInvertsTails) {
  struct Case {
    double k, lambda, p;
  };
  for (const Case c : {Case{2.0, 0.0, 0.5}, Case{0.3, 0.0, 1e-6}, Case{4.0, 50.0, 0.3}, Case{7.0, 700.0, 0.9}}) {
    ChiSquareDist rec = chisq_request(kRequestLowerQuantile, c.k, c.lambda);
    rec.probability = c.p;
    ASSERT_EQ(chisq_dist_eval(rec), 0);
    ChiSquareDist check = chisq_request(kRequestTails, c.k, c.lambda, rec.x);
    ASSERT_EQ(chisq_dist_eval(check), 0);
    const double logit = std::log(c.p / (1.0 - c.p));
    EXPECT_NEAR(check.log_lower_tail - check.log_upper_tail, logit, 1.1e-8 * std::fmax(1.0, std::fabs(logit)))
        << c.k << ", " << c.lambda << ", " << c.p;
  }
  ChiSquareDist rec = chisq_request(kRequestLowerQuantile, 2.0, 0.0);
  rec.probability = 0.5;
  ASSERT_EQ(chisq_dist_eval(rec), 0);
  EXPECT_NEAR(rec.x / (2.0 * std::log(2.0)), 1.0, 1.05e-8);
}

TEST(ChisqDistEval, UpperQuantileTakesPrecedenceAndInvertsTails) {
  struct Case {
    double k, lambda, q;
  };
  for (const Case c : {Case{10.0, 0.0, 0.05}, Case{0.2, 0.0, 0.5}, Case{3.0, 1.0, 0.01}, Case{4.0, 300.0, 1e-5}}) {
    ChiSquareDist rec = chisq_request(kRequestUpperQuantile | kRequestLowerQuantile, c.k, c.lambda);
    rec.upper_probability = c.q;
    rec.probability = 0.5;
    ASSERT_EQ(chisq_dist_eval(rec), 0);
    ChiSquareDist check = chisq_request(kRequestTails, c.k, c.lambda, rec.x);
    ASSERT_EQ(chisq_dist_eval(check), 0);
    EXPECT_NEAR(check.log_upper_tail, std::log(c.q), 1e-7 * std::fmax(1.0, std::fabs(std::log(c.q))))
        << c.k << ", " << c.lambda << ", " << c.q;
  }
  ChiSquareDist rec = chisq_request(kRequestUpperQuantile, 1e-9, 0.0);
  rec.upper_probability = 0.5;
  EXPECT_EQ(chisq_dist_eval(rec), 1);
  EXPECT_TRUE(is_missing(rec.x));
}

TEST(ChisqDistEval, NoncentralDensityIsPoissonMixtureOfCentralDensities) {
  for (const auto& [k, lambda, x] : {std::tuple{3.0, 10.0, 7.0}, {1.5, 4.0, 0.3}, {40.0, 80.0, 150.0}, {2.0, 200.0, 260.0},
                                               {3.0, 0.5, 2.0}}) {
    double sum = 0.0;
    for (int j = 0; j < 400; ++j) {
      const double a = k / 2.0 + j;
      sum += std::exp(-lambda / 2.0 + j * std::log(lambda / 2.0) - std::lgamma(j + 1.0) + (a - 1.0) * std::log(x / 2.0) -
                      x / 2.0 - std::lgamma(a) - std::log(2.0));
    }
    ChiSquareDist rec = chisq_request(kRequestLogDensity, k, lambda, x);
    ASSERT_EQ(chisq_dist_eval(rec), 0);
    EXPECT_NEAR(rec.log_density, std::log(sum), 1e-12 * (1.0 + lambda)) << k << ", " << lambda << ", " << x;
  }
}

TEST(NoncentralChisqSeries, RescalesFarInTheTails) {
  // Where the running δ terms leave the double range. References: the
  // Poisson mixture of regularized incomplete gamma functions summed with
  // mpmath at 80 digits.
  struct Case {
    double k, lambda, x, log_tail;
    bool lower;
  };
  for (const Case& c : {Case{0.5, 200.0, 1e-6, -103.52885269857189347, true},
                        Case{0.5, 450.0, 2000.0, -280.58164750145148397, false},
                        Case{3.0, 50.0, 2000.0, -711.47518480386672304, false}}) {
    ChiSquareDist rec = chisq_request(kRequestTails, c.k, c.lambda, c.x);
    rec.tolerance = kMinimumTolerance;
    ASSERT_EQ(noncentral_chisq_series(rec), 0);
    EXPECT_NEAR(c.lower ? rec.log_lower_tail : rec.log_upper_tail, c.log_tail, 1e-11 + 1e-15 * std::fabs(c.log_tail));
  }
  ChiSquareDist rec = chisq_request(kRequestTails, 6.0, 0.0, 4.0);  // central: Q = e^(−2)(1 + 2 + 2)
  rec.tolerance = kMinimumTolerance;
  ASSERT_EQ(noncentral_chisq_series(rec), 0);
  EXPECT_NEAR(rec.log_upper_tail, std::log(5.0) - 2.0, 1e-15);
  rec.degrees_of_freedom = 0.0;
  EXPECT_NE(noncentral_chisq_series(rec), 0);
}

BesselRequest bessel_request(double order, double z, int form) {
  BesselRequest request{};
  request.order = order;
  request.z = z;
  request.form = form;
  return request;
}

TEST(LogBesselI, MatchesReferenceInEveryRegime) {
  const testing::ReferenceTable table("log_bessel_i.csv");
  for (std::size_t row = 0; row < table.rows(); ++row) {
    const double nu = table.at(row, "nu");
    const double z = table.at(row, "z");
    const double expected = table.at(row, "ln_I");
    BesselRequest request = bessel_request(nu, z, kBesselLog);
    ASSERT_EQ(log_bessel_i(request), 0) << table.describe(row);
    const bool hankel = z >= 17.0 && nu < 1.348 * std::sqrt(z);
    const double tolerance = hankel ? 2e-12 + 1e-15 * std::fabs(expected) : 1e-13 * std::fabs(expected) + 1e-15;
    EXPECT_NEAR(request.result, expected, tolerance) << table.describe(row);
  }
}

TEST(LogBesselI, OutputFormsAndSpecialArguments) {
  BesselRequest request = bessel_request(2.5, 30.0, kBesselLog);
  ASSERT_EQ(log_bessel_i(request), 0);
  const double log_i = request.result;
  request.form = kBesselScaled;
  ASSERT_EQ(log_bessel_i(request), 0);
  EXPECT_NEAR(request.result, log_i - 30.0, 1e-14);
  request.form = kBesselValue;
  ASSERT_EQ(log_bessel_i(request), 0);
  EXPECT_NEAR(request.result, std::exp(log_i), 1e-14 * std::exp(log_i));
  for (const auto& [order, expected] : {std::pair{0.0, 0.0}, {1.0, kLogOfZero}}) {
    request = bessel_request(order, 0.0, kBesselLog);
    ASSERT_EQ(log_bessel_i(request), 0);
    EXPECT_EQ(request.result, expected);
  }
  request = bessel_request(-0.5, 1.0, kBesselLog);
  EXPECT_EQ(log_bessel_i(request), 1);
  EXPECT_EQ(request.result, -kLargestDouble);
  EXPECT_EQ(request.inaccurate, 1);
  request = bessel_request(0.0, 800.0, kBesselValue);  // e^800 overflows: the logarithm is left
  EXPECT_EQ(log_bessel_i(request), 1);
  EXPECT_EQ(request.inaccurate, 1);
  EXPECT_NEAR(request.result, 800.0 - 0.5 * std::log(2.0 * M_PI * 800.0), 1e-3);
  for (const double w : {0.5, 3.0, 40.0}) {  // I_(−1/2)(w) = sqrt(2/(πw))·cosh w, through the recurrence
    double out = 0.0;
    ASSERT_EQ(log_scaled_bessel_i(-0.5, w, out), 0);
    EXPECT_NEAR(out, 0.5 * std::log(2.0 / (M_PI * w)) + std::log(0.5 * (1.0 + std::exp(-2.0 * w))), 1e-13) << w;
  }
}

}  // namespace
}  // namespace quilvar::numeric
