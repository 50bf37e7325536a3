// Decoding one UTF-8 character, for the places that name or sort characters
// of user text (program statements, file names made from BY values).
#pragma once

#include <cstddef>
#include <string_view>

namespace quilvar::runtime::text {

// A decoded character: its code point and byte length; length 0 when the
// bytes at the position form no well-formed UTF-8 character (a stray byte,
// an overlong form, a surrogate, or a sequence cut short).
struct Utf8Character {
  char32_t code = 0;
  std::size_t length = 0;
};

inline Utf8Character decode_utf8(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
  if (length == 0 || i + length > text.size()) return {};
  char32_t code = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return {};
    code = (code << 6) | (next & 0x3F);
  }
  constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kShortest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {};
  return {code, length};
}

}  // namespace quilvar::runtime::text
