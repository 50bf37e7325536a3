// Test support for the estimation phases: a stratum list built by hand and a
// context set up for a method, statistic and number of populations; and an
// independent chi-square quantile (bisection on the regularized incomplete
// gamma function) to compute expected limits with.
#pragma once

#include <cmath>
#include <memory>
#include <vector>

#include "quilvar/entry/proc_context.hpp"
#include "quilvar/estimate/stratum_statistics.hpp"
#include "quilvar/host/missing.hpp"
#include "quilvar/input/stratum_node.hpp"
#include "support/module_host.hpp"

namespace quilvar::estimate::testing {

using host::is_missing;
using host::kMissing;

inline PopulationCell cell(double events, double population) {
  return {events, population, kMissing, kMissing, kMissing, kMissing, kMissing, kMissing};
}

inline PopulationCell no_cell() { return cell(kMissing, kMissing); }

class EstimateTest : public quilvar::testing::ModuleHostTest {
 protected:
  StratumNode& add_stratum(PopulationCell first, PopulationCell second, double reference_population = kMissing,
                           double reference_events = kMissing) {
    nodes_.push_back(std::make_unique<StratumNode>());
    StratumNode& node = *nodes_.back();
    node.cell[0] = first;
    node.cell[1] = second;
    node.reference_population = reference_population;
    node.reference_events = reference_events;
    node.reference_rate = node.reference_proportion = kMissing;
    node.smr = node.smr_lower = node.smr_upper = node.smr_std_error = kMissing;
    if (nodes_.size() > 1) nodes_[nodes_.size() - 2]->first = &node;
    context_.strata = nodes_.front().get();
    return node;
  }

  void set_up(int method, int statistic, int populations, int cl_type = kClNormal) {
    context_.method = method;
    context_.statistic = statistic;
    context_.population_count = populations;
    context_.cl_type = cl_type;
    context_.alpha = 0.05;
    context_.axis_minimum = 1e308;
    context_.population_event_total = context_.reference_rate_constant = kMissing;
    context_.mh_log_ratio_variance = kMissing;
  }

  // Runs the stratum statistics, which the phases under test build on.
  void compute_strata() { ASSERT_EQ(compute_stratum_statistics(context_), 0); }

  int warnings() const { return runtime::current_session().step.warnings; }

  ProcContext context_{};
  std::vector<std::unique_ptr<StratumNode>> nodes_;
};

// P(a, x), the regularized lower incomplete gamma function: the power
// series below a + 1, the Legendre continued fraction (modified Lentz) above.
inline double lower_incomplete_gamma(double a, double x) {
  if (x <= 0) return 0;
  const double log_prefix = -x + a * std::log(x) - std::lgamma(a);
  if (x < a + 1) {
    double term = 1 / a, sum = term;
    for (int n = 1; n < 10000 && term > sum * 1e-17; ++n) sum += term *= x / (a + n);
    return sum * std::exp(log_prefix);
  }
  double b = x + 1 - a, c = 1e300, d = 1 / b, h = d;
  for (int i = 1; i < 10000; ++i) {
    const double an = -i * (i - a);
    b += 2;
    d = an * d + b;
    c = b + an / c;
    d = 1 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1) < 1e-16) break;
  }
  return 1 - std::exp(log_prefix) * h;
}

// The chi-square quantile with df degrees of freedom at p, by bisection on
// ln x.
inline double reference_chi_square_quantile(double p, double df) {
  double lo = std::log(1e-300), hi = std::log(1e6);
  for (int i = 0; i < 400; ++i) {
    const double mid = (lo + hi) / 2;
    (lower_incomplete_gamma(df / 2, std::exp(mid) / 2) < p ? lo : hi) = mid;
  }
  return std::exp((lo + hi) / 2);
}

// Φ⁻¹ at 0.975 and Φ at a point, for the default 95% limits and p-values.
inline constexpr double kZ975 = 1.959963984540054;
inline double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }
inline double two_sided(double z) { return 2 * std::min(normal_cdf(z), 1 - normal_cdf(z)); }

}  // namespace quilvar::estimate::testing
