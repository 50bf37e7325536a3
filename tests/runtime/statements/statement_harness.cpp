// Fake data sets and the module-like step run used by the statement tests.
#include "statement_harness.hpp"

#include <cctype>
#include <cstring>

#include "quilvar/syntax/grammar_record.hpp"

namespace quilvar::runtime::statements::testing {
namespace {

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

int find_variable(host::DataSet* data, const char* name, int length, int* number) {
  const std::vector<FakeVariable>& variables = as_fake(data)->variables;
  *number = 0;
  for (std::size_t i = 0; i < variables.size(); ++i)
    if (same_name(variables[i].name, std::string_view(name, static_cast<std::size_t>(length)))) *number = static_cast<int>(i) + 1;
  return *number == 0 ? 1 : 0;
}

int get_variable_info(host::DataSet* data, int number, host::VariableInfo* out) {
  const std::vector<FakeVariable>& variables = as_fake(data)->variables;
  if (number < 1 || number > static_cast<int>(variables.size())) return 1;
  const FakeVariable& variable = variables[static_cast<std::size_t>(number - 1)];
  *out = host::VariableInfo{};
  out->type = variable.type;
  out->length = variable.type == 1 ? 8 : 16;
  out->name_length = static_cast<int>(variable.name.size());
  std::memcpy(out->name, variable.name.data(), variable.name.size());
  return 0;
}

constexpr host::DataSetServices kFakeServices{nullptr, find_variable, get_variable_info, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr,       nullptr,       nullptr,           nullptr, nullptr, nullptr};

std::vector<FakeDataSet>& fake_data_sets() {
  static std::vector<FakeDataSet> sets = {{"pop", fake_variables()},
                                          {"lib.pop", fake_variables()},
                                          {"ref", fake_variables()},
                                          {"path/x.csv", fake_variables()}};
  return sets;
}

}  // namespace

const std::vector<FakeVariable>& fake_variables() {
  static const std::vector<FakeVariable> variables = {
      {"age", 1},       {"sex", 2},   {"x1", 1},    {"x2", 1},     {"x3", 1},    {"region", 2},
      {"events", 1},    {"total", 1}, {"rate", 1},  {"risk", 1},   {"group", 2}, {"area_code", 2},
      {"area_size", 1}, {"a b", 1},   {"data", 1},  {"x01", 1},    {"x02", 1}};
  return variables;
}

const host::DataSetServices& fake_services() { return kFakeServices; }

const FakeDataSet* as_fake(const void* data) { return static_cast<const FakeDataSet*>(data); }

StepHooks make_hooks(HookLog* log) {
  StepHooks hooks;
  hooks.open_data_set = [](std::string_view spec, bool quoted, std::string* error) -> host::DataSet* {
    for (FakeDataSet& set : fake_data_sets())
      if (set.name == spec && quoted == (spec.find('/') != std::string_view::npos))
        return reinterpret_cast<host::DataSet*>(&set);
    *error = "no such file";
    return nullptr;
  };
  hooks.data_sets = &kFakeServices;
  hooks.variable_count = [](host::DataSet* data) { return static_cast<int>(as_fake(data)->variables.size()); };
  hooks.apply_by = [log](host::DataSet*, std::span<const ByVariableSpec> variables, bool notsorted, std::string* error) {
    std::string call;
    for (const ByVariableSpec& spec : variables) {
      if (!call.empty()) call += ',';
      if (spec.descending) call += '-';
      call.append(spec.name).append("#").append(std::to_string(spec.number));
      if (spec.name == "region" && !notsorted) *error = "data set pop is not sorted by region";
    }
    log->by_calls.push_back(call + (notsorted ? "/notsorted" : ""));
    return error->empty();
  };
  hooks.report_error = [log](const StatementError& error) { log->errors.push_back(error); };
  hooks.report_warning = [log](const StatementError& warning) { log->warnings.push_back(warning); };
  hooks.trace = [log](std::string_view line) { log->trace.emplace_back(line); };
  return hooks;
}

Step make_step(std::string_view text) {
  Step step;
  step.procedure = "QUILVAR";
  step.file_name = "test.qv";
  step.line = 1;
  step.column = 1;
  step.first_line = 1;
  step.text = std::string(text);
  step.source = std::string(text);
  return step;
}

StepRun::StepRun(const Step& step, int trace)
    : record_(std::make_unique<host::GrammarRecord>()), state_(std::make_unique<host::StatementState>()) {
  begin_step(step, make_hooks(&log_));
  const host::ParserServices& services = parser_services();
  quilvar::syntax::fill_grammar_record(*record_);
  void* context = services.parser_context();
  if (services.parser_factory_a(&record_->support_a, context) != 0 ||
      services.parser_factory_b(&record_->support_b, context) != 0) {
    status_ = -1;
    return;
  }
  record_->default_action = services.default_action();
  status_ = services.parse_statements(record_.get(), state_.get(), trace, 0, 0);
}

StepRun::~StepRun() { end_step(); }

}  // namespace quilvar::runtime::statements::testing
