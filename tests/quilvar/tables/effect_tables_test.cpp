// The effect tables and the attributable fraction table, delivered through
// the runtime's output system and read back from its JSON document.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "quilvar/estimate/direct_standardization.hpp"
#include "quilvar/estimate/effects.hpp"
#include "quilvar/estimate/indirect_standardization.hpp"
#include "quilvar/estimate/stratum_statistics.hpp"
#include "quilvar/tables/tables.hpp"
#include "table_fixture.hpp"

namespace quilvar::tables {
namespace {

using namespace testing;
using Columns = std::vector<std::string>;

constexpr double kZ975 = 1.959963984540054;

class EffectTablesTest : public TableTest {
 protected:
  // Three strata of two populations: an ordinary one, one where the first
  // population has no events, one where the second has none.
  void two_population_data(int method) {
    const bool mh = method == kMethodMh;
    add_stratum(40, cell(20, 1000), cell(20, 2000), mh ? kMissing : 3000);
    add_stratum(60, cell(0, 500), cell(6, 300), mh ? kMissing : 1000);
    add_stratum(70, cell(5, 100), cell(0, 200), mh ? kMissing : 1000);
    ASSERT_EQ(estimate::compute_stratum_statistics(context_), 0);
    estimate::compute_direct_estimates(context_);
    if (mh) estimate::compute_mh_statistics(context_);
  }
};

TEST_F(EffectTablesTest, StrataEffectRowsScaleDifferencesButNotRatios) {
  struct Case {
    const char* name;
    int statistic, type;
    Columns columns;
    const char* effect;
    const char* span;
  };
  const Case cases[] = {
      {"RATE RATIO", kStatRate, kEffectRatio,
       {"RateMult", "StratumIndex", "Age", "Rate", "CompRate", "RateRatio", "LowerCL", "UpperCL"}, "RateRatio",
       "Rate Ratio"},
      {"RATE DIFF", kStatRate, kEffectDiff,
       {"RateMult", "StratumIndex", "Age", "Rate", "CompRate", "RateDiff", "StdErr", "LowerCL", "UpperCL"}, "RateDiff",
       "Rate Difference"},
      {"RISK RATIO", kStatRisk, kEffectRatio,
       {"StratumIndex", "Age", "Risk", "CompRisk", "RiskRatio", "LowerCL", "UpperCL"}, "RiskRatio", "Risk Ratio"},
  };
  for (const Case& c : cases) {
    start_case(c.name);
    set_up(kMethodDirect, c.statistic, 2, kClNormal);
    context_.strata_effect_type = c.type;
    two_population_data(kMethodDirect);
    produce_strata_effect_table(context_);
  }
  const json document = finish_document();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const json outputs = step_outputs(document, c.name);
    const json table = find_table(outputs, "StrataEffect");
    ASSERT_FALSE(table.is_null());
    EXPECT_EQ(column_names(table), c.columns);
    ASSERT_EQ(table.at("rows").size(), 3u);
    const json& dynamic = table.at("dynamic");
    EXPECT_EQ(table.at("title"), c.statistic == kStatRate ? "Comparison of Stratum Rates per 100000"
                                                          : "Comparison of Stratum Risks");
    EXPECT_EQ(dynamic.at("_SpanEffect_"), c.span);
    EXPECT_EQ(dynamic.at("_SpanGroup_"), "Exposure");
    EXPECT_EQ(dynamic.at("_Pop1_"), "Yes");
    EXPECT_EQ(dynamic.at("_Pop2_"), "No");
    EXPECT_EQ(dynamic.at("_SpanCL_"), c.type == kEffectDiff ? "95% Normal Confidence Limits"
                                                            : "95% Lognormal Confidence Limits");
    const bool rate = c.statistic == kStatRate;
    const double scale = rate ? 1e5 : 1;
    const char* first = rate ? "Rate" : "Risk";
    const char* effect = c.effect;
    EXPECT_NEAR(value(table, 0, first).get<double>(), 0.02 * scale, 1e-9);
    EXPECT_NEAR(value(table, 2, rate ? "CompRate" : "CompRisk").get<double>(), 0, 1e-15);
    if (c.type == kEffectRatio) {
      const double se = rate ? std::sqrt(0.1) : std::sqrt(0.98 / 1000 / 0.02 + 0.99 / 2000 / 0.01);
      EXPECT_NEAR(value(table, 0, effect).get<double>(), 2, 1e-12);
      EXPECT_NEAR(value(table, 0, "LowerCL").get<double>(), 2 * std::exp(-kZ975 * se), 1e-12);
      EXPECT_EQ(value(table, 1, effect), 0);
      EXPECT_TRUE(value(table, 1, "LowerCL").is_null());
      EXPECT_TRUE(value(table, 2, effect).is_null());
      EXPECT_TRUE(value(table, 2, "UpperCL").is_null());
    } else {
      const double se = std::sqrt(0.02 / 1000 + 0.01 / 2000);
      EXPECT_NEAR(value(table, 0, effect).get<double>(), 0.01 * 1e5, 1e-9);
      EXPECT_NEAR(value(table, 0, "StdErr").get<double>(), se * 1e5, 1e-9);
      EXPECT_NEAR(value(table, 0, "UpperCL").get<double>(), (0.01 + kZ975 * se) * 1e5, 1e-8);
      EXPECT_NEAR(value(table, 1, effect).get<double>(), -0.02 * 1e5, 1e-9);
      EXPECT_NEAR(value(table, 2, effect).get<double>(), 0.05 * 1e5, 1e-9);
    }
    expect_numbers_or_null(outputs);
  }
}

TEST_F(EffectTablesTest, EffectColumnsAndValues) {
  struct Case {
    const char* name;
    int method, statistic, type;
    Columns columns;
    const char* effect;
  };
  const Case cases[] = {
      {"DIRECT RATE RATIO", kMethodDirect, kStatRate, kEffectRatio,
       {"RateMult", "Rate", "CompRate", "RateRatio", "LowerCL", "UpperCL", "LogRatio", "StdErr", "Z", "ProbZ"},
       "RateRatio"},
      {"DIRECT RATE DIFF", kMethodDirect, kStatRate, kEffectDiff,
       {"RateMult", "Rate", "CompRate", "RateDiff", "LowerCL", "UpperCL", "StdErr", "Z", "ProbZ"}, "RateDiff"},
      {"MH RISK RATIO", kMethodMh, kStatRisk, kEffectRatio,
       {"Risk", "CompRisk", "RiskRatio", "LowerCL", "UpperCL", "LogRatio", "StdErr", "Z", "ProbZ"}, "RiskRatio"},
  };
  estimate::OverallEffect effects[3];
  for (int i = 0; i < 3; ++i) {
    start_case(cases[i].name);
    set_up(cases[i].method, cases[i].statistic, 2, kClNormal);
    context_.effect_type = cases[i].type;
    two_population_data(cases[i].method);
    produce_effect_table(context_);
    effects[i] = estimate::compute_overall_effect(context_);
  }
  const json document = finish_document();
  for (int i = 0; i < 3; ++i) {
    const Case& c = cases[i];
    const estimate::OverallEffect& e = effects[i];
    SCOPED_TRACE(c.name);
    const json table = find_table(step_outputs(document, c.name), "Effect");
    ASSERT_FALSE(table.is_null());
    EXPECT_EQ(column_names(table), c.columns);
    const json& dynamic = table.at("dynamic");
    EXPECT_EQ(table.at("title"), c.statistic == kStatRate ? "Comparison of Standardized Rates per 100000"
                                                          : "Comparison of Standardized Risks");
    EXPECT_EQ(dynamic.at("_StartTest_"), c.type == kEffectDiff ? "Z" : "LogRatio");
    EXPECT_EQ(dynamic.at("_StatStart_"), c.statistic == kStatRate ? "Rate" : "Risk");
    EXPECT_TRUE(dynamic.contains("_LogRatio_") && dynamic.contains("_TestEffect_") && dynamic.contains("_SpanStat_"));
    const double scale = c.statistic == kStatRate ? 1e5 : 1;
    const double effect_scale = c.type == kEffectDiff ? scale : 1;
    EXPECT_NEAR(value(table, 0, c.statistic == kStatRate ? "Rate" : "Risk").get<double>(), e.first * scale, 1e-9);
    EXPECT_NEAR(value(table, 0, c.effect).get<double>(), e.effect * effect_scale, 1e-9);
    EXPECT_NEAR(value(table, 0, "StdErr").get<double>(), e.std_error * effect_scale, 1e-9);
    EXPECT_NEAR(value(table, 0, "LowerCL").get<double>(), e.lower * effect_scale, 1e-9);
    EXPECT_EQ(value(table, 0, "Z"), e.z);
    EXPECT_EQ(value(table, 0, "ProbZ"), e.p);
  }
  EXPECT_GT(effects[2].std_error, 0);
}

// Where the overall ratio has no test, nothing of an earlier table's row
// shows through.
TEST_F(EffectTablesTest, EffectRowWithoutATestShowsMissingValues) {
  set_up(kMethodDirect, kStatRate, 2, kClNormal);
  context_.effect_type = kEffectRatio;
  add_stratum(40, cell(0, 1000), cell(20, 2000), 3000);
  ASSERT_EQ(estimate::compute_stratum_statistics(context_), 0);
  estimate::compute_direct_estimates(context_);
  for (double* slot : {&context_.row.lower, &context_.row.upper, &context_.row.std_error, &context_.row.log_ratio,
                       &context_.row.z, &context_.row.p}) {
    *slot = 99;
  }
  produce_effect_table(context_);
  const json table = find_table(finish(), "Effect");
  EXPECT_EQ(value(table, 0, "RateRatio"), 0);
  EXPECT_EQ(value(table, 0, "Rate"), 0);
  EXPECT_NEAR(value(table, 0, "CompRate").get<double>(), 1000, 1e-9);
  for (const char* column : {"LowerCL", "UpperCL", "LogRatio", "StdErr", "Z", "ProbZ"}) {
    EXPECT_TRUE(value(table, 0, column).is_null()) << column;
  }
}

class AttrFractionTableTest : public TableTest {};

TEST_F(AttrFractionTableTest, MhRowsUseLognormalLimitsAndNameTheExposedLevel) {
  set_up(kMethodMh, kStatRisk, 2, kClNormal);
  context_.attr_fraction_on = 1;
  define_step_templates(context_);
  add_stratum(40, cell(30, 100), cell(10, 100));
  add_stratum(60, cell(12, 50), cell(5, 60));
  ASSERT_EQ(estimate::compute_stratum_statistics(context_), 0);
  estimate::compute_direct_estimates(context_);
  estimate::compute_mh_statistics(context_);
  produce_attr_fraction_table(context_);
  const AttrFractionResult af = context_.attr_fraction;
  const json outputs = finish();
  const json table = find_table(outputs, "AttrFraction");
  ASSERT_FALSE(table.is_null());
  EXPECT_EQ(column_names(table), (Columns{"Parameter", "Exposed", "Estimate", "Type", "LowerCL", "UpperCL"}));
  EXPECT_EQ(table.at("title"), "Attributable Fractions with Yes as the Exposed Group");
  EXPECT_EQ(table.at("dynamic").at("_SpanCL_"), "95% Confidence Limits");
  EXPECT_EQ(value(table, 0, "Parameter"), "Exposed Attributable Risk");
  EXPECT_EQ(value(table, 1, "Parameter"), "Population Attributable Risk");
  EXPECT_EQ(value(table, 0, "Exposed"), "Yes");
  EXPECT_EQ(value(table, 1, "Exposed"), "Yes");
  EXPECT_EQ(value(table, 0, "Type"), "Lognormal");
  EXPECT_EQ(value(table, 1, "Type"), "Log Complement");
  EXPECT_EQ(value(table, 0, "Estimate"), af.exposed);
  EXPECT_EQ(value(table, 0, "LowerCL"), af.exposed_lognormal_lower);
  EXPECT_EQ(value(table, 1, "Estimate"), af.population);
  EXPECT_EQ(value(table, 1, "UpperCL"), af.population_upper);
  EXPECT_GT(af.population, 0);
  expect_numbers_or_null(outputs);
}

TEST_F(AttrFractionTableTest, IndirectFirstRowByLimitTypeAndUnscaled) {
  const int types[] = {kClNone, kClNormal, kClPoisson};
  AttrFractionResult results[3];
  for (int i = 0; i < 3; ++i) {
    start_case(std::to_string(types[i]));
    set_up(kMethodIndirect, kStatRate, 1, types[i]);
    context_.attr_fraction_on = 1;
    define_step_templates(context_);
    context_.reference.data = reinterpret_cast<host::DataSet*>(&context_);
    add_stratum(40, cell(30, 10000), cell(kMissing, kMissing), 50000, 100);
    ASSERT_EQ(estimate::compute_stratum_statistics(context_), 0);
    estimate::compute_indirect_estimates(context_);
    context_.row.lower = context_.row.upper = 99;  // left over from an earlier table
    std::memcpy(context_.row.fraction_cl_text, "Stale", 5);
    produce_attr_fraction_table(context_);
    results[i] = context_.attr_fraction;
  }
  const json document = finish_document();
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(types[i]);
    const AttrFractionResult& af = results[i];
    const json table = find_table(step_outputs(document, std::to_string(types[i])), "AttrFraction");
    ASSERT_FALSE(table.is_null());
    EXPECT_EQ(table.at("title"), "Attributable Fractions of the Study Population");
    EXPECT_EQ(value(table, 0, "Parameter"), "Exposed Attributable Rate");
    EXPECT_EQ(value(table, 0, "Exposed"), "");
    EXPECT_NEAR(value(table, 0, "Estimate").get<double>(), 1.0 / 3, 1e-15);
    if (types[i] == kClNone) {
      EXPECT_EQ(value(table, 0, "Type"), "");
      EXPECT_TRUE(value(table, 0, "LowerCL").is_null());
      EXPECT_TRUE(value(table, 0, "UpperCL").is_null());
    } else if (types[i] == kClNormal) {
      EXPECT_EQ(value(table, 0, "Type"), "Normal");
      EXPECT_EQ(value(table, 0, "UpperCL"), af.exposed_normal_upper);
    } else {
      EXPECT_EQ(value(table, 0, "Type"), "Poisson");
      EXPECT_EQ(value(table, 0, "LowerCL"), af.exposed_poisson_lower);
    }
    EXPECT_EQ(value(table, 1, "Estimate"), af.population);
    EXPECT_EQ(value(table, 1, "LowerCL"), af.population_lower);
  }
}

TEST_F(AttrFractionTableTest, StepTemplatesByMethodAndRequest) {
  struct Case {
    int method;
    bool fraction;
    bool smr_templates;
  };
  for (const Case& c : {Case{kMethodIndirect, true, true}, Case{kMethodIndirect, false, true},
                        Case{kMethodMh, true, false}, Case{kMethodDirect, false, false}}) {
    SCOPED_TRACE(std::to_string(c.method) + (c.fraction ? " with AF" : ""));
    start_case("templates");
    set_up(c.method, kStatRate, c.method == kMethodMh ? 2 : 1, kClNormal);
    context_.attr_fraction_on = c.fraction;
    define_step_templates(context_);
    EXPECT_EQ(context_.tables.strata_smr != nullptr, c.smr_templates);
    EXPECT_EQ(context_.tables.smr != nullptr, c.smr_templates);
    EXPECT_EQ(context_.tables.attr_fraction != nullptr, c.fraction);
    EXPECT_EQ(context_.step_status, 0);
  }
}

}  // namespace
}  // namespace quilvar::tables
