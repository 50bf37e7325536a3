// Characters outside ASCII in program text. Programs pasted from documents
// and web pages bring no-break and zero-width spaces, which count as
// blanks, and typographic quotes and dashes, which are refused with the
// plain character to write instead.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quilvar::runtime::statements {

// The number of bytes of the blank at text[pos]: an ASCII blank, or a
// no-break or zero-width space in UTF-8; 0 when text[pos] is none.
std::size_t blank_length(std::string_view text, std::size_t pos);

// The number of bytes of the UTF-8 character at text[pos] (1 for a byte
// that starts none), and its code point in *code (the byte itself then).
std::size_t character_length(std::string_view text, std::size_t pos, char32_t* code);

// The number of bytes of the character at text[pos] when it is outside
// ASCII and neither a blank nor a look-alike of a plain character: a letter
// such as "é", most likely, or a byte that starts no UTF-8 character (1);
// 0 otherwise.
std::size_t other_character_length(std::string_view text, std::size_t pos);

// Why the character at text[pos], which no token begins with, is refused,
// and what to write instead.
std::string unexpected_character(std::string_view text, std::size_t pos);

// The problem of a comment marker of other languages ("//", "#"), which
// starts no comment here.
std::string not_a_comment(std::string_view marker);

}  // namespace quilvar::runtime::statements
