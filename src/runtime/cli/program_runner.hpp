// Runs a program file: loads the procedure module, runs each step with
// fresh step state, and completes the output destinations.
#pragma once

#include <string>
#include <utility>
#include <vector>

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
};

// Returns the process exit status.
int run_program(const RunOptions& options);

}  // namespace quilvar::runtime
