#include "quilvar/host/text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <random>
#include <cstdint>
#include <string>
#include <vector>

#include "quilvar/host/missing.hpp"
#include "quilvar/host/output_item.hpp"

namespace quilvar::host {
namespace {

TEST(TrimLength, DropsTrailingBlanksOnly) {
  EXPECT_EQ(trim_length("  ab  ", 6), 4);
  EXPECT_EQ(trim_length("    ", 4), 0);
  EXPECT_EQ(trim_length("", 0), 0);
}

TEST(JustifyText, PlacesTrimmedTextByMode) {
  struct Case { const char* input; char mode; const char* expected; };
  const Case cases[] = {
      {"  ab    ", 'L', "ab      "}, {"  ab    ", 'r', "      ab"},
      {"ab      ", 'C', "   ab   "}, {"abc     ", 'c', "  abc   "},  // odd blank goes right
      {"        ", 'R', "        "}, {"abcdefgh", 'C', "abcdefgh"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.input) + " " + c.mode);
    std::string text = c.input;
    justify_text(text.data(), static_cast<int>(text.size()), c.mode);
    EXPECT_EQ(text, c.expected);
  }
}

TEST(FindText, FindsFirstOccurrenceAndHandlesEmptyInputs) {
  EXPECT_EQ(find_text("XXSEMSEM", 8, "SEM", 3), 2);
  EXPECT_EQ(find_text("abc", 3, "abcd", 4), -1);
  EXPECT_EQ(find_text("abc", 3, "", 0), 0);
  EXPECT_EQ(find_text("", 0, "a", 1), -1);
  EXPECT_EQ(find_text("xxSYN", 5, "SYN", -1), 2);  // terminated pattern
}

TEST(CompareValues, OrdersMissingValuesBeforeNumbers) {
  // Ascending order: ._ , . , .A, .B, ..., .Z, then numbers.
  std::vector<double> ascending{missing_value(missing_code_for_letter('_')), kMissing};
  for (char letter = 'A'; letter <= 'Z'; ++letter) ascending.push_back(missing_value(missing_code_for_letter(letter)));
  for (double x : {-1e300, -1.0, -0.0, 2.5, 1e308}) ascending.push_back(x);
  for (std::size_t i = 0; i + 1 < ascending.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(compare_values(&ascending[i], &ascending[i + 1], -1), -1);
    EXPECT_EQ(compare_values(&ascending[i + 1], &ascending[i], -1), 1);
    EXPECT_EQ(compare_values(&ascending[i], &ascending[i], -1), 0);
  }
}

TEST(CompareValues, ComparesIntegersAndUnsignedBytes) {
  const std::int32_t a = -5, b = 3;
  EXPECT_EQ(compare_values(&a, &b, 0), -1);
  EXPECT_EQ(compare_values(&b, &a, 0), 1);
  EXPECT_EQ(compare_values("ab\xff", "ab\x01", 3), 1);  // bytes compare unsigned
  EXPECT_EQ(compare_values("abc", "abd", 2), 0);
}

TEST(CompareValues, BytesOrderAsMemcmpOrdersThemAtEveryLength) {
  std::mt19937 random(7);
  for (int length = 1; length <= 40; ++length) {
    SCOPED_TRACE(length);
    for (int trial = 0; trial < 200; ++trial) {
      std::string x(static_cast<std::size_t>(length), ' ');
      for (char& c : x) c = static_cast<char>(random() % 4 == 0 ? 0xE0 + random() % 8 : 'a' + random() % 3);
      std::string y = x;
      // Equal, or differing at one place, often late in the key.
      if (trial % 4 != 0) {
        const std::size_t at = random() % static_cast<unsigned>(length);
        y[at] = static_cast<char>(y[at] ^ (trial % 2 ? 0x81 : 0x01));
      }
      const int expected = std::memcmp(x.data(), y.data(), x.size());
      EXPECT_EQ(compare_values(x.data(), y.data(), length), expected < 0 ? -1 : (expected > 0 ? 1 : 0));
    }
  }
}

TEST(MissingValues, EncodeCodeInSixthByteAndLettersRoundTrip) {
  EXPECT_EQ(std::bit_cast<std::uint64_t>(kMissing), 0xFFFFD10000000000ull);
  EXPECT_TRUE(is_missing(std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(is_missing(std::numeric_limits<double>::max()));
  for (char letter : std::string("ABZ_")) {
    SCOPED_TRACE(letter);
    const double v = missing_value(missing_code_for_letter(letter));
    EXPECT_TRUE(is_missing(v));
    EXPECT_EQ(missing_letter(v), letter);
  }
  EXPECT_EQ(missing_letter(kMissing), 0);
}

TEST(OutputItem, PlacesValuesAtTheirOffsets) {
  const OutputItem flag = make_flag_item(kAttrGraphicsEnabled, 1);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&flag);
  EXPECT_EQ(bytes[0] | (bytes[1] << 8), kAttrGraphicsEnabled);
  EXPECT_EQ(bytes[2], kItemFlag);
  EXPECT_EQ(bytes[12], 1);
  const char* text = "Strata";
  const OutputItem counted = make_counted_text_item(kAttrName, text, 6);
  EXPECT_EQ(item_count(counted), 6);
  EXPECT_EQ(item_counted_address(counted), text);
  std::int64_t length;
  std::memcpy(&length, reinterpret_cast<const char*>(&counted) + 16, sizeof length);
  EXPECT_EQ(length, 6);
}

}  // namespace
}  // namespace quilvar::host
