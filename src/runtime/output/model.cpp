// Lookups shared by the output records' users.
#include "runtime/output/model.hpp"

#include <algorithm>

namespace quilvar::runtime::output {

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a == b) return true;  // the common case: written alike
  const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  return std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

const Value* find_dynamic(const std::vector<DynamicVariable>& variables, std::string_view name) {
  for (const DynamicVariable& variable : variables) {
    if (same_name(variable.name, name)) return &variable.value;
  }
  return nullptr;
}

}  // namespace quilvar::runtime::output
