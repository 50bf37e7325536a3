// The parser through its service table: error text with the source line
// and caret at file positions, steps parsed independently, traces, a long
// step, broken grammar records and misuse of the services, and the
// name-block chains of the result store.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "quilvar/syntax/grammar_record.hpp"
#include "quilvar/syntax/parse_result.hpp"
#include "runtime/statements/result_store.hpp"
#include "statement_harness.hpp"

namespace quilvar::runtime::statements::testing {
namespace {

constexpr std::string_view kProcedures[] = {"QUILVAR"};

std::vector<Step> steps_of(std::string_view text) {
  Diagnostics diagnostics;
  const Program program = split_program(text, "prog.qv", kProcedures, diagnostics);
  EXPECT_FALSE(diagnostics.has_errors());
  std::vector<Step> steps;
  for (const ProgramItem& item : program.items)
    if (const auto* step = std::get_if<Step>(&item)) steps.push_back(*step);
  return steps;
}

bool has_line_containing(const std::vector<std::string>& lines, std::string_view part) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

TEST(ParseErrors, MessageSourceLineAndCaretAtFilePositions) {
  const struct {
    const char* program;
    const char* text;
  } kCases[] = {
      {"title 'x';\nproc quilvar data=pop\n\tmethod=directx;\nrun;",
       "prog.qv:3:9: syntax error: found \"directx\", expected DIRECT, INDIRECT or MH; did you mean DIRECT?\n\tmethod=directx;\n\t       ^"},
      {"proc quilvar data=pop method=direct\r\n  population event=events;\r\nrun;\r\n",
       "prog.qv:2:3: syntax error: found \"population\", expected \";\", ALPHA, CL, DATA, EFFECT, M, METHOD, PLOT, PLOTS, "
       "REFDATA or STAT; is the \";\" at the end of line 1 missing?\n  population event=events;\n  ^"},
      {"proc quilvar data=pop; /* c */ strata age -;\nrun;",
       "prog.qv:1:44: syntax error: found \";\", expected a name, a name literal, \"-\", CHAR, CHARACTER or NUMERIC\n"
       "proc quilvar data=pop; /* c */ strata age -;\n"
       "                                           ^"},
      // A statement word of other programs after a complete statement: its
      // line before ends with ";", so no ";" is said to be missing there,
      // and what ends a step here is named.
      {"proc quilvar data=pop method=mh;\n  strata age;\nquit;\n",
       "prog.qv:3:1: syntax error: found \"quit\", expected \";\", BY, POPULATION, REFERENCE, STRATA, STRATUM or the "
       "end of the step; a step ends with RUN;\nquit;\n^"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.program);
    const std::vector<Step> steps = steps_of(c.program);
    ASSERT_EQ(steps.size(), 1u);
    const StepRun run(steps[0]);
    EXPECT_EQ(run.status(), 3000);
    ASSERT_EQ(run.log().errors.size(), 1u);
    EXPECT_EQ(run.log().errors[0].text, c.text);
  }
}

// A statement missing its ";" runs into the next one: the error says where
// the ";" belongs, and an option of the next statement is not called a
// repeat of one before it ("that later value is used" would be untrue: the
// parse stopped first). A repeat the parser did read is still told.
TEST(ParseErrors, AMissingSemicolonIsPointedAtAndNotTakenForARepeatedOption) {
  const std::vector<Step> steps = steps_of(
      "proc quilvar data=pop refdata=ref;\n"
      "  population event=events total=total\n"
      "  reference total=x1;\n"
      "run;\n"
      "proc quilvar data=pop refdata=ref alpha=0.1 alpha=0.05;\n"
      "  population event=events total=total\n"
      "  reference total=x1;\n"
      "run;\n");
  ASSERT_EQ(steps.size(), 2u);
  const StepRun missing(steps[0]);
  ASSERT_EQ(missing.log().errors.size(), 1u);
  EXPECT_NE(missing.log().errors[0].message.find("found \"reference\""), std::string::npos);
  EXPECT_NE(missing.log().errors[0].message.find("is the \";\" at the end of line 2 missing?"), std::string::npos);
  EXPECT_TRUE(missing.log().warnings.empty());
  const StepRun read(steps[1]);
  ASSERT_EQ(read.log().warnings.size(), 1u);
  EXPECT_NE(read.log().warnings[0].message.find("option ALPHA= is given again"), std::string::npos);
}

// An option repeated without its value ("GROUP=;") is the error itself:
// no warning that its later value is used follows.
TEST(ParseErrors, ARepeatedOptionWithoutItsValueIsOnlyAnError) {
  const std::vector<Step> steps = steps_of(
      "proc quilvar data=pop method=mh;\n"
      "  population group=sex event=events total=total group=;\n"
      "run;\n");
  ASSERT_EQ(steps.size(), 1u);
  const StepRun run(steps[0]);
  ASSERT_EQ(run.log().errors.size(), 1u);
  EXPECT_NE(run.log().errors[0].message.find("found \";\", expected a name"), std::string::npos)
      << run.log().errors[0].message;
  EXPECT_TRUE(run.log().warnings.empty()) << run.log().warnings[0].message;
}

// An option whose value is left out before the same option given again
// ("ALPHA= ALPHA=0.1") is the error: the parser points at the word found
// where the value belongs, and no warning calls the first a repeat whose
// value the later one replaces.
TEST(ParseErrors, AnOptionWithoutItsValueBeforeItsRepeatIsTheError) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"proc quilvar data=pop alpha= alpha=0.1;\n  population event=events total=total;\nrun;\n",
       "1:30: syntax error: found \"alpha\", expected an integer"},
      {"proc quilvar data=pop method= method=mh;\n  population event=events total=total;\nrun;\n",
       "1:31: syntax error: found \"method\", expected DIRECT"},
      {"proc quilvar data=pop;\n  population event=events total=total;\n  strata age / stats(cl= cl=none);\nrun;\n",
       "3:26: syntax error: found \"cl\", expected LOGNORMAL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::vector<Step> steps = steps_of(c.text);
    ASSERT_EQ(steps.size(), 1u);
    const StepRun run(steps[0]);
    ASSERT_FALSE(run.log().errors.empty());
    EXPECT_NE(run.log().errors[0].text.find(c.error), std::string::npos) << run.log().errors[0].text;
    EXPECT_TRUE(run.log().warnings.empty()) << run.log().warnings[0].message;
  }
}

// A variable list that runs into the next statement names a statement word
// as a variable; a misspelled variable on a continued line gets no hint.
TEST(ParseErrors, AStatementWordReadAsAVariablePointsAtTheMissingSemicolon) {
  const std::vector<Step> steps = steps_of(
      "proc quilvar data=pop;\n strata age;\n by sex\n\nrun;\n"
      "proc quilvar data=pop;\n strata age\n population event=events;\nrun;\n"
      "proc quilvar data=pop;\n strata age\n   sexx;\nrun;\n"
      "proc quilvar data=pop;\n by\n sex\nrun;\n");
  ASSERT_EQ(steps.size(), 4u);
  const StepRun by(steps[0]);
  ASSERT_EQ(by.log().errors.size(), 1u);
  EXPECT_NE(by.log().errors[0].message.find("BY variable run is not in data set"), std::string::npos);
  EXPECT_NE(by.log().errors[0].message.find("at the end of line 3 missing?"), std::string::npos);
  const StepRun strata(steps[1]);  // then "=" is a syntax error
  ASSERT_FALSE(strata.log().errors.empty());
  EXPECT_NE(strata.log().errors[0].message.find("at the end of line 7 missing?"), std::string::npos);
  const StepRun misspelled(steps[2]);
  ASSERT_EQ(misspelled.log().errors.size(), 1u);
  EXPECT_NE(misspelled.log().errors[0].message.find("variable sexx"), std::string::npos);
  EXPECT_EQ(misspelled.log().errors[0].message.find("missing?"), std::string::npos);
  // The ";" belongs after the word before RUN, on line 16, not after BY.
  const StepRun by_alone(steps[3]);
  ASSERT_EQ(by_alone.log().errors.size(), 1u);
  EXPECT_NE(by_alone.log().errors[0].message.find("at the end of line 16 missing?"), std::string::npos)
      << by_alone.log().errors[0].message;
}

// An option written in a statement that has no place for it is named with
// the statements it belongs in (and what it follows there), instead of
// being taken for a misspelling of this statement's options; a sub-option
// is shown in the parentheses it belongs in; an option written among a
// statement's variables is asked for its "/".
TEST(ParseErrors, AnOptionOfAnotherStatementSaysWhereItBelongs) {
  const struct {
    const char* program;
    const char* hint;
  } kCases[] = {
      {"proc quilvar data=pop event=events;\nrun;", "; EVENT= belongs in the POPULATION statement or the REFERENCE statement"},
      {"proc quilvar data=pop;\n population event=events method=direct;\nrun;", "; METHOD= belongs in the PROC QUILVAR statement"},
      {"proc quilvar data=pop stats;\nrun;", "; STATS belongs in the STRATA statement, after \"/\""},
      // A sub-option written without its option, here or in another statement.
      {"proc quilvar data=pop;\n strata age / stats cl=poisson;\nrun;",
       "; CL= is written in parentheses here: STATS(CL=...) or SMR(CL=...)"},
      {"proc quilvar data=pop method=mh af;\nrun;", "; AF is written in parentheses here: METHOD=INDIRECT(AF) or METHOD=MH(AF)"},
      {"proc quilvar data=pop mult=1000;\nrun;", "; MULT= is written in parentheses here: STAT=RATE(MULT=...)"},
      {"proc quilvar data=pop only=yes;\nrun;", "; ONLY is written in parentheses here: PLOTS(ONLY)"},
      {"proc quilvar data=pop;\n population order=data group=sex;\nrun;",
       "; ORDER= is written in parentheses here: GROUP(ORDER=...)"},
      {"proc quilvar data=pop exposed='x';\nrun;", "; EXPOSED= belongs in the POPULATION statement as GROUP(EXPOSED=...)"},
      {"proc quilvar data=pop;\n strata age stats;\nrun;",
       "variable stats is not in data set pop; STATS is an option of this statement: is the \"/\" before it missing?"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.program);
    const std::vector<Step> steps = steps_of(c.program);
    ASSERT_EQ(steps.size(), 1u);
    const StepRun run(steps[0]);
    ASSERT_EQ(run.log().errors.size(), 1u);
    const std::string& message = run.log().errors[0].message;
    EXPECT_NE(message.find(c.hint), std::string::npos) << message;
    EXPECT_EQ(message.find("did you mean"), std::string::npos) << message;
  }
}

// A file path written without quotes as a data set gets the quoted path
// to write, with "/" between folders; a "/" elsewhere gets no such hint.
TEST(ParseErrors, AnUnquotedPathIsShownQuoted) {
  const std::vector<Step> steps = steps_of(
      "proc quilvar data=./pop;\nrun;\n"
      "proc quilvar data=C:\\dir\\pop.csv;\nrun;\n"
      "proc quilvar data=dir/pop;\nrun;\n"
      "proc quilvar data=pop;\n population event=events / total=total;\nrun;\n");
  ASSERT_EQ(steps.size(), 4u);
  const char* const quoted[] = {"'./pop'", "'C:/dir/pop.csv'", "'dir/pop'"};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(quoted[i]);
    const StepRun run(steps[i]);
    ASSERT_EQ(run.log().errors.size(), 1u);  // no data set named by the path's first word is looked for
    EXPECT_NE(run.log().errors[0].message.find(std::string("a file path is written in quotes, with \"/\" between folders: ") +
                                               quoted[i]),
              std::string::npos)
        << run.log().errors[0].message;
  }
  const StepRun slash(steps[3]);
  ASSERT_EQ(slash.log().errors.size(), 1u);
  EXPECT_EQ(slash.log().errors[0].message.find("file path"), std::string::npos);
}

TEST(ParseErrors, AFailedStepLeavesTheNextOneUntouched) {
  const std::vector<Step> steps = steps_of(
      "proc quilvar data=pop method=nope; run;\n"
      "proc quilvar data=pop method=mh; strata age; run;\n");
  ASSERT_EQ(steps.size(), 2u);
  {
    const StepRun first(steps[0]);
    EXPECT_EQ(first.status(), 3000);
  }
  const StepRun second(steps[1]);
  EXPECT_EQ(second.status(), 0);
  EXPECT_TRUE(second.log().errors.empty());
  EXPECT_TRUE(syntax::flag(second.result(), 13));
  EXPECT_FALSE(syntax::flag(second.result(), 11));
  EXPECT_EQ(syntax::variable_list_slot(second.result(), 13).size(), 1u);
}

TEST(ParseTrace, LevelsSelectProductionsAndActions) {
  const Step step = make_step("quilvar data=pop method=indirect;");
  const struct {
    int level;
    bool syntax;
    bool semantic;
  } kCases[] = {{0, false, false}, {1, false, true}, {2, true, false}, {3, true, true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.level);
    const StepRun run(step, c.level);
    const std::vector<std::string>& trace = run.log().trace;
    EXPECT_EQ(has_line_containing(trace, ": start -> step $$$"), c.syntax);
    EXPECT_EQ(has_line_containing(trace, ": proc_option -> method_keyword = method"), c.syntax);
    EXPECT_EQ(has_line_containing(trace, "(type 5: 1, 12) flag 12 set"), c.semantic);
    EXPECT_EQ(has_line_containing(trace, "(type 11: 1) data set pop opened"), c.semantic);
    EXPECT_EQ(std::all_of(trace.begin(), trace.end(), [](const std::string& line) {
                return line.rfind("SYN: ", 0) == 0 || line.rfind("SEM: ", 0) == 0;
              }), true);
  }
}

TEST(LongStep, TenThousandStatementsParse) {
  std::string text = "quilvar data=pop method=direct;\n";
  for (int i = 0; i < 2500; ++i)
    text += "strata age sex / stats;\npopulation event=events total=total;\nreference refrate=" + std::to_string(i) +
            ";\nby descending age;\n";
  const StepRun run(make_step(text));
  EXPECT_EQ(run.status(), 0);
  EXPECT_TRUE(run.log().errors.empty());
  EXPECT_EQ(syntax::number_slot(run.result(), 46).value, 2499);
  EXPECT_EQ(syntax::variable_list_slot(run.result(), 13).size(), 2u);
  // Each repeated STRATA and BY statement replaces the one before it.
  EXPECT_EQ(run.log().by_calls.size(), 1u);
}

// A copy of the module's parser tables whose counts can be altered.
struct TamperedRecord {
  host::GrammarRecord record{};
  std::vector<std::int16_t> counts;
  std::vector<std::int16_t> productions;

  TamperedRecord() {
    quilvar::syntax::fill_grammar_record(record);
    counts.assign(record.parser_table_b, record.parser_table_b + host::kGrammarCountEntries);
    productions.assign(record.productions, record.productions + counts[host::kGrammarCountProductionWords]);
    record.parser_table_b = counts.data();
    record.productions = productions.data();
  }
};

// Prepares record as the module does (support objects, default action) and
// parses the current step; returns the parse status.
int parse_current_step(host::GrammarRecord* record) {
  const host::ParserServices& services = parser_services();
  services.parser_factory_a(&record->support_a, services.parser_context());
  services.parser_factory_b(&record->support_b, services.parser_context());
  record->default_action = services.default_action();
  host::StatementState state{};
  return services.parse_statements(record, &state, 0, 0, 0);
}

// Parses a small step with the record; returns the status and the first error.
int parse_with(TamperedRecord& tampered, std::string* error) {
  HookLog log;
  begin_step(make_step("quilvar data=pop;"), make_hooks(&log));
  const int status = parse_current_step(&tampered.record);
  *error = log.errors.empty() ? "" : log.errors[0].message;
  end_step();
  return status;
}

TEST(GrammarRecordChecks, BrokenTablesAreReportedNotFollowed) {
  const struct {
    const char* what;
    void (*tamper)(TamperedRecord&);
    const char* message;
  } kCases[] = {
      {"no productions", [](TamperedRecord& t) { t.counts[host::kGrammarCountProductions] = 0; },
       "the grammar record is not usable: the grammar has no productions"},
      {"symbol out of range", [](TamperedRecord& t) { t.productions[1] = 9999; },
       "the grammar record is not usable: production 0 has a bad symbol"},
      {"action out of range", [](TamperedRecord& t) { t.productions[1] = -999; },
       "the grammar record is not usable: production 0 has a bad symbol"},
      {"production past the table", [](TamperedRecord& t) { t.counts[host::kGrammarCountProductionWords] = 3; },
       "the grammar record is not usable: production 1 runs past the table"},
      {"keywords overlap nonterminals", [](TamperedRecord& t) { t.record.header[1] = 50; },
       "the grammar record is not usable: nonterminal symbols overlap the keyword codes"},
      {"a table missing", [](TamperedRecord& t) { t.record.parser_table_e = nullptr; },
       "the grammar record is not usable: a grammar table is missing"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    TamperedRecord tampered;
    c.tamper(tampered);
    std::string error;
    EXPECT_EQ(parse_with(tampered, &error), 3000);
    EXPECT_EQ(error, c.message);
  }
  TamperedRecord intact;
  std::string error;
  EXPECT_EQ(parse_with(intact, &error), 0) << error;
}

TEST(ParserServices, RefuseARecordNotPreparedForTheCurrentStep) {
  HookLog log;
  const host::ParserServices& services = parser_services();
  void* object = nullptr;
  EXPECT_EQ(services.parser_context(), nullptr) << "no current step";
  EXPECT_NE(services.parser_factory_a(&object, services.parser_context()), 0);
  begin_step(make_step("quilvar data=pop;"), make_hooks(&log));
  host::GrammarRecord record{};
  quilvar::syntax::fill_grammar_record(record);
  host::StatementState state{};
  EXPECT_EQ(services.parse_statements(&record, &state, 0, 0, 0), 3000);
  EXPECT_EQ(state.parse_status, 3000);
  ASSERT_EQ(log.errors.size(), 1u);
  EXPECT_EQ(log.errors[0].message, "the grammar record does not hold this step's parser support objects");
  EXPECT_EQ(services.parser_factory_a(&record.support_a, services.parser_context()), 0);
  EXPECT_EQ(services.parser_factory_b(&record.support_b, services.parser_context()), 0);
  EXPECT_EQ(services.parse_statements(&record, &state, 0, 0, 0), 3000) << "default action not filled";
  EXPECT_EQ(log.errors.back().message, "the grammar record does not hold the parser's default action");
  record.default_action = services.default_action();
  EXPECT_EQ(services.parse_statements(&record, &state, 0, 0, 0), 0);
  EXPECT_EQ(state.parse_status, 0);
  EXPECT_NE(state.parse_result, nullptr);
  end_step();
  EXPECT_EQ(services.parser_context(), nullptr);
}

TEST(ParserServices, AnExceptionFromAHookBecomesAStatementError) {
  HookLog log;
  StepHooks hooks = make_hooks(&log);
  hooks.open_data_set = [](std::string_view, bool, std::string*) -> host::DataSet* { throw std::runtime_error("disk gone"); };
  begin_step(make_step("quilvar data=pop;"), std::move(hooks));
  host::GrammarRecord record{};
  quilvar::syntax::fill_grammar_record(record);
  EXPECT_EQ(parse_current_step(&record), 3000);
  ASSERT_EQ(log.errors.size(), 1u);
  EXPECT_EQ(log.errors[0].message, "the parser failed: disk gone");
  end_step();
}

TEST(ResultStore, NameListsChainAcrossBlocks) {
  ResultStore store;
  std::vector<std::string> names;
  for (int i = 0; i < 60; ++i) names.push_back(std::string(static_cast<std::size_t>(1 + i % 32), static_cast<char>('a' + i % 26)));
  names.push_back(std::string(300, 'z'));  // longer than a length byte holds
  store.store_names(41, names);
  const host::ParseResult& result = *store.result();
  ASSERT_EQ(syntax::name_count(result, 41), 61);
  const auto* first = static_cast<const host::NameBlock*>(result.values[41].pointer);
  EXPECT_NE(first->next, nullptr) << "60 names do not fit one block";
  for (int i = 0; i < 60; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(syntax::list_name(result, 41, i), std::optional<std::string_view>(names[static_cast<std::size_t>(i)]));
  }
  EXPECT_EQ(syntax::list_name(result, 41, 60)->size(), 255u);
  EXPECT_EQ(syntax::list_name(result, 41, 61), std::nullopt);
}

}  // namespace
}  // namespace quilvar::runtime::statements::testing
