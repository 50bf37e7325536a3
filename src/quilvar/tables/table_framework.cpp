// The table framework shared by every table.
#include "quilvar/tables/table_framework.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "quilvar/entry/step_status.hpp"
#include "quilvar/host/calls.hpp"

namespace quilvar::tables {

namespace {

constexpr int kTypeCharacter = 2;
constexpr std::string_view kBestFormat = "BEST8.";
constexpr std::string_view kDefinitionStrata = "Strata";
constexpr std::string_view kDefinitionPopulation = "Population";
constexpr int kMsgSpanNormal = 62;
constexpr int kMsgSpanGamma = 63;
constexpr int kMsgSpanLognormal = 64;
constexpr int kMsgSpanPoisson = 65;

host::OutputItem counted(std::uint16_t attribute, std::string_view text) {
  return host::make_counted_text_item(attribute, text.data(), static_cast<std::int64_t>(text.size()));
}

void invoke(ProcContext& c, host::OdsObject* object, int method, std::initializer_list<host::OutputItem> items) {
  check_output_status(c, host::ods_invoke(object, nullptr, method, items));
}

// A column that stands for an input variable: named and labelled by the
// variable, with the stored template's column definition.
void define_variable_column(ProcContext& c, host::OdsObject* table, const VariableName& name, bool numeric,
                            const void* slot, int length, std::string_view definition) {
  const std::string_view text{name.text, static_cast<std::size_t>(name.length)};
  if (numeric) {
    invoke(c, table, host::kMethodDefineColumn,
           {host::make_int_item(host::kAttrColumnType, host::kColumnNumeric), counted(host::kAttrName, text),
            counted(host::kAttrLabel, text), host::make_bound_item(host::kAttrBoundVariable, slot),
            counted(host::kAttrFormat, kBestFormat), counted(host::kAttrTemplatePath, definition)});
    return;
  }
  invoke(c, table, host::kMethodDefineColumn,
         {host::make_int_item(host::kAttrColumnType, host::kColumnCharacter), counted(host::kAttrName, text),
          counted(host::kAttrLabel, text), host::make_bound_item(host::kAttrBoundVariable, slot),
          host::make_int_item(host::kAttrTextLength, length), counted(host::kAttrTemplatePath, definition)});
}

}  // namespace

host::OdsObject* create_template(ProcContext& c, std::string_view name, host::OdsText* label) {
  host::OdsObject* table = nullptr;
  const std::int32_t status = host::ods_invoke(
      c.output_manager, nullptr, host::kMethodCreate,
      {counted(host::kAttrOds, "ods"), counted(host::kAttrKind, "data"), host::make_result_item(host::kAttrResult, &table),
       host::make_int_item(host::kAttrAlwaysMinusOne, -1), counted(host::kAttrName, name),
       host::make_text_item(host::kAttrLabel, label)});
  check_output_status(c, status);
  return status < 0 ? nullptr : table;
}

void set_dynamic(ProcContext& c, host::OdsObject* table, std::string_view name, host::OdsText* value) {
  invoke(c, table, host::kMethodSetDynamic,
         {counted(host::kAttrDynamicName, name), host::make_text_item(host::kAttrDynamicValue, value)});
}

void set_dynamic(ProcContext& c, host::OdsObject* table, std::string_view name, std::string_view value) {
  invoke(c, table, host::kMethodSetDynamic, {counted(host::kAttrDynamicName, name), counted(host::kAttrDynamicValue, value)});
}

void define_numeric_column(ProcContext& c, host::OdsObject* table, std::string_view name, const double* slot) {
  invoke(c, table, host::kMethodDefineColumn,
         {host::make_int_item(host::kAttrColumnType, host::kColumnNumeric), counted(host::kAttrName, name),
          host::make_bound_item(host::kAttrBoundVariable, slot)});
}

void define_text_column(ProcContext& c, host::OdsObject* table, std::string_view name, const char* slot, int length) {
  invoke(c, table, host::kMethodDefineColumn,
         {host::make_int_item(host::kAttrColumnType, host::kColumnCharacter), counted(host::kAttrName, name),
          host::make_bound_item(host::kAttrBoundVariable, slot), host::make_int_item(host::kAttrTextLength, length)});
}

void end_definition(ProcContext& c, host::OdsObject* table) { invoke(c, table, host::kMethodEndDefinition, {}); }

void define_rate_mult_column(ProcContext& c, host::OdsObject* table) {
  if (c.statistic != kStatRate) return;
  c.row.rate_multiplier = c.multiplier_value;
  define_numeric_column(c, table, "RateMult", &c.row.rate_multiplier);
}

void define_population_column(ProcContext& c, host::OdsObject* table) {
  if (c.population_count != 2) return;
  const bool numeric = c.group.type != kTypeCharacter;
  const void* slot = numeric ? static_cast<const void*>(&c.row.population_number) : c.row.population_text;
  define_variable_column(c, table, c.group.name, numeric, slot, c.group.length, kDefinitionPopulation);
}

void define_stratum_index_column(ProcContext& c, host::OdsObject* table) {
  define_numeric_column(c, table, "StratumIndex", &c.row.stratum_index);
}

void define_strata_columns(ProcContext& c, host::OdsObject* table, bool formatted_case) {
  for (int i = 0; i < c.strata_count; ++i) {
    const KeyVariable& v = c.strata_variables[i];
    if (formatted_case && c.strata_order == kOrderFormatted) {
      define_variable_column(c, table, v.name, false, c.strata_formatted_key + v.formatted_offset, v.formatted_width,
                             kDefinitionStrata);
    } else if (v.type != kTypeCharacter) {
      define_variable_column(c, table, v.name, true, &c.strata_numeric_key[i], 0, kDefinitionStrata);
    } else {
      define_variable_column(c, table, v.name, false, c.strata_raw_key + v.raw_offset, v.length, kDefinitionStrata);
    }
  }
}

void set_span_cl(ProcContext& c, host::OdsObject* table, int cl_type) {
  static constexpr int kSpanByType[] = {0, kMsgSpanNormal, kMsgSpanLognormal, kMsgSpanPoisson, kMsgSpanGamma,
                                        kMsgSpanGamma};
  if (cl_type <= kClNone || cl_type > kClGammaAverage) return;
  set_dynamic(c, table, "_SpanCL_", span_text(c, kSpanByType[cl_type]));
}

void open_table(ProcContext& c, host::OdsObject* table, std::string_view name) {
  // The stored template's path: the prefix and the table's name.
  std::array<char, kMaxTemplatePath> buffer;
  const std::size_t length = std::min(kTemplatePathPrefix.size() + name.size(), buffer.size());
  std::copy(kTemplatePathPrefix.begin(), kTemplatePathPrefix.end(), buffer.begin());
  std::copy_n(name.begin(), length - kTemplatePathPrefix.size(), buffer.begin() + kTemplatePathPrefix.size());
  const std::string_view path(buffer.data(), length);
  host::OdsObject* output = nullptr;
  host::OutputItem items[] = {host::make_result_item(host::kAttrPositional, &output),
                              host::make_handle_item(host::kAttrPositional, table), counted(host::kAttrTemplatePath, path)};
  const std::int32_t status = host::ods_invoke(c.output_manager, nullptr, host::kMethodOpenOutput, 3, items);
  check_output_status(c, status);
  c.tables.open_output = status < 0 ? nullptr : output;
}

void add_row(ProcContext& c, host::OdsObject* table) { invoke(c, table, host::kMethodAddRow, {}); }

void close_table(ProcContext& c, host::OdsObject* table) {
  invoke(c, table, host::kMethodEndRows, {host::make_int_item(host::kAttrEndMode, 1)});
  if (c.tables.open_output == nullptr) return;
  invoke(c, c.output_manager, host::kMethodCloseOutput, {host::make_handle_item(host::kAttrPositional, c.tables.open_output)});
  c.tables.open_output = nullptr;
}

void copy_population_value(ProcContext& c, int k) {
  if (c.population_count != 2) return;
  c.row.population_number = c.levels[k].raw_number;
  std::memcpy(c.row.population_text, c.levels[k].raw_text, static_cast<std::size_t>(c.group.length));
}

void copy_stratum_key(ProcContext& c, const StratumNode& node) {
  c.row.stratum_index = node.index;
  std::copy(node.numeric_key, node.numeric_key + c.strata_count, c.strata_numeric_key);
  std::memcpy(c.strata_formatted_key, node.formatted_key, static_cast<std::size_t>(c.strata_formatted_width));
  std::memcpy(c.strata_raw_key, node.raw_key, static_cast<std::size_t>(c.strata_raw_width));
}

void scale_rate(const ProcContext& c, double& value) {
  if (c.statistic == kStatRate && c.multiplier_exponent > 0 && !host::is_missing(value)) value *= c.multiplier_value;
}

host::OdsText* message_with_multiplier(const ProcContext& c, int number) {
  return host::ods_make_message_text(host::kMessageSetProcedure, number,
                                     {host::text_arg({c.multiplier_text, static_cast<std::size_t>(c.multiplier_text_length)})});
}

host::OdsText* message_text(int number) { return host::ods_make_message_text(host::kMessageSetProcedure, number); }

// A span header naming the confidence level in percent.
host::OdsText* span_text(const ProcContext& c, int number) {
  return host::ods_make_message_text(host::kMessageSetProcedure, number, {host::number_arg(confidence_percent(c.alpha))});
}

void copy_message_to_slot(char* slot, int capacity, int number) {
  std::fill(slot, slot + capacity, ' ');
  const std::string_view text = host::host_get_message_text(host::kMessageSetProcedure, number);
  std::memcpy(slot, text.data(), std::min<std::size_t>(text.size(), static_cast<std::size_t>(capacity)));
}

}  // namespace quilvar::tables
