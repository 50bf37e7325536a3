// Matching a reference data set to the population's BY groups: by value in
// an unsorted reference, across value types, on the BY variables the
// reference holds, and whole when it holds none of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <span>

#include "runtime/datasets/data_set.hpp"
#include "runtime/datasets/data_set_fixture.hpp"

namespace quilvar::runtime::datasets {
namespace {

using testing::DataSetPtr;
using testing::FormattedReader;
using testing::ScratchFolder;

const host::DataSetServices& services() { return data_set_services(); }

struct Pair {
  DataSetPtr population;
  DataSetPtr reference;
};

Pair open_pair(const ScratchFolder& folder, const std::string& population, const std::string& reference,
               std::vector<ByVariable> by) {
  Pair pair{open_csv(folder, "pop", population), open_csv(folder, "ref", reference)};
  std::string error;
  if (pair.population) {
    EXPECT_TRUE(set_by_variables(pair.population.get(), by, false, &error)) << error;
  }
  return pair;
}

// Per population group: the match status and the reference rows it gives.
struct Match {
  int status;
  std::vector<std::string> rows;
  bool operator==(const Match&) const = default;
};

void PrintTo(const Match& match, std::ostream* out) {
  *out << match.status << ":";
  for (const std::string& row : match.rows) *out << " " << row;
}

std::vector<Match> match_each_group(const Pair& pair) {
  FormattedReader reader(pair.reference.get());
  std::vector<Match> matches;
  while (services().next_by_group(pair.population.get()) == 1) {
    const int status = services().match_by_group(pair.population.get(), pair.reference.get());
    matches.push_back({status, reader.read_first_column()});
  }
  return matches;
}

TEST(ReferenceMatch, GroupsAreMatchedByValue) {
  const struct {
    const char* label;
    std::string population;
    std::string reference;
    std::vector<ByVariable> by;
    std::vector<Match> matches;
  } cases[] = {
      {"unsorted reference with scattered rows", "area,n\nA,1\nB,2\nD,3\n",
       "id,area\nr1,B\nr2,A\nr3,B\nr4,C\nr5,A\nr6,A\n", {{"area", false}},
       {{0, {"r2", "r5", "r6"}}, {0, {"r1", "r3"}}, {1, {}}}},
      {"character values ignore trailing blanks and case counts", "area,n\nB,2\na,1\n",
       "id,area\nr1,\"B  \"\nr2,A\n", {{"area", false}}, {{0, {"r1"}}, {1, {}}}},
      {"two variables with missing values", "a,k,n\nx,.,1\nx,2,1\ny,.,1\n",
       "id,k,a\nr1,2,x\nr2,.,y\nr3,.,x\nr4,.A,x\n", {{"a", false}, {"k", false}},
       {{0, {"r3"}}, {0, {"r1"}}, {0, {"r2"}}}},
      {"number against character", "k,n\n1,1\n2.5,1\n", "id,k\nr1,2.5\nr2,1\nr3,x\n", {{"k", false}},
       {{0, {"r2"}}, {0, {"r1"}}}},
      {"character against number", "k,n\n01,1\n1,1\nx,1\n", "id,k\nr1,1\nr2,3\n", {{"k", false}},
       {{0, {"r1"}}, {0, {"r1"}}, {1, {}}}},
      {"reference lacks the second by variable", "a,b\nx,1\ny,2\n", "id,a\nr1,y\nr2,x\n",
       {{"a", false}, {"b", false}}, {{0, {"r2"}}, {0, {"r1"}}}},
      {"reference lacks the first by variable", "a,b\nx,1\nx,2\ny,1\n", "id,b\nr1,1\nr2,2\nr3,1\n",
       {{"a", false}, {"b", false}}, {{0, {"r1", "r3"}}, {0, {"r2"}}, {0, {"r1", "r3"}}}},
      {"reference lacks every by variable", "a,b\nx,1\ny,2\n", "id,c\nr1,y\nr2,x\n",
       {{"a", false}, {"b", false}}, {{0, {"r1", "r2"}}, {0, {"r1", "r2"}}}},
      {"population without by variables", "a\nx\ny\n", "id,a\nr1,y\nr2,x\n", {}, {{0, {"r1", "r2"}}}},
      {"empty reference", "a\nx\n", "id,a\n", {{"a", false}}, {{1, {}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchFolder folder;
    const Pair pair = open_pair(folder, c.population, c.reference, c.by);
    ASSERT_NE(pair.population, nullptr);
    ASSERT_NE(pair.reference, nullptr);
    EXPECT_EQ(match_each_group(pair), c.matches);
  }
}

// A sorted reference is streamed, any other indexed, and a lookup the
// stream cannot answer (a group before the last one matched, or none)
// falls back to the index: whichever way, every population group gets the
// reference rows holding its value, in file order.
TEST(ReferenceMatch, StreamedAndIndexedReferencesGiveTheSameRows) {
  std::mt19937 random(20261208);
  const std::vector<std::string> values{".", "1", "2", "3", "4", "5"};
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    std::vector<int> keys(1 + random() % 12);
    for (int& key : keys) key = static_cast<int>(random() % values.size());
    if (round % 2 == 0) std::sort(keys.begin(), keys.end());  // "." sorts first, as a missing value does
    std::string reference = "id,k\n";
    for (std::size_t r = 0; r < keys.size(); ++r) {
      reference.append("r").append(std::to_string(r)).append(",").append(values[keys[r]]).append("\n");
    }
    // Groups in any order, some values absent from the reference ("6").
    std::string population = "k,n\n";
    std::vector<Match> expected;
    int previous = -1;
    for (int g = 0; g < 8; ++g) {
      int value = static_cast<int>(random() % (values.size() + 1));
      if (round % 4 < 2) value = std::max(value, previous);  // mostly in the reference's order
      if (value == previous) continue;                       // equal neighbours would make one group
      previous = value;
      population.append(value < static_cast<int>(values.size()) ? values[value] : "6").append(",1\n");
      Match match{1, {}};
      for (std::size_t r = 0; r < keys.size(); ++r) {
        if (keys[r] == value) match.rows.push_back(std::string("r").append(std::to_string(r)));
      }
      if (!match.rows.empty()) match.status = 0;
      expected.push_back(match);
    }
    ScratchFolder folder;
    Pair pair{open_csv(folder, "pop", population), open_csv(folder, "ref", reference)};
    ASSERT_NE(pair.population, nullptr);
    ASSERT_NE(pair.reference, nullptr);
    std::string error;
    const ByVariable by{"k", false};
    ASSERT_TRUE(set_by_variables(pair.population.get(), std::span(&by, 1), true, &error)) << error;
    EXPECT_EQ(match_each_group(pair), expected) << reference << population;
    // A sorted reference met in its own order, every group found, is never indexed.
    const ReferenceIndex* index = state_of(pair.reference.get())->reference_index.get();
    const bool all_found = std::all_of(expected.begin(), expected.end(), [](const Match& m) { return m.status == 0; });
    if (round % 4 == 0 && all_found && index != nullptr) {
      EXPECT_TRUE(index->streamed);
      EXPECT_TRUE(index->ranges.empty());
    }
  }
}

TEST(ReferenceMatch, RewindReadsTheMatchedRowsAgain) {
  ScratchFolder folder;
  const Pair pair = open_pair(folder, "area,n\nA,1\n", "id,area\nr1,A\nr2,B\nr3,A\n", {{"area", false}});
  ASSERT_NE(pair.reference, nullptr);
  FormattedReader reader(pair.reference.get());
  ASSERT_EQ(services().next_by_group(pair.population.get()), 1);
  ASSERT_EQ(services().match_by_group(pair.population.get(), pair.reference.get()), 0);
  EXPECT_EQ(reader.read_first_column(), (std::vector<std::string>{"r1", "r3"}));
  ASSERT_EQ(services().rewind_group(pair.reference.get(), 66), 0);
  EXPECT_EQ(reader.read_first_column(), (std::vector<std::string>{"r1", "r3"}));
}

TEST(ReferenceMatch, NeedsAPositionedPopulation) {
  ScratchFolder folder;
  const Pair pair = open_pair(folder, "area,n\nA,1\n", "id,area\nr1,A\n", {{"area", false}});
  ASSERT_NE(pair.reference, nullptr);
  std::vector<std::string> messages;
  set_error_sink(pair.reference.get(), [](void* context, std::string_view message) {
    static_cast<std::vector<std::string>*>(context)->emplace_back(message);
  }, &messages);
  EXPECT_EQ(services().match_by_group(pair.population.get(), pair.reference.get()), 2);
  EXPECT_EQ(messages, std::vector<std::string>{"data set POP is not positioned on a BY group to match"});
}

TEST(ReferenceMatch, SameFileOpenedTwiceServesBothSides) {
  ScratchFolder folder;
  folder.write("both.csv", "area,deaths,ref_deaths\nA,1,10\nA,2,20\nB,3,30\n");
  std::string error;
  const DataSetPtr population(open_data_set(folder.libraries(), "both", false, &error));
  const DataSetPtr reference(open_data_set(folder.libraries(), "both", false, &error));
  ASSERT_NE(population, nullptr);
  ASSERT_NE(reference, nullptr);
  EXPECT_NE(population.get(), reference.get());
  const ByVariable by[] = {{"area", false}};
  ASSERT_TRUE(set_by_variables(population.get(), by, false, &error)) << error;
  FormattedReader population_reader(population.get());
  FormattedReader reference_reader(reference.get());
  std::vector<std::string> seen;
  while (services().next_by_group(population.get()) == 1) {
    for (const auto& row : population_reader.read_group()) seen.push_back(FormattedReader::trim(row[1]));
    ASSERT_EQ(services().match_by_group(population.get(), reference.get()), 0);
    for (const auto& row : reference_reader.read_group()) seen.push_back(FormattedReader::trim(row[2]));
    ASSERT_EQ(services().rewind_group(population.get(), 66), 0);
    seen.push_back(std::to_string(population_reader.read_group().size()));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1", "2", "10", "20", "2", "3", "30", "1"}));
}

}  // namespace
}  // namespace quilvar::runtime::datasets
