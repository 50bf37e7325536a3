// Builds the display form of tables: header texts and formats from the stored
// template, spanning headers resolved from the dynamic variables and placed
// on levels, column widths that fit values, headers and spans.
#include "runtime/output/display.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>

#include "quilvar/host/missing.hpp"
#include "runtime/output/formats.hpp"
#include "runtime/output/templates.hpp"
#include "runtime/text/width.hpp"

namespace quilvar::runtime::output {
namespace {

using text::display_width;

// Headers longer than this are wrapped at blanks rather than widening a column.
constexpr std::size_t kHeaderWrapWidth = 10;
// A span's text has a blank and at least one dash on each side.
constexpr std::size_t kSpanDecoration = 4;
// A span text is wrapped only when one line would widen its columns by more.
constexpr std::size_t kSpanSlack = 4;
constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);
// Room reserved for the text of a cell, so that a table's texts rarely move.
constexpr std::size_t kTypicalCellLength = 10;
// The characters of a fixed text besides its decimals: "-0." at most, for
// the small values whose decimals a column widens to.
constexpr int kSignZeroAndPoint = 3;

std::string text_of_variable(const Table& table, std::string_view variable) {
  if (variable.empty()) return std::string();
  const Value* value = find_dynamic(table.dynamic, variable);
  return value == nullptr ? std::string() : value_text(*value);
}

std::string resolve_header(const Table& table, const TableTemplate* stored, const ColumnDef& column) {
  if (stored != nullptr) {
    for (const HeaderRule& rule : stored->headers) {
      if (!list_contains(rule.columns, column.name)) continue;
      // A numeric GROUP= value comes right-aligned in its formatted width;
      // its leading blanks are no part of the header.
      std::string text = text_of_variable(table, rule.variable);
      text.erase(0, std::min(text.find_first_not_of(' '), text.size()));
      if (text.empty()) text = std::string(rule.text);
      if (!text.empty()) return text;
    }
  }
  if (!column.label.empty()) return column.label;
  const ColumnStyle* style = find_column_style(column.name);
  return style != nullptr ? std::string(style->header) : column.name;
}

DisplayFormat resolve_format(const ColumnDef& column) {
  if (!column.numeric) return kTextFormat;
  DisplayFormat format;
  if (!column.format.empty() && parse_format(column.format, &format) && format.kind != FormatKind::kText) {
    return format;
  }
  const ColumnStyle* style = find_column_style(column.name);
  return style != nullptr && style->format.kind != FormatKind::kText ? style->format : kBest12;
}

// Calls visit(word) for each blank-separated word of the text.
template <class Visit>
void for_each_word(std::string_view text, Visit visit) {
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t start = text.find_first_not_of(' ', position);
    if (start == std::string_view::npos) break;
    const std::size_t end = std::min(text.find(' ', start), text.size());
    visit(text.substr(start, end - start));
    position = end;
  }
}

std::vector<std::string> wrap_words(const std::string& text, std::size_t width) {
  std::vector<std::string> lines;
  for_each_word(text, [&](std::string_view word) {
    if (!lines.empty() && display_width(lines.back()) + 1 + display_width(word) <= width) {
      lines.back() += ' ';
      lines.back() += word;
    } else {
      lines.emplace_back(word);
    }
  });
  return lines;
}

std::size_t longest_word(const std::string& text) {
  std::size_t longest = 0;
  for_each_word(text, [&](std::string_view word) { longest = std::max(longest, display_width(word)); });
  return longest;
}

std::size_t header_width(const std::string& header) {
  return std::max(longest_word(header), std::min(display_width(header), kHeaderWrapWidth));
}

void add_columns(const Table& table, const TableTemplate* stored, DisplayTable* display,
                 std::vector<DisplayFormat>* formats) {
  const std::vector<ColumnDef>& columns = *table.columns;
  for (std::size_t index = 0; index < columns.size(); ++index) {
    if (stored != nullptr && list_contains(stored->hidden, columns[index].name)) continue;
    DisplayColumn shown;
    shown.source = index;
    shown.header = resolve_header(table, stored, columns[index]);
    // A header from a value of the data (a GROUP= value) may hold a line
    // break or a tab, which would break the listing's header lines.
    blank_control_characters(&shown.header);
    shown.right_aligned = columns[index].numeric;
    shown.width = header_width(shown.header);
    display->columns.push_back(std::move(shown));
    formats->push_back(resolve_format(columns[index]));
  }
}

// True when `value` is not 0 but shows as zeros with `decimals` decimals.
bool shows_as_zero(double value, int decimals) {
  return value != 0 && std::fabs(value) < 0.5 * std::pow(10.0, -decimals);
}

void widen(DisplayFormat* format, int decimals) {
  format->decimals = decimals;
  format->width = std::max(format->width, decimals + kSignZeroAndPoint);
}

// The formats of the shown columns for this table's values. The columns of
// widening formats whose largest size asks for more decimals all take the
// fewest decimals any of them asks for, so that an estimate and its limits
// (a lower limit is often a decimal place smaller) line up alike. A column
// that would then show one of its values as zeros, where its own decimals
// show it (reference rates of 3E-7 beside crude rates of 0.002), keeps its
// own decimals: a real value never reads 0.000000. A column of zeros (the
// rates of a population without events) takes the common decimals too.
std::vector<DisplayFormat> formats_for_values(const Table& table, const DisplayTable& display,
                                              std::vector<DisplayFormat> formats) {
  struct Widened {
    std::size_t shown;
    int wanted;
    double smallest;  // the smallest size other than 0
  };
  std::vector<Widened> widened;
  std::vector<std::size_t> zeros;
  int decimals = std::numeric_limits<int>::max();
  for (std::size_t shown = 0; shown < formats.size(); ++shown) {
    if (!formats[shown].widens_for_small) continue;
    double largest = 0;
    double smallest = std::numeric_limits<double>::infinity();
    for (std::size_t row = 0; row < table.row_count(); ++row) {
      const double number = std::fabs(table.cell(row, display.columns[shown].source).number);
      if (!std::isfinite(number)) continue;
      largest = std::max(largest, number);
      if (number > 0) smallest = std::min(smallest, number);
    }
    if (largest == 0) zeros.push_back(shown);
    const int wanted = decimals_for_largest(largest, formats[shown].decimals);
    if (wanted == formats[shown].decimals) continue;
    widened.push_back(Widened{shown, wanted, smallest});
    decimals = std::min(decimals, wanted);
  }
  for (const Widened& column : widened) {
    const bool keeps_own = shows_as_zero(column.smallest, decimals) && !shows_as_zero(column.smallest, column.wanted);
    widen(&formats[column.shown], keeps_own ? column.wanted : decimals);
  }
  if (!widened.empty()) {
    for (const std::size_t shown : zeros) widen(&formats[shown], decimals);
  }
  return formats;
}

void add_cells(const Table& table, const std::vector<DisplayFormat>& column_formats, DisplayTable* display) {
  const std::vector<DisplayFormat> formats = formats_for_values(table, *display, column_formats);
  display->row_count = table.row_count();
  display->cell_ends.reserve(display->row_count * display->columns.size());
  std::string& text = display->cell_text;
  text.reserve(display->cell_ends.capacity() * kTypicalCellLength);
  for (std::size_t row = 0; row < display->row_count; ++row) {
    for (std::size_t shown = 0; shown < display->columns.size(); ++shown) {
      DisplayColumn& column = display->columns[shown];
      const Cell& cell = table.cell(row, column.source);
      const std::size_t begin = text.size();
      // A number's text is ASCII, a column a byte; a text value is measured
      // by the columns its letters take.
      std::size_t width = 0;
      if ((*table.columns)[column.source].numeric) {
        append_display(&text, cell.number, formats[shown]);
        width = text.size() - begin;
      } else {
        text.append(table.text(cell));
        blank_control_characters(&text, begin);
        width = display_width(std::string_view(text).substr(begin));
      }
      column.width = std::max(column.width, width);
      display->cell_ends.push_back(static_cast<std::uint32_t>(text.size()));
    }
  }
}

// The index of the first table column named in `names`, or kNotFound.
std::size_t find_source(const Table& table, std::string_view names) {
  if (names.empty()) return kNotFound;
  for (std::size_t index = 0; index < table.columns->size(); ++index) {
    if (list_contains(names, (*table.columns)[index].name)) return index;
  }
  return kNotFound;
}

std::size_t find_span_end(const Table& table, std::string_view variable, std::string_view fixed) {
  const std::string named = text_of_variable(table, variable);
  return find_source(table, named.empty() ? fixed : std::string_view(named));
}

// Resolves a rule to shown columns; false when its text or columns are absent.
bool resolve_span(const Table& table, const DisplayTable& display, const SpanRule& rule, DisplaySpan* span) {
  span->text = text_of_variable(table, rule.text_variable);
  if (span->text.empty()) span->text = std::string(rule.text);
  blank_control_characters(&span->text);
  std::size_t start = find_span_end(table, rule.start_variable, rule.start);
  std::size_t end = find_span_end(table, rule.end_variable, rule.end);
  if (span->text.empty() || start == kNotFound || end == kNotFound) return false;
  if (start > end) std::swap(start, end);
  span->first = kNotFound;
  for (std::size_t shown = 0; shown < display.columns.size(); ++shown) {
    const std::size_t source = display.columns[shown].source;
    if (source < start || source > end) continue;
    if (span->first == kNotFound) span->first = shown;
    span->last = shown;
  }
  return span->first != kNotFound;
}

// Places smaller spans first; a span goes one level above every placed span
// it overlaps. Of two spans over the same columns the earlier rule is outer.
void assign_levels(std::vector<DisplaySpan>* spans) {
  std::vector<std::size_t> order(spans->size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const std::size_t size_a = (*spans)[a].last - (*spans)[a].first;
    const std::size_t size_b = (*spans)[b].last - (*spans)[b].first;
    return size_a != size_b ? size_a < size_b : a > b;
  });
  for (std::size_t placed = 0; placed < order.size(); ++placed) {
    DisplaySpan& span = (*spans)[order[placed]];
    span.level = 0;
    for (std::size_t earlier = 0; earlier < placed; ++earlier) {
      const DisplaySpan& other = (*spans)[order[earlier]];
      if (other.first <= span.last && span.first <= other.last) span.level = std::max(span.level, other.level + 1);
    }
  }
}

void place_columns(DisplayTable* display) {
  std::size_t start = 0;
  for (DisplayColumn& column : display->columns) {
    column.start = start;
    start += column.width + kColumnGap;
  }
}

// Adds `extra` to the widths of the span's columns, shared out evenly (the
// later columns take the remainder).
void widen_span(DisplayTable* display, const DisplaySpan& span, std::size_t extra) {
  const std::size_t count = span.last - span.first + 1;
  for (std::size_t column = span.first; column <= span.last; ++column) {
    const std::size_t later = span.last - column;
    display->columns[column].width += extra / count + (later < extra % count ? 1 : 0);
  }
}

// The narrowest width, from `width` up, at which the text wraps into two
// lines with a blank on each side; 0 when one dashed line needs little more.
std::size_t two_line_width(const std::string& text, std::size_t width) {
  const std::size_t single = display_width(text) + kSpanDecoration;
  const std::size_t longest = longest_word(text);
  for (std::size_t candidate = width; candidate + kSpanSlack < single; ++candidate) {
    if (longest + 2 <= candidate && wrap_words(text, candidate - 2).size() <= 2) {
      return candidate;
    }
  }
  return 0;
}

// Fits each span's text: one dashed line when it fits (or nearly), else two
// wrapped lines; the columns under it are widened as needed.
void fit_spans(DisplayTable* display) {
  for (int level = 0; level < display->span_levels; ++level) {
    for (DisplaySpan& span : display->spans) {
      if (span.level != level) continue;
      place_columns(display);
      const std::size_t width = display->span_width(span.first, span.last);
      const std::size_t single = display_width(span.text) + kSpanDecoration;
      const std::size_t wrapped = width >= single ? 0 : two_line_width(span.text, width);
      span.lines = wrapped == 0 ? std::vector<std::string>{span.text} : wrap_words(span.text, wrapped - 2);
      const std::size_t target = wrapped == 0 ? single : wrapped;
      if (width < target) widen_span(display, span, target - width);
    }
  }
  display->level_heights.assign(static_cast<std::size_t>(display->span_levels), 0);
  for (const DisplaySpan& span : display->spans) {
    std::size_t& height = display->level_heights[static_cast<std::size_t>(span.level)];
    height = std::max(height, span.height());
  }
}

// The spans of the stored template's rules that apply, on their levels.
void add_spans(const Table& table, const TableTemplate* stored, DisplayTable* display) {
  if (stored == nullptr) return;
  for (const SpanRule& rule : stored->spans) {
    DisplaySpan span;
    if (resolve_span(table, *display, rule, &span)) display->spans.push_back(std::move(span));
  }
  assign_levels(&display->spans);
  for (const DisplaySpan& span : display->spans) display->span_levels = std::max(display->span_levels, span.level + 1);
}

void wrap_headers(DisplayTable* display) {
  display->header_lines = 0;
  for (DisplayColumn& column : display->columns) {
    column.header_lines = wrap_words(column.header, column.width);
    display->header_lines = std::max(display->header_lines, column.header_lines.size());
  }
}

// What does not depend on the cells: the title, the shown columns with their
// headers, header widths and formats, and the spans on their levels.
void lay_out(const Table& table, DisplayTable* display, std::vector<DisplayFormat>* formats) {
  const TableTemplate* stored = find_table_template(table.template_path);
  display->title = table_title(table);
  blank_control_characters(&display->title);
  add_columns(table, stored, display, formats);
  add_spans(table, stored, display);
}

// From the widths the cells need: span texts fitted (widening columns),
// column positions, and headers wrapped to the widths.
void fit_layout(DisplayTable* display) {
  fit_spans(display);
  place_columns(display);
  wrap_headers(display);
}

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

bool same_columns(const std::vector<ColumnDef>& known, const std::vector<ColumnDef>& columns) {
  return std::equal(known.begin(), known.end(), columns.begin(), columns.end(),
                    [](const ColumnDef& a, const ColumnDef& b) {
                      return a.numeric == b.numeric && a.name == b.name && a.label == b.label &&
                             a.format == b.format;
                    });
}

bool same_dynamic(const std::vector<DynamicVariable>& known, const std::vector<DynamicVariable>& dynamic) {
  return std::equal(known.begin(), known.end(), dynamic.begin(), dynamic.end(),
                    [](const DynamicVariable& a, const DynamicVariable& b) {
                      return a.name == b.name && a.value.numeric == b.value.numeric &&
                             same_bits(a.value.number, b.value.number) && a.value.text == b.value.text;
                    });
}

// Cell texts of the other tables kept between calls up to this size; larger
// ones are given back.
constexpr std::size_t kKeptCellBytes = std::size_t{1} << 20;

// Layouts kept at most: far more than the kinds of tables of a step.
constexpr std::size_t kMaxLayouts = 64;

void release_large_cells(DisplayTable* display) {
  if (display->cell_text.capacity() > kKeptCellBytes) std::string().swap(display->cell_text);
  if (display->cell_ends.capacity() * sizeof(std::uint32_t) > kKeptCellBytes) {
    std::vector<std::uint32_t>().swap(display->cell_ends);
  }
}

}  // namespace

DisplayTable make_display_table(const Table& table) {
  DisplayTable display;
  std::vector<DisplayFormat> formats;
  lay_out(table, &display, &formats);
  add_cells(table, formats, &display);
  fit_layout(&display);
  return display;
}

DisplayMaker::Layout& DisplayMaker::layout_for(const Table& table) {
  Layout* found = nullptr;
  for (Layout& known : layouts_) {
    if (known.source.template_path == table.template_path && known.source.name == table.name) {
      found = &known;
    } else {
      release_large_cells(&known.display);
    }
  }
  if (found != nullptr) return *found;
  if (layouts_.size() == kMaxLayouts) layouts_.clear();  // a program of many kinds of tables: start afresh
  return layouts_.emplace_back();
}

bool DisplayMaker::same_source(const LayoutSource& source, const Table& table) {
  return source.template_path == table.template_path && source.name == table.name && source.label == table.label &&
         same_columns(source.columns, *table.columns) && same_dynamic(source.dynamic, table.dynamic);
}

void DisplayMaker::lay_out_again(const Table& table, Layout* layout) {
  layout->source = LayoutSource{table.template_path, table.name, table.label, *table.columns, table.dynamic};
  layout->display = DisplayTable{};
  layout->formats.clear();
  lay_out(table, &layout->display, &layout->formats);
  layout->header_widths.clear();
  for (const DisplayColumn& column : layout->display.columns) layout->header_widths.push_back(column.width);
  layout->laid_out = true;
  layout->fitted = false;
}

const DisplayTable& DisplayMaker::make(const Table& table) {
  Layout& layout = layout_for(table);
  if (!layout.laid_out || !same_source(layout.source, table)) lay_out_again(table, &layout);
  DisplayTable& display = layout.display;
  for (std::size_t index = 0; index < display.columns.size(); ++index) {
    display.columns[index].width = layout.header_widths[index];
  }
  display.cell_text.clear();
  display.cell_ends.clear();
  add_cells(table, layout.formats, &display);
  // The widths the cells need decide the rest of the layout: when they are
  // those it was last fitted for, its fitted widths and lines stand.
  const auto needed = [](const DisplayColumn& column, std::size_t width) { return column.width == width; };
  if (layout.fitted &&
      std::equal(display.columns.begin(), display.columns.end(), layout.cell_widths.begin(), layout.cell_widths.end(),
                 needed)) {
    for (std::size_t index = 0; index < display.columns.size(); ++index) {
      display.columns[index].width = layout.fitted_widths[index];
    }
    return display;
  }
  layout.cell_widths.clear();
  for (const DisplayColumn& column : display.columns) layout.cell_widths.push_back(column.width);
  fit_layout(&display);
  layout.fitted_widths.clear();
  for (const DisplayColumn& column : display.columns) layout.fitted_widths.push_back(column.width);
  layout.fitted = true;
  return display;
}

std::string column_header(const Table& table, std::size_t column) {
  return resolve_header(table, find_table_template(table.template_path), (*table.columns)[column]);
}

std::string column_format_name(const ColumnDef& column) {
  if (!column.format.empty()) return column.format;
  if (!column.numeric) return format_name(DisplayFormat{FormatKind::kText, column.length, 0});
  return format_name(resolve_format(column));
}

std::string table_title(const Table& table) {
  const TableTemplate* stored = find_table_template(table.template_path);
  std::string title = stored != nullptr ? text_of_variable(table, stored->title_variable) : std::string();
  if (title.empty()) title = table.label;
  return title.empty() ? table.name : title;
}

std::string value_text(const Value& value) {
  if (!value.numeric) return value.text;
  return host::is_missing(value.number) ? missing_text(value.number) : shortest_text(value.number);
}

std::string by_value_text(const ByValue& value) {
  if (!value.numeric) return value.text;
  return host::is_missing(value.number) ? missing_text(value.number) : shortest_text(value.number);
}

void blank_control_characters(std::string* text, std::size_t from) {
  for (std::size_t i = from; i < text->size(); ++i) {
    // DEL too: a terminal shows it in no column, which would pull the rest
    // of the line one column to the left.
    const auto byte = static_cast<unsigned char>((*text)[i]);
    if (byte < 0x20 || byte == 0x7F) (*text)[i] = ' ';
  }
}

bool same_by_values(const std::vector<ByValue>& a, const std::vector<ByValue>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const ByValue& x, const ByValue& y) {
    return x.name == y.name && x.numeric == y.numeric && x.text == y.text && same_bits(x.number, y.number);
  });
}

std::string by_line(const std::vector<ByValue>& by) {
  std::string line;
  for (const ByValue& value : by) {
    if (!line.empty()) line += ' ';
    line += value.name + '=' + by_value_text(value);
  }
  return line;
}

std::string entry_display_text(const InfoEntry& entry) {
  if (!entry.value.numeric) return entry.value.text;
  return format_display(entry.value.number, DisplayFormat{FormatKind::kFixed, 0, entry.decimals});
}

}  // namespace quilvar::runtime::output
