// The output writer thread, its bounded queue and the direct-I/O fall-back.
#include "runtime/output/file_writer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <utility>

namespace quilvar::runtime::output {
namespace {

constexpr std::size_t kMaxSpareBlocks = 4;

// Stops direct I/O on the descriptor; later writes go through the cache.
void stop_direct(WriteTarget& target) {
  const int flags = fcntl(target.descriptor, F_GETFL);
  if (flags >= 0) fcntl(target.descriptor, F_SETFL, flags & ~O_DIRECT);
  target.direct = false;
}

}  // namespace

void AlignedBlock::Free::operator()(char* data) const { std::free(data); }

// A descriptor set not to block (a pipe or terminal another program set
// so) is waited for while it is full, as a blocking one would be.
int write_all(int descriptor, const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(descriptor, text, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd room{descriptor, POLLOUT, 0};
        if (::poll(&room, 1, -1) >= 0 || errno == EINTR) continue;
      }
      return errno;
    }
    text += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

// The room for the spare blocks is taken now: the writer thread keeps a
// written block with push_back, which must not need memory (an exception
// there would end the process without removing its temporary files).
FileWriter::FileWriter() { spare_.reserve(kMaxSpareBlocks); }

FileWriter::~FileWriter() { thread_.stop(lock_, &stopping_, work_ready_); }

AlignedBlock FileWriter::take_block() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!spare_.empty()) {
      AlignedBlock block = std::move(spare_.back());
      spare_.pop_back();
      block.size = 0;
      return block;
    }
  }
  void* memory = std::aligned_alloc(kAlignment, kBlockSize);
  if (memory == nullptr) throw std::bad_alloc();
  return AlignedBlock{std::unique_ptr<char, AlignedBlock::Free>(static_cast<char*>(memory)), 0};
}

// A direct write the file system refuses (EINVAL) is made again through the
// cache, and the file stays there.
int FileWriter::write_block(WriteTarget& target, const AlignedBlock& block) {
  int error = write_all(target.descriptor, block.data.get(), block.size);
  if (error == EINVAL && target.direct) {
    stop_direct(target);
    error = write_all(target.descriptor, block.data.get(), block.size);
  }
  return error;
}

void FileWriter::submit(const std::shared_ptr<WriteTarget>& target, AlignedBlock block) {
  std::unique_lock<std::mutex> guard(lock_);
  if (!thread_.ensure_started([this] { run(); })) {
    if (target->error == 0) target->error = write_block(*target, block);
    if (spare_.size() < kMaxSpareBlocks) spare_.push_back(std::move(block));
    return;
  }
  work_done_.wait(guard, [this] { return jobs_.size() < kMaxWaitingBlocks; });
  // A block the queue has no memory to hold is lost: the file fails with
  // that error when finished, rather than being completed without it. It
  // is counted as pending only once queued, or finish() would wait for it
  // for ever.
  try {
    jobs_.push_back(Job{target, std::move(block)});
  } catch (const std::bad_alloc&) {
    if (target->error == 0) target->error = ENOMEM;
    return;
  }
  ++target->pending;
  guard.unlock();
  work_ready_.notify_one();
}

int FileWriter::finish(const std::shared_ptr<WriteTarget>& target) {
  std::unique_lock<std::mutex> guard(lock_);
  work_done_.wait(guard, [&] { return target->pending == 0; });
  return target->error;
}

void FileWriter::run() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    work_ready_.wait(guard, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping with nothing left
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    const bool write = job.target->error == 0;
    guard.unlock();
    const int error = write ? write_block(*job.target, job.block) : 0;
    guard.lock();
    if (error != 0) job.target->error = error;
    --job.target->pending;
    if (spare_.size() < kMaxSpareBlocks) spare_.push_back(std::move(job.block));
    work_done_.notify_all();
  }
}

// Never destroyed: files may still be discarded while static objects are
// destroyed at exit, and the thread then waits idle on its condition.
FileWriter& file_writer() {
  static FileWriter* const writer = new FileWriter;
  return *writer;
}

}  // namespace quilvar::runtime::output
