// Helpers of the data-set tests: a scratch folder of small data files,
// owning handles, and readers that bind every variable and collect values.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "runtime/datasets/datasets.hpp"

namespace quilvar::runtime::datasets::testing {

struct CloseDataSet {
  void operator()(host::DataSet* data) const { close_data_set(data); }
};
using DataSetPtr = std::unique_ptr<host::DataSet, CloseDataSet>;

// A fresh folder under the system's temporary folder, removed at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    static std::atomic<int> counter{0};
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::temp_directory_path() /
            ("quilvar_datasets_" + std::to_string(::getpid()) + "_" + test->name() + "_" +
             std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() { std::filesystem::remove_all(path_); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Writes the bytes as they are (no newline translation).
  std::filesystem::path write(const std::string& file, const std::string& bytes) const {
    const std::filesystem::path full = path_ / file;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream(full, std::ios::binary) << bytes;
    return full;
  }

  Libraries libraries() const { return Libraries{path_, {}, path_}; }

 private:
  std::filesystem::path path_;
};

// Writes name.csv and opens it by name; a failed open fails the test.
inline DataSetPtr open_csv(const ScratchFolder& folder, const std::string& name, const std::string& bytes) {
  folder.write(name + ".csv", bytes);
  std::string error;
  DataSetPtr data(open_data_set(folder.libraries(), name, false, &error));
  EXPECT_NE(data, nullptr) << error;
  return data;
}

// The description of the named variable; a failed look-up fails the test.
inline host::VariableInfo info_of(host::DataSet* data, const char* name) {
  int number = 0;
  EXPECT_EQ(data_set_services().find_variable(data, name, static_cast<int>(std::strlen(name)), &number), 0);
  host::VariableInfo info{};
  EXPECT_EQ(data_set_services().get_variable_info(data, number, &info), 0) << name;
  return info;
}

// The open error for a file with these bytes, or "" when it opens.
inline std::string open_error(const ScratchFolder& folder, const std::string& file, const std::string& bytes) {
  folder.write(file, bytes);
  std::string error;
  DataSetPtr data(open_data_set(folder.libraries(), file, true, &error));
  return data ? std::string() : error;
}

// Reads observations with every variable bound as formatted text (kind 4,
// buffers of the formatted width) and, for numeric variables, as raw
// numbers (kind 0).
class FormattedReader {
 public:
  explicit FormattedReader(host::DataSet* data) : data_(data) {
    const host::DataSetServices& services = data_set_services();
    const int count = variable_count(data);
    texts_.resize(static_cast<std::size_t>(count));
    numbers_.assign(static_cast<std::size_t>(count), 0.0);
    EXPECT_EQ(services.create_reader(data, 2 * count, &reader_), 0);
    for (int number = 1; number <= count; ++number) bind(number);
    EXPECT_EQ(services.finish_bindings(reader_), 0);
  }

  // The formatted values of the rest of the current group, one row each.
  std::vector<std::vector<std::string>> read_group() {
    std::vector<std::vector<std::string>> rows;
    const host::DataSetServices& services = data_set_services();
    while (services.read_next(reader_) == 1) {
      EXPECT_EQ(services.fetch_values(reader_), 0);
      rows.push_back(texts_);
    }
    return rows;
  }

  // The first column's formatted values of the rest of the group, trimmed.
  std::vector<std::string> read_first_column() {
    std::vector<std::string> values;
    for (const auto& row : read_group()) values.push_back(trim(row[0]));
    return values;
  }

  host::Reader* reader() const { return reader_; }
  double number(int variable) const { return numbers_[static_cast<std::size_t>(variable - 1)]; }
  const std::string& text(int variable) const { return texts_[static_cast<std::size_t>(variable - 1)]; }

  static std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(' ') - first + 1);
  }

 private:
  void bind(int number) {
    const host::DataSetServices& services = data_set_services();
    host::VariableInfo info{};
    ASSERT_EQ(services.get_variable_info(data_, number, &info), 0);
    std::string& text = texts_[static_cast<std::size_t>(number - 1)];
    text.assign(static_cast<std::size_t>(info.format_width), '?');
    EXPECT_EQ(services.bind_variable(reader_, number, text.data(), info.format_width, 4), 0);
    if (info.type == 1) {
      EXPECT_EQ(services.bind_variable(reader_, number, &numbers_[static_cast<std::size_t>(number - 1)], 8, 0), 0);
    }
  }

  host::DataSet* data_;
  host::Reader* reader_ = nullptr;
  std::vector<std::string> texts_;
  std::vector<double> numbers_;
};

// Positions on the first group and reads all of it formatted.
inline std::vector<std::vector<std::string>> read_whole(host::DataSet* data) {
  FormattedReader reader(data);
  EXPECT_EQ(data_set_services().next_by_group(data), 1);
  return reader.read_group();
}

}  // namespace quilvar::runtime::datasets::testing
