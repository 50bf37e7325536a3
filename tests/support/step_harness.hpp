// Runs a step's option resolution (or the whole step) inside the real
// runtime, on small CSV data sets written to a scratch folder, and keeps
// what a test inspects: the context's settings, the messages issued, the
// status and the log.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "quilvar/entry/proc_context.hpp"
#include "runtime/loader/session.hpp"

namespace quilvar::testing {

struct StepOutcome {
  std::unique_ptr<ProcContext> context;   // scalar settings stay valid; pool pointers do not
  int status = 0;                         // the runtime's step status
  std::vector<runtime::IssuedMessage> messages;
  std::string log;
  bool has_message(int set, int number) const;
  // "908-115(EFFECT,METHOD=INDIRECT)" for each message, joined by blanks.
  std::string message_list() const;
};

class StepHarness {
 public:
  // Writes each file (name -> content) into a fresh scratch folder.
  explicit StepHarness(const std::map<std::string, std::string>& files);
  ~StepHarness();

  // Parses "PROC QUILVAR <statements> RUN;" and resolves its options. The
  // inspect callback sees the context while the step's memory is alive.
  StepOutcome resolve(const std::string& statements,
                      const std::function<void(const ProcContext&)>& inspect = nullptr);

  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
};

}  // namespace quilvar::testing
