// Readers and bindings of the two data sets.
#include "quilvar/input/bind_variables.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "quilvar/host/calls.hpp"

namespace quilvar::input {

namespace {

constexpr int kKindNumber = 0;
constexpr int kKindFormatted = 4;
constexpr int kKindCharacters = 8;
constexpr int kDefaultFormattedWidth = 16;
constexpr int kTypeCharacter = 2;

// The variable numbers a side reads, in binding order.
std::vector<std::int32_t> selected_variables(const DataSide& side, const KeyVariable* group, const int* strata,
                                             int strata_count) {
  std::vector<std::int32_t> numbers;
  for (int v : side.variable) if (v > 0) numbers.push_back(v);
  if (group != nullptr) numbers.push_back(group->number);
  for (int i = 0; i < strata_count; ++i) numbers.push_back(strata[i]);
  return numbers;
}

host::Reader* create_reader(host::DataSet* data, int bindings) {
  host::Reader* reader = nullptr;
  if (host::data_set_table().create_reader(data, bindings, &reader) != 0 || reader == nullptr) {
    host::host_set_step_status(host::kStatusNoReader);
    return nullptr;
  }
  return reader;
}

void bind(host::Reader* reader, int number, void* buffer, int length, int kind) {
  host::data_set_table().bind_variable(reader, number, buffer, length, kind);
}

void bind_values(host::Reader* reader, DataSide& side) {
  for (int k = 0; k < kValueCount; ++k) {
    side.value[k] = host::kMissing;
    if (side.variable[k] > 0) bind(reader, side.variable[k], &side.value[k], sizeof(double), kKindNumber);
  }
}

// Binds a key variable's formatted value, then its raw value: characters
// for a character variable, the number otherwise.
void bind_key(host::Reader* reader, int number, const KeyVariable& shape, char* formatted, char* raw_text,
              double* raw_number) {
  bind(reader, number, formatted, shape.formatted_width, kKindFormatted);
  if (shape.type == kTypeCharacter) bind(reader, number, raw_text, shape.length, kKindCharacters);
  else bind(reader, number, raw_number, sizeof(double), kKindNumber);
}

void bind_strata(ProcContext& c, host::Reader* reader, const int* numbers) {
  for (int i = 0; i < c.strata_count; ++i) {
    const KeyVariable& v = c.strata_variables[i];
    bind_key(reader, numbers[i], v, c.strata_formatted_key + v.formatted_offset, c.strata_raw_key + v.raw_offset,
             &c.strata_numeric_key[i]);
  }
}

void bind_side(ProcContext& c, DataSide& side, const KeyVariable* group, const int* strata) {
  const auto& table = host::data_set_table();
  const std::vector<std::int32_t> numbers = selected_variables(side, group, strata, c.strata_count);
  table.reset_selection(side.data);
  table.select_variables(side.data, host::kSelectCode, numbers.data(), static_cast<int>(numbers.size()));
  const int bindings = static_cast<int>(numbers.size()) + (group != nullptr ? 1 : 0) + c.strata_count;
  side.reader = create_reader(side.data, bindings);
  if (side.reader == nullptr) return;
  bind_values(side.reader, side);
  if (group != nullptr) {
    bind_key(side.reader, group->number, *group, c.group_formatted, c.group_raw_text, &c.group_raw_number);
  }
  bind_strata(c, side.reader, strata);
  table.finish_bindings(side.reader);
}

}  // namespace

void describe_variable(host::DataSet* data, int number, KeyVariable& variable) {
  host::VariableInfo info{};
  host::data_set_table().get_variable_info(data, number, &info);
  variable.number = number;
  variable.type = info.type;
  variable.length = info.length;
  variable.formatted_width = info.has_format ? info.format_width
                                             : (info.type == kTypeCharacter ? info.length : kDefaultFormattedWidth);
  variable.formatted_width = std::max(variable.formatted_width, 1);
  variable.name.length = static_cast<std::int16_t>(std::min(info.name_length, kNameCapacity));
  std::memcpy(variable.name.text, info.name, static_cast<std::size_t>(variable.name.length));
  variable.name.text[variable.name.length] = 0;
  variable.label.length = static_cast<std::int16_t>(std::min(info.label_length, kLongTextCapacity));
  if (info.label != nullptr) std::memcpy(variable.label.text, info.label, static_cast<std::size_t>(variable.label.length));
}

void bind_population_variables(ProcContext& c) {
  std::vector<int> strata(static_cast<std::size_t>(c.strata_count));
  for (int i = 0; i < c.strata_count; ++i) strata[i] = c.strata_variables[i].number;
  bind_side(c, c.population, c.group_given ? &c.group : nullptr, strata.data());
}

void bind_reference_variables(ProcContext& c, const int* strata_numbers) {
  bind_side(c, c.reference, nullptr, strata_numbers);
}

}  // namespace quilvar::input
