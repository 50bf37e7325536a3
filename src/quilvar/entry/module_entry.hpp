// The module's exported entry points and descriptor: what the host finds
// after loading the shared library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quilvar/host/services.hpp"

namespace quilvar {

// The record through which the host finds the driver.
struct ModuleDescriptor {
  char name[8];                // "mivortek", not terminated
  std::int32_t zero;
  int (*driver)(void* unused);
  std::uint32_t words[4];      // 3, then three identification values
};

// The image information block returned by mcn_main.
inline constexpr std::size_t kImageInfoSize = 70;
inline constexpr std::size_t kImageInfoTagOffset = 24;
inline constexpr std::size_t kImageInfoCountOffset = 28;
inline constexpr std::size_t kImageInfoReleaseOffset = 32;  // 6-byte field
inline constexpr std::size_t kImageInfoStampOffset = 38;    // 20-byte field
inline constexpr std::size_t kImageInfoDateOffset = 58;     // 12-byte field
inline constexpr std::size_t kVersionRecordSize = 208;

// Called by the host's loader on load; succeeds without doing anything.
int module_load_entry();

}  // namespace quilvar

extern "C" {
// Stores the host handle and module data; returns the image information block.
const char* mcn_main(quilvar::host::HostServices* services, void* module_data);
// Copies the 208-byte version record into area; returns 0.
int zqvercn1(void* area);
extern const quilvar::ModuleDescriptor quilvar_module;
}
