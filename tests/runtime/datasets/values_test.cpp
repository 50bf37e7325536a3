// Reading numeric text, formatting numbers and the order of values.
#include "runtime/datasets/values.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "quilvar/host/missing.hpp"

namespace quilvar::runtime::datasets {
namespace {

struct NumericCase {
  const char* text;
  NumericText kind;
  double value;  // the number, or the missing value
};

TEST(ReadNumericText, AcceptsDecimalNumbersAndMissingValuesOnly) {
  const NumericCase cases[] = {
      {"12", NumericText::kNumber, 12},
      {" -3.5 ", NumericText::kNumber, -3.5},
      {"+1e-3", NumericText::kNumber, 0.001},
      {"2.5E+2", NumericText::kNumber, 250},
      {".5", NumericText::kNumber, 0.5},
      {"5.", NumericText::kNumber, 5},
      {"007", NumericText::kNumber, 7},
      {"123456789012345678", NumericText::kNumber, 123456789012345678.0},
      {"12345678901234567890", NumericText::kNumber, 12345678901234567890.0},
      {"0.1", NumericText::kNumber, 0.1},
      {"4.9e-324", NumericText::kNumber, 4.9e-324},
      {"", NumericText::kMissing, host::kMissing},
      {"   ", NumericText::kMissing, host::kMissing},
      {".", NumericText::kMissing, host::kMissing},
      {".a", NumericText::kMissing, host::missing_value(host::missing_code_for_letter('A'))},
      {".Z", NumericText::kMissing, host::missing_value(host::missing_code_for_letter('Z'))},
      {"._", NumericText::kMissing, host::missing_value(host::kMissingCodeUnderscore)},
      {"1e400", NumericText::kNotNumeric, 0},
      {"-1e400", NumericText::kNotNumeric, 0},
      {"1e-400", NumericText::kNotNumeric, 0},
      {"NaN", NumericText::kNotNumeric, 0},
      {"inf", NumericText::kNotNumeric, 0},
      {"-Infinity", NumericText::kNotNumeric, 0},
      {"1,000", NumericText::kNotNumeric, 0},
      {"0x10", NumericText::kNotNumeric, 0},
      {"1e", NumericText::kNotNumeric, 0},
      {"12abc", NumericText::kNotNumeric, 0},
      {"- 5", NumericText::kNotNumeric, 0},
      {"+-5", NumericText::kNotNumeric, 0},
      {"..", NumericText::kNotNumeric, 0},
      {".AB", NumericText::kNotNumeric, 0},
      {".1.", NumericText::kNotNumeric, 0},
      {".-", NumericText::kNotNumeric, 0},
      {"-.", NumericText::kNotNumeric, 0},
      {"+.", NumericText::kNotNumeric, 0},
      {"12:30", NumericText::kNotNumeric, 0},
      {"1/2", NumericText::kNotNumeric, 0},
  };
  for (const NumericCase& c : cases) {
    SCOPED_TRACE(c.text);
    double value = 42;
    ASSERT_EQ(read_numeric_text(c.text, &value), c.kind);
    if (c.kind == NumericText::kNotNumeric) {
      EXPECT_EQ(value, 42);
    } else {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(value), std::bit_cast<std::uint64_t>(c.value));
    }
  }
}

// Decimals up to 2^53 as an integer and 22 decimals take a quick exact
// path; longer ones the general parser. Both must give the same double.
TEST(ReadNumericText, MatchesTheGeneralParserOnBothSidesOfTheQuickPath) {
  std::vector<std::string> texts = {
      "9007199254740992", "9007199254740993", "900719925474099.3", "0.9007199254740993",
      "1234567890123456789", "12345678901234567891", "0.0000000000000000000001", "0.00000000000000000000001",
      "1.7976931348623157", "0.1", "0.7", "4.35", "000000000000000000000000000001.5"};
  std::uint64_t state = 88172645463325252ull;  // xorshift: fixed digits, same run every time
  for (int i = 0; i < 5000; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    const std::string digits = std::to_string(state).substr(0, 1 + state % 20);
    const std::size_t point = state / 7 % (digits.size() + 1);
    std::string text;
    text.append(digits, 0, point).append(1, '.').append(digits, point, std::string::npos);
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    double general = 0;
    std::from_chars(text.data(), text.data() + text.size(), general);
    double value = 0;
    ASSERT_EQ(read_numeric_text(text, &value), NumericText::kNumber);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(value), std::bit_cast<std::uint64_t>(general));
  }
}

// A field is a view into the file: the bytes after it are not read.
TEST(ReadNumericText, ReadsOnlyTheBytesOfTheView) {
  const struct {
    const char* bytes;
    std::size_t length;
    double value;
  } cases[] = {
      {"123", 2, 12}, {"1.55", 3, 1.5}, {"-0.25", 4, -0.2}, {"2.05", 2, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    double value = 0;
    ASSERT_EQ(read_numeric_text(std::string_view(c.bytes, c.length), &value), NumericText::kNumber);
    EXPECT_EQ(value, c.value);
  }
}

TEST(ReadNumericText, ReadsNegativeZeroAsZero) {
  double value = 1;
  ASSERT_EQ(read_numeric_text("-0", &value), NumericText::kNumber);
  EXPECT_EQ(value, 0);
  EXPECT_FALSE(std::signbit(value));
}

TEST(NumberText, FitsTheFieldWidth) {
  const struct {
    double value;
    int width;
    const char* text;
  } cases[] = {
      {100, 16, "100"},
      {0.1, 16, "0.1"},
      {-2.5e-300, 16, "-2.5e-300"},
      {1e20, 16, "1e+20"},
      {1234567890123456.0, 16, "1234567890123456"},
      {123456789012345678.0, 16, "1.2345678901e+17"},
      {0.1 + 0.2, 16, "0.3"},
      {-1.2345678901234567e-308, 16, "-1.23456789e-308"},
      {123456, 5, "1e+05"},
      {123456, 4, "****"},
      // Whole numbers are written out, as the tables write them: an income
      // band or area code of 100000 is not "1e+05" in a label or message.
      {100000, 16, "100000"},
      {-2000000, 16, "-2000000"},
      {300000000000000, 16, "300000000000000"},
      {1e15, 16, "1e+15"},
      {2e5, 5, "2e+05"},
      {host::kMissing, 16, "."},
      {host::missing_value(host::missing_code_for_letter('C')), 16, ".C"},
      {host::missing_value(host::kMissingCodeUnderscore), 16, "._"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(number_text(c.value, c.width), c.text);
  }
}

TEST(CompareNumbers, OrdersMissingValuesBelowNumbersByCode) {
  const std::vector<double> ascending = {
      host::missing_value(host::kMissingCodeUnderscore),
      host::kMissing,
      host::missing_value(host::missing_code_for_letter('A')),
      host::missing_value(host::missing_code_for_letter('B')),
      host::missing_value(host::missing_code_for_letter('Z')),
      -1e300,
      -1,
      0,
      2.5,
  };
  for (std::size_t i = 0; i < ascending.size(); ++i) {
    for (std::size_t j = 0; j < ascending.size(); ++j) {
      SCOPED_TRACE(testing::Message() << i << " vs " << j);
      EXPECT_EQ(compare_numbers(ascending[i], ascending[j]), i < j ? -1 : (i > j ? 1 : 0));
    }
  }
}

TEST(CompareTexts, ComparesUnsignedBytesIgnoringTrailingBlanks) {
  EXPECT_EQ(compare_texts("abc", "abc   "), 0);
  EXPECT_EQ(compare_texts("", "  "), 0);
  EXPECT_EQ(compare_texts("ab", "abc"), -1);
  EXPECT_EQ(compare_texts(" b", "a"), -1);
  EXPECT_EQ(compare_texts("\xC3\xA9", "z"), 1);
  EXPECT_EQ(compare_texts("B", "a"), -1);
}

}  // namespace
}  // namespace quilvar::runtime::datasets
