// Compiles the grammar source into the numeric tables. Symbols are resolved
// (keywords from entry 20 on, token classes among the first entries,
// nonterminals by rule order, actions through the host's action-type table
// with identical actions shared), then FIRST and FOLLOW sets give each
// production its prediction set; two productions of one nonterminal
// predicted by the same token are a conflict and fail the compilation.
#include "quilvar/syntax/compiler/grammar_tables.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>

#include "quilvar/host/statement_state.hpp"

namespace quilvar::syntax::compiler {
namespace {

using TokenSet = std::vector<char>;  // indexed by token code

bool is_digit(char c) { return c >= '0' && c <= '9'; }

struct Production {
  int lhs;
  std::vector<int> symbols;  // left to right, encoded as in the tables
};

class Builder {
 public:
  Builder(const GrammarSource& source, CompiledGrammar* out) : source_(source), out_(out) {}

  std::string build() {
    build_keywords();
    check_named_numbers(source_.flags, host::kLastFlag, "flag");
    check_named_numbers(source_.slots, host::kLastSlot, "slot");
    number_nonterminals();
    for (std::size_t r = 0; r < source_.rules.size(); ++r) resolve_rule(static_cast<int>(r));
    check_nonterminals();
    if (errors_.empty()) {
      store_productions();
      compute_first_sets();
      compute_follow_sets();
      build_predictions();
      store_names_and_counts();
    }
    return errors_;
  }

 private:
  void error(int line, const std::string& message) {
    errors_ += "line " + std::to_string(line) + ": " + message + "\n";
  }

  int keyword_count() const { return static_cast<int>(source_.keywords.size()); }
  bool is_terminal(int symbol) const { return symbol > 0 && symbol < out_->first_nonterminal; }
  bool is_nonterminal(int symbol) const { return symbol >= out_->first_nonterminal; }

  void build_keywords() {
    for (int i = 0; i < keyword_count(); ++i) {
      const std::string& name = source_.keywords[static_cast<std::size_t>(i)];
      out_->keyword_offsets.push_back(static_cast<std::uint16_t>(out_->keyword_list.size()));
      out_->keyword_codes.push_back(static_cast<std::uint16_t>(i + 1));
      out_->keyword_list.push_back(static_cast<std::uint8_t>(name.size()));
      out_->keyword_list.insert(out_->keyword_list.end(), name.begin(), name.end());
    }
    out_->keyword_list.push_back(0);
    out_->first_nonterminal = keyword_count() + 1;
  }

  void check_named_numbers(const std::vector<NamedNumber>& entries, int last, const char* what) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].value < 0 || entries[i].value > last)
        error(entries[i].line, std::string(what) + " " + entries[i].name + " is out of range");
      for (std::size_t j = 0; j < i; ++j)
        if (entries[j].name == entries[i].name) error(entries[i].line, std::string(what) + " " + entries[i].name + " is declared twice");
    }
  }

  void number_nonterminals() {
    for (const Rule& rule : source_.rules) {
      if (!nonterminals_.emplace(rule.lhs, static_cast<int>(nonterminals_.size())).second)
        error(rule.line, "nonterminal " + rule.lhs + " is defined twice");
    }
    if (source_.rules.empty()) error(1, "the grammar has no rules");
  }

  // The token code of a keyword (entries after the token classes) or of a
  // token class (the first entries), or 0 when there is none.
  int find_keyword(const std::string& name, bool token_class) const {
    const int begin = token_class ? 0 : host::kTokenClassEntries;
    const int end = token_class ? host::kTokenClassEntries : keyword_count();
    for (int i = begin; i < end && i < keyword_count(); ++i)
      if (source_.keywords[static_cast<std::size_t>(i)] == name) return i + 1;
    return 0;
  }

  void resolve_rule(int rule_index) {
    const Rule& rule = source_.rules[static_cast<std::size_t>(rule_index)];
    for (const Alternative& alternative : rule.alternatives) {
      Production production{rule_index, {}};
      for (const SymbolRef& symbol : alternative) production.symbols.push_back(resolve_symbol(symbol));
      productions_.push_back(std::move(production));
    }
  }

  int resolve_symbol(const SymbolRef& symbol) {
    switch (symbol.kind) {
      case SymbolKind::kKeyword:
      case SymbolKind::kTokenClass: {
        const int code = find_keyword(symbol.text, symbol.kind == SymbolKind::kTokenClass);
        if (code == 0) error(symbol.line, "unknown keyword or token class " + symbol.text);
        return code;
      }
      case SymbolKind::kNonterminal: {
        const auto found = nonterminals_.find(symbol.text);
        if (found == nonterminals_.end()) {
          error(symbol.line, "nonterminal " + symbol.text + " is not defined");
          return 0;
        }
        used_.push_back(found->second);
        return out_->first_nonterminal + found->second;
      }
      case SymbolKind::kAction:
        return -resolve_action(symbol);
    }
    return 0;
  }

  // The value of one action operand of the given kind (f, s, i, v), or -1.
  int resolve_operand(char kind, const std::string& text, int line) {
    const auto find_named = [&](const std::vector<NamedNumber>& names) {
      for (const NamedNumber& entry : names)
        if (entry.name == text) return entry.value;
      return -1;
    };
    int value = -1;
    if (kind == 'f') value = find_named(source_.flags);
    if (kind == 's') value = find_named(source_.slots);
    if (kind == 'i' && !text.empty() && std::all_of(text.begin(), text.end(), is_digit)) value = std::stoi(text);
    if (kind == 'v')
      for (const host::VariableFormInfo& form : host::kVariableForms)
        if (text == form.mnemonic) value = form.form;
    if (value < 0) error(line, "bad action operand " + text);
    return value;
  }

  int resolve_action(const SymbolRef& symbol) {
    const host::ActionTypeInfo* info = nullptr;
    for (const host::ActionTypeInfo& entry : host::kActionTypes)
      if (symbol.text == entry.mnemonic) info = &entry;
    if (info == nullptr) {
      error(symbol.line, "unknown action " + symbol.text);
      return 0;
    }
    if (symbol.operands.size() != std::strlen(info->operands)) {
      error(symbol.line, "action " + symbol.text + " takes " + std::to_string(std::strlen(info->operands)) + " operands");
      return 0;
    }
    std::vector<std::int16_t> words;
    if (info->leading_word >= 0) words.push_back(info->leading_word);
    for (std::size_t i = 0; i < symbol.operands.size(); ++i)
      words.push_back(static_cast<std::int16_t>(resolve_operand(info->operands[i], symbol.operands[i], symbol.line)));
    return intern_action(info->type, words);
  }

  // The number (from 1) of the action with this type and these words,
  // added when it is new.
  int intern_action(std::uint16_t type, const std::vector<std::int16_t>& words) {
    const auto key = std::make_pair(type, words);
    const auto found = actions_.find(key);
    if (found != actions_.end()) return found->second;
    out_->action_types.push_back(type);
    out_->action_first_argument.push_back(
        words.empty() ? std::int16_t{-1} : static_cast<std::int16_t>(out_->action_arguments.size()));
    out_->action_arguments.insert(out_->action_arguments.end(), words.begin(), words.end());
    out_->action_argument_counts.push_back(static_cast<std::int16_t>(words.size()));
    const int number = static_cast<int>(out_->action_types.size());
    actions_.emplace(key, number);
    return number;
  }

  void check_nonterminals() {
    std::vector<char> used(nonterminals_.size(), 0);
    for (int n : used_) used[static_cast<std::size_t>(n)] = 1;
    for (const Rule& rule : source_.rules) {
      const std::size_t n = static_cast<std::size_t>(nonterminals_.at(rule.lhs));
      if (n != 0 && !used[n]) error(rule.line, "nonterminal " + rule.lhs + " is never used");
    }
    if (!source_.rules.empty() && source_.rules[0].alternatives.size() != 1)
      error(source_.rules[0].line, "the start rule must have one alternative");
  }

  void store_productions() {
    for (const Production& production : productions_) {
      out_->production_starts.push_back(static_cast<std::uint16_t>(out_->productions.size()));
      out_->production_lhs.push_back(static_cast<std::uint16_t>(production.lhs));
      out_->productions.push_back(static_cast<std::int16_t>(production.symbols.size()));
      for (auto s = production.symbols.rbegin(); s != production.symbols.rend(); ++s)
        out_->productions.push_back(static_cast<std::int16_t>(*s));
    }
  }

  // Adds FIRST of symbols[from..] to *set; returns whether they can all
  // derive the empty string.
  bool add_first_of(const std::vector<int>& symbols, std::size_t from, TokenSet* set) const {
    for (std::size_t i = from; i < symbols.size(); ++i) {
      const int symbol = symbols[i];
      if (symbol < 0) continue;
      if (is_terminal(symbol)) {
        (*set)[static_cast<std::size_t>(symbol)] = 1;
        return false;
      }
      const std::size_t n = static_cast<std::size_t>(symbol - out_->first_nonterminal);
      for (std::size_t t = 0; t < set->size(); ++t) (*set)[t] |= first_[n][t];
      if (!nullable_[n]) return false;
    }
    return true;
  }

  static bool merge_into(const TokenSet& from, TokenSet* into) {
    bool changed = false;
    for (std::size_t t = 0; t < from.size(); ++t)
      if (from[t] && !(*into)[t]) {
        (*into)[t] = 1;
        changed = true;
      }
    return changed;
  }

  void compute_first_sets() {
    const std::size_t count = nonterminals_.size();
    first_.assign(count, TokenSet(static_cast<std::size_t>(out_->first_nonterminal), 0));
    nullable_.assign(count, 0);
    for (bool changed = true; changed;) {
      changed = false;
      for (const Production& production : productions_) {
        TokenSet first(first_[0].size(), 0);
        const bool nullable = add_first_of(production.symbols, 0, &first);
        const std::size_t lhs = static_cast<std::size_t>(production.lhs);
        changed |= merge_into(first, &first_[lhs]);
        if (nullable && !nullable_[lhs]) {
          nullable_[lhs] = 1;
          changed = true;
        }
      }
    }
  }

  void compute_follow_sets() {
    follow_.assign(nonterminals_.size(), TokenSet(first_[0].size(), 0));
    for (bool changed = true; changed;) {
      changed = false;
      for (const Production& production : productions_) {
        for (std::size_t i = 0; i < production.symbols.size(); ++i) {
          if (!is_nonterminal(production.symbols[i])) continue;
          const std::size_t n = static_cast<std::size_t>(production.symbols[i] - out_->first_nonterminal);
          TokenSet rest(first_[0].size(), 0);
          const bool rest_nullable = add_first_of(production.symbols, i + 1, &rest);
          changed |= merge_into(rest, &follow_[n]);
          if (rest_nullable) changed |= merge_into(follow_[static_cast<std::size_t>(production.lhs)], &follow_[n]);
        }
      }
    }
  }

  // Fills the prediction pairs nonterminal by nonterminal; productions are
  // grouped by nonterminal, so one pass over them fills each group in turn.
  void build_predictions() {
    std::vector<std::vector<int>> table(nonterminals_.size(), std::vector<int>(first_[0].size(), -1));
    for (std::size_t p = 0; p < productions_.size(); ++p) {
      const std::size_t lhs = static_cast<std::size_t>(productions_[p].lhs);
      TokenSet predict(first_[0].size(), 0);
      if (add_first_of(productions_[p].symbols, 0, &predict)) merge_into(follow_[lhs], &predict);
      for (std::size_t t = 1; t < predict.size(); ++t) {
        if (!predict[t]) continue;
        if (table[lhs][t] >= 0)
          error(source_.rules[lhs].line, "conflict in " + source_.rules[lhs].lhs + " on " + source_.keywords[t - 1] +
                                             ": productions " + std::to_string(table[lhs][t]) + " and " + std::to_string(p));
        table[lhs][t] = static_cast<int>(p);
      }
    }
    for (const std::vector<int>& row : table) {
      out_->prediction_starts.push_back(static_cast<std::int16_t>(out_->predictions.size() / 2));
      for (std::size_t t = 1; t < row.size(); ++t) {
        if (row[t] < 0) continue;
        out_->predictions.push_back(static_cast<std::int16_t>(t));
        out_->predictions.push_back(static_cast<std::int16_t>(row[t]));
      }
    }
    out_->prediction_starts.push_back(static_cast<std::int16_t>(out_->predictions.size() / 2));
  }

  void store_names_and_counts() {
    for (const Rule& rule : source_.rules) {
      out_->name_offsets.push_back(static_cast<std::int16_t>(out_->names.size()));
      out_->names.insert(out_->names.end(), rule.lhs.begin(), rule.lhs.end());
    }
    out_->name_offsets.push_back(static_cast<std::int16_t>(out_->names.size()));
    out_->counts.assign(host::kGrammarCountEntries, 0);
    out_->counts[host::kGrammarCountProductions] = static_cast<std::int16_t>(productions_.size());
    out_->counts[host::kGrammarCountNonterminals] = static_cast<std::int16_t>(nonterminals_.size());
    out_->counts[host::kGrammarCountActions] = static_cast<std::int16_t>(out_->action_types.size());
    out_->counts[host::kGrammarCountProductionWords] = static_cast<std::int16_t>(out_->productions.size());
    out_->counts[host::kGrammarCountArgumentWords] = static_cast<std::int16_t>(out_->action_arguments.size());
    out_->counts[host::kGrammarCountPredictions] = static_cast<std::int16_t>(out_->predictions.size() / 2);
    out_->counts[host::kGrammarCountNameWords] = static_cast<std::int16_t>(out_->names.size());
    out_->flags = source_.flags;
    out_->slots = source_.slots;
  }

  const GrammarSource& source_;
  CompiledGrammar* out_;
  std::string errors_;
  std::map<std::string, int> nonterminals_;
  std::map<std::pair<std::uint16_t, std::vector<std::int16_t>>, int> actions_;
  std::vector<Production> productions_;
  std::vector<int> used_;
  std::vector<TokenSet> first_;
  std::vector<TokenSet> follow_;
  std::vector<char> nullable_;
};

}  // namespace

std::string compile_grammar(const GrammarSource& source, CompiledGrammar* out) {
  *out = CompiledGrammar{};
  return Builder(source, out).build();
}

}  // namespace quilvar::syntax::compiler
