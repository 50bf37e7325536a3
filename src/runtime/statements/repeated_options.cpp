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

// The index after the value of the option whose "=" is tokens[equals].
std::size_t option_end(const std::vector<Token>& tokens, std::size_t equals, const Punctuation& p) {
  std::size_t i = equals + 1;
  if (i >= tokens.size() || tokens[i].code == host::kTokenEndStatement) return i;
  if (tokens[i].code == p.open) return skip_group(tokens, i, p);
  ++i;
  if (i < tokens.size() && tokens[i].code == p.open) i = skip_group(tokens, i, p);
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

}  // namespace

void drop_repeated_options(std::vector<Token>& tokens, const GrammarView& grammar,
                           const std::function<void(const Token& dropped, const Token& kept)>& warn) {
  const KeywordTable& keywords = grammar.keywords();
  const Punctuation p{keywords.punctuation_code('('), keywords.punctuation_code(')'), keywords.punctuation_code('=')};
  if (p.open == 0 || p.close == 0 || p.equals == 0) return;
  // (statement keyword, owner keyword, option keyword) -> [begin, end) of its last occurrence.
  std::map<std::tuple<int, int, int>, std::pair<std::size_t, std::size_t>> seen;
  std::vector<int> owners;
  std::vector<bool> drop(tokens.size(), false);
  int statement = -1;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const Token& token = tokens[i];
    if (statement < 0) statement = token.code == host::kTokenName ? grammar.spelling_of(token.keyword) : 0;
    if (token.code == host::kTokenEndStatement) {
      statement = -1;
      owners.clear();
    } else if (token.code == p.open) {
      owners.push_back(i > 0 && tokens[i - 1].code == host::kTokenName ? grammar.spelling_of(tokens[i - 1].keyword) : 0);
    } else if (token.code == p.close) {
      if (!owners.empty()) owners.pop_back();
    } else if (const std::size_t equals = option_equals(tokens, i, p); equals != 0) {
      const std::tuple<int, int, int> key{statement, owners.empty() ? 0 : owners.back(), grammar.spelling_of(token.keyword)};
      const std::size_t end = option_end(tokens, equals, p);
      if (const auto earlier = seen.find(key); earlier != seen.end()) {
        warn(tokens[earlier->second.first], token);
        const std::size_t begin = earlier->second.first;
        const std::size_t finish = earlier->second.second;
        for (std::size_t k = begin; k < finish; ++k) drop[k] = true;
        // Options inside the dropped one ("RATE(MULT=10)=r") went with it.
        std::erase_if(seen, [begin, finish](const auto& entry) {
          return entry.second.first > begin && entry.second.first < finish;
        });
      }
      seen[key] = {i, end};
    }
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
