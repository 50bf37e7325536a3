// The data-set service table handed to the module: attributes, variables,
// selection and BY-group positioning here, the reader services in
// reader.cpp. No exception leaves these functions.
#include <algorithm>
#include <cstring>

#include "runtime/datasets/data_set.hpp"
#include "runtime/datasets/values.hpp"

namespace quilvar::runtime::datasets {

namespace {

constexpr int kAttributeName = 167;
constexpr int kAttributeOpenStatus = 23;
constexpr std::uint32_t kOpenStatusOpen = 1;
constexpr int kSelectForReading = 70;
constexpr int kRewindToGroupStart = 66;
constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kReadFailed = -1;
constexpr int kMatchFailed = 2;

// Runs a service body; any exception becomes the failure status.
template <typename Body>
int guarded(int failure, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

int get_attribute(host::DataSet* handle, int code, void* out) {
  if (handle == nullptr || out == nullptr) return kFailed;
  const DataSetState& data = *state_of(handle);
  if (code == kAttributeName) {
    *static_cast<host::CountedText*>(out) =
        host::CountedText{static_cast<std::int64_t>(data.name.size()), data.name.data()};
    return kOk;
  }
  if (code == kAttributeOpenStatus) {
    *static_cast<std::uint32_t*>(out) = kOpenStatusOpen;
    return kOk;
  }
  return kFailed;
}

int find_variable(host::DataSet* handle, const char* name, int length, int* number) {
  if (handle == nullptr || number == nullptr || (name == nullptr && length > 0) || length < 0) return kFailed;
  *number = find_column(*state_of(handle), std::string_view(name, static_cast<std::size_t>(length))) + 1;
  return kOk;
}

int get_variable_info(host::DataSet* handle, int number, host::VariableInfo* out) {
  if (handle == nullptr || out == nullptr) return kFailed;
  const DataSetState& data = *state_of(handle);
  if (number < 1 || number > static_cast<int>(data.variables.size())) return kFailed;
  const Variable& variable = data.variables[static_cast<std::size_t>(number - 1)];
  *out = host::VariableInfo{};
  out->type = variable.numeric ? 1 : 2;
  out->length = variable.length;
  out->has_format = 0;
  out->format_width = variable.numeric ? kNumberFormatWidth : variable.length;
  out->name_length = static_cast<std::int32_t>(variable.name.size());
  out->label_length = out->name_length;
  std::memcpy(out->name, variable.name.data(), variable.name.size());
  out->label = variable.name.data();
  return kOk;
}

int select_variables(host::DataSet* handle, int code, const std::int32_t* numbers, int count) {
  if (handle == nullptr || code != kSelectForReading || count < 0 || (numbers == nullptr && count > 0)) {
    return kFailed;
  }
  DataSetState& data = *state_of(handle);
  const std::span<const std::int32_t> chosen(numbers, static_cast<std::size_t>(count));
  const int last = static_cast<int>(data.variables.size());
  if (std::any_of(chosen.begin(), chosen.end(), [&](std::int32_t n) { return n < 1 || n > last; })) return kFailed;
  for (std::int32_t n : chosen) {
    if (std::find(data.selection.begin(), data.selection.end(), n) == data.selection.end()) {
      data.selection.push_back(n);
    }
  }
  return kOk;
}

int reset_selection(host::DataSet* handle) {
  if (handle == nullptr) return kFailed;
  DataSetState& data = *state_of(handle);
  data.selection.clear();
  if (data.reader) clear_reader(data.reader.get());
  return kOk;
}

const host::DataSetServices kServices{
    [](host::DataSet* d, int code, void* out) { return guarded(kFailed, [&] { return get_attribute(d, code, out); }); },
    [](host::DataSet* d, const char* name, int length, int* number) {
      return guarded(kFailed, [&] { return find_variable(d, name, length, number); });
    },
    [](host::DataSet* d, int number, host::VariableInfo* out) {
      return guarded(kFailed, [&] { return get_variable_info(d, number, out); });
    },
    [](host::DataSet* d, int code, const std::int32_t* numbers, int count) {
      return guarded(kFailed, [&] { return select_variables(d, code, numbers, count); });
    },
    [](host::DataSet* d) { return guarded(kFailed, [&] { return reset_selection(d); }); },
    service_create_reader,
    service_bind_variable,
    service_finish_bindings,
    service_read_next,
    service_fetch_values,
    service_read_error,
    [](host::DataSet* d) {
      return guarded(kReadFailed, [&] { return d == nullptr ? kReadFailed : advance_by_group(state_of(d)); });
    },
    [](host::DataSet* d, int code) {
      return guarded(kFailed, [&] {
        return d == nullptr || code != kRewindToGroupStart ? kFailed : rewind_by_group(state_of(d));
      });
    },
    [](host::DataSet* population, host::DataSet* reference) {
      return guarded(kMatchFailed, [&] {
        if (population == nullptr || reference == nullptr) return kMatchFailed;
        return match_reference_group(state_of(population), state_of(reference));
      });
    },
};

}  // namespace

const host::DataSetServices& data_set_services() { return kServices; }

const host::DataSetServices& first_group_services() {
  static const host::DataSetServices services = [] {
    host::DataSetServices table = kServices;
    table.next_by_group = [](host::DataSet* d) {
      if (d != nullptr && state_of(d)->group.mode != GroupMode::kUnpositioned) return 0;
      return kServices.next_by_group(d);
    };
    return table;
  }();
  return services;
}

}  // namespace quilvar::runtime::datasets
