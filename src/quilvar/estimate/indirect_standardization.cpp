// Indirect standardization (Breslow and Day 1987, ch. 2): the SMR O / E of
// observed to expected events, its Poisson (RATE) or binomial (RISK)
// variance, normal tests of SMR = 1 and of ln SMR = 0, normal and lognormal
// limits, the exact Poisson limits from chi-square quantiles (Ulm 1990) and
// the exact two-sided Poisson test (twice the smaller tail), and the
// indirectly standardized estimate SMR × the reference crude estimate.
#include "quilvar/estimate/indirect_standardization.hpp"

#include <algorithm>
#include <cmath>

#include "quilvar/entry/step_status.hpp"
#include "quilvar/estimate/attributable_fraction.hpp"
#include "quilvar/estimate/estimate_support.hpp"
#include "quilvar/estimate/stratum_statistics.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/input/stratum_node.hpp"
#include "quilvar/numeric/chi_square_quantile.hpp"
#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/poisson_dist.hpp"

namespace quilvar::estimate {

namespace {

using host::kMissing;

constexpr int kMsgStandardizedPoissonFailed = 162;
constexpr int kMsgSmrPoissonFailed = 163;
constexpr int kMsgStandardizedRiskAboveOne = 169;
constexpr int kMsgExactPValueFailed = 174;
constexpr int kMsgPoissonEventsTooMany = 188;
constexpr double kPoissonTailTolerance = 0.00001;
// Far below any weight a count could carry, far above the rounding error of
// counts derived from rates (a few units in the last place).
constexpr double kWholeCountCloseness = 1e-9;

// The counts the SMR is built on: observed events O, expected events E and
// the reference crude estimate R.
struct SmrInputs {
  double observed;
  double expected;
  double reference;
};

void clear(SmrResult& s) {
  s.smr = s.variance = s.std_error = s.z = s.p = s.log_smr = s.log_std_error = s.z_log = s.p_log = kMissing;
  s.normal_lower = s.normal_upper = s.lognormal_lower = s.lognormal_upper = kMissing;
  s.exact_p = s.poisson_lower = s.poisson_upper = kMissing;
  s.standardized = s.standardized_variance = s.standardized_std_error = kMissing;
  s.standardized_normal_lower = s.standardized_normal_upper = kMissing;
  s.standardized_lognormal_lower = s.standardized_lognormal_upper = kMissing;
  s.standardized_poisson_lower = s.standardized_poisson_upper = kMissing;
  s.risk_above_one = false;
}

// Sum over strata of the binomial variance n·r·(1 − r) of the observed
// events, with n²/(n − 1) in place of n under the variance divisor. Missing
// when a stratum's risk is not known (the events given as a POPEVENT= total
// alone): the sum over the other strata, or 0 over none, would give the SMR
// too narrow limits.
double risk_variance_sum(const ProcContext& c) {
  double sum = 0;
  for (const StratumNode* node = c.strata; node != nullptr; node = node->first) {
    const double n = node->cell[0].population;
    const double r = node->cell[0].estimate;
    if (!present(n) || !present(r)) return kMissing;
    const double size = c.variance_divisor ? n * n / (n - 1) : n;
    sum += size * r * (1 - r);
  }
  return sum;
}

void set_point_estimate(const ProcContext& c, SmrResult& s, const SmrInputs& in) {
  const double e2 = in.expected * in.expected;
  s.smr = in.observed / in.expected;
  s.variance = finite_or_missing(c.statistic == kStatRate ? in.observed / e2 : risk_variance_sum(c) / e2);
  s.std_error = present(s.variance) ? std::sqrt(s.variance) : kMissing;
  if (!present(in.reference)) return;
  s.standardized = s.smr * in.reference;
  if (!present(s.variance)) return;
  s.standardized_variance = in.reference * in.reference * s.variance;
  s.standardized_std_error = in.reference * s.std_error;
}

void set_smr_limits(SmrResult& s, const SmrInputs& in, const NormalQuantiles& z) {
  if (in.observed > 0) s.log_smr = std::log(s.smr);
  if (!present(s.std_error)) return;
  s.normal_lower = std::max(0.0, s.smr + z.za * s.std_error);
  s.normal_upper = s.smr + z.zb * s.std_error;
  if (!(in.observed > 0)) return;
  s.log_std_error = s.std_error / s.smr;
  s.lognormal_lower = s.smr * std::exp(z.za * s.log_std_error);
  s.lognormal_upper = s.smr * std::exp(z.zb * s.log_std_error);
}

// Exact limits of O / E times a factor: ½·chi2(alpha/2, 2·O)·factor / E and
// ½·chi2(1 − alpha/2, 2·(O + 1))·factor / E. Returns false when a quantile
// failed; that limit is then missing.
bool exact_limits(ProcContext& c, const SmrInputs& in, double factor, double& lower, double& upper) {
  double q_lower, q_upper;
  const bool lower_ok = chi_square_quantile_with_fallback(c, c.alpha / 2, 2 * in.observed, q_lower);
  const bool upper_ok = chi_square_quantile_with_fallback(c, 1 - c.alpha / 2, 2 * (in.observed + 1), q_upper);
  lower = lower_ok ? 0.5 * q_lower * factor / in.expected : kMissing;
  upper = upper_ok ? 0.5 * q_upper * factor / in.expected : kMissing;
  return lower_ok && upper_ok;
}

// Limits of the standardized estimate: the SMR's normal and lognormal limits
// times R, and exact limits of its own; a risk's upper limits are capped at
// 1. Returns false when an exact quantile failed.
bool set_standardized_limits(ProcContext& c, SmrResult& s, const SmrInputs& in) {
  if (!present(in.reference)) return true;
  const bool risk = c.statistic == kStatRisk;
  const auto cap = [risk](double x) { return risk ? at_most_one(x) : x; };
  if (present(s.normal_lower)) s.standardized_normal_lower = s.normal_lower * in.reference;
  if (present(s.normal_upper)) s.standardized_normal_upper = cap(s.normal_upper * in.reference);
  if (present(s.lognormal_lower)) s.standardized_lognormal_lower = s.lognormal_lower * in.reference;
  if (present(s.lognormal_upper)) s.standardized_lognormal_upper = cap(s.lognormal_upper * in.reference);
  const bool ok = exact_limits(c, in, in.reference, s.standardized_poisson_lower, s.standardized_poisson_upper);
  s.standardized_poisson_upper = cap(s.standardized_poisson_upper);
  return ok;
}

void set_normal_tests(SmrResult& s, const SmrInputs& in) {
  if (s.std_error > 0) {
    s.z = (s.smr - 1) / s.std_error;
    s.p = two_sided_p(s.z);
  }
  if (in.observed > 0 && s.log_std_error > 0) {
    s.z_log = std::log(s.smr) / s.log_std_error;
    s.p_log = two_sided_p(s.z_log);
  }
}

// The whole count an observed total tests: the nearest whole number when
// the total lies within kWholeCountCloseness (relative) of it, else the total
// cut to a whole number. Counts derived from rates and populations, and
// their sums, carry rounding error in their last digits: 29 deaths given as
// 29000 per 100,000 of 100 persons read as 28.999999999999996, which cut
// would test 28.
double whole_count(double observed) {
  const double nearest = std::round(observed);
  if (std::fabs(observed - nearest) <= kWholeCountCloseness * std::max(1.0, nearest)) return nearest;
  return std::trunc(observed);
}

// Exact two-sided Poisson test of O against the mean E: twice the smaller
// of P(X ≤ O) and P(X ≥ O), at most 1; missing when a tail fails. The count
// is taken whole (a weighted O of 2.5 tests 2, a derived 28.999999999999996
// tests 29); below 1 the upper tail P(X ≥ 0) is 1. Returns false when a tail
// could not be computed (counts of 2^31 and more, which the Poisson tails do
// not take).
bool set_exact_p(SmrResult& s, const SmrInputs& in) {
  const double k = whole_count(in.observed);
  double log_lower, log_upper;
  if (numeric::poisson_tail_logs(in.expected, k, kPoissonTailTolerance, log_lower, log_upper) != numeric::kOk) {
    return false;
  }
  double p = 2 * std::exp(log_lower);
  if (k >= 1) {
    double below_lower, below_upper;
    if (numeric::poisson_tail_logs(in.expected, k - 1, kPoissonTailTolerance, below_lower, below_upper) !=
        numeric::kOk) {
      return false;
    }
    p = 2 * std::min(std::exp(log_lower), std::exp(below_upper));
  }
  s.exact_p = std::min(1.0, p);
  return true;
}

// Poisson limits of the standardized estimate or the SMR that could not be
// computed. An ALPHA= out of their reach was reported once for the step. An
// event total beyond the chi-square quantiles loses both limits of both, and
// one warning names that cause; otherwise the limit missing is the lower one
// of (nearly) no events, which 908-162 and 908-163 explain.
void warn_poisson_failed(ProcContext& c, const SmrInputs& in, int number, bool& count_reported) {
  if (c.cl_type != kClPoisson || !numeric::exact_upper_limit_in_reach(c.alpha)) return;
  if (2 * (in.observed + 1) >= numeric::kLargestChiSquareDegreesOfFreedom) {
    if (count_reported) return;
    count_reported = true;
    host::host_issue_message(host::kMessageSetProcedure, kMsgPoissonEventsTooMany, {host::number_arg(in.observed)});
  } else {
    host::host_issue_message(host::kMessageSetProcedure, number);
  }
  raise_step_status(c, host::kStatusWarning);
}

// SMR × R above 1 is no risk: the standardized risk and its limits are
// left missing rather than shown with an upper limit below the estimate.
void drop_risk_above_one(ProcContext& c, SmrResult& s) {
  if (c.statistic != kStatRisk || !present(s.standardized) || !(s.standardized > 1)) return;
  s.standardized = s.standardized_variance = s.standardized_std_error = kMissing;
  s.standardized_normal_lower = s.standardized_normal_upper = kMissing;
  s.standardized_lognormal_lower = s.standardized_lognormal_upper = kMissing;
  s.standardized_poisson_lower = s.standardized_poisson_upper = kMissing;
  s.risk_above_one = true;
  host::host_issue_message(host::kMessageSetProcedure, kMsgStandardizedRiskAboveOne);
  raise_step_status(c, host::kStatusWarning);
}

}  // namespace

int compute_indirect_estimates(ProcContext& c) {
  SmrResult& s = c.smr_result;
  clear(s);
  reset_attr_fraction(c);
  const SmrInputs in{c.total_events[0], c.total_expected[0], c.reference_estimate};
  if (!present(in.observed) || !present(in.expected) || !(in.expected > 0)) return 0;
  const NormalQuantiles z = normal_quantiles(c.alpha, c.normal_memo);
  set_point_estimate(c, s, in);
  set_smr_limits(s, in, z);
  bool count_reported = false;
  if (!set_standardized_limits(c, s, in)) warn_poisson_failed(c, in, kMsgStandardizedPoissonFailed, count_reported);
  drop_risk_above_one(c, s);
  set_normal_tests(s, in);
  if (!exact_limits(c, in, 1, s.poisson_lower, s.poisson_upper)) {
    warn_poisson_failed(c, in, kMsgSmrPoissonFailed, count_reported);
  }
  // The exact p-value is shown with the Poisson limits only.
  if (!set_exact_p(s, in) && c.cl_type == kClPoisson) {
    host::host_issue_message(host::kMessageSetProcedure, kMsgExactPValueFailed);
    raise_step_status(c, host::kStatusWarning);
  }
  if (c.attr_fraction_on) compute_indirect_attr_fraction(c);
  return 0;
}

}  // namespace quilvar::estimate
