#include "quilvar/estimate/effects.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "estimate_fixture.hpp"
#include "quilvar/estimate/direct_standardization.hpp"

namespace quilvar::estimate {
namespace {

using namespace testing;

PopulationCell crude(double events, double population) {
  PopulationCell c = cell(events, population);
  c.estimate = events / population;
  return c;
}

class EffectsTest : public EstimateTest {
 protected:
  void set_estimates(double e1, double v1, double e2, double v2) {
    context_.std_estimates[0].estimate = e1;
    context_.std_estimates[0].variance = v1;
    context_.std_estimates[1].estimate = e2;
    context_.std_estimates[1].variance = v2;
  }
};

TEST_F(EffectsTest, StratumEffectsByTypeAndStatistic) {
  struct Case {
    const char* name;
    int statistic, type;
    PopulationCell first, second;
    double estimate, variance;  // variance of the estimate (of the log ratio for RATIO); missing: no limits
  };
  const double w1 = 0.02 / 1000, w2 = 0.01 / 2000;
  const Case cases[] = {
      {"rate ratio", kStatRate, kEffectRatio, crude(20, 1000), crude(20, 2000), 2, w1 / 0.0004 + w2 / 0.0001},
      {"no type asked for: a ratio", kStatRate, kEffectNone, crude(20, 1000), crude(20, 2000), 2, 0.1},
      {"rate difference", kStatRate, kEffectDiff, crude(20, 1000), crude(20, 2000), 0.01, w1 + w2},
      {"first population without events: ratio 0", kStatRate, kEffectRatio, crude(0, 1000), crude(20, 2000), 0,
       kMissing},
      {"first population without events: difference", kStatRate, kEffectDiff, crude(0, 1000), crude(20, 2000), -0.01,
       0 + w2},
      {"second population without events: no ratio", kStatRate, kEffectRatio, crude(20, 1000), crude(0, 2000),
       kMissing, kMissing},
      {"second population without events: difference", kStatRate, kEffectDiff, crude(20, 1000), crude(0, 2000), 0.02,
       w1},
      {"risk ratio", kStatRisk, kEffectRatio, crude(30, 100), crude(10, 100), 3,
       0.3 * 0.7 / 100 / 0.09 + 0.1 * 0.9 / 100 / 0.01},
      {"risk difference", kStatRisk, kEffectDiff, crude(30, 100), crude(10, 100), 0.2,
       0.3 * 0.7 / 100 + 0.1 * 0.9 / 100},
      {"a missing estimate", kStatRate, kEffectDiff, crude(20, 1000), no_cell(), kMissing, kMissing},
      {"person-time below 1", kStatRate, kEffectDiff, crude(3, 0.5), crude(1, 0.25), 2, 6 / 0.5 + 4 / 0.25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nodes_.clear();
    set_up(kMethodDirect, c.statistic, 2);
    context_.strata_effect_type = c.type;
    const StratumNode& node = add_stratum(c.first, c.second);
    double estimate = 7, se = 7, lower = 7, upper = 7;
    EXPECT_EQ(compute_stratum_effect(context_, node, estimate, se, lower, upper), 0);
    if (is_missing(c.estimate)) {
      EXPECT_TRUE(is_missing(estimate));
    } else {
      EXPECT_NEAR(estimate, c.estimate, 1e-15);
    }
    if (is_missing(c.variance)) {
      EXPECT_TRUE(is_missing(se) && is_missing(lower) && is_missing(upper));
      continue;
    }
    const double s = std::sqrt(c.variance);
    EXPECT_NEAR(se, s, 1e-15);
    if (c.type == kEffectDiff) {
      EXPECT_NEAR(lower, c.estimate - kZ975 * s, 1e-12);
      EXPECT_NEAR(upper, c.estimate + kZ975 * s, 1e-12);
    } else {
      EXPECT_NEAR(lower, c.estimate * std::exp(-kZ975 * s), 1e-12);
      EXPECT_NEAR(upper, c.estimate * std::exp(kZ975 * s), 1e-12);
    }
  }
}

// Greenland and Robins (1985), with the sums written per stratum from the
// events a, b and the person-time or sizes N1, N0 of the two populations.
TEST_F(EffectsTest, MantelHaenszelVarianceOfTheLogRatio) {
  struct Data {
    double a[2], b[2], n1[2], n0[2];
  };
  // In the second set Q is below 1 (a single event in the second population).
  const Data sets[] = {{{14, 27}, {10, 35}, {1516, 3400}, {1311, 6000}}, {{1, 1}, {1, 0}, {100, 100}, {100, 100}}};
  for (const Data& d : sets) {
    const auto& [a, b, n1, n0] = d;
    for (int statistic : {kStatRate, kStatRisk}) {
      SCOPED_TRACE(::testing::Message() << "statistic=" << statistic << " first a=" << a[0]);
      nodes_.clear();
      set_up(kMethodMh, statistic, 2);
      double numerator = 0, p = 0, q = 0;
      for (int i = 0; i < 2; ++i) {
        add_stratum(cell(a[i], n1[i]), cell(b[i], n0[i]));
        const double t = n1[i] + n0[i];
        numerator += statistic == kStatRate ? (a[i] + b[i]) * n1[i] * n0[i] / (t * t)
                                            : (a[i] + b[i]) * n1[i] * n0[i] / (t * t) - a[i] * b[i] / t;
        p += a[i] * n0[i] / t;
        q += b[i] * n1[i] / t;
      }
      compute_strata();
      compute_direct_estimates(context_);
      EXPECT_EQ(compute_mh_statistics(context_), 0);
      EXPECT_NEAR(context_.mh_log_ratio_variance, numerator / (p * q), 1e-15);
      // The ratio of the Mantel-Haenszel standardized estimates is the MH ratio.
      EXPECT_NEAR(context_.std_estimates[0].estimate / context_.std_estimates[1].estimate, p / q, 1e-12);
    }
  }
}

TEST_F(EffectsTest, NoMantelHaenszelVarianceWithoutEventsInAPopulation) {
  set_up(kMethodMh, kStatRate, 2);
  add_stratum(cell(0, 100), cell(3, 100));
  compute_strata();
  compute_mh_statistics(context_);
  EXPECT_TRUE(is_missing(context_.mh_log_ratio_variance));
}

TEST_F(EffectsTest, OverallDifference) {
  set_up(kMethodDirect, kStatRate, 2);
  context_.effect_type = kEffectDiff;
  set_estimates(0.00005, 1e-11, 0.00003, 3e-11);
  const OverallEffect e = compute_overall_effect(context_);
  const double se = std::sqrt(4e-11);
  EXPECT_NEAR(e.effect, 0.00002, 1e-18);
  EXPECT_NEAR(e.std_error, se, 1e-18);
  EXPECT_NEAR(e.z, 0.00002 / se, 1e-9);
  EXPECT_NEAR(e.p, two_sided(0.00002 / se), 1e-12);
  EXPECT_NEAR(e.lower, 0.00002 - kZ975 * se, 1e-16);
  EXPECT_TRUE(is_missing(e.log_ratio));
}

// A large positive statistic keeps its p-value: the upper tail is not
// taken as 1 − Φ(z), which is 0 from z ≈ 8.3. 2·Φ(−10) = 1.523970604832105e-23.
TEST_F(EffectsTest, LargeStatisticsOfEitherSignKeepTheirPValue) {
  set_up(kMethodDirect, kStatRate, 2);
  context_.effect_type = kEffectDiff;
  for (const double sign : {1.0, -1.0}) {
    SCOPED_TRACE(sign);
    set_estimates(0.5 + sign * 0.5, 0.005, 0.5, 0.005);  // difference ±0.5, standard error 0.1: z = ±5
    EXPECT_NEAR(compute_overall_effect(context_).p / 5.733031437583878e-07, 1, 1e-13);
    set_estimates(0.5 + sign * 1.0, 0.005, 0.5, 0.005);  // z = ±10
    EXPECT_NEAR(compute_overall_effect(context_).p / 1.523970604832105e-23, 1, 1e-13);
  }
}

TEST_F(EffectsTest, OverallRatioUsesTheMantelHaenszelVarianceUnderMh) {
  set_estimates(0.03, 4e-6, 0.01, 1e-6);
  const double log_se_direct = std::sqrt(4e-6 / 0.0009 + 1e-6 / 0.0001);
  for (int method : {kMethodDirect, kMethodMh}) {
    SCOPED_TRACE(method);
    set_up(method, kStatRate, 2);
    context_.effect_type = kEffectRatio;
    context_.mh_log_ratio_variance = 0.04;
    const double se = method == kMethodMh ? 0.2 : log_se_direct;
    const OverallEffect e = compute_overall_effect(context_);
    EXPECT_NEAR(e.effect, 3, 1e-14);
    EXPECT_NEAR(e.std_error, se, 1e-15);
    EXPECT_NEAR(e.log_ratio, std::log(3.0), 1e-14);
    EXPECT_NEAR(e.z, std::log(3.0) / se, 1e-12);
    EXPECT_NEAR(e.upper, 3 * std::exp(kZ975 * se), 1e-12);
  }
  set_estimates(0.03, 99, 0.01, 99);
  EXPECT_NEAR(compute_overall_effect(context_).std_error, 0.2, 1e-15);
}

TEST_F(EffectsTest, OverallEffectEdgeCasesStayMissing) {
  struct Case {
    const char* name;
    int type;
    double e1, v1, e2, v2;
    bool effect, std_error, test;
  };
  const Case cases[] = {
      {"second estimate zero: no ratio", kEffectRatio, 0.01, 1e-6, 0, 0, false, false, false},
      {"first estimate zero: ratio 0 without a test", kEffectRatio, 0, 0, 0.01, 1e-6, true, false, false},
      {"zero variances: no test of the difference", kEffectDiff, 0.02, 0, 0.01, 0, true, true, false},
      {"missing variance: no standard error", kEffectDiff, 0.02, kMissing, 0.01, 1e-6, true, false, false},
      {"missing estimate", kEffectDiff, kMissing, kMissing, 0.01, 1e-6, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set_up(kMethodDirect, kStatRate, 2);
    context_.effect_type = c.type;
    set_estimates(c.e1, c.v1, c.e2, c.v2);
    const OverallEffect e = compute_overall_effect(context_);
    EXPECT_EQ(!is_missing(e.effect), c.effect);
    EXPECT_EQ(!is_missing(e.std_error), c.std_error);
    EXPECT_EQ(!is_missing(e.z), c.test);
    EXPECT_EQ(!is_missing(e.p), c.test);
    EXPECT_EQ(!is_missing(e.lower) && !is_missing(e.upper), c.test);
  }
}

}  // namespace
}  // namespace quilvar::estimate
