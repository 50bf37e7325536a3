// The templates defined once per step, right after option resolution.
#include "quilvar/tables/tables.hpp"

namespace quilvar::tables {

void define_step_templates(ProcContext& c) {
  if (c.method == kMethodIndirect) {
    define_strata_smr_template(c);
    define_smr_template(c);
  }
  if (c.attr_fraction_on) define_attr_fraction_template(c);
}

}  // namespace quilvar::tables
