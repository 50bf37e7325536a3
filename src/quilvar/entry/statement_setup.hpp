// The statement state of one step: allocated in host memory, attached to the
// host's step, with the parser trace switches read from DEBUG.
#pragma once

#include "quilvar/host/statement_state.hpp"

namespace quilvar {

// Allocates and registers the statement state and sets its SYN and SEM
// switches from the DEBUG environment value. Returns null when the host has
// no memory for it.
host::StatementState* set_up_statement_state();

// Sets the SYN and SEM switches from a DEBUG value (any case; plain substring
// search, so "SEMANTICS" switches SEM on).
void read_debug_switches(host::StatementState& state, const char* debug);

}  // namespace quilvar
