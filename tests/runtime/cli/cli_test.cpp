// End-to-end runs of the quilvar program on small programs and data sets.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <random>
#include <sstream>
#include <string>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/resident_memory.hpp"
#include "support/run_as.hpp"

namespace {

namespace fs = std::filesystem;

constexpr const char* kPopulation =
    "year,area,age,deaths,persons\n"
    "2020,A,young,10,1000\n2020,A,old,40,500\n2020,B,young,12,2000\n2020,B,old,30,400\n"
    "2021,A,young,8,1000\n2021,A,old,35,520\n2021,B,young,15,2100\n2021,B,old,28,380\n";
constexpr const char* kReference = "age,std_pop,ref_deaths\nyoung,6000,30\nold,2000,120\n";

struct RunResult {
  int exit_status = -1;
  std::string listing;
  std::string log;
  nlohmann::json json;
};

class QuilvarRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    folder_ = fs::temp_directory_path() / ("quilvar-cli-" + std::to_string(random()));
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  void write(const std::string& name, const std::string& content) { std::ofstream(folder_ / name) << content; }
  std::string read(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  // Runs the program text with JSON output and the log in a file.
  RunResult run(const std::string& program, const std::string& extra = "") {
    write("program.qv", program);
    const fs::path json = folder_ / "out.json";
    fs::remove(json);
    const std::string command = std::string(QUILVAR_EXECUTABLE) + " " + (folder_ / "program.qv").string() +
                                " --json " + json.string() + " --log " + (folder_ / "log.txt").string() + " " +
                                extra + " > " + (folder_ / "listing.txt").string() + " 2>&1";
    RunResult result;
    const int raw = std::system(command.c_str());
    result.exit_status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.listing = read(folder_ / "listing.txt");
    result.log = read(folder_ / "log.txt");
    if (fs::exists(json)) result.json = nlohmann::json::parse(read(json));
    return result;
  }

  // The rows of output `name` in step `step`, over all BY groups.
  static std::vector<nlohmann::json> outputs(const RunResult& r, int step, const std::string& name) {
    std::vector<nlohmann::json> found;
    for (const auto& o : r.json["steps"][step]["outputs"]) {
      if (o["name"] == name) found.push_back(o);
    }
    return found;
  }
  // The position of the column in the output's rows; fails the test and
  // gives -1 when there is none.
  static int column_index(const nlohmann::json& output, const std::string& column) {
    const auto& columns = output["columns"];
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (columns[i]["name"] == column) return static_cast<int>(i);
    }
    ADD_FAILURE() << "no column " << column;
    return -1;
  }
  static double cell(const nlohmann::json& output, std::size_t row, const std::string& column) {
    const int i = column_index(output, column);
    return i < 0 ? 0 : output["rows"][row][static_cast<std::size_t>(i)].get<double>();
  }
  // Whether the cell holds a value (a missing value is null).
  static bool present_cell(const nlohmann::json& output, std::size_t row, const std::string& column) {
    const int i = column_index(output, column);
    return i >= 0 && !output["rows"][row][static_cast<std::size_t>(i)].is_null();
  }

  // Runs program.qv in the test's folder with the arguments (paths relative
  // to the folder), standard output and error going to stdout.txt and
  // stderr.txt there; returns the exit status.
  int run_in_folder(const std::string& arguments) {
    const std::string command = "cd " + folder_.string() + " && " + QUILVAR_EXECUTABLE + " program.qv " +
                                arguments + " > stdout.txt 2> stderr.txt";
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }

  // Runs quilvar with the arguments alone in the test's folder, as
  // run_in_folder does.
  int run_in_folder_without_program(const std::string& arguments) {
    const std::string command = "cd " + folder_.string() + " && " + QUILVAR_EXECUTABLE + " " + arguments +
                                " > stdout.txt 2> stderr.txt";
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }

  // Writes the population data, with its row starting `row` started
  // `replacement` instead, and the reference; returns a step of direct
  // standardization by year over them.
  std::string write_by_year_step(const std::string& row, const std::string& replacement) {
    std::string population = kPopulation;
    population.replace(population.find(row), row.size(), replacement);
    write("pop.csv", population);
    write("ref.csv", kReference);
    return "proc quilvar data=pop refdata=ref method=direct; population event=deaths total=persons; "
           "reference total=std_pop; strata age; by year;\nrun;\n";
  }

  // A program of direct standardization BY area, with its data of `areas`
  // areas of two age groups.
  void write_areas(int areas) {
    std::ostringstream population;
    population << "area,age,deaths,persons\n";
    for (int area = 0; area < areas; ++area) {
      for (const char* age : {"young", "old"}) population << area << ',' << age << ",20,1000\n";
    }
    write("pop.csv", population.str());
    write("ref.csv", kReference);
    write("program.qv", "proc quilvar data=pop refdata=ref method=direct; population event=deaths total=persons; "
                        "reference total=std_pop; strata age / stats; by area;\nrun;\n");
  }

  // Starts quilvar on program.qv in the test's folder with `--no-listing
  // OPTION -` (the listing alone when `option` is null), its standard output on `out` (closed when -1) and standard
  // error on `err`, as the user nobody when `unprivileged`, and with the
  // environment's TMPDIR set to `tmpdir` when given.
  pid_t start_program(int out, int err, bool unprivileged, const char* option, const char* tmpdir = nullptr) {
    const pid_t child = fork();
    if (child != 0) return child;
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
    } else {
      close(STDOUT_FILENO);
    }
    dup2(err, STDERR_FILENO);
    if (tmpdir != nullptr) setenv("TMPDIR", tmpdir, 1);
    if (child_stack_limit_ != 0) {
      const struct rlimit stack {child_stack_limit_, child_stack_limit_};
      setrlimit(RLIMIT_STACK, &stack);
    }
    if (unprivileged && geteuid() == 0 && setuid(quilvar::testing::kNobody) != 0) _exit(126);
    if (chdir(folder_.c_str()) != 0) _exit(126);
    if (option == nullptr) execl(QUILVAR_EXECUTABLE, QUILVAR_EXECUTABLE, "program.qv", nullptr);
    execl(QUILVAR_EXECUTABLE, QUILVAR_EXECUTABLE, "program.qv", "--no-listing", option, "-", nullptr);
    _exit(127);
  }

  // A run of start_program whose standard output is a pipe the test reads
  // to its end (after `delay` microseconds), standard error going to
  // stderr.txt: its exit status (-1 when it did not exit) and output.
  struct PipedRun {
    int exit_status = -1;
    std::string output;
    long peak_kb = 0;  // its resident memory at the most
  };
  // `watch`, when given, is called with the run's process id until the
  // pipe has text.
  PipedRun run_into_pipe(const char* option, bool unprivileged = false, const char* tmpdir = nullptr,
                         int pipe_flags = 0, useconds_t delay = 0,
                         const std::function<void(pid_t)>& watch = nullptr) {
    PipedRun run;
    int ends[2];
    if (pipe(ends) != 0) return run;
    fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | pipe_flags);
    const int errors = open((folder_ / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t child = start_program(ends[1], errors, unprivileged, option, tmpdir);
    close(ends[1]);
    close(errors);
    if (delay > 0) usleep(delay);
    for (pollfd ready{ends[0], POLLIN, 0}; watch && poll(&ready, 1, 1) == 0;) watch(child);
    char block[65536];
    for (ssize_t n; (n = ::read(ends[0], block, sizeof block)) > 0;) {
      run.output.append(block, static_cast<std::size_t>(n));
    }
    close(ends[0]);
    int status = 0;
    struct rusage usage {};
    if (wait4(child, &status, 0, &usage) == child && WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
    run.peak_kb = usage.ru_maxrss;
    return run;
  }

  fs::path folder_;
  rlim_t child_stack_limit_ = 0;  // the stack limit start_program sets, when not 0
};

TEST_F(QuilvarRun, ReadsEachByGroupIntoStrataWithCrudeRates) {
  write("pop.csv", kPopulation);
  write("ref.csv", kReference);
  const RunResult r = run(
      "proc quilvar data=pop refdata=ref method=direct plots=none;\n"
      "  population group=area event=deaths total=persons;\n  reference total=std_pop;\n"
      "  strata age / stats(cl=poisson);\n  by year;\nrun;\n");
  ASSERT_EQ(r.exit_status, 0) << r.listing << r.log;
  const auto tables = outputs(r, 0, "StrataStats");
  ASSERT_EQ(tables.size(), 2u);  // one per BY group
  const auto& first = tables[0];
  ASSERT_EQ(first["rows"].size(), 4u);  // 2 populations x 2 strata, first population first
  EXPECT_EQ(first["by"][0]["value"], 2020);
  // INTERNAL order sorts "old" before "young".
  EXPECT_DOUBLE_EQ(cell(first, 0, "CrudeRate"), 40.0 / 500 * 100000);
  EXPECT_DOUBLE_EQ(cell(first, 1, "ObservedEvents"), 10);
  EXPECT_DOUBLE_EQ(cell(first, 2, "PopTime"), 400);
  EXPECT_DOUBLE_EQ(cell(first, 0, "ExpectedEvents"), 0.08 * 2000);
  EXPECT_DOUBLE_EQ(cell(first, 0, "RefPopTimeProp"), 0.25);
  EXPECT_NEAR(cell(first, 1, "LowerCL"), 4.795389 / 1000 * 100000, 1e-3);  // exact limits of 10 events
  const auto info = outputs(r, 0, "StdInfo");
  ASSERT_EQ(info.size(), 2u);
}

// One table holding the study counts and the reference counts as different
// columns is a common layout: naming it as both data sets, in either
// spelling, reads it twice and gives the numbers two files give.
TEST_F(QuilvarRun, OneFileServesAsPopulationAndReference) {
  write("both.csv", "age,deaths,persons,std_pop\nyoung,10,1000,6000\nold,40,500,2000\n");
  write("pop.csv", "age,deaths,persons\nyoung,10,1000\nold,40,500\n");
  write("ref.csv", "age,std_pop\nyoung,6000\nold,2000\n");
  const std::string rest =
      " method=direct plots=none;\n  population event=deaths total=persons;\n"
      "  reference total=std_pop;\n  strata age;\nrun;\n";
  const RunResult apart = run("proc quilvar data=pop refdata=ref" + rest);
  ASSERT_EQ(apart.exit_status, 0) << apart.log;
  const double expected = cell(outputs(apart, 0, "Quilvar").at(0), 0, "Quilvar");
  EXPECT_DOUBLE_EQ(expected, (10.0 / 1000 * 6000 + 40.0 / 500 * 2000) / 8000 * 100000);
  for (const std::string refdata : {"both", "'both.csv'"}) {
    const RunResult one = run("proc quilvar data=both refdata=" + refdata + rest);
    ASSERT_EQ(one.exit_status, 0) << refdata << "\n" << one.log;
    EXPECT_EQ(one.log.find("ERROR"), std::string::npos) << one.log;
    EXPECT_DOUBLE_EQ(cell(outputs(one, 0, "Quilvar").at(0), 0, "Quilvar"), expected) << refdata;
  }
  // What is said of the file when it is opened is said once, however it
  // is named.
  write("both.csv", "age,deaths,persons,std_pop\n");
  for (const std::string refdata : {"both", "'./both.csv'"}) {
    const RunResult empty = run("proc quilvar data=both refdata=" + refdata + rest);
    const std::string warning = "has no observations";
    const std::size_t first = empty.log.find(warning);
    ASSERT_NE(first, std::string::npos) << empty.log;
    EXPECT_EQ(empty.log.find(warning, first + 1), std::string::npos) << refdata << "\n" << empty.log;
  }
}

TEST_F(QuilvarRun, AccumulatesRepeatedStrataAndDerivesTheThirdValue) {
  write("pop.csv", "age,deaths,persons,rate\n1,2,100,2000\n1,3,200,1500\n2,.,1000,200\n");
  write("ref.csv", "age,std_pop\n1,500\n2,500\n");
  const RunResult r = run(
      "proc quilvar data=pop refdata=ref method=direct plots=none;\n"
      "  population event=deaths total=persons;\n  reference total=std_pop;\n  strata age / stats;\nrun;\n"
      "proc quilvar data=pop refdata=ref method=direct plots=none;\n"
      "  population rate=rate total=persons;\n  reference total=std_pop;\n  strata age / stats;\nrun;\n");
  ASSERT_EQ(r.exit_status, 1) << r.log;  // the first step misses the events of stratum 2
  EXPECT_NE(r.log.find("ERROR"), std::string::npos);
  const auto second = outputs(r, 1, "StrataStats");
  ASSERT_EQ(second.size(), 1u);
  EXPECT_DOUBLE_EQ(cell(second[0], 0, "ObservedEvents"), 5);   // 100 x 0.02 + 200 x 0.015, accumulated
  EXPECT_DOUBLE_EQ(cell(second[0], 0, "PopTime"), 300);
  EXPECT_DOUBLE_EQ(cell(second[0], 1, "ObservedEvents"), 2);   // 1000 x 200 / 100000
}

// Under INDIRECT the observed count sums the strata's counts: a count left
// blank beside its rate and population (all three named) is derived from
// them; one left blank in one of a stratum's two rows leaves the stratum's
// count unknown, and the BY group ends rather than compare part of its
// events with all of its population.
TEST_F(QuilvarRun, IndirectCountsAreWholeOrTheByGroupEnds) {
  write("ref.csv", "age,D,N\n1,10,10000\n2,40,20000\n");
  const std::string step = "proc quilvar data=pop refdata=ref method=indirect plots=none; population event=d "
                           "total=n rate(mult=1)=r; reference event=D total=N; strata age;\nrun;\n";
  write("pop.csv", "age,d,n,r\n1,30,10000,.\n2,.,2000,0.004\n");
  RunResult r = run(step);
  ASSERT_EQ(r.exit_status, 0) << r.log;
  const auto smr = outputs(r, 0, "Smr");
  ASSERT_EQ(smr.size(), 1u);
  EXPECT_DOUBLE_EQ(cell(smr[0], 0, "ObservedEvents"), 38);  // 30 + 2000 x 0.004
  EXPECT_DOUBLE_EQ(cell(smr[0], 0, "ExpectedEvents"), 14);  // 10000 x 0.001 + 2000 x 0.002
  write("pop.csv", "age,d,n,r\n1,30,10000,.\n2,5,1000,.\n2,.,1000,.\n");
  r = run(step);
  EXPECT_EQ(r.exit_status, 1) << r.log;
  EXPECT_NE(r.log.find("The crude rate of stratum age=2 is missing"), std::string::npos) << r.log;
  EXPECT_TRUE(outputs(r, 0, "Smr").empty());
}

// A row whose population is blank (one sex's population of an age group not
// stated) leaves its stratum's population unknown, in the study population
// and in the reference alike: summed over the other rows it would set all of
// the stratum's events against part of its population (a crude rate and SMR
// too high), or give the stratum too small a standard weight. The BY group
// ends as a missing value instead; the other BY group, whose rows are
// whole, is computed.
TEST_F(QuilvarRun, PopulationBlankInSomeRowsOfAStratumEndsTheByGroup) {
  const std::string whole_population = "area,age,sex,d,n\nA,1,F,3,1000\nA,1,M,2,1000\nA,2,F,4,1000\nA,2,M,6,1000\n";
  const std::string whole_reference = "age,sex,D,N\n1,F,5,10000\n1,M,5,10000\n2,F,20,10000\n2,M,20,10000\n";
  const std::string part_population = "area,age,sex,d,n\nA,1,F,3,1000\nA,1,M,2,1000\nA,2,F,4,.\nA,2,M,6,1000\n";
  const std::string part_reference = "area,age,sex,D,N\nA,1,F,5,10000\nA,1,M,5,10000\nA,2,F,20,.\nA,2,M,20,10000\n";
  const std::string area_b = "B,1,F,3,1000\nB,1,M,2,1000\nB,2,F,4,1000\nB,2,M,6,1000\n";
  const std::string reference_b = "B,1,F,5,10000\nB,1,M,5,10000\nB,2,F,20,10000\nB,2,M,20,10000\n";
  struct Case {
    const char* name;
    const char* method;
    const char* reference_statement;
    bool blank_in_reference;
    const char* table;
    const char* message;
  };
  const Case cases[] = {
      {"study population, direct", "direct", "total=N", false, "Quilvar",
       "The crude rate of stratum age=2 is missing"},
      {"study population, indirect", "indirect", "event=D total=N", false, "Smr",
       "The population total of stratum age=2 is missing"},
      {"reference, direct", "direct", "total=N", true, "Quilvar",
       "The reference population total of stratum age=2 is missing"},
      {"reference, indirect", "indirect", "event=D total=N", true, "Smr",
       "The reference rate of stratum age=2 is missing"},
      {"reference, indirect, risks", "indirect stat=risk", "event=D total=N", true, "Smr",
       "The reference risk of stratum age=2 is missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write("pop.csv", (c.blank_in_reference ? whole_population : part_population) + area_b);
    // A reference blank in area A's rows only: matched to each BY group by area.
    write("ref.csv", c.blank_in_reference ? part_reference + reference_b : whole_reference);
    const RunResult r = run(std::string("proc quilvar data=pop refdata=ref method=") + c.method +
                            " plots=none; population event=d total=n; reference " + c.reference_statement +
                            "; strata age; by area;\nrun;\n");
    EXPECT_EQ(r.exit_status, 1) << r.log;
    EXPECT_NE(r.log.find(c.message), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("BY group area=A"), std::string::npos) << r.log;
    const auto rows = outputs(r, 0, c.table);
    EXPECT_EQ(rows.size(), 1u);
    if (!rows.empty()) {
      EXPECT_EQ(rows[0]["by"][0]["value"], "B");
    }
  }
}

// With a rate named too, the rate kept for a stratum is one row's: a stratum
// whose rows leave part of its population blank (a row of 0 events, where
// no population can be derived from the rate) has no rate either, where the
// first row's 0 was used. Rates given alone, in no row with a population,
// still give the stratum its first row's rate.
TEST_F(QuilvarRun, RatesOfAStratumOfSeveralRows) {
  write("ref.csv", "age,N\n1,10000\n2,10000\n");
  const std::string step =
      "proc quilvar data=pop refdata=ref method=direct plots=none; population %s; reference total=N; strata age;\n"
      "run;\n";
  const auto with = [&](const char* population) {
    std::string text = step;
    text.replace(text.find("%s"), 2, population);
    return run(text);
  };
  write("pop.csv", "age,sex,d,n,r\n1,F,3,1000,300\n1,M,2,1000,200\n2,F,0,.,0\n2,M,6,1000,600\n");
  RunResult r = with("event=d total=n rate=r");
  EXPECT_EQ(r.exit_status, 1) << r.log;
  EXPECT_NE(r.log.find("The crude rate of stratum age=2 is missing"), std::string::npos) << r.log;
  EXPECT_TRUE(outputs(r, 0, "Quilvar").empty());

  // Rates alone cannot be added: the first stands for the stratum, and the
  // log says so when the rows' rates differ (not when they agree).
  r = with("rate=r");
  EXPECT_EQ(r.exit_status, 0) << r.log;
  EXPECT_DOUBLE_EQ(cell(outputs(r, 0, "Quilvar").at(0), 0, "Quilvar"), (300.0 + 0) / 2);
  EXPECT_NE(r.log.find("Observations of stratum age=1 in the POPULATION data give different RATE= values and no "
                       "event counts and populations to combine them; the first of them stands"),
            std::string::npos)
      << r.log;
  write("pop.csv", "age,sex,r\n1,F,300\n1,M,300\n2,F,0\n2,M,0\n");
  r = with("rate=r");
  EXPECT_EQ(r.log.find("908-184"), std::string::npos) << r.log;

  // Under INDIRECT the reference's last rate stands.
  write("pop.csv", "age,n\n1,1000\n2,1000\n");
  write("ref.csv", "age,sex,rate\n1,F,300\n1,M,200\n2,F,600\n2,M,600\n");
  r = run("proc quilvar data=pop refdata=ref method=indirect plots=none; population total=n popevent=9; "
          "reference rate=rate; strata age;\nrun;\n");
  EXPECT_EQ(r.exit_status, 0) << r.log;
  EXPECT_NE(r.log.find("stratum age=1 in the REFERENCE data give different RATE= values"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("the last of them stands"), std::string::npos) << r.log;
  EXPECT_DOUBLE_EQ(cell(outputs(r, 0, "Smr").at(0), 0, "ExpectedEvents"), (200.0 + 600.0) / 100);
}

// Totals and variances cover every stratum or are unknown. Under DIRECT a
// stratum given by its rate alone, beside strata with their populations,
// keeps its share in the standardized rate, but the population total, the
// crude rate and the standard error are missing, with a warning naming the
// stratum (it was left out of the variance and the population total: limits
// too narrow, a crude rate of part of the population). Under INDIRECT a
// reference stratum without a population (a rate of 0 beside 0 events)
// leaves the reference crude rate unknown, and with it the indirectly
// standardized rate, unless REFRATE= gives it; the SMR stands.
TEST_F(QuilvarRun, SumsOverPartOfTheStrataAreUnknown) {
  write("pop.csv", "area,age,d,n,r\nA,1,10,10000,100\nA,2,.,.,300\nB,1,10,10000,100\nB,2,30,10000,300\n");
  write("std.csv", "age,w,D,R\n1,100,0,0\n2,300,300,300\n");
  RunResult r = run("proc quilvar data=pop refdata=std method=direct plots=none; population event=d total=n "
                    "rate=r; reference total=w; strata age; by area;\nrun;\n");
  EXPECT_EQ(r.exit_status, 0) << r.log;
  EXPECT_NE(r.log.find("The population of stratum age=2 is not known"), std::string::npos) << r.log;
  const auto direct = outputs(r, 0, "Quilvar");
  ASSERT_EQ(direct.size(), 2u);
  for (std::size_t group = 0; group < 2; ++group) {
    SCOPED_TRACE(group);
    EXPECT_DOUBLE_EQ(cell(direct[group], 0, "Quilvar"), 250);  // (100 x 100 + 300 x 300) / 400
    const bool whole = group == 1;
    for (const char* column : {"ObservedEvents", "PopTime", "CrudeRate", "LowerCL", "UpperCL"}) {
      EXPECT_EQ(present_cell(direct[group], 0, column), whole) << column;
    }
  }

  // A stratum of 0 events at a rate of 0 has no population to derive, but
  // its count is known: the event total stays, only the population total,
  // crude rate and limits are missing.
  write("zero.csv", "age,d,r\n1,0,0\n2,30,300\n");
  r = run("proc quilvar data=zero refdata=std method=direct plots=none; population event=d rate=r; "
          "reference total=w; strata age;\nrun;\n");
  EXPECT_NE(r.log.find("The population of stratum age=1 is not known"), std::string::npos) << r.log;
  const auto zero = outputs(r, 0, "Quilvar");
  ASSERT_EQ(zero.size(), 1u) << r.log;
  ASSERT_TRUE(present_cell(zero[0], 0, "ObservedEvents"));
  EXPECT_DOUBLE_EQ(cell(zero[0], 0, "ObservedEvents"), 30);
  EXPECT_DOUBLE_EQ(cell(zero[0], 0, "Quilvar"), 225);  // (100 x 0 + 300 x 300) / 400
  for (const char* column : {"PopTime", "CrudeRate", "LowerCL", "UpperCL"}) {
    EXPECT_FALSE(present_cell(zero[0], 0, column)) << column;
  }

  struct Case {
    const char* reference;
    bool rate_known;
  };
  for (const Case& c : {Case{"event=D rate=R", false}, Case{"event=D rate=R refrate=250", true}}) {
    SCOPED_TRACE(c.reference);
    r = run(std::string("proc quilvar data=pop refdata=std method=indirect plots=none; population event=d "
                        " total=n; reference ") + c.reference + "; strata age; by area;\nrun;\n");
    const auto smr = outputs(r, 0, "Smr");
    ASSERT_EQ(smr.size(), 1u) << r.log;
    EXPECT_DOUBLE_EQ(cell(smr[0], 0, "Smr"), 40.0 / 30);  // O = 40, E = 10000 x 0 + 10000 x 0.003
    const auto standardized = outputs(r, 0, "Quilvar");
    EXPECT_EQ(standardized.size(), c.rate_known ? 1u : 0u);
    if (c.rate_known && !standardized.empty()) {
      EXPECT_DOUBLE_EQ(cell(standardized[0], 0, "RefCrudeRate"), 250);
    }
    if (!c.rate_known) {
      EXPECT_NE(r.log.find("[908-164]"), std::string::npos) << r.log;
    }
  }
}

// A risk SMR whose observed events are a POPEVENT= total has no stratum
// risks to build its binomial variance on: its standard error and limits
// are missing, where they were 0 and the SMR itself.
TEST_F(QuilvarRun, RiskSmrFromAnEventTotalHasNoStandardError) {
  write("pop.csv", "age,n\n1,1000\n2,2000\n");
  write("ref.csv", "age,risk,n\n1,0.01,50000\n2,0.02,50000\n");
  const RunResult r = run("proc quilvar data=pop refdata=ref method=indirect stat=risk plots=none; population "
                          "total=n popevent=60; reference risk=risk total=n; strata age;\nrun;\n");
  ASSERT_EQ(r.exit_status, 0) << r.log;
  const auto smr = outputs(r, 0, "Smr");
  ASSERT_EQ(smr.size(), 1u);
  EXPECT_DOUBLE_EQ(cell(smr[0], 0, "Smr"), 1.2);  // 60 / (1000 x 0.01 + 2000 x 0.02)
  for (const char* column : {"StdErr", "SmrLcl"}) {
    EXPECT_FALSE(present_cell(smr[0], 0, column)) << column;
  }

  // More events than the 3000 individuals: that BY group ends, the next runs.
  write("pop.csv", "area,age,n\nA,1,1000\nA,2,2000\nB,1,1000\nB,2,500000\n");
  const RunResult over = run("proc quilvar data=pop refdata=ref method=indirect stat=risk plots=none; population "
                             "total=n popevent=3001; reference risk=risk total=n; strata age; by area;\nrun;\n");
  EXPECT_EQ(over.exit_status, 1);
  EXPECT_NE(over.log.find("POPEVENT=3001 is larger than the population total of 3000 individuals"),
            std::string::npos)
      << over.log;
  const auto by_area = outputs(over, 0, "Smr");
  ASSERT_EQ(by_area.size(), 1u);
  EXPECT_EQ(by_area[0]["by"][0]["value"], "B");
}

TEST_F(QuilvarRun, SyntaxErrorShowsCaretAndTheNextStepStillRuns) {
  write("pop.csv", kPopulation);
  write("ref.csv", kReference);
  const RunResult r = run(
      "proc quilvar data=pop refdata=ref method=direkt;\n  population event=deaths total=persons;\nrun;\n"
      "proc quilvar data=pop refdata=ref method=direct plots=none;\n"
      "  population event=deaths total=persons;\n  reference total=std_pop;\n  strata age;\n  by year;\nrun;\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.log.find("program.qv:1:"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("^"), std::string::npos);
  EXPECT_EQ(r.json["steps"][0]["status"], 3000);
  EXPECT_EQ(outputs(r, 1, "StdInfo").size(), 2u);
  // Steps are numbered from one in the order of the program.
  EXPECT_EQ(r.json["steps"][0]["index"], 1);
  EXPECT_EQ(r.json["steps"][1]["index"], 2);
}

TEST_F(QuilvarRun, DataOutOfByOrderIsAnErrorNamingTheObservation) {
  write("pop.csv", "year,age,deaths,persons\n2021,1,1,10\n2020,1,2,20\n");
  write("ref.csv", "age,std_pop\n1,100\n");
  const RunResult r = run("proc quilvar data=pop refdata=ref method=direct; population event=deaths total=persons; "
                    "reference total=std_pop; strata age; by year;\nrun;\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.log.find("NOTSORTED"), std::string::npos) << r.log;
}

TEST_F(QuilvarRun, ANumberColumnReadAsCharacterIsExplainedBeforeTheStepRejectsIt) {
  write("pop.csv", "age,deaths,persons\n1,5,100\n2,NA,100\n");
  write("ref.csv", "age,std_pop\n1,100\n2,100\n");
  const RunResult r = run("proc quilvar data=pop refdata=ref method=direct plots=none; population event=deaths "
                          "total=persons; reference total=std_pop; strata age;\nrun;\n");
  EXPECT_EQ(r.exit_status, 1);
  const std::size_t note = r.log.find("NOTE: " + (folder_ / "pop.csv").string() +
                                      ", line 3: variable deaths holds numbers but is read as character: \"NA\"");
  const std::size_t error = r.log.find("ERROR: The EVENT= variable");
  EXPECT_NE(note, std::string::npos) << r.log;
  EXPECT_NE(error, std::string::npos) << r.log;
  EXPECT_LT(note, error) << r.log;
}

TEST_F(QuilvarRun, NewReferenceStratumWarnsUnderDirectAndStopsUnderIndirect) {
  write("pop.csv", "age,deaths,persons\n1,5,100\n");
  write("ref.csv", "age,std_pop,ref_deaths\n1,500,10\n2,500,20\n");
  RunResult r = run("proc quilvar data=pop refdata=ref method=direct plots=none; population event=deaths total=persons; "
              "reference total=std_pop; strata age / stats;\nrun;\n");
  EXPECT_EQ(r.exit_status, 0) << r.log;
  EXPECT_NE(r.log.find("WARNING"), std::string::npos);
  EXPECT_EQ(r.json["steps"][0]["status"], 4);
  EXPECT_EQ(r.log.find("ended with status"), std::string::npos) << r.log;  // a warning ends no step
  r = run("proc quilvar data=pop refdata=ref method=indirect plots=none; population event=deaths total=persons; "
          "reference event=ref_deaths total=std_pop; strata age;\nrun;\n", "--strict");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.json["steps"][0]["status"], 1008);
  EXPECT_NE(r.log.find("ended with status 1008."), std::string::npos) << r.log;
}

// --strict turns a step's warning into exit status 1 and leaves a clean run
// its 0.
TEST_F(QuilvarRun, StrictFailsOnlyARunWithAWarning) {
  write("ref.csv", "age,std_pop\n1,500\n2,500\n");
  const std::string program = "proc quilvar data=pop refdata=ref method=direct plots=none; population event=deaths "
                              "total=persons; reference total=std_pop; strata age;\nrun;\n";
  const struct {
    const char* population;
    const char* options;
    int status;
  } cases[] = {{"age,deaths,persons\n1,5,100\n2,7,100\n", "--strict", 0},
               {"age,deaths,persons\n1,5,100\n", "--strict", 1},
               {"age,deaths,persons\n1,5,100\n", "", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.population) + c.options);
    write("pop.csv", c.population);
    const RunResult r = run(program, c.options);
    EXPECT_EQ(r.exit_status, c.status) << r.log;
  }
}

// A rate given beside its stratum's count and total must agree with them:
// counts left blank (suppressed) are derived from it, so a rate column per
// 1,000 read per 100,000 gives those counts a hundredth of their size. The
// step warns at the first observation that shows it (a rounded rate, off by
// less than a factor of 5, does not count); with the multiplier given, the
// suppressed count of stratum a is 2000 x 2.5 / 1000 = 5 and the
// standardized rate 0.5 x 250 + 0.3 x 500 + 0.2 x 1500 = 575 per 100,000.
TEST_F(QuilvarRun, RatesThatDisagreeWithTheirCountsAreWarnedAbout) {
  write("ref.csv", "age,std_pop,ref_deaths,ref_rate\na,500,10,2\nb,300,30,10\nc,200,60,30\n");
  // place: the observation warned about, "line N of" and its file.
  struct Case { std::string data; std::string population; std::string reference; std::string log_text; double rate;
                std::string place; };
  const Case cases[] = {
      // Stratum a has no count; b, on line 3, gives 40 / 8000 = 500 per
      // 100,000 beside its rate of 5.
      {"age,deaths,pop,rate\na,,2000,2.5\nb,40,8000,5.0\nc,90,6000,15.0\n", "event=deaths total=pop rate=rate",
       "total=std_pop", "is 0.01 times what its EVENT= and TOTAL= values give", 451.25, "line 3 of pop.csv"},
      {"age,deaths,pop,rate\na,,2000,2.5\nb,40,8000,5.0\nc,90,6000,15.0\n",
       "event=deaths total=pop rate(mult=1000)=rate", "total=std_pop", "", 575, ""},
      {"age,deaths,pop,rate\na,1,300000,0.3\nb,40,8000,500\nc,90,6000,1500\n", "event=deaths total=pop rate=rate",
       "total=std_pop", "", 0.5 * 1e5 / 3e5 + 150 + 300, ""},
      // Reference stratum a, on line 2: 10 / 500 = 2000 per 100,000 beside 2.
      {"age,deaths,pop\na,5,2000\nb,40,8000\nc,90,6000\n", "event=deaths total=pop",
       "total=std_pop event=ref_deaths rate=ref_rate", "RATE= value of an observation of the REFERENCE data", 575,
       "line 2 of ref.csv"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.population + " / " + c.reference);
    write("pop.csv", c.data);
    const RunResult r = run("proc quilvar data=pop refdata=ref method=direct plots=none; population " + c.population +
                            "; reference " + c.reference + "; strata age;\nrun;\n");
    const auto estimates = outputs(r, 0, "Quilvar");
    ASSERT_EQ(estimates.size(), 1u) << r.log;
    EXPECT_NEAR(cell(estimates[0], 0, "Quilvar"), c.rate, 1e-9);
    EXPECT_EQ(r.log.find("[908-181]") != std::string::npos, !c.log_text.empty()) << r.log;
    EXPECT_NE(r.log.find(c.log_text), std::string::npos) << r.log;
    if (!c.place.empty()) {
      const std::string file = c.place.substr(c.place.rfind(' ') + 1);
      const std::string place = c.place.substr(0, c.place.size() - file.size()) + (folder_ / file).string() + ")";
      EXPECT_NE(r.log.find("(" + place + " [908-181]"), std::string::npos) << r.log;
    }
    EXPECT_EQ(r.json["steps"][0]["status"], c.log_text.empty() ? 0 : 4);
  }
}

TEST_F(QuilvarRun, InvalidValuesAndGroupLevelsStopTheStep) {
  write("ref.csv", "age,std_pop\n1,100\n2,100\n");
  struct Case { std::string data; std::string options; int status; std::string log_text; };
  const Case cases[] = {
      {"age,g,deaths,persons\n1,a,-1,10\n", "", 1008, "EVENT="},
      {"age,g,deaths,persons\n1,a,1,0\n", "", 1008, "TOTAL="},
      {"age,g,deaths,persons\n1,a,11,10\n", "stat=risk", 1008, "EVENT="},
      {"age,g,deaths,persons\n1,a,1,10\n1,b,1,10\n1,c,1,10\n", "", 1008, ""},
      {"age,g,deaths,persons\n1,a,1,10\n2,a,1,10\n", "", 0, ""},  // one level: a note, one population
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    write("pop.csv", c.data);
    const RunResult r = run("proc quilvar data=pop refdata=ref method=direct plots=none " + c.options +
                            "; population group=g event=deaths total=persons; reference total=std_pop; strata age;\n"
                            "run;\n");
    EXPECT_EQ(r.json["steps"][0]["status"], c.status) << r.log;
    EXPECT_NE(r.log.find(c.log_text), std::string::npos) << r.log;
  }
}

// Values at the edges of what is valid are read as they are: half a
// person-year, no events, as many events as individuals (a risk of 1), and
// a risk of 1 beside its total, from which the count is derived, or beside
// its count and total; the stratum limits come with any two of the three.
TEST_F(QuilvarRun, ValuesAtTheEdgesOfValidityAreRead) {
  write("ref.csv", "age,std_pop\n1,100\n2,100\n");
  struct Case {
    std::string data, options, population;
    double events, total, crude;
  };
  const Case cases[] = {
      {"age,deaths,persons\n1,0,0.5\n2,3,1000\n", "", "event=deaths total=persons", 0, 0.5, 0},
      {"age,deaths,persons\n1,10,10\n2,3,1000\n", "stat=risk", "event=deaths total=persons", 10, 10, 1},
      {"age,persons,risk\n1,10,1\n2,1000,0.003\n", "stat=risk", "total=persons risk=risk", 10, 10, 1},
      {"age,deaths,persons,risk\n1,10,10,1\n2,3,1000,0.003\n", "stat=risk", "event=deaths total=persons risk=risk",
       10, 10, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data + c.options);
    write("pop.csv", c.data);
    const RunResult r = run("proc quilvar data=pop refdata=ref method=direct plots=none " + c.options +
                            "; population " + c.population + "; reference total=std_pop; strata age / stats;\nrun;\n");
    EXPECT_EQ(r.json["steps"][0]["status"], 0) << r.log;
    const auto tables = outputs(r, 0, "StrataStats");
    ASSERT_EQ(tables.size(), 1u) << r.log;
    EXPECT_DOUBLE_EQ(cell(tables[0], 0, "ObservedEvents"), c.events);
    EXPECT_DOUBLE_EQ(cell(tables[0], 0, c.options.empty() ? "PopTime" : "NObs"), c.total);
    EXPECT_DOUBLE_EQ(cell(tables[0], 0, c.options.empty() ? "CrudeRate" : "CrudeRisk"), c.crude);
    EXPECT_TRUE(present_cell(tables[0], 1, "UpperCL"));  // any two of the three values give limits
  }
  // A rate of 0 beside 5 events gives no population (5 / 0 is none): the
  // stratum's is not known.
  write("pop.csv", "age,deaths,persons,rate\n1,5,,0\n2,3,1000,300\n");
  const RunResult r = run("proc quilvar data=pop refdata=ref method=direct plots=none; population event=deaths "
                          "total=persons rate=rate; reference total=std_pop; strata age / stats;\nrun;\n");
  const auto tables = outputs(r, 0, "StrataStats");
  ASSERT_EQ(tables.size(), 1u) << r.log;
  EXPECT_FALSE(present_cell(tables[0], 0, "PopTime"));
  EXPECT_NE(r.log.find("The population of stratum age=1 is not known"), std::string::npos) << r.log;
  EXPECT_EQ(r.log.find("[908-171]"), std::string::npos) << r.log;  // no sum grew past the largest number
}

// A rate is compared with the count and total beside it on the reference
// rows too, per the reference's own multiplier (line 2 agrees: 2,000 per
// 100,000 is 10 in 500; line 3 gives 10 for 10,000), and a risk from the
// first row on, even one of a single event (0.1 written for 1 in 100).
TEST_F(QuilvarRun, RatesAndRisksAreComparedWithTheirCountsOnEveryRow) {
  struct Case { std::string options; std::string population; std::string reference; std::string pop; std::string ref;
                std::string log_text; };
  const Case cases[] = {
      {"", "event=deaths total=pop", "total=std_pop event=ref_deaths rate=ref_rate",
       "age,deaths,pop\na,5,2000\nb,40,8000\n", "age,std_pop,ref_deaths,ref_rate\na,500,10,2000\nb,300,30,10\n",
       "The RATE= value of an observation of the REFERENCE data is 0.001 times what its EVENT= and TOTAL= values "
       "give, so event counts or populations derived from RATE= values are off by as much. (line 3 of "},
      {"stat=risk", "event=deaths total=pop risk=risk", "total=std_pop",
       "age,deaths,pop,risk\na,1,100,0.1\nb,20,100,0.2\n", "age,std_pop\na,500\nb,300\n",
       "The RISK= value of an observation of the POPULATION data is 10 times what its EVENT= and TOTAL= values "
       "give, so event counts or populations derived from RISK= values are off by as much. (line 2 of "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.population + " / " + c.reference);
    write("pop.csv", c.pop);
    write("ref.csv", c.ref);
    const RunResult r = run("proc quilvar data=pop refdata=ref method=direct plots=none " + c.options +
                            "; population " + c.population + "; reference " + c.reference + "; strata age;\nrun;\n");
    EXPECT_NE(r.log.find(c.log_text), std::string::npos) << r.log;
    EXPECT_EQ(r.log.find("[908-181]"), r.log.rfind("[908-181]")) << r.log;  // once per data set
  }
}

// GROUP= levels: a numeric variable has two levels, sorted by value
// (INTERNAL) or by their formatted text, where "        10" comes before
// "       0.5"; with one level, rows with a blank GROUP= value belong to the
// one population; and the messages name each population by its level.
TEST_F(QuilvarRun, GroupLevelsAreOrderedAndNamedByTheirValues) {
  write("ref.csv", "age,std_pop\n1,500\n2,500\n");
  write("pop.csv", "age,g,deaths,persons\n1,0.5,10,1000\n2,0.5,20,1000\n1,10,5,1000\n2,10,30,1000\n");
  const std::string rest = "event=deaths total=persons; reference total=std_pop; strata age;\nrun;\n";
  for (const auto& [order, first] : {std::pair<std::string, double>{"internal", 0.5}, {"formatted", 10}}) {
    SCOPED_TRACE(order);
    const RunResult r =
        run("proc quilvar data=pop refdata=ref method=direct plots=none; population group(order=" + order + ")=g " +
            rest);
    const auto rates = outputs(r, 0, "Quilvar");
    ASSERT_EQ(rates.size(), 1u) << r.log;
    ASSERT_EQ(rates[0]["rows"].size(), 2u) << r.log;
    EXPECT_DOUBLE_EQ(cell(rates[0], 0, "g"), first);
    EXPECT_DOUBLE_EQ(cell(rates[0], 0, "Quilvar"), first == 10 ? 1750 : 1500);  // (5 + 30) / 2000, (10 + 20) / 2000
  }
  write("pop.csv", "age,g,deaths,persons\n1,a,10,1000\n2,a,20,1000\n2,,5,500\n");
  RunResult r = run("proc quilvar data=pop refdata=ref method=direct plots=none; population group=g " + rest);
  const auto rates = outputs(r, 0, "Quilvar");
  ASSERT_EQ(rates.size(), 1u) << r.log;
  EXPECT_DOUBLE_EQ(cell(rates[0], 0, "ObservedEvents"), 35);
  EXPECT_DOUBLE_EQ(cell(rates[0], 0, "PopTime"), 2500);
  EXPECT_EQ(r.log.find("[908-176]"), std::string::npos) << r.log;
  write("pop.csv", "age,g,deaths,persons\n1,a,10,1000\n2,a,20,1000\n1,b,5,500\n");
  r = run("proc quilvar data=pop refdata=ref method=direct plots=none; population group=g " + rest +
          "proc quilvar data=pop method=mh plots=none; population group=g event=deaths total=persons; strata age;\n"
          "run;\n");
  EXPECT_NE(r.log.find("Stratum age=2 has data for Study Population (g=a) but not for Study Population (g=b); it is "
                       "left out of the estimates for Study Population (g=b). [908-153]"),
            std::string::npos)
      << r.log;
  EXPECT_NE(r.log.find("The crude rate of g=b in stratum age=2 is missing"), std::string::npos) << r.log;
}

// Each STRATA variable sorts by its own key. FORMATTED sorts the formatted
// text, where a number stands right-aligned: "10" comes before "0.5" within
// each sex, which INTERNAL sorts the other way round. DATA numbers the
// values of each variable as first met, a character variable after a
// numeric one too: M, met first, comes before F. The rate plot's stratum
// axis follows the same order, headed by the variables' names.
TEST_F(QuilvarRun, EachStrataVariableSortsByItsOwnKey) {
  write("pop.csv", "sex,age,deaths,persons\nM,0.5,3,100\nM,10,4,100\nF,0.5,1,100\nF,10,2,100\n");
  write("ref.csv", "sex,age,std_pop\nF,0.5,100\nF,10,100\nM,0.5,100\nM,10,100\n");
  struct Case { std::string strata; std::vector<double> events; std::string ticks; std::string heading; };
  const Case cases[] = {{"sex age / order=formatted", {2, 1, 4, 3}, "'F 10''F 0.5''M 10''M 0.5'", "sex * age"},
                        {"sex age / order=internal", {1, 2, 3, 4}, "'F 0.5''F 10''M 0.5''M 10'", "sex * age"},
                        {"age sex / order=data", {3, 1, 4, 2}, "'0.5 M''0.5 F''10 M''10 F'", "age * sex"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.strata);
    const RunResult r = run("proc quilvar data=pop refdata=ref method=direct plots(only)=rate; population "
                            "event=deaths total=persons; reference total=std_pop; strata " + c.strata + " stats;\n"
                            "run;\n");
    const auto tables = outputs(r, 0, "StrataStats");
    ASSERT_EQ(tables.size(), 1u) << r.log;
    ASSERT_EQ(tables[0]["rows"].size(), c.events.size());
    for (std::size_t row = 0; row < c.events.size(); ++row) {
      EXPECT_DOUBLE_EQ(cell(tables[0], row, "ObservedEvents"), c.events[row]) << row;
    }
    const auto plots = outputs(r, 0, "StrataRatePlot");
    ASSERT_EQ(plots.size(), 1u) << r.log;
    EXPECT_EQ(plots[0]["data"][0]["dynamic"]["_XTicks"], c.ticks);
    EXPECT_EQ(plots[0]["data"][0]["dynamic"]["_XLabel"], c.heading);
  }
}

// Under INDIRECT without population events every SMR output is left out,
// each with a warning that says why: the Smr and standardized tables, the
// StrataSMR table and the SMR plot. The stratum statistics remain, their
// population columns without events.
TEST_F(QuilvarRun, IndirectWithoutEventsLeavesOutEverySmrOutput) {
  write("pop.csv", "age,persons\n1,1000\n2,500\n");
  write("ref.csv", "age,ref_deaths,std_pop\n1,30,6000\n2,120,2000\n");
  const RunResult r = run("proc quilvar data=pop refdata=ref method=indirect plots(only)=smr; population "
                          "total=persons; reference event=ref_deaths total=std_pop; strata age / stats smr;\nrun;\n");
  EXPECT_EQ(r.json["steps"][0]["status"], 4) << r.log;
  std::vector<std::string> names;
  for (const auto& o : r.json["steps"][0]["outputs"]) names.push_back(o["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"StdInfo", "StrataStats"}));
  // The population span covers the columns there are: the person-time and its proportion.
  const auto& dynamic = r.json["steps"][0]["outputs"][1]["dynamic"];
  EXPECT_EQ(dynamic["PopStart"], "PopTime");
  EXPECT_EQ(dynamic["PopEnd"], "PopTimeProp");
  for (const char* number : {"[908-135]", "[908-187]", "[908-138]", "[908-137]"}) {
    EXPECT_NE(r.log.find(number), std::string::npos) << number << "\n" << r.log;
  }
}

TEST_F(QuilvarRun, DataOrderListsStrataByFirstAppearanceAcrossByGroups) {
  write("pop.csv", "year,age,deaths,persons\n2020,c,1,10\n2020,a,1,10\n2021,b,1,10\n2021,a,1,10\n2021,c,1,10\n");
  write("ref.csv", "age,std_pop\na,100\nb,100\nc,100\n");
  const RunResult r = run("proc quilvar data=pop refdata=ref method=direct plots=none; population event=deaths "
                          "total=persons; reference total=std_pop; strata age / order=data stats; by year;\nrun;\n");
  const auto tables = outputs(r, 0, "StrataStats");
  ASSERT_EQ(tables.size(), 2u) << r.log;
  std::vector<std::string> order;
  const auto& t = tables[1];
  std::size_t age_column = 0;
  for (std::size_t i = 0; i < t["columns"].size(); ++i) {
    if (t["columns"][i]["name"] == "age") age_column = i;
  }
  for (const auto& row : t["rows"]) order.push_back(row[age_column].get<std::string>());
  // c and a were first seen in 2020; b (first seen in 2021) comes after them.
  EXPECT_EQ(order, (std::vector<std::string>{"c", "a", "b"}));
}

// GROUP= levels in DATA order keep the order the step first met them in
// every BY group: 2024's rows start with South, yet North stays the first
// population, so each group's effect is North against South.
TEST_F(QuilvarRun, GroupDataOrderIsTheStepsFirstAppearanceInEveryByGroup) {
  write("pop.csv", "year,age,region,deaths,persons\n2023,a,North,20,1000\n2023,a,South,10,1000\n"
                   "2024,a,South,12,1000\n2024,a,North,30,1000\n");
  write("ref.csv", "age,std_pop\na,100\n");
  const RunResult r = run("proc quilvar data=pop refdata=ref method=direct effect=ratio plots=none; population "
                          "group(order=data)=region event=deaths total=persons; reference total=std_pop; strata age; "
                          "by year;\nrun;\n");
  const auto effects = outputs(r, 0, "Effect");
  ASSERT_EQ(effects.size(), 2u) << r.log;
  const double expected[] = {2.0, 2.5};
  for (std::size_t g = 0; g < effects.size(); ++g) {
    SCOPED_TRACE(g);
    EXPECT_EQ(effects[g]["columns"][1]["label"], "North");
    EXPECT_NEAR(cell(effects[g], 0, "RateRatio"), expected[g], 1e-12);
  }
}

// Each STRATA variable numbers its own values, over the population and then
// the reference rows of each BY group in turn: age b, first seen in 2020's
// reference rows, comes after c and a of 2020's population rows.
TEST_F(QuilvarRun, DataOrderNumbersEachVariableOverPopulationThenReference) {
  write("pop.csv", "year,sex,age,deaths,persons\n2020,M,c,1,10\n2020,F,a,1,10\n"
                   "2021,F,b,1,10\n2021,M,a,1,10\n2021,M,c,1,10\n");
  write("ref.csv", "sex,age,std_pop\nF,a,100\nF,b,100\nF,c,100\nM,a,100\nM,b,100\nM,c,100\n");
  const RunResult r = run("proc quilvar data=pop refdata=ref method=direct plots=none; population event=deaths "
                          "total=persons; reference total=std_pop; strata sex age / order=data stats; by year;\n"
                          "run;\n");
  const auto tables = outputs(r, 0, "StrataStats");
  ASSERT_EQ(tables.size(), 2u) << r.log;
  const auto& t = tables[1];
  std::size_t sex_column = 0;
  std::size_t age_column = 0;
  for (std::size_t i = 0; i < t["columns"].size(); ++i) {
    if (t["columns"][i]["name"] == "sex") sex_column = i;
    if (t["columns"][i]["name"] == "age") age_column = i;
  }
  std::vector<std::string> order;
  for (const auto& row : t["rows"]) {
    order.push_back(row[sex_column].get<std::string>() + row[age_column].get<std::string>());
  }
  EXPECT_EQ(order, (std::vector<std::string>{"Mc", "Ma", "Mb", "Fc", "Fa", "Fb"}));
}

// The error names the BY group it ends, among all those that run on.
TEST_F(QuilvarRun, MissingReferenceByGroupEndsOnlyThatGroup) {
  write("pop.csv", "year,age,deaths,persons\n2020,1,5,100\n2021,1,6,100\n2022,1,7,100\n");
  write("ref.csv", "year,age,ref_deaths,std_pop\n2022,1,30,1000\n2020,1,20,1000\n");
  const RunResult r = run("proc quilvar data=pop refdata=ref method=indirect plots=none; population event=deaths "
                          "total=persons; reference event=ref_deaths total=std_pop; strata age / stats; by year;\nrun;\n");
  EXPECT_EQ(r.json["steps"][0]["status"], 1008);
  const auto tables = outputs(r, 0, "StrataStats");
  ASSERT_EQ(tables.size(), 2u) << r.log;  // 2020 and 2022; 2021 has no reference group
  EXPECT_EQ(tables[0]["by"][0]["value"], 2020);
  EXPECT_EQ(tables[1]["by"][0]["value"], 2022);
  EXPECT_DOUBLE_EQ(cell(tables[1], 0, "ExpectedEvents"), 0.03 * 100);
  EXPECT_NE(r.log.find("REFDATA="), std::string::npos);
  EXPECT_NE(r.log.find("current BY group of the population data. (BY group year=2021) [908-141]\n"), std::string::npos)
      << r.log;
  EXPECT_EQ(r.log.find("year=2020"), std::string::npos) << r.log;
}

// A note about one BY group (a single GROUP= level) names it too.
TEST_F(QuilvarRun, ANoteAboutOneByGroupNamesIt) {
  write("pop.csv", "year,sex,age,deaths,persons\n2020,F,1,5,100\n2020,M,1,6,100\n2021,F,1,7,100\n");
  write("ref.csv", "age,std_pop\n1,1000\n");
  const RunResult r = run("proc quilvar data=pop refdata=ref method=direct plots=none; population group=sex "
                          "event=deaths total=persons; reference total=std_pop; strata age; by year;\nrun;\n");
  ASSERT_EQ(r.exit_status, 0) << r.log;
  EXPECT_NE(r.log.find("goes on with one population. (BY group year=2021) [908-148]\n"), std::string::npos) << r.log;
  EXPECT_EQ(r.log.find("year=2020"), std::string::npos) << r.log;
}

// A warning repeated in BY group after BY group is counted at the step's
// end; a step whose warnings each came once gets no count.
TEST_F(QuilvarRun, RepeatedWarningsAreCountedAtTheStepsEnd) {
  write("pop.csv", "year,age,deaths,persons\n2019,1,5,100\n2020,1,6,100\n2021,1,7,100\n2021,2,1,50\n");
  write("ref.csv", "age,std_pop\n1,1000\n2,500\n");
  const std::string step = "proc quilvar data=pop refdata=ref method=direct plots=none; population event=deaths "
                           "total=persons; reference total=std_pop; strata age; by year;\nrun;\n";
  const RunResult r = run(step + "proc quilvar data=pop refdata=ref method=direct plots=none alpha=0.1 alpha=0.2; "
                                 "population event=deaths total=persons; reference total=std_pop; strata age;\nrun;\n");
  ASSERT_EQ(r.exit_status, 0) << r.log;
  EXPECT_NE(r.log.find("(BY group year=2020) [908-143]\nNOTE: This step issued [908-143] 2 times.\n"),
            std::string::npos)
      << r.log;
  EXPECT_EQ(r.log.find("This step issued", r.log.find("This step issued") + 1), std::string::npos) << r.log;
}

// Population rows without a stratum or population (an unknown age, an
// unknown sex) count nowhere: the step ends with how many there were over
// all its BY groups, and the MISSING option keeps them as a stratum. A
// reference row without a stratum (a total row) is not counted.
TEST_F(QuilvarRun, RowsLeftOutForAMissingStratumOrGroupAreCountedAtTheStepsEnd) {
  write("pop.csv", "year,sex,age,deaths,persons\n2020,F,1,5,100\n2020,F,,500,100\n2020,M,1,6,100\n2021,F,1,7,100\n"
                   "2021,,1,40,100\n2021,M,,9,100\n2021,M,1,3,100\n");
  write("ref.csv", "age,std_pop\n1,1000\n,1000\n");
  const std::string statements = "population group=sex event=deaths total=persons; reference total=std_pop; ";
  const RunResult r = run("proc quilvar data=pop refdata=ref method=direct plots=none; " + statements +
                          "strata age; by year;\nrun;\n");
  ASSERT_EQ(r.exit_status, 0) << r.log;
  EXPECT_NE(r.log.find("NOTE: Observations of the population data left out because a STRATA value is missing: 2. "
                       "[908-175]\nNOTE: Observations of the population data left out because their GROUP= value "
                       "is missing: 1. [908-176]\n"),
            std::string::npos)
      << r.log;
  EXPECT_EQ(r.log.find("908-175", r.log.find("908-175") + 1), std::string::npos) << r.log;

  const RunResult kept = run("proc quilvar data=pop refdata=ref method=direct plots=none; " + statements +
                             "strata age / missing; by year;\nrun;\n");
  ASSERT_EQ(kept.exit_status, 0) << kept.log;
  EXPECT_EQ(kept.log.find("[908-175]"), std::string::npos) << kept.log;
  EXPECT_NE(kept.log.find("[908-176]"), std::string::npos) << kept.log;
}

// A data set with no rows is said to be empty first, before the procedure
// finds its columns (typed by default) unlike the reference's.
TEST_F(QuilvarRun, AnEmptyDataSetIsNamedBeforeItsColumnsAreQuestioned) {
  write("pop.csv", "age,deaths,persons\n");
  write("ref.csv", kReference);
  const RunResult r = run("proc quilvar data=pop refdata=ref method=direct plots=none; population event=deaths "
                          "total=persons; reference total=std_pop; strata age;\nrun;\n");
  const std::size_t empty = r.log.find("pop.csv has no observations");
  ASSERT_NE(empty, std::string::npos) << r.log;
  EXPECT_LT(empty, r.log.find("The STRATA variable age is numeric")) << r.log;
}

// An option written with its own parentheses before the "=" is repeated
// like any other: the earlier one goes whole, its MULT= with it.
TEST_F(QuilvarRun, ARepeatedOptionWithParenthesesIsReplacedWhole) {
  write("pop.csv", "age,persons,r\nyoung,1000,500\nold,500,2000\n");
  write("ref.csv", kReference);
  const RunResult r = run("proc quilvar data=pop refdata=ref method=direct plots=none; population total=persons "
                          "rate(mult=1000)=r rate=r; reference total=std_pop; strata age / stats;\nrun;\n");
  ASSERT_EQ(r.exit_status, 0) << r.log;
  EXPECT_NE(r.log.find("option RATE= is given again"), std::string::npos) << r.log;
  EXPECT_EQ(r.log.find("MULT= is given again"), std::string::npos) << r.log;
  const auto tables = outputs(r, 0, "StrataStats");
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_DOUBLE_EQ(cell(tables[0], 0, "ObservedEvents"), 500 * 2000.0 / 100000);  // per the default 100000
}

// A keyword option given alone and again with a value or options: the
// later occurrence counts whole (EFFECT=DIFF then EFFECT compares by ratio,
// STATS(CL=POISSON) then STATS gives normal limits). A variable spelled
// like an option stays a variable (in a statement with options after a
// "/" or with none), and EFFECT twice alone is no repeat.
TEST_F(QuilvarRun, AKeywordOptionGivenAloneReplacesItsFormWithAValue) {
  write("pop.csv", "g,stats,deaths,persons\nA,young,5,1000\nA,old,20,500\nB,young,8,1000\nB,old,30,500\n");
  write("ref.csv", "stats,std_pop\nyoung,3000\nold,1000\n");
  const RunResult r = run("proc quilvar data=pop refdata=ref method=direct effect=diff plots=none effect;\n"
                          "population group=g event=deaths total=persons; reference total=std_pop;\n"
                          "strata stats;\nstrata stats / stats(cl=poisson) stats effect effect;\nrun;\n");
  ASSERT_EQ(r.exit_status, 0) << r.log;
  EXPECT_NE(r.log.find("program.qv:1:49: option EFFECT= is given again (line 1, column 72), and that later one is used"),
            std::string::npos)
      << r.log;
  EXPECT_NE(r.log.find("program.qv:4:16: option STATS is given again (line 4, column 34)"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("program.qv:3:1: the STRATA statement is given again"), std::string::npos) << r.log;
  EXPECT_EQ(r.log.find("option EFFECT is given again"), std::string::npos) << r.log;
  const auto stats = outputs(r, 0, "StrataStats");
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(stats[0]["rows"][0][4], "old");  // the strata variable named "stats"
  EXPECT_EQ(stats[0]["rows"][0][10], "Normal");
  const auto effect = outputs(r, 0, "Effect");
  ASSERT_EQ(effect.size(), 1u);
  EXPECT_DOUBLE_EQ(cell(effect[0], 0, "RateRatio"), 1375.0 / 2100.0);
}

TEST_F(QuilvarRun, MissingStrataValuesFormALevelOnlyWithMissing) {
  write("pop.csv", "age,deaths,persons\n2,5,100\n.,3,50\n1,4,80\n");
  write("ref.csv", "age,std_pop\n1,100\n2,100\n.,100\n");
  const std::string program = "proc quilvar data=pop refdata=ref method=direct plots=none; population event=deaths "
                              "total=persons; reference total=std_pop; strata age / stats";
  RunResult r = run(program + " missing;\nrun;\n");
  auto t = outputs(r, 0, "StrataStats");
  ASSERT_EQ(t.size(), 1u) << r.log;
  ASSERT_EQ(t[0]["rows"].size(), 3u);
  EXPECT_DOUBLE_EQ(cell(t[0], 0, "ObservedEvents"), 3);  // the missing level sorts first
  r = run(program + ";\nrun;\n");
  t = outputs(r, 0, "StrataStats");
  ASSERT_EQ(t.size(), 1u) << r.log;
  EXPECT_EQ(t[0]["rows"].size(), 2u);
}

TEST_F(QuilvarRun, RiskLimitsAndMantelHaenszelWeights) {
  write("pop.csv", "exposed,age,cases,n\nyes,1,3,10\nno,1,1,10\nyes,2,8,40\nno,2,2,40\n");
  const RunResult r = run("proc quilvar data=pop method=mh stat=risk plots=none; population group=exposed "
                          "event=cases total=n; strata age / stats(cl=lognormal);\nrun;\n");
  const auto t = outputs(r, 0, "StrataStats");
  ASSERT_EQ(t.size(), 1u) << r.log;
  EXPECT_DOUBLE_EQ(cell(t[0], 0, "MHWeight"), 10.0 * 10 / 20);  // "no" sorts first: 1/10
  EXPECT_DOUBLE_EQ(cell(t[0], 0, "CrudeRisk"), 0.1);
  const double s = std::sqrt(1 / (0.1 * 10) - 1.0 / 10);
  EXPECT_NEAR(cell(t[0], 0, "UpperCL"), 0.1 * std::exp(1.959963984540054 * s), 1e-12);
}

TEST_F(QuilvarRun, StratumEventsOverPartOfItsIndividualsLeaveTheRiskUnknown) {
  // Each observation passes its own check; the stratum's 12 cases are set
  // against the 10 people of one observation only, as the other leaves its
  // number blank: the stratum's risk is unknown, which ends its BY group.
  write("pop.csv", "age,cases,n\n1,6,10\n1,6,.\n");
  write("ref.csv", "age,n\n1,100\n");
  const RunResult r = run("proc quilvar data=pop refdata=ref method=direct stat=risk plots=none; population "
                          "event=cases total=n; reference total=n; strata age;\nrun;\n");
  EXPECT_EQ(r.json["steps"][0]["status"], 1012);
  EXPECT_NE(r.log.find("The crude risk of stratum age=1 is missing"), std::string::npos) << r.log;
}

TEST_F(QuilvarRun, PlotRequestsWithGraphicsOffWarnUnlessNone) {
  write("pop.csv", "age,deaths,persons\n1,5,100\n");
  write("ref.csv", "age,std_pop\n1,100\n");
  const std::string head = "proc quilvar data=pop refdata=ref method=direct ";
  const std::string tail = "; population event=deaths total=persons; reference total=std_pop; strata age;\nrun;\n";
  EXPECT_EQ(run(head + "plots=none" + tail, "--no-graphics").json["steps"][0]["status"], 0);
  EXPECT_EQ(run(head + "plots=dist" + tail, "--no-graphics").json["steps"][0]["status"], 4);
  EXPECT_EQ(run("graphics off;\n" + head + "plots=dist" + tail).json["steps"][0]["status"], 4);
  // No effect plot is made with graphics off, so it is not also said to need GROUP=.
  const RunResult effect = run(head + "plots=effect" + tail, "--no-graphics");
  EXPECT_EQ(effect.json["steps"][0]["status"], 4);
  EXPECT_EQ(effect.log.find("[908-119]"), std::string::npos) << effect.log;
}

// Every method, statistic, limit type and effect runs to completion with
// the tables it names, and nothing in any output is NaN or infinite.
TEST_F(QuilvarRun, MethodStatisticLimitAndEffectMatrixCompletes) {
  write("pop.csv",
        "year,exposed,age,cases,n\n"
        "2020,yes,1,3,100\n2020,no,1,1,120\n2020,yes,2,0,80\n2020,no,2,2,90\n2020,yes,3,9,60\n2020,no,3,4,70\n"
        "2021,yes,1,2,110\n2021,no,1,2,100\n2021,yes,2,5,85\n2021,no,2,1,95\n2021,yes,3,7,65\n2021,no,3,6,75\n");
  write("ref.csv", "age,ref_cases,ref_n\n1,20,1000\n2,30,1000\n3,90,1000\n");
  const std::string methods[] = {"direct", "indirect", "indirect(af)", "mh", "mh(af)"};
  const std::string statistics[] = {"rate(mult=1000)", "risk"};
  const std::string limits[] = {"none", "normal", "lognormal", "poisson", "gamma(type=average)",
                                "gamma(type=conservative)"};
  const std::string effects[] = {"", "effect=ratio", "effect=diff"};
  int runs = 0;
  for (const auto& method : methods) {
    const bool indirect = method.starts_with("indirect");
    const bool mh = method.starts_with("mh");
    for (const auto& statistic : statistics) {
      for (const auto& limit : limits) {
        for (const auto& effect : effects) {
          if (indirect && !effect.empty()) continue;
          const std::string program =
              "proc quilvar data=pop " + std::string(mh ? "" : "refdata=ref ") + "method=" + method +
              " stat=" + statistic + " cl=" + limit + " " + effect + " plots=none;\n" +
              (indirect ? "  population event=cases total=n;\n" : "  population group=exposed event=cases total=n;\n") +
              (mh ? "" : "  reference event=ref_cases total=ref_n;\n") +
              "  strata age / stats" + (indirect ? " smr" : " effect") + ";\n  by year;\nrun;\n";
          SCOPED_TRACE(program);
          const RunResult r = run(program, "--csv " + (folder_ / "csv").string());
          ++runs;
          ASSERT_LE(r.json["steps"][0]["status"].get<int>(), 4) << r.log;
          const bool risk = statistic == "risk";
          EXPECT_EQ(outputs(r, 0, risk ? "StdRisk" : "Quilvar").size(), 2u);
          EXPECT_EQ(outputs(r, 0, "Smr").size(), indirect ? 2u : 0u);
          EXPECT_EQ(outputs(r, 0, "Effect").size(), !indirect && !effect.empty() ? 2u : 0u);
          EXPECT_EQ(outputs(r, 0, "AttrFraction").size(), method.ends_with("(af)") ? 2u : 0u);
          for (const auto& entry : fs::directory_iterator(folder_ / "csv")) {
            const std::string text = read(entry.path());
            EXPECT_EQ(text.find("nan"), std::string::npos) << entry.path();
            EXPECT_EQ(text.find("inf"), std::string::npos) << entry.path();
          }
          fs::remove_all(folder_ / "csv");
        }
      }
    }
  }
  EXPECT_EQ(runs, 2 * 6 * 3 * 3 + 2 * 2 * 6);
}

// Each table names its method and statistic in its label and title, with
// the multiplier for rates; the tables and the SMR or effect plot come in
// their order.
TEST_F(QuilvarRun, EachOutputIsLabelledForItsMethodAndStatistic) {
  write("pop.csv", "exposed,age,cases,n\nyes,1,3,100\nno,1,1,120\nyes,2,0,80\nno,2,2,90\n");
  write("ref.csv", "age,ref_cases,ref_n\n1,20,1000\n2,30,1000\n");
  struct Case { std::string method; std::string statistic; std::vector<std::string> tables; };
  const std::string effects = "Effects of the First Population Against the Second by Stratum";
  const Case cases[] = {
      {"direct", "rate",
       {"StdInfo|Standardization Information|Standardization Information",
        "StrataStats|Stratum Statistics for Direct Standardization|Stratum Rates per 100000 for Direct Standardization",
        "StrataEffect|Comparison of Stratum Rates per 100000|Comparison of Stratum Rates per 100000",
        "StrataEffectPlot|Stratum Rate Ratio Plot|" + effects,
        "Quilvar|Standardized Rates|Directly Standardized Rates per 100000",
        "Effect|Comparison of Standardized Rates per 100000|Comparison of Standardized Rates per 100000"}},
      {"direct", "risk",
       {"StdInfo|Standardization Information|Standardization Information",
        "StrataStats|Stratum Statistics for Direct Standardization|Stratum Risks for Direct Standardization",
        "StrataEffect|Comparison of Stratum Risks|Comparison of Stratum Risks",
        "StrataEffectPlot|Stratum Risk Ratio Plot|" + effects,
        "StdRisk|Standardized Risks|Directly Standardized Risks",
        "Effect|Comparison of Standardized Risks|Comparison of Standardized Risks"}},
      {"indirect(af)", "rate",
       {"StdInfo|Standardization Information|Standardization Information",
        "StrataStats|Stratum Statistics for Indirect Standardization|Stratum Rates per 100000 for Indirect "
        "Standardization",
        "StrataSMR|Stratum SMR Estimates|Stratum SMRs from Reference Rates per 100000",
        "StrataSMRPlot|Stratum SMR Plot|Standardized Morbidity Ratios by Stratum",
        "Smr|Standardized Morbidity Ratio|Standardized Morbidity Ratio",
        "Quilvar|Standardized Rates|Indirectly Standardized Rate per 100000",
        "AttrFraction|Attributable Fractions|Attributable Fractions of the Study Population"}},
      {"indirect(af)", "risk",
       {"StdInfo|Standardization Information|Standardization Information",
        "StrataStats|Stratum Statistics for Indirect Standardization|Stratum Risks for Indirect Standardization",
        "StrataSMR|Stratum SMR Estimates|Stratum SMRs from Reference Risks",
        "StrataSMRPlot|Stratum SMR Plot|Standardized Morbidity Ratios by Stratum",
        "Smr|Standardized Morbidity Ratio|Standardized Morbidity Ratio",
        "StdRisk|Standardized Risks|Indirectly Standardized Risk",
        "AttrFraction|Attributable Fractions|Attributable Fractions of the Study Population"}},
      {"mh(af)", "rate",
       {"StdInfo|Standardization Information|Standardization Information",
        "StrataStats|Stratum Statistics for Mantel-Haenszel Standardization|Stratum Rates per 100000 for "
        "Mantel-Haenszel Standardization",
        "StrataEffect|Comparison of Stratum Rates per 100000|Comparison of Stratum Rates per 100000",
        "StrataEffectPlot|Stratum Rate Ratio Plot|" + effects,
        "Quilvar|Standardized Rates|Mantel-Haenszel Standardized Rates per 100000",
        "Effect|Comparison of Standardized Rates per 100000|Comparison of Standardized Rates per 100000",
        "AttrFraction|Attributable Fractions|Attributable Fractions with no as the Exposed Group"}},
      {"mh(af)", "risk",
       {"StdInfo|Standardization Information|Standardization Information",
        "StrataStats|Stratum Statistics for Mantel-Haenszel Standardization|Stratum Risks for Mantel-Haenszel "
        "Standardization",
        "StrataEffect|Comparison of Stratum Risks|Comparison of Stratum Risks",
        "StrataEffectPlot|Stratum Risk Ratio Plot|" + effects,
        "StdRisk|Standardized Risks|Mantel-Haenszel Standardized Risks",
        "Effect|Comparison of Standardized Risks|Comparison of Standardized Risks",
        "AttrFraction|Attributable Fractions|Attributable Fractions with no as the Exposed Group"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.statistic);
    const bool indirect = c.method.starts_with("indirect");
    const bool mh = c.method.starts_with("mh");
    const RunResult r =
        run("proc quilvar data=pop " + std::string(mh ? "" : "refdata=ref ") + "method=" + c.method +
            " stat=" + c.statistic + (indirect ? " plots(only)=smr" : " effect=ratio plots(only)=effect") +
            "; population " +
            (indirect ? "" : "group=exposed ") + "event=cases total=n; " +
            (mh ? "" : "reference event=ref_cases total=ref_n; ") + "strata age / stats " +
            (indirect ? "smr" : "effect") + ";\nrun;\n");
    std::vector<std::string> tables;
    for (const auto& o : r.json["steps"][0]["outputs"]) {
      tables.push_back(o["name"].get<std::string>() + "|" + o["label"].get<std::string>() + "|" +
                       o.value("title", o.value("description", "")));
    }
    EXPECT_EQ(tables, c.tables) << r.log;
  }
}

// The Type cells name the limits each row shows: the SMR's and the exposed
// attributable fraction's of the CL= type, the population attributable
// fraction's always from the log complement, and the stratum SMRs' of
// their own type.
TEST_F(QuilvarRun, TypeCellsNameTheLimitsOfEachRow) {
  write("pop.csv", "age,cases,n\n1,3,100\n2,2,90\n");
  write("ref.csv", "age,ref_cases,ref_n\n1,20,1000\n2,30,1000\n");
  struct Case { std::string cl; std::string type; };
  const Case cases[] = {{"normal", "Normal"}, {"lognormal", "Lognormal"}, {"poisson", "Poisson"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cl);
    const RunResult r = run("proc quilvar data=pop refdata=ref method=indirect(af) cl=" + c.cl +
                            " plots=none; population event=cases total=n; reference event=ref_cases total=ref_n; "
                            "strata age / smr(cl=" + c.cl + ");\nrun;\n");
    const auto text = [&](const std::string& table, std::size_t row) {
      const auto found = outputs(r, 0, table);
      if (found.empty()) return std::string("no table ") + table;
      const int column = column_index(found[0], "Type");
      return column < 0 ? std::string() : found[0]["rows"][row][static_cast<std::size_t>(column)].get<std::string>();
    };
    EXPECT_EQ(text("Smr", 0), c.type) << r.log;
    EXPECT_EQ(text("StrataSMR", 1), c.type);
    EXPECT_EQ(text("AttrFraction", 0), c.type);
    EXPECT_EQ(text("AttrFraction", 1), "Log Complement");
  }
}

TEST_F(QuilvarRun, BundledStandardPopulationsHaveTheirPublishedTotals) {
  struct Standard { std::string name; std::size_t groups; double total; };
  const Standard standards[] = {{"us2000", 19, 274633642}, {"us2000_18", 18, 274633642}, {"who2000", 21, 100035},
                                {"esp2013", 19, 100000}, {"segi1960", 18, 100000}};
  for (const Standard& s : standards) {
    SCOPED_TRACE(s.name);
    std::ifstream in(std::string(QUILVAR_SOURCE_DIR) + "/data/std/" + s.name + ".csv");
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "agegroup,age_low,age_high,std_pop");
    double total = 0;
    std::size_t groups = 0;
    double next_low = 0;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string label, low, high, population;
      std::getline(fields, label, ',');
      std::getline(fields, low, ',');
      std::getline(fields, high, ',');
      std::getline(fields, population, ',');
      EXPECT_EQ(std::stod(low), next_low) << line;  // contiguous age bands
      if (!high.empty()) next_low = std::stod(high) + 1;
      total += std::stod(population);
      ++groups;
    }
    EXPECT_EQ(groups, s.groups);
    EXPECT_EQ(total, s.total);
  }
  write("pop.csv", "agegroup,deaths,persons\n");
  std::ifstream us(std::string(QUILVAR_SOURCE_DIR) + "/data/std/us2000_18.csv");
  std::string line;
  std::getline(us, line);
  std::string data = "agegroup,deaths,persons\n";
  while (std::getline(us, line)) data += line.substr(0, line.find(',')) + ",10,10000\n";
  write("pop.csv", data);
  const RunResult r = run("proc quilvar data=pop refdata=std.us2000_18 method=direct plots=none; population "
                          "event=deaths total=persons; reference total=std_pop; strata agegroup;\nrun;\n");
  ASSERT_EQ(r.exit_status, 0) << r.log;
  EXPECT_DOUBLE_EQ(cell(outputs(r, 0, "Quilvar")[0], 0, "Quilvar"), 100.0);  // every stratum 10 per 10,000
}

TEST_F(QuilvarRun, CheckValidatesAndComputesTheFirstByGroupWithoutOutput) {
  // A negative count in the second BY group: a run stops there, a check
  // computes the first group only.
  const std::string step = write_by_year_step("2021,A,young,8,", "2021,A,young,-8,");
  RunResult r = run(step, "--check");
  EXPECT_EQ(r.exit_status, 0) << r.log;
  EXPECT_TRUE(r.json.is_null());  // no output written
  EXPECT_EQ(r.listing, "");
  EXPECT_NE(r.log.find("is valid"), std::string::npos);
  EXPECT_EQ(run(step).exit_status, 1);

  r = run("proc quilvar data=pop refdata=ref method=direct; population event=deaths total=persons; "
          "reference total=nosuch; strata age;\nrun;\n", "--check");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.log.find("nosuch"), std::string::npos);

  // Strata spelled otherwise in the reference fail the check, as they fail
  // every BY group of a run.
  write("ref.csv", "age,std_pop\nYoung,6000\nOld,2000\n");
  r = run(step, "--check");
  EXPECT_EQ(r.exit_status, 1) << r.log;
  EXPECT_NE(r.log.find("[908-143]"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("(BY group year=2020)"), std::string::npos) << r.log;
  EXPECT_EQ(r.log.find("year=2021"), std::string::npos) << r.log;
  EXPECT_EQ(r.log.find("is valid"), std::string::npos) << r.log;
  EXPECT_TRUE(r.json.is_null());

  // A check prints no listing, so its log may go to standard output.
  write("program.qv", step);
  EXPECT_EQ(run_in_folder("--check --log -"), 1) << read(folder_ / "stderr.txt");
  EXPECT_NE(read(folder_ / "stdout.txt").find("[908-143]"), std::string::npos) << read(folder_ / "stderr.txt");
}

// A check says of a value what the run says: the same message, naming the
// line of the data file it stands on.
TEST_F(QuilvarRun, CheckNamesTheLineOfABadValueAsTheRunDoes) {
  const std::string step = write_by_year_step("2020,A,old,40,", "2020,A,old,-40,");
  const auto first_error = [](const std::string& log) {
    const std::size_t start = log.find("ERROR:");
    return start == std::string::npos ? std::string() : log.substr(start, log.find('\n', start) - start);
  };
  const RunResult ran = run(step);
  ASSERT_EQ(ran.exit_status, 1) << ran.log;
  const std::string said = first_error(ran.log);
  EXPECT_NE(said.find("(line 3 of " + (folder_ / "pop.csv").string() + "; BY group year=2020)"), std::string::npos)
      << said;
  const RunResult checked = run(step, "--check");
  EXPECT_EQ(checked.exit_status, 1) << checked.log;
  EXPECT_EQ(first_error(checked.log), said);
}

TEST_F(QuilvarRun, MisspelledVariableSuggestsTheClosestName) {
  write("pop.csv", kPopulation);
  write("ref.csv", kReference);
  const RunResult r = run("proc quilvar data=pop refdata=ref method=direct; population event=death total=persns; "
                          "reference total=std_pop; strata agegroup;\nrun;\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.log.find("did you mean deaths?"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("did you mean persons?"), std::string::npos);
  EXPECT_EQ(r.log.find("agegroup is not in data set pop;"), std::string::npos);  // nothing close to suggest
  const RunResult option = run("proc quilvar data=pop refdata=ref method=direct alpa=0.1;\nrun;\n");
  EXPECT_NE(option.log.find("did you mean ALPHA?"), std::string::npos) << option.log;
}

// Started by its name from a folder on PATH, through a symbolic link, the
// program still finds its module and the standard populations beside it.
TEST_F(QuilvarRun, RunsThroughALinkFoundOnPath) {
  fs::create_directories(folder_ / "bin");
  fs::create_symlink(QUILVAR_EXECUTABLE, folder_ / "bin" / "quilvar");
  write("pop.csv", "agegroup,deaths,persons\n00,1,1000\n01-04,2,4000\n");
  write("program.qv", "proc quilvar data=pop refdata=std.us2000 method=direct plots=none; population "
                      "event=deaths total=persons; reference total=std_pop; strata agegroup;\nrun;\n");
  const std::string command = "cd " + folder_.string() + " && PATH=" + (folder_ / "bin").string() +
                              ":\"$PATH\" quilvar program.qv --no-listing > stdout.txt 2> stderr.txt";
  const int raw = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << read(folder_ / "stderr.txt");
}

// --lib takes one NAME=DIR each time, before or after the program's name.
TEST_F(QuilvarRun, LibrariesNameFoldersWhereverTheyAreGiven) {
  fs::create_directories(folder_ / "libA");
  fs::create_directories(folder_ / "libB");
  std::ofstream(folder_ / "libA" / "pop.csv") << kPopulation;
  std::ofstream(folder_ / "libB" / "ref.csv") << kReference;
  write("program.qv", "proc quilvar data=a.pop refdata=b.ref method=direct plots=none; population group=area "
                      "event=deaths total=persons; reference total=std_pop; strata age; by year;\nrun;\n");
  for (const std::string arguments : {"--lib a=libA --lib b=libB program.qv", "--lib=a=libA program.qv --lib b=libB",
                                      "program.qv --lib a=libA --lib b=libB"}) {
    const std::string command = "cd " + folder_.string() + " && " + QUILVAR_EXECUTABLE + " " + arguments +
                                " --no-listing 2> stderr.txt";
    const int raw = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << arguments << "\n" << read(folder_ / "stderr.txt");
  }
}

TEST_F(QuilvarRun, CommandLineProblemsExitWithTwo) {
  const RunResult unknown = run("", "--no-such-option");
  EXPECT_EQ(unknown.exit_status, 2);
  EXPECT_EQ(unknown.listing.rfind("quilvar: ", 0), 0u) << unknown.listing;  // said under the program's name
  const std::string missing = std::string(QUILVAR_EXECUTABLE) + " /nonexistent/program.qv > /dev/null 2>&1";
  const int raw = std::system(missing.c_str());
  EXPECT_EQ(WEXITSTATUS(raw), 2);
  const std::string help = std::string(QUILVAR_EXECUTABLE) + " --help > /dev/null 2>&1";
  EXPECT_EQ(WEXITSTATUS(std::system(help.c_str())), 0);
}

// A byte order mark before the first statement is not part of the program;
// a folder given as the program is refused by name rather than crashing.
TEST_F(QuilvarRun, ProgramFilesWithAByteOrderMarkRunAndFoldersAndMissingFilesAreRefused) {
  write("pop.csv", kPopulation);
  write("ref.csv", kReference);
  const RunResult marked = run("\xEF\xBB\xBFproc quilvar data=pop refdata=ref method=direct;\n"
                               "  population event=deaths total=persons; reference total=std_pop;\n"
                               "  strata age; by year area;\nrun;\n");
  EXPECT_EQ(marked.exit_status, 0) << marked.log;
  EXPECT_EQ(outputs(marked, 0, "Quilvar").size(), 4u);

  fs::create_directory(folder_ / "folder.qv");
  const std::string command = std::string(QUILVAR_EXECUTABLE) + " " + (folder_ / "folder.qv").string() + " > " +
                              (folder_ / "out.txt").string() + " 2>&1";
  const int raw = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), 2);
  EXPECT_NE(read(folder_ / "out.txt").find("folder.qv is a folder"), std::string::npos) << read(folder_ / "out.txt");

  const std::string missing = std::string(QUILVAR_EXECUTABLE) + " " + (folder_ / "nosuch.qv").string() + " > " +
                              (folder_ / "out.txt").string() + " 2>&1";
  const int missing_raw = std::system(missing.c_str());
  ASSERT_TRUE(WIFEXITED(missing_raw));
  EXPECT_EQ(WEXITSTATUS(missing_raw), 2);
  EXPECT_NE(read(folder_ / "out.txt").find("nosuch.qv: No such file or directory"), std::string::npos)
      << read(folder_ / "out.txt");
}

// An output option whose value was left out does not take the option
// after it as a folder or file name; a misspelled option is named with the
// one meant, a second program as such, a library named twice as such; a
// program saved as UTF-16 is refused by name instead of read as nonsense.
// A QUILVAR_STD_DIR naming no folder stops no run that does not read the
// standard populations, but the log says at once where that folder came
// from; a step reading std.NAME then fails on the data set it cannot find.
TEST_F(QuilvarRun, AStandardPopulationsFolderFromTheEnvironmentThatIsMissingIsNamed) {
  write("pop.csv", kPopulation);
  const char* const warning =
      "WARNING: the folder /quilvar-no-such-folder of library std, named by QUILVAR_STD_DIR, does not exist";
  const struct {
    const char* reference;
    int status;
  } kCases[] = {{"", 0}, {" refdata=std.us2000", 1}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.reference);
    write("program.qv", std::string("proc quilvar data=pop method=mh") + c.reference +
                            "; population group=area event=deaths total=persons;\nstrata age; run;\n");
    const std::string command = "cd " + folder_.string() + " && QUILVAR_STD_DIR=/quilvar-no-such-folder " +
                                QUILVAR_EXECUTABLE + " program.qv --no-listing 2> stderr.txt";
    const int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), c.status) << read(folder_ / "stderr.txt");
    EXPECT_EQ(read(folder_ / "stderr.txt").rfind(warning, 0), 0u) << read(folder_ / "stderr.txt");
  }
}

TEST_F(QuilvarRun, CommandLineMistakesAndWideProgramFilesAreRefusedByName) {
  write("pop.csv", kPopulation);
  write("program.qv", "proc quilvar data=pop method=mh; population group=area event=deaths total=persons;\n"
                      "strata age; run;\n");
  const struct {
    const char* arguments;
    const char* error;
  } kCases[] = {
      {"--csv --no-listing", "quilvar: --csv: its value is missing (found the option --no-listing)"},
      {"--json --strict", "quilvar: --json: its value is missing (found the option --strict)"},
      {"--no-listing --csv", "quilvar: --csv: 1 required DIR missing"},
      {"-csv out", "quilvar: unknown option -csv (did you mean --csv?)"},
      {"--cvs out", "quilvar: unknown option --cvs (did you mean --csv?)"},
      {"other.qv", "quilvar: only one program runs at a time: other.qv follows the program program.qv"},
      {"--data-dir pop.csv", "quilvar: the data folder pop.csv is not a folder"},
      {"--lib lib=nowhere", "quilvar: the folder nowhere of library lib does not exist"},
      {"--lib a=. --lib A=..", "quilvar: --lib names the library A twice (. and ..): give each library one folder"},
      {"--csv a --json r.json --csv b", "quilvar: --csv is given more than once; give it once\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.arguments);
    EXPECT_EQ(run_in_folder(c.arguments), 2);
    EXPECT_EQ(read(folder_ / "stderr.txt").rfind(c.error, 0), 0u) << read(folder_ / "stderr.txt");
  }
  // A folder the system cannot even look at (a name longer than a file
  // name may be) is named with the reason, not a crash.
  const std::string long_name(300, 'a');
  const struct {
    std::string arguments;
    std::string error;
  } kUnreachable[] = {
      {"--data-dir " + long_name, "quilvar: the data folder " + long_name + " cannot be reached: File name too long\n"},
      {"--lib x=" + long_name, "quilvar: the folder " + long_name + " of library x cannot be reached: File name too long\n"},
  };
  for (const auto& c : kUnreachable) {
    SCOPED_TRACE(c.arguments.substr(0, 12));
    EXPECT_EQ(run_in_folder(c.arguments), 2);
    EXPECT_EQ(read(folder_ / "stderr.txt"), c.error);
  }
  // A program read from standard input in a folder removed meanwhile has no
  // folder to find its data in.
  const std::string gone = "cd " + folder_.string() + " && mkdir gone && cd gone && rmdir ../gone && " +
                           QUILVAR_EXECUTABLE + " - < ../program.qv > ../stdout.txt 2> ../stderr.txt";
  const int gone_raw = std::system(gone.c_str());
  ASSERT_TRUE(WIFEXITED(gone_raw));
  EXPECT_EQ(WEXITSTATUS(gone_raw), 2);
  EXPECT_EQ(read(folder_ / "stderr.txt").rfind("quilvar: the current folder cannot be found (", 0), 0u)
      << read(folder_ / "stderr.txt");
  EXPECT_FALSE(fs::exists(folder_ / "--no-listing"));
  EXPECT_FALSE(fs::exists(folder_ / "--strict"));

  // Without a program, an unknown option is named rather than the program
  // called missing; a program file named like an option is shown how to run.
  write("-m.qv", "");
  const struct {
    const char* arguments;
    const char* error;
  } kAlone[] = {
      {"-x", "quilvar: unknown option -x\n"},
      {"-m.qv", "quilvar: unknown option -m.qv; to run the program file -m.qv, write ./-m.qv\n"},
  };
  for (const auto& c : kAlone) {
    SCOPED_TRACE(c.arguments);
    EXPECT_EQ(run_in_folder_without_program(c.arguments), 2);
    EXPECT_EQ(read(folder_ / "stderr.txt").rfind(c.error, 0), 0u) << read(folder_ / "stderr.txt");
  }

  std::string wide = "\xFF\xFE";
  for (char c : std::string("proc quilvar data=pop method=mh; run;\n")) wide.append({c, '\0'});
  write("program.qv", wide);
  EXPECT_EQ(run_in_folder(""), 2);
  EXPECT_EQ(read(folder_ / "stderr.txt"),
            "quilvar: the program file program.qv is encoded as UTF-16 (little-endian): save it as UTF-8 (or convert "
            "it, for instance with iconv -t UTF-8)\n");
}

// A log on standard error that cannot be written (a full disk) loses its
// messages, so the exit status says the run failed; a run with nothing to
// log ends as usual.
TEST_F(QuilvarRun, ALogThatCannotBeWrittenIsAFailure) {
  write("pop.csv", kPopulation);
  write("ref.csv", kReference);
  write("bad.csv", "age,deaths,persons\nyoung,-1,10\n");
  const auto exit_status = [&](const std::string& data) {
    write("program.qv", "proc quilvar data=" + data + " refdata=ref method=direct; population event=deaths "
                        "total=persons; reference total=std_pop; strata age;\nrun;\n");
    const std::string command = std::string(QUILVAR_EXECUTABLE) + " " + (folder_ / "program.qv").string() +
                                " --no-listing 2>/dev/full";
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  };
  EXPECT_EQ(exit_status("bad"), 2);
  EXPECT_EQ(exit_status("pop"), 0);
}

// A log file that cannot be written when the run ends (a full disk, here
// a device that is always full; a name that is a data set the run reads)
// does not lose the run's messages: they go to standard error, before the
// reason the file was not written.
TEST_F(QuilvarRun, TheMessagesOfALogFileThatCannotBeWrittenReachStandardError) {
  write("bad.csv", "age,deaths,persons\nyoung,-1,10\n");
  write("ref.csv", kReference);
  write("program.qv", "proc quilvar data=bad refdata=ref method=direct; population event=deaths "
                      "total=persons; reference total=std_pop; strata age;\nrun;\n");
  const struct {
    std::string log;
    std::string reason;
  } cases[] = {{"/dev/full", "cannot write /dev/full: No space left on device"},
               {"bad.csv", "cannot write bad.csv: it is a data set this program reads; it was not overwritten"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    EXPECT_EQ(run_in_folder("--no-listing --log " + c.log), 2);
    const std::string errors = read(folder_ / "stderr.txt");
    const std::size_t message = errors.find("ERROR: The EVENT= variable has a negative value");
    EXPECT_NE(message, std::string::npos) << errors;
    EXPECT_NE(errors.find("NOTE: The step at line 1 ended with status 1008."), std::string::npos) << errors;
    const std::size_t reason = errors.find("quilvar: " + c.reason + "\n");
    EXPECT_NE(reason, std::string::npos) << errors;
    EXPECT_GT(reason, message) << errors;
  }
}

// Output files that name one another, the program or an output folder are
// refused before anything is read or written.
TEST_F(QuilvarRun, ClashingOutputFilesAreRefusedBeforeTheRun) {
  write("pop.csv", kPopulation);
  write("ref.csv", kReference);
  const std::string program = "proc quilvar data=pop refdata=ref method=direct; population event=deaths "
                              "total=persons; reference total=std_pop; strata age;\nrun;\n";
  write("program.qv", program);
  fs::create_symlink("out.json", folder_ / "alias.json");  // dangling until out.json is made
  const struct {
    std::string arguments;
    std::string message;
  } cases[] = {
      {"--log program.qv", "--log names the program file program.qv, which would be overwritten"},
      {"--html sub/../program.qv", "--html names the program file sub/../program.qv, which would be overwritten"},
      {"--html out.json --json out.json",
       "--html and --json name the same file out.json; each output needs a file of its own"},
      {"--log out.json --json alias.json",
       "--log and --json name the same file out.json; each output needs a file of its own"},
      {"--html tables --csv tables/", "--html names tables, the --csv folder"},
      {"--json plots --plots ./plots", "--json names plots, the --plots folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    EXPECT_EQ(run_in_folder(c.arguments), 2);
    EXPECT_EQ(read(folder_ / "stderr.txt"), "quilvar: " + c.message + "\n");
    EXPECT_EQ(read(folder_ / "stdout.txt"), "");
    EXPECT_EQ(read(folder_ / "program.qv"), program);
    EXPECT_FALSE(fs::exists(folder_ / "out.json"));
    EXPECT_FALSE(fs::exists(folder_ / "tables"));
    EXPECT_FALSE(fs::exists(folder_ / "plots"));
  }
}

// An output whose file is a data set the run reads (by its name, through a
// link, or as a CSV table's file) is not written; the data set stays as it
// was, the other outputs are written, and the exit status tells.
TEST_F(QuilvarRun, AnOutputOverADataSetIsRefusedAndTheDataSetKept) {
  write("pop.csv", kPopulation);
  fs::create_directories(folder_ / "tables");
  write("tables/StdInfo.csv", kReference);
  write("program.qv", "proc quilvar data=pop refdata='tables/StdInfo.csv' method=direct; population "
                      "event=deaths total=persons; reference total=std_pop; strata age;\nrun;\n");
  fs::create_symlink("pop.csv", folder_ / "data-link");
  const struct {
    std::string arguments;
    std::string refused;
  } cases[] = {{"--json pop.csv --html report.html", "pop.csv"},
               {"--log tables/StdInfo.csv --html report.html", "tables/StdInfo.csv"},
               {"--json data-link --html report.html", "data-link"},
               {"--csv tables --html report.html", "tables/StdInfo.csv"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    fs::remove(folder_ / "report.html");
    EXPECT_EQ(run_in_folder("--no-listing " + c.arguments), 2);
    EXPECT_NE(read(folder_ / "stderr.txt")
                  .find("cannot write " + c.refused + ": it is a data set this program reads; it was not overwritten"),
              std::string::npos)
        << read(folder_ / "stderr.txt");
    // Named once, with the reason, not again when the outputs are completed.
    const std::string log = read(folder_ / "stderr.txt");
    std::size_t named = 0;
    for (std::size_t at = log.find("cannot write " + c.refused); at != std::string::npos;
         at = log.find("cannot write " + c.refused, at + 1))
      ++named;
    EXPECT_EQ(named, 1u) << log;
    EXPECT_EQ(read(folder_ / "pop.csv"), kPopulation);
    EXPECT_EQ(read(folder_ / "tables/StdInfo.csv"), kReference);
    EXPECT_TRUE(fs::is_symlink(folder_ / "data-link"));
    EXPECT_EQ(read(folder_ / "report.html").rfind("<!DOCTYPE html>", 0), 0u);
  }
  EXPECT_TRUE(fs::exists(folder_ / "tables" / "Quilvar.csv"));  // the CSV files not in the way are written
}

// A link to standard output (as /dev/stdout is) reaches it; a link to a
// report stays a link and the report it names is replaced.
TEST_F(QuilvarRun, OutputsReachStandardOutputAndFilesBehindLinks) {
  write("pop.csv", kPopulation);
  write("ref.csv", kReference);
  write("program.qv", "proc quilvar data=pop refdata=ref method=direct; population event=deaths "
                      "total=persons; reference total=std_pop; strata age;\nrun;\n");
  fs::create_directories(folder_ / "reports");
  write("reports/report.html", "stale report");
  fs::create_symlink("reports/report.html", folder_ / "report-link");
  fs::create_symlink("/proc/self/fd/1", folder_ / "stdout-link");
  ASSERT_EQ(run_in_folder("--no-listing --json stdout-link --html report-link"), 0) << read(folder_ / "stderr.txt");
  const nlohmann::json json = nlohmann::json::parse(read(folder_ / "stdout.txt"), nullptr, false);
  ASSERT_FALSE(json.is_discarded()) << read(folder_ / "stdout.txt");
  EXPECT_EQ(json["steps"].size(), 1u);
  EXPECT_TRUE(fs::is_symlink(folder_ / "stdout-link"));
  EXPECT_TRUE(fs::is_symlink(folder_ / "report-link"));
  EXPECT_EQ(read(folder_ / "reports/report.html").rfind("<!DOCTYPE html>", 0), 0u);
}

// "-" writes into the standard output the run was given, whatever it is:
// a socket (which cannot be opened by name), a file or terminal another
// user opened for it before a change of user (which that user's permission
// would not open again), or none at all, which is an error, not lost text.
TEST_F(QuilvarRun, ADashWritesIntoTheStandardOutputItWasGiven) {
  write("pop.csv", kPopulation);
  write("ref.csv", kReference);
  write("program.qv", "proc quilvar data=pop refdata=ref method=direct; population event=deaths "
                      "total=persons; reference total=std_pop; strata age;\nrun;\n");
  enum class Output { kSocket, kOtherUsersFile, kClosed };
  const struct {
    const char* name;
    Output output;
    bool unprivileged;
    int exit_status;
    const char* error;  // in standard error, or empty
  } cases[] = {
      {"socket", Output::kSocket, false, 0, ""},
      {"socket, unprivileged", Output::kSocket, true, 0, ""},
      {"file opened for another user", Output::kOtherUsersFile, true, 0, ""},
      {"closed", Output::kClosed, false, 2, "cannot write /dev/stdout: Bad file descriptor"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.unprivileged && !quilvar::testing::can_run_as(quilvar::testing::kNobody)) continue;
    const fs::path file = folder_ / "stdout.json";
    fs::remove(file);
    int ends[2] = {-1, -1};
    if (c.output == Output::kSocket) {
      ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    }
    if (c.output == Output::kOtherUsersFile) {
      ends[1] = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(ends[1], 0);
    }
    int errors[2];
    ASSERT_EQ(pipe(errors), 0);
    const pid_t child = start_program(ends[1], errors[1], c.unprivileged, "--json");
    if (ends[1] >= 0) close(ends[1]);
    close(errors[1]);
    std::string written;
    char block[4096];
    for (ssize_t n; c.output == Output::kSocket && (n = ::read(ends[0], block, sizeof block)) > 0;) {
      written.append(block, n);
    }
    if (ends[0] >= 0) close(ends[0]);
    std::string error;
    for (ssize_t n; (n = ::read(errors[0], block, sizeof block)) > 0;) error.append(block, n);
    close(errors[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.exit_status) << error;
    if (c.output == Output::kOtherUsersFile) written = read(file);
    if (c.exit_status == 0) {
      const nlohmann::json json = nlohmann::json::parse(written, nullptr, false);
      ASSERT_FALSE(json.is_discarded()) << written << error;
      EXPECT_EQ(json["steps"].size(), 1u);
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

// Another user's file in a folder with the sticky bit (as /tmp has) cannot
// be replaced: the run says so before its steps, not after them with
// "Operation not permitted", and leaves the file as it was.
TEST_F(QuilvarRun, AnotherUsersFileInAStickyFolderIsRefusedAtOnce) {
  if (!quilvar::testing::can_run_as(quilvar::testing::kNobody) || geteuid() != 0) {
    GTEST_SKIP() << "needs root to run as another user";
  }
  write("pop.csv", kPopulation);
  write("ref.csv", kReference);
  write("program.qv", "proc quilvar data=pop refdata=ref method=direct; population event=deaths "
                      "total=persons; reference total=std_pop; strata age;\nrun;\n");
  fs::create_directories(folder_ / "shared");
  fs::permissions(folder_ / "shared", fs::perms(01777));
  write("shared/report.json", "a colleague's report");
  fs::permissions(folder_ / "shared" / "report.json", fs::perms(0666));
  const std::string report = (folder_ / "shared" / "report.json").string();
  const int errors = open((folder_ / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const pid_t child = fork();
  if (child == 0) {
    dup2(errors, STDERR_FILENO);
    if (setuid(quilvar::testing::kNobody) != 0 || chdir(folder_.c_str()) != 0) _exit(126);
    execl(QUILVAR_EXECUTABLE, QUILVAR_EXECUTABLE, "program.qv", "--no-listing", "--json", report.c_str(), "--html",
          "shared/report.html", nullptr);
    _exit(127);
  }
  close(errors);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_NE(read(folder_ / "stderr.txt")
                .find("cannot write " + report + ": it belongs to another user, and its folder (as /tmp does) lets "
                      "only a file's owner replace it"),
            std::string::npos)
      << read(folder_ / "stderr.txt");
  EXPECT_EQ(read(folder_ / "shared" / "report.json"), "a colleague's report");
  EXPECT_FALSE(fs::exists(folder_ / "shared" / "report.html"));  // the steps did not run
}

// A small stack limit (ulimit -s 128) is enough for a step: nothing the
// procedure keeps for a step lives on the stack.
TEST_F(QuilvarRun, AStepRunsUnderASmallStackLimit) {
  // AddressSanitizer's red zones make every frame larger.
  if (::quilvar::testing::kAddressSanitizer) GTEST_SKIP() << "frames are larger under AddressSanitizer";
  write_areas(20);
  child_stack_limit_ = 128 * 1024;
  const PipedRun run = run_into_pipe("--json");
  EXPECT_EQ(run.exit_status, 0) << read(folder_ / "stderr.txt");
  const nlohmann::json json = nlohmann::json::parse(run.output, nullptr, false);
  ASSERT_FALSE(json.is_discarded());
  EXPECT_EQ(json["steps"][0]["status"], 0);
}

// A standard output that is a pipe set not to block (as a parent program
// may leave it) is written as a blocking one: the run waits for its reader
// rather than fail when the pipe is full.
TEST_F(QuilvarRun, ADashWaitsForTheReaderOfAPipeSetNotToBlock) {
  write_areas(1500);
  // The pipe fills while nothing reads it.
  const PipedRun run = run_into_pipe("--json", false, nullptr, O_NONBLOCK, 200000);
  EXPECT_EQ(run.exit_status, 0) << read(folder_ / "stderr.txt");
  EXPECT_TRUE(nlohmann::json::accept(run.output));
}

// So does the listing, and it is the listing written to a blocking pipe.
TEST_F(QuilvarRun, TheListingWaitsForTheReaderOfAPipeSetNotToBlock) {
  write_areas(1500);
  const PipedRun blocking = run_into_pipe(nullptr);
  ASSERT_EQ(blocking.exit_status, 0) << read(folder_ / "stderr.txt");
  const PipedRun run = run_into_pipe(nullptr, false, nullptr, O_NONBLOCK, 200000);
  EXPECT_EQ(run.exit_status, 0) << read(folder_ / "stderr.txt");
  EXPECT_GT(run.output.size(), std::size_t{1} << 20);
  EXPECT_TRUE(run.output == blocking.output);
}

// What a program wrote to a terminal, read from its master side until the
// last program holding the other side has closed it.
std::string read_terminal(int master) {
  std::string text;
  char block[4096];
  for (ssize_t n; (n = ::read(master, block, sizeof block)) > 0;) text.append(block, static_cast<std::size_t>(n));
  return text;
}

// The progress line of a long run stands on standard error's terminal until
// something else is written there: a log line clears it and starts a line
// of its own, and a listing shown on that terminal, which the line would
// run into, gets none. The run is held up beyond the line's two quiet
// seconds by a reader that waits before it reads the listing.
TEST_F(QuilvarRun, TheProgressLineNeverRunsIntoTheLogOrTheListing) {
  constexpr int kAreas = 30000;
  write_areas(kAreas);
  // The last areas lack their old stratum: warnings after the line is shown.
  std::string population = read(folder_ / "pop.csv");
  for (int area = kAreas - 3; area < kAreas; ++area) {
    const std::string row = std::to_string(area) + ",old,20,1000\n";
    population.erase(population.find(row, population.size() - 200), row.size());
  }
  write("pop.csv", population);
  for (const bool listing_on_terminal : {false, true}) {
    SCOPED_TRACE(listing_on_terminal ? "listing on the terminal" : "listing into a pipe");
    int master = -1, terminal = -1, ends[2] = {-1, -1};
    ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    if (!listing_on_terminal) {
      ASSERT_EQ(pipe(ends), 0);
    }
    const pid_t child = start_program(listing_on_terminal ? terminal : ends[1], terminal, false, nullptr);
    close(terminal);
    usleep(2500000);
    if (!listing_on_terminal) {
      close(ends[1]);
      char block[65536];
      while (::read(ends[0], block, sizeof block) > 0) {
      }
      close(ends[0]);
    }
    const std::string shown = read_terminal(master);
    close(master);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown.substr(0, 2000);
    if (listing_on_terminal) {
      EXPECT_EQ(shown.find("groups done"), std::string::npos);
    } else {
      ASSERT_NE(shown.find("groups done"), std::string::npos) << "the run ended before its progress line showed";
    }
    std::size_t warnings = 0;
    for (std::size_t at = shown.find("WARNING:"); at != std::string::npos; at = shown.find("WARNING:", at + 1)) {
      ++warnings;
      EXPECT_TRUE(at == 0 || shown[at - 1] == '\n' || shown[at - 1] == '\r')
          << shown.substr(at < 100 ? 0 : at - 100, 200);
    }
    EXPECT_EQ(warnings, 3u);
  }
}

// A report sent to standard output keeps its text aside in a temporary
// file, not in memory, also when TMPDIR names a folder that is missing or
// that the user may not write: the system's /tmp takes the file then.
TEST_F(QuilvarRun, AReportToStandardOutputKeepsItsTextAsideWhereverTmpdirPoints) {
  if (!quilvar::testing::can_run_as(quilvar::testing::kNobody)) GTEST_SKIP() << "no unprivileged user to run as";
  write_areas(6000);
  const fs::path unwritable = folder_ / "locked";
  fs::create_directories(unwritable);
  fs::permissions(unwritable, fs::perms(0755));
  const std::string missing = (folder_ / "missing").string();
  for (const std::string& tmpdir : {missing, unwritable.string()}) {
    SCOPED_TRACE("TMPDIR=" + tmpdir);
    const PipedRun run = run_into_pipe("--html", true, tmpdir.c_str());
    ASSERT_EQ(run.exit_status, 0) << read(folder_ / "stderr.txt");
    ASSERT_GT(run.output.size(), std::size_t{40} << 20);
    // Kept in memory, the text and its copies as it grew took twice its
    // size; kept aside, the run's own tens of megabytes stay below it. The
    // sanitizers' own memory (quarantine, shadow pages) would be measured too.
    if (!::quilvar::testing::kAddressSanitizer && !::quilvar::testing::kThreadSanitizer) {
      EXPECT_LT(std::size_t(run.peak_kb) * 1024, run.output.size());
    }
  }
}

// A report sent to standard output keeps its text aside in the temporary
// folder, not in the folder of /dev/stdout: /dev is memory (and in
// containers a small one), and only root may write it anyway.
TEST_F(QuilvarRun, AReportToStandardOutputKeepsItsTextAsideInTheTemporaryFolder) {
  write_areas(1500);
  const fs::path aside = folder_ / "aside";
  fs::create_directories(aside);
  // The report is written when the run ends; until then the temporary file
  // is open, and its link in /proc names its folder.
  std::set<std::string> folders;
  const auto note_folders = [&folders](pid_t run) {
    std::error_code code;
    for (const auto& entry : fs::directory_iterator(fs::path("/proc") / std::to_string(run) / "fd", code)) {
      const std::string target = fs::read_symlink(entry.path(), code).string();
      if (target.ends_with("(deleted)")) folders.insert(fs::path(target).parent_path().string());
    }
  };
  const PipedRun run = run_into_pipe("--html", false, aside.c_str(), 0, 0, note_folders);
  EXPECT_EQ(run.exit_status, 0) << read(folder_ / "stderr.txt");
  ASSERT_GT(run.output.size(), std::size_t{8} << 20);  // more than is kept in memory
  EXPECT_EQ(folders, std::set<std::string>{aside.string()});
}

// A report's temporary file that cannot grow (a full file system, or a file
// size limit, as here) leaves the rest of the text in memory: the report
// is whole, not refused.
TEST_F(QuilvarRun, AReportWhoseTemporaryFileCannotGrowIsWhole) {
  write_areas(1500);
  struct rlimit unlimited {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  struct rlimit limited = unlimited;
  limited.rlim_cur = 1 << 20;  // inherited by the run; the test's own is restored after it
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const PipedRun run = run_into_pipe("--html");
  setrlimit(RLIMIT_FSIZE, &unlimited);
  EXPECT_EQ(run.exit_status, 0) << read(folder_ / "stderr.txt");
  ASSERT_GT(run.output.size(), std::size_t{4} << 20);
  EXPECT_TRUE(run.output.ends_with("</html>\n"));
  EXPECT_NE(run.output.find("area=1499"), std::string::npos);
}

// "-" as an output file is standard output, which takes one writer: the
// listing or one such output. No file named "-" is made.
TEST_F(QuilvarRun, ADashNamesStandardOutputForOneOutput) {
  write("pop.csv", kPopulation);
  write("ref.csv", kReference);
  write("program.qv", "proc quilvar data=pop refdata=ref method=direct; population event=deaths "
                      "total=persons; reference total=std_pop; strata age;\nrun;\n");
  ASSERT_EQ(run_in_folder("--no-listing --json -"), 0) << read(folder_ / "stderr.txt");
  const nlohmann::json json = nlohmann::json::parse(read(folder_ / "stdout.txt"), nullptr, false);
  ASSERT_FALSE(json.is_discarded()) << read(folder_ / "stdout.txt");
  EXPECT_EQ(json["steps"].size(), 1u);
  ASSERT_EQ(run_in_folder("--no-listing --html -"), 0) << read(folder_ / "stderr.txt");
  EXPECT_EQ(read(folder_ / "stdout.txt").rfind("<!DOCTYPE html>", 0), 0u);
  ASSERT_EQ(run_in_folder("--no-listing --json /dev/stdout"), 0) << read(folder_ / "stderr.txt");
  EXPECT_TRUE(nlohmann::json::accept(read(folder_ / "stdout.txt")));
  EXPECT_FALSE(fs::exists(folder_ / "-"));
  const struct {
    std::string arguments;
    std::string message;
  } refused[] = {
      {"--json -", "--json - and the listing both write to standard output; add --no-listing, or give --json a file "
                   "name"},
      {"--log - --csv tables", "--log - and the listing both write to standard output; add --no-listing, or give "
                               "--log a file name"},
      {"--no-listing --json - --html -",
       "--json - and --html - both write to standard output; give one of them a file name"},
      {"--no-listing --csv -", "--csv - cannot go to standard output: --csv writes a file for each table or plot "
                               "into a folder; give the folder's name"},
      // Standard output's file named otherwise: through /dev/stdout, or as
      // the file the listing is redirected to (stdout.txt here).
      {"--json /dev/stdout", "--json /dev/stdout and the listing both write to standard output; add --no-listing, or "
                             "give --json a file name"},
      {"--html stdout.txt", "--html stdout.txt and the listing both write to standard output; add --no-listing, or "
                            "give --html a file name"},
      {"--no-listing --json - --log /dev/fd/1",
       "--log /dev/fd/1 and --json - both write to standard output; give one of them a file name"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.arguments);
    EXPECT_EQ(run_in_folder(c.arguments), 2);
    EXPECT_EQ(read(folder_ / "stderr.txt"), "quilvar: " + c.message + "\n");
    EXPECT_EQ(read(folder_ / "stdout.txt"), "");
    EXPECT_FALSE(fs::exists(folder_ / "-"));
    EXPECT_FALSE(fs::exists(folder_ / "tables"));
  }
}

// A standard stream the run was started without is not taken over by the
// next file opened: the listing (or the log) would otherwise be written into
// an output file, here a JSON document read through a named pipe, which is
// written straight into. The stream's loss is said and gives exit status 2;
// the JSON document stays whole.
TEST_F(QuilvarRun, AClosedStandardStreamIsNotWrittenIntoAnOutputFile) {
  write("pop.csv", kPopulation);
  write("ref.csv", kReference);
  write("program.qv", "proc quilvar data=pop refdata=ref method=direct method=direct; population event=deaths "
                      "total=persons; reference total=std_pop; strata age;\nrun;\n");
  ASSERT_EQ(mkfifo((folder_ / "out.fifo").c_str(), 0600), 0);
  const struct {
    const char* streams;
    const char* said;  // in stderr.txt
  } kCases[] = {
      {">&- 2> stderr.txt", "ERROR: cannot write the listing"},
      {"> stdout.txt 2>&-", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.streams);
    fs::remove(folder_ / "stderr.txt");
    const std::string command = "cd " + folder_.string() + " && { cat out.fifo > got.json & " + QUILVAR_EXECUTABLE +
                                " program.qv --json out.fifo " + c.streams + "; echo $? > status.txt; wait; }";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(read(folder_ / "status.txt"), "2\n");
    const nlohmann::json json = nlohmann::json::parse(read(folder_ / "got.json"), nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << read(folder_ / "got.json").substr(0, 200);
    EXPECT_EQ(json["steps"].size(), 1u);
    if (*c.said != '\0') {
      EXPECT_NE(read(folder_ / "stderr.txt").find(c.said), std::string::npos);
    }
  }
}

// A program read through a descriptor, standard input or a pipe the shell
// names /dev/fd/N, has no folder of its own: its data sets are looked for
// in the current folder, not in /dev/fd.
TEST_F(QuilvarRun, AProgramReadThroughADescriptorFindsItsDataInTheCurrentFolder) {
  write("pop.csv", kPopulation);
  write("ref.csv", kReference);
  fs::create_directories(folder_ / "jobs");
  std::ofstream(folder_ / "jobs" / "program.qv")
      << "proc quilvar data=pop refdata=ref method=direct; population event=deaths total=persons; "
         "reference total=std_pop; strata age;\nrun;\n";
  for (const std::string program : {"- < jobs/program.qv", "/dev/stdin < jobs/program.qv", "<(cat jobs/program.qv)"}) {
    SCOPED_TRACE(program);
    const std::string command = "cd " + folder_.string() + " && bash -c '" + QUILVAR_EXECUTABLE + " " + program +
                                " --no-listing' 2> stderr.txt";
    const int raw = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << read(folder_ / "stderr.txt");
    EXPECT_EQ(read(folder_ / "stderr.txt"), "");
  }
}

// A program read from a standard input that cannot be read (closed, or a
// folder) is an error, not an empty program that runs nothing and succeeds.
TEST_F(QuilvarRun, AProgramFromAnUnreadableStandardInputIsRefused) {
  const struct {
    const char* input;
    const char* reason;
  } kCases[] = {
      {"<&-", "Bad file descriptor"},
      {"< .", "Is a directory"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(run_in_folder_without_program(std::string("- ") + c.input), 2);
    EXPECT_EQ(read(folder_ / "stderr.txt"),
              std::string("quilvar: cannot read the program from standard input: ") + c.reason + "\n");
  }
}

// A run stopped before its steps by an output it cannot write leaves no
// folder it made for another output, and its log file says why.
TEST_F(QuilvarRun, ARunStoppedBeforeItsStepsTakesAwayItsFoldersAndLogsWhy) {
  write("pop.csv", kPopulation);
  write("ref.csv", kReference);
  write("program.qv", "proc quilvar data=pop refdata=ref method=direct; population event=deaths "
                      "total=persons; reference total=std_pop; strata age;\nrun;\n");
  EXPECT_EQ(run_in_folder("--csv made/csv --plots made/plots --html pop.csv/report.html --log log.txt"), 2);
  EXPECT_FALSE(fs::exists(folder_ / "made"));
  const std::string said = "cannot write pop.csv/report.html: Not a directory";
  EXPECT_EQ(read(folder_ / "stderr.txt"), "quilvar: " + said + "\n");
  EXPECT_EQ(read(folder_ / "log.txt"), "ERROR: " + said + "\n");
}

// Under a memory limit the run completes, or a step or the run stops with a
// message saying memory ran out; it never aborts or crashes, and it
// leaves no temporary file. The limits step a megabyte at a time through the
// range where allocations start to fail while the bundled example (two
// steps, every output, plots) is read, computed, delivered and completed.
TEST_F(QuilvarRun, AMemoryLimitStopsTheRunCleanly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers reserve more address space than any limit here";
#else
  const std::string examples = std::string(QUILVAR_SOURCE_DIR) + "/examples";
  int stopped = 0;
  for (int megabytes = 10; megabytes <= 60; ++megabytes) {
    SCOPED_TRACE(megabytes);
    fs::remove_all(folder_ / "out");
    const std::string command = "cd " + folder_.string() + " && ulimit -v " + std::to_string(megabytes * 1024) +
                                " && exec " + QUILVAR_EXECUTABLE + " " + examples + "/mortality.qv --data-dir " +
                                examples +
                                " --no-listing --csv out/csv --plots out/plots --json out/r.json "
                                "--html out/r.html 2> stderr.txt";
    const int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw)) << "signal " << WTERMSIG(raw) << ": " << read(folder_ / "stderr.txt");
    const int status = WEXITSTATUS(raw);
    if (status == 127) continue;  // the limit is below what starting the program takes
    // 1: a step stopped for want of memory, the run went on; 2: the run
    // stopped. Either way the log says memory ran out.
    EXPECT_TRUE(status == 0 || status == 1 || status == 2) << status;
    if (status != 0) {
      ++stopped;
      EXPECT_NE(read(folder_ / "stderr.txt").find("memory"), std::string::npos) << read(folder_ / "stderr.txt");
    }
    if (!fs::exists(folder_ / "out")) continue;
    for (const auto& entry : fs::recursive_directory_iterator(folder_ / "out")) {
      EXPECT_FALSE(entry.path().filename().string().ends_with(".tmp")) << entry.path();
    }
  }
  EXPECT_GT(stopped, 0);
#endif
}

// True when the folder holds a temporary output file (".NAME.PID.tmp").
bool has_temporary_file(const fs::path& folder) {
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.front() == '.' && name.ends_with(".tmp")) return true;
  }
  return false;
}

// The listing goes to a pipe nobody reads, so the run stops once the pipe
// and the listing's queue are full, with its CSV files still temporary;
// closing the pipe then ends it by SIGPIPE, which must take them away.
TEST_F(QuilvarRun, RunCutOffFromItsListingLeavesNoTemporaryFiles) {
  write_areas(1500);
  const fs::path csv = folder_ / "csv";
  fs::create_directories(csv);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const pid_t child = fork();
  if (child == 0) {
    dup2(ends[1], STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    close(ends[0]);
    close(ends[1]);
    execl(QUILVAR_EXECUTABLE, QUILVAR_EXECUTABLE, (folder_ / "program.qv").c_str(), "--csv", csv.c_str(), nullptr);
    _exit(127);
  }
  close(ends[1]);
  bool stalled_with_temporaries = false;
  int status = 0;
  pid_t ended = 0;
  while (ended == 0 && !stalled_with_temporaries) {
    stalled_with_temporaries = has_temporary_file(csv);
    ended = waitpid(child, &status, WNOHANG);
    if (ended == 0 && !stalled_with_temporaries) usleep(500);
  }
  close(ends[0]);
  if (ended == 0) waitpid(child, &status, 0);
  EXPECT_TRUE(stalled_with_temporaries);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGPIPE);
  EXPECT_FALSE(has_temporary_file(csv));
}


// A stratum whose expected count is a hundred-millionth of an event (10
// person-years at a reference rate of 1 per 10^9) beside one of 1000 expected
// events: the listing and the report show its expected count and its rate
// ratio, not 0.0000 beside an SMR of 10^11.
TEST_F(QuilvarRun, ValuesFarBelowTheirColumnsOthersDoNotReadAsZero) {
  write("pop.csv", "age,deaths,py\ntiny,1000,10\nhuge,1000,1000000000000\nrest,1,1000\n");
  write("ref.csv", "age,ref_deaths,ref_py\ntiny,1,1000000000\nhuge,1,1000000000\nrest,1,1000000000\n");
  const RunResult result = run(
      "proc quilvar data=pop refdata=ref method=indirect; population event=deaths total=py; "
      "reference event=ref_deaths total=ref_py; strata age / smr;\nrun;\n",
      "--html " + (folder_ / "report.html").string());
  ASSERT_EQ(result.exit_status, 0) << result.log;
  const std::string report = read(folder_ / "report.html");
  for (const std::string& shown : {std::string("0.00000001"), std::string("1000.0000")}) {
    SCOPED_TRACE(shown);
    EXPECT_NE(result.listing.find(" " + shown + " "), std::string::npos) << result.listing;
    EXPECT_NE(report.find(">" + shown + "<"), std::string::npos);
  }
}

// Whole numbers are shown whole in the table rows: numeric codes as STRATA
// and GROUP= values (areas 1234567890123 and 1234567890124, registers
// 98765432101 and 98765432102), as in the BY lines and the column headers,
// so the rows of two codes never read alike; and a national population-time
// of 14030277349283 person-years, not 1.4030277E13.
TEST_F(QuilvarRun, WholeNumbersOfCodesAndPopulationsAreShownWhole) {
  write("pop.csv",
        "area,register,deaths,py\n1234567890123,98765432101,5,1000\n1234567890123,98765432102,6,1000\n"
        "1234567890124,98765432101,7,1000\n1234567890124,98765432102,8,14030277349283\n");
  write("ref.csv", "area,std_pop\n1234567890123,100\n1234567890124,200\n");
  const RunResult result = run(
      "proc quilvar data=pop refdata=ref method=direct plots=none; population group=register event=deaths "
      "total=py; reference total=std_pop; strata area / stats;\nrun;\n",
      "--html " + (folder_ / "report.html").string());
  ASSERT_EQ(result.exit_status, 0) << result.log;
  const std::string report = read(folder_ / "report.html");
  const std::vector<std::string> rows{"98765432101           1  1234567890123", "98765432101           2  1234567890124",
                                      "98765432102           1  1234567890123", "98765432102           2  1234567890124"};
  for (const std::string& row : rows) {
    SCOPED_TRACE(row);
    EXPECT_NE(result.listing.find(row), std::string::npos) << result.listing;
  }
  EXPECT_NE(result.listing.find(" 14030277349283 "), std::string::npos) << result.listing;
  EXPECT_NE(result.listing.find(" 14030277350283 "), std::string::npos) << result.listing;
  for (const char* cell : {">1234567890124<", ">98765432102<", ">14030277350283<"}) {
    EXPECT_NE(report.find(cell), std::string::npos) << cell;
  }
}

}  // namespace
