// The standardized estimate table and the SMR tables, delivered through the
// runtime's output system and read back from its JSON document.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "quilvar/estimate/direct_standardization.hpp"
#include "quilvar/estimate/indirect_standardization.hpp"
#include "quilvar/estimate/stratum_statistics.hpp"
#include "quilvar/tables/tables.hpp"
#include "table_fixture.hpp"

namespace quilvar::tables {
namespace {

using namespace testing;
using Columns = std::vector<std::string>;

class EstimateTablesTest : public TableTest {
 protected:
  // Two strata of DIRECT or MH data for one or two populations.
  void direct_data() {
    add_stratum(40, cell(10, 1000), cell(30, 1500), 3000);
    add_stratum(60, cell(20, 500), cell(12, 400), 1000);
    ASSERT_EQ(estimate::compute_stratum_statistics(context_), 0);
    estimate::compute_direct_estimates(context_);
  }
  // Two strata of INDIRECT data: 30 observed against 20 expected events.
  void indirect_data() {
    context_.reference.data = reinterpret_cast<host::DataSet*>(&context_);  // any non-null handle
    add_stratum(40, cell(12, 4000), cell(kMissing, kMissing), 20000, 40);
    add_stratum(60, cell(18, 3000), cell(kMissing, kMissing), 10000, 40);
    context_.strata_smr_cl_compute_type = context_.strata_smr_cl_type;
    ASSERT_EQ(estimate::compute_stratum_statistics(context_), 0);
    estimate::compute_indirect_estimates(context_);
  }
};

TEST_F(EstimateTablesTest, StandardizedEstimateColumnsFollowTheSettings) {
  struct Case {
    const char* name;
    int method, statistic, populations, cl_type;
    Columns columns;
    const char* estimate_end;
  };
  const Case cases[] = {
      {"DIRECT RATE, two populations, NORMAL", kMethodDirect, kStatRate, 2, kClNormal,
       {"Method", "RateMult", "Exposure", "ObservedEvents", "PopTime", "CrudeRate", "ExpectedEvents", "RefPopTime",
        "Quilvar", "StdErr", "Type", "LowerCL", "UpperCL"},
       "UpperCL"},
      {"DIRECT RATE, one population, NONE", kMethodDirect, kStatRate, 1, kClNone,
       {"Method", "RateMult", "ObservedEvents", "PopTime", "CrudeRate", "ExpectedEvents", "RefPopTime", "Quilvar"},
       "Quilvar"},
      {"DIRECT RISK, GAMMA", kMethodDirect, kStatRisk, 1, kClGammaAverage,
       {"Method", "ObservedEvents", "NObs", "CrudeRisk", "ExpectedEvents", "RefNObs", "StdRisk", "Type", "LowerCL",
        "UpperCL"},
       "UpperCL"},
      {"MH RISK, LOGNORMAL", kMethodMh, kStatRisk, 2, kClLognormal,
       {"Method", "Exposure", "ObservedEvents", "NObs", "CrudeRisk", "ExpectedEvents", "MHWeight", "StdRisk", "Type",
        "LowerCL", "UpperCL"},
       "UpperCL"},
      {"INDIRECT RATE, POISSON", kMethodIndirect, kStatRate, 1, kClPoisson,
       {"Method", "RateMult", "ObservedEvents", "PopTime", "CrudeRate", "RefCrudeRate", "ExpectedEvents", "Smr",
        "Quilvar", "Type", "LowerCL", "UpperCL"},
       "UpperCL"},
      {"INDIRECT RISK, NONE", kMethodIndirect, kStatRisk, 1, kClNone,
       {"Method", "ObservedEvents", "NObs", "CrudeRisk", "RefCrudeRisk", "ExpectedEvents", "Smr", "StdRisk"},
       "StdRisk"},
  };
  for (const Case& c : cases) {
    start_case(c.name);
    set_up(c.method, c.statistic, c.populations, c.cl_type);
    if (c.method == kMethodIndirect) {
      indirect_data();
      produce_std_estimate_table_indirect(context_);
    } else {
      direct_data();
      produce_std_estimate_table(context_);
    }
    EXPECT_EQ(context_.step_status, 0) << c.name;
  }
  const json document = finish_document();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const json outputs = step_outputs(document, c.name);
    const json table = find_table(outputs, c.statistic == kStatRate ? "Quilvar" : "StdRisk");
    ASSERT_FALSE(table.is_null());
    EXPECT_EQ(column_names(table), c.columns);
    EXPECT_EQ(table.at("rows").size(), static_cast<std::size_t>(c.populations));
    EXPECT_EQ(table.at("dynamic").at("_StdEstEnd"), c.estimate_end);
    EXPECT_EQ(table.at("dynamic").contains("_SpanCL_"), c.cl_type != kClNone);
    EXPECT_EQ(table.at("dynamic").contains("RefText"), c.method != kMethodIndirect);
    expect_numbers_or_null(outputs);
  }
}

TEST_F(EstimateTablesTest, DirectRowsCarryRatesPerMultiplierAndCountsAsThey)  {
  set_up(kMethodDirect, kStatRate, 2, kClNormal);
  direct_data();
  produce_std_estimate_table(context_);
  const json table = find_table(finish(), "Quilvar");
  ASSERT_EQ(table.at("rows").size(), 2u);
  const double se0 = std::sqrt(0.75 * 0.75 * 0.01 / 1000 + 0.25 * 0.25 * 0.04 / 500);
  EXPECT_EQ(value(table, 0, "Exposure"), "Yes");
  EXPECT_EQ(value(table, 1, "Exposure"), "No");
  EXPECT_EQ(value(table, 0, "Method"), "Direct");
  EXPECT_EQ(value(table, 0, "Type"), "Normal");
  EXPECT_EQ(value(table, 0, "RateMult"), 100000);
  EXPECT_EQ(value(table, 0, "ObservedEvents"), 30);
  EXPECT_EQ(value(table, 0, "PopTime"), 1500);
  EXPECT_EQ(value(table, 0, "RefPopTime"), 4000);
  EXPECT_NEAR(value(table, 0, "ExpectedEvents").get<double>(), 70, 1e-12);
  EXPECT_NEAR(value(table, 0, "CrudeRate").get<double>(), 2000, 1e-9);
  EXPECT_NEAR(value(table, 0, "Quilvar").get<double>(), 1750, 1e-9);
  EXPECT_NEAR(value(table, 0, "StdErr").get<double>(), se0 * 1e5, 1e-9);
  EXPECT_NEAR(value(table, 0, "LowerCL").get<double>(), (0.0175 - 1.959963984540054 * se0) * 1e5, 1e-7);
  EXPECT_NEAR(value(table, 0, "UpperCL").get<double>(), (0.0175 + 1.959963984540054 * se0) * 1e5, 1e-7);
  EXPECT_NEAR(value(table, 1, "Quilvar").get<double>(), (0.75 * 0.02 + 0.25 * 0.03) * 1e5, 1e-9);
  EXPECT_EQ(table.at("dynamic").at("_StdEstHeader_"), "Directly Standardized Rates per 100000");
}

TEST_F(EstimateTablesTest, GammaTypesShowTheirOwnUpperLimit) {
  StdEstimate estimates[2];
  const int types[] = {kClGammaConservative, kClGammaAverage};
  for (int i = 0; i < 2; ++i) {
    start_case(std::to_string(types[i]));
    set_up(kMethodDirect, kStatRate, 1, types[i]);
    direct_data();
    produce_std_estimate_table(context_);
    estimates[i] = context_.std_estimates[0];
  }
  const json document = finish_document();
  EXPECT_NE(estimates[0].gamma_upper_largest, estimates[1].gamma_upper_mean);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(types[i]);
    const StdEstimate& e = estimates[i];
    const json table = find_table(step_outputs(document, std::to_string(types[i])), "Quilvar");
    EXPECT_EQ(value(table, 0, "Type"), "Gamma");
    EXPECT_NEAR(value(table, 0, "LowerCL").get<double>(), e.gamma_lower * 1e5, 1e-9);
    const double upper = types[i] == kClGammaConservative ? e.gamma_upper_largest : e.gamma_upper_mean;
    EXPECT_NEAR(value(table, 0, "UpperCL").get<double>(), upper * 1e5, 1e-9);
  }
}

TEST_F(EstimateTablesTest, IndirectRowScalesRatesButNotTheSmr) {
  set_up(kMethodIndirect, kStatRate, 1, kClPoisson);
  indirect_data();
  produce_std_estimate_table_indirect(context_);
  const SmrResult& s = context_.smr_result;
  const json table = find_table(finish(), "Quilvar");
  EXPECT_EQ(value(table, 0, "Smr"), 1.5);
  EXPECT_EQ(value(table, 0, "ObservedEvents"), 30);
  EXPECT_NEAR(value(table, 0, "ExpectedEvents").get<double>(), 20, 1e-12);
  EXPECT_NEAR(value(table, 0, "RefCrudeRate").get<double>(), 80.0 / 30000 * 1e5, 1e-9);
  EXPECT_NEAR(value(table, 0, "CrudeRate").get<double>(), 30.0 / 7000 * 1e5, 1e-9);
  EXPECT_NEAR(value(table, 0, "Quilvar").get<double>(), 1.5 * 80 / 30000 * 1e5, 1e-9);
  EXPECT_NEAR(value(table, 0, "LowerCL").get<double>(), s.standardized_poisson_lower * 1e5, 1e-9);
  EXPECT_NEAR(value(table, 0, "UpperCL").get<double>(), s.standardized_poisson_upper * 1e5, 1e-9);
  EXPECT_EQ(value(table, 0, "Type"), "Poisson");
}

TEST_F(EstimateTablesTest, IndirectWithoutAStandardizedEstimateGivesAWarningAndNoTable) {
  for (int statistic : {kStatRate, kStatRisk}) {
    start_case(statistic == kStatRate ? "rate" : "risk");
    set_up(kMethodIndirect, statistic, 1, kClNormal);
    context_.reference.data = reinterpret_cast<host::DataSet*>(&context_);
    add_stratum(40, cell(12, 4000), cell(kMissing, kMissing)).reference_rate = 0.002;
    ASSERT_EQ(estimate::compute_stratum_statistics(context_), 0);
    estimate::compute_indirect_estimates(context_);
    produce_std_estimate_table_indirect(context_);
    EXPECT_TRUE(logged(statistic == kStatRate ? "indirectly standardized rate cannot be computed"
                                              : "indirectly standardized risk cannot be computed"));
    EXPECT_EQ(context_.step_status, 4);
  }
  const json document = finish_document();
  EXPECT_TRUE(step_outputs(document, "rate").empty());
  EXPECT_TRUE(step_outputs(document, "risk").empty());
}

TEST_F(EstimateTablesTest, SmrColumnsAndValuesByLimitType) {
  struct Case {
    const char* name;
    int cl_type;
    Columns columns;
  };
  const Case cases[] = {
      {"NONE", kClNone, {"ObservedEvents", "ExpectedEvents", "Smr", "StdErr", "Z", "ProbZ"}},
      {"NORMAL", kClNormal, {"ObservedEvents", "ExpectedEvents", "Smr", "StdErr", "Type", "SmrLcl", "SmrUcl", "Z", "ProbZ"}},
      {"LOGNORMAL", kClLognormal, {"ObservedEvents", "ExpectedEvents", "Smr", "Type", "SmrLcl", "SmrUcl", "Z", "ProbZ"}},
      {"POISSON", kClPoisson, {"ObservedEvents", "ExpectedEvents", "Smr", "Type", "SmrLcl", "SmrUcl", "pValue"}},
  };
  SmrResult results[4];
  for (int i = 0; i < 4; ++i) {
    start_case(cases[i].name);
    set_up(kMethodIndirect, kStatRate, 1, cases[i].cl_type);
    define_step_templates(context_);
    indirect_data();
    produce_smr_table(context_);
    results[i] = context_.smr_result;
  }
  const json document = finish_document();
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(cases[i].name);
    const json table = find_table(step_outputs(document, cases[i].name), "Smr");
    ASSERT_FALSE(table.is_null());
    EXPECT_EQ(column_names(table), cases[i].columns);
    const SmrResult& s = results[i];
    EXPECT_EQ(value(table, 0, "Smr"), 1.5);
    EXPECT_NEAR(value(table, 0, "ExpectedEvents").get<double>(), 20, 1e-12);
    switch (cases[i].cl_type) {
      case kClNone:
      case kClNormal:
        EXPECT_NEAR(value(table, 0, "StdErr").get<double>(), std::sqrt(0.075), 1e-15);
        EXPECT_EQ(value(table, 0, "Z"), s.z);
        EXPECT_EQ(value(table, 0, "ProbZ"), s.p);
        if (cases[i].cl_type == kClNormal) {
          EXPECT_EQ(value(table, 0, "SmrLcl"), s.normal_lower);
        }
        break;
      case kClLognormal:
        EXPECT_EQ(value(table, 0, "Type"), "Lognormal");
        EXPECT_EQ(value(table, 0, "Z"), s.z_log);
        EXPECT_EQ(value(table, 0, "ProbZ"), s.p_log);
        EXPECT_EQ(value(table, 0, "SmrUcl"), s.lognormal_upper);
        break;
      default:
        EXPECT_EQ(value(table, 0, "Type"), "Poisson");
        EXPECT_EQ(value(table, 0, "pValue"), s.exact_p);
        EXPECT_EQ(value(table, 0, "SmrLcl"), s.poisson_lower);
        break;
    }
  }
}

TEST_F(EstimateTablesTest, SmrWithoutExpectedEventsShowsOnlyTheCounts) {
  set_up(kMethodIndirect, kStatRate, 1, kClNormal);
  define_step_templates(context_);
  context_.reference.data = reinterpret_cast<host::DataSet*>(&context_);
  add_stratum(40, cell(12, 4000), cell(kMissing, kMissing)).reference_rate = 0;
  ASSERT_EQ(estimate::compute_stratum_statistics(context_), 0);
  estimate::compute_indirect_estimates(context_);
  context_.row.smr_lower = context_.row.z = 99;  // left over from an earlier table
  produce_smr_table(context_);
  const json table = find_table(finish(), "Smr");
  EXPECT_EQ(value(table, 0, "ObservedEvents"), 12);
  EXPECT_EQ(value(table, 0, "ExpectedEvents"), 0);
  for (const char* column : {"Smr", "StdErr", "SmrLcl", "SmrUcl", "Z", "ProbZ"}) {
    EXPECT_TRUE(value(table, 0, column).is_null()) << column;
  }
}

TEST_F(EstimateTablesTest, SmallPValuesAreListedBelowTheSmallestShown) {
  set_up(kMethodIndirect, kStatRate, 1, kClNormal);
  define_step_templates(context_);
  context_.reference.data = reinterpret_cast<host::DataSet*>(&context_);
  add_stratum(40, cell(100, 10000), cell(kMissing, kMissing)).reference_rate = 0.004;
  ASSERT_EQ(estimate::compute_stratum_statistics(context_), 0);
  estimate::compute_indirect_estimates(context_);
  ASSERT_LT(context_.smr_result.p, 0.0001);
  produce_smr_table(context_);
  finish();
  EXPECT_NE(listing_.str().find("<.0001"), std::string::npos) << listing_.str();
}

TEST_F(EstimateTablesTest, StrataSmrRowsAndColumns) {
  struct Case {
    const char* name;
    int statistic, cl_type;
    Columns columns;
  };
  const Case cases[] = {
      {"RATE NORMAL", kStatRate, kClNormal,
       {"RateMult", "StratumIndex", "Age", "ObservedEvents", "PopTime", "RefCrudeRate", "ExpectedEvents", "Smr",
        "StdErr", "Type", "SmrLcl", "SmrUcl"}},
      {"RISK NONE", kStatRisk, kClNone,
       {"StratumIndex", "Age", "ObservedEvents", "NObs", "RefCrudeRisk", "ExpectedEvents", "Smr"}},
      {"RATE POISSON", kStatRate, kClPoisson,
       {"RateMult", "StratumIndex", "Age", "ObservedEvents", "PopTime", "RefCrudeRate", "ExpectedEvents", "Smr",
        "Type", "SmrLcl", "SmrUcl"}},
  };
  for (const Case& c : cases) {
    start_case(c.name);
    set_up(kMethodIndirect, c.statistic, 1, kClNormal);
    context_.strata_smr_cl_type = c.cl_type;
    context_.strata_smr_cl_label.length = 0;
    if (c.cl_type != kClNone) copy_label(context_.strata_smr_cl_label, c.cl_type == kClNormal ? 97 : 99);
    define_step_templates(context_);
    indirect_data();
    produce_strata_smr_table(context_);
  }
  const json document = finish_document();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const json table = find_table(step_outputs(document, c.name), "StrataSMR");
    ASSERT_FALSE(table.is_null());
    EXPECT_EQ(column_names(table), c.columns);
    ASSERT_EQ(table.at("rows").size(), 2u);
    EXPECT_EQ(value(table, 1, "Age"), 60);
    EXPECT_EQ(value(table, 1, "StratumIndex"), 2);
    EXPECT_NEAR(value(table, 0, "Smr").get<double>(), 1.5, 1e-15);
    const double reference = c.statistic == kStatRate ? 0.002 * 1e5 : 0.002;
    EXPECT_NEAR(value(table, 0, c.statistic == kStatRate ? "RefCrudeRate" : "RefCrudeRisk").get<double>(), reference,
                1e-12);
    EXPECT_EQ(table.at("dynamic").at("_SmrEnd"), c.cl_type == kClNone ? "Smr" : "SmrUcl");
    if (c.cl_type == kClNormal) {
      EXPECT_EQ(value(table, 0, "Type"), "Normal");
    }
    if (c.cl_type != kClNone) {
      EXPECT_LT(value(table, 0, "SmrUcl").get<double>(), 5);  // an SMR, not a rate
    }
  }
}

}  // namespace
}  // namespace quilvar::tables
