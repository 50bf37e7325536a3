// Inversion of a continuous distribution function P(x) = p by bracketing
// with growth factors and a secant on (ln x, logit P), shared by the lower
// quantiles of the gamma and chi-square records.
#pragma once

namespace quilvar::numeric {

// Writes ln P(x) and ln Q(x) = ln(1 − P(x)) at a point; non-zero on failure.
using TailEvaluator = int (*)(void* context, double point, double& log_lower, double& log_upper);

struct TailInversion {
  TailEvaluator evaluate;
  void* context;
  double probability;    // p in (0, 1)
  double up_factor;      // bracket growth factor (> 1)
  double down_factor;    // bracket shrink factor (< 1)
  double x_floor;        // absolute scale below which steps in x count as converged
  bool logit_closeness;  // also converged once |logit p − logit P(x)| < 1.053671212772351e-8·|logit p|
};

// Finds x > 0 with P(x) = p from a positive start: up to 50 bracket steps by
// the factors, then up to 70 secant steps, converged when the new point is
// within 1.053671212772351e-8·max(|x|, x floor) of the point two steps back
// (on the first step, of both bracket points).
// Returns 0 with the root, or 1 when an evaluation fails, a secant point
// falls below the tiny argument, or the secant steps run out (root then
// holds the last point).
[[nodiscard]] int invert_lower_tail(const TailInversion& inversion, double start, double& root);

}  // namespace quilvar::numeric
