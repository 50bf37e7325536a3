// Test support for the plots: a context with a stratum list built by hand
// (strata values, counts, labels) inside a real output run whose JSON
// document is read back, so each test checks the graph data objects the
// plots deliver: their columns, rows and dynamic variables.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "quilvar/entry/proc_context.hpp"
#include "quilvar/estimate/stratum_statistics.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/host/missing.hpp"
#include "quilvar/input/stratum_node.hpp"
#include "quilvar/plots/plots.hpp"
#include "runtime/output/output.hpp"
#include "support/module_host.hpp"

namespace quilvar::plots::testing {

using host::kMissing;
using Json = nlohmann::json;

inline PopulationCell counts(double events, double population) {
  return {events, population, kMissing, kMissing, kMissing, kMissing, kMissing, kMissing};
}

// A cell whose rate was read directly (no counts).
inline PopulationCell rate_only(double rate) {
  PopulationCell cell = counts(kMissing, kMissing);
  cell.estimate = rate;
  return cell;
}

inline void set_long_text(LongText& text, const std::string& value) {
  text.length = static_cast<std::int16_t>(value.size());
  std::memcpy(text.text, value.data(), value.size());
}

// One delivered graph: its name, template, data object and rows by column.
struct DeliveredGraph {
  Json graph;
  const Json& data() const { return graph["data"][0]; }
  const Json& dynamic(const std::string& name) const { return data()["dynamic"][name]; }
  bool has_dynamic(const std::string& name) const { return data()["dynamic"].contains(name); }
  std::vector<std::string> column_names() const {
    std::vector<std::string> names;
    for (const Json& column : data()["columns"]) names.push_back(column["name"]);
    return names;
  }
  std::size_t column(const std::string& name) const {
    const std::vector<std::string> names = column_names();
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] == name) return i;
    }
    ADD_FAILURE() << "no column " << name;
    return 0;
  }
  const Json& rows() const { return data()["rows"]; }
  // The rows whose named column holds a number, in order.
  std::vector<Json> rows_with(const std::string& name) const {
    std::vector<Json> found;
    const std::size_t index = column(name);
    for (const Json& row : rows()) {
      if (row[index].is_number()) found.push_back(row);
    }
    return found;
  }
  double value(const Json& row, const std::string& name) const { return row[column(name)]; }
  bool missing(const Json& row, const std::string& name) const { return row[column(name)].is_null(); }
};

class PlotTest : public quilvar::testing::ModuleHostTest {
 protected:
  void SetUp() override {
    ModuleHostTest::SetUp();
    services_.output = &runtime::output::output_services();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    json_path_ = std::filesystem::temp_directory_path() /
                 (std::string("quilvar_plots_") + info->test_suite_name() + "_" + info->name() + "_" +
                  std::to_string(getpid()) + ".json");
    runtime::output::OutputOptions options;
    options.json_path = json_path_.string();
    std::string error;
    ASSERT_TRUE(runtime::output::begin_run(options, &error)) << error;
    runtime::output::begin_step("plots", nullptr);
    create_manager();
    set_up(kMethodDirect, kStatRate, 1);
  }

  void TearDown() override {
    runtime::output::abandon_run();
    std::filesystem::remove(json_path_);
    ModuleHostTest::TearDown();
  }

  // A fresh run and context, for a test that loops over cases.
  void restart() {
    TearDown();
    context_ = ProcContext{};
    nodes_.clear();
    keys_.clear();
    variables_.clear();
    SetUp();
  }

  void create_manager() {
    host::OdsObject* root = nullptr;
    ASSERT_EQ(host::ods_get_root(&root), 0);
    const std::int32_t status = host::ods_invoke(
        root, nullptr, host::kMethodCreate,
        {host::make_counted_text_item(host::kAttrOds, "ods", 3), host::make_counted_text_item(host::kAttrKind, "manager", 7),
         host::make_result_item(host::kAttrResult, &context_.output_manager),
         host::make_int_item(host::kAttrMessageSet, host::kMessageSetProcedure)});
    ASSERT_EQ(status, 0);
  }

  // A context as option resolution leaves it for these settings: 95%
  // limits, multiplier 100000 for rates, plots labelled by strata values.
  void set_up(int method, int statistic, int populations) {
    context_.method = method;
    context_.statistic = statistic;
    context_.population_count = populations;
    context_.alpha = 0.05;
    context_.plot_margin = 0.1;
    context_.plot_label_mode = kLabelLevels;
    context_.plot_orientation = kVertical;
    context_.rate_plot_on = 1;
    context_.rate_plot_cl_type = context_.strata_cl_compute_type = kClNormal;
    context_.strata_smr_cl_compute_type = context_.smr_plot_cl_type = kClNormal;
    context_.multiplier_value = statistic == kStatRate ? 100000 : 1;
    context_.multiplier_exponent = statistic == kStatRate ? 5 : 0;
    const std::string multiplier = statistic == kStatRate ? "100000" : "1";
    std::memcpy(context_.multiplier_text, multiplier.data(), multiplier.size());
    context_.multiplier_text_length = static_cast<int>(multiplier.size());
    context_.population_event_total = context_.reference_rate_constant = kMissing;
    context_.mh_log_ratio_variance = kMissing;
    set_long_text(context_.population_label[0], populations == 1 ? "Study Population" : "region=North");
    set_long_text(context_.population_label[1], "region=South");
    context_.population_label_width = context_.population_label[0].length;
    set_long_text(context_.reference_label, "Reference Population");
  }

  // Strata variables with their names and formatted widths.
  void set_strata_variables(const std::vector<std::pair<std::string, int>>& variables) {
    variables_.assign(variables.size(), KeyVariable{});
    int offset = 0;
    for (std::size_t i = 0; i < variables.size(); ++i) {
      KeyVariable& v = variables_[i];
      v.name.length = static_cast<std::int16_t>(variables[i].first.size());
      std::memcpy(v.name.text, variables[i].first.data(), variables[i].first.size());
      v.formatted_width = variables[i].second;
      v.formatted_offset = offset;
      offset += v.formatted_width;
    }
    context_.strata_count = static_cast<int>(variables.size());
    context_.strata_variables = variables_.data();
    context_.strata_formatted_width = offset;
  }

  // Adds a stratum; `key` is its formatted key, the values padded to the
  // variables' widths.
  StratumNode& add_stratum(const std::string& key, PopulationCell first, PopulationCell second = counts(kMissing, kMissing),
                           double reference_population = kMissing, double reference_events = kMissing) {
    keys_.push_back(std::make_unique<std::string>(key));
    nodes_.push_back(std::make_unique<StratumNode>());
    StratumNode& node = *nodes_.back();
    node.cell[0] = first;
    node.cell[1] = second;
    node.reference_population = reference_population;
    node.reference_events = reference_events;
    node.reference_rate = node.reference_proportion = kMissing;
    node.smr = node.smr_lower = node.smr_upper = node.smr_std_error = kMissing;
    node.formatted_key = keys_.back()->data();
    if (nodes_.size() > 1) nodes_[nodes_.size() - 2]->first = &node;
    context_.strata = nodes_.front().get();
    return node;
  }

  // Marks the reference data set present (the estimation reads only that).
  void with_reference_data() { context_.reference.data = reinterpret_cast<host::DataSet*>(&reference_marker_); }

  // Runs the estimation the plots read: stratum statistics and limits.
  void compute() {
    ASSERT_EQ(estimate::compute_stratum_statistics(context_), 0);
    if (context_.strata_cl_compute_type != kClNone) estimate::compute_stratum_limits(context_);
  }

  // Ends the run and returns the graphs of the JSON document.
  std::vector<DeliveredGraph> graphs() {
    std::string error;
    EXPECT_TRUE(runtime::output::finish_run(&error)) << error;
    std::ifstream in(json_path_);
    const Json document = Json::parse(in);
    std::vector<DeliveredGraph> found;
    for (const Json& output : document["steps"][0]["outputs"]) {
      if (output["kind"] == "graph") found.push_back(DeliveredGraph{output});
    }
    return found;
  }

  // The only graph delivered.
  DeliveredGraph graph() {
    std::vector<DeliveredGraph> all = graphs();
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? DeliveredGraph{Json::object({{"data", Json::array({Json::object()})}})} : all.front();
  }

  bool issued(int number) const {
    for (const auto& message : runtime::current_session().step.messages) {
      if (message.set == host::kMessageSetProcedure && message.number == number) return true;
    }
    return false;
  }

  ProcContext context_{};
  std::vector<KeyVariable> variables_;
  std::vector<std::unique_ptr<std::string>> keys_;
  std::vector<std::unique_ptr<StratumNode>> nodes_;
  std::filesystem::path json_path_;
  int reference_marker_ = 0;
};

}  // namespace quilvar::plots::testing

namespace quilvar::plots::testing {

// The 97.5% normal quantile, for the default 95% limits.
inline constexpr double kZ975 = 1.959963984540054;

// Compares the data object's rows with the expected ones: numbers within a
// relative 1e-12, null for missing, texts exactly.
inline void expect_rows(const DeliveredGraph& graph, const Json& expected) {
  const Json& rows = graph.rows();
  ASSERT_EQ(rows.size(), expected.size()) << rows.dump();
  for (std::size_t r = 0; r < rows.size(); ++r) {
    SCOPED_TRACE("row " + std::to_string(r + 1) + ": " + rows[r].dump());
    ASSERT_EQ(rows[r].size(), expected[r].size());
    for (std::size_t c = 0; c < rows[r].size(); ++c) {
      const Json& want = expected[r][c];
      if (want.is_number()) {
        ASSERT_TRUE(rows[r][c].is_number()) << "column " << c;
        const double w = want.get<double>();
        EXPECT_NEAR(rows[r][c].get<double>(), w, 1e-12 * std::max(1.0, std::abs(w))) << "column " << c;
      } else {
        EXPECT_EQ(rows[r][c], want) << "column " << c;
      }
    }
  }
}

}  // namespace quilvar::plots::testing
