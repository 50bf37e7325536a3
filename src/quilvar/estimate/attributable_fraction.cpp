// Attributable fractions from a rate or risk ratio RR: among the exposed
// (RR - 1) / RR, in the population that fraction times the exposed share of
// all events (Miettinen 1974). Limits of the exposed fraction are those of
// RR carried through (L - 1) / L; limits of the population fraction come
// from the delta-method variance of ln(1 - fraction) (Greenland 1987).
#include "quilvar/estimate/attributable_fraction.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "quilvar/entry/step_status.hpp"
#include "quilvar/estimate/estimate_support.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/host/text.hpp"

namespace quilvar::estimate {

namespace {

using host::kMissing;

constexpr int kMsgNoExcessNumeric = 157;
constexpr int kMsgNoExcessCharacter = 158;
constexpr int kMsgNoExcessSmr = 159;
constexpr int kMsgExposedNotALevel = 160;
constexpr int kMsgNoReferenceEvents = 173;
constexpr int kTypeCharacter = 2;

// A ratio within 50 units in the last place of 1 counts as no excess.
constexpr double kLargestRatioWithoutExcess = 1 + 50 * std::numeric_limits<double>::epsilon();
// An SMR this close to 1 gives no population limits (their variance explodes).
constexpr double kSmallestSmrExcess = 0.000001;

// The exposed fraction's share of the population: fraction × O_e / (O_e + O_u).
double population_fraction(double exposed, double exposed_events, double unexposed_events) {
  if (!present(exposed_events) || !present(unexposed_events)) return kMissing;
  const double all = exposed_events + unexposed_events;
  return all > 0 ? exposed * exposed_events / all : kMissing;
}

// (L - 1) / L of a present positive ratio limit L.
double exposed_limit(double ratio_limit) {
  return present(ratio_limit) && ratio_limit > 0 ? (ratio_limit - 1) / ratio_limit : kMissing;
}

// Limits of the population fraction f from the variance of ln RR and the
// excess m = RR - 1, with O_e and O_u the exposed and unexposed events.
void set_population_limits(AttrFractionResult& r, double log_variance, double m, double exposed_events,
                           double unexposed_events, const NormalQuantiles& z) {
  const double f = r.population;
  if (!present(f) || !(f < 1)) return;
  const double all = exposed_events + unexposed_events;
  const double odds = f / (1 - f);
  const double se = std::sqrt(odds * odds *
                              (log_variance / (m * m) + 2 / (m * exposed_events) + unexposed_events / (exposed_events * all)));
  const double l = std::log(1 - f);
  r.population_lower = finite_or_missing(1 - std::exp(l + z.zb * se));
  r.population_upper = finite_or_missing(1 - std::exp(l + z.za * se));
}

void clear_fractions(AttrFractionResult& r) {
  r.exposed = r.population = r.log_variance = kMissing;
  r.exposed_normal_lower = r.exposed_normal_upper = kMissing;
  r.exposed_lognormal_lower = r.exposed_lognormal_upper = kMissing;
  r.exposed_poisson_lower = r.exposed_poisson_upper = kMissing;
  r.population_lower = r.population_upper = kMissing;
}

host::MessageArg level_value_arg(const ProcContext& c, int k) {
  if (c.group.type != kTypeCharacter) return host::number_arg(c.levels[k].raw_number);
  return host::text_arg({c.levels[k].formatted,
                         static_cast<std::size_t>(host::trim_length(c.levels[k].formatted, c.group.formatted_width))});
}

// The ratio of the exposed to the unexposed population is not above 1: the
// warning names the exposed level first.
void warn_no_mh_excess(ProcContext& c) {
  const int exposed = c.attr_fraction.exposed_index;
  const host::MessageArg name = host::text_arg({c.group.name.text, static_cast<std::size_t>(c.group.name.length)});
  const int number = c.group.type == kTypeCharacter ? kMsgNoExcessCharacter : kMsgNoExcessNumeric;
  host::host_issue_message(host::kMessageSetProcedure, number,
                           {name, level_value_arg(c, exposed), name, level_value_arg(c, 1 - exposed)});
  raise_step_status(c, host::kStatusWarning);
}

std::string_view trimmed(const char* text, int length) {
  int start = 0;
  while (start < length && text[start] == ' ') ++start;
  return {text + start, static_cast<std::size_t>(host::trim_length(text + start, length - start))};
}

}  // namespace

void reset_attr_fraction(ProcContext& c) {
  clear_fractions(c.attr_fraction);
  c.attr_fraction.exposed_index = -1;
  c.attr_fraction.exposed_label_length = 0;
  std::memset(c.attr_fraction.exposed_label, ' ', kExposedLabelCapacity);
}

std::string_view level_label(const ProcContext& c, int k) {
  return trimmed(c.levels[k].formatted, c.group.formatted_width);
}

bool choose_exposed_population(ProcContext& c) {
  int index = 0;
  if (c.exposed_given) {
    const std::string_view wanted = trimmed(c.exposed, c.exposed_length);
    index = wanted == level_label(c, 0) ? 0 : (wanted == level_label(c, 1) ? 1 : -1);
    if (index < 0) {
      host::host_issue_message(host::kMessageSetProcedure, kMsgExposedNotALevel,
                               {host::text_arg(wanted), host::text_arg({c.group.name.text,
                                                                        static_cast<std::size_t>(c.group.name.length)})});
      raise_step_status(c, host::kStatusDataInvalid);
      host::host_set_step_status(host::kStatusDataInvalid);
      return false;
    }
  }
  const std::string_view label = level_label(c, index);
  c.attr_fraction.exposed_index = index;
  c.attr_fraction.exposed_label_length = static_cast<int>(label.size());
  std::memcpy(c.attr_fraction.exposed_label, label.data(), label.size());
  return true;
}

void compute_mh_attr_fraction(ProcContext& c, double log_ratio_variance) {
  AttrFractionResult& r = c.attr_fraction;
  clear_fractions(r);
  const int x = r.exposed_index;
  if (x < 0) return;
  const double exposed = c.std_estimates[x].estimate;
  const double unexposed = c.std_estimates[1 - x].estimate;
  if (!(exposed > 0) || !(unexposed > 0) || !present(log_ratio_variance)) return;
  const NormalQuantiles z = normal_quantiles(c.alpha, c.normal_memo);
  const double rr = exposed / unexposed;
  r.exposed = (rr - 1) / rr;
  r.population = population_fraction(r.exposed, c.total_events[x], c.total_events[1 - x]);
  const double s = std::sqrt(log_ratio_variance);
  r.exposed_lognormal_lower = 1 - 1 / std::exp(std::log(rr) + z.za * s);
  r.exposed_lognormal_upper = 1 - 1 / std::exp(std::log(rr) + z.zb * s);
  if (rr <= kLargestRatioWithoutExcess) {
    warn_no_mh_excess(c);
    return;
  }
  set_population_limits(r, log_ratio_variance, rr - 1, c.total_events[x], c.total_events[1 - x], z);
}

void compute_indirect_attr_fraction(ProcContext& c) {
  const SmrResult& s = c.smr_result;
  AttrFractionResult& r = c.attr_fraction;
  clear_fractions(r);
  const double observed = c.total_events[0];
  const double reference = c.total_reference_events;
  if (!present(observed) || !(c.total_expected[0] > 0) || !(s.smr > 0)) return;
  // Reference rates alone give no reference events: the fractions are left
  // missing as without them, but the log says why their table is empty.
  if (!present(reference)) {
    host::host_issue_message(host::kMessageSetProcedure, kMsgNoReferenceEvents);
    raise_step_status(c, host::kStatusWarning);
    return;
  }
  r.exposed = (s.smr - 1) / s.smr;
  r.population = population_fraction(r.exposed, observed, reference);
  r.exposed_normal_lower = exposed_limit(s.normal_lower);
  r.exposed_normal_upper = exposed_limit(s.normal_upper);
  r.exposed_lognormal_lower = exposed_limit(s.lognormal_lower);
  r.exposed_lognormal_upper = exposed_limit(s.lognormal_upper);
  r.exposed_poisson_lower = exposed_limit(s.poisson_lower);
  r.exposed_poisson_upper = exposed_limit(s.poisson_upper);
  if (s.smr <= kLargestRatioWithoutExcess) {
    host::host_issue_message(host::kMessageSetProcedure, kMsgNoExcessSmr);
    raise_step_status(c, host::kStatusWarning);
    return;
  }
  if (!present(s.log_std_error)) return;
  r.log_variance = s.log_std_error * s.log_std_error;
  if (!(1 - r.population > 0) || std::fabs(s.smr - 1) <= kSmallestSmrExcess) return;
  set_population_limits(r, r.log_variance, s.smr - 1, observed, reference, normal_quantiles(c.alpha, c.normal_memo));
}

}  // namespace quilvar::estimate
