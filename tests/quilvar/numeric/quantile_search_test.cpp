#include "quilvar/numeric/quantile_search.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "quilvar/numeric/constants.hpp"

namespace quilvar::numeric {
namespace {

// A test distribution: value(parameter), and the trial points asked for.
struct Probe {
  double (*value)(double);
  std::vector<double> trials;
};

int evaluate_probe(QuantileSearch& s) {
  auto& probe = *static_cast<Probe*>(s.user_record);
  probe.trials.push_back(s.trial_point);
  *s.value_slot = probe.value(s.trial_point);
  return 0;
}

QuantileSearch search_record(Probe& probe, double& slot, int kind, int interpolation) {
  QuantileSearch s{};
  s.target_kind = kind;
  s.interpolation_kind = interpolation;
  s.value_tolerance = 1e-13;
  s.value_slot = &slot;
  s.start = 1.0;
  s.up_factor = 2.0;
  s.down_factor = 0.5;
  s.user_record = &probe;
  s.evaluate = evaluate_probe;
  return s;
}

double exponential_lower(double x) { return -std::expm1(-x); }
double exponential_log_lower(double x) { return std::log(-std::expm1(-x)); }
double exponential_log_upper(double x) { return -x; }
double normal_lower(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }
double flat_below_half(double) { return 0.1; }
// logit P = ln x − 6.5, linear in ln x: the root is e^6.5.
double logistic_in_log(double x) { return 1.0 / (1.0 + std::exp(6.5 - std::log(x))); }

TEST(QuantileSearch, FindsRootForEachTargetKind) {
  struct Case {
    double (*value)(double);
    int kind, interpolation;
    double target, root;
  };
  for (const Case& c : {Case{exponential_lower, kTargetProbability, kInterpolateGeometric, 0.3, -std::log(0.7)},
                        Case{exponential_log_lower, kTargetLogLower, kInterpolateGeometric, std::log(1e-6),
                             -std::log1p(-1e-6)},
                        Case{exponential_log_upper, kTargetLogUpper, kInterpolateGeometric, -30.0, 30.0},
                        Case{normal_lower, kTargetProbability, kInterpolateLinear, 0.2, -0.8416212335729143},
                        Case{normal_lower, kTargetProbability, kInterpolateLinear, 0.9, 1.2815515655446004}}) {
    Probe probe{c.value, {}};
    double slot = c.target;
    QuantileSearch s = search_record(probe, slot, c.kind, c.interpolation);
    s.lower_bound = -kLargestDouble;  // linear searches may start below 0
    ASSERT_EQ(quantile_search(s), 0) << c.kind << " " << c.target;
    EXPECT_TRUE(s.converged);
    EXPECT_NEAR(s.trial_point, c.root, 1e-7 * std::fabs(c.root)) << c.kind << " " << c.target;
  }
}

TEST(QuantileSearch, InvalidStartsAndBracketFailure) {
  Probe probe{exponential_lower, {}};
  double slot = kMissingValue;
  QuantileSearch s = search_record(probe, slot, kTargetProbability, kInterpolateGeometric);
  EXPECT_EQ(quantile_search(s), 1);
  EXPECT_EQ(s.status, kSearchInvalidStart);
  slot = 0.3;
  s.lower_bound = 2.0;
  EXPECT_EQ(quantile_search(s), 1);
  EXPECT_EQ(s.status, kSearchInvalidStart);
  EXPECT_TRUE(probe.trials.empty());
  Probe flat{flat_below_half, {}};
  slot = 0.5;
  s = search_record(flat, slot, kTargetProbability, kInterpolateGeometric);
  EXPECT_EQ(quantile_search(s), 1);
  EXPECT_EQ(s.status, kSearchNotConverged);
  EXPECT_EQ(flat.trials.size(), 71u);  // the start and 70 bracket steps
}

TEST(QuantileSearch, StartOnTargetNeedsOneEvaluation) {
  Probe probe{exponential_lower, {}};
  double slot = exponential_lower(1.0);
  QuantileSearch s = search_record(probe, slot, kTargetProbability, kInterpolateGeometric);
  ASSERT_EQ(quantile_search(s), 0);
  EXPECT_EQ(probe.trials, std::vector<double>{1.0});
}

TEST(QuantileSearch, GeometricStepIsLimitedToFactorEFive) {
  // Bracket 1 → e^7; the secant would step by e^6.5 from 1 but stops at e^5.
  for (const bool safeguard : {false, true}) {
    Probe probe{logistic_in_log, {}};
    double slot = 0.5;
    QuantileSearch s = search_record(probe, slot, kTargetProbability, kInterpolateGeometric);
    s.up_factor = std::exp(7.0);
    s.midpoint_safeguard = safeguard;
    ASSERT_EQ(quantile_search(s), 0);
    EXPECT_NEAR(s.trial_point, std::exp(6.5), 1e-6 * std::exp(6.5));
    ASSERT_GE(probe.trials.size(), 3u);
    EXPECT_NEAR(probe.trials[2], std::exp(5.0), 1e-12 * std::exp(5.0));
  }
}

// Geometric distribution on 0, 1, 2, …: P(X ≤ k) = 1 − 0.9^(k+1).
double geometric_lower(double k) { return -std::expm1((k + 1.0) * std::log(0.9)); }
double geometric_log_upper(double k) { return (k + 1.0) * std::log(0.9); }
double geometric_log_lower(double k) { return std::log(geometric_lower(k)); }
// ln P(X ≤ k) with the log-of-zero stand-in below k = 40.
double log_lower_with_zero_start(double k) { return k < 40.0 ? kLogOfZero : geometric_log_lower(k); }
// The smallest k with P(X ≤ k) ≥ p.
double geometric_quantile(double p) { return std::ceil(std::log1p(-p) / std::log(0.9) - 1.0 - 1e-9); }
double identity_transform(const QuantileSearch&, double value) { return value; }

QuantileSearch count_record(Probe& probe, double& slot, int kind, int interpolation) {
  QuantileSearch s = search_record(probe, slot, kind, interpolation);
  s.tolerance = 1e-11;
  s.upper_bound = kLargestInt;
  s.up_factor = 1.5;
  s.start = 3.0;
  s.full_path = 1;
  return s;
}

TEST(CountSearch, FindsAdjacentPairAroundTarget) {
  struct Case {
    double (*value)(double);
    int kind, interpolation;
    double p, slot;
  };
  for (const Case& c : {Case{geometric_lower, kCountTargetProbability, kCountSecant, 0.5, 0.5},
                        Case{geometric_lower, kCountTargetProbability, kCountBisection, 0.999, 0.999},
                        Case{geometric_lower, kCountTargetProbability, kCountSecant, 0.15, 0.15},
                        Case{geometric_log_upper, kCountTargetLogUpper, kCountSecant, 1.0 - 1e-12, std::log(1e-12)},
                        Case{geometric_log_lower, kCountTargetLogLower, kCountBisection, 0.75, std::log(0.75)},
                        Case{log_lower_with_zero_start, kCountTargetLogLower, kCountSecant, 0.995, std::log(0.995)}}) {
    SCOPED_TRACE(::testing::Message() << "kind " << c.kind << " p " << c.p);
    Probe probe{c.value, {}};
    double slot = c.slot;
    QuantileSearch s = count_record(probe, slot, c.kind, c.interpolation);
    ASSERT_EQ(count_search(s), 0);
    EXPECT_EQ(s.high_end, geometric_quantile(c.p));
    EXPECT_EQ(s.low_end, s.high_end - 1.0);
    EXPECT_LT(s.logit_at_low_end, s.target_logit);
    EXPECT_GE(s.logit_at_high_end, s.target_logit);
    EXPECT_GT(s.trial_point, s.low_end);
    EXPECT_LE(s.trial_point, s.high_end);
  }
}

TEST(CountSearch, EndsMeetAtExactHitOrBound) {
  Probe probe{geometric_lower, {}};
  for (const auto& [slot_value, answer] : {std::pair{geometric_lower(7.0), 7.0}, {0.02, 0.0}}) {
    double slot = slot_value;
    QuantileSearch s = count_record(probe, slot, kCountTargetProbability, kCountSecant);
    ASSERT_EQ(count_search(s), 0);
    EXPECT_EQ(s.trial_point, answer);
    EXPECT_EQ(s.low_end, answer);
    EXPECT_EQ(s.high_end, answer);
  }
}

TEST(CountSearch, RefusedStartsAndTargets) {
  Probe probe{geometric_lower, {}};
  double slot = 0.5;
  QuantileSearch s = count_record(probe, slot, kCountTargetProbability, kCountSecant);
  s.upper_bound = 100.0;
  s.start = 150.0;
  EXPECT_EQ(count_search(s), kSearchStartAboveBound);
  EXPECT_EQ(s.trial_point, 100.0);
  s.start = -1.0;
  EXPECT_EQ(count_search(s), 1);
  EXPECT_EQ(s.status, kSearchNotConverged);
  slot = kMissingValue;
  s.start = 3.0;
  EXPECT_EQ(count_search(s), 1);
  EXPECT_EQ(s.status, kSearchInvalidStart);
  EXPECT_TRUE(probe.trials.empty());
}

TEST(CountSearch, SimplePathAndReplacedTransforms) {
  Probe probe{geometric_lower, {}};
  double slot = 0.9;
  QuantileSearch s = count_record(probe, slot, kCountTargetProbability, kCountSecant);
  s.full_path = 0;
  s.bracket_given = 1;
  s.low_end = 0.0;
  s.high_end = 1000.0;
  ASSERT_EQ(count_search(s), 0);
  EXPECT_EQ(s.high_end, geometric_quantile(0.9));
  s.bracket_given = 0;  // its own bracket search from the start
  s.start = 500.0;
  slot = 0.9;  // the slot holds the last value after a search
  ASSERT_EQ(count_search(s), 0);
  EXPECT_EQ(s.high_end, geometric_quantile(0.9));
  s.value_transform = identity_transform;  // secant on the probability itself, in plain counts
  s.count_transform = identity_transform;
  s.inverse_count_transform = identity_transform;
  slot = 0.9;
  ASSERT_EQ(count_search(s), 0);
  EXPECT_EQ(s.target_logit, 0.9);
  EXPECT_EQ(s.high_end, geometric_quantile(0.9));
  s.low_end = 30.0;  // a given bracket that does not straddle the target
  s.high_end = 40.0;
  s.bracket_given = 1;
  slot = 0.9;
  EXPECT_EQ(count_search(s), 1);
  s.target_kind = kCountTargetLogLower;  // the simple path takes probabilities only
  EXPECT_EQ(count_search(s), 1);
  EXPECT_EQ(s.status, kSearchInvalidStart);
}

}  // namespace
}  // namespace quilvar::numeric
