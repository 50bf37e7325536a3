// Numeric text reading, number formatting and value order.
#include "runtime/datasets/values.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "quilvar/host/missing.hpp"

namespace quilvar::runtime::datasets {

namespace {

// A decimal whose digits, point left out, form an integer of at most 2^53
// with at most 22 decimals is an exact integer over an exact power of ten,
// so one division rounds it correctly: the double the general parser
// gives, found faster.
constexpr std::uint64_t kExactMantissaLimit = std::uint64_t{1} << 53;
constexpr int kMaxMantissaDigits = 19;  // fits 64 bits
constexpr std::size_t kMaxPlainDigits = 15;  // below 2^53, so exact
// Whole numbers below this are written out in full when they fit.
constexpr double kLargestWrittenOut = 1e15;
constexpr std::array<double, 23> kExactPowersOfTen = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

bool is_blank_byte(char c) { return c == ' ' || c == '\t'; }

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && is_blank_byte(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank_byte(text.back())) text.remove_suffix(1);
  return text;
}

bool read_missing_text(std::string_view text, double* value) {
  if (text == ".") {
    *value = host::kMissing;
    return true;
  }
  if (text.size() != 2 || text[0] != '.') return false;
  const char letter = text[1] >= 'a' && text[1] <= 'z' ? static_cast<char>(text[1] - 'a' + 'A') : text[1];
  if (letter != '_' && (letter < 'A' || letter > 'Z')) return false;
  *value = host::missing_value(host::missing_code_for_letter(letter));
  return true;
}

// Reads digits with at most one point; false when the text is anything
// else or too long for an exact quotient.
bool read_fast_decimal(std::string_view text, double* value) {
  std::uint64_t mantissa = 0;
  int digits = 0;
  std::size_t point = std::string_view::npos;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(text[i])) - '0';
    if (digit <= 9) {
      mantissa = mantissa * 10 + digit;
      ++digits;
    } else if (text[i] == '.' && point == std::string_view::npos) {
      point = i;
    } else {
      return false;
    }
  }
  const std::size_t decimals = point == std::string_view::npos ? 0 : text.size() - point - 1;
  if (digits == 0 || digits > kMaxMantissaDigits || mantissa > kExactMantissaLimit ||
      decimals >= kExactPowersOfTen.size()) {
    return false;
  }
  *value = decimals == 0 ? static_cast<double>(mantissa) : static_cast<double>(mantissa) / kExactPowersOfTen[decimals];
  return true;
}

// Reads an unsigned decimal number that must fill the whole text.
bool read_unsigned_number(std::string_view text, double* value) {
  if (text.empty() || !((text[0] >= '0' && text[0] <= '9') || text[0] == '.')) return false;
  if (read_fast_decimal(text, value)) return true;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

// ".", or "." and the letter of a special missing value.
std::string_view missing_text(double value) {
  static constexpr std::string_view kLettered = ".A.B.C.D.E.F.G.H.I.J.K.L.M.N.O.P.Q.R.S.T.U.V.W.X.Y.Z._";
  const char letter = host::missing_letter(value);
  if (letter == 0) return ".";
  const std::size_t index = letter == '_' ? 26 : static_cast<std::size_t>(letter - 'A');
  return kLettered.substr(2 * index, 2);
}

// 1 for "._", 2 for ".", 3 to 28 for ".A" to ".Z".
int missing_rank(double value) {
  const std::uint8_t code = host::missing_code(value);
  if (code == host::kMissingCodeUnderscore) return 1;
  if (code == host::kMissingCodeStandard) return 2;
  return 255 - code - 62;
}

// A text of digits alone, the commonest value of a count column; false for
// anything else, which the general reading then takes.
bool read_plain_digits(std::string_view text, double* value) {
  if (text.empty() || text.size() > kMaxPlainDigits) return false;
  std::uint64_t number = 0;
  for (char c : text) {
    const unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(c)) - '0';
    if (digit > 9) return false;
    number = number * 10 + digit;
  }
  *value = static_cast<double>(number);
  return true;
}

}  // namespace

NumericText read_numeric_text(std::string_view text, double* value) {
  if (read_plain_digits(text, value)) return NumericText::kNumber;
  text = trim_blanks(text);
  if (text.empty()) {
    *value = host::kMissing;
    return NumericText::kMissing;
  }
  if (text[0] == '.' && read_missing_text(text, value)) return NumericText::kMissing;
  const bool negative = text[0] == '-';
  if (negative || text[0] == '+') text.remove_prefix(1);
  double magnitude = 0;
  if (!read_unsigned_number(text, &magnitude)) return NumericText::kNotNumeric;
  // Negating only non-zero magnitudes reads "-0" as 0.
  *value = negative && magnitude != 0 ? -magnitude : magnitude;
  return NumericText::kNumber;
}

int write_number_text(double value, int width, char* text) {
  width = std::clamp(width, 0, kNumberTextCapacity - 1);
  if (host::is_missing(value)) {
    const std::string_view missing = missing_text(value);
    std::memcpy(text, missing.data(), missing.size());
    return static_cast<int>(missing.size());
  }
  char* const end = text + kNumberTextCapacity;
  // A whole number is written out in full where it fits (100000, which the
  // shortest form writes 1e+05), as labels, messages and sort orders of
  // codes and bounds (an income band, an area) should show it.
  if (std::fabs(value) < kLargestWrittenOut && value == std::floor(value)) {
    const auto whole = std::to_chars(text, end, value, std::chars_format::fixed);
    if (whole.ptr - text <= width) return static_cast<int>(whole.ptr - text);
  }
  auto result = std::to_chars(text, end, value);
  // Too long for the field: the most significant digits that fit.
  for (int precision = 16; result.ptr - text > width && precision > 0; --precision) {
    result = std::to_chars(text, end, value, std::chars_format::general, precision);
  }
  if (result.ptr - text <= width) return static_cast<int>(result.ptr - text);
  std::memset(text, '*', static_cast<std::size_t>(width));
  return width;
}

std::string number_text(double value, int width) {
  char text[kNumberTextCapacity];
  return std::string(text, static_cast<std::size_t>(write_number_text(value, width, text)));
}

void format_number_field(double value, int width, char* field) {
  if (width <= 0) return;
  char text[kNumberTextCapacity];
  const int length = write_number_text(value, width, text);
  const int blanks = std::max(width - length, 0);
  std::memset(field, ' ', static_cast<std::size_t>(blanks));
  std::memcpy(field + blanks, text, static_cast<std::size_t>(length));
}

int compare_numbers(double a, double b) {
  const bool a_missing = host::is_missing(a);
  const bool b_missing = host::is_missing(b);
  if (a_missing || b_missing) {
    if (!b_missing) return -1;
    if (!a_missing) return 1;
    const int ra = missing_rank(a);
    const int rb = missing_rank(b);
    return ra < rb ? -1 : (ra > rb ? 1 : 0);
  }
  return a < b ? -1 : (a > b ? 1 : 0);
}

int compare_texts(std::string_view a, std::string_view b) {
  a = trim_trailing_blanks(a);
  b = trim_trailing_blanks(b);
  const std::size_t common = std::min(a.size(), b.size());
  const int order = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  if (order != 0) return order < 0 ? -1 : 1;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

std::string_view trim_trailing_blanks(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

}  // namespace quilvar::runtime::datasets
