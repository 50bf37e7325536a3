// The table-driven LL(1) parser: expands nonterminals by the record's
// prediction table, matches tokens, and runs semantic actions in the order
// the productions place them. A word matches a keyword wherever the grammar
// expects that keyword, and is a name wherever a name is expected.
#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include "runtime/statements/error_reporter.hpp"
#include "runtime/statements/grammar_view.hpp"
#include "runtime/statements/semantic_actions.hpp"
#include "runtime/statements/tokenizer.hpp"

namespace quilvar::runtime::statements {

class StatementParser {
 public:
  // syntax_trace, when given, receives one line per production applied.
  StatementParser(const GrammarView& grammar, const std::vector<Token>& tokens, SemanticActions& actions,
                  ErrorReporter& errors, const std::function<void(std::string_view)>* syntax_trace)
      : grammar_(grammar), tokens_(tokens), actions_(actions), errors_(errors), syntax_trace_(syntax_trace) {}

  // Parses every token; false at the first syntax error (reported with the
  // token found and the tokens expected) or a broken action.
  bool run();

 private:
  bool expand(int nonterminal);
  bool match(int terminal);
  bool syntax_error(const std::vector<int>& expected);
  std::string missing_end_hint(const std::vector<int>& expected) const;
  std::string path_hint() const;
  std::string step_end_hint(const std::vector<int>& expected) const;
  std::string describe_code(int code) const;
  std::string statement_name(int keyword) const;
  std::string other_statement_hint() const;
  void trace_production(int production) const;

  const GrammarView& grammar_;
  const std::vector<Token>& tokens_;
  SemanticActions& actions_;
  ErrorReporter& errors_;
  const std::function<void(std::string_view)>* syntax_trace_;
  std::vector<int> stack_;
  std::size_t cursor_ = 0;
  int statement_ = -1;  // the production of the statement being parsed
};

}  // namespace quilvar::runtime::statements
