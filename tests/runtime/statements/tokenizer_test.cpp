// The tokenizer with the module's keyword list: every token class, the
// keyword rules (entries after the token classes only, "X$" matched by the
// word X), literal values, positions, and the bad tokens.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "quilvar/host/missing.hpp"
#include "quilvar/syntax/grammar_record.hpp"
#include "runtime/statements/literals.hpp"
#include "runtime/statements/tokenizer.hpp"

namespace quilvar::runtime::statements {
namespace {

const KeywordTable& module_keywords() {
  static const KeywordTable table = [] {
    host::GrammarRecord record{};
    quilvar::syntax::fill_grammar_record(record);
    KeywordTable keywords;
    EXPECT_EQ(keywords.load(record), "");
    return keywords;
  }();
  return table;
}

std::vector<Token> tokens_of(std::string_view text) { return tokenize(text, 1, module_keywords()); }

TEST(Tokenizer, TokenClassesAndValues) {
  const struct {
    const char* text;
    int code;
    double number;
    const char* value;
  } kCases[] = {
      {";", 1, 0, ""},
      {"age", 2, 0, ""},
      {"'it''s'", 3, 0, "it's"},
      {"\"say \"\"hi\"\"\"", 3, 0, "say \"hi\""},
      {"'abc'x", 3, 0, "abc"},
      {"12", 4, 12, ""},
      {"1.5", 5, 1.5, ""},
      {"1e5", 5, 1e5, ""},
      {"2.5E-1", 5, 0.25, ""},
      {".5", 5, 0.5, ""},
      {"5.", 5, 5, ""},
      {"lib.pop", 6, 0, ""},
      {"best12.", 7, 0, ""},
      {"comma8.2", 7, 0, ""},
      {"$char8.", 7, 0, ""},
      {"$8.", 7, 0, ""},
      {"'01JAN1960'd", 8, 0, "01JAN1960"},
      {"'01jan2000'D", 8, 14610, "01jan2000"},
      {"'1mar00'd", 8, 14670, "1mar00"},
      {"'15oct26'd", 8, -12131, "15oct26"},
      {"'01jan25'd", 8, 23742, "01jan25"},
      {"'31DEC1959'd", 8, -1, "31DEC1959"},
      {"'1mar1900'd", 8, -21855, "1mar1900"},
      {"'12:30't", 9, 45000, "12:30"},
      {"'23:59:59.5'T", 9, 86399.5, "23:59:59.5"},
      {"'01JAN1960:00:00:01'dt", 10, 1, "01JAN1960:00:00:01"},
      {"'01jan2000:12:30'DT", 10, 14610.0 * 86400 + 45000, "01jan2000:12:30"},
      {"'a b'n", 12, 0, "a b"},
      {"(", 20, 0, ""},
      {")", 21, 0, ""},
      {"-", 22, 0, ""},
      {"/", 23, 0, ""},
      {":", 24, 0, ""},
      {"=", 25, 0, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    const std::vector<Token> tokens = tokens_of(c.text);
    ASSERT_GE(tokens.size(), 2u);
    EXPECT_EQ(tokens[0].code, c.code) << tokens[0].problem;
    EXPECT_EQ(tokens[0].number, c.number);
    EXPECT_EQ(tokens[0].value, c.value);
    EXPECT_EQ(tokens.back().code, 93) << "the text ends with the $$$ token";
  }
}

TEST(Tokenizer, MissingValues) {
  const struct {
    const char* text;
    std::uint8_t code;
  } kCases[] = {{".", host::kMissingCodeStandard}, {".A", host::missing_code_for_letter('A')},
                {".z", host::missing_code_for_letter('Z')}, {"._", host::kMissingCodeUnderscore}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    const Token token = tokens_of(c.text)[0];
    EXPECT_EQ(token.code, host::kTokenMissing);
    EXPECT_TRUE(host::is_missing(token.number));
    EXPECT_EQ(host::missing_code(token.number), c.code);
  }
}

TEST(Tokenizer, WordsMatchKeywordsAfterTheTokenClasses) {
  const struct {
    const char* word;
    int keyword;
  } kCases[] = {{"Method", 55}, {"M", 54},       {"PLOT", 66},        {"plots", 67}, {"MULTIPLIER", 59},
                {"mult", 58},   {"DISTRIBUTION", 41}, {"dist", 40},  {"missing", 57}, {"_char_", 91},
                {"NAMEX", 0},   {"MISSINGS", 0},       {"ENDJB", 0},        {"age", 0},    {"ALLX", 0}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.word);
    const std::vector<Token> tokens = tokens_of(c.word);
    EXPECT_EQ(tokens[0].code, host::kTokenName);
    EXPECT_EQ(tokens[0].keyword, c.keyword);
  }
}

TEST(Tokenizer, BadTokensSayWhatIsWrong) {
  const struct {
    const char* text;
    const char* problem;
  } kCases[] = {
      {"~", "unexpected character"},
      {",", "unexpected character \",\": separate options and variables with blanks, not commas"},
      {"// note", "\"//\" does not start a comment: write a comment as /* ... */"},
      {"# note", "\"#\" does not start a comment: write a comment as /* ... */"},
      {"'31feb2000'd", "invalid date literal"},
      {"'29feb1900'd", "invalid date literal"},
      {"'1jan200'd", "invalid date literal"},
      {"'25:00't", "invalid time literal"},
      {"'12:61't", "invalid time literal"},
      {"'01jan2000 12:00'dt", "invalid datetime literal"},
      {"12abc", "invalid number"},
      {"1e", "invalid number"},
      {"1e400", "the number 1e400 is too large to be held as a number (about 1.8E308 is the largest)"},
      {"1E-400", "the number 1E-400 is too close to 0 to be held as a number (about 2.2E-308 is the smallest): write 0"},
      {"'abc", "unterminated quoted string"},
      {"''n", "a name literal needs 1 to 32 characters"},
      {"/* open", "unterminated comment"},
      {"abcdefghijabcdefghijabcdefghijabc", "name longer than 32 characters"},
      {"$x", "invalid character format"},
      {".ab", "invalid missing value"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    const Token token = tokens_of(c.text)[0];
    EXPECT_EQ(token.code, kBadToken);
    EXPECT_EQ(token.problem, c.problem);
  }
  EXPECT_EQ(tokens_of("abcdefghijabcdefghijabcdefghijab")[0].code, host::kTokenName) << "32 characters are allowed";
}

// Text pasted from documents: no-break and zero-width spaces are blanks;
// typographic quotes and dashes, numbers written with commas or percent
// signs, and names with letters outside A to Z are refused whole, saying
// what to write instead.
TEST(Tokenizer, PastedCharactersAndNumbersSayWhatToWrite) {
  const std::vector<Token> blanks = tokens_of("a\xC2\xA0" "b\xE2\x80\xAF=\xEF\xBB\xBF" "1");
  ASSERT_EQ(blanks.size(), 5u);
  EXPECT_EQ(blanks[1].text, "b");
  EXPECT_EQ(blanks[1].column, 4);
  EXPECT_EQ(blanks[3].code, host::kTokenInteger);
  const struct {
    const char* text;
    const char* token;
    const char* problem;
  } kCases[] = {
      {"\xE2\x80\x98x\xE2\x80\x99", "\xE2\x80\x98",
       "a curly quote (\xE2\x80\x98), as word processors write it: write the straight quote '"},
      {"\xE2\x80\x9Cx", "\xE2\x80\x9C", "a curly quote (\xE2\x80\x9C), as word processors write it: write the straight quote \""},
      {"\xE2\x80\x93" "5", "\xE2\x80\x93", "a dash (\xE2\x80\x93), as word processors write it: write the minus sign -"},
      {"\xE2\x82\xAC", "\xE2\x82\xAC", "unexpected character \"\xE2\x82\xAC\" (U+20AC)"},
      {"0,05;", "0,05", "a comma in a number: write 0.05 (numbers take a decimal point)"},
      {"1,000,000", "1,000,000", "a comma in a number: write 1000000 (numbers take no thousands separators)"},
      {"1,500", "1,500", "a comma in a number: write 1500, or 1.500 if the comma is a decimal point (numbers take no separators)"},
      {"5%", "5%", "a percent sign: write 5% as the fraction 0.05"},
      {"r\xC3\xA9gions x", "r\xC3\xA9gions", "\"r\xC3\xA9gions\" holds \"\xC3\xA9\": names take the letters A to Z, digits and underscores"},
      {"\xC3\xA2ge", "\xC3\xA2ge", "\"\xC3\xA2ge\" holds \"\xC3\xA2\": names take the letters A to Z, digits and underscores"},
      {"r\xE9gions", "r\xE9gions", "unexpected byte 0xE9, which starts no UTF-8 character: save the program as UTF-8 text"},
      // A Latin-1 no-break space is no blank: the program is not UTF-8.
      {"x\xA0y", "x\xA0y", "unexpected byte 0xA0, which starts no UTF-8 character: save the program as UTF-8 text"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    const Token token = tokens_of(c.text)[0];
    EXPECT_EQ(token.code, kBadToken);
    EXPECT_EQ(token.text, c.token);
    EXPECT_EQ(token.problem, c.problem);
  }
}

TEST(Tokenizer, PositionsAcrossLinesAndComments) {
  // "/*/" opens a comment; its "*/" does not close it.
  const std::vector<Token> tokens = tokenize("a\n  b /*/ c\n */ 'x\ny' d", 7, module_keywords());
  const struct {
    const char* text;
    int line;
    int column;
  } kExpected[] = {{"a", 7, 1}, {"b", 8, 3}, {"'x\ny'", 9, 5}, {"d", 10, 4}, {"", 10, 5}};
  ASSERT_EQ(tokens.size(), std::size(kExpected));
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(tokens[i].text, kExpected[i].text);
    EXPECT_EQ(tokens[i].line, kExpected[i].line);
    EXPECT_EQ(tokens[i].column, kExpected[i].column);
  }
}

TEST(Tokenizer, RangesAndPrefixesSplitIntoNamesAndPunctuation) {
  std::vector<int> codes;
  for (const Token& token : tokens_of("x1-x5 a--b a-numeric-b pre: ;")) codes.push_back(token.code);
  EXPECT_EQ(codes, (std::vector<int>{2, 22, 2, 2, 22, 22, 2, 2, 22, 2, 22, 2, 2, 24, 1, 93}));
}

TEST(KeywordTable, RejectsAMalformedList) {
  host::GrammarRecord record{};
  quilvar::syntax::fill_grammar_record(record);
  KeywordTable table;
  record.header[2] = 20;
  EXPECT_EQ(table.load(record), "the keyword list has more than 20 entries");
  const std::uint8_t short_list[] = {1, 'A', 0};
  record.keyword_list = short_list;
  EXPECT_EQ(table.load(record), "the keyword list ends before entry 2");
  record.keyword_list = nullptr;
  EXPECT_EQ(table.load(record), "the keyword list is missing");
}

TEST(Literals, TwoDigitYearsFollowTheCutoff) {
  EXPECT_EQ(date_literal_value("01JAN26"), date_literal_value("01JAN1926"));
  EXPECT_EQ(date_literal_value("31DEC25"), date_literal_value("31DEC2025"));
  EXPECT_EQ(date_literal_value("29FEB2000"), 14669.0);
  EXPECT_EQ(date_literal_value("29FEB2100"), std::nullopt);
  EXPECT_EQ(time_literal_value("7:05"), 25500.0);
  EXPECT_EQ(time_literal_value("07:5"), std::nullopt);
}

}  // namespace
}  // namespace quilvar::runtime::statements
