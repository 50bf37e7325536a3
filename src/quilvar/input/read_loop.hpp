// The read loop over the current BY group of one data side.
#pragma once

#include <utility>

#include "quilvar/entry/proc_context.hpp"
#include "quilvar/host/calls.hpp"

namespace quilvar::input {

// Reads each observation of the side's current BY group, moves its values
// into the bound buffers and calls visit(). A failed read is reported by
// the host and ends the step with status 1008, since the data cannot be
// trusted past it.
template <typename Visit>
void for_each_observation(ProcContext&, DataSide& side, Visit&& visit) {
  const auto& table = host::data_set_table();
  int status;
  while ((status = table.read_next(side.reader)) > 0) {
    table.fetch_values(side.reader);
    visit();
  }
  if (status < 0) {
    table.read_error(side.reader, status, 1);
    host::host_set_step_status(host::kStatusDataInvalid);
  }
}

}  // namespace quilvar::input
