// Test support for the graph renderer: graphs built directly as delivered
// records (a data object with its columns, rows and dynamic variables), and
// a well-formedness check of markup.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "quilvar/host/missing.hpp"
#include "runtime/output/model.hpp"

namespace quilvar::runtime::output::testing {

// A cell given as a number, missing (nullopt) or a text.
using CellValue = std::variant<std::optional<double>, std::string>;
inline constexpr std::optional<double> kNone = std::nullopt;

struct GraphBuilder {
  std::vector<std::string> column_names;
  std::vector<bool> numeric;
  std::vector<std::vector<CellValue>> rows;
  std::vector<DynamicVariable> dynamic;

  GraphBuilder& number(const std::string& name, double value) {
    dynamic.push_back({name, Value{true, value, ""}});
    return *this;
  }
  GraphBuilder& text(const std::string& name, const std::string& value) {
    dynamic.push_back({name, Value{false, 0, value}});
    return *this;
  }

  Graph build(const std::string& template_path, const std::string& label = "Plot") const {
    auto columns = std::make_shared<std::vector<ColumnDef>>();
    for (std::size_t i = 0; i < column_names.size(); ++i) {
      ColumnDef column;
      column.name = column_names[i];
      column.numeric = numeric[i];
      columns->push_back(column);
    }
    auto table = std::make_unique<Table>();
    table->name = "Phantom";
    table->columns = columns;
    table->dynamic = dynamic;
    table->graph_data = true;
    for (const auto& row : rows) {
      for (const CellValue& value : row) table->cells.push_back(cell(*table, value));
    }
    Graph graph;
    graph.name = "Plot";
    graph.label = label;
    graph.description = label + " description";
    graph.template_path = template_path;
    graph.data.push_back(std::move(table));
    return graph;
  }

 private:
  static Cell cell(Table& table, const CellValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
      Cell c{0, static_cast<std::uint32_t>(table.texts.size()), static_cast<std::uint32_t>(text->size())};
      table.texts += *text;
      return c;
    }
    const auto& number = std::get<std::optional<double>>(value);
    return Cell{number ? *number : quilvar::host::kMissing, 0, 0};
  }
};

// Whether every element of the markup is closed in order, every attribute
// value quoted, and no character data holds a raw '<' or '&' outside an
// entity. Sets *problem when not.
inline bool well_formed(const std::string& markup, std::string* problem) {
  std::vector<std::string> open;
  for (std::size_t i = 0; i < markup.size(); ++i) {
    if (markup[i] == '&') {
      const std::size_t end = markup.find(';', i);
      if (end == std::string::npos || end - i > 8) return *problem = "bare & at " + std::to_string(i), false;
      continue;
    }
    if (markup[i] != '<') continue;
    const std::size_t end = markup.find('>', i);
    if (end == std::string::npos) return *problem = "unclosed tag", false;
    const std::string tag = markup.substr(i + 1, end - i - 1);
    if (std::count(tag.begin(), tag.end(), '"') % 2 != 0) return *problem = "unbalanced quotes: " + tag, false;
    if (tag.find('<') != std::string::npos) return *problem = "'<' inside a tag: " + tag, false;
    const std::string name = tag.substr(tag[0] == '/' ? 1 : 0, tag.find_first_of(" />", 1) - (tag[0] == '/' ? 1 : 0));
    if (tag[0] == '/') {
      if (open.empty() || open.back() != name) return *problem = "mismatched </" + name + ">", false;
      open.pop_back();
    } else if (tag.back() != '/') {
      open.push_back(name);
    }
    i = end;
  }
  if (!open.empty()) return *problem = "unclosed <" + open.back() + ">", false;
  return true;
}

inline std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace quilvar::runtime::output::testing
