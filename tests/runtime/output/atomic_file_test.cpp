// Output files written in blocks by the writer thread, with direct I/O where
// the file system has it and through the cache where it has not: every byte
// arrives in order, whatever the sizes of the pieces, and nothing shows
// under the final name before the commit. Links, FIFOs and devices keep
// what they are; a file the run reads is never replaced.
#include "runtime/output/atomic_file.hpp"
#include "runtime/output/file_writer.hpp"
#include "runtime/output/signal_cleanup.hpp"
#include "support/run_as.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quilvar::runtime::output {
namespace {

using quilvar::testing::can_run_as;
using quilvar::testing::kNobody;

std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Writes pieces of random sizes (some larger than a block) through both the
// write call and the buffer, and checks the file against what was written.
void write_and_check(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  const std::filesystem::path path = folder / "pieces.txt";
  std::mt19937 random(5);
  std::string expected;
  AtomicFile file;
  std::string error;
  ASSERT_TRUE(file.open(path, &error)) << error;
  while (expected.size() < 5 * FileWriter::kBlockSize + 12345) {
    const std::size_t size = random() % 3 == 0 ? random() % (FileWriter::kBlockSize + 7000) : random() % 300;
    std::string piece(size, '\0');
    for (char& c : piece) c = static_cast<char>('a' + random() % 26);
    expected += piece;
    if (random() % 2 == 0) {
      file.write(piece);
    } else {
      file.buffer() += piece;
      file.write_if_full();
    }
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  ASSERT_TRUE(file.commit(&error)) << error;
  const std::string written = read_all(path);
  ASSERT_EQ(written.size(), expected.size());
  EXPECT_TRUE(written == expected);
  std::filesystem::remove_all(folder);
}

TEST(AtomicFile, EveryByteArrivesInOrderOnADiskFolder) {
  write_and_check(std::filesystem::temp_directory_path() / ("quilvar_atomic_" + std::to_string(::getpid())));
}

// tmpfs has no direct I/O: the file is written through the cache.
TEST(AtomicFile, EveryByteArrivesInOrderWhereDirectWritingIsRefused) {
  if (!std::filesystem::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  write_and_check(std::filesystem::path("/dev/shm") / ("quilvar_atomic_" + std::to_string(::getpid())));
}

// A file smaller than the buffer is written at the commit in one piece; one
// that fills it goes to the writer thread in blocks, its tail after them.
TEST(AtomicFile, FilesAroundTheBufferSizeArriveWhole) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("quilvar_atomic_sizes_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, FileWriter::kAlignment - 1,
                                 FileWriter::kAlignment + 1, AtomicFile::kBufferSize - 1, AtomicFile::kBufferSize,
                                 AtomicFile::kBufferSize + FileWriter::kAlignment + 3}) {
    SCOPED_TRACE(size);
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i * 7 % 26);
    const std::filesystem::path path = folder / ("file" + std::to_string(size));
    AtomicFile file;
    std::string error;
    ASSERT_TRUE(file.open(path, &error)) << error;
    file.write(text);
    ASSERT_TRUE(file.commit(&error)) << error;
    EXPECT_TRUE(read_all(path) == text);
  }
  std::filesystem::remove_all(folder);
}

TEST(AtomicFile, ADiscardedFileLeavesNothing) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("quilvar_atomic_discard_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  {
    AtomicFile file;
    std::string error;
    ASSERT_TRUE(file.open(folder / "gone.txt", &error)) << error;
    file.write(std::string(3 * FileWriter::kBlockSize, 'x'));
  }
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  std::filesystem::remove_all(folder);
}

// Two writers of one name at once, with the same process id (as runs in
// containers of their own have): each gets a temporary file of its own,
// both commit, and the last commit's text stands whole.
TEST(AtomicFile, WritersOfOneNameAtOnceKeepTheirTemporaryFilesApart) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("quilvar_atomic_shared_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path path = folder / "report.json";
  std::string error;
  AtomicFile first;
  AtomicFile second;
  ASSERT_TRUE(first.open(path, &error)) << error;
  ASSERT_TRUE(second.open(path, &error)) << error;
  EXPECT_NE(first.temporary_path(), second.temporary_path());
  first.write(std::string(FileWriter::kBlockSize + 10, 'a'));
  second.write(std::string(2 * FileWriter::kBlockSize + 20, 'b'));
  ASSERT_TRUE(first.commit(&error)) << error;
  EXPECT_EQ(read_all(path), std::string(FileWriter::kBlockSize + 10, 'a'));
  ASSERT_TRUE(second.commit(&error)) << error;
  EXPECT_EQ(read_all(path), std::string(2 * FileWriter::kBlockSize + 20, 'b'));
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++files;
  EXPECT_EQ(files, 1u);
  std::filesystem::remove_all(folder);
}

TEST(AtomicFile, PlacesThatCannotBeWrittenAreNamedAsTheUserGaveThem) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("quilvar_atomic_refused_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "plain") << "a file, not a folder";
  std::string error;
  AtomicFile file;
  // A missing folder is made; one that a file stands in the way of is not.
  EXPECT_TRUE(file.open(folder / "new-folder" / "deeper" / "report.html", &error)) << error;
  EXPECT_TRUE(file.commit(&error)) << error;
  EXPECT_TRUE(std::filesystem::is_regular_file(folder / "new-folder" / "deeper" / "report.html"));
  const std::filesystem::path blocked = folder / "plain" / "report.html";
  EXPECT_FALSE(file.open(blocked, &error));
  EXPECT_EQ(error, "cannot write " + blocked.string() + ": Not a directory");
  EXPECT_TRUE(make_output_folder((folder / "made" / "deeper").string(), "CSV", &error)) << error;
  EXPECT_TRUE(std::filesystem::is_directory(folder / "made" / "deeper"));
  EXPECT_FALSE(make_output_folder((folder / "plain").string(), "plots", &error));
  EXPECT_EQ(error.rfind("cannot create the plots folder " + (folder / "plain").string() + ": ", 0), 0u) << error;
  std::filesystem::remove_all(folder);
}

// A folder the run may not add files to is refused when the outputs are
// set up, before any BY group is computed. Run by an unprivileged user
// (root may write into any folder of a writable file system). The child is
// forked without a new copy of the program, which would make a folder of
// its own name; it touches no thread of the output system.
TEST(AtomicFileDeathTest, AFolderWithoutWritePermissionIsRefusedAtOnce) {
  GTEST_FLAG_SET(death_test_style, "fast");
  if (!can_run_as(kNobody)) GTEST_SKIP() << "no unprivileged user to run as";
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("quilvar_atomic_locked_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder / "locked");
  std::filesystem::permissions(folder / "locked", static_cast<std::filesystem::perms>(0555));  // r-x for all
  const std::string locked = (folder / "locked").string();
  EXPECT_EXIT(
      {
        if (::geteuid() == 0 && ::setuid(kNobody) != 0) std::_Exit(3);
        std::string error;
        const bool made = make_output_folder(locked, "CSV", &error);
        std::fputs(error.c_str(), stderr);
        std::_Exit(made ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "cannot write into the CSV folder " + locked + ": Permission denied");
  std::filesystem::remove_all(folder);
}

class AtomicFileTarget : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("quilvar_atomic_target_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_ / "real");
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  // Writes the text through an AtomicFile named `path`; the commit's result.
  static bool write_file(const std::filesystem::path& path, const std::string& text, std::string* error,
                         const InputFiles* inputs = nullptr) {
    AtomicFile file;
    if (!file.open(path, error, inputs)) return false;
    file.write(text);
    return file.commit(error);
  }

  // Whether a folder holds a hidden temporary file.
  static bool has_temporary(const std::filesystem::path& folder) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.path().filename().string().ends_with(".tmp")) return true;
    }
    return false;
  }

  std::filesystem::path folder_;
};

// A chain of relative links, and a link to a file not made yet: each link
// stays a link and the file at the end of the chain takes the text.
TEST_F(AtomicFileTarget, LinksStayLinksAndTheFileTheyNameGetsTheText) {
  namespace fs = std::filesystem;
  std::ofstream(folder_ / "real" / "report.html") << "stale report";
  fs::create_symlink("real/report.html", folder_ / "first");
  fs::create_symlink("first", folder_ / "second");
  fs::create_symlink("real/new.html", folder_ / "dangling");
  const struct {
    const char* link;
    const char* file;
  } cases[] = {{"second", "real/report.html"}, {"first", "real/report.html"}, {"dangling", "real/new.html"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    const std::string text = std::string("new text through ") + c.link;
    std::string error;
    ASSERT_TRUE(write_file(folder_ / c.link, text, &error)) << error;
    EXPECT_TRUE(fs::is_symlink(folder_ / c.link));
    EXPECT_EQ(read_all(folder_ / c.file), text);
  }
  EXPECT_TRUE(fs::is_symlink(folder_ / "first"));
  EXPECT_FALSE(has_temporary(folder_));
  EXPECT_FALSE(has_temporary(folder_ / "real"));
}

// A file written again keeps the permission bits it had, whether wider or
// narrower than the umask gives a new file; a new file takes the umask's.
TEST_F(AtomicFileTarget, AReplacedFileKeepsItsPermissions) {
  namespace fs = std::filesystem;
  const mode_t umask_was = ::umask(022);
  const struct {
    const char* name;
    fs::perms before;
  } cases[] = {{"shared.csv", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                  fs::perms::group_write},
               {"private.json", fs::perms::owner_read | fs::perms::owner_write}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(folder_ / c.name) << "old run";
    fs::permissions(folder_ / c.name, c.before);
    std::string error;
    ASSERT_TRUE(write_file(folder_ / c.name, "new run", &error)) << error;
    EXPECT_EQ(read_all(folder_ / c.name), "new run");
    EXPECT_EQ(fs::status(folder_ / c.name).permissions(), c.before);
  }
  std::string error;
  ASSERT_TRUE(write_file(folder_ / "new.html", "first run", &error)) << error;
  EXPECT_EQ(fs::status(folder_ / "new.html").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  ::umask(umask_was);
}

// A name as long as a folder takes (255 bytes), or nearly, is written:
// the temporary name beside it is cut to fit, between characters.
TEST_F(AtomicFileTarget, NamesAsLongAsAFolderTakesAreWritten) {
  const std::string names[] = {
      std::string(255, 'a'),
      std::string(250, 'b') + ".json",
      std::string(253, 'c') + "\xC3\xA9",             // ends in a two-byte letter
      std::string(230, 'd') + "\xE6\x97\xA5" + "e.csv",  // a three-byte letter near the end
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name.size());
    std::string error;
    ASSERT_TRUE(write_file(folder_ / name, "text", &error)) << error;
    EXPECT_EQ(read_all(folder_ / name), "text");
  }
  EXPECT_FALSE(has_temporary(folder_));
}

TEST_F(AtomicFileTarget, ALoopOfLinksIsRefused) {
  std::filesystem::create_symlink("b", folder_ / "a");
  std::filesystem::create_symlink("a", folder_ / "b");
  std::string error;
  EXPECT_FALSE(write_file(folder_ / "a", "text", &error));
  EXPECT_EQ(error, "cannot write " + (folder_ / "a").string() + ": Too many levels of symbolic links");
  EXPECT_TRUE(std::filesystem::is_symlink(folder_ / "a"));
}

// A FIFO is written straight into: its reader gets every byte, more than a
// writer block's worth, and a signal's cleanup while it is open leaves it.
// The read end is opened first, so that opening the write end does not
// wait, and a FIFO replaced by a file would give the reader nothing.
TEST_F(AtomicFileTarget, AFifoIsWrittenIntoAndStaysAFifo) {
  const std::filesystem::path fifo = folder_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int read_end = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(read_end, 0);
  AtomicFile file;
  std::string error;
  ASSERT_TRUE(file.open(fifo, &error)) << error;
  EXPECT_TRUE(file.temporary_path().empty());
  ASSERT_EQ(::fcntl(read_end, F_SETFL, 0), 0);  // reads wait for the writer from here on
  std::string received;
  std::thread reader([&] {
    std::array<char, 65536> piece;
    ssize_t size = 0;
    while ((size = ::read(read_end, piece.data(), piece.size())) > 0) received.append(piece.data(), size);
  });
  std::string expected(2 * FileWriter::kBlockSize + 777, '\0');
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<char>('a' + i % 23);
  file.write(expected);
  remove_registered_files();
  EXPECT_TRUE(file.commit(&error)) << error;
  reader.join();
  ::close(read_end);
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
  struct stat info {};
  ASSERT_EQ(::stat(fifo.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// Written in place, so there is no temporary file; were there one, the
// commit would rename it over the device (as root), so it is discarded.
TEST_F(AtomicFileTarget, DevNullTakesTheTextAndStaysACharacterDevice) {
  AtomicFile file;
  std::string error;
  ASSERT_TRUE(file.open("/dev/null", &error)) << error;
  const std::filesystem::path temporary = file.temporary_path();
  if (!temporary.empty()) {
    file.discard();
    FAIL() << "/dev/null would be replaced through " << temporary;
  }
  file.write(std::string(FileWriter::kBlockSize + 5, 'x'));
  EXPECT_TRUE(file.commit(&error)) << error;
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

// The data set is refused under its own name and through a link; a file
// that is not an input is still written with the same record.
TEST_F(AtomicFileTarget, AnInputIsNeverReplaced) {
  namespace fs = std::filesystem;
  const fs::path data = folder_ / "real" / "regions.csv";
  std::ofstream(data) << "region,deaths\nCoast,7\n";
  fs::create_symlink("real/regions.csv", folder_ / "data-link");
  InputFiles inputs;
  inputs.add(data);
  for (const fs::path& name : {data, folder_ / "data-link"}) {
    SCOPED_TRACE(name);
    std::string error;
    EXPECT_FALSE(write_file(name, "{}", &error, &inputs));
    EXPECT_EQ(error, "cannot write " + name.string() + ": it is a data set this program reads; it was not overwritten");
  }
  EXPECT_EQ(read_all(data), "region,deaths\nCoast,7\n");
  EXPECT_TRUE(fs::is_symlink(folder_ / "data-link"));
  EXPECT_FALSE(has_temporary(folder_ / "real"));
  std::string error;
  EXPECT_TRUE(write_file(folder_ / "report.json", "{}", &error, &inputs)) << error;
}

}  // namespace
}  // namespace quilvar::runtime::output
