// The table pool: a list the delivery thread fills and the making thread
// takes over whole when its own runs out.
#include "runtime/output/table_pool.hpp"

#include <utility>

namespace quilvar::runtime::output {

std::unique_ptr<Table> TablePool::take() {
  if (ready_.empty()) {
    std::lock_guard<std::mutex> guard(lock_);
    ready_.swap(returned_);
  }
  if (ready_.empty()) return std::make_unique<Table>();
  std::unique_ptr<Table> table = std::move(ready_.back());
  ready_.pop_back();
  return table;
}

void TablePool::give_back(std::unique_ptr<Table> table) {
  if (table == nullptr) return;
  std::unique_lock<std::mutex> guard(lock_);
  if (returned_.size() >= kMaxKept) {
    guard.unlock();
    return;  // freed here, outside the lock
  }
  returned_.push_back(std::move(table));
}

}  // namespace quilvar::runtime::output
