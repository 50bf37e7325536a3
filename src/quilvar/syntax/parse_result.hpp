// Readers of the parse result the host parser fills: flags, number, data-set
// and text slots, variable lists (32-bit variable numbers from 1) and name
// lists (chained NameBlocks). A slot whose "given" byte is 0, or a result
// without a value block, reads as not given.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "quilvar/host/services.hpp"
#include "quilvar/host/statement_state.hpp"

namespace quilvar::syntax {

struct NumberSlot {
  bool given;
  double value;  // 0 when not given
};

struct TextSlot {
  bool given;
  std::string_view text;
};

// Whether flag n (0..127) is set.
bool flag(const host::ParseResult& result, int n);

NumberSlot number_slot(const host::ParseResult& result, int slot);

// The data set of the slot, or null when none was given.
host::DataSet* data_set_slot(const host::ParseResult& result, int slot);

TextSlot text_slot(const host::ParseResult& result, int slot);

// The variable numbers of a variable-list slot; empty when not given.
std::span<const std::int32_t> variable_list_slot(const host::ParseResult& result, int slot);

// The number of names of a name-list slot; 0 when not given.
int name_count(const host::ParseResult& result, int slot);

// Name i (from 0) of a name-list slot, or nothing when the list ends first.
std::optional<std::string_view> list_name(const host::ParseResult& result, int slot, int i);

// Name i (from 0) of the chain starting at first: the first block whose last
// index is i or more holds it, after the names of that block before it.
// Nothing when the chain ends first or i is negative.
std::optional<std::string_view> chain_name(const host::NameBlock* first, int i);

}  // namespace quilvar::syntax
