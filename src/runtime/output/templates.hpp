// The stored table templates, keyed by template path: where a table's title
// comes from, its spanning headers, header texts, hidden columns and number
// formats. Column names in rules may be lists separated by '|' (the first
// present column is meant).
#pragma once

#include <span>
#include <string_view>

#include "runtime/output/formats.hpp"

namespace quilvar::runtime::output {

// The header text and display format of a column, by its name.
struct ColumnStyle {
  std::string_view name;
  std::string_view header;
  DisplayFormat format;
};

// A spanning header over the columns from `start` to `end`. Each part is
// either named by a dynamic variable (its value is the text or the column
// name) or fixed here; the variable wins when the template sets it.
struct SpanRule {
  std::string_view text_variable;
  std::string_view text;
  std::string_view start_variable;
  std::string_view start;
  std::string_view end_variable;
  std::string_view end;
};

// A header text for the listed columns: a dynamic variable's value when set,
// else the fixed text (when not empty).
struct HeaderRule {
  std::string_view columns;
  std::string_view variable;
  std::string_view text;
};

struct TableTemplate {
  std::string_view path;
  std::string_view title_variable;  // empty: the object's label is the title
  std::span<const SpanRule> spans;  // outer spans before inner ones of equal range
  std::span<const HeaderRule> headers;
  std::string_view hidden;  // columns left out of the listing and the report
  bool graph_data = false;  // the data object of a graph
};

// The stored template for a path (case-insensitive), or null.
const TableTemplate* find_table_template(std::string_view path);

// The style of a column name (case-insensitive), or null.
const ColumnStyle* find_column_style(std::string_view name);

// True when `name` is one of the '|'-separated names of `list`.
bool list_contains(std::string_view list, std::string_view name);

}  // namespace quilvar::runtime::output
