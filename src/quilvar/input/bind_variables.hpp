// Readers and bindings of the population and reference data sets: each
// observation read moves its values into the context's buffers.
#pragma once

#include "quilvar/entry/proc_context.hpp"

namespace quilvar::input {

// Describes a variable of a data set: type, length, name, label and the
// width of its formatted values (the format width, else the length of a
// character variable, else 16).
void describe_variable(host::DataSet* data, int number, KeyVariable& variable);

// Declares the variables each side reads and binds them into the context:
// EVENT=, TOTAL= and RATE=/RISK= as numbers; the GROUP= variable (population
// only) and each STRATA variable as formatted text and as raw value. A
// reader that cannot be created ends the step with status 1020.
void bind_population_variables(ProcContext& context);
void bind_reference_variables(ProcContext& context, const int* strata_numbers);

}  // namespace quilvar::input
