// Data sets, variables, multipliers of the two sides, reference constants
// and label texts.
#include "quilvar/syntax/resolve_data_sets.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <cstring>
#include <string_view>
#include <vector>

#include "quilvar/entry/step_status.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/host/text.hpp"
#include "quilvar/input/bind_variables.hpp"
#include "quilvar/syntax/option_names.hpp"
#include "quilvar/syntax/parse_codes.hpp"
#include "quilvar/syntax/parse_result.hpp"
#include "quilvar/syntax/resolve_options.hpp"

namespace quilvar::syntax {

namespace {

using host::number_arg;
using host::text_arg;

constexpr int kTypeNumeric = 1;
constexpr std::uint32_t kOpenStatusSign = 0x80000000u;
constexpr std::uint32_t kOpenStatusLowMask = 0x3FFFFFu;

const host::ParseResult& parsed(const ProcContext& c) { return *c.parse_result; }
bool flag(const ProcContext& c, int n) { return syntax::flag(parsed(c), n); }
bool given(const ProcContext& c, int slot) { return number_slot(parsed(c), slot).given; }
double number(const ProcContext& c, int slot) { return number_slot(parsed(c), slot).value; }
std::int32_t first_variable(const ProcContext& c, int slot) { return variable_list_slot(parsed(c), slot)[0]; }

std::string_view statistic_word(const ProcContext& c) { return c.statistic == kStatRisk ? kStatRiskWord : kStatRateWord; }

void take_data_set_name(DataSide& side) {
  host::CountedText name{};
  host::data_set_table().get_attribute(side.data, host::kAttributeName, &name);
  side.name_length = static_cast<int>(std::min<std::int64_t>(name.length, kLongTextCapacity));
  if (name.text != nullptr) std::memcpy(side.name, name.text, static_cast<std::size_t>(side.name_length));
}

void resolve_data_set_presence(ProcContext& c) {
  if (!given(c, kSlotData) || !flag(c, kFlagPopulationStatement)) stop(kMsgNoPopulationData, host::kStatusStatementError);
  c.population.data = data_set_slot(parsed(c), kSlotData);
  take_data_set_name(c.population);
  const bool has_reference = given(c, kSlotRefData) || flag(c, kFlagReferenceStatement);
  if (c.method == kMethodMh) {
    if (has_reference) stop(kMsgMhWithReference, host::kStatusStatementError);
    return;
  }
  if (!given(c, kSlotRefData) || !flag(c, kFlagReferenceStatement)) stop(kMsgNoReferenceData, host::kStatusStatementError);
  c.reference.data = data_set_slot(parsed(c), kSlotRefData);
  take_data_set_name(c.reference);
}

void resolve_group(ProcContext& c) {
  if (given(c, kSlotGroup)) {
    if (c.method == kMethodIndirect) stop(kMsgGroupWithIndirect, host::kStatusStatementError);
    const std::int32_t variable = first_variable(c, kSlotGroup);
    host::data_set_table().select_variables(c.population.data, host::kSelectCode, &variable, 1);
    input::describe_variable(c.population.data, variable, c.group);
    // The group value buffers and population level texts hold 256 bytes;
    // longer group values are compared and shown by their first 256.
    c.group.formatted_width = std::min(c.group.formatted_width, kLongTextCapacity);
    c.group.length = std::min(c.group.length, kLongTextCapacity);
    c.group_given = 1;
    return;
  }
  if (c.method == kMethodMh) stop(kMsgMhNeedsGroup, host::kStatusStatementError);
  if (c.effect_type != kEffectNone || c.strata_effect_type != kEffectNone) {
    warn(c, kMsgNeedsGroup, {text_arg(kOptEffect)});
    c.effect_type = c.strata_effect_type = kEffectNone;
  }
  // PLOTS=ALL asks for the plots that apply, so only an effect plot asked
  // for by name is warned about.
  if (c.effect_plot_type != 0) {
    if (flag(c, kFlagPlotEffect)) warn(c, kMsgNeedsGroup, {text_arg(kOptPlotEffect)});
    c.effect_plot_type = 0;
  }
}

int order_from_slot(const ProcContext& c, int slot) {
  if (!given(c, slot)) return kOrderInternal;
  const int order = static_cast<int>(number(c, slot));
  return order >= kOrderData && order <= kOrderInternal ? order : kOrderInternal;
}

// Lays out the strata variables' slices of the key buffers.
void allocate_strata_keys(ProcContext& c) {
  int formatted = 0;
  int raw = 0;
  for (int i = 0; i < c.strata_count; ++i) {
    KeyVariable& v = c.strata_variables[i];
    v.formatted_offset = formatted;
    v.raw_offset = raw;
    formatted += v.formatted_width;
    if (v.type != kTypeNumeric) raw += v.length;
  }
  c.strata_formatted_width = formatted;
  c.strata_raw_width = raw;
  c.strata_formatted_key = static_cast<char*>(host::pool_allocate(c.pool, static_cast<std::size_t>(formatted) + 1, host::kPoolAllocate));
  c.strata_raw_key = static_cast<char*>(host::pool_allocate(c.pool, static_cast<std::size_t>(raw) + 1, host::kPoolAllocate));
  c.strata_numeric_key = static_cast<double*>(
      host::pool_allocate(c.pool, sizeof(double) * static_cast<std::size_t>(c.strata_count + 1), host::kPoolAllocate));
}

std::string_view type_word(const KeyVariable& v) {
  return v.type == kTypeNumeric ? kTypeNumericWord : kTypeCharacterWord;
}

// Fits the strata keys to the reference data set as well: a longer text
// or format there would be cut to the population's width, so that
// different reference strata could meet in one key. A variable of the
// other type there cannot match the population's values; the warning says
// why before the strata go unmatched (it is not an error: a column with
// no values at all, in a file with no observations, has a type only by
// default). Variables the reference lacks are reported when the
// reference statement is resolved.
void fit_strata_to_reference(ProcContext& c) {
  if (c.method == kMethodMh || c.reference.data == nullptr || c.reference.data == c.population.data) return;
  for (int i = 0; i < c.strata_count; ++i) {
    KeyVariable& v = c.strata_variables[i];
    int number = 0;
    host::data_set_table().find_variable(c.reference.data, v.name.text, v.name.length, &number);
    if (number == 0) continue;
    KeyVariable in_reference{};
    input::describe_variable(c.reference.data, number, in_reference);
    if (in_reference.type != v.type) {
      warn(c, kMsgStrataTypeClash,
           {text_arg({v.name.text, static_cast<std::size_t>(v.name.length)}), text_arg(type_word(v)),
            text_arg(type_word(in_reference))});
      continue;
    }
    v.length = std::max(v.length, in_reference.length);
    v.formatted_width = std::max(v.formatted_width, in_reference.formatted_width);
  }
}

void resolve_strata_variables(ProcContext& c) {
  c.strata_order = order_from_slot(c, kSlotStrataOrder);
  const std::span<const std::int32_t> strata = variable_list_slot(parsed(c), kSlotStrata);
  c.strata_variables = static_cast<KeyVariable*>(host::pool_allocate(
      c.pool, sizeof(KeyVariable) * (strata.size() + 1), host::kPoolAllocate));
  // A variable named twice (directly or through a range or prefix list) is
  // one stratum variable: a second copy would only repeat its column.
  c.strata_count = 0;
  for (std::size_t i = 0; i < strata.size(); ++i) {
    KeyVariable& v = c.strata_variables[c.strata_count];
    input::describe_variable(c.population.data, strata[i], v);
    if (std::ranges::count(strata.first(i), strata[i]) > 0) {
      // Said once, at the variable's last mention.
      if (std::ranges::count(strata.subspan(i + 1), strata[i]) == 0) {
        note(kMsgStrataRepeated, {text_arg({v.name.text, static_cast<std::size_t>(v.name.length)})});
      }
      continue;
    }
    ++c.strata_count;
  }
  fit_strata_to_reference(c);
  allocate_strata_keys(c);
}

// A side's multiplier from its MULT= slot (RATE only); the procedure
// multiplier when none is given.
double side_multiplier(ProcContext& c, int slot, std::string_view option) {
  if (!given(c, slot)) return c.multiplier_value;
  if (c.statistic == kStatRisk) {
    note(kMsgOtherStatistic, {text_arg(option), text_arg(kStatRiskWord)});
    return c.multiplier_value;
  }
  const double m = number(c, slot);
  if (multiplier_exponent(m) < 0) stop(kMsgMultiplier, host::kStatusStatementError);
  return m;
}

// Notes RATE= with RISK and RISK= with RATE; returns the slot that counts.
int rate_slot(ProcContext& c, int rate, int risk) {
  const int wanted = c.statistic == kStatRisk ? risk : rate;
  const int other = c.statistic == kStatRisk ? rate : risk;
  if (given(c, other)) {
    note(kMsgOtherStatistic, {text_arg(c.statistic == kStatRisk ? kOptRate : kOptRisk), text_arg(statistic_word(c))});
  }
  return wanted;
}

void set_availability(DataSide& side) {
  const int count = side.given[kEventValue] + side.given[kTotalValue] + side.given[kRateValue];
  for (int k = 0; k < kValueCount; ++k) side.available[k] = count == 2 ? 1 : side.given[k];
}

// Keeps a POPULATION variable; it must be numeric.
void keep_population_variable(ProcContext& c, int k, int slot, std::string_view option) {
  if (!given(c, slot)) return;
  const int variable = first_variable(c, slot);
  KeyVariable shape{};
  input::describe_variable(c.population.data, variable, shape);
  if (shape.type != kTypeNumeric) stop(kMsgPopulationNotNumeric, host::kStatusStatementError, {text_arg(option)});
  c.population.variable[k] = variable;
  c.population.variable_name[k] = shape.name;
  c.population.given[k] = 1;
}

void switch_off_event_requests(ProcContext& c) {
  if (c.method == kMethodIndirect && host::is_missing(c.population_event_total) && c.smr_table_on) {
    warn(c, kMsgNoEventsSmr);
    // The indirectly standardized estimate is the SMR times the reference
    // crude estimate, so it is lost with it: said here once, with the cause.
    warn(c, kMsgNoEventsStandardized);
    c.smr_table_on = 0;
    c.indirect_without_events = 1;
  }
  if (c.attr_fraction_on) {
    warn(c, kMsgNoEventsAf);
    c.attr_fraction_on = 0;
  }
  if (c.strata_smr_on) {
    warn(c, kMsgNoEventsStrataSmr, {text_arg(kOptSmr)});
    c.strata_smr_on = 0;
  }
  if (c.smr_plot_on) {
    warn(c, kMsgNoEventsPlot, {text_arg(kOptPlotSmr)});
    c.smr_plot_on = 0;
  }
}

void resolve_population_statement(ProcContext& c) {
  c.population_multiplier = side_multiplier(c, kSlotPopulationMultiplier, kOptMult);
  c.population_multiplier_applies = c.statistic == kStatRate ? 1 : 0;
  keep_population_variable(c, kRateValue, rate_slot(c, kSlotPopulationRate, kSlotPopulationRisk),
                           c.statistic == kStatRisk ? kOptRisk : kOptRate);
  keep_population_variable(c, kEventValue, kSlotPopulationEvent, kOptEvent);
  keep_population_variable(c, kTotalValue, kSlotPopulationTotal, kOptTotal);
  DataSide& p = c.population;
  set_availability(p);
  if (!p.available[kRateValue] && c.method != kMethodIndirect) stop(kMsgNoPopulationRate, host::kStatusStatementError);
  if (!p.available[kTotalValue] && c.method == kMethodIndirect) {
    stop(c.statistic == kStatRisk ? kMsgNoPopulationTotalRisk : kMsgNoPopulationTotalRate, host::kStatusStatementError);
  }
  // POPEVENT= is the event total of one study population; with GROUP= it
  // would be shown as the first population's events, which it is not.
  if (given(c, kSlotPopEvent) && c.group_given) {
    warn(c, kMsgNotWithMethod, {text_arg(kOptPopEvent), text_arg(kOptGroup)});
  } else if (given(c, kSlotPopEvent)) {
    c.population_event_total = number(c, kSlotPopEvent);
  }
  if (!p.available[kEventValue]) switch_off_event_requests(c);
  if (p.given[kEventValue] + p.given[kTotalValue] + p.given[kRateValue] < 2) {
    c.strata_cl_type = kClNone;
    c.strata_cl_label.length = 0;
    c.rate_plot_cl_type = kClNone;
  }
  c.group_order = order_from_slot(c, kSlotGroupOrder);
  input::bind_population_variables(c);
}

// Finds a REFERENCE name in the reference data set; it must be numeric.
void keep_reference_variable(ProcContext& c, int k, int slot, std::string_view option) {
  const std::optional<std::string_view> name = list_name(parsed(c), slot, 0);
  if (!name) return;
  int variable = 0;
  host::data_set_table().find_variable(c.reference.data, name->data(), static_cast<int>(name->size()), &variable);
  if (variable == 0) {
    host::host_issue_message(host::kMessageSetProcedure, kMsgReferenceVariableMissing, {text_arg(*name)});
    host::host_set_step_status(host::kStatusDataInvalid);
    return;
  }
  KeyVariable shape{};
  input::describe_variable(c.reference.data, variable, shape);
  if (shape.type != kTypeNumeric) stop(kMsgReferenceNotNumeric, host::kStatusStatementError, {text_arg(option)});
  c.reference.variable[k] = variable;
  c.reference.variable_name[k] = shape.name;
  c.reference.given[k] = 1;
}

void resolve_reference_constants(ProcContext& c) {
  if (given(c, kSlotRefRate)) {
    if (c.statistic == kStatRisk) {
      note(kMsgOtherStatistic, {text_arg(kOptRefRate), text_arg(kStatRiskWord)});
    } else {
      const double divisor = given(c, kSlotRefRateMultiplier) ? side_multiplier(c, kSlotRefRateMultiplier, kOptRateMult)
                                                              : c.multiplier_value;
      c.reference_rate_constant = number(c, kSlotRefRate) / divisor;
    }
  }
  if (given(c, kSlotRefRisk)) {
    if (c.statistic == kStatRate) note(kMsgOtherStatistic, {text_arg(kOptRefRisk), text_arg(kStatRateWord)});
    else c.reference_rate_constant = number(c, kSlotRefRisk);
  }
  if (given(c, kSlotRefEvent)) c.reference_events_constant = number(c, kSlotRefEvent);
  if (given(c, kSlotRefTotal)) c.reference_total_constant = number(c, kSlotRefTotal);
  if (host::is_missing(c.reference_rate_constant) && !host::is_missing(c.reference_events_constant) &&
      c.reference_total_constant > 0) {
    c.reference_rate_constant = c.reference_events_constant / c.reference_total_constant;
  }
  // A reference crude risk above 1 (a percentage, or more events than
  // individuals) would give a standardized risk that is off by its factor,
  // shown without a word whenever the SMR is small enough.
  if (c.statistic == kStatRisk && c.reference_rate_constant > 1) {
    stop(kMsgReferenceRiskAboveOne, host::kStatusStatementError,
         {text_arg(given(c, kSlotRefRisk) ? kOptRefRisk : kOptRefEventTotal), number_arg(c.reference_rate_constant)});
  }
}

void copy_long_message(LongText& target, int number) {
  const std::string_view text = host::host_get_message_text(host::kMessageSetProcedure, number);
  target.length = static_cast<std::int16_t>(std::min<std::size_t>(text.size(), kLongTextCapacity));
  std::memcpy(target.text, text.data(), static_cast<std::size_t>(target.length));
}

// The reference strata variables, found by name; the open status must say
// the data set is usable, and it must not be the population data set.
std::vector<int> find_reference_strata(ProcContext& c) {
  std::vector<int> numbers(static_cast<std::size_t>(c.strata_count));
  for (int i = 0; i < c.strata_count; ++i) {
    const VariableName& name = c.strata_variables[i].name;
    host::data_set_table().find_variable(c.reference.data, name.text, name.length, &numbers[i]);
    if (numbers[i] == 0) {
      host::host_issue_message(host::kMessageSetProcedure, kMsgStrataNotInReference,
                               {text_arg({name.text, static_cast<std::size_t>(name.length)}), text_arg(kOptRefData)});
      host::host_set_step_status(host::kStatusDataInvalid);
    }
  }
  std::uint32_t open_status = 0;
  host::data_set_table().get_attribute(c.reference.data, host::kAttributeOpenStatus, &open_status);
  if ((open_status & kOpenStatusSign) != 0 || (open_status & kOpenStatusLowMask) != 1) {
    host::host_set_step_status(static_cast<int>(open_status));
  }
  if (c.reference.data == c.population.data) stop(kMsgSameDataSet, host::kStatusDataInvalid);
  return numbers;
}

void resolve_reference_statement(ProcContext& c) {
  copy_long_message(c.reference_label, kMsgReferenceLabel);
  c.reference_multiplier = side_multiplier(c, kSlotReferenceMultiplier, kOptRateMult);
  c.reference_multiplier_applies = c.statistic == kStatRate ? 1 : 0;
  const bool risk = c.statistic == kStatRisk;
  keep_reference_variable(c, kRateValue, rate_slot(c, kSlotReferenceRate, kSlotReferenceRisk), risk ? kOptRisk : kOptRate);
  keep_reference_variable(c, kEventValue, kSlotReferenceEvent, kOptEvent);
  keep_reference_variable(c, kTotalValue, kSlotReferenceTotal, kOptTotal);
  set_availability(c.reference);
  resolve_reference_constants(c);
  if (!c.reference.available[kRateValue] && c.method == kMethodIndirect) {
    stop(kMsgNoReferenceRate, host::kStatusStatementError);
  }
  if (!c.reference.available[kTotalValue] && c.method == kMethodDirect) {
    stop(risk ? kMsgNoReferenceTotalRisk : kMsgNoReferenceTotalRate, host::kStatusStatementError);
  }
  const std::vector<int> strata = find_reference_strata(c);
  input::bind_reference_variables(c, strata.data());
}

}  // namespace

void resolve_data_sets(ProcContext& c) {
  resolve_data_set_presence(c);
  resolve_group(c);
  resolve_strata_variables(c);
  resolve_population_statement(c);
  if (c.method != kMethodMh) resolve_reference_statement(c);
  // Without strata the standardized estimates are the crude ones: most
  // likely a forgotten statement, so the log says so once for the step.
  if (c.strata_count == 0) note(kMsgNoStrata);
}

}  // namespace quilvar::syntax
