// The semantic actions of the grammar record, run by the parser as it
// passes them: flags and value slots of the parse result, and the host's
// own actions (statement bounds, data-set names and options, variable and
// name lists, BY variables, integer checks). The values a production reads
// (names, numbers, quoted strings) wait on an operand stack until an
// action uses them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "runtime/statements/error_reporter.hpp"
#include "runtime/statements/grammar_view.hpp"
#include "runtime/statements/parser_services.hpp"
#include "runtime/statements/result_store.hpp"
#include "runtime/statements/tokenizer.hpp"

namespace quilvar::runtime::statements {

class SemanticActions {
 public:
  SemanticActions(const GrammarView& grammar, const std::vector<Token>& tokens, const StepHooks& hooks,
                  ResultStore& store, ErrorReporter& errors, ErrorReporter& warnings, bool trace)
      : grammar_(grammar),
        tokens_(tokens),
        hooks_(hooks),
        store_(store),
        errors_(errors),
        warnings_(warnings),
        trace_(trace) {}

  // The parser matched the value-carrying token tokens[index].
  void push_operand(std::size_t index) { operands_.push_back(index); }

  // Runs action `number` (from 1); *cursor is the lookahead token, which the
  // data-set options action moves past the options. Returns false when the
  // action or the grammar is broken and the parse cannot go on; errors in
  // the statements are reported and the parse goes on.
  bool run(int number, std::size_t* cursor);

  // Applies the step's BY statement (the last one given); call once the
  // statements are parsed.
  void finish();

 private:
  bool run_typed(const ActionView& action, std::size_t* cursor);
  bool broken(std::string message);
  bool pop_operand(const Token** out);
  void trace(const ActionView& action, const std::string& what) const;
  bool slot_target(const ActionView& action, std::int16_t target, std::size_t words, int* slot);

  bool set_flag(const ActionView& action);
  bool store_number(const ActionView& action);
  bool store_data_set(const ActionView& action);
  bool store_text_or_list(const ActionView& action);
  bool store_constant(const ActionView& action);
  bool start_statement(const ActionView& action, std::size_t cursor);
  bool end_statement(const ActionView& action);
  bool open_data_set(const ActionView& action);
  void skip_data_set_options(const ActionView& action, std::size_t* cursor);
  bool start_list(const ActionView& action);
  std::string missing_end_hint(const Token& name) const;
  std::string option_hint(const Token& name) const;
  bool add_variables(const ActionView& action);
  bool add_name(const ActionView& action);
  bool add_by_variable(const ActionView& action);
  bool end_by(const ActionView& action);
  bool check_integer(const ActionView& action);
  // Whether variables can be looked up; when not, reports why at the token
  // (unless the data set's failed open was reported already).
  bool variables_available(const Token& at);
  // Warns at the statement tokens_[earlier] that this statement replaces
  // the variables it gave.
  void warn_replaced(std::size_t earlier);

  const GrammarView& grammar_;
  const std::vector<Token>& tokens_;
  const StepHooks& hooks_;
  ResultStore& store_;
  ErrorReporter& errors_;
  ErrorReporter& warnings_;
  bool trace_;
  int current_action_ = 0;

  std::vector<std::size_t> operands_;  // token indexes
  std::size_t statement_token_ = 0;
  bool list_of_names_ = false;
  std::vector<std::int32_t> variables_;
  std::vector<std::string> names_;
  host::DataSet* last_data_set_ = nullptr;
  host::DataSet* variable_data_ = nullptr;
  std::string variable_data_name_;
  std::vector<ByVariableSpec> by_variables_;
  bool descending_next_ = false;
  bool notsorted_ = false;
  // The statement tokens that filled each variable-list slot, and the BY variables.
  std::map<int, std::size_t> list_statements_;
  std::optional<std::size_t> by_statement_;
  host::DataSet* by_data_ = nullptr;
  std::vector<ByVariableSpec> applied_by_;
  bool applied_notsorted_ = false;
};

}  // namespace quilvar::runtime::statements
