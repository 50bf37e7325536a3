// Where a keyword is an option, read from the grammar: a statement is a
// production whose right-hand side holds the end-of-statement terminal,
// and its options are the keywords that begin productions reached from it
// before any "=" or "(" (what follows those is a value or a sub-option
// list) and outside variable lists (nonterminals a name can begin). Used
// to tell a user who wrote an option in the wrong statement where it goes.
#pragma once

#include <string>
#include <vector>

#include "runtime/statements/grammar_view.hpp"

namespace quilvar::runtime::statements {

struct OptionPlace {
  int statement = 0;   // the statement's production
  int keyword = 0;     // the statement's first keyword (its name)
  int introducer = 0;  // a punctuation code written before the options ("/"), or 0
};

bool is_statement_production(const GrammarView& grammar, int production);

// The statements in which keyword (a keyword code) is an option, one place
// per statement, in production order.
std::vector<OptionPlace> option_places(const GrammarView& grammar, int keyword);

// A parenthesised list of a statement's options: after the option keyword
// (STATS in "STATS(CL=...)", option 0), or after a keyword value of an
// option (RATE in "STAT=RATE(MULT=...)", option STAT).
struct ParenthesisedPlace {
  int statement = 0;  // the statement's production
  int keyword = 0;    // the statement's first keyword (its name)
  int option = 0;
  int owner = 0;
  bool takes_value = false;  // "=" follows the keyword in the list
};

// The lists of every statement's options that begin with keyword, in
// production order.
std::vector<ParenthesisedPlace> parenthesised_places(const GrammarView& grammar, int keyword);

}  // namespace quilvar::runtime::statements
