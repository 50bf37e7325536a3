// The CSV destination: one file per output object name in the CSV folder,
// its header row the BY variables' names and then the table's column names;
// every BY group's rows are appended to the file as they are delivered.
// Missing values are empty fields, special ones their text (".A"); numbers
// are the shortest texts that read back as the same doubles; fields are
// quoted as RFC 4180 asks. Within a step, a BY group whose table lacks
// some of the columns of its name's file (a column shown only when a value
// is known) is written into that file with those fields empty, and a group
// with more columns widens the file: the rows written so far are copied
// into the wider layout with empty fields. An object whose columns do not
// fit its name's files (another step's layout, or columns in another
// order) goes to "Name_2.csv" and so on.
#include <algorithm>
#include <array>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "quilvar/host/missing.hpp"
#include "runtime/output/atomic_file.hpp"
#include "runtime/output/destination.hpp"
#include "runtime/output/formats.hpp"
#include "runtime/text/case.hpp"

namespace quilvar::runtime::output {
namespace {

constexpr std::string_view kListColumns[] = {"Label", "Value"};
constexpr char kHeaderSeparator = '\x1f';

// The bytes that make a field need quotes.
constexpr std::array<bool, 256> kQuotedBytes = [] {
  std::array<bool, 256> quoted{};
  for (const char c : {',', '"', '\r', '\n'}) quoted[static_cast<unsigned char>(c)] = true;
  return quoted;
}();

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// A field is quoted when it holds a delimiter, quote or line end, and also
// when it begins or ends with a blank: readers such as data.table's fread
// strip the blanks around unquoted fields, and would read "  North" as
// "North".
bool needs_quotes(std::string_view text) {
  if (!text.empty() && (is_blank(text.front()) || is_blank(text.back()))) return true;
  for (char c : text) {
    if (kQuotedBytes[static_cast<unsigned char>(c)]) return true;
  }
  return false;
}

// The most room put_field needs for a text of `length` bytes.
std::size_t field_room(std::size_t length) { return 2 * length + 2; }

// Writes the text as a field at `at`, which has field_room bytes of room:
// as it is, or quoted with its quotes doubled.
char* put_field(char* at, std::string_view text) {
  if (!needs_quotes(text)) return put_text(at, text);
  *at++ = '"';
  for (char c : text) {
    if (c == '"') *at++ = '"';
    *at++ = c;
  }
  *at++ = '"';
  return at;
}

void append_field(std::string* out, std::string_view text) {
  close_room(out, put_field(open_room(out, field_room(text.size())), text));
}

// Writes append_number's text at `at`, which has kShortestTextRoom bytes of
// room.
char* put_number(char* at, double number, ShortestTextCache& numbers) {
  if (!host::is_missing(number)) return numbers.write(at, number);
  if (const char letter = host::missing_letter(number); letter != 0) {
    *at++ = '.';
    *at++ = letter;
  }
  return at;
}

void append_number(std::string* out, double number, ShortestTextCache& numbers) {
  char text[kShortestTextRoom];
  out->append(text, static_cast<std::size_t>(put_number(text, number, numbers) - text));
}

void append_value(std::string* out, const Value& value, ShortestTextCache& numbers) {
  if (value.numeric) {
    append_number(out, value.number, numbers);
  } else {
    append_field(out, value.text);
  }
}

void append_by(std::string* out, const std::vector<ByValue>& by, ShortestTextCache& numbers) {
  for (const ByValue& value : by) {
    append_value(out, Value{value.numeric, value.number, value.text}, numbers);
    *out += ',';
  }
}

// A narrower layout written into a wider file: for each of the file's
// columns, the index of the object's column, or -1 for an empty field.
struct NarrowLayout {
  std::string header;
  std::vector<int> source;
};

struct CsvFile {
  std::string name;
  std::string header;
  int step = 0;  // the last step that wrote the file
  std::size_t by_count = 0;
  std::vector<std::string> columns;  // the table's columns, after the BY variables
  std::deque<NarrowLayout> narrower;
  AtomicFile file;
};

// For each column of `wide`, its index in `narrow` or -1, when each of
// narrow's columns is one of wide's, in the same order.
template <typename Wide, typename Narrow>
bool map_narrower(const Wide& wide, const Narrow& narrow, std::vector<int>* source) {
  source->assign(wide.size(), -1);
  std::size_t next = 0;
  for (std::size_t i = 0; i < wide.size() && next < narrow.size(); ++i) {
    if (wide[i] == narrow[next]) (*source)[i] = static_cast<int>(next++);
  }
  return next == narrow.size();
}

// `name`, or when the header already has it (letter case aside, as
// variable names are compared) "name_2", "name_3" and so on, cut to fit
// the longest variable name, so that the file reads back as a data set;
// `used` holds the header's names so far in upper case.
std::string unique_name(std::string_view name, std::set<std::string>* used) {
  std::string candidate(name);
  for (int number = 2; !used->insert(text::upper_case(candidate)).second; ++number) {
    const std::string suffix = numbered_stem("", number);
    const std::size_t room = text::kMaxNameLength - suffix.size();
    candidate.assign(name.substr(0, std::min(name.size(), room))).append(suffix);
  }
  return candidate;
}

// The header row: the BY variables' names, then the table's columns. A BY
// variable or GROUP= variable named like a column of the table ("Type",
// "Method") would give two columns of one name, which R's fread and
// Python's DictReader cannot tell apart and Quilvar refuses as a data set;
// the later of the two is numbered ("Type_2").
void append_header(std::string* line, const std::vector<ByValue>& by, const std::vector<std::string_view>& columns) {
  std::set<std::string> used;
  for (const ByValue& value : by) {
    append_field(line, unique_name(value.name, &used));
    *line += ',';
  }
  for (std::size_t index = 0; index < columns.size(); ++index) {
    if (index > 0) *line += ',';
    append_field(line, unique_name(columns[index], &used));
  }
  *line += "\r\n";
}

// Copies the data rows of a CSV file this destination wrote (its header
// row skipped) into `out`, each row's BY fields as they are and its table
// fields moved to the wider layout: place i of the new columns takes field
// source[i], or stays empty for -1. Fields are copied as written, quotes
// and all; a quoted field may hold commas and line ends.
void widen_rows(std::istream& in, std::size_t by_count, const std::vector<int>& source, AtomicFile& out) {
  std::string row;                 // the row's fields, without separators
  std::vector<std::size_t> ends;  // where each field ends in `row`
  bool quoted = false;
  bool header = true;
  auto emit = [&] {
    std::string& line = out.buffer();
    auto field = [&](std::size_t f) {
      const std::size_t begin = f == 0 ? 0 : ends[f - 1];
      line.append(row, begin, ends[f] - begin);
    };
    for (std::size_t f = 0; f < by_count && f < ends.size(); ++f) {
      field(f);
      line += ',';
    }
    for (std::size_t i = 0; i < source.size(); ++i) {
      if (i > 0) line += ',';
      const std::size_t f = by_count + static_cast<std::size_t>(source[i]);
      if (source[i] >= 0 && f < ends.size()) field(f);
    }
    line += "\r\n";
    out.write_if_full();
  };
  std::vector<char> chunk(1 << 20);
  while (in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    for (std::streamsize k = 0; k < in.gcount(); ++k) {
      const char c = chunk[static_cast<std::size_t>(k)];
      if (c == '"') quoted = !quoted;
      if (quoted || (c != ',' && c != '\n')) {
        row += c;
        continue;
      }
      if (c == '\n' && !row.empty() && row.back() == '\r') row.pop_back();
      ends.push_back(row.size());
      if (c == ',') continue;
      if (!header) emit();
      header = false;
      row.clear();
      ends.clear();
    }
  }
}

class CsvDestination : public Destination {
 public:
  DeliveryThread delivery_thread() const override { return DeliveryThread::kFiles; }

  CsvDestination(std::shared_ptr<ShortestTextCache> numbers, const InputFiles* inputs)
      : numbers_(std::move(numbers)), inputs_(inputs) {}

  bool open(const std::string& folder, std::string* error) {
    if (!make_output_folder(folder, "CSV", error, &made_folders_)) return false;
    folder_ = folder;
    return true;
  }

  void write_table(const Table& table, const DisplayTable* /*display*/) override {
    columns_.clear();
    for (const ColumnDef& column : *table.columns) columns_.push_back(column.name);
    step_ = table.origin.step != nullptr ? table.origin.step->index : 0;
    AtomicFile* file = begin_object(table.name, table.origin.by);
    if (file == nullptr) return;
    std::string& out = file->buffer();
    const std::size_t rows = table.row_count();
    for (std::size_t row = 0; row < rows; ++row) append_row(&out, by_prefix_, table, row, source_, *numbers_);
    file->write_if_full();
  }

  void write_list(const InfoList& list) override {
    columns_.assign(std::begin(kListColumns), std::end(kListColumns));
    step_ = list.origin.step != nullptr ? list.origin.step->index : 0;
    AtomicFile* file = begin_object(list.name, list.origin.by);
    if (file == nullptr) return;
    std::string& out = file->buffer();
    for (const InfoEntry& entry : list.entries) {
      out += by_prefix_;
      append_field(&out, entry.label);
      out += ',';
      append_value(&out, entry.value, *numbers_);
      out += "\r\n";
    }
    file->write_if_full();
  }

  // Graph data are not tables of the run; the JSON document carries them.
  void write_graph(const Graph& /*graph*/) override {}

  bool finish(std::string* error) override {
    bool complete = error_.empty();
    std::string messages = error_;
    for (CsvFile& file : files_) {
      // A file that could not be made or widened is in error_ already.
      if (!file.file.is_open()) continue;
      std::string message;
      if (file.file.commit(&message)) continue;
      append_error(&messages, message);
      complete = false;
    }
    // A folder this run made and put no file into goes again.
    made_folders_.remove_empty();
    if (!complete) *error = messages;
    return complete;
  }

  // Which file a failed call left part of a table in is not known: none of
  // them is written.
  bool abandon(std::string* error) override {
    for (CsvFile& file : files_) file.file.discard();
    made_folders_.remove_empty();
    *error = "cannot write the CSV files of " + folder_ +
             ": a table could not be written into one of them whole, so none is written";
    return false;
  }

 private:
  // One row of the file: the BY fields, then the table's columns, or with a
  // narrower layout the file's columns, source[i] being the table's column
  // of the file's column i or -1 for an empty field. The row is written in
  // place in room enough for its longest possible text.
  static void append_row(std::string* line, std::string_view by_prefix, const Table& table, std::size_t row,
                         const std::vector<int>* source, ShortestTextCache& numbers) {
    const std::size_t count = source == nullptr ? table.column_count() : source->size();
    const auto column_of = [source](std::size_t i) {
      return source == nullptr ? static_cast<std::ptrdiff_t>(i) : (*source)[i];
    };
    const ColumnDef* const columns = table.columns->data();
    const Cell* const cells = &table.cell(row, 0);
    std::size_t room = by_prefix.size() + count + 2;
    for (std::size_t i = 0; i < count; ++i) {
      const std::ptrdiff_t column = column_of(i);
      if (column < 0) continue;
      const auto place = static_cast<std::size_t>(column);
      room += columns[place].numeric ? kShortestTextRoom : field_room(cells[place].text_length);
    }
    char* at = put_text(open_room(line, room), by_prefix);
    for (std::size_t i = 0; i < count; ++i) {
      if (i > 0) *at++ = ',';
      const std::ptrdiff_t column = column_of(i);
      if (column < 0) continue;
      const auto place = static_cast<std::size_t>(column);
      const Cell& cell = cells[place];
      at = columns[place].numeric ? put_number(at, cell.number, numbers) : put_field(at, table.text(cell));
    }
    *at++ = '\r';
    *at++ = '\n';
    close_room(line, at);
  }

  // The file of an object named `name` with the columns in columns_, and
  // its BY values in by_prefix_ for each row; null when there is no file.
  AtomicFile* begin_object(const std::string& name, const std::vector<ByValue>& by) {
    AtomicFile* file = file_for(name, by, columns_);
    if (file == nullptr) return nullptr;
    by_prefix_.clear();
    append_by(&by_prefix_, by, *numbers_);
    return file;
  }

  // The file for an object's name and header, created with its header row
  // on first use; null when it cannot be created.
  AtomicFile* file_for(const std::string& name, const std::vector<ByValue>& by,
                       const std::vector<std::string_view>& columns) {
    header_.clear();
    for (const ByValue& value : by) header_.append(value.name).push_back(kHeaderSeparator);
    for (std::string_view column : columns) header_.append(column).push_back(kHeaderSeparator);
    source_ = nullptr;
    int layouts = 0;
    for (CsvFile& file : files_) {
      if (file.name != name) continue;
      if (file.header == header_) {
        file.step = step_;  // the step now writing it: its narrower groups join it
        return file.file.is_open() ? &file.file : nullptr;
      }
      ++layouts;
    }
    if (CsvFile* wider = wider_file(name, by.size())) return wider->file.is_open() ? &wider->file : nullptr;
    if (CsvFile* narrower = narrower_file(name, by.size())) return widen(*narrower, by, columns);
    return create_file(name, layouts, by, columns);
  }

  // A file of this step and name, with the same BY variables, whose columns
  // are all among the object's, in the same order; the file can be widened.
  CsvFile* narrower_file(const std::string& name, std::size_t by_count) {
    const std::size_t by_end = by_length(by_count);
    std::vector<int> source;
    for (CsvFile& file : files_) {
      if (same_step_and_by(file, name, by_count, by_end) && file.file.is_open() &&
          !file.file.temporary_path().empty() && map_narrower(columns_, file.columns, &source))
        return &file;
    }
    return nullptr;
  }

  // Whether the file has the object's name, is this step's, and starts its
  // header with the object's BY variables (header_ up to by_end).
  bool same_step_and_by(const CsvFile& file, const std::string& name, std::size_t by_count,
                        std::size_t by_end) const {
    return file.name == name && file.step == step_ && file.by_count == by_count &&
           file.header.compare(0, by_end, header_, 0, by_end) == 0;
  }

  // Gives the file the object's columns: a new temporary file with the
  // wider header and the rows written so far, empty in the new columns.
  AtomicFile* widen(CsvFile& file, const std::vector<ByValue>& by, const std::vector<std::string_view>& columns) {
    std::vector<int> source;
    map_narrower(columns, file.columns, &source);
    std::string message;
    if (!file.file.close_for_reading(&message)) {
      append_error(&error_, message);
      file.file.discard();
      return nullptr;
    }
    // Open before the new file's open() removes the old one's name.
    std::ifstream old_rows(file.file.temporary_path(), std::ios::binary);
    const std::filesystem::path path = file.file.path();
    if (!old_rows || !file.file.open(path, &message, inputs_)) {
      append_error(&error_, old_rows ? message : "cannot read back " + path.string() + " to widen it");
      file.file.discard();
      return nullptr;
    }
    append_header(&file.file.buffer(), by, columns);
    widen_rows(old_rows, file.by_count, source, file.file);
    if (old_rows.bad()) {
      append_error(&error_, "cannot read back " + path.string() + " to widen it");
      file.file.discard();
      return nullptr;
    }
    file.header = header_;
    file.columns.assign(columns.begin(), columns.end());
    file.narrower.clear();  // their places were in the narrower columns
    return &file.file;
  }

  // A file of this step and name, with the same BY variables, that holds
  // every column of the object: source_ is then set to the columns' places.
  CsvFile* wider_file(const std::string& name, std::size_t by_count) {
    const std::size_t by_end = by_length(by_count);
    for (CsvFile& file : files_) {
      if (!same_step_and_by(file, name, by_count, by_end)) continue;
      for (const NarrowLayout& layout : file.narrower) {
        if (layout.header == header_) {
          source_ = &layout.source;
          return &file;
        }
      }
      NarrowLayout layout{header_, {}};
      if (!map_narrower(file.columns, columns_, &layout.source)) continue;
      source_ = &file.narrower.emplace_back(std::move(layout)).source;
      return &file;
    }
    return nullptr;
  }

  // The length of the header's first `count` names, separators included.
  std::size_t by_length(std::size_t count) const {
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) at = header_.find(kHeaderSeparator, at) + 1;
    return at;
  }

  AtomicFile* create_file(const std::string& name, int layouts, const std::vector<ByValue>& by,
                          const std::vector<std::string_view>& columns) {
    CsvFile& file = files_.emplace_back();
    file.name = name;
    file.header = header_;
    file.step = step_;
    file.by_count = by.size();
    file.columns.assign(columns.begin(), columns.end());
    std::string message;
    const std::string stem = numbered_stem(safe_file_stem(name), layouts + 1);
    if (!file.file.open(std::filesystem::path(folder_) / (stem + ".csv"), &message, inputs_)) {
      append_error(&error_, message);
      return nullptr;
    }
    append_header(&file.file.buffer(), by, columns);
    return &file.file;
  }

  std::shared_ptr<ShortestTextCache> numbers_;
  const InputFiles* inputs_;
  MadeFolders made_folders_;  // the folder and parents the run made
  std::string folder_;
  std::deque<CsvFile> files_;
  std::string error_;
  // Reused between objects, so that writing a BY group allocates nothing.
  std::vector<std::string_view> columns_;
  std::string header_;
  std::string by_prefix_;
  int step_ = 0;                             // the step of the object being written
  const std::vector<int>* source_ = nullptr;  // its columns' places in a wider file
};

}  // namespace

std::unique_ptr<Destination> make_csv_destination(const std::string& folder,
                                                  std::shared_ptr<ShortestTextCache> numbers,
                                                  const InputFiles* inputs, std::string* error) {
  auto destination = std::make_unique<CsvDestination>(std::move(numbers), inputs);
  if (!destination->open(folder, error)) return nullptr;
  return destination;
}

}  // namespace quilvar::runtime::output
