#include "runtime/statements/repeated_options.hpp"

#include <map>
#include <tuple>
#include <utility>

#include "quilvar/host/statement_state.hpp"

namespace quilvar::runtime::statements {

namespace {

struct Punctuation {
  int open, close, equals;
};

// The index after the parenthesized group that starts at tokens[i].
std::size_t skip_group(const std::vector<Token>& tokens, std::size_t i, const Punctuation& p) {
  int depth = 0;
  for (; i < tokens.size(); ++i) {
    if (tokens[i].code == p.open) ++depth;
    if (tokens[i].code == p.close && --depth == 0) return i + 1;
    if (tokens[i].code == host::kTokenEndStatement) return i;
  }
  return i;
}

// A parenthesized group whose every option was dropped ("STATS(CL=POISSON)"
// given again) goes too, parentheses and all: "STATS()" is no statement,
// "STATS" is. Inner groups close first, so an outer group emptied by them
// goes as well; a group written empty stays for the parser to report.
void drop_emptied_groups(const std::vector<Token>& tokens, const Punctuation& p, std::vector<bool>& drop) {
  std::vector<std::size_t> opened;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (drop[i]) continue;
    if (tokens[i].code == p.open) opened.push_back(i);
    if (tokens[i].code == host::kTokenEndStatement) opened.clear();
    if (tokens[i].code != p.close || opened.empty()) continue;
    const std::size_t open = opened.back();
    opened.pop_back();
    bool emptied = i > open + 1;
    for (std::size_t k = open + 1; k < i && emptied; ++k) emptied = drop[k];
    if (emptied) drop[open] = drop[i] = true;
  }
}

// The index of the "=" of the option that starts at tokens[i]: a keyword
// followed by "=", or by a parenthesized group and "=" ("RATE(MULT=10)=r",
// "PLOTS(ONLY)=SMR"); 0 when no option starts there.
std::size_t option_equals(const std::vector<Token>& tokens, std::size_t i, const Punctuation& p) {
  if (tokens[i].code != host::kTokenName || tokens[i].keyword == 0 || i + 1 >= tokens.size()) return 0;
  if (tokens[i + 1].code == p.equals) return i + 1;
  if (tokens[i + 1].code != p.open) return 0;
  const std::size_t after = skip_group(tokens, i + 1, p);
  return after < tokens.size() && tokens[after].code == p.equals ? after : 0;
}

// The index after the value of the option whose "=" is tokens[equals]. An
// option written right after the "=" ("ALPHA= ALPHA=0.1") is no value: the
// value is missing, so the option ends at its "=".
std::size_t option_end(const std::vector<Token>& tokens, std::size_t equals, const Punctuation& p) {
  std::size_t i = equals + 1;
  if (i >= tokens.size() || tokens[i].code == host::kTokenEndStatement || option_equals(tokens, i, p) != 0) return i;
  if (tokens[i].code == p.open) return skip_group(tokens, i, p);
  ++i;
  if (i < tokens.size() && tokens[i].code == p.open) i = skip_group(tokens, i, p);
  return i;
}

// Marks the tokens of each statement's variable list, whose names are
// never options even when spelled like one: those before a "/" outside
// parentheses ("STRATA age stats / ..."), or a whole statement with no "/"
// and no "=" ("STRATA age stats;", "BY DESCENDING year").
std::vector<bool> variable_list_tokens(const std::vector<Token>& tokens, const Punctuation& p, int slash) {
  std::vector<bool> listed(tokens.size(), false);
  std::size_t begin = 0;
  std::size_t list_end = 0;  // one past the variable list of the statement at `begin`
  bool has_equals = false;
  int depth = 0;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const int code = tokens[i].code;
    if (code == p.open) ++depth;
    if (code == p.close && depth > 0) --depth;
    if (code == p.equals) has_equals = true;
    if (code == slash && slash != 0 && depth == 0 && list_end == begin) list_end = i;
    if (code != host::kTokenEndStatement) continue;
    if (list_end == begin && !has_equals) list_end = i;
    for (std::size_t k = begin; k < list_end; ++k) listed[k] = true;
    begin = list_end = i + 1;
    has_equals = false;
    depth = 0;
  }
  return listed;
}

}  // namespace

void drop_repeated_options(std::vector<Token>& tokens, const GrammarView& grammar, const RepeatedOptionWarning& warn) {
  const KeywordTable& keywords = grammar.keywords();
  const Punctuation p{keywords.punctuation_code('('), keywords.punctuation_code(')'), keywords.punctuation_code('=')};
  if (p.open == 0 || p.close == 0 || p.equals == 0) return;
  const std::vector<bool> listed = variable_list_tokens(tokens, p, keywords.punctuation_code('/'));
  struct Occurrence {
    std::size_t begin, end;
    bool bare;    // a keyword alone ("EFFECT", "STATS")
    bool equals;  // "KEYWORD=..." or "KEYWORD(...)=...", not "KEYWORD(...)"
  };
  // (statement keyword, owner keyword, option keyword) -> its last occurrence.
  std::map<std::tuple<int, int, int>, Occurrence> seen;
  std::vector<int> owners;  // keyword of each open group; -1 for a value list ("PLOTS=(RATE DIST)")
  std::vector<bool> drop(tokens.size(), false);
  int statement = -1;
  std::size_t statement_begin = 0;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const Token& token = tokens[i];
    if (statement < 0) {
      statement = token.code == host::kTokenName ? grammar.spelling_of(token.keyword) : 0;
      statement_begin = i;
    }
    const bool after_equals = i > 0 && tokens[i - 1].code == p.equals;
    Occurrence found{0, 0, false, false};
    if (token.code == host::kTokenEndStatement) {
      statement = -1;
      owners.clear();
    } else if (token.code == p.open) {
      const bool owned = i > 0 && tokens[i - 1].code == host::kTokenName && tokens[i - 1].keyword != 0;
      owners.push_back(owned ? grammar.spelling_of(tokens[i - 1].keyword) : -1);
    } else if (token.code == p.close) {
      if (!owners.empty()) owners.pop_back();
    } else if (const std::size_t equals = option_equals(tokens, i, p); equals != 0) {
      // "GROUP=;" has no value to replace an earlier one with: the parser
      // reports it, and no "later value is used" follows the error.
      const std::size_t end = option_end(tokens, equals, p);
      if (end > equals + 1) found = {i, end, false, true};
    } else if (token.code == host::kTokenName && token.keyword != 0 && i != statement_begin && !after_equals &&
               !listed[i] && (owners.empty() || owners.back() > 0)) {
      // A keyword standing as an option by itself, or with its own options.
      const bool grouped = i + 1 < tokens.size() && tokens[i + 1].code == p.open;
      found = {i, grouped ? skip_group(tokens, i + 1, p) : i + 1, !grouped, false};
    }
    if (found.end == 0) continue;
    const std::tuple<int, int, int> key{statement, owners.empty() ? 0 : owners.back(), grammar.spelling_of(token.keyword)};
    // A keyword given alone twice ("EFFECT ... EFFECT") changes nothing;
    // once it comes with a value or options, the last occurrence counts.
    if (const auto earlier = seen.find(key); earlier != seen.end() && !(earlier->second.bare && found.bare)) {
      const Occurrence dropped = earlier->second;
      warn({tokens[dropped.begin], dropped.equals}, {token, found.equals});
      for (std::size_t k = dropped.begin; k < dropped.end; ++k) drop[k] = true;
      // Options inside the dropped one ("RATE(MULT=10)=r") went with it.
      std::erase_if(seen, [&dropped](const auto& entry) {
        return entry.second.begin > dropped.begin && entry.second.begin < dropped.end;
      });
    }
    seen[key] = found;
  }
  drop_emptied_groups(tokens, p, drop);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (drop[i]) continue;
    if (kept != i) tokens[kept] = std::move(tokens[i]);
    ++kept;
  }
  tokens.resize(kept);
}

}  // namespace quilvar::runtime::statements
