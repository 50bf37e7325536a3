// Splits a program file into steps and global statements. A first pass
// finds the statements (";" outside quotes and comments) and blanks the
// comments; a second pass classifies each statement by its first word and
// gathers the step statements with their file positions.
#include "runtime/statements/program.hpp"

#include <algorithm>
#include <cctype>
#include <optional>

#include "quilvar/host/statement_state.hpp"
#include "runtime/statements/error_reporter.hpp"
#include "runtime/statements/tokenizer.hpp"

namespace quilvar::runtime::statements {
namespace {

struct StatementSpan {
  std::size_t begin;  // first character
  std::size_t end;    // one past the ";"
};

class LineIndex {
 public:
  explicit LineIndex(std::string_view text) : size_(text.size()) {
    starts_.push_back(0);
    for (std::size_t i = 0; i < text.size(); ++i)
      if (text[i] == '\n') starts_.push_back(i + 1);
  }
  int line_of(std::size_t offset) const {
    return static_cast<int>(std::upper_bound(starts_.begin(), starts_.end(), offset) - starts_.begin());
  }
  int column_of(std::size_t offset) const { return static_cast<int>(offset - line_begin(line_of(offset))) + 1; }
  std::size_t line_begin(int line) const { return starts_[static_cast<std::size_t>(line - 1)]; }
  // One past the line's last character, its line break excluded.
  std::size_t line_end(int line) const {
    return static_cast<std::size_t>(line) < starts_.size() ? starts_[static_cast<std::size_t>(line)] - 1 : size_;
  }

 private:
  std::size_t size_;
  std::vector<std::size_t> starts_;
};

// Finds the statements and blanks the comments of the text.
// The line as written, without its line break.
std::string line_text(std::string_view text, const LineIndex& lines, int line) {
  std::string_view written = text.substr(lines.line_begin(line), lines.line_end(line) - lines.line_begin(line));
  if (!written.empty() && written.back() == '\r') written.remove_suffix(1);
  return std::string(written);
}

class StatementScanner {
 public:
  StatementScanner(std::string_view text, const LineIndex& lines, const std::string& file, Diagnostics& diagnostics)
      : text_(text), blanked_(text), lines_(lines), file_(file), diagnostics_(diagnostics) {}

  std::vector<StatementSpan> scan() {
    std::vector<StatementSpan> spans;
    while (skip_blanks_and_comments() && pos_ < text_.size()) {
      const std::size_t begin = pos_;
      const bool comment = text_[pos_] == '*';
      if (comment) {
        skip_to_semicolon();
        blank(begin, pos_);
      } else if (scan_statement_body()) {
        spans.push_back({begin, pos_});
      } else {
        break;
      }
    }
    return spans;
  }

  const std::string& blanked() const { return blanked_; }

 private:
  void error(std::size_t offset, std::string message) {
    const int line = lines_.line_of(offset);
    diagnostics_.add({file_, line, lines_.column_of(offset), std::move(message), line_text(text_, lines_, line)});
  }

  void blank(std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
      if (blanked_[i] != '\n') blanked_[i] = ' ';
  }

  // Blanks the comment at pos_; false (with an error) when it is not closed.
  bool skip_comment() {
    const std::size_t close = text_.find("*/", pos_ + 2);
    if (close == std::string_view::npos) {
      error(pos_, "unterminated comment starting on line " + std::to_string(lines_.line_of(pos_)));
      return false;
    }
    blank(pos_, close + 2);
    pos_ = close + 2;
    return true;
  }

  bool skip_blanks_and_comments() {
    for (;;) {
      while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
      if (text_.compare(pos_, 2, "/*") != 0) return true;
      if (!skip_comment()) return false;
    }
  }

  // A "* ... ;" comment runs to the next ";" whatever it holds.
  void skip_to_semicolon() {
    const std::size_t semicolon = text_.find(';', pos_);
    pos_ = semicolon == std::string_view::npos ? text_.size() : semicolon + 1;
  }

  // Moves pos_ past the statement's ";"; false at an unterminated quote or
  // comment, or when the text ends first.
  bool scan_statement_body() {
    const std::size_t begin = pos_;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == ';') {
        ++pos_;
        return true;
      }
      if (c == '\'' || c == '"') {
        if (!skip_quoted(c)) return false;
      } else if (text_.compare(pos_, 2, "/*") == 0) {
        if (!skip_comment()) return false;
      } else {
        ++pos_;
      }
    }
    error(begin, "the last statement is not ended by ';'");
    return false;
  }

  bool skip_quoted(char quote) {
    for (std::size_t i = pos_ + 1; i < text_.size(); ++i) {
      if (text_[i] != quote) continue;
      if (i + 1 < text_.size() && text_[i + 1] == quote) {
        ++i;
        continue;
      }
      pos_ = i + 1;
      return true;
    }
    error(pos_, "unterminated quoted string starting on line " + std::to_string(lines_.line_of(pos_)));
    return false;
  }

  std::string_view text_;
  std::string blanked_;
  const LineIndex& lines_;
  const std::string& file_;
  Diagnostics& diagnostics_;
  std::size_t pos_ = 0;
};

// A statement's tokens, with file positions; the tokens point into `padded`.
struct StatementTokens {
  std::string padded;
  std::vector<Token> tokens;
};

class Splitter {
 public:
  Splitter(std::string_view text, std::string file, std::span<const std::string_view> procedures, Diagnostics& diagnostics)
      : text_(text), lines_(text), file_(std::move(file)), procedures_(procedures), diagnostics_(diagnostics) {}

  Program split() {
    StatementScanner scanner(text_, lines_, file_, diagnostics_);
    const std::vector<StatementSpan> spans = scanner.scan();
    blanked_ = scanner.blanked();
    program_.file_name = file_;
    for (const StatementSpan& span : spans) classify(span);
    close_step();
    return std::move(program_);
  }

 private:
  // An error about what a statement expects: the token found is named too,
  // or what is wrong with it when it is not a valid token.
  void expected(const Token& token, std::string message) {
    if (token.code == kBadToken) return error(token, token.problem);
    if (token.code != host::kTokenEndStatement) message += ", found " + describe_token(token, host::kTokenEndStatement);
    error(token, std::move(message));
  }

  void error(const Token& token, std::string message) {
    diagnostics_.add({file_, token.line, token.column, std::move(message), line_text(text_, lines_, token.line)});
  }

  StatementTokens tokens_of(const StatementSpan& span) const {
    StatementTokens result;
    const std::size_t column = static_cast<std::size_t>(lines_.column_of(span.begin));
    result.padded = std::string(column - 1, ' ') + std::string(blanked_, span.begin, span.end - span.begin);
    result.tokens = tokenize(result.padded, lines_.line_of(span.begin), keywords_);
    return result;
  }

  static bool is_word(const Token& token, std::string_view upper) {
    return token.code == host::kTokenName && upper_case(token.text) == upper;
  }

  void classify(const StatementSpan& span) {
    const StatementTokens statement = tokens_of(span);
    const std::vector<Token>& tokens = statement.tokens;
    const Token& first = tokens.front();
    if (first.code == host::kTokenEndStatement) {
      if (step_) ranges_.push_back(span);
    } else if (is_word(first, "PROC")) {
      start_step(tokens, span);
    } else if (is_word(first, "RUN")) {
      if (tokens[1].code != host::kTokenEndStatement) expected(tokens[1], "RUN takes no options");
      close_step();
      skipping_ = false;
    } else if (is_word(first, "TITLE")) {
      read_title(tokens);
    } else if (is_word(first, "GRAPHICS")) {
      read_graphics(tokens);
    } else if (step_) {
      ranges_.push_back(span);
    } else if (!skipping_) {
      error(first, "unknown statement " + std::string(first.text) + " outside a step");
    }
  }

  bool is_known_procedure(std::string_view name) const {
    return std::any_of(procedures_.begin(), procedures_.end(),
                       [&](std::string_view known) { return upper_case(known) == upper_case(name); });
  }

  void start_step(const std::vector<Token>& tokens, const StatementSpan& span) {
    close_step();
    const Token& name = tokens[1];
    if (name.code != host::kTokenName || !is_known_procedure(name.text)) {
      error(name, name.code == host::kTokenName ? "unknown procedure " + std::string(name.text)
                                                : "PROC needs a procedure name");
      skipping_ = true;
      return;
    }
    skipping_ = false;
    step_.emplace();
    step_->procedure = upper_case(name.text);
    step_->file_name = file_;
    step_->line = tokens[0].line;
    step_->column = tokens[0].column;
    const std::size_t name_offset = span.begin + (tokens[1].text.data() - tokens[0].text.data());
    ranges_.push_back({name_offset, span.end});
  }

  void read_title(const std::vector<Token>& tokens) {
    TitleStatement title{"", tokens[0].line};
    std::size_t next = 1;
    if (tokens[next].code == host::kTokenQuoted) title.text = tokens[next++].value;
    if (tokens[next].code != host::kTokenEndStatement) return expected(tokens[next], "TITLE expects one quoted text");
    program_.items.emplace_back(std::move(title));
  }

  void read_graphics(const std::vector<Token>& tokens) {
    const bool on = is_word(tokens[1], "ON");
    if (!on && !is_word(tokens[1], "OFF")) return expected(tokens[1], "GRAPHICS expects ON or OFF");
    if (tokens[2].code != host::kTokenEndStatement) return expected(tokens[2], "GRAPHICS expects ON or OFF alone");
    program_.items.emplace_back(GraphicsStatement{on, tokens[0].line});
  }

  // Ends the open step: its lines, with only its statement ranges kept.
  void close_step() {
    if (!step_) return;
    const int first_line = step_->line;
    const int last_line = lines_.line_of(ranges_.back().end - 1);
    const std::size_t begin = lines_.line_begin(first_line);
    const std::size_t end = lines_.line_end(last_line);
    step_->first_line = first_line;
    step_->source = std::string(text_.substr(begin, end - begin));
    step_->text = std::string(end - begin, ' ');
    for (std::size_t i = 0; i < step_->source.size(); ++i)
      if (step_->source[i] == '\n') step_->text[i] = '\n';
    for (const StatementSpan& range : ranges_)
      std::copy(blanked_.begin() + static_cast<std::ptrdiff_t>(range.begin), blanked_.begin() + static_cast<std::ptrdiff_t>(range.end),
                step_->text.begin() + static_cast<std::ptrdiff_t>(range.begin - begin));
    program_.items.emplace_back(std::move(*step_));
    step_.reset();
    ranges_.clear();
  }

  std::string_view text_;
  LineIndex lines_;
  std::string file_;
  std::span<const std::string_view> procedures_;
  Diagnostics& diagnostics_;
  KeywordTable keywords_;
  std::string blanked_;
  Program program_;
  std::optional<Step> step_;
  std::vector<StatementSpan> ranges_;
  bool skipping_ = false;
};

}  // namespace

std::string source_and_caret(std::string_view line, int column) {
  std::string text(line);
  text += '\n';
  // One blank per character before the column (columns count bytes; a
  // letter of several bytes takes one place on the screen).
  for (std::size_t i = 0; i + 1 < static_cast<std::size_t>(column); ++i) {
    if (i >= line.size()) {
      text += ' ';
    } else if (line[i] == '\t') {
      text += '\t';
    } else if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) {
      text += ' ';
    }
  }
  return text += '^';
}

int character_column(std::string_view line, int column) {
  int characters = 1;
  for (std::size_t i = 0; i + 1 < static_cast<std::size_t>(column); ++i) {
    if (i >= line.size() || (static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) ++characters;
  }
  return characters;
}

std::string format_diagnostic(const Diagnostic& diagnostic) {
  std::string text = diagnostic.file + ":" + std::to_string(diagnostic.line);
  if (diagnostic.column > 0)
    text.append(":").append(std::to_string(character_column(diagnostic.source, diagnostic.column)));
  text.append(": ").append(diagnostic.message);
  if (diagnostic.column > 0 && !diagnostic.source.empty()) text.append("\n").append(source_and_caret(diagnostic.source, diagnostic.column));
  return text;
}

Program split_program(std::string_view text, std::string file_name, std::span<const std::string_view> procedures,
                      Diagnostics& diagnostics) {
  return Splitter(text, std::move(file_name), procedures, diagnostics).split();
}

}  // namespace quilvar::runtime::statements
