// The reader of a data set: variable bindings, reading observations of the
// current group, and moving their values into the bound buffers.
#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "runtime/datasets/data_set.hpp"
#include "runtime/datasets/values.hpp"

namespace quilvar::runtime::datasets {

namespace {

constexpr int kBindRawNumber = 0;
constexpr int kBindFormatted = 4;
constexpr int kBindRawText = 8;
constexpr int kOk = 0;
constexpr int kFailed = 1;

ReaderState* reader_of(host::Reader* reader) { return reinterpret_cast<ReaderState*>(reader); }

// Copies n bytes, sizeof(Word) <= n <= 2 * sizeof(Word), as a word from
// the start and a word to the end (overlapping when n is smaller).
template <typename Word>
void copy_two_words(char* to, const char* from, std::size_t n) {
  Word head;
  Word tail;
  std::memcpy(&head, from, sizeof head);
  std::memcpy(&tail, from + n - sizeof tail, sizeof tail);
  std::memcpy(to, &head, sizeof head);
  std::memcpy(to + n - sizeof tail, &tail, sizeof tail);
}

// Copies n bytes; values are mostly a few bytes long, for which word copies
// cost less than a library call.
void copy_short(char* to, const char* from, std::size_t n) {
  if (n >= 8 && n <= 16) {
    copy_two_words<std::uint64_t>(to, from, n);
  } else if (n >= 4 && n < 8) {
    copy_two_words<std::uint32_t>(to, from, n);
  } else if (n < 4) {
    for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
  } else {
    std::memcpy(to, from, n);
  }
}

void copy_padded(std::string_view text, char* buffer, int length) {
  const std::size_t size = static_cast<std::size_t>(length);
  const std::size_t used = std::min(text.size(), size);
  copy_short(buffer, text.data(), used);
  // Most buffers are as long as the variable's longest value, and a library
  // call for no bytes costs more than the test.
  if (used < size) std::memset(buffer + used, ' ', size - used);
}

// A number's formatted value in the binding's buffer: right-aligned in
// the formatted width, or in the whole buffer when it is narrower; blanks
// after.
void copy_formatted_number(double value, Binding* binding) {
  const int width = std::min(binding->length, kNumberFormatWidth);
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  if (!binding->has_formatted || binding->formatted_bits != bits) {
    format_number_field(value, width, binding->formatted);
    binding->formatted_bits = bits;
    binding->has_formatted = true;
  }
  std::memcpy(binding->buffer, binding->formatted, static_cast<std::size_t>(width));
  if (binding->length > width) {
    std::memset(binding->buffer + width, ' ', static_cast<std::size_t>(binding->length - width));
  }
}

// The current observation's number in a numeric column.
double current_number(ReaderState* reader, std::size_t column) {
  if (reader->number_serials[column] != reader->serial) {
    const std::string_view value = field_value(reader->fields[column], &reader->scratch);
    read_numeric_text(value, &reader->numbers[column]);
    reader->number_serials[column] = reader->serial;
  }
  return reader->numbers[column];
}

void write_binding(ReaderState* reader, Binding& binding) {
  const std::size_t column = static_cast<std::size_t>(binding.column);
  if (!reader->data->variables[column].numeric) {
    copy_padded(field_value(reader->fields[column], &reader->scratch), binding.buffer, binding.length);
    return;
  }
  const double number = current_number(reader, column);
  if (binding.kind == kBindRawNumber) {
    std::memcpy(binding.buffer, &number, sizeof number);
  } else {
    copy_formatted_number(number, &binding);
  }
}

// Why a binding cannot be made, or empty when it can.
std::string binding_problem(const ReaderState& reader, int number, const void* buffer, int length, int kind) {
  const DataSetState& data = *reader.data;
  if (number < 1 || number > static_cast<int>(data.variables.size())) {
    return "no variable number " + std::to_string(number);
  }
  const Variable& variable = data.variables[static_cast<std::size_t>(number - 1)];
  if (kind != kBindRawNumber && kind != kBindFormatted && kind != kBindRawText) {
    return "variable " + variable.name + ": unknown binding kind " + std::to_string(kind);
  }
  if (buffer == nullptr || length <= 0) return "variable " + variable.name + ": no buffer to bind";
  if (kind == kBindRawNumber && !variable.numeric) {
    return "variable " + variable.name + " is character and cannot be read as a number";
  }
  if (kind == kBindRawNumber && length < static_cast<int>(sizeof(double))) {
    return "variable " + variable.name + ": a number needs an 8-byte buffer";
  }
  return {};
}

}  // namespace

void clear_reader(ReaderState* reader) {
  reader->bindings.clear();
  reader->has_observation = false;
  reader->error.clear();
}

int service_create_reader(host::DataSet* handle, int bindings, host::Reader** out) {
  if (handle == nullptr || out == nullptr) return kFailed;
  DataSetState* data = state_of(handle);
  try {
    if (!data->reader) {
      data->reader = std::make_unique<ReaderState>();
      data->reader->data = data;
    }
    clear_reader(data->reader.get());
    data->reader->numbers.assign(data->variables.size(), 0.0);
    data->reader->number_serials.assign(data->variables.size(), 0);
    data->reader->bindings.reserve(static_cast<std::size_t>(std::max(bindings, 0)));
  } catch (const std::bad_alloc&) {
    return kFailed;
  }
  *out = reinterpret_cast<host::Reader*>(data->reader.get());
  return kOk;
}

int service_bind_variable(host::Reader* handle, int number, void* buffer, int length, int kind) {
  if (handle == nullptr) return kFailed;
  ReaderState* reader = reader_of(handle);
  try {
    const std::string problem = binding_problem(*reader, number, buffer, length, kind);
    if (!problem.empty()) {
      reader->error = "data set " + reader->data->name + ": " + problem;
      return kFailed;
    }
    reader->bindings.push_back(Binding{number - 1, static_cast<char*>(buffer), length, kind});
  } catch (const std::bad_alloc&) {
    return kFailed;
  }
  return kOk;
}

int service_finish_bindings(host::Reader* handle) { return handle == nullptr ? kFailed : kOk; }

std::string observation_place(const host::Reader* handle) {
  const ReaderState* reader = reinterpret_cast<const ReaderState*>(handle);
  if (reader == nullptr || !reader->has_observation) return {};
  return "line " + std::to_string(reader->start.line) + " of " + reader->data->file_name;
}

int service_read_next(host::Reader* handle) {
  if (handle == nullptr) return -1;
  ReaderState* reader = reader_of(handle);
  int result = -1;
  try {
    result = read_group_observation(reader);
  } catch (const std::bad_alloc&) {
    reader->error = "data set " + reader->data->name + ": out of memory while reading";
  }
  reader->has_observation = result == 1;
  return result;
}

int service_fetch_values(host::Reader* handle) {
  if (handle == nullptr) return kFailed;
  ReaderState* reader = reader_of(handle);
  if (!reader->has_observation) {
    reader->error = "data set " + reader->data->name + ": no observation has been read to fetch values from";
    return kFailed;
  }
  ++reader->serial;
  try {
    for (Binding& binding : reader->bindings) write_binding(reader, binding);
  } catch (const std::bad_alloc&) {
    return kFailed;
  }
  return kOk;
}

void service_read_error(host::Reader* handle, int status, int /*one*/) {
  if (handle == nullptr) return;
  const ReaderState& reader = *reader_of(handle);
  try {
    report_error(*reader.data, reader.error.empty() ? "data set " + reader.data->name +
                                                          ": read failed with status " + std::to_string(status)
                                                    : reader.error);
  } catch (...) {
    // The sink's own failure must not reach the module.
  }
}

}  // namespace quilvar::runtime::datasets
