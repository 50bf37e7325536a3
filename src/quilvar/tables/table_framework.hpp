// How every table is described to the output system and produced: a
// template of kind "data" with columns bound to the context's row slots and
// dynamic variables for the headers, an output object opened from it, rows
// added from the slots' current values, then closed. Each request's status
// goes to check_output_status; the table code itself does not stop.
#pragma once

#include <string_view>

#include "quilvar/entry/proc_context.hpp"
#include "quilvar/input/stratum_node.hpp"

namespace quilvar::tables {

inline constexpr std::string_view kTemplatePathPrefix = "Vesk.Quilvar.";
// Longer than any stored template's path (the prefix and a table name).
inline constexpr std::size_t kMaxTemplatePath = 128;

// Creates a template named `name` with the label text; returns its handle
// (null when the output system refused it).
host::OdsObject* create_template(ProcContext& context, std::string_view name, host::OdsText* label);

void set_dynamic(ProcContext& context, host::OdsObject* table, std::string_view name, host::OdsText* value);
void set_dynamic(ProcContext& context, host::OdsObject* table, std::string_view name, std::string_view value);

void define_numeric_column(ProcContext& context, host::OdsObject* table, std::string_view name, const double* slot);
void define_text_column(ProcContext& context, host::OdsObject* table, std::string_view name, const char* slot,
                        int length);
void end_definition(ProcContext& context, host::OdsObject* table);

// Common column groups.
void define_rate_mult_column(ProcContext& context, host::OdsObject* table);
void define_population_column(ProcContext& context, host::OdsObject* table);
void define_stratum_index_column(ProcContext& context, host::OdsObject* table);
// One column per strata variable; with `formatted_case` the strata kept by
// formatted values are shown as their formatted texts.
void define_strata_columns(ProcContext& context, host::OdsObject* table, bool formatted_case);
// The spanning header over the limit columns for a limit type (none for NONE).
void set_span_cl(ProcContext& context, host::OdsObject* table, int cl_type);

// Opens the output object of `table` under the template path of `name`,
// adds rows, and ends and delivers it.
void open_table(ProcContext& context, host::OdsObject* table, std::string_view name);
void add_row(ProcContext& context, host::OdsObject* table);
void close_table(ProcContext& context, host::OdsObject* table);

// Copies population k's value into the population slot.
void copy_population_value(ProcContext& context, int k);
// Copies a stratum's index and key images into the row and key buffers.
void copy_stratum_key(ProcContext& context, const StratumNode& node);
// Multiplies a present rate by the rate multiplier (RATE only).
void scale_rate(const ProcContext& context, double& value);

// A message of set 908 as a text value, with the multiplier text inserted.
host::OdsText* message_with_multiplier(const ProcContext& context, int number);
host::OdsText* message_text(int number);
// A limit-type span text with the confidence level (1 - alpha)·100 inserted.
host::OdsText* span_text(const ProcContext& context, int number);
// Copies a catalog message into a blank-filled text slot.
void copy_message_to_slot(char* slot, int capacity, int number);

}  // namespace quilvar::tables
