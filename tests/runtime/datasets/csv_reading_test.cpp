// Reading CSV and TSV files: column typing, quoting, line ends, byte order
// marks, and the values handed to bound buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "quilvar/host/missing.hpp"
#include "runtime/datasets/data_set_fixture.hpp"
#include "support/resident_memory.hpp"

namespace quilvar::runtime::datasets {
namespace {

using testing::DataSetPtr;
using testing::FormattedReader;
using testing::ScratchFolder;
using testing::info_of;

TEST(CsvTyping, ColumnIsNumericWhenEveryNonBlankValueIsANumber) {
  ScratchFolder folder;
  const DataSetPtr data = open_csv(folder, "types",
                                   "count,mixed,blank,dots,huge,nan,grouped,utf8,negzero,spaced\n"
                                   "1,1,,.,1e400,NaN,\"1,000\",h\xC3\xA9llo,-0, 7 \n"
                                   "2,x,,.A,2,1,2,e,1,8\n"
                                   "3,22,,._,3,2,3,,2,\n");
  ASSERT_NE(data, nullptr);
  const struct {
    const char* name;
    int type;
    int length;
  } expected[] = {
      {"count", 1, 8}, {"mixed", 2, 2}, {"blank", 1, 8}, {"dots", 1, 8}, {"huge", 2, 5},
      {"nan", 2, 3},   {"grouped", 2, 5}, {"utf8", 2, 6}, {"negzero", 1, 8}, {"spaced", 1, 8},
  };
  for (const auto& column : expected) {
    SCOPED_TRACE(column.name);
    const host::VariableInfo info = info_of(data.get(), column.name);
    EXPECT_EQ(info.type, column.type);
    EXPECT_EQ(info.length, column.length);
    EXPECT_EQ(info.format_width, column.type == 1 ? 16 : column.length);
    EXPECT_EQ(info.has_format, 0);
  }
  EXPECT_EQ(observation_count(data.get()), 3);
}

// Age groups starting with "00" are labels, not numbers with stray texts:
// a column is noted only when its numbers are at least as many as its texts.
TEST(CsvTyping, AColumnOfNumbersReadAsCharacterIsNotedWithItsFirstText) {
  ScratchFolder folder;
  const std::string long_text(60, 'z');
  const DataSetPtr data = open_csv(folder, "notes",
                                   "counts,late,labels,dots,quoted,long,ages,persons,codes\n"
                                   "1,NA,a,.,1,1,00,\"41,000\",\"1,23\"\n"
                                   "2,2,b,.A,\"1\"\"\",2,01-04,\"-1,234,567.5\",\"1,2345\"\n"
                                   "NA,3,00-04,,3," + long_text + ",05-09,,\n"
                                   "x,4,c,4,4,4,10-14,\"7\",\"12,345,6\"\n");
  ASSERT_NE(data, nullptr);
  std::vector<std::string> notes = layout_notes(data.get());
  for (std::string& note : notes) note = note.substr(note.find(", line"));
  const std::string after = " is not a number (a missing number is a blank field or \".\")";
  const std::vector<std::string> expected{
      ", line 4: variable counts holds numbers but is read as character: \"NA\"" + after,
      ", line 2: variable late holds numbers but is read as character: \"NA\"" + after,
      ", line 3: variable quoted holds numbers but is read as character: \"1\"\"" + after,
      ", line 4: variable long holds numbers but is read as character: \"" + long_text.substr(0, 40) + "...\"" +
          after,
      // Numbers with thousands separators, every one of them: said so,
      // not "not a number"; codes with commas elsewhere get no note.
      ", line 2: variable persons holds numbers written with thousands separators, such as \"41,000\", so it is "
      "read as character; write the numbers without separators",
  };
  EXPECT_EQ(notes, expected);
}

// Numbers as spreadsheets write them in other languages are texts here: a
// column of them is noted with the form found, also when all its values
// are such texts, but a column with other texts as well is not.
TEST(CsvTyping, AColumnOfNumbersWrittenInAnotherFormIsNotedWithThatForm) {
  ScratchFolder folder;
  const DataSetPtr data = open_csv(folder, "forms",
                                   "blank,quote,nbsp,comma,both,pct,mixed,codes,ranges,huge,tiny,over\n"
                                   "41 000,1'234,1\xC2\xA0" "234,\"12,5\",\"1.234,5\",12.5 %,7,\"1,5\",1 2,5,1e-320,1e400\n"
                                   "9,2'000,5,\"0,25\",2,3%,\"1,234.5\",x,3 45,-1E+400,-2e-999,3\n"
                                   "10,,,,,.,8,\"2,5\",,6,,\n");
  ASSERT_NE(data, nullptr);
  std::vector<std::string> notes = layout_notes(data.get());
  for (std::string& note : notes) note = note.substr(note.find(", line"));
  const std::string grouped = " holds numbers written with thousands separators, such as ";
  const std::string decimal = " holds numbers written with decimal commas, such as ";
  const std::string separators = ", so it is read as character; write the numbers without separators";
  const std::string points = ", so it is read as character; write them with decimal points (and without thousands separators)";
  const std::string range =
      " holds values beyond the range of numbers (above about 1.8E308, or nearer 0 than about 4.9E-324), such as ";
  const std::string range_advice = ", so it is read as character; correct the values, or write them in another unit";
  const std::vector<std::string> expected{
      ", line 2: variable blank" + grouped + "\"41 000\"" + separators,
      ", line 2: variable quote" + grouped + "\"1'234\"" + separators,
      ", line 2: variable nbsp" + grouped + "\"1\xC2\xA0" "234\"" + separators,
      ", line 2: variable comma" + decimal + "\"12,5\"" + points,
      ", line 2: variable both" + decimal + "\"1.234,5\"" + points,
      ", line 2: variable pct holds percentages, such as \"12.5 %\", so it is read as character; write the numbers "
      "without the percent sign",
      ", line 3: variable mixed" + grouped + "\"1,234.5\"" + separators,
      // Past the largest double, or nearer 0 than the smallest (1e-320 is
      // held, as a subnormal number).
      ", line 3: variable huge" + range + "\"-1E+400\"" + range_advice,
      ", line 3: variable tiny" + range + "\"-2e-999\"" + range_advice,
      ", line 2: variable over" + range + "\"1e400\"" + range_advice,
  };
  EXPECT_EQ(notes, expected);
}

// A file saved in Latin-1 reads as before, with a note naming the line and
// column of its first letter that is not UTF-8.
// A file large enough to be read in two halves, its column id of plain
// numbers up to a last row holding `value`: that value, in the second half,
// is noted with its line.
void expect_late_value_noted(const ScratchFolder& folder, const std::string& value, const std::string& note) {
  std::string bytes = "id,n\n";
  while (bytes.size() < (std::size_t{6} << 20)) bytes += "1234567,1\n";
  const std::size_t lines = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
  bytes += value + ",2\n";
  const DataSetPtr large = open_csv(folder, "late", bytes);
  ASSERT_NE(large, nullptr);
  ASSERT_EQ(layout_notes(large.get()).size(), 1u);
  EXPECT_NE(layout_notes(large.get())[0].find(", line " + std::to_string(lines + 1) + note), std::string::npos)
      << layout_notes(large.get())[0];
}

// Whole numbers longer than a double holds exactly (codes of 17 digits)
// read as the nearest double, so two codes may read as one: the column is
// noted with its first such value and what it reads as, in either half of
// a file read in two. Longer numbers that are held exactly are not noted.
TEST(CsvTyping, WholeNumbersLongerThanADoubleHoldsAreNotedWithWhatTheyReadAs) {
  const std::string after =
      ": codes that differ only in their last digits would be read as one value (one BY group or stratum); "
      "write such codes with a letter in front, so that they are read as text";
  ScratchFolder folder;
  const DataSetPtr small = open_csv(folder, "codes",
                                    "id,exact,ratio,n\n"
                                    "1234567890123456,100000000000000000000,0.12345678901234567,1\n"
                                    "12345678901234567,0009007199254740992,3.14159265358979323846,2\n"
                                    "-12345678901234569,1e25,-1234567890123456.75,3\n");
  ASSERT_NE(small, nullptr);
  // And the leading zeros of exact's 0009007199254740992; long decimals
  // (ratio) are no codes and are not noted.
  ASSERT_EQ(layout_notes(small.get()).size(), 2u);
  EXPECT_EQ(layout_notes(small.get())[0], (folder.path() / "codes.csv").string() +
                                              ", line 3: variable id holds 12345678901234567, which has more digits "
                                              "than a number holds exactly, so it is read as 12345678901234568" +
                                              after);
  const auto rows = testing::read_whole(small.get());
  ASSERT_EQ(rows.size(), 3u);

  // Leading zeros are left out before the digits are counted: 18 digits,
  // read as 1e17.
  const DataSetPtr zeros = open_csv(folder, "zeros", "code\n0100000000000000001\n5\n");
  ASSERT_NE(zeros, nullptr);
  ASSERT_EQ(layout_notes(zeros.get()).size(), 2u);
  EXPECT_NE(layout_notes(zeros.get())[0].find(", line 2: variable code holds 0100000000000000001, which has more "
                                                "digits than a number holds exactly, so it is read as "
                                                "100000000000000000"),
            std::string::npos)
      << layout_notes(zeros.get())[0];

  expect_late_value_noted(folder, "90071992547409931",
                          ": variable id holds 90071992547409931, which has more digits than a number holds exactly, "
                          "so it is read as 90071992547409936");
}

// Codes written with leading zeros in a column of numbers ("01", "007")
// read as numbers, losing their zeros, so "01" and "1" are one value: the
// column is noted with its first such value, in either half of a file read
// in two. Decimals ("0.5"), a lone zero and character columns are not.
TEST(CsvTyping, NumbersWrittenWithLeadingZerosAreNoted) {
  const std::string after =
      ": codes such as 01 and 1 are read as one value (one BY group or stratum) and are written without their "
      "zeros; write such codes with a letter in front, so that they are read as text";
  ScratchFolder folder;
  const DataSetPtr small = open_csv(folder, "areas",
                                    "area,rate,zero,label,n\n"
                                    "12,0.5,0,01-04,1\n"
                                    "007,0.25,0,00,2\n"
                                    " 01,1.5,.,85+,3\n");
  ASSERT_NE(small, nullptr);
  const std::vector<std::string> expected{
      (folder.path() / "areas.csv").string() + ", line 3: variable area holds 007, a number written with a leading "
                                               "zero, so it is read as the number 7" + after};
  EXPECT_EQ(layout_notes(small.get()), expected);
  const auto rows = testing::read_whole(small.get());
  ASSERT_EQ(rows.size(), 3u);

  expect_late_value_noted(folder, "00.5",
                          ": variable id holds 00.5, a number written with a leading zero, so it is read as the "
                          "number 0.5");
}

TEST(CsvTyping, AFileThatIsNotUtf8IsNoted) {
  ScratchFolder folder;
  const DataSetPtr latin1 = open_csv(folder, "latin1", "region,deaths\nNorth,1\nC\xF4te,2\n");
  ASSERT_NE(latin1, nullptr);
  ASSERT_EQ(layout_notes(latin1.get()).size(), 1u);
  const std::string& note = layout_notes(latin1.get())[0];
  EXPECT_NE(note.find(", line 3, column 2: the file is not UTF-8 text"), std::string::npos) << note;
  const DataSetPtr utf8 = open_csv(folder, "utf8", "region,deaths\nNorth,1\nC\xC3\xB4te,2\n");
  ASSERT_NE(utf8, nullptr);
  EXPECT_TRUE(layout_notes(utf8.get()).empty());
}

using ::quilvar::testing::PeakWatch;
using ::quilvar::testing::process_status_kb;

// Expects the peak resident memory to have risen by less than limit_kb
// since the watch was made, where the system tells.
void expect_rise_below(const PeakWatch& peak, long limit_kb) {
  if (const long rise = peak.rise_kb(); rise >= 0) {
    EXPECT_LT(rise, limit_kb);
  }
}

// The encoding check reads every byte of a large file: it must neither keep
// the file's pages (memory would grow with the file) nor misread a letter
// cut by the boundary between two of its chunks.
TEST(CsvTyping, TheEncodingCheckOfALargeFileKeepsNoPagesAndReadsLettersWhole) {
  constexpr std::size_t kChunk = std::size_t{4} << 20;
  std::string row;
  for (int i = 0; i < 1000; ++i) row += "\xF0\x9F\x98\x80";  // four-byte letters
  row += '\n';
  std::string bytes;
  for (std::size_t pad = 0; pad < 8; ++pad) {  // a header that puts a chunk's end inside a letter
    bytes.assign(1, 'n');
    bytes.append(pad, 'x');
    bytes.push_back('\n');
    while (bytes.size() < 10 * kChunk) bytes += row;
    if ((static_cast<unsigned char>(bytes[kChunk]) & 0xC0) == 0x80) break;
  }
  ASSERT_EQ(static_cast<unsigned char>(bytes[kChunk]) & 0xC0, 0x80);
  ScratchFolder folder;
  const long before = process_status_kb("RssFile:");
  const DataSetPtr valid = open_csv(folder, "letters", bytes);
  ASSERT_NE(valid, nullptr);
  EXPECT_TRUE(layout_notes(valid.get()).empty()) << layout_notes(valid.get())[0];
  ASSERT_GE(before, 0);
  EXPECT_LT(process_status_kb("RssFile:") - before, static_cast<long>(bytes.size() / 1024 / 2));

  const std::size_t latin = bytes.size() - row.size() + 8;  // a letter of the last row, in Latin-1
  bytes[latin] = '\xE9';
  bytes[latin + 1] = 'x';
  const PeakWatch peak;
  const DataSetPtr invalid = open_csv(folder, "latin", bytes);
  ASSERT_NE(invalid, nullptr);
  // Finding the line of the letter near the end never holds the whole file.
  expect_rise_below(peak, static_cast<long>(bytes.size() / 1024 * 3 / 4));
  ASSERT_EQ(layout_notes(invalid.get()).size(), 1u);
  const std::size_t lines = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
  // Column 3: the two four-byte letters before it count as one each.
  EXPECT_NE(layout_notes(invalid.get())[0].find(", line " + std::to_string(lines) + ", column 3:"), std::string::npos)
      << layout_notes(invalid.get())[0];
}

// A column of counts with a stray text in the last row of a large file: the
// note names the line of that text, and finding it never holds the whole
// file (the pages are handed back as the lines are counted).
TEST(CsvTyping, AStrayTextAtTheEndOfALargeFileIsNotedAtItsLineKeepingNoPages) {
  std::string bytes = "n,deaths\n";
  std::size_t lines = 1;
  while (bytes.size() < (std::size_t{40} << 20)) {
    bytes += "area_07,89\n";
    ++lines;
  }
  bytes += "\"quoted\nline\",NA\n";  // a line feed inside a quoted value counts
  lines += 2;
  ScratchFolder folder;
  const PeakWatch peak;
  const DataSetPtr data = open_csv(folder, "stray", bytes);
  ASSERT_NE(data, nullptr);
  expect_rise_below(peak, static_cast<long>(bytes.size() / 1024 * 3 / 4));
  ASSERT_EQ(layout_notes(data.get()).size(), 1u);
  EXPECT_NE(layout_notes(data.get())[0].find(", line " + std::to_string(lines) + ": variable deaths"),
            std::string::npos)
      << layout_notes(data.get())[0];
}

// A quote that opens a field near the start of a large file and is never
// closed is reported without reading the rest of the file into the field.
TEST(CsvQuoting, ALostClosingQuoteInALargeFileIsReportedWithoutHoldingTheFile) {
  std::string bytes = "area,deaths\n\"A01,5\n";
  while (bytes.size() < (std::size_t{40} << 20)) bytes += "area_07,89\n";
  ScratchFolder folder;
  const PeakWatch peak;
  EXPECT_EQ(testing::open_error(folder, "lost.csv", bytes),
            (folder.path() / "lost.csv").string() +
                ", line 2, column 1: quoted field longer than the limit of 32767 bytes: its closing quote is missing, "
                "or the value is too long");
  expect_rise_below(peak, static_cast<long>(bytes.size() / 1024 * 3 / 8));
}

// The longest value written with every letter a doubled quote still reads.
TEST(CsvQuoting, TheLongestValueOfDoubledQuotesReads) {
  std::string doubled;
  for (int i = 0; i < 32767; ++i) doubled += "\"\"";
  ScratchFolder folder;
  const DataSetPtr data = open_csv(folder, "quotes", "n,v\n1,\"" + doubled + "\"\n2,x\n");
  ASSERT_NE(data, nullptr);
  const auto rows = testing::read_whole(data.get());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][1], std::string(32767, '"'));
}

TEST(CsvValues, CharacterValuesOfEveryLengthArriveWholeAndBlankPadded) {
  const std::string letters = "abcdefghijklmnopqrstuvwxyz";
  std::string bytes = "n,v\n";
  for (std::size_t length = 0; length <= letters.size(); ++length) {
    bytes += std::to_string(length) + "," + letters.substr(letters.size() - length) + "\n";
  }
  ScratchFolder folder;
  const DataSetPtr data = open_csv(folder, "lengths", bytes);
  ASSERT_NE(data, nullptr);
  const auto rows = testing::read_whole(data.get());
  ASSERT_EQ(rows.size(), letters.size() + 1);
  for (std::size_t length = 0; length < rows.size(); ++length) {
    SCOPED_TRACE(length);
    std::string expected = letters.substr(letters.size() - length);
    expected.resize(letters.size(), ' ');
    EXPECT_EQ(rows[length][1], expected);
  }
}

TEST(CsvQuoting, QuotedFieldsHoldDelimitersQuotesAndLineBreaks) {
  ScratchFolder folder;
  const DataSetPtr data = open_csv(folder, "quoted",
                                   "name,note,n\n"
                                   "\"a,b\",\"say \"\"hi\"\"\",\"12\"\n"
                                   "\"multi\nline\",\"\",\" 3 \"\n"
                                   "plain,ab\"c,4\n");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(info_of(data.get(), "note").length, 8);
  EXPECT_EQ(info_of(data.get(), "n").type, 1);
  const auto rows = testing::read_whole(data.get());
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][0], "a,b       ");
  EXPECT_EQ(rows[0][1], "say \"hi\"");
  EXPECT_EQ(rows[1][0], "multi\nline");
  EXPECT_EQ(rows[1][1], "        ");
  EXPECT_EQ(rows[2][1], "ab\"c    ");
  EXPECT_EQ(FormattedReader::trim(rows[1][2]), "3");
}

// Empty lines, and the rows of delimiters only that spreadsheets save for
// empty rows, are no observations.
TEST(CsvLineEnds, LfCrlfByteOrderMarkAndEmptyLinesReadAlike) {
  const struct {
    const char* label;
    std::string bytes;
  } files[] = {
      {"lf", "id,v\n1,a\n2,b\n"},
      {"crlf", "id,v\r\n1,a\r\n2,b\r\n"},
      {"bom crlf", "\xEF\xBB\xBFid,v\r\n1,a\r\n2,b\r\n"},
      {"no final newline", "id,v\n1,a\n2,b"},
      {"crlf, last line feed lost", "id,v\r\n1,a\r\n2,b\r"},
      {"crlf, last line feed lost after a quoted value", "id,v\r\n1,a\r\n2,\"b\"\r"},
      {"crlf, last line feed lost after empty lines", "id,v\r\n1,a\r\n2,b\r\n\r\n\r"},
      {"empty lines", "\nid,v\n\n1,a\r\n\r\n2,b\n\n\n"},
      {"empty spreadsheet rows", "id,v\n,\n1,a\n , \r\n2,b\n,\n,\n"},
      {"lines of blanks", "id,v\n  \n1,a\n \t \r\n2,b\n   "},
      {"lines of blanks above the header", "   \r\n\t\nid,v\n1,a\n2,b\n"},
  };
  for (const auto& file : files) {
    SCOPED_TRACE(file.label);
    ScratchFolder folder;
    const DataSetPtr data = open_csv(folder, "ends", file.bytes);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(info_of(data.get(), "id").type, 1);
    EXPECT_EQ(info_of(data.get(), "v").length, 1);
    const auto rows = testing::read_whole(data.get());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(FormattedReader::trim(rows[0][0]) + rows[0][1] + FormattedReader::trim(rows[1][0]) + rows[1][1],
              "1a2b");
  }
}

// In a file of one column a line of blanks below the header is its blank
// value, a missing observation, not an empty line.
TEST(CsvLineEnds, LineOfBlanksInAOneColumnFileIsAMissingValue) {
  ScratchFolder folder;
  const DataSetPtr data = open_csv(folder, "one", "v\n1\n   \n2\n");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(info_of(data.get(), "v").type, 1);
  EXPECT_EQ(testing::read_whole(data.get()).size(), 3u);
}

TEST(CsvLineEnds, CrInsideAValueIsKept) {
  ScratchFolder folder;
  const DataSetPtr data = open_csv(folder, "cr", "v,w\r\na\rb,\"c\r\nd\"\r\n");
  ASSERT_NE(data, nullptr);
  const auto rows = testing::read_whole(data.get());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], "a\rb");
  EXPECT_EQ(rows[0][1], "c\r\nd");
}

TEST(TsvReading, TabSeparatesAndCommasAreData) {
  ScratchFolder folder;
  folder.write("tabbed.tsv", "a\tb\n1,5\t2\n\"x\ty\"\t3\n");
  std::string error;
  const DataSetPtr data(open_data_set(folder.libraries(), "tabbed", false, &error));
  ASSERT_NE(data, nullptr) << error;
  EXPECT_EQ(info_of(data.get(), "a").type, 2);
  EXPECT_EQ(info_of(data.get(), "b").type, 1);
  const auto rows = testing::read_whole(data.get());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0], "1,5");
  EXPECT_EQ(rows[1][0], "x\ty");
}

TEST(BoundValues, NumbersAndMissingValuesAsRawAndFormatted) {
  ScratchFolder folder;
  const DataSetPtr data =
      open_csv(folder, "values", "x\n1.5\n0.1\n-0\n1e20\n.\n.b\n._\n \n\"\"\n12345678901234567\n");
  ASSERT_NE(data, nullptr);
  const struct {
    const char* formatted;
    double raw;
  } expected[] = {
      {"             1.5", 1.5},
      {"             0.1", 0.1},
      {"               0", 0},
      {"           1e+20", 1e20},
      {"               .", host::kMissing},
      {"              .B", host::missing_value(host::missing_code_for_letter('B'))},
      {"              ._", host::missing_value(host::kMissingCodeUnderscore)},
      {"               .", host::kMissing},
      {"               .", host::kMissing},
      {"1.2345678901e+16", 12345678901234567.0},
  };
  FormattedReader reader(data.get());
  ASSERT_EQ(data_set_services().next_by_group(data.get()), 1);
  for (const auto& value : expected) {
    SCOPED_TRACE(value.formatted);
    ASSERT_EQ(data_set_services().read_next(reader.reader()), 1);
    ASSERT_EQ(data_set_services().fetch_values(reader.reader()), 0);
    EXPECT_EQ(reader.text(1), value.formatted);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(reader.number(1)), std::bit_cast<std::uint64_t>(value.raw));
  }
  EXPECT_EQ(data_set_services().read_next(reader.reader()), 0);
}

}  // namespace
}  // namespace quilvar::runtime::datasets
