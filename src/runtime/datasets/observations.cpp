// Reading observations of an opened data set: records checked against the
// header's width, column look-up and the typed values of BY columns.
#include <algorithm>
#include <cstring>

#include "runtime/datasets/data_set.hpp"
#include "runtime/datasets/values.hpp"
#include "runtime/text/case.hpp"

namespace quilvar::runtime::datasets {

namespace {

std::string scan_problem_text(ScanStatus status) {
  switch (status) {
    case ScanStatus::kUnterminatedQuote: return "unterminated quoted field";
    case ScanStatus::kQuotedFieldTooLong:
      return "quoted field longer than the limit of " + std::to_string(kMaxCharacterLength) +
             " bytes: its closing quote is missing, or the value is too long";
    case ScanStatus::kTextAfterQuote: return "text after the closing quote of a field";
    case ScanStatus::kNulByte: return "NUL byte (the file is not text)";
    default: return "unreadable record";
  }
}

constexpr std::string_view kUnwrittenEnd =
    " NUL bytes where text should be: it was not written completely (a copy or the program writing it "
    "stopped); copy or write it again";
constexpr std::string_view kLoneReturnHint =
    "; the line holds a carriage return alone, which does not end a line: save the file with the same line ends "
    "throughout (line feeds, or CR-LF)";
constexpr std::string_view kTrailingDelimiterProblem =
    " (too many fields: the line ends with a delimiter that the header line lacks; remove it from the data lines)";

// Where a record's field count goes wrong: the line and column of its
// first field beyond the header's, or of the record's end when it has too
// few, and what that extra field holds.
std::string field_count_problem(const DataSetState& data, const FieldList& fields, const Position& start) {
  const std::size_t count = fields.size();
  const std::size_t expected = data.variables.size();
  const Field& at = fields[std::min(count, expected) - 1];
  const bool quoted = at.begin > data.text.data && at.begin[-1] == '"';  // its closing quote follows it
  const char* place = count > expected ? fields[expected].begin : at.begin + at.length + (quoted ? 1 : 0);
  // Quoted fields may hold line breaks: the place's line, not the record's first.
  const auto line = start.line + std::count(data.text.data + start.offset, place, '\n');
  std::string text = data.file_name + ", line " + std::to_string(line) + ", column " +
                     std::to_string(column_of(data.text, static_cast<std::size_t>(place - data.text.data))) + ": " +
                     std::to_string(count) + (count == 1 ? " field" : " fields") + " where the header has " +
                     std::to_string(expected);
  if (count < expected) return text + " (too few fields)";
  // Empty extra fields: delimiters at the line's end, as some exports write
  // after every value.
  bool extra_empty = true;
  for (std::size_t i = expected; i < count; ++i) extra_empty = extra_empty && fields[i].length == 0;
  if (extra_empty) return text.append(kTrailingDelimiterProblem);
  text.append(" (too many fields; the first extra one is \"").append(shown_field_value(fields[expected])).append("\")");
  // Two lines run together at a CR that is not followed by a line feed, in
  // a field not quoted (a quoted value may hold one).
  for (std::size_t i = 0; i < count; ++i) {
    const Field& field = fields[i];
    const bool quoted_field = field.begin > data.text.data && field.begin[-1] == '"';
    if (!quoted_field && std::memchr(field.begin, '\r', field.length) != nullptr) return text.append(kLoneReturnHint);
  }
  return text;
}

}  // namespace

std::string describe_scan_problem(const DataSetState& data, ScanStatus status, const Position& problem) {
  std::string text = data.file_name + ", line " + std::to_string(problem.line) + ", column " +
                     std::to_string(column_of(data.text, problem.offset)) + ": " + scan_problem_text(status);
  // NUL bytes from there to the end: the file's last part was never
  // written (a copy or a writer stopped, the space kept filled with zeros).
  if (status == ScanStatus::kNulByte) {
    const char* const end = data.text.data + data.text.size;
    const char* const at = data.text.data + problem.offset;
    if (std::all_of(at, end, [](char c) { return c == '\0'; })) {
      text.append("; the file ends in ").append(std::to_string(end - at)).append(kUnwrittenEnd);
    }
  }
  return text;
}

RecordStatus read_record(const DataSetState& data, Position* pos, FieldList* fields,
                         Position* start, std::string* error) {
  Position problem;
  data.file.note_reading_at(data.text.data + pos->offset);
  const ScanStatus status = scan_record(data.text, pos, fields, start, &problem);
  if (status == ScanStatus::kEnd) return RecordStatus::kEnd;
  if (status != ScanStatus::kRecord) {
    *error = describe_scan_problem(data, status, problem);
    return RecordStatus::kError;
  }
  if (fields->size() != data.variables.size()) {
    *error = field_count_problem(data, *fields, *start);
    return RecordStatus::kError;
  }
  return RecordStatus::kRecord;
}

RecordStatus read_remembered_record(DataSetState& data, Position* pos, FieldList* fields, Position* start,
                                    std::string* error) {
  const std::size_t offset = pos->offset;
  if (data.records.find(offset, fields, start, pos)) return RecordStatus::kRecord;
  const RecordStatus status = read_record(data, pos, fields, start, error);
  if (status == RecordStatus::kRecord) data.records.store(offset, *fields, *start, *pos);
  return status;
}

int find_column(const DataSetState& data, std::string_view name) {
  name = trim_trailing_blanks(name);
  for (std::size_t i = 0; i < data.variables.size(); ++i) {
    const std::string& upper = data.variables[i].upper_name;
    if (upper.size() == name.size() &&
        std::equal(upper.begin(), upper.end(), name.begin(), [](char u, char c) { return u == text::upper_byte(c); })) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void read_key_value(const DataSetState& data, const FieldList& fields, int column,
                    KeyValue* out, std::string* scratch) {
  const std::string_view value = field_value(fields[static_cast<std::size_t>(column)], scratch);
  out->numeric = data.variables[static_cast<std::size_t>(column)].numeric;
  if (out->numeric) {
    // The layout pass proved every value of a numeric column readable.
    read_numeric_text(value, &out->number);
  } else {
    out->text.assign(trim_trailing_blanks(value));
  }
}

int compare_key_values(const KeyValue& a, const KeyValue& b) {
  return a.numeric ? compare_numbers(a.number, b.number) : compare_texts(a.text, b.text);
}

int compare_field_with(const FieldList& fields, int column, const KeyValue& value, std::string* scratch) {
  const std::string_view text = field_value(fields[static_cast<std::size_t>(column)], scratch);
  if (!value.numeric) return compare_texts(text, value.text);
  double number = 0;
  read_numeric_text(text, &number);
  return compare_numbers(number, value.number);
}

std::string key_value_text(const KeyValue& value) {
  return value.numeric ? number_text(value.number) : value.text;
}

std::string describe_key(const DataSetState& data, const std::vector<int>& columns,
                         const std::vector<KeyValue>& values) {
  std::string text;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) text += ' ';
    text += data.variables[static_cast<std::size_t>(columns[i])].name + "=" + key_value_text(values[i]);
  }
  return text;
}

}  // namespace quilvar::runtime::datasets
