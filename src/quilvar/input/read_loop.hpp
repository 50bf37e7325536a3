// The read loop over the current BY group of one data side.
#pragma once

#include <utility>

#include "quilvar/entry/proc_context.hpp"
#include "quilvar/entry/step_status.hpp"
#include "quilvar/host/calls.hpp"

namespace quilvar::input {

// Reads each observation of the side's current BY group, moves its values
// into the bound buffers and calls visit(). A failed read is reported by
// the host (naming the file and line) and raises the step status to 1008;
// returns false then, so that the BY group ends without partial results.
template <typename Visit>
bool for_each_observation(ProcContext& context, DataSide& side, Visit&& visit) {
  const auto& table = host::data_set_table();
  int status;
  while ((status = table.read_next(side.reader)) > 0) {
    table.fetch_values(side.reader);
    visit();
  }
  if (status < 0) {
    table.read_error(side.reader, status, 1);
    raise_step_status(context, host::kStatusDataInvalid);
    return false;
  }
  return true;
}

}  // namespace quilvar::input
