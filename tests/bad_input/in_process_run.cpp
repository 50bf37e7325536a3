#include "in_process_run.hpp"

#include <array>
#include <sstream>
#include <variant>

#include "quilvar/entry/driver.hpp"
#include "quilvar/host/calls.hpp"
#include "runtime/catalog/catalog.hpp"
#include "runtime/cli/program_runner.hpp"
#include "runtime/loader/session.hpp"
#include "runtime/output/output.hpp"
#include "runtime/statements/program.hpp"

namespace quilvar::testing {

namespace {

bool is_warning_or_error(const runtime::IssuedMessage& m) {
  const runtime::catalog::CatalogEntry* entry = runtime::catalog::find_entry(m.set, m.number);
  return entry == nullptr || entry->severity == runtime::catalog::Severity::kWarning ||
         entry->severity == runtime::catalog::Severity::kError;
}

}  // namespace

InProcessRun run_in_process(std::string_view program_text, const std::filesystem::path& folder) {
  InProcessRun run;
  std::ostringstream log;
  runtime::current_session().log = &log;
  constexpr std::array<std::string_view, 1> procedures{"QUILVAR"};
  runtime::statements::Diagnostics diagnostics;
  const auto program = runtime::statements::split_program(program_text, "program.qv", procedures, diagnostics);
  std::string error;
  runtime::output::begin_run({}, &error);
  host::module_state() = {runtime::host_services(), nullptr};
  const runtime::datasets::Libraries libraries{folder, {}, folder};
  for (const auto& item : program.items) {
    if (const auto* graphics = std::get_if<runtime::statements::GraphicsStatement>(&item)) {
      runtime::output::set_graphics_enabled(graphics->on);
    } else if (const auto* step = std::get_if<runtime::statements::Step>(&item)) {
      runtime::StepData data;
      runtime::begin_runtime_step(libraries, *step, "", data);
      runtime::run_guarded([] { quilvar::run_step(); });
      for (const auto& m : runtime::current_session().step.messages) {
        if (is_warning_or_error(m)) run.messages.push_back(std::to_string(m.set) + "-" + std::to_string(m.number));
      }
      run.pool_blocks.push_back(runtime::current_session().step.pool_blocks.size());
      run.step_statuses.push_back(runtime::end_runtime_step(data));
    }
  }
  runtime::output::finish_run(&error);
  host::module_state() = {};
  runtime::current_session().log = nullptr;
  run.log = log.str();
  return run;
}

}  // namespace quilvar::testing
