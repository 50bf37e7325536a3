// A run whose allocations fail for a while (a memory limit reached, then
// memory freed again) at each point of the run in turn: the run never
// crashes, and the output files it writes are whole (the JSON document
// parses, the report's tables, sections and lists are closed, each CSV row
// has the header's fields). Each run is a child process of its own, so that
// one run's state cannot reach the next.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <sstream>
#include <string>

#include "output_support.hpp"

namespace {

// Allocations counted from the run's start; those numbered from
// fail_from on, fail_count of them, throw std::bad_alloc (all threads).
std::atomic<long> allocations{0};
std::atomic<long> fail_from{-1};
constexpr long kFailCount = 40;

}  // namespace

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  const long from = fail_from.load(std::memory_order_relaxed);
  if (from >= 0) {
    const long number = allocations.fetch_add(1, std::memory_order_relaxed);
    if (number >= from && number < from + kFailCount) throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace quilvar::runtime::output {
namespace {

using testing::ModuleDriver;
using testing::OdsObject;
using testing::read_file;
using testing::text_item;

// The BY groups of one step.
void produce_groups() {
  ModuleDriver module;
  double value = 0;
  char label[24];
  for (int group = 0; group < 6; ++group) {
    OdsObject* list = module.create(module.root, "factoid", {text_item(host::kAttrName, "StdInfo")});
    module.invoke(list, host::kMethodAddEntry,
                  {text_item(host::kAttrLabel, "Strata"), host::make_double_item(host::kAttrDynamicValue, 6)});
    module.end_rows(list);
    module.ods.class_operation(list, host::kClassRelease, 0, nullptr);
    OdsObject* made = module.create_template("StrataStats", "Stratum rates");
    module.character_column(made, "Label", label, sizeof label);
    module.numeric_column(made, "Rate", &value);
    module.end_definition(made);
    OdsObject* output = module.open(made, "Vesk.Quilvar.Table");
    for (int row = 0; row < 20; ++row) {
      testing::fill_slot(label, ("stratum " + std::to_string(row)).c_str());
      value = row / 7.0;
      module.add_row(made);
    }
    module.close(output);
  }
}

// Steps of BY groups, each group an information list and a table of a few
// rows, as the procedure delivers them. A failed allocation ends the
// procedure's part of the step (the driver's own checks are not wanted
// here: its statuses are ignored) and the run goes on, as in the program;
// one in the run's own calls stops the run, whose files then go.
void produce_run(const OutputOptions& options) {
  std::string error;
  try {
    if (!begin_run(options, &error)) std::_Exit(2);
    for (int step = 0; step < 2; ++step) {
      begin_step("Step", [step] { return std::vector<ByValue>{{"Year", true, 2000.0 + step, ""}}; });
      try {
        produce_groups();
      } catch (const std::bad_alloc&) {
      }
      end_step(1);
    }
    finish_run(&error);
  } catch (const std::bad_alloc&) {
    fail_from = -1;
    abandon_run();
  }
}

// What is wrong with the files in `folder` ("" when nothing is).
std::string check_files(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  if (fs::exists(folder / "out.json") && !nlohmann::json::accept(read_file(folder / "out.json"))) {
    return "out.json does not parse";
  }
  if (fs::exists(folder / "report.html")) {
    const std::string html = read_file(folder / "report.html");
    const auto count = [&html](std::string_view tag) {
      std::size_t found = 0;
      for (std::size_t at = html.find(tag); at != std::string::npos; at = html.find(tag, at + 1)) ++found;
      return found;
    };
    for (const auto& [opening, closing] : {std::pair{"<table", "</table>"}, {"<section", "</section>"}, {"<ol", "</ol>"}}) {
      if (count(opening) != count(closing)) return "report.html is not whole";
    }
    if (!html.ends_with("</html>\n")) return "report.html is not whole";
  }
  std::error_code code;
  for (const auto& entry : fs::directory_iterator(folder / "csv", code)) {
    const auto records = testing::parse_csv(read_file(entry.path()));
    for (const auto& record : records) {
      if (record.size() != records.front().size()) return entry.path().filename().string() + " has a cut row";
    }
  }
  return "";
}

// Runs the whole run with allocations failing from number `from`; the
// child's exit status: 0 when the files are whole, 1 (with the reason on
// standard error) when not.
int run_failing_from(const std::filesystem::path& folder, long from) {
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const pid_t child = fork();
  if (child == 0) {
    // The driver's own checks fail as calls fail: what they print is noise.
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    std::ostringstream listing;
    OutputOptions options;
    options.listing = &listing;
    options.json_path = (folder / "out.json").string();
    options.csv_dir = (folder / "csv").string();
    options.html_path = (folder / "report.html").string();
    options.html_kept_in_memory = 1;  // the report's text goes through its temporary file
    options.program_name = "test.qv";
    abandon_run();  // the output system exists before allocations fail
    fail_from = from;
    produce_run(options);
    fail_from = -1;
    const std::string problem = check_files(folder);
    std::fputs(problem.c_str(), stderr);
    std::_Exit(problem.empty() ? 0 : 1);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(OutputUnderMemoryFailure, NeverCrashesAndWritesOnlyWholeFiles) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("quilvar_memory_failure_" + std::to_string(getpid()));
  // The run makes some 1,800 allocations; failures starting at every
  // third of them reach each kind of call.
  for (long from = 0; from < 2000; from += 3) {
    SCOPED_TRACE("allocations failing from number " + std::to_string(from));
    EXPECT_EQ(run_failing_from(folder, from), 0);
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace quilvar::runtime::output
