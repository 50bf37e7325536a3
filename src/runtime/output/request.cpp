// Item readers of output requests, with their type and range checks.
#include "runtime/output/request.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace quilvar::runtime::output {
namespace {

// Longer texts are taken for a corrupt length rather than copied.
constexpr std::int64_t kMaxTextLength = 1 << 24;

}  // namespace

Request::Request(Registry& registry, int count, host::OutputItem* items) : registry_(registry) {
  if (count < 0 || (count > 0 && items == nullptr)) {
    fail(Failure::kBadValue);
    return;
  }
  if (count > 0) items_ = std::span<host::OutputItem>(items, static_cast<std::size_t>(count));
}

host::OutputItem* Request::find(std::uint16_t attribute, int occurrence) {
  for (host::OutputItem& item : items_) {
    if (item.attribute == attribute && occurrence-- == 0) return &item;
  }
  return nullptr;
}

host::OutputItem* Request::require(std::uint16_t attribute, int occurrence) {
  host::OutputItem* item = find(attribute, occurrence);
  if (item == nullptr) fail(Failure::kMissingItem);
  return item;
}

bool Request::text(std::uint16_t attribute, std::string* out, bool required) {
  const host::OutputItem* item = required ? require(attribute) : find(attribute);
  return item != nullptr && text_of(*item, out);
}

bool Request::integer(std::uint16_t attribute, std::int32_t* out, bool required) {
  const host::OutputItem* item = required ? require(attribute) : find(attribute);
  return item != nullptr && integer_of(*item, out);
}

bool Request::value(std::uint16_t attribute, Value* out, bool required) {
  const host::OutputItem* item = required ? require(attribute) : find(attribute);
  return item != nullptr && value_of(*item, out);
}

bool Request::text_of(const host::OutputItem& item, std::string* out) {
  std::string_view text;
  if (!view_of(item, &text)) return false;
  out->assign(text);
  return true;
}

bool Request::view_of(const host::OutputItem& item, std::string_view* out) {
  if (item.type == host::kItemText) {
    const TextObject* text = registry_.find<TextObject>(host::item_pointer(item));
    if (text == nullptr) {
      fail(Failure::kBadHandle);
      return false;
    }
    *out = trimmed_view(text->text);
    return true;
  }
  if (item.type != host::kItemCountedText) {
    fail(Failure::kWrongItemType);
    return false;
  }
  const std::int64_t length = host::item_count(item);
  const auto* address = static_cast<const char*>(host::item_counted_address(item));
  if (length < 0 || length > kMaxTextLength || (address == nullptr && length > 0)) {
    fail(Failure::kBadValue);
    return false;
  }
  *out = trimmed_view(std::string_view(address == nullptr ? "" : address, static_cast<std::size_t>(length)));
  return true;
}

bool Request::view(std::uint16_t attribute, std::string_view* out, bool required) {
  const host::OutputItem* item = required ? require(attribute) : find(attribute);
  return item != nullptr && view_of(*item, out);
}

bool Request::integer_of(const host::OutputItem& item, std::int32_t* out) {
  switch (item.type) {
    case host::kItemInt32:
      *out = host::item_int32(item);
      return true;
    case host::kItemFlag:
      *out = host::item_flag(item);
      return true;
    case host::kItemDouble: {
      const double number = host::item_double(item);
      if (number == std::trunc(number) && std::fabs(number) <= std::numeric_limits<std::int32_t>::max()) {
        *out = static_cast<std::int32_t>(number);
        return true;
      }
      fail(Failure::kBadValue);
      return false;
    }
    default:
      fail(Failure::kWrongItemType);
      return false;
  }
}

bool Request::value_of(const host::OutputItem& item, Value* out) {
  if (item.type == host::kItemDouble || item.type == host::kItemInt32) {
    out->numeric = true;
    out->number = item.type == host::kItemDouble ? host::item_double(item) : host::item_int32(item);
    out->text.clear();
    return true;
  }
  std::string text;
  if (!text_of(item, &text)) return false;
  *out = Value{false, 0.0, std::move(text)};
  return true;
}

void Request::fail(Failure failure) {
  if (failure_ == 0) failure_ = static_cast<std::uint32_t>(failure);
}

std::int32_t Request::status() const {
  return failure_ == 0 ? 0 : failure_status(static_cast<Failure>(failure_));
}

bool write_handle(host::OutputItem& item, OdsObject* handle) {
  if (item.type == host::kItemHandle) {
    host::set_item_pointer(item, handle);
    return true;
  }
  if (item.type != host::kItemResult) return false;
  void* address = host::item_pointer(item);
  if (address == nullptr) return false;
  std::memcpy(address, &handle, sizeof handle);
  return true;
}

}  // namespace quilvar::runtime::output
