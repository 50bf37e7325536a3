// The step status kept in the context: raised by warnings and by errors that
// do not end the step at once, never lowered, and reported to the host when
// the step ends.
#pragma once

#include <cstdint>

#include "quilvar/entry/proc_context.hpp"

namespace quilvar {

// Raises the context's step status to at least `status`.
void raise_step_status(ProcContext& context, int status);

// Handles the failing status word of an output request: reports it to the
// host and, unless it is the benign "nothing to deliver" status (facility 63,
// number 53), raises the step status to 120. A non-negative status is no failure.
void check_output_status(ProcContext& context, std::int32_t status);

}  // namespace quilvar
