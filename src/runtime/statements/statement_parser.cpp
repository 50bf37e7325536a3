// LL(1) parsing over an explicit stack of symbols: the stored right-hand
// sides are already last-symbol-first, so pushing them in stored order
// leaves the leftmost symbol on top. Right-recursive lists therefore keep
// the stack shallow however many statements a step has.
#include "runtime/statements/statement_parser.hpp"

#include "runtime/statements/statement_options.hpp"
#include "runtime/statements/suggestions.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace quilvar::runtime::statements {
namespace {

// How token classes are named in "expected" lists, by class code.
constexpr std::array<std::string_view, 13> kClassDescriptions{
    "",           "\";\"",          "a name",          "a quoted string", "an integer",
    "a number",   "a library.member name", "a format", "a date literal",  "a time literal",
    "a datetime literal", "a missing value", "a name literal"};

// "A", "A or B", "A, B or C".
std::string join_alternatives(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += i + 1 == items.size() ? " or " : ", ";
    text += items[i];
  }
  return text;
}

}  // namespace

bool StatementParser::run() {
  stack_.assign(1, grammar_.start_symbol());
  while (!stack_.empty()) {
    const int symbol = stack_.back();
    stack_.pop_back();
    const bool ok = symbol < 0                        ? actions_.run(-symbol, &cursor_)
                    : grammar_.is_nonterminal(symbol) ? expand(symbol - grammar_.first_nonterminal())
                                                      : match(symbol);
    if (!ok) return false;
  }
  return true;
}

bool StatementParser::expand(int nonterminal) {
  const Token& token = tokens_[cursor_];
  int production = -1;
  if (token.code == host::kTokenName && token.keyword != 0) production = grammar_.predict(nonterminal, token.keyword);
  if (production < 0) production = grammar_.predict(nonterminal, token.code);
  if (production < 0) return syntax_error(grammar_.predicting_codes(nonterminal));
  trace_production(production);
  if (is_statement_production(grammar_, production)) statement_ = production;
  for (std::int16_t symbol : grammar_.stored_rhs(production)) stack_.push_back(symbol);
  return true;
}

bool StatementParser::match(int terminal) {
  const Token& token = tokens_[cursor_];
  const bool keyword = token.code == host::kTokenName && token.keyword == terminal;
  if (token.code != terminal && !keyword) return syntax_error({terminal});
  // A token of a value-carrying class waits for the action that uses it.
  if (!keyword && terminal > host::kTokenEndStatement && terminal <= host::kTokenClassEntries)
    actions_.push_operand(cursor_);
  if (cursor_ + 1 < tokens_.size()) ++cursor_;
  return true;
}

std::string StatementParser::describe_code(int code) const {
  if (code == grammar_.keywords().end_code()) return "the end of the step";
  if (code >= 1 && code < static_cast<int>(kClassDescriptions.size())) return std::string(kClassDescriptions[static_cast<std::size_t>(code)]);
  std::string name(grammar_.keywords().name(code));
  if (name.size() > 1 && name.back() == '$') name.pop_back();
  const bool punctuation = name.size() == 1 && !std::isalnum(static_cast<unsigned char>(name[0]));
  return punctuation ? "\"" + name + "\"" : name;
}

// A statement whose ";" is missing runs into the next line's statement;
// when ";" would have done and the token found starts a later line than the
// one before it, say where the ";" probably belongs.
std::string StatementParser::missing_end_hint(const std::vector<int>& expected) const {
  if (cursor_ == 0 || std::find(expected.begin(), expected.end(), host::kTokenEndStatement) == expected.end()) return "";
  const Token& previous = tokens_[cursor_ - 1];
  if (tokens_[cursor_].line <= previous.line || previous.code == host::kTokenEndStatement) return "";
  return statements::missing_end_hint(previous.line);
}

// How messages name the statement whose first keyword is keyword: the
// step's first statement is the PROC statement, named by its procedure.
std::string StatementParser::statement_name(int keyword) const {
  const std::string name = describe_code(keyword);
  return keyword == tokens_.front().keyword ? "PROC " + name : name;
}

// A keyword found where the statement has no place for it, which is a
// sub-option of this statement's options or an option of other
// statements: show it in its parentheses, or say which statements take it
// and after what it is written.
std::string StatementParser::other_statement_hint() const {
  const Token& token = tokens_[cursor_];
  if (token.code != host::kTokenName || token.keyword == 0) return "";
  const std::vector<OptionPlace> places = option_places(grammar_, token.keyword);
  for (const OptionPlace& place : places) {
    if (place.statement == statement_) return "";  // an option here, only not at this point
  }
  const bool equals = cursor_ + 1 < tokens_.size() && tokens_[cursor_ + 1].text == "=";
  const std::string written = upper_case(token.text) + (equals ? "=" : "");
  // A sub-option of this statement's options written on its own
  // ("STATS CL=POISSON"): show it in its parentheses.
  const std::vector<ParenthesisedPlace> lists = parenthesised_places(grammar_, token.keyword);
  // Shown as the list takes it: "AF", "MULT=...".
  const auto form = [&](const ParenthesisedPlace& list) {
    std::string text = list.option != 0 ? describe_code(list.option) + "=" : std::string();
    text.append(describe_code(list.owner)).append("(").append(upper_case(token.text));
    return text.append(list.takes_value ? "=...)" : ")");
  };
  std::vector<std::string> here;
  for (const ParenthesisedPlace& list : lists) {
    if (list.statement == statement_) here.push_back(form(list));
  }
  if (!here.empty()) {
    const bool takes_value = std::any_of(lists.begin(), lists.end(), [&](const ParenthesisedPlace& list) {
      return list.statement == statement_ && list.takes_value;
    });
    return "; " + upper_case(token.text) + (takes_value ? "=" : "") + " is written in parentheses here: " +
           join_alternatives(here);
  }
  std::vector<std::string> owners;
  for (const OptionPlace& place : places) {
    std::string owner = "the " + statement_name(place.keyword) + " statement";
    if (place.introducer != 0) owner.append(", after ").append(describe_code(place.introducer));
    owners.push_back(std::move(owner));
  }
  // Else the sub-option of other statements' options: which, and how.
  for (std::size_t i = 0; i < lists.size(); ++i) {
    if (i > 0 && lists[i].statement == lists[i - 1].statement) continue;
    std::vector<std::string> forms;
    for (std::size_t j = i; j < lists.size() && lists[j].statement == lists[i].statement; ++j) forms.push_back(form(lists[j]));
    owners.push_back("the " + statement_name(lists[i].keyword) + " statement as " + join_alternatives(forms));
  }
  if (owners.empty()) return "";
  return "; " + written + " belongs in " + join_alternatives(owners);
}

// A file path written without quotes as an option's value ("./x",
// "C:\x.csv") stops the parse at its first ".", "/" or ":"; the path is
// read from the start of the word that token touches.
std::string StatementParser::path_hint() const {
  const Token& token = tokens_[cursor_];
  if (token.text.empty() || tokens_.front().text.empty()) return "";
  // The tokens are views of one text: the word the found token touches is
  // found by going back over its letters.
  const char* const text_start = tokens_.front().text.data();
  const char* from = token.text.data();
  const auto word_letter = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  while (from > text_start && word_letter(from[-1])) --from;
  // Only an option's value: "=" comes before it.
  const char* before = from;
  while (before > text_start && (before[-1] == ' ' || before[-1] == '\t')) --before;
  if (before == text_start || before[-1] != '=') return "";
  return unquoted_path_hint(from);
}

// QUIT (or END), which ends a step in other programs, where a statement
// may start: say what ends a step here.
std::string StatementParser::step_end_hint(const std::vector<int>& expected) const {
  const Token& token = tokens_[cursor_];
  const int end = grammar_.keywords().end_code();
  if (token.code != host::kTokenName || std::find(expected.begin(), expected.end(), end) == expected.end()) return "";
  const std::string word = upper_case(token.text);
  return word == "QUIT" || word == "END" ? "; a step ends with RUN;" : "";
}

bool StatementParser::syntax_error(const std::vector<int>& expected) {
  const Token& token = tokens_[cursor_];
  if (token.code == kBadToken) {
    errors_.report(token, token.problem);
    return false;
  }
  std::vector<std::string> names;
  for (int code : expected) names.push_back(describe_code(code));
  // An option of another statement is named with where it belongs; any
  // other keyword may be misspelled: suggest the expected one it is
  // closest to.
  const std::string elsewhere = other_statement_hint();
  Suggestion suggestion(token.text);
  if (token.code == host::kTokenName && elsewhere.empty()) {
    for (int code : expected) {
      if (code >= static_cast<int>(kClassDescriptions.size()) && code != grammar_.keywords().end_code()) {
        suggestion.offer(describe_code(code));
      }
    }
  }
  errors_.report(token, "syntax error: found " + describe_token(token, grammar_.keywords().end_code()) + ", expected " +
                            join_alternatives(names) + suggestion.text() + elsewhere + missing_end_hint(expected) +
                            path_hint() + step_end_hint(expected));
  return false;
}

void StatementParser::trace_production(int production) const {
  if (syntax_trace_ == nullptr || !*syntax_trace_) return;
  std::string line = "SYN: production " + std::to_string(production) + ": " +
                     std::string(grammar_.nonterminal_name(grammar_.production_lhs(production))) + " ->";
  const std::span<const std::int16_t> rhs = grammar_.stored_rhs(production);
  for (auto symbol = rhs.rbegin(); symbol != rhs.rend(); ++symbol) {
    line += ' ';
    if (*symbol < 0) {
      line.append("{").append(std::to_string(-*symbol)).append("}");
    } else if (grammar_.is_nonterminal(*symbol)) {
      line += grammar_.nonterminal_name(*symbol - grammar_.first_nonterminal());
    } else {
      line += grammar_.keywords().name(*symbol);
    }
  }
  (*syntax_trace_)(line);
}

}  // namespace quilvar::runtime::statements
