// Stratum statistics: crude and reference estimates, expected events,
// Mantel-Haenszel weights, totals, proportions, stratum SMRs and the
// limits of the crude estimates.
#include "quilvar/estimate/stratum_statistics.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <limits>
#include <string_view>

#include "quilvar/entry/step_status.hpp"
#include "quilvar/estimate/estimate_support.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/input/input_messages.hpp"
#include "quilvar/input/stratum_node.hpp"
#include "quilvar/numeric/chi_square_quantile.hpp"
#include "quilvar/numeric/constants.hpp"
#include "quilvar/numeric/normal.hpp"

namespace quilvar::estimate {

namespace {

using host::text_arg;

constexpr int kMsgMissingPopulation = 77;
constexpr int kMsgMissingRate = 78;
constexpr int kMsgMissingRisk = 79;
constexpr int kMsgMissingReferencePopulation = 80;
constexpr int kMsgMissingReferenceRate = 81;
constexpr int kMsgMissingReferenceRisk = 82;
constexpr int kMsgMissingValue = 149;           // + 1 with strata, + 2 with a population variable
constexpr int kMsgAbsentStratum = 153;
constexpr int kMsgAbsentWithEffect = 154;
constexpr int kMsgStratumLimitFailed = 155;
constexpr int kMsgSmrLimitFailed = 156;
constexpr int kMsgTotalTooLarge = 171;
constexpr int kMsgPopulationUnknown = 179;
constexpr int kMsgPopulationUnknownIn = 180;
constexpr int kMsgEventTotalAboveIndividuals = 183;
constexpr int kMsgRatesDiffer = 184;

// Which of the observations' rates message 908-184 says is kept.
constexpr std::string_view kFirstKept = "first";
constexpr std::string_view kLastKept = "last";

void track(ProcContext& c, double estimate) {
  if (!present(estimate)) return;
  c.axis_minimum = std::min(c.axis_minimum, estimate);
  c.axis_maximum = std::max(c.axis_maximum, estimate);
}

host::MessageArg long_arg(const LongText& text) {
  return text_arg({text.text, static_cast<std::size_t>(text.length)});
}

// Reports a missing required value: the catalog text names the value, the
// message adds the population (when there is a population variable) and
// the stratum (when there are strata variables). Returns 1.
int report_missing(ProcContext& c, int text_number, const StratumNode& node, int k, bool with_population) {
  const std::string_view what = host::host_get_message_text(host::kMessageSetProcedure, text_number);
  const bool population = with_population && c.group_given;
  const bool strata = c.strata_count > 0;
  const int number = kMsgMissingValue + (strata ? 1 : 0) + (population ? 2 : 0);
  if (population && strata) {
    host::host_issue_message(host::kMessageSetProcedure, number,
                             {text_arg(what), long_arg(c.population_label[k]), long_arg(node.label)});
  } else if (population) {
    host::host_issue_message(host::kMessageSetProcedure, number, {text_arg(what), long_arg(c.population_label[k])});
  } else if (strata) {
    host::host_issue_message(host::kMessageSetProcedure, number, {text_arg(what), long_arg(node.label)});
  } else {
    host::host_issue_message(host::kMessageSetProcedure, number, {text_arg(what)});
  }
  raise_step_status(c, host::kStatusRequiredValueMissing);
  return 1;
}

bool skipped(const ProcContext& c, const StratumNode& node, int k) {
  return c.method == kMethodDirect && node.absent[k] != 0;
}

// Warns when a stratum has observations of one population only (DIRECT
// with two populations); returns whether a later note about effects is due.
bool check_absent(ProcContext& c, const StratumNode& node) {
  if (c.method != kMethodDirect || c.population_count != 2) return false;
  if (node.absent[0] == node.absent[1]) return false;
  const int missing = node.absent[0] ? 0 : 1;
  host::host_issue_message(host::kMessageSetProcedure, kMsgAbsentStratum,
                           {long_arg(node.label), long_arg(c.population_label[1 - missing]),
                            long_arg(c.population_label[missing])});
  raise_step_status(c, host::kStatusWarning);
  return c.effect_type != kEffectNone || c.strata_effect_type != kEffectNone;
}

void warn_sum_too_large(ProcContext& c) {
  host::host_issue_message(host::kMessageSetProcedure, kMsgTotalTooLarge);
  raise_step_status(c, host::kStatusWarning);
}

// A stratum's event count or population summed over the observations that
// gave it, while another of its observations left it blank, is a sum over
// part of the stratum: it would set part of its events against all of its
// population, or all of them against part of it (or give part of its
// standard weight). Such a sum is unknown, and so is the rate kept from one
// of its observations, which there are then several of. A value no
// observation gave (rates given alone) is no such case.
void clear_partial_sums(double& events, double& population, double& estimate, int count_blank, int population_blank) {
  const bool partial_events = count_blank != 0 && present(events);
  const bool partial_population = population_blank != 0 && present(population);
  if (!partial_events && !partial_population) return;
  if (partial_events) events = host::kMissing;
  if (partial_population) population = host::kMissing;
  estimate = host::kMissing;
}

// The first stratum of a BY group whose rate stands for observations that
// gave different rates, per side (population, reference); warned about once
// per BY group and side.
struct DifferingRates {
  const StratumNode* population = nullptr;
  const StratumNode* reference = nullptr;
};

void warn_differing_rates(ProcContext& c, const StratumNode* node, std::string_view side, std::string_view kept) {
  if (node == nullptr) return;
  host::host_issue_message(host::kMessageSetProcedure, kMsgRatesDiffer,
                           {long_arg(node->label), text_arg(side),
                            text_arg(c.statistic == kStatRisk ? input::kOptionRisk : input::kOptionRate), text_arg(kept)});
  raise_step_status(c, host::kStatusWarning);
}

int compute_crude_estimates(ProcContext& c, StratumNode& node, DifferingRates& differing) {
  for (int k = 0; k < c.population_count; ++k) {
    if (skipped(c, node, k)) continue;
    PopulationCell& cell = node.cell[k];
    clear_partial_sums(cell.events, cell.population, cell.estimate, node.count_blank[k], node.population_blank[k]);
    // A stratum's sum over its observations past the largest double: said
    // before its missing estimate is.
    if (std::isinf(cell.events) || std::isinf(cell.population)) warn_sum_too_large(c);
    if (present(cell.events) && present(cell.population) && cell.population > 0) {
      cell.estimate = cell.events / cell.population;
    } else if (node.rates_differ[k] != 0 && present(cell.estimate) && differing.population == nullptr) {
      differing.population = &node;
    }
    track(c, cell.estimate);
    if (c.method != kMethodIndirect && !present(cell.estimate)) {
      return report_missing(c, c.statistic == kStatRisk ? kMsgMissingRisk : kMsgMissingRate, node, k, true);
    }
    if (c.method != kMethodDirect && !present(cell.population)) {
      return report_missing(c, kMsgMissingPopulation, node, k, true);
    }
  }
  return 0;
}

// The first stratum of population k (among those it has observations for)
// without the value that another stratum of it gives, or nullptr.
const StratumNode* stratum_without(const ProcContext& c, int k, double PopulationCell::*value) {
  const StratumNode* without = nullptr;
  bool with = false;
  for (const StratumNode* node = c.strata; node != nullptr; node = node->first) {
    if (skipped(c, *node, k)) continue;
    if (present(node->cell[k].*value)) {
      with = true;
    } else if (without == nullptr) {
      without = node;
    }
  }
  return with ? without : nullptr;
}

// Under INDIRECT the observed total sums the strata's events while the
// expected total covers every stratum, so a stratum without its event count
// (and so without a crude estimate: a count is derived from a rate given
// with the population), beside strata with their counts, would set unlike
// sums against each other (an SMR biased low, silently). Such a stratum is
// reported as a missing crude estimate, as DIRECT and MH report it; returns
// 1 then. Event counts missing in every stratum (the total given by
// POPEVENT=) are no such case.
int check_partial_events(ProcContext& c) {
  for (int k = 0; k < c.population_count; ++k) {
    if (const StratumNode* node = stratum_without(c, k, &PopulationCell::events)) {
      return report_missing(c, c.statistic == kStatRisk ? kMsgMissingRisk : kMsgMissingRate, *node, k, true);
    }
  }
  return 0;
}

// Under DIRECT a stratum given by its rate alone (or by a rate of 0 beside
// 0 events, from which no population can be derived), beside strata with
// their populations, still has its share in the standardized estimate, but
// the population total, the crude rate and the variance would leave it out
// (limits too narrow). The totals of that population are unknown instead,
// which leaves the standard error and limits missing, with a warning
// naming the stratum. Populations missing in every stratum (rates given
// alone) are no such case: the totals are missing anyway. The event total
// stays when every stratum has its count (a stratum of 0 events at a rate
// of 0, whose population cannot be derived).
void check_partial_populations(ProcContext& c) {
  for (int k = 0; k < c.population_count; ++k) {
    const StratumNode* node = stratum_without(c, k, &PopulationCell::population);
    if (node == nullptr) continue;
    const bool events_known = stratum_without(c, k, &PopulationCell::events) == nullptr;
    if (c.group_given) {
      host::host_issue_message(host::kMessageSetProcedure, kMsgPopulationUnknownIn,
                               {long_arg(node->label), long_arg(c.population_label[k])});
    } else {
      host::host_issue_message(host::kMessageSetProcedure, kMsgPopulationUnknown, {long_arg(node->label)});
    }
    raise_step_status(c, host::kStatusWarning);
    c.total_population[k] = c.overall_estimate[k] = host::kMissing;
    if (!events_known) c.total_events[k] = host::kMissing;
  }
}

int compute_reference_estimate(ProcContext& c, StratumNode& node, DifferingRates& differing) {
  if (c.reference.data == nullptr) return 0;
  clear_partial_sums(node.reference_events, node.reference_population, node.reference_rate, node.reference_count_blank,
                     node.reference_population_blank);
  if (present(node.reference_events) && present(node.reference_population) && node.reference_population > 0) {
    node.reference_rate = node.reference_events / node.reference_population;
  } else if (c.method == kMethodIndirect && node.reference_rates_differ != 0 && present(node.reference_rate) &&
             differing.reference == nullptr) {
    differing.reference = &node;
  }
  track(c, node.reference_rate);
  if (c.method != kMethodIndirect && !present(node.reference_population)) {
    return report_missing(c, kMsgMissingReferencePopulation, node, 0, false);
  }
  if (c.method == kMethodIndirect && !present(node.reference_rate)) {
    return report_missing(c, c.statistic == kStatRisk ? kMsgMissingReferenceRisk : kMsgMissingReferenceRate, node, 0,
                          false);
  }
  return 0;
}

void compute_expected(const ProcContext& c, StratumNode& node) {
  for (int k = 0; k < c.population_count; ++k) {
    if (skipped(c, node, k)) continue;
    PopulationCell& cell = node.cell[k];
    if (c.method == kMethodDirect && present(cell.estimate) && present(node.reference_population)) {
      cell.expected = cell.estimate * node.reference_population;
    } else if (c.method == kMethodIndirect && present(node.reference_rate) && present(cell.population)) {
      cell.expected = node.reference_rate * cell.population;
    }
  }
}

// Limits of a stratum SMR, with r the crude estimate, n the population,
// E the expected events and H = n / E: the crude estimate's limits times H,
// so a risk's upper limit is capped at 1 before it is scaled (the SMR cannot
// stand for a risk above 1). Returns false when a Poisson quantile failed.
bool compute_smr_limits(ProcContext& c, StratumNode& node, const PopulationCell& cell, double za, double zb) {
  const double r = cell.estimate;
  const double n = cell.population;
  const double e = cell.expected;
  const double h = n / e;
  const bool risk = c.statistic == kStatRisk;
  switch (c.strata_smr_cl_compute_type) {
    case kClNormal: {
      const double s = std::sqrt(risk ? r / n * (1 - r) : r / n);
      node.smr_std_error = h * s;
      node.smr_lower = at_least_zero(h * (r + za * s));
      node.smr_upper = h * (risk ? at_most_one(r + zb * s) : r + zb * s);
      return true;
    }
    case kClLognormal: {
      if (!(r > 0)) return true;
      const double s = std::sqrt(risk ? 1 / (r * n) - 1 / n : 1 / (r * n));
      node.smr_lower = h * r * std::exp(za * s);
      node.smr_upper = h * (risk ? at_most_one(r * std::exp(zb * s)) : r * std::exp(zb * s));
      return true;
    }
    case kClPoisson: {
      if (risk || !(r > 0)) return true;
      double lower, upper;
      const bool lower_ok = chi_square_quantile_with_fallback(c, c.alpha / 2, 2 * r * n, lower);
      const bool upper_ok = chi_square_quantile_with_fallback(c, 1 - c.alpha / 2, 2 * (r * n + 1), upper);
      if (lower_ok) node.smr_lower = 0.5 * lower / e;
      if (upper_ok) node.smr_upper = 0.5 * upper / e;
      return lower_ok && upper_ok;
    }
    default:
      return true;
  }
}

// The stratum SMR of the (single) study population; returns false when a
// Poisson limit failed.
bool compute_stratum_smr(ProcContext& c, StratumNode& node, double za, double zb) {
  node.smr = node.smr_std_error = node.smr_lower = node.smr_upper = host::kMissing;
  bool ok = true;
  for (int k = 0; k < c.population_count; ++k) {
    const PopulationCell& cell = node.cell[k];
    if (!present(cell.events) || !present(cell.expected) || !(cell.expected > 0)) continue;
    node.smr = cell.events / cell.expected;
    if (node.smr > 0) ok = compute_smr_limits(c, node, cell, za, zb) && ok;
  }
  return ok;
}

void compute_mh_weight(ProcContext& c, StratumNode& node) {
  const double n1 = node.cell[0].population;
  const double n2 = node.cell[1].population;
  if (!present(n1) || !present(n2)) return;
  const double w = n1 * n2 / (n1 + n2);
  node.reference_population = w;
  host::add_present(c.total_reference_population, w);
  for (int k = 0; k < 2; ++k) {
    if (!present(node.cell[k].estimate)) continue;
    node.cell[k].expected = node.cell[k].estimate * w;
    host::add_present(c.total_expected[k], node.cell[k].expected);
  }
}

void reset_totals(ProcContext& c) {
  for (int k = 0; k < 2; ++k) {
    c.total_events[k] = c.total_population[k] = c.overall_estimate[k] = host::kMissing;
    c.total_expected[k] = c.reference_population_for[k] = host::kMissing;
  }
  c.total_reference_events = c.total_reference_population = c.reference_estimate = host::kMissing;
  c.largest_proportion = 0;
}

void add_stratum_totals(ProcContext& c, StratumNode& node) {
  for (int k = 0; k < c.population_count; ++k) {
    if (skipped(c, node, k)) continue;
    host::add_present(c.total_events[k], node.cell[k].events);
    host::add_present(c.total_population[k], node.cell[k].population);
    host::add_present(c.total_expected[k], node.cell[k].expected);
    if (c.method == kMethodDirect) host::add_present(c.reference_population_for[k], node.reference_population);
  }
  host::add_present(c.total_reference_population, node.reference_population);
  host::add_present(c.total_reference_events, node.reference_events);
  if (c.method == kMethodMh) compute_mh_weight(c, node);
}

double ratio_if_positive(double numerator, double denominator) {
  return present(numerator) && present(denominator) && denominator > 0 ? numerator / denominator : host::kMissing;
}

// Warns when a sum over the strata went past the largest double: it is
// missing then, and so is what is built on it.
void check_totals_in_range(ProcContext& c) {
  bool too_large = std::isinf(c.total_reference_events) || std::isinf(c.total_reference_population);
  for (int k = 0; k < c.population_count; ++k) {
    too_large = too_large || std::isinf(c.total_events[k]) || std::isinf(c.total_population[k]) ||
                std::isinf(c.total_expected[k]) || std::isinf(c.reference_population_for[k]);
  }
  if (too_large) warn_sum_too_large(c);
}

// A reference total summed over the strata that give the value, while
// another stratum leaves it blank (a reference stratum given by its rate
// alone, or by a rate of 0 with no events to derive its population from),
// is a total over part of the reference: the reference crude rate built on
// it, and with it the indirectly standardized rate, would be off, and so
// would the attributable fractions built on the reference events. It is
// unknown instead; under INDIRECT the REFRATE= constant (or REFEVENT= and
// REFTOTAL=) then gives the crude rate.
double whole_reference_sum(const ProcContext& c, double total, double StratumNode::*value) {
  for (const StratumNode* node = c.strata; node != nullptr; node = node->first) {
    if (!present(node->*value)) return host::kMissing;
  }
  return total;
}

// Under STAT=RISK the event total given by POPEVENT= cannot exceed the
// number of individuals: the risk and the SMR built on it would be beyond
// anything the population could have. Ends the BY group (returns 1).
int check_event_total(ProcContext& c) {
  if (c.statistic != kStatRisk || !present(c.total_population[0]) ||
      !(c.population_event_total > c.total_population[0])) {
    return 0;
  }
  host::host_issue_message(host::kMessageSetProcedure, kMsgEventTotalAboveIndividuals,
                           {host::number_arg(c.population_event_total), host::number_arg(c.total_population[0])});
  raise_step_status(c, host::kStatusRequiredValueMissing);
  return 1;
}

// Returns 1 when the BY group ends (an event total the population cannot hold).
int compute_totals(ProcContext& c) {
  reset_totals(c);
  for (StratumNode* node = c.strata; node != nullptr; node = node->first) add_stratum_totals(c, *node);
  if (!present(c.total_events[0]) && present(c.population_event_total)) {
    c.total_events[0] = c.population_event_total;
    if (check_event_total(c) != 0) return 1;
  }
  for (int k = 0; k < c.population_count; ++k) {
    c.overall_estimate[k] = ratio_if_positive(c.total_events[k], c.total_population[k]);
  }
  if (c.reference.data != nullptr) {
    c.total_reference_events = whole_reference_sum(c, c.total_reference_events, &StratumNode::reference_events);
    c.total_reference_population =
        whole_reference_sum(c, c.total_reference_population, &StratumNode::reference_population);
  }
  c.reference_estimate = ratio_if_positive(c.total_reference_events, c.total_reference_population);
  if (!present(c.reference_estimate) && present(c.reference_rate_constant)) c.reference_estimate = c.reference_rate_constant;
  return 0;
}

double proportion(double part, double total) {
  return present(part) && present(total) && total > 0 ? part / total : host::kMissing;
}

void compute_proportions(ProcContext& c) {
  for (StratumNode* node = c.strata; node != nullptr; node = node->first) {
    for (int k = 0; k < c.population_count; ++k) {
      node->cell[k].proportion = proportion(node->cell[k].population, c.total_population[k]);
      if (present(node->cell[k].proportion)) c.largest_proportion = std::max(c.largest_proportion, node->cell[k].proportion);
    }
    if (c.reference.data == nullptr) continue;
    node->reference_proportion = proportion(node->reference_population, c.total_reference_population);
    if (present(node->reference_proportion)) c.largest_proportion = std::max(c.largest_proportion, node->reference_proportion);
  }
}

// Limits of a crude estimate r with population n; returns false when a
// Poisson quantile failed.
bool compute_cell_limits(ProcContext& c, PopulationCell& cell, double za, double zb) {
  cell.std_error = cell.lower = cell.upper = host::kMissing;
  const double r = cell.estimate;
  const double n = cell.population;
  if (!present(r) || !present(n)) return true;
  const bool risk = c.statistic == kStatRisk;
  switch (c.strata_cl_compute_type) {
    case kClNormal: {
      const double s = std::sqrt(risk ? r * (1 - r) / n : r / n);
      cell.std_error = s;
      cell.lower = at_least_zero(r + za * s);
      cell.upper = risk ? at_most_one(r + zb * s) : r + zb * s;
      return true;
    }
    case kClLognormal: {
      if (!(r > 0)) return true;
      const double s = std::sqrt(risk ? 1 / (r * n) - 1 / n : 1 / (r * n));
      cell.lower = r * std::exp(za * s);
      cell.upper = risk ? at_most_one(r * std::exp(zb * s)) : r * std::exp(zb * s);
      return true;
    }
    case kClPoisson: {
      if (!(r > 0)) return true;
      double lower, upper;
      const bool lower_ok = chi_square_quantile_with_fallback(c, c.alpha / 2, 2 * r * n, lower);
      const bool upper_ok = chi_square_quantile_with_fallback(c, 1 - c.alpha / 2, 2 * (r * n + 1), upper);
      if (lower_ok) cell.lower = 0.5 * lower / n;
      if (upper_ok) cell.upper = 0.5 * upper / n;
      return lower_ok && upper_ok;
    }
    default:
      return true;
  }
}

}  // namespace

bool chi_square_quantile_with_fallback(ProcContext& c, double p, double df, double& x) {
  // Multiplicative hashing keeps the high bits of the product: an integer
  // df has only zero low mantissa bits, so the low bits would not spread.
  const std::uint64_t key = (std::bit_cast<std::uint64_t>(df) ^ std::rotr(std::bit_cast<std::uint64_t>(p), 17)) *
                            0x9E3779B97F4A7C15ull;
  QuantileMemoEntry& entry = c.quantile_memo.entries[key >> (64 - QuantileMemo::kBits)];
  if (entry.used && entry.p == p && entry.df == df) {
    x = entry.x;
    return entry.ok != 0;
  }
  bool ok = numeric::chi_square_quantile(p, df, x) == numeric::kOk;
  if (!ok) ok = numeric::chi_square_quantile_fallback(p, df, x) == numeric::kOk;
  entry = QuantileMemoEntry{p, df, ok ? x : 0.0, ok ? 1 : 0, 1};
  return ok;
}

int compute_stratum_statistics(ProcContext& c) {
  // The axis trackers span this BY group only, so each plot fits its own data.
  c.axis_minimum = std::numeric_limits<double>::max();
  c.axis_maximum = 0;
  const auto [za, zb] = normal_quantiles(c.alpha, c.normal_memo);
  bool effect_note_due = false;
  bool smr_limit_failed = false;
  DifferingRates differing;
  int counter = 0;
  for (StratumNode* node = c.strata; node != nullptr; node = node->first) {
    node->index = counter + 1;
    effect_note_due = check_absent(c, *node) || effect_note_due;
    if (compute_crude_estimates(c, *node, differing) != 0 || compute_reference_estimate(c, *node, differing) != 0) {
      return 1;
    }
    compute_expected(c, *node);
    if (c.method == kMethodIndirect && !compute_stratum_smr(c, *node, za, zb)) smr_limit_failed = true;
    ++counter;
  }
  c.stratum_count = counter;
  warn_differing_rates(c, differing.population, input::kWordPopulation, kFirstKept);
  warn_differing_rates(c, differing.reference, input::kWordReference, kLastKept);
  if (c.method == kMethodIndirect && check_partial_events(c) != 0) return 1;
  if (effect_note_due) host::host_issue_message(host::kMessageSetProcedure, kMsgAbsentWithEffect);
  if (smr_limit_failed && numeric::exact_upper_limit_in_reach(c.alpha)) {
    host::host_issue_message(host::kMessageSetProcedure, kMsgSmrLimitFailed);
    raise_step_status(c, host::kStatusWarning);
  }
  if (compute_totals(c) != 0) return 1;
  if (c.method == kMethodDirect) check_partial_populations(c);
  check_totals_in_range(c);
  compute_proportions(c);
  return 0;
}

int compute_stratum_limits(ProcContext& c) {
  const auto [za, zb] = normal_quantiles(c.alpha, c.normal_memo);
  bool failed = false;
  for (StratumNode* node = c.strata; node != nullptr; node = node->first) {
    for (int k = 0; k < c.population_count; ++k) {
      PopulationCell& cell = node->cell[k];
      if (!compute_cell_limits(c, cell, za, zb)) failed = true;
      if (c.rate_plot_on && present(cell.lower)) c.axis_minimum = std::min(c.axis_minimum, cell.lower);
      if (c.rate_plot_on && present(cell.upper)) c.axis_maximum = std::max(c.axis_maximum, cell.upper);
    }
  }
  if (failed && numeric::exact_upper_limit_in_reach(c.alpha)) {
    host::host_issue_message(host::kMessageSetProcedure, kMsgStratumLimitFailed);
    raise_step_status(c, host::kStatusWarning);
  }
  return 0;
}

}  // namespace quilvar::estimate
