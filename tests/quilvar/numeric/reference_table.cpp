#include "quilvar/numeric/reference_table.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quilvar::numeric::testing {
namespace {

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream stream(line);
  std::string field;
  while (std::getline(stream, field, ',')) {
    fields.push_back(field);
  }
  return fields;
}

}  // namespace

ReferenceTable::ReferenceTable(std::string_view file_name) {
  const std::string path = std::string(QUILVAR_NUMERIC_REFERENCE_DIR) + "/" + std::string(file_name);
  std::ifstream input(path);
  std::string line;
  if (!input || !std::getline(input, line)) {
    throw std::runtime_error("cannot read " + path);
  }
  columns_ = split(line);
  while (std::getline(input, line)) {
    if (line.empty()) {
      continue;
    }
    std::vector<std::string> fields = split(line);
    if (fields.size() != columns_.size()) {
      throw std::runtime_error("bad row in " + path + ": " + line);
    }
    std::vector<double> numbers;
    for (const std::string& field : fields) {
      numbers.push_back(std::strtod(field.c_str(), nullptr));
    }
    texts_.push_back(std::move(fields));
    values_.push_back(std::move(numbers));
  }
}

double ReferenceTable::at(std::size_t row, std::string_view column) const {
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    if (columns_[i] == column) {
      return values_.at(row).at(i);
    }
  }
  throw std::out_of_range("no column " + std::string(column));
}

std::string ReferenceTable::describe(std::size_t row) const {
  std::string text;
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    text += (i == 0 ? "" : ", ") + columns_[i] + "=" + texts_.at(row).at(i);
  }
  return text;
}

}  // namespace quilvar::numeric::testing
