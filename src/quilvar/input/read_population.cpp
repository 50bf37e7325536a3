// Reading the population and reference observations of a BY group into the
// stratum tree.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "quilvar/entry/step_status.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/host/text.hpp"
#include "quilvar/input/input_messages.hpp"
#include "quilvar/input/read_data.hpp"
#include "quilvar/input/read_loop.hpp"
#include "quilvar/input/stratum_tree.hpp"

namespace quilvar::input {

namespace {

using host::text_arg;
using host::number_arg;
constexpr int kTypeCharacter = 2;

bool present(double x) { return !host::is_missing(x); }

void clear_node(const ProcContext& c, StratumNode& node) {
  double* numbers[] = {&node.reference_events, &node.reference_population, &node.reference_rate,
                       &node.reference_proportion, &node.smr, &node.smr_std_error, &node.smr_lower,
                       &node.smr_upper, &node.index};
  for (double* x : numbers) *x = host::kMissing;
  for (PopulationCell& cell : node.cell) {
    cell = PopulationCell{host::kMissing, host::kMissing, host::kMissing, host::kMissing,
                          host::kMissing, host::kMissing, host::kMissing, host::kMissing};
  }
  node.absent[0] = node.absent[1] = 0;
  node.count_blank[0] = node.count_blank[1] = 0;
  node.population_blank[0] = node.population_blank[1] = 0;
  node.reference_count_blank = node.reference_population_blank = 0;
  node.rates_differ[0] = node.rates_differ[1] = node.reference_rates_differ = 0;
  node.first = node.second = nullptr;
  node.balance = 0;
  node.label.length = 0;
  std::fill(node.data_order_key, node.data_order_key + c.strata_count, host::kMissing);
}

// A new node with its key buffers in the same pool block.
StratumNode* new_node(ProcContext& c) {
  const std::size_t doubles = sizeof(double) * static_cast<std::size_t>(c.strata_count);
  const std::size_t size = sizeof(StratumNode) + 2 * doubles + static_cast<std::size_t>(c.strata_formatted_width) +
                           static_cast<std::size_t>(c.strata_raw_width) + 16;
  auto* block = static_cast<char*>(host::pool_allocate(c.pool, size, host::kPoolAllocate));
  auto* node = reinterpret_cast<StratumNode*>(block);
  node->data_order_key = reinterpret_cast<double*>(block + sizeof(StratumNode));
  node->numeric_key = node->data_order_key + c.strata_count;
  node->formatted_key = reinterpret_cast<char*>(node->numeric_key + c.strata_count);
  node->raw_key = node->formatted_key + c.strata_formatted_width;
  clear_node(c, *node);
  return node;
}

// The node the next observation is read into: a node of an earlier BY
// group when one is free, so memory does not grow with the number of groups.
StratumNode& spare_node(ProcContext& c) {
  if (c.spare_node != nullptr) return *c.spare_node;
  if (c.free_nodes != nullptr) {
    c.spare_node = c.free_nodes;
    c.free_nodes = c.free_nodes->first;
    clear_node(c, *c.spare_node);
  } else {
    c.spare_node = new_node(c);
  }
  return *c.spare_node;
}

// Hands the previous BY group's strata to the free list. After the tree
// became a list, every node is reachable through its first link.
void recycle_strata(ProcContext& c) {
  StratumNode* node = c.strata;
  while (node != nullptr) {
    StratumNode* next = node->first;
    node->first = c.free_nodes;
    c.free_nodes = node;
    node = next;
  }
  c.strata = nullptr;
}

bool strata_value_missing(const ProcContext& c) {
  for (int i = 0; i < c.strata_count; ++i) {
    const KeyVariable& v = c.strata_variables[i];
    const bool missing = v.type == kTypeCharacter ? host::trim_length(c.strata_raw_key + v.raw_offset, v.length) == 0
                                                  : host::is_missing(c.strata_numeric_key[i]);
    if (missing) return true;
  }
  return false;
}

// The 1-based first-appearance index of a formatted value; new values are
// appended to the variable's list, which lives for the whole step.
double data_order_index(ProcContext& c, int i) {
  const KeyVariable& v = c.strata_variables[i];
  const std::size_t width = static_cast<std::size_t>(v.formatted_width);
  const std::string_view value(c.strata_formatted_key + v.formatted_offset, width);
  if (c.data_order_lookup.size() < static_cast<std::size_t>(c.strata_count)) {
    c.data_order_lookup.resize(static_cast<std::size_t>(c.strata_count));
  }
  DataOrderLookup& lookup = c.data_order_lookup[static_cast<std::size_t>(i)];
  if (const auto found = lookup.entries.find(value); found != lookup.entries.end()) return found->second->index;
  // The entry keeps the whole formatted value, however wide, so that two
  // long values that agree in their first characters stay two levels.
  auto* entry = static_cast<DataOrderEntry*>(host::pool_allocate(c.pool, sizeof(DataOrderEntry) + width, host::kPoolAllocate));
  entry->formatted = reinterpret_cast<char*>(entry + 1);
  std::memcpy(entry->formatted, value.data(), width);
  entry->index = lookup.last != nullptr ? lookup.last->index + 1 : 1;
  (lookup.last != nullptr ? lookup.last->next : c.data_order_lists[i]) = entry;
  lookup.last = entry;
  lookup.entries.emplace(std::string(value), entry);
  return entry->index;
}

void copy_key(ProcContext& c, StratumNode& node) {
  if (c.strata_order == kOrderData) {
    for (int i = 0; i < c.strata_count; ++i) node.data_order_key[i] = data_order_index(c, i);
  }
  std::copy(c.strata_numeric_key, c.strata_numeric_key + c.strata_count, node.numeric_key);
  std::memcpy(node.formatted_key, c.strata_formatted_key, static_cast<std::size_t>(c.strata_formatted_width));
  std::memcpy(node.raw_key, c.strata_raw_key, static_cast<std::size_t>(c.strata_raw_width));
}

void stop_invalid(int number, std::initializer_list<host::MessageArg> args) {
  host::host_issue_message(host::kMessageSetProcedure, number, args);
  host::host_set_step_status(host::kStatusDataInvalid);
}

// Names where events exceed the total: the stratum, or without strata
// variables the data side.
// The stratum of an observation with more events than individuals, or,
// without STRATA variables, its two values ("EVENT=12, TOTAL=10"), written
// into `values`, which must outlive the message.
host::MessageArg where_arg(const ProcContext& c, const LongText& label, double events, double total,
                           std::string& values) {
  if (c.strata_count > 0) return text_arg({label.text, static_cast<std::size_t>(label.length)});
  char number[32];
  values.assign(kOptionEvent);
  values.append(number, std::to_chars(number, number + sizeof number, events).ptr);
  values.append(", ").append(kOptionTotal);
  values.append(number, std::to_chars(number, number + sizeof number, total).ptr);
  return text_arg(values);
}

// Checks the observation's values; stops the step on the first bad one.
void validate_values(const ProcContext& c, const DataSide& side, std::string_view word) {
  const double events = side.value[kEventValue];
  const double total = side.value[kTotalValue];
  const double rate = side.value[kRateValue];
  const std::string_view rate_option = c.statistic == kStatRisk ? kOptionRisk : kOptionRate;
  if (present(events) && events < 0) stop_invalid(kMsgNegative, {text_arg(kOptionEvent), text_arg(word)});
  if (present(total) && total <= 0) stop_invalid(kMsgTotalNotPositive, {text_arg(kOptionTotal), text_arg(word)});
  if (present(rate) && rate < 0) stop_invalid(kMsgNegative, {text_arg(rate_option), text_arg(word)});
  if (c.statistic != kStatRisk) return;
  if (present(events) && present(total) && events > total) {
    LongText label{};
    build_stratum_label(c, label);
    std::string values;
    stop_invalid(kMsgEventsAboveTotal, {text_arg(kOptionEvent), text_arg(kOptionTotal), text_arg(word),
                                        where_arg(c, label, events, total, values)});
  }
  if (present(rate) && rate > 1) stop_invalid(kMsgRiskAboveOne, {text_arg(kOptionRisk), text_arg(word)});
}

// A rate or risk that an observation gives beside its event count and total
// is not used, but where another observation leaves its count (or total)
// blank, the count is derived from its rate. Rates written per another
// multiplier than the one assumed (a published table's rates per 1,000 read
// per 100,000), or risks written as percentages, would give such counts off
// by that factor without a word; they show where the rate disagrees with
// the count and total beside it. A factor of 5 or more cannot come from
// rounding the rate (a rate rounded to 0 is not compared), so the step warns
// at the first such observation of each data set.
void check_rate_agreement(ProcContext& c, const DataSide& side, double multiplier, bool applies, int which,
                          std::string_view word) {
  constexpr double kLargestRoundingFactor = 5;
  const double events = side.value[kEventValue];
  const double total = side.value[kTotalValue];
  double rate = side.value[kRateValue];
  if (c.rate_disagreement_noted[which] != 0 || !present(events) || !present(total) || !present(rate)) return;
  if (!(events > 0) || !(total > 0) || !(rate > 0)) return;
  if (applies) rate /= multiplier;
  const double factor = rate / (events / total);
  if (!std::isfinite(factor) || (factor < kLargestRoundingFactor && factor > 1 / kLargestRoundingFactor)) return;
  // Two significant digits say the factor (100, 0.01, 0.25) well enough.
  const double scale = std::pow(10.0, std::floor(std::log10(factor)) - 1);
  const std::string_view option = c.statistic == kStatRisk ? kOptionRisk : kOptionRate;
  host::host_issue_message(host::kMessageSetProcedure, kMsgRateDisagrees,
                           {text_arg(option), text_arg(word), number_arg(std::round(factor / scale) * scale)});
  raise_step_status(c, host::kStatusWarning);
  c.rate_disagreement_noted[which] = 1;
}

// The observation's events, total and rate; a missing count or total
// derived from the other two when they are present (whether two or all
// three variables were named: a count left blank beside its rate and
// population, as published tables leave small counts, still counts).
void observation_values(const DataSide& side, double multiplier, bool applies, double out[kValueCount]) {
  std::copy(side.value, side.value + kValueCount, out);
  if (present(out[kRateValue]) && applies) out[kRateValue] /= multiplier;
  if (!present(out[kEventValue]) && present(out[kTotalValue]) && out[kTotalValue] > 0 && present(out[kRateValue]) &&
      out[kRateValue] >= 0) {
    out[kEventValue] = out[kTotalValue] * out[kRateValue];
  }
  // With 0 events a derived total would be 0, which no later check catches.
  if (!present(out[kTotalValue]) && present(out[kEventValue]) && out[kEventValue] > 0 && present(out[kRateValue]) &&
      out[kRateValue] > 0) {
    out[kTotalValue] = out[kEventValue] / out[kRateValue];
  }
}

// The population an observation belongs to: 0 with one population, else
// the level with the same formatted value; -1 when it matches neither.
int population_index(const ProcContext& c) {
  if (c.population_count == 1) return 0;
  for (int k = 0; k < c.population_count; ++k) {
    if (std::memcmp(c.levels[k].formatted, c.group_formatted, static_cast<std::size_t>(c.group.formatted_width)) == 0) {
      return k;
    }
  }
  return -1;
}

void accumulate_population(StratumNode& into, const PopulationCell& from, int k) {
  PopulationCell& cell = into.cell[k];
  host::add_present(cell.events, from.events);
  host::add_present(cell.population, from.population);
  if (!present(cell.estimate)) {
    cell.estimate = from.estimate;
  } else if (present(from.estimate) && from.estimate != cell.estimate) {
    into.rates_differ[k] = 1;
  }
}

void read_population_observation(ProcContext& c) {
  StratumNode& spare = spare_node(c);
  if (left_out_for_strata(c)) {
    ++c.left_out_strata;
    return;
  }
  const int k = population_index(c);
  if (k < 0) {
    ++c.left_out_group;
    return;
  }
  validate_values(c, c.population, kWordPopulation);
  check_rate_agreement(c, c.population, c.population_multiplier, c.population_multiplier_applies != 0, 0,
                       kWordPopulation);
  double values[kValueCount];
  observation_values(c.population, c.population_multiplier, c.population_multiplier_applies != 0, values);
  PopulationCell& cell = spare.cell[k];
  cell.events = values[kEventValue];
  cell.population = values[kTotalValue];
  cell.estimate = values[kRateValue];
  const int count_blank = present(cell.events) ? 0 : 1;
  const int population_blank = present(cell.population) ? 0 : 1;
  copy_key(c, spare);
  StratumNode* node = insert_stratum(c, &c.strata, &spare);
  if (node == nullptr) return;
  if (node == &spare) {
    build_stratum_label(c, spare.label);
    if (c.method == kMethodDirect) spare.absent[0] = spare.absent[1] = 1;
    spare.absent[k] = 0;
    spare.count_blank[k] = count_blank;
    spare.population_blank[k] = population_blank;
    c.spare_node = nullptr;
    return;
  }
  accumulate_population(*node, cell, k);
  node->absent[k] = 0;
  node->count_blank[k] |= count_blank;
  node->population_blank[k] |= population_blank;
  clear_node(c, spare);
}

void read_reference_observation(ProcContext& c) {
  StratumNode& spare = spare_node(c);
  build_stratum_label(c, spare.label);
  if (left_out_for_strata(c)) return;
  validate_values(c, c.reference, kWordReference);
  check_rate_agreement(c, c.reference, c.reference_multiplier, c.reference_multiplier_applies != 0, 1,
                       kWordReference);
  double values[kValueCount];
  observation_values(c.reference, c.reference_multiplier, c.reference_multiplier_applies != 0, values);
  spare.reference_events = values[kEventValue];
  spare.reference_population = values[kTotalValue];
  spare.reference_rate = values[kRateValue];
  const int count_blank = present(values[kEventValue]) ? 0 : 1;
  const int population_blank = present(values[kTotalValue]) ? 0 : 1;
  spare.reference_count_blank = count_blank;
  spare.reference_population_blank = population_blank;
  copy_key(c, spare);
  StratumNode* node = insert_stratum(c, &c.strata, &spare);
  if (node == nullptr) return;
  if (node == &spare) {
    const host::MessageArg label = text_arg({spare.label.text, static_cast<std::size_t>(spare.label.length)});
    if (c.method == kMethodIndirect) stop_invalid(kMsgIndirectNewStratum, {label});
    host::host_issue_message(host::kMessageSetProcedure, kMsgDirectNewStratum, {label});
    raise_step_status(c, host::kStatusWarning);
    spare.absent[0] = spare.absent[1] = 1;
    c.spare_node = nullptr;
    return;
  }
  host::add_present(node->reference_events, values[kEventValue]);
  host::add_present(node->reference_population, values[kTotalValue]);
  node->reference_count_blank |= count_blank;
  node->reference_population_blank |= population_blank;
  // A later observation's rate replaces the stored one; a missing rate does
  // not wipe out a rate already read.
  if (present(values[kRateValue])) {
    if (present(node->reference_rate) && node->reference_rate != values[kRateValue]) node->reference_rates_differ = 1;
    node->reference_rate = values[kRateValue];
  }
  clear_node(c, spare);
}

void blank_keys(ProcContext& c) {
  std::fill(c.strata_formatted_key, c.strata_formatted_key + c.strata_formatted_width, ' ');
  std::fill(c.strata_raw_key, c.strata_raw_key + c.strata_raw_width, ' ');
  std::fill(c.strata_numeric_key, c.strata_numeric_key + c.strata_count, host::kMissing);
}

std::string_view trimmed(const char* text, int length) {
  int start = 0;
  while (start < length && text[start] == ' ') ++start;
  return {text + start, static_cast<std::size_t>(host::trim_length(text + start, length - start))};
}

// Appends a part to the label when it fits whole; returns whether it did.
bool append_whole(LongText& label, std::string_view part) {
  if (label.length + static_cast<int>(part.size()) > kLongTextCapacity) return false;
  std::memcpy(label.text + label.length, part.data(), part.size());
  label.length = static_cast<std::int16_t>(label.length + part.size());
  return true;
}

}  // namespace

bool left_out_for_strata(const ProcContext& c) { return c.missing_levels == 0 && strata_value_missing(c); }

void build_stratum_label(const ProcContext& c, LongText& label) {
  label.length = 0;
  for (int i = 0; i < c.strata_count; ++i) {
    const KeyVariable& v = c.strata_variables[i];
    const std::string_view name{v.name.text, static_cast<std::size_t>(v.name.length)};
    if (i > 0 && label.length + 1 + static_cast<int>(name.size()) > kLongTextCapacity) return;
    if (i > 0) append_whole(label, " ");
    if (!append_whole(label, name)) return;
    if (!append_whole(label, "=")) return;
    if (!append_whole(label, trimmed(c.strata_formatted_key + v.formatted_offset, v.formatted_width))) return;
  }
}

int read_population(ProcContext& c) {
  blank_keys(c);
  std::fill(c.population.value, c.population.value + kValueCount, host::kMissing);
  recycle_strata(c);
  if (c.data_order_lists == nullptr) {
    c.data_order_lists = static_cast<DataOrderEntry**>(host::pool_allocate(
        c.pool, sizeof(DataOrderEntry*) * static_cast<std::size_t>(c.strata_count + 1), host::kPoolAllocate));
  }
  // Every observation has at most as many events as individuals, and so
  // has every stratum whose sums are known: a stratum of which some
  // observation leaves its count or total blank has unknown sums instead.
  return for_each_observation(c, c.population, [&c] { read_population_observation(c); }) ? 0 : 1;
}

int read_reference(ProcContext& c) {
  if (host::data_set_table().match_by_group(c.population.data, c.reference.data) != 0) {
    // Only this BY group is lost; the next one may have reference data.
    host::host_issue_message(host::kMessageSetProcedure, kMsgNoReferenceGroup, {text_arg(kOptionRefData)});
    raise_step_status(c, host::kStatusDataInvalid);
    return 1;
  }
  blank_keys(c);
  std::fill(c.reference.value, c.reference.value + kValueCount, host::kMissing);
  return for_each_observation(c, c.reference, [&c] { read_reference_observation(c); }) ? 0 : 1;
}

void note_left_out_observations(const ProcContext& c) {
  if (c.left_out_strata > 0) {
    host::host_issue_message(host::kMessageSetProcedure, kMsgLeftOutStrata,
                             {number_arg(static_cast<double>(c.left_out_strata))});
  }
  if (c.left_out_group > 0) {
    host::host_issue_message(host::kMessageSetProcedure, kMsgLeftOutGroup,
                             {number_arg(static_cast<double>(c.left_out_group))});
  }
}

}  // namespace quilvar::input
