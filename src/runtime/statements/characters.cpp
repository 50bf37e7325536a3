// Decodes UTF-8 characters of program text and names the ones users paste
// in by mistake.
#include "runtime/statements/characters.hpp"

#include <algorithm>
#include <cctype>

#include "runtime/text/utf8.hpp"

namespace quilvar::runtime::statements {
namespace {

// Spaces a document puts between words that a reader cannot tell from a
// blank.
constexpr char32_t kBlankSpaces[] = {
    0x00A0,  // no-break space
    0x2007,  // figure space
    0x2009,  // thin space
    0x200B,  // zero-width space
    0x202F,  // narrow no-break space
    0xFEFF,  // zero-width no-break space (a byte order mark inside the text)
};

// Characters that word processors put in place of the plain ones.
struct LookAlike {
  char32_t code;
  std::string_view what;
  std::string_view plain;
};
constexpr LookAlike kLookAlikes[] = {
    {0x2018, "a curly quote", "the straight quote '"},  {0x2019, "a curly quote", "the straight quote '"},
    {0x201A, "a low quote", "the straight quote '"},    {0x2032, "a prime", "the straight quote '"},
    {0x00B4, "an acute accent", "the straight quote '"}, {0x201C, "a curly quote", "the straight quote \""},
    {0x201D, "a curly quote", "the straight quote \""},  {0x201E, "a low quote", "the straight quote \""},
    {0x00AB, "a guillemet", "the straight quote \""},   {0x00BB, "a guillemet", "the straight quote \""},
    {0x2010, "a hyphen", "the minus sign -"},           {0x2013, "a dash", "the minus sign -"},
    {0x2014, "a dash", "the minus sign -"},             {0x2212, "a minus sign", "the minus sign -"},
};

constexpr std::string_view kHexDigits = "0123456789ABCDEF";

// "U+00E9".
std::string code_point_name(char32_t code) {
  std::string text = "U+";
  int digits = code > 0xFFFF ? 6 : 4;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) text += kHexDigits[(code >> shift) & 0xF];
  return text;
}

}  // namespace

std::size_t character_length(std::string_view text, std::size_t pos, char32_t* code) {
  const text::Utf8Character character = text::decode_utf8(text, pos);
  *code = character.length > 0 ? character.code : static_cast<unsigned char>(text[pos]);
  return character.length > 0 ? character.length : 1;
}

std::size_t blank_length(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return 0;
  if (std::isspace(static_cast<unsigned char>(text[pos]))) return 1;
  char32_t code = 0;
  const std::size_t length = character_length(text, pos, &code);
  const bool blank = length > 1 && std::find(std::begin(kBlankSpaces), std::end(kBlankSpaces), code) != std::end(kBlankSpaces);
  return blank ? length : 0;
}

std::size_t other_character_length(std::string_view text, std::size_t pos) {
  if (pos >= text.size() || static_cast<unsigned char>(text[pos]) < 0x80 || blank_length(text, pos) > 0) return 0;
  char32_t code = 0;
  const std::size_t length = character_length(text, pos, &code);
  const bool look_alike = std::any_of(std::begin(kLookAlikes), std::end(kLookAlikes),
                                      [code](const LookAlike& l) { return l.code == code; });
  return look_alike ? 0 : length;
}

std::string unexpected_character(std::string_view text, std::size_t pos) {
  char32_t code = 0;
  const std::size_t length = character_length(text, pos, &code);
  const std::string_view written = text.substr(pos, length);
  if (length == 1 && code >= 0x80) {
    std::string problem = "unexpected byte 0x";
    problem.append(1, kHexDigits[code >> 4]).append(1, kHexDigits[code & 0xF]);
    return problem.append(", which starts no UTF-8 character: save the program as UTF-8 text");
  }
  for (const LookAlike& look_alike : kLookAlikes) {
    if (look_alike.code != code) continue;
    std::string problem(look_alike.what);
    problem.append(" (").append(written).append("), as word processors write it: write ").append(look_alike.plain);
    return problem;
  }
  if (code == '#') return not_a_comment(written);
  std::string problem = "unexpected character";
  // Lists in other languages take commas; here blanks separate them.
  if (code == ',') problem.append(" \",\": separate options and variables with blanks, not commas");
  if (code >= 0x80) problem.append(" \"").append(written).append("\" (").append(code_point_name(code)).append(")");
  return problem;
}

std::string not_a_comment(std::string_view marker) {
  std::string problem = "\"";
  return problem.append(marker).append("\" does not start a comment: write a comment as /* ... */");
}

}  // namespace quilvar::runtime::statements
