// Whole-file passes in two halves at once. A pass over a large file (typing
// the columns, checking the BY order) hands the second half, from the first
// line start after the middle, to a second thread while the calling thread
// takes the first half. The split is right only when the first half's last
// record ends exactly there (a quoted field may hold a line break), and the
// second half's result counts only then and only when it met no problem.
// Otherwise the caller goes on in order from where its first half ended, so
// every message names the line a pass in one piece would name.
#pragma once

#include <cstddef>
#include <functional>

#include "runtime/datasets/data_set.hpp"

namespace quilvar::runtime::datasets {

// Files smaller than this are read in one piece: a thread costs more than
// it saves.
inline constexpr std::size_t kSplitPassBytes = std::size_t{4} << 20;

// Where the second half of a pass from `first_row` starts, or 0 when the
// text is too small to split.
std::size_t second_half_start(const DataSetState& data, const Position& first_row);

// Reads the records from `offset` to the end, calling visit(fields) for each;
// false as soon as a record is malformed, has the wrong number of fields or
// visit returns false. Hands back the pages it has passed, as the reading
// of the first half does.
template <class Visit>
bool read_second_half(const DataSetState& data, std::size_t offset, Visit&& visit) {
  FieldList fields;
  Position pos{offset, 1};
  Position start;
  Position problem;
  std::size_t kept_from = data.file.page_start(static_cast<std::size_t>(data.text.data - data.file.data()) + offset);
  bool good = true;
  for (;;) {
    data.file.note_reading_at(data.text.data + pos.offset, &kept_from);
    const ScanStatus status = scan_record(data.text, &pos, &fields, &start, &problem);
    if (status == ScanStatus::kEnd) break;
    if (status != ScanStatus::kRecord || fields.size() != data.variables.size() || !visit(fields)) {
      good = false;
      break;
    }
  }
  data.file.release_before(data.text.data + pos.offset, &kept_from);
  return good;
}

// Runs `second` on a new thread while `first` runs on this one, and waits
// for both; false, having run neither, when no thread could be started.
bool run_side_by_side(const std::function<void()>& first, const std::function<void()>& second);

}  // namespace quilvar::runtime::datasets
