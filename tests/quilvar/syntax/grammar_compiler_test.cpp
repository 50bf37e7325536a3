// The grammar compiler on small grammars: it must reject what the parser
// could not run (LL(1) conflicts, undefined or unused nonterminals, unknown
// keywords and action operands) and encode what it accepts exactly.
#include <gtest/gtest.h>

#include <string>

#include "quilvar/syntax/compiler/grammar_emit.hpp"
#include "quilvar/syntax/compiler/grammar_source.hpp"
#include "quilvar/syntax/compiler/grammar_tables.hpp"

namespace quilvar::syntax::compiler {
namespace {

// A keyword list of 19 token classes, then "(" ")" "=" "A" "B" "$$$".
const std::string kKeywords =
    "keywords \"ENDJB\" \"NAMEX\" \"QS\" \"INT\" \"NBR\" \"COMPOUND\" \"FMT\" \"DATE\" \"TIME\" \"DATETIME\" "
    "\"MISSING\" \"VLITERAL\" \"CATNAME\" \"ZAMDS\" \"R1\" \"R2\" \"R3\" \"R4\" \"R5\" \"(\" \")\" \"=\" \"A\" \"B\" \"$$$\" ;\n"
    "flag F 7\nslot S 12\n";

std::string compile(const std::string& rules, CompiledGrammar* out) {
  GrammarSource source;
  std::string errors = read_grammar(kKeywords + rules, &source);
  return errors.empty() ? compile_grammar(source, out) : errors;
}

TEST(GrammarCompiler, RejectsGrammarsTheParserCannotRun) {
  const struct {
    const char* rules;
    const char* problem;
  } kCases[] = {
      {"start = x \"$$$\" ; x = \"A\" | \"A\" \"B\" ;", "conflict in x on A"},
      {"start = x \"$$$\" ; x = y | \"A\" ; y = \"A\" ;", "conflict in x on A"},
      {"start = x \"$$$\" ; x = \"A\" x | ;  ", ""},
      {"start = x \"$$$\" ; x = x \"A\" | \"B\" ;", "conflict in x on B"},
      {"start = x \"$$$\" ; x = opt \"A\" ; opt = \"A\" | ;", "conflict in opt on A"},
      {"start = x \"$$$\" ;", "nonterminal x is not defined"},
      {"start = \"A\" \"$$$\" ; x = \"A\" ;", "nonterminal x is never used"},
      {"start = \"C\" \"$$$\" ;", "unknown keyword or token class C"},
      {"start = ENDJB \"$$$\" ;", ""},
      {"start = \"ENDJB\" \"$$$\" ;", "unknown keyword or token class ENDJB"},
      {"start = \"A\" {flag G} \"$$$\" ;", "bad action operand G"},
      {"start = \"A\" {flag} \"$$$\" ;", "action flag takes 1 operands"},
      {"start = \"A\" {jump S} \"$$$\" ;", "unknown action jump"},
      {"start = \"A\" \"$$$\" | \"B\" \"$$$\" ;", "the start rule must have one alternative"},
      {"start = \"A\" \"$$$\" ; start = \"B\" ;", "defined twice"},
      {"flag H 128 start = \"A\" \"$$$\" ;", "flag H is out of range"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.rules);
    CompiledGrammar compiled;
    const std::string errors = compile(c.rules, &compiled);
    if (std::string(c.problem).empty()) {
      EXPECT_EQ(errors, "");
    } else {
      EXPECT_NE(errors.find(c.problem), std::string::npos) << errors;
    }
  }
}

TEST(GrammarCompiler, EncodesProductionsActionsAndPredictions) {
  CompiledGrammar g;
  ASSERT_EQ(compile("start = x \"$$$\" ;\n"
                    "x = \"A\" {flag F} \"=\" NAMEX {constant S 3} | \"B\" {flag F} | ;\n",
                    &g),
            "");
  // Productions: 0 start -> x $$$; 1 x -> A {1} = NAMEX {2}; 2 x -> B {1}; 3 x -> (empty).
  const std::vector<std::int16_t> productions = {2, 25, 27, 5, -2, 2, 22, -1, 23, 2, -1, 24, 0};
  EXPECT_EQ(g.productions, productions);
  EXPECT_EQ(g.production_starts, (std::vector<std::uint16_t>{0, 3, 9, 12}));
  EXPECT_EQ(g.production_lhs, (std::vector<std::uint16_t>{0, 1, 1, 1}));
  EXPECT_EQ(g.action_types, (std::vector<std::uint16_t>{5, 33}));
  EXPECT_EQ(g.action_first_argument, (std::vector<std::int16_t>{0, 2}));
  EXPECT_EQ(g.action_arguments, (std::vector<std::int16_t>{1, 7, 2, 12, 3}));
  EXPECT_EQ(g.action_argument_counts, (std::vector<std::int16_t>{2, 3}));
  // start on A, B, $$$ (x is empty before $$$); x on A, B, and $$$ by its follow set.
  EXPECT_EQ(g.predictions, (std::vector<std::int16_t>{23, 0, 24, 0, 25, 0, 23, 1, 24, 2, 25, 3}));
  EXPECT_EQ(g.prediction_starts, (std::vector<std::int16_t>{0, 3, 6}));
  EXPECT_EQ(g.first_nonterminal, 26);
}

TEST(GrammarCompiler, ReportsTheLineOfAReadError) {
  GrammarSource source;
  EXPECT_EQ(read_grammar("keywords \"A\" ;\nstart = \"A\" {flag F ;\n", &source), "line 2: expected '}', found ';'");
  EXPECT_EQ(read_grammar("keywords \"A ;\n", &source).substr(0, 7), "line 1:");
}

TEST(GrammarCompiler, MixedCaseNamesOfConstants) {
  const struct {
    const char* upper;
    const char* mixed;
  } kCases[] = {{"PLOT_DIST", "PlotDist"}, {"MH", "Mh"}, {"REFRATE_MULT", "RefrateMult"}, {"A__B", "AB"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.upper);
    EXPECT_EQ(mixed_case(c.upper), c.mixed);
  }
}

}  // namespace
}  // namespace quilvar::syntax::compiler
