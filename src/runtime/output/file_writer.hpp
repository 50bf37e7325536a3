// The writing of output files on a thread of their own. Large files are
// written with direct I/O where the file system allows it: blocks of a
// megabyte go from an aligned buffer straight to the device, sparing the
// processor the copy into the page cache (on the machines measured, more
// than a second of system time per gigabyte). The thread mostly waits for
// the device while the delivery thread formats the next tables.
//
// A file's blocks are written in the order they were handed over. The
// blocks waiting are bounded; a caller that runs ahead waits.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "runtime/output/worker_thread.hpp"

namespace quilvar::runtime::output {

// A block of memory aligned for direct I/O.
struct AlignedBlock {
  struct Free {
    void operator()(char* data) const;
  };
  std::unique_ptr<char, Free> data;
  std::size_t size = 0;  // bytes used
};

// An open output file as the writer sees it.
struct WriteTarget {
  int descriptor = -1;
  bool direct = false;  // opened for direct I/O; cleared when the file system refuses it
  int error = 0;        // errno of the first failed write; guarded by the writer's lock
  int pending = 0;      // blocks handed over and not yet written; guarded likewise
};

class FileWriter {
 public:
  // Direct I/O needs offsets, sizes and addresses in multiples of this.
  static constexpr std::size_t kAlignment = 4096;
  static constexpr std::size_t kBlockSize = std::size_t{1} << 20;
  static constexpr std::size_t kMaxWaitingBlocks = 8;

  FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;
  ~FileWriter();

  // An empty block of kBlockSize bytes.
  AlignedBlock take_block();

  // Queues the block for the target's file (its size a multiple of
  // kAlignment for a direct target); writes at once on this thread when no
  // thread could be started. A block that cannot be queued for want of
  // memory sets the target's error to ENOMEM.
  void submit(const std::shared_ptr<WriteTarget>& target, AlignedBlock block);

  // Waits until every block of the target is written; returns its first
  // write error (0 for none).
  int finish(const std::shared_ptr<WriteTarget>& target);

 private:
  struct Job {
    std::shared_ptr<WriteTarget> target;
    AlignedBlock block;
  };

  void run();
  static int write_block(WriteTarget& target, const AlignedBlock& block);

  std::mutex lock_;
  std::condition_variable work_ready_;
  std::condition_variable work_done_;
  std::deque<Job> jobs_;
  std::vector<AlignedBlock> spare_;
  bool stopping_ = false;
  WorkerThread thread_;
};

// Appends all of `text` to the file, retrying short writes; returns 0 or the
// errno of the failed write.
int write_all(int descriptor, const char* text, std::size_t size);

// The writer every output file of the process shares.
FileWriter& file_writer();

}  // namespace quilvar::runtime::output
