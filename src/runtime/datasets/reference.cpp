// Matching a reference data set to the population's current BY group. A
// reference sorted by the BY variables it holds is read as a stream, the
// population's groups found in it one after another, so memory does not
// grow with the number of groups. Any other reference need not be sorted:
// one pass indexes its runs of equal BY values by those values (memory
// grows with the number of runs), and a match positions the reference on
// the runs of the population's values.
#include <bit>
#include <cstring>

#include "runtime/datasets/data_set.hpp"
#include "runtime/datasets/values.hpp"

namespace quilvar::runtime::datasets {

namespace {

// Appends one value to a lookup key: a tag, then the number's bits or the
// text's length and bytes, so different value lists never share a key.
void append_key_part(const KeyValue& value, std::string* key) {
  char bytes[sizeof(std::uint64_t)];
  if (value.numeric) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value.number);
    std::memcpy(bytes, &bits, sizeof bits);
    key->push_back('N');
    key->append(bytes, sizeof bits);
  } else {
    const std::uint64_t length = value.text.size();
    std::memcpy(bytes, &length, sizeof length);
    key->push_back('C');
    key->append(bytes, sizeof length);
    key->append(value.text);
  }
}

// The population's value as a value of a column of the given type: a
// number as its formatted text, a text read as a number. False when the
// text is not a number, so nothing can match.
bool convert_value(const KeyValue& value, bool numeric, KeyValue* out) {
  out->numeric = numeric;
  if (value.numeric == numeric) {
    out->number = value.number;
    out->text = value.text;
    return true;
  }
  if (!numeric) {
    out->text = key_value_text(value);
    return true;
  }
  return read_numeric_text(value.text, &out->number) != NumericText::kNotNumeric;
}

// The key values of an observation's index columns, and their lookup key.
void read_run_key(DataSetState* reference, const ReferenceIndex& index, std::vector<KeyValue>* values,
                  std::string* key) {
  values->resize(index.columns.size());
  key->clear();
  for (std::size_t i = 0; i < index.columns.size(); ++i) {
    read_key_value(*reference, reference->pass_fields, index.columns[i], &(*values)[i], &reference->scratch);
    append_key_part((*values)[i], key);
  }
}

int compare_lists(const std::vector<KeyValue>& a, const std::vector<KeyValue>& b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (const int order = compare_key_values(a[i], b[i]); order != 0) return order;
  }
  return 0;
}

// True when every observation's values of the index columns are at or
// after the previous one's, each value list making one run (values that
// compare equal but differ, such as -0 and 0, count as out of order); false
// with *error empty when they are not, with *error set on a read error.
bool sorted_by_columns(DataSetState* reference, const ReferenceIndex& index, std::string* error) {
  Position pos = reference->first_row;
  Position start;
  std::vector<KeyValue> values, previous;
  std::string key, previous_key;
  for (bool first = true;; first = false) {
    const RecordStatus status = read_record(*reference, &pos, &reference->pass_fields, &start, error);
    if (status != RecordStatus::kRecord) return status == RecordStatus::kEnd;
    read_run_key(reference, index, &values, &key);
    if (!first) {
      const int order = compare_lists(previous, values);
      if (order > 0 || (order == 0 && key != previous_key)) return false;
    }
    std::swap(values, previous);
    std::swap(key, previous_key);
  }
}

// The run of `wanted` in a sorted reference, looked for from the cursor on;
// false when the stream cannot say (the run lies before the cursor, or
// nowhere), or on a read error (*error set).
bool stream_to_run(DataSetState* reference, ReferenceIndex* index, const std::vector<KeyValue>& wanted,
                   const std::string& wanted_key, Range* run, std::string* error) {
  Position pos = index->cursor;
  Position start;
  std::vector<KeyValue> values;
  std::string key;
  bool found = false;
  for (;;) {
    const RecordStatus status = read_record(*reference, &pos, &reference->pass_fields, &start, error);
    if (status != RecordStatus::kRecord) return found && status == RecordStatus::kEnd;
    read_run_key(reference, *index, &values, &key);
    if (found && key != wanted_key) return true;  // the run ends where another begins
    if (key == wanted_key) {
      if (!found) {
        *run = Range{start, pos.offset};
        index->cursor = start;
      }
      run->end = pos.offset;
      found = true;
    } else if (compare_lists(values, wanted) > 0) {
      return false;
    }
  }
}

// Indexes the reference's runs of equal values of `columns`; false with
// *error on a read error.
bool build_index(DataSetState* reference, ReferenceIndex* index, std::string* error) {
  Position pos = reference->first_row;
  Position start;
  std::string key;
  std::string previous_key;
  std::vector<KeyValue> values;
  std::vector<Range>* run = nullptr;
  for (;;) {
    const RecordStatus status = read_record(*reference, &pos, &reference->pass_fields, &start, error);
    if (status != RecordStatus::kRecord) return status == RecordStatus::kEnd;
    read_run_key(reference, *index, &values, &key);
    if (run != nullptr && key == previous_key) {
      run->back().end = pos.offset;
      continue;
    }
    // Map values keep their addresses as the map grows.
    run = &index->ranges[key];
    run->push_back(Range{start, pos.offset});
    previous_key = key;
  }
}

// An index over the BY variables of the population that the reference
// holds (their names, reference columns and places in the population's BY
// list), its ranges not yet read; a reference without some of them is
// matched on the others.
ReferenceIndex index_columns(const DataSetState& population, const DataSetState& reference) {
  ReferenceIndex index;
  for (std::size_t i = 0; i < population.by.size(); ++i) {
    const Variable& variable = population.variables[static_cast<std::size_t>(population.by[i].column)];
    const int column = find_column(reference, variable.name);
    if (column < 0) continue;
    index.names.push_back(variable.upper_name);
    index.columns.push_back(column);
    index.by.push_back(i);
  }
  return index;
}

// Makes sure the reference's index covers these BY names, reading its
// ranges when it does not yet; false with *error.
bool ensure_index(DataSetState* reference, ReferenceIndex columns, std::string* error) {
  if (reference->reference_index && reference->reference_index->names == columns.names) return true;
  auto index = std::make_unique<ReferenceIndex>(std::move(columns));
  index->streamed = sorted_by_columns(reference, *index, error);
  if (!error->empty()) return false;
  index->cursor = reference->first_row;
  if (!index->streamed && !build_index(reference, index.get(), error)) return false;
  reference->reference_index = std::move(index);
  return true;
}

// The stream gives up on a lookup: the runs are indexed from now on.
bool index_instead(DataSetState* reference, std::string* error) {
  ReferenceIndex& index = *reference->reference_index;
  index.streamed = false;
  return build_index(reference, &index, error);
}

// The population's current values in the reference's column types, and
// their lookup key; false when no reference value can equal them.
bool population_key(const DataSetState& population, const DataSetState& reference, std::vector<KeyValue>* values,
                    std::string* key) {
  const ReferenceIndex& index = *reference.reference_index;
  values->resize(index.columns.size());
  for (std::size_t i = 0; i < index.columns.size(); ++i) {
    const bool numeric = reference.variables[static_cast<std::size_t>(index.columns[i])].numeric;
    if (!convert_value(population.group.key[index.by[i]], numeric, &(*values)[i])) return false;
    append_key_part((*values)[i], key);
  }
  return true;
}

void position_on_ranges(DataSetState* reference, std::vector<Range> ranges) {
  GroupState& group = reference->group;
  group = GroupState{};
  ++reference->group_serial;
  group.mode = GroupMode::kRanges;
  group.ranges = std::move(ranges);
  if (!group.ranges.empty()) group.cursor = group.ranges[0].start;
  if (reference->reader) reference->reader->has_observation = false;
}

}  // namespace

int match_reference_group(DataSetState* population, DataSetState* reference) {
  if (population->group.mode != GroupMode::kSequential) {
    report_error(*reference, "data set " + population->name + " is not positioned on a BY group to match");
    return 2;
  }
  ReferenceIndex columns = index_columns(*population, *reference);
  if (columns.columns.empty()) {
    position_on_ranges(reference, {Range{reference->first_row, reference->text.size}});
    return 0;
  }
  std::string error;
  if (!ensure_index(reference, std::move(columns), &error)) {
    report_error(*reference, error);
    return 2;
  }
  std::string key;
  std::vector<KeyValue> values;
  if (!population_key(*population, *reference, &values, &key)) {
    position_on_ranges(reference, {});
    return 1;
  }
  ReferenceIndex& index = *reference->reference_index;
  if (index.streamed) {
    Range run;
    if (stream_to_run(reference, &index, values, key, &run, &error)) {
      position_on_ranges(reference, {run});
      return 0;
    }
    if (!error.empty() || !index_instead(reference, &error)) {
      report_error(*reference, error);
      return 2;
    }
  }
  const auto found = index.ranges.find(key);
  position_on_ranges(reference, found == index.ranges.end() ? std::vector<Range>{} : found->second);
  return found == index.ranges.end() ? 1 : 0;
}

}  // namespace quilvar::runtime::datasets
