// Test definition of the host's signal hook: records each code and continues,
// as the host's default handler does.
#include "quilvar/numeric/signal_recorder.hpp"

#include "quilvar/numeric/signal.hpp"

namespace quilvar::numeric {
namespace {

std::vector<std::uint32_t>& recorded() {
  static std::vector<std::uint32_t> codes;
  return codes;
}

}  // namespace

void raise_floating_signal(std::uint32_t code) { recorded().push_back(code); }

namespace testing {

std::vector<std::uint32_t> take_signals() {
  std::vector<std::uint32_t> codes;
  codes.swap(recorded());
  return codes;
}

}  // namespace testing
}  // namespace quilvar::numeric
