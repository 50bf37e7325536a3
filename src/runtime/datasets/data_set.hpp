// The runtime's record behind an opaque host::DataSet handle, its reader,
// and the operations the data-set files share. Internal to this folder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quilvar/host/services.hpp"
#include "runtime/datasets/csv_records.hpp"
#include "runtime/datasets/datasets.hpp"
#include "runtime/datasets/mapped_file.hpp"
#include "runtime/datasets/values.hpp"

namespace quilvar::runtime::datasets {

// The longest character value a variable may hold, in bytes.
inline constexpr std::size_t kMaxCharacterLength = 32767;
static_assert(kMaxQuotedFieldBytes == 2 * kMaxCharacterLength, "a quoted field holds any value, all quotes");

struct Variable {
  std::string name;        // as written in the header
  std::string upper_name;  // for case-insensitive look-up
  bool numeric = true;
  std::int32_t length = 8;  // bytes: 8 for numbers
};

struct ByColumn {
  int column;  // 0-based
  bool descending;
};

// One column's value in one observation, typed by its column; character
// values without trailing blanks.
struct KeyValue {
  bool numeric = true;
  double number = 0;
  std::string text;
};

// Observations from start up to (not including) byte offset end.
struct Range {
  Position start;
  std::size_t end;
};

struct Binding {
  int column;  // 0-based
  char* buffer;
  int length;
  int kind;
  // The last number formatted for this binding and its field: BY and
  // stratum variables repeat few values, so most formatting is a copy.
  bool has_formatted = false;
  std::uint64_t formatted_bits = 0;
  char formatted[kNumberFormatWidth] = {};
};

struct DataSetState;

struct ReaderState {
  DataSetState* data = nullptr;
  std::vector<Binding> bindings;
  FieldList fields;  // the current observation
  Position start;    // where it starts (its line, for messages)
  bool has_observation = false;
  // Numbers of the current observation, read once however many bindings
  // a column has: a column's number is current when its serial is.
  std::uint64_t serial = 0;
  std::vector<std::uint64_t> number_serials;
  std::vector<double> numbers;
  std::string error;          // the last read error, for read_error
  std::string scratch;
};

// Where reading stands: not positioned yet, sequentially through BY
// groups, over the ranges a reference match chose, or past the last group.
enum class GroupMode { kUnpositioned, kSequential, kRanges, kFinished };

struct GroupState {
  GroupMode mode = GroupMode::kUnpositioned;
  Position start;                // first observation of the current group
  bool end_known = false;
  Position end;                  // where the next group starts, once known
  Position cursor;               // next observation to read
  std::vector<KeyValue> key;     // the current group's BY values
  // Its BY fields as written, where the bytes are the value (not for a
  // quoted field holding "" pairs): a field of the same bytes is equal.
  std::vector<std::string> raw_key;
  std::vector<char> raw_usable;
  std::vector<Range> ranges;     // kRanges: what the group consists of
  std::size_t range_index = 0;
};

// Reference rows indexed by the values of the population's BY variables.
struct ReferenceIndex {
  std::vector<std::string> names;  // upper-case BY names it was built for
  std::vector<int> columns;        // their columns in this data set
  std::vector<std::size_t> by;     // their places in the population's BY list
  // A reference sorted by those columns is read as a stream: each value
  // list has one run, found from the run last matched on (cursor). Any
  // other reference, or a lookup the stream cannot answer, uses the runs
  // indexed by their values.
  bool streamed = false;
  Position cursor;
  std::unordered_map<std::string, std::vector<Range>> ranges;
};

// Records read lately, by the offset they were read from. A BY group is read
// more than once (its GROUP= levels, then its values) and a reference data
// set once for every BY group; a record met again is copied from here rather
// than scanned again. Only well-formed records are kept, with fields
// pointing into the mapped text, which outlives the cache. A record of more
// than kMaxFields fields is not kept: every slot holding a record of a file
// thousands of columns wide would take hundreds of megabytes, and copying
// such a record back costs about as much as scanning it again.
class RecordCache {
 public:
  static constexpr std::size_t kMaxFields = 1024;  // so 512 slots keep at most 12 MB of fields
  RecordCache() : entries_(kSlots) {}
  // Copies the record read from `offset` into *fields, *start and *next;
  // false when it is not kept.
  bool find(std::size_t offset, FieldList* fields, Position* start, Position* next) const {
    const Entry& entry = entries_[slot(offset)];
    if (entry.offset != offset) return false;
    fields->assign(entry.fields);
    *start = entry.start;
    *next = entry.next;
    return true;
  }
  void store(std::size_t offset, const FieldList& fields, const Position& start, const Position& next) {
    if (fields.size() > kMaxFields) return;
    Entry& entry = entries_[slot(offset)];
    entry.offset = offset;
    entry.fields.assign(fields);
    entry.start = start;
    entry.next = next;
  }

 private:
  static constexpr std::size_t kSlots = 512;  // a power of two
  static std::size_t slot(std::size_t offset) { return (offset * 0x9E3779B97F4A7C15ull) >> 55; }
  struct Entry {
    std::size_t offset = static_cast<std::size_t>(-1);
    FieldList fields;
    Position start;
    Position next;
  };
  std::vector<Entry> entries_;
};

struct DataSetState {
  MappedFile file;
  CsvText text{};               // the mapped text after any byte order mark
  std::string file_name;        // for messages
  std::string name;             // the name attribute
  std::vector<Variable> variables;
  Position first_row;
  std::int64_t observations = 0;
  std::vector<std::string> layout_notes;  // see datasets.hpp
  std::vector<ByColumn> by;
  GroupState group;
  std::uint64_t group_serial = 0;  // changes whenever the group (or its absence) changes
  std::unique_ptr<ReferenceIndex> reference_index;
  std::vector<int> selection;   // 1-based numbers, in the order declared
  std::unique_ptr<ReaderState> reader;
  ErrorSink sink = nullptr;
  void* sink_context = nullptr;
  FieldList pass_fields;  // record buffer of whole-file passes
  std::string scratch;
  RecordCache records;    // what the reading of BY groups has met lately
};

inline DataSetState* state_of(host::DataSet* data) { return reinterpret_cast<DataSetState*>(data); }
inline const DataSetState* state_of(const host::DataSet* data) {
  return reinterpret_cast<const DataSetState*>(data);
}
inline host::DataSet* handle_of(DataSetState* state) { return reinterpret_cast<host::DataSet*>(state); }

enum class RecordStatus { kRecord, kEnd, kError };

// "file, line L, column C: problem" for a malformed record.
std::string describe_scan_problem(const DataSetState& data, ScanStatus status, const Position& problem);

// The 1-based line of the byte at offset, as line_of counts it, counted in
// chunks that hand back the pages behind them: a message about a value near
// the end of a large file does not leave the whole file in memory.
std::int64_t line_in_file(const DataSetState& data, std::size_t offset);

// Reads the observation at *pos into *fields (one per variable) and moves
// *pos past it; *start is where it begins. kError: malformed record or a
// wrong number of fields, with *error naming file, line and problem.
RecordStatus read_record(const DataSetState& data, Position* pos, FieldList* fields,
                         Position* start, std::string* error);

// As read_record, for reading that comes back to the same records: a record
// read before is taken from data->records, and each one read is kept there.
RecordStatus read_remembered_record(DataSetState& data, Position* pos, FieldList* fields, Position* start,
                                    std::string* error);

// Types the columns from the header and a pass over all rows; false with
// *error naming file, line and problem.
bool read_layout(DataSetState* data, std::string* error);

// The 0-based column of a variable name (case-insensitive, trailing blanks
// ignored), or -1.
int find_column(const DataSetState& data, std::string_view name);

// The value of column `column` of an observation.
void read_key_value(const DataSetState& data, const FieldList& fields, int column,
                    KeyValue* out, std::string* scratch);

int compare_key_values(const KeyValue& a, const KeyValue& b);

// The order of column `column` of an observation against a value of the
// same column, without copying the field.
int compare_field_with(const FieldList& fields, int column, const KeyValue& value, std::string* scratch);

// The trimmed formatted text of a value, for messages and BY values.
std::string key_value_text(const KeyValue& value);

// "NAME=value NAME=value" for the given columns and values.
std::string describe_key(const DataSetState& data, const std::vector<int>& columns,
                         const std::vector<KeyValue>& values);

// Reads the next observation of the current group into reader->fields:
// 1 read, 0 group ended, -1 failed with reader->error set.
int read_group_observation(ReaderState* reader);

// Positions the data set on its next BY group (the first one at the
// start): 1 positioned, 0 no group left, -1 read error (sent to the sink).
int advance_by_group(DataSetState* data);

// Back to the first observation of the current group: 0, or 1 when no
// group is positioned.
int rewind_by_group(DataSetState* data);

// Positions reference on the population's current BY group: 0 done,
// 1 no group matches, 2 population not positioned or a read error (sent
// to the reference's sink).
int match_reference_group(DataSetState* population, DataSetState* reference);

// The reader services of the service table (see datasets.hpp).
int service_create_reader(host::DataSet* data, int bindings, host::Reader** out);
int service_bind_variable(host::Reader* reader, int number, void* buffer, int length, int kind);
int service_finish_bindings(host::Reader* reader);
int service_read_next(host::Reader* reader);
int service_fetch_values(host::Reader* reader);
void service_read_error(host::Reader* reader, int status, int one);

// Clears a reader's bindings and current observation.
void clear_reader(ReaderState* reader);

// Hands a read error text to the data set's sink.
void report_error(const DataSetState& data, std::string_view message);

}  // namespace quilvar::runtime::datasets
