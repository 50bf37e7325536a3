// Records of delivered objects (tables, information lists) kept for reuse. A
// BY group makes several of them; once the destinations have written one (on
// the delivery thread), it comes back here and the next object of its kind
// is made in it, its texts and rows reusing the storage they had. So a long
// run allocates little per BY group, and memory is freed by the thread that
// allocated it.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace quilvar::runtime::output {

template <class T>
class ObjectPool {
 public:
  // More records than this coming back are freed.
  static constexpr std::size_t kMaxKept = 1024;

  ObjectPool() = default;
  ObjectPool(const ObjectPool&) = delete;
  ObjectPool& operator=(const ObjectPool&) = delete;

  // A record from the pool (its contents still those of its last use), or
  // a new one. For the thread that makes the objects.
  std::unique_ptr<T> take() {
    if (ready_.empty()) {
      std::lock_guard<std::mutex> guard(lock_);
      ready_.swap(returned_);
    }
    if (ready_.empty()) return std::make_unique<T>();
    std::unique_ptr<T> record = std::move(ready_.back());
    ready_.pop_back();
    return record;
  }

  // Takes a record back; from any thread.
  void give_back(std::unique_ptr<T> record) {
    if (record == nullptr) return;
    std::unique_lock<std::mutex> guard(lock_);
    if (returned_.size() >= kMaxKept) {
      guard.unlock();
      return;  // freed here, outside the lock
    }
    // Called from the deleters of delivered objects, which may not throw:
    // a record the list has no memory left to hold is freed instead.
    try {
      returned_.push_back(std::move(record));
    } catch (const std::bad_alloc&) {
    }
  }

 private:
  std::mutex lock_;
  std::vector<std::unique_ptr<T>> returned_;  // guarded by lock_
  std::vector<std::unique_ptr<T>> ready_;     // the taking thread's own
};

}  // namespace quilvar::runtime::output
