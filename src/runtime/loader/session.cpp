// The runtime session: log lines, step status and step memory.
#include "runtime/loader/session.hpp"

#include <cstdlib>
#include <iostream>

namespace quilvar::runtime {

Session& current_session() {
  static Session session;
  return session;
}

namespace {

constexpr std::string_view level_prefix(LogLevel level) {
  switch (level) {
    case LogLevel::kNote: return "NOTE: ";
    case LogLevel::kWarning: return "WARNING: ";
    case LogLevel::kError: return "ERROR: ";
  }
  return "";
}

std::ostream& log_stream() {
  Session& session = current_session();
  if (session.log != nullptr) return *session.log;
  if (session.before_standard_error != nullptr) session.before_standard_error();
  return std::cerr;
}

}  // namespace

void write_log(LogLevel level, std::string_view text) {
  Session& session = current_session();
  if (level == LogLevel::kWarning) ++session.step.warnings;
  if (level == LogLevel::kError) ++session.step.errors;
  if (level != LogLevel::kNote) {
    StepRecord& step = session.step;
    if (step.reported.size() < kReportedMessages) {
      step.reported.push_back(std::string(level_prefix(level)).append(text));
    } else {
      ++step.unreported;
    }
  }
  log_stream() << level_prefix(level) << text << '\n';
}

void write_log_text(std::string_view text) { log_stream() << text << '\n'; }

void begin_step() {
  Session& session = current_session();
  session.step = StepRecord{};
  ++session.steps_run;
}

int end_step() {
  StepRecord& step = current_session().step;
  for (void* p : step.allocations) std::free(p);
  for (void* p : step.pool_blocks) std::free(p);
  step.allocations.clear();
  step.pool_blocks.clear();
  return step.status;
}

void raise_status(int status) {
  StepRecord& step = current_session().step;
  if (status > step.status) step.status = status;
}

}  // namespace quilvar::runtime
