// Checks a GrammarRecord before the parser trusts it, and expands its
// prediction pairs into a nonterminal-by-token matrix for constant-time
// lookup.
#include "runtime/statements/grammar_view.hpp"

namespace quilvar::runtime::statements {

namespace {

bool has_every_table(const host::GrammarRecord& r) {
  const void* const tables[] = {r.productions,    r.production_starts,     r.production_lhs,   r.state_table,
                                r.parser_table_a, r.action_types,          r.action_first_argument, r.action_arguments,
                                r.parser_table_b, r.parser_table_c,        r.parser_table_d,   r.parser_table_e};
  for (const void* table : tables)
    if (table == nullptr) return false;
  return true;
}

}  // namespace

std::string GrammarView::load(const host::GrammarRecord& record) {
  record_ = &record;
  if (std::string problem = keywords_.load(record); !problem.empty()) return problem;
  keyword_count_ = record.header[2];
  first_nonterminal_ = record.header[1];
  if (first_nonterminal_ <= keyword_count_) return "nonterminal symbols overlap the keyword codes";
  if (!has_every_table(record)) return "a grammar table is missing";
  std::string problem = check_counts();
  if (problem.empty()) problem = check_productions();
  if (problem.empty()) problem = check_actions();
  if (problem.empty()) problem = build_predictions();
  if (problem.empty()) read_names();
  if (problem.empty()) find_spellings();
  return problem;
}

std::string GrammarView::check_counts() const {
  const std::int16_t* counts = record_->parser_table_b;
  for (int i = 0; i < host::kGrammarCountEntries; ++i)
    if (counts[i] < 0) return "a grammar count is negative";
  if (counts[host::kGrammarCountProductions] == 0 || counts[host::kGrammarCountNonterminals] == 0)
    return "the grammar has no productions";
  return "";
}

std::string GrammarView::check_productions() const {
  const std::int16_t* counts = record_->parser_table_b;
  const int words = counts[host::kGrammarCountProductionWords];
  const int nonterminals = counts[host::kGrammarCountNonterminals];
  const int actions = counts[host::kGrammarCountActions];
  int previous_lhs = 0;
  for (int p = 0; p < counts[host::kGrammarCountProductions]; ++p) {
    const int start = record_->production_starts[p];
    const int lhs = record_->production_lhs[p];
    if (lhs < previous_lhs || lhs >= nonterminals) return "production " + std::to_string(p) + " has a bad left-hand side";
    previous_lhs = lhs;
    if (start >= words || record_->productions[start] < 0 || start + record_->productions[start] >= words)
      return "production " + std::to_string(p) + " runs past the table";
    for (int i = 1; i <= record_->productions[start]; ++i) {
      const int symbol = record_->productions[start + i];
      const bool valid = (symbol < 0 && -symbol <= actions) || (symbol >= 1 && symbol <= keyword_count_) ||
                         (symbol >= first_nonterminal_ && symbol < first_nonterminal_ + nonterminals);
      if (!valid) return "production " + std::to_string(p) + " has a bad symbol";
    }
  }
  return "";
}

std::string GrammarView::check_actions() const {
  const std::int16_t* counts = record_->parser_table_b;
  const int words = counts[host::kGrammarCountArgumentWords];
  for (int a = 0; a < counts[host::kGrammarCountActions]; ++a) {
    const int first = record_->action_first_argument[a];
    const int count = record_->parser_table_c[a];
    if (count < 0 || (count > 0 && (first < 0 || first + count > words)))
      return "action " + std::to_string(a + 1) + " has bad arguments";
  }
  return "";
}

std::string GrammarView::build_predictions() {
  const std::int16_t* counts = record_->parser_table_b;
  productions_ = counts[host::kGrammarCountProductions];
  nonterminals_ = counts[host::kGrammarCountNonterminals];
  actions_ = counts[host::kGrammarCountActions];
  const int pairs = counts[host::kGrammarCountPredictions];
  matrix_.assign(static_cast<std::size_t>(nonterminals_ * (keyword_count_ + 1)), -1);
  for (int n = 0; n < nonterminals_; ++n) {
    const int begin = record_->parser_table_a[n];
    const int end = record_->parser_table_a[n + 1];
    if (begin < 0 || end < begin || end > pairs) return "the prediction table is malformed";
    for (int i = begin; i < end; ++i) {
      const int code = record_->state_table[2 * i];
      const int production = record_->state_table[2 * i + 1];
      if (code < 1 || code > keyword_count_ || production < 0 || production >= productions_ ||
          record_->production_lhs[production] != n)
        return "prediction " + std::to_string(i) + " is malformed";
      matrix_[static_cast<std::size_t>(n * (keyword_count_ + 1) + code)] = static_cast<std::int16_t>(production);
    }
  }
  return "";
}

void GrammarView::read_names() {
  names_.clear();
  const int words = record_->parser_table_b[host::kGrammarCountNameWords];
  for (int n = 0; n < nonterminals_; ++n) {
    const int begin = record_->parser_table_d[n];
    const int end = record_->parser_table_d[n + 1];
    std::string name;
    if (begin >= 0 && begin <= end && end <= words)
      for (int i = begin; i < end; ++i) name += static_cast<char>(record_->parser_table_e[i]);
    if (name.empty()) name.append("<").append(std::to_string(n)).append(">");
    names_.push_back(std::move(name));
  }
}

void GrammarView::find_spellings() {
  spellings_.resize(static_cast<std::size_t>(keyword_count_ + 1));
  for (int code = 0; code <= keyword_count_; ++code) spellings_[static_cast<std::size_t>(code)] = code;
  // Productions are sorted by left-hand side: take each nonterminal's run.
  for (int first = 0, last = 0; first < productions_; first = last) {
    const int lhs = production_lhs(first);
    bool bare = true;
    for (last = first; last < productions_ && production_lhs(last) == lhs; ++last) {
      const std::span<const std::int16_t> rhs = stored_rhs(last);
      bare = bare && rhs.size() == 1 && rhs[0] >= 1 && rhs[0] <= keyword_count_;
    }
    if (!bare || last - first < 2) continue;
    const int word = stored_rhs(first)[0];
    for (int p = first + 1; p < last; ++p) spellings_[static_cast<std::size_t>(stored_rhs(p)[0])] = word;
  }
}

std::vector<int> GrammarView::predicting_codes(int nonterminal) const {
  std::vector<int> codes;
  for (int code = 1; code <= keyword_count_; ++code)
    if (predict(nonterminal, code) >= 0) codes.push_back(code);
  return codes;
}

std::span<const std::int16_t> GrammarView::stored_rhs(int production) const {
  const int start = record_->production_starts[production];
  return {record_->productions + start + 1, static_cast<std::size_t>(record_->productions[start])};
}

ActionView GrammarView::action(int number) const {
  const int index = number - 1;
  const int count = record_->parser_table_c[index];
  if (count == 0) return {record_->action_types[index], {}};
  return {record_->action_types[index],
          {record_->action_arguments + record_->action_first_argument[index], static_cast<std::size_t>(count)}};
}

}  // namespace quilvar::runtime::statements
