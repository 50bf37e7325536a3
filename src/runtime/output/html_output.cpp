// The HTML destination: a self-contained report (inline style sheet, no
// scripts, no outside resources) headed by the program's name and a table of
// contents. Each step is a section with its title and BY headings; tables are
// shown as the listing shows them; each graph is a figure holding the SVG the
// graph renderer returns for it (only its caption without a renderer). The
// body is kept until the run finishes, since the contents come before it:
// in memory while small, then in an unnamed temporary file beside the
// report, so that a report of many BY groups does not hold memory in
// proportion to its size.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/output/atomic_file.hpp"
#include "runtime/output/destination.hpp"
#include "runtime/output/svg_writer.hpp"

namespace quilvar::runtime::output {
namespace {

constexpr std::string_view kStyleSheet =
    "body{font-family:system-ui,sans-serif;margin:2em;color:#111}"
    "h2{font-size:1.25em;text-align:center;margin-top:2em}"
    "p.procedure{text-align:center;font-style:italic}"
    "h3.by{font-size:1em;border-bottom:1px solid #888;padding-bottom:.2em}"
    "table{border-collapse:collapse;margin:1em auto}"
    "div.wide{overflow-x:auto}"
    "caption{font-weight:bold;padding:.4em}"
    "th,td{padding:.15em .6em;border-bottom:1px solid #ddd}"
    "th{background:#f0f0f0;font-weight:600;vertical-align:bottom}"
    "th.span{border-bottom:1px solid #555;text-align:center}th.gap{background:none;border:none}"
    "td.num,th.num{text-align:right;font-variant-numeric:tabular-nums}td.num{white-space:nowrap}"
    "td.text,th.text{text-align:left}"
    "figure.graph{margin:1.5em auto;text-align:center}figure.graph svg{max-width:100%;height:auto}"
    "figcaption{font-size:.9em;color:#444}"
    "div.messages{max-width:60em;margin:1.5em auto;padding:.4em 1em;border-left:4px solid #D55E00;background:#fdf3ec}"
    "div.messages.warnings{border-color:#E69F00;background:#fdf8ec}div.messages h3{font-size:1em;margin:.4em 0}"
    "div.messages pre{white-space:pre-wrap;font-size:.85em;margin:.4em 0}"
    "header.report h1{font-size:1.6em;text-align:center;margin-bottom:.2em}"
    "nav.toc{max-width:44em;margin:1em auto 2em;padding:.5em 1em;border:1px solid #ccc;background:#fafafa}"
    "nav.toc h2{font-size:1em;margin:.3em 0}nav.toc ol{margin:.2em 0;padding-left:1.4em}"
    "@media print{body{margin:0;font-size:9pt}th,td{padding:.1em .35em}nav.toc{border:none;background:none}a{color:inherit;text-decoration:none}"
    "section.step{break-before:page}div.wide{overflow:visible}table.output{font-size:calc(var(--print-scale,1)*1em)}table.list,tr,figure,h3.by{break-inside:avoid}figure.graph svg{max-height:85vh}h2,h3,caption,thead,tbody tr:first-child{break-after:avoid}}";

constexpr std::string_view kContentsHeading = "Contents";
constexpr int kFirstErrorStatus = 5;  // statuses up to 4 mean warnings at most
constexpr std::string_view kStepHeading = "Step ";
constexpr std::string_view kMessagesHeading = "Warnings and errors";
constexpr std::string_view kStatusText = "The step ended with status ";
constexpr std::string_view kWarningsMeaning = ": warnings were issued; read them before using the results.";
constexpr std::string_view kErrorsMeaning = ": an error ended it or some of its BY groups, so results are missing.";
constexpr std::string_view kMoreMessages = " more in the log.";

// A printed page holds a table line of about this many characters of the
// listing at the print font size; a wider table is printed in a smaller
// font, down to the smallest scale, so that it is not cut at the page's
// right edge (a screen scrolls it in its own box instead).
constexpr double kPrintLineCharacters = 130;
constexpr double kSmallestPrintScale = 0.55;

// Bytes read back at a time when the report is put together.
constexpr std::size_t kCopyBlock = std::size_t{1} << 20;
constexpr std::string_view kSpillProblem = "cannot keep the report's text in a temporary file";

// Texts are escaped as in the SVG drawings the report holds: a byte that
// is not UTF-8 shows as U+FFFD (what the note on a data set that is not
// UTF-8 promises), and the report stays UTF-8 throughout.
void append_escaped(std::string* out, std::string_view text) { append_markup_escaped(out, text); }

std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(&out, text);
  return out;
}

// Where the report's text is kept aside: the report's folder, on the file
// system the report is written to; none (the system's temporary folder
// then) for a report written straight into standard output, a FIFO or a
// device, whose folder (/dev) is memory, and small in containers.
std::filesystem::path aside_folder(const std::string& path) {
  OutputTarget target;
  std::string ignored;
  if (resolve_output_target(path, &target, &ignored) && target.in_place) return {};
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

// Text written in order that is kept aside until the report is put
// together: in memory, then, past a size, in a temporary file
// without a name in the report's folder (O_TMPFILE, or a name removed at
// once), which nothing outlives: not a crash, not a signal. When no such
// file can be made, or it cannot grow, the text stays in memory, as for a
// small report.
class KeptText {
 public:
  KeptText(std::filesystem::path folder, std::size_t kept_in_memory)
      : folder_(std::move(folder)), kept_in_memory_(kept_in_memory) {}
  KeptText(const KeptText&) = delete;
  KeptText& operator=(const KeptText&) = delete;
  ~KeptText() {
    if (fd_ >= 0) ::close(fd_);
  }

  std::ostream& stream() { return text_; }

  // False when a write to the stream failed (memory ran out as it grew: the
  // stream then drops that text and all after it, without an exception).
  bool intact() const { return !text_.fail(); }

  // Moves the text to the file once there is enough of it.
  void keep_aside_if_large() {
    if (static_cast<std::size_t>(text_.tellp()) < kept_in_memory_ || failed_) return;
    if (fd_ < 0 && !open_file()) return;
    const std::string_view text = text_.view();
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      // The file is full (a full file system, a file size limit): this text
      // and the rest stay in memory, after the text the file holds.
      if (n <= 0) {
        failed_ = true;
        return;
      }
      done += static_cast<std::size_t>(n);
    }
    written_ += text.size();
    text_.str(std::string());
  }

  // Appends all the text, in order, to `out`; false with *error set when
  // the temporary file failed (the report would miss part of its text).
  bool append_to(AtomicFile& out, std::string* error) {
    std::string block;
    for (std::uint64_t at = 0; at < written_ && error_.empty();) {
      block.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kCopyBlock, written_ - at)));
      const ssize_t n = ::pread(fd_, block.data(), block.size(), static_cast<off_t>(at));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fail(n < 0 ? errno : EIO);
        break;
      }
      out.write(std::string_view(block.data(), static_cast<std::size_t>(n)));
      at += static_cast<std::uint64_t>(n);
    }
    if (!error_.empty()) {
      *error = error_;
      return false;
    }
    out.write(text_.view());
    return true;
  }

 private:
  // In the given folder, else (none given, or one the user may not write)
  // in the system's temporary folder: TMPDIR's, or /tmp when TMPDIR names a
  // folder that is missing or not the user's to write (a setting left from
  // another machine or account).
  bool open_file() {
    if (!folder_.empty()) fd_ = open_unnamed(folder_);
    std::error_code code;  // TMPDIR's folder is empty when missing
    const std::filesystem::path temporary = std::filesystem::temp_directory_path(code);
    for (const std::filesystem::path& folder : {temporary, std::filesystem::path("/tmp")}) {
      if (fd_ >= 0 || folder.empty()) continue;
      fd_ = open_unnamed(folder);
      if (fd_ >= 0) folder_ = folder;  // named if a write to it fails
    }
    if (fd_ < 0) failed_ = true;  // the text stays in memory
    return fd_ >= 0;
  }

  static int open_unnamed(const std::filesystem::path& folder) {
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
      std::string name = (folder / ".quilvar-report-XXXXXX").string();
      fd = ::mkstemp(name.data());
      if (fd >= 0) ::unlink(name.c_str());
    }
    return fd;
  }

  void fail(int code) {
    failed_ = true;
    if (error_.empty()) error_ = std::string(kSpillProblem) + " in \"" + folder_.string() + "\": " + std::strerror(code);
  }

  std::filesystem::path folder_;
  std::size_t kept_in_memory_;
  std::ostringstream text_;
  int fd_ = -1;
  std::uint64_t written_ = 0;  // bytes in the file
  bool failed_ = false;        // no more text goes to the file
  std::string error_;          // a write or read of the file failed
};

// The table of contents as nested ordered lists, written as its lines come:
// a step (level 1), a BY group (level 2), or an output object (level 2
// without BY groups, else 3).
class Contents {
 public:
  Contents(const std::filesystem::path& folder, std::size_t kept_in_memory) : text_(folder, kept_in_memory) {}

  void add(int level, const std::string& id, std::string_view text) {
    std::ostream& out = text_.stream();
    for (; depth_ > level; --depth_) out << "</li></ol>\n";
    if (depth_ == level) out << "</li>\n";
    for (; depth_ < level; ++depth_) out << "<ol>\n";
    out << "<li><a href=\"#" << id << "\">" << escaped(text) << "</a>";
    text_.keep_aside_if_large();
    empty_ = false;
  }

  bool intact() const { return text_.intact(); }

  bool append_to(AtomicFile& out, std::string* error) {
    if (empty_) return true;
    out.write(std::string("<nav class=\"toc\" aria-label=\"").append(kContentsHeading).append("\">\n<h2>")
                  .append(kContentsHeading).append("</h2>\n"));
    if (!text_.append_to(out, error)) return false;
    std::string end;
    for (int depth = depth_; depth > 0; --depth) end += "</li></ol>\n";
    out.write(end + "</nav>\n");
    return true;
  }

 private:
  KeptText text_;
  int depth_ = 0;
  bool empty_ = true;
};

const char* alignment(const DisplayColumn& column) { return column.right_aligned ? "num" : "text"; }

// The style attribute that scales a wide table's print font; empty for a
// table that fits.
std::string print_scale_attribute(const DisplayTable& table) {
  const double width = static_cast<double>(table.width());
  if (width <= kPrintLineCharacters) return {};
  const double scale = std::max(kSmallestPrintScale, kPrintLineCharacters / width);
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, scale, std::chars_format::fixed, 2).ptr;
  return " style=\"--print-scale:" + std::string(digits, end) + '"';
}

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

// Rows written between two looks at the size of the kept text.
constexpr std::size_t kRowsBetweenKeepAside = 1024;

// Writes the rows into the kept text, moving it aside as it grows: a table
// of a million rows (one per stratum) is not held whole as text.
void write_table_body(KeptText& kept, const DisplayTable& table) {
  std::ostream& out = kept.stream();
  out << "<tbody>\n";
  std::string line;
  for (std::size_t row = 0; row < table.row_count; ++row) {
    if (row % kRowsBetweenKeepAside == kRowsBetweenKeepAside - 1) kept.keep_aside_if_large();
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
  HtmlDestination(GraphRenderer renderer, const std::string& path, std::size_t kept_in_memory)
      : renderer_(std::move(renderer)),
        body_text_(aside_folder(path), kept_in_memory),
        contents_(aside_folder(path), kept_in_memory),
        body_(body_text_.stream()) {}

  bool open(const std::string& path, const std::string& program, const InputFiles* inputs, std::string* error) {
    program_ = program;
    return file_.open(path, error, inputs);
  }

  bool wants_display() const override { return true; }

  void begin_step(const StepInfo& step) override {
    step_ = &step;
    section_open_ = false;
    last_by_.clear();
  }

  void write_table(const Table& table, const DisplayTable* display) override {
    const std::string id = begin_object(table.origin, display->title);
    // A table wider than the window scrolls in its own box, not the page.
    body_ << "<div class=\"wide\">\n<table class=\"output\" id=\"" << id << "\" data-name=\"" << escaped(table.name)
          << '"' << print_scale_attribute(*display) << ">\n<caption>" << escaped(display->title)
          << "</caption>\n<thead>\n";
    write_span_rows(body_, *display);
    body_ << "<tr>";
    for (const DisplayColumn& column : display->columns) {
      body_ << "<th class=\"" << alignment(column) << "\">" << escaped(column.header) << "</th>";
    }
    body_ << "</tr>\n</thead>\n";
    write_table_body(body_text_, *display);
    body_ << "</table>\n</div>\n";
    body_text_.keep_aside_if_large();
  }

  void write_list(const InfoList& list) override {
    const std::string id = begin_object(list.origin, list.label);
    body_ << "<table class=\"list\" id=\"" << id << "\" data-name=\"" << escaped(list.name) << "\">\n<caption>"
          << escaped(list.label) << "</caption>\n<tbody>\n";
    for (const InfoEntry& entry : list.entries) {
      body_ << "<tr><th class=\"text\">" << escaped(entry.label) << "</th><td class=\"text\">"
            << escaped(entry_display_text(entry)) << "</td></tr>\n";
    }
    body_ << "</tbody>\n</table>\n";
    body_text_.keep_aside_if_large();
  }

  // The renderer's SVG is embedded as it stands; without one the figure
  // holds only its caption.
  void write_graph(const Graph& graph) override {
    const std::string id = begin_object(graph.origin, graph.label.empty() ? graph.name : graph.label);
    body_ << "<figure class=\"graph\" id=\"" << id << "\" data-name=\"" << escaped(graph.name)
          << "\" data-template=\"" << escaped(graph.template_path) << "\">\n";
    if (renderer_) body_ << renderer_(graph) << '\n';
    body_ << "<figcaption>" << escaped(graph.label) << "</figcaption>\n</figure>\n";
    body_text_.keep_aside_if_large();
  }

  void end_step(const StepInfo& step) override {
    if ((step.status && *step.status != 0) || !step.messages.empty()) write_messages(step);
    if (section_open_) body_ << "</section>\n";
    section_open_ = false;
    body_text_.keep_aside_if_large();
  }

  bool finish(std::string* error) override {
    if (!contents_.intact() || !body_text_.intact()) return abandon(error);
    std::ostringstream out;
    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" << escaped(program_)
        << "</title>\n<style>" << kStyleSheet << "</style>\n</head>\n<body>\n<header class=\"report\"><h1>"
        << escaped(program_) << "</h1></header>\n";
    file_.write(out.view());
    std::string problem;
    if (!contents_.append_to(file_, &problem) || !body_text_.append_to(file_, &problem)) {
      file_.discard();
      *error = file_.path().string() + ": " + problem;
      return false;
    }
    file_.write("</body>\n</html>\n");
    return file_.commit(error);
  }

  bool abandon(std::string* error) override {
    file_.discard();
    *error = unwritten_file_error(file_.path().string());
    return false;
  }

 private:
  // Opens the step's section and the BY heading as needed and lists the
  // object in the contents; returns the object's anchor.
  std::string begin_object(const Origin& origin, const std::string& caption) {
    if (!section_open_) open_section();
    // Groups are told apart by their values: two groups' lines may read
    // alike (a value holding " year=").
    if (!origin.by.empty() && !same_by_values(origin.by, last_by_)) {
      const std::string line = by_line(origin.by);
      const std::string id = "step" + std::to_string(step_index()) + "-by" + std::to_string(++by_groups_);
      body_ << "<h3 class=\"by\" id=\"" << id << "\">" << escaped(line) << "</h3>\n";
      contents_.add(2, id, line);
      last_by_ = origin.by;
    }
    std::string id = "out" + std::to_string(++objects_);
    contents_.add(last_by_.empty() ? 2 : 3, id, caption);
    return id;
  }

  void open_section() {
    const std::string id = "step" + std::to_string(step_index());
    const std::string title = step_ != nullptr && !step_->title.empty()
                                  ? step_->title
                                  : std::string(kStepHeading) + std::to_string(step_index());
    body_ << "<section class=\"step\" id=\"" << id << "\">\n<h2>" << escaped(title) << "</h2>\n";
    if (step_ != nullptr && !step_->procedure_label.empty()) {
      body_ << "<p class=\"procedure\">" << escaped(step_->procedure_label) << "</p>\n";
    }
    contents_.add(1, id, title);
    section_open_ = true;
  }

  // The step's status and its warnings and errors, at the end of its
  // section (opened here when the step made no output), listed in the
  // contents: a reader of the report sees what the log said.
  void write_messages(const StepInfo& step) {
    if (!section_open_) open_section();
    const int status = step.status.value_or(0);
    const std::string id = "step" + std::to_string(step_index()) + "-messages";
    body_ << "<div class=\"messages" << (status < kFirstErrorStatus ? " warnings" : "") << "\" id=\"" << id
          << "\">\n<h3>" << kMessagesHeading << "</h3>\n<p>" << kStatusText << status
          << (status < kFirstErrorStatus ? kWarningsMeaning : kErrorsMeaning) << "</p>\n<pre>";
    for (const std::string& message : step.messages) body_ << escaped(message) << '\n';
    if (step.more_messages > 0) body_ << "... " << step.more_messages << kMoreMessages << '\n';
    body_ << "</pre>\n</div>\n";
    contents_.add(2, id, kMessagesHeading);
  }

  int step_index() const { return step_ != nullptr ? step_->index : 0; }

  GraphRenderer renderer_;
  AtomicFile file_;
  std::string program_;
  KeptText body_text_;
  Contents contents_;
  std::ostream& body_;
  const StepInfo* step_ = nullptr;
  bool section_open_ = false;
  std::vector<ByValue> last_by_;  // the values of the group last headed
  int by_groups_ = 0;
  int objects_ = 0;
};

}  // namespace

std::unique_ptr<Destination> make_html_destination(const std::string& path, const std::string& program,
                                                   GraphRenderer renderer, std::size_t kept_in_memory,
                                                   const InputFiles* inputs, std::string* error) {
  auto destination = std::make_unique<HtmlDestination>(std::move(renderer), path, kept_in_memory);
  if (!destination->open(path, program, inputs, error)) return nullptr;
  return destination;
}

}  // namespace quilvar::runtime::output
