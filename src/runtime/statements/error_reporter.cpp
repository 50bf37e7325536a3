// Formats statement errors: "file:line:column: message", then the source
// line as written and a caret under the token's first character (tabs in
// the line are kept in the caret line so that the caret lines up).
#include "runtime/statements/error_reporter.hpp"

#include <cctype>
#include <cstring>

#include "runtime/statements/program.hpp"

namespace quilvar::runtime::statements {
namespace {

constexpr std::size_t kMaxShownToken = 40;

}  // namespace

std::string missing_end_hint(int line) {
  std::string hint = "; is the \";\" at the end of line ";
  return hint.append(std::to_string(line)).append(" missing?");
}

std::string unquoted_path_hint(const char* from) {
  if (from == nullptr) return "";
  std::string_view written(from, std::strcspn(from, " \t\r\n;'\""));
  const bool path = written.find_first_of("/\\") != std::string_view::npos ||
                    (written.size() > 2 && written[1] == ':' && std::isalpha(static_cast<unsigned char>(written[0])));
  if (!path) return "";
  std::string shown(written);
  for (char& c : shown) c = c == '\\' ? '/' : c;
  return "; a file path is written in quotes, with \"/\" between folders: '" + shown + "'";
}

std::string describe_token(const Token& token, int end_code) {
  if (token.code == end_code) return "the end of the step";
  std::string text(token.text.substr(0, kMaxShownToken));
  if (token.text.size() > kMaxShownToken) text += "...";
  return "\"" + text + "\"";
}

std::string ErrorReporter::source_line(int line) const {
  std::size_t begin = 0;
  for (int l = step_.first_line; l < line && begin != std::string::npos; ++l) {
    begin = step_.source.find('\n', begin);
    if (begin != std::string::npos) ++begin;
  }
  if (begin == std::string::npos) return "";
  const std::size_t end = step_.source.find('\n', begin);
  std::string text = step_.source.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

void ErrorReporter::report(const Token& token, std::string message) {
  if (!failed_) {
    error_line_ = token.line;
    error_column_ = token.column;
  }
  failed_ = true;
  StatementError error;
  error.line = token.line;
  const std::string line = source_line(token.line);
  error.column = statements::character_column(line, token.column);
  error.token = std::string(token.text);
  error.message = std::move(message);
  error.text = step_.file_name + ":" + std::to_string(token.line) + ":" + std::to_string(error.column) + ": " +
               error.message + "\n" + source_and_caret(line, token.column);
  if (sink_) sink_(error);
}

int ErrorReporter::character_column(const Token& token) const {
  return statements::character_column(source_line(token.line), token.column);
}

void ErrorReporter::report_internal(std::string message) {
  failed_ = true;
  StatementError error;
  error.line = step_.line;
  error.column = step_.column;
  error.message = std::move(message);
  error.text = step_.file_name + ":" + std::to_string(step_.line) + ": " + error.message;
  if (sink_) sink_(error);
}

}  // namespace quilvar::runtime::statements
