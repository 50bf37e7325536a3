// The width of a text in the columns of a fixed-pitch listing, so that
// tables whose values hold accented or East Asian letters line up: a
// character takes one column, a combining mark or zero-width character none,
// and a wide East Asian character two. A byte that is not part of a
// well-formed UTF-8 character (a Latin-1 data set) is shown as one
// replacement character, one column.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "runtime/text/utf8.hpp"

namespace quilvar::runtime::text {

namespace width_detail {

// Code point ranges, first and last, of characters a terminal shows in no
// column: combining marks, zero-width spaces and joiners, the byte order mark.
constexpr std::array<std::pair<char32_t, char32_t>, 9> kZeroWidth{{{0x0300, 0x036F},
                                                                    {0x0483, 0x0489},
                                                                    {0x1AB0, 0x1AFF},
                                                                    {0x1DC0, 0x1DFF},
                                                                    {0x200B, 0x200F},
                                                                    {0x20D0, 0x20FF},
                                                                    {0xFE00, 0xFE0F},
                                                                    {0xFE20, 0xFE2F},
                                                                    {0xFEFF, 0xFEFF}}};
// East Asian wide and full-width characters (Hangul, kana, CJK ideographs,
// full-width forms and signs) and emoji.
constexpr std::array<std::pair<char32_t, char32_t>, 9> kWide{{{0x1100, 0x115F},
                                                               {0x2E80, 0xA4CF},
                                                               {0xAC00, 0xD7A3},
                                                               {0xF900, 0xFAFF},
                                                               {0xFE30, 0xFE4F},
                                                               {0xFF00, 0xFF60},
                                                               {0xFFE0, 0xFFE6},
                                                               {0x1F300, 0x1FAFF},
                                                               {0x20000, 0x3FFFD}}};

template <std::size_t N>
constexpr bool in_ranges(const std::array<std::pair<char32_t, char32_t>, N>& ranges, char32_t code) {
  for (const auto& [first, last] : ranges) {
    if (code >= first && code <= last) return true;
  }
  return false;
}

}  // namespace width_detail

// Whether the character is shown twice as wide as a Latin letter: two
// columns of a listing, a full em of a drawing.
constexpr bool is_wide_character(char32_t code) { return width_detail::in_ranges(width_detail::kWide, code); }

// Whether every byte of the text is ASCII, looked at eight bytes at a time:
// most listing texts are, and each takes one column a byte.
inline bool is_ascii(std::string_view text) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + sizeof seen <= text.size(); i += sizeof seen) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    seen |= word;
  }
  for (; i < text.size(); ++i) seen |= static_cast<unsigned char>(text[i]);
  return (seen & kHighBits) == 0;
}

// The columns the character at byte i takes, and its length in bytes.
struct ShownCharacter {
  std::size_t columns = 1;
  std::size_t length = 1;
};

inline ShownCharacter shown_character(std::string_view text, std::size_t i) {
  if (static_cast<unsigned char>(text[i]) < 0x80) return {};
  const Utf8Character decoded = decode_utf8(text, i);
  if (decoded.length == 0) return {};
  if (width_detail::in_ranges(width_detail::kZeroWidth, decoded.code)) return {0, decoded.length};
  return {is_wide_character(decoded.code) ? std::size_t{2} : std::size_t{1}, decoded.length};
}

// The listing columns the text takes; its size in bytes when it is ASCII.
inline std::size_t display_width(std::string_view text) {
  if (is_ascii(text)) return text.size();
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size();) {
    const ShownCharacter shown = shown_character(text, i);
    width += shown.columns;
    i += shown.length;
  }
  return width;
}

// The byte position in the text where the column `column` starts: the end
// of the characters that fill the columns before it, or the text's size when
// it is narrower.
inline std::size_t byte_at_column(std::string_view text, std::size_t column) {
  if (is_ascii(text)) return std::min(column, text.size());
  std::size_t width = 0;
  std::size_t i = 0;
  while (i < text.size() && width < column) {
    const ShownCharacter shown = shown_character(text, i);
    width += shown.columns;
    i += shown.length;
  }
  // Marks that combine with the character before the column stay with it.
  while (i < text.size()) {
    const ShownCharacter shown = shown_character(text, i);
    if (shown.columns != 0) break;
    i += shown.length;
  }
  return i;
}

}  // namespace quilvar::runtime::text
