// Record scanning against records made from known fields: short plain
// records take a quick path, the rest the general one, and both must give
// back every field as written, with quoting, CRLF, delimiters and line
// breaks inside quotes, records longer than the quick path's window and a
// last record without a line end.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "runtime/datasets/csv_records.hpp"

namespace quilvar::runtime::datasets {
namespace {

std::string random_field(std::mt19937& random) {
  static constexpr std::string_view kPlain = "abcXYZ0123456789.-_ ";
  static constexpr std::string_view kSpecial = ",\"\r\n\t";
  const std::size_t length = random() % 4 == 0 ? random() % 90 : random() % 8;
  std::string field;
  for (std::size_t i = 0; i < length; ++i) {
    field += random() % 12 == 0 ? kSpecial[random() % kSpecial.size()] : kPlain[random() % kPlain.size()];
  }
  return field;
}

// The field as a CSV writer puts it: quoted when it holds a delimiter, a
// quote, a CR or a line feed, or starts with a blank (or at random), quotes
// doubled.
std::string encoded(const std::string& field, char delimiter, std::mt19937& random) {
  const bool needs =
      field.find_first_of(std::string("\"\r\n") + delimiter) != std::string::npos || field.starts_with(' ');
  if (!needs && random() % 10 != 0) return field;
  std::string text = "\"";
  for (char c : field) {
    if (c == '"') text += '"';
    text += c;
  }
  return text + "\"";
}

TEST(RecordScan, GivesBackEveryFieldAsWritten) {
  std::mt19937 random(3);
  for (char delimiter : {',', '\t'}) {
    SCOPED_TRACE(delimiter == ',' ? "comma" : "tab");
    std::vector<std::vector<std::string>> records;
    std::string text;
    for (int r = 0; r < 4000; ++r) {
      std::vector<std::string> fields(1 + random() % 6);
      for (std::string& field : fields) field = random_field(random);
      // A record of one empty field is an empty line, which is skipped.
      if (fields.size() == 1 && fields[0].empty()) fields[0].push_back('x');
      std::string line;
      for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) line += delimiter;
        line += encoded(fields[i], delimiter, random);
      }
      text += line;
      const bool last = r == 3999;
      if (!last || random() % 2 == 0) text += random() % 3 == 0 ? "\r\n" : "\n";
      // A record of delimiters and blanks only is an empty row, skipped too.
      if (fields.size() > 1 && line.find_first_not_of(std::string(" \t") + delimiter) == std::string::npos) continue;
      records.push_back(fields);
    }
    const CsvText csv{text.data(), text.size(), delimiter};
    Position pos;
    FieldList fields;
    std::string scratch;
    for (std::size_t r = 0; r < records.size(); ++r) {
      Position start;
      Position problem;
      ASSERT_EQ(scan_record(csv, &pos, &fields, &start, &problem), ScanStatus::kRecord) << "record " << r;
      ASSERT_EQ(fields.size(), records[r].size()) << "record " << r;
      for (std::size_t i = 0; i < fields.size(); ++i) {
        ASSERT_EQ(field_value(fields[i], &scratch), records[r][i]) << "record " << r << " field " << i;
      }
    }
    Position start;
    Position problem;
    EXPECT_EQ(scan_record(csv, &pos, &fields, &start, &problem), ScanStatus::kEnd);
  }
}

// Blanks after a delimiter are not part of a value: an unquoted value
// starts after them and a quoted one at its quote, on the quick path (a
// short plain record) and the general one (quotes, or a record longer than
// the quick path's window). Blanks inside quotes or after a value stay.
TEST(RecordScan, ValuesStartAfterTheBlanksThatLeadThem) {
  const std::string padding(70, 'x');
  const struct {
    const char* label;
    std::string text;
    std::vector<std::string> values;
  } cases[] = {
      {"short plain record", "a,  b,e f ,   \n", {"a", "b", "e f ", ""}},
      {"long plain record", "a,  b,e f ,   ," + padding + "\n", {"a", "b", "e f ", "", padding}},
      {"quoted values", "a, \" c, d\",  \"e\"\"\",f\n", {"a", " c, d", "e\"", "f"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const CsvText csv{c.text.data(), c.text.size(), ','};
    Position pos;
    FieldList fields;
    Position start;
    Position problem;
    std::string scratch;
    ASSERT_EQ(scan_record(csv, &pos, &fields, &start, &problem), ScanStatus::kRecord);
    std::vector<std::string> values;
    for (std::size_t i = 0; i < fields.size(); ++i) values.emplace_back(field_value(fields[i], &scratch));
    EXPECT_EQ(values, c.values);
  }
}

// Every malformed UTF-8 form is found at its first byte, wherever it lies
// in a run of ASCII (inside or after the 32- and 8-byte blocks).
TEST(Utf8Check, FindsTheFirstByteOfEveryMalformedSequence) {
  const struct {
    const char* label;
    std::string bytes;
    bool valid;
  } cases[] = {
      {"two bytes", "\xC3\xB4", true},          {"three bytes", "\xE2\x82\xAC", true},
      {"four bytes", "\xF0\x9F\x98\x80", true}, {"largest code point", "\xF4\x8F\xBF\xBF", true},
      {"Latin-1 letter", "\xF4t", false},        {"lone continuation", "\x80", false},
      {"overlong two bytes", "\xC0\xAF", false}, {"overlong three bytes", "\xE0\x80\xAF", false},
      {"surrogate", "\xED\xA0\x80", false},     {"above U+10FFFF", "\xF4\x90\x80\x80", false},
      {"cut short", "\xE2\x82", false},          {"bad third byte", "\xE2\x82" "A", false},
  };
  for (const auto& c : cases) {
    for (const std::size_t before : {0u, 5u, 31u, 32u, 40u, 70u}) {
      SCOPED_TRACE(std::string(c.label) + " after " + std::to_string(before));
      const std::string text = std::string(before, 'a') + c.bytes + (c.bytes == "\xE2\x82" ? "" : "tail");
      EXPECT_EQ(first_invalid_utf8(text.data(), text.size()), c.valid ? text.size() : before);
    }
  }
}

}  // namespace
}  // namespace quilvar::runtime::datasets
