// Floating-point signals of the numerical library. The library raises them
// where a result overflows or a power is invalid; what happens next is the
// host's decision (its default handler lets the computation continue, and
// the function returns its documented limiting value).
#pragma once

#include <cstdint>

namespace quilvar::numeric {

inline constexpr std::uint32_t kSignalFloatingOverflow = 0xC0000091u;
inline constexpr std::uint32_t kSignalInvalidPower = 0xE0000001u;

// Defined outside this library: by the module's host layer, which hands the
// code to the host, and by tests, which record it.
void raise_floating_signal(std::uint32_t code);

}  // namespace quilvar::numeric
