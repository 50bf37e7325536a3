// Output files written in blocks by the writer thread, with direct I/O where
// the file system has it and through the cache where it has not: every byte
// arrives in order, whatever the sizes of the pieces, and nothing shows
// under the final name before the commit.
#include "runtime/output/atomic_file.hpp"
#include "runtime/output/file_writer.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include <unistd.h>

namespace quilvar::runtime::output {
namespace {

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

TEST(AtomicFile, PlacesThatCannotBeWrittenAreNamedAsTheUserGaveThem) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("quilvar_atomic_refused_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "plain") << "a file, not a folder";
  std::string error;
  AtomicFile file;
  const std::filesystem::path missing = folder / "no-such-folder" / "report.html";
  EXPECT_FALSE(file.open(missing, &error));
  EXPECT_EQ(error, "cannot write " + missing.string() + ": No such file or directory");
  EXPECT_TRUE(make_output_folder((folder / "made" / "deeper").string(), "CSV", &error)) << error;
  EXPECT_TRUE(std::filesystem::is_directory(folder / "made" / "deeper"));
  EXPECT_FALSE(make_output_folder((folder / "plain").string(), "plots", &error));
  EXPECT_EQ(error.rfind("cannot create the plots folder " + (folder / "plain").string() + ": ", 0), 0u) << error;
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace quilvar::runtime::output
