// The delivered output objects: tables with their rows read from bound
// variables, information lists, and graphs bound to their data objects. Every
// destination reads these records; the service layer builds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/output/output.hpp"

namespace quilvar::runtime::output {

// One column as the module defined it.
struct ColumnDef {
  std::string name;
  std::string label;       // given with the column; empty when none was
  std::string format;      // given with the column, e.g. "BEST8."; empty when none was
  std::string definition;  // the stored template's column it stands for ("Strata", ...)
  bool numeric = true;
  const void* bound = nullptr;  // the module's variable, read at each row
  std::int32_t length = 0;      // character columns: bytes read from the variable
};

// A dynamic variable's or an information entry's value: a text or a number.
struct Value {
  bool numeric = false;
  double number = 0.0;
  std::string text;
};

struct DynamicVariable {
  std::string name;
  Value value;
};

// One cell of a row: the number of a numeric column, or the place of a
// character column's text in the table's text store.
struct Cell {
  double number;
  std::uint32_t text_offset;
  std::uint32_t text_length;
};

struct StepInfo {
  int index = 0;  // 1 for the run's first step
  std::string title;
  std::string procedure_label;
  std::optional<int> status;  // set when the step ends
  // Set when the step ends: its first warnings and errors as logged, and
  // how many more there were.
  std::vector<std::string> messages;
  int more_messages = 0;
};

// What every delivered object carries besides its contents.
struct Origin {
  const StepInfo* step = nullptr;
  std::vector<ByValue> by;
  std::string group_name;
  std::string group_label;
};

struct Table {
  std::string name;
  std::string label;
  std::string second_label;
  std::string template_path;
  Origin origin;
  std::vector<DynamicVariable> dynamic;
  std::shared_ptr<const std::vector<ColumnDef>> columns;
  std::vector<Cell> cells;  // row after row, one cell per column
  std::string texts;        // the character cells' texts, back to back
  bool graph_data = false;  // a graph's data object rather than a table

  std::size_t column_count() const { return columns->size(); }
  std::size_t row_count() const { return columns->empty() ? 0 : cells.size() / columns->size(); }
  const Cell& cell(std::size_t row, std::size_t column) const { return cells[row * columns->size() + column]; }
  std::string_view text(const Cell& cell) const {
    return std::string_view(texts).substr(cell.text_offset, cell.text_length);
  }
};

struct InfoEntry {
  std::string label;
  Value value;
  int decimals = 0;  // shown with this many decimals when numeric
};

struct InfoList {
  std::string name;
  std::string label;
  std::string second_label;
  std::string template_path;
  Origin origin;
  std::vector<InfoEntry> entries;
};

struct Graph {
  std::string name;
  std::string label;
  std::string description;
  std::string template_path;  // the graph template; empty for data never bound to one
  Origin origin;
  std::vector<std::unique_ptr<Table>> data;
};

// The value of a dynamic variable named `name` (case-insensitive), or null.
const Value* find_dynamic(const std::vector<DynamicVariable>& variables, std::string_view name);

// True when the names are equal ignoring ASCII case.
bool same_name(std::string_view a, std::string_view b);

}  // namespace quilvar::runtime::output
