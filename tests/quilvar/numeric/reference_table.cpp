#include "quilvar/numeric/reference_table.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quilvar::numeric::testing {

ReferenceTable::ReferenceTable(std::string_view file_name) {
  const std::string path = std::string(QUILVAR_NUMERIC_REFERENCE_DIR) + "/" + std::string(file_name);
  std::ifstream input(path);
  std::string line;
  if (!std::getline(input, line)) {
    throw std::runtime_error("cannot read " + path);
  }
  std::stringstream header(line);
  for (std::string column; std::getline(header, column, ',');) {
    columns_.push_back(column);
  }
  while (std::getline(input, line)) {
    std::vector<double> numbers;
    std::stringstream fields(line);
    for (std::string field; std::getline(fields, field, ',');) {
      numbers.push_back(std::strtod(field.c_str(), nullptr));
    }
    if (numbers.size() != columns_.size()) {
      throw std::runtime_error("bad row in " + path + ": " + line);
    }
    lines_.push_back(line);
    values_.push_back(std::move(numbers));
  }
}

double ReferenceTable::at(std::size_t row, std::string_view column) const {
  const auto found = std::find(columns_.begin(), columns_.end(), column);
  if (found == columns_.end()) {
    throw std::out_of_range("no column " + std::string(column));
  }
  return values_.at(row).at(static_cast<std::size_t>(found - columns_.begin()));
}

}  // namespace quilvar::numeric::testing
