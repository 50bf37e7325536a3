// The HTML destination: a self-contained report (inline style sheet, no
// scripts, no outside resources) streamed to its temporary file. Each step is
// a section with its title and BY headings; tables are shown as the listing
// shows them; each graph is a figure holding the SVG the graph renderer
// returns for it (only its caption without a renderer).
#include <ostream>
#include <string>

#include "runtime/output/atomic_file.hpp"
#include "runtime/output/destination.hpp"

namespace quilvar::runtime::output {
namespace {

constexpr std::string_view kStyleSheet =
    "body{font-family:system-ui,sans-serif;margin:2em;color:#111}"
    "h1{font-size:1.4em;text-align:center}h2{font-size:1.1em;text-align:center}"
    "p.procedure{text-align:center;font-style:italic}"
    "h3.by{font-size:1em;border-bottom:1px solid #888;padding-bottom:.2em}"
    "table{border-collapse:collapse;margin:1em auto}"
    "caption{font-weight:bold;padding:.4em}"
    "th,td{padding:.15em .6em;border-bottom:1px solid #ddd}"
    "th{background:#f0f0f0;font-weight:600;vertical-align:bottom}"
    "th.span{border-bottom:1px solid #555;text-align:center}th.gap{background:none;border:none}"
    "td.num,th.num{text-align:right;font-variant-numeric:tabular-nums}"
    "td.text,th.text{text-align:left}"
    "figure.graph{margin:1em auto;text-align:center}";

void append_escaped(std::string* out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&': *out += "&amp;"; break;
      case '<': *out += "&lt;"; break;
      case '>': *out += "&gt;"; break;
      case '"': *out += "&quot;"; break;
      case '\'': *out += "&#39;"; break;
      default: *out += c;
    }
  }
}

std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(&out, text);
  return out;
}

const char* alignment(const DisplayColumn& column) { return column.right_aligned ? "num" : "text"; }

void write_span_rows(std::ostream& out, const DisplayTable& table) {
  for (int level = table.span_levels - 1; level >= 0; --level) {
    out << "<tr>";
    for (std::size_t column = 0; column < table.columns.size();) {
      const DisplaySpan* found = nullptr;
      for (const DisplaySpan& span : table.spans) {
        if (span.level == level && span.first == column) found = &span;
      }
      if (found == nullptr) {
        out << "<th class=\"gap\"></th>";
        ++column;
        continue;
      }
      out << "<th class=\"span\" colspan=\"" << found->last - found->first + 1 << "\">" << escaped(found->text)
          << "</th>";
      column = found->last + 1;
    }
    out << "</tr>\n";
  }
}

void write_table_body(std::ostream& out, const DisplayTable& table) {
  out << "<tbody>\n";
  std::string line;
  for (std::size_t row = 0; row < table.row_count; ++row) {
    line = "<tr>";
    for (std::size_t column = 0; column < table.columns.size(); ++column) {
      line += table.columns[column].right_aligned ? "<td class=\"num\">" : "<td class=\"text\">";
      append_escaped(&line, table.cell(row, column));
      line += "</td>";
    }
    line += "</tr>\n";
    out << line;
  }
  out << "</tbody>\n";
}

class HtmlDestination : public Destination {
 public:
  explicit HtmlDestination(GraphRenderer renderer) : renderer_(std::move(renderer)) {}

  bool open(const std::string& path, const std::string& program, std::string* error) {
    if (!file_.open(path, error)) return false;
    file_.stream() << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>"
                   << escaped(program) << "</title>\n<style>" << kStyleSheet << "</style>\n</head>\n<body>\n";
    return true;
  }

  bool wants_display() const override { return true; }

  void begin_step(const StepInfo& step) override {
    step_ = &step;
    section_open_ = false;
    last_by_.clear();
  }

  void write_table(const Table& table, const DisplayTable* display) override {
    write_headings(table.origin);
    std::ostream& out = file_.stream();
    out << "<table class=\"output\" data-name=\"" << escaped(table.name) << "\">\n<caption>"
        << escaped(display->title) << "</caption>\n<thead>\n";
    write_span_rows(out, *display);
    out << "<tr>";
    for (const DisplayColumn& column : display->columns) {
      out << "<th class=\"" << alignment(column) << "\">" << escaped(column.header) << "</th>";
    }
    out << "</tr>\n</thead>\n";
    write_table_body(out, *display);
    out << "</table>\n";
  }

  void write_list(const InfoList& list) override {
    write_headings(list.origin);
    std::ostream& out = file_.stream();
    out << "<table class=\"list\" data-name=\"" << escaped(list.name) << "\">\n<caption>" << escaped(list.label)
        << "</caption>\n<tbody>\n";
    for (const InfoEntry& entry : list.entries) {
      out << "<tr><th class=\"text\">" << escaped(entry.label) << "</th><td class=\"text\">"
          << escaped(entry_display_text(entry)) << "</td></tr>\n";
    }
    out << "</tbody>\n</table>\n";
  }

  // The renderer's SVG is embedded as it stands; without one the figure
  // holds only its caption.
  void write_graph(const Graph& graph) override {
    write_headings(graph.origin);
    std::ostream& out = file_.stream();
    out << "<figure class=\"graph\" data-name=\"" << escaped(graph.name) << "\" data-template=\""
        << escaped(graph.template_path) << "\">\n";
    if (renderer_) out << renderer_(graph) << '\n';
    out << "<figcaption>" << escaped(graph.label) << "</figcaption>\n</figure>\n";
  }

  void end_step(const StepInfo& /*step*/) override {
    if (section_open_) file_.stream() << "</section>\n";
    section_open_ = false;
  }

  bool finish(std::string* error) override {
    file_.stream() << "</body>\n</html>\n";
    return file_.commit(error);
  }

 private:
  void write_headings(const Origin& origin) {
    std::ostream& out = file_.stream();
    if (!section_open_) {
      out << "<section class=\"step\">\n";
      if (step_ != nullptr && !step_->title.empty()) out << "<h1>" << escaped(step_->title) << "</h1>\n";
      if (step_ != nullptr && !step_->procedure_label.empty()) {
        out << "<p class=\"procedure\">" << escaped(step_->procedure_label) << "</p>\n";
      }
      section_open_ = true;
    }
    const std::string line = by_line(origin.by);
    if (line.empty() || line == last_by_) return;
    out << "<h3 class=\"by\">" << escaped(line) << "</h3>\n";
    last_by_ = line;
  }

  GraphRenderer renderer_;
  AtomicFile file_;
  const StepInfo* step_ = nullptr;
  bool section_open_ = false;
  std::string last_by_;
};

}  // namespace

std::unique_ptr<Destination> make_html_destination(const std::string& path, const std::string& program,
                                                   GraphRenderer renderer, std::string* error) {
  auto destination = std::make_unique<HtmlDestination>(std::move(renderer));
  if (!destination->open(path, program, error)) return nullptr;
  return destination;
}

}  // namespace quilvar::runtime::output
