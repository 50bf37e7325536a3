// Number texts: the shortest decimal text that reads back as the same double
// (for JSON and CSV), the display formats of the listing and the HTML report,
// and the texts of missing values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace quilvar::runtime::output {

// Count, fixed and p-value texts wider than a non-zero `width` are shown
// as the best text in `width` instead.
enum class FormatKind : unsigned char {
  kCount,   // whole numbers as integers, others with `decimals` decimals
  kFixed,   // `decimals` decimals
  kPValue,  // "<.0001" below 0.0001, else `decimals` decimals
  kBest,    // the most precise text that fits `width` characters
  kText,    // character values as they stand
};

struct DisplayFormat {
  FormatKind kind = FormatKind::kBest;
  int width = 12;
  int decimals = 0;
  // A column of small values (risks, rates per person) takes more decimals
  // in a table, as decimals_for_largest says, rather than showing 0.0000.
  bool widens_for_small = false;
};

inline constexpr DisplayFormat kCountFormat{FormatKind::kCount, 12, 4};
inline constexpr DisplayFormat kFourDecimals{FormatKind::kFixed, 12, 4, true};
inline constexpr DisplayFormat kTwoDecimals{FormatKind::kFixed, 8, 2};
inline constexpr DisplayFormat kPValueFormat{FormatKind::kPValue, 6, 4};
inline constexpr DisplayFormat kBest8{FormatKind::kBest, 8, 0};
inline constexpr DisplayFormat kBest12{FormatKind::kBest, 12, 0};
inline constexpr DisplayFormat kTextFormat{FormatKind::kText, 0, 0};

// The decimals a widening format shows in a column whose largest size
// (absolute value) is `largest`: six below 0.01, eight below 0.0001 and ten
// below 0.000001, so that the values keep three or four significant digits;
// its own decimals from 0.01 up, and below 0.00000001, where values are
// taken for rounding residue (the difference of two equal risks) and shown
// as zeros.
int decimals_for_largest(double largest, int decimals);

// The shortest decimal text that reads back as `value` (a finite double),
// without an exponent for sizes from 1e-5 up to 1e15.
std::string shortest_text(double value);

// Appends shortest_text(value) to *out without a temporary string.
void append_shortest(std::string* out, double value);

// The room a shortest text written in place needs (it uses fewer bytes).
inline constexpr std::size_t kShortestTextRoom = 48;

// Rows of the CSV and JSON files are written in place: open_room grows *out
// by `room` bytes and returns where they start, close_room cuts *out where
// the writing ended. One call to each per row replaces a call to append
// (and a library copy) per field.
inline char* open_room(std::string* out, std::size_t room) {
  const std::size_t size = out->size();
  out->resize(size + room);
  return out->data() + size;
}
inline void close_room(std::string* out, const char* end) {
  out->resize(static_cast<std::size_t>(end - out->data()));
}
inline char* put_text(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

// Remembers the shortest texts of the numbers written lately. A run's files
// repeat many numbers: a reference population's values in every BY group,
// the same rate in the stratum table and in the effect table, every value
// once in CSV and once in JSON. A remembered text costs a comparison rather
// than a digit search. One thread at a time may use it.
class ShortestTextCache {
 public:
  ShortestTextCache();
  // Appends shortest_text(value) to *out.
  void append(std::string* out, double value);
  // Writes shortest_text(value) at `at`, which has kShortestTextRoom bytes
  // of room, and returns its end.
  char* write(char* at, double value);

 private:
  static constexpr int kBits = 12;
  struct Entry {
    std::uint64_t bits;
    std::uint32_t length;
    char text[28];
  };
  std::vector<Entry> entries_;
};

// The text of a missing value: "." for the standard one, ".A" to ".Z" and
// "._" for the special ones.
std::string missing_text(double value);

// A special missing value's text (".A"), or empty for the standard one.
std::string special_missing_text(double value);

// `value` in the display format; missing values give missing_text.
std::string format_display(double value, const DisplayFormat& format);
// Appends format_display(value, format) to *out.
void append_display(std::string* out, double value, const DisplayFormat& format);

// `value` with exactly `decimals` decimals; never "-0.00".
std::string format_fixed(double value, int decimals);

// `value` in E notation with at most `decimals` decimals in its significand
// and no zeros after them: 1.5E-9, 2E7.
std::string format_exponent(double value, int decimals);

// The most precise text of `value` in at most `width` characters: the
// shortest text when it fits, else fewer decimals, else E notation; `width`
// asterisks when nothing fits.
std::string format_best(double value, int width);

// Reads a format name given with a column: "BESTw.", "w.d", "w." or "$w.".
// Returns false for any other text.
bool parse_format(std::string_view text, DisplayFormat* format);

// The name under which a stored display format is reported ("BEST8.").
std::string format_name(const DisplayFormat& format);

}  // namespace quilvar::runtime::output
