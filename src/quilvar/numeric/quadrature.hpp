// The trapezoid rule on an exponential grid, with the step halved pass by
// pass, for integrands whose values may need a running scale exponent.
#pragma once

namespace quilvar::numeric {

// Integrand: writes the value at a point and returns 0, or a non-zero status
// for a point whose value cannot be formed. It may raise the record's current
// scale exponent and deliver its value scaled by base^(−exponent), or set the
// record's failure flag to stop the quadrature.
using QuadratureIntegrand = int (*)(double point, void* user_data, double& value);

// Integration variables.
inline constexpr int kQuadraturePlain = 1;     // grid points start + k·h
inline constexpr int kQuadratureHalfLine = 2;  // [lower, ∞): point = lower + s, s = s0·e^(k·h)
inline constexpr int kQuadratureInterval = 3;  // [lower, upper]: point = (s·upper + lower)/(1 + s)

// stopping_rule values: 0 accepts a change below max(√tol·|X|, tol); 1 below √tol·|X|.
inline constexpr int kStopAbsoluteOrRelative = 0;
inline constexpr int kStopRelative = 1;
// tight_tolerance_marker value that makes stopping rule 1 use tol^(3/4).
inline constexpr int kTightToleranceMarker = 1234567;
// The lowest evaluation cap, per direction and pass.
inline constexpr int kQuadratureEvaluationCap = 32767;
// Scale exponent meaning "no value seen yet".
inline constexpr int kNoScaleExponent = -2147483647;

// Control record of trapezoid_quadrature, owned by the caller and zeroed
// before the inputs are set. Inputs: tolerance, mode, the limits the mode
// needs, start point (a point of the integration range; modes 2 and 3 derive
// the first grid value from it), initial step, passes allowed, stopping
// rule, integrand and user data; optionally the walk limits, the evaluation
// cap, the flags, and for scaling the base (e) and starting exponents.
struct QuadratureRecord {
  double sum;                  // running sum of the current pass (output)
  double tolerance;            // relative tolerance requested
  double third_of_tolerance;   // tolerance / 3, the cut-off of each walk
  double last_value;           // last integrand value
  double scaled_result;        // result, scaled when scaling is on (output)
  double lower_limit;          // modes 2 and 3
  double upper_limit;          // mode 3
  double range_width;          // upper − lower (mode 3)
  double previous_estimate;    // estimate of the previous pass
  int steps_up;                // grid points above the start (10000 if 0 on entry)
  int steps_down;              // grid points below the start (10000 if 0 on entry)
  int failure_flag;            // set by the integrand to stop the quadrature
  int fail_on_bad_point;       // a point the integrand cannot form fails instead of counting 0
  double start_point;          // requested first point
  double initial_step;         // grid step given by the caller
  double step;                 // grid step of the current pass
  double half_step;            // offset of the midpoints of the next pass
  int passes_allowed;          // maximum number of step halvings
  int pass_count;              // halvings done (output)
  int mode;                    // kQuadraturePlain, kQuadratureHalfLine or kQuadratureInterval
  int stopping_rule;           // kStopAbsoluteOrRelative or kStopRelative
  double relative_change;      // last relative change between passes (output)
  double scale_base;           // base of the scale exponent (e)
  double inverse_log_base;     // 1 / ln(scale base)
  int scale_exponent_in_use;   // exponent the running sums are expressed in
  int scale_exponent_current;  // exponent the integrand last used
  int scaling_on;              // 1: values arrive scaled by base^(−exponent)
  void* user_data;             // passed to the integrand
  QuadratureIntegrand integrand;
  double log_scale_base;       // ln(scale base)
  int evaluation_cap;          // per direction and pass; at least 32767
  int small_result_flag;       // lets a scaled result below the tolerance end the passes
  int tight_tolerance_marker;  // kTightToleranceMarker selects tol^(3/4) for rule 1
};

// Integrates by the trapezoid rule in the record's variable, halving the
// step until two passes agree. Returns 0 with the integral in result (in the
// scaled form base^(−scale_exponent_in_use) when scaling is on), or 1 when
// the passes or the evaluation cap run out, the integrand fails, or the sum
// or grid leaves the double range.
[[nodiscard]] int trapezoid_quadrature(QuadratureRecord& record, double& result);

}  // namespace quilvar::numeric
