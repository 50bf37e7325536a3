// The statement grammar of the procedure as the host parser receives it: a
// GrammarRecord whose tables are compiled at build time from
// statements.grammar. The flag and slot numbers the grammar writes are
// generated beside them as quilvar::syntax::grammar::kFlag... and kSlot...
// in quilvar/syntax/grammar_codes.hpp.
//
// The tables have the record's layout, but their sizes are those of our own
// LL(1) grammar compiler (about 180 productions over 70 nonterminals and 90
// distinct actions); the start rule expands nonterminal 0 to nonterminal 1
// (the step) and "$$$", and the parser tables at offsets 32, 40 and 96 to
// 120 hold the prediction table and names described with GrammarRecord.
#pragma once

#include "quilvar/host/statement_state.hpp"

namespace quilvar::syntax {

// Copies the record template (header 1, 94, 93, 468; limits 127, 63, 62;
// 19 token classes; every other byte 0) into record and fills its 15 table
// pointers with the static grammar tables. Cannot fail.
void fill_grammar_record(host::GrammarRecord& record);

}  // namespace quilvar::syntax
