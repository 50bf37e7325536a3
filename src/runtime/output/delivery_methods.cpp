// The delivery methods of the output services: opening output objects,
// adding rows from the bound variables, ending and closing them, information
// list entries, and binding graphs to their data objects.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "runtime/output/methods.hpp"
#include "runtime/output/templates.hpp"

namespace quilvar::runtime::output {
namespace {

using host::OutputItem;

constexpr std::int32_t kMaxDecimals = 30;
constexpr std::int64_t kMaxGraphData = 64;

// The table is taken from the pool: every field is set again, and its
// storage serves once more.
std::unique_ptr<Table> make_table(OutputSystem& system, TemplateObject& source, std::string_view path,
                                  bool graph_data) {
  std::unique_ptr<Table> table = system.take_table();
  table->name.assign(source.name);
  table->label.assign(source.label);
  table->second_label.assign(source.second_label);
  table->template_path.assign(path);
  system.fill_origin(&table->origin);
  table->dynamic.assign(source.dynamic.begin(), source.dynamic.begin() + static_cast<std::ptrdiff_t>(source.dynamic_count));
  table->columns = source.columns;
  table->cells.clear();
  table->texts.clear();
  table->cells.reserve(source.rows_hint * source.columns->size());
  table->texts.reserve(source.texts_hint);
  if (source.stored_path.empty() || source.stored_path != table->template_path) {
    source.stored = find_table_template(table->template_path);
    source.stored_path = table->template_path;
  }
  table->graph_data = graph_data || (source.stored != nullptr && source.stored->graph_data);
  return table;
}

// Reads every bound variable's current value into a new row.
void read_row(Table& table) {
  for (const ColumnDef& column : *table.columns) {
    Cell cell{0.0, 0, 0};
    if (column.numeric) {
      std::memcpy(&cell.number, column.bound, sizeof cell.number);
    } else {
      const auto* text = static_cast<const char*>(column.bound);
      std::size_t length = static_cast<std::size_t>(column.length);
      while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\0')) --length;
      cell.text_offset = static_cast<std::uint32_t>(table.texts.size());
      cell.text_length = static_cast<std::uint32_t>(length);
      table.texts.append(text, length);
    }
    table.cells.push_back(cell);
  }
}

// The delivered graph data objects named by item 2829, or a failure.
std::int32_t find_graph_data(OutputSystem& system, Request& request, std::vector<OdsObject*>* handles) {
  const OutputItem* item = request.require(host::kAttrDataObjectList);
  if (request.failed()) return request.status();
  if (item->type != host::kItemCountedList) return fail(Failure::kWrongItemType);
  const std::int64_t count = host::item_count(*item);
  const auto* list = static_cast<OdsObject* const*>(host::item_counted_address(*item));
  if (count < 1 || count > kMaxGraphData || list == nullptr) return fail(Failure::kBadValue);
  for (std::int64_t index = 0; index < count; ++index) {
    const OutputObject* output = system.registry().find<OutputObject>(list[index]);
    if (output == nullptr) return fail(Failure::kBadHandle);
    if (!output->delivered || !output->table->graph_data) return fail(Failure::kBadState);
    handles->push_back(list[index]);
  }
  return 0;
}

}  // namespace

// Positional items: the first handle item receives the output object, the
// second names the template.
std::int32_t open_output(OutputSystem& system, OdsObject* object, Request& request) {
  if (system.registry().find<ManagerObject>(object) == nullptr) return fail(Failure::kWrongObject);
  OutputItem* result = request.require(host::kAttrPositional, 0);
  const OutputItem* named = request.require(host::kAttrPositional, 1);
  std::string_view path;
  request.view(host::kAttrTemplatePath, &path, true);
  std::int32_t graph_flag = 0;
  request.integer(host::kAttrGraphFlags, &graph_flag, false);
  OutputItem* data_result = request.find(host::kAttrDataObject);
  if (request.failed()) return request.status();
  if (named->type != host::kItemHandle) return fail(Failure::kWrongItemType);
  OdsObject* template_handle = static_cast<OdsObject*>(host::item_pointer(*named));
  TemplateObject* source = system.registry().find<TemplateObject>(template_handle);
  if (source == nullptr) return fail(Failure::kBadHandle);
  const bool open_elsewhere = system.registry().find<OutputObject>(source->open_output) != nullptr;
  if (!source->ended || source->columns->empty() || open_elsewhere) return fail(Failure::kBadState);
  OutputObject output{make_table(system, *source, path, graph_flag == 1), template_handle, false, false};
  OdsObject* handle = system.registry().add(std::move(output));
  std::int32_t status = hand_out(system.registry(), result, handle);
  if (status == 0 && data_result != nullptr && !write_handle(*data_result, handle)) {
    system.registry().remove(handle);
    status = fail(Failure::kWrongItemType);
  }
  if (status == 0) source->open_output = handle;
  return status;
}

std::int32_t add_row(OutputSystem& system, OdsObject* object, Request& /*request*/) {
  TemplateObject* source = system.registry().find<TemplateObject>(object);
  if (source == nullptr) return fail(Failure::kWrongObject);
  OutputObject* output = system.registry().find<OutputObject>(source->open_output);
  if (output == nullptr) return fail(Failure::kNoOpenOutput);
  if (output->rows_ended) return fail(Failure::kBadState);
  read_row(*output->table);
  return 0;
}

std::int32_t end_rows(OutputSystem& system, OdsObject* object, Request& request) {
  std::int32_t mode = 0;
  request.integer(host::kAttrEndMode, &mode, false);
  if (request.failed()) return request.status();
  if (ListObject* list = system.registry().find<ListObject>(object)) {
    // Marked first: a delivery that fails for want of memory has taken the
    // list already, and it must not be delivered again, empty.
    if (!list->delivered) {
      list->delivered = true;
      system.deliver(std::move(list->list));
    }
    return 0;
  }
  TemplateObject* source = system.registry().find<TemplateObject>(object);
  if (source == nullptr) return fail(Failure::kWrongObject);
  OutputObject* output = system.registry().find<OutputObject>(source->open_output);
  if (output == nullptr) return fail(Failure::kNoOpenOutput);
  output->rows_ended = true;
  return 0;
}

// Tables leave the system once delivered; graph data wait for their graph.
std::int32_t close_output(OutputSystem& system, OdsObject* object, Request& request) {
  if (system.registry().find<ManagerObject>(object) == nullptr) return fail(Failure::kWrongObject);
  const OutputItem* named = request.require(host::kAttrPositional, 0);
  if (request.failed()) return request.status();
  if (named->type != host::kItemHandle) return fail(Failure::kWrongItemType);
  OdsObject* handle = static_cast<OdsObject*>(host::item_pointer(*named));
  OutputObject* output = system.registry().find<OutputObject>(handle);
  if (output == nullptr) return fail(Failure::kBadHandle);
  if (output->delivered) return fail(Failure::kBadState);
  TemplateObject* source = system.registry().find<TemplateObject>(output->source);
  if (source != nullptr && source->open_output == handle) source->open_output = nullptr;
  if (source != nullptr) {
    source->rows_hint = output->table->row_count();
    source->texts_hint = output->table->texts.size();
  }
  output->delivered = true;
  if (output->table->graph_data) return 0;
  system.deliver(std::move(output->table));
  system.registry().remove(handle);
  return 0;
}

std::int32_t add_entry(OutputSystem& system, OdsObject* object, Request& request) {
  ListObject* list = system.registry().find<ListObject>(object);
  if (list == nullptr) return fail(Failure::kWrongObject);
  if (list->delivered) return fail(Failure::kBadState);
  InfoEntry entry;
  request.text(host::kAttrLabel, &entry.label, true);
  request.value(host::kAttrDynamicValue, &entry.value, true);
  std::int32_t width = 0;
  request.integer(host::kAttrWidth, &width, false);
  request.integer(host::kAttrDecimals, &entry.decimals, false);
  if (request.failed()) return request.status();
  if (entry.decimals < 0 || entry.decimals > kMaxDecimals) return fail(Failure::kBadValue);
  list->list->entries.push_back(std::move(entry));
  return 0;
}

std::int32_t bind_graph(OutputSystem& system, OdsObject* object, Request& request) {
  if (system.registry().find<ManagerObject>(object) == nullptr) return fail(Failure::kWrongObject);
  auto graph = std::make_shared<Graph>();
  request.text(host::kAttrName, &graph->name, true);
  request.text(host::kAttrLabel, &graph->label, false);
  request.text(host::kAttrDescription, &graph->description, false);
  request.text(host::kAttrTemplatePath, &graph->template_path, true);
  if (request.failed()) return request.status();
  std::vector<OdsObject*> handles;
  if (const std::int32_t status = find_graph_data(system, request, &handles); status != 0) return status;
  graph->origin = system.make_origin();
  for (OdsObject* handle : handles) {
    OutputObject* output = system.registry().find<OutputObject>(handle);
    if (output == nullptr) continue;  // listed twice: taken at its first place
    graph->data.push_back(std::move(output->table));
    system.registry().remove(handle);
  }
  system.deliver(std::shared_ptr<const Graph>(std::move(graph)));
  return 0;
}

}  // namespace quilvar::runtime::output
