// Test support: the high-precision reference values in data/*.csv.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quilvar::numeric::testing {

// One CSV file of the reference directory: a header of column names and rows
// of numbers. Values outside the double range read as strtod gives them (0, a
// subnormal or ±HUGE_VAL).
class ReferenceTable {
 public:
  explicit ReferenceTable(std::string_view file_name);

  [[nodiscard]] std::size_t rows() const { return values_.size(); }
  [[nodiscard]] double at(std::size_t row, std::string_view column) const;
  // The row as written in the file, for failure messages.
  [[nodiscard]] const std::string& describe(std::size_t row) const { return lines_.at(row); }

 private:
  std::vector<std::string> columns_;
  std::vector<std::string> lines_;
  std::vector<std::vector<double>> values_;
};

}  // namespace quilvar::numeric::testing
