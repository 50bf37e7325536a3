// The host's statement parser as the module reaches it: the ParserServices
// table (support-object factories, parser context, default action,
// parse_statements), and what the session sets up around it. The session
// calls begin_step with a step of the program and its hooks, runs the
// module's driver (which parses through parser_services()), then end_step,
// which frees the parse result and everything the parser allocated.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "quilvar/host/services.hpp"
#include "runtime/statements/program.hpp"

namespace quilvar::runtime::statements {

inline constexpr int kStatementErrorStatus = 3000;
inline constexpr int kTraceSemantic = 1;  // trace bit: each semantic action and what it stored
inline constexpr int kTraceSyntax = 2;    // trace bit: each production as it is applied

// parse_statements returns kStatementErrorStatus and reports an internal
// error unless the record's default-action slot holds this value.
inline constexpr std::uint64_t kDefaultActionValue = 0x5157'5341'0001ull;

struct ByVariableSpec {
  std::string name;  // as written
  int number = 0;    // from 1, in the BY data set
  bool descending = false;
};

// An error in a step's statements, at a token.
struct StatementError {
  int line = 0;
  int column = 0;
  std::string token;    // the token as written; empty at the end of the step
  std::string message;  // "syntax error: found ..., expected ..." and so on
  std::string text;     // "file:line:column: message", the source line, a caret under the token
};

struct StepHooks {
  // Opens a data set named as written (quoted: a path). Returns null and
  // sets *error when it cannot be opened. The session owns what it opens.
  std::function<host::DataSet*(std::string_view spec, bool quoted, std::string* error)> open_data_set;
  // Variables are found through find_variable (found when the number it
  // returns through its last argument is 1 or more) and described through
  // get_variable_info (0: success).
  const host::DataSetServices* data_sets = nullptr;
  std::function<int(host::DataSet* data)> variable_count;
  // Applies the BY statement to the data set; false with *error set when
  // it cannot.
  std::function<bool(host::DataSet* data, std::span<const ByVariableSpec> variables, bool notsorted, std::string* error)>
      apply_by;
  std::function<void(const StatementError& error)> report_error;
  // A problem the parse goes on from (an option given twice); may be empty.
  std::function<void(const StatementError& warning)> report_warning;
  std::function<void(std::string_view line)> trace;  // one trace line, without "\n"
};

// Makes step the current step (ending any earlier one): its text is what
// parse_statements parses.
void begin_step(const Step& step, StepHooks hooks);

// Frees the current step's parse result, support objects and stored values.
void end_step();

// The service table; every entry catches its own failures.
const host::ParserServices& parser_services();

}  // namespace quilvar::runtime::statements
