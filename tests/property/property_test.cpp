// Invariants of the estimates over generated valid data: hundreds of steps
// with random methods, statistics, limit types, effects and multipliers,
// each over several BY groups of random data, run in one program
// in-process with a JSON destination. Every output row must satisfy:
// lower limit <= estimate <= upper limit where all three are present,
// p-values in [0, 1], standard errors >= 0, risks, proportions and their
// limits in [0, 1], SMR = observed / expected, the directly standardized
// estimate = the reference-weighted sum of the stratum estimates, and no
// value other than a number or a missing value. Plot data, which the
// renderer receives unformatted, must hold no infinity or NaN that is not
// a missing-value code.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include <unistd.h>

#include "quilvar/entry/driver.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/host/missing.hpp"
#include "runtime/cli/program_runner.hpp"
#include "runtime/loader/session.hpp"
#include "runtime/output/model.hpp"
#include "runtime/output/output.hpp"
#include "runtime/statements/program.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int kSteps = 400;
constexpr int kGroupsPerStep = 8;
constexpr double kTolerance = 1e-9;

struct StepPlan {
  std::string method;  // DIRECT, INDIRECT or MH
  bool risk = false;
  bool two_populations = false;
  std::string statement;
};

// A missing value is the NaN pattern with its code in the sixth byte;
// anything else with an all-ones exponent is a stray infinity or NaN.
bool is_stray_non_finite(double value) {
  if (std::isfinite(value)) return false;
  const auto bits = std::bit_cast<std::uint64_t>(value);
  return (bits & 0xFFFF00FFFFFFFFFFull) != quilvar::host::kMissingBitsBase;
}

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : random_(seed) {}

  int integer(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  double uniform(double low, double high) { return std::uniform_real_distribution<double>(low, high)(random_); }
  bool chance(double p) { return uniform(0, 1) < p; }
  template <typename T, std::size_t N>
  const T& pick(const std::array<T, N>& items) { return items[static_cast<std::size_t>(integer(0, N - 1))]; }

  StepPlan plan(int index) {
    StepPlan p;
    p.method = pick(std::array<std::string, 3>{"DIRECT", "INDIRECT", "MH"});
    p.risk = chance(0.4);
    p.two_populations = p.method == "MH" || (p.method == "DIRECT" && chance(0.5));
    const std::string cl = pick(std::array<std::string, 6>{"none", "normal", "lognormal", "poisson", "gamma",
                                                          "gamma(type=conservative)"});
    std::ostringstream s;
    s << "proc quilvar data=pop" << index << (p.method == "MH" ? "" : " refdata=ref" + std::to_string(index))
      << " method=" << p.method;
    if (p.method != "DIRECT" && chance(0.5)) s << "(af)";
    s << " cl=" << cl << " alpha=" << pick(std::array<const char*, 4>{"0.01", "0.05", "0.1", "0.2"});
    if (p.risk) s << " stat=risk";
    else s << " stat=rate(mult=" << static_cast<long long>(std::pow(10, integer(0, 6))) << ")";
    if (p.two_populations && chance(0.7)) s << " effect=" << (chance(0.5) ? "ratio" : "diff");
    s << ";\n  population" << (p.two_populations ? " group=grp" : "") << " event=events total=total;\n";
    if (p.method != "MH") s << "  reference event=ref_events total=ref_total;\n";
    s << "  strata stratum / stats(cl=" << pick(std::array<const char*, 3>{"normal", "lognormal", "poisson"}) << ")";
    if (p.method == "INDIRECT") s << " smr(cl=" << pick(std::array<const char*, 3>{"normal", "lognormal", "poisson"}) << ")";
    if (p.two_populations) s << " effect";
    s << ";\n  by g;\nrun;\n";
    p.statement = s.str();
    return p;
  }

  // Population and reference data: kGroupsPerStep BY groups, each with its
  // own number of strata; events never exceed totals.
  void write_data(const StepPlan& p, const fs::path& pop, const fs::path& ref) {
    std::ofstream population(pop), reference(ref);
    population << "g,grp,stratum,events,total\n";
    reference << "g,stratum,ref_events,ref_total\n";
    for (int g = 1; g <= kGroupsPerStep; ++g) {
      const int strata = integer(1, 6);
      const double base_rate = std::pow(10.0, uniform(-5, -0.5));
      for (int s = 1; s <= strata; ++s) {
        for (int level = 0; level < (p.two_populations ? 2 : 1); ++level) {
          const double total = std::round(std::pow(10.0, uniform(0.5, 6)));
          const double expected = std::min(total, total * base_rate * uniform(0.2, 5));
          const double events = chance(0.1) ? 0 : std::min(total, std::round(expected));
          population << g << ',' << (level == 0 ? "exposed" : "other") << ",s" << s << ',' << events << ',' << total
                     << '\n';
        }
        const double ref_total = std::round(std::pow(10.0, uniform(3, 7)));
        const double ref_events = std::min(ref_total, std::round(ref_total * base_rate * uniform(0.5, 2)));
        reference << g << ",s" << s << ',' << ref_events << ',' << ref_total << '\n';
      }
    }
  }

 private:
  std::mt19937 random_;
};

int column_index(const json& output, std::string_view name) {
  const json& columns = output["columns"];
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (columns[i]["name"].get<std::string>() == name) return static_cast<int>(i);
  }
  return -1;
}

bool present(const json& row, int column) { return column >= 0 && row[column].is_number(); }
double value(const json& row, int column) { return row[column].get<double>(); }

bool close(double a, double b) { return std::fabs(a - b) <= kTolerance * std::max({1.0, std::fabs(a), std::fabs(b)}); }

class PropertyRun : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("quilvar-property-" + std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  // Runs the program in-process with a JSON destination; plot data pass
  // through the renderer, which counts stray non-finite values.
  json run(const std::string& program_text) {
    namespace rt = quilvar::runtime;
    std::ostringstream log;
    rt::current_session().log = &log;
    constexpr std::array<std::string_view, 1> procedures{"QUILVAR"};
    rt::statements::Diagnostics diagnostics;
    const auto program = rt::statements::split_program(program_text, "property.qv", procedures, diagnostics);
    EXPECT_FALSE(diagnostics.has_errors());
    rt::output::OutputOptions options;
    options.json_path = (folder_ / "out.json").string();
    options.program_name = "property.qv";
    options.render_graph = [this](const rt::output::Graph& graph) {
      for (const auto& data : graph.data) {
        for (const auto& cell : data->cells) stray_plot_values_ += is_stray_non_finite(cell.number) ? 1 : 0;
      }
      return std::string();
    };
    std::string error;
    EXPECT_TRUE(rt::output::begin_run(options, &error)) << error;
    quilvar::host::module_state() = {rt::host_services(), nullptr};
    const rt::datasets::Libraries libraries{folder_, {}, folder_};
    for (const auto& item : program.items) {
      rt::StepData data;
      rt::begin_runtime_step(libraries, std::get<rt::statements::Step>(item), "", data);
      rt::run_guarded([] { quilvar::run_step(); });
      statuses_.push_back(rt::end_runtime_step(data));
    }
    EXPECT_TRUE(rt::output::finish_run(&error)) << error;
    quilvar::host::module_state() = {};
    rt::current_session().log = nullptr;
    log_ = log.str();
    std::ifstream in(folder_ / "out.json");
    return json::parse(in);
  }

  fs::path folder_;
  std::vector<int> statuses_;
  std::string log_;
  int stray_plot_values_ = 0;
};

// The column before `limit` that holds the estimate the limits belong to.
int estimate_column(const json& output, int limit) {
  for (int i = limit - 1; i >= 0; --i) {
    const std::string name = output["columns"][i]["name"];
    if (name != "Type" && name != "StdErr") return i;
  }
  return -1;
}

void check_row_invariants(const json& output, const json& row, bool risk, const std::string& where) {
  const int lower = std::max(column_index(output, "LowerCL"), column_index(output, "SmrLcl"));
  const int upper = std::max(column_index(output, "UpperCL"), column_index(output, "SmrUcl"));
  const int estimate = lower >= 0 ? estimate_column(output, lower) : -1;
  if (present(row, lower) && present(row, upper) && present(row, estimate)) {
    const double l = value(row, lower), e = value(row, estimate), u = value(row, upper);
    EXPECT_TRUE(l <= e * (1 + kTolerance) + kTolerance && e <= u * (1 + kTolerance) + kTolerance)
        << where << ": " << l << " <= " << e << " <= " << u;
  }
  const std::string name = output["name"];
  for (std::size_t i = 0; i < output["columns"].size(); ++i) {
    const std::string column = output["columns"][i]["name"];
    const json& cell = row[i];
    EXPECT_TRUE(cell.is_null() || cell.is_string() || (cell.is_number() && std::isfinite(cell.get<double>())))
        << where << " column " << column;
    if (!cell.is_number()) continue;
    const double v = cell.get<double>();
    if (column.starts_with("Prob") || column == "pValue") {
      EXPECT_TRUE(v >= 0 && v <= 1) << where << " " << column << "=" << v;
    }
    if (column == "StdErr") {
      EXPECT_GE(v, 0) << where;
    }
    if (column.ends_with("Prop")) {
      EXPECT_TRUE(v >= 0 && v <= 1 + kTolerance) << where << " " << column << "=" << v;
    }
    const bool risk_value = risk && (name == "StrataStats" || name == "StdRisk") &&
                            (column == "CrudeRisk" || column == "StdRisk" || column == "RefCrudeRisk" ||
                             column == "LowerCL" || column == "UpperCL" || static_cast<int>(i) == estimate);
    if (risk_value) {
      EXPECT_TRUE(v >= 0 && v <= 1 + kTolerance) << where << " " << column << "=" << v;
    }
  }
  if (name == "Smr" || name == "StrataSMR") {
    const int observed = column_index(output, "ObservedEvents"), expected = column_index(output, "ExpectedEvents");
    const int smr = column_index(output, "Smr");
    if (present(row, observed) && present(row, expected) && present(row, smr) && value(row, expected) > 0) {
      EXPECT_TRUE(close(value(row, smr), value(row, observed) / value(row, expected))) << where;
    }
  }
}

// The standardized estimate of a direct step equals the sum over its strata
// of the reference proportion times the stratum's crude estimate.
void check_direct_sum(const json& strata, const json& summary, const std::string& where) {
  const int weight = column_index(strata, "RefPopTimeProp") >= 0 ? column_index(strata, "RefPopTimeProp")
                                                                 : column_index(strata, "RefNObsProp");
  const int crude = column_index(strata, "CrudeRate") >= 0 ? column_index(strata, "CrudeRate")
                                                           : column_index(strata, "CrudeRisk");
  const int lower = column_index(summary, "LowerCL");
  const int estimate = lower >= 0 ? estimate_column(summary, lower) : std::max(column_index(summary, "Quilvar"), column_index(summary, "StdRisk"));
  const int strata_group = column_index(strata, "grp"), summary_group = column_index(summary, "grp");
  ASSERT_TRUE(weight >= 0 && crude >= 0 && estimate >= 0) << where << " " << strata["columns"].dump();
  for (const json& row : summary["rows"]) {
    if (!present(row, estimate)) continue;
    double sum = 0;
    bool complete = true;
    for (const json& stratum : strata["rows"]) {
      if (summary_group >= 0 && strata_group >= 0 && stratum[strata_group] != row[summary_group]) continue;
      if (!present(stratum, weight) || !present(stratum, crude)) complete = false;
      else sum += value(stratum, weight) * value(stratum, crude);
    }
    if (complete) {
      EXPECT_TRUE(close(sum, value(row, estimate))) << where << ": " << sum << " vs " << value(row, estimate);
    }
  }
}

TEST_F(PropertyRun, EstimatesKeepTheirInvariantsOverGeneratedData) {
  Generator generator(20261208);
  std::vector<StepPlan> plans;
  std::string program;
  for (int i = 0; i < kSteps; ++i) {
    plans.push_back(generator.plan(i));
    generator.write_data(plans.back(), folder_ / ("pop" + std::to_string(i) + ".csv"),
                         folder_ / ("ref" + std::to_string(i) + ".csv"));
    program += plans.back().statement;
  }
  const json document = run(program);
  ASSERT_EQ(document["steps"].size(), plans.size());
  EXPECT_EQ(stray_plot_values_, 0);

  int rows_checked = 0, direct_sums = 0;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const StepPlan& plan = plans[i];
    const json& step = document["steps"][i];
    EXPECT_LE(statuses_[i], 4) << "step " << i << ":\n" << plan.statement << log_;
    const json* strata = nullptr;
    for (const json& output : step["outputs"]) {
      if (output["kind"] != "table") continue;
      const std::string name = output["name"];
      const std::string where = "step " + std::to_string(i) + " " + name;
      for (const json& row : output["rows"]) {
        check_row_invariants(output, row, plan.risk, where);
        ++rows_checked;
      }
      if (name == "StrataStats") strata = &output;
      if (plan.method == "DIRECT" && (name == "Quilvar" || name == "StdRisk") && strata != nullptr) {
        check_direct_sum(*strata, output, where);
        ++direct_sums;
      }
    }
  }
  // The generated data must reach the checks, not end in errors.
  EXPECT_GT(rows_checked, kSteps * kGroupsPerStep * 2);
  EXPECT_GT(direct_sums, kSteps / 5 * kGroupsPerStep / 2);
}

}  // namespace
