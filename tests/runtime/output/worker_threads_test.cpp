// The background workers. The delivery thread's queue: calls run once
// each, in the order posted, across batches and the bound on waiting
// batches; failures are recorded and later calls still run; calls still
// waiting run when the queue goes; and a hand-over that runs out of memory
// still wakes the thread for the batch it queued. The file writer: a block
// it has no memory to queue fails its file instead of hanging finish().
#include "runtime/output/delivery_queue.hpp"
#include "runtime/output/file_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <thread>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// This test program's allocations fail on demand: the next allocation of
// exactly the armed size by the arming thread throws std::bad_alloc.
thread_local std::size_t fail_allocation_of = 0;

}  // namespace

// The replacements allocate with malloc and free with free; the compiler,
// seeing free meet memory from operator new once they are inlined, would
// take them for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (size != 0 && size == fail_allocation_of) {
    fail_allocation_of = 0;
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace quilvar::runtime::output {
namespace {

constexpr std::size_t kBatch = DeliveryQueue::kBatchSize;

// What the calls did, kept on the delivery thread and read after drain().
struct Record {
  std::vector<int> ran;
};

TEST(DeliveryQueue, CallsRunOnceEachInTheOrderPosted) {
  // More batches than may wait at once, so that posting waits for the thread.
  const int calls = static_cast<int>(kBatch * (DeliveryQueue::kMaxWaitingBatches * 3) + kBatch / 2);
  Record record;
  DeliveryQueue queue;
  for (int i = 0; i < calls; ++i) queue.post([&record, i] { record.ran.push_back(i); });
  queue.drain();
  ASSERT_EQ(record.ran.size(), static_cast<std::size_t>(calls));
  for (int i = 0; i < calls; ++i) ASSERT_EQ(record.ran[static_cast<std::size_t>(i)], i);
  // Drained twice, and posted to again after a drain.
  queue.drain();
  queue.post([&record] { record.ran.push_back(-1); });
  queue.drain();
  EXPECT_EQ(record.ran.back(), -1);
  EXPECT_EQ(queue.failure(), "");
}

TEST(DeliveryQueue, TheFirstFailureIsKeptAndLaterCallsStillRun) {
  struct Case {
    const char* name;
    std::function<void()> failing;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"an exception", [] { throw std::runtime_error("disk gone"); }, "output delivery failed: disk gone"},
      {"out of memory", [] { throw std::bad_alloc(); }, "output delivery failed: out of memory"},
      {"anything else", [] { throw 7; }, "output delivery failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Record record;
    DeliveryQueue queue;
    queue.post([&record] { record.ran.push_back(1); });
    queue.post(c.failing);
    queue.post([&record] { record.ran.push_back(2); });
    queue.drain();
    EXPECT_EQ(record.ran, (std::vector<int>{1, 2}));
    EXPECT_EQ(queue.failure(), c.expected);
    queue.post([] { throw std::runtime_error("a later failure"); });
    queue.post([&record] { record.ran.push_back(3); });
    queue.drain();
    EXPECT_EQ(record.ran.back(), 3);
    EXPECT_EQ(queue.failure(), c.expected);
  }
}

TEST(DeliveryQueue, CallsStillWaitingRunWhenTheQueueGoes) {
  for (std::size_t calls : {std::size_t{1}, kBatch - 1, kBatch, 3 * kBatch + 5}) {
    SCOPED_TRACE(calls);
    Record record;
    {
      DeliveryQueue queue;
      for (std::size_t i = 0; i < calls; ++i) queue.post([&record, i] { record.ran.push_back(static_cast<int>(i)); });
    }
    EXPECT_EQ(record.ran.size(), calls);
  }
}

// Memory runs out as the room for the next batch is taken, around the
// hand-over of a full one: the post may fail, but the thread must still be
// woken for the batch queued, or it and a drain() waiting for it would wait
// for ever. The thread is asleep beforehand (a drain() returns only once it
// waits again), so only that wake-up can start it.
TEST(DeliveryQueue, ABatchQueuedAsMemoryRunsOutStillRuns) {
  std::mutex lock;
  std::condition_variable changed;
  std::size_t ran = 0;
  auto count = [&] {
    std::lock_guard<std::mutex> guard(lock);
    ++ran;
    changed.notify_all();
  };
  DeliveryQueue queue;
  for (std::size_t i = 0; i < kBatch; ++i) queue.post(count);
  queue.drain();
  for (std::size_t i = 0; i + 1 < kBatch; ++i) queue.post(count);
  fail_allocation_of = kBatch * sizeof(std::function<void()>);
  try {
    queue.post(count);  // fills the batch and hands it over
  } catch (const std::bad_alloc&) {
  }
  fail_allocation_of = 0;
  std::unique_lock<std::mutex> guard(lock);
  // A bound on the wait, not a measure of speed: without the wake-up it
  // never ends.
  EXPECT_TRUE(changed.wait_for(guard, std::chrono::minutes(1), [&] { return ran == 2 * kBatch; }))
      << ran << " of " << 2 * kBatch << " calls ran";
  guard.unlock();
  queue.post(count);  // wakes the thread, whatever happened, so that it can be stopped
  queue.drain();
  EXPECT_EQ(ran, 2 * kBatch + 1);
}

// The room of a new batch runs out at its first call: that call is lost
// (the post says so), the calls before it have run, and later ones run.
TEST(DeliveryQueue, ACallWithoutRoomFailsAloneAndLaterCallsRun) {
  Record record;
  DeliveryQueue queue;
  for (std::size_t i = 0; i < kBatch; ++i) queue.post([&record, i] { record.ran.push_back(static_cast<int>(i)); });
  fail_allocation_of = kBatch * sizeof(std::function<void()>);
  EXPECT_THROW(queue.post([&record] { record.ran.push_back(-1); }), std::bad_alloc);
  fail_allocation_of = 0;
  queue.post([&record] { record.ran.push_back(-2); });
  queue.drain();
  ASSERT_EQ(record.ran.size(), kBatch + 1);
  EXPECT_EQ(record.ran[kBatch - 1], static_cast<int>(kBatch - 1));
  EXPECT_EQ(record.ran.back(), -2);
}

// The writer's queue takes memory for its entries now and then. When that
// fails, the block is lost: the file must end with an error, and finish()
// must return rather than wait for a block never queued. Blocks go one at a
// time, with each allocation the queue may make failing, until one is lost.
TEST(FileWriter, ABlockThatCannotBeQueuedFailsItsFile) {
  char name[] = "/tmp/quilvar_writer_XXXXXX";
  const int descriptor = mkstemp(name);
  ASSERT_GE(descriptor, 0);
  auto target = std::make_shared<WriteTarget>();
  target->descriptor = descriptor;
  FileWriter& writer = file_writer();
  // Entries of the queue come in nodes of this size (libstdc++'s deque).
  constexpr std::size_t kNode = 512;
  int submitted = 0;
  bool thrown = false;
  for (; submitted < 64 && target->error == 0 && !thrown; ++submitted) {
    AlignedBlock block = writer.take_block();
    block.size = FileWriter::kAlignment;
    fail_allocation_of = kNode;
    try {
      writer.submit(target, std::move(block));
    } catch (const std::bad_alloc&) {
      thrown = true;
    }
    fail_allocation_of = 0;
  }
  EXPECT_FALSE(thrown);
  auto finished = std::make_shared<std::promise<int>>();
  std::future<int> error = finished->get_future();
  std::thread([&writer, target, finished] { finished->set_value(writer.finish(target)); }).detach();
  // A bound on the wait, not a measure of speed: on a lost count it never ends.
  ASSERT_EQ(error.wait_for(std::chrono::minutes(1)), std::future_status::ready) << "finish() did not return";
  EXPECT_EQ(error.get(), ENOMEM);
  EXPECT_LT(submitted, 64) << "no allocation of the queue failed";
  ::close(descriptor);
  std::remove(name);
}

}  // namespace
}  // namespace quilvar::runtime::output
