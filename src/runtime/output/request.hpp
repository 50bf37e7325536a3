// Reading the items of one output request. Each reader checks the item's
// value type and range and keeps the first failure, so a method reads all it
// needs and then tests failed() once.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "quilvar/host/output_item.hpp"
#include "runtime/output/output.hpp"
#include "runtime/output/registry.hpp"

namespace quilvar::runtime::output {

class Request {
 public:
  // A negative count, or items missing for a positive count, fails at once.
  Request(Registry& registry, int count, host::OutputItem* items);

  // The `occurrence`-th item (from 0) with the attribute, or null.
  host::OutputItem* find(std::uint16_t attribute, int occurrence = 0);
  // As find, but a missing item is a failure.
  host::OutputItem* require(std::uint16_t attribute, int occurrence = 0);

  // Each reader returns false when the item is absent (a failure only when
  // `required`) or unusable (always a failure); *out is then unchanged.
  // Texts lose their trailing blanks; a text reader reuses *out's storage.
  bool text(std::uint16_t attribute, std::string* out, bool required);
  bool integer(std::uint16_t attribute, std::int32_t* out, bool required);
  bool value(std::uint16_t attribute, Value* out, bool required);

  // Readers of a given item: a text (types 20 and 66), an integer (types 3,
  // 13, and integral doubles), a text or a number (types 3 and 5 numbers).
  bool text_of(const host::OutputItem& item, std::string* out);
  // A text item's value without copying it: valid while the request's items
  // and the step's text values are.
  bool view_of(const host::OutputItem& item, std::string_view* out);
  bool view(std::uint16_t attribute, std::string_view* out, bool required);
  bool integer_of(const host::OutputItem& item, std::int32_t* out);
  bool value_of(const host::OutputItem& item, Value* out);

  std::span<host::OutputItem> items() const { return items_; }
  void fail(Failure failure);
  bool failed() const { return failure_ != 0; }
  std::int32_t status() const;

 private:
  Registry& registry_;
  std::span<host::OutputItem> items_;
  std::uint32_t failure_ = 0;
};

// Writes a new object's handle to a result item: into the item (type 12) or
// through its address (type 67). Returns false for other types or a null
// address.
bool write_handle(host::OutputItem& item, OdsObject* handle);

// The text without trailing blanks and zero bytes. The module hands over
// fixed buffers (names and labels of 256 bytes) mostly blank: whole words of
// blanks or of zeros are passed eight bytes at a time.
inline std::string_view trimmed_view(std::string_view text) {
  constexpr std::uint64_t kBlanks = 0x2020202020202020ull;
  std::size_t length = text.size();
  while (length >= sizeof(std::uint64_t)) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + length - sizeof word, sizeof word);
    if (word != kBlanks && word != 0) break;
    length -= sizeof word;
  }
  while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\0')) --length;
  return text.substr(0, length);
}

}  // namespace quilvar::runtime::output
