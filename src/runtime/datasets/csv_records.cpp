// Record scanning. A short plain record (no quote, CR or NUL before its line
// feed) is cut at its delimiters from one bit map of 64 bytes where the
// processor has SSE2. Otherwise unquoted fields end at the next delimiter,
// line end or NUL, found through such bit maps (most fields are short, so
// one map serves several), else through a byte class table per delimiter;
// quoted fields go byte by byte.
#include "runtime/datasets/csv_records.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quilvar::runtime::datasets {

namespace {

enum ByteClass : std::uint8_t { kOrdinary = 0, kDelimiter, kLineFeed, kCarriageReturn, kNul, kQuote };

using ClassTable = std::array<std::uint8_t, 256>;

// Bytes that end an unquoted field, or need a look, for one delimiter.
constexpr ClassTable make_unquoted_table(char delimiter) {
  ClassTable table{};
  table[static_cast<unsigned char>(delimiter)] = kDelimiter;
  table['\n'] = kLineFeed;
  table['\r'] = kCarriageReturn;
  table[0] = kNul;
  return table;
}

// Bytes that need a look inside a quoted field.
constexpr ClassTable make_quoted_table() {
  ClassTable table{};
  table['"'] = kQuote;
  table['\n'] = kLineFeed;
  table[0] = kNul;
  return table;
}

constexpr ClassTable kCommaTable = make_unquoted_table(',');
constexpr ClassTable kTabTable = make_unquoted_table('\t');
constexpr ClassTable kQuotedTable = make_quoted_table();

constexpr std::ptrdiff_t kWindowBytes = 64;

struct Cursor {
  const char* p;
  const char* end;
  std::int64_t line;
  // Bit i of mask is set when window[i] ends an unquoted field or needs a
  // look; window is null until the first map is made.
  const char* window = nullptr;
  std::uint64_t mask = 0;
};

// An unquoted field without the blanks that lead it: "a, b" holds the
// value "b", as a reader of the file sees it. Quoting keeps them.
Field unquoted_field(const char* begin, const char* end) {
  while (begin < end && *begin == ' ') ++begin;
  return Field{begin, static_cast<std::size_t>(end - begin), false};
}

// The same for a field that ends at a delimiter or line feed, which stops
// the blanks without a bound check.
Field unquoted_field_before_stop(const char* begin, const char* stop) {
  while (*begin == ' ') ++begin;
  return Field{begin, static_cast<std::size_t>(stop - begin), false};
}

// LF, CRLF, or a CR that is the file's last byte: a CRLF file whose last
// line feed was lost ends there, and the CR is not part of the last value.
bool at_line_end(const Cursor& c) {
  return *c.p == '\n' || (*c.p == '\r' && (c.p + 1 == c.end || c.p[1] == '\n'));
}

// Moves past one line end.
void pass_line_end(Cursor* c) {
  if (*c->p == '\r') ++c->p;
  if (c->p < c->end) ++c->p;
  ++c->line;
}

#if defined(__SSE2__)
// The bits of the bytes in [p, p + 64) that are delimiters, LF, CR or NUL.
std::uint64_t special_byte_mask(const char* p, char delimiter) {
  const __m128i delimiters = _mm_set1_epi8(delimiter);
  const __m128i line_feeds = _mm_set1_epi8('\n');
  const __m128i returns = _mm_set1_epi8('\r');
  const __m128i nuls = _mm_setzero_si128();
  std::uint64_t mask = 0;
  for (int i = 0; i < kWindowBytes; i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, delimiters), _mm_cmpeq_epi8(block, line_feeds)),
                                      _mm_or_si128(_mm_cmpeq_epi8(block, returns), _mm_cmpeq_epi8(block, nuls)));
    mask |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits))) << i;
  }
  return mask;
}
#endif

#if defined(__SSE2__)
// The common record, short and plain: it ends at a line feed within the 64
// bytes from c->p and holds no quote, CR or NUL before it. Its fields are
// cut at the delimiters found in one bit map; false (nothing read) for any
// other record, which the general scan then reads.
bool scan_plain_record(char delimiter, Cursor* c, FieldList* fields) {
  if (c->end - c->p < kWindowBytes) return false;
  const __m128i delimiters = _mm_set1_epi8(delimiter);
  const __m128i line_feeds = _mm_set1_epi8('\n');
  const __m128i quotes = _mm_set1_epi8('"');
  const __m128i returns = _mm_set1_epi8('\r');
  const __m128i nuls = _mm_setzero_si128();
  std::uint64_t delimiter_bits = 0;
  std::uint64_t line_feed_bits = 0;
  std::uint64_t other_bits = 0;
  for (int i = 0; i < kWindowBytes; i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c->p + i));
    const auto bits = [&](__m128i hits) {
      return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits))) << i;
    };
    delimiter_bits |= bits(_mm_cmpeq_epi8(block, delimiters));
    line_feed_bits |= bits(_mm_cmpeq_epi8(block, line_feeds));
    other_bits |= bits(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, quotes), _mm_cmpeq_epi8(block, returns)),
                                    _mm_cmpeq_epi8(block, nuls)));
  }
  if (line_feed_bits == 0) return false;
  const int line_end = __builtin_ctzll(line_feed_bits);
  const std::uint64_t before = (std::uint64_t{1} << line_end) - 1;
  if ((other_bits & before) != 0) return false;
  const char* field = c->p;
  for (std::uint64_t cuts = delimiter_bits & before; cuts != 0; cuts &= cuts - 1) {
    const char* cut = c->p + __builtin_ctzll(cuts);
    fields->push_back(unquoted_field_before_stop(field, cut));
    field = cut + 1;
  }
  fields->push_back(unquoted_field_before_stop(field, c->p + line_end));
  c->p += line_end + 1;
  ++c->line;
  return true;
}
#endif

// The first byte from c->p on that ends an unquoted field or needs a look
// (delimiter, LF, CR, NUL), or the end. Where the processor allows, a bit
// map of 64 bytes at a time serves all the short fields inside it.
const char* find_field_end(const ClassTable& table, char delimiter, Cursor* c) {
  const char* p = c->p;
#if defined(__SSE2__)
  for (;;) {
    if (c->window != nullptr && p >= c->window && p - c->window < kWindowBytes) {
      const std::uint64_t rest = c->mask >> (p - c->window);
      if (rest != 0) return p + __builtin_ctzll(rest);
      p = c->window + kWindowBytes;
    }
    if (c->end - p < kWindowBytes) break;
    c->window = p;
    c->mask = special_byte_mask(p, delimiter);
  }
#else
  (void)delimiter;
#endif
  while (p < c->end && table[static_cast<unsigned char>(*p)] == kOrdinary) ++p;
  return p;
}

// Scans an unquoted field up to its delimiter, line end or the end of the
// text. A lone CR is data; a quote inside the field is data too.
ScanStatus scan_unquoted(const ClassTable& table, char delimiter, Cursor* c, FieldList* fields) {
  const char* start = c->p;
  for (;;) {
    c->p = find_field_end(table, delimiter, c);
    if (c->p == c->end) break;
    const std::uint8_t kind = table[static_cast<unsigned char>(*c->p)];
    if (kind == kNul) return ScanStatus::kNulByte;
    if (kind == kCarriageReturn && !at_line_end(*c)) {
      ++c->p;
      continue;
    }
    break;
  }
  fields->push_back(unquoted_field(start, c->p));
  return ScanStatus::kRecord;
}

// Scans a quoted field from its opening quote to just past the closing one,
// which may stand at most kMaxQuotedFieldBytes after the opening one.
ScanStatus scan_quoted(Cursor* c, FieldList* fields) {
  const char* start = ++c->p;
  const bool bounded = static_cast<std::size_t>(c->end - start) > kMaxQuotedFieldBytes;
  const char* const stop = bounded ? start + kMaxQuotedFieldBytes + 1 : c->end;
  bool escaped = false;
  for (;;) {
    while (c->p < stop && kQuotedTable[static_cast<unsigned char>(*c->p)] == kOrdinary) ++c->p;
    // A doubled quote may step one byte past the bound.
    if (c->p >= stop) return bounded ? ScanStatus::kQuotedFieldTooLong : ScanStatus::kUnterminatedQuote;
    if (*c->p == '\n') {
      ++c->p;
      ++c->line;
    } else if (*c->p == 0) {
      return ScanStatus::kNulByte;
    } else if (c->p + 1 < c->end && c->p[1] == '"') {
      escaped = true;
      c->p += 2;
    } else {
      break;
    }
  }
  fields->push_back(Field{start, static_cast<std::size_t>(c->p - start), escaped});
  ++c->p;
  return ScanStatus::kRecord;
}

ScanStatus scan_fields(const CsvText& text, Cursor* c, FieldList* fields, Position* problem) {
  const ClassTable& table = text.delimiter == '\t' ? kTabTable : kCommaTable;
  for (;;) {
    // Blanks before an opening quote are not part of the value either.
    const char* first = c->p;
    while (first < c->end && *first == ' ') ++first;
    const bool quoted = first < c->end && *first == '"';
    if (quoted) c->p = first;
    const char* field_start = c->p;
    const std::int64_t field_line = c->line;
    const ScanStatus status = quoted ? scan_quoted(c, fields) : scan_unquoted(table, text.delimiter, c, fields);
    if (status != ScanStatus::kRecord) {
      // An unterminated or too long quoted field is reported where it
      // opened; a NUL where it is.
      const bool at_open = status == ScanStatus::kUnterminatedQuote || status == ScanStatus::kQuotedFieldTooLong;
      *problem = Position{static_cast<std::size_t>((at_open ? field_start : c->p) - text.data),
                          at_open ? field_line : c->line};
      return status;
    }
    if (c->p == c->end) return ScanStatus::kRecord;
    if (*c->p == text.delimiter) {
      ++c->p;
      continue;
    }
    if (at_line_end(*c)) {
      pass_line_end(c);
      return ScanStatus::kRecord;
    }
    *problem = Position{static_cast<std::size_t>(c->p - text.data), c->line};
    return ScanStatus::kTextAfterQuote;
  }
}

}  // namespace

namespace {

// Scans one record, empty lines before it passed; see scan_record.
ScanStatus scan_one_record(const CsvText& text, Position* pos, FieldList* fields, Position* start,
                           Position* problem) {
  Cursor c{text.data + pos->offset, text.data + text.size, pos->line};
  while (c.p < c.end && at_line_end(c)) pass_line_end(&c);
  fields->clear();
  if (c.p == c.end) {
    *pos = Position{text.size, c.line};
    return ScanStatus::kEnd;
  }
  *start = Position{static_cast<std::size_t>(c.p - text.data), c.line};
#if defined(__SSE2__)
  if (scan_plain_record(text.delimiter, &c, fields)) {
    *pos = Position{static_cast<std::size_t>(c.p - text.data), c.line};
    return ScanStatus::kRecord;
  }
#endif
  const ScanStatus status = scan_fields(text, &c, fields, problem);
  *pos = Position{static_cast<std::size_t>(c.p - text.data), c.line};
  return status;
}

// Whether the bytes [begin, end) are delimiters, blanks and line ends only,
// with at least one delimiter or in a file of more than one column: a line
// of blanks alone is the blank value of a file of one column, but in a
// wider file it is an empty line that an editor shows as such.
bool only_separators(const CsvText& text, std::size_t begin, std::size_t end) {
  bool delimited = false;
  for (std::size_t i = begin; i < end; ++i) {
    const char c = text.data[i];
    if (c == text.delimiter) {
      delimited = true;
    } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      return false;
    }
  }
  return delimited || text.columns > 1;
}

}  // namespace

ScanStatus scan_record(const CsvText& text, Position* pos, FieldList* fields,
                       Position* start, Position* problem) {
  for (;;) {
    const ScanStatus status = scan_one_record(text, pos, fields, start, problem);
    // A record of delimiters only (",,,," where a spreadsheet saved an
    // empty row) is an empty line too.
    if (status != ScanStatus::kRecord || !only_separators(text, start->offset, pos->offset)) return status;
  }
}

std::size_t byte_order_mark_length(const char* data, std::size_t size) {
  return size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
}

namespace {

// Code units of a wide encoding looked at when the file has no byte order
// mark: enough for a header line's first names.
constexpr std::size_t kWideSampleUnits = 32;

// Whether the text starts with at least two code units of `width` bytes,
// each a letter below U+0100: its low byte (the first in little-endian
// order) not NUL, every other byte NUL.
bool starts_with_wide_units(const unsigned char* bytes, std::size_t size, std::size_t width, bool little_endian) {
  const std::size_t units = std::min(size / width, kWideSampleUnits);
  if (units < 2) return false;
  for (std::size_t u = 0; u < units; ++u) {
    const unsigned char* unit = bytes + u * width;
    const std::size_t low = little_endian ? 0 : width - 1;
    for (std::size_t k = 0; k < width; ++k) {
      if ((unit[k] != 0) != (k == low)) return false;
    }
  }
  return true;
}

}  // namespace

WideEncoding wide_encoding(const char* data, std::size_t size) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  const auto starts = [&](std::string_view mark) { return size >= mark.size() && std::memcmp(data, mark.data(), mark.size()) == 0; };
  // UTF-32's little-endian mark starts with UTF-16's.
  if (starts(std::string_view("\xFF\xFE\0\0", 4))) return WideEncoding::kUtf32LittleEndian;
  if (starts(std::string_view("\0\0\xFE\xFF", 4))) return WideEncoding::kUtf32BigEndian;
  if (starts("\xFF\xFE")) return WideEncoding::kUtf16LittleEndian;
  if (starts("\xFE\xFF")) return WideEncoding::kUtf16BigEndian;
  if (starts_with_wide_units(bytes, size, 4, true)) return WideEncoding::kUtf32LittleEndian;
  if (starts_with_wide_units(bytes, size, 4, false)) return WideEncoding::kUtf32BigEndian;
  if (starts_with_wide_units(bytes, size, 2, true)) return WideEncoding::kUtf16LittleEndian;
  if (starts_with_wide_units(bytes, size, 2, false)) return WideEncoding::kUtf16BigEndian;
  return WideEncoding::kNone;
}

std::string_view wide_encoding_name(WideEncoding encoding) {
  switch (encoding) {
    case WideEncoding::kUtf16LittleEndian: return "UTF-16 (little-endian)";
    case WideEncoding::kUtf16BigEndian: return "UTF-16 (big-endian)";
    case WideEncoding::kUtf32LittleEndian: return "UTF-32 (little-endian)";
    case WideEncoding::kUtf32BigEndian: return "UTF-32 (big-endian)";
    case WideEncoding::kNone: break;
  }
  return "";
}

bool first_line_ends_in_lone_return(const CsvText& text) {
  if (text.size == 0) return false;  // an empty file maps to no address at all
  const char* const end = text.data + text.size;
  const auto* line_feed = static_cast<const char*>(std::memchr(text.data, '\n', text.size));
  const char* const line_end = line_feed == nullptr ? end : line_feed;
  const auto* cr = static_cast<const char*>(std::memchr(text.data, '\r', static_cast<std::size_t>(line_end - text.data)));
  return cr != nullptr && cr + 1 != line_feed;
}

namespace {

// The bytes from i on that are ASCII, taken 32 and then 8 at a time; at
// least one unless the next byte is not ASCII.
std::size_t ascii_run(const unsigned char* bytes, std::size_t i, std::size_t size) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  const std::size_t from = i;
  for (std::uint64_t words[4]; size - i >= 32; i += 32) {
    std::memcpy(words, bytes + i, sizeof words);
    if (((words[0] | words[1] | words[2] | words[3]) & kHighBits) != 0) break;
  }
  for (std::uint64_t word; size - i >= 8; i += 8) {
    std::memcpy(&word, bytes + i, sizeof word);
    if ((word & kHighBits) != 0) break;
  }
  while (i < size && bytes[i] < 0x80) ++i;
  return i - from;
}

// The length of the well-formed multi-byte sequence at i, or 0. The range
// of its second byte excludes overlong forms, surrogates and code points
// above U+10FFFF.
std::size_t sequence_length(const unsigned char* bytes, std::size_t i, std::size_t size) {
  const unsigned char lead = bytes[i];
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (size - i < length || bytes[i + 1] < low || bytes[i + 1] > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (!is_continuation_byte(static_cast<char>(bytes[i + k]))) return 0;
  }
  return length;
}

}  // namespace

std::size_t first_invalid_utf8(const char* data, std::size_t size) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  while (i < size) {
    i += ascii_run(bytes, i, size);
    if (i == size) break;
    const std::size_t length = sequence_length(bytes, i, size);
    if (length == 0) return i;
    i += length;
  }
  return size;
}

std::string shown_field_value(const Field& field) {
  constexpr std::size_t kShownField = 40;
  std::string scratch;
  const std::string_view value = field_value(field, &scratch);
  std::size_t cut = std::min(value.size(), kShownField);
  while (cut < value.size() && cut > 0 && is_continuation_byte(value[cut])) --cut;
  std::string shown(value.substr(0, cut));
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return cut < value.size() ? shown + "..." : shown;
}

std::int64_t line_of(const CsvText& text, std::size_t offset) {
  return 1 + std::count(text.data, text.data + offset, '\n');
}

std::size_t column_of(const CsvText& text, std::size_t offset) {
  std::size_t start = offset;
  while (start > 0 && text.data[start - 1] != '\n') --start;
  // A line in another encoding (Latin-1) is read byte for byte: each byte
  // is a letter there.
  if (first_invalid_utf8(text.data + start, offset - start) != offset - start) return offset - start + 1;
  std::size_t column = 1;
  for (std::size_t at = start; at < offset; ++at) column += !is_continuation_byte(text.data[at]);
  return column;
}

std::size_t unescaped_length(const Field& field) {
  if (!field.escaped) return field.length;
  std::size_t quotes = 0;
  for (std::size_t i = 0; i < field.length; ++i) quotes += field.begin[i] == '"';
  return field.length - quotes / 2;
}

std::string_view unescaped_value(const Field& field, std::string* scratch) {
  scratch->clear();
  for (std::size_t i = 0; i < field.length; ++i) {
    scratch->push_back(field.begin[i]);
    if (field.begin[i] == '"') ++i;  // the second quote of a "" pair
  }
  return *scratch;
}

}  // namespace quilvar::runtime::datasets
