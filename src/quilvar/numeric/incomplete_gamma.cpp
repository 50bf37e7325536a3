// The regularized incomplete gamma function.
//
// Method (as in W. Gautschi, "A computational procedure for incomplete gamma
// functions", ACM TOMS 5 (1979), and Numerical Recipes §6.2): with the gamma
// density g(x) = x^(a−1)e^(−x)/Γ(a),
// - lower tail for x ≤ a or x ≤ 1 by the power series
//   P = g(x)·x·Σ_j x^j/(a(a+1)…(a+j));
// - for shapes of 10^9 and more, the lower tail by the continued fraction
//   P = g(x)·(x/a)/(1 − x/(a+1)/(1 + x/((a+1)(a+2))/(1 − (a+1)x/((a+2)(a+3))/…)))
//   (DLMF §8.9, after an equivalence transformation); the log form also
//   falls back to it when the series runs out;
// - upper tail otherwise by Legendre's continued fraction
//   Q = g(x)/(1 + ((1−a)/x)/(1 + (1/x)/(1 + ((2−a)/x)/(1 + (2/x)/…))));
// - shapes below 1 are shifted to a + 1 and corrected by the density term,
//   P(a, x) = P(a + 1, x) + x^a e^(−x)/Γ(a + 1);
// - for shapes of 10^9 and more with x near a, the Wilson–Hilferty cube-root
//   normal approximation (E. B. Wilson and M. M. Hilferty, 1931), in the plain
//   form with a second-order correction term.
// The continued fractions are evaluated by the forward three-term recurrence,
// rescaled by powers of two to stay inside the double range. When the series
// and fractions do not converge, the log form can be recomputed by integrating
// the density with the exponential-grid trapezoid rule.
#include "quilvar/numeric/incomplete_gamma.hpp"

#include <algorithm>
#include <cmath>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/elementary.hpp"
#include "quilvar/numeric/log_gamma.hpp"
#include "quilvar/numeric/normal.hpp"
#include "quilvar/numeric/quadrature.hpp"

namespace quilvar::numeric {
namespace {

// Shapes from here on take the normal approximation near x = a, and the
// continued fraction instead of the series for the lower tail.
constexpr double kLargeShape = 1e9;
// The series stops after this many terms.
constexpr int kSeriesTermCap = 2000;
// The fractions stop after this many steps; the log form does not accept
// convergence at the last step.
constexpr int kPlainFractionSteps = 1000;
constexpr int kLogFractionSteps = 999;
// Outputs of a failed plain evaluation.
constexpr double kFailedProbability = -2.0;
// Quadrature fall-back: passes allowed.
constexpr int kGammaQuadraturePasses = 30;
// 1 / sqrt(2 pi), the normal density at 0.
constexpr double kInverseRootTwoPi = 0.3989422804014327;

// Whether x lies where the normal approximation replaces the series and
// fractions: shape r ≥ 10^9 and |x − r| ≤ 0.7·sqrt(r) + 0.02·r.
bool in_normal_region(double x, double r) {
  return r >= kLargeShape && std::fabs(x - r) <= 0.7 * std::sqrt(r) + 0.02 * r;
}

// The cube-root normal deviate of x for shape r: (∛(x/r) − 1 + 1/(9r))·sqrt(9r).
double wilson_hilferty_deviate(double x, double r) {
  const double nine_r = 9.0 * r;
  return (std::cbrt(x / r) - 1.0 + 1.0 / nine_r) * std::sqrt(nine_r);
}

// P and Q by the normal approximation with its second-order correction.
void wilson_hilferty_tails(double x, double r, double& lower, double& upper) {
  const double nine_r = 9.0 * r;
  const double root_nine_r = std::sqrt(nine_r);
  const double z = wilson_hilferty_deviate(x, r);
  const double z2 = z * z;
  const double density = safe_exp(-z2 / 2.0) * kInverseRootTwoPi;
  const double correction =
      density * ((z2 / 3.0 - 1.0) * 0.25 * z - (7.0 - z2 * (4.0 + z2)) / (15.0 * root_nine_r)) / nine_r;
  if (z > 0.0) {
    upper = normal_cdf(-z) - correction;
    lower = 1.0 - upper;
  } else {
    lower = normal_cdf(z) + correction;
    upper = 1.0 - lower;
  }
}

// P(r, x)/g(x) by the power series; fails after kSeriesTermCap terms.
int lower_tail_series(double x, double r, double tolerance, double& value) {
  double term = 1.0 / r;
  double sum = term;
  for (int j = 1; j < kSeriesTermCap; ++j) {
    term *= x / (r + j);
    sum += term;
    if (term <= tolerance * sum) {
      value = sum * x;
      return kOk;
    }
  }
  return kFailed;
}

// leading/(1 + n(1)/(1 + n(2)/(1 + …))) by the forward recurrence of
// numerators and denominators, rescaled by powers of two; converged when two
// successive convergents differ by less than tolerance times the newer.
template <typename PartialNumerator>
int continued_fraction(double leading, PartialNumerator partial, double tolerance, int max_steps, double& value) {
  double numerator_before = 0.0;
  double numerator = leading;
  double denominator_before = 1.0;
  double denominator = 1.0;
  double convergent = leading;
  for (int k = 1; k <= max_steps; ++k) {
    const double n = partial(k);
    const double next_numerator = numerator + n * numerator_before;
    const double next_denominator = denominator + n * denominator_before;
    numerator_before = numerator;
    numerator = next_numerator;
    denominator_before = denominator;
    denominator = next_denominator;
    const double magnitude = std::fabs(numerator);
    if (magnitude > kRescaleHigh || (magnitude < kRescaleLow && magnitude > 0.0)) {
      int exponent = 0;
      (void)std::frexp(numerator, &exponent);
      numerator = std::ldexp(numerator, -exponent);
      numerator_before = std::ldexp(numerator_before, -exponent);
      denominator = std::ldexp(denominator, -exponent);
      denominator_before = std::ldexp(denominator_before, -exponent);
    }
    const double previous = convergent;
    convergent = numerator / denominator;
    if (std::fabs(convergent - previous) < tolerance * std::fabs(convergent)) {
      value = convergent;
      return kOk;
    }
  }
  return kFailed;
}

// P(r, x)/g(x) by the lower-tail continued fraction; partial numerators
// −(r + m)x/((r + 2m)(r + 2m + 1)) at odd steps 2m + 1 and
// m·x/((r + 2m − 1)(r + 2m)) at even steps 2m.
int lower_tail_fraction(double x, double r, double tolerance, int max_steps, double& value) {
  const auto partial = [x, r](int k) {
    const int m = k / 2;
    if (k % 2 == 1) {
      return -(r + m) * x / ((r + 2 * m) * (r + 2 * m + 1));
    }
    return m * x / ((r + 2 * m - 1) * (r + 2 * m));
  };
  return continued_fraction(x / r, partial, tolerance, max_steps, value);
}

// Q(r, x)/g(x) by Legendre's continued fraction; partial numerators (m − r)/x
// at odd steps 2m − 1 and m/x at even steps 2m.
int upper_tail_fraction(double x, double r, double tolerance, int max_steps, double& value) {
  const auto partial = [x, r](int k) {
    const int m = (k + 1) / 2;
    return k % 2 == 1 ? (m - r) / x : m / x;
  };
  return continued_fraction(1.0, partial, tolerance, max_steps, value);
}

// The directly computed tail over the density g(x), at the fixed precision.
int plain_tail_ratio(double x, double r, bool direct_lower, double& ratio) {
  if (!direct_lower) {
    return upper_tail_fraction(x, r, kSeriesPrecision, kPlainFractionSteps, ratio);
  }
  if (r < kLargeShape) {
    return lower_tail_series(x, r, kSeriesPrecision, ratio);
  }
  return lower_tail_fraction(x, r, kSeriesPrecision, kPlainFractionSteps, ratio);
}

int fail_plain(double& lower, double& upper, double& density) {
  lower = kFailedProbability;
  upper = kFailedProbability;
  density = 0.0;
  return kFailed;
}

// The density e^u, kept inside the double range.
double bounded_density(double log_density) {
  if (log_density < -kExpOverflowArgument) {
    return 0.0;
  }
  if (log_density > kExpOverflowArgument) {
    return kLargestDouble;
  }
  return safe_exp(log_density);
}

// The stopping tolerance of the series and fractions for a tail wanted to
// the relative tolerance tol. They stop when one term or one step changes the
// value by less than their tolerance, but near x = r the terms shrink slowly
// and some sqrt(r) more of them of about that size are left out: stopping at
// tol itself gave ln Q(1e8 + 1, 1e8 + 2e4) 1.7% off at tol = 1e-5. The
// stopping tolerance is shrunk by that count, down to the fixed precision.
double truncation_tolerance(double tol, double r) {
  return std::max(tol / (1.0 + std::sqrt(r)), kSeriesPrecision);
}

// Ratio of the directly computed tail to the density g(x), shape r < 10^9 or
// outside the normal region, in the log form's tolerance and step caps.
int log_form_ratio(GammaDist& rec, bool lower, double& ratio) {
  const double x = rec.x;
  const double r = rec.shape;
  const double tolerance = truncation_tolerance(rec.tolerance, r);
  if (!lower) {
    rec.method = kMethodUpperFraction;
    return upper_tail_fraction(x, r, tolerance, kLogFractionSteps, ratio);
  }
  if (r < kLargeShape) {
    rec.method = kMethodLowerSeries;
    if (lower_tail_series(x, r, tolerance, ratio) == kOk) {
      return kOk;
    }
  }
  rec.method = kMethodLowerFraction;
  return lower_tail_fraction(x, r, tolerance, kLogFractionSteps, ratio);
}

// Log tails from the ratio d of the direct tail to the density of the
// (possibly shifted) shape; unshifted_shape < 1 when the shape was shifted.
int combine_log_tails(GammaDist& rec, bool lower, bool shifted, double unshifted_shape, double d) {
  const double pre = rec.log_density;
  double log_tail = 0.0;
  if (shifted && lower) {
    log_tail = d == -1.0 ? kLogOfZero : pre + log_one_plus(d);
  } else if (shifted) {
    if (!(d > 1.0)) {
      return kFailed;
    }
    log_tail = natural_log(d - 1.0) + pre;
  } else {
    if (!(d > 0.0)) {
      return kFailed;
    }
    log_tail = natural_log(d) + pre;
  }
  if (shifted) {
    rec.log_density = natural_log(unshifted_shape) - natural_log(rec.x) + pre;
  }
  const double other = log_complement(log_tail);
  rec.log_lower_tail = lower ? log_tail : other;
  rec.log_upper_tail = lower ? other : log_tail;
  return kOk;
}

// The log form at the record's working shape (shifted to at least 1 when below 1).
int log_tails_at_working_shape(GammaDist& rec, bool shifted, double unshifted_shape) {
  const double x = rec.x;
  const double s = rec.shape;
  (void)log_gamma_density(x, s, rec.log_density);
  const bool lower = s >= x || x <= 1.0;
  if (in_normal_region(x, s)) {
    rec.method = kMethodNormalApproximation;
    double normal_log_density = 0.0;
    return log_normal_tails(wilson_hilferty_deviate(x, s), rec.log_lower_tail, rec.log_upper_tail,
                            normal_log_density);
  }
  double d = 0.0;
  const int status = log_form_ratio(rec, lower, d);
  rec.last_value = d;
  if (status != kOk) {
    return kFailed;
  }
  return combine_log_tails(rec, lower, shifted, unshifted_shape, d);
}

// v = (s − 1) ln t − t relative to its value at t = s (the scale origin),
// formed as (s − 1)·ln(1 + (t − s)/s) − (t − s) without cancellation,
// delivered as e^(v − scale exponent); raises the exponent to (int)v when v
// exceeds it.
int gamma_integrand(double t, void* user_data, double& value) {
  auto& rec = *static_cast<GammaDist*>(user_data);
  QuadratureRecord& q = *rec.quadrature_link;
  const double s = rec.shape_minus_one + 1.0;
  const double v = rec.shape_minus_one * log_one_plus((t - s) / s) - (t - s);
  if (v > q.scale_exponent_current) {
    if (std::fabs(v) > kLargestInt) {
      q.failure_flag = 1;
      return kFailed;
    }
    q.scale_exponent_current = static_cast<int>(v);
  }
  value = safe_exp(v - q.scale_exponent_current);
  return kOk;
}

// ln Q(s, x) = ln ∫_x^∞ t^(s−1) e^(−t) dt − ln Γ(s) by the trapezoid rule on
// [x, ∞). The integral is taken relative to the scale origin (s − 1) ln s − s,
// and origin − ln Γ(s) is formed in Stirling's form for large s, where both
// terms are large and nearly equal.
int log_upper_gamma_by_quadrature(GammaDist& rec, double s, double& log_upper) {
  const double mode = std::max(s - 1.0, 0.0);
  QuadratureRecord q{};
  q.mode = kQuadratureHalfLine;
  q.tolerance = rec.tolerance;
  q.passes_allowed = kGammaQuadraturePasses;
  q.stopping_rule = kStopRelative;
  q.scaling_on = 1;
  q.scale_base = kNaturalBase;
  q.scale_exponent_in_use = kNoScaleExponent;
  q.scale_exponent_current = kNoScaleExponent;
  q.fail_on_bad_point = 1;
  q.lower_limit = rec.x;
  q.initial_step = 1.0 / std::max(1.0, natural_log(s));
  q.start_point = rec.x > mode ? rec.x * (1.0 + 1.0 / s) : mode;
  q.integrand = gamma_integrand;
  q.user_data = &rec;
  rec.shape_minus_one = s - 1.0;
  rec.quadrature_link = &q;
  double result = 0.0;
  const int status = trapezoid_quadrature(q, result);
  rec.quadrature_link = nullptr;
  if (status != kOk || !(result > 0.0)) {
    return kFailed;
  }
  const double origin_less_log_gamma =
      s >= kStirlingArgument ? -0.5 * natural_log(s) - kLogRootTwoPi - stirling_remainder(s)
                          : rec.integrand_scale_origin - log_gamma(s);
  log_upper = origin_less_log_gamma + q.scale_exponent_in_use * q.log_scale_base + natural_log(result);
  return kOk;
}

}  // namespace

int incomplete_gamma(double x, double a, double& lower, double& upper, double& density) {
  if (!(a >= 0.0) || !(x >= 0.0)) {
    return fail_plain(lower, upper, density);
  }
  if (a == 0.0 || x == 0.0) {
    lower = a == 0.0 ? 1.0 : 0.0;
    upper = 1.0 - lower;
    density = a == 1.0 ? 1.0 : 0.0;
    return kOk;
  }
  const bool shifted = a < 1.0;
  const double r = shifted ? a + 1.0 : a;
  double log_density = 0.0;
  (void)log_gamma_density(x, r, log_density);
  double e = bounded_density(log_density);
  if (in_normal_region(x, r)) {
    wilson_hilferty_tails(x, r, lower, upper);
    density = e;
    return kOk;
  }
  const bool direct_lower = x <= r || x <= 1.0;
  double v = 0.0;
  if (plain_tail_ratio(x, r, direct_lower, v) != kOk) {
    return fail_plain(lower, upper, density);
  }
  double d = v > 0.0 ? safe_exp(natural_log(v) + log_density) : 0.0;
  if (shifted) {
    d += direct_lower ? e : -e;
    e *= a / x;
  }
  d = std::clamp(d, 0.0, 1.0);
  lower = direct_lower ? d : 1.0 - d;
  upper = direct_lower ? 1.0 - d : d;
  density = e;
  return kOk;
}

int log_incomplete_gamma(GammaDist& rec) {
  const double a = rec.shape;
  const bool shifted = a < 1.0;
  rec.shape_minus_one = shifted ? a : a - 1.0;
  rec.shape = shifted ? a + 1.0 : a;
  const int status = log_tails_at_working_shape(rec, shifted, a);
  rec.shape = a;
  return status;
}

int gamma_tail_by_quadrature(GammaDist& rec) {
  const double a = rec.shape;
  const double x = rec.x;
  const bool shifted = a < 1.0;
  const double s = shifted ? a + 1.0 : a;
  rec.integrand_scale_origin = (s - 1.0) * natural_log(s) - s;
  double log_upper_shifted = 0.0;
  if (log_upper_gamma_by_quadrature(rec, s, log_upper_shifted) != kOk) {
    return kFailed;
  }
  if (!shifted) {
    (void)log_gamma_density(x, s, rec.log_density);
    rec.log_upper_tail = std::min(log_upper_shifted, 0.0);
    rec.log_lower_tail = log_complement(rec.log_upper_tail);
    return kOk;
  }
  // Q(a, x) = Q(a + 1, x) − x^a e^(−x)/Γ(a + 1).
  const double pre = a * natural_log(x) - log_gamma(a + 1.0) - x;
  if (!(log_upper_shifted > pre)) {
    rec.log_upper_tail = log_upper_shifted;
    return kFailed;
  }
  rec.log_upper_tail = std::min(log_upper_shifted + log_one_plus(-safe_exp(pre - log_upper_shifted)), 0.0);
  rec.log_lower_tail = log_complement(rec.log_upper_tail);
  rec.log_density = natural_log(a) - natural_log(x) + pre;
  return kOk;
}

}  // namespace quilvar::numeric
