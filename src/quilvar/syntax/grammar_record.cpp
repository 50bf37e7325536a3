// Fills a GrammarRecord from the record template and the tables that
// grammar_compiler generated from statements.grammar.
#include "quilvar/syntax/grammar_record.hpp"

#include <cstdint>

namespace quilvar::syntax {
namespace {

#include "grammar_tables.inc"

constexpr std::uint16_t kRecordVersion = 1;
constexpr std::uint16_t kFirstNonterminal = 94;
constexpr std::uint16_t kKeywordCount = 93;
constexpr std::uint16_t kHeaderWord3 = 468;
constexpr std::uint16_t kLimitWord3 = 62;
constexpr std::uint64_t kTokenClasses = 19;

static_assert(kCompiledKeywordCount == kKeywordCount, "the keyword list must have 93 entries");
static_assert(kCompiledFirstNonterminal == kFirstNonterminal);
static_assert(kTokenClasses == host::kTokenClassEntries);
static_assert(sizeof(kKeywordCodes) / sizeof(kKeywordCodes[0]) == kKeywordCount);

constexpr host::GrammarRecord make_template() {
  host::GrammarRecord record{};
  record.header[0] = kRecordVersion;
  record.header[1] = kFirstNonterminal;
  record.header[2] = kKeywordCount;
  record.header[3] = kHeaderWord3;
  record.limits[0] = host::kLastFlag;
  record.limits[1] = host::kLastSlot;
  record.limits[2] = kLimitWord3;
  record.token_classes = kTokenClasses;
  return record;
}

constexpr host::GrammarRecord kTemplate = make_template();

}  // namespace

void fill_grammar_record(host::GrammarRecord& record) {
  record = kTemplate;
  record.productions = kProductions;
  record.production_starts = kProductionStarts;
  record.production_lhs = kProductionLhs;
  record.state_table = kPredictions;
  record.parser_table_a = kPredictionStarts;
  record.action_types = kActionTypes;
  record.action_first_argument = kActionFirstArgument;
  record.action_arguments = kActionArguments;
  record.keyword_list = kKeywordList;
  record.keyword_offsets = kKeywordOffsets;
  record.keyword_codes = kKeywordCodes;
  record.parser_table_b = kGrammarCounts;
  record.parser_table_c = kActionArgumentCounts;
  record.parser_table_d = kNameOffsets;
  record.parser_table_e = kNonterminalNames;
}

}  // namespace quilvar::syntax
