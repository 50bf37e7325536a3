// The parser's checked view of a GrammarRecord: productions, semantic
// actions, the LL(1) prediction table expanded into a dense matrix, the
// keyword list and the nonterminal names. Nothing here knows a particular
// procedure: every count and code comes from the record.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quilvar/host/statement_state.hpp"
#include "runtime/statements/tokenizer.hpp"

namespace quilvar::runtime::statements {

struct ActionView {
  int type;
  std::span<const std::int16_t> arguments;
};

class GrammarView {
 public:
  // Checks the record (counts, every index and symbol in range) and builds
  // the prediction matrix. Returns an empty string, or what is wrong.
  std::string load(const host::GrammarRecord& record);

  const KeywordTable& keywords() const { return keywords_; }
  int first_nonterminal() const { return first_nonterminal_; }
  int start_symbol() const { return first_nonterminal_ + record_->production_lhs[0]; }
  bool is_nonterminal(int symbol) const { return symbol >= first_nonterminal_; }

  // The production that expands nonterminal on this token code, or -1.
  int predict(int nonterminal, int code) const {
    return code >= 1 && code <= keyword_count_ ? matrix_[static_cast<std::size_t>(nonterminal * (keyword_count_ + 1) + code)] : -1;
  }
  // The token codes that predict some production of the nonterminal.
  std::vector<int> predicting_codes(int nonterminal) const;

  int production_count() const { return productions_; }
  int production_lhs(int production) const { return record_->production_lhs[production]; }
  // The right-hand side as stored: last symbol first.
  std::span<const std::int16_t> stored_rhs(int production) const;

  ActionView action(int number) const;  // number from 1
  // The keyword that stands for code when options are compared: a
  // nonterminal whose every production is one bare keyword ("METHOD" | "M$")
  // lists spellings of one word, all standing for its first; any other
  // keyword stands for itself.
  int spelling_of(int code) const {
    return code >= 1 && code <= keyword_count_ ? spellings_[static_cast<std::size_t>(code)] : code;
  }
  std::string_view nonterminal_name(int nonterminal) const { return names_[static_cast<std::size_t>(nonterminal)]; }
  int last_flag() const { return record_->limits[0]; }
  int last_slot() const { return record_->limits[1]; }

 private:
  std::string check_counts() const;
  std::string check_productions() const;
  std::string check_actions() const;
  std::string build_predictions();
  void read_names();
  void find_spellings();

  const host::GrammarRecord* record_ = nullptr;
  KeywordTable keywords_;
  int keyword_count_ = 0;
  int first_nonterminal_ = 0;
  int productions_ = 0;
  int nonterminals_ = 0;
  int actions_ = 0;
  std::vector<std::int16_t> matrix_;
  std::vector<std::string> names_;
  std::vector<int> spellings_;
};

}  // namespace quilvar::runtime::statements
