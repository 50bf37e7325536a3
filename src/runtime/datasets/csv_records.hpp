// Record scanning of delimited text (comma-separated or tab-separated):
// double-quoted fields with "" standing for one quote, quoted fields that
// hold delimiters and line breaks, LF or CRLF line ends, empty lines
// skipped. Fields are handed out as spans of the mapped text; an unquoted
// field starts after its leading blanks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quilvar::runtime::datasets {

// A place in the text: byte offset and the 1-based line it lies on.
struct Position {
  std::size_t offset = 0;
  std::int64_t line = 1;
};

// One field: the bytes between the quotes for a quoted field, else the
// bytes between the delimiters. `escaped`: holds "" pairs for one quote.
struct Field {
  const char* begin;
  std::size_t length;
  bool escaped;
};

// The fields of one record. Its storage only grows, so scanning record
// after record allocates nothing once it has reached the record width.
class FieldList {
 public:
  std::size_t size() const { return count_; }
  const Field& operator[](std::size_t i) const { return storage_[i]; }
  void clear() { count_ = 0; }
  void push_back(const Field& field) {
    if (count_ == storage_.size()) storage_.resize(storage_.empty() ? 16 : 2 * storage_.size());
    storage_[count_++] = field;
  }
  void assign(const FieldList& other) {
    if (storage_.size() < other.count_) storage_.resize(other.count_);
    std::copy(other.storage_.begin(), other.storage_.begin() + static_cast<std::ptrdiff_t>(other.count_),
              storage_.begin());
    count_ = other.count_;
  }

 private:
  std::vector<Field> storage_;
  std::size_t count_ = 0;
};

struct CsvText {
  const char* data;
  std::size_t size;
  char delimiter;  // ',' or '\t'
  // The header's fields, once it is read (0 before): in a file of more
  // than one column a line of blanks holds no value and is skipped.
  std::size_t columns = 0;
};

// The most bytes between the quotes of a quoted field: twice the longest
// value, all of it doubled quotes. A field still open past this many holds
// no value that can be read, and is reported as such where it opens,
// without scanning on: a lost closing quote near the start of a large file
// would otherwise take its whole rest (every page of it) into one field.
inline constexpr std::size_t kMaxQuotedFieldBytes = 2 * 32767;

enum class ScanStatus { kRecord, kEnd, kUnterminatedQuote, kQuotedFieldTooLong, kTextAfterQuote, kNulByte };

// Scans the record at *pos (after any empty lines, and lines of delimiters
// and blanks only, which spreadsheets write for empty rows) into fields, sets *start
// to where it begins and moves *pos past its line end. Returns kEnd when
// only empty lines remain; on a malformed record returns the problem with
// *problem at the offending byte (the opening quote of an unterminated or
// too long quoted field).
ScanStatus scan_record(const CsvText& text, Position* pos, FieldList* fields,
                       Position* start, Position* problem);

// The number of bytes a UTF-8 byte order mark takes at the start (3 or 0).
std::size_t byte_order_mark_length(const char* data, std::size_t size);

// Text in code units of two or four bytes, which spreadsheets write for
// "Unicode text": the reader takes one byte for one letter, so such a file
// is refused, not read.
enum class WideEncoding { kNone, kUtf16LittleEndian, kUtf16BigEndian, kUtf32LittleEndian, kUtf32BigEndian };

// The wide encoding the file's first bytes show: its byte order mark, or
// without one, code units that each hold a letter below U+0100 with NUL
// bytes beside it. kNone for anything else (UTF-8 and other 8-bit text).
WideEncoding wide_encoding(const char* data, std::size_t size);

// How the user is told of a wide encoding ("UTF-16 (little-endian)"); empty
// for kNone.
std::string_view wide_encoding_name(WideEncoding encoding);

// Whether the first line holds a carriage return not followed by a line
// feed: a file whose lines end in carriage returns alone reads as one long
// line. Only the first line is looked at, so a lone CR inside a later
// value stays data.
bool first_line_ends_in_lone_return(const CsvText& text);

// The offset of the first byte that does not belong to a well-formed UTF-8
// sequence, or size when every byte does (plain ASCII is checked 32 bytes
// at a time).
std::size_t first_invalid_utf8(const char* data, std::size_t size);

// The 1-based line of the byte at offset: line feeds inside quoted fields
// count, as records count them.
std::int64_t line_of(const CsvText& text, std::size_t offset);

// The 1-based column of the byte at offset within its line, in letters:
// bytes that continue a UTF-8 letter do not count (in a line before the
// offset that is not UTF-8, every byte counts).
std::size_t column_of(const CsvText& text, std::size_t offset);

// The field's value length once "" pairs count as one quote.
std::size_t unescaped_length(const Field& field);

// Unescapes a field holding "" pairs into *scratch.
std::string_view unescaped_value(const Field& field, std::string* scratch);

// The field's value; an escaped field is unescaped into *scratch.
inline std::string_view field_value(const Field& field, std::string* scratch) {
  if (!field.escaped) return std::string_view(field.begin, field.length);
  return unescaped_value(field, scratch);
}

// True for the second to last bytes of a UTF-8 sequence.
inline bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// A field's value for a one-line message: quotes undoubled, line breaks and
// other control characters as blanks, cut after about 40 bytes at the start
// of a character and then ending in "...".
std::string shown_field_value(const Field& field);

}  // namespace quilvar::runtime::datasets
