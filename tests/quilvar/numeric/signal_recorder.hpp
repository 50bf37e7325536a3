// Test support: records the floating-point signals the library raises.
#pragma once

#include <cstdint>
#include <vector>

namespace quilvar::numeric::testing {

// The codes raised since the last call, oldest first; clears the record.
std::vector<std::uint32_t> take_signals();

}  // namespace quilvar::numeric::testing
