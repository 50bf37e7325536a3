// Reads flags and value slots of the parse result in the layout the host
// parser writes them (24-byte slots, names as length byte + characters).
#include "quilvar/syntax/parse_result.hpp"

namespace quilvar::syntax {
namespace {

// The slot, or null when the result has no value block or n is out of range.
const host::ParseSlot* find_slot(const host::ParseResult& result, int n) {
  if (result.values == nullptr || n < 0 || n > host::kLastSlot) return nullptr;
  const host::ParseSlot* slot = &result.values[n];
  return slot->given != 0 ? slot : nullptr;
}

}  // namespace

bool flag(const host::ParseResult& result, int n) {
  return n >= 0 && n <= host::kLastFlag && host::parse_flag(result, n);
}

NumberSlot number_slot(const host::ParseResult& result, int slot) {
  const host::ParseSlot* found = find_slot(result, slot);
  return found != nullptr ? NumberSlot{true, found->number} : NumberSlot{false, 0.0};
}

host::DataSet* data_set_slot(const host::ParseResult& result, int slot) {
  const host::ParseSlot* found = find_slot(result, slot);
  return found != nullptr ? static_cast<host::DataSet*>(found->data_set) : nullptr;
}

TextSlot text_slot(const host::ParseResult& result, int slot) {
  const host::ParseSlot* found = find_slot(result, slot);
  if (found == nullptr || found->pointer == nullptr) return {false, {}};
  return {true, std::string_view(static_cast<const char*>(found->pointer), static_cast<std::size_t>(found->length))};
}

std::span<const std::int32_t> variable_list_slot(const host::ParseResult& result, int slot) {
  const host::ParseSlot* found = find_slot(result, slot);
  if (found == nullptr || found->pointer == nullptr || found->count <= 0) return {};
  return {static_cast<const std::int32_t*>(found->pointer), static_cast<std::size_t>(found->count)};
}

int name_count(const host::ParseResult& result, int slot) {
  const host::ParseSlot* found = find_slot(result, slot);
  return found != nullptr && found->pointer != nullptr ? found->count : 0;
}

std::optional<std::string_view> list_name(const host::ParseResult& result, int slot, int i) {
  const host::ParseSlot* found = find_slot(result, slot);
  if (found == nullptr) return std::nullopt;
  return chain_name(static_cast<const host::NameBlock*>(found->pointer), i);
}

std::optional<std::string_view> chain_name(const host::NameBlock* first, int i) {
  if (i < 0) return std::nullopt;
  int first_index = 0;  // index of the block's first name
  for (const host::NameBlock* block = first; block != nullptr; block = block->next) {
    if (block->last_index >= i) {
      // Names are read through the byte address: a block is longer than its declared one-byte array.
      const auto* name = reinterpret_cast<const std::uint8_t*>(block) + offsetof(host::NameBlock, names);
      for (int skip = first_index; skip < i; ++skip) name += 1 + name[0];
      return std::string_view(reinterpret_cast<const char*>(name + 1), name[0]);
    }
    first_index = block->last_index + 1;
  }
  return std::nullopt;
}

}  // namespace quilvar::syntax
