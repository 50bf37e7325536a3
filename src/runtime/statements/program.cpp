// Splits a program file into steps and global statements. A first pass
// finds the statements (";" outside quotes and comments) and blanks the
// comments; a second pass classifies each statement by its first word and
// gathers the step statements with their file positions.
#include "runtime/statements/program.hpp"

#include <algorithm>
#include <cctype>
#include <optional>

#include "quilvar/host/statement_state.hpp"
#include "runtime/statements/characters.hpp"
#include "runtime/statements/error_reporter.hpp"
#include "runtime/statements/suggestions.hpp"
#include "runtime/statements/tokenizer.hpp"

namespace quilvar::runtime::statements {
namespace {

// Message parts of the program's own statements.
constexpr char kNoCommentEnd[] = ": no \"*/\" closes it";
constexpr char kCommentsDoNotNest[] = " (comments do not nest)";
constexpr char kNoClosingQuote[] = ": the quote is not closed on its line";
constexpr char kRestIgnored[] = ", so the rest of the file is ignored";
constexpr char kEndTheComment[] = ": end the comment with ';'";
constexpr char kStepNotRun[] = "the step starting on line ";
constexpr char kOutsideAStep[] = " outside a step: write it between PROC and RUN (only TITLE and GRAPHICS stand between steps)";
constexpr char kStepSkipped[] = ": the step's statements up to the next RUN are skipped";

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

// The line as written, without its line break.
std::string line_text(std::string_view text, const LineIndex& lines, int line) {
  std::string_view written = text.substr(lines.line_begin(line), lines.line_end(line) - lines.line_begin(line));
  if (!written.empty() && written.back() == '\r') written.remove_suffix(1);
  return std::string(written);
}

// Where and why the scan of the statements stopped before the end of the
// text (an unterminated comment or quoted string, or a last statement
// without ";"); what follows is not read.
struct ScanStop {
  std::size_t offset = 0;
  std::string message;
  std::size_t statement = 0;  // the start of the statement cut off
  bool rest_ignored = true;   // false: the statement cut off is the file's last
  std::string hint;           // what the user most likely meant, "; ..." or empty
};

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

// Whether the text at pos, after blanks, is the word (upper case) followed
// by a blank or the end.
bool starts_with_word(std::string_view text, std::size_t pos, std::string_view word) {
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
  if (text.size() - pos < word.size() || upper_case(text.substr(pos, word.size())) != word) return false;
  const std::size_t after = pos + word.size();
  return after == text.size() || std::isspace(static_cast<unsigned char>(text[after]));
}

// Finds the statements and blanks the comments of the text.
class StatementScanner {
 public:
  StatementScanner(std::string_view text, const LineIndex& lines, const std::string& file, Diagnostics& diagnostics)
      : text_(text), blanked_(text), lines_(lines), file_(file), diagnostics_(diagnostics) {}

  std::vector<StatementSpan> scan() {
    std::vector<StatementSpan> spans;
    for (statement_ = pos_; skip_blanks_and_comments() && pos_ < text_.size(); statement_ = pos_) {
      const std::size_t begin = pos_;
      const bool comment = text_[pos_] == '*';
      if (comment) {
        skip_comment_statement();
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
  const std::optional<ScanStop>& stop() const { return stop_; }

 private:
  // The scan stops here: the message is told once the splitter knows
  // which step, if any, the stop cuts off.
  void stop(std::size_t offset, std::string message, bool rest_ignored = true) {
    stop_ = ScanStop{offset, std::move(message), statement_, rest_ignored, ""};
  }

  void error(std::size_t offset, std::string message) {
    const int line = lines_.line_of(offset);
    diagnostics_.add({file_, line, lines_.column_of(offset), std::move(message), line_text(text_, lines_, line)});
  }

  void blank(std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
      if (blanked_[i] != '\n') blanked_[i] = ' ';
  }

  // Blanks the comment at pos_; false (with a stop) when it is not closed,
  // or holds the "/*" of another comment before its "*/": comments do not
  // nest, so that "/*" most likely opens the comment meant to follow the
  // one left open, whose "*/" would otherwise end this one far too late.
  bool skip_comment() {
    const std::size_t close = text_.find("*/", pos_ + 2);
    const std::size_t inner = text_.find("/*", pos_ + 2);
    const std::string start = "unterminated comment starting on line " + std::to_string(lines_.line_of(pos_));
    if (close == std::string_view::npos) {
      stop(pos_, start + kNoCommentEnd);
      return false;
    }
    if (inner < close) {
      stop(pos_, start + ": it is still open at the \"/*\" on line " + std::to_string(lines_.line_of(inner)) +
                     kCommentsDoNotNest);
      return false;
    }
    blank(pos_, close + 2);
    pos_ = close + 2;
    return true;
  }

  // Blanks include the no-break and zero-width spaces of pasted text, so
  // that a "* ...;" comment after one is still a comment statement.
  bool skip_blanks_and_comments() {
    for (;;) {
      for (std::size_t blank = blank_length(text_, pos_); blank > 0; blank = blank_length(text_, pos_)) pos_ += blank;
      if (text_.compare(pos_, 2, "/*") != 0) return true;
      if (!skip_comment()) return false;
    }
  }

  // A "* ... ;" comment runs to the next ";" whatever it holds; one that
  // runs on into a line starting with PROC lacks its ";" and ends before
  // that line, so that the step there is read.
  void skip_comment_statement() {
    const std::size_t begin = pos_;
    const std::size_t semicolon = text_.find(';', pos_);
    pos_ = semicolon == std::string_view::npos ? text_.size() : semicolon + 1;
    for (std::size_t newline = text_.find('\n', begin); newline < pos_; newline = text_.find('\n', newline + 1)) {
      if (!starts_with_word(text_, newline + 1, kProgramStatementWords[0])) continue;
      error(begin, "the comment statement is not ended by ';' before the PROC statement on line " +
                       std::to_string(lines_.line_of(newline + 1)) + kEndTheComment);
      pos_ = newline + 1;
      return;
    }
  }

  // Moves pos_ past the statement's ";"; false at an unterminated quote or
  // comment, or when the text ends first.
  bool scan_statement_body() {
    const std::size_t begin = pos_;
    statement_ = begin;
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
    stop(begin, "the last statement is not ended by ';'", false);
    return false;
  }

  // A quoted string ends on its line: one left open would otherwise be
  // closed by the next quote of the file, lines later, and the error shown
  // far from the quote that lacks its partner.
  bool skip_quoted(char quote) {
    for (std::size_t i = pos_ + 1; i < text_.size() && text_[i] != '\n'; ++i) {
      if (text_[i] != quote) continue;
      if (i + 1 < text_.size() && text_[i + 1] == quote) {
        ++i;
        continue;
      }
      pos_ = i + 1;
      return true;
    }
    stop(pos_, "unterminated quoted string starting on line " + std::to_string(lines_.line_of(pos_)) + kNoClosingQuote);
    stop_->hint = comment_marker_hint();
    return false;
  }

  // An apostrophe in a comment of another language ("// Ana's data") opens
  // a quote: name the marker before it on its line, which is the mistake.
  std::string comment_marker_hint() const {
    const std::size_t line_begin = lines_.line_begin(lines_.line_of(pos_));
    const std::string_view before = text_.substr(line_begin, pos_ - line_begin);
    for (std::string_view marker : {"//", "#"})
      if (before.find(marker) != std::string_view::npos) return "; " + not_a_comment(marker);
    return "";
  }

  std::string_view text_;
  std::string blanked_;
  const LineIndex& lines_;
  const std::string& file_;
  Diagnostics& diagnostics_;
  std::size_t pos_ = 0;
  std::size_t statement_ = 0;
  std::optional<ScanStop> stop_;
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
    if (scanner.stop()) report_stop(*scanner.stop());
    close_step();
    return std::move(program_);
  }

 private:
  // An error about what a statement expects: the token found is named too,
  // or what is wrong with it when it is not a valid token.
  void expected(const Token& token, std::string message, std::string_view hint = {}) {
    if (token.code == kBadToken) return error(token, token.problem);
    if (token.code != host::kTokenEndStatement) message += ", found " + describe_token(token, host::kTokenEndStatement);
    error(token, message.append(hint));
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

  // The file offset of a token of the statement at span.
  std::size_t offset_of(const StatementTokens& statement, const StatementSpan& span, const Token& token) const {
    return span.begin + static_cast<std::size_t>(token.text.data() - statement.padded.data()) -
           static_cast<std::size_t>(lines_.column_of(span.begin) - 1);
  }

  // Whether tokens[index] begins one of the program's statements on a
  // later line than the token before it: the statement before lacks its
  // ";" and ran on into it.
  static bool runs_on(const std::vector<Token>& tokens, std::size_t index) {
    if (index == 0 || tokens[index].code != host::kTokenName || tokens[index].line <= tokens[index - 1].line) return false;
    const std::string word = upper_case(tokens[index].text);
    return std::find(kProgramStatementWords.begin(), kProgramStatementWords.end(), word) != kProgramStatementWords.end();
  }

  // Reports that tokens[index] is not what the statement expects; returns
  // index when a statement of the program runs on there (see runs_on),
  // which is then read as a statement of its own, else 0.
  std::size_t unexpected(const std::vector<Token>& tokens, std::size_t index, std::string message) {
    if (!runs_on(tokens, index)) {
      expected(tokens[index], std::move(message));
      return 0;
    }
    expected(tokens[index], std::move(message), missing_end_hint(tokens[index - 1].line));
    return index;
  }

  void classify(const StatementSpan& span) {
    const StatementTokens statement = tokens_of(span);
    const std::vector<Token>& tokens = statement.tokens;
    const Token& first = tokens.front();
    std::size_t run_on = 0;
    if (first.code == host::kTokenEndStatement) {
      if (step_) ranges_.push_back(span);
    } else if (is_word(first, "PROC")) {
      start_step(statement, span);
    } else if (is_word(first, "RUN")) {
      if (tokens[1].code != host::kTokenEndStatement) run_on = unexpected(tokens, 1, "RUN takes no options");
      close_step();
      skipping_ = false;
    } else if (is_word(first, "TITLE")) {
      run_on = read_title(tokens);
    } else if (is_word(first, "GRAPHICS")) {
      run_on = read_graphics(tokens);
    } else if (step_) {
      ranges_.push_back(span);
    } else if (!skipping_) {
      run_on = outside_a_step(tokens);
    }
    if (run_on != 0) classify({offset_of(statement, span, tokens[run_on]), span.end});
  }

  // Reports where the scan stopped. A step whose statements it cuts off is
  // not run (run with the statements before the cut, it would give other
  // results than the program asks for), unless the statement cut off is a
  // RUN without its ";".
  void report_stop(const ScanStop& stop) {
    std::string message = stop.message;
    if (stop.rest_ignored) message += kRestIgnored;
    const std::size_t end = std::min(blanked_.size(), blanked_.find(';', stop.statement));
    const bool run_cut_off = upper_case(trimmed(std::string_view(blanked_).substr(stop.statement, end - stop.statement))) == "RUN";
    if (step_ && !run_cut_off) {
      message.append(stop.rest_ignored ? " and " : "; ").append(kStepNotRun).append(std::to_string(step_->line)).append(" is not run");
      step_.reset();
      ranges_.clear();
    }
    message.append(stop.hint);
    const int line = lines_.line_of(stop.offset);
    diagnostics_.add({file_, line, lines_.column_of(stop.offset), std::move(message), line_text(text_, lines_, line)});
  }

  // A statement between steps that is none of the program's own. A word
  // close to PROC is taken for a misspelled PROC statement; then, and after
  // any such statement, the statements up to the next RUN or PROC (most
  // likely the step's) are skipped without an error each. A statement of
  // the program on a later line (a PROC after a comment marker of another
  // language, or after a word without its ";") is read as a statement of
  // its own: its index is returned, as unexpected() does, else 0.
  std::size_t outside_a_step(const std::vector<Token>& tokens) {
    const Token& first = tokens.front();
    Suggestion suggestion(first.text);
    if (first.code == host::kTokenName)
      for (std::string_view word : kProgramStatementWords) suggestion.offer(word);
    std::string message = "statement " + std::string(first.text);
    if (first.code == kBadToken) {
      message = first.problem;
    } else if (suggestion.best() == kProgramStatementWords[0]) {
      message.insert(0, "unknown ").append(" (did you mean ").append(suggestion.best()).append("?)").append(kStepSkipped);
    } else if (!suggestion.best().empty()) {
      message.insert(0, "unknown ").append(" (did you mean ").append(suggestion.best()).append("?)");
    } else {
      message.append(kOutsideAStep);
    }
    skipping_ = true;
    std::size_t run_on = 1;
    while (tokens[run_on].code != host::kTokenEndStatement && !runs_on(tokens, run_on)) ++run_on;
    if (tokens[run_on].code == host::kTokenEndStatement) run_on = 0;
    if (run_on != 0 && first.code != kBadToken) message.append(missing_end_hint(tokens[run_on - 1].line));
    error(first, message);
    return run_on;
  }

  bool is_known_procedure(std::string_view name) const {
    return std::any_of(procedures_.begin(), procedures_.end(),
                       [&](std::string_view known) { return upper_case(known) == upper_case(name); });
  }

  // "unknown procedure X; did you mean Y?", or the procedures there are.
  std::string unknown_procedure(std::string_view name) const {
    Suggestion suggestion(name);
    std::vector<std::string> known;
    for (std::string_view procedure : procedures_) {
      suggestion.offer(procedure);
      known.push_back(upper_case(procedure));
    }
    std::string message = "unknown procedure " + std::string(name);
    if (!suggestion.best().empty()) return message + " (did you mean " + upper_case(suggestion.best()) + "?)" + kStepSkipped;
    message.append(" (this program runs PROC ");
    for (std::size_t i = 0; i < known.size(); ++i) message.append(i == 0 ? "" : i + 1 == known.size() ? " or " : ", ").append(known[i]);
    return message + ")" + kStepSkipped;
  }

  void start_step(const StatementTokens& statement, const StatementSpan& span) {
    const std::vector<Token>& tokens = statement.tokens;
    close_step();
    const Token& name = tokens[1];
    if (name.code != host::kTokenName || !is_known_procedure(name.text)) {
      error(name, name.code == host::kTokenName ? unknown_procedure(name.text) : "PROC needs a procedure name");
      skipping_ = true;
      return;
    }
    skipping_ = false;
    step_.emplace();
    step_->procedure = upper_case(name.text);
    step_->file_name = file_;
    step_->line = tokens[0].line;
    step_->column = tokens[0].column;
    ranges_.push_back({offset_of(statement, span, tokens[1]), span.end});
  }

  // The global statements: each returns what unexpected() returns, and
  // keeps its setting when only its ";" is missing.
  std::size_t read_title(const std::vector<Token>& tokens) {
    TitleStatement title{"", tokens[0].line};
    std::size_t next = 1;
    if (tokens[next].code == host::kTokenQuoted) title.text = tokens[next++].value;
    const std::size_t run_on =
        tokens[next].code == host::kTokenEndStatement ? 0 : unexpected(tokens, next, "TITLE expects one quoted text");
    if (tokens[next].code == host::kTokenEndStatement || run_on != 0) program_.items.emplace_back(std::move(title));
    return run_on;
  }

  std::size_t read_graphics(const std::vector<Token>& tokens) {
    const bool on = is_word(tokens[1], "ON");
    if (!on && !is_word(tokens[1], "OFF")) return unexpected(tokens, 1, "GRAPHICS expects ON or OFF");
    const std::size_t run_on =
        tokens[2].code == host::kTokenEndStatement ? 0 : unexpected(tokens, 2, "GRAPHICS expects ON or OFF alone");
    if (tokens[2].code == host::kTokenEndStatement || run_on != 0) program_.items.emplace_back(GraphicsStatement{on, tokens[0].line});
    return run_on;
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

namespace {

// A source line longer than this is shown as a part around the caret.
constexpr std::size_t kLongestShownLine = 160;
constexpr std::size_t kShownBeforeCaret = 60;
constexpr std::size_t kShownPart = 140;
constexpr std::string_view kCut = "...";

bool continues_letter(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string source_and_caret(std::string_view line, int column) {
  // A long line (a generated program, a list of hundreds of variables) is
  // cut to a part around the caret, at letter boundaries, marked "...".
  std::size_t from = 0;
  std::string prefix;
  std::string suffix;
  if (line.size() > kLongestShownLine) {
    const std::size_t at = std::min(line.size(), static_cast<std::size_t>(std::max(column, 1) - 1));
    from = at > kShownBeforeCaret ? at - kShownBeforeCaret : 0;
    while (from > 0 && continues_letter(line[from])) --from;
    std::size_t to = std::min(line.size(), std::max(from + kShownPart, at + 1));
    while (to < line.size() && continues_letter(line[to])) ++to;
    if (from > 0) prefix = kCut;
    if (to < line.size()) suffix = kCut;
    line = line.substr(from, to - from);
    column -= static_cast<int>(from);
  }
  std::string text = prefix;
  text.append(line).append(suffix) += '\n';
  text += std::string(prefix.size(), ' ');
  // One blank per character before the column (columns count bytes; a
  // letter of several bytes takes one place on the screen).
  for (std::size_t i = 0; i + 1 < static_cast<std::size_t>(column); ++i) {
    if (i >= line.size()) {
      text += ' ';
    } else if (line[i] == '\t') {
      text += '\t';
    } else if (!continues_letter(line[i])) {
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
