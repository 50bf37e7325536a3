// Test support: drives the output services the way the module does (item
// arrays, bound variables, handles), and gives each test a run with a
// listing stream and a scratch folder for the file destinations.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "quilvar/host/output_item.hpp"
#include "runtime/output/output.hpp"

namespace quilvar::runtime::output::testing {

using host::OdsObject;
using host::OutputItem;

inline OutputItem text_item(std::uint16_t attribute, const char* text) {
  return host::make_counted_text_item(attribute, text, static_cast<std::int64_t>(std::strlen(text)));
}

inline bool failed(std::int32_t status) { return status < 0; }

// The facility and number fields of a status word.
inline std::uint32_t status_facility(std::int32_t status) { return (static_cast<std::uint32_t>(status) >> 11) & 0x7FF; }
inline std::uint32_t status_number(std::int32_t status) { return static_cast<std::uint32_t>(status) & 0x7FF; }

// Calls the output services as the module does.
class ModuleDriver {
 public:
  ModuleDriver() : ods(output_services()) {
    EXPECT_EQ(ods.get_root(&root, 0), 0);
    manager = create(root, "manager", {host::make_int_item(host::kAttrMessageSet, 908)});
  }

  std::int32_t invoke(OdsObject* object, int method, std::vector<OutputItem> items) {
    return ods.invoke(object, nullptr, method, static_cast<int>(items.size()), items.data());
  }

  // Method 147 with class "ods", the kind, a result slot and `extra` items.
  OdsObject* create(OdsObject* on, const char* kind, std::vector<OutputItem> extra) {
    OdsObject* created = nullptr;
    std::vector<OutputItem> items{text_item(host::kAttrOds, "ods"), text_item(host::kAttrKind, kind),
                                  host::make_result_item(host::kAttrResult, &created)};
    items.insert(items.end(), extra.begin(), extra.end());
    EXPECT_EQ(invoke(on, host::kMethodCreate, items), 0) << kind;
    return created;
  }

  OdsObject* create_template(const char* name, const char* label) {
    return create(manager, "data",
                  {host::make_int_item(host::kAttrAlwaysMinusOne, -1), text_item(host::kAttrName, name),
                   host::make_text_item(host::kAttrLabel, ods.make_string(label, -1))});
  }

  std::int32_t set_dynamic(OdsObject* on, std::initializer_list<std::pair<const char*, const char*>> pairs) {
    std::vector<OutputItem> items;
    for (const auto& [name, value] : pairs) {
      items.push_back(text_item(host::kAttrDynamicName, name));
      items.push_back(host::make_text_item(host::kAttrDynamicValue, ods.make_string(value, -1)));
    }
    return invoke(on, host::kMethodSetDynamic, items);
  }

  std::int32_t numeric_column(OdsObject* on, const char* name, const double* slot, const char* label = nullptr,
                              const char* format = nullptr) {
    std::vector<OutputItem> items{host::make_int_item(host::kAttrColumnType, host::kColumnNumeric),
                                  text_item(host::kAttrName, name),
                                  host::make_bound_item(host::kAttrBoundVariable, slot)};
    if (label != nullptr) items.push_back(text_item(host::kAttrLabel, label));
    if (format != nullptr) items.push_back(text_item(host::kAttrFormat, format));
    return invoke(on, host::kMethodDefineColumn, items);
  }

  std::int32_t character_column(OdsObject* on, const char* name, const char* slot, int length) {
    return invoke(on, host::kMethodDefineColumn,
                  {host::make_int_item(host::kAttrColumnType, host::kColumnCharacter), text_item(host::kAttrName, name),
                   host::make_bound_item(host::kAttrBoundVariable, slot),
                   host::make_int_item(host::kAttrTextLength, length)});
  }

  std::int32_t end_definition(OdsObject* on) { return invoke(on, host::kMethodEndDefinition, {}); }

  OdsObject* open(OdsObject* from, const char* path) {
    OdsObject* output = nullptr;
    EXPECT_EQ(invoke(manager, host::kMethodOpenOutput,
                     {host::make_result_item(host::kAttrPositional, &output),
                      host::make_handle_item(host::kAttrPositional, from), text_item(host::kAttrTemplatePath, path)}),
              0);
    return output;
  }

  std::int32_t add_row(OdsObject* on) { return invoke(on, host::kMethodAddRow, {}); }

  std::int32_t end_rows(OdsObject* on) {
    return invoke(on, host::kMethodEndRows, {host::make_int_item(host::kAttrEndMode, 1)});
  }

  std::int32_t close(OdsObject* output) {
    return invoke(manager, host::kMethodCloseOutput, {host::make_handle_item(host::kAttrPositional, output)});
  }

  OdsObject* open_group(const char* name) {
    OdsObject* group = nullptr;
    EXPECT_EQ(invoke(manager, host::kMethodOpenGroup,
                     {host::make_result_item(host::kAttrResult, &group), text_item(host::kAttrName, name),
                      host::make_int_item(host::kAttrTextLength, 256), text_item(host::kAttrLabel, name),
                      host::make_int_item(host::kAttrFlags, 0)}),
              0);
    return group;
  }

  // Opens and closes a graph data object of one row from a template with
  // one numeric column; returns the data object.
  OdsObject* make_graph_data(const char* name, const double* slot) {
    OdsObject* data = create_template(name, "Plot Data");
    EXPECT_EQ(numeric_column(data, "Est", slot), 0);
    EXPECT_EQ(end_definition(data), 0);
    OdsObject* output = nullptr;
    OdsObject* data_object = nullptr;
    EXPECT_EQ(invoke(manager, host::kMethodOpenOutput,
                     {host::make_result_item(host::kAttrPositional, &output),
                      host::make_handle_item(host::kAttrPositional, data), text_item(host::kAttrTemplatePath, name),
                      host::make_int_item(host::kAttrGraphFlags, 1),
                      host::make_result_item(host::kAttrDataObject, &data_object)}),
              0);
    EXPECT_EQ(add_row(data), 0);
    EXPECT_EQ(close(output), 0);
    return data_object;
  }

  std::int32_t bind_graph(const char* name, const char* path, OdsObject* const* data, int count) {
    return invoke(manager, host::kMethodBindGraph,
                  {text_item(host::kAttrName, name), text_item(host::kAttrLabel, "Plot label"),
                   text_item(host::kAttrDescription, "Plot description"), text_item(host::kAttrTemplatePath, path),
                   host::make_counted_list_item(host::kAttrDataObjectList, data, count)});
  }

  const host::OutputServices& ods;
  OdsObject* root = nullptr;
  OdsObject* manager = nullptr;
};

// Copies `text` blank-padded into a fixed-width slot.
template <std::size_t N>
void fill_slot(char (&slot)[N], const char* text) {
  std::memset(slot, ' ', N);
  std::memcpy(slot, text, std::min(N, std::strlen(text)));
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Splits RFC 4180 CSV text into records of fields.
inline std::vector<std::vector<std::string>> parse_csv(const std::string& text) {
  std::vector<std::vector<std::string>> records(1, std::vector<std::string>(1));
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    std::string& field = records.back().back();
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      records.back().emplace_back();
    } else if (c == '\n') {
      records.emplace_back(1);
    } else if (c != '\r') {
      field += c;
    }
  }
  if (records.back().size() == 1 && records.back()[0].empty()) records.pop_back();
  return records;
}

// A run with a listing stream and a scratch folder; the run is abandoned and
// the folder removed when the test ends.
class OutputRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // The process number keeps two test runs on one machine (two build
    // folders, say) out of each other's folders.
    folder_ = std::filesystem::temp_directory_path() /
              (std::string("quilvar_output_") + info->test_suite_name() + "_" + info->name() + "_" +
               std::to_string(getpid()));
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }

  void TearDown() override {
    abandon_run();
    std::filesystem::remove_all(folder_);
  }

  // Starts a run with every destination in the scratch folder; the HTML
  // report keeps `html_kept_in_memory` bytes of text in memory.
  void begin_full_run(std::size_t html_kept_in_memory = OutputOptions{}.html_kept_in_memory) {
    OutputOptions options;
    options.listing = &listing_;
    options.json_path = (folder_ / "out.json").string();
    options.csv_dir = (folder_ / "csv").string();
    options.html_path = (folder_ / "report.html").string();
    options.html_kept_in_memory = html_kept_in_memory;
    options.program_name = "test.qv";
    std::string error;
    ASSERT_TRUE(begin_run(options, &error)) << error;
  }

  void finish() {
    std::string error;
    ASSERT_TRUE(finish_run(&error)) << error;
  }

  std::filesystem::path folder_;
  std::ostringstream listing_;
};

}  // namespace quilvar::runtime::output::testing
