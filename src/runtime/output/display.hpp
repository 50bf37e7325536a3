// The display form of a delivered object, shared by the listing and the HTML
// report: the title, the shown columns with their header texts, the spanning
// headers placed on levels, and every cell in its display format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/output/formats.hpp"
#include "runtime/output/model.hpp"

namespace quilvar::runtime::output {

inline constexpr std::size_t kColumnGap = 2;

struct DisplayColumn {
  std::size_t source = 0;  // the column's index in the table
  std::string header;
  std::vector<std::string> header_lines;  // the header wrapped to the width
  bool right_aligned = true;
  std::size_t width = 0;
  std::size_t start = 0;  // the position of its first character within a line
};

// A spanning header over the shown columns first..last. Level 0 is the line
// just above the column headers; a span covering another is above it. A text
// too long for its columns is wrapped into `lines` (at most two, the columns
// widened as needed); a single line is shown between dashes.
struct DisplaySpan {
  std::string text;
  std::vector<std::string> lines;
  std::size_t first = 0;
  std::size_t last = 0;
  int level = 0;

  // The listing lines the span takes: its text lines, and a line of dashes
  // under wrapped texts.
  std::size_t height() const { return lines.size() == 1 ? 1 : lines.size() + 1; }
};

struct DisplayTable {
  std::string title;
  std::vector<DisplayColumn> columns;
  std::vector<DisplaySpan> spans;
  int span_levels = 0;
  std::vector<std::size_t> level_heights;  // listing lines of each span level
  std::size_t header_lines = 0;
  std::size_t row_count = 0;
  // The texts of the cells, row after row, one per shown column, one after
  // another in cell_text; cell_ends[i] is where the i-th one ends.
  std::string cell_text;
  std::vector<std::uint32_t> cell_ends;

  std::string_view cell(std::size_t row, std::size_t column) const {
    const std::size_t index = row * columns.size() + column;
    const std::size_t begin = index == 0 ? 0 : cell_ends[index - 1];
    return std::string_view(cell_text).substr(begin, cell_ends[index] - begin);
  }
  // The width of the table's lines: its columns and the gaps between them.
  std::size_t width() const { return columns.empty() ? 0 : columns.back().start + columns.back().width; }
  std::size_t column_start(std::size_t column) const { return columns[column].start; }
  // The width from the start of one shown column to the end of a later one.
  std::size_t span_width(std::size_t first, std::size_t last) const {
    return columns[last].start + columns[last].width - columns[first].start;
  }
};

// The table as the listing and the report show it, after its stored template.
DisplayTable make_display_table(const Table& table);

// Makes display forms as make_display_table does, for a thread that shows
// many tables. A BY group's table repeats the last group's title, headers,
// spans and formats, so these are worked out again only when what they come
// from (the template, the columns, the dynamic variables) changed, and the
// column widths and wrapped lines only when the widest cells changed.
class DisplayMaker {
 public:
  // The display form, valid until the next call.
  const DisplayTable& make(const Table& table);

 private:
  // What the layout of a table depends on besides its cells.
  struct LayoutSource {
    std::string template_path;
    std::string name;
    std::string label;
    std::vector<ColumnDef> columns;  // names, labels, formats and types count
    std::vector<DynamicVariable> dynamic;
  };
  struct Layout {
    LayoutSource source;
    DisplayTable display;
    std::vector<DisplayFormat> formats;
    std::vector<std::size_t> header_widths;  // each shown column's width before its cells
    std::vector<std::size_t> cell_widths;    // the widths its cells needed when the layout was fitted,
    std::vector<std::size_t> fitted_widths;  // and the widths it was fitted to
    bool laid_out = false;                   // `display` holds the layout of `source`
    bool fitted = false;                     // the display's positions and wrapped lines are fitted
  };

  // The layout kept for the table's name and template (a new one when none
  // is); other layouts give back large cell storage.
  Layout& layout_for(const Table& table);
  static bool same_source(const LayoutSource& source, const Table& table);
  static void lay_out_again(const Table& table, Layout* layout);

  std::vector<Layout> layouts_;
};

// The header text of a table's column, as the listing shows it.
std::string column_header(const Table& table, std::size_t column);

// The name of a column's format: the one given with it, else the stored one.
std::string column_format_name(const ColumnDef& column);

// The title of a table: its stored template's header variable when set,
// else its label, else its name.
std::string table_title(const Table& table);

// Turns each control character of the text from `from` on (a line break or
// tab inside a value, a quoted field of the data, or DEL) into a blank, so
// that the value does not break a listing line or shift its columns.
void blank_control_characters(std::string* text, std::size_t from = 0);

// "Area=North Year=2020", or empty without BY variables.
std::string by_line(const std::vector<ByValue>& by);

// Whether two lists of BY values name the same group: the same variables
// with the same values. Their BY lines may be alike when the groups are not
// ("North\nEast" and "North East" both show as "North East").
bool same_by_values(const std::vector<ByValue>& a, const std::vector<ByValue>& b);

// A BY value as it is shown: the text, or the number's shortest text.
std::string by_value_text(const ByValue& value);

// An information entry's value as it is shown.
std::string entry_display_text(const InfoEntry& entry);

// A dynamic variable's value as a text (numbers in their shortest form).
std::string value_text(const Value& value);

}  // namespace quilvar::runtime::output
