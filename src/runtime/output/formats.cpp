// Number texts for the destinations: shortest round-trip texts (Dragonbox
// digits in to_chars' layout), fixed-decimal and best-fit display formats,
// missing values.
#include "runtime/output/formats.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include <fmt/format.h>

#include "quilvar/host/missing.hpp"

namespace quilvar::runtime::output {
namespace {

// Large enough for any double in fixed notation with kMaxDecimals decimals.
constexpr std::size_t kNumberBufferSize = 400;
constexpr int kMaxDecimals = 30;
constexpr int kMaxWidth = 32;
constexpr double kSmallestShownP = 0.0001;
// Columns of small values: below each size its decimals, the smallest size
// first; below kSmallestWidened nothing widens.
struct SmallValueStep {
  double below;
  int decimals;
};
constexpr std::array kSmallValueSteps{SmallValueStep{0.000001, 10}, SmallValueStep{0.0001, 8},
                                      SmallValueStep{0.01, 6}};
constexpr double kSmallestWidened = 0.00000001;
// The width that shows any value from kSmallestWidened up with a significant
// digit: "0.00000001".
constexpr int kSmallestWidth = 10;
constexpr std::string_view kSmallPText = "<.0001";
// Whole numbers up to this size are exact in a double and shown as integers.
constexpr double kLargestShownInteger = 1e15;

// Between these sizes shortest texts are written without an exponent
// ("2000000" rather than "2e+06"), which readers of CSV files expect.
constexpr double kSmallestPlain = 1e-5;
constexpr double kLargestPlain = 1e15;
static_assert(kLargestPlain < 9007199254740992.0, "whole numbers below kLargestPlain must be exact");
// Room for any shortest text (sign, 17 digits, point, exponent or the zeros
// of the smallest plain numbers) and for the constant-length copies that
// write its digits.
constexpr std::size_t kShortestTextCapacity = kShortestTextRoom;
static_assert(kShortestTextCapacity >= 2 + 5 + 2 * 17);

using NumberBuffer = std::array<char, kNumberBufferSize>;

// Fixed notation with `decimals` decimals, for the common case of a number
// below 2^53 and at most kMaxQuickDecimals decimals. The number is an integer
// times 2^-shift: its whole part and its fraction's bits are cut apart
// exactly, the fraction times 10^decimals is formed exactly in 128 bits and
// rounded half to even (what std::to_chars gives), and a fraction that rounds
// up to one carries into the whole part; no division by a power of ten is
// needed. Null for any other case.
constexpr int kMaxQuickDecimals = 18;
constexpr int kMantissaBits = 52;
constexpr int kExponentBias = 1075;  // 1023 plus the 52 fraction bits
constexpr int kMaxWholeDigits = 20;   // of a 64-bit integer
constexpr int kWideBits = 128;
constexpr std::array<std::uint64_t, kMaxQuickDecimals + 1> kPowersOfTen = [] {
  std::array<std::uint64_t, kMaxQuickDecimals + 1> powers{};
  std::uint64_t power = 1;
  for (std::uint64_t& entry : powers) {
    entry = power;
    power *= 10;
  }
  return powers;
}();

// "00", "01", ..., "99" in one text.
constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (std::size_t i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

// scaled / 2^shift rounded half to even: a tie goes to the even last
// decimal, or to the even whole part when there are no decimals.
template <class Wide>
std::uint64_t rounded_digits(Wide scaled, int shift, bool whole_odd, bool has_decimals) {
  const Wide quotient = scaled >> shift;
  const Wide rest = scaled - (quotient << shift);
  const Wide half = Wide{1} << (shift - 1);
  const auto digits = static_cast<std::uint64_t>(quotient);
  const bool odd = has_decimals ? (digits & 1) != 0 : whole_odd;
  return digits + (rest > half || (rest == half && odd) ? 1 : 0);
}

char* quick_fixed(char* out, double value, int decimals) {
  if (decimals < 0 || decimals > kMaxQuickDecimals || !std::isfinite(value)) return nullptr;
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const int biased = static_cast<int>((bits >> kMantissaBits) & 0x7FF);
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << kMantissaBits) - 1);
  if (biased != 0) mantissa |= std::uint64_t{1} << kMantissaBits;
  const int shift = kExponentBias - (biased == 0 ? 1 : biased);
  if (shift < 0) return nullptr;  // 2^53 or more
  std::uint64_t whole = shift >= 64 ? 0 : mantissa >> shift;
  const std::uint64_t fraction = shift >= 64 ? mantissa : mantissa & ((std::uint64_t{1} << shift) - 1);
  const std::uint64_t power = kPowersOfTen[static_cast<std::size_t>(decimals)];
  std::uint64_t digits = 0;  // the decimals as one integer, below `power`
  std::uint64_t narrow = 0;  // fraction × power, when it fits 64 bits as it mostly does
  const bool whole_odd = (whole & 1) != 0;
  if (shift > 0 && shift < 64 && !__builtin_mul_overflow(fraction, power, &narrow)) {
    digits = rounded_digits(narrow, shift, whole_odd, decimals > 0);
  } else if (shift > 0 && shift < kWideBits) {
    digits = rounded_digits(static_cast<unsigned __int128>(fraction) * power, shift, whole_odd, decimals > 0);
  }  // shift 0: no fraction; 128 or more: under half a unit of the last decimal, so zero
  if (digits == power) {  // the fraction rounded up to one
    digits = 0;
    ++whole;
  }
  if (std::signbit(value)) *out++ = '-';
  out = std::to_chars(out, out + kMaxWholeDigits, whole).ptr;
  if (decimals == 0) return out;
  *out++ = '.';
  // The decimals from the last, two at a time, leading zeros included.
  char* end = out + decimals;
  char* next = end;
  for (; next - out >= 2; digits /= 100) {
    next -= 2;
    std::memcpy(next, &kDigitPairs[2 * (digits % 100)], 2);
  }
  if (next > out) *out = static_cast<char>('0' + digits);
  return end;
}

// Writes `value` with `precision` decimals (fixed) or digits (scientific)
// into the buffer; returns the end.
char* write_number(NumberBuffer& buffer, double value, std::chars_format style, int precision) {
  if (style == std::chars_format::fixed) {
    if (char* end = quick_fixed(buffer.data(), value, precision)) return end;
  }
  return std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, style, precision).ptr;
}

std::string to_text(double value, std::chars_format style, int precision) {
  NumberBuffer buffer;
  return std::string(buffer.data(), write_number(buffer, value, style, precision));
}

// Whether the text is a negative number that rounded to zero ("-0.00").
bool is_negative_zero(std::string_view text) {
  return !text.empty() && text[0] == '-' && text.find_first_of("123456789") == std::string_view::npos;
}

// Drops the sign of a text that rounded to zero ("-0.00" reads as "0.00").
void drop_negative_zero(std::string* text) {
  if (is_negative_zero(*text)) text->erase(0, 1);
}

void strip_trailing_zeros(std::string* text) {
  if (text->find('.') == std::string::npos) return;
  while (text->back() == '0') text->pop_back();
  if (text->back() == '.') text->pop_back();
}

// Counts the digits that carry information: all but leading zeros and the
// exponent.
int significant_digits(std::string_view text) {
  text = text.substr(0, text.find('E'));
  const std::size_t first = text.find_first_of("123456789");
  if (first == std::string_view::npos) return 0;
  return static_cast<int>(std::count_if(text.begin() + static_cast<std::ptrdiff_t>(first), text.end(),
                                        [](char c) { return c >= '0' && c <= '9'; }));
}

// The fixed-notation text with the most decimals that fits `width`, trailing
// zeros dropped; empty when even the integer part does not fit. The integer
// part rounded to no decimals can be a digit longer than the one shown with
// decimals (9.71 gives "10"), so the search starts one decimal higher; texts
// too wide are passed over.
std::string best_fixed(double value, int width) {
  const int integer_length = static_cast<int>(to_text(value, std::chars_format::fixed, 0).size());
  for (int decimals = width - integer_length; decimals >= 0; --decimals) {
    std::string text = to_text(value, std::chars_format::fixed, decimals);
    if (static_cast<int>(text.size()) > width) continue;
    strip_trailing_zeros(&text);
    drop_negative_zero(&text);
    return text;
  }
  return std::string();  // no decimals is the whole part, wider than width
}

// "1.2346e+08" as "1.2346E8" and "1.5e-05" as "1.5E-5".
std::string compact_exponent(const std::string& text) {
  const std::size_t e = text.find('e');
  std::string mantissa = text.substr(0, e);
  strip_trailing_zeros(&mantissa);
  const int exponent = std::stoi(text.substr(e + 1));
  return mantissa + "E" + std::to_string(exponent);
}

// The E-notation text with the most digits that fits `width`; empty if none.
std::string best_scientific(double value, int width) {
  for (int precision = width; precision >= 0; --precision) {
    std::string text = compact_exponent(to_text(value, std::chars_format::scientific, precision));
    if (static_cast<int>(text.size()) <= width) return text;
  }
  return std::string();
}

}  // namespace

std::string format_exponent(double value, int decimals) {
  return compact_exponent(to_text(value, std::chars_format::scientific, decimals));
}

std::string shortest_text(double value) {
  std::string text;
  append_shortest(&text, value);
  return text;
}

namespace {

// Shortest texts have at most 17 significant digits. They are written as
// 17 digits with leading zeros into a buffer with room to spare, so that
// every copy below has a constant length (a few moves, no library call).
constexpr int kShortestDigits = 17;
constexpr std::uint64_t kHundredMillion = 100000000;

struct DigitBuffer {
  char bytes[2 * kShortestDigits + 1];
};

void write_four_digits(char* out, std::uint64_t number) {
  std::memcpy(out, &kDigitPairs[2 * (number / 100)], 2);
  std::memcpy(out + 2, &kDigitPairs[2 * (number % 100)], 2);
}

void write_eight_digits(char* out, std::uint64_t number) {
  write_four_digits(out, number / 10000);
  write_four_digits(out + 4, number % 10000);
}

// The number of decimal digits of 0 < number < 10^17.
int digit_count(std::uint64_t number) {
  const int guess = ((64 - __builtin_clzll(number)) * 1233) >> 12;  // log10 from log2, low by at most one
  return guess + (number >= kPowersOfTen[static_cast<std::size_t>(guess)] ? 1 : 0);
}

// Writes 0 < number < 10^17 as 17 digits at buffer->bytes and returns where
// its digits without the leading zeros start; *count gets their number.
const char* write_significand(DigitBuffer* buffer, std::uint64_t number, int* count) {
  char* out = buffer->bytes;
  out[0] = static_cast<char>('0' + number / (kHundredMillion * kHundredMillion));
  write_eight_digits(out + 1, number / kHundredMillion % kHundredMillion);
  write_eight_digits(out + 1 + 8, number % kHundredMillion);
  *count = digit_count(number);
  return out + kShortestDigits - *count;
}

// The shortest fixed-notation text of a finite, non-zero number that is not
// whole, from its shortest decimal significand and exponent. fmt's Dragonbox
// finds the same digits as std::to_chars (the shortest that read back as
// the same double, the nearest of them when several are as short) in about
// a third of the time; the layout is to_chars' fixed notation. `out` has
// room for kShortestTextCapacity bytes; at most 2 + 5 + 2 * 17 are touched.
char* write_plain_fraction(char* out, double value) {
  const auto decimal = fmt::detail::dragonbox::to_decimal(value);
  DigitBuffer buffer{};
  int count = 0;
  const char* digits = write_significand(&buffer, decimal.significand, &count);
  const int point = count + decimal.exponent;  // digits before the decimal point
  if (value < 0) *out++ = '-';
  if (point <= 0) {  // 0.000ddd: at most four zeros after the point above 1e-5
    std::memcpy(out, "0.0000", 6);
    out += 2 - point;
    std::memcpy(out, digits, kShortestDigits);
    return out + count;
  }
  // A fraction has fewer digits before its point than in all.
  std::memcpy(out, digits, kShortestDigits);
  out[point] = '.';
  std::memcpy(out + point + 1, digits + point, kShortestDigits);
  return out + count + 1;
}

// Writes the shortest text of `value`, a whole number below kLargestPlain
// in size equal to `whole`, at first. A whole number below 2^53 is exact, so
// its digits are its shortest text; integer conversion gives them without
// the digit search.
char* write_whole(char* first, double value, std::int64_t whole) {
  char* const last = first + kShortestTextCapacity;
  if (whole == 0) return std::to_chars(first, last, value, std::chars_format::fixed).ptr;  // keeps the sign of -0
  return std::to_chars(first, last, whole).ptr;
}

// Writes shortest_text(value) at first (room for kShortestTextCapacity
// bytes) and returns its end. Below kLargestPlain a cast to an integer and
// back tells whole numbers apart (std::trunc is a library call).
char* write_shortest(char* first, double value) {
  const double size = std::fabs(value);
  if (size < kLargestPlain) {
    const auto whole = static_cast<std::int64_t>(value);
    if (static_cast<double>(whole) == value) return write_whole(first, value, whole);
    if (size >= kSmallestPlain) return write_plain_fraction(first, value);
  }
  return std::to_chars(first, first + kShortestTextCapacity, value).ptr;
}

}  // namespace

void append_shortest(std::string* out, double value) {
  char text[kShortestTextCapacity];
  out->append(text, static_cast<std::size_t>(write_shortest(text, value) - text));
}

namespace {

// No number is looked up with these bits: they are a NaN, and only finite
// numbers are written as numbers.
constexpr std::uint64_t kUnusedBits = 0x7FF8C0FFEE000000ull;

}  // namespace

ShortestTextCache::ShortestTextCache() : entries_(std::size_t{1} << kBits, Entry{kUnusedBits, 0, {}}) {}

void ShortestTextCache::append(std::string* out, double value) {
  char text[kShortestTextCapacity];
  out->append(text, static_cast<std::size_t>(write(text, value) - text));
}

char* ShortestTextCache::write(char* at, double value) {
  // Whole numbers have their own quick path; numbers from kLargestPlain up
  // (and infinities and NaNs) are rare.
  if (!(std::fabs(value) < kLargestPlain)) return write_shortest(at, value);
  const auto whole = static_cast<std::int64_t>(value);
  if (static_cast<double>(whole) == value) return write_whole(at, value, whole);
  const auto bits = std::bit_cast<std::uint64_t>(value);
  Entry& entry = entries_[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kBits)];
  if (entry.bits == bits) {
    std::memcpy(at, entry.text, sizeof entry.text);  // constant length: a few moves
    return at + entry.length;
  }
  char* const end = write_shortest(at, value);
  const auto length = static_cast<std::size_t>(end - at);
  if (length > sizeof entry.text) return end;
  entry.bits = bits;
  entry.length = static_cast<std::uint32_t>(length);
  std::memcpy(entry.text, at, sizeof entry.text);
  return end;
}

std::string special_missing_text(double value) {
  const char letter = host::missing_letter(value);
  return letter == 0 ? std::string() : std::string{'.', letter};
}

std::string missing_text(double value) {
  const std::string special = special_missing_text(value);
  return special.empty() ? std::string(".") : special;
}

namespace {

// Appends format_fixed(value, decimals) without a temporary string.
void append_fixed(std::string* out, double value, int decimals) {
  NumberBuffer buffer;
  std::string_view text(buffer.data(), static_cast<std::size_t>(
      write_number(buffer, value, std::chars_format::fixed, std::clamp(decimals, 0, kMaxDecimals)) - buffer.data()));
  if (is_negative_zero(text)) text.remove_prefix(1);  // "-0.00" reads as "0.00"
  out->append(text);
}

// Appends a whole number below kLargestShownInteger, which a double holds
// exactly, with all its digits; false for any other value.
bool append_whole(std::string* out, double value) {
  if (value != std::floor(value) || !(std::fabs(value) < kLargestShownInteger)) return false;
  append_fixed(out, value, 0);
  return true;
}

}  // namespace

int decimals_for_largest(double largest, int decimals) {
  if (!(largest >= kSmallestWidened)) return decimals;
  for (const SmallValueStep& step : kSmallValueSteps) {
    if (largest < step.below) return std::max(decimals, step.decimals);
  }
  return decimals;
}

std::string format_fixed(double value, int decimals) {
  std::string text;
  append_fixed(&text, value, decimals);
  return text;
}

std::string format_best(double value, int width) {
  width = std::clamp(width, 1, kMaxWidth);
  if (value == 0.0) return "0";
  std::string shortest = shortest_text(value);
  if (static_cast<int>(shortest.size()) <= width && shortest.find('e') == std::string::npos) return shortest;
  std::string fixed = best_fixed(value, width);
  std::string scientific = best_scientific(value, width);
  if (fixed.empty() && scientific.empty()) return std::string(static_cast<std::size_t>(width), '*');
  if (scientific.empty()) return fixed;
  if (fixed.empty()) return scientific;
  return significant_digits(fixed) >= significant_digits(scientific) ? fixed : scientific;
}

void append_display(std::string* out, double value, const DisplayFormat& format) {
  if (host::is_missing(value)) {
    out->append(missing_text(value));
    return;
  }
  const std::size_t start = out->size();
  switch (format.kind) {
    case FormatKind::kCount:
      // Shown whole even past the width: a national population-time of
      // 14030277349283 person-years keeps its digits, not 1.4030277E13.
      if (append_whole(out, value)) return;
      append_fixed(out, value, format.decimals);
      break;
    case FormatKind::kFixed:
      append_fixed(out, value, format.decimals);
      // A value of a widening column that its decimals show as zeros (an
      // expected count of 1E-8 in a column of counts up to 1000, a rate ratio
      // of 1E-6 beside one of 1000) is shown as the most precise text that
      // fits, so that it never reads as 0. Values below kSmallestWidened are
      // taken for rounding residue, as in decimals_for_largest.
      if (format.widens_for_small && std::fabs(value) >= kSmallestWidened &&
          out->find_first_not_of("-0.", start) == std::string::npos) {
        out->resize(start);
        out->append(format_best(value, std::max(format.width, kSmallestWidth)));
        return;
      }
      break;
    case FormatKind::kPValue:
      if (value < kSmallestShownP) {
        out->append(kSmallPText);
      } else {
        append_fixed(out, value, format.decimals);
      }
      break;
    case FormatKind::kBest:
    case FormatKind::kText:
      // A BEST column holds values of the data (STRATA and GROUP= values),
      // often codes: a whole number is shown whole, as the BY lines show it,
      // since cut to the width two areas 1234567890123 and 1234567890124
      // would both read 1.235E12.
      if (!append_whole(out, value)) out->append(format_best(value, format.width));
      return;
  }
  // A number too large for its decimals in the format's width (a rate of
  // 1e300 from a tiny population) is shown as the most precise text that
  // fits, fewer decimals or E notation, rather than hundreds of digits wide.
  if (format.width > 0 && out->size() - start > static_cast<std::size_t>(format.width)) {
    out->resize(start);
    out->append(format_best(value, format.width));
  }
}

std::string format_display(double value, const DisplayFormat& format) {
  std::string text;
  append_display(&text, value, format);
  return text;
}

bool parse_format(std::string_view text, DisplayFormat* format) {
  std::string name(text);
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
  const std::size_t digits = name.find_first_of("0123456789");
  const std::size_t point = name.find('.');
  if (point == std::string::npos || (digits != std::string::npos && digits > point)) return false;
  const std::string prefix = name.substr(0, std::min(digits, point));
  int width = 0;
  int decimals = 0;
  const char* end = name.data() + name.size();
  if (digits != std::string::npos) {
    auto [next, error] = std::from_chars(name.data() + digits, end, width);
    if (error != std::errc() || next != name.data() + point || width < 1 || width > kMaxWidth) return false;
  }
  if (point + 1 < name.size()) {
    auto [last, error] = std::from_chars(name.data() + point + 1, end, decimals);
    if (error != std::errc() || last != end || decimals > kMaxDecimals || !prefix.empty()) return false;
  }
  if (prefix == "BEST") *format = DisplayFormat{FormatKind::kBest, width == 0 ? kBest12.width : width, 0};
  else if (prefix == "$") *format = DisplayFormat{FormatKind::kText, width, 0};
  else if (prefix.empty() && width > 0) *format = DisplayFormat{FormatKind::kFixed, width, decimals};
  else return false;
  return true;
}

std::string format_name(const DisplayFormat& format) {
  const std::string width = std::to_string(format.width);
  switch (format.kind) {
    case FormatKind::kCount:
      return "COUNT" + width + ".";
    case FormatKind::kFixed:
      return width + "." + std::to_string(format.decimals);
    case FormatKind::kPValue:
      return "PVALUE" + width + "." + std::to_string(format.decimals);
    case FormatKind::kBest:
      return "BEST" + width + ".";
    case FormatKind::kText:
      break;
  }
  return format.width > 0 ? "$" + width + "." : "$";
}

}  // namespace quilvar::runtime::output
