// The procedure driver: runs one step from statement setup to the final
// status, looping over the BY groups of the population data set.
#pragma once

#include "quilvar/entry/proc_context.hpp"

namespace quilvar {

// Runs one step; returns what the host returns for the final step status.
int run_step();

// Runs every BY group of the population data set; a phase that returns
// non-zero ends its BY group and the loop goes on with the next one.
// Returns the number of BY groups visited.
int run_by_groups(ProcContext& context);

// Releases the open output group, if any, and opens the BY group's new one.
void open_output_group(ProcContext& context);
void release_output_group(ProcContext& context);

}  // namespace quilvar
