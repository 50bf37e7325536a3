// Letter case of names: keywords, variable and data set names are compared
// in upper case, ASCII letters only (other bytes stay as they are, whatever
// the locale).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quilvar::runtime::text {

// The longest name of a variable, in bytes (names are ASCII).
inline constexpr std::size_t kMaxNameLength = 32;

inline char upper_byte(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

inline std::string upper_case(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = upper_byte(c);
  return upper;
}

inline std::string lower_case(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return lower;
}

}  // namespace quilvar::runtime::text
