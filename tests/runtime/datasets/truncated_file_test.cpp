// A data set file truncated by another program while the run reads it
// through its mapping: the read faults, and the run must end with a line
// naming the file and without its temporary output files, not crash.
#include "runtime/datasets/mapped_file.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "runtime/output/signal_cleanup.hpp"

namespace quilvar::runtime::datasets {
namespace {

namespace fs = std::filesystem;

struct ChildEnd {
  int status = 0;
  std::string standard_error;
};

// In a child with the handlers installed: maps `data`, registers `temporary`,
// truncates the file to nothing and reads its last byte.
ChildEnd read_after_truncation(const fs::path& data, const fs::path& temporary) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipe_ends[1], STDERR_FILENO);
    close(pipe_ends[0]);
    output::install_signal_cleanup();
    output::register_temporary_file(temporary);
    MappedFile file;
    std::string error;
    if (!file.open(data, &error)) _exit(20);
    if (truncate(data.c_str(), 0) != 0) _exit(21);
    const volatile char* last = file.data() + file.size() - 1;
    _exit(*last == 'x' ? 22 : 23);  // not reached: the page is gone
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

  const ChildEnd end = read_after_truncation(data, temporary);
  ASSERT_TRUE(WIFEXITED(end.status)) << "ended by signal " << (WIFSIGNALED(end.status) ? WTERMSIG(end.status) : 0);
  EXPECT_EQ(WEXITSTATUS(end.status), output::kTruncatedMappingExit);
  EXPECT_EQ(end.standard_error, "quilvar: ERROR: data set file \"" + data.string() +
                                    "\" was cut short while it was being read (another program truncated or "
                                    "rewrote it); the run is stopped and no output files are written\n");
  EXPECT_FALSE(fs::exists(temporary));
  fs::remove_all(folder);
}

}  // namespace
}  // namespace quilvar::runtime::datasets
