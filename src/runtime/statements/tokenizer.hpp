// The statement tokenizer. Token codes come from the keyword list of the
// grammar record: the host's token classes (name, quoted string, integer,
// number, library.member, format, date/time/datetime literal, missing value,
// name literal), punctuation entries, and the closing entry at the end of
// the text. Words are matched case-insensitively against the keyword
// entries after the token classes; a keyword entry "X$" is matched by the
// word X (so "M$" is the word M, "PLOT$" the word PLOT).
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quilvar/host/statement_state.hpp"
#include "runtime/text/case.hpp"

namespace quilvar::runtime::statements {

inline constexpr int kBadToken = 0;        // a character or literal no token class covers
inline constexpr int kEndWithoutList = -1;  // the end token of a tokenizer without keyword list
inline constexpr int kMaxNameLength = static_cast<int>(text::kMaxNameLength);

class KeywordTable {
 public:
  KeywordTable() = default;

  // Reads the keyword list of the record: entries 1 .. header[2], the first
  // token_classes of them token classes. Returns an empty string, or what
  // is wrong with the list.
  std::string load(const host::GrammarRecord& record);

  // The keyword code a word spells (upper case), or 0.
  int word_code(std::string_view upper_word) const;
  // The code of a one-character punctuation entry, or 0.
  int punctuation_code(char c) const;
  // The code of the last entry, which stands for the end of the text;
  // kEndWithoutList when no list is loaded.
  int end_code() const { return names_.empty() ? kEndWithoutList : static_cast<int>(names_.size()); }
  int keyword_count() const { return static_cast<int>(names_.size()); }
  // The entry's name as written in the list ("M$"); empty for a bad code.
  std::string_view name(int code) const;

 private:
  std::vector<std::string> names_;
  std::unordered_map<std::string, int> words_;
  int punctuation_[256] = {};
};

struct Token {
  int code = kBadToken;   // token class, punctuation or end code; kBadToken
  int keyword = 0;        // names: the keyword code the word spells, 0 if none
  std::string_view text;  // as written (points into the tokenized text)
  std::string value;      // quoted strings and name literals: the characters between the quotes
  double number = 0.0;    // numbers, date/time literals and missing values
  int line = 0;
  int column = 0;         // from 1, in bytes
  std::string problem;    // bad tokens: what is wrong
};

// The text with its ASCII letters in upper case, as keywords are compared.
using text::upper_case;

// The tokens of text, whose first line is line first_line, ending with one
// end token. Comments "/* ... */" are skipped. Never fails: a character or
// literal that is not valid becomes a kBadToken token saying why.
std::vector<Token> tokenize(std::string_view text, int first_line, const KeywordTable& keywords);

}  // namespace quilvar::runtime::statements
