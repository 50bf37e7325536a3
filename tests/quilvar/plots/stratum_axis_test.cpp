#include <gtest/gtest.h>

#include <functional>

#include "plot_fixture.hpp"

namespace quilvar::plots {
namespace {

using namespace testing;

class StratumAxisTest : public PlotTest {};

TEST_F(StratumAxisTest, TickTextQuotesEachStratumsValues) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, int>> variables;
    std::vector<std::string> keys;
    std::string expected;
  };
  const Case cases[] = {
      {"one variable, back to back", {{"area", 1}}, {"A", "B", "C"}, "'A''B''C'"},
      {"two variables, values trimmed and joined by a blank", {{"sex", 3}, {"age", 8}}, {"M     10-19", "F     10-19"},
       "'M 10-19''F 10-19'"},
      {"right-aligned numbers lose their leading blanks", {{"year", 6}}, {"  2019", "  2020"}, "'2019''2020'"},
      {"no strata", {}, {""}, "''"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    restart();
    set_strata_variables(c.variables);
    for (const std::string& key : c.keys) add_stratum(key, counts(1, 10));
    EXPECT_EQ(stratum_tick_text(context_), c.expected);
  }
}

TEST_F(StratumAxisTest, AxisHeadingAndTicksByLabelModeAndStrataVariables) {
  struct Case {
    const char* name;
    int label_mode;
    std::vector<std::pair<std::string, int>> variables;
    std::string key;
    const char* heading;
    const char* ticks;  // null: none
  };
  const Case cases[] = {
      {"one variable: its name", kLabelLevels, {{"agegroup", 5}}, "0-39 ", "agegroup", "'0-39'"},
      {"several variables: the combined heading", kLabelLevels, {{"sex", 1}, {"agegroup", 5}}, "M0-39 ",
       "sex * agegroup", "'M 0-39'"},
      {"no strata variables: the index heading", kLabelLevels, {}, "", "Stratum Index", nullptr},
      {"index labels", kLabelIndex, {{"agegroup", 5}}, "0-39 ", "Stratum Index", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    restart();
    context_.plot_label_mode = c.label_mode;
    set_strata_variables(c.variables);
    set_long_text(context_.strata_heading, c.variables.size() > 1 ? "sex * agegroup" : "");
    add_stratum(c.key, counts(1, 10));
    compute();
    ASSERT_EQ(produce_rate_plot(context_), 0);
    const DeliveredGraph g = graph();
    EXPECT_EQ(g.dynamic("_XLabel"), c.heading);
    EXPECT_EQ(g.has_dynamic("_XTicks"), c.ticks != nullptr);
    if (c.ticks != nullptr) {
      EXPECT_EQ(g.dynamic("_XTicks"), c.ticks);
    }
    EXPECT_EQ(g.dynamic("_TMax"), 1);
    EXPECT_NEAR(g.dynamic("_XMax").get<double>(), 1.9, 1e-15);
  }
}

TEST_F(StratumAxisTest, TicksTooLongSkipOnlyThatPlot) {
  set_up(kMethodIndirect, kStatRate, 1);
  with_reference_data();
  context_.smr_plot_on = 1;
  set_strata_variables({{"name", 200}});
  for (int i = 0; i < 170; ++i) {
    std::string key = "stratum " + std::to_string(1000 + i);
    key.resize(200, 'x');
    add_stratum(key, counts(10, 1000), counts(kMissing, kMissing), 10000, 50);
  }
  compute();
  ASSERT_GT(stratum_tick_text(context_).size(), 32000u);
  EXPECT_EQ(produce_rate_plot(context_), 1);
  EXPECT_TRUE(issued(166));
  EXPECT_EQ(context_.step_status, host::kStatusWarning);
  context_.plot_label_mode = kLabelIndex;
  EXPECT_EQ(produce_smr_plot(context_), 0);
  const std::vector<DeliveredGraph> all = graphs();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].graph["name"], "StrataSMRPlot");
}

TEST_F(StratumAxisTest, TicksOfExactlyTheLimitAreKept) {
  set_strata_variables({{"name", 98}});
  // 320 strata of 98 characters and two apostrophes: 32000 characters.
  for (int i = 0; i < 320; ++i) add_stratum(std::string(98, 'a' + i % 26), counts(10, 1000));
  compute();
  ASSERT_EQ(stratum_tick_text(context_).size(), 32000u);
  EXPECT_EQ(produce_rate_plot(context_), 0);
  EXPECT_FALSE(issued(166));
}

TEST_F(StratumAxisTest, HorizontalOrientationBindsTheHorizontalTemplates) {
  struct Case {
    const char* name;
    int method, populations;
    std::function<int(ProcContext&)> produce;
    const char* path;
  };
  const Case cases[] = {
      {"rate", kMethodDirect, 1, produce_rate_plot, "Vesk.Quilvar.Graphics.StrataRatePlotHoriz"},
      {"distribution", kMethodDirect, 1, produce_dist_plot, "Vesk.Quilvar.Graphics.StrataDistPlotHoriz"},
      {"SMR", kMethodIndirect, 1, produce_smr_plot, "Vesk.Quilvar.Graphics.StrataSMRPlotHoriz"},
      {"effect", kMethodDirect, 2, produce_effect_plot, "Vesk.Quilvar.Graphics.StrataEffectPlotHoriz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    restart();
    set_up(c.method, kStatRate, c.populations);
    context_.plot_orientation = kHorizontal;
    context_.effect_plot_type = kEffectRatio;
    with_reference_data();
    set_strata_variables({{"agegroup", 5}});
    add_stratum("0-39 ", counts(10, 1000), counts(20, 1000), 10000, 50);
    compute();
    ASSERT_EQ(c.produce(context_), 0);
    EXPECT_EQ(graph().graph["template"], c.path);
  }
}

// Each BY group's plot spans its own estimates, not an earlier group's.
TEST_F(StratumAxisTest, EachByGroupsAxisFitsItsOwnEstimates) {
  set_strata_variables({{"agegroup", 5}});
  add_stratum("0-39 ", counts(500, 1000));
  compute();
  nodes_.clear();
  keys_.clear();
  add_stratum("0-39 ", counts(2, 1000));
  add_stratum("40-64", counts(4, 1000));
  context_.rate_plot_cl_type = context_.strata_cl_compute_type = kClNone;
  compute();
  ASSERT_EQ(produce_rate_plot(context_), 0);
  const DeliveredGraph g = graph();
  EXPECT_NEAR(g.value(g.rows()[1], "Est"), 200, 1e-9);
  EXPECT_NEAR(g.value(g.rows()[3], "Est"), 400, 1e-9);
}

}  // namespace
}  // namespace quilvar::plots
