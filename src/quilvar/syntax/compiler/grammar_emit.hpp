// Writes a compiled grammar as C++ source: the table definitions included by
// the module's grammar record, and the header of flag and slot constants.
#pragma once

#include <string>

#include "quilvar/syntax/compiler/grammar_tables.hpp"

namespace quilvar::syntax::compiler {

// The table definitions (constexpr arrays in the including namespace).
std::string emit_tables(const CompiledGrammar& grammar);

// The header declaring kFlag... and kSlot... constants in quilvar::syntax::grammar.
std::string emit_codes(const CompiledGrammar& grammar);

// "PLOT_DIST" -> "PlotDist": the MixedCase form of an upper-snake name.
std::string mixed_case(const std::string& upper_snake);

}  // namespace quilvar::syntax::compiler
