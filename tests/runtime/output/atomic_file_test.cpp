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
#include <thread>

#include <fcntl.h>
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

// Standard output sent to a pipe: what is written arrives in order, whether
// it goes in as characters, small pieces or pieces larger than a block, and
// a flush hands over the last partial block.
TEST(WriterStreamBuf, EveryByteArrivesInOrderThroughAPipe) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  std::string received;
  std::thread reader([&] {
    char chunk[65536];
    ssize_t got = 0;
    while ((got = ::read(ends[0], chunk, sizeof chunk)) > 0) received.append(chunk, static_cast<std::size_t>(got));
  });
  std::string expected;
  {
    WriterStreamBuf buffer(ends[1]);
    std::ostream out(&buffer);
    std::mt19937 random(11);
    while (expected.size() < 3 * FileWriter::kBlockSize + 777) {
      const int kind = static_cast<int>(random() % 3);
      std::string piece(kind == 0 ? 1 : kind == 1 ? random() % 500 : random() % (FileWriter::kBlockSize + 999), '\0');
      for (char& c : piece) c = static_cast<char>('a' + random() % 26);
      if (kind == 0) out.put(piece[0]); else out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
      expected += piece;
    }
    out.flush();
    EXPECT_TRUE(out.good());
    out << "tail";  // handed over when the buffer goes
    expected += "tail";
  }
  ::close(ends[1]);
  reader.join();
  ::close(ends[0]);
  ASSERT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
}

// Standard output sent to a file: the text goes after what the file already
// holds, and the descriptor's flags stay as they were (the open file may be
// shared with other processes writing to it, such as a build's log).
TEST(WriterStreamBuf, WritesAfterWhatAFileHoldsAndLeavesItsFlags) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("quilvar_stream_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path path = folder / "listing.txt";
  const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(descriptor, 0);
  std::string expected = "written before\n";
  ASSERT_EQ(::write(descriptor, expected.data(), expected.size()), static_cast<ssize_t>(expected.size()));
  const int flags = fcntl(descriptor, F_GETFL);
  {
    WriterStreamBuf buffer(descriptor);
    std::ostream out(&buffer);
    std::mt19937 random(3);
    while (expected.size() < 2 * FileWriter::kBlockSize + 5000) {
      std::string piece(random() % 70000, '\0');
      for (char& c : piece) c = static_cast<char>('a' + random() % 26);
      out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
      expected += piece;
      EXPECT_EQ(fcntl(descriptor, F_GETFL), flags);
    }
    out.flush();
    EXPECT_TRUE(out.good());
  }
  EXPECT_EQ(fcntl(descriptor, F_GETFL), flags);
  ::close(descriptor);
  const std::string written = read_all(path);
  ASSERT_EQ(written.size(), expected.size());
  EXPECT_TRUE(written == expected);
  std::filesystem::remove_all(folder);
}

TEST(WriterStreamBuf, AFailedWriteFailsTheFlush) {
  const int descriptor = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(descriptor, 0);
  WriterStreamBuf buffer(descriptor);
  std::ostream out(&buffer);
  out << std::string(FileWriter::kBlockSize + 10, 'x');
  out.flush();
  EXPECT_TRUE(out.bad());
  ::close(descriptor);
}

}  // namespace
}  // namespace quilvar::runtime::output
