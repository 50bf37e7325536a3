// Options given more than once in a statement ("ALPHA=0.1 ALPHA=0.2",
// "METHOD=DIRECT METHOD=INDIRECT"), or again in a later statement of the
// same kind ("REFERENCE TOTAL=A; REFERENCE TOTAL=B;"): the last one counts.
// Each earlier occurrence is reported as a warning and removed from the
// tokens before the parse, so every kind of option (a value, a keyword
// choice, a choice with its own parenthesized options) behaves alike.
#pragma once

#include <functional>
#include <vector>

#include "runtime/statements/grammar_view.hpp"
#include "runtime/statements/tokenizer.hpp"

namespace quilvar::runtime::statements {

// Receives the keyword tokens of each dropped occurrence and of the one
// that replaces it, and whether each was written with "=".
struct OptionOccurrence {
  const Token& keyword;
  bool with_equals;
};
using RepeatedOptionWarning = std::function<void(const OptionOccurrence& dropped, const OptionOccurrence& kept)>;

// An option is a keyword followed by "="; its value is the next token and
// a parenthesized group right after it ("CL=GAMMA(TYPE=AVERAGE)"), or a
// parenthesized group ("PLOTS=(RATE DIST)"). A keyword by itself or with a
// parenthesized group ("EFFECT", "STATS(CL=POISSON)") is an option too,
// except as a value or in a value list, and in a statement's variable list
// (the names before a "/"); given alone twice it is left as it is, but it
// replaces, or is replaced by, an occurrence with a value or options
// ("EFFECT=DIFF ... EFFECT"). Options inside parentheses belong to the
// keyword before the "(", so STATS(CL=...) and SMR(CL=...) are different
// options. Spellings of one keyword (M= and METHOD=, STRATA and STRATUM)
// count as the same option.
void drop_repeated_options(std::vector<Token>& tokens, const GrammarView& grammar, const RepeatedOptionWarning& warn);

}  // namespace quilvar::runtime::statements
