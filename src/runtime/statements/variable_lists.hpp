// Resolves the elements of a variable list against a data set through the
// host's data-set services: single names, numbered ranges (x1-x5), ranges
// in data-set order (a--b, a-numeric-b, a-character-b), name prefixes (a:)
// and all numeric, character or any variables. Variables are numbered from
// 1 in data-set order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quilvar/host/services.hpp"

namespace quilvar::runtime::statements {

class VariableResolver {
 public:
  // data_name names the data set in messages; count is its number of variables.
  VariableResolver(const host::DataSetServices& services, host::DataSet* data, int count, std::string data_name)
      : services_(services), data_(data), count_(count), data_name_(std::move(data_name)) {}

  // Appends the variables of one list element of the given form (the
  // kForm... codes of the grammar record); second is the range end, empty
  // for other forms. Returns an empty string, or the error (unknown
  // variable, malformed or backward range, prefix matching nothing).
  std::string add(int form, std::string_view first, std::string_view second, std::vector<std::int32_t>* out) const;

  // The variable's number, or 0 when the data set has no such variable.
  int find(std::string_view name) const;

 private:
  // The variable's type (1 numeric, 2 character) and name; type 0 when it cannot be described.
  int type_of(int number, std::string* name) const;
  std::string missing(std::string_view name) const;
  std::string closest(std::string_view name) const;
  std::string add_numbered(std::string_view first, std::string_view last, std::vector<std::int32_t>* out) const;
  std::string add_range(std::string_view first, std::string_view last, int type, std::vector<std::int32_t>* out) const;
  std::string add_prefix(std::string_view prefix, std::vector<std::int32_t>* out) const;
  void add_all(int type, std::vector<std::int32_t>* out) const;

  const host::DataSetServices& services_;
  host::DataSet* data_;
  int count_;
  std::string data_name_;
};

}  // namespace quilvar::runtime::statements
