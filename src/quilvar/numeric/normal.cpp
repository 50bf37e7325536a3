// The standard normal distribution.
//
// erf and erfc follow W. J. Cody, "Rational Chebyshev approximations for the
// error function", Math. Comp. 23 (1969) 631–638, with the coefficient sets
// of his CALERF (SPECFUN, 1990) for |y| ≤ 0.46875, 0.46875 < |y| ≤ 4 and
// |y| > 4. Change: exp(−y²) is taken directly, without CALERF's splitting of
// y² into a 1/16-rounded part and a remainder.
//
// The quantile is a rational approximation in t = sqrt(−2 ln q) − sqrt(2 ln 2)
// (two regions split at q = 0.01), refined by Newton steps on ln Φ below
// p = 1e-16. The Mills ratio uses Laplace's continued fraction for x ≥ 5.
#include "quilvar/numeric/normal.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/elementary.hpp"
#include "quilvar/numeric/horner.hpp"

namespace quilvar::numeric {
namespace {

// 1 / sqrt(2), turning a normal deviate into an erf argument.
constexpr double kRootHalf = 0.7071067811865476;
// Region boundaries of Cody's approximations.
constexpr double kErfSmallLimit = 0.46875;
constexpr double kErfcMiddleLimit = 4.0;
// Below this |y| the squared argument is dropped from the small-argument form.
constexpr double kErfNegligibleSquare = 4.2e-16;
// Beyond this |x|/sqrt(2), Φ is returned as exactly 0 or 1.
constexpr double kCdfSaturation = 1003.7843389117924;
// 1/sqrt(pi), the leading term of the large-argument erfc.
constexpr double kInverseRootPi = 0.5641895835477563;

// Φ⁻¹ at p = 0 and p = 1, and the result of a failed Newton refinement.
constexpr double kQuantileAtZero = -37.64030867301702;
constexpr double kQuantileAtOne = 7.941345326170997;
constexpr double kQuantileFailure = -37.51776241585513;
// Below this p the rational approximation is refined by Newton steps.
constexpr double kNewtonQuantileLimit = 1e-16;
constexpr int kNewtonQuantileSteps = 30;
// sqrt(2 ln 2): t = 0 at the median.
constexpr double kQuantileShift = 1.1774100225154747;

// The Mills ratio switches to its continued fraction at x = 5 and drops the
// Φ factor (equal to 1 in double precision) below x = −10.
constexpr double kMillsFractionLimit = 5.0;
constexpr double kMillsUnitCdfLimit = -10.0;
constexpr int kMillsFractionCap = 100;

// erf(y) for |y| ≤ 0.46875: y·P(y²)/Q(y²).
double erf_small(double y) {
  constexpr std::array<double, 5> kNumerator = {1.85777706184603153e-1, 3.16112374387056560e0, 1.13864154151050156e2,
                                                3.77485237685302021e2, 3.20937758913846947e3};
  constexpr std::array<double, 5> kDenominator = {1.0, 2.36012909523441209e1, 2.44024637934444173e2,
                                                  1.28261652607737228e3, 2.84423683343917062e3};
  const double y2 = std::fabs(y) > kErfNegligibleSquare ? y * y : 0.0;
  return y * horner(kNumerator, y2) / horner(kDenominator, y2);
}

// erfc(y) for 0.46875 < y ≤ 4: exp(−y²)·P(y)/Q(y).
double erfc_middle(double y) {
  constexpr std::array<double, 9> kNumerator = {
      2.15311535474403846e-8, 5.64188496988670089e-1, 8.88314979438837594e0,
      6.61191906371416295e1,  2.98635138197400131e2,  8.81952221241769090e2,
      1.71204761263407058e3,  2.05107837782607147e3,  1.23033935479799725e3};
  constexpr std::array<double, 9> kDenominator = {
      1.0, 1.57449261107098347e1, 1.17693950891312499e2, 5.37181101862009858e2, 1.62138957456669019e3,
      3.29079923573345963e3, 4.36261909014324716e3, 3.43936767414372164e3, 1.23033935480374942e3};
  return safe_exp(-y * y) * horner(kNumerator, y) / horner(kDenominator, y);
}

// erfc(y) for y > 4: exp(−y²)/y·(1/sqrt(pi) − d·R(d)/S(d)), d = 1/y²; 0 where
// exp(−y²) underflows.
double erfc_large(double y) {
  constexpr std::array<double, 6> kNumerator = {1.63153871373020978e-2, 3.05326634961232344e-1, 3.60344899949804439e-1,
                                                1.25781726111229246e-1, 1.60837851487422766e-2, 6.58749161529837803e-4};
  constexpr std::array<double, 6> kDenominator = {1.0, 2.56852019228982242e0, 1.87295284992346047e0,
                                                  5.27905102951428412e-1, 6.05183413124413191e-2,
                                                  2.33520497626869185e-3};
  const double exponent = -y * y;
  if (exponent < kExpUnderflowArgument) {
    return 0.0;
  }
  const double d = 1.0 / (y * y);
  return safe_exp(exponent) / y * (kInverseRootPi - d * horner(kNumerator, d) / horner(kDenominator, d));
}

// erfc(y) for 0 ≤ y < 5/sqrt(2), from the two approximations below 4.
double erfc_moderate(double y) {
  if (y <= kErfSmallLimit) {
    return 1.0 - erf_small(y);
  }
  return erfc_middle(y);
}

// −Φ⁻¹(q) for 0.01 < q ≤ 0.5, t = sqrt(−2 ln q) − sqrt(2 ln 2).
double central_quantile(double t) {
  constexpr std::array<double, 8> kNumerator = {0.00023850990628812184, 0.007748014532123519, 0.09433047102597236,
                                                0.5906175347671243,     2.0524292014826053,   3.926527220876258,
                                                3.827787912267809,      1.4756646266356057};
  constexpr std::array<double, 8> kDenominator = {0.00023846672191006805, 0.007472090148248392, 0.08675117268832777,
                                                  0.5155497927835685,     1.6853868285749263,   3.0193046324086072,
                                                  2.757985744718407,      1.0};
  return t * horner(kNumerator, t) / horner(kDenominator, t);
}

// −Φ⁻¹(q) for q ≤ 0.01, in u = 1/t.
double tail_quantile(double t) {
  constexpr std::array<double, 9> kNumerator = {0.00000022366406817573622, 1.4756630668977935, 2.9349133839409465,
                                                2.302486886454419,         0.9208235553699621, 0.1971184884114817,
                                                0.021322238814693088,      0.0009933095513250212,
                                                0.000013896718225467155};
  constexpr std::array<double, 8> kDenominator = {1.0,
                                                  2.152916059924272,
                                                  1.8195065884540687,
                                                  0.7785719242838022,
                                                  0.1775558927085442,
                                                  0.020255719894916695,
                                                  0.000977052221781334,
                                                  0.00001389640654034189};
  const double u = 1.0 / t;
  return t * horner(kNumerator, u) / horner(kDenominator, u);
}

// Φ⁻¹(p) for 0 < p < 1e-16: Newton steps on ln Φ from the asymptotic start
// −sqrt(−2 ln p), one step past |ln Φ(x) − ln p| < 1e-12·|ln p|.
double newton_lower_quantile(double p) {
  const double log_p = natural_log(p);
  const double tolerance = std::fabs(log_p) * 1e-12;
  double x = -std::sqrt(-2.0 * log_p);
  for (int step = 1; step <= kNewtonQuantileSteps; ++step) {
    double log_lower = 0.0;
    double log_upper = 0.0;
    double log_density = 0.0;
    if (log_normal_tails(x, log_lower, log_upper, log_density) != kOk) {
      return kQuantileFailure;
    }
    const double error = log_lower - log_p;
    x -= error * safe_exp(log_lower - log_density);
    if (std::fabs(error) < tolerance) {
      return step < kNewtonQuantileSteps ? x : kQuantileFailure;
    }
  }
  return kQuantileFailure;
}

// Laplace's continued fraction (1/x)/(1 + (1/x²)/(1 + (2/x²)/(1 + …))) for
// x ≥ 5, by the forward recurrence of numerators and denominators.
int mills_ratio_fraction(double x, double& ratio) {
  const double inverse_square = 1.0 / (x * x);
  double numerator_before = 0.0;
  double numerator = 1.0 / x;
  double denominator_before = 1.0;
  double denominator = 1.0;
  double convergent = numerator;
  for (int n = 1; n <= kMillsFractionCap; ++n) {
    const double partial = n * inverse_square;
    const double next_numerator = numerator + partial * numerator_before;
    const double next_denominator = denominator + partial * denominator_before;
    numerator_before = numerator;
    numerator = next_numerator;
    denominator_before = denominator;
    denominator = next_denominator;
    const double previous = convergent;
    convergent = numerator / denominator;
    if (std::fabs(convergent - previous) <= kSeriesPrecision * convergent) {
      ratio = convergent;
      return kOk;
    }
  }
  ratio = convergent;
  return kFailed;
}

}  // namespace

double normal_cdf(double x) {
  const double a = kRootHalf * x;
  const double b = std::fabs(a);
  if (b > kCdfSaturation) {
    return x > 0.0 ? 1.0 : 0.0;
  }
  if (b <= kErfSmallLimit) {
    return (1.0 + erf_small(a)) / 2.0;
  }
  const double m = b <= kErfcMiddleLimit ? erfc_middle(b) : erfc_large(b);
  return x > 0.0 ? (2.0 - m) / 2.0 : m / 2.0;
}

double normal_quantile(double p) {
  if (!(p >= 0.0 && p <= 1.0)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  if (p == 0.0) {
    return kQuantileAtZero;
  }
  if (p == 1.0) {
    return kQuantileAtOne;
  }
  if (p < kNewtonQuantileLimit) {
    return newton_lower_quantile(p);
  }
  const double q = p > 0.5 ? 1.0 - p : p;
  const double t = std::sqrt(-2.0 * natural_log(q)) - kQuantileShift;
  const double x = q > 0.01 ? central_quantile(t) : tail_quantile(t);
  return p > 0.5 ? x : -x;
}

int mills_ratio(double x, double& ratio) {
  if (x >= kMillsFractionLimit) {
    return mills_ratio_fraction(x, ratio);
  }
  double r = safe_exp(0.5 * x * x + kLogRootTwoPi);
  if (x >= kMillsUnitCdfLimit) {
    r *= normal_cdf(-x);
  }
  ratio = r;
  return kOk;
}

int log_normal_tails(double x, double& log_lower, double& log_upper, double& log_density) {
  log_density = -0.5 * x * x - kLogRootTwoPi;
  const double a = std::fabs(x);
  double log_smaller = 0.0;
  if (a >= kMillsFractionLimit) {
    double ratio = 0.0;
    if (mills_ratio(a, ratio) != kOk) {
      return kFailed;
    }
    log_smaller = natural_log(ratio) + log_density;
  } else {
    log_smaller = natural_log(erfc_moderate(a * kRootHalf) / 2.0);
  }
  const double log_larger = log_one_plus(-safe_exp(log_smaller));
  log_lower = x <= 0.0 ? log_smaller : log_larger;
  log_upper = x <= 0.0 ? log_larger : log_smaller;
  return kOk;
}

}  // namespace quilvar::numeric
