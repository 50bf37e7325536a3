#include "quilvar/estimate/direct_standardization.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "estimate_fixture.hpp"
#include "quilvar/numeric/reference_table.hpp"

namespace quilvar::estimate {
namespace {

using namespace testing;

class DirectTest : public EstimateTest {
 protected:
  const StdEstimate& first() const { return context_.std_estimates[0]; }
};

TEST_F(DirectTest, TwoStrataEstimateVarianceAndNormalAndLognormalLimits) {
  const double estimate = 0.75 * 0.01 + 0.25 * 0.04;
  const double variance = 0.75 * 0.75 * 0.01 / 1000 + 0.25 * 0.25 * 0.04 / 500;
  const double se = std::sqrt(variance);
  // The standard population as counts, and as proportions summing to 1:
  // only the shares matter.
  for (const auto& [type, reference_scale] : {std::pair{kClNormal, 1.0}, {kClLognormal, 1.0}, {kClNormal, 2.5e-4},
                                              {kClLognormal, 2.5e-4}, {kClNormal, 1e-5}}) {
    SCOPED_TRACE(::testing::Message() << "type=" << type << " reference scale=" << reference_scale);
    nodes_.clear();
    context_ = ProcContext{};
    add_stratum(cell(10, 1000), no_cell(), 3000 * reference_scale);
    add_stratum(cell(20, 500), no_cell(), 1000 * reference_scale);
    set_up(kMethodDirect, kStatRate, 1, type);
    compute_strata();
    ASSERT_EQ(compute_direct_estimates(context_), 0);
    EXPECT_NEAR(first().estimate, 0.0175, 1e-15);
    EXPECT_NEAR(first().variance, variance, 1e-18);
    EXPECT_NEAR(first().std_error, se, 1e-15);
    if (type == kClNormal) {
      EXPECT_NEAR(first().normal_lower, estimate - kZ975 * se, 1e-12);
      EXPECT_NEAR(first().normal_upper, estimate + kZ975 * se, 1e-12);
      EXPECT_TRUE(is_missing(first().lognormal_lower));
    } else {
      EXPECT_NEAR(first().lognormal_lower, estimate * std::exp(-kZ975 * se / estimate), 1e-12);
      EXPECT_NEAR(first().lognormal_upper, estimate * std::exp(kZ975 * se / estimate), 1e-12);
      EXPECT_TRUE(is_missing(first().normal_lower));
    }
    EXPECT_TRUE(is_missing(first().gamma_lower));
  }
}

// The limits stand at z(1 - ALPHA/2) on both sides, also for an ALPHA so
// small that 1 - ALPHA/2 rounds to 1 (or keeps few digits of the tail):
// the upper limit stood at z = 7.94, the normal quantile's cap at 1, below
// the lower limit's distance. Quantiles from SciPy (norm.isf(alpha / 2)).
TEST_F(DirectTest, LimitsAreSymmetricInZForTinyAlpha) {
  struct Case {
    double alpha, z;
  };
  const Case cases[] = {{0.05, 1.9599639845400545}, {1e-12, 7.130506848171324}, {1e-15, 8.02685888253454},
                        {1e-20, 9.33604484923406}, {1e-100, 21.30594006935153}};
  for (const Case& c : cases) {
    for (int type : {kClNormal, kClLognormal}) {
      SCOPED_TRACE(std::to_string(c.alpha) + (type == kClNormal ? " normal" : " lognormal"));
      nodes_.clear();
      context_ = ProcContext{};
      add_stratum(cell(4000, 10000), no_cell(), 3000);
      set_up(kMethodDirect, kStatRate, 1, type);
      context_.alpha = c.alpha;
      compute_strata();
      ASSERT_EQ(compute_direct_estimates(context_), 0);
      const double y = first().estimate, se = first().std_error;  // 0.4 and 0.0063
      if (type == kClNormal) {
        EXPECT_NEAR(first().normal_lower, y - c.z * se, 1e-12 * y);
        EXPECT_NEAR(first().normal_upper, y + c.z * se, 1e-12 * y);
      } else {
        EXPECT_NEAR(first().lognormal_lower / (y * std::exp(-c.z * se / y)), 1, 1e-12);
        EXPECT_NEAR(first().lognormal_upper / (y * std::exp(c.z * se / y)), 1, 1e-12);
      }
    }
  }
}

// With one stratum the gamma limits of a rate x / n are the exact Poisson
// limits of x events over n: ν = 2x below and 2(x + 1) above.
TEST_F(DirectTest, OneStratumGammaLimitsAreTheExactPoissonLimits) {
  const numeric::testing::ReferenceTable table("poisson_exact_limits.csv");
  const double n = 2500;
  for (std::size_t row = 0; row < table.rows(); ++row) {
    SCOPED_TRACE(table.describe(row));
    for (int type : {kClGammaConservative, kClGammaAverage}) {
      nodes_.clear();
      context_ = ProcContext{};
      add_stratum(cell(table.at(row, "k"), n), no_cell(), 40000);
      set_up(kMethodDirect, kStatRate, 1, type);
      context_.alpha = table.at(row, "alpha");
      compute_strata();
      compute_direct_estimates(context_);
      const double upper = type == kClGammaConservative ? first().gamma_upper_largest : first().gamma_upper_mean;
      EXPECT_NEAR(first().gamma_lower * n / table.at(row, "lower_limit"), 1, 1e-9);
      EXPECT_NEAR(upper * n / table.at(row, "upper_limit"), 1, 1e-9);
    }
  }
  // 200000 events: the lower limit's 400000 degrees of freedom lie beyond the
  // main quantile routine, so it comes from the fall-back. References
  // computed with 40 digits.
  for (int type : {kClGammaConservative, kClGammaAverage}) {
    SCOPED_TRACE(type);
    nodes_.clear();
    context_ = ProcContext{};
    add_stratum(cell(200000, 1e9), no_cell(), 40000);
    set_up(kMethodDirect, kStatRate, 1, type);
    compute_strata();
    compute_direct_estimates(context_);
    const double upper = type == kClGammaConservative ? first().gamma_upper_largest : first().gamma_upper_mean;
    EXPECT_NEAR(first().gamma_lower * 1e9 / 199124.42499654117, 1, 1e-9);
    EXPECT_NEAR(upper * 1e9 / 200878.47149996287, 1, 1e-9);
  }
  EXPECT_EQ(log(), "");
}

// Fay-Feuer limits over three strata with unequal weights per event, so
// that the largest and the mean weight give different upper limits.
TEST_F(DirectTest, GammaLimitsWithLargestAndMeanWeight) {
  const double events[] = {4, 9, 2}, sizes[] = {800, 3000, 150}, reference[] = {5000, 3000, 2000};
  double y = 0, v = 0, largest = 0, sum = 0, sum_of_squares = 0;
  for (int i = 0; i < 3; ++i) {
    const double w = reference[i] / 10000, d = w / sizes[i];
    y += w * events[i] / sizes[i];
    v += w * w * events[i] / sizes[i] / sizes[i];
    largest = std::max(largest, d);
    sum += d;
    sum_of_squares += d * d;
  }
  const double lower = v / (2 * y) * reference_chi_square_quantile(0.025, 2 * y * y / v);
  const auto upper = [&](double a, double b) {
    return (v + b) / (2 * (y + a)) * reference_chi_square_quantile(0.975, 2 * (y + a) * (y + a) / (v + b));
  };
  for (int type : {kClGammaConservative, kClGammaAverage}) {
    SCOPED_TRACE(type);
    nodes_.clear();
    for (int i = 0; i < 3; ++i) add_stratum(cell(events[i], sizes[i]), no_cell(), reference[i]);
    set_up(kMethodDirect, kStatRate, 1, type);
    compute_strata();
    compute_direct_estimates(context_);
    EXPECT_NEAR(first().gamma_lower / lower, 1, 1e-9);
    if (type == kClGammaConservative) {
      EXPECT_NEAR(first().gamma_upper_largest / upper(largest, largest * largest), 1, 1e-9);
      EXPECT_TRUE(is_missing(first().gamma_upper_mean));
    } else {
      EXPECT_NEAR(first().gamma_upper_mean / upper(sum / 3, sum_of_squares / 3), 1, 1e-9);
      EXPECT_TRUE(is_missing(first().gamma_upper_largest));
    }
  }
  EXPECT_GT(largest, sum / 3);
}

TEST_F(DirectTest, EdgeCasesLeaveFieldsMissingWithTheirMessages) {
  struct Case {
    const char* name;
    int statistic, cl_type;
    double events, size, reference;
    bool estimate, std_error, message;  // present, present, 908-161 issued
  };
  const Case cases[] = {
      {"all events zero under GAMMA: no limits, no message", kStatRate, kClGammaAverage, 0, 1000, 5000, true, false,
       false},
      {"tiny nu: the lower gamma limit fails with 908-161", kStatRate, kClGammaConservative, 0.00001, 1000, 5000,
       true, true, true},
      {"zero reference total", kStatRate, kClNormal, 5, 1000, 0, false, false, false},
      {"missing population total", kStatRate, kClNormal, kMissing, kMissing, 5000, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nodes_.clear();
    context_ = ProcContext{};
    log_.str("");
    StratumNode& node = add_stratum(cell(c.events, c.size), no_cell(), c.reference);
    if (is_missing(c.events)) node.cell[0].estimate = 0.002;  // a rate read directly
    set_up(kMethodDirect, c.statistic, 1, c.cl_type);
    compute_strata();
    compute_direct_estimates(context_);
    EXPECT_EQ(!is_missing(first().estimate), c.estimate);
    EXPECT_EQ(!is_missing(first().std_error), c.std_error);
    EXPECT_EQ(logged("Gamma confidence limits could not be computed"), c.message);
    EXPECT_EQ(context_.step_status, c.message ? 4 : 0);
    // A failing lower limit does not keep the upper one from being computed.
    if (c.message) {
      EXPECT_FALSE(is_missing(first().gamma_upper_largest));
    }
  }
}

TEST_F(DirectTest, RiskUpperLimitsAreCappedAtOne) {
  for (int type : {kClNormal, kClLognormal}) {
    SCOPED_TRACE(type);
    nodes_.clear();
    add_stratum(cell(49, 50), no_cell(), 100);
    add_stratum(cell(3, 4), no_cell(), 1);
    set_up(kMethodDirect, kStatRisk, 1, type);
    compute_strata();
    compute_direct_estimates(context_);
    EXPECT_GT(first().estimate, 0.97);
    const double upper = type == kClNormal ? first().normal_upper : first().lognormal_upper;
    EXPECT_EQ(upper, 1.0);
  }
}

// The binomial variance of a directly standardized risk, Σ w²·r(1 − r)/n,
// or with n − 1 under the variance divisor: risks 0.01 and 0.04 with
// weights 0.75 and 0.25.
TEST_F(DirectTest, RiskVarianceIsBinomialWithEitherDivisor) {
  for (const auto& [divisor, variance] :
       {std::pair{0, 0.5625 * 0.01 * 0.99 / 1000 + 0.0625 * 0.04 * 0.96 / 500},
        {1, 0.5625 * 0.01 * 0.99 / 999 + 0.0625 * 0.04 * 0.96 / 499}}) {
    SCOPED_TRACE(divisor);
    nodes_.clear();
    context_ = ProcContext{};
    add_stratum(cell(10, 1000), no_cell(), 3000);
    add_stratum(cell(20, 500), no_cell(), 1000);
    set_up(kMethodDirect, kStatRisk, 1, kClNormal);
    context_.variance_divisor = divisor;
    compute_strata();
    ASSERT_EQ(compute_direct_estimates(context_), 0);
    EXPECT_NEAR(first().estimate, 0.0175, 1e-15);
    EXPECT_NEAR(first().variance, variance, 1e-20);
    EXPECT_NEAR(first().normal_upper, 0.0175 + kZ975 * std::sqrt(variance), 1e-12);
  }
}

TEST_F(DirectTest, AStratumAbsentFromOnePopulationLeavesItsWeightOutForThatPopulationOnly) {
  add_stratum(cell(10, 1000), cell(30, 1000), 3000);
  StratumNode& absent = add_stratum(cell(20, 500), no_cell(), 1000);
  absent.absent[1] = 1;
  set_up(kMethodDirect, kStatRate, 2);
  context_.population_label[0] = LongText{1, "A"};
  context_.population_label[1] = LongText{1, "B"};
  compute_strata();
  compute_direct_estimates(context_);
  EXPECT_NEAR(context_.std_estimates[0].estimate, 0.0175, 1e-15);
  EXPECT_NEAR(context_.std_estimates[1].estimate, 0.03, 1e-15);
  EXPECT_NEAR(context_.std_estimates[1].variance, 0.03 / 1000, 1e-18);
}

TEST_F(DirectTest, MantelHaenszelWeightsAreTheStandard) {
  add_stratum(cell(4, 100), cell(2, 300));
  add_stratum(cell(9, 600), cell(1, 200));
  set_up(kMethodMh, kStatRate, 2);
  compute_strata();
  compute_direct_estimates(context_);
  const double w1 = 100.0 * 300 / 400, w2 = 600.0 * 200 / 800;
  EXPECT_NEAR(context_.std_estimates[0].estimate, (w1 * 0.04 + w2 * 0.015) / (w1 + w2), 1e-15);
  EXPECT_NEAR(context_.std_estimates[1].estimate, (w1 * 2 / 300 + w2 * 0.005) / (w1 + w2), 1e-15);
  const double t = w1 + w2;
  EXPECT_NEAR(context_.std_estimates[1].variance,
              (w1 / t) * (w1 / t) * (2.0 / 300) / 300 + (w2 / t) * (w2 / t) * 0.005 / 200, 1e-18);
}

}  // namespace
}  // namespace quilvar::estimate
