// The grammar record: template words, keyword list layout, and the
// invariants the parser relies on in the production, action and
// prediction tables.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "quilvar/syntax/grammar_record.hpp"

namespace quilvar::syntax {
namespace {

host::GrammarRecord filled_record() {
  host::GrammarRecord record;
  std::memset(&record, 0xAB, sizeof record);  // every byte the template owns must be overwritten
  fill_grammar_record(record);
  return record;
}

std::vector<std::string> keyword_names(const host::GrammarRecord& record) {
  std::vector<std::string> names;
  for (const std::uint8_t* entry = record.keyword_list; entry[0] != 0; entry += 1 + entry[0])
    names.emplace_back(reinterpret_cast<const char*>(entry + 1), entry[0]);
  return names;
}

TEST(GrammarRecord, TemplateWordsAndZeroPadding) {
  const host::GrammarRecord record = filled_record();
  EXPECT_EQ(record.header[0], 1);
  EXPECT_EQ(record.header[1], 94);
  EXPECT_EQ(record.header[2], 93);
  EXPECT_EQ(record.header[3], 468);
  EXPECT_EQ(record.limits[0], 127);
  EXPECT_EQ(record.limits[1], 63);
  EXPECT_EQ(record.limits[2], 62);
  EXPECT_EQ(record.token_classes, 19u);
  EXPECT_EQ(record.trailer, 0u);
  EXPECT_EQ(record.support_a, nullptr);
  EXPECT_EQ(record.support_b, nullptr);
  EXPECT_EQ(record.default_action, 0u);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
  for (std::size_t offset : {std::size_t{134}, std::size_t{152}, std::size_t{200}, std::size_t{256}}) {
    SCOPED_TRACE(offset);
    EXPECT_EQ(bytes[offset], 0);
  }
}

TEST(GrammarRecord, KeywordListLayout) {
  const host::GrammarRecord record = filled_record();
  const std::vector<std::string> names = keyword_names(record);
  ASSERT_EQ(names.size(), 93u);
  const struct {
    int code;
    const char* name;
  } kSamples[] = {{1, "ENDJB"}, {2, "NAMEX"}, {11, "MISSING"}, {12, "VLITERAL"}, {19, "RESERVED5"}, {20, "("},
                  {25, "="},    {26, "AF"},   {41, "DISTRIBUTION$"}, {54, "M$"}, {57, "MISSING"}, {83, "QUILVAR"},
                  {92, "_NUMERIC_"}, {93, "$$$"}};
  for (const auto& sample : kSamples) {
    SCOPED_TRACE(sample.name);
    EXPECT_EQ(names[static_cast<std::size_t>(sample.code - 1)], sample.name);
    const std::uint8_t* entry = record.keyword_list + record.keyword_offsets[sample.code - 1];
    EXPECT_EQ(entry[0], std::strlen(sample.name));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(entry + 1), entry[0]), sample.name);
    EXPECT_EQ(record.keyword_codes[sample.code - 1], sample.code);
  }
  std::size_t bytes = 1;
  for (const std::string& name : names) bytes += 1 + name.size();
  EXPECT_EQ(record.keyword_offsets[92] + 1 + 3 + 1, bytes) << "one closing zero byte after $$$";
}

TEST(GrammarRecord, ProductionTablesAreConsistent) {
  const host::GrammarRecord record = filled_record();
  const std::int16_t* counts = record.parser_table_b;
  const int productions = counts[host::kGrammarCountProductions];
  const int nonterminals = counts[host::kGrammarCountNonterminals];
  const int actions = counts[host::kGrammarCountActions];
  int expected_start = 0;
  for (int p = 0; p < productions; ++p) {
    SCOPED_TRACE(p);
    EXPECT_EQ(record.production_starts[p], expected_start) << "productions are stored back to back";
    if (p > 0) {
      EXPECT_GE(record.production_lhs[p], record.production_lhs[p - 1]);
    }
    EXPECT_LT(record.production_lhs[p], nonterminals);
    const int count = record.productions[expected_start];
    for (int i = 1; i <= count; ++i) {
      const int symbol = record.productions[expected_start + i];
      EXPECT_TRUE((symbol >= 1 && symbol <= 93) || (symbol >= 94 && symbol < 94 + nonterminals) ||
                  (symbol < 0 && -symbol <= actions))
          << symbol;
    }
    expected_start += 1 + count;
  }
  EXPECT_EQ(expected_start, counts[host::kGrammarCountProductionWords]);
  // The start rule: nonterminal 0 -> step "$$$", stored right to left.
  EXPECT_EQ(record.production_lhs[0], 0);
  ASSERT_EQ(record.productions[0], 2);
  EXPECT_EQ(record.productions[1], 93);
  EXPECT_GE(record.productions[2], 95);
}

TEST(GrammarRecord, ActionsUseKnownTypesAndArgumentRanges) {
  const host::GrammarRecord record = filled_record();
  const std::int16_t* counts = record.parser_table_b;
  std::set<int> known;
  for (const host::ActionTypeInfo& info : host::kActionTypes) known.insert(info.type);
  for (int a = 0; a < counts[host::kGrammarCountActions]; ++a) {
    SCOPED_TRACE(a + 1);
    EXPECT_TRUE(known.count(record.action_types[a]));
    const int count = record.parser_table_c[a];
    const int first = record.action_first_argument[a];
    if (count == 0) {
      EXPECT_EQ(first, -1);
      continue;
    }
    ASSERT_GE(first, 0);
    ASSERT_LE(first + count, counts[host::kGrammarCountArgumentWords]);
    if (record.action_types[a] == host::kActionSetFlag) {
      EXPECT_EQ(record.action_arguments[first], host::kTargetFlag);
      EXPECT_LE(record.action_arguments[first + 1], host::kLastFlag);
    }
  }
}

TEST(GrammarRecord, PredictionsNameProductionsOfTheirOwnNonterminal) {
  const host::GrammarRecord record = filled_record();
  const int nonterminals = record.parser_table_b[host::kGrammarCountNonterminals];
  for (int n = 0; n < nonterminals; ++n) {
    SCOPED_TRACE(n);
    int previous_code = 0;
    EXPECT_LT(record.parser_table_a[n], record.parser_table_a[n + 1]) << "every nonterminal can be expanded";
    for (int i = record.parser_table_a[n]; i < record.parser_table_a[n + 1]; ++i) {
      EXPECT_GT(record.state_table[2 * i], previous_code) << "codes ascend within a group";
      previous_code = record.state_table[2 * i];
      EXPECT_EQ(record.production_lhs[record.state_table[2 * i + 1]], n);
    }
  }
  EXPECT_EQ(record.parser_table_a[nonterminals], record.parser_table_b[host::kGrammarCountPredictions]);
}

}  // namespace
}  // namespace quilvar::syntax
