#include "quilvar/estimate/indirect_standardization.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "estimate_fixture.hpp"
#include "quilvar/numeric/reference_table.hpp"

namespace quilvar::estimate {
namespace {

using namespace testing;

// Exact two-sided Poisson p-value by direct summation of the probabilities.
// The procedure asks for its tails with the relative tolerance 1e-5; they
// come within a few times that.
constexpr double kTailTolerance = 5e-5;
double exact_two_sided_p(int observed, double mean) {
  double term = std::exp(-mean), at_most = 0;
  for (int i = 0; i <= observed; ++i) {
    at_most += term;
    term *= mean / (i + 1);
  }
  const double at_least = 1 - (at_most - std::exp(-mean + observed * std::log(mean) - std::lgamma(observed + 1.0)));
  return std::min(1.0, 2 * std::min(at_most, at_least));
}

class IndirectTest : public EstimateTest {
 protected:
  // One stratum whose reference rate makes the expected events `expected`.
  void set_up_counts(int statistic, double observed, double expected, double size, int cl_type,
                     double reference_events = kMissing, double reference_population = kMissing) {
    nodes_.clear();
    context_ = ProcContext{};
    log_.str("");
    set_up(kMethodIndirect, statistic, 1, cl_type);
    context_.reference.data = reinterpret_cast<host::DataSet*>(&context_);  // any non-null handle
    StratumNode& node = add_stratum(cell(observed, size), no_cell(), reference_population, reference_events);
    node.reference_rate = expected / size;
    if (is_missing(reference_population)) context_.reference_rate_constant = expected / size;
    compute_strata();
  }
  const SmrResult& smr() const { return context_.smr_result; }
};

TEST_F(IndirectTest, SmrVarianceTestsAndNormalAndLognormalLimits) {
  set_up_counts(kStatRate, 30, 20, 10000, kClNormal);
  compute_indirect_estimates(context_);
  const double se = std::sqrt(0.075);
  EXPECT_DOUBLE_EQ(smr().smr, 1.5);
  EXPECT_DOUBLE_EQ(smr().variance, 30.0 / 400);
  EXPECT_NEAR(smr().z, 0.5 / se, 1e-12);
  EXPECT_NEAR(smr().p, two_sided(0.5 / se), 1e-12);
  EXPECT_NEAR(smr().normal_lower, 1.5 - kZ975 * se, 1e-12);
  EXPECT_NEAR(smr().normal_upper, 1.5 + kZ975 * se, 1e-12);
  EXPECT_NEAR(smr().log_smr, std::log(1.5), 1e-15);
  EXPECT_NEAR(smr().log_std_error, se / 1.5, 1e-15);
  EXPECT_NEAR(smr().z_log, std::log(1.5) / (se / 1.5), 1e-12);
  EXPECT_NEAR(smr().lognormal_lower, 1.5 * std::exp(-kZ975 * se / 1.5), 1e-12);
  EXPECT_NEAR(smr().exact_p / exact_two_sided_p(30, 20), 1, kTailTolerance);
  // The standardized rate is the SMR times the reference crude rate.
  EXPECT_NEAR(smr().standardized, 1.5 * 0.002, 1e-15);
  EXPECT_NEAR(smr().standardized_std_error, 0.002 * se, 1e-15);
  EXPECT_NEAR(smr().standardized_normal_upper, (1.5 + kZ975 * se) * 0.002, 1e-12);
  // Values computed independently at 30 digits.
  const struct {
    const char* name;
    double got, expected;
  } values[] = {
      {"lognormal upper", smr().lognormal_upper, 2.1453526336745714},
      {"p of the log test", smr().p_log, 0.026362893863135010},
      {"standardized variance", smr().standardized_variance, 3e-7},
      {"standardized normal lower", smr().standardized_normal_lower, 0.0019264835137697056},
      {"standardized lognormal lower", smr().standardized_lognormal_lower, 0.0020975572637177023},
      {"standardized lognormal upper", smr().standardized_lognormal_upper, 0.0042907052673491428},
  };
  for (const auto& v : values) EXPECT_NEAR(v.got, v.expected, 1e-13 * v.expected) << v.name;
}

// A single observed event (O = 1, E = 0.5) still has its log SMR and
// log-scale test, and its exact p-value takes the smaller tail:
// 2·min(P(X ≤ 1), P(X ≥ 1)) = 2·(1 − e^−0.5).
TEST_F(IndirectTest, OneObservedEventHasTheLogScaleTestAndTheSmallerTail) {
  set_up_counts(kStatRate, 1, 0.5, 10000, kClNormal);
  compute_indirect_estimates(context_);
  EXPECT_NEAR(smr().log_smr, 0.69314718055994531, 1e-15);
  EXPECT_NEAR(smr().z_log, 0.69314718055994531, 1e-13);
  EXPECT_NEAR(smr().p_log, 0.48821719157116547, 1e-13);
  EXPECT_NEAR(smr().exact_p, 0.78693868057473315, kTailTolerance * 0.79);
}

// Σ n·r(1 − r) over the strata, or Σ n²/(n − 1)·r(1 − r) under the variance
// divisor, over E².
TEST_F(IndirectTest, RiskVarianceIsTheBinomialSumOverStrata) {
  for (const auto& [divisor, sum] : {std::pair{0, 100 * 0.12 * 0.88 + 200 * 0.15 * 0.85},
                                     {1, 100.0 * 100 / 99 * 0.12 * 0.88 + 200.0 * 200 / 199 * 0.15 * 0.85}}) {
    SCOPED_TRACE(divisor);
    nodes_.clear();
    context_ = ProcContext{};
    set_up(kMethodIndirect, kStatRisk, 1);
    context_.variance_divisor = divisor;
    context_.reference.data = reinterpret_cast<host::DataSet*>(&context_);
    add_stratum(cell(12, 100), no_cell()).reference_rate = 0.08;
    add_stratum(cell(30, 200), no_cell()).reference_rate = 0.1;
    compute_strata();
    compute_indirect_estimates(context_);
    const double expected = 8 + 20;
    EXPECT_DOUBLE_EQ(smr().smr, 42 / expected);
    EXPECT_NEAR(smr().variance, sum / (expected * expected), 1e-15);
  }
}

TEST_F(IndirectTest, ExactLimitsFromTheChiSquareQuantiles) {
  const numeric::testing::ReferenceTable table("poisson_exact_limits.csv");
  for (std::size_t row = 0; row < table.rows(); ++row) {
    SCOPED_TRACE(table.describe(row));
    const double k = table.at(row, "k"), expected = 0.8 * k + 1;
    set_up_counts(kStatRate, k, expected, 50000, kClPoisson);
    context_.alpha = table.at(row, "alpha");
    compute_indirect_estimates(context_);
    const double reference = expected / 50000;
    EXPECT_NEAR(smr().poisson_lower * expected / table.at(row, "lower_limit"), 1, 1e-9);
    EXPECT_NEAR(smr().poisson_upper * expected / table.at(row, "upper_limit"), 1, 1e-9);
    EXPECT_NEAR(smr().standardized_poisson_lower / (table.at(row, "lower_limit") * reference / expected), 1, 1e-9);
    if (k <= 100) {
      EXPECT_NEAR(smr().exact_p / exact_two_sided_p(static_cast<int>(k), expected), 1, kTailTolerance);
    }
  }
  EXPECT_EQ(log(), "");
}

TEST_F(IndirectTest, ExactPValueNeverExceedsOne) {
  for (double observed : {0.0, 1.0, 5.0, 20.0}) {
    SCOPED_TRACE(observed);
    set_up_counts(kStatRate, observed, observed == 0 ? 0.3 : observed, 1000, kClPoisson);
    compute_indirect_estimates(context_);
    EXPECT_LE(smr().exact_p, 1.0);
    EXPECT_NEAR(smr().exact_p, exact_two_sided_p(static_cast<int>(observed), observed == 0 ? 0.3 : observed), kTailTolerance);
  }
}

// A weighted observed total below 1 is tested as the count 0, whose upper
// tail P(X >= 0) is 1; totals past the counts the Poisson tails take leave
// the p-value missing with a warning under the Poisson limit type, where the
// p-value is shown.
TEST_F(IndirectTest, ExactPValueOfFractionalAndVeryLargeObservedTotals) {
  struct Case {
    const char* name;
    double observed, expected;
    int cl_type;
    double p;  // missing when none can be computed
    bool warned;
  };
  const Case cases[] = {
      {"O = 0.5, E = 3", 0.5, 3, kClPoisson, 2 * std::exp(-3.0), false},
      {"O = 0.25, E = 0.01", 0.25, 0.01, kClPoisson, 1, false},
      {"O = 0.9, E = 20", 0.9, 20, kClPoisson, 2 * std::exp(-20.0), false},
      // Counts derived from rates and populations: 29 deaths given as 29000
      // per 100,000 of 100 persons read as 28.999999999999996; a count from
      // a rate rounded to six decimals, 1 death as 934.579439 per 100,000 of
      // 107 persons, as 0.99999999973. Each tests its whole count.
      {"O = 29 less one ulp, E = 20", std::nextafter(29.0, 0.0), 20, kClPoisson, exact_two_sided_p(29, 20), false},
      {"O = 29 plus one ulp, E = 20", std::nextafter(29.0, 30.0), 20, kClPoisson, exact_two_sided_p(29, 20), false},
      {"O = 0.99999999973, E = 20", 0.99999999973, 20, kClPoisson, exact_two_sided_p(1, 20), false},
      {"O = 2.9999, E = 20", 2.9999, 20, kClPoisson, exact_two_sided_p(2, 20), false},
      {"O = 3e9, E = 3e9", 3e9, 3e9, kClPoisson, kMissing, true},
      {"O = 1e12, E = 1e9", 1e12, 1e9, kClPoisson, kMissing, true},
      {"O = 3e9 with normal limits", 3e9, 3e9, kClNormal, kMissing, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set_up_counts(kStatRate, c.observed, c.expected, 1e13, c.cl_type);
    compute_indirect_estimates(context_);
    if (is_missing(c.p)) {
      EXPECT_TRUE(is_missing(smr().exact_p));
    } else {
      EXPECT_NEAR(smr().exact_p, c.p, kTailTolerance * c.p);
    }
    EXPECT_EQ(logged("The exact p-value of the SMR could not be computed"), c.warned);
    EXPECT_EQ(context_.step_status, c.warned ? 4 : 0);
  }
}

TEST_F(IndirectTest, NoEventsGiveZeroNormalLimitsAndNoExactLowerLimit) {
  set_up_counts(kStatRate, 0, 4, 1000, kClPoisson);
  compute_indirect_estimates(context_);
  EXPECT_EQ(smr().smr, 0.0);
  EXPECT_EQ(smr().variance, 0.0);
  EXPECT_EQ(smr().normal_lower, 0.0);
  EXPECT_EQ(smr().normal_upper, 0.0);
  EXPECT_TRUE(is_missing(smr().z));
  EXPECT_TRUE(is_missing(smr().log_smr));
  EXPECT_TRUE(is_missing(smr().lognormal_lower));
  EXPECT_TRUE(is_missing(smr().poisson_lower));
  EXPECT_TRUE(is_missing(smr().standardized_poisson_lower));
  EXPECT_NEAR(smr().poisson_upper, 0.5 * reference_chi_square_quantile(0.975, 2) / 4, 1e-9);
  EXPECT_NEAR(smr().exact_p, 2 * std::exp(-4.0), 1e-12);
  // The standardized estimate's message comes first, then the SMR's.
  const std::string text = log();
  const auto standardized = text.find("for the standardized estimate");
  const auto ratio = text.find("for the SMR");
  ASSERT_NE(standardized, std::string::npos);
  ASSERT_NE(ratio, std::string::npos);
  EXPECT_LT(standardized, ratio);
  EXPECT_EQ(context_.step_status, 4);
}

TEST_F(IndirectTest, PoissonMessagesOnlyUnderThePoissonLimitType) {
  set_up_counts(kStatRate, 0, 4, 1000, kClLognormal);
  compute_indirect_estimates(context_);
  EXPECT_TRUE(is_missing(smr().poisson_lower));
  EXPECT_EQ(log(), "");
}

TEST_F(IndirectTest, MissingOrZeroExpectedEventsLeaveEverythingMissing) {
  struct Case {
    const char* name;
    double observed, expected;
  };
  for (const Case& c : {Case{"zero expected", 5, 0}, Case{"missing observed", kMissing, 3}}) {
    SCOPED_TRACE(c.name);
    set_up_counts(kStatRate, c.observed, c.expected, 1000, kClPoisson);
    compute_indirect_estimates(context_);
    EXPECT_TRUE(is_missing(smr().smr));
    EXPECT_TRUE(is_missing(smr().variance));
    EXPECT_TRUE(is_missing(smr().exact_p));
    EXPECT_TRUE(is_missing(smr().standardized));
    EXPECT_EQ(log(), "");
  }
}

// A rate per unit of time may exceed 1: its upper limits stay above the
// estimate. A risk's upper limits are capped at 1.
TEST_F(IndirectTest, StandardizedUpperLimitsAreCappedForRiskOnly) {
  for (int type : {kClNormal, kClLognormal, kClPoisson}) {
    SCOPED_TRACE(type);
    set_up_counts(kStatRate, 30, 20, 10, type, 200, 100);  // reference crude rate 2
    compute_indirect_estimates(context_);
    EXPECT_DOUBLE_EQ(context_.reference_estimate, 2.0);
    EXPECT_DOUBLE_EQ(smr().standardized, 3.0);
    EXPECT_GT(smr().standardized_normal_upper, 3.0);
    EXPECT_GT(smr().standardized_lognormal_upper, 3.0);
    EXPECT_GT(smr().standardized_poisson_upper, 3.0);
    EXPECT_NEAR(smr().standardized_poisson_upper, 2 * smr().poisson_upper, 1e-12);
  }
  set_up_counts(kStatRisk, 9, 3, 10, kClPoisson, 30, 100);  // reference risk 0.3, SMR 3
  compute_indirect_estimates(context_);
  EXPECT_NEAR(smr().standardized, 0.9, 1e-15);
  EXPECT_EQ(smr().standardized_normal_upper, 1.0);
  EXPECT_EQ(smr().standardized_lognormal_upper, 1.0);
  EXPECT_EQ(smr().standardized_poisson_upper, 1.0);
  EXPECT_LT(smr().standardized_lognormal_lower, 0.9);
}

}  // namespace
}  // namespace quilvar::estimate
