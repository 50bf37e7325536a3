#include <gtest/gtest.h>

#include "plot_fixture.hpp"

namespace quilvar::plots {
namespace {

using namespace testing;

class DistPlotTest : public PlotTest {};

TEST_F(DistPlotTest, OnePopulationRowByRow) {
  set_strata_variables({{"agegroup", 5}});
  add_stratum("0-39 ", counts(10, 30000));
  add_stratum("40-64", counts(30, 10000));
  compute();
  ASSERT_EQ(produce_dist_plot(context_), 0);
  const DeliveredGraph g = graph();
  EXPECT_EQ(g.graph["name"], "StrataDistPlot");
  EXPECT_EQ(g.graph["template"], "Vesk.Quilvar.Graphics.StrataDistPlot");
  EXPECT_EQ(g.graph["label"], "Stratum Distribution Plot");
  EXPECT_EQ(g.data()["name"], "DistPhantom");
  EXPECT_EQ(g.data()["label"], "Stratum Distribution Plot Data");
  EXPECT_EQ(g.column_names(), (std::vector<std::string>{"StratumID", "StratumIndex", "Population", "Prop_l", "Prop_u"}));
  EXPECT_EQ(g.dynamic("_Popn"), 1);
  EXPECT_EQ(g.dynamic("_Mh"), 0);
  EXPECT_EQ(g.dynamic("_YLabel"), "Proportion");
  EXPECT_FALSE(g.has_dynamic("_Cl"));
  const std::string p = "Study Population";
  const auto n = nullptr;
  expect_rows(g, Json::array({
                     {0.1, n, p, n, n},
                     {n, n, p, 0, n},
                     {2.9, n, p, n, n},
                     {n, n, p, 1.2 * 0.75, n},
                     {n, n, "", n, n},
                     {1.15, 1, p, 0, 0.75},
                     {n, n, "", n, n},
                     {2.15, 2, p, 0, 0.25},
                     {n, n, "", n, n},
                 }));
}

TEST_F(DistPlotTest, SeriesPositionsWithAndWithoutReferenceData) {
  struct Case {
    const char* name;
    int method;
    bool reference;
    std::vector<std::pair<std::string, double>> first_stratum;  // population, position
    double popn;
  };
  const Case cases[] = {
      {"two populations without reference data", kMethodMh, false, {{"region=North", 1.15}, {"region=South", 0.85}}, 1},
      {"two populations and the reference", kMethodDirect, true,
       {{"region=North", 1.15}, {"region=South", 1.0}, {"Reference Population", 0.85}}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    restart();
    set_up(c.method, kStatRate, 2);
    if (c.reference) with_reference_data();
    set_strata_variables({{"agegroup", 5}});
    add_stratum("0-39 ", counts(10, 3000), counts(20, 1000), 5000, 10);
    add_stratum("40-64", counts(30, 1000), counts(60, 3000), 15000, 40);
    compute();
    ASSERT_EQ(produce_dist_plot(context_), 0);
    const DeliveredGraph g = graph();
    EXPECT_EQ(g.dynamic("_Popn"), c.popn);
    EXPECT_EQ(g.dynamic("_Mh"), c.method == kMethodMh ? 1 : 0);
    std::vector<std::pair<std::string, double>> first;
    for (const Json& row : g.rows_with("StratumIndex")) {
      if (g.value(row, "StratumIndex") == 1) first.emplace_back(row[g.column("Population")], g.value(row, "StratumID"));
    }
    ASSERT_EQ(first.size(), c.first_stratum.size());
    for (std::size_t i = 0; i < first.size(); ++i) {
      EXPECT_EQ(first[i].first, c.first_stratum[i].first);
      EXPECT_NEAR(first[i].second, c.first_stratum[i].second, 1e-12);
    }
    // The largest share is 0.75 of either population.
    EXPECT_NEAR(g.value(g.rows()[3], "Prop_l"), 0.9, 1e-12);
  }
}

TEST_F(DistPlotTest, IndirectWithoutAReferenceCrudeEstimateSetsPopnToZero) {
  set_up(kMethodIndirect, kStatRisk, 1);
  with_reference_data();
  set_strata_variables({{"agegroup", 5}});
  add_stratum("0-39 ", counts(10, 300), counts(kMissing, kMissing), 1000).reference_rate = 0.02;
  add_stratum("40-64", counts(30, 100), counts(kMissing, kMissing), 3000).reference_rate = 0.2;
  compute();
  ASSERT_EQ(produce_dist_plot(context_), 0);
  const DeliveredGraph g = graph();
  EXPECT_EQ(g.dynamic("_Popn"), 0);
  const std::vector<Json> bars = g.rows_with("Prop_u");
  ASSERT_EQ(bars.size(), 4u);
  EXPECT_EQ(bars[2][g.column("Population")], "Reference Population");
  EXPECT_NEAR(g.value(bars[2], "Prop_u"), 0.25, 1e-12);
  EXPECT_NEAR(g.value(bars[2], "StratumID"), 0.85, 1e-12);
}

}  // namespace
}  // namespace quilvar::plots
