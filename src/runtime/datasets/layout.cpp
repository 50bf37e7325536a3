// The layout of a data set: variable names from the header record, then
// one pass over every row that checks its shape and types each column.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>

#include "runtime/datasets/data_set.hpp"
#include "runtime/datasets/split_pass.hpp"
#include "runtime/datasets/values.hpp"
#include "runtime/text/case.hpp"

namespace quilvar::runtime::datasets {

namespace {

using text::upper_case;

using text::kMaxNameLength;
// Values of a character column still read for a number after its first
// text: enough for a column of numbers that starts with a stray text,
// while a column of labels is not read to its end.
constexpr std::uint32_t kTextLookAhead = 1024;

// What the values of a column read so far make of it. A character column
// is still read for a while after its first text, counting its numbers and
// texts, so that a column of numbers with a stray text ("NA" in a column of
// counts) can be told apart from one of labels (age groups "00", "01-04",
// ...) and the user told why it is character.
enum class ColumnKind : std::uint8_t {
  kNumericSoFar,  // numbers and missing values, no number yet
  kNumeric,       // numbers and missing values
  kMixed,         // character, still read and counted
  kText,          // character, looked at long enough: settled
};

struct ColumnSurvey {
  ColumnKind kind = ColumnKind::kNumericSoFar;
  std::size_t longest = 0;
  Field first_text{};  // its first value that is not a number
  std::uint32_t read_after_text = 0;
  std::uint64_t numbers = 0;  // values read that are numbers
  std::uint64_t texts = 0;    // values read that are not
  std::uint64_t texts_in_number_form = 0;  // of those, numbers written in a form not read ("12,5", "8%")
  Field first_inexact{};  // its first whole number that a double does not hold exactly
  bool has_inexact = false;
  Field first_leading_zero{};  // its first number written with a leading zero ("01")
  bool has_leading_zero = false;
  bool numeric() const { return kind == ColumnKind::kNumericSoFar || kind == ColumnKind::kNumeric; }
  // Character, but at least as many numbers as texts among the values
  // read: worth a note.
  bool numbers_with_stray_text() const { return !numeric() && numbers >= texts; }
};

bool is_name_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool is_name_byte(char c) { return is_name_start(c) || (c >= '0' && c <= '9'); }

bool is_valid_name(std::string_view name) {
  return !name.empty() && name.size() <= kMaxNameLength && is_name_start(name[0]) &&
         std::all_of(name.begin(), name.end(), is_name_byte);
}

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

constexpr std::string_view kWideEncodingAdvice =
    ", which is not read: save it as UTF-8 (in a spreadsheet, as \"CSV UTF-8\"; or convert it, for instance "
    "with iconv -t UTF-8)";
constexpr std::string_view kLoneReturnsProblem =
    ": the lines end with carriage returns alone (an old Macintosh text format), so the file reads as one "
    "line: save it with line feeds or CR-LF line ends (in a spreadsheet, as \"CSV UTF-8\")";

// A file whose first line shows that it cannot be read as records at all,
// said as such before its header is read; false with *error.
bool check_text_form(const DataSetState& data, std::string* error) {
  const WideEncoding encoding = wide_encoding(data.text.data, data.text.size);
  if (encoding != WideEncoding::kNone) {
    error->assign(data.file_name)
        .append(": the file is encoded as ")
        .append(wide_encoding_name(encoding))
        .append(kWideEncodingAdvice);
    return false;
  }
  if (first_line_ends_in_lone_return(data.text)) {
    error->assign(data.file_name).append(kLoneReturnsProblem);
    return false;
  }
  return true;
}

std::string header_place(const DataSetState& data, const Position& start, std::size_t field) {
  return data.file_name + ", line " + std::to_string(start.line) + ", field " + std::to_string(field + 1) + ": ";
}

bool contains(std::string_view text, char c) { return text.find(c) != std::string_view::npos; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether the text holds a comma between two digits.
bool has_decimal_comma(std::string_view text) {
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] == ',' && is_digit(text[i - 1]) && is_digit(text[i + 1])) return true;
  }
  return false;
}

// Bytes of the line after the header looked at for the form of its numbers.
constexpr std::size_t kNextLineLookedAt = 4096;

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// An invalid header name and what lies around it, for the hints below.
struct InvalidName {
  std::string_view name;
  char delimiter;
  std::string_view next_line;  // the start of the line after the header
};

// The likely cause of an invalid name, said as such: the first hint whose
// test holds is added to the message.
struct NameHint {
  bool (*applies)(const InvalidName& invalid);
  std::string_view text;
};
constexpr NameHint kNameHints[] = {
    {[](const InvalidName& i) { return i.delimiter == ',' && contains(i.name, ';') && has_decimal_comma(i.next_line); },
     "; the file seems to separate its values with semicolons and to write numbers with decimal commas: save it "
     "with commas between the values and decimal points in the numbers"},
    {[](const InvalidName& i) { return i.delimiter == ',' && contains(i.name, ';'); },
     "; the file seems to separate its values with semicolons: save it with commas (or with tabs, as a .tsv file)"},
    {[](const InvalidName& i) { return i.delimiter == ',' && contains(i.name, '\t'); },
     "; the file seems to separate its values with tabs: name it .tsv"},
    {[](const InvalidName& i) { return i.name.starts_with(kUtf8ByteOrderMark); },
     "; it starts with a second byte order mark (an invisible mark of the encoding, written twice): save the file "
     "again as UTF-8, or remove the mark"},
    {[](const InvalidName& i) {
       return std::any_of(i.name.begin(), i.name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
     },
     "; names take the letters A to Z only, without accents: rename the column in the header line"},
    {[](const InvalidName& i) { return contains(i.name, ' '); },
     "; rename the column in the header line, for instance with underscores for the blanks"},
};
constexpr std::string_view kTrailingDelimiterHint =
    " (the header line ends with a delimiter: remove it, and any ending the data lines)";
constexpr std::string_view kRowNumbersHint =
    " (a first column without a name often holds row numbers: name it, or leave the column out)";

// Text for a message: bytes outside well-formed UTF-8 (a header in
// Latin-1) shown as "?", so that the log stays UTF-8.
std::string shown_text(std::string_view text) {
  std::string shown;
  while (!text.empty()) {
    const std::size_t valid = first_invalid_utf8(text.data(), text.size());
    shown.append(text.substr(0, valid));
    if (valid == text.size()) break;
    shown.push_back('?');
    text.remove_prefix(valid + 1);
  }
  return shown;
}

// The start of the line from `at` on, up to kNextLineLookedAt bytes.
std::string_view line_from(const CsvText& text, std::size_t at) {
  const std::string_view rest(text.data + at, std::min(text.size - at, kNextLineLookedAt));
  return rest.substr(0, rest.find('\n'));
}

// The name of one header field, checked; false with *error. `after` is
// where the header line ends.
bool read_name(const DataSetState& data, const Position& start, const Position& after, std::size_t field, bool last,
               std::string_view name, const std::map<std::string, std::size_t>& seen, std::string* error) {
  if (name.empty()) {
    *error = header_place(data, start, field) + "empty variable name in the header";
    if (last && field > 0) error->append(kTrailingDelimiterHint);
    if (!last && field == 0) error->append(kRowNumbersHint);
    return false;
  }
  if (!is_valid_name(name)) {
    *error = header_place(data, start, field) + "\"" + shown_text(name) +
             "\" is not a valid variable name (letters, digits and underscores, not starting with a digit, "
             "at most 32 characters)";
    const InvalidName invalid{name, data.text.delimiter, line_from(data.text, after.offset)};
    const auto hint = std::find_if(std::begin(kNameHints), std::end(kNameHints),
                                   [&invalid](const NameHint& h) { return h.applies(invalid); });
    if (hint != std::end(kNameHints)) error->append(hint->text);
    return false;
  }
  const auto earlier = seen.find(upper_case(name));
  if (earlier != seen.end()) {
    *error = header_place(data, start, field) + "duplicate variable name \"" + std::string(name) + "\" (field " +
             std::to_string(earlier->second + 1) + " is \"" + data.variables[earlier->second].name + "\")";
    return false;
  }
  return true;
}

// A first line that is not the header but stands above it: a spreadsheet's
// separator line ("sep=;"), or a title. Said as such, with the line.
constexpr std::string_view kSeparatorLinePrefix = "SEP=";
constexpr std::string_view kSeparatorLineProblem =
    "\", is a separator line that some spreadsheets write, not the header: remove it, so that the first line "
    "names the variables";
constexpr std::string_view kTitleLineProblem =
    "\", seems to be a title, not the header: remove the lines above the header line, which must come first and "
    "name the variables";

bool is_blank_field(const Field& field) { return trim_blanks(std::string_view(field.begin, field.length)).empty(); }

// Whether the header line is a title's: its first field alone filled (the
// rest are a spreadsheet's empty cells), where that is not a valid name
// or more than one cell is empty; or its only field, not a valid name and
// holding no other delimiter, where the next line has more fields. (A
// valid name alone above wider lines is left to the field count's error.)
bool is_title_line(const DataSetState& data, const FieldList& fields, std::string_view first, Position after) {
  if (first.empty()) return false;
  bool rest_blank = true;
  for (std::size_t i = 1; i < fields.size(); ++i) rest_blank = rest_blank && is_blank_field(fields[i]);
  if (fields.size() > 1) return rest_blank && (fields.size() > 2 || !is_valid_name(first));
  if (is_valid_name(first) || contains(first, ';') || contains(first, '\t')) return false;
  FieldList next;
  Position start;
  Position problem;
  return scan_record(data.text, &after, &next, &start, &problem) == ScanStatus::kRecord && next.size() > 1;
}

// Refuses a first line that stands above the header; false with *error.
bool check_first_line(DataSetState* data, const FieldList& fields, const Position& start, const Position& after,
                      std::string* error) {
  const std::string first(trim_blanks(field_value(fields[0], &data->scratch)));
  const bool separator_line = fields.size() <= 2 && upper_case(first).starts_with(kSeparatorLinePrefix) &&
                              (fields.size() == 1 || is_blank_field(fields[1]));
  const bool title = !separator_line && is_title_line(*data, fields, first, after);
  if (!separator_line && !title) return true;
  error->assign(data->file_name).append(", line ").append(std::to_string(start.line)).append(": the first line, \"");
  // The separator line whole: its delimiter ends its first field.
  std::string_view shown = first;
  if (separator_line) shown = trim_blanks(line_from(data->text, start.offset));
  if (shown.ends_with('\r')) shown.remove_suffix(1);
  error->append(shown_text(shown)).append(separator_line ? kSeparatorLineProblem : kTitleLineProblem);
  return false;
}

bool read_header(DataSetState* data, Position* pos, std::string* error) {
  Position start;
  Position problem;
  FieldList& fields = data->pass_fields;
  if (!check_text_form(*data, error)) return false;
  ScanStatus status = scan_record(data->text, pos, &fields, &start, &problem);
  // Lines of blanks above the header (an editor's stray first line) name
  // no variables: the header is the first line that holds something.
  while (status == ScanStatus::kRecord && fields.size() == 1 && is_blank_field(fields[0])) {
    status = scan_record(data->text, pos, &fields, &start, &problem);
  }
  if (status == ScanStatus::kEnd) {
    *error = data->file_name + ": the file is empty (its first line must name the variables)";
    return false;
  }
  if (status != ScanStatus::kRecord) {
    *error = describe_scan_problem(*data, status, problem);
    return false;
  }
  if (!check_first_line(data, fields, start, *pos, error)) return false;
  // A spreadsheet's empty columns after the last named one end the header
  // line with several delimiters: each of those fields counts as its end.
  std::size_t trailing_blank = fields.size();
  while (trailing_blank > 1 && is_blank_field(fields[trailing_blank - 1])) --trailing_blank;
  std::map<std::string, std::size_t> seen;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string_view name = trim_blanks(field_value(fields[i], &data->scratch));
    if (!read_name(*data, start, *pos, i, i + 1 >= trailing_blank, name, seen, error)) return false;
    seen.emplace(upper_case(name), i);
    data->variables.push_back(Variable{std::string(name), upper_case(name), true, 8});
  }
  data->text.columns = data->variables.size();
  return true;
}

// Numbers written in a form that is not read, as spreadsheets write them
// in many languages: a column of them is noted with what to do.
enum class NumberForm : std::uint8_t { kNone, kGrouped, kDecimalComma, kPercent, kOutOfRange };

struct NumberFormNote {
  NumberForm form;
  std::string_view holds;
  std::string_view advice;
};
constexpr NumberFormNote kNumberFormNotes[] = {
    {NumberForm::kGrouped, "numbers written with thousands separators", "write the numbers without separators"},
    {NumberForm::kDecimalComma, "numbers written with decimal commas",
     "write them with decimal points (and without thousands separators)"},
    {NumberForm::kPercent, "percentages", "write the numbers without the percent sign"},
    {NumberForm::kOutOfRange,
     "values beyond the range of numbers (above about 1.8E308, or nearer 0 than about 4.9E-324)",
     "correct the values, or write them in another unit"},
};

// Between groups of three digits: comma, point, blank, apostrophe, and the
// no-break spaces U+00A0 and U+202F.
constexpr std::string_view kThousandsSeparators[] = {",", ".", " ", "'", "\xC2\xA0", "\xE2\x80\xAF"};

std::size_t leading_digits(std::string_view text) {
  std::size_t n = 0;
  while (n < text.size() && text[n] >= '0' && text[n] <= '9') ++n;
  return n;
}

// Grouped digits ("41,000", "1 234 567", "1.234,5") or a decimal comma
// ("12,5") in a signed number; kNone for anything else. The separator is
// the same throughout, and the decimal mark is the other of comma and point.
NumberForm written_number_form(std::string_view text) {
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
  const std::size_t lead = leading_digits(text);
  if (lead == 0) return NumberForm::kNone;
  text.remove_prefix(lead);
  std::string_view separator;
  for (std::string_view candidate : kThousandsSeparators) {
    if (text.starts_with(candidate)) separator = candidate;
  }
  std::size_t groups = 0;
  while (lead <= 3 && !separator.empty() && text.starts_with(separator) &&
         leading_digits(text.substr(separator.size())) == 3) {
    text.remove_prefix(separator.size() + 3);
    ++groups;
  }
  if (text.empty()) return groups > 0 ? NumberForm::kGrouped : NumberForm::kNone;
  const char mark = text.front();
  const bool comma = mark == ',' && (groups == 0 || separator != ",");
  const bool point = mark == '.' && groups > 0 && separator != ".";
  if (!(comma || point) || leading_digits(text.substr(1)) != text.size() - 1 || text.size() == 1) {
    return NumberForm::kNone;
  }
  return comma ? NumberForm::kDecimalComma : NumberForm::kGrouped;
}

// A number written in full ("1e400", "-2.5E-999") whose value lies beyond
// the range of a double, which reading refuses.
bool is_out_of_range_number(std::string_view text) {
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
  if (text.empty() || !(is_digit(text.front()) || text.front() == '.')) return false;
  double ignored;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ignored);
  return error == std::errc::result_out_of_range && end == text.data() + text.size();
}

// The form of a value that is not a number but is one written otherwise.
NumberForm number_form(std::string_view text) {
  text = trim_blanks(text);
  if (is_out_of_range_number(text)) return NumberForm::kOutOfRange;
  if (text.size() > 1 && text.back() == '%') {
    text = trim_blanks(text.substr(0, text.size() - 1));
    double ignored;
    const bool number = read_numeric_text(text, &ignored) == NumericText::kNumber;
    return number || written_number_form(text) != NumberForm::kNone ? NumberForm::kPercent : NumberForm::kNone;
  }
  return written_number_form(text);
}

// Whole numbers of up to this many digits are held exactly; longer ones are
// looked at.
constexpr std::size_t kExactDigits = 15;

// Whether the text is a whole number (digits, an optional sign) that the
// double read from it does not hold exactly: codes of 17 digits and more
// that differ only in their last digits read as one number.
bool is_inexact_whole_number(std::string_view text, double number) {
  text = trim_blanks(text);
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
  while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
  if (text.size() <= kExactDigits || !std::all_of(text.begin(), text.end(), is_digit)) return false;
  char exact[kNumberTextCapacity * 12];  // room for every digit of the largest double
  const auto written = std::to_chars(exact, exact + sizeof exact, std::fabs(number), std::chars_format::fixed);
  return std::string_view(exact, static_cast<std::size_t>(written.ptr - exact)) != text;
}

// Whether a number is written with a leading zero before another digit
// ("01", "007", "00.5"): a code whose zeros are lost when read as a number.
bool has_leading_zero(std::string_view text) {
  // Most numbers start with another digit: told apart without trimming.
  if (!text.empty() && text[0] >= '1' && text[0] <= '9') return false;
  text = trim_blanks(text);
  return text.size() > 1 && text[0] == '0' && is_digit(text[1]);
}

// Moves a column on by one value of it.
void column_read(ColumnSurvey* column, NumericText value, const Field& field) {
  if (value == NumericText::kNumber) ++column->numbers;
  if (value == NumericText::kNotNumeric) {
    ++column->texts;
    // Values of a column no longer read (kText) never come here.
    if (!field.escaped && number_form(std::string_view(field.begin, field.length)) != NumberForm::kNone) {
      ++column->texts_in_number_form;
    }
  }
  switch (column->kind) {
    case ColumnKind::kNumericSoFar:
    case ColumnKind::kNumeric:
      if (value == NumericText::kNumber) column->kind = ColumnKind::kNumeric;
      if (value == NumericText::kNotNumeric) {
        column->kind = ColumnKind::kMixed;
        column->first_text = field;
      }
      return;
    case ColumnKind::kMixed:
      if (++column->read_after_text == kTextLookAhead) column->kind = ColumnKind::kText;
      return;
    case ColumnKind::kText:
      return;
  }
}

// Folds one row into the survey; false with *error for an over-long value.
bool survey_row(const FieldList& fields, std::vector<ColumnSurvey>* survey) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    ColumnSurvey& column = (*survey)[i];
    const Field& field = fields[i];
    const std::size_t length = unescaped_length(field);
    if (length > kMaxCharacterLength) return false;
    column.longest = std::max(column.longest, length);
    if (column.kind == ColumnKind::kText) continue;
    double number;
    // A value holding a quote cannot be a number.
    const NumericText value = field.escaped ? NumericText::kNotNumeric
                                            : read_numeric_text(std::string_view(field.begin, field.length), &number);
    column_read(&column, value, field);
    if (value == NumericText::kNumber && field.length > kExactDigits && !column.has_inexact &&
        is_inexact_whole_number(std::string_view(field.begin, field.length), number)) {
      column.first_inexact = field;
      column.has_inexact = true;
    }
    if (value == NumericText::kNumber && !column.has_leading_zero &&
        has_leading_zero(std::string_view(field.begin, field.length))) {
      column.first_leading_zero = field;
      column.has_leading_zero = true;
    }
  }
  return true;
}

// Joins the survey of the rows after `first`'s into first.
void join_column_survey(ColumnSurvey* first, const ColumnSurvey& second) {
  first->longest = std::max(first->longest, second.longest);
  if (!first->has_inexact && second.has_inexact) {
    first->first_inexact = second.first_inexact;
    first->has_inexact = true;
  }
  if (!first->has_leading_zero && second.has_leading_zero) {
    first->first_leading_zero = second.first_leading_zero;
    first->has_leading_zero = true;
  }
  // Looked at long enough in the first rows: a pass in one piece would
  // read no further values of it either.
  if (first->kind == ColumnKind::kText) return;
  if (first->numeric() && !second.numeric()) first->first_text = second.first_text;
  first->numbers += second.numbers;
  first->texts += second.texts;
  first->texts_in_number_form += second.texts_in_number_form;
  if (first->numeric() && second.numeric()) {
    first->kind = first->numbers > 0 ? ColumnKind::kNumeric : ColumnKind::kNumericSoFar;
  } else {
    first->kind = ColumnKind::kText;
  }
}

// A note for each column read as character whose first text is a number
// written in another form, with every text read such a number or at least
// as many numbers as texts; else for one with at least as many numbers as
// texts. Each names the line of the column's first text.
std::vector<std::string> describe_mixed_columns(const DataSetState& data,
                                                const std::vector<ColumnSurvey>& columns) {
  std::vector<std::string> notes;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const ColumnSurvey& column = columns[i];
    if (column.numeric()) continue;
    const Field& field = column.first_text;
    const NumberForm form = field.escaped ? NumberForm::kNone : number_form(std::string_view(field.begin, field.length));
    const bool numbers_otherwise = form != NumberForm::kNone && column.texts == column.texts_in_number_form;
    if (!numbers_otherwise && !column.numbers_with_stray_text()) continue;
    const std::int64_t line = line_in_file(data, static_cast<std::size_t>(field.begin - data.text.data));
    std::string note = data.file_name + ", line " + std::to_string(line) + ": variable " + data.variables[i].name;
    const auto written = std::find_if(std::begin(kNumberFormNotes), std::end(kNumberFormNotes),
                                      [form](const NumberFormNote& n) { return n.form == form; });
    if (written != std::end(kNumberFormNotes)) {
      note.append(" holds ").append(written->holds).append(", such as \"").append(shown_field_value(field));
      note.append("\", so it is read as character; ").append(written->advice);
    } else {
      note.append(" holds numbers but is read as character: \"").append(shown_field_value(field));
      note.append("\" is not a number (a missing number is a blank field or \".\")");
    }
    notes.push_back(std::move(note));
  }
  return notes;
}

constexpr std::string_view kInexactWholeNumber =
    ", which has more digits than a number holds exactly, so it is read as ";
constexpr std::string_view kInexactWholeNumberAdvice =
    ": codes that differ only in their last digits would be read as one value (one BY group or stratum); "
    "write such codes with a letter in front, so that they are read as text";

constexpr std::string_view kLeadingZero = ", a number written with a leading zero, so it is read as the number ";
constexpr std::string_view kLeadingZeroAdvice =
    ": codes such as 01 and 1 are read as one value (one BY group or stratum) and are written without their "
    "zeros; write such codes with a letter in front, so that they are read as text";

// "FILE, line N: variable NAME holds TEXT", of a column's value.
std::string value_note_start(const DataSetState& data, std::size_t column, const Field& field) {
  const std::int64_t line = line_in_file(data, static_cast<std::size_t>(field.begin - data.text.data));
  return data.file_name + ", line " + std::to_string(line) + ": variable " + data.variables[column].name + " holds " +
         std::string(trim_blanks(std::string_view(field.begin, field.length)));
}

// A note for each numeric column with a whole number longer than a double
// holds exactly, and for each with a number written with a leading zero,
// naming the line of its first such value.
void describe_code_columns(const DataSetState& data, const std::vector<ColumnSurvey>& columns,
                           std::vector<std::string>* notes) {
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const ColumnSurvey& column = columns[i];
    if (!column.numeric()) continue;
    if (column.has_inexact) {
      const Field& field = column.first_inexact;
      double number = 0;
      read_numeric_text(trim_blanks(std::string_view(field.begin, field.length)), &number);
      char exact[kNumberTextCapacity * 12];
      const auto written = std::to_chars(exact, exact + sizeof exact, number, std::chars_format::fixed);
      notes->push_back(value_note_start(data, i, field)
                           .append(kInexactWholeNumber)
                           .append(exact, written.ptr)
                           .append(kInexactWholeNumberAdvice));
    }
    if (column.has_leading_zero) {
      const Field& field = column.first_leading_zero;
      std::string_view digits = trim_blanks(std::string_view(field.begin, field.length));
      while (digits.size() > 1 && digits[0] == '0' && is_digit(digits[1])) digits.remove_prefix(1);
      notes->push_back(
          value_note_start(data, i, field).append(kLeadingZero).append(digits).append(kLeadingZeroAdvice));
    }
  }
}

std::string long_value_problem(const DataSetState& data, const FieldList& fields, const Position& start) {
  std::size_t i = 0;
  while (unescaped_length(fields[i]) <= kMaxCharacterLength) ++i;
  return data.file_name + ", line " + std::to_string(start.line) + ", field " + std::to_string(i + 1) + " (" +
         data.variables[i].name + "): value of " + std::to_string(unescaped_length(fields[i])) +
         " bytes is longer than the limit of " + std::to_string(kMaxCharacterLength);
}

// The column types and observation count of part of the rows.
struct RowsSurvey {
  std::vector<ColumnSurvey> columns;
  std::int64_t observations = 0;
};

// Surveys the rows from pos on, up to `until` (an offset; the end of the
// text for a pass in one piece); pos is left where reading stopped.
bool survey_rows_until(DataSetState* data, Position* pos, std::size_t until, RowsSurvey* survey,
                       std::string* error) {
  Position start;
  while (pos->offset < until) {
    const RecordStatus status = read_record(*data, pos, &data->pass_fields, &start, error);
    if (status == RecordStatus::kEnd) break;
    if (status == RecordStatus::kError) return false;
    if (!survey_row(data->pass_fields, &survey->columns)) {
      *error = long_value_problem(*data, data->pass_fields, start);
      return false;
    }
    ++survey->observations;
  }
  return true;
}

// Surveys the second half of a split pass; false at any problem, which the
// pass in order then reports.
bool survey_second_half(const DataSetState& data, std::size_t offset, RowsSurvey* survey) {
  try {
    return read_second_half(data, offset, [&](const FieldList& fields) {
      if (!survey_row(fields, &survey->columns)) return false;
      ++survey->observations;
      return true;
    });
  } catch (...) {
    return false;
  }
}

// Types every column over all rows and counts the observations; a large
// file in two halves at once.
bool survey_rows(DataSetState* data, Position pos, std::string* error) {
  RowsSurvey survey{std::vector<ColumnSurvey>(data->variables.size()), 0};
  const std::size_t split = second_half_start(*data, pos);
  if (split != 0) {
    RowsSurvey second{std::vector<ColumnSurvey>(data->variables.size()), 0};
    bool first_ok = false;
    bool second_ok = false;
    const bool ran = run_side_by_side(
        [&] {
          first_ok = survey_rows_until(data, &pos, split, &survey, error);
          data->file.release_before(data->text.data + pos.offset);
        },
        [&] { second_ok = survey_second_half(*data, split, &second); });
    if (ran && !first_ok) return false;
    if (ran && second_ok && pos.offset == split) {
      for (std::size_t i = 0; i < survey.columns.size(); ++i) join_column_survey(&survey.columns[i], second.columns[i]);
      survey.observations += second.observations;
      pos.offset = data->text.size;
    }
  }
  if (!survey_rows_until(data, &pos, data->text.size, &survey, error)) return false;
  data->observations = survey.observations;
  data->layout_notes = describe_mixed_columns(*data, survey.columns);
  describe_code_columns(*data, survey.columns, &data->layout_notes);
  for (std::size_t i = 0; i < survey.columns.size(); ++i) {
    Variable& variable = data->variables[i];
    variable.numeric = survey.columns[i].numeric();
    variable.length =
        variable.numeric ? 8 : static_cast<std::int32_t>(std::max<std::size_t>(survey.columns[i].longest, 1));
  }
  return true;
}

}  // namespace

bool read_layout(DataSetState* data, std::string* error) {
  Position pos{0, 1};
  if (!read_header(data, &pos, error)) return false;
  data->first_row = pos;
  return survey_rows(data, pos, error);
}

}  // namespace quilvar::runtime::datasets
