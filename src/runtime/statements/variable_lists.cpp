// Variable-list resolution. Names compare without regard to case. A
// numbered range x1-x5 names x1, x2, ..., x5 (each must exist); when both
// ends have the same number of digits, the numbers keep that width
// (x01-x10 is x01 ... x10).
#include "runtime/statements/variable_lists.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "quilvar/host/statement_state.hpp"
#include "runtime/statements/suggestions.hpp"
#include "runtime/text/case.hpp"

namespace quilvar::runtime::statements {
namespace {

constexpr int kAnyType = 0;
constexpr int kNumeric = 1;
constexpr int kCharacter = 2;

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

struct NumberedName {
  std::string_view stem;
  std::string_view digits;
  long number = 0;
};

// Splits a name into its stem and trailing digits; false without digits.
bool split_numbered(std::string_view name, NumberedName* out) {
  std::size_t stem = name.size();
  while (stem > 0 && std::isdigit(static_cast<unsigned char>(name[stem - 1]))) --stem;
  if (stem == name.size() || stem == 0) return false;
  out->stem = name.substr(0, stem);
  out->digits = name.substr(stem);
  const auto [end, error] = std::from_chars(out->digits.data(), out->digits.data() + out->digits.size(), out->number);
  return error == std::errc() && end == out->digits.data() + out->digits.size();
}

std::string numbered_name(std::string_view stem, long number, std::size_t width) {
  std::string digits = std::to_string(number);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return std::string(stem) + digits;
}

}  // namespace

int VariableResolver::find(std::string_view name) const {
  int number = 0;
  services_.find_variable(data_, name.data(), static_cast<int>(name.size()), &number);
  return number >= 1 ? number : 0;
}

int VariableResolver::type_of(int number, std::string* name) const {
  host::VariableInfo info{};
  if (services_.get_variable_info(data_, number, &info) != 0) return 0;
  if (name != nullptr) name->assign(info.name, static_cast<std::size_t>(info.name_length));
  return info.type;
}

// The one variable whose name starts with a name of three letters or more,
// which is most likely shortened ("age" for agegroup), as a suggestion; else
// the data set's variable closest to the misspelled name.
std::string VariableResolver::closest(std::string_view name) const {
  Suggestion suggestion(name);
  std::vector<std::string> extended;
  for (int number = 1; number <= count_; ++number) {
    std::string candidate;
    if (type_of(number, &candidate) == 0) continue;
    suggestion.offer(candidate);
    if (candidate.size() > name.size() && text::upper_case(candidate.substr(0, name.size())) == text::upper_case(name))
      extended.push_back(std::move(candidate));
  }
  if (name.size() >= 3 && extended.size() == 1) return "; did you mean " + extended[0] + "?";
  return suggestion.text();
}

std::string VariableResolver::missing(std::string_view name) const {
  return "variable " + std::string(name) + " is not in data set " + data_name_ + closest(name);
}

std::string VariableResolver::add(int form, std::string_view first, std::string_view second,
                                  std::vector<std::int32_t>* out) const {
  switch (form) {
    case host::kFormSingle: {
      const int number = find(first);
      if (number == 0) return missing(first);
      out->push_back(number);
      return "";
    }
    case host::kFormPrefix: return add_prefix(first, out);
    case host::kFormNumbered: return add_numbered(first, second, out);
    case host::kFormDataOrder: return add_range(first, second, kAnyType, out);
    case host::kFormNumericRange: return add_range(first, second, kNumeric, out);
    case host::kFormCharacterRange: return add_range(first, second, kCharacter, out);
    case host::kFormAllNumeric: add_all(kNumeric, out); return "";
    case host::kFormAllCharacter: add_all(kCharacter, out); return "";
    case host::kFormAll: add_all(kAnyType, out); return "";
  }
  return "unknown variable-list form " + std::to_string(form);
}

std::string VariableResolver::add_numbered(std::string_view first, std::string_view last,
                                           std::vector<std::int32_t>* out) const {
  const std::string range = std::string(first) + "-" + std::string(last);
  NumberedName from;
  NumberedName to;
  if (!split_numbered(first, &from) || !split_numbered(last, &to) || !same_name(from.stem, to.stem))
    return "in the range " + range + " both names must be one stem followed by a number";
  if (to.number < from.number) return "the range " + range + " runs backwards";
  const std::size_t width = from.digits.size() == to.digits.size() ? from.digits.size() : 0;
  for (long n = from.number; n <= to.number; ++n) {
    const std::string name = numbered_name(from.stem, n, width);
    const int number = find(name);
    if (number == 0) return missing(name);
    out->push_back(number);
  }
  return "";
}

std::string VariableResolver::add_range(std::string_view first, std::string_view last, int type,
                                        std::vector<std::int32_t>* out) const {
  const int from = find(first);
  const int to = find(last);
  if (from == 0) return missing(first);
  if (to == 0) return missing(last);
  if (to < from) return "variable " + std::string(first) + " comes after " + std::string(last) + " in data set " + data_name_;
  for (int number = from; number <= to; ++number)
    if (type == kAnyType || type_of(number, nullptr) == type) out->push_back(number);
  return "";
}

std::string VariableResolver::add_prefix(std::string_view prefix, std::vector<std::int32_t>* out) const {
  const std::size_t before = out->size();
  std::string name;
  for (int number = 1; number <= count_; ++number)
    if (type_of(number, &name) != 0 && name.size() >= prefix.size() && same_name(std::string_view(name).substr(0, prefix.size()), prefix))
      out->push_back(number);
  if (out->size() == before) return "no variable of data set " + data_name_ + " begins with " + std::string(prefix);
  return "";
}

void VariableResolver::add_all(int type, std::vector<std::int32_t>* out) const {
  for (int number = 1; number <= count_; ++number)
    if (type == kAnyType || type_of(number, nullptr) == type) out->push_back(number);
}

}  // namespace quilvar::runtime::statements
