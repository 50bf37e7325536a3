// Tails of the noncentral chi-square distribution.
//
// The Poisson mixture P = Σ_j w_j·P(b + j, a), with a = x/2, b = k/2,
// c = λ/2 and w_j = e^(−c)c^j/j!, is written as the central tail at one index
// d plus a correction,
//   P = P(b + d, a) + Σ_{j<d} w_j(δ_j + … + δ_(d−1)) − Σ_{j>d} w_j(δ_d + … + δ_(j−1)),
// with δ_i = a^(b+i)e^(−a)/Γ(b + i + 1) = P(b + i, a) − P(b + i + 1, a), so
// that only one incomplete gamma function is evaluated; weights and δ are
// generated outward from d by their recurrences (the method of H. Ding,
// Appl. Statist. 41 (1992), AS 275, organised around a central index). The
// index d is placed where the weighted terms peak, using a Wilson–Hilferty
// deviate of x under Patnaik's approximation.
//
// For large λ the density
//   f(t) = ½·e^(−(t+λ)/2)·(t/λ)^(ν/2)·I_ν(sqrt(λt)),  ν = k/2 − 1,
// is integrated with the exponential-grid trapezoid rule, in the log form with
// a running scale exponent.
#include "quilvar/numeric/noncentral_chisq.hpp"

#include <algorithm>
#include <cmath>

#include "quilvar/numeric/bessel.hpp"
#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/elementary.hpp"
#include "quilvar/numeric/log_gamma.hpp"
#include "quilvar/numeric/quadrature.hpp"

namespace quilvar::numeric {
namespace {

constexpr int kMixtureIterations = 1000;
constexpr int kIntegrationPasses = 10;
// The density integral over [0, x] starts at 0.999·x.
constexpr double kLowerIntegrationStart = 0.999;

// The central index of the mixture, from the Wilson–Hilferty deviate of a
// under Patnaik's approximation; fails when it exceeds the integer range.
int mixture_start_index(double a, double b, double c, int& index) {
  const double m = c + b;
  const double f = power(a / m, 0.333333);
  const double g = (1.0 + c / m) * 0.11111111111 / m;
  const double h = (c / m) * -1.2 * (f - 1.0 + g) / std::sqrt(g);
  const double quotient = c / (1.0 + (0.5 / std::sqrt(c)) * std::max(1.0, h));
  if (!(quotient <= kLargestInt)) {
    return kFailed;
  }
  index = static_cast<int>(quotient);
  return kOk;
}

// Running state of the correction sum S = e^held·sum.
struct MixtureSum {
  double sum = 0.0;
  double held = 0.0;  // logarithm held apart from every δ and from sum
};

// Divides every running δ value and the sum by the larger partial δ sum.
void rescale_mixture(MixtureSum& s, double& delta_down, double& delta_up, double& partial_down, double& partial_up) {
  const double divisor = std::max(partial_down, partial_up);
  delta_down /= divisor;
  delta_up /= divisor;
  partial_down /= divisor;
  partial_up /= divisor;
  s.sum /= divisor;
  s.held += natural_log(divisor);
}

// The correction sum S, generated outward from index d; central_log_density
// is ln of the gamma(b + d) density at a.
int mixture_correction(double a, double b, double c, int d, double central_log_density, double tolerance,
                       MixtureSum& s) {
  const double log_weight = d * natural_log(c) - c - log_gamma(1.0 + d);
  const double log_delta = natural_log(a / (b + d)) + central_log_density;
  if (!(std::fabs(log_delta) < kLargestInt)) {
    return kFailed;
  }
  s.held = std::trunc(log_delta);
  if (log_delta - s.held + log_weight <= kExpUnderflowArgument) {
    return kFailed;
  }
  double weight_down = safe_exp(log_weight);
  double weight_up = weight_down;
  double delta_down = safe_exp(log_delta - s.held);
  double delta_up = delta_down;
  double partial_down = 0.0;
  double partial_up = 0.0;
  int j_down = d;
  int j_up = d;
  for (int iteration = 0; iteration < kMixtureIterations; ++iteration) {
    double down = 0.0;
    if (j_down > 0) {
      weight_down *= j_down / c;
      delta_down *= (b + j_down) / a;
      --j_down;
      partial_down += delta_down;
      down = weight_down * partial_down;
    }
    partial_up += delta_up;
    weight_up *= c / (j_up + 1.0);
    ++j_up;
    delta_up *= a / (b + j_up);
    const double up = weight_up * partial_up;
    s.sum += down - up;
    if (delta_down > kRescaleHigh || delta_up > kRescaleHigh) {
      rescale_mixture(s, delta_down, delta_up, partial_down, partial_up);
    }
    if (std::fabs(down) + std::fabs(up) <= tolerance * std::fabs(s.sum)) {
      return kOk;
    }
  }
  return kFailed;
}

// ln(T_d + s·e^ℓ) from ln T_d, without leaving the log scale.
double add_in_logs(double log_central, double sign, double log_correction) {
  if (log_correction < log_central) {
    return log_central + log_one_plus(sign * safe_exp(log_correction - log_central));
  }
  return log_correction + natural_log(safe_exp(log_central - log_correction) + sign);
}

// (ν/2)·ln(t/λ) − ½(sqrt(λ) − sqrt(t))² + ln I_ν(sqrt(λt)) − sqrt(λt), the log
// density plus ln 2, delivered as ½·e^(d − scale exponent); the exponent
// becomes (int)d + 1 when d exceeds it.
int noncentral_integrand(double t, void* user_data, double& value) {
  auto& rec = *static_cast<ChiSquareDist*>(user_data);
  QuadratureRecord& q = *rec.quadrature_link;
  const double root_t = std::sqrt(t);
  double log_scaled_bessel = 0.0;
  if (log_scaled_bessel_i(rec.bessel_order, rec.root_noncentrality * root_t, log_scaled_bessel) != kOk) {
    return kFailed;
  }
  const double gap = rec.root_noncentrality - root_t;
  const double d =
      rec.half_bessel_order * natural_log(t / rec.noncentrality) - 0.5 * gap * gap + log_scaled_bessel;
  if (d > q.scale_exponent_current) {
    if (std::fabs(d) > kLargestInt - 1.0) {
      q.failure_flag = 1;
      return kFailed;
    }
    q.scale_exponent_current = static_cast<int>(d) + 1;
  }
  value = 0.5 * safe_exp(d - q.scale_exponent_current);
  return kOk;
}

void set_up_density_quadrature(ChiSquareDist& rec, QuadratureRecord& q) {
  const double x = rec.x;
  if (rec.lower_integration != 0) {
    q.mode = kQuadratureInterval;
    q.lower_limit = 0.0;
    q.upper_limit = x;
    q.start_point = kLowerIntegrationStart * x;
  } else {
    q.mode = kQuadratureHalfLine;
    q.lower_limit = x;
    q.start_point = std::max(x + 1.0, rec.noncentrality);
  }
  q.initial_step = 1.0;
  q.stopping_rule = kStopRelative;
  q.passes_allowed = kIntegrationPasses;
  q.tolerance = rec.tolerance;
  q.scaling_on = 1;
  q.scale_base = kNaturalBase;
  q.scale_exponent_in_use = kNoScaleExponent;
  q.scale_exponent_current = kNoScaleExponent;
  q.fail_on_bad_point = 1;
  q.integrand = noncentral_integrand;
  q.user_data = &rec;
}

}  // namespace

int noncentral_chisq_series(ChiSquareDist& rec) {
  if (!(rec.x >= 0.0) || !(rec.degrees_of_freedom > 0.0) || !(rec.noncentrality >= 0.0)) {
    return kFailed;
  }
  const double a = rec.x / 2.0;
  const double b = rec.degrees_of_freedom / 2.0;
  const double c = rec.noncentrality / 2.0;
  int d = 0;
  if (c > 0.0 && mixture_start_index(a, b, c, d) != kOk) {
    return kFailed;
  }
  GammaDist central{};
  central.requests = kRequestTails;
  central.x = a;
  central.shape = b + d;
  central.tolerance = rec.tolerance;
  if (gamma_dist_eval(central) != kOk) {
    return kFailed;
  }
  if (c == 0.0) {
    rec.log_lower_tail = central.log_lower_tail;
    rec.log_upper_tail = central.log_upper_tail;
    rec.log_density = central.log_density - kLn2;
    return kOk;
  }
  MixtureSum correction{};
  if (mixture_correction(a, b, c, d, central.log_density, central.tolerance, correction) != kOk) {
    return kFailed;
  }
  const double sign = correction.sum >= 0.0 ? 1.0 : -1.0;
  const double log_correction =
      correction.sum == 0.0 ? kLogOfZero : correction.held + natural_log(std::fabs(correction.sum));
  rec.log_lower_tail = add_in_logs(central.log_lower_tail, sign, log_correction);
  rec.log_upper_tail = add_in_logs(central.log_upper_tail, -sign, log_correction);
  return kOk;
}

int noncentral_chisq_by_quadrature(ChiSquareDist& rec) {
  rec.bessel_order = (rec.degrees_of_freedom - 2.0) / 2.0;
  rec.half_bessel_order = rec.bessel_order / 2.0;
  rec.root_noncentrality = std::sqrt(rec.noncentrality);
  QuadratureRecord q{};
  set_up_density_quadrature(rec, q);
  rec.quadrature_link = &q;
  double result = 0.0;
  const int status = trapezoid_quadrature(q, result);
  rec.quadrature_link = nullptr;
  if (status != kOk || !(result > 0.0)) {
    return kFailed;
  }
  const double log_tail = std::min(q.scale_exponent_in_use * q.log_scale_base + natural_log(result), 0.0);
  const double other = log_complement(log_tail);
  rec.log_lower_tail = rec.lower_integration != 0 ? log_tail : other;
  rec.log_upper_tail = rec.lower_integration != 0 ? other : log_tail;
  return kOk;
}

}  // namespace quilvar::numeric
