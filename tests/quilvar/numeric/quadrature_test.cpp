#include "quilvar/numeric/quadrature.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace quilvar::numeric {
namespace {

QuadratureRecord quadrature(int mode, QuadratureIntegrand integrand, double tolerance, double start) {
  QuadratureRecord q{};
  q.mode = mode;
  q.integrand = integrand;
  q.tolerance = tolerance;
  q.start_point = start;
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
  for (const Case& c : {Case{kQuadraturePlain, gaussian, 0.0, 0.0, 0.3, std::sqrt(2.0 * M_PI)},
                        Case{kQuadratureHalfLine, exponential, 1.0, 0.0, 2.0, std::exp(-1.0)},
                        Case{kQuadratureHalfLine, exponential, 1.0, 0.0, 0.5, std::exp(-1.0)},  // start ≤ lower
                        Case{kQuadratureInterval, square, 0.0, 2.0, 1.0, 8.0 / 3.0},
                        Case{kQuadratureInterval, square, 0.0, 2.0, 2.0, 8.0 / 3.0}}) {  // start at the upper limit
    QuadratureRecord q = quadrature(c.mode, c.integrand, 1e-14, c.start);
    q.lower_limit = c.lower;
    q.upper_limit = c.upper;
    double result = 0.0;
    ASSERT_EQ(trapezoid_quadrature(q, result), 0) << c.mode << " " << c.start;
    EXPECT_NEAR(result, c.expected, 1e-11 * c.expected) << c.mode << " " << c.start;
    EXPECT_LT(q.relative_change, 1e-7);
  }
}

// e^(1000 − t), reported relative to a running scale exponent.
int scaled_exponential(double t, void* data, double& value) {
  auto& q = *static_cast<QuadratureRecord*>(data);
  if (1000.0 - t > q.scale_exponent_current) {
    q.scale_exponent_current = static_cast<int>(1000.0 - t);
  }
  value = std::exp(1000.0 - t - q.scale_exponent_current);
  return 0;
}

TEST(TrapezoidQuadrature, ScaledIntegrandBeyondDoubleRange) {
  QuadratureRecord q = quadrature(kQuadratureHalfLine, scaled_exponential, 1e-14, 3.0);
  q.user_data = &q;
  q.scaling_on = 1;
  q.scale_exponent_current = kNoScaleExponent;
  double result = 0.0;
  ASSERT_EQ(trapezoid_quadrature(q, result), 0);
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

int raises_failure_flag(double, void* data, double& value) {
  static_cast<QuadratureRecord*>(data)->failure_flag = 1;
  value = 1.0;
  return 0;
}

TEST(TrapezoidQuadrature, BadPointsAndFailureFlag) {
  int bad_points = 0;
  QuadratureRecord q = quadrature(kQuadratureInterval, failing_beyond_one, 1e-4, 0.5);
  q.user_data = &bad_points;
  q.upper_limit = 2.0;
  q.stopping_rule = kStopAbsoluteOrRelative;
  double result = 0.0;
  ASSERT_EQ(trapezoid_quadrature(q, result), 0);  // bad points count as 0
  EXPECT_GT(bad_points, 0);
  EXPECT_NEAR(result, 1.0, 0.05);
  q.fail_on_bad_point = 1;
  EXPECT_EQ(trapezoid_quadrature(q, result), 1);
  q = quadrature(kQuadraturePlain, raises_failure_flag, 1e-8, 0.0);
  q.user_data = &q;
  result = 5.0;
  EXPECT_EQ(trapezoid_quadrature(q, result), 1);
  EXPECT_EQ(result, 5.0);
}

int inverse_root_on_unit_interval(double t, void*, double& value) {
  value = t > 0.0 && t <= 1.0 ? 1.0 / std::sqrt(t) : 0.0;
  return 0;
}

TEST(TrapezoidQuadrature, SlowConvergenceRunsIntoLimits) {
  // With a singular endpoint the plain rule converges only like sqrt(h).
  QuadratureRecord q = quadrature(kQuadraturePlain, inverse_root_on_unit_interval, 1e-14, 0.1);
  q.initial_step = 0.3;
  q.passes_allowed = 30;
  double result = 0.0;
  EXPECT_EQ(trapezoid_quadrature(q, result), 1);  // evaluation cap
  EXPECT_GT(q.steps_up, kQuadratureEvaluationCap / 2);
  q = quadrature(kQuadraturePlain, inverse_root_on_unit_interval, 1e-14, 0.1);
  q.passes_allowed = 3;
  EXPECT_EQ(trapezoid_quadrature(q, result), 1);  // passes
  EXPECT_EQ(q.pass_count, 3);
  q = quadrature(kQuadratureHalfLine, exponential, 1e-10, 1.0);  // tol^(3/4) instead of tol^(1/2)
  q.tight_tolerance_marker = kTightToleranceMarker;
  ASSERT_EQ(trapezoid_quadrature(q, result), 0);
  EXPECT_LT(q.relative_change, std::pow(1e-10, 0.75));
}

}  // namespace
}  // namespace quilvar::numeric
