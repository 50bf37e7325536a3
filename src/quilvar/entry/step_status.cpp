// Step status bookkeeping; see step_status.hpp.
#include "quilvar/entry/step_status.hpp"

#include "quilvar/host/calls.hpp"

namespace quilvar {

namespace {

constexpr std::uint32_t kBenignFacility = 63;
constexpr std::uint32_t kBenignNumber = 53;

bool is_benign(std::uint32_t word) {
  const std::uint32_t facility = (word >> 11) & 0x7FF;  // bits 11..21
  const std::uint32_t number = word & 0x7FF;            // bits 0..10
  return facility == kBenignFacility && number == kBenignNumber;
}

}  // namespace

void raise_step_status(ProcContext& context, int status) {
  if (status > context.step_status) context.step_status = status;
}

void check_output_status(ProcContext& context, std::int32_t status) {
  if (status >= 0) return;
  const auto word = static_cast<std::uint32_t>(status);
  host::host_report_status(word);
  if (!is_benign(word)) raise_step_status(context, host::kStatusOutputFailed);
}

}  // namespace quilvar
