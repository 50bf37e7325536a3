// The definition methods of the output services: creating managers,
// templates and information lists, step properties, groups, dynamic
// variables and the columns of a template.
#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/catalog/catalog.hpp"
#include "runtime/output/methods.hpp"

namespace quilvar::runtime::output {
namespace {

using host::OutputItem;

constexpr std::string_view kClassName = "ods";
constexpr std::string_view kKindManager = "manager";
constexpr std::string_view kKindData = "data";
constexpr std::string_view kKindFactoid = "factoid";
constexpr std::int32_t kMaxColumnLength = 32767;

std::int32_t create_manager(OutputSystem& system, Request& request, OutputItem* result) {
  ManagerObject manager;
  request.integer(host::kAttrMessageSet, &manager.message_set, false);
  request.text(host::kAttrName, &manager.name, false);
  if (request.failed()) return request.status();
  return hand_out(system.registry(), result, system.registry().add(std::move(manager)));
}

std::int32_t create_template(OutputSystem& system, Request& request, OutputItem* result) {
  TemplateObject created;
  std::string_view label;
  std::string_view second_label;
  std::string_view path;
  request.text(host::kAttrName, &created.name, true);
  request.view(host::kAttrLabel, &label, false);
  request.view(host::kAttrSecondLabel, &second_label, false);
  request.view(host::kAttrTemplatePath, &path, false);
  if (!request.failed() && created.name.empty()) request.fail(Failure::kBadValue);
  if (request.failed()) return request.status();
  TemplateObject* earlier = system.template_named(created.name);
  const bool reuse_columns = earlier != nullptr && earlier->ended && !earlier->columns->empty();
  if (reuse_columns) {
    created.columns = earlier->columns;
    created.reusing = true;
    created.rows_hint = earlier->rows_hint;
    created.texts_hint = earlier->texts_hint;
    created.stored_path = earlier->stored_path;
    created.stored = earlier->stored;
  }
  const std::string name = created.name;
  OdsObject* handle = system.registry().add(std::move(created));
  if (const std::int32_t status = hand_out(system.registry(), result, handle); status != 0) return status;
  // Made: the template it replaces gives up the storage of its texts and
  // dynamic variables, which it would free as the new one allocates its own.
  TemplateObject& made = *system.registry().find<TemplateObject>(handle);
  if (earlier != nullptr) {
    made.label.swap(earlier->label);
    made.second_label.swap(earlier->second_label);
    made.path.swap(earlier->path);
  }
  if (reuse_columns) {
    made.dynamic = std::move(earlier->dynamic);  // spare records; the new template has none yet
    made.dynamic_count = 0;
  }
  made.label.assign(label);
  made.second_label.assign(second_label);
  made.path.assign(path);
  system.register_template(name, handle);
  return 0;
}

std::int32_t create_list(OutputSystem& system, Request& request, OutputItem* result) {
  // A record from the pool: every field is set again.
  std::unique_ptr<InfoList> list = system.take_list();
  list->name.clear();
  list->label.clear();
  list->second_label.clear();
  list->template_path.clear();
  list->entries.clear();
  request.text(host::kAttrName, &list->name, true);
  request.text(host::kAttrLabel, &list->label, false);
  request.text(host::kAttrSecondLabel, &list->second_label, false);
  request.text(host::kAttrTemplatePath, &list->template_path, false);
  if (request.failed()) return request.status();
  system.fill_origin(&list->origin);
  return hand_out(system.registry(), result, system.registry().add(ListObject{std::move(list), false}));
}

// A text of the request by address and length. Trivially constructible, so
// that the room for the pairs of a request is not filled before they are read.
struct TextRef {
  const char* data;
  std::size_t size;
  std::string_view view() const { return {data, size}; }
  static TextRef of(std::string_view text) { return {text.data(), text.size()}; }
};

// A dynamic variable's value as the request gives it: a number, or a view of
// a text item.
struct ValueView {
  bool numeric;
  double number;
  TextRef text;
};

struct DynamicPair {
  TextRef name;
  ValueView value;
};

bool read_value(Request& request, const OutputItem& item, ValueView* out) {
  if (item.type == host::kItemDouble || item.type == host::kItemInt32) {
    out->numeric = true;
    out->number = item.type == host::kItemDouble ? host::item_double(item) : host::item_int32(item);
    return true;
  }
  out->numeric = false;
  std::string_view text;
  if (!request.view_of(item, &text)) return false;
  out->text = TextRef::of(text);
  return true;
}

void assign_value(Value* target, const ValueView& value) {
  target->numeric = value.numeric;
  target->number = value.numeric ? value.number : 0.0;
  target->text.assign(value.numeric ? std::string_view() : value.text.view());
}

// Sets or adds one of the first *count variables; an existing one keeps its
// storage, and an added one takes the storage of a spare record beyond
// *count when there is one.
void set_dynamic(std::vector<DynamicVariable>* variables, std::size_t* count, std::string_view name,
                 const ValueView& value) {
  for (std::size_t index = 0; index < *count; ++index) {
    DynamicVariable& variable = (*variables)[index];
    if (!same_name(variable.name, name)) continue;
    assign_value(&variable.value, value);
    return;
  }
  if (*count == variables->size()) variables->emplace_back();
  DynamicVariable& added = (*variables)[(*count)++];
  added.name.assign(name);
  assign_value(&added.value, value);
}

void set_dynamic(std::vector<DynamicVariable>* variables, std::string_view name, const ValueView& value) {
  std::size_t count = variables->size();
  set_dynamic(variables, &count, name, value);
}

// A column definition as the request gives it; the texts are views of the
// request's items.
struct ColumnRequest {
  std::string_view name;
  std::string_view label;
  std::string_view format;
  std::string_view definition;
  bool numeric = true;
  const void* bound = nullptr;
  std::int32_t length = 0;

  bool same_as(const ColumnDef& column) const {
    return column.name == name && column.label == label && column.format == format &&
           column.definition == definition && column.numeric == numeric && column.bound == bound &&
           column.length == length;
  }
  ColumnDef made() const {
    return ColumnDef{std::string(name), std::string(label), std::string(format), std::string(definition), numeric,
                     bound, length};
  }
};

// Reads a column definition; false (with the failure recorded) when the
// request is unusable.
bool read_column(Request& request, ColumnRequest* column) {
  std::int32_t type = 0;
  request.integer(host::kAttrColumnType, &type, true);
  request.view(host::kAttrName, &column->name, true);
  request.view(host::kAttrLabel, &column->label, false);
  request.view(host::kAttrFormat, &column->format, false);
  request.view(host::kAttrTemplatePath, &column->definition, false);
  const OutputItem* bound = request.require(host::kAttrBoundVariable);
  if (request.failed()) return false;
  if (bound->type != host::kItemBound) {
    request.fail(Failure::kWrongItemType);
    return false;
  }
  column->bound = host::item_pointer(*bound);
  column->numeric = type == host::kColumnNumeric;
  if (column->numeric) {
    column->length = sizeof(double);
  } else if (type == host::kColumnCharacter) {
    request.integer(host::kAttrTextLength, &column->length, true);
  }
  const bool usable = (column->numeric || type == host::kColumnCharacter) && !column->name.empty() &&
                      column->bound != nullptr && column->length > 0 && column->length <= kMaxColumnLength;
  if (!request.failed() && !usable) request.fail(Failure::kBadValue);
  return !request.failed();
}

// The template gets a list of its own holding the columns matched so far.
void stop_reusing(TemplateObject* target) {
  const auto& shared = *target->columns;
  target->columns = std::make_shared<std::vector<ColumnDef>>(
      shared.begin(), shared.begin() + static_cast<std::ptrdiff_t>(target->matched));
  target->reusing = false;
}

}  // namespace

std::int32_t hand_out(Registry& registry, OutputItem* result, OdsObject* handle) {
  if (write_handle(*result, handle)) return 0;
  registry.remove(handle);
  return fail(Failure::kWrongItemType);
}

std::int32_t create_object(OutputSystem& system, OdsObject* object, Request& request) {
  if (!is_manager_or_root(system.registry(), object)) return fail(Failure::kWrongObject);
  std::string class_name;
  std::string kind;
  request.text(host::kAttrOds, &class_name, true);
  request.text(host::kAttrKind, &kind, true);
  OutputItem* result = request.require(host::kAttrResult);
  if (request.failed()) return request.status();
  if (!same_name(class_name, kClassName)) return fail(Failure::kBadValue);
  if (same_name(kind, kKindManager)) return create_manager(system, request, result);
  if (same_name(kind, kKindData)) return create_template(system, request, result);
  if (same_name(kind, kKindFactoid)) return create_list(system, request, result);
  return fail(Failure::kBadValue);
}

// Item 577 is a builtin text's number or a text value.
std::int32_t set_step_properties(OutputSystem& system, OdsObject* object, Request& request) {
  if (system.registry().find<ManagerObject>(object) == nullptr) return fail(Failure::kWrongObject);
  const OutputItem* item = request.find(host::kAttrBuiltinText);
  if (item == nullptr) return request.status();
  std::int32_t number = 0;
  std::string text;
  if (item->type == host::kItemInt32 && request.integer_of(*item, &number)) {
    text = catalog::format_message(catalog::kBuiltinSet, number, {});
  } else {
    request.text_of(*item, &text);
  }
  if (!request.failed()) {
    system.step().procedure_label = text;
    system.note_step_properties();
  }
  return request.status();
}

std::int32_t open_group(OutputSystem& system, OdsObject* object, Request& request) {
  if (system.registry().find<ManagerObject>(object) == nullptr) return fail(Failure::kWrongObject);
  GroupObject group;
  OutputItem* result = request.require(host::kAttrResult);
  request.text(host::kAttrName, &group.name, false);
  request.text(host::kAttrLabel, &group.label, false);
  if (request.failed()) return request.status();
  OdsObject* handle = system.registry().add(std::move(group));
  const std::int32_t status = hand_out(system.registry(), result, handle);
  if (status == 0) system.open_group(handle);
  return status;
}

// Items come in pairs: a name (311) followed by its value (287).
std::int32_t set_dynamic_variables(OutputSystem& system, OdsObject* object, Request& request) {
  TemplateObject* target = system.registry().find<TemplateObject>(object);
  if (target == nullptr) return fail(Failure::kWrongObject);
  std::span<OutputItem> items = request.items();
  constexpr std::size_t kMaxPairs = 32;
  std::array<DynamicPair, kMaxPairs> pairs;
  std::size_t count = 0;
  for (std::size_t index = 0; index < items.size(); index += 2) {
    if (items[index].attribute != host::kAttrDynamicName || index + 1 >= items.size() ||
        items[index + 1].attribute != host::kAttrDynamicValue) {
      return fail(Failure::kMissingItem);
    }
    if (count == kMaxPairs) return fail(Failure::kBadValue);
    DynamicPair& pair = pairs[count];
    std::string_view name;
    if (!request.view_of(items[index], &name) || !read_value(request, items[index + 1], &pair.value)) break;
    if (name.empty()) return fail(Failure::kBadValue);
    pair.name = TextRef::of(name);
    ++count;
  }
  if (request.failed()) return request.status();
  if (count == 0) return fail(Failure::kMissingItem);
  OutputObject* open = system.registry().find<OutputObject>(target->open_output);
  for (std::size_t index = 0; index < count; ++index) {
    const std::string_view name = pairs[index].name.view();
    set_dynamic(&target->dynamic, &target->dynamic_count, name, pairs[index].value);
    if (open != nullptr) set_dynamic(&open->table->dynamic, name, pairs[index].value);
  }
  return 0;
}

std::int32_t define_column(OutputSystem& system, OdsObject* object, Request& request) {
  TemplateObject* target = system.registry().find<TemplateObject>(object);
  if (target == nullptr) return fail(Failure::kWrongObject);
  if (target->ended) return fail(Failure::kBadState);
  ColumnRequest column;
  if (!read_column(request, &column)) return request.status();
  if (target->reusing) {
    if (target->matched < target->columns->size() && column.same_as((*target->columns)[target->matched])) {
      ++target->matched;
      return 0;
    }
    stop_reusing(target);
  }
  target->columns->push_back(column.made());
  return 0;
}

std::int32_t end_definition(OutputSystem& system, OdsObject* object, Request& /*request*/) {
  TemplateObject* target = system.registry().find<TemplateObject>(object);
  if (target == nullptr) return fail(Failure::kWrongObject);
  if (target->reusing && target->matched < target->columns->size()) stop_reusing(target);
  target->reusing = false;
  target->ended = true;
  return 0;
}

}  // namespace quilvar::runtime::output
