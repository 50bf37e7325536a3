// Semantic actions. Option actions check their target words against the
// record's limits before they write; the host's actions report problems in
// the statements (data sets that cannot be opened, data-set options,
// unknown variables, numbers that must be whole) at the token concerned.
#include "runtime/statements/semantic_actions.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

#include "runtime/statements/program.hpp"
#include "runtime/statements/statement_options.hpp"
#include "runtime/statements/variable_lists.hpp"

namespace quilvar::runtime::statements {
namespace {

// Whole numbers as integers, others in their shortest round-trip form.
std::string format_number(double value) {
  char buffer[32];
  const bool whole = std::abs(value) < 1e15 && std::trunc(value) == value;
  const auto [end, error] = whole ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(value))
                                  : std::to_chars(buffer, buffer + sizeof buffer, value);
  return error == std::errc() ? std::string(buffer, end) : "?";
}

// The name a name or name-literal token stands for.
std::string name_of(const Token& token) {
  return token.code == host::kTokenNameLiteral ? token.value : std::string(token.text);
}

bool is_numeric_token(int code) {
  return code == host::kTokenInteger || code == host::kTokenNumber || code == host::kTokenDate ||
         code == host::kTokenTime || code == host::kTokenDateTime || code == host::kTokenMissing;
}

// How many names a variable-list form reads.
int names_of_form(int form) {
  switch (form) {
    case host::kFormSingle:
    case host::kFormPrefix: return 1;
    case host::kFormNumbered:
    case host::kFormDataOrder:
    case host::kFormNumericRange:
    case host::kFormCharacterRange: return 2;
    default: return 0;
  }
}

}  // namespace

bool SemanticActions::run(int number, std::size_t* cursor) {
  current_action_ = number;
  return run_typed(grammar_.action(number), cursor);
}

bool SemanticActions::run_typed(const ActionView& action, std::size_t* cursor) {
  switch (action.type) {
    case host::kActionSetFlag: return set_flag(action);
    case host::kActionStoreNumber: return store_number(action);
    case host::kActionStoreDataSet: return store_data_set(action);
    case host::kActionStoreTextOrList: return store_text_or_list(action);
    case host::kActionStoreConstant: return store_constant(action);
    case host::kActionStatementStart: return start_statement(action, *cursor);
    case host::kActionStatementEnd: return end_statement(action);
    case host::kActionOpenDataSet: return open_data_set(action);
    case host::kActionDataSetOptions: skip_data_set_options(action, cursor); return true;
    case host::kActionListStart: return start_list(action);
    case host::kActionVariables: return add_variables(action);
    case host::kActionName: return add_name(action);
    case host::kActionByVariable: return add_by_variable(action);
    case host::kActionDescending:
      descending_next_ = true;
      trace(action, "the next BY variable is descending");
      return true;
    case host::kActionNotsorted:
      notsorted_ = true;
      trace(action, "BY groups need not be sorted");
      return true;
    case host::kActionByEnd: return end_by(action);
    case host::kActionIntegerCheck: return check_integer(action);
  }
  return broken("has the unknown type " + std::to_string(action.type));
}

bool SemanticActions::broken(std::string message) {
  errors_.report_internal("grammar action " + std::to_string(current_action_) + " " + message);
  return false;
}

bool SemanticActions::pop_operand(const Token** out) {
  if (operands_.empty()) return broken("found no value to use");
  *out = &tokens_[operands_.back()];
  operands_.pop_back();
  return true;
}

void SemanticActions::trace(const ActionView& action, const std::string& what) const {
  if (!trace_ || !hooks_.trace) return;
  std::string line = "SEM: action " + std::to_string(current_action_) + " (type " + std::to_string(action.type);
  for (std::size_t i = 0; i < action.arguments.size(); ++i) line += (i == 0 ? ": " : ", ") + std::to_string(action.arguments[i]);
  hooks_.trace(line + ") " + what);
}

// Reads the (target, slot) words of a slot action that has `words` words.
bool SemanticActions::slot_target(const ActionView& action, std::int16_t target, std::size_t words, int* slot) {
  if (action.arguments.size() != words || action.arguments[0] != target || action.arguments[1] < 0 ||
      action.arguments[1] > grammar_.last_slot())
    return broken("has bad target words");
  *slot = action.arguments[1];
  return true;
}

bool SemanticActions::set_flag(const ActionView& action) {
  if (action.arguments.size() != 2 || action.arguments[0] != host::kTargetFlag || action.arguments[1] < 0 ||
      action.arguments[1] > grammar_.last_flag())
    return broken("has bad target words");
  store_.set_flag(action.arguments[1]);
  trace(action, "flag " + std::to_string(action.arguments[1]) + " set");
  return true;
}

bool SemanticActions::store_number(const ActionView& action) {
  int slot = 0;
  const Token* token = nullptr;
  if (!slot_target(action, host::kTargetValue, 2, &slot) || !pop_operand(&token)) return false;
  if (!is_numeric_token(token->code)) return broken("expected a number");
  store_.store_number(slot, token->number);
  trace(action, "slot " + std::to_string(slot) + " = " + format_number(token->number));
  return true;
}

bool SemanticActions::store_data_set(const ActionView& action) {
  int slot = 0;
  if (!slot_target(action, host::kTargetValue, 2, &slot)) return false;
  if (last_data_set_ == nullptr) return true;  // the failed open was reported
  store_.store_data_set(slot, last_data_set_);
  trace(action, "slot " + std::to_string(slot) + " = the data set opened last");
  return true;
}

bool SemanticActions::store_text_or_list(const ActionView& action) {
  int slot = 0;
  const bool list = !action.arguments.empty() && action.arguments[0] == host::kTargetList;
  if (!slot_target(action, list ? host::kTargetList : host::kTargetValue, 2, &slot)) return false;
  if (list && list_of_names_) {
    store_.store_names(slot, names_);
    trace(action, "slot " + std::to_string(slot) + " = " + std::to_string(names_.size()) + " name(s)");
  } else if (list) {
    if (const auto earlier = list_statements_.find(slot); earlier != list_statements_.end()) {
      warn_replaced(earlier->second);
    }
    list_statements_[slot] = statement_token_;
    store_.store_variables(slot, variables_);
    trace(action, "slot " + std::to_string(slot) + " = " + std::to_string(variables_.size()) + " variable(s)");
  } else {
    const Token* token = nullptr;
    if (!pop_operand(&token)) return false;
    store_.store_text(slot, token->value);
    trace(action, "slot " + std::to_string(slot) + " = '" + token->value + "'");
  }
  return true;
}

bool SemanticActions::store_constant(const ActionView& action) {
  int slot = 0;
  if (!slot_target(action, host::kTargetValue, 3, &slot)) return false;
  store_.store_number(slot, action.arguments[2]);
  trace(action, "slot " + std::to_string(slot) + " = " + std::to_string(action.arguments[2]));
  return true;
}

bool SemanticActions::start_statement(const ActionView& action, std::size_t cursor) {
  operands_.clear();
  statement_token_ = cursor > 0 ? cursor - 1 : 0;
  by_variables_.clear();
  descending_next_ = false;
  notsorted_ = false;
  trace(action, "statement " + std::string(tokens_[statement_token_].text) + " begins");
  return true;
}

bool SemanticActions::end_statement(const ActionView& action) {
  if (!operands_.empty()) return broken("ended a statement with values left unused");
  trace(action, "statement ends");
  return true;
}

bool SemanticActions::open_data_set(const ActionView& action) {
  if (action.arguments.size() != 1) return broken("has bad words");
  const Token* token = nullptr;
  if (!pop_operand(&token)) return false;
  const bool quoted = token->code == host::kTokenQuoted;
  const std::string spec = quoted || token->code == host::kTokenNameLiteral ? token->value : std::string(token->text);
  std::string problem;
  // A path written without quotes ("dir/pop", "C:\dir\pop.csv") is only its
  // first word here; the parser stops at the "/", "\" or ":" after it and
  // shows the path quoted, so no data set named by that word is looked for.
  const bool path = !quoted && !unquoted_path_hint(token->text.data()).empty();
  last_data_set_ = hooks_.open_data_set && !path ? hooks_.open_data_set(spec, quoted, &problem) : nullptr;
  if (last_data_set_ == nullptr && !path)
    errors_.report(*token, "data set " + spec + " cannot be opened" + (problem.empty() ? "" : ": " + problem));
  if (action.arguments[0] == 1) {
    variable_data_ = last_data_set_;
    variable_data_name_ = spec;
  }
  trace(action, "data set " + spec + (last_data_set_ != nullptr ? " opened" : " not opened"));
  return true;
}

// Moves past the options up to the closing ")" of the list; each option
// named (a word followed by "=", or else the list's first token) is
// reported as not supported.
void SemanticActions::skip_data_set_options(const ActionView& action, std::size_t* cursor) {
  const int open = grammar_.keywords().punctuation_code('(');
  const int close = grammar_.keywords().punctuation_code(')');
  const int equals = grammar_.keywords().punctuation_code('=');
  const std::size_t first = *cursor;
  bool reported = false;
  for (int depth = 0; *cursor + 1 < tokens_.size(); ++*cursor) {
    const Token& token = tokens_[*cursor];
    if (token.code == host::kTokenEndStatement || (token.code == close && depth == 0)) break;
    depth += token.code == open ? 1 : token.code == close ? -1 : 0;
    if (depth == 0 && token.code == host::kTokenName && tokens_[*cursor + 1].code == equals) {
      errors_.report(token, "data-set option " + std::string(token.text) + "= is not supported");
      reported = true;
    }
  }
  if (!reported && *cursor > first) errors_.report(tokens_[first], "data-set option " + std::string(tokens_[first].text) + " is not supported");
  trace(action, std::to_string(*cursor - first) + " data-set option token(s) read");
}

// A step that names no data set for its variables (no DATA=) leaves them
// unresolved without an error for each: the procedure says once that the
// data set is missing, with its own message and advice. A data set that
// failed to open has been reported already.
bool SemanticActions::variables_available(const Token& at) {
  if (variable_data_ != nullptr && hooks_.data_sets != nullptr) return true;
  if (variable_data_ != nullptr) {
    errors_.report(at, "variable " + name_of(at) + " cannot be looked up: no data set is open for the step's variables");
  }
  return false;
}

bool SemanticActions::start_list(const ActionView& action) {
  list_of_names_ = false;
  variables_.clear();
  names_.clear();
  trace(action, "list started");
  return true;
}

// A variable list whose statement lacks its ";" runs on into the next
// statement ("strata age" then "run;" reads RUN as a variable). When the
// unknown name starts a line and is a keyword or a program statement's
// word, say where the ";" probably belongs.
std::string SemanticActions::missing_end_hint(const Token& name) const {
  const auto index = static_cast<std::size_t>(&name - tokens_.data());
  if (index == 0 || index >= tokens_.size() || tokens_[index - 1].line >= name.line) return "";
  const std::string upper = upper_case(name.text);
  const bool statement_word =
      std::find(kProgramStatementWords.begin(), kProgramStatementWords.end(), upper) != kProgramStatementWords.end();
  if (name.keyword == 0 && !statement_word) return "";
  return statements::missing_end_hint(tokens_[index - 1].line);
}

// An option of this statement written among its variables ("strata age
// stats;") is read as a variable: say what it should follow.
std::string SemanticActions::option_hint(const Token& name) const {
  if (name.keyword == 0) return "";
  const int statement = grammar_.spelling_of(tokens_[statement_token_].keyword);
  for (const OptionPlace& place : option_places(grammar_, name.keyword)) {
    if (grammar_.spelling_of(place.keyword) != statement || place.introducer == 0) continue;
    return "; " + upper_case(name.text) + " is an option of this statement: is the \"" + std::string(grammar_.keywords().name(place.introducer)) +
           "\" before it missing?";
  }
  return "";
}

bool SemanticActions::add_variables(const ActionView& action) {
  if (action.arguments.size() != 1) return broken("has bad words");
  const int form = action.arguments[0];
  const Token* names[2] = {nullptr, nullptr};
  for (int i = names_of_form(form) - 1; i >= 0; --i)
    if (!pop_operand(&names[i])) return false;
  const Token& at = names[0] != nullptr ? *names[0] : tokens_[statement_token_];
  if (!variables_available(at)) return true;
  const int count = hooks_.variable_count ? hooks_.variable_count(variable_data_) : 0;
  const VariableResolver resolver(*hooks_.data_sets, variable_data_, count, variable_data_name_);
  const std::size_t before = variables_.size();
  const std::string problem = resolver.add(form, names[0] != nullptr ? name_of(*names[0]) : "",
                                           names[1] != nullptr ? name_of(*names[1]) : "", &variables_);
  if (!problem.empty()) errors_.report(at, problem + missing_end_hint(at) + option_hint(at));
  trace(action, std::to_string(variables_.size() - before) + " variable(s) added");
  return true;
}

bool SemanticActions::add_name(const ActionView& action) {
  const Token* token = nullptr;
  if (!pop_operand(&token)) return false;
  list_of_names_ = true;
  names_.push_back(name_of(*token));
  trace(action, "name " + names_.back() + " added");
  return true;
}

bool SemanticActions::add_by_variable(const ActionView& action) {
  const Token* token = nullptr;
  if (!pop_operand(&token)) return false;
  ByVariableSpec spec{name_of(*token), 0, descending_next_};
  descending_next_ = false;
  if (!variables_available(*token)) return true;
  const int count = hooks_.variable_count ? hooks_.variable_count(variable_data_) : 0;
  spec.number = VariableResolver(*hooks_.data_sets, variable_data_, count, variable_data_name_).find(spec.name);
  if (spec.number == 0) {
    errors_.report(*token, "BY variable " + spec.name + " is not in data set " + variable_data_name_ +
                               missing_end_hint(*token));
    return true;
  }
  // Told at the second mention, where the caret shows which name repeats.
  if (std::any_of(by_variables_.begin(), by_variables_.end(),
                  [&spec](const ByVariableSpec& earlier) { return earlier.number == spec.number; })) {
    errors_.report(*token, "BY variable " + spec.name + " is given twice");
    return true;
  }
  trace(action, "BY variable " + spec.name + (spec.descending ? " descending" : ""));
  by_variables_.push_back(std::move(spec));
  return true;
}

// A BY statement's variables are applied when the parse ends, so that a
// later BY statement replaces them before any is checked against the data.
bool SemanticActions::end_by(const ActionView& action) {
  if (variable_data_ == nullptr || by_variables_.empty()) return true;  // already reported
  if (by_statement_) warn_replaced(*by_statement_);
  by_statement_ = statement_token_;
  by_data_ = variable_data_;
  applied_by_ = by_variables_;
  applied_notsorted_ = notsorted_;
  trace(action, std::to_string(by_variables_.size()) + " BY variable(s)" + (notsorted_ ? ", not sorted" : ""));
  return true;
}

void SemanticActions::finish() {
  if (!by_statement_) return;
  const Token& statement = tokens_[*by_statement_];
  std::string problem;
  if (!hooks_.apply_by) {
    errors_.report(statement, "BY groups are not available for this step");
  } else if (!hooks_.apply_by(by_data_, applied_by_, applied_notsorted_, &problem)) {
    errors_.report(statement, problem.empty() ? "the BY statement cannot be applied" : problem);
  }
}

void SemanticActions::warn_replaced(std::size_t earlier) {
  const Token& later = tokens_[statement_token_];
  const std::string name = upper_case(tokens_[earlier].text);
  warnings_.report(tokens_[earlier], "the " + name + " statement is given again (line " + std::to_string(later.line) +
                                         ", column " + std::to_string(warnings_.character_column(later)) +
                                         "), and that later statement's variables are used");
}

bool SemanticActions::check_integer(const ActionView& action) {
  if (operands_.empty()) return broken("found no value to use");
  const Token& token = tokens_[operands_.back()];
  if (!std::isfinite(token.number) || std::trunc(token.number) != token.number)
    errors_.report(token, "an integer is required, found " + std::string(token.text));
  trace(action, std::string(token.text) + " checked");
  return true;
}

}  // namespace quilvar::runtime::statements
