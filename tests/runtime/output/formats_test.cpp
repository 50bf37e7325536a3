// Number texts: shortest round-trip texts, display formats on both sides of
// their switches, missing values, and format names given with columns.
#include "runtime/output/formats.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "quilvar/host/missing.hpp"

namespace quilvar::runtime::output {
namespace {

TEST(ShortestText, ReadsBackAsTheSameDouble) {
  for (double value : {0.1, 1.0 / 3.0, 412.0, 398.51203125, 1e-300, 6.02214076e23, -2.5e-7,
                       std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min()}) {
    SCOPED_TRACE(value);
    const std::string text = shortest_text(value);
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), value);
  }
  EXPECT_EQ(shortest_text(0.1), "0.1");
  EXPECT_EQ(shortest_text(412.0), "412");
  EXPECT_EQ(shortest_text(2e6), "2000000");
  EXPECT_EQ(shortest_text(0.00001234), "0.00001234");
  EXPECT_EQ(shortest_text(1.5e-6), "1.5e-06");
  EXPECT_EQ(shortest_text(1e15), "1e+15");
}

// The general conversion's shortest fixed-notation text.
std::string fixed(double value) {
  char buffer[400];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  return std::string(buffer, result.ptr);
}

// Whole numbers take a shortcut; their texts must be the ones the general
// fixed-notation path gives, signs and zero included.
TEST(ShortestText, WholeNumbersMatchTheGeneralFixedText) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 20000; ++i) {
    const double magnitude = std::ldexp(1.0, static_cast<int>(random() % 50));
    const double value = std::trunc(std::ldexp(static_cast<double>(random() >> 11), -53) * magnitude) *
                         ((random() & 1) != 0 ? -1 : 1);
    ASSERT_EQ(shortest_text(value), fixed(value)) << value;
  }
  for (double value : {0.0, -0.0, 1.0, -1.0, 999999999999999.0, -999999999999999.0, 4503599627370496.0 / 8}) {
    EXPECT_EQ(shortest_text(value), fixed(value)) << value;
  }
  EXPECT_EQ(shortest_text(-0.0), "-0");
  EXPECT_EQ(shortest_text(100000.0), "100000");
}

// Numbers with a fraction between the plain bounds take their digits from
// a faster search than std::to_chars; their texts must be to_chars' own,
// digit for digit: random bit patterns over the whole range, short decimals
// (0.1, 2.675) whose nearest doubles lie between two candidates, and the
// neighbours of the bounds.
TEST(ShortestText, FractionsMatchTheGeneralFixedText) {
  std::mt19937_64 random(17);
  std::vector<double> values;
  for (int i = 0; i < 300000; ++i) {
    const double value = std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 67) - 70);
    values.push_back((random() & 1) != 0 ? -value : value);
  }
  for (int i = 0; i < 100000; ++i) {
    const double decimals = std::pow(10.0, static_cast<double>(random() % 9));
    values.push_back(static_cast<double>(random() % 10000000) / decimals);
  }
  for (double bound : {1e-5, 1e15}) {
    double above = bound;
    double below = bound;
    for (int step = 0; step < 1000; ++step) {
      values.push_back(above);
      values.push_back(below);
      above = std::nextafter(above, 2 * bound);
      below = std::nextafter(below, 0.0);
    }
  }
  int checked = 0;
  for (double value : values) {
    if (std::fabs(value) < 1e-5 || std::fabs(value) >= 1e15 || value == std::trunc(value)) continue;
    ASSERT_EQ(shortest_text(value), fixed(value)) << std::hexfloat << value;
    ++checked;
  }
  EXPECT_GT(checked, 300000);
}

// Remembered texts must be the texts: values recur, collide in their slots
// and replace each other; every text must still be the one of its number.
TEST(ShortestTextCache, GivesTheTextOfEveryNumberThroughRecurrenceAndCollision) {
  ShortestTextCache cache;
  std::mt19937_64 random(11);
  std::vector<double> pool;
  for (int i = 0; i < 20000; ++i) {
    pool.push_back(std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 80) - 90));
  }
  pool.insert(pool.end(), {0.0, -0.0, 0.05, -2.5e-7, 1e300, 12.0, 1e15});
  std::string written;
  std::string expected;
  for (int i = 0; i < 200000; ++i) {
    const double value = pool[random() % pool.size()];
    cache.append(&written, value);
    written += ',';
    expected += shortest_text(value);
    expected += ',';
  }
  EXPECT_EQ(written, expected);
}

// Fixed-decimal texts take a quick exact path for most numbers; they must
// be the texts of the general conversion, ties rounded to even included.
TEST(FormatFixed, MatchesTheGeneralConversionForEveryNumberAndPrecision) {
  auto general = [](double value, int decimals) {
    char buffer[512];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    std::string text(buffer, result.ptr);
    if (!text.empty() && text[0] == '-' && text.find_first_of("123456789") == std::string::npos) text.erase(0, 1);
    return text;
  };
  std::mt19937_64 random(13);
  for (int i = 0; i < 200000; ++i) {
    const int decimals = static_cast<int>(random() % 22);
    double value = std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 140) - 120);
    if (i % 3 == 0) value = std::ldexp(std::round(value), -static_cast<int>(random() % 6));  // exact ties
    if (random() % 2 != 0) value = -value;
    ASSERT_EQ(format_fixed(value, decimals), general(value, decimals)) << value << " with " << decimals;
  }
  for (double value : {0.0, -0.0, 0.125, 0.375, 2.5, 3.5, -0.125, 1e-300, -1e-300, 9007199254740991.0,
                       9007199254740992.0, 1e300, std::numeric_limits<double>::denorm_min()}) {
    for (int decimals : {0, 1, 2, 4, 18, 19}) {
      EXPECT_EQ(format_fixed(value, decimals), general(value, decimals)) << value << " with " << decimals;
    }
  }
  EXPECT_EQ(format_fixed(0.125, 2), "0.12");
  EXPECT_EQ(format_fixed(0.375, 2), "0.38");
}

TEST(MissingText, NamesStandardAndSpecialValues) {
  EXPECT_EQ(missing_text(host::kMissing), ".");
  EXPECT_EQ(missing_text(host::missing_value(host::missing_code_for_letter('A'))), ".A");
  EXPECT_EQ(missing_text(host::missing_value(host::missing_code_for_letter('Z'))), ".Z");
  EXPECT_EQ(missing_text(host::missing_value(host::kMissingCodeUnderscore)), "._");
  EXPECT_EQ(special_missing_text(host::kMissing), "");
  EXPECT_EQ(missing_text(std::numeric_limits<double>::quiet_NaN()), ".");
}

TEST(FormatDisplay, AppliesEachFormatOnBothSidesOfItsSwitch) {
  struct Case {
    double value;
    DisplayFormat format;
    const char* expected;
  };
  const Case cases[] = {
      {412.0, kCountFormat, "412"},
      {412.5, kCountFormat, "412.5000"},
      {398.51203, kFourDecimals, "398.5120"},
      {-0.000000001, kFourDecimals, "0.0000"},
      {0.6649, kTwoDecimals, "0.66"},
      {0.00009999, kPValueFormat, "<.0001"},
      {0.0001, kPValueFormat, "0.0001"},
      {0.50644, kPValueFormat, "0.5064"},
      {host::kMissing, kFourDecimals, "."},
      {host::missing_value(host::missing_code_for_letter('B')), kPValueFormat, ".B"},
      // Too wide for the format's width: the best text in that width.
      {1234567.1234, kFourDecimals, "1234567.1234"},
      {-1234567.1234, kFourDecimals, "-1234567.123"},
      {1e300, kFourDecimals, "1E300"},
      {3.2786885245901639e300, kFourDecimals, "3.278689E300"},
      {14030277349283.0, kCountFormat, "14030277349283"},
      {999999999999999.0, kCountFormat, "999999999999999"},
      {1e15, kCountFormat, "1E15"},
      {1e300, kCountFormat, "1E300"},
      {2.5e20, kCountFormat, "2.5E20"},
      {1e300, DisplayFormat{FormatKind::kFixed, 0, 1}, nullptr},  // no width: never cut
      // A value that a widening column's decimals would show as zeros (an
      // expected count or a ratio far below the column's others) shows its
      // digits; residue below a hundred-millionth, fixed formats and other
      // kinds keep their decimals.
      {0.000001, kFourDecimals, "0.000001"},
      {-0.00001, kFourDecimals, "-0.00001"},
      {0.00004999, kFourDecimals, "0.00004999"},
      {1.234567e-6, kFourDecimals, "1.234567E-6"},
      {0.00000001, kFourDecimals, "0.00000001"},
      {0.00000001, DisplayFormat{FormatKind::kFixed, 6, 4, true}, "0.00000001"},
      {0.00005, kFourDecimals, "0.0001"},
      {0.000000009, kFourDecimals, "0.0000"},
      {0.000001, DisplayFormat{FormatKind::kFixed, 12, 4}, "0.0000"},
      {0.000001, kTwoDecimals, "0.00"},
      // Whole numbers of a BEST column (codes of areas or populations) are
      // shown whole; fractions and numbers beyond exact whole numbers fit
      // the width.
      {1234567890123.0, kBest8, "1234567890123"},
      {-98765432101.0, kBest8, "-98765432101"},
      {412.0, kBest8, "412"},
      {-0.0, kBest8, "0"},
      {123456.789, kBest8, "123456.8"},
      {2e15, kBest8, "2E15"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected == nullptr ? "no width" : c.expected);
    if (c.expected == nullptr) {
      EXPECT_EQ(format_display(c.value, c.format), format_fixed(c.value, c.format.decimals));
    } else {
      EXPECT_EQ(format_display(c.value, c.format), c.expected);
    }
  }
}

TEST(DecimalsForLargest, KeepThreeSignificantDigitsDownToAHundredMillionth) {
  EXPECT_EQ(decimals_for_largest(0.0, 4), 4);
  EXPECT_EQ(decimals_for_largest(0.01, 4), 4);
  EXPECT_EQ(decimals_for_largest(std::nextafter(0.01, 0.0), 4), 6);
  EXPECT_EQ(decimals_for_largest(0.0001, 4), 6);
  EXPECT_EQ(decimals_for_largest(std::nextafter(0.0001, 0.0), 4), 8);
  EXPECT_EQ(decimals_for_largest(0.000001, 4), 8);
  EXPECT_EQ(decimals_for_largest(std::nextafter(0.000001, 0.0), 4), 10);
  EXPECT_EQ(decimals_for_largest(0.00000001, 4), 10);
  EXPECT_EQ(decimals_for_largest(std::nextafter(0.00000001, 0.0), 4), 4);
  EXPECT_EQ(decimals_for_largest(0.005, 7), 7);  // never fewer than its own
}

TEST(FormatBest, GivesTheMostPreciseTextThatFits) {
  struct Case {
    double value;
    int width;
    const char* expected;
  };
  const Case cases[] = {
      {0.0, 8, "0"},
      {0.15, 8, "0.15"},
      {12345678.0, 8, "12345678"},
      {123456789.0, 8, "1.2346E8"},
      {1.0 / 3.0, 8, "0.333333"},
      {-1.0 / 3.0, 8, "-0.33333"},
      {99999.999, 8, "100000"},
      {0.0000123456, 8, "1.235E-5"},
      {1e15, 8, "1E15"},
      {123456789.0, 2, "**"},
      // Eight whole digits fill BEST8. exactly: no exponent for them.
      {12345678.4, 8, "12345678"},
      {-1234567.4, 8, "-1234567"},
      // As many significant digits either way: the plain text is kept.
      {0.0012345, 6, "0.0012"},
      {-0.0012345, 7, "-0.0012"},
      // A negative number too small for the width reads 0, never -0.
      {-0.000001, 4, "0"},
      // Below a power of ten, the whole part rounded alone has a digit more
      // than the one shown with decimals: the decimals still fill the width.
      {9.71234567, 8, "9.712346"},
      {-99.999949, 8, "-99.9999"},
      {9.75, 4, "9.75"},
      // The narrowest width still holds one character.
      {12.0, 1, "*"},
      {7.0, 1, "7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    const std::string text = format_best(c.value, c.width);
    EXPECT_EQ(text, c.expected);
    EXPECT_LE(static_cast<int>(text.size()), c.width);
  }
}

TEST(ParseFormat, ReadsColumnFormatsAndRejectsOthers) {
  DisplayFormat format;
  ASSERT_TRUE(parse_format("BEST8.", &format));
  EXPECT_EQ(format.kind, FormatKind::kBest);
  EXPECT_EQ(format.width, 8);
  ASSERT_TRUE(parse_format("10.3", &format));
  EXPECT_EQ(format.kind, FormatKind::kFixed);
  EXPECT_EQ(format.decimals, 3);
  ASSERT_TRUE(parse_format("$12.", &format));
  EXPECT_EQ(format.kind, FormatKind::kText);
  // The bounds of widths and decimals, and a width left out.
  struct Good {
    const char* text;
    DisplayFormat expected;
  };
  const Good goods[] = {
      {"1.", {FormatKind::kFixed, 1, 0}},
      {"32.30", {FormatKind::kFixed, 32, 30}},
      {"best32.", {FormatKind::kBest, 32, 0}},
      {"BEST.", {FormatKind::kBest, 12, 0}},
  };
  for (const Good& good : goods) {
    SCOPED_TRACE(good.text);
    ASSERT_TRUE(parse_format(good.text, &format));
    EXPECT_EQ(format.kind, good.expected.kind);
    EXPECT_EQ(format.width, good.expected.width);
    EXPECT_EQ(format.decimals, good.expected.decimals);
  }
  for (const char* bad :
       {"", "BEST8", "DATE9.", "BEST99.", "8.x", "BEST8.2", "0.", "33.", "12.31", ".2", ".", "BEST33."}) {
    SCOPED_TRACE(bad);
    format = kCountFormat;
    EXPECT_FALSE(parse_format(bad, &format));
    EXPECT_EQ(format.kind, FormatKind::kCount);
  }
}

}  // namespace
}  // namespace quilvar::runtime::output
