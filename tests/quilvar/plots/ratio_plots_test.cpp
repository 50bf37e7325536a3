#include <gtest/gtest.h>

#include "plot_fixture.hpp"

namespace quilvar::plots {
namespace {

using namespace testing;

class SmrPlotTest : public PlotTest {};

TEST_F(SmrPlotTest, StratumSmrsAreNotScaledEvenForRates) {
  set_up(kMethodIndirect, kStatRate, 1);
  context_.smr_plot_on = 1;
  context_.smr_plot_cl_type = context_.strata_smr_cl_compute_type = kClLognormal;
  with_reference_data();
  set_strata_variables({{"agegroup", 5}});
  add_stratum("0-39 ", counts(10, 20000), counts(kMissing, kMissing), 100000, 40);
  add_stratum("40-64", counts(30, 15000), counts(kMissing, kMissing), 50000, 150);
  compute();
  ASSERT_EQ(produce_smr_plot(context_), 0);
  const DeliveredGraph g = graph();
  EXPECT_EQ(g.graph["name"], "StrataSMRPlot");
  EXPECT_EQ(g.graph["template"], "Vesk.Quilvar.Graphics.StrataSMRPlot");
  EXPECT_EQ(g.graph["label"], "Stratum SMR Plot");
  EXPECT_EQ(g.graph["description"], "Standardized Morbidity Ratios by Stratum");
  EXPECT_EQ(g.data()["name"], "SmrPhantom");
  EXPECT_EQ(g.data()["label"], "Stratum SMR Plot Data");
  EXPECT_EQ(g.column_names(), (std::vector<std::string>{"StratumIndex", "Est", "LowerCL", "UpperCL"}));
  EXPECT_EQ(g.dynamic("_Cl"), 1);
  EXPECT_EQ(g.dynamic("_ClLabel"), "95% Lognormal Confidence Limits");
  // SMR of stratum 1: 10 observed against 0.0004 × 20000 = 8 expected.
  const double s1 = 1.0 / std::sqrt(10.0), s2 = 1.0 / std::sqrt(30.0);
  const auto n = nullptr;
  expect_rows(g, Json::array({
                     {0.1, n, n, n},
                     {n, 1, n, n},
                     {2.9, n, n, n},
                     {n, n, n, n},
                     {n, n, n, n},
                     {1, 1.25, n, n},
                     {n, n, n, n},
                     {1, n, 1.25 * std::exp(-kZ975 * s1), 1.25 * std::exp(kZ975 * s1)},
                     {n, n, n, n},
                     {n, n, n, n},
                     {2, 30.0 / 45, n, n},
                     {n, n, n, n},
                     {2, n, 30.0 / 45 * std::exp(-kZ975 * s2), 30.0 / 45 * std::exp(kZ975 * s2)},
                     {n, n, n, n},
                 }));
}

class EffectPlotTest : public PlotTest {
 protected:
  // Two populations in two strata; overall crude rates 0.003 and 0.002.
  void two_populations(int statistic, int plot_type, PopulationCell second_population_stratum_2 = counts(20, 10000)) {
    set_up(kMethodDirect, statistic, 2);
    context_.effect_plot_type = plot_type;
    set_strata_variables({{"agegroup", 5}});
    add_stratum("0-39 ", counts(20, 10000), counts(20, 10000));
    add_stratum("40-64", counts(40, 10000), second_population_stratum_2);
    compute();
  }
};

TEST_F(EffectPlotTest, TextsAndScalingByStatisticAndEffectType) {
  struct Case {
    const char* name;
    int statistic, type;
    const char* label;
    const char* y_label;
    const char* effect;
    const char* title;
    double ratio;
    const char* cl_label;
    double stratum_2;  // the second stratum's plotted effect
    double line;       // the reference line
  };
  const Case cases[] = {
      {"rate difference", kStatRate, kEffectDiff, "Stratum Rate Difference Plot", "Rate Difference per 100000",
       "Stratum Rate Difference", "Rate Difference", 0, "95% Normal Confidence Limits", 200, 100},
      {"rate ratio", kStatRate, kEffectRatio, "Stratum Rate Ratio Plot", "Rate Ratio", "Stratum Rate Ratio",
       "Rate Ratio", 1, "95% Lognormal Confidence Limits", 2, 1.5},
      {"risk difference", kStatRisk, kEffectDiff, "Stratum Risk Difference Plot", "Risk Difference",
       "Stratum Risk Difference", "Risk Difference", 0, "95% Normal Confidence Limits", 0.002, 0.001},
      {"risk ratio", kStatRisk, kEffectRatio, "Stratum Risk Ratio Plot", "Risk Ratio", "Stratum Risk Ratio",
       "Risk Ratio", 1, "95% Lognormal Confidence Limits", 2, 1.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    restart();
    two_populations(c.statistic, c.type);
    ASSERT_EQ(produce_effect_plot(context_), 0);
    const DeliveredGraph g = graph();
    EXPECT_EQ(g.graph["name"], "StrataEffectPlot");
    EXPECT_EQ(g.graph["label"], c.label);
    EXPECT_EQ(g.graph["description"], "Effects of the First Population Against the Second by Stratum");
    EXPECT_EQ(g.data()["name"], "EffectPhantom");
    EXPECT_EQ(g.data()["label"], "Stratum Effect Plot Data");
    EXPECT_EQ(g.column_names(),
              (std::vector<std::string>{"StratumIndex", "Est", "LowerCL", "UpperCL", "XRef", "YRef"}));
    EXPECT_EQ(g.dynamic("_YLabel"), c.y_label);
    EXPECT_EQ(g.dynamic("_Effect"), c.effect);
    EXPECT_EQ(g.dynamic("_TLabel"), c.title);
    EXPECT_EQ(g.dynamic("_Ratio"), c.ratio);
    EXPECT_EQ(g.dynamic("_ClLabel"), c.cl_label);
    const std::vector<Json> estimates = g.rows_with("Est");
    ASSERT_EQ(estimates.size(), 3u);
    EXPECT_EQ(g.value(estimates[0], "Est"), c.ratio);  // the axis row: the reference value
    EXPECT_NEAR(g.value(estimates[2], "Est"), c.stratum_2, 1e-9);
    const std::vector<Json> limits = g.rows_with("LowerCL");
    ASSERT_EQ(limits.size(), 2u);
    EXPECT_LT(g.value(limits[1], "LowerCL"), c.stratum_2);
    EXPECT_GT(g.value(limits[1], "UpperCL"), c.stratum_2);
    const std::vector<Json> line = g.rows_with("YRef");
    ASSERT_EQ(line.size(), 2u);
    EXPECT_NEAR(g.value(line[0], "YRef"), c.line, 1e-9);
  }
}

TEST_F(EffectPlotTest, RateDifferenceLimitsAreScaledLikeTheEstimate) {
  two_populations(kStatRate, kEffectDiff);
  ASSERT_EQ(produce_effect_plot(context_), 0);
  const DeliveredGraph g = graph();
  const double se = std::sqrt(0.004 / 10000 + 0.002 / 10000);
  const std::vector<Json> limits = g.rows_with("LowerCL");
  ASSERT_EQ(limits.size(), 2u);
  EXPECT_NEAR(g.value(limits[1], "LowerCL"), (0.002 - kZ975 * se) * 100000, 1e-7);
  EXPECT_NEAR(g.value(limits[1], "UpperCL"), (0.002 + kZ975 * se) * 100000, 1e-7);
}

TEST_F(EffectPlotTest, ThePlotUsesItsOwnEffectTypeAndLeavesTheTablesTypeAlone) {
  two_populations(kStatRate, kEffectRatio);
  context_.strata_effect_type = kEffectDiff;
  ASSERT_EQ(produce_effect_plot(context_), 0);
  EXPECT_EQ(context_.strata_effect_type, kEffectDiff);
  const DeliveredGraph g = graph();
  const std::vector<Json> estimates = g.rows_with("Est");
  ASSERT_EQ(estimates.size(), 3u);
  EXPECT_NEAR(g.value(estimates[1], "Est"), 1, 1e-12);
  EXPECT_NEAR(g.value(estimates[2], "Est"), 2, 1e-12);
}

TEST_F(EffectPlotTest, TheRatioReferenceLineNeedsAPositiveSecondEstimate) {
  struct Case {
    const char* name;
    int type;
    PopulationCell second;  // the second population in stratum 2
    bool line;
  };
  const Case cases[] = {
      {"ratio with a positive second estimate", kEffectRatio, counts(20, 10000), true},
      {"ratio with no events in the second population", kEffectRatio, counts(0, 10000), false},
      {"ratio with a missing second overall estimate", kEffectRatio, rate_only(0.002), false},
      {"difference with no events in the second population", kEffectDiff, counts(0, 10000), true},
      {"difference with a missing second overall estimate", kEffectDiff, rate_only(0.002), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    restart();
    set_up(kMethodDirect, kStatRate, 2);
    context_.effect_plot_type = c.type;
    set_strata_variables({{"agegroup", 5}});
    add_stratum("0-39 ", counts(20, 10000), c.second.events == 0 ? counts(0, 10000) : c.second);
    add_stratum("40-64", counts(40, 10000), c.second);
    compute();
    ASSERT_EQ(produce_effect_plot(context_), 0);
    const DeliveredGraph g = graph();
    EXPECT_EQ(g.rows_with("YRef").size(), c.line ? 2u : 0u);
    for (const Json& row : g.rows_with("YRef")) EXPECT_TRUE(std::isfinite(g.value(row, "YRef")));
  }
}

TEST_F(EffectPlotTest, NotMadeWithOnePopulation) {
  set_up(kMethodDirect, kStatRate, 1);
  context_.effect_plot_type = kEffectRatio;
  set_strata_variables({{"agegroup", 5}});
  add_stratum("0-39 ", counts(20, 10000));
  compute();
  EXPECT_EQ(produce_effect_plot(context_), 1);
  EXPECT_TRUE(graphs().empty());
}

}  // namespace
}  // namespace quilvar::plots
