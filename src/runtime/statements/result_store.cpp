// Fills parse-result slots; texts and lists are kept in deques so that the
// pointers handed to the module stay valid while later values are added.
#include "runtime/statements/result_store.hpp"

#include <algorithm>
#include <cstring>

namespace quilvar::runtime::statements {
namespace {

constexpr std::size_t kMaxNameBytes = 255;  // a name's length is one byte

}  // namespace

ResultStore::ResultStore()
    : result_(std::make_unique<host::ParseResult>()),
      values_(std::make_unique<host::ParseSlot[]>(host::kParseSlotCount)) {
  result_->values = values_.get();
}

host::ParseSlot& ResultStore::slot(int n) {
  host::ParseSlot& entry = values_[static_cast<std::size_t>(n)];
  entry = host::ParseSlot{};
  entry.given = 1;
  return entry;
}

void ResultStore::store_number(int n, double value) { slot(n).number = value; }

void ResultStore::store_data_set(int n, host::DataSet* data) { slot(n).data_set = data; }

void ResultStore::store_text(int n, std::string text) {
  const std::string& kept = texts_.emplace_back(std::move(text));
  host::ParseSlot& entry = slot(n);
  entry.length = static_cast<std::int32_t>(kept.size());
  entry.pointer = kept.data();
}

void ResultStore::store_variables(int n, std::vector<std::int32_t> numbers) {
  const std::vector<std::int32_t>& kept = lists_.emplace_back(std::move(numbers));
  host::ParseSlot& entry = slot(n);
  entry.count = static_cast<std::int32_t>(kept.size());
  entry.pointer = kept.data();
}

host::NameBlock* ResultStore::new_block(std::size_t name_bytes) {
  const std::size_t bytes = offsetof(host::NameBlock, names) + std::max(name_bytes, kNameBlockCapacity);
  blocks_.push_back(std::make_unique<std::uint64_t[]>((bytes + 7) / 8));
  return reinterpret_cast<host::NameBlock*>(blocks_.back().get());
}

void ResultStore::store_names(int n, const std::vector<std::string>& names) {
  host::NameBlock* first = nullptr;
  host::NameBlock* block = nullptr;
  std::size_t used = 0;
  std::size_t capacity = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::size_t length = std::min(names[i].size(), kMaxNameBytes);
    if (block == nullptr || used + 1 + length > capacity) {
      host::NameBlock* next = new_block(1 + length);
      (block != nullptr ? block->next : first) = next;
      block = next;
      used = 0;
      capacity = std::max(1 + length, kNameBlockCapacity);
    }
    // Names are written through the byte address: a block is longer than its declared one-byte array.
    std::uint8_t* name = reinterpret_cast<std::uint8_t*>(block) + offsetof(host::NameBlock, names) + used;
    name[0] = static_cast<std::uint8_t>(length);
    std::memcpy(name + 1, names[i].data(), length);
    used += 1 + length;
    block->last_index = static_cast<std::int32_t>(i);
  }
  host::ParseSlot& entry = slot(n);
  entry.count = static_cast<std::int32_t>(names.size());
  entry.pointer = first;
}

}  // namespace quilvar::runtime::statements
