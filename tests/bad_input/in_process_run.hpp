// Runs program text in-process through the runtime and the statically
// linked procedure module, keeping each step's status and the numbers of
// the catalog warnings and errors it issued. No output destinations.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace quilvar::testing {

struct InProcessRun {
  std::vector<int> step_statuses;
  std::vector<std::string> messages;  // "908-125", warnings and errors of every step in order
  std::vector<std::size_t> pool_blocks;  // memory blocks each step's pools held when it ended
  std::string log;
};

// folder is the data library and the program's folder.
InProcessRun run_in_process(std::string_view program_text, const std::filesystem::path& folder);

}  // namespace quilvar::testing
