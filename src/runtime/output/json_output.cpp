// The JSON destination: one document holding every step and every delivered
// object, streamed to its temporary file as objects arrive. Numbers are the
// shortest texts that read back as the same doubles; the standard missing
// value is null and a special one its text (".A").
#include <nlohmann/json.hpp>
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>
#include <string>

#include "quilvar/host/missing.hpp"
#include "runtime/output/atomic_file.hpp"
#include "runtime/output/destination.hpp"
#include "runtime/output/formats.hpp"

namespace quilvar::runtime::output {
namespace {

// Printable ASCII other than '"' and '\\' stands in a JSON string as it is.
constexpr std::array<bool, 256> kPlainBytes = [] {
  std::array<bool, 256> plain{};
  for (int byte = ' '; byte <= '~'; ++byte) plain[static_cast<std::size_t>(byte)] = byte != '"' && byte != '\\';
  return plain;
}();

bool is_plain(std::string_view text) {
  for (char c : text) {
    if (!kPlainBytes[static_cast<unsigned char>(c)]) return false;
  }
  return true;
}

// The JSON string of a text that is not plain. Texts from data may hold
// bytes that are not UTF-8; they become U+FFFD.
std::string escaped_string(std::string_view text) {
  return nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The most room put_string needs for a text of `length` bytes: a control
// character becomes six ("\u001f").
std::size_t string_room(std::size_t length) { return 6 * length + 2; }

// Writes the text as a JSON string at `at`, which has string_room bytes of
// room: as it is between quotes when plain, else escaped.
char* put_string(char* at, std::string_view text) {
  if (!is_plain(text)) return put_text(at, escaped_string(text));
  *at++ = '"';
  at = put_text(at, text);
  *at++ = '"';
  return at;
}

// Writes append_number's text at `at`, which has kShortestTextRoom bytes of
// room.
char* put_number(char* at, double number, ShortestTextCache& numbers) {
  if (!host::is_missing(number)) return numbers.write(at, number);
  const char letter = host::missing_letter(number);
  if (letter == 0) return put_text(at, "null");
  const char special[] = {'"', '.', letter, '"'};
  return put_text(at, std::string_view(special, sizeof special));
}

void append_string(std::string* out, std::string_view text) {
  close_room(out, put_string(open_room(out, string_room(text.size())), text));
}

void append_key(std::string* out, std::string_view key) {
  append_string(out, key);
  *out += ':';
}

void append_number(std::string* out, double number, ShortestTextCache& numbers) {
  char text[kShortestTextRoom];
  out->append(text, static_cast<std::size_t>(put_number(text, number, numbers) - text));
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

// The rows of a table, each written in place in room enough for its
// longest possible text.
void append_rows(std::string* out, const Table& table, ShortestTextCache& numbers) {
  *out += "\"rows\":[";
  const ColumnDef* const columns = table.columns->data();
  const std::size_t count = table.column_count();
  const std::size_t rows = table.row_count();
  for (std::size_t row = 0; row < rows; ++row) {
    const Cell* const cells = &table.cell(row, 0);
    std::size_t room = count + 3;
    for (std::size_t column = 0; column < count; ++column) {
      room += columns[column].numeric ? kShortestTextRoom : string_room(cells[column].text_length);
    }
    char* at = open_room(out, room);
    if (row > 0) *at++ = ',';
    *at++ = '[';
    for (std::size_t column = 0; column < count; ++column) {
      if (column > 0) *at++ = ',';
      const Cell& cell = cells[column];
      at = columns[column].numeric ? put_number(at, cell.number, numbers) : put_string(at, table.text(cell));
    }
    *at++ = ']';
    close_room(out, at);
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

// The parts of a table's object that the same template gives again and
// again, BY group after BY group: its title, dynamic variables and columns.
// Kept per table name with what they were made from, and made again only
// when any of that differs.
struct TableLayout {
  std::shared_ptr<const std::vector<ColumnDef>> columns;
  std::string name;
  std::string label;
  std::string template_path;
  std::vector<DynamicVariable> dynamic;
  std::string title;    // "title":"..."
  std::string columns_text;  // "dynamic":{...},"columns":[...]
};

bool same_values(const std::vector<DynamicVariable>& a, const std::vector<DynamicVariable>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const DynamicVariable& x, const DynamicVariable& y) {
    return x.name == y.name && x.value.numeric == y.value.numeric && x.value.text == y.value.text &&
           std::bit_cast<std::uint64_t>(x.value.number) == std::bit_cast<std::uint64_t>(y.value.number);
  });
}

bool made_from(const TableLayout& layout, const Table& table) {
  return layout.columns == table.columns && layout.name == table.name && layout.label == table.label &&
         layout.template_path == table.template_path && same_values(layout.dynamic, table.dynamic);
}

void make_layout(const Table& table, ShortestTextCache& numbers, TableLayout* layout) {
  *layout = TableLayout{table.columns, table.name, table.label, table.template_path, table.dynamic, {}, {}};
  append_key(&layout->title, "title");
  append_string(&layout->title, table_title(table));
  append_dynamic(&layout->columns_text, table.dynamic, numbers);
  layout->columns_text += ',';
  append_columns(&layout->columns_text, table);
}

// `layouts` may be null: the layout is then made for this table alone.
void append_table(std::string* out, const Table& table, std::string_view kind, ShortestTextCache& numbers,
                  std::unordered_map<std::string, TableLayout>* layouts) {
  TableLayout single;
  TableLayout* layout = &single;
  if (layouts != nullptr) layout = &(*layouts)[table.name];
  if (layouts == nullptr || !made_from(*layout, table)) make_layout(table, numbers, layout);
  append_heading(out, table.name, table.label, table.template_path, kind);
  *out += layout->title;
  *out += ',';
  append_origin(out, table.origin, numbers);
  *out += ',';
  *out += layout->columns_text;
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
    append_table(out, *graph.data[index], "data", numbers, nullptr);
  }
  *out += "]}";
}

class JsonDestination : public Destination {
 public:
  explicit JsonDestination(std::shared_ptr<ShortestTextCache> numbers) : numbers_(std::move(numbers)) {}

  DeliveryThread delivery_thread() const override { return DeliveryThread::kFiles; }

  bool open(const std::string& path, const std::string& program, const InputFiles* inputs, std::string* error) {
    if (!file_.open(path, error, inputs)) return false;
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
    append_table(&out, table, "table", *numbers_, &layouts_);
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
    tail += ",\"status\":" + (step.status ? std::to_string(*step.status) : std::string("null"));
    // The step's first warnings and errors, as the log gives them, and how
    // many more the log holds: a reader of the document can tell a step
    // (or BY group) that went wrong without the log.
    tail += ",\"messages\":[";
    for (std::size_t i = 0; i < step.messages.size(); ++i) {
      if (i > 0) tail += ',';
      append_string(&tail, step.messages[i]);
    }
    tail += "],\"more_messages\":" + std::to_string(step.more_messages) + "}";
    file_.write(tail);
  }

  bool finish(std::string* error) override {
    file_.write("\n]}\n");
    return file_.commit(error);
  }

  bool abandon(std::string* error) override {
    file_.discard();
    *error = unwritten_file_error(file_.path().string());
    return false;
  }

 private:
  std::string_view separator() { return outputs_in_step_++ == 0 ? "\n" : ",\n"; }

  std::shared_ptr<ShortestTextCache> numbers_;
  std::unordered_map<std::string, TableLayout> layouts_;
  AtomicFile file_;
  int steps_written_ = 0;
  int outputs_in_step_ = 0;
};

}  // namespace

std::unique_ptr<Destination> make_json_destination(const std::string& path, const std::string& program,
                                                   std::shared_ptr<ShortestTextCache> numbers,
                                                   const InputFiles* inputs, std::string* error) {
  auto destination = std::make_unique<JsonDestination>(std::move(numbers));
  if (!destination->open(path, program, inputs, error)) return nullptr;
  return destination;
}

}  // namespace quilvar::runtime::output
