// Hands the step's statements to the host parser with the procedure's grammar.
#pragma once

#include "quilvar/entry/proc_context.hpp"
#include "quilvar/host/statement_state.hpp"

namespace quilvar::syntax {

// Builds the grammar record in host memory, makes sure the parser's support
// objects exist, and has the host parse the step. A failed allocation ends
// the step with 1016, a failed support call with 129-54 and 1012, and a
// non-zero parse status becomes the step status.
void parse_step(ProcContext& context, host::StatementState& state);

}  // namespace quilvar::syntax
