// BY groups: sorted, DESCENDING and NOTSORTED data, the out-of-order error,
// group values, rewinding, and data sets without BY variables.
#include <gtest/gtest.h>

#include "quilvar/host/missing.hpp"
#include "runtime/datasets/data_set.hpp"
#include "runtime/datasets/data_set_fixture.hpp"

namespace quilvar::runtime::datasets {
namespace {

using testing::DataSetPtr;
using testing::FormattedReader;
using testing::ScratchFolder;

const host::DataSetServices& services() { return data_set_services(); }

// Each group's BY values (as "NAME=text ...") and first-column values.
struct GroupRead {
  std::string by;
  std::vector<std::string> rows;
  bool operator==(const GroupRead&) const = default;
};

std::string by_text(const host::DataSet* data) {
  std::string text;
  for (const ByValue& value : current_by_values(data)) {
    if (!text.empty()) text += ' ';
    text += value.name + "=" + value.text;
  }
  return text;
}

std::vector<GroupRead> read_groups(host::DataSet* data) {
  FormattedReader reader(data);
  std::vector<GroupRead> groups;
  while (services().next_by_group(data) == 1) groups.push_back({by_text(data), reader.read_first_column()});
  EXPECT_EQ(services().next_by_group(data), 0);
  return groups;
}

DataSetPtr open_with_by(const ScratchFolder& folder, const std::string& bytes, std::vector<ByVariable> by,
                        bool notsorted) {
  DataSetPtr data = open_csv(folder, "groups", bytes);
  std::string error;
  if (data) {
    EXPECT_TRUE(set_by_variables(data.get(), by, notsorted, &error)) << error;
  }
  return data;
}

TEST(ByGroups, RunsOfEqualValuesFormGroupsInFileOrder) {
  const struct {
    const char* label;
    std::string bytes;
    std::vector<ByVariable> by;
    bool notsorted;
    std::vector<GroupRead> groups;
  } cases[] = {
      {"character ascending", "id,area\n1,A\n2,A\n3,B\n4,C\n", {{"AREA", false}}, false,
       {{"area=A", {"1", "2"}}, {"area=B", {"3"}}, {"area=C", {"4"}}}},
      {"trailing blanks ignored", "id,area\n1,A\n2,A  \n3,b\n", {{"area", false}}, false,
       {{"area=A", {"1", "2"}}, {"area=b", {"3"}}}},
      {"numbers with missing values lowest", "id,k\n1,._\n2,\n3,.\n4,.a\n5,.B\n6,-2\n7,10\n", {{"k", false}}, false,
       {{"k=._", {"1"}}, {"k=.", {"2", "3"}}, {"k=.A", {"4"}}, {"k=.B", {"5"}}, {"k=-2", {"6"}}, {"k=10", {"7"}}}},
      {"numbers by value, not text", "id,k\n1,9\n2,10\n3,1e2\n", {{"k", false}}, false,
       {{"k=9", {"1"}}, {"k=10", {"2"}}, {"k=100", {"3"}}}},
      {"descending", "id,k\n1,3\n2,2\n3,2\n4,.\n", {{"k", true}}, false,
       {{"k=3", {"1"}}, {"k=2", {"2", "3"}}, {"k=.", {"4"}}}},
      {"two variables, second descending", "id,a,b\n1,x,2\n2,x,1\n3,y,5\n4,y,5\n", {{"a", false}, {"b", true}}, false,
       {{"a=x b=2", {"1"}}, {"a=x b=1", {"2"}}, {"a=y b=5", {"3", "4"}}}},
      {"notsorted", "id,area\n1,B\n2,A\n3,A\n4,B\n", {{"area", false}}, true,
       {{"area=B", {"1"}}, {"area=A", {"2", "3"}}, {"area=B", {"4"}}}},
      {"quoted and doubled quotes by value, not bytes",
       "id,k\n1,ab\n2,\"ab\"\n3,\"x\"\"y\"\n4,\"x\"\"y\"\n5,\n6,x\"\"y\n", {{"k", false}}, true,
       {{"k=ab", {"1", "2"}}, {"k=x\"y", {"3", "4"}}, {"k=", {"5"}}, {"k=x\"\"y", {"6"}}}},
      {"doubled quotes unquoted, then quoted", "id,k\n1,x\"\"y\n2,\"x\"\"y\"\n", {{"k", false}}, false,
       {{"k=x\"\"y", {"1"}}, {"k=x\"y", {"2"}}}},
      {"same number written otherwise", "id,k\n1,2\n2,2.0\n3,02\n4,3\n", {{"k", false}}, false,
       {{"k=2", {"1", "2", "3"}}, {"k=3", {"4"}}}},
      {"no by variables", "id,area\n1,B\n2,A\n", {}, false, {{"", {"1", "2"}}}},
      {"no by variables and no rows", "id,area\n", {}, false, {}},
      {"by variables and no rows", "id,area\n", {{"area", false}}, false, {}},
      {"empty lines and a spreadsheet's empty row at the end", "id,area\n1,A\n2,B\n\n,\n\n", {{"area", false}}, false,
       {{"area=A", {"1"}}, {"area=B", {"2"}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchFolder folder;
    const DataSetPtr data = open_with_by(folder, c.bytes, c.by, c.notsorted);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(read_groups(data.get()), c.groups);
  }
}

TEST(ByGroups, ByValuesCarryTypeAndNumber) {
  ScratchFolder folder;
  const DataSetPtr data = open_with_by(folder, "Area,Year\nN,2001.5\n", {{"area", false}, {"YEAR", false}}, false);
  ASSERT_NE(data, nullptr);
  EXPECT_TRUE(current_by_values(data.get()).empty());
  ASSERT_EQ(services().next_by_group(data.get()), 1);
  const std::vector<ByValue> values = current_by_values(data.get());
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].name, "Area");
  EXPECT_FALSE(values[0].numeric);
  EXPECT_EQ(values[0].text, "N");
  EXPECT_EQ(values[1].name, "Year");
  EXPECT_TRUE(values[1].numeric);
  EXPECT_EQ(values[1].number, 2001.5);
  EXPECT_EQ(values[1].text, "2001.5");
}

TEST(ByGroups, UnsortedDataNameTheFirstObservationOutOfOrder) {
  const struct {
    const char* label;
    std::string bytes;
    std::vector<ByVariable> by;
    std::string problem;  // after the file's path, up to the sort advice
    std::string sorted_by;
  } cases[] = {
      {"character", "id,area\n1,A\n2,C\n\n3,B\n4,A\n", {{"area", false}},
       ", line 5: observation 3 (area=B) is out of BY order: it follows observation 2 (area=C).", "area"},
      {"descending", "id,k\n1,1\n2,2\n", {{"K", true}},
       ", line 3: observation 2 (k=2) is out of BY order: it follows observation 1 (k=1).", "DESCENDING k"},
      {"missing value after a number", "id,k\n1,1\n2,.\n", {{"k", false}},
       ", line 3: observation 2 (k=.) is out of BY order: it follows observation 1 (k=1).", "k"},
      {"second variable", "a,b\nx,2\nx,1\n", {{"a", false}, {"b", false}},
       ", line 3: observation 2 (a=x b=1) is out of BY order: it follows observation 1 (a=x b=2).", "a b"},
      {"after runs of equal values", "id,area\n1,A\n2,A\n3,\"A\"\n4,B\n5,B\n6,A\n", {{"area", false}},
       ", line 7: observation 6 (area=A) is out of BY order: it follows observation 5 (area=B).", "area"},
      // The same bytes a""b, quoted (a"b) and then plain (a""b, which sorts first).
      {"same bytes, other value", "id,area\n1,\"a\"\"b\"\n2,a\"\"b\n", {{"area", false}},
       ", line 3: observation 2 (area=a\"\"b) is out of BY order: it follows observation 1 (area=a\"b).", "area"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchFolder folder;
    const DataSetPtr data = open_csv(folder, "groups", c.bytes);
    ASSERT_NE(data, nullptr);
    std::string error;
    EXPECT_FALSE(set_by_variables(data.get(), c.by, false, &error));
    EXPECT_EQ(error, (folder.path() / "groups.csv").string() + c.problem + " Data set GROUPS must be sorted by " +
                         c.sorted_by + "; sort it, or use NOTSORTED to take each run of equal BY values as a group");
  }
}

TEST(ByGroups, UnknownOrRepeatedByVariableIsAnError) {
  ScratchFolder folder;
  const DataSetPtr data = open_csv(folder, "groups", "area,n\nA,1\n");
  ASSERT_NE(data, nullptr);
  const std::vector<ByVariable> unknown = {{"area", false}, {"region", false}};
  const std::vector<ByVariable> repeated = {{"area", false}, {"AREA", true}};
  std::string error;
  EXPECT_FALSE(set_by_variables(data.get(), unknown, false, &error));
  EXPECT_EQ(error, "BY variable region is not in data set GROUPS");
  EXPECT_FALSE(set_by_variables(data.get(), repeated, true, &error));
  EXPECT_EQ(error, "BY variable AREA is given twice");
  EXPECT_EQ(read_groups(data.get()), (std::vector<GroupRead>{{"", {"A"}}}));
}

// The empty line before group B is passed in every reading of group A,
// which ends where B's first observation starts.
TEST(ByGroups, RewindReadsTheCurrentGroupAgain) {
  ScratchFolder folder;
  const DataSetPtr data = open_with_by(folder, "id,area\n1,A\n2,A\n3,A\n\n4,B\n5,B\n", {{"area", false}}, false);
  ASSERT_NE(data, nullptr);
  FormattedReader reader(data.get());
  EXPECT_NE(services().rewind_group(data.get(), 66), 0);
  ASSERT_EQ(services().next_by_group(data.get()), 1);
  ASSERT_EQ(services().read_next(reader.reader()), 1);
  ASSERT_EQ(services().rewind_group(data.get(), 66), 0);
  EXPECT_EQ(reader.read_first_column(), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(services().read_next(reader.reader()), 0);
  ASSERT_EQ(services().rewind_group(data.get(), 66), 0);
  EXPECT_EQ(reader.read_first_column(), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_NE(services().rewind_group(data.get(), 65), 0);
  ASSERT_EQ(services().next_by_group(data.get()), 1);
  EXPECT_EQ(reader.read_first_column(), (std::vector<std::string>{"4", "5"}));
  ASSERT_EQ(services().rewind_group(data.get(), 66), 0);
  EXPECT_EQ(reader.read_first_column(), (std::vector<std::string>{"4", "5"}));
}

// Rows read again after a rewind come back whole whether they were kept
// from the first reading or, in a file too wide for that, scanned again.
TEST(ByGroups, RewindGivesBackEveryFieldOfNarrowAndWideRows) {
  for (const std::size_t width : {std::size_t{3}, RecordCache::kMaxFields + 2}) {
    SCOPED_TRACE(width);
    std::string bytes = "id,area";
    for (std::size_t c = 2; c < width; ++c) bytes.append(",u").append(std::to_string(c));
    bytes += '\n';
    std::vector<std::vector<std::string>> expected;
    for (int row = 0; row < 3; ++row) {
      std::vector<std::string> fields{std::string("i").append(std::to_string(row + 1)), "A"};
      for (std::size_t c = 2; c < width; ++c) {
        fields.push_back(std::string("r").append(std::to_string(row)).append("c").append(std::to_string(c)));
      }
      for (std::size_t c = 0; c < width; ++c) bytes.append(c > 0 ? "," : "").append(fields[c]);
      bytes += '\n';
      expected.push_back(fields);
    }
    ScratchFolder folder;
    const DataSetPtr data = open_with_by(folder, bytes, {{"area", false}}, false);
    ASSERT_NE(data, nullptr);
    FormattedReader reader(data.get());
    ASSERT_EQ(services().next_by_group(data.get()), 1);
    for (int pass = 0; pass < 2; ++pass) {
      SCOPED_TRACE(pass);
      EXPECT_EQ(reader.read_group(), expected);
      ASSERT_EQ(services().rewind_group(data.get(), 66), 0);
    }
  }
}

TEST(ByGroups, NextGroupSkipsWhatWasNotRead) {
  ScratchFolder folder;
  const DataSetPtr data =
      open_with_by(folder, "id,area\n1,A\n2,A\n3,B\n4,B\n5,C\n", {{"area", false}}, false);
  ASSERT_NE(data, nullptr);
  FormattedReader reader(data.get());
  ASSERT_EQ(services().next_by_group(data.get()), 1);
  ASSERT_EQ(services().read_next(reader.reader()), 1);
  ASSERT_EQ(services().next_by_group(data.get()), 1);
  EXPECT_EQ(by_text(data.get()), "area=B");
  ASSERT_EQ(services().next_by_group(data.get()), 1);
  EXPECT_EQ(reader.read_first_column(), (std::vector<std::string>{"5"}));
  EXPECT_EQ(services().next_by_group(data.get()), 0);
  EXPECT_EQ(services().read_next(reader.reader()), 0);
}

TEST(ByGroups, SettingByVariablesAgainStartsOver) {
  ScratchFolder folder;
  const DataSetPtr data = open_with_by(folder, "id,area\n1,A\n2,B\n", {{"area", false}}, false);
  ASSERT_NE(data, nullptr);
  ASSERT_EQ(services().next_by_group(data.get()), 1);
  ASSERT_EQ(services().next_by_group(data.get()), 1);
  std::string error;
  ASSERT_TRUE(set_by_variables(data.get(), {}, false, &error)) << error;
  EXPECT_EQ(read_groups(data.get()), (std::vector<GroupRead>{{"", {"1", "2"}}}));
}

}  // namespace
}  // namespace quilvar::runtime::datasets
