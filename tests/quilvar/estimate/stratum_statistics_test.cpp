#include "quilvar/estimate/stratum_statistics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "quilvar/host/missing.hpp"
#include "quilvar/input/stratum_node.hpp"
#include "quilvar/numeric/chi_square_quantile.hpp"
#include "quilvar/numeric/constants.hpp"
#include "support/module_host.hpp"

namespace quilvar::estimate {
namespace {

using host::is_missing;
using host::kMissing;

PopulationCell cell(double events, double population) {
  return {events, population, kMissing, kMissing, kMissing, kMissing, kMissing, kMissing};
}

// A stratum list built by hand, linked through the first link.
class StratumStatisticsTest : public quilvar::testing::ModuleHostTest {
 protected:
  StratumNode& add_stratum(PopulationCell first, PopulationCell second, double reference_population = kMissing,
                           double reference_rate = kMissing) {
    nodes_.push_back(std::make_unique<StratumNode>());
    StratumNode& node = *nodes_.back();
    node.cell[0] = first;
    node.cell[1] = second;
    node.reference_population = reference_population;
    node.reference_rate = reference_rate;
    node.reference_events = node.smr = node.smr_lower = node.smr_upper = node.smr_std_error = kMissing;
    node.reference_proportion = kMissing;
    if (nodes_.size() > 1) nodes_[nodes_.size() - 2]->first = &node;
    context_.strata = nodes_.front().get();
    return node;
  }
  void set_up_context(int method, int statistic, int populations) {
    context_.method = method;
    context_.statistic = statistic;
    context_.population_count = populations;
    context_.alpha = 0.05;
    context_.axis_minimum = 1e308;
    context_.population_event_total = context_.reference_rate_constant = kMissing;
  }
  // A fresh context, stratum list and log, set up as set_up_context does,
  // with the populations named Pop and Comp.
  void restart(int method, int statistic, int populations) {
    nodes_.clear();
    context_ = ProcContext{};
    log_.str("");
    set_up_context(method, statistic, populations);
    context_.population_label[0] = LongText{3, "Pop"};
    context_.population_label[1] = LongText{4, "Comp"};
  }
  ProcContext context_{};
  std::vector<std::unique_ptr<StratumNode>> nodes_;
};

TEST_F(StratumStatisticsTest, MantelHaenszelWeightReplacesReferencePopulation) {
  set_up_context(kMethodMh, kStatRisk, 2);
  StratumNode& node = add_stratum(cell(2, 10), cell(4, 10));
  ASSERT_EQ(compute_stratum_statistics(context_), 0);
  EXPECT_DOUBLE_EQ(node.reference_population, 5.0);
  EXPECT_DOUBLE_EQ(node.cell[0].expected, 0.2 * 5);
  EXPECT_DOUBLE_EQ(context_.total_reference_population, 5.0);
  EXPECT_DOUBLE_EQ(context_.overall_estimate[1], 0.4);
  EXPECT_DOUBLE_EQ(node.cell[1].proportion, 1.0);
}

TEST_F(StratumStatisticsTest, RiskUpperLimitsAreCappedAtOne) {
  set_up_context(kMethodMh, kStatRisk, 2);
  StratumNode& node = add_stratum(cell(999, 1000), cell(1, 10));
  ASSERT_EQ(compute_stratum_statistics(context_), 0);
  context_.strata_cl_compute_type = kClNormal;
  compute_stratum_limits(context_);
  EXPECT_DOUBLE_EQ(node.cell[0].upper, 1.0);
  const double s = std::sqrt(0.999 * 0.001 / 1000);
  EXPECT_NEAR(node.cell[0].lower, 0.999 - 1.959963984540054 * s, 1e-12);
  context_.strata_cl_compute_type = kClLognormal;
  compute_stratum_limits(context_);
  EXPECT_DOUBLE_EQ(node.cell[0].upper, 1.0);  // 1.00096091 before the cap: a risk cannot exceed 1
  EXPECT_NEAR(node.cell[0].lower, 0.999 * std::exp(-1.959963984540054 * std::sqrt(1 / 999.0 - 1 / 1000.0)), 1e-12);
  EXPECT_TRUE(is_missing(node.cell[0].std_error));
}

TEST_F(StratumStatisticsTest, ZeroEventsGiveZeroNormalLimitsAndMissingOtherLimitsWithoutWarning) {
  set_up_context(kMethodDirect, kStatRate, 1);
  StratumNode& node = add_stratum(cell(0, 5000), cell(kMissing, kMissing), 10000);
  ASSERT_EQ(compute_stratum_statistics(context_), 0);
  context_.strata_cl_compute_type = kClNormal;
  compute_stratum_limits(context_);
  EXPECT_EQ(node.cell[0].lower, 0.0);
  EXPECT_EQ(node.cell[0].upper, 0.0);
  for (int type : {kClLognormal, kClPoisson}) {
    SCOPED_TRACE(type);
    context_.strata_cl_compute_type = type;
    compute_stratum_limits(context_);
    EXPECT_TRUE(is_missing(node.cell[0].lower));
    EXPECT_TRUE(is_missing(node.cell[0].upper));
  }
  EXPECT_EQ(log(), "");
}

TEST_F(StratumStatisticsTest, ExactPoissonLimitsOfACrudeRate) {
  set_up_context(kMethodDirect, kStatRate, 1);
  StratumNode& node = add_stratum(cell(10, 1000), cell(kMissing, kMissing), 5000);
  ASSERT_EQ(compute_stratum_statistics(context_), 0);
  context_.strata_cl_compute_type = kClPoisson;
  compute_stratum_limits(context_);
  // Exact 95% limits for 10 events: 4.795389 and 18.390356 (chi-square/2).
  EXPECT_NEAR(node.cell[0].lower * 1000, 4.795389, 1e-5);
  EXPECT_NEAR(node.cell[0].upper * 1000, 18.390356, 1e-5);
  EXPECT_DOUBLE_EQ(node.cell[0].expected, 0.01 * 5000);
}

// The memo must keep the quantiles of many event counts at once: every
// count of a BY group recurs in the next one. Remembered results must be the
// computed ones.
TEST_F(StratumStatisticsTest, QuantileMemoKeepsEveryEventCountOfALargeRegistry) {
  set_up_context(kMethodDirect, kStatRate, 1);
  constexpr int kCounts = 1000;
  for (int k = 1; k <= kCounts; ++k) {
    double lower, upper;
    ASSERT_TRUE(chi_square_quantile_with_fallback(context_, 0.025, 2.0 * k, lower));
    ASSERT_TRUE(chi_square_quantile_with_fallback(context_, 0.975, 2.0 * (k + 1), upper));
  }
  int kept = 0;
  for (const QuantileMemoEntry& entry : context_.quantile_memo.entries) kept += entry.used;
  EXPECT_GT(kept, 2 * kCounts * 8 / 10) << "slots collide";
  for (int k : {1, 17, 500, 1000}) {
    double remembered, computed;
    ASSERT_TRUE(chi_square_quantile_with_fallback(context_, 0.025, 2.0 * k, remembered));
    ASSERT_EQ(numeric::chi_square_quantile(0.025, 2.0 * k, computed), numeric::kOk);
    EXPECT_EQ(remembered, computed);
  }
}

TEST_F(StratumStatisticsTest, StratumAbsentFromFirstPopulationIsLeftOutOfItsTotals) {
  set_up_context(kMethodDirect, kStatRate, 2);
  context_.effect_type = kEffectRatio;
  context_.population_label[0] = LongText{3, "Pop"};
  context_.population_label[1] = LongText{4, "Comp"};
  add_stratum(cell(5, 100), cell(7, 100), 1000);
  StratumNode& absent = add_stratum(cell(kMissing, kMissing), cell(3, 50), 400);
  absent.absent[0] = 1;
  ASSERT_EQ(compute_stratum_statistics(context_), 0);
  EXPECT_DOUBLE_EQ(context_.total_events[0], 5);
  EXPECT_DOUBLE_EQ(context_.total_events[1], 10);
  EXPECT_DOUBLE_EQ(context_.reference_population_for[0], 1000);
  EXPECT_DOUBLE_EQ(context_.reference_population_for[1], 1400);
  EXPECT_EQ(context_.step_status, 4);
  EXPECT_EQ(runtime::current_session().step.warnings, 2);  // the absent stratum, then the effect note
  EXPECT_TRUE(logged("Some strata occur in only one of the two populations")) << log();
}

// The warning names the population with data first, whichever one lacks the
// stratum.
TEST_F(StratumStatisticsTest, AbsentStratumWarningNamesThePopulationWithDataFirst) {
  for (const auto& [absent_from, text] : {std::pair{0, "has data for Comp but not for Pop"},
                                          {1, "has data for Pop but not for Comp"}}) {
    SCOPED_TRACE(absent_from);
    restart(kMethodDirect, kStatRate, 2);
    add_stratum(cell(5, 100), cell(7, 100), 1000);
    const PopulationCell present_cell = cell(3, 50), absent_cell = cell(kMissing, kMissing);
    StratumNode& absent = absent_from == 0 ? add_stratum(absent_cell, present_cell, 400)
                                           : add_stratum(present_cell, absent_cell, 400);
    absent.absent[absent_from] = 1;
    ASSERT_EQ(compute_stratum_statistics(context_), 0);
    EXPECT_TRUE(logged(text)) << log();
  }
}

// With a population variable a missing crude rate names its population, and
// its stratum when there are strata variables.
TEST_F(StratumStatisticsTest, MissingCrudeRateNamesItsPopulation) {
  for (const auto& [strata_count, text] : {std::pair{0, "The crude rate of Comp is missing"},
                                           {1, "The crude rate of Comp in stratum "}}) {
    SCOPED_TRACE(strata_count);
    restart(kMethodDirect, kStatRate, 2);
    context_.group_given = 1;
    context_.strata_count = strata_count;
    add_stratum(cell(5, 100), cell(7, kMissing), 1000);
    EXPECT_EQ(compute_stratum_statistics(context_), 1);
    EXPECT_TRUE(logged(text)) << log();
  }
}

// The distribution plot's axis reaches the largest proportion, here the
// standard population's 0.9 above the study population's 0.5.
TEST_F(StratumStatisticsTest, LargestProportionCoversTheReference) {
  set_up_context(kMethodDirect, kStatRate, 1);
  context_.reference.data = reinterpret_cast<host::DataSet*>(&context_);  // any non-null handle
  add_stratum(cell(5, 100), cell(kMissing, kMissing), 900);
  add_stratum(cell(5, 100), cell(kMissing, kMissing), 100);
  ASSERT_EQ(compute_stratum_statistics(context_), 0);
  EXPECT_DOUBLE_EQ(context_.largest_proportion, 0.9);
}

// A sum past the largest double stays missing (infinite), with a warning:
// it neither restarts from the strata after it nor leaves out an infinite
// stratum value, either of which would give a wrong total without a word.
TEST_F(StratumStatisticsTest, ATotalPastTheLargestNumberStaysMissingWithAWarning) {
  set_up_context(kMethodDirect, kStatRate, 1);
  add_stratum(cell(5, 1e308), cell(kMissing, kMissing), 100);
  add_stratum(cell(5, 1e308), cell(kMissing, kMissing), 200);
  add_stratum(cell(5, 1000), cell(kMissing, kMissing), 300);
  ASSERT_EQ(compute_stratum_statistics(context_), 0);
  EXPECT_DOUBLE_EQ(context_.total_events[0], 15);
  EXPECT_TRUE(std::isinf(context_.total_population[0])) << context_.total_population[0];
  EXPECT_TRUE(is_missing(context_.overall_estimate[0]));
  EXPECT_EQ(context_.step_status, 4);
  EXPECT_EQ(runtime::current_session().step.warnings, 1);

  nodes_.clear();
  set_up_context(kMethodIndirect, kStatRate, 1);
  context_.step_status = 0;
  add_stratum(cell(5, 1e305), cell(kMissing, kMissing), 2000, 1e5);  // expected 1e310
  add_stratum(cell(5, 1000), cell(kMissing, kMissing), 2000, 0.001);
  ASSERT_EQ(compute_stratum_statistics(context_), 0);
  EXPECT_TRUE(std::isinf(context_.total_expected[0])) << context_.total_expected[0];
  EXPECT_EQ(context_.step_status, 4);

  // A stratum whose own observations summed past it: said before its
  // missing rate ends the BY group.
  nodes_.clear();
  set_up_context(kMethodDirect, kStatRate, 1);
  const int warnings = runtime::current_session().step.warnings;
  add_stratum(cell(10, std::numeric_limits<double>::infinity()), cell(kMissing, kMissing), 100);
  EXPECT_EQ(compute_stratum_statistics(context_), 1);
  EXPECT_EQ(runtime::current_session().step.warnings, warnings + 1);
}

// The message names the stratum only when there are strata variables.
TEST_F(StratumStatisticsTest, MissingReferencePopulationEndsTheByGroup) {
  for (const auto& [strata_count, text] : {std::pair{1, "The reference population total of stratum "},
                                           {0, "The reference population total is missing"}}) {
    SCOPED_TRACE(strata_count);
    restart(kMethodDirect, kStatRate, 1);
    context_.reference.data = reinterpret_cast<host::DataSet*>(&context_);  // any non-null handle
    context_.strata_count = strata_count;
    add_stratum(cell(5, 100), cell(kMissing, kMissing), kMissing);
    EXPECT_EQ(compute_stratum_statistics(context_), 1);
    EXPECT_EQ(context_.step_status, 1012);
    EXPECT_TRUE(logged(text)) << log();
  }
}

// Under INDIRECT a stratum whose event count is missing beside strata with
// theirs would leave its events out of O but its expected events in E: the
// BY group ends instead, also when the count is known for some of the
// stratum's observations only. With no counts at all (a POPEVENT= total)
// it goes on.
TEST_F(StratumStatisticsTest, IndirectStratumWithoutEventsBesideOthersEndsTheByGroup) {
  struct Case {
    const char* name;
    double second_events;
    int second_count_blank;
    double first_events;
    int result, status;
  };
  const Case cases[] = {
      {"one stratum's count missing", kMissing, 0, 30, 1, 1012},
      {"one stratum's count known in part", 8, 1, 30, 1, 1012},
      {"every count missing", kMissing, 0, kMissing, 0, 0},
      {"every count present", 8, 0, 30, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nodes_.clear();
    context_ = ProcContext{};
    set_up_context(kMethodIndirect, kStatRate, 1);
    context_.reference.data = reinterpret_cast<host::DataSet*>(&context_);
    context_.strata_count = 1;
    add_stratum(cell(c.first_events, 10000), cell(kMissing, kMissing), 50000, 0.002);
    add_stratum(cell(c.second_events, 2000), cell(kMissing, kMissing), 20000, 0.004).count_blank[0] =
        c.second_count_blank;
    EXPECT_EQ(compute_stratum_statistics(context_), c.result);
    EXPECT_EQ(context_.step_status, c.status);
  }
}

TEST_F(StratumStatisticsTest, IndirectStratumSmrWithNormalLimits) {
  set_up_context(kMethodIndirect, kStatRate, 1);
  context_.reference.data = reinterpret_cast<host::DataSet*>(&context_);
  context_.strata_smr_cl_compute_type = kClNormal;
  StratumNode& node = add_stratum(cell(30, 10000), cell(kMissing, kMissing), 50000, kMissing);
  node.reference_events = 100;
  ASSERT_EQ(compute_stratum_statistics(context_), 0);
  EXPECT_DOUBLE_EQ(node.reference_rate, 0.002);
  EXPECT_DOUBLE_EQ(node.cell[0].expected, 20);
  EXPECT_DOUBLE_EQ(node.smr, 1.5);
  const double h = 10000.0 / 20, r = 0.003, s = std::sqrt(r / 10000);
  EXPECT_NEAR(node.smr_std_error, h * s, 1e-12);
  EXPECT_NEAR(node.smr_upper, h * (r + 1.959963984540054 * s), 1e-9);
}

// Stratum SMR limits of a rate for each limit type and two alphas: 10 events
// in 1000 against a reference rate of 0.02 (E = 20, SMR = 0.5). Expected
// values computed independently at 30 digits; the Poisson ones are the exact
// limits of 10 events (half the chi-square quantiles at alpha/2 with 20 and
// at 1 − alpha/2 with 22 degrees of freedom) over E.
TEST_F(StratumStatisticsTest, IndirectStratumSmrLimitsOfARate) {
  struct Case {
    int statistic;
    int type;
    double alpha;
    double lower;
    double upper;
    double tolerance;
  };
  const Case cases[] = {
      {kStatRate, kClNormal, 0.05, 0.19010248384771919, 0.80989751615228081, 1e-13},
      {kStatRate, kClNormal, 0.10, 0.23992580606222123, 0.76007419393777877, 1e-13},
      {kStatRate, kClLognormal, 0.05, 0.26902735506354476, 0.92927353034768355, 1e-13},
      {kStatRate, kClLognormal, 0.10, 0.29721616743707228, 0.84113863036381066, 1e-13},
      {kStatRate, kClPoisson, 0.05, 0.23976943480662169, 0.91951780210088885, 1e-10},
      {kStatRate, kClPoisson, 0.10, 0.27127028485456463, 0.84811096178609500, 1e-10},
      // The same counts as risks (reference risk 0.02), where the cap at 1 does not bind.
      {kStatRisk, kClNormal, 0.05, 0.19165586463793475, 0.80834413536206525, 1e-13},
      {kStatRisk, kClLognormal, 0.05, 0.26986445858155760, 0.92639097906420224, 1e-13},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(::testing::Message() << "statistic=" << t.statistic << " type=" << t.type << " alpha=" << t.alpha);
    restart(kMethodIndirect, t.statistic, 1);
    context_.alpha = t.alpha;
    context_.reference.data = reinterpret_cast<host::DataSet*>(&context_);
    context_.strata_smr_cl_compute_type = t.type;
    StratumNode& node = add_stratum(cell(10, 1000), cell(kMissing, kMissing), 50000, kMissing);
    node.reference_events = 1000;
    ASSERT_EQ(compute_stratum_statistics(context_), 0);
    ASSERT_DOUBLE_EQ(node.smr, 0.5);
    EXPECT_NEAR(node.smr_lower, t.lower, t.tolerance);
    EXPECT_NEAR(node.smr_upper, t.upper, t.tolerance);
    if (t.type == kClNormal && t.statistic == kStatRate) {
      EXPECT_NEAR(node.smr_std_error, 0.15811388300841897, 1e-14);
    }
  }
}

// A limit whose chi-square quantile cannot be computed (1 − alpha/2 closer
// to 1 than either quantile routine reaches) is missing, with a warning for
// the stratum estimates and one for the stratum SMRs.
// Poisson limits that cannot be computed are missing. When the data are the
// cause (a fractional count of 0.0018 events, whose lower limit is beyond
// the quantiles) each kind gets a warning; when ALPHA= is (beyond 1 − 2e-13
// no upper quantile exists), the step said so once and the strata add none.
TEST_F(StratumStatisticsTest, PoissonLimitsOutOfReachAreMissingWithWarningsNamingTheirCause) {
  const struct {
    const char* what;
    double alpha, events;
    bool lower_missing, upper_missing, warned;
  } cases[] = {
      {"a tiny fractional count", 0.05, 0.0018, true, false, true},
      {"an ALPHA= beyond the quantiles", 2e-14, 10, false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    restart(kMethodIndirect, kStatRate, 1);
    context_.alpha = c.alpha;
    context_.reference.data = reinterpret_cast<host::DataSet*>(&context_);
    context_.strata_smr_cl_compute_type = context_.strata_cl_compute_type = kClPoisson;
    StratumNode& node = add_stratum(cell(c.events, 1000), cell(kMissing, kMissing), 50000, kMissing);
    node.reference_events = 1000;
    ASSERT_EQ(compute_stratum_statistics(context_), 0);
    compute_stratum_limits(context_);
    EXPECT_EQ(is_missing(node.smr_lower), c.lower_missing);
    EXPECT_EQ(is_missing(node.smr_upper), c.upper_missing);
    EXPECT_EQ(is_missing(node.cell[0].lower), c.lower_missing);
    EXPECT_EQ(is_missing(node.cell[0].upper), c.upper_missing);
    EXPECT_EQ(logged("could not be computed for some stratum SMRs"), c.warned) << log();
    EXPECT_EQ(logged("could not be computed for some stratum estimates"), c.warned) << log();
    EXPECT_EQ(context_.step_status, c.warned ? 4 : 0);
  }
}

// A stratum SMR's limits are its crude risk's limits over the reference
// risk, so they share the cap at 1: 49 cases of 50 against a reference risk
// of 0.01 give an upper limit of 100, not the 101.9 of an uncapped 1.0188.
TEST_F(StratumStatisticsTest, IndirectStratumSmrOfARiskKeepsTheCrudeRisksCapAtOne) {
  const double s_normal = std::sqrt(0.98 * 0.02 / 50), s_log = std::sqrt(1 / 49.0 - 1 / 50.0);
  for (int type : {kClNormal, kClLognormal}) {
    SCOPED_TRACE(type);
    nodes_.clear();
    set_up_context(kMethodIndirect, kStatRisk, 1);
    context_.reference.data = reinterpret_cast<host::DataSet*>(&context_);
    context_.strata_smr_cl_compute_type = context_.strata_cl_compute_type = type;
    StratumNode& node = add_stratum(cell(49, 50), cell(kMissing, kMissing), 1000, kMissing);
    node.reference_events = 10;
    ASSERT_EQ(compute_stratum_statistics(context_), 0);
    ASSERT_DOUBLE_EQ(node.cell[0].expected, 0.5);
    compute_stratum_limits(context_);
    EXPECT_DOUBLE_EQ(node.cell[0].upper, 1.0);
    EXPECT_NEAR(node.smr_upper, 100.0, 1e-12);
    const double lower = type == kClNormal ? 0.98 - 1.959963984540054 * s_normal
                                           : 0.98 * std::exp(-1.959963984540054 * s_log);
    EXPECT_NEAR(node.smr_lower, lower * 100, 1e-9);
  }
}

}  // namespace
}  // namespace quilvar::estimate
