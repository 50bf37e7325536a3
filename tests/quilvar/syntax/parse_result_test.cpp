// Parse-result readers over hand-built results: flag bits, slot kinds, and
// the name-list rule across chained blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "quilvar/syntax/parse_result.hpp"

namespace quilvar::syntax {
namespace {

// A name block with room for its names, built by hand.
struct BlockBuffer {
  alignas(8) std::uint8_t bytes[128] = {};
  host::NameBlock* block() { return reinterpret_cast<host::NameBlock*>(bytes); }
};

void fill_block(BlockBuffer& buffer, const std::vector<std::string>& names, int last_index, host::NameBlock* next) {
  std::uint8_t* cursor = buffer.bytes + offsetof(host::NameBlock, names);
  for (const std::string& name : names) {
    *cursor = static_cast<std::uint8_t>(name.size());
    std::memcpy(cursor + 1, name.data(), name.size());
    cursor += 1 + name.size();
  }
  buffer.block()->last_index = last_index;
  buffer.block()->next = next;
}

TEST(ParseFlags, BitOrderWithinFlagBytes) {
  host::ParseResult result{};
  result.flags[1] = 0x20;  // byte 41: flag 10
  result.flags[5] = 0x08;  // byte 45: flag 44
  for (int n = 0; n < 128; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(flag(result, n), n == 10 || n == 44);
  }
  EXPECT_FALSE(flag(result, 128));
  EXPECT_FALSE(flag(result, -1));
}

TEST(ParseSlots, ReadEachKindAndTreatUngivenAsAbsent) {
  host::ParseSlot values[host::kParseSlotCount] = {};
  host::ParseResult result{};
  EXPECT_FALSE(number_slot(result, 17).given) << "no value block";
  result.values = values;
  const std::int32_t numbers[] = {3, 1};
  const char text[] = "Smokers";
  int data_marker = 0;
  values[17].given = 1;
  values[17].number = 0.05;
  values[6].given = 1;
  values[6].data_set = &data_marker;
  values[9].given = 1;
  values[9].length = 7;
  values[9].pointer = text;
  values[13].given = 1;
  values[13].count = 2;
  values[13].pointer = numbers;
  values[10].number = 1000;  // value without the given byte
  EXPECT_EQ(number_slot(result, 17).value, 0.05);
  EXPECT_FALSE(number_slot(result, 10).given);
  EXPECT_EQ(data_set_slot(result, 6), reinterpret_cast<host::DataSet*>(&data_marker));
  EXPECT_EQ(data_set_slot(result, 8), nullptr);
  EXPECT_EQ(text_slot(result, 9).text, "Smokers");
  EXPECT_FALSE(text_slot(result, 64).given);
  ASSERT_EQ(variable_list_slot(result, 13).size(), 2u);
  EXPECT_EQ(variable_list_slot(result, 13)[0], 3);
  EXPECT_TRUE(variable_list_slot(result, 19).empty());
}

TEST(NameList, FindsNamesAcrossChainedBlocks) {
  BlockBuffer first;
  BlockBuffer second;
  BlockBuffer third;
  fill_block(third, {"f"}, 5, nullptr);
  fill_block(second, {"cc", "d", "ee"}, 4, third.block());
  fill_block(first, {"a", "bb"}, 1, second.block());
  const struct {
    int index;
    std::optional<std::string> name;
  } kCases[] = {{0, "a"}, {1, "bb"}, {2, "cc"}, {3, "d"}, {4, "ee"}, {5, "f"}, {6, std::nullopt}, {-1, std::nullopt}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.index);
    const std::optional<std::string_view> found = chain_name(first.block(), c.index);
    ASSERT_EQ(found.has_value(), c.name.has_value());
    if (found) {
      EXPECT_EQ(*found, *c.name);
    }
  }
  EXPECT_EQ(chain_name(nullptr, 0), std::nullopt);
}

TEST(NameList, ReadsThroughTheSlot) {
  BlockBuffer block;
  fill_block(block, {"refrate"}, 0, nullptr);
  host::ParseSlot values[host::kParseSlotCount] = {};
  host::ParseResult result{};
  result.values = values;
  values[41].given = 1;
  values[41].count = 1;
  values[41].pointer = block.block();
  EXPECT_EQ(name_count(result, 41), 1);
  EXPECT_EQ(list_name(result, 41, 0), std::optional<std::string_view>("refrate"));
  EXPECT_EQ(list_name(result, 41, 1), std::nullopt);
  EXPECT_EQ(list_name(result, 42, 0), std::nullopt);
}

}  // namespace
}  // namespace quilvar::syntax
