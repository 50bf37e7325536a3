// Monotone root finders that invert a probability function of one parameter:
// quantile_search for a continuous parameter and count_search for an integer
// one. Both work on the logit of a lower-tail probability and talk to the
// distribution through callbacks and a shared value slot.
#pragma once

namespace quilvar::numeric {

struct QuantileSearch;

// Callback of a search: non-zero on failure. The start callback fills start
// and the factors; the evaluation callback evaluates at trial_point and
// writes the function value into *value_slot.
using SearchCallback = int (*)(QuantileSearch& search);
// Optional replacement of a transform of count_search.
using SearchTransform = double (*)(const QuantileSearch& search, double value);

// target_kind of quantile_search.
inline constexpr int kTargetProbability = 0;
inline constexpr int kTargetLogLower = 1;
inline constexpr int kTargetLogUpper = 2;
// target_kind of count_search (note the order).
inline constexpr int kCountTargetProbability = 0;
inline constexpr int kCountTargetLogUpper = 1;
inline constexpr int kCountTargetLogLower = 2;

// interpolation_kind: quantile_search interpolates linearly in the parameter
// or in its logarithm; count_search bisects or uses a transformed secant.
inline constexpr int kInterpolateLinear = 1;
inline constexpr int kInterpolateGeometric = 2;
inline constexpr int kCountBisection = 1;
inline constexpr int kCountSecant = 2;

// status values.
inline constexpr int kSearchConverged = 0;
inline constexpr int kSearchNotConverged = 1;
inline constexpr int kSearchInvalidStart = 12345677;
// Returned by count_search when the start lies above the upper bound.
inline constexpr int kSearchStartAboveBound = 12345679;

// Control record of both searches, owned by the caller and zeroed before the
// inputs are set. Inputs: kinds, tolerances, value slot (holding the
// target), factors, start (or start callback), lower bound, evaluation
// callback and user record; count_search also upper bound and full path.
struct QuantileSearch {
  int target_kind;
  int interpolation_kind;
  int status;                 // output: kSearchConverged, kSearchNotConverged or kSearchInvalidStart
  int bracket_given;          // count_search simple path: low_end and high_end supplied
  double tolerance;           // relative; raised to at least 1.053671212772351e-8
  double value_tolerance;     // second tolerance, on the logit
  double* value_slot;         // target at the start, then each evaluated value
  double clamped_value;       // last value after clamping
  double value_at_low_end;
  double value_at_high_end;
  double transformed_value;   // logit of the last value
  double logit_at_low_end;
  double logit_at_high_end;
  double target_logit;
  double target;
  double up_factor;
  double down_factor;
  double low_end;             // end whose value lies below the target
  double trial_point;         // the point the evaluation callback reads; the root on success
  double high_end;            // end whose value lies above the target
  double start;
  double lower_bound;
  void* user_record;
  bool converged;
  SearchCallback start_callback;  // optional
  SearchCallback evaluate;
  bool midpoint_safeguard;
  double upper_bound;         // count_search
  int full_path;              // count_search: 1 the distribution path, 0 the simple path
  SearchTransform value_transform;          // count_search, optional: value → logit
  SearchTransform count_transform;          // count_search, optional: count → secant coordinate
  SearchTransform inverse_count_transform;  // count_search, optional
};

// Finds the parameter at which the monotone function reaches the target.
// Returns 0 when converged (the root in trial_point), 1 otherwise (status
// tells kSearchNotConverged from kSearchInvalidStart).
[[nodiscard]] int quantile_search(QuantileSearch& search);

// A search for x with ln Q(x) equal to *log_upper_tail, on a geometric scale
// to the distribution quantiles' tolerances: the setup the gamma and
// chi-square upper quantiles share.
QuantileSearch log_upper_tail_search(double* log_upper_tail, void* record, SearchCallback start,
                                     SearchCallback evaluate);

// Finds adjacent integers r, r + 1 (low_end, high_end) whose logits lie on
// either side of the target: logit(r) < target ≤ logit(r + 1). trial_point
// receives the interpolated crossing in (r, r + 1]. Returns 0 on success, 1
// on failure, kSearchStartAboveBound when the start lies above the upper
// bound (the bound is then left in trial_point).
[[nodiscard]] int count_search(QuantileSearch& search);

}  // namespace quilvar::numeric
