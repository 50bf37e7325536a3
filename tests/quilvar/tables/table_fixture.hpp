// Test support for the output tables: the runtime's kernel and output
// services, a run that writes a JSON document and a listing, a context set
// up for a method, statistic, number of populations and limit type, with one
// numeric STRATA variable (Age) and a character GROUP= variable (Exposure),
// and readers of the delivered tables.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "quilvar/entry/proc_context.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/host/missing.hpp"
#include "quilvar/input/stratum_node.hpp"
#include "runtime/output/output.hpp"
#include "support/module_host.hpp"

namespace quilvar::tables::testing {

using host::kMissing;
using nlohmann::json;

inline PopulationCell cell(double events, double population) {
  return {events, population, kMissing, kMissing, kMissing, kMissing, kMissing, kMissing};
}

inline std::vector<std::string> column_names(const json& table) {
  std::vector<std::string> names;
  for (const json& column : table.at("columns")) names.push_back(column.at("name").get<std::string>());
  return names;
}

class TableTest : public quilvar::testing::ModuleHostTest {
 protected:
  void SetUp() override {
    ModuleHostTest::SetUp();
    services_.output = &runtime::output::output_services();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    json_path_ = std::filesystem::temp_directory_path() /
                 (std::string("quilvar_tables_") + info->test_suite_name() + "_" + info->name() + "_" +
                  std::to_string(getpid()) + ".json");
    runtime::output::OutputOptions options;
    options.json_path = json_path_.string();
    options.listing = &listing_;
    options.program_name = "tables";
    std::string error;
    ASSERT_TRUE(runtime::output::begin_run(options, &error)) << error;
    runtime::output::begin_step("test", nullptr);
    create_manager();
  }

  void TearDown() override {
    runtime::output::abandon_run();
    std::filesystem::remove(json_path_);
    ModuleHostTest::TearDown();
  }

  void create_manager() {
    ASSERT_EQ(host::ods_get_root(&context_.output_root), 0);
    ASSERT_EQ(host::ods_invoke(context_.output_root, nullptr, host::kMethodCreate,
                               {host::make_counted_text_item(host::kAttrOds, "ods", 3),
                                host::make_counted_text_item(host::kAttrKind, "manager", 7),
                                host::make_result_item(host::kAttrResult, &context_.output_manager),
                                host::make_int_item(host::kAttrMessageSet, host::kMessageSetProcedure),
                                host::make_int_item(host::kAttrAlwaysMinusOne, -1),
                                host::make_counted_text_item(host::kAttrName, "Quilvar", 7),
                                host::make_text_item(host::kAttrLabel, host::ods_make_builtin_text(1))}),
              0);
  }

  static void copy_label(ShortText& label, int number) {
    const std::string_view text = host::host_get_message_text(host::kMessageSetProcedure, number);
    label.length = static_cast<std::int16_t>(text.size());
    std::memcpy(label.text, text.data(), text.size());
  }

  static int message_length(int number) {
    return static_cast<int>(host::host_get_message_text(host::kMessageSetProcedure, number).size());
  }

  // The settings option resolution would leave for these choices.
  void set_up(int method, int statistic, int populations, int cl_type) {
    ProcContext& c = context_;
    c.method = method;
    c.statistic = statistic;
    c.population_count = populations;
    c.cl_type = cl_type;
    c.alpha = 0.05;
    c.axis_minimum = 1e308;
    c.population_event_total = c.reference_rate_constant = kMissing;
    c.mh_log_ratio_variance = kMissing;
    const bool rate = statistic == kStatRate;
    c.multiplier = rate ? 100000 : 1;
    c.multiplier_value = c.multiplier;
    c.multiplier_exponent = rate ? 5 : 0;
    std::memcpy(c.multiplier_text, rate ? "100000    " : "1         ", 10);
    c.multiplier_text_length = rate ? 6 : 1;
    copy_label(c.method_label, method == kMethodDirect ? 66 : (method == kMethodIndirect ? 67 : 68));
    static constexpr int kClMessages[] = {0, 97, 98, 99, 100, 100};
    c.cl_label.length = 0;
    if (cl_type != kClNone) copy_label(c.cl_label, kClMessages[cl_type]);
    c.cl_label_width = std::max<int>(c.cl_label.length, message_length(101));
    c.statistic_label_width = rate ? std::max(message_length(105), message_length(106))
                                   : std::max(message_length(107), message_length(108));
    for (int& given : c.population.available) given = 1;
    set_up_strata_variable();
    if (populations == 2 || method == kMethodMh) set_up_group();
  }

  void set_up_strata_variable() {
    age_ = KeyVariable{};
    age_.type = 1;
    age_.name = VariableName{3, "Age"};
    age_.formatted_width = 8;
    context_.strata_count = 1;
    context_.strata_variables = &age_;
    context_.strata_numeric_key = numeric_key_;
    context_.strata_formatted_key = formatted_key_;
    context_.strata_formatted_width = 8;
    context_.strata_raw_key = raw_key_;
    context_.strata_raw_width = 0;
  }

  void set_up_group() {
    ProcContext& c = context_;
    c.group_given = 1;
    c.group.type = 2;
    c.group.length = 3;
    c.group.formatted_width = 3;
    c.group.name = VariableName{8, "Exposure"};
    std::memcpy(c.levels[0].formatted, "Yes", 3);
    std::memcpy(c.levels[0].raw_text, "Yes", 3);
    std::memcpy(c.levels[1].formatted, "No ", 3);
    std::memcpy(c.levels[1].raw_text, "No ", 3);
    c.level_count = 2;
    c.population_label[0] = LongText{12, "Exposure=Yes"};
    c.population_label[1] = LongText{11, "Exposure=No"};
  }

  // A stratum whose Age key is `age`, linked after the earlier ones.
  StratumNode& add_stratum(double age, PopulationCell first, PopulationCell second,
                           double reference_population = kMissing, double reference_events = kMissing) {
    auto block = std::make_unique<NodeBlock>();
    StratumNode& node = block->node;
    node.cell[0] = first;
    node.cell[1] = second;
    node.reference_population = reference_population;
    node.reference_events = reference_events;
    node.reference_rate = node.reference_proportion = kMissing;
    node.smr = node.smr_lower = node.smr_upper = node.smr_std_error = kMissing;
    block->numeric = age;
    std::memset(block->formatted, ' ', sizeof block->formatted);
    node.numeric_key = &block->numeric;
    node.formatted_key = block->formatted;
    node.raw_key = block->formatted;
    if (!nodes_.empty()) nodes_.back()->node.first = &node;
    nodes_.push_back(std::move(block));
    context_.strata = &nodes_.front()->node;
    return node;
  }

  // Starts a new output step titled after a case, with a fresh context.
  void start_case(const std::string& title) {
    runtime::output::end_step(0);
    runtime::output::begin_step(title, nullptr);
    context_ = ProcContext{};
    nodes_.clear();
    log_.str("");
    create_manager();
  }

  // Ends the step and the run; returns the JSON document.
  json finish_document() {
    runtime::output::end_step(0);
    std::string error;
    EXPECT_TRUE(runtime::output::finish_run(&error)) << error;
    std::ifstream in(json_path_);
    return json::parse(in);
  }

  // The outputs of the only step.
  json finish() { return finish_document().at("steps").at(0).at("outputs"); }

  // The outputs of the step of that title.
  static json step_outputs(const json& document, const std::string& title) {
    for (const json& step : document.at("steps")) {
      if (step.at("title") == title) return step.at("outputs");
    }
    return json::array();
  }

  // The delivered table of that name (null when there is none).
  static json find_table(const json& outputs, const std::string& name) {
    for (const json& output : outputs) {
      if (output.at("name") == name) return output;
    }
    return json();
  }

  // The value of a column in a row of a delivered table.
  static json value(const json& table, std::size_t row, const std::string& column) {
    const std::vector<std::string> names = column_names(table);
    const auto found = std::find(names.begin(), names.end(), column);
    if (found == names.end()) return json("no such column");
    return table.at("rows").at(row).at(static_cast<std::size_t>(found - names.begin()));
  }

  // Every number of every delivered table is finite or null (missing).
  static void expect_numbers_or_null(const json& outputs) {
    for (const json& output : outputs) {
      const json& columns = output.at("columns");
      for (const json& row : output.at("rows")) {
        for (std::size_t i = 0; i < row.size(); ++i) {
          if (columns.at(i).at("type") != "numeric") continue;
          EXPECT_TRUE(row.at(i).is_null() || row.at(i).is_number()) << output.at("name") << " " << row.at(i);
        }
      }
    }
  }

  struct NodeBlock {
    StratumNode node{};
    double numeric = 0;
    char formatted[8];
  };

  ProcContext context_{};
  std::vector<std::unique_ptr<NodeBlock>> nodes_;
  KeyVariable age_{};
  double numeric_key_[1] = {0};
  char formatted_key_[8] = {};
  char raw_key_[1] = {};
  std::filesystem::path json_path_;
  std::ostringstream listing_;
};

}  // namespace quilvar::tables::testing
