// Whole-file passes over large files run in two halves at once; whatever the
// halves meet must come out as a pass in one piece gives it: column types
// and lengths, the observation count, and the BY-order error naming the
// same line and observation, wherever the problem lies and however a quoted
// line break falls on the split.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/datasets/data_set_fixture.hpp"
#include "runtime/datasets/split_pass.hpp"

namespace quilvar::runtime::datasets {
namespace {

using testing::DataSetPtr;
using testing::ScratchFolder;
using testing::info_of;

constexpr char kHeader[] = "key,value,note\n";
constexpr std::size_t kRowWidth = 24;  // "0000001,001,nnnnnnnnnnn\n"
constexpr std::size_t kRows = 2 * (kSplitPassBytes / kRowWidth) + 1;

std::string row(std::size_t key, const char* note = "plain-note!") {
  char text[64];
  std::snprintf(text, sizeof text, "%07zu,%03zu,%s\n", key, key % 1000, note);
  return text;
}

// Sorted rows of one width, so that where the middle falls is known.
std::vector<std::string> sorted_rows() {
  std::vector<std::string> rows;
  for (std::size_t i = 0; i < kRows; ++i) rows.push_back(row(i + 1));
  return rows;
}

std::string joined(const std::vector<std::string>& rows) {
  std::string text = kHeader;
  for (const std::string& r : rows) text += r;
  return text;
}

// The row whose start is the second half's start: the one after the row
// holding the middle of the rows.
std::size_t first_row_of_second_half() {
  const std::size_t middle = (kRows * kRowWidth) / 2;
  return middle / kRowWidth + 1;
}

std::string order_error(const std::vector<std::string>& rows, bool descending = false) {
  ScratchFolder folder;
  const DataSetPtr data = testing::open_csv(folder, "big", joined(rows));
  if (data == nullptr) return "not opened";
  std::string error;
  const std::vector<ByVariable> by{{"key", descending}};
  if (set_by_variables(data.get(), by, false, &error)) return "";
  return error.substr(error.find(", line"));
}

TEST(SplitPass, TypesLengthsAndCountsOfTheSecondHalfCount) {
  ASSERT_GT(joined(sorted_rows()).size(), kSplitPassBytes);
  std::vector<std::string> rows = sorted_rows();
  rows.back() = "9999999,x,a-longer-note-only-near-the-end\n";
  ScratchFolder folder;
  const DataSetPtr data = testing::open_csv(folder, "big", joined(rows));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(observation_count(data.get()), static_cast<std::int64_t>(kRows));
  EXPECT_EQ(info_of(data.get(), "key").type, 1);
  EXPECT_EQ(info_of(data.get(), "value").type, 2);
  EXPECT_EQ(info_of(data.get(), "value").length, 3);
  EXPECT_EQ(info_of(data.get(), "note").length, static_cast<int>(std::strlen("a-longer-note-only-near-the-end")));
}

TEST(SplitPass, AQuotedLineBreakOnTheSplitIsReadAsOneRecord) {
  // With an even number of rows the middle is a row start; a quoted line
  // break in that row is the first line feed after the middle.
  std::vector<std::string> rows = sorted_rows();
  rows.pop_back();
  const std::size_t straddling = rows.size() / 2;
  rows[straddling] = row(straddling + 1, "\"a\nb word\"");
  ScratchFolder folder;
  const DataSetPtr data = testing::open_csv(folder, "big", joined(rows));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(observation_count(data.get()), static_cast<std::int64_t>(rows.size()));
  EXPECT_EQ(info_of(data.get(), "value").type, 1);
  std::string error;
  const std::vector<ByVariable> by{{"key", false}};
  EXPECT_TRUE(set_by_variables(data.get(), by, false, &error)) << error;
}

TEST(SplitPass, OrderErrorsNameTheSameObservationWhereverTheyLie) {
  EXPECT_EQ(order_error(sorted_rows()), "");
  const std::size_t boundary = first_row_of_second_half();
  for (std::size_t bad : {std::size_t{10}, boundary - 1, boundary, boundary + 1, kRows - 1}) {
    SCOPED_TRACE(bad);
    std::vector<std::string> rows = sorted_rows();
    rows[bad] = row(bad - 1);  // goes back by one below its predecessor's key
    char key[16];
    char previous[16];
    std::snprintf(key, sizeof key, "%zu", bad - 1);
    std::snprintf(previous, sizeof previous, "%zu", bad);
    const std::string expected = ", line " + std::to_string(bad + 2) + ": observation " + std::to_string(bad + 1) +
                                 " (key=" + key + ") is out of BY order: it follows observation " +
                                 std::to_string(bad) + " (key=" + previous + ").";
    EXPECT_EQ(order_error(rows).substr(0, expected.size()), expected);
  }
}

// The notes on columns of numbers read as character.
// The notes on the file's columns, but those on the zero-padded keys and
// values of these rows ("0000001"), which every file here draws.
std::vector<std::string> notes_of(const std::vector<std::string>& rows) {
  ScratchFolder folder;
  const DataSetPtr data = testing::open_csv(folder, "big", joined(rows));
  if (data == nullptr) return {"not opened"};
  std::vector<std::string> notes;
  for (const std::string& note : layout_notes(data.get())) {
    if (note.find("written with a leading zero") == std::string::npos) notes.push_back(note.substr(note.find(", line")));
  }
  return notes;
}

TEST(SplitPass, TheFirstTextInAColumnOfNumbersIsNamedWhereverItLies) {
  EXPECT_TRUE(notes_of(sorted_rows()).empty());
  const std::size_t boundary = first_row_of_second_half();
  for (std::size_t bad : {std::size_t{10}, boundary - 1, boundary, kRows - 1}) {
    SCOPED_TRACE(bad);
    std::vector<std::string> rows = sorted_rows();
    rows[bad] = "NA," + rows[bad].substr(rows[bad].find(',') + 1);
    const std::vector<std::string> expected{", line " + std::to_string(bad + 2) +
                                            ": variable key holds numbers but is read as character: \"NA\" is "
                                            "not a number (a missing number is a blank field or \".\")"};
    EXPECT_EQ(notes_of(rows), expected);
  }
  // Texts in both halves: the earlier one is named, and a quoted line
  // break before it counts as a line.
  std::vector<std::string> rows = sorted_rows();
  rows[3] = row(4, "\"two\nlines\"");
  rows[20] = "n/a" + rows[20].substr(rows[20].find(','));
  rows[boundary + 5] = "NA" + rows[boundary + 5].substr(rows[boundary + 5].find(','));
  // A column of labels, one of them a number in the second half: long
  // looked at in the first half, it gets no note, as in a pass in one piece.
  rows[boundary + 7] = row(boundary + 8, "12345678901");
  const std::vector<std::string> notes = notes_of(rows);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].substr(0, 41), ", line 23: variable key holds numbers but");
  EXPECT_NE(notes[0].find("\"n/a\""), std::string::npos);
}

TEST(SplitPass, OrderErrorsAfterRunsOfEqualKeysAreFoundInEitherHalf) {
  // Keys in runs of three, as BY groups repeat their values.
  std::vector<std::string> rows;
  for (std::size_t i = 0; i < kRows; ++i) rows.push_back(row(i / 3 + 1));
  EXPECT_EQ(order_error(rows), "");
  const std::size_t boundary = first_row_of_second_half();
  for (std::size_t bad : {std::size_t{9}, boundary - boundary % 3 + 3, kRows - kRows % 3 - 3}) {
    SCOPED_TRACE(bad);
    std::vector<std::string> changed = rows;
    changed[bad] = row(bad / 3 - 1);  // the first of a run, below the run before it
    const std::string expected = ", line " + std::to_string(bad + 2) + ": observation " + std::to_string(bad + 1) +
                                 " (key=" + std::to_string(bad / 3 - 1) + ") is out of BY order: it follows " +
                                 "observation " + std::to_string(bad) + " (key=" + std::to_string(bad / 3) + ").";
    EXPECT_EQ(order_error(changed).substr(0, expected.size()), expected);
  }
}

TEST(SplitPass, DescendingOrderHoldsAcrossTheHalves) {
  std::vector<std::string> rows = sorted_rows();
  std::reverse(rows.begin(), rows.end());
  EXPECT_EQ(order_error(rows, true), "");
  EXPECT_NE(order_error(rows, false), "");
}

}  // namespace
}  // namespace quilvar::runtime::datasets
