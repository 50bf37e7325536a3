// The thread of a background worker (the delivery queue, the file writer):
// started on first use, and when no thread can be started the worker does
// its work on the caller's thread instead.
#pragma once

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace quilvar::runtime::output {

class WorkerThread {
 public:
  WorkerThread() = default;
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Starts `body` unless it runs already; false when there is no thread
  // (it could not be started, now or before).
  template <class Body>
  bool ensure_started(Body&& body) {
    if (thread_.joinable()) return true;
    if (unavailable_) return false;
    try {
      thread_ = std::thread(std::forward<Body>(body));
      return true;
    } catch (const std::system_error&) {
      unavailable_ = true;
      return false;
    }
  }

  // Sets *stopping under the lock, wakes the thread and waits for it.
  void stop(std::mutex& lock, bool* stopping, std::condition_variable& wake) {
    {
      std::lock_guard<std::mutex> guard(lock);
      *stopping = true;
    }
    wake.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
  bool unavailable_ = false;
};

}  // namespace quilvar::runtime::output
