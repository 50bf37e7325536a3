// Records the module and the host's statement parser exchange for one step:
// the statement state (where the parser leaves its result and status), the
// parse result (option flags and value slots), and the grammar record the
// module hands the parser.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quilvar::host {

inline constexpr std::size_t kParseFlagBytes = 16;  // flags 0..127
inline constexpr std::size_t kParseSlotCount = 64;
inline constexpr std::size_t kParseSlotSize = 24;

// One 24-byte value slot. Numbers and data sets: `given` then the value 8
// bytes on. Texts: `given`, a 32-bit length at +8, a pointer at +16. Lists:
// a 32-bit count at +8 and a pointer at +16.
struct ParseSlot {
  std::uint8_t given;
  std::uint8_t reserved[7];
  union {
    double number;
    void* data_set;
    std::int32_t length;  // texts
    std::int32_t count;   // lists
  };
  const void* pointer;  // texts and lists
};
static_assert(sizeof(ParseSlot) == kParseSlotSize);

// The parser's result. Flag n is bit 0x80 >> (n mod 8) of byte 40 + n / 8;
// value slot n is entry n of the value block.
struct ParseResult {
  std::uint8_t host_area[40];
  std::uint8_t flags[kParseFlagBytes];  // offset 40
  std::uint8_t reserved[24];
  ParseSlot* values;  // offset 80
};
static_assert(offsetof(ParseResult, flags) == 40);
static_assert(offsetof(ParseResult, values) == 80);

// A chain of name blocks, as stored in a name-list slot.
struct NameBlock {
  std::uint8_t host_area[8];
  NameBlock* next;            // offset 8
  std::uint8_t reserved[4];
  std::int32_t last_index;    // offset 20: index of this block's last name, from 0 across the chain
  std::uint8_t names[1];      // offset 24: length byte + characters, repeated
};
static_assert(offsetof(NameBlock, next) == 8);
static_assert(offsetof(NameBlock, last_index) == 20);
static_assert(offsetof(NameBlock, names) == 24);

inline constexpr std::size_t kStatementStateSize = 400;
inline constexpr std::size_t kStatementWorkAreaSize = 320;

struct StatementState {
  ParseResult* parse_result;               // 0: filled by the parser
  std::int16_t parse_status;               // 8: non-zero after a failed parse
  std::uint8_t reserved[6];
  void* context[2];                        // 16: back-pointers to the step's context
  std::uint64_t host_values[3];            // 32: kept while the state is registered
  std::uint8_t work_area[kStatementWorkAreaSize];  // 56: handed to the host
  std::uint8_t syn;                        // 376: parser trace switch
  std::uint8_t sem;                        // 377: semantic-action trace switch
  std::uint8_t tail[22];
};
static_assert(sizeof(StatementState) == kStatementStateSize);
static_assert(offsetof(StatementState, syn) == 376);

// The grammar the module hands the parser (328 bytes).
//
// Symbols in the productions: 1 .. header[2] are keyword-list token codes,
// header[1] and above are nonterminals (symbol - header[1]), -k is semantic
// action k (from 1). Production 0 is the start rule; production_lhs holds
// nonterminal numbers (from 0), non-decreasing.
//
// The parser tables are an LL(1) prediction table and what the parser needs
// to check and trace the grammar; every entry is a signed 16-bit word:
//   state_table (32):    prediction pairs (token code, production), grouped
//                        by nonterminal, token codes ascending in a group;
//   parser_table_a (40): per nonterminal, the index of its first pair, then
//                        one closing entry (nonterminal count + 1 entries);
//   parser_table_b (96): the counts, indexed by kGrammarCount... below;
//   parser_table_c (104): per action, the number of its argument words;
//   parser_table_d (112): per nonterminal, the offset of its name in
//                        parser_table_e, then one closing entry;
//   parser_table_e (120): nonterminal names, one character per word.
struct GrammarRecord {
  std::uint16_t header[4];                   // 0: 1, 94 (first nonterminal symbol), 93 (keywords), 468
  const std::int16_t* productions;           // 8: per production a count, then its symbols right to left
  const std::uint16_t* production_starts;    // 16
  const std::uint16_t* production_lhs;       // 24
  const std::int16_t* state_table;           // 32: prediction pairs
  const std::int16_t* parser_table_a;        // 40: first prediction pair of each nonterminal
  const std::uint16_t* action_types;         // 48
  const std::int16_t* action_first_argument; // 56: -1 for none
  const std::int16_t* action_arguments;      // 64
  const std::uint8_t* keyword_list;          // 72: length byte + upper-case name, ..., 0
  const std::uint16_t* keyword_offsets;      // 80
  const std::uint16_t* keyword_codes;        // 88
  const std::int16_t* parser_table_b;        // 96: counts
  const std::int16_t* parser_table_c;        // 104: argument count of each action
  const std::int16_t* parser_table_d;        // 112: name offset of each nonterminal
  const std::int16_t* parser_table_e;        // 120: nonterminal names
  std::uint16_t limits[3];                   // 128: 127 (last flag), 63 (last value slot), 62
  std::uint8_t pad0[2];
  void* support_a;                           // 136: first parser-support object
  void* support_b;                           // 144: second parser-support object
  std::uint8_t pad1[40];
  std::uint64_t token_classes;               // 192: 19
  std::uint8_t pad2[48];
  std::uint64_t default_action;              // 248
  std::uint8_t pad3[64];
  std::uint64_t trailer;                     // 320: 0
};
static_assert(sizeof(GrammarRecord) == 328);
static_assert(offsetof(GrammarRecord, limits) == 128);
static_assert(offsetof(GrammarRecord, support_a) == 136);
static_assert(offsetof(GrammarRecord, token_classes) == 192);
static_assert(offsetof(GrammarRecord, default_action) == 248);
static_assert(offsetof(GrammarRecord, trailer) == 320);

// Entries of parser_table_b.
inline constexpr int kGrammarCountProductions = 0;
inline constexpr int kGrammarCountNonterminals = 1;
inline constexpr int kGrammarCountActions = 2;
inline constexpr int kGrammarCountProductionWords = 3;
inline constexpr int kGrammarCountArgumentWords = 4;
inline constexpr int kGrammarCountPredictions = 5;
inline constexpr int kGrammarCountNameWords = 6;
inline constexpr int kGrammarCountEntries = 7;

// The keyword list opens with the host's token classes, in the host's order
// (offset 192 of the grammar record gives their number).
inline constexpr int kTokenClassEntries = 19;
inline constexpr int kLastFlag = 127;  // limits[0]
inline constexpr int kLastSlot = 63;   // limits[1]
inline constexpr int kTokenEndStatement = 1;  // ";"
inline constexpr int kTokenName = 2;
inline constexpr int kTokenQuoted = 3;        // quoted string
inline constexpr int kTokenInteger = 4;
inline constexpr int kTokenNumber = 5;
inline constexpr int kTokenCompound = 6;      // library.member
inline constexpr int kTokenFormat = 7;        // name12. or $8.
inline constexpr int kTokenDate = 8;          // '01JAN2000'd
inline constexpr int kTokenTime = 9;          // '12:30't
inline constexpr int kTokenDateTime = 10;     // '01JAN2000:12:30'dt
inline constexpr int kTokenMissing = 11;      // . .A ... .Z ._
inline constexpr int kTokenNameLiteral = 12;  // 'a b'n

// Semantic action types. An action's argument words follow in the semantic
// action table; where an entry below has a leading word (1, 2 or 10), that
// word comes first and names the target: 1 a flag, 2 a value slot holding
// one value, 10 a value slot holding a list. The operands that follow:
// f a flag number, s a slot number, i an integer, v a variable-list form.
//
// | type | mnemonic               | words     | effect                                             |
// |------|------------------------|-----------|----------------------------------------------------|
// | 5    | flag                   | 1, f      | sets flag f                                        |
// | 6    | number                 | 2, s      | slot s = the number just read                      |
// | 8    | data_set               | 2, s      | slot s = the data set opened last                  |
// | 17   | text                   | 2, s      | slot s = the quoted text just read                 |
// | 17   | list                   | 10, s     | slot s = the variable or name list just built      |
// | 33   | constant               | 2, s, i   | slot s = i                                         |
// | 30   | statement_start        |           | a statement begins: pending values are cleared     |
// | 36   | statement_end          |           | the statement ended: every value read was used     |
// | 11   | open_data_set          | 0         | opens the data-set name just read                  |
// | 11   | open_variable_data_set | 1         | the same; variables are then looked up in it       |
// | 10   | data_set_options       |           | reads the data-set options up to the closing ")"   |
// | 29   | list_start             |           | starts an empty list                               |
// | 2    | variables              | v         | adds the variables of one list element (below)     |
// | 9    | name                   |           | adds the name just read to the list, unchecked     |
// | 34   | by_variable            |           | adds the name just read as a BY variable           |
// | 19   | descending             |           | the next BY variable is in descending order        |
// | 27   | notsorted              |           | the BY groups need not be sorted                   |
// | 25   | by_end                 |           | hands the BY variables to the host's BY services   |
// | 16   | integer_check          |           | the number just read must be a whole number        |
inline constexpr std::uint16_t kActionSetFlag = 5;
inline constexpr std::uint16_t kActionStoreNumber = 6;
inline constexpr std::uint16_t kActionStoreDataSet = 8;
inline constexpr std::uint16_t kActionStoreTextOrList = 17;
inline constexpr std::uint16_t kActionStoreConstant = 33;
inline constexpr std::uint16_t kActionStatementStart = 30;
inline constexpr std::uint16_t kActionStatementEnd = 36;
inline constexpr std::uint16_t kActionOpenDataSet = 11;
inline constexpr std::uint16_t kActionDataSetOptions = 10;
inline constexpr std::uint16_t kActionListStart = 29;
inline constexpr std::uint16_t kActionVariables = 2;
inline constexpr std::uint16_t kActionName = 9;
inline constexpr std::uint16_t kActionByVariable = 34;
inline constexpr std::uint16_t kActionDescending = 19;
inline constexpr std::uint16_t kActionNotsorted = 27;
inline constexpr std::uint16_t kActionByEnd = 25;
inline constexpr std::uint16_t kActionIntegerCheck = 16;

inline constexpr std::int16_t kTargetFlag = 1;
inline constexpr std::int16_t kTargetValue = 2;
inline constexpr std::int16_t kTargetList = 10;

struct ActionTypeInfo {
  std::uint16_t type;
  const char* mnemonic;
  std::int16_t leading_word;  // -1: none
  const char* operands;       // one letter per operand word: f, s, i, v
};
inline constexpr ActionTypeInfo kActionTypes[] = {
    {kActionSetFlag, "flag", kTargetFlag, "f"},
    {kActionStoreNumber, "number", kTargetValue, "s"},
    {kActionStoreDataSet, "data_set", kTargetValue, "s"},
    {kActionStoreTextOrList, "text", kTargetValue, "s"},
    {kActionStoreTextOrList, "list", kTargetList, "s"},
    {kActionStoreConstant, "constant", kTargetValue, "si"},
    {kActionStatementStart, "statement_start", -1, ""},
    {kActionStatementEnd, "statement_end", -1, ""},
    {kActionOpenDataSet, "open_data_set", 0, ""},
    {kActionOpenDataSet, "open_variable_data_set", 1, ""},
    {kActionDataSetOptions, "data_set_options", -1, ""},
    {kActionListStart, "list_start", -1, ""},
    {kActionVariables, "variables", -1, "v"},
    {kActionName, "name", -1, ""},
    {kActionByVariable, "by_variable", -1, ""},
    {kActionDescending, "descending", -1, ""},
    {kActionNotsorted, "notsorted", -1, ""},
    {kActionByEnd, "by_end", -1, ""},
    {kActionIntegerCheck, "integer_check", -1, ""},
};

// Forms of a variable-list element (the operand of a `variables` action).
// Variables are numbered from 1 in data-set order.
inline constexpr std::int16_t kFormSingle = 1;          // a
inline constexpr std::int16_t kFormPrefix = 2;          // a:  every variable whose name starts with a
inline constexpr std::int16_t kFormNumbered = 3;        // x1-x5: x1, x2, ..., x5, each must exist
inline constexpr std::int16_t kFormDataOrder = 4;       // a--b: a to b in data-set order
inline constexpr std::int16_t kFormNumericRange = 5;    // a-numeric-b
inline constexpr std::int16_t kFormCharacterRange = 6;  // a-character-b, a-char-b
inline constexpr std::int16_t kFormAllNumeric = 7;      // _NUMERIC_
inline constexpr std::int16_t kFormAllCharacter = 8;    // _CHARACTER_, _CHAR_
inline constexpr std::int16_t kFormAll = 9;             // _ALL_

struct VariableFormInfo {
  std::int16_t form;
  const char* mnemonic;
};
inline constexpr VariableFormInfo kVariableForms[] = {
    {kFormSingle, "single"},          {kFormPrefix, "prefix"},
    {kFormNumbered, "numbered"},      {kFormDataOrder, "data_order"},
    {kFormNumericRange, "numeric_range"}, {kFormCharacterRange, "character_range"},
    {kFormAllNumeric, "all_numeric"}, {kFormAllCharacter, "all_character"},
    {kFormAll, "all"},
};

// Flag and slot access shared by the parser (writer) and the module (reader).
inline bool parse_flag(const ParseResult& r, int n) { return (r.flags[n / 8] & (0x80u >> (n % 8))) != 0; }
inline void set_parse_flag(ParseResult& r, int n) { r.flags[n / 8] |= static_cast<std::uint8_t>(0x80u >> (n % 8)); }

}  // namespace quilvar::host
