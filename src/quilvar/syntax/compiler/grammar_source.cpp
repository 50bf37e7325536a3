// Reads the grammar notation: a `keywords` list of quoted names ended by
// ";", `flag NAME N` and `slot NAME N` declarations, and rules
// `lhs = symbols | symbols ;` whose symbols are quoted keywords, upper-case
// token classes, lower-case nonterminals and {mnemonic operand...} actions.
#include "quilvar/syntax/compiler/grammar_source.hpp"

#include <cctype>
#include <string>

namespace quilvar::syntax::compiler {
namespace {

enum class LexKind { kEnd, kWord, kQuoted, kInteger, kPunct, kBad };

struct Lexeme {
  LexKind kind = LexKind::kEnd;
  std::string text;
  int line = 1;
};

bool is_word_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool is_word_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  // The next lexeme; kEnd at the end of the text, kBad for a stray character
  // or an unterminated quoted name.
  Lexeme next() {
    skip_blanks_and_comments();
    Lexeme lexeme;
    lexeme.line = line_;
    if (pos_ >= text_.size()) return lexeme;
    const char c = text_[pos_];
    if (c == '"') return read_quoted(lexeme);
    if (is_word_start(c)) return read_while(lexeme, LexKind::kWord, is_word_char);
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '-')
      return read_while(lexeme, LexKind::kInteger, [](char d) { return std::isdigit(static_cast<unsigned char>(d)) != 0; });
    lexeme.kind = std::string_view("=|;{}").find(c) != std::string_view::npos ? LexKind::kPunct : LexKind::kBad;
    lexeme.text = std::string(1, c);
    ++pos_;
    return lexeme;
  }

 private:
  void skip_blanks_and_comments() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '#') {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
      } else if (std::isspace(static_cast<unsigned char>(c))) {
        if (c == '\n') ++line_;
        ++pos_;
      } else {
        return;
      }
    }
  }

  Lexeme read_quoted(Lexeme lexeme) {
    const std::size_t close = text_.find('"', pos_ + 1);
    const std::size_t newline = text_.find('\n', pos_ + 1);
    if (close == std::string_view::npos || close > newline || close == pos_ + 1) {
      lexeme.kind = LexKind::kBad;
      lexeme.text = "\"";
      pos_ = text_.size();
      return lexeme;
    }
    lexeme.kind = LexKind::kQuoted;
    lexeme.text = std::string(text_.substr(pos_ + 1, close - pos_ - 1));
    pos_ = close + 1;
    return lexeme;
  }

  template <typename Predicate>
  Lexeme read_while(Lexeme lexeme, LexKind kind, Predicate accept) {
    const std::size_t begin = pos_++;
    while (pos_ < text_.size() && accept(text_[pos_])) ++pos_;
    lexeme.kind = kind;
    lexeme.text = std::string(text_.substr(begin, pos_ - begin));
    return lexeme;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int line_ = 1;
};

class Reader {
 public:
  Reader(std::string_view text, GrammarSource* out) : lexer_(text), out_(out) { advance(); }

  // Reads every declaration and rule; returns the first error or "".
  std::string read_all() {
    while (error_.empty() && current_.kind != LexKind::kEnd) read_declaration();
    return error_;
  }

 private:
  void advance() { current_ = lexer_.next(); }

  void fail(const std::string& message) {
    if (error_.empty()) error_ = "line " + std::to_string(current_.line) + ": " + message;
  }

  bool expect_punct(const char* punct) {
    if (current_.kind == LexKind::kPunct && current_.text == punct) {
      advance();
      return true;
    }
    fail(std::string("expected '") + punct + "', found '" + current_.text + "'");
    return false;
  }

  void read_declaration() {
    if (current_.kind != LexKind::kWord) return fail("expected a declaration or a rule, found '" + current_.text + "'");
    const std::string word = current_.text;
    advance();
    if (word == "keywords") return read_keywords();
    if (word == "flag") return read_named_number(out_->flags);
    if (word == "slot") return read_named_number(out_->slots);
    read_rule(word);
  }

  void read_keywords() {
    while (current_.kind == LexKind::kQuoted) {
      out_->keywords.push_back(current_.text);
      advance();
    }
    expect_punct(";");
  }

  void read_named_number(std::vector<NamedNumber>& into) {
    NamedNumber entry{current_.text, 0, current_.line};
    if (current_.kind != LexKind::kWord) return fail("expected a name after flag or slot");
    advance();
    if (current_.kind != LexKind::kInteger) return fail("expected the number of " + entry.name);
    entry.value = std::stoi(current_.text);
    advance();
    into.push_back(entry);
  }

  void read_rule(const std::string& lhs) {
    Rule rule{lhs, {}, current_.line};
    if (!expect_punct("=")) return;
    rule.alternatives.emplace_back();
    while (error_.empty()) {
      if (current_.kind == LexKind::kPunct && current_.text == ";") break;
      if (current_.kind == LexKind::kPunct && current_.text == "|") {
        rule.alternatives.emplace_back();
        advance();
      } else {
        read_symbol(rule.alternatives.back());
      }
    }
    advance();
    out_->rules.push_back(std::move(rule));
  }

  void read_symbol(Alternative& into) {
    SymbolRef symbol{SymbolKind::kKeyword, current_.text, {}, current_.line};
    if (current_.kind == LexKind::kPunct && current_.text == "{") return read_action(into);
    if (current_.kind == LexKind::kWord) {
      const bool upper = std::isupper(static_cast<unsigned char>(current_.text[0])) != 0;
      symbol.kind = upper ? SymbolKind::kTokenClass : SymbolKind::kNonterminal;
    } else if (current_.kind != LexKind::kQuoted) {
      return fail("unexpected '" + current_.text + "' in a rule");
    }
    into.push_back(std::move(symbol));
    advance();
  }

  void read_action(Alternative& into) {
    advance();
    SymbolRef action{SymbolKind::kAction, current_.text, {}, current_.line};
    if (current_.kind != LexKind::kWord) return fail("expected an action mnemonic after '{'");
    advance();
    while (current_.kind == LexKind::kWord || current_.kind == LexKind::kInteger) {
      action.operands.push_back(current_.text);
      advance();
    }
    if (!expect_punct("}")) return;
    into.push_back(std::move(action));
  }

  Lexer lexer_;
  GrammarSource* out_;
  Lexeme current_;
  std::string error_;
};

}  // namespace

std::string read_grammar(std::string_view text, GrammarSource* out) {
  return Reader(text, out).read_all();
}

}  // namespace quilvar::syntax::compiler
