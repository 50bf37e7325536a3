// Tests of the message catalog: the table's shape (sorted, unique, texts
// present, slots numbered without gaps), slot filling and number formatting,
// the fallback for unknown messages, and that every message the procedure
// issues or fetches is present.
#include "runtime/catalog/catalog.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace quilvar::runtime::catalog {
namespace {

host::MessageArg text_arg(std::string_view text) {
  return {host::kArgText, static_cast<std::int32_t>(text.size()), text.data(), 0.0};
}

host::MessageArg number_arg(double value) { return {host::kArgNumber, 0, nullptr, value}; }

// The highest slot a text uses, or -1 when its slots skip a number
// (e.g. %3 without %2). %% is a literal percent, not a slot.
int highest_contiguous_slot(std::string_view text) {
  std::vector<bool> used;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (text[i + 1] == '%') {
      ++i;
      continue;
    }
    std::size_t slot = 0;
    std::size_t j = i + 1;
    while (j < text.size() && text[j] >= '0' && text[j] <= '9') {
      slot = slot * 10 + static_cast<std::size_t>(text[j] - '0');
      ++j;
    }
    if (j == i + 1) continue;
    if (slot == 0) return -1;
    if (used.size() < slot) used.resize(slot, false);
    used[slot - 1] = true;
    i = j - 1;
  }
  for (bool u : used) {
    if (!u) return -1;
  }
  return static_cast<int>(used.size());
}

TEST(CatalogTable, IsSortedWithoutDuplicates) {
  const auto entries = all_entries();
  ASSERT_FALSE(entries.empty());
  for (std::size_t i = 1; i < entries.size(); ++i) {
    const auto& a = entries[i - 1];
    const auto& b = entries[i];
    SCOPED_TRACE(std::to_string(b.set) + "-" + std::to_string(b.number));
    EXPECT_TRUE(a.set < b.set || (a.set == b.set && a.number < b.number));
  }
}

TEST(CatalogTable, EveryEntryIsWellFormed) {
  for (const auto& entry : all_entries()) {
    SCOPED_TRACE(std::to_string(entry.set) + "-" + std::to_string(entry.number));
    EXPECT_FALSE(entry.text.empty());
    EXPECT_GE(highest_contiguous_slot(entry.text), 0) << entry.text;
    // Advice is printed as it stands, so it cannot carry slots.
    EXPECT_EQ(highest_contiguous_slot(entry.advice), 0) << entry.advice;
    if (entry.severity == Severity::kText) {
      EXPECT_TRUE(entry.advice.empty());
    } else {
      EXPECT_FALSE(entry.advice.empty());
    }
    EXPECT_EQ(entry.text.find('\n'), std::string_view::npos);
    if (entry.severity != Severity::kText) {
      EXPECT_EQ(entry.text.back(), '.') << entry.text;
      EXPECT_EQ(entry.advice.back(), '.') << entry.advice;
    }
  }
}

TEST(CatalogTable, FindsEveryEntryByItsKey) {
  for (const auto& entry : all_entries()) {
    SCOPED_TRACE(std::to_string(entry.set) + "-" + std::to_string(entry.number));
    EXPECT_EQ(find_entry(entry.set, entry.number), &entry);
  }
}

// Every message and text the procedure issues or fetches, with the severity
// its situation calls for and the number of arguments it passes.
struct Required {
  int set;
  int number;
  Severity severity;
  int slots;
};

constexpr Severity kT = Severity::kText;
constexpr Severity kN = Severity::kNote;
constexpr Severity kW = Severity::kWarning;
constexpr Severity kE = Severity::kError;

constexpr Required kRequired[] = {
    // Builtin texts: object labels, plot labels and descriptions, axis labels.
    {0, 1, kT, 0}, {0, 2, kT, 0}, {0, 8, kT, 0}, {0, 9, kT, 0}, {0, 10, kT, 0},
    {0, 14, kT, 0}, {0, 16, kT, 0}, {0, 17, kT, 0}, {0, 18, kT, 0}, {0, 29, kT, 0},
    {0, 31, kT, 0}, {0, 32, kT, 0}, {0, 33, kT, 0}, {0, 34, kT, 0}, {0, 35, kT, 0},
    {0, 36, kT, 0}, {0, 37, kT, 0}, {0, 38, kT, 0}, {0, 39, kT, 0}, {0, 40, kT, 0},
    {0, 41, kT, 0}, {0, 42, kT, 0}, {0, 43, kT, 0}, {0, 44, kT, 0}, {0, 55, kT, 0},
    {0, 83, kT, 0}, {0, 85, kT, 0}, {0, 86, kT, 0}, {0, 87, kT, 0}, {0, 88, kT, 0},
    {0, 91, kT, 0}, {0, 92, kT, 0}, {0, 93, kT, 0}, {0, 94, kT, 0},
    // Host-wide messages.
    {129, 54, kE, 0}, {210, 1100, kN, 0}, {210, 1104, kW, 0},
    // Output group, headers (with the multiplier where RATE), spans.
    {908, 3, kT, 0}, {908, 4, kT, 0}, {908, 5, kT, 0}, {908, 6, kT, 0}, {908, 7, kT, 0},
    {908, 11, kT, 1}, {908, 12, kT, 1}, {908, 13, kT, 1}, {908, 14, kT, 0}, {908, 15, kT, 1},
    {908, 19, kT, 1}, {908, 20, kT, 1}, {908, 21, kT, 1}, {908, 22, kT, 0}, {908, 23, kT, 0},
    {908, 24, kT, 0}, {908, 25, kT, 1}, {908, 26, kT, 0}, {908, 27, kT, 1}, {908, 28, kT, 0},
    {908, 29, kT, 0}, {908, 30, kT, 1}, {908, 45, kT, 0}, {908, 46, kT, 0}, {908, 47, kT, 0},
    {908, 48, kT, 0}, {908, 49, kT, 0}, {908, 50, kT, 0}, {908, 51, kT, 0}, {908, 52, kT, 0},
    {908, 53, kT, 1}, {908, 61, kT, 1}, {908, 62, kT, 1}, {908, 63, kT, 1}, {908, 64, kT, 1},
    {908, 65, kT, 1}, {908, 66, kT, 0}, {908, 67, kT, 0}, {908, 68, kT, 0}, {908, 69, kT, 0},
    {908, 70, kT, 0}, {908, 71, kT, 0}, {908, 72, kT, 0}, {908, 73, kT, 0}, {908, 75, kT, 0},
    {908, 76, kT, 0}, {908, 77, kT, 0}, {908, 78, kT, 0}, {908, 79, kT, 0}, {908, 80, kT, 0},
    {908, 81, kT, 0}, {908, 82, kT, 0}, {908, 83, kT, 0}, {908, 84, kT, 1}, {908, 85, kT, 0},
    {908, 86, kT, 0}, {908, 87, kT, 0}, {908, 89, kT, 0}, {908, 90, kT, 0}, {908, 95, kT, 0},
    {908, 96, kT, 0}, {908, 97, kT, 0}, {908, 98, kT, 0}, {908, 99, kT, 0}, {908, 100, kT, 0},
    {908, 101, kT, 0}, {908, 102, kT, 0}, {908, 103, kT, 0}, {908, 104, kT, 0},
    {908, 105, kT, 0}, {908, 106, kT, 0}, {908, 107, kT, 0}, {908, 108, kT, 0},
    // Statements and options.
    {908, 109, kE, 0}, {908, 110, kE, 0}, {908, 111, kE, 0}, {908, 112, kE, 0},
    {908, 113, kE, 0}, {908, 114, kE, 0}, {908, 115, kW, 2}, {908, 116, kW, 2},
    {908, 117, kE, 0}, {908, 118, kE, 0}, {908, 119, kW, 1}, {908, 120, kN, 2},
    {908, 121, kN, 1}, {908, 122, kN, 0}, {908, 123, kN, 0}, {908, 124, kN, 0},
    {908, 125, kE, 2}, {908, 126, kE, 1}, {908, 127, kE, 0}, {908, 128, kE, 0},
    {908, 129, kE, 0}, {908, 130, kE, 0}, {908, 131, kE, 0}, {908, 132, kE, 0},
    {908, 133, kE, 0}, {908, 134, kE, 0}, {908, 135, kW, 0}, {908, 136, kW, 0},
    {908, 137, kW, 1}, {908, 138, kW, 1}, {908, 139, kE, 1}, {908, 140, kE, 1},
    // Reading the data.
    {908, 141, kE, 1}, {908, 142, kE, 1}, {908, 143, kW, 1}, {908, 144, kE, 2},
    {908, 145, kE, 2}, {908, 146, kE, 4}, {908, 147, kE, 2}, {908, 148, kN, 0},
    // Estimation.
    {908, 149, kE, 1}, {908, 150, kE, 2}, {908, 151, kE, 2}, {908, 152, kE, 3},
    {908, 153, kW, 3}, {908, 154, kW, 0}, {908, 155, kW, 0}, {908, 156, kW, 0},
    {908, 157, kW, 4}, {908, 158, kW, 4}, {908, 159, kW, 0}, {908, 160, kE, 2},
    {908, 161, kW, 0}, {908, 162, kW, 0}, {908, 163, kW, 0},
    // Tables and plots.
    {908, 164, kW, 0}, {908, 165, kW, 0}, {908, 166, kW, 0},
    // Checks of the POPULATION variables, and data with nothing to analyse.
    {908, 167, kE, 1}, {908, 168, kW, 0}, {908, 169, kW, 0},
};

TEST(CatalogContent, HasEveryMessageTheProcedureUses) {
  for (const auto& r : kRequired) {
    SCOPED_TRACE(std::to_string(r.set) + "-" + std::to_string(r.number));
    const CatalogEntry* entry = find_entry(r.set, r.number);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->severity, r.severity);
    // A slot beyond the caller's arguments would print as a gap.
    EXPECT_EQ(highest_contiguous_slot(entry->text), r.slots) << entry->text;
  }
}

// Texts the procedure keeps in counted label buffers of 32 characters, and
// the joiner of strata names, which must show something between the names.
TEST(CatalogContent, CountedLabelsFitTheirBuffers) {
  const int counted[] = {47, 48, 66, 67, 68, 97, 98, 99, 100, 101, 105, 106, 107, 108};
  for (int number : counted) {
    SCOPED_TRACE(number);
    const auto text = message_text(908, number);
    ASSERT_TRUE(text.has_value());
    EXPECT_LE(text->size(), 32u);
  }
  const auto joiner = message_text(908, 46);
  ASSERT_TRUE(joiner.has_value());
  EXPECT_NE(joiner->find_first_not_of(' '), std::string_view::npos);
}

TEST(CatalogContent, ConfidenceSpansShowTheLevelAsPercent) {
  const host::MessageArg level[] = {number_arg(95)};
  for (int number : {61, 62, 63, 64, 65}) {
    SCOPED_TRACE(number);
    const std::string text = format_message(908, number, level);
    EXPECT_EQ(text.rfind("95% ", 0), 0u) << text;
  }
}

TEST(CatalogLookup, UnknownKeysAreNotFound) {
  struct Case {
    int set;
    int number;
  };
  const Case cases[] = {{908, 0},   {908, 1},   {908, 255}, {908, 256},         {908, 9999},
                        {129, 908}, {999, 54},  {-1, 1},   {kBuiltinSet, 3},   {kBuiltinSet, -5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.set) + "-" + std::to_string(c.number));
    EXPECT_EQ(find_entry(c.set, c.number), nullptr);
    EXPECT_FALSE(message_text(c.set, c.number).has_value());
  }
}

TEST(CatalogLookup, RawTextKeepsSlotsUnfilled) {
  const auto text = message_text(908, 115);
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find("%1"), std::string_view::npos);
  EXPECT_NE(text->find("%2"), std::string_view::npos);
}

TEST(CatalogFormat, FillsSlotsOfCatalogMessages) {
  const host::MessageArg effect_args[] = {text_arg("EFFECT"), text_arg("METHOD=INDIRECT")};
  EXPECT_EQ(format_message(908, 115, effect_args),
            "The EFFECT option is not valid with METHOD=INDIRECT and is ignored.");
}

// fill_text is the slot filler behind format_message, open to any text so
// the rules can be checked on texts written for the purpose.
TEST(CatalogFormat, FillsTextAndNumberSlots) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::string_view text;
    std::vector<host::MessageArg> args;
    std::string expected;
  };
  const Case cases[] = {
      {"plain", {}, "plain"},
      {"%1 and %2", {text_arg("a"), text_arg("bc")}, "a and bc"},
      {"%2 before %1", {text_arg("a"), text_arg("b")}, "b before a"},
      {"%1%1", {text_arg("x")}, "xx"},
      {"[%1]", {text_arg("")}, "[]"},
      // A text argument is exactly length bytes, not up to a terminator.
      {"[%1]", {{host::kArgText, 3, "abcdef", 0.0}}, "[abc]"},
      {"[%1]", {{host::kArgText, -4, "abc", 0.0}}, "[]"},
      {"[%1]", {{host::kArgText, 2, nullptr, 0.0}}, "[]"},
      {"[%1]", {{7, 3, "abc", 1.0}}, "[]"},
      // Slots without an argument stay empty.
      {"a%1b%2c", {text_arg("X")}, "aXbc"},
      {"a%1b", {}, "ab"},
      {"%0|%1", {text_arg("X")}, "|X"},
      // Percent signs.
      {"%1%% Limits", {number_arg(95)}, "95% Limits"},
      {"100%%", {}, "100%"},
      {"%%1", {text_arg("X")}, "%1"},
      {"50% off", {}, "50% off"},
      {"end%", {}, "end%"},
      // Slots above 9.
      {"%10|%1", std::vector<host::MessageArg>(10, text_arg("z")), "z|z"},
      {"[%18446744073709551617]", {text_arg("X")}, "[]"},
      // Numbers: shortest form that reads back the same.
      {"%1", {number_arg(95)}, "95"},
      {"%1", {number_arg(100000)}, "100000"},
      {"%1", {number_arg(1e21)}, "1e+21"},
      {"%1", {number_arg(97.5)}, "97.5"},
      {"%1", {number_arg(0.0001)}, "0.0001"},
      {"%1", {number_arg(1e-7)}, "1e-07"},
      // The bounds of plain notation: 1e-6 up to below 1e16.
      {"%1", {number_arg(1e-6)}, "0.000001"},
      {"%1", {number_arg(5e-6)}, "0.000005"},
      {"%1", {number_arg(9.99e-7)}, "9.99e-07"},
      {"%1", {number_arg(9999999999999998.0)}, "9999999999999998"},
      {"%1", {number_arg(1e16)}, "1e+16"},
      {"%1", {number_arg(1.5e-7)}, "1.5e-07"},
      {"%1", {number_arg(123456789012345.0)}, "123456789012345"},
      {"%1", {number_arg(-1e300)}, "-1e+300"},
      {"%1", {number_arg(0.1)}, "0.1"},
      {"%1", {number_arg(1.0 / 3.0)}, "0.3333333333333333"},
      {"%1", {number_arg((1 - 0.01) * 100)}, "99"},
      {"%1", {number_arg(-2.5)}, "-2.5"},
      {"%1", {number_arg(-0.0)}, "0"},
      {"%1", {number_arg(nan)}, "."},
      {"%1", {number_arg(inf)}, "inf"},
      {"%1 in %2", {number_arg(3), text_arg("DATA")}, "3 in DATA"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    EXPECT_EQ(fill_text(c.text, c.args), c.expected);
  }
}

TEST(CatalogFormat, UnknownMessageFallsBack) {
  const host::MessageArg args[] = {text_arg("X")};
  EXPECT_EQ(format_message(908, 9999, args), "message 908-9999 (no text in the catalog)");
  EXPECT_EQ(format_message(210, 7, {}), "message 210-7 (no text in the catalog)");
}

TEST(CatalogFormat, SeverityWords) {
  struct Case {
    Severity severity;
    std::string_view word;
  };
  const Case cases[] = {{Severity::kText, ""},
                        {Severity::kNote, "NOTE"},
                        {Severity::kWarning, "WARNING"},
                        {Severity::kError, "ERROR"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.word));
    EXPECT_EQ(severity_word(c.severity), c.word);
  }
}

}  // namespace
}  // namespace quilvar::runtime::catalog
