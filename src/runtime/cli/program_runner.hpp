// Runs a program file: loads the procedure module, runs each step with
// fresh step state, and completes the output destinations.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "quilvar/host/services.hpp"
#include "runtime/datasets/datasets.hpp"
#include "runtime/output/atomic_file.hpp"
#include "runtime/statements/program.hpp"

namespace quilvar::runtime {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitStepFailed = 1;
inline constexpr int kExitUsage = 2;

struct RunOptions {
  std::string executable;
  std::string program;                                        // path, or "-" for standard input
  std::string data_dir;
  std::vector<std::pair<std::string, std::string>> libraries;  // NAME, DIR
  bool listing = true;
  std::string html_path, json_path, csv_dir, plots_dir, log_path;
  bool no_graphics = false;
  bool strict = false;
  bool check = false;  // parse and validate against the data sets, compute nothing
};

// Returns the process exit status.
int run_program(const RunOptions& options);

// The runtime around one step, for the program runner and for tests that
// run parts of a step: the data sets the step opened, the one its BY
// statement applies to, and the run's record of the files it reads (null:
// none kept), to which each opened data set's file is added.
struct StepData {
  std::vector<host::DataSet*> opened;
  host::DataSet* by_data = nullptr;
  output::InputFiles* inputs = nullptr;
};

// The module's service tables as the runtime provides them.
host::HostServices* host_services();

// Starts the runtime's side of a step (session, parser, output). A data set
// the step opens without observations is warned about as it is opened: it
// has no BY group, so the module computes nothing from it and says nothing.
void begin_runtime_step(const datasets::Libraries& libraries, const statements::Step& step, const std::string& title,
                        StepData& data);
// Runs body; an ended step or a failure inside it is recorded in the session.
void run_guarded(const std::function<void()>& body);
// Ends the step, closes its data sets and returns its status.
int end_runtime_step(StepData& data);

}  // namespace quilvar::runtime
