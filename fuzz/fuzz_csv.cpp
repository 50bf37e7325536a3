// Arbitrary bytes as a data file: the record scanner over the bytes in
// memory with both delimiters, then the bytes opened as a data set and
// every observation read through the data-set services, first as one
// group, then grouped by the first variable (sorted, then NOTSORTED).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "runtime/datasets/csv_records.hpp"
#include "runtime/datasets/datasets.hpp"

namespace {

namespace ds = quilvar::runtime::datasets;
namespace host = quilvar::host;

void scan_all(const char* bytes, std::size_t size, char delimiter) {
  const ds::CsvText text{bytes, size, delimiter};
  ds::Position pos{ds::byte_order_mark_length(bytes, size), 1};
  ds::Position start, problem;
  ds::FieldList fields;
  while (ds::scan_record(text, &pos, &fields, &start, &problem) == ds::ScanStatus::kRecord) {
  }
}

void read_groups(host::DataSet* set) {
  const host::DataSetServices& s = ds::data_set_services();
  const int count = ds::variable_count(set);
  host::Reader* reader = nullptr;
  if (s.create_reader(set, 2 * count, &reader) != 0 || reader == nullptr) return;
  std::vector<std::string> buffers(static_cast<std::size_t>(2 * count), std::string(40, ' '));
  for (int i = 1; i <= count; ++i) {
    host::VariableInfo info{};
    if (s.get_variable_info(set, i, &info) != 0) continue;
    const bool numeric = info.type == 1;
    s.bind_variable(reader, i, buffers[2 * (i - 1)].data(), numeric ? 8 : 40, numeric ? 0 : 8);
    s.bind_variable(reader, i, buffers[2 * (i - 1) + 1].data(), 40, 4);
  }
  s.finish_bindings(reader);
  while (s.next_by_group(set) >= 1) {
    int status;
    while ((status = s.read_next(reader)) == 1) {
    }
    if (status < 0) {
      s.read_error(reader, status, 1);
      return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  scan_all(bytes, size, ',');
  scan_all(bytes, size, '\t');

  quilvar::fuzz::write_file("fuzz.csv", std::string_view(bytes, size));
  const ds::Libraries libraries{quilvar::fuzz::scratch_folder(), {}, quilvar::fuzz::scratch_folder()};
  std::string error;
  host::DataSet* set = ds::open_data_set(libraries, "fuzz", false, &error);
  if (set == nullptr) return 0;
  read_groups(set);
  host::VariableInfo first{};
  if (ds::variable_count(set) > 0 && ds::data_set_services().get_variable_info(set, 1, &first) == 0) {
    const std::vector<ds::ByVariable> by{{std::string(first.name, static_cast<std::size_t>(first.name_length)), false}};
    if (ds::set_by_variables(set, by, false, &error)) read_groups(set);
    if (ds::set_by_variables(set, by, true, &error)) read_groups(set);
  }
  ds::close_data_set(set);
  return 0;
}
