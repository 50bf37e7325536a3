// The host's missing-value encoding. A missing value is a NaN whose sixth
// byte (little-endian byte 5) holds the missing code: 209 for the standard
// missing value ".", 210 for "._", and 190 down to 165 for ".A" to ".Z".
// Any double whose exponent field is all ones counts as missing.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace quilvar::host {

inline constexpr std::uint8_t kMissingCodeStandard = 209;
inline constexpr std::uint8_t kMissingCodeUnderscore = 210;
inline constexpr std::uint8_t kMissingCodeA = 190;  // ".A"; ".B" is 189, ... ".Z" is 165
inline constexpr std::uint64_t kMissingBitsBase = 0xFFFF000000000000ull;

constexpr double missing_value(std::uint8_t code) {
  return std::bit_cast<double>(kMissingBitsBase | (static_cast<std::uint64_t>(code) << 40));
}

inline constexpr double kMissing = missing_value(kMissingCodeStandard);

// The code of a special missing value letter 'A'..'Z', or '_'.
constexpr std::uint8_t missing_code_for_letter(char letter) {
  return letter == '_' ? kMissingCodeUnderscore
                       : static_cast<std::uint8_t>(kMissingCodeA - (letter - 'A'));
}

constexpr bool is_missing(double value) {
  return (std::bit_cast<std::uint64_t>(value) & 0x7FF0000000000000ull) == 0x7FF0000000000000ull;
}

constexpr std::uint8_t missing_code(double value) {
  return static_cast<std::uint8_t>((std::bit_cast<std::uint64_t>(value) >> 40) & 0xFF);
}

// The letter of a special missing value ('A'..'Z', '_'), or 0 for the
// standard missing value and for codes outside the lettered range.
constexpr char missing_letter(double value) {
  const std::uint8_t code = missing_code(value);
  if (code == kMissingCodeUnderscore) return '_';
  if (code <= kMissingCodeA && code > kMissingCodeA - 26) return static_cast<char>('A' + (kMissingCodeA - code));
  return 0;
}

// Adds `value` to a sum over present values: a missing value is left out,
// and a missing sum takes the value. A sum past the largest double is
// infinite, which reads as missing: it stays so, neither restarting from
// the next value as an empty sum would nor leaving out an infinite value as
// it leaves out a missing one.
inline void add_present(double& total, double value) {
  if (std::isinf(total)) return;
  if (std::isinf(value)) {
    total = value;
    return;
  }
  if (is_missing(value)) return;
  total = is_missing(total) ? value : total + value;
}

}  // namespace quilvar::host
