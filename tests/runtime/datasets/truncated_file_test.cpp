// A data set file truncated by another program while the run reads it
// through its mapping: the read faults, and the run must end with a line
// naming the file and without its temporary output files, not crash. A file
// that grows meanwhile (an export still writing it) was read only in part,
// and ends the run the same way when the data set is closed.
#include "runtime/datasets/mapped_file.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "runtime/datasets/datasets.hpp"
#include "runtime/output/signal_cleanup.hpp"

namespace quilvar::runtime::datasets {
namespace {

namespace fs = std::filesystem;

struct ChildEnd {
  int status = 0;
  std::string standard_error;
};

// Runs `body` in a child with the handlers installed and `temporary`
// registered; the child ends with status 0 when body returns.
ChildEnd run_in_child(const fs::path& temporary, const std::function<void()>& body) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipe_ends[1], STDERR_FILENO);
    close(pipe_ends[0]);
    output::install_signal_cleanup();
    output::register_temporary_file(temporary);
    body();
    _exit(0);
  }
  close(pipe_ends[1]);
  ChildEnd end;
  char buffer[512];
  for (ssize_t got; (got = read(pipe_ends[0], buffer, sizeof buffer)) > 0;) end.standard_error.append(buffer, got);
  close(pipe_ends[0]);
  waitpid(child, &end.status, 0);
  return end;
}

TEST(TruncatedDataFile, EndsWithALineNamingTheFileAndNoTemporaryFiles) {
  const fs::path folder = fs::temp_directory_path() / ("quilvar_truncated_" + std::to_string(getpid()));
  fs::create_directories(folder);
  const fs::path data = folder / "regions.csv";
  std::ofstream(data) << "area,deaths\n" << std::string(3 * 4096, 'x');
  const fs::path temporary = folder / ".report.json.1.tmp";
  std::ofstream(temporary) << "partial";

  // Maps the file, truncates it to nothing and reads its last byte.
  const ChildEnd end = run_in_child(temporary, [&] {
    MappedFile file;
    std::string error;
    if (!file.open(data, &error)) _exit(20);
    if (truncate(data.c_str(), 0) != 0) _exit(21);
    const volatile char* last = file.data() + file.size() - 1;
    _exit(*last == 'x' ? 22 : 23);  // not reached: the page is gone
  });
  ASSERT_TRUE(WIFEXITED(end.status)) << "ended by signal " << (WIFSIGNALED(end.status) ? WTERMSIG(end.status) : 0);
  EXPECT_EQ(WEXITSTATUS(end.status), output::kTruncatedMappingExit);
  EXPECT_EQ(end.standard_error, "quilvar: ERROR: data set file \"" + data.string() +
                                    "\" was cut short while it was being read (another program truncated or "
                                    "rewrote it); the run is stopped and no output files are written\n");
  EXPECT_FALSE(fs::exists(temporary));
  fs::remove_all(folder);
}

// Rows appended after the data set was opened were never read, and its
// last row may have been cut anywhere: closing it ends the run. A new
// version renamed over the name does not, since the run keeps the file it
// opened.
TEST(GrownDataFile, EndsTheRunWhenClosedButARenamedNewVersionDoesNot) {
  const fs::path folder = fs::temp_directory_path() / ("quilvar_grown_" + std::to_string(getpid()));
  fs::create_directories(folder);
  const fs::path data = folder / "regions.csv";
  const fs::path temporary = folder / ".report.json.1.tmp";
  const auto open_then = [&](const std::function<void()>& change) {
    std::ofstream(data) << "area,deaths\nA,12";
    std::ofstream(temporary) << "partial";
    return run_in_child(temporary, [&] {
      std::string error;
      host::DataSet* set = open_data_set(Libraries{folder, {}, folder}, data.string(), true, &error);
      if (set == nullptr) _exit(20);
      change();
      close_data_set(set);
    });
  };

  const ChildEnd grown = open_then([&] { std::ofstream(data, std::ios::app) << "34\nB,5\n"; });
  ASSERT_TRUE(WIFEXITED(grown.status));
  EXPECT_EQ(WEXITSTATUS(grown.status), output::kTruncatedMappingExit);
  EXPECT_EQ(grown.standard_error,
            "quilvar: ERROR: data set file \"" + data.string() +
                "\" changed size while it was being read (another program is still writing it, or rewrote it), so "
                "what was read is not the whole file: let that program finish, then run again; the run is stopped "
                "and no output files are written\n");
  EXPECT_FALSE(fs::exists(temporary));

  const ChildEnd renamed = open_then([&] {
    std::ofstream(folder / "next.csv") << "area,deaths\nA,1234\nB,5\n";
    fs::rename(folder / "next.csv", data);
  });
  ASSERT_TRUE(WIFEXITED(renamed.status));
  EXPECT_EQ(WEXITSTATUS(renamed.status), 0);
  EXPECT_EQ(renamed.standard_error, "");
  EXPECT_TRUE(fs::exists(temporary));
  fs::remove_all(folder);
}

}  // namespace
}  // namespace quilvar::runtime::datasets
