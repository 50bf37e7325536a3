// Table records kept for reuse. A BY group makes several tables; once the
// destinations have written one (on the delivery thread), it comes back
// here and the next table of the run is made in it, its texts and rows
// reusing the storage they had. So a long run allocates little per BY
// group, and memory is freed by the thread that allocated it.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "runtime/output/model.hpp"

namespace quilvar::runtime::output {

class TablePool {
 public:
  // More tables than this coming back are freed.
  static constexpr std::size_t kMaxKept = 1024;

  TablePool() = default;
  TablePool(const TablePool&) = delete;
  TablePool& operator=(const TablePool&) = delete;

  // A table from the pool (its contents still those of its last use), or a
  // new one. For the thread that makes tables.
  std::unique_ptr<Table> take();

  // Takes a table back; from any thread.
  void give_back(std::unique_ptr<Table> table);

 private:
  std::mutex lock_;
  std::vector<std::unique_ptr<Table>> returned_;  // guarded by lock_
  std::vector<std::unique_ptr<Table>> ready_;     // the taking thread's own
};

}  // namespace quilvar::runtime::output
