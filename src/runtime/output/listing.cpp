// The text listing: each object written to the stream as it is delivered.
// The step title heads each step's output, a dashed BY line each BY group;
// tables show their title centred over the table, spanning headers with
// dashes, wrapped column headers and right-aligned numbers.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/output/destination.hpp"
#include "runtime/text/width.hpp"

namespace quilvar::runtime::output {
namespace {

// Widths and positions on a line are counted in listing columns, not bytes:
// an accented letter is one column and two bytes.
using text::display_width;

// The width over which step titles and BY lines are centred.
constexpr std::size_t kPageWidth = 96;
constexpr std::size_t kListGap = 4;

std::string centred(const std::string& text, std::size_t width) {
  const std::size_t shown = display_width(text);
  const std::size_t pad = shown < width ? (width - shown) / 2 : 0;
  return std::string(pad, ' ') + text;
}

// The text between dashes across `width` characters: "--- text ---".
std::string dashed(const std::string& text, std::size_t width) {
  std::string inner = " " + text + " ";
  const std::size_t shown = display_width(inner);
  if (shown >= width) return inner;
  const std::size_t left = (width - shown) / 2;
  return std::string(left, '-') + inner + std::string(width - shown - left, '-');
}


// Puts the text at `start` of the line that begins at `line_start` of `out`
// (right-aligned in `width`), over whatever is there; a line that ends
// before it is padded with blanks.
void place_in(std::string& out, std::size_t line_start, std::size_t start, std::size_t width, std::string_view text,
              bool right) {
  const std::string_view line = std::string_view(out).substr(line_start);
  // Most lines and texts are ASCII: a column a byte, with no measuring.
  const bool ascii = text::is_ascii(text) && text::is_ascii(line);
  const std::size_t shown = ascii ? text.size() : display_width(text);
  const std::size_t at = start + (right && shown < width ? width - shown : 0);
  const std::size_t line_width = ascii ? line.size() : display_width(line);
  if (line_width <= at) {
    out.append(at - line_width, ' ');
    out.append(text);
    return;
  }
  const std::size_t from = ascii ? at : text::byte_at_column(line, at);
  const std::size_t to = ascii ? std::min(from + shown, line.size()) : from + text::byte_at_column(line.substr(from), shown);
  out.replace(line_start + from, to - from, text);
}

void place(std::string* line, std::size_t start, std::size_t width, std::string_view text, bool right) {
  place_in(*line, 0, start, width, text, right);
}

// Ends the line that begins at `line_start` of `out`, without its trailing
// blanks.
void end_line(std::string& out, std::size_t line_start) {
  std::size_t end = out.size();
  while (end > line_start && out[end - 1] == ' ') --end;
  out.resize(end);
  out += '\n';
}

// Appends the line without its trailing blanks.
void write_line(std::string& out, std::string_view line) {
  const std::size_t line_start = out.size();
  out.append(line);
  end_line(out, line_start);
}

// The line `row` (from 0) of a span whose lines end at the level's last row.
std::string span_row(const DisplaySpan& span, std::size_t level_height, std::size_t row, std::size_t width) {
  const std::size_t skipped = level_height - span.height();
  if (row < skipped) return std::string();
  const std::size_t index = row - skipped;
  if (span.lines.size() == 1) return dashed(span.text, width);
  if (index < span.lines.size()) return centred(span.lines[index], width);
  return std::string(width, '-');
}

// Levels from the outermost down; each span's last line sits on its level's
// last line.
void write_span_lines(std::string& out, const DisplayTable& table) {
  for (int level = table.span_levels - 1; level >= 0; --level) {
    const std::size_t height = table.level_heights[static_cast<std::size_t>(level)];
    for (std::size_t row = 0; row < height; ++row) {
      std::string line(table.width(), ' ');
      for (const DisplaySpan& span : table.spans) {
        if (span.level != level) continue;
        const std::size_t width = table.span_width(span.first, span.last);
        place(&line, table.column_start(span.first), width, span_row(span, height, row, width), false);
      }
      write_line(out, line);
    }
  }
}

// Header lines are bottom-aligned so every column's last line is the same.
void write_header_lines(std::string& out, const DisplayTable& table) {
  for (std::size_t index = 0; index < table.header_lines; ++index) {
    std::string line;
    for (std::size_t column = 0; column < table.columns.size(); ++column) {
      const DisplayColumn& shown = table.columns[column];
      const std::size_t skipped = table.header_lines - shown.header_lines.size();
      if (index < skipped) continue;
      place(&line, shown.start, shown.width, shown.header_lines[index - skipped], shown.right_aligned);
    }
    write_line(out, line);
  }
}

bool ascii_row(const DisplayTable& table, std::size_t row) {
  const std::size_t columns = table.columns.size();
  if (columns == 0) return true;
  const std::size_t begin = row == 0 ? 0 : table.cell_ends[row * columns - 1];
  const std::size_t end = table.cell_ends[(row + 1) * columns - 1];
  return text::is_ascii(std::string_view(table.cell_text).substr(begin, end - begin));
}

// A row holding letters of more than one byte, each cell placed by columns.
void write_row_by_columns(std::string& out, const DisplayTable& table, std::size_t row) {
  const std::size_t line_start = out.size();
  for (std::size_t column = 0; column < table.columns.size(); ++column) {
    const DisplayColumn& shown = table.columns[column];
    place_in(out, line_start, shown.start, shown.width, table.cell(row, column), shown.right_aligned);
  }
  end_line(out, line_start);
}

// Rows are put together in place at the end of the text: a line of blanks
// as wide as the table, each cell copied to its place (no cell is wider than
// its column, which was made as wide as its widest cell).
void write_rows(std::string& out, const DisplayTable& table) {
  const std::size_t width = table.width();
  for (std::size_t row = 0; row < table.row_count; ++row) {
    if (!ascii_row(table, row)) {
      write_row_by_columns(out, table, row);
      continue;
    }
    const std::size_t line_start = out.size();
    out.resize(line_start + width, ' ');
    for (std::size_t column = 0; column < table.columns.size(); ++column) {
      const DisplayColumn& shown = table.columns[column];
      const std::string_view text = table.cell(row, column);
      if (text.size() > shown.width) {
        place_in(out, line_start, shown.start, shown.width, text, shown.right_aligned);
        continue;
      }
      const std::size_t at = shown.start + (shown.right_aligned ? shown.width - text.size() : 0);
      std::memcpy(out.data() + line_start + at, text.data(), text.size());
    }
    end_line(out, line_start);
  }
}

class ListingDestination : public Destination {
 public:
  explicit ListingDestination(std::ostream* stream) : out_(*stream) {}

  bool wants_display() const override { return true; }
  // Formatting a large listing takes longer than computing it: it is done
  // on a delivery thread of its own. The stream is this destination's alone.
  DeliveryThread delivery_thread() const override { return DeliveryThread::kListing; }

  void begin_step(const StepInfo& step) override {
    step_ = step;
    heading_pending_ = true;
    last_by_.clear();
  }

  void update_step(const StepInfo& step) override { step_ = step; }

  void write_table(const Table& table, const DisplayTable* display) override {
    text_.clear();
    write_headings(table.origin);
    write_line(text_, centred(display->title, display->width()));
    text_ += '\n';
    write_span_lines(text_, *display);
    write_header_lines(text_, *display);
    write_rows(text_, *display);
    text_ += '\n';
    send_text();
  }

  void write_list(const InfoList& list) override {
    text_.clear();
    write_headings(list.origin);
    std::size_t label_width = 0;
    std::size_t value_width = 0;
    for (const InfoEntry& entry : list.entries) {
      label_width = std::max(label_width, display_width(entry.label));
      value_width = std::max(value_width, display_width(entry_display_text(entry)));
    }
    write_line(text_, centred(list.label.empty() ? list.name : list.label, label_width + kListGap + value_width));
    text_ += '\n';
    for (const InfoEntry& entry : list.entries) {
      std::string line = entry.label;
      place(&line, label_width + kListGap, 0, entry_display_text(entry), false);
      write_line(text_, line);
    }
    text_ += '\n';
    send_text();
  }

  // Graphs have no text form.
  void write_graph(const Graph& /*graph*/) override {}

  bool finish(std::string* error) override {
    out_.flush();
    if (out_) return true;
    *error = "cannot write the listing";
    return false;
  }

 private:
  // An object's text goes to the stream in one piece.
  void send_text() { out_.write(text_.data(), static_cast<std::streamsize>(text_.size())); }

  void write_headings(const Origin& origin) {
    if (heading_pending_) {
      std::string title = step_.title;
      blank_control_characters(&title);
      if (!title.empty()) write_line(text_, centred(title, kPageWidth));
      if (!step_.procedure_label.empty()) write_line(text_, centred(step_.procedure_label, kPageWidth));
      if (!title.empty() || !step_.procedure_label.empty()) text_ += '\n';
      heading_pending_ = false;
    }
    // Groups are told apart by their values, not by their lines, which may
    // be alike once control characters show as blanks.
    if (origin.by.empty() || same_by_values(origin.by, last_by_)) return;
    std::string line = by_line(origin.by);
    blank_control_characters(&line);
    write_line(text_, dashed(line, kPageWidth));
    text_ += '\n';
    last_by_ = origin.by;
  }

  std::ostream& out_;
  std::string text_;  // the text of the object being written
  StepInfo step_;  // a copy: the step's record changes while this waits
  bool heading_pending_ = false;
  std::vector<ByValue> last_by_;  // the values of the group last headed
};

}  // namespace

std::unique_ptr<Destination> make_listing_destination(std::ostream* stream) {
  return std::make_unique<ListingDestination>(stream);
}

}  // namespace quilvar::runtime::output
