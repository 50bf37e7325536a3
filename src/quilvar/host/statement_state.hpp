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
struct GrammarRecord {
  std::uint16_t header[4];                   // 0: 1, 94, 93 (keywords), 468
  const std::int16_t* productions;           // 8: per production a count, then its symbols right to left
  const std::uint16_t* production_starts;    // 16
  const std::uint16_t* production_lhs;       // 24
  const std::int16_t* state_table;           // 32: parser state table
  const std::int16_t* parser_table_a;        // 40
  const std::uint16_t* action_types;         // 48
  const std::int16_t* action_first_argument; // 56: -1 for none
  const std::int16_t* action_arguments;      // 64
  const std::uint8_t* keyword_list;          // 72: length byte + upper-case name, ..., 0
  const std::uint16_t* keyword_offsets;      // 80
  const std::uint16_t* keyword_codes;        // 88
  const std::int16_t* parser_table_b;        // 96
  const std::int16_t* parser_table_c;        // 104
  const std::int16_t* parser_table_d;        // 112
  const std::int16_t* parser_table_e;        // 120
  std::uint16_t limits[3];                   // 128: 127, 63, 62
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

// Flag and slot access shared by the parser (writer) and the module (reader).
inline bool parse_flag(const ParseResult& r, int n) { return (r.flags[n / 8] & (0x80u >> (n % 8))) != 0; }
inline void set_parse_flag(ParseResult& r, int n) { r.flags[n / 8] |= static_cast<std::uint8_t>(0x80u >> (n % 8)); }

}  // namespace quilvar::host
