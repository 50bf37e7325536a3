// BY groups of a data set read in file order: the BY variables and the
// check of their sort order, moving from group to group, reading within a
// group and going back to its start. A group ends where an observation's
// BY values differ from the group's; that place is found while reading,
// so no group boundaries are stored.
#include <cstring>
#include <new>

#include "runtime/datasets/data_set.hpp"
#include "runtime/datasets/split_pass.hpp"

namespace quilvar::runtime::datasets {

namespace {

std::vector<int> by_columns(const DataSetState& data) {
  std::vector<int> columns;
  for (const ByColumn& by : data.by) columns.push_back(by.column);
  return columns;
}

void read_by_values(DataSetState* data, const FieldList& fields, std::vector<KeyValue>* values) {
  values->resize(data->by.size());
  for (std::size_t i = 0; i < data->by.size(); ++i) {
    read_key_value(*data, fields, data->by[i].column, &(*values)[i], &data->scratch);
  }
}

// Sort order of two BY value lists, DESCENDING variables reversed.
int compare_by_values(const DataSetState& data, const std::vector<KeyValue>& a, const std::vector<KeyValue>& b) {
  for (std::size_t i = 0; i < data.by.size(); ++i) {
    const int order = compare_key_values(a[i], b[i]);
    if (order != 0) return data.by[i].descending ? -order : order;
  }
  return 0;
}

std::string by_list(const DataSetState& data) {
  std::string list;
  for (const ByColumn& by : data.by) {
    if (!list.empty()) list += ' ';
    if (by.descending) list += "DESCENDING ";
    list += data.variables[static_cast<std::size_t>(by.column)].name;
  }
  return list;
}

std::string order_problem(const DataSetState& data, const Position& start, std::int64_t observation,
                          const std::vector<KeyValue>& previous, const std::vector<KeyValue>& current) {
  const std::vector<int> columns = by_columns(data);
  return data.file_name + ", line " + std::to_string(start.line) + ": observation " + std::to_string(observation) +
         " (" + describe_key(data, columns, current) + ") is out of BY order: it follows observation " +
         std::to_string(observation - 1) + " (" + describe_key(data, columns, previous) + "). Data set " +
         data.name + " must be sorted by " + by_list(data) +
         "; sort it, or use NOTSORTED to take each run of equal BY values as a group";
}

// Where a BY-order check stands: the next record and the last BY values,
// typed and as written.
struct OrderCheck {
  Position pos;
  std::int64_t observations = 0;
  std::vector<KeyValue> previous;
  std::vector<KeyValue> current;
  std::vector<Field> previous_fields;
};

// Keeps the BY fields of an observation (they point into the mapped text).
void keep_by_fields(const DataSetState& data, const FieldList& fields, std::vector<Field>* kept) {
  kept->resize(data.by.size());
  for (std::size_t i = 0; i < data.by.size(); ++i) (*kept)[i] = fields[static_cast<std::size_t>(data.by[i].column)];
}

// Whether an observation's BY fields are written with the same bytes as
// the kept ones, and so hold the same values: most observations repeat
// their predecessor's BY values, and are then in order without reading them.
bool same_by_fields(const DataSetState& data, const FieldList& fields, const std::vector<Field>& kept) {
  for (std::size_t i = 0; i < data.by.size(); ++i) {
    const Field& field = fields[static_cast<std::size_t>(data.by[i].column)];
    const Field& other = kept[i];
    if (field.length != other.length || field.escaped != other.escaped ||
        std::memcmp(field.begin, other.begin, field.length) != 0) {
      return false;
    }
  }
  return true;
}

// Checks the order of the records from check->pos on, up to `until`; false
// with *error naming the first one out of order, or a malformed record.
bool check_order_until(DataSetState* data, OrderCheck* check, std::size_t until, std::string* error) {
  Position start;
  while (check->pos.offset < until) {
    const RecordStatus status = read_record(*data, &check->pos, &data->pass_fields, &start, error);
    if (status == RecordStatus::kEnd) return true;
    if (status == RecordStatus::kError) return false;
    if (check->observations > 0 && same_by_fields(*data, data->pass_fields, check->previous_fields)) {
      ++check->observations;
      continue;
    }
    read_by_values(data, data->pass_fields, &check->current);
    if (++check->observations > 1 && compare_by_values(*data, check->previous, check->current) > 0) {
      *error = order_problem(*data, start, check->observations, check->previous, check->current);
      return false;
    }
    check->previous.swap(check->current);
    keep_by_fields(*data, data->pass_fields, &check->previous_fields);
  }
  return true;
}

// The BY values of the second half's first record, and whether the half is
// in order; false at any problem, which the check in order then reports.
bool check_second_half(const DataSetState& data, std::size_t offset, std::vector<KeyValue>* first) {
  try {
    std::vector<KeyValue> previous(data.by.size());
    std::vector<KeyValue> current(data.by.size());
    std::vector<Field> previous_fields;
    std::string scratch;
    bool at_first = true;
    return read_second_half(data, offset, [&](const FieldList& fields) {
      if (!at_first && same_by_fields(data, fields, previous_fields)) return true;
      for (std::size_t i = 0; i < data.by.size(); ++i) {
        read_key_value(data, fields, data.by[i].column, &current[i], &scratch);
      }
      if (at_first) {
        *first = current;
        at_first = false;
      } else if (compare_by_values(data, previous, current) > 0) {
        return false;
      }
      previous.swap(current);
      keep_by_fields(data, fields, &previous_fields);
      return true;
    });
  } catch (...) {
    return false;
  }
}

// Checks that the observations are in BY order, a large file in two halves
// at once; false with *error naming the first one out of order.
bool check_by_order(DataSetState* data, std::string* error) {
  OrderCheck check;
  check.pos = data->first_row;
  const std::size_t split = second_half_start(*data, check.pos);
  if (split != 0) {
    std::vector<KeyValue> second_first;
    bool first_ok = false;
    bool second_ok = false;
    const bool ran = run_side_by_side(
        [&] {
          first_ok = check_order_until(data, &check, split, error);
          data->file.release_before(data->text.data + check.pos.offset);
        },
        [&] { second_ok = check_second_half(*data, split, &second_first); });
    if (ran && !first_ok) return false;
    // In order when both halves are and the first half's last record comes
    // no later than the second half's first.
    if (ran && second_ok && check.pos.offset == split &&
        (second_first.empty() || check.observations == 0 ||
         compare_by_values(*data, check.previous, second_first) <= 0)) {
      return true;
    }
  }
  return check_order_until(data, &check, data->text.size, error);
}

// The BY columns for the given names; false with *error.
bool find_by_columns(DataSetState* data, std::span<const ByVariable> variables, std::vector<ByColumn>* columns,
                     std::string* error) {
  for (const ByVariable& variable : variables) {
    const int column = find_column(*data, variable.name);
    if (column < 0) {
      *error = "BY variable " + variable.name + " is not in data set " + data->name;
      return false;
    }
    for (const ByColumn& earlier : *columns) {
      if (earlier.column == column) {
        *error = "BY variable " + variable.name + " is given twice";
        return false;
      }
    }
    columns->push_back(ByColumn{column, variable.descending});
  }
  return true;
}

// Whether the observation in fields belongs to the current group.
// A field written as the group's first one is equal without reading it.
bool in_current_group(DataSetState* data, const FieldList& fields) {
  for (std::size_t i = 0; i < data->by.size(); ++i) {
    const Field& field = fields[static_cast<std::size_t>(data->by[i].column)];
    if (data->group.raw_usable[i] != 0 && !field.escaped &&
        std::string_view(field.begin, field.length) == data->group.raw_key[i]) {
      continue;
    }
    if (compare_field_with(fields, data->by[i].column, data->group.key[i], &data->scratch) != 0) return false;
  }
  return true;
}

// Finds where the current group ends, reading on from the cursor; false
// with *error on a read error.
bool find_group_end(DataSetState* data, std::string* error) {
  GroupState& group = data->group;
  Position pos = group.cursor;
  Position start;
  while (!group.end_known) {
    const RecordStatus status = read_remembered_record(*data, &pos, &data->pass_fields, &start, error);
    if (status == RecordStatus::kError) return false;
    if (status == RecordStatus::kEnd || !in_current_group(data, data->pass_fields)) {
      group.end_known = true;
      group.end = status == RecordStatus::kEnd ? pos : start;
    }
  }
  return true;
}

// Starts the group whose first observation is at or after pos: 1, or 0 at
// the end of the data, or -1 with *error.
int begin_group_at(DataSetState* data, Position pos, std::string* error) {
  ++data->group_serial;
  GroupState& group = data->group;
  Position start;
  const RecordStatus status = read_remembered_record(*data, &pos, &data->pass_fields, &start, error);
  if (status != RecordStatus::kRecord) {
    group.mode = GroupMode::kFinished;
    return status == RecordStatus::kEnd ? 0 : -1;
  }
  read_by_values(data, data->pass_fields, &group.key);
  group.raw_key.resize(data->by.size());
  group.raw_usable.resize(data->by.size());
  for (std::size_t i = 0; i < data->by.size(); ++i) {
    const Field& field = data->pass_fields[static_cast<std::size_t>(data->by[i].column)];
    group.raw_usable[i] = field.escaped ? 0 : 1;
    group.raw_key[i].assign(field.begin, field.escaped ? 0 : field.length);
  }
  group.mode = GroupMode::kSequential;
  group.start = start;
  group.cursor = start;
  // Without BY variables the one group runs to the end of the data.
  group.end_known = data->by.empty();
  group.end = Position{data->text.size, 0};
  return 1;
}

// Reads the next observation of a sequential group.
int read_sequential_observation(ReaderState* reader) {
  DataSetState& data = *reader->data;
  GroupState& group = data.group;
  if (group.end_known && group.cursor.offset >= group.end.offset) return 0;
  Position pos = group.cursor;
  Position& start = reader->start;
  const RecordStatus status = read_remembered_record(data, &pos, &reader->fields, &start, &reader->error);
  if (status == RecordStatus::kError) return -1;
  if (status == RecordStatus::kEnd || (group.end_known && start.offset >= group.end.offset) ||
      (!group.end_known && !in_current_group(&data, reader->fields))) {
    group.end_known = true;
    group.end = status == RecordStatus::kEnd ? pos : start;
    return 0;
  }
  group.cursor = pos;
  return 1;
}

// Reads the next observation of the ranges a reference match chose.
int read_range_observation(ReaderState* reader) {
  DataSetState& data = *reader->data;
  GroupState& group = data.group;
  while (group.range_index < group.ranges.size()) {
    if (group.cursor.offset < group.ranges[group.range_index].end) {
      const RecordStatus status =
          read_remembered_record(data, &group.cursor, &reader->fields, &reader->start, &reader->error);
      if (status == RecordStatus::kRecord) return 1;
      if (status == RecordStatus::kError) return -1;
    }
    if (++group.range_index < group.ranges.size()) group.cursor = group.ranges[group.range_index].start;
  }
  return 0;
}

}  // namespace

bool set_by_variables(host::DataSet* handle, std::span<const ByVariable> variables, bool notsorted,
                      std::string* error) {
  DataSetState* data = state_of(handle);
  try {
    std::vector<ByColumn> columns;
    if (!find_by_columns(data, variables, &columns, error)) return false;
    data->by = std::move(columns);
    data->group = GroupState{};
    ++data->group_serial;
    if (notsorted || check_by_order(data, error)) return true;
    data->by.clear();
    return false;
  } catch (const std::bad_alloc&) {
    data->by.clear();
    *error = "data set " + data->name + ": out of memory";
    return false;
  }
}

std::uint64_t current_group_serial(const host::DataSet* handle) { return state_of(handle)->group_serial; }

std::vector<ByValue> current_by_values(const host::DataSet* handle) {
  const DataSetState& data = *state_of(handle);
  std::vector<ByValue> values;
  if (data.group.mode != GroupMode::kSequential) return values;
  for (std::size_t i = 0; i < data.by.size(); ++i) {
    const KeyValue& key = data.group.key[i];
    values.push_back(ByValue{data.variables[static_cast<std::size_t>(data.by[i].column)].name, key.numeric,
                             key.numeric ? key.number : 0, key_value_text(key)});
  }
  return values;
}

int read_group_observation(ReaderState* reader) {
  switch (reader->data->group.mode) {
    case GroupMode::kSequential: return read_sequential_observation(reader);
    case GroupMode::kRanges: return read_range_observation(reader);
    case GroupMode::kFinished: return 0;
    case GroupMode::kUnpositioned: break;
  }
  reader->error = "data set " + reader->data->name + ": read before the data set was positioned on a BY group";
  return -1;
}

int advance_by_group(DataSetState* data) {
  std::string error;
  int result = 0;
  switch (data->group.mode) {
    case GroupMode::kFinished: return 0;
    case GroupMode::kSequential:
      result = find_group_end(data, &error) ? begin_group_at(data, data->group.end, &error) : -1;
      break;
    case GroupMode::kUnpositioned:
    case GroupMode::kRanges: result = begin_group_at(data, data->first_row, &error); break;
  }
  if (result < 0) report_error(*data, error);
  return result;
}

int rewind_by_group(DataSetState* data) {
  GroupState& group = data->group;
  if (group.mode == GroupMode::kSequential) {
    group.cursor = group.start;
  } else if (group.mode == GroupMode::kRanges) {
    group.range_index = 0;
    if (!group.ranges.empty()) group.cursor = group.ranges[0].start;
  } else {
    return 1;
  }
  if (data->reader) data->reader->has_observation = false;
  return 0;
}

void report_error(const DataSetState& data, std::string_view message) {
  if (data.sink != nullptr) data.sink(data.sink_context, message);
}

}  // namespace quilvar::runtime::datasets
