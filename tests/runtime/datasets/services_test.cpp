// The data-set services as the module calls them: names and attributes,
// variables, selections, bindings of every kind, readers, read errors, and
// independent opens of one file.
#include <gtest/gtest.h>

#include <cstring>

#include "runtime/datasets/data_set_fixture.hpp"

namespace quilvar::runtime::datasets {
namespace {

using testing::DataSetPtr;
using testing::FormattedReader;
using testing::ScratchFolder;

const host::DataSetServices& services() { return data_set_services(); }

std::string name_attribute(host::DataSet* data) {
  host::CountedText name{};
  EXPECT_EQ(services().get_attribute(data, 167, &name), 0);
  return std::string(name.text, static_cast<std::size_t>(name.length));
}

int variable_number(host::DataSet* data, const char* name) {
  int number = -1;
  EXPECT_EQ(services().find_variable(data, name, static_cast<int>(std::strlen(name)), &number), 0);
  return number;
}

void collect_message(void* context, std::string_view message) {
  static_cast<std::vector<std::string>*>(context)->emplace_back(message);
}

TEST(DataSetNames, NameAttributeIsTheNameAsWrittenUpperCased) {
  ScratchFolder folder;
  folder.write("pop.csv", "a\n1\n");
  folder.write("other/Pop.csv", "b\n2\n");
  Libraries libraries = folder.libraries();
  libraries.named["MYLIB"] = folder.path() / "other";
  const struct {
    const char* written;
    bool quoted;
    const char* name;
    const char* first_variable;
  } cases[] = {
      {"pop", false, "POP", "a"},
      {"Pop", false, "POP", "a"},
      {"work.pop", false, "WORK.POP", "a"},
      {"mylib.POP", false, "MYLIB.POP", "b"},
      {"other/Pop.csv", true, "other/Pop.csv", "b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written);
    std::string error;
    const DataSetPtr data(open_data_set(libraries, c.written, c.quoted, &error));
    ASSERT_NE(data, nullptr) << error;
    EXPECT_EQ(name_attribute(data.get()), c.name);
    EXPECT_EQ(variable_number(data.get(), c.first_variable), 1);
    std::uint32_t status = 0;
    EXPECT_EQ(services().get_attribute(data.get(), 23, &status), 0);
    EXPECT_EQ(status, 1u);
    EXPECT_NE(services().get_attribute(data.get(), 99, &status), 0);
  }
}

TEST(DataSetNames, FindsFilesIgnoringCaseCsvBeforeTsv) {
  ScratchFolder folder;
  folder.write("UPPER.CSV", "from_upper\n1\n");
  folder.write("both.tsv", "from_tsv\n1\n");
  folder.write("Both.csv", "from_csv\n1\n");
  folder.write("tabs.TSV", "from_tabs\tx\n1\t2\n");
  folder.write("twin.csv", "exact\n1\n");
  folder.write("TWIN.csv", "upper\n1\n");
  const struct {
    const char* written;
    const char* variable;
  } cases[] = {
      {"upper", "from_upper"}, {"BOTH", "from_csv"}, {"tabs", "from_tabs"}, {"twin", "exact"}, {"TWIN", "upper"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written);
    std::string error;
    const DataSetPtr data(open_data_set(folder.libraries(), c.written, false, &error));
    ASSERT_NE(data, nullptr) << error;
    EXPECT_EQ(variable_number(data.get(), c.variable), 1);
  }
  std::string error;
  EXPECT_EQ(open_data_set(folder.libraries(), "Twin", false, &error), nullptr);
  EXPECT_EQ(error, "data set TWIN is ambiguous: " + (folder.path() / "TWIN.csv").string() + " and " +
                       (folder.path() / "twin.csv").string() + " differ only in case");
}

TEST(Variables, FoundByNameIgnoringCaseAndTrailingBlanks) {
  ScratchFolder folder;
  const DataSetPtr data = open_csv(folder, "vars", "Area,age_Group,Deaths\nN,1,2\n");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(variable_count(data.get()), 3);
  const struct {
    const char* name;
    int number;
  } cases[] = {{"area", 1}, {"AGE_GROUP", 2}, {"deaths   ", 3}, {"death", 0}, {"", 0}, {"Area2", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(variable_number(data.get(), c.name), c.number);
  }
}

TEST(Variables, InfoNamesAndLabelsAVariableByNumber) {
  ScratchFolder folder;
  const DataSetPtr data = open_csv(folder, "info", "Area,Deaths\nNorth,2\n");
  ASSERT_NE(data, nullptr);
  host::VariableInfo info{};
  ASSERT_EQ(services().get_variable_info(data.get(), 1, &info), 0);
  EXPECT_STREQ(info.name, "Area");
  EXPECT_EQ(info.name_length, 4);
  EXPECT_EQ(std::string(info.label, static_cast<std::size_t>(info.label_length)), "Area");
  EXPECT_STREQ(info.format, "");
  EXPECT_NE(services().get_variable_info(data.get(), 0, &info), 0);
  EXPECT_NE(services().get_variable_info(data.get(), 3, &info), 0);
}

TEST(Selection, RecordsDeclaredVariablesUntilReset) {
  ScratchFolder folder;
  const DataSetPtr data = open_csv(folder, "sel", "a,b,c\n1,2,3\n");
  ASSERT_NE(data, nullptr);
  const std::int32_t first[] = {3, 1};
  const std::int32_t again[] = {1, 2};
  const std::int32_t invalid[] = {2, 4};
  EXPECT_EQ(services().select_variables(data.get(), 70, first, 2), 0);
  EXPECT_EQ(services().select_variables(data.get(), 70, again, 2), 0);
  EXPECT_EQ(selected_variables(data.get()), (std::vector<int>{3, 1, 2}));
  EXPECT_NE(services().select_variables(data.get(), 71, first, 2), 0);
  EXPECT_NE(services().select_variables(data.get(), 70, invalid, 2), 0);
  EXPECT_EQ(selected_variables(data.get()), (std::vector<int>{3, 1, 2}));
  EXPECT_EQ(services().reset_selection(data.get()), 0);
  EXPECT_TRUE(selected_variables(data.get()).empty());
}

TEST(Bindings, EveryKindFillsItsBuffer) {
  ScratchFolder folder;
  const DataSetPtr data = open_csv(folder, "kinds", "n,c\n1.5,abcdef\n");
  ASSERT_NE(data, nullptr);
  host::Reader* reader = nullptr;
  ASSERT_EQ(services().create_reader(data.get(), 6, &reader), 0);
  double raw = 0;
  char number_as_text[17] = {};
  char narrow_number[5] = {};
  char wide_number[21] = {};
  char truncated[4] = {};
  char padded[9] = {};
  EXPECT_EQ(services().bind_variable(reader, 1, &raw, 8, 0), 0);
  EXPECT_EQ(services().bind_variable(reader, 1, number_as_text, 16, 8), 0);
  EXPECT_EQ(services().bind_variable(reader, 1, narrow_number, 4, 4), 0);
  EXPECT_EQ(services().bind_variable(reader, 1, wide_number, 20, 4), 0);
  EXPECT_EQ(services().bind_variable(reader, 2, truncated, 3, 8), 0);
  EXPECT_EQ(services().bind_variable(reader, 2, padded, 8, 4), 0);
  EXPECT_EQ(services().finish_bindings(reader), 0);
  ASSERT_EQ(services().next_by_group(data.get()), 1);
  ASSERT_EQ(services().read_next(reader), 1);
  ASSERT_EQ(services().fetch_values(reader), 0);
  EXPECT_EQ(raw, 1.5);
  EXPECT_STREQ(number_as_text, "             1.5");
  EXPECT_STREQ(narrow_number, " 1.5");
  EXPECT_STREQ(wide_number, "             1.5    ");
  EXPECT_STREQ(truncated, "abc");
  EXPECT_STREQ(padded, "abcdef  ");
}

TEST(Bindings, InvalidBindingsFailAndExplainThroughReadError) {
  ScratchFolder folder;
  const DataSetPtr data = open_csv(folder, "bad", "n,c\n1,x\n");
  ASSERT_NE(data, nullptr);
  std::vector<std::string> messages;
  set_error_sink(data.get(), collect_message, &messages);
  host::Reader* reader = nullptr;
  ASSERT_EQ(services().create_reader(data.get(), 1, &reader), 0);
  double raw = 0;
  char text[8];
  const struct {
    int number;
    void* buffer;
    int length;
    int kind;
    const char* message;
  } cases[] = {
      {2, &raw, 8, 0, "data set BAD: variable c is character and cannot be read as a number"},
      {1, text, 4, 0, "data set BAD: variable n: a number needs an 8-byte buffer"},
      {3, text, 8, 4, "data set BAD: no variable number 3"},
      {1, text, 8, 2, "data set BAD: variable n: unknown binding kind 2"},
      {1, nullptr, 8, 4, "data set BAD: variable n: no buffer to bind"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_NE(services().bind_variable(reader, c.number, c.buffer, c.length, c.kind), 0);
    services().read_error(reader, 7, 1);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), c.message);
  }
}

TEST(Readers, ReadingNeedsAPositionedGroupAndFetchingAnObservation) {
  ScratchFolder folder;
  const DataSetPtr data = open_csv(folder, "pos", "n\n1\n");
  ASSERT_NE(data, nullptr);
  std::vector<std::string> messages;
  set_error_sink(data.get(), collect_message, &messages);
  FormattedReader reader(data.get());
  EXPECT_NE(services().fetch_values(reader.reader()), 0);
  EXPECT_LT(services().read_next(reader.reader()), 0);
  services().read_error(reader.reader(), -1, 1);
  EXPECT_EQ(messages, std::vector<std::string>{"data set POS: read before the data set was positioned on a BY group"});
}

TEST(Readers, NewReaderAndResetSelectionDropEarlierBindings) {
  ScratchFolder folder;
  const DataSetPtr data = open_csv(folder, "rebind", "n\n1\n2\n");
  ASSERT_NE(data, nullptr);
  host::Reader* first = nullptr;
  host::Reader* second = nullptr;
  double old_buffer = -1;
  double new_buffer = -1;
  ASSERT_EQ(services().create_reader(data.get(), 1, &first), 0);
  ASSERT_EQ(services().bind_variable(first, 1, &old_buffer, 8, 0), 0);
  ASSERT_EQ(services().create_reader(data.get(), 1, &second), 0);
  ASSERT_EQ(services().bind_variable(second, 1, &new_buffer, 8, 0), 0);
  ASSERT_EQ(services().next_by_group(data.get()), 1);
  ASSERT_EQ(services().read_next(second), 1);
  ASSERT_EQ(services().fetch_values(second), 0);
  EXPECT_EQ(old_buffer, -1);
  EXPECT_EQ(new_buffer, 1);
  ASSERT_EQ(services().reset_selection(data.get()), 0);
  ASSERT_EQ(services().read_next(second), 1);
  ASSERT_EQ(services().fetch_values(second), 0);
  EXPECT_EQ(new_buffer, 1);
}

}  // namespace
}  // namespace quilvar::runtime::datasets
