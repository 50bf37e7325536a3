#include "support/step_harness.hpp"

#include <algorithm>
#include <fstream>
#include <random>

#include "quilvar/entry/statement_setup.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/syntax/resolve_options.hpp"
#include "runtime/cli/program_runner.hpp"
#include "runtime/output/output.hpp"
#include "runtime/statements/program.hpp"

namespace quilvar::testing {

bool StepOutcome::has_message(int set, int number) const {
  for (const auto& m : messages) {
    if (m.set == set && m.number == number) return true;
  }
  return false;
}

std::string StepOutcome::message_list() const {
  std::string list;
  for (const auto& m : messages) {
    if (!list.empty()) list += ' ';
    list += std::to_string(m.set) + "-" + std::to_string(m.number);
    if (m.args.empty()) continue;
    list += '(';
    for (std::size_t i = 0; i < m.args.size(); ++i) list += (i ? "," : "") + m.args[i];
    list += ')';
  }
  return list;
}

StepHarness::StepHarness(const std::map<std::string, std::string>& files) {
  std::random_device random;
  folder_ = std::filesystem::temp_directory_path() / ("quilvar-step-" + std::to_string(random()));
  std::filesystem::create_directories(folder_);
  for (const auto& [name, content] : files) std::ofstream(folder_ / name) << content;
}

StepHarness::~StepHarness() { std::filesystem::remove_all(folder_); }

StepOutcome StepHarness::resolve(const std::string& statements,
                                 const std::function<void(const ProcContext&)>& inspect) {
  StepOutcome outcome;
  outcome.context = std::make_unique<ProcContext>();
  std::ostringstream log;
  runtime::current_session().log = &log;
  runtime::statements::Diagnostics diagnostics;
  const std::string_view procedures[] = {"QUILVAR"};
  const auto program = runtime::statements::split_program("proc quilvar " + statements + "\nrun;\n", "test.qv",
                                                          procedures, diagnostics);
  std::string error;
  runtime::output::begin_run({}, &error);
  host::module_state() = {runtime::host_services(), nullptr};
  runtime::datasets::Libraries libraries{folder_, {}, folder_};
  runtime::StepData data;
  begin_runtime_step(libraries, std::get<runtime::statements::Step>(program.items.at(0)), "", data);
  ProcContext& context = *outcome.context;
  runtime::run_guarded([&context] {
    host::StatementState* state = set_up_statement_state();
    syntax::resolve_options(context, *state);
  });
  if (inspect) inspect(context);
  outcome.messages = runtime::current_session().step.messages;
  outcome.status = std::max(runtime::end_runtime_step(data), context.step_status);
  runtime::output::finish_run(&error);
  host::module_state() = {};
  runtime::current_session().log = nullptr;
  outcome.log = log.str();
  return outcome;
}

}  // namespace quilvar::testing
