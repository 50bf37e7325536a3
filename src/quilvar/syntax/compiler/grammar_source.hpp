// The grammar source as written: the keyword list, the flag and slot names,
// and the rules with their alternatives, symbols and semantic actions, read
// from the text notation described at the head of statements.grammar.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quilvar::syntax::compiler {

enum class SymbolKind { kKeyword, kTokenClass, kNonterminal, kAction };

struct SymbolRef {
  SymbolKind kind;
  std::string text;                   // keyword name, class name, nonterminal or action mnemonic
  std::vector<std::string> operands;  // actions only
  int line;
};

using Alternative = std::vector<SymbolRef>;

struct Rule {
  std::string lhs;
  std::vector<Alternative> alternatives;
  int line;
};

struct NamedNumber {
  std::string name;
  int value;
  int line;
};

struct GrammarSource {
  std::vector<std::string> keywords;
  std::vector<NamedNumber> flags;
  std::vector<NamedNumber> slots;
  std::vector<Rule> rules;
};

// Reads the grammar text into *out. Returns an empty string, or the first
// error as "line N: message" (the text is then only partly read).
std::string read_grammar(std::string_view text, GrammarSource* out);

}  // namespace quilvar::syntax::compiler
