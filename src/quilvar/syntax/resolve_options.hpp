// Option resolution: turns a step's parse result into the run settings of
// the context, checking every combination the procedure does not support.
#pragma once

#include <initializer_list>

#include "quilvar/entry/proc_context.hpp"
#include "quilvar/host/services.hpp"
#include "quilvar/host/statement_state.hpp"

namespace quilvar::syntax {

// Clears the context, parses the step and resolves every option, the data
// sets, variables and readers. Errors end the step through the host;
// warnings raise the context's step status and switch the request off.
void resolve_options(ProcContext& context, host::StatementState& state);

// Message helpers of option resolution (set 908). stop() issues the message
// and ends the step with `status`; warn() raises the step status to at
// least 4; note() changes no status.
void stop(int number, int status, std::initializer_list<host::MessageArg> args = {});
void warn(ProcContext& context, int number, std::initializer_list<host::MessageArg> args = {});
void note(int number, std::initializer_list<host::MessageArg> args = {});

// Checks a multiplier given as m: it must lie in [1, 2147483647] and be a
// power of ten within a relative 1e-6 (so 9999 passes as 10^4). Returns the
// exponent, or -1 when the multiplier is not acceptable.
int multiplier_exponent(double m);

}  // namespace quilvar::syntax
