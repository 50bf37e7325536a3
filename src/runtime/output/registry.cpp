// Handle encoding of the object registry: the low 32 bits hold the slot
// index plus one (so no handle is null), the high 32 bits the generation.
#include "runtime/output/registry.hpp"

namespace quilvar::runtime::output {

OdsObject* Registry::encode(std::uint32_t index, std::uint32_t generation) {
  const std::uintptr_t value = (static_cast<std::uintptr_t>(generation) << 32) | (std::uintptr_t{index} + 1);
  return reinterpret_cast<OdsObject*>(value);
}

void Registry::remove(const void* handle) {
  Slot* slot = locate(handle);
  if (slot == nullptr) return;
  slot->payload = std::monostate{};
  ++slot->generation;
  free_.push_back(static_cast<std::uint32_t>((reinterpret_cast<std::uintptr_t>(handle) & 0xFFFFFFFFu) - 1));
}

void Registry::clear() {
  free_.clear();
  for (std::uint32_t index = static_cast<std::uint32_t>(slots_.size()); index > 0; --index) {
    Slot& slot = *slots_[index - 1];
    if (!std::holds_alternative<std::monostate>(slot.payload)) {
      slot.payload = std::monostate{};
      ++slot.generation;
    }
    free_.push_back(index - 1);
  }
}

}  // namespace quilvar::runtime::output
