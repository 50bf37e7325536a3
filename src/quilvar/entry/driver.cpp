// The procedure driver.
#include "quilvar/entry/driver.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#include "quilvar/entry/statement_setup.hpp"
#include "quilvar/estimate/direct_standardization.hpp"
#include "quilvar/estimate/effects.hpp"
#include "quilvar/estimate/indirect_standardization.hpp"
#include "quilvar/estimate/stratum_statistics.hpp"
#include "quilvar/input/read_data.hpp"
#include "quilvar/plots/plots.hpp"
#include "quilvar/syntax/resolve_options.hpp"
#include "quilvar/tables/tables.hpp"
#include "quilvar/entry/step_status.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/host/text.hpp"

namespace quilvar {

namespace {

constexpr int kStepControlBegin = 2;
constexpr int kGroupTextCapacity = 256;
constexpr int kMsgGroupName = 3;
constexpr int kMsgGroupLabel = 4;
constexpr int kMsgNoUsableObservations = 168;

// A catalog message copied into a blank-padded buffer of the group text size.
host::OdsText* padded_message_text(int number) {
  char buffer[kGroupTextCapacity];
  std::fill(buffer, buffer + kGroupTextCapacity, ' ');
  const std::string_view text = host::host_get_message_text(host::kMessageSetProcedure, number);
  std::memcpy(buffer, text.data(), std::min<std::size_t>(text.size(), kGroupTextCapacity));
  return host::ods_make_string(buffer, kGroupTextCapacity);
}

// Reads the BY group's population and reference observations into the
// stratum tree; false ends the BY group.
bool read_strata(ProcContext& c) {
  if (input::read_population(c) != 0) return false;
  // Checked before the reference is read: its strata would fill the tree
  // of a group without population data (a total row with a blank age group),
  // which would then stand as strata missing from the population.
  if (c.strata == nullptr) {
    syntax::warn(c, kMsgNoUsableObservations);
    return false;
  }
  if (c.reference.data != nullptr) {
    if (input::read_reference(c) != 0) return false;
    host::data_set_table().rewind_group(c.reference.data, host::kRewindCode);
  }
  return true;
}

// Reading and estimation of one BY group; non-zero ends the BY group.
int read_and_estimate(ProcContext& c) {
  if (input::collect_group_levels(c) != 0) return 1;
  const bool read = read_strata(c);
  // The tree becomes the ordered list also when reading ended the BY group:
  // the next group takes the nodes back for reuse along their list links,
  // which in a tree would reach only its leftmost path.
  host::host_tree_to_list(reinterpret_cast<void**>(&c.strata));
  if (!read) return 1;
  if (estimate::compute_stratum_statistics(c) != 0) return 1;
  if (c.strata_cl_compute_type != kClNone && estimate::compute_stratum_limits(c) != 0) return 1;
  const int status = c.method == kMethodIndirect ? estimate::compute_indirect_estimates(c)
                                                 : estimate::compute_direct_estimates(c);
  if (status != 0) return 1;
  if (c.method == kMethodMh && estimate::compute_mh_statistics(c) != 0) return 1;
  return 0;
}

// The rate or risk plot and the distribution plot; a plot that cannot be
// made is skipped without ending the BY group.
void produce_stratum_plots(ProcContext& c) {
  if (c.rate_plot_on) plots::produce_rate_plot(c);
  if (c.dist_plot_on) plots::produce_dist_plot(c);
}

// The tables and plots inside the BY group's output group. Only a table
// that fails ends the BY group; plots are skipped on their own.
int produce_group_outputs(ProcContext& c) {
  if (c.method == kMethodIndirect) {
    if (c.strata_stats_on && tables::produce_strata_stats_table_indirect(c) != 0) return 1;
    if (c.strata_smr_on && tables::produce_strata_smr_table(c) != 0) return 1;
    produce_stratum_plots(c);
    if (c.smr_plot_on) plots::produce_smr_plot(c);
    return 0;
  }
  if (c.strata_stats_on && tables::produce_strata_stats_table(c) != 0) return 1;
  produce_stratum_plots(c);
  if (c.population_count == 2 && c.strata_effect_type != kEffectNone && tables::produce_strata_effect_table(c) != 0) {
    return 1;
  }
  if (c.population_count == 2 && c.effect_plot_type != kEffectNone) plots::produce_effect_plot(c);
  return 0;
}

// The tables after the output group: the standardized estimates, the
// effect or SMR, and last the attributable fractions.
int produce_summary_tables(ProcContext& c) {
  if (c.method == kMethodIndirect) {
    if (c.smr_table_on && tables::produce_smr_table(c) != 0) return 1;
    if (tables::produce_std_estimate_table_indirect(c) != 0) return 1;
  } else {
    if (tables::produce_std_estimate_table(c) != 0) return 1;
    if (c.population_count == 2 && c.effect_type != kEffectNone && tables::produce_effect_table(c) != 0) return 1;
  }
  if (c.attr_fraction_on && tables::produce_attr_fraction_table(c) != 0) return 1;
  return 0;
}

// The phases of one BY group, in order, up to the first that ends it.
int run_one_by_group(ProcContext& c) {
  if (read_and_estimate(c) != 0) return 1;
  if (tables::produce_information_list(c) != 0) return 1;
  open_output_group(c);
  const int status = produce_group_outputs(c);
  release_output_group(c);
  if (status != 0) return status;
  return produce_summary_tables(c);
}

}  // namespace

void release_output_group(ProcContext& context) {
  if (context.output_group == nullptr) return;
  const std::int32_t status = host::ods_class_operation(context.output_group, host::kClassRelease, 0, nullptr);
  context.output_group = nullptr;
  check_output_status(context, status);
}

void open_output_group(ProcContext& context) {
  release_output_group(context);
  if (context.output_manager == nullptr) return;
  host::OdsText* name = padded_message_text(kMsgGroupName);
  host::OdsText* label = padded_message_text(kMsgGroupLabel);
  host::OdsObject* group = nullptr;
  const std::int32_t status = host::ods_invoke(
      context.output_manager, nullptr, host::kMethodOpenGroup,
      {host::make_result_item(host::kAttrResult, &group), host::make_text_item(host::kAttrName, name),
       host::make_int_item(host::kAttrTextLength, kGroupTextCapacity), host::make_text_item(host::kAttrLabel, label),
       host::make_int_item(host::kAttrFlags, 0)});
  check_output_status(context, status);
  if (status >= 0) context.output_group = group;
}

int run_by_groups(ProcContext& context) {
  if (context.population.data == nullptr) return 0;
  int groups = 0;
  while (host::data_set_table().next_by_group(context.population.data) >= 1) {
    ++groups;
    run_one_by_group(context);
  }
  release_output_group(context);
  return groups;
}

int run_step() {
  host::StatementState* state = set_up_statement_state();
  if (state == nullptr) return host::host_set_step_status(host::kStatusNoMemory);
  host::host_step_control(kStepControlBegin);
  auto context = std::make_unique<ProcContext>();
  syntax::resolve_options(*context, *state);
  state->context[0] = context.get();
  state->context[1] = context.get();
  tables::define_step_templates(*context);
  run_by_groups(*context);
  input::note_left_out_observations(*context);
  return host::host_set_step_status(context->step_status);
}

}  // namespace quilvar
