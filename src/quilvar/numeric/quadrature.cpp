// Trapezoid quadrature on an exponential grid.
//
// The integral is taken in a transformed variable in which smooth integrands
// decay fast at both ends, so that the plain trapezoid rule converges
// geometrically as the step is halved (the idea of the double-exponential
// rules of H. Takahasi and M. Mori, 1974, here with a single exponential):
// on [lower, ∞) the point is lower + s with ln s on an even grid, on a finite
// interval the point is (s·upper + lower)/(1 + s). The first pass walks from
// the start point in both directions until the last three terms no longer
// matter; each later pass adds the midpoints of the previous grid (one more
// in each direction) and halves the step.
//
// Integrands whose values span more than the double range report them
// relative to a running scale exponent; when the exponent rises, every
// running sum, kept term and the previous estimate are brought to the new
// scale, so that successive estimates are always compared in one scale.
#include "quilvar/numeric/quadrature.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/elementary.hpp"

namespace quilvar::numeric {
namespace {

// Grid points taken in each direction of the first pass unless the caller says.
constexpr int kDefaultWalk = 10000;
// Mode 3 starts at s = 1 when the requested point is this close (relative to
// the upper limit) to the upper limit.
constexpr double kUpperLimitCloseness = 1.053671212772351e-8;

// Moves along the grid of the transformed variable: additively in mode 1,
// by the factor e^offset in modes 2 and 3.
class GridStepper {
 public:
  GridStepper(int mode, double offset)
      : additive_(mode == kQuadraturePlain), offset_(offset), factor_(additive_ ? 1.0 : safe_exp(offset)) {}
  [[nodiscard]] double next(double grid) const { return additive_ ? grid + offset_ : grid * factor_; }

 private:
  bool additive_;
  double offset_;
  double factor_;
};

// When the integrand has raised its scale exponent, multiplies the running
// sum, the previous estimate and the caller's kept terms by base^−(rise).
int follow_scale(QuadratureRecord& q, std::span<double> kept) {
  if (q.scaling_on == 0 || q.scale_exponent_current == q.scale_exponent_in_use) {
    return kOk;
  }
  const double exponent =
      -(static_cast<double>(q.scale_exponent_current) - q.scale_exponent_in_use) * q.log_scale_base;
  if (exponent > kExpOverflowArgument) {
    return kFailed;
  }
  const double factor = exponent < kExpUnderflowArgument ? 0.0 : safe_exp(exponent);
  q.sum *= factor;
  q.previous_estimate *= factor;
  for (double& term : kept) {
    term *= factor;
  }
  q.scale_exponent_in_use = q.scale_exponent_current;
  return kOk;
}

// The weighted integrand at one grid value of the transformed variable.
int sample(QuadratureRecord& q, double grid, std::span<double> kept, double& weighted) {
  if (std::fabs(grid) > kRescaleHigh) {
    return kFailed;
  }
  double point = grid;
  double weight = 1.0;
  if (q.mode == kQuadratureHalfLine) {
    point = q.lower_limit + grid;
    weight = grid;
  } else if (q.mode == kQuadratureInterval) {
    const double denominator = 1.0 + grid;
    point = (grid * q.upper_limit + q.lower_limit) / denominator;
    weight = q.range_width * grid / (denominator * denominator);
  }
  double value = 0.0;
  const int status = q.integrand(point, q.user_data, value);
  if (q.failure_flag != 0 || (status != kOk && q.fail_on_bad_point != 0)) {
    return kFailed;
  }
  if (status != kOk) {
    value = 0.0;  // a point the integrand cannot form counts as 0
  }
  if (follow_scale(q, kept) != kOk) {
    return kFailed;
  }
  q.last_value = value;
  weighted = value * weight;
  return kOk;
}

int add_to_sum(QuadratureRecord& q, double weighted) {
  q.sum += weighted;
  if (q.sum > kRescaleHigh) {
    q.failure_flag = 1;
    return kFailed;
  }
  return kOk;
}

// First-pass walk from the start in one direction, at most `limit` points,
// until the last three terms are below a third of the tolerance of the sum.
// terms[0] holds the start value, terms[1..3] the last three terms.
int walk_until_negligible(QuadratureRecord& q, double start_grid, double offset, int limit,
                          std::array<double, 4>& terms, int& walked) {
  terms[1] = terms[0];
  terms[2] = terms[0];
  terms[3] = terms[0];
  const GridStepper stepper(q.mode, offset);
  double grid = start_grid;
  walked = 0;
  while (walked < limit) {
    grid = stepper.next(grid);
    double value = 0.0;
    if (sample(q, grid, terms, value) != kOk || add_to_sum(q, value) != kOk) {
      return kFailed;
    }
    ++walked;
    terms[1] = terms[2];
    terms[2] = terms[3];
    terms[3] = value;
    if (std::fabs(q.third_of_tolerance * q.sum) >= std::fabs(terms[1]) + std::fabs(terms[2]) + std::fabs(terms[3])) {
      break;
    }
  }
  return kOk;
}

// Adds `count` grid values starting `first_offset` from the start and
// `offset` apart.
int walk_fixed(QuadratureRecord& q, double start_grid, double first_offset, double offset, int count) {
  const GridStepper stepper(q.mode, offset);
  double grid = GridStepper(q.mode, first_offset).next(start_grid);
  for (int i = 0; i < count; ++i, grid = stepper.next(grid)) {
    double value = 0.0;
    if (sample(q, grid, {}, value) != kOk || add_to_sum(q, value) != kOk) {
      return kFailed;
    }
  }
  return kOk;
}

// First estimate: h times the sum of the values walked in both directions.
int first_pass(QuadratureRecord& q, double start_grid) {
  std::array<double, 4> terms{};
  if (sample(q, start_grid, terms, terms[0]) != kOk || add_to_sum(q, terms[0]) != kOk) {
    return kFailed;
  }
  int walked_up = 0;
  int walked_down = 0;
  if (walk_until_negligible(q, start_grid, q.step, q.steps_up, terms, walked_up) != kOk ||
      walk_until_negligible(q, start_grid, -q.step, q.steps_down, terms, walked_down) != kOk) {
    return kFailed;
  }
  q.steps_up = walked_up;
  q.steps_down = walked_down;
  q.previous_estimate = q.step * q.sum;
  return kOk;
}

// Points on one side of the start after the midpoints are merged into the grid.
int doubled_count(int count) {
  return static_cast<int>(std::min(2LL * count + 1, static_cast<long long>(kLargestInt)));
}

// Midpoints of the current grid, one beyond each end; the new estimate is
// (previous + h·Σ midpoints)/2, and the step is halved.
int refinement_pass(QuadratureRecord& q, double start_grid, double& estimate) {
  const int up_points = q.steps_up + 1;
  const int down_points = q.steps_down + 1;
  if (up_points > q.evaluation_cap || down_points > q.evaluation_cap) {
    return kFailed;
  }
  q.sum = 0.0;
  if (walk_fixed(q, start_grid, q.half_step, q.step, up_points) != kOk ||
      walk_fixed(q, start_grid, -q.half_step, -q.step, down_points) != kOk) {
    return kFailed;
  }
  estimate = (q.previous_estimate + q.step * q.sum) / 2.0;
  q.steps_up = doubled_count(q.steps_up);
  q.steps_down = doubled_count(q.steps_down);
  q.step /= 2.0;
  q.half_step = q.step / 2.0;
  return kOk;
}

// Whether the estimate of a pass agrees well enough with the previous one.
bool accepts(QuadratureRecord& q, double previous, double estimate) {
  const double change = std::fabs(previous - estimate);
  const double magnitude = std::fabs(estimate);
  q.relative_change = change / magnitude;
  const double root_tolerance = std::sqrt(q.tolerance);
  if (q.stopping_rule != kStopRelative) {
    return change < std::max(root_tolerance * magnitude, q.tolerance);
  }
  const double threshold =
      q.tight_tolerance_marker == kTightToleranceMarker ? root_tolerance * std::sqrt(root_tolerance) : root_tolerance;
  return change < threshold * magnitude ||
         (q.scaling_on != 0 && q.small_result_flag != 0 && magnitude < q.tolerance);
}

// The first grid value of the transformed variable, from the requested start point.
int start_grid_value(const QuadratureRecord& q, double& grid) {
  switch (q.mode) {
    case kQuadraturePlain:
      grid = q.start_point;
      return kOk;
    case kQuadratureHalfLine:
      grid = q.start_point > q.lower_limit ? q.start_point - q.lower_limit : q.step;
      return kOk;
    case kQuadratureInterval: {
      const double p = q.start_point;
      const double ratio = (p - q.lower_limit) / (q.upper_limit - p);
      const bool near_upper = std::fabs(q.upper_limit - p) <= kUpperLimitCloseness * std::fabs(q.upper_limit);
      grid = near_upper || !(ratio > 0.0) ? 1.0 : ratio;
      return kOk;
    }
    default:
      return kFailed;
  }
}

// Checks the inputs and fills the derived fields of the record.
int prepare(QuadratureRecord& q, double& start_grid) {
  if (q.integrand == nullptr || !(q.initial_step > 0.0) || !(q.tolerance > 0.0)) {
    return kFailed;
  }
  q.third_of_tolerance = q.tolerance / 3.0;
  q.step = q.initial_step;
  q.half_step = q.step / 2.0;
  q.steps_up = q.steps_up > 0 ? q.steps_up : kDefaultWalk;
  q.steps_down = q.steps_down > 0 ? q.steps_down : kDefaultWalk;
  q.evaluation_cap = std::max(q.evaluation_cap, kQuadratureEvaluationCap);
  q.failure_flag = 0;
  q.pass_count = 0;
  q.sum = 0.0;
  q.previous_estimate = 0.0;
  q.range_width = q.upper_limit - q.lower_limit;
  if (q.scaling_on != 0) {
    q.scale_base = q.scale_base > 1.0 ? q.scale_base : kNaturalBase;
    q.log_scale_base = natural_log(q.scale_base);
    q.inverse_log_base = 1.0 / q.log_scale_base;
    q.scale_exponent_in_use = q.scale_exponent_current;
  }
  return start_grid_value(q, start_grid);
}

}  // namespace

int trapezoid_quadrature(QuadratureRecord& q, double& result) {
  double start_grid = 0.0;
  if (prepare(q, start_grid) != kOk || first_pass(q, start_grid) != kOk) {
    return kFailed;
  }
  while (q.pass_count < q.passes_allowed) {
    ++q.pass_count;
    double estimate = 0.0;
    if (refinement_pass(q, start_grid, estimate) != kOk) {
      return kFailed;
    }
    if (accepts(q, q.previous_estimate, estimate)) {
      q.scaled_result = estimate;
      result = estimate;
      return kOk;
    }
    q.previous_estimate = estimate;
  }
  return kFailed;
}

}  // namespace quilvar::numeric
