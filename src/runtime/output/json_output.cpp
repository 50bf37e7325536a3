// The JSON destination: one document holding every step and every delivered
// object, streamed to its temporary file as objects arrive. Numbers are the
// shortest texts that read back as the same doubles; the standard missing
// value is null and a special one its text (".A").
#include <nlohmann/json.hpp>
#include <memory>
#include <string>

#include "quilvar/host/missing.hpp"
#include "runtime/output/atomic_file.hpp"
#include "runtime/output/destination.hpp"
#include "runtime/output/formats.hpp"

namespace quilvar::runtime::output {
namespace {

// Printable ASCII other than '"' and '\\' stands in a JSON string as it is.
bool is_plain(std::string_view text) {
  for (char c : text) {
    if (c < ' ' || c > '~' || c == '"' || c == '\\') return false;
  }
  return true;
}

// Texts from data may hold bytes that are not UTF-8; they become U+FFFD.
void append_string(std::string* out, std::string_view text) {
  if (is_plain(text)) {
    *out += '"';
    *out += text;
    *out += '"';
    return;
  }
  *out += nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void append_key(std::string* out, std::string_view key) {
  append_string(out, key);
  *out += ':';
}

void append_number(std::string* out, double number, ShortestTextCache& numbers) {
  if (!host::is_missing(number)) {
    numbers.append(out, number);
    return;
  }
  const std::string special = special_missing_text(number);
  if (special.empty()) {
    *out += "null";
  } else {
    append_string(out, special);
  }
}

void append_value(std::string* out, const Value& value, ShortestTextCache& numbers) {
  if (value.numeric) {
    append_number(out, value.number, numbers);
  } else {
    append_string(out, value.text);
  }
}

void append_origin(std::string* out, const Origin& origin, ShortestTextCache& numbers) {
  append_key(out, "group");
  if (origin.group_name.empty()) {
    *out += "null";
  } else {
    append_string(out, origin.group_name);
  }
  *out += ",\"by\":[";
  for (std::size_t index = 0; index < origin.by.size(); ++index) {
    const ByValue& by = origin.by[index];
    *out += index == 0 ? "{" : ",{";
    append_key(out, "name");
    append_string(out, by.name);
    *out += ",\"value\":";
    append_value(out, Value{by.numeric, by.number, by.text}, numbers);
    *out += '}';
  }
  *out += ']';
}

void append_dynamic(std::string* out, const std::vector<DynamicVariable>& dynamic, ShortestTextCache& numbers) {
  *out += "\"dynamic\":{";
  for (std::size_t index = 0; index < dynamic.size(); ++index) {
    if (index > 0) *out += ',';
    append_key(out, dynamic[index].name);
    append_value(out, dynamic[index].value, numbers);
  }
  *out += '}';
}

void append_column(std::string* out, std::string_view name, std::string_view label, std::string_view type,
                   std::string_view format) {
  *out += "{\"name\":";
  append_string(out, name);
  *out += ",\"label\":";
  append_string(out, label);
  *out += ",\"type\":";
  append_string(out, type);
  *out += ",\"format\":";
  append_string(out, format);
  *out += '}';
}

void append_columns(std::string* out, const Table& table) {
  *out += "\"columns\":[";
  for (std::size_t index = 0; index < table.column_count(); ++index) {
    const ColumnDef& column = (*table.columns)[index];
    if (index > 0) *out += ',';
    append_column(out, column.name, column_header(table, index), column.numeric ? "numeric" : "character",
                  column_format_name(column));
  }
  *out += ']';
}

void append_rows(std::string* out, const Table& table, ShortestTextCache& numbers) {
  *out += "\"rows\":[";
  for (std::size_t row = 0; row < table.row_count(); ++row) {
    *out += row == 0 ? "[" : ",[";
    for (std::size_t column = 0; column < table.column_count(); ++column) {
      if (column > 0) *out += ',';
      const Cell& cell = table.cell(row, column);
      if ((*table.columns)[column].numeric) {
        append_number(out, cell.number, numbers);
      } else {
        append_string(out, table.text(cell));
      }
    }
    *out += ']';
  }
  *out += ']';
}

void append_heading(std::string* out, std::string_view name, std::string_view label, std::string_view path,
                    std::string_view kind) {
  *out += "{\"name\":";
  append_string(out, name);
  *out += ",\"label\":";
  append_string(out, label);
  *out += ",\"template\":";
  append_string(out, path);
  *out += ",\"kind\":";
  append_string(out, kind);
  *out += ',';
}

void append_table(std::string* out, const Table& table, std::string_view kind, ShortestTextCache& numbers) {
  append_heading(out, table.name, table.label, table.template_path, kind);
  append_key(out, "title");
  append_string(out, table_title(table));
  *out += ',';
  append_origin(out, table.origin, numbers);
  *out += ',';
  append_dynamic(out, table.dynamic, numbers);
  *out += ',';
  append_columns(out, table);
  *out += ',';
  append_rows(out, table, numbers);
  *out += '}';
}

void append_list(std::string* out, const InfoList& list, ShortestTextCache& numbers) {
  append_heading(out, list.name, list.label, list.template_path, "list");
  append_key(out, "title");
  append_string(out, list.label);
  *out += ',';
  append_origin(out, list.origin, numbers);
  *out += ",\"dynamic\":{},\"columns\":[";
  append_column(out, "Label", "Label", "character", "");
  *out += ',';
  append_column(out, "Value", "Value", "mixed", "");
  *out += "],\"rows\":[";
  for (std::size_t index = 0; index < list.entries.size(); ++index) {
    *out += index == 0 ? "[" : ",[";
    append_string(out, list.entries[index].label);
    *out += ',';
    append_value(out, list.entries[index].value, numbers);
    *out += ']';
  }
  *out += "]}";
}

void append_graph(std::string* out, const Graph& graph, ShortestTextCache& numbers) {
  append_heading(out, graph.name, graph.label, graph.template_path, "graph");
  append_key(out, "description");
  append_string(out, graph.description);
  *out += ',';
  append_origin(out, graph.origin, numbers);
  *out += ",\"data\":[";
  for (std::size_t index = 0; index < graph.data.size(); ++index) {
    if (index > 0) *out += ',';
    append_table(out, *graph.data[index], "data", numbers);
  }
  *out += "]}";
}

class JsonDestination : public Destination {
 public:
  explicit JsonDestination(std::shared_ptr<ShortestTextCache> numbers) : numbers_(std::move(numbers)) {}

  bool writes_in_background() const override { return true; }

  bool open(const std::string& path, const std::string& program, std::string* error) {
    if (!file_.open(path, error)) return false;
    std::string head = "{\"program\":";
    append_string(&head, program);
    head += ",\"steps\":[";
    file_.write(head);
    return true;
  }

  void begin_step(const StepInfo& step) override {
    std::string head = steps_written_++ > 0 ? ",\n{\"index\":" : "\n{\"index\":";
    head += std::to_string(step.index) + ",\"title\":";
    append_string(&head, step.title);
    head += ",\"outputs\":[";
    file_.write(head);
    outputs_in_step_ = 0;
  }

  void write_table(const Table& table, const DisplayTable* /*display*/) override {
    std::string& out = file_.buffer();
    out += separator();
    append_table(&out, table, "table", *numbers_);
    file_.write_if_full();
  }

  void write_list(const InfoList& list) override {
    std::string& out = file_.buffer();
    out += separator();
    append_list(&out, list, *numbers_);
    file_.write_if_full();
  }

  void write_graph(const Graph& graph) override {
    std::string& out = file_.buffer();
    out += separator();
    append_graph(&out, graph, *numbers_);
    file_.write_if_full();
  }

  void end_step(const StepInfo& step) override {
    std::string tail = "\n],\"procedure\":";
    append_string(&tail, step.procedure_label);
    tail += ",\"status\":" + (step.status ? std::to_string(*step.status) : std::string("null")) + "}";
    file_.write(tail);
  }

  bool finish(std::string* error) override {
    file_.write("\n]}\n");
    return file_.commit(error);
  }

 private:
  std::string_view separator() { return outputs_in_step_++ == 0 ? "\n" : ",\n"; }

  std::shared_ptr<ShortestTextCache> numbers_;
  AtomicFile file_;
  int steps_written_ = 0;
  int outputs_in_step_ = 0;
};

}  // namespace

std::unique_ptr<Destination> make_json_destination(const std::string& path, const std::string& program,
                                                   std::shared_ptr<ShortestTextCache> numbers, std::string* error) {
  auto destination = std::make_unique<JsonDestination>(std::move(numbers));
  if (!destination->open(path, program, error)) return nullptr;
  return destination;
}

}  // namespace quilvar::runtime::output
