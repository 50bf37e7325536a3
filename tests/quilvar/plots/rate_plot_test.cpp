#include <gtest/gtest.h>

#include "plot_fixture.hpp"

namespace quilvar::plots {
namespace {

using namespace testing;

class RatePlotTest : public PlotTest {
 protected:
  // Two age strata: rates 0.0005 and 0.002 of the first population.
  void two_strata(PopulationCell second_first = counts(kMissing, kMissing),
                  PopulationCell second_second = counts(kMissing, kMissing)) {
    set_strata_variables({{"agegroup", 5}});
    add_stratum("0-39 ", counts(10, 20000), second_first);
    add_stratum("40-64", counts(30, 15000), second_second);
  }
};

double lower(double r, double n) { return std::max(0.0, r - kZ975 * std::sqrt(r / n)); }
double upper(double r, double n) { return r + kZ975 * std::sqrt(r / n); }

TEST_F(RatePlotTest, OnePopulationUnderDirectRowByRow) {
  two_strata();
  compute();
  ASSERT_EQ(produce_rate_plot(context_), 0);
  const DeliveredGraph g = graph();
  EXPECT_EQ(g.graph["name"], "StrataRatePlot");
  EXPECT_EQ(g.graph["template"], "Vesk.Quilvar.Graphics.StrataRatePlot");
  EXPECT_EQ(g.data()["name"], "RatePhantom");
  EXPECT_EQ(g.data()["template"], "Vesk.Quilvar.RatePhantom");
  EXPECT_EQ(g.column_names(), (std::vector<std::string>{"StratumID", "StratumIndex", "Population", "Est", "LowerCL",
                                                        "UpperCL", "XRef", "YRef"}));
  const double m = 100000;
  const std::string p = "Study Population";
  const auto n = nullptr;
  // Columns: StratumID, StratumIndex, Population, Est, LowerCL, UpperCL, XRef, YRef.
  const Json expected = Json::array({
      {0.1, n, p, n, n, n, n, n},
      {n, n, p, lower(0.0005, 20000) * m, n, n, n, n},
      {2.9, n, p, n, n, n, n, n},
      {n, n, p, upper(0.002, 15000) * m, n, n, n, n},
      {n, n, "", n, n, n, n, n},
      {1.15, 1, p, 50, n, n, n, n},
      {n, n, "", n, n, n, n, n},
      {1.15, 1, p, n, lower(0.0005, 20000) * m, upper(0.0005, 20000) * m, n, n},
      {n, n, "", n, n, n, n, n},
      {2.15, 2, p, 200, n, n, n, n},
      {n, n, "", n, n, n, n, n},
      {2.15, 2, p, n, lower(0.002, 15000) * m, upper(0.002, 15000) * m, n, n},
      {n, n, "", n, n, n, n, n},
      {n, n, p, n, n, n, 0.1, 40.0 / 35000 * m},
      {n, n, p, n, n, n, 2.9, 40.0 / 35000 * m},
      {n, n, "", n, n, n, n, n},
  });
  expect_rows(g, expected);
}

TEST_F(RatePlotTest, DynamicVariablesByMethodStatisticAndLimitType) {
  struct Case {
    const char* name;
    int method, statistic, cl_type;
    const char* popn;
    double dstd, mh;
    const char* y_label;
    const char* cl_label;  // null: no limits
  };
  const Case cases[] = {
      {"direct rate, normal", kMethodDirect, kStatRate, kClNormal, "Population", 1, 0, "Rate per 100000",
       "95% Normal Confidence Limits"},
      {"direct rate, lognormal", kMethodDirect, kStatRate, kClLognormal, "Population", 1, 0, "Rate per 100000",
       "95% Lognormal Confidence Limits"},
      {"direct rate, poisson", kMethodDirect, kStatRate, kClPoisson, "Population", 1, 0, "Rate per 100000",
       "95% Poisson Confidence Limits"},
      {"risk plots name the limits they draw", kMethodDirect, kStatRisk, kClLognormal, "Population", 1, 0, "Risk",
       "95% Lognormal Confidence Limits"},
      {"risk, normal", kMethodDirect, kStatRisk, kClNormal, "Population", 1, 0, "Risk", "95% Normal Confidence Limits"},
      {"no limits", kMethodDirect, kStatRate, kClNone, "Population", 1, 0, "Rate per 100000", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    restart();
    set_up(c.method, c.statistic, 1);
    context_.rate_plot_cl_type = context_.strata_cl_compute_type = c.cl_type;
    set_strata_variables({{"agegroup", 5}});
    add_stratum("0-39 ", counts(10, 200));
    add_stratum("40-64", counts(30, 150));
    compute();
    ASSERT_EQ(produce_rate_plot(context_), 0);
    const DeliveredGraph g = graph();
    EXPECT_EQ(g.graph["name"], c.statistic == kStatRate ? "StrataRatePlot" : "StrataRiskPlot");
    EXPECT_EQ(g.graph["label"], c.statistic == kStatRate ? "Stratum Rate Plot" : "Stratum Risk Plot");
    EXPECT_EQ(g.dynamic("_Popn"), c.popn);
    EXPECT_EQ(g.dynamic("_DStd"), c.dstd);
    EXPECT_EQ(g.dynamic("_Mh"), c.mh);
    EXPECT_EQ(g.dynamic("_YLabel"), c.y_label);
    EXPECT_EQ(g.dynamic("_TMax"), 2);
    EXPECT_NEAR(g.dynamic("_XMin").get<double>(), 0.1, 1e-15);
    EXPECT_NEAR(g.dynamic("_XMax").get<double>(), 2.9, 1e-15);
    EXPECT_EQ(g.dynamic("_XTicks"), "'0-39''40-64'");
    EXPECT_EQ(g.dynamic("_XLabel"), "agegroup");
    EXPECT_EQ(g.has_dynamic("_Cl"), c.cl_label != nullptr);
    if (c.cl_label != nullptr) {
      EXPECT_EQ(g.dynamic("_ClLabel"), c.cl_label);
    }
    EXPECT_EQ(g.rows_with("LowerCL").size(), c.cl_label != nullptr ? 2u : 0u);
  }
}

TEST_F(RatePlotTest, TwoPopulationsSitEitherSideAndAMissingOverallEstimateDropsOnlyItsLine) {
  set_up(kMethodDirect, kStatRate, 2);
  context_.population_label_width = 12;
  // The first population's rates are read directly: no population total,
  // so no overall crude estimate.
  set_strata_variables({{"agegroup", 5}});
  add_stratum("0-39 ", rate_only(0.0005), counts(20, 10000));
  add_stratum("40-64", rate_only(0.002), counts(60, 20000));
  context_.rate_plot_cl_type = context_.strata_cl_compute_type = kClNone;
  compute();
  ASSERT_EQ(produce_rate_plot(context_), 0);
  const DeliveredGraph g = graph();
  std::vector<std::pair<std::string, double>> points;
  for (const Json& row : g.rows_with("StratumIndex")) {
    points.emplace_back(row[g.column("Population")], g.value(row, "StratumID"));
  }
  const std::vector<std::pair<std::string, double>> expected{
      {"region=North", 1.15}, {"region=North", 2.15}, {"region=South", 0.85}, {"region=South", 1.85}};
  ASSERT_EQ(points.size(), expected.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    EXPECT_EQ(points[i].first, expected[i].first);
    EXPECT_NEAR(points[i].second, expected[i].second, 1e-12);
  }
  const std::vector<Json> lines = g.rows_with("YRef");
  ASSERT_EQ(lines.size(), 2u);
  for (const Json& row : lines) {
    EXPECT_EQ(row[g.column("Population")], "region=South");
    EXPECT_NEAR(g.value(row, "YRef"), 80.0 / 30000 * 100000, 1e-9);
  }
}

TEST_F(RatePlotTest, IndirectShowsTheReferenceSeriesAndTheStudyLabelOnEveryRow) {
  set_up(kMethodIndirect, kStatRate, 1);
  context_.rate_plot_cl_type = context_.strata_cl_compute_type = kClNone;
  with_reference_data();
  set_strata_variables({{"agegroup", 5}});
  add_stratum("0-39 ", counts(10, 20000), counts(kMissing, kMissing), 100000, 40);
  add_stratum("40-64", counts(30, 15000), counts(kMissing, kMissing), 50000, 150);
  compute();
  ASSERT_EQ(produce_rate_plot(context_), 0);
  const DeliveredGraph g = graph();
  EXPECT_EQ(g.column_names(), (std::vector<std::string>{"StratumID", "StratumIndex", "Population", "Population1", "Est",
                                                        "LowerCL", "UpperCL", "XRef", "YRef"}));
  EXPECT_EQ(g.dynamic("_Popn"), "Population");
  EXPECT_EQ(g.dynamic("_DStd"), 0);
  for (const Json& row : g.rows()) EXPECT_EQ(row[g.column("Population1")], "Study Population");
  const std::vector<Json> points = g.rows_with("StratumIndex");
  ASSERT_EQ(points.size(), 4u);
  const double positions[] = {0.85, 1.85, 1.15, 2.15};
  const double rates[] = {40, 300, 50, 200};
  const char* populations[] = {"Reference Population", "Reference Population", "Study Population", "Study Population"};
  for (std::size_t i = 0; i < points.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(points[i][g.column("Population")], populations[i]);
    EXPECT_NEAR(g.value(points[i], "StratumID"), positions[i], 1e-12);
    EXPECT_NEAR(g.value(points[i], "Est"), rates[i], 1e-9);
  }
  const std::vector<Json> lines = g.rows_with("YRef");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0][g.column("Population")], "Reference Population");
  EXPECT_NEAR(g.value(lines[0], "YRef"), 190.0 / 150000 * 100000, 1e-9);
  EXPECT_NEAR(g.value(lines[2], "YRef"), 40.0 / 35000 * 100000, 1e-9);
}

TEST_F(RatePlotTest, IndirectWithoutAReferenceCrudeEstimateGroupsByTheStudyPopulation) {
  set_up(kMethodIndirect, kStatRate, 1);
  with_reference_data();
  set_strata_variables({{"agegroup", 5}});
  add_stratum("0-39 ", counts(10, 20000)).reference_rate = 0.0004;
  add_stratum("40-64", counts(30, 15000)).reference_rate = 0.003;
  compute();
  ASSERT_TRUE(host::is_missing(context_.reference_estimate));
  ASSERT_EQ(produce_rate_plot(context_), 0);
  const DeliveredGraph g = graph();
  EXPECT_EQ(g.dynamic("_Popn"), "Population1");
  for (const Json& row : g.rows_with("YRef")) EXPECT_EQ(row[g.column("Population")], "Study Population");
}

// Each population's rows name it: the renderer draws the rows of one name
// as one series, with one colour and one legend entry.
TEST_F(RatePlotTest, PopulationsWithTheSameLabelStayTwoSeries) {
  const std::string long_label = "Study Population (region=" + std::string(240, 'x');
  struct Case {
    const char* name;
    std::string first, second;  // the population labels
    std::string first_series, second_series;
  };
  const Case cases[] = {
      {"labels that differ", "region=North", "region=South", "region=North", "region=South"},
      // GROUP= values " North" and "North": labels leave out leading blanks.
      {"the same label", "region=North", "region=North", "region=North (1)", "region=North (2)"},
      // Values that differ past a label's length.
      {"labels cut at their length", long_label.substr(0, kLongTextCapacity), long_label.substr(0, kLongTextCapacity),
       long_label.substr(0, kLongTextCapacity - 4) + " (1)", long_label.substr(0, kLongTextCapacity - 4) + " (2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    restart();
    set_up(kMethodDirect, kStatRate, 2);
    with_reference_data();
    set_long_text(context_.population_label[0], c.first);
    set_long_text(context_.population_label[1], c.second);
    context_.population_label_width = static_cast<int>(std::max(c.first.size(), c.second.size()));
    set_strata_variables({{"agegroup", 5}});
    add_stratum("0-39 ", counts(10, 20000), counts(20, 10000), 5000);
    add_stratum("40-64", counts(30, 15000), counts(60, 20000), 15000);
    compute();
    ASSERT_EQ(produce_rate_plot(context_), 0);
    ASSERT_EQ(produce_dist_plot(context_), 0);
    const std::vector<DeliveredGraph> plots = graphs();
    ASSERT_EQ(plots.size(), 2u);
    for (const DeliveredGraph& g : plots) {
      SCOPED_TRACE(g.graph["name"].get<std::string>());
      std::vector<std::string> names;  // the population of each stratum 1 mark, in order
      for (const Json& row : g.rows_with("StratumIndex")) {
        const std::string name = row[g.column("Population")];
        if (g.value(row, "StratumIndex") == 1 && (names.empty() || names.back() != name)) names.push_back(name);
      }
      std::vector<std::string> expected{c.first_series, c.second_series};
      if (g.graph["name"] == "StrataDistPlot") expected.push_back("Reference Population");
      EXPECT_EQ(names, expected);
    }
  }
}

}  // namespace
}  // namespace quilvar::plots
