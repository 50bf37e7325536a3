// Finds the statements a keyword is an option of by walking the grammar
// from each statement production, as described in the header.
#include "runtime/statements/statement_options.hpp"

#include <algorithm>
#include <cctype>
#include <optional>

namespace quilvar::runtime::statements {
namespace {

// The production's grammar symbols in the order they are parsed (the stored
// right-hand sides are last symbol first), semantic actions left out.
std::vector<int> parse_order(const GrammarView& grammar, int production) {
  const std::span<const std::int16_t> rhs = grammar.stored_rhs(production);
  std::vector<int> symbols;
  for (auto symbol = rhs.rbegin(); symbol != rhs.rend(); ++symbol)
    if (*symbol > 0) symbols.push_back(*symbol);
  return symbols;
}

bool is_punctuation(const GrammarView& grammar, int code) {
  const std::string_view name = grammar.keywords().name(code);
  return name.size() == 1 && !std::isalnum(static_cast<unsigned char>(name[0])) && name[0] != '_';
}

bool is_keyword(const GrammarView& grammar, int code) {
  return code > host::kTokenClassEntries && code < grammar.keywords().end_code() && !is_punctuation(grammar, code);
}

// The productions of a nonterminal (its number among the nonterminals), in order.
std::vector<int> productions_of(const GrammarView& grammar, int nonterminal) {
  std::vector<int> productions;
  for (int production = 0; production < grammar.production_count(); ++production) {
    if (grammar.production_lhs(production) == nonterminal) productions.push_back(production);
  }
  return productions;
}

// What both searches below share: the grammar, the keyword sought, the
// codes of "=" and "(", and the productions entered.
class GrammarSearch {
 protected:
  GrammarSearch(const GrammarView& grammar, int keyword)
      : grammar_(grammar),
        keyword_(keyword),
        equals_(grammar.keywords().punctuation_code('=')),
        open_(grammar.keywords().punctuation_code('(')),
        visited_(static_cast<std::size_t>(grammar.production_count()), false) {}

  // A nonterminal a name can begin: a variable list, which holds no options.
  bool variable_list(int nonterminal) const { return grammar_.predict(nonterminal, host::kTokenName) >= 0; }

  const GrammarView& grammar_;
  int keyword_;
  int equals_;
  int open_;
  std::vector<bool> visited_;
};

class OptionSearch : GrammarSearch {
 public:
  OptionSearch(const GrammarView& grammar, int keyword) : GrammarSearch(grammar, keyword) {}

  // The introducer of keyword when it is an option of the statement.
  std::optional<int> in_statement(const std::vector<int>& symbols) {
    visited_.assign(static_cast<std::size_t>(grammar_.production_count()), false);
    return in_symbols(symbols, 1, 0);
  }

 private:
  std::optional<int> in_production(int production, int introducer) {
    const std::vector<int> symbols = parse_order(grammar_, production);
    if (symbols.empty()) return std::nullopt;
    if (symbols[0] == keyword_) return introducer;
    return in_symbols(symbols, 0, introducer);
  }

  std::optional<int> in_symbols(const std::vector<int>& symbols, std::size_t from, int introducer) {
    for (std::size_t i = from; i < symbols.size(); ++i) {
      const int symbol = symbols[i];
      if (symbol == equals_ || symbol == open_ || symbol == host::kTokenEndStatement) return std::nullopt;
      if (!grammar_.is_nonterminal(symbol)) {
        if (is_punctuation(grammar_, symbol)) introducer = symbol;
        continue;
      }
      const int nonterminal = symbol - grammar_.first_nonterminal();
      if (variable_list(nonterminal)) continue;
      for (const int production : productions_of(grammar_, nonterminal)) {
        if (visited_[static_cast<std::size_t>(production)]) continue;
        visited_[static_cast<std::size_t>(production)] = true;
        if (const std::optional<int> found = in_production(production, introducer)) return found;
      }
    }
    return std::nullopt;
  }
};

// Walks the productions a statement reaches (not its variable lists) and
// notes where a "(" after an option keyword, or after an option's value,
// opens a list that begins with keyword.
class ParenthesisedSearch : GrammarSearch {
 public:
  ParenthesisedSearch(const GrammarView& grammar, int keyword) : GrammarSearch(grammar, keyword) {}

  std::vector<ParenthesisedPlace> places(const std::vector<int>& statement_symbols) {
    places_.clear();
    walk(statement_symbols, 1, ParenthesisedPlace{});
    return places_;
  }

 private:
  // place.option is the keyword before the last "=", place.owner the
  // keyword seen last.
  void walk(const std::vector<int>& symbols, std::size_t from, ParenthesisedPlace place) {
    for (std::size_t i = from; i < symbols.size(); ++i) {
      const int symbol = symbols[i];
      if (symbol == host::kTokenEndStatement) return;
      if (symbol == equals_) {
        place.option = place.owner;
        place.owner = 0;
        continue;
      }
      if (symbol == open_) {
        const bool noted = std::any_of(places_.begin(), places_.end(), [&](const ParenthesisedPlace& p) {
          return p.option == place.option && p.owner == place.owner;
        });
        if (place.owner != 0 && i + 1 < symbols.size() && !noted) {
          const int after = i + 2 < symbols.size() ? symbols[i + 2] : 0;
          std::optional<int> next = symbols[i + 1] == keyword_ ? std::optional<int>(after) : follower(symbols[i + 1], 0);
          if (next) {
            place.takes_value = (*next != 0 ? *next : after) == equals_;
            places_.push_back(place);
          }
        }
        return;
      }
      if (is_keyword(grammar_, symbol)) place.owner = symbol;
      if (!grammar_.is_nonterminal(symbol)) continue;
      const int nonterminal = symbol - grammar_.first_nonterminal();
      if (variable_list(nonterminal)) continue;
      if (const int spelling = spelled_keyword(nonterminal)) {  // METHOD | M
        place.owner = spelling;
        continue;
      }
      // A production is not entered again while it is being walked (the
      // lists are recursive), but may be reached again on another path
      // (AF after INDIRECT and after MH).
      for (const int production : productions_of(grammar_, nonterminal)) {
        if (visited_[static_cast<std::size_t>(production)]) continue;
        visited_[static_cast<std::size_t>(production)] = true;
        walk(parse_order(grammar_, production), 0, place);
        visited_[static_cast<std::size_t>(production)] = false;
      }
    }
  }

  // The first keyword of a nonterminal whose productions are single
  // keywords (the spellings of one keyword), or 0.
  int spelled_keyword(int nonterminal) const {
    int first = 0;
    for (const int production : productions_of(grammar_, nonterminal)) {
      const std::vector<int> symbols = parse_order(grammar_, production);
      if (symbols.size() != 1 || !is_keyword(grammar_, symbols[0])) return 0;
      if (first == 0) first = symbols[0];
    }
    return first;
  }

  // When the symbol is a nonterminal one of whose productions starts with
  // keyword (through the first symbols of a few nonterminals): the symbol
  // that follows the keyword there, 0 when its production ends with it (a
  // spelling, MULT | MULTIPLIER, followed by what follows the nonterminal).
  std::optional<int> follower(int symbol, int depth) const {
    constexpr int kMaxDepth = 4;
    if (!grammar_.is_nonterminal(symbol) || depth == kMaxDepth) return std::nullopt;
    for (const int production : productions_of(grammar_, symbol - grammar_.first_nonterminal())) {
      const std::vector<int> symbols = parse_order(grammar_, production);
      if (symbols.empty()) continue;
      const int after = symbols.size() > 1 ? symbols[1] : 0;
      if (symbols[0] == keyword_) return after;
      if (const std::optional<int> found = follower(symbols[0], depth + 1)) return *found != 0 ? *found : after;
    }
    return std::nullopt;
  }

  std::vector<ParenthesisedPlace> places_;
};

// The keyword that names a statement: its first symbol, or the first
// keyword of a nonterminal that lists the statement's spellings.
int statement_keyword(const GrammarView& grammar, const std::vector<int>& symbols) {
  if (symbols.empty()) return 0;
  if (!grammar.is_nonterminal(symbols[0])) return is_keyword(grammar, symbols[0]) ? symbols[0] : 0;
  for (const int production : productions_of(grammar, symbols[0] - grammar.first_nonterminal())) {
    const std::vector<int> spelling = parse_order(grammar, production);
    if (!spelling.empty() && is_keyword(grammar, spelling[0])) return spelling[0];
  }
  return 0;
}

}  // namespace

bool is_statement_production(const GrammarView& grammar, int production) {
  for (const std::int16_t symbol : grammar.stored_rhs(production))
    if (symbol == host::kTokenEndStatement) return true;
  return false;
}

std::vector<OptionPlace> option_places(const GrammarView& grammar, int keyword) {
  std::vector<OptionPlace> places;
  OptionSearch search(grammar, keyword);
  for (int production = 0; production < grammar.production_count(); ++production) {
    if (!is_statement_production(grammar, production)) continue;
    const std::vector<int> symbols = parse_order(grammar, production);
    const int name = statement_keyword(grammar, symbols);
    if (name == 0) continue;
    if (const std::optional<int> introducer = search.in_statement(symbols))
      places.push_back(OptionPlace{production, name, *introducer});
  }
  return places;
}

std::vector<ParenthesisedPlace> parenthesised_places(const GrammarView& grammar, int keyword) {
  std::vector<ParenthesisedPlace> places;
  for (int production = 0; production < grammar.production_count(); ++production) {
    if (!is_statement_production(grammar, production)) continue;
    const std::vector<int> symbols = parse_order(grammar, production);
    const int name = statement_keyword(grammar, symbols);
    if (name == 0) continue;
    for (ParenthesisedPlace place : ParenthesisedSearch(grammar, keyword).places(symbols)) {
      place.statement = production;
      place.keyword = name;
      places.push_back(place);
    }
  }
  return places;
}

}  // namespace quilvar::runtime::statements
