// The split point of a whole-file pass and the thread of its second half.
#include "runtime/datasets/split_pass.hpp"

#include <cstring>
#include <system_error>
#include <thread>

namespace quilvar::runtime::datasets {

std::size_t second_half_start(const DataSetState& data, const Position& first_row) {
  if (data.text.size < first_row.offset || data.text.size - first_row.offset < kSplitPassBytes) return 0;
  const std::size_t middle = first_row.offset + (data.text.size - first_row.offset) / 2;
  const void* line_feed = std::memchr(data.text.data + middle, '\n', data.text.size - middle);
  if (line_feed == nullptr) return 0;
  const std::size_t start = static_cast<std::size_t>(static_cast<const char*>(line_feed) - data.text.data) + 1;
  return start < data.text.size ? start : 0;
}

bool run_side_by_side(const std::function<void()>& first, const std::function<void()>& second) {
  std::thread helper;
  try {
    helper = std::thread(second);
  } catch (const std::system_error&) {
    return false;
  }
  try {
    first();
  } catch (...) {
    helper.join();
    throw;
  }
  helper.join();
  return true;
}

}  // namespace quilvar::runtime::datasets
