#include "quilvar/numeric/quadrature.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace quilvar::numeric {
namespace {

QuadratureRecord plain_record(int mode, QuadratureIntegrand integrand, double tolerance) {
  QuadratureRecord q{};
  q.mode = mode;
  q.integrand = integrand;
  q.tolerance = tolerance;
  q.initial_step = 0.5;
  q.passes_allowed = 20;
  q.stopping_rule = kStopRelative;
  return q;
}

int gaussian(double t, void*, double& value) {
  value = std::exp(-0.5 * t * t);
  return 0;
}
int exponential(double t, void*, double& value) {
  value = std::exp(-t);
  return 0;
}
int square(double t, void*, double& value) {
  value = t * t;
  return 0;
}

TEST(TrapezoidQuadrature, IntegratesInEachMode) {
  struct Case {
    int mode;
    QuadratureIntegrand integrand;
    double lower, upper, start, expected;
  };
  const Case cases[] = {
      {kQuadraturePlain, gaussian, 0.0, 0.0, 0.3, std::sqrt(2.0 * M_PI)},
      {kQuadratureHalfLine, exponential, 1.0, 0.0, 2.0, std::exp(-1.0)},
      {kQuadratureHalfLine, exponential, 1.0, 0.0, 0.5, std::exp(-1.0)},  // start replaced by the step
      {kQuadratureInterval, square, 0.0, 2.0, 1.0, 8.0 / 3.0},
      {kQuadratureInterval, square, 0.0, 2.0, 2.0, 8.0 / 3.0},  // start at the upper limit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " start " << c.start);
    QuadratureRecord q = plain_record(c.mode, c.integrand, 1e-14);
    q.lower_limit = c.lower;
    q.upper_limit = c.upper;
    q.start_point = c.start;
    double result = 0.0;
    ASSERT_EQ(trapezoid_quadrature(q, result), 0);
    EXPECT_NEAR(result, c.expected, 1e-11 * c.expected);
    EXPECT_EQ(q.scaled_result, result);
    EXPECT_LT(q.relative_change, 1e-7);
  }
}

// e^(1000 − t) on [0, ∞), reported relative to a running scale exponent.
int scaled_exponential(double t, void* data, double& value) {
  auto& q = *static_cast<QuadratureRecord*>(data);
  const double v = 1000.0 - t;
  if (v > q.scale_exponent_current) {
    q.scale_exponent_current = static_cast<int>(v);
  }
  value = std::exp(v - q.scale_exponent_current);
  return 0;
}

TEST(TrapezoidQuadrature, ScaledIntegrandBeyondDoubleRange) {
  QuadratureRecord q = plain_record(kQuadratureHalfLine, scaled_exponential, 1e-14);
  q.user_data = &q;
  q.scaling_on = 1;
  q.scale_exponent_current = kNoScaleExponent;
  q.start_point = 3.0;
  double result = 0.0;
  ASSERT_EQ(trapezoid_quadrature(q, result), 0);
  EXPECT_EQ(q.scale_exponent_in_use, q.scale_exponent_current);
  EXPECT_NEAR(q.scale_exponent_in_use * q.log_scale_base + std::log(result), 1000.0, 1e-12);
}

int failing_beyond_one(double t, void* data, double& value) {
  if (t > 1.0) {
    *static_cast<int*>(data) += 1;
    return 1;
  }
  value = 1.0;
  return 0;
}

TEST(TrapezoidQuadrature, BadPointsCountAsZeroUnlessTheyFail) {
  int bad_points = 0;
  QuadratureRecord q = plain_record(kQuadratureInterval, failing_beyond_one, 1e-4);
  q.user_data = &bad_points;
  q.upper_limit = 2.0;
  q.start_point = 0.5;
  q.stopping_rule = kStopAbsoluteOrRelative;
  double result = 0.0;
  ASSERT_EQ(trapezoid_quadrature(q, result), 0);
  EXPECT_GT(bad_points, 0);
  EXPECT_NEAR(result, 1.0, 0.05);
  q.fail_on_bad_point = 1;
  EXPECT_EQ(trapezoid_quadrature(q, result), 1);
}

int raises_failure_flag(double, void* data, double& value) {
  static_cast<QuadratureRecord*>(data)->failure_flag = 1;
  value = 1.0;
  return 0;
}

TEST(TrapezoidQuadrature, FailureFlagStops) {
  QuadratureRecord q = plain_record(kQuadraturePlain, raises_failure_flag, 1e-8);
  q.user_data = &q;
  double result = 5.0;
  EXPECT_EQ(trapezoid_quadrature(q, result), 1);
  EXPECT_EQ(result, 5.0);
}

int inverse_root_on_unit_interval(double t, void*, double& value) {
  value = t > 0.0 && t <= 1.0 ? 1.0 / std::sqrt(t) : 0.0;
  return 0;
}

TEST(TrapezoidQuadrature, SlowConvergenceRunsIntoLimits) {
  // With a singular endpoint the plain rule converges only like sqrt(h).
  QuadratureRecord q = plain_record(kQuadraturePlain, inverse_root_on_unit_interval, 1e-14);
  q.start_point = 0.1;
  q.initial_step = 0.3;
  q.passes_allowed = 30;
  double result = 0.0;
  EXPECT_EQ(trapezoid_quadrature(q, result), 1);  // evaluation cap
  EXPECT_GT(q.steps_up, kQuadratureEvaluationCap / 2);
  q = plain_record(kQuadraturePlain, inverse_root_on_unit_interval, 1e-14);
  q.start_point = 0.1;
  q.passes_allowed = 3;
  EXPECT_EQ(trapezoid_quadrature(q, result), 1);  // passes
  EXPECT_EQ(q.pass_count, 3);
}

TEST(TrapezoidQuadrature, TightToleranceMarkerDemandsMore) {
  QuadratureRecord loose = plain_record(kQuadratureHalfLine, exponential, 1e-10);
  loose.start_point = 1.0;
  QuadratureRecord tight = loose;
  tight.tight_tolerance_marker = kTightToleranceMarker;
  double result = 0.0;
  ASSERT_EQ(trapezoid_quadrature(loose, result), 0);
  ASSERT_EQ(trapezoid_quadrature(tight, result), 0);
  EXPECT_LT(tight.relative_change, std::pow(1e-10, 0.75));
  EXPECT_GE(tight.pass_count, loose.pass_count);
}

}  // namespace
}  // namespace quilvar::numeric
