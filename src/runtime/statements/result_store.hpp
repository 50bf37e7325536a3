// The memory of one step's parse result: the ParseResult, its value block
// of 64 slots, and the texts, variable lists and name-block chains the slots
// point at. Everything lives until the store is destroyed at the step's end.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "quilvar/host/services.hpp"
#include "quilvar/host/statement_state.hpp"

namespace quilvar::runtime::statements {

// Bytes of names a name block holds before the chain goes on in a new one.
inline constexpr std::size_t kNameBlockCapacity = 128;

class ResultStore {
 public:
  ResultStore();

  host::ParseResult* result() { return result_.get(); }

  // The setters take flag and slot numbers the caller has range-checked.
  void set_flag(int n) { host::set_parse_flag(*result_, n); }
  void store_number(int slot, double value);
  void store_data_set(int slot, host::DataSet* data);
  void store_text(int slot, std::string text);
  void store_variables(int slot, std::vector<std::int32_t> numbers);
  // Stores the names as a chain of name blocks (a name longer than 255
  // bytes is cut to 255).
  void store_names(int slot, const std::vector<std::string>& names);

 private:
  host::ParseSlot& slot(int n);
  host::NameBlock* new_block(std::size_t name_bytes);

  std::unique_ptr<host::ParseResult> result_;
  std::unique_ptr<host::ParseSlot[]> values_;
  std::deque<std::string> texts_;
  std::deque<std::vector<std::int32_t>> lists_;
  std::vector<std::unique_ptr<std::uint64_t[]>> blocks_;  // 8-byte aligned name blocks
};

}  // namespace quilvar::runtime::statements
