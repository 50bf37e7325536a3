// Temporary files removed when the program is ended by a signal: only the
// registered ones, and the process still ends by the signal it received.
#include "runtime/output/signal_cleanup.hpp"
#include "runtime/output/atomic_file.hpp"
#include "runtime/output/destination.hpp"
#include "runtime/output/file_writer.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace quilvar::runtime::output {
namespace {

namespace fs = std::filesystem;

// Names the folder of the test whose part runs in a new copy of this
// program, so that the copy works in the same folder.
constexpr const char* kFolderVariable = "QUILVAR_TEST_CLEANUP_FOLDER";

class SignalCleanup : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* shared = std::getenv(kFolderVariable);
    folder_ = shared != nullptr ? fs::path(shared)
                                : fs::temp_directory_path() / ("quilvar_cleanup_" + std::to_string(::getpid()));
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path make_file(const std::string& name) {
    const fs::path path = folder_ / name;
    std::ofstream(path) << "partial";
    return path;
  }

  fs::path folder_;
};

TEST_F(SignalCleanup, RemovesOnlyFilesStillRegistered) {
  const fs::path kept = make_file("kept.tmp");
  const fs::path removed = make_file("removed.tmp");
  const fs::path later = make_file("later.tmp");
  const int kept_token = register_temporary_file(kept);
  ASSERT_GE(kept_token, 0);
  unregister_temporary_file(kept_token);
  // The freed entry takes a new path; the old one must not survive in it.
  const int removed_token = register_temporary_file(removed);
  const int later_token = register_temporary_file(later);
  ASSERT_GE(removed_token, 0);
  ASSERT_GE(later_token, 0);
  EXPECT_NE(removed_token, later_token);

  remove_registered_files();
  EXPECT_TRUE(fs::exists(kept));
  EXPECT_FALSE(fs::exists(removed));
  EXPECT_FALSE(fs::exists(later));
  unregister_temporary_file(removed_token);
  unregister_temporary_file(later_token);
}

// A program of many steps keeps hundreds of CSV files open: every one is
// removed.
TEST_F(SignalCleanup, HundredsOfFilesAreAllRemoved) {
  std::vector<int> tokens;
  for (int i = 0; i < 300; ++i) {
    tokens.push_back(register_temporary_file(make_file("many" + std::to_string(i) + ".tmp")));
    ASSERT_GE(tokens.back(), 0) << i;
  }
  remove_registered_files();
  EXPECT_TRUE(fs::is_empty(folder_));
  for (int token : tokens) unregister_temporary_file(token);
}

TEST_F(SignalCleanup, UnusablePathsAreNotRegistered) {
  EXPECT_EQ(register_temporary_file(fs::path()), -1);
  EXPECT_EQ(register_temporary_file(folder_ / std::string(5000, 'x')), -1);
  unregister_temporary_file(-1);  // ignored
}

TEST_F(SignalCleanup, AtomicFileIsRegisteredUntilCommitted) {
  AtomicFile file;
  std::string error;
  ASSERT_TRUE(file.open(folder_ / "report.csv", &error)) << error;
  const fs::path temporary = file.temporary_path();
  ASSERT_TRUE(fs::exists(temporary));
  remove_registered_files();
  EXPECT_FALSE(fs::exists(temporary));
  file.discard();

  // A committed file has left the table: its final name stays.
  ASSERT_TRUE(file.open(folder_ / "report.csv", &error)) << error;
  file.write("a,b\n");
  ASSERT_TRUE(file.commit(&error)) << error;
  remove_registered_files();
  EXPECT_TRUE(fs::exists(folder_ / "report.csv"));
}

// The folders made for a file not yet committed go with it, deepest first,
// unless another file has gone into one; a committed file's folders stay.
TEST_F(SignalCleanup, FoldersMadeForAnUncommittedFileGoWithIt) {
  AtomicFile file;
  std::string error;
  ASSERT_TRUE(file.open(folder_ / "made" / "deeper" / "report.json", &error)) << error;
  remove_registered_files();
  EXPECT_FALSE(fs::exists(folder_ / "made"));
  file.discard();

  ASSERT_TRUE(file.open(folder_ / "shared" / "deeper" / "report.json", &error)) << error;
  make_file("shared/other.csv");
  remove_registered_files();
  EXPECT_FALSE(fs::exists(folder_ / "shared" / "deeper"));
  EXPECT_TRUE(fs::exists(folder_ / "shared" / "other.csv"));
  file.discard();

  ASSERT_TRUE(file.open(folder_ / "kept" / "report.json", &error)) << error;
  ASSERT_TRUE(file.commit(&error)) << error;
  fs::remove(folder_ / "kept" / "report.json");
  remove_registered_files();
  EXPECT_TRUE(fs::exists(folder_ / "kept"));
}

// The CSV and plots folders a run makes go when a signal ends the run before
// a file is in them, and when the run ends having put none there; a folder
// that was there before stays, and so does one that holds a file.
TEST_F(SignalCleanup, CsvAndPlotsFoldersTheRunMadeGoWhenLeftEmpty) {
  std::string error;
  {
    auto csv = make_csv_destination((folder_ / "csv" / "deeper").string(), nullptr, nullptr, &error);
    ASSERT_NE(csv, nullptr) << error;
    remove_registered_files();
    EXPECT_FALSE(fs::exists(folder_ / "csv"));
  }
  for (const bool holds_file : {false, true}) {
    SCOPED_TRACE(holds_file);
    auto csv = make_csv_destination((folder_ / "made").string(), nullptr, nullptr, &error);
    auto plots = make_plots_destination((folder_ / "plots" / "deeper").string(), nullptr, nullptr, &error);
    fs::create_directories(folder_ / "before");
    auto existing = make_plots_destination((folder_ / "before").string(), nullptr, nullptr, &error);
    ASSERT_TRUE(csv != nullptr && plots != nullptr && existing != nullptr) << error;
    if (holds_file) make_file("made/kept.csv");
    EXPECT_TRUE(csv->finish(&error)) << error;
    EXPECT_TRUE(plots->finish(&error)) << error;
    EXPECT_TRUE(existing->finish(&error)) << error;
    EXPECT_EQ(fs::exists(folder_ / "made"), holds_file);
    EXPECT_FALSE(fs::exists(folder_ / "plots"));
    EXPECT_TRUE(fs::exists(folder_ / "before"));
  }
  remove_registered_files();  // the folders are no longer registered
  EXPECT_TRUE(fs::exists(folder_ / "made" / "kept.csv"));
}

// Registers a file, installs the handlers in a child process and raises the
// signal there; the child's exit is reported as by waitpid.
int raise_in_child(int number, bool ignored_before, const fs::path& file) {
  const int token = register_temporary_file(file);  // before fork: the child only raises
  const pid_t child = fork();
  if (child == 0) {
    const rlimit no_core{0, 0};  // SIGQUIT and SIGBUS would dump core
    setrlimit(RLIMIT_CORE, &no_core);
    if (ignored_before) signal(number, SIG_IGN);
    install_signal_cleanup();
    raise(number);
    _exit(7);
  }
  int status = 0;
  waitpid(child, &status, 0);
  unregister_temporary_file(token);
  return status;
}

// Keys, kill, a lost terminal or reader, a CPU time limit and a batch
// scheduler's warnings; SIGBUS sent, or raised by a fault outside the
// guarded mappings, is a crash: the files go all the same.
TEST_F(SignalCleanup, HandlersRemoveTheFilesAndEndByTheSameSignal) {
  for (int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGXCPU, SIGUSR1, SIGUSR2, SIGBUS}) {
    SCOPED_TRACE(number);
    const fs::path file = make_file("signal.tmp");
    const int status = raise_in_child(number, false, file);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), number);
    EXPECT_FALSE(fs::exists(file));
  }
}

TEST_F(SignalCleanup, ASignalIgnoredBeforehandStaysIgnored) {
  const fs::path file = make_file("ignored.tmp");
  const int status = raise_in_child(SIGHUP, true, file);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  EXPECT_TRUE(fs::exists(file));
}

// The handler returns before the signal it raises again ends the process,
// so it must leave errno as it found it, although its unlink and rmdir fail
// here (a file already gone, a folder holding another file). The signals
// come from another process, as kill(1) sends them, and the child's
// standard error must stay empty: a thread checker reports a handler that
// changes errno there.
TEST_F(SignalCleanup, AHandlerWhoseRemovalsFailLeavesErrnoAsItWas) {
  fs::create_directories(folder_ / "held");
  const fs::path other = make_file("held/other.csv");
  const int file_token = register_temporary_file(folder_ / "gone.tmp");
  const int folder_token = register_made_folder(folder_ / "held");
  ASSERT_GE(file_token, 0);
  ASSERT_GE(folder_token, 0);
  for (int number : {SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2}) {
    SCOPED_TRACE(number);
    const fs::path said = folder_ / "stderr.txt";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
      const rlimit no_core{0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      const int error_file = ::open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (error_file < 0 || dup2(error_file, STDERR_FILENO) < 0) _exit(20);
      signal(number, SIG_DFL);  // not left ignored by whoever started the tests
      install_signal_cleanup();
      if (write(ready[1], "r", 1) != 1) _exit(21);
      for (;;) pause();
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    kill(child, number);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), number);
    std::ifstream text(said);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(text), {}), "");
    EXPECT_TRUE(fs::exists(other));
  }
  unregister_temporary_file(file_token);
  unregister_temporary_file(folder_token);
}

// Writes past a file size limit of one block; exits 0 when the commit fails
// with the message naming the file.
void write_past_file_size_limit(const fs::path& path) {
  install_signal_cleanup();
  const rlimit limit{FileWriter::kBlockSize, FileWriter::kBlockSize};
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(20);
  AtomicFile file;
  std::string error;
  if (!file.open(path, &error)) _exit(21);
  file.write(std::string(3 * FileWriter::kBlockSize, 'x'));
  if (file.commit(&error)) _exit(22);
  _exit(error == "cannot write " + path.string() + ": File too large" ? 0 : 23);
}

// Past a file size limit (ulimit -f) the write fails and the commit says
// which file, rather than SIGXFSZ ending the process with its files behind.
// The writing runs in a new copy of this program: a child forked from it
// after an earlier test started the file writer thread would have no such
// thread and wait for it for ever.
TEST_F(SignalCleanup, AFileSizeLimitIsAWriteErrorNamingTheFile) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ::setenv(kFolderVariable, folder_.c_str(), 1);
  EXPECT_EXIT(write_past_file_size_limit(folder_ / "large.csv"), ::testing::ExitedWithCode(0), "");
  ::unsetenv(kFolderVariable);
  EXPECT_TRUE(fs::is_empty(folder_));
}

}  // namespace
}  // namespace quilvar::runtime::output
