// The services the procedure module asks of its host, as tables of function
// pointers reached through one HostServices handle. The host fills the
// tables; the module marks a table as used in the handle's flag bytes before
// every call into it (see calls.hpp). Both sides agree on these layouts, so
// they are the whole contract between the module and the runtime.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quilvar::host {

// A text argument of a message, or a number inserted into it.
struct MessageArg {
  std::int32_t kind;    // kArgText or kArgNumber
  std::int32_t length;  // text length in bytes (texts only)
  const char* text;
  double number;
};
inline constexpr std::int32_t kArgText = 0;
inline constexpr std::int32_t kArgNumber = 1;

// A counted text handed out by the host (not terminated).
struct CountedText {
  std::int64_t length;
  const char* text;
};

// A step's memory pool: the first entry is its allocation routine, which
// returns zero-filled memory that lives until the step ends.
struct Pool {
  void* (*allocate)(Pool* pool, std::size_t size, std::uint32_t flags);
};

// A function run under the host's guard: fills *out and returns 0, or fails.
using GuardedFunction = int (*)(void** out, void* argument);

struct KernelServices {
  void (*issue_message)(int set, int number, const MessageArg* args, int count);
  // Points *text at the catalog text (not terminated); returns 0, or
  // non-zero when the message does not exist.
  int (*get_message_text)(int set, int number, const char** text, std::int64_t* length);
  // Copies at most capacity bytes of the text; returns the length copied.
  int (*get_message_into)(char* buffer, int capacity, int set, int number);
  // 0 and 4 return 0; an error status ends the step and does not return.
  int (*set_step_status)(int status, int zero);
  void (*report_status)(void* null, std::uint32_t status_word);
  void* (*alloc)(std::size_t size, std::uint32_t flags);
  void (*free)(void* memory, int zero, int four);
  Pool* (*create_pool)(void* null, std::size_t block, std::uint32_t flags);
  const char* (*get_environment)(const char* name);
  // Upper-cases length bytes in place with the host's locale service.
  void (*upcase_text)(char* buffer, std::int64_t length);
  int locale_active;                    // non-zero: upcase_text is the path to use
  const unsigned char* upcase_table;    // 256 entries, the byte-wise fallback
  // Writes value into a field of |width| characters (right-aligned; a
  // negative width puts it at the start), with at most `decimals` decimals
  // (99: as many as needed).
  void (*format_number)(double value, int width, int decimals, char* field);
  int (*call_guarded)(GuardedFunction function, void** out, void* argument, void* module_data);
  // Relinks a balanced tree (nodes start with left and right links) into an
  // in-order list through the first link.
  void (*tree_to_list)(void** root);
  void (*internal_error)(const char* text);
  int (*step_control)(int code);
  // Attaches the statement state to the current step: hands over its work
  // area and returns three values the host keeps for the step.
  int (*register_statement_state)(void* state, void* work_area, std::uint64_t* values);
  // The floating-point signal of the numerical library (overflow, invalid
  // power); the host's handler decides whether execution continues.
  void (*raise_signal)(std::uint32_t code);
};

struct ParserServices {
  GuardedFunction parser_factory_a;
  GuardedFunction parser_factory_b;
  void* (*parser_context)();
  std::uint64_t (*default_action)();
  // Parses the current step's statements with the grammar; fills the
  // ParseResult through the statement state. Returns the parse status.
  int (*parse_statements)(void* grammar, void* statement_state, int trace, int, int);
};

struct DataSet;  // opaque host data set
struct Reader;   // opaque host reader of one data set

struct VariableInfo {
  std::int32_t type;          // 1 numeric, 2 character
  std::int32_t length;        // bytes: 8 for numbers
  std::int32_t has_format;
  std::int32_t format_width;
  std::int32_t name_length;
  std::int32_t label_length;
  char name[33];
  char format[33];
  const char* label;          // label_length bytes, not terminated
};

struct DataSetServices {
  // 167: *static_cast<CountedText*>(out) is the name; 23: *static_cast<std::uint32_t*>(out) the open status.
  int (*get_attribute)(DataSet* data, int code, void* out);
  int (*find_variable)(DataSet* data, const char* name, int length, int* number);
  int (*get_variable_info)(DataSet* data, int number, VariableInfo* out);
  int (*select_variables)(DataSet* data, int code, const std::int32_t* numbers, int count);
  int (*reset_selection)(DataSet* data);
  int (*create_reader)(DataSet* data, int bindings, Reader** out);
  int (*bind_variable)(Reader* reader, int number, void* buffer, int length, int kind);
  int (*finish_bindings)(Reader* reader);
  // 1: an observation was read; 0: the BY group ended; negative: read error.
  int (*read_next)(Reader* reader);
  int (*fetch_values)(Reader* reader);
  void (*read_error)(Reader* reader, int status, int one);
  int (*next_by_group)(DataSet* data);
  int (*rewind_group)(DataSet* data, int code);
  int (*match_by_group)(DataSet* population, DataSet* reference);
};

struct OutputItem;
struct OdsObject;  // opaque output-system object (root, manager, template, list, group, output)
struct OdsText;    // opaque text value made by the output system

struct OutputServices {
  // Runs one method of the output item protocol; negative status on failure.
  std::int32_t (*invoke)(OdsObject* object, OdsObject* klass, int method, int count, OutputItem* items);
  // The fixed class operations: 2 reads one attribute, 4 releases a group or list.
  std::int32_t (*class_operation)(OdsObject* object, int operation, int count, OutputItem* items);
  std::int32_t (*get_root)(OdsObject** root, int zero);
  OdsText* (*make_string)(const char* text, std::int64_t length);  // length -1: terminated text
  OdsText* (*make_builtin_text)(void* null, int number);
  OdsText* (*make_message_text)(int set, int number, const MessageArg* args, int count);
};

// Service tables, in the order of the table-use flags.
inline constexpr int kKernelTable = 0;
inline constexpr int kParserTable = 1;
inline constexpr int kDataSetTable = 2;
inline constexpr int kOutputTable = 3;
inline constexpr int kServiceTableCount = 4;

struct HostServices {
  const KernelServices* kernel;
  const ParserServices* parser;
  const DataSetServices* datasets;
  const OutputServices* output;
  std::uint8_t table_used[kServiceTableCount];  // set by the module before each call
};

}  // namespace quilvar::host
