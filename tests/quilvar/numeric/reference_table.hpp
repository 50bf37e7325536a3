// Test support: the high-precision reference values in data/*.csv.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quilvar::numeric::testing {

// One CSV file of the reference directory: a header line of column names and
// rows of numbers. Values outside the double range read as 0, a subnormal or
// ±HUGE_VAL, as strtod gives them.
class ReferenceTable {
 public:
  explicit ReferenceTable(std::string_view file_name);

  [[nodiscard]] std::size_t rows() const { return values_.size(); }
  [[nodiscard]] double at(std::size_t row, std::string_view column) const;
  // "column=text, …" of a row, for failure messages.
  [[nodiscard]] std::string describe(std::size_t row) const;

 private:
  std::vector<std::string> columns_;
  std::vector<std::vector<std::string>> texts_;
  std::vector<std::vector<double>> values_;
};

}  // namespace quilvar::numeric::testing
