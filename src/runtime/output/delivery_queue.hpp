// Runs destination calls on a thread of their own (one queue for the CSV
// and JSON files, one for the listing): formatting numbers and writing files
// then overlaps the computing of the next BY groups. Calls run one at a time
// in the order they were posted. They are handed over in batches, so the
// thread wakes once per batch rather than once per table; the batches
// waiting are bounded, so a run that outpaces its disk waits rather than
// piling up tables in memory.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/output/worker_thread.hpp"

namespace quilvar::runtime::output {

class DeliveryQueue {
 public:
  static constexpr std::size_t kBatchSize = 64;
  static constexpr std::size_t kMaxWaitingBatches = 4;

  DeliveryQueue() = default;
  DeliveryQueue(const DeliveryQueue&) = delete;
  DeliveryQueue& operator=(const DeliveryQueue&) = delete;
  ~DeliveryQueue();  // runs what is waiting, then stops the thread

  // Queues the call; runs it at once, on the calling thread, when no thread
  // could be started. Not to be called from more than one thread.
  void post(std::function<void()> call);

  // Waits until every call posted so far has run.
  void drain();

  // The first failure a call raised ("" for none); calls that throw are
  // abandoned, later ones still run.
  std::string failure();

 private:
  using Batch = std::vector<std::function<void()>>;

  void run();
  void run_call(const std::function<void()>& call);  // records what it throws
  // The first failure of a call, "output delivery failed[: detail]"; out of
  // memory when even that text cannot be made.
  void note_failure(const char* detail);
  void hand_over();                                  // queues the batch being filled

  std::mutex lock_;
  std::condition_variable work_ready_;
  std::condition_variable work_done_;
  Batch filling_;             // the posting thread's batch, not yet handed over
  std::deque<Batch> batches_;
  bool busy_ = false;  // the thread is running a batch taken off the queue
  bool stopping_ = false;
  std::string failure_;
  bool out_of_memory_ = false;  // a call failed for want of memory
  WorkerThread thread_;
};

}  // namespace quilvar::runtime::output
