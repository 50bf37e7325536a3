// Program files: statements end with ";", comments are "/* ... */" anywhere
// and "* ... ;" as a whole statement. A step is "PROC name ...;" with the
// statements after it, ended by "RUN;", the next PROC or the end of the
// file. Between (and within) steps, "TITLE 'text';", "TITLE;" and
// "GRAPHICS ON|OFF;" are global statements. split_program turns a file into
// these items in order; problems are reported with line and column.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quilvar::runtime::statements {

// The words that begin the program's own statements, around and between steps.
inline constexpr std::array<std::string_view, 4> kProgramStatementWords = {"PROC", "RUN", "TITLE", "GRAPHICS"};

struct Diagnostic {
  std::string file;
  int line = 0;
  int column = 0;  // 0 when the problem has no column
  std::string message;
  std::string source;  // the line as written, shown with a caret under the column
};

class Diagnostics {
 public:
  void add(Diagnostic diagnostic) { entries_.push_back(std::move(diagnostic)); }
  const std::vector<Diagnostic>& entries() const { return entries_; }
  bool has_errors() const { return !entries_.empty(); }

 private:
  std::vector<Diagnostic> entries_;
};

// "file:line:column: message" ("file:line: message" without a column).
std::string format_diagnostic(const Diagnostic& diagnostic);

// The source line, a line break and a caret under column (from 1): tabs of
// the line are repeated in the caret line so that the caret lines up.
std::string source_and_caret(std::string_view line, int column);

// The column (from 1) that messages show for byte column `column` of the
// line: letters of several bytes count once, as an editor counts them.
int character_column(std::string_view line, int column);

// One step. text and source cover the same whole lines, first_line to the
// step's last line, so positions in text are positions in the file; text
// holds the statements from the procedure name on with comments and
// everything outside the step blanked (line breaks kept).
struct Step {
  std::string procedure;  // upper case
  std::string file_name;
  int line = 0;           // of the PROC keyword
  int column = 0;
  int first_line = 0;
  std::string text;
  std::string source;     // the lines as written, for messages
};

struct TitleStatement {
  std::string text;  // empty: the title is cleared
  int line = 0;
};

struct GraphicsStatement {
  bool on = true;
  int line = 0;
};

using ProgramItem = std::variant<Step, TitleStatement, GraphicsStatement>;

struct Program {
  std::string file_name;
  std::vector<ProgramItem> items;
};

// The items of the program text in order; a global statement inside a step
// comes before that step. procedures lists the known procedure names (any
// case). Unknown statements, unknown procedures (whose statements are then
// skipped up to RUN or the next PROC), a last statement without ";", and
// unterminated comments and quoted strings (the rest of the file is then
// ignored) are added to diagnostics.
Program split_program(std::string_view text, std::string file_name, std::span<const std::string_view> procedures,
                      Diagnostics& diagnostics);

}  // namespace quilvar::runtime::statements
