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

// An option is a keyword followed by "="; its value is the next token and
// a parenthesized group right after it ("CL=GAMMA(TYPE=AVERAGE)"), or a
// parenthesized group ("PLOTS=(RATE DIST)"). Options inside parentheses
// belong to the keyword before the "(", so STATS(CL=...) and SMR(CL=...)
// are different options. warn receives each dropped occurrence's keyword
// token and the token of the occurrence that replaces it. Spellings of one
// keyword (M= and METHOD=, STRATA and STRATUM) count as the same option.
void drop_repeated_options(std::vector<Token>& tokens, const GrammarView& grammar,
                           const std::function<void(const Token& dropped, const Token& kept)>& warn);

}  // namespace quilvar::runtime::statements
