// Turns an error at a token into a StatementError with the file position,
// the source line and a caret under the token, and hands it to the session.
#pragma once

#include <functional>
#include <string>

#include "runtime/statements/parser_services.hpp"
#include "runtime/statements/tokenizer.hpp"

namespace quilvar::runtime::statements {

class ErrorReporter {
 public:
  ErrorReporter(const Step& step, std::function<void(const StatementError&)> sink)
      : step_(step), sink_(std::move(sink)) {}

  void report(const Token& token, std::string message);
  // An error with no token: a broken grammar record or a failed service.
  void report_internal(std::string message);
  bool failed() const { return failed_; }
  // Whether the token comes before the first error reported (true when
  // none was): the parser read it.
  bool read_before_error(const Token& token) const {
    return !failed_ || token.line < error_line_ || (token.line == error_line_ && token.column < error_column_);
  }
  // The token's column as messages show it (letters, not bytes).
  int character_column(const Token& token) const;

 private:
  std::string source_line(int line) const;

  const Step& step_;
  std::function<void(const StatementError&)> sink_;
  bool failed_ = false;
  int error_line_ = 0;    // of the first error at a token
  int error_column_ = 0;  // in bytes, as Token::column
};

// "; is the ";" at the end of line N missing?": told when a statement
// without its ";" runs into the next line's statement.
std::string missing_end_hint(int line);

// "; a file path is written in quotes: 'PATH'" when the text written from
// `from` on (to a blank, ";" or quote) reads as a file path ("data/x.csv",
// "./x", "C:\x.csv") rather than a name; else empty. `from` points into
// tokenized text, which ends with a NUL.
std::string unquoted_path_hint(const char* from);

// How a found token is named in messages: "the end of the step", or its
// text in double quotes.
std::string describe_token(const Token& token, int end_code);

}  // namespace quilvar::runtime::statements
