// A delivery thread and its bounded queue of destination calls.
#include "runtime/output/delivery_queue.hpp"

#include <exception>
#include <new>
#include <utility>

namespace quilvar::runtime::output {

// A destructor must not throw: calls that cannot be queued for want of
// memory run here, after those the thread had, so their order holds.
DeliveryQueue::~DeliveryQueue() {
  try {
    hand_over();
  } catch (const std::bad_alloc&) {
  }
  thread_.stop(lock_, &stopping_, work_ready_);
  for (const auto& call : filling_) run_call(call);
}

// A call that ran out of memory is only marked here: saying so needs memory
// too, and an exception leaving the thread would end the process without
// removing its temporary files.
void DeliveryQueue::run_call(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::bad_alloc&) {
    std::lock_guard<std::mutex> guard(lock_);
    out_of_memory_ = true;
  } catch (const std::exception& error) {
    note_failure(error.what());
  } catch (...) {
    note_failure(nullptr);
  }
}

void DeliveryQueue::note_failure(const char* detail) {
  std::lock_guard<std::mutex> guard(lock_);
  // A call that ran out of memory before failed first.
  if (!failure_.empty() || out_of_memory_) return;
  try {
    failure_ = "output delivery failed";
    if (detail != nullptr) failure_.append(": ").append(detail);
  } catch (const std::bad_alloc&) {
    out_of_memory_ = true;
  }
}

void DeliveryQueue::post(std::function<void()> call) {
  if (!thread_.ensure_started([this] { run(); })) {
    run_call(call);
    return;
  }
  // A new batch takes its room with its first call, not when the last one
  // is handed over: nothing that can fail comes between queuing a batch and
  // waking the thread for it (a batch queued unseen would leave drain()
  // waiting for ever).
  if (filling_.capacity() == 0) filling_.reserve(kBatchSize);
  filling_.push_back(std::move(call));
  if (filling_.size() >= kBatchSize) hand_over();
}

void DeliveryQueue::hand_over() {
  if (filling_.empty()) return;
  std::unique_lock<std::mutex> guard(lock_);
  work_done_.wait(guard, [this] { return batches_.size() < kMaxWaitingBatches; });
  batches_.push_back(std::move(filling_));
  filling_ = Batch();
  guard.unlock();
  work_ready_.notify_one();
}

void DeliveryQueue::drain() {
  hand_over();
  std::unique_lock<std::mutex> guard(lock_);
  work_done_.wait(guard, [this] { return batches_.empty() && !busy_; });
}

std::string DeliveryQueue::failure() {
  std::lock_guard<std::mutex> guard(lock_);
  if (failure_.empty() && out_of_memory_) return "output delivery failed: out of memory";
  return failure_;
}

void DeliveryQueue::run() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    work_ready_.wait(guard, [this] { return stopping_ || !batches_.empty(); });
    if (batches_.empty()) return;  // stopping with nothing left
    Batch batch = std::move(batches_.front());
    batches_.pop_front();
    busy_ = true;
    guard.unlock();
    for (const auto& call : batch) run_call(call);
    batch.clear();  // what the calls hold goes before the next batch is taken
    guard.lock();
    busy_ = false;
    work_done_.notify_all();
  }
}

}  // namespace quilvar::runtime::output
