// ln I_ν(z), the modified Bessel function of the first kind.
//
// Four regimes (Abramowitz & Stegun 9.6.10, 9.7.1, 9.7.7; DLMF 10.25.2,
// 10.40.1, 10.41.3):
// - the power series I_ν(z) = (z/2)^ν/Γ(ν+1)·Σ_j (z²/4)^j/(j!(ν+1)_j) when
//   z < 2 or z²/4 < ν + 1;
// - otherwise, for ν ≤ 35 with z < 17 or ν ≥ 1.348·sqrt(z), the series at two
//   orders above z²/4 (same fractional part) and the stable backward
//   recurrence I_(μ−1) = I_(μ+1) + (2μ/z)·I_μ down to ν;
// - Hankel's large-argument expansion when z ≥ 17 and ν < 1.348·sqrt(z);
// - else Debye's uniform expansion for large order with the polynomials
//   u_1 … u_11 (P. Debye, 1909; coefficients as in DLMF 10.41.10, u_5 … u_11
//   from the recurrence DLMF 10.41.9).
#include "quilvar/numeric/bessel.hpp"

#include <array>
#include <cmath>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/elementary.hpp"
#include "quilvar/numeric/horner.hpp"
#include "quilvar/numeric/log_gamma.hpp"

namespace quilvar::numeric {
namespace {

constexpr int kSeriesCap = 100;
// The power series stops when a term falls below this fraction of 1 + sum.
constexpr double kSeriesStop = 1.110223024625157e-17;
// Regime boundaries.
constexpr double kSeriesArgument = 2.0;
constexpr double kLargeArgument = 17.0;
constexpr double kOrderPerRootArgument = 1.348;
constexpr double kRecurrenceOrderLimit = 35.0;
constexpr int kHankelCap = 50;
constexpr double kHankelStop = 1e-12;
constexpr double kTwoPi = 6.283185307179586;

// ln[(z/2)^ν/Γ(ν + 1)], without cancellation for large ν.
double log_series_prefactor(double nu, double half_z) {
  if (nu < kStirlingArgument) {
    return nu * natural_log(half_z) - log_gamma(nu + 1.0);
  }
  const double n1 = nu + 1.0;
  return nu * natural_log(half_z / n1) + n1 - 0.5 * natural_log(n1) - kLogRootTwoPi - stirling_remainder(n1);
}

// ln I_ν(z) by the power series; fails at the term cap.
int power_series(double nu, double half_z, double& log_i) {
  const double q = half_z * half_z;
  double term = 1.0;
  double sum = 0.0;
  int status = kFailed;
  for (int i = 1; i <= kSeriesCap; ++i) {
    term *= q / (i * (nu + i));
    sum += term;
    if (term < kSeriesStop * (1.0 + sum)) {
      status = kOk;
      break;
    }
  }
  log_i = log_series_prefactor(nu, half_z) + log_one_plus(sum);
  return status;
}

// ln I_ν(z) from the series at orders f + m + 1 and f + m, m = ⌈z²/4 + 1⌉,
// and the backward recurrence, rescaled above 2^512.
int backward_recurrence(const BesselRequest& r, double& log_i) {
  const double m = std::ceil(r.quarter_z_squared + 1.0);
  double log_above = 0.0;
  double log_current = 0.0;
  const int status = power_series(r.fractional_order + m + 1.0, r.half_z, log_above) |
                     power_series(r.fractional_order + m, r.half_z, log_current);
  double above = safe_exp(log_above - log_current);
  double current = 1.0;
  double offset = log_current;
  for (double j = m; j > r.integer_order; j -= 1.0) {
    const double below = above + (2.0 * (r.fractional_order + j) / r.z) * current;
    above = current;
    current = below;
    if (current > kRescaleHigh) {
      offset += natural_log(current);
      above /= current;
      current = 1.0;
    }
  }
  log_i = offset + natural_log(current);
  return status;
}

// ln(e^(−z)·I_ν(z)) by Hankel's expansion Σ_k (−1)^k a_k(ν)/z^k.
int hankel_expansion(double nu, double z, double& log_scaled) {
  const double mu = 4.0 * nu * nu;
  const double eight_z = 8.0 * z;
  double term = 1.0;
  double sum = 1.0;
  int status = kFailed;
  for (int k = 1; k <= kHankelCap; ++k) {
    const double odd = 2.0 * k - 1.0;
    term *= -(mu - odd * odd) / (k * eight_z);
    sum += term;
    if (std::fabs(term) < kHankelStop * std::fabs(sum)) {
      status = kOk;
      break;
    }
  }
  log_scaled = natural_log(sum) - kLogRootTwoPi - 0.5 * natural_log(z);
  return status;
}

// Σ_{k=1..11} u_k(p)/ν^k with u_k(p) = p^k·U_k(p²), Horner over k in t = p/ν.
double debye_correction(double p, double nu) {
  constexpr std::array<double, 2> kU1 = {-0.20833333333333334, 0.125};
  constexpr std::array<double, 3> kU2 = {0.3342013888888889, -0.4010416666666667, 0.0703125};
  constexpr std::array<double, 4> kU3 = {-1.0258125964506173, 1.8464626736111112, -0.8912109375, 0.0732421875};
  constexpr std::array<double, 5> kU4 = {4.669584423426247, -11.207002616222994, 8.78912353515625, -2.3640869140625,
                                         0.112152099609375};
  constexpr std::array<double, 6> kU5 = {-28.212072558200244, 84.63621767460073, -91.81824154324002,
                                         42.53499874538846,   -7.368794359479632, 0.22710800170898438};
  constexpr std::array<double, 7> kU6 = {212.57013003921713, -765.2524681411817, 1059.9904525279999,
                                         -699.5796273761325, 218.1905117442116,  -26.491430486951554,
                                         0.5725014209747314};
  constexpr std::array<double, 8> kU7 = {-1919.457662318407, 8061.722181737309,  -13586.550006434138,
                                         11655.393336864534, -5305.646978613403, 1200.9029132163525,
                                         -108.09091978839466, 1.7277275025844574};
  constexpr std::array<double, 9> kU8 = {20204.29133096615,  -96980.59838863752, 192547.00123253153,
                                         -203400.17728041555, 122200.46498301746, -41192.65496889755,
                                         7109.514302489364,  -493.915304773088,  6.074042001273483};
  constexpr std::array<double, 10> kU9 = {-242919.18790055133, 1311763.6146629772, -2998015.9185381066,
                                          3763271.297656404,   -2813563.226586534, 1268365.2733216248,
                                          -331645.1724845636,  45218.76898136273,  -2499.8304818112097,
                                          24.380529699556064};
  constexpr std::array<double, 11> kU10 = {3284469.853072038,  -19706819.118432228, 50952602.49266464,
                                           -74105148.21153265, 66344512.27472903,   -37567176.66076335,
                                           13288767.166421818, -2785618.1280864547, 308186.4046126624,
                                           -13886.08975371704, 110.01714026924674};
  constexpr std::array<double, 12> kU11 = {-49329253.66450996, 325573074.18576574, -939462359.6815784,
                                           1553596899.57058,   -1621080552.1083372, 1106842816.8230145,
                                           -495889784.2750303, 142062907.7975331,   -24474062.72573873,
                                           2243768.1779224495, -84005.43360302408,  551.3358961220206};
  const double p2 = p * p;
  const std::array<double, 11> u = {horner(kU11, p2), horner(kU10, p2), horner(kU9, p2), horner(kU8, p2),
                                    horner(kU7, p2),  horner(kU6, p2),  horner(kU5, p2), horner(kU4, p2),
                                    horner(kU3, p2),  horner(kU2, p2),  horner(kU1, p2)};
  return p / nu * horner(u, p / nu);
}

// ln I_ν(z) by Debye's uniform expansion for large order.
double debye_expansion(double nu, double z) {
  const double ratio = z / nu;
  const double v = std::sqrt(ratio * ratio + 1.0);
  const double p = 1.0 / v;
  return nu * (v + natural_log(ratio / (1.0 + v))) + log_one_plus(debye_correction(p, nu)) -
         0.5 * natural_log(kTwoPi * nu * v);
}

// Stores ln I (or its scaled form) in the requested output form.
int deliver(BesselRequest& r, double log_value, int status) {
  const double log_i = r.scaled != 0 ? log_value + r.z : log_value;
  if (status != kOk) {
    r.inaccurate = 1;
  }
  if (r.form == kBesselLog) {
    r.result = log_i;
  } else if (r.form == kBesselScaled) {
    r.result = r.scaled != 0 ? log_value : log_i - r.z;
  } else if (log_i >= kExpOverflowArgument) {
    r.result = log_i;
    r.inaccurate = 1;
    return kFailed;
  } else {
    r.result = safe_exp(log_i);
  }
  return status;
}

}  // namespace

int log_bessel_i(BesselRequest& r) {
  r.inaccurate = 0;
  r.scaled = 0;
  if (!(r.order >= 0.0) || !(r.z >= 0.0)) {
    r.result = -kLargestDouble;
    r.inaccurate = 1;
    return kFailed;
  }
  const double nu = r.order;
  r.half_z = r.z / 2.0;
  r.quarter_z_squared = r.half_z * r.half_z;
  r.integer_order = std::floor(nu);
  r.fractional_order = nu - r.integer_order;
  if (r.z == 0.0) {
    return deliver(r, nu == 0.0 ? 0.0 : kLogOfZero, kOk);
  }
  const double root_z = std::sqrt(r.z);
  double log_value = 0.0;
  int status = kOk;
  if (r.z < kSeriesArgument || r.quarter_z_squared < nu + 1.0) {
    status = power_series(nu, r.half_z, log_value);
  } else if ((r.z < kLargeArgument || nu >= kOrderPerRootArgument * root_z) && nu <= kRecurrenceOrderLimit) {
    status = backward_recurrence(r, log_value);
  } else if (r.z >= kLargeArgument && nu < kOrderPerRootArgument * root_z) {
    r.scaled = 1;
    status = hankel_expansion(nu, r.z, log_value);
  } else {
    log_value = debye_expansion(nu, r.z);
  }
  return deliver(r, log_value, status);
}

int log_scaled_bessel_i(double order, double w, double& out) {
  BesselRequest request{};
  request.z = w;
  request.form = kBesselScaled;
  if (order >= 0.0) {
    request.order = order;
    const int status = log_bessel_i(request);
    out = request.result;
    return status;
  }
  request.order = order + 2.0;
  if (log_bessel_i(request) != kOk) {
    return kFailed;
  }
  const double log_upper = request.result;
  request.order = order + 1.0;
  if (log_bessel_i(request) != kOk) {
    return kFailed;
  }
  const double log_middle = natural_log(2.0 * (order + 1.0) / w) + request.result;
  const double larger = std::fmax(log_upper, log_middle);
  out = larger + natural_log(safe_exp(log_upper - larger) + safe_exp(log_middle - larger));
  return kOk;
}

}  // namespace quilvar::numeric
