// Program files split into steps and global statements: item order, step
// text with comments and non-step text blanked at their file positions,
// and the problems reported with line and column.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/statements/program.hpp"

namespace quilvar::runtime::statements {
namespace {

constexpr std::string_view kProcedures[] = {"QUILVAR"};

Program split(std::string_view text, Diagnostics* diagnostics) {
  return split_program(text, "test.qv", kProcedures, *diagnostics);
}

std::vector<std::string> messages(const Diagnostics& diagnostics) {
  std::vector<std::string> result;
  for (const Diagnostic& diagnostic : diagnostics.entries()) result.push_back(format_diagnostic(diagnostic));
  return result;
}

// "step@LINE", "title:TEXT", "graphics:on|off" per item.
std::vector<std::string> describe(const Program& program) {
  std::vector<std::string> result;
  for (const ProgramItem& item : program.items) {
    if (const auto* step = std::get_if<Step>(&item)) result.push_back("step@" + std::to_string(step->line));
    if (const auto* title = std::get_if<TitleStatement>(&item)) result.push_back("title:" + title->text);
    if (const auto* graphics = std::get_if<GraphicsStatement>(&item)) result.push_back(graphics->on ? "graphics:on" : "graphics:off");
  }
  return result;
}

TEST(SplitProgram, StepsAndGlobalStatementsInOrder) {
  const std::string text =
      "title 'First; /* not a comment */';\n"
      "proc quilvar data=pop;   /* inline comment */\n"
      "  population event=events;\n"
      "run;\n"
      "GRAPHICS off;\n"
      "* a comment statement, it's 'unbalanced ;\n"
      "PROC Quilvar data=pop; strata age;\n"
      "title;\n"
      "proc quilvar data=pop\n"
      "  ; graphics ON;";
  Diagnostics diagnostics;
  const Program program = split(text, &diagnostics);
  EXPECT_TRUE(messages(diagnostics).empty()) << messages(diagnostics)[0];
  EXPECT_EQ(describe(program), (std::vector<std::string>{"title:First; /* not a comment */", "step@2", "graphics:off",
                                                         "title:", "step@7", "graphics:on", "step@9"}));
  const Step& first = std::get<Step>(program.items[1]);
  EXPECT_EQ(first.procedure, "QUILVAR");
  EXPECT_EQ(first.first_line, 2);
  EXPECT_EQ(first.text, "     quilvar data=pop;                       \n  population event=events;");
  EXPECT_EQ(first.source, "proc quilvar data=pop;   /* inline comment */\n  population event=events;");
  EXPECT_EQ(std::get<Step>(program.items[4]).text, "     Quilvar data=pop; strata age;");
  EXPECT_EQ(std::get<Step>(program.items[6]).text, "     quilvar data=pop\n  ;             ");
}

// A comment statement after a no-break or zero-width space (text pasted
// from a web page) is a comment, as after a plain blank: it was read as a
// statement starting with "*", an unexpected character.
TEST(SplitProgram, ACommentStatementAfterAPastedSpaceIsAComment) {
  const std::string text =
      "\u00A0* a comment pasted from a web page;\n"
      "proc quilvar data=pop;\n"
      "\u200B* a note, it's pasted too;\n"
      "  population event=events;\n"
      "\u202F\u00A0  * one more;\n"
      "run;";
  Diagnostics diagnostics;
  const Program program = split(text, &diagnostics);
  EXPECT_TRUE(messages(diagnostics).empty()) << messages(diagnostics)[0];
  ASSERT_EQ(describe(program), (std::vector<std::string>{"step@2"}));
  const Step& step = std::get<Step>(program.items[0]);
  EXPECT_EQ(step.text.find('*'), std::string::npos) << step.text;
  EXPECT_NE(step.text.find("population event=events;"), std::string::npos) << step.text;
}

// A comment inside a statement is blanked like one between statements,
// and the statements after it are read. "/*/" opens a comment: its "*/"
// does not close it.
TEST(SplitProgram, ACommentInsideAStatementIsBlanked) {
  Diagnostics diagnostics;
  const Program program = split("proc\n  quilvar /*/ the; data */ data=pop;\nrun;\ntitle 'x';", &diagnostics);
  EXPECT_TRUE(messages(diagnostics).empty()) << messages(diagnostics)[0];
  ASSERT_EQ(describe(program), (std::vector<std::string>{"step@1", "title:x"}));
  const Step& step = std::get<Step>(program.items[0]);
  EXPECT_EQ(step.first_line, 1);
  EXPECT_EQ(step.text, "    \n  quilvar" + std::string(18, ' ') + "data=pop;");
}

TEST(SplitProgram, TitleTextsUndoubleTheirQuotes) {
  Diagnostics diagnostics;
  const Program program = split("title 'It''s'; title \"say \"\"x\"\"\";", &diagnostics);
  EXPECT_EQ(describe(program), (std::vector<std::string>{"title:It's", "title:say \"x\""}));
}

TEST(SplitProgram, ReportsProblemsWithPosition) {
  const struct {
    const char* text;
    const char* message;
    std::size_t steps;
  } kCases[] = {
      {"proc foo data=x;\nvar x;\nrun;\nproc quilvar data=pop; run;",
       "test.qv:1:6: unknown procedure foo (this program runs PROC QUILVAR): the step's statements up to the next RUN are skipped", 1},
      {"proc quilvr data=x;\nvar x;\nrun;",
       "test.qv:1:6: unknown procedure quilvr (did you mean QUILVAR?): the step's statements up to the next RUN are skipped", 0},
      {"prc quilvar data=x;\nvar x;\nrun;",
       "test.qv:1:1: unknown statement prc (did you mean PROC?): the step's statements up to the next RUN are skipped", 0},
      {"  data x;\n  var x;",
       "test.qv:1:3: statement data outside a step: write it between PROC and RUN (only TITLE and GRAPHICS stand between steps)", 0},
      // A comment marker of another language, or a misspelled TITLE, is
      // named; a PROC it runs on into for want of ";" starts its step.
      {"// mortality\nproc quilvar data=pop; run;",
       "test.qv:1:1: \"//\" does not start a comment: write a comment as /* ... */", 1},
      {"# mortality\n  PROC quilvar data=pop; run;",
       "test.qv:1:1: \"#\" does not start a comment: write a comment as /* ... */", 1},
      {"// Ana's data\nproc quilvar data=pop; run;",
       "test.qv:1:7: unterminated quoted string starting on line 1: the quote is not closed on its line, so the rest of "
       "the file is ignored; \"//\" does not start a comment: write a comment as /* ... */", 0},
      {"titel 'Mortality'\nproc quilvar data=pop; run;",
       "test.qv:1:1: unknown statement titel (did you mean TITLE?); is the \";\" at the end of line 1 missing?", 1},
      {"titel 'Mortality';\nproc quilvar data=pop; run;", "test.qv:1:1: unknown statement titel (did you mean TITLE?)", 1},
      {"data x;\nproc quilvar data=pop; run;",
       "test.qv:1:1: statement data outside a step: write it between PROC and RUN (only TITLE and GRAPHICS stand between steps)", 1},
      // A step that the end of the readable text cuts short is not run,
      // unless only the ";" of its RUN is missing.
      {"proc quilvar data=pop;\n  /* open comment\nrun;",
       "test.qv:2:3: unterminated comment starting on line 2: no \"*/\" closes it, so the rest of the file is ignored and the step "
       "starting on line 1 is not run", 0},
      {"title 'ok';\n/* one\n/* two */ proc quilvar data=pop; run;",
       "test.qv:2:1: unterminated comment starting on line 2: it is still open at the \"/*\" on line 3 (comments do not nest), so the "
       "rest of the file is ignored", 0},
      {"proc quilvar data=pop;\ntitle 'abc;\nrun; title 'x';",
       "test.qv:2:7: unterminated quoted string starting on line 2: the quote is not closed on its line, so the rest of the file is "
       "ignored and the step starting on line 1 is not run", 0},
      {"proc quilvar data=pop;\n  run", "test.qv:2:3: the last statement is not ended by ';'", 1},
      {"proc quilvar data=pop;\n  strata age", "test.qv:2:3: the last statement is not ended by ';'; the step starting on line 1 is not run", 0},
      {"proc\n  quilvar data=pop;\n  strata age",
       "test.qv:3:3: the last statement is not ended by ';'; the step starting on line 1 is not run", 0},
      {"* comment\n  PROC quilvar data=pop; run;",
       "test.qv:1:1: the comment statement is not ended by ';' before the PROC statement on line 2: end the comment with ';'", 1},
      {"graphics maybe;", "test.qv:1:10: GRAPHICS expects ON or OFF, found \"maybe\"", 0},
      {"graphics on off;", "test.qv:1:13: GRAPHICS expects ON or OFF alone, found \"off\"", 0},
      {"title 'a' 'b';", "test.qv:1:11: TITLE expects one quoted text, found \"'b'\"", 0},
      {"title x;", "test.qv:1:7: TITLE expects one quoted text, found \"x\"", 0},
      {"proc quilvar data=pop; run now;", "test.qv:1:28: RUN takes no options, found \"now\"", 1},
      {"proc; run;", "test.qv:1:5: PROC needs a procedure name", 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    Diagnostics diagnostics;
    const Program program = split(c.text, &diagnostics);
    // The message's first line; the source line and a caret follow.
    std::vector<std::string> first_lines;
    for (const std::string& message : messages(diagnostics)) first_lines.push_back(message.substr(0, message.find('\n')));
    EXPECT_EQ(first_lines, std::vector<std::string>{c.message});
    std::size_t steps = 0;
    for (const ProgramItem& item : program.items) steps += std::holds_alternative<Step>(item) ? 1 : 0;
    EXPECT_EQ(steps, c.steps);
  }
}

TEST(SplitProgram, ProblemsShowTheLineWithACaretUnderTheToken) {
  Diagnostics diagnostics;
  split("title 'ok';\n\tgraphics  maybe;\r\n", &diagnostics);
  EXPECT_EQ(messages(diagnostics),
            std::vector<std::string>{"test.qv:2:12: GRAPHICS expects ON or OFF, found \"maybe\"\n"
                                     "\tgraphics  maybe;\n\t          ^"});
  // Letters of several bytes take one place before the caret and count
  // as one column.
  Diagnostics accented;
  split("title 'Gen\xC3\xA8ve' x;\n", &accented);
  EXPECT_EQ(messages(accented), std::vector<std::string>{"test.qv:1:16: TITLE expects one quoted text, found \"x\"\n"
                                                          "title 'Gen\xC3\xA8ve' x;\n               ^"});
}

// A very long line is shown as a part around the caret, cut at letters
// and marked, the caret still under the token; the column counts the whole
// line.
TEST(SplitProgram, ALongLineIsShownAroundTheCaret) {
  const std::string words(300, 'a');
  Diagnostics diagnostics;
  split("title '" + words + "' x '\xC3\xA8" + words + "';\n", &diagnostics);
  const std::vector<std::string> shown = messages(diagnostics);
  ASSERT_EQ(shown.size(), 1u);
  const std::string& text = shown[0];
  EXPECT_EQ(text.rfind("test.qv:1:310: TITLE expects one quoted text, found \"x\"\n", 0), 0u) << text;
  const std::size_t line_start = text.find('\n') + 1;
  const std::size_t caret_start = text.find('\n', line_start) + 1;
  const std::string line = text.substr(line_start, caret_start - 1 - line_start);
  const std::string caret = text.substr(caret_start);
  EXPECT_EQ(line.substr(0, 3), "...");
  EXPECT_EQ(line.substr(line.size() - 3), "...");
  EXPECT_LT(line.size(), 160u);
  ASSERT_EQ(caret.back(), '^');
  EXPECT_EQ(line[caret.size() - 1], 'x');
  // The accented letter after the caret is whole, not cut in two.
  EXPECT_NE(line.find("'\xC3\xA8"), std::string::npos);
}

// Lines up to 160 bytes are shown whole; a longer one is cut to 140
// bytes around the caret.
TEST(SourceAndCaret, LinesLongerThan160BytesAreCut) {
  const struct {
    std::size_t length;
    int column;
    std::string shown;
  } kCases[] = {
      {160, 1, std::string(160, 'a') + "\n^"},
      {161, 1, std::string(140, 'a') + "...\n^"},
      {161, 161, "..." + std::string(61, 'a') + "\n" + std::string(63, ' ') + "^"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.length);
    EXPECT_EQ(source_and_caret(std::string(c.length, 'a'), c.column), c.shown);
  }
}

// A global statement without its ";" runs into the program statement on
// the next line: the ";" is asked for, the setting kept, and the statement
// after it read as its own.
TEST(SplitProgram, AGlobalStatementMissingItsSemicolonLetsTheNextOneBeRead) {
  Diagnostics diagnostics;
  const Program program = split("title 'T'\nproc quilvar data=pop;\nrun\ngraphics off\ntitle 'U';", &diagnostics);
  EXPECT_EQ(describe(program), (std::vector<std::string>{"title:T", "step@2", "graphics:off", "title:U"}));
  std::vector<std::string> first_lines;
  for (const std::string& message : messages(diagnostics)) first_lines.push_back(message.substr(0, message.find('\n')));
  EXPECT_EQ(first_lines, (std::vector<std::string>{
                             "test.qv:2:1: TITLE expects one quoted text, found \"proc\"; is the \";\" at the end of line 1 missing?",
                             "test.qv:4:1: RUN takes no options, found \"graphics\"; is the \";\" at the end of line 3 missing?",
                             "test.qv:5:1: GRAPHICS expects ON or OFF alone, found \"title\"; is the \";\" at the end of line 4 missing?"}));
  EXPECT_EQ(std::get<Step>(program.items[1]).text, "     quilvar data=pop;");
}

TEST(SplitProgram, MissingSemicolonInsideAStepStaysInTheStepText) {
  Diagnostics diagnostics;
  const Program program = split("proc quilvar data=pop\n  population event=e;\nrun;", &diagnostics);
  EXPECT_FALSE(diagnostics.has_errors());
  ASSERT_EQ(program.items.size(), 1u);
  EXPECT_EQ(std::get<Step>(program.items[0]).text, "     quilvar data=pop\n  population event=e;");
}

}  // namespace
}  // namespace quilvar::runtime::statements
