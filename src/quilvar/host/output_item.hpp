// The 32-byte attribute record of the output item protocol: attribute number
// (16 bits) at offset 0, value type (8 bits) at 2, the value from offset 8.
// Where the value sits depends on its type (see the make_* helpers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "quilvar/host/services.hpp"

namespace quilvar::host {

struct OutputItem {
  std::uint16_t attribute;
  std::uint8_t type;
  std::uint8_t reserved[5];
  std::uint8_t value[24];  // offsets 8..31 of the record
};
static_assert(sizeof(OutputItem) == 32);
static_assert(offsetof(OutputItem, type) == 2);
static_assert(offsetof(OutputItem, value) == 8);

// Value types.
inline constexpr std::uint8_t kItemInt32 = 3;         // 32-bit integer at 8
inline constexpr std::uint8_t kItemDouble = 5;        // double at 8
inline constexpr std::uint8_t kItemHandle = 12;       // object handle at 8, in or out
inline constexpr std::uint8_t kItemFlag = 13;         // 32-bit flag at 12
inline constexpr std::uint8_t kItemBound = 17;        // address of a bound variable at 8
inline constexpr std::uint8_t kItemCountedText = 20;  // length (64 bits) at 16, address at 24
inline constexpr std::uint8_t kItemCountedList = 27;  // count at 16, address at 24
inline constexpr std::uint8_t kItemText = 66;         // text value at 8
inline constexpr std::uint8_t kItemResult = 67;       // address of an 8-byte result at 8

// Attribute numbers.
inline constexpr std::uint16_t kAttrOds = 143;
inline constexpr std::uint16_t kAttrKind = 146;
inline constexpr std::uint16_t kAttrResult = 144;
inline constexpr std::uint16_t kAttrMessageSet = 383;
inline constexpr std::uint16_t kAttrAlwaysMinusOne = 148;
inline constexpr std::uint16_t kAttrName = 138;
inline constexpr std::uint16_t kAttrLabel = 296;
inline constexpr std::uint16_t kAttrSecondLabel = 267;
inline constexpr std::uint16_t kAttrDescription = 310;
inline constexpr std::uint16_t kAttrTemplatePath = 339;
inline constexpr std::uint16_t kAttrDynamicName = 311;
inline constexpr std::uint16_t kAttrDynamicValue = 287;
inline constexpr std::uint16_t kAttrColumnType = 103;
inline constexpr std::uint16_t kAttrBoundVariable = 285;
inline constexpr std::uint16_t kAttrTextLength = 289;
inline constexpr std::uint16_t kAttrFormat = 340;
inline constexpr std::uint16_t kAttrWidth = 272;
inline constexpr std::uint16_t kAttrDecimals = 270;
inline constexpr std::uint16_t kAttrEndMode = 300;
inline constexpr std::uint16_t kAttrFlags = 286;
inline constexpr std::uint16_t kAttrGraphFlags = 2640;
inline constexpr std::uint16_t kAttrDataObject = 784;
inline constexpr std::uint16_t kAttrDataObjectList = 2829;
inline constexpr std::uint16_t kAttrBuiltinText = 577;
inline constexpr std::uint16_t kAttrGraphicsEnabled = 1334;
inline constexpr std::uint16_t kAttrPositional = 0;  // unnamed handle items of method 422/428

// Column types (attribute 103).
inline constexpr std::int32_t kColumnNumeric = 5;
inline constexpr std::int32_t kColumnCharacter = 6;

// Methods of ods_invoke.
inline constexpr int kMethodCreate = 147;
inline constexpr int kMethodStepProperties = 439;
inline constexpr int kMethodOpenGroup = 300;
inline constexpr int kMethodSetDynamic = 316;
inline constexpr int kMethodDefineColumn = 338;
inline constexpr int kMethodEndDefinition = 298;
inline constexpr int kMethodOpenOutput = 422;
inline constexpr int kMethodAddRow = 329;
inline constexpr int kMethodEndRows = 299;
inline constexpr int kMethodCloseOutput = 428;
inline constexpr int kMethodAddEntry = 164;
inline constexpr int kMethodBindGraph = 2826;

// Fixed class operations.
inline constexpr int kClassReadAttribute = 2;
inline constexpr int kClassRelease = 4;

// Readers of an item's value, by type.
inline std::int32_t item_int32(const OutputItem& item) {
  std::int32_t v;
  std::memcpy(&v, item.value, sizeof v);
  return v;
}
inline double item_double(const OutputItem& item) {
  double v;
  std::memcpy(&v, item.value, sizeof v);
  return v;
}
inline void* item_pointer(const OutputItem& item) {
  void* v;
  std::memcpy(&v, item.value, sizeof v);
  return v;
}
inline std::int32_t item_flag(const OutputItem& item) {
  std::int32_t v;
  std::memcpy(&v, item.value + 4, sizeof v);
  return v;
}
inline std::int64_t item_count(const OutputItem& item) {
  std::int64_t v;
  std::memcpy(&v, item.value + 8, sizeof v);
  return v;
}
inline const void* item_counted_address(const OutputItem& item) {
  const void* v;
  std::memcpy(&v, item.value + 16, sizeof v);
  return v;
}
inline void set_item_pointer(OutputItem& item, const void* p) { std::memcpy(item.value, &p, sizeof p); }

// Builders.
inline OutputItem make_item(std::uint16_t attribute, std::uint8_t type) {
  OutputItem item{};
  item.attribute = attribute;
  item.type = type;
  return item;
}
inline OutputItem make_int_item(std::uint16_t attribute, std::int32_t value) {
  OutputItem item = make_item(attribute, kItemInt32);
  std::memcpy(item.value, &value, sizeof value);
  return item;
}
inline OutputItem make_double_item(std::uint16_t attribute, double value) {
  OutputItem item = make_item(attribute, kItemDouble);
  std::memcpy(item.value, &value, sizeof value);
  return item;
}
inline OutputItem make_handle_item(std::uint16_t attribute, OdsObject* handle) {
  OutputItem item = make_item(attribute, kItemHandle);
  set_item_pointer(item, handle);
  return item;
}
inline OutputItem make_flag_item(std::uint16_t attribute, std::int32_t flag) {
  OutputItem item = make_item(attribute, kItemFlag);
  std::memcpy(item.value + 4, &flag, sizeof flag);
  return item;
}
inline OutputItem make_bound_item(std::uint16_t attribute, const void* address) {
  OutputItem item = make_item(attribute, kItemBound);
  set_item_pointer(item, address);
  return item;
}
inline OutputItem make_counted_text_item(std::uint16_t attribute, const char* text, std::int64_t length) {
  OutputItem item = make_item(attribute, kItemCountedText);
  std::memcpy(item.value + 8, &length, sizeof length);
  std::memcpy(item.value + 16, &text, sizeof text);
  return item;
}
inline OutputItem make_counted_list_item(std::uint16_t attribute, const void* list, std::int64_t count) {
  OutputItem item = make_item(attribute, kItemCountedList);
  std::memcpy(item.value + 8, &count, sizeof count);
  std::memcpy(item.value + 16, &list, sizeof list);
  return item;
}
inline OutputItem make_text_item(std::uint16_t attribute, OdsText* text) {
  OutputItem item = make_item(attribute, kItemText);
  set_item_pointer(item, text);
  return item;
}
inline OutputItem make_result_item(std::uint16_t attribute, void* result) {
  OutputItem item = make_item(attribute, kItemResult);
  set_item_pointer(item, result);
  return item;
}

}  // namespace quilvar::host
