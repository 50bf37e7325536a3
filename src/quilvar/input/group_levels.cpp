// GROUP= levels of a BY group: at most two populations, their labels and
// the column widths the tables use.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "quilvar/entry/step_status.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/host/text.hpp"
#include "quilvar/input/input_messages.hpp"
#include "quilvar/input/read_data.hpp"
#include "quilvar/input/read_loop.hpp"

namespace quilvar::input {

namespace {

constexpr int kTypeCharacter = 2;
constexpr int kMaxLevels = 2;

bool group_value_missing(const ProcContext& c) {
  if (c.group.type == kTypeCharacter) return host::trim_length(c.group_raw_text, c.group.length) == 0;
  return host::is_missing(c.group_raw_number);
}

// Compares the current observation's group value with a level by the
// group key order.
int compare_with_level(const ProcContext& c, const PopulationLevel& level) {
  if (c.group_order == kOrderFormatted) {
    return host::compare_values(c.group_formatted, level.formatted, c.group.formatted_width);
  }
  if (c.group.type == kTypeCharacter) return host::compare_values(c.group_raw_text, level.raw_text, c.group.length);
  return host::compare_values(&c.group_raw_number, &level.raw_number, -1);
}

void store_level(const ProcContext& c, PopulationLevel& level) {
  level.raw_number = c.group_raw_number;
  std::memcpy(level.formatted, c.group_formatted, static_cast<std::size_t>(c.group.formatted_width));
  std::memcpy(level.raw_text, c.group_raw_text, static_cast<std::size_t>(c.group.length));
}

// The rank of a formatted group value in the order the step first met it.
// DATA order ranks the levels over the whole step, not within each BY
// group, as it does strata: were a group whose rows start with the second
// level to list it first, its effects would compare the levels the other
// way round under the same columns, which the CSV file does not show.
int data_order_rank(ProcContext& c, const char* formatted) {
  const std::string_view value(formatted, static_cast<std::size_t>(c.group.formatted_width));
  if (const auto found = c.group_data_order.find(value); found != c.group_data_order.end()) return found->second;
  const int rank = static_cast<int>(c.group_data_order.size());
  c.group_data_order.emplace(std::string(value), rank);
  return rank;
}

// Whether the current group value comes before a level, given their
// comparison by the group key order.
bool comes_before(ProcContext& c, const PopulationLevel& level, int comparison) {
  if (c.group_order != kOrderData) return comparison < 0;
  return data_order_rank(c, c.group_formatted) < data_order_rank(c, level.formatted);
}

// Adds the current group value to the sorted (or first-seen) levels.
void add_level(ProcContext& c) {
  int position = c.level_count;
  for (int i = 0; i < c.level_count; ++i) {
    const int comparison = compare_with_level(c, c.levels[i]);
    if (comparison == 0) return;
    if (position == c.level_count && comes_before(c, c.levels[i], comparison)) position = i;
  }
  if (c.group_order == kOrderData) data_order_rank(c, c.group_formatted);
  if (c.level_count == kMaxLevels) {
    host::host_issue_message(host::kMessageSetProcedure, c.method == kMethodMh ? kMsgMhLevels : kMsgThirdLevel);
    host::host_set_step_status(host::kStatusDataInvalid);
    return;
  }
  for (int i = c.level_count; i > position; --i) c.levels[i] = c.levels[i - 1];
  store_level(c, c.levels[position]);
  ++c.level_count;
}

void append(LongText& text, std::string_view part) {
  const int n = std::min<int>(static_cast<int>(part.size()), kLongTextCapacity - text.length);
  std::memcpy(text.text + text.length, part.data(), static_cast<std::size_t>(n));
  text.length = static_cast<std::int16_t>(text.length + n);
}

std::string_view trimmed(const char* text, int length) {
  int start = 0;
  while (start < length && text[start] == ' ') ++start;
  return {text + start, static_cast<std::size_t>(host::trim_length(text + start, length - start))};
}

void build_level_labels(ProcContext& c) {
  for (int i = 0; i < c.level_count; ++i) {
    PopulationLevel& level = c.levels[i];
    const std::string_view value = trimmed(level.formatted, c.group.formatted_width);
    level.label.length = 0;
    append(level.label, {c.group.name.text, static_cast<std::size_t>(c.group.name.length)});
    append(level.label, "=");
    append(level.label, value);
    level.value_length = static_cast<int>(value.size());
  }
}

std::string_view message(int number) { return host::host_get_message_text(host::kMessageSetProcedure, number); }

void build_population_labels(ProcContext& c) {
  c.population_label_width = 0;
  for (int k = 0; k < c.population_count; ++k) {
    LongText& label = c.population_label[k];
    label.length = 0;
    if (c.population_count == 1) {
      append(label, message(kMsgPopulationLabel));
    } else if (c.method == kMethodDirect) {
      append(label, message(kMsgPopulationLabel));
      append(label, " (");
      append(label, {c.levels[k].label.text, static_cast<std::size_t>(c.levels[k].label.length)});
      append(label, ")");
    } else {
      append(label, {c.levels[k].label.text, static_cast<std::size_t>(c.levels[k].label.length)});
    }
    c.population_label_width = std::max<int>(c.population_label_width, label.length);
  }
}

void set_column_widths(ProcContext& c) {
  const int reference = static_cast<int>(message(kMsgReferenceLabel).size());
  c.population_column_width = c.population_count == 1 ? c.population_label[0].length : c.group.formatted_width;
  c.label_width = c.population_label_width;
  c.second_label_width = c.population_label_width;
  if (c.method == kMethodIndirect) {
    c.population_column_width = std::max(c.population_column_width, reference);
    c.label_width = std::max(c.label_width, reference);
    c.study_label = c.population_label[0];
  }
  if (c.method == kMethodDirect) c.second_label_width = std::max(c.second_label_width, reference);
}

// One GROUP= level: the step goes on with one population, which a note
// says; when effects of the two populations were asked for, they are lost,
// which a warning says instead.
void note_one_level(ProcContext& c) {
  if (c.effect_type == kEffectNone && c.strata_effect_type == kEffectNone && c.effect_plot_type == kEffectNone) {
    host::host_issue_message(host::kMessageSetProcedure, kMsgOneLevel);
    return;
  }
  host::host_issue_message(host::kMessageSetProcedure, kMsgOneLevelNoEffect);
  raise_step_status(c, host::kStatusWarning);
}

}  // namespace

int collect_group_levels(ProcContext& c) {
  c.level_count = 0;
  if (c.group_given) {
    std::fill(c.group_formatted, c.group_formatted + kLongTextCapacity, ' ');
    std::fill(c.group_raw_text, c.group_raw_text + kLongTextCapacity, ' ');
    // Only observations that are read into strata make populations: a
    // table's total row (its age group blank) under a GROUP= value of its
    // own, such as "All", is left out, not a third population.
    bool any_in_strata = false;
    const bool read = for_each_observation(c, c.population, [&c, &any_in_strata] {
      if (left_out_for_strata(c)) return;
      any_in_strata = true;
      if (!group_value_missing(c)) add_level(c);
    });
    if (!read) return 1;
    host::data_set_table().rewind_group(c.population.data, host::kRewindCode);
    // A group of such rows alone (a subtotal between BY groups) has no
    // populations to count; reading it finds nothing to use and says so.
    if (any_in_strata && c.method == kMethodMh && c.level_count != kMaxLevels) {
      host::host_issue_message(host::kMessageSetProcedure, kMsgMhLevels);
      host::host_set_step_status(host::kStatusDataInvalid);
    }
    if (any_in_strata && c.level_count < kMaxLevels) note_one_level(c);
    build_level_labels(c);
  }
  c.population_count = c.level_count == kMaxLevels ? 2 : 1;
  build_population_labels(c);
  set_column_widths(c);
  return 0;
}

}  // namespace quilvar::input
