// The output services table: the methods of ods_invoke, the class
// operations, the step root and the text values. Every entry point checks its
// handles and items, answers a malformed request with a failing status word,
// and lets no exception escape to the module.
#include <array>
#include <cstring>
#include <span>

#include "quilvar/host/output_item.hpp"
#include "runtime/catalog/catalog.hpp"
#include "runtime/output/methods.hpp"

namespace quilvar::runtime::output {
namespace {

using host::OutputItem;

constexpr std::int64_t kMaxTextLength = 1 << 24;

using MethodHandler = std::int32_t (*)(OutputSystem&, OdsObject*, Request&);

struct MethodEntry {
  int method;
  MethodHandler handler;
};

// In the order of how often a run calls them (rows first), as the look-up
// goes down the table.
constexpr std::array kMethods{
    MethodEntry{host::kMethodAddRow, add_row},
    MethodEntry{host::kMethodSetDynamic, set_dynamic_variables},
    MethodEntry{host::kMethodDefineColumn, define_column},
    MethodEntry{host::kMethodOpenOutput, open_output},
    MethodEntry{host::kMethodEndRows, end_rows},
    MethodEntry{host::kMethodCloseOutput, close_output},
    MethodEntry{host::kMethodCreate, create_object},
    MethodEntry{host::kMethodEndDefinition, end_definition},
    MethodEntry{host::kMethodAddEntry, add_entry},
    MethodEntry{host::kMethodOpenGroup, open_group},
    MethodEntry{host::kMethodStepProperties, set_step_properties},
    MethodEntry{host::kMethodBindGraph, bind_graph},
};

std::int32_t invoke_method(OdsObject* object, int method, int count, OutputItem* items) {
  OutputSystem& system = output_system();
  if (!system.in_step()) return fail(Failure::kNoStep);
  if (!system.registry().contains(object)) return fail(Failure::kBadHandle);
  for (const MethodEntry& entry : kMethods) {
    if (entry.method != method) continue;
    Request request(system.registry(), count, items);
    if (request.failed()) return request.status();
    return entry.handler(system, object, request);
  }
  return fail(Failure::kUnknownMethod);
}

// Attribute 1334 answers whether graphs are made, as a flag (type 13), an
// integer (type 3) or through a result address (type 67).
std::int32_t read_attribute(OutputSystem& system, OutputItem& item) {
  if (item.attribute != host::kAttrGraphicsEnabled) return fail(Failure::kBadValue);
  const std::int32_t enabled = system.graphics_enabled() ? 1 : 0;
  if (item.type == host::kItemFlag) {
    std::memcpy(item.value + 4, &enabled, sizeof enabled);
  } else if (item.type == host::kItemInt32) {
    std::memcpy(item.value, &enabled, sizeof enabled);
  } else if (item.type == host::kItemResult && host::item_pointer(item) != nullptr) {
    const std::int64_t wide = enabled;
    std::memcpy(host::item_pointer(item), &wide, sizeof wide);
  } else {
    return fail(Failure::kWrongItemType);
  }
  return 0;
}

// Releasing a list delivers it first when its rows were never ended.
std::int32_t release_object(OutputSystem& system, OdsObject* object) {
  if (system.registry().find<GroupObject>(object) != nullptr) {
    system.release_group(object);
    return 0;
  }
  ListObject* list = system.registry().find<ListObject>(object);
  if (list == nullptr) return fail(Failure::kWrongObject);
  if (!list->delivered) {
    list->delivered = true;  // before the delivery, which may fail for want of memory
    system.deliver(std::move(list->list));
  }
  system.registry().remove(object);
  return 0;
}

std::int32_t class_operation_unguarded(OdsObject* object, int operation, int count, OutputItem* items) {
  OutputSystem& system = output_system();
  if (!system.in_step()) return fail(Failure::kNoStep);
  if (!system.registry().contains(object)) return fail(Failure::kBadHandle);
  if (operation == host::kClassReadAttribute) {
    if (count < 1 || items == nullptr) return fail(Failure::kMissingItem);
    if (!is_manager_or_root(system.registry(), object)) return fail(Failure::kWrongObject);
    return read_attribute(system, items[0]);
  }
  if (operation == host::kClassRelease) return release_object(system, object);
  return fail(Failure::kUnknownMethod);
}

std::int32_t ods_invoke(OdsObject* object, OdsObject* /*klass*/, int method, int count, OutputItem* items) {
  try {
    return invoke_method(object, method, count, items);
  } catch (...) {
    return fail(Failure::kInternal);
  }
}

std::int32_t ods_class_operation(OdsObject* object, int operation, int count, OutputItem* items) {
  try {
    return class_operation_unguarded(object, operation, count, items);
  } catch (...) {
    return fail(Failure::kInternal);
  }
}

std::int32_t ods_get_root(OdsObject** root, int /*zero*/) {
  try {
    if (root == nullptr) return fail(Failure::kMissingItem);
    if (!output_system().in_step()) return fail(Failure::kNoStep);
    *root = output_system().root();
    return 0;
  } catch (...) {
    return fail(Failure::kInternal);
  }
}

// Text values are made only inside a step; null otherwise or on failure.
host::OdsText* make_text_value(std::string text) {
  if (!output_system().in_step()) return nullptr;
  return as_text(output_system().make_text(std::move(text)));
}

host::OdsText* ods_make_string(const char* text, std::int64_t length) {
  try {
    if ((text == nullptr && length != 0) || length < -1 || length > kMaxTextLength) return nullptr;
    if (text == nullptr) return make_text_value(std::string());
    const std::size_t size = length == -1 ? std::strlen(text) : static_cast<std::size_t>(length);
    return make_text_value(std::string(text, size));
  } catch (...) {
    return nullptr;
  }
}

host::OdsText* ods_make_builtin_text(void* /*null*/, int number) {
  try {
    return make_text_value(catalog::format_message(catalog::kBuiltinSet, number, {}));
  } catch (...) {
    return nullptr;
  }
}

host::OdsText* ods_make_message_text(int set, int number, const host::MessageArg* args, int count) {
  try {
    if (count < 0 || (count > 0 && args == nullptr)) return nullptr;
    const std::span<const host::MessageArg> arguments(args, static_cast<std::size_t>(count));
    return make_text_value(catalog::format_message(set, number, arguments));
  } catch (...) {
    return nullptr;
  }
}

constexpr host::OutputServices kOutputServices{ods_invoke,           ods_class_operation,   ods_get_root,
                                               ods_make_string,      ods_make_builtin_text, ods_make_message_text};

}  // namespace

const host::OutputServices& output_services() { return kOutputServices; }

}  // namespace quilvar::runtime::output
