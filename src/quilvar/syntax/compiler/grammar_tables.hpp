// The numeric grammar tables compiled from a GrammarSource: productions
// stored right to left, start and left-hand-side tables, semantic actions
// with their argument words, the keyword list, and the LL(1) prediction
// table and nonterminal names the parser reads (layouts with GrammarRecord).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quilvar/syntax/compiler/grammar_source.hpp"

namespace quilvar::syntax::compiler {

struct CompiledGrammar {
  std::vector<std::uint8_t> keyword_list;
  std::vector<std::uint16_t> keyword_offsets;
  std::vector<std::uint16_t> keyword_codes;
  std::vector<std::int16_t> productions;
  std::vector<std::uint16_t> production_starts;
  std::vector<std::uint16_t> production_lhs;
  std::vector<std::uint16_t> action_types;
  std::vector<std::int16_t> action_first_argument;
  std::vector<std::int16_t> action_arguments;
  std::vector<std::int16_t> action_argument_counts;
  std::vector<std::int16_t> predictions;        // pairs (token code, production)
  std::vector<std::int16_t> prediction_starts;  // per nonterminal, then the end
  std::vector<std::int16_t> name_offsets;       // per nonterminal, then the end
  std::vector<std::int16_t> names;
  std::vector<std::int16_t> counts;             // parser_table_b
  int first_nonterminal = 0;
  std::vector<NamedNumber> flags;
  std::vector<NamedNumber> slots;
};

// Compiles the source into *out. Returns an empty string, or every problem
// found (unknown keyword, undefined or unused nonterminal, bad action,
// LL(1) conflict), one per line.
std::string compile_grammar(const GrammarSource& source, CompiledGrammar* out);

}  // namespace quilvar::syntax::compiler
