// The bad-input corpus. Each case is a folder under cases/ holding
// program.qv, the data files that differ from common/, and `expect`:
//
//   exit N             the exit status of the quilvar program
//   steps S...         the status of each step, in order (none: no step ran)
//   messages M...      every catalog warning and error issued, in order, as
//                      set-number (none: no warning or error)
//   log TEXT           a fragment the log holds (any number of these)
//
// A few cases too large to keep as files are generated below. Each case
// runs twice: through the built program with every destination (exit
// status, log, step statuses of the JSON document, and no partial or
// temporary file left behind), and in-process for the message numbers.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "in_process_run.hpp"

namespace {

namespace fs = std::filesystem;

struct Expectation {
  int exit_status = -1;
  std::vector<int> steps;
  std::vector<std::string> messages;
  std::vector<std::string> log;
};

struct Case {
  std::string name;
  fs::path folder;                                      // a case folder, or empty for a generated case
  std::function<void(const fs::path&)> generate;        // writes a generated case's files
  std::string expect;                                   // a generated case's expect text
};

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

Expectation parse_expect(const std::string& text) {
  Expectation e;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string key;
    words >> key;
    if (key == "exit") {
      words >> e.exit_status;
    } else if (key == "steps") {
      for (int s; words >> s;) e.steps.push_back(s);
    } else if (key == "messages") {
      for (std::string m; words >> m;) e.messages.push_back(m);
    } else if (key == "log") {
      e.log.push_back(line.substr(line.find_first_not_of(' ', 3)));
    } else {
      ADD_FAILURE() << "unknown expect line: " << line;
    }
  }
  return e;
}

std::string join(const std::vector<std::string>& items) {
  std::string all;
  for (const auto& item : items) all += (all.empty() ? "" : " ") + item;
  return all;
}

std::string join(const std::vector<int>& items) {
  std::vector<std::string> texts;
  for (int item : items) texts.push_back(std::to_string(item));
  return join(texts);
}

const fs::path kCorpus = QUILVAR_BAD_INPUT_DIR;

// A statement-heavy program: 9,995 TITLE statements and a five-statement step.
void generate_many_statements(const fs::path& folder) {
  std::string program;
  for (int i = 0; i < 9995; ++i) program += "title 'Title " + std::to_string(i) + "';\n";
  program +=
      "proc quilvar data=pop refdata=ref method=direct;\n  population event=deaths total=persons;\n"
      "  reference total=std_pop;\n  strata agegroup;\nrun;\n";
  write_file(folder / "program.qv", program);
}

// A population file whose one character field is 10 MB long.
void generate_huge_field(const fs::path& folder) {
  std::string data = "agegroup,deaths,persons,note\n";
  data += "00-14,5,1000," + std::string(10 * 1024 * 1024, 'x') + "\n15-64,30,2000,y\n65+,90,800,z\n";
  write_file(folder / "pop.csv", data);
  write_file(folder / "program.qv",
             "proc quilvar data=pop refdata=ref method=direct;\n  population event=deaths total=persons;\n"
             "  reference total=std_pop;\n  strata agegroup;\nrun;\n");
}

// A 10 MB field used as a stratum value: longer than any character variable may be.
void generate_huge_stratum(const fs::path& folder) {
  std::string data = "agegroup,deaths,persons\n";
  data += std::string(10 * 1024 * 1024, 'a') + ",5,1000\n15-64,30,2000\n";
  write_file(folder / "pop.csv", data);
  write_file(folder / "program.qv",
             "proc quilvar data=pop refdata=ref method=direct;\n  population event=deaths total=persons;\n"
             "  reference total=std_pop;\n  strata agegroup;\nrun;\n");
}

std::vector<Case> all_cases() {
  std::vector<Case> cases;
  for (const auto& entry : fs::directory_iterator(kCorpus / "cases")) {
    if (entry.is_directory()) cases.push_back({entry.path().filename().string(), entry.path(), nullptr, ""});
  }
  cases.push_back({"generated_many_statements", {}, generate_many_statements, "exit 0\nsteps 0\nmessages\n"});
  cases.push_back({"generated_huge_field", {}, generate_huge_field,
                   "exit 1\nsteps 3000\nmessages\nlog field 4 (note): value of 10485760 bytes is longer than the limit\n"});
  cases.push_back({"generated_huge_stratum", {}, generate_huge_stratum,
                   "exit 1\nsteps 3000\nmessages\nlog field 1 (agegroup): value of 10485760 bytes is longer than the limit\n"});
  std::sort(cases.begin(), cases.end(), [](const Case& a, const Case& b) { return a.name < b.name; });
  return cases;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class BadInput : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("quilvar-bad-" + std::to_string(::getpid()) + "-" + GetParam().name);
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "out");
    for (const auto& entry : fs::directory_iterator(kCorpus / "common")) fs::copy(entry.path(), folder_);
    const Case& c = GetParam();
    if (c.generate) {
      c.generate(folder_);
      expect_ = parse_expect(c.expect);
    } else {
      for (const auto& entry : fs::directory_iterator(c.folder)) {
        if (entry.path().filename() != "expect") {
          fs::copy(entry.path(), folder_ / entry.path().filename(), fs::copy_options::overwrite_existing |
                                                                          fs::copy_options::recursive);
        }
      }
      expect_ = parse_expect(read_file(c.folder / "expect"));
    }
  }
  void TearDown() override { fs::remove_all(folder_); }

  // Runs the program with every destination; returns the exit status, -1
  // for a crash and 124 for a run stopped by the time limit.
  int run_program() {
    const std::string command = "cd '" + folder_.string() + "' && timeout -k 10 300 " + QUILVAR_EXECUTABLE +
                                " program.qv --json out/out.json --log out/log.txt --csv out/csv"
                                " --html out/report.html --plots out/plots > out/listing.txt 2> out/stderr.txt";
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }

  // No temporary file is left, and every written file is complete.
  void check_output_files() {
    for (const auto& entry : fs::recursive_directory_iterator(folder_ / "out")) {
      const std::string name = entry.path().filename().string();
      EXPECT_FALSE(name.ends_with(".tmp")) << "left behind: " << entry.path();
      if (!entry.is_regular_file()) continue;
      const std::string content = read_file(entry.path());
      if (name.ends_with(".csv")) {
        EXPECT_TRUE(!content.empty() && content.back() == '\n') << "incomplete " << name;
      } else if (name == "report.html") {
        EXPECT_NE(content.find("</html>"), std::string::npos) << "incomplete report";
      } else if (name.ends_with(".svg")) {
        EXPECT_NE(content.find("</svg>"), std::string::npos) << "incomplete " << name;
      }
    }
  }

  fs::path folder_;
  Expectation expect_;
};

TEST_P(BadInput, EndsWithTheExpectedMessagesAndStatuses) {
  const int exit_status = run_program();
  const std::string log = read_file(folder_ / "out/log.txt") + read_file(folder_ / "out/stderr.txt");
  EXPECT_EQ(exit_status, expect_.exit_status) << "log:\n" << log;
  for (const auto& fragment : expect_.log) EXPECT_NE(log.find(fragment), std::string::npos) << fragment << "\nlog:\n" << log;

  const fs::path json_path = folder_ / "out/out.json";
  if (exit_status == 0 || exit_status == 1) {
    ASSERT_TRUE(fs::exists(json_path)) << "no JSON document; log:\n" << log;
  }
  if (fs::exists(json_path)) {
    const auto document = nlohmann::json::parse(read_file(json_path), nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << "the JSON document does not parse";
    std::vector<int> statuses;
    for (const auto& step : document["steps"]) statuses.push_back(step["status"].get<int>());
    EXPECT_EQ(join(statuses), join(expect_.steps)) << "JSON step statuses; log:\n" << log;
  }
  check_output_files();

  const std::string program = read_file(folder_ / "program.qv");
  const quilvar::testing::InProcessRun run = quilvar::testing::run_in_process(program, folder_);
  EXPECT_EQ(join(run.step_statuses), join(expect_.steps)) << "in-process step statuses; log:\n" << run.log;
  EXPECT_EQ(join(run.messages), join(expect_.messages)) << "messages; log:\n" << run.log;
}

INSTANTIATE_TEST_SUITE_P(Corpus, BadInput, ::testing::ValuesIn(all_cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// BY groups that end before their estimates (no reference group matches
// theirs) hand their strata on to the next groups, as groups that are
// computed do: the step's memory does not grow with the number of groups.
TEST(BadInputMemory, ByGroupsWithoutReferenceDataKeepNoStrataBehind) {
  const fs::path folder = fs::temp_directory_path() / ("quilvar-bad-memory-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  std::string population = "area,agegroup,deaths,persons\n";
  std::string all_areas = "area,agegroup,std_pop\n";
  for (int area = 1; area <= 400; ++area) {
    for (int age = 0; age < 18; ++age) {
      const std::string key = std::to_string(area) + ",a" + std::to_string(10 + age);
      population += key + ",3,1000\n";
      all_areas += key + ",5000\n";
    }
  }
  write_file(folder / "pop.csv", population);
  write_file(folder / "all_areas.csv", all_areas);
  write_file(folder / "no_area.csv", "area,agegroup,std_pop\n0,a10,5000\n");
  const auto run = [&folder](const std::string& reference) {
    return quilvar::testing::run_in_process("proc quilvar data=pop refdata=" + reference +
                                                " method=direct;\n  population event=deaths total=persons;\n"
                                                "  reference total=std_pop;\n  strata agegroup;\n  by area;\nrun;\n",
                                            folder);
  };
  const quilvar::testing::InProcessRun matched = run("all_areas");
  const quilvar::testing::InProcessRun unmatched = run("no_area");
  fs::remove_all(folder);
  ASSERT_EQ(join(matched.step_statuses), "0");
  ASSERT_EQ(join(unmatched.step_statuses), "1008");
  EXPECT_LE(unmatched.pool_blocks.at(0), matched.pool_blocks.at(0) + 1);
}

}  // namespace
