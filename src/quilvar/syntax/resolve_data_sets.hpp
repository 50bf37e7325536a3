// Option resolution of the data sets, the GROUP=, STRATA, POPULATION and
// REFERENCE variables, the reference constants, and the label texts.
#pragma once

#include "quilvar/entry/proc_context.hpp"

namespace quilvar::syntax {

void resolve_data_sets(ProcContext& context);
void resolve_label_texts(ProcContext& context);

}  // namespace quilvar::syntax
