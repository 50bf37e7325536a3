// Test support: small in-memory data sets behind a DataSetServices table,
// and a step run that reaches the parser the way the module does (grammar
// record, support objects through the factories, default action,
// parse_statements), keeping the parse result until the run is destroyed.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quilvar/host/services.hpp"
#include "quilvar/host/statement_state.hpp"
#include "runtime/statements/parser_services.hpp"

namespace quilvar::runtime::statements::testing {

struct FakeVariable {
  std::string name;
  int type;  // 1 numeric, 2 character
};

struct FakeDataSet {
  std::string name;
  std::vector<FakeVariable> variables;
};

// The variables of every fake data set, numbered from 1 in this order.
const std::vector<FakeVariable>& fake_variables();

// The services table over FakeDataSet (find_variable, get_variable_info).
const host::DataSetServices& fake_services();

const FakeDataSet* as_fake(const void* data);

// Hooks opening "pop", "lib.pop", "ref" and the quoted path "path/x.csv"
// (anything else fails), recording BY calls and collecting errors and
// trace lines. A BY statement naming "region" fails unless NOTSORTED.
struct HookLog {
  std::vector<StatementError> errors;
  std::vector<StatementError> warnings;
  std::vector<std::string> trace;
  std::vector<std::string> by_calls;  // "sex,-age" and "/notsorted" when set
};
StepHooks make_hooks(HookLog* log);

// A step of file "test.qv" whose text starts on line 1.
Step make_step(std::string_view text);

class StepRun {
 public:
  // Parses step with trace level `trace`, as the module would.
  explicit StepRun(const Step& step, int trace = 0);
  ~StepRun();
  StepRun(const StepRun&) = delete;
  StepRun& operator=(const StepRun&) = delete;

  int status() const { return status_; }
  const host::StatementState& state() const { return *state_; }
  const host::ParseResult& result() const { return *state_->parse_result; }
  const HookLog& log() const { return log_; }

 private:
  HookLog log_;
  std::unique_ptr<host::GrammarRecord> record_;
  std::unique_ptr<host::StatementState> state_;
  int status_ = 0;
};

}  // namespace quilvar::runtime::statements::testing
