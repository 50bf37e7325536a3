// The data-input phases of one BY group: the GROUP= levels, then the
// population and reference observations accumulated into the stratum tree.
#pragma once

#include "quilvar/entry/proc_context.hpp"

namespace quilvar::input {

// Whether the current observation is left out for a missing STRATA value
// (unless the MISSING option keeps it as a stratum): its events and
// population count in no stratum, and its GROUP= value makes no population.
bool left_out_for_strata(const ProcContext& context);

// Finds the up to two populations of the BY group and their labels and
// column widths. A third level, or MH without exactly two, ends the step.
int collect_group_levels(ProcContext& context);

// Reads the BY group's population observations into a new stratum tree.
int read_population(ProcContext& context);

// Reads the matching reference observations into the same tree. Returns
// non-zero, ending the BY group, when the reference has no matching group.
int read_reference(ProcContext& context);

// Notes, once at the step's end, how many population observations were
// left out for a missing STRATA or GROUP= value: their events and
// population count in no stratum, which the estimates do not show. (A
// reference row without a stratum, such as a total row, is not noted.)
void note_left_out_observations(const ProcContext& context);

// The label of a stratum from the current key values: "name=value" pairs
// separated by one blank, cut after a whole name or name and equals sign
// where the next pair would pass 256 characters.
void build_stratum_label(const ProcContext& context, LongText& label);

}  // namespace quilvar::input
