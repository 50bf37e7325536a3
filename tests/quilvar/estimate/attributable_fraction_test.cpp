#include "quilvar/estimate/attributable_fraction.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "estimate_fixture.hpp"
#include "quilvar/estimate/effects.hpp"
#include "quilvar/estimate/indirect_standardization.hpp"
#include "runtime/loader/session.hpp"

namespace quilvar::estimate {
namespace {

using namespace testing;

// The population fraction's limits, from the variance of ln(1 - f).
struct PopulationLimits {
  double lower, upper;
};
PopulationLimits population_limits(double f, double log_variance, double rr, double exposed, double unexposed) {
  const double m = rr - 1;
  const double var = f * f / ((1 - f) * (1 - f)) *
                     (log_variance / (m * m) + 2 / (m * exposed) + unexposed / (exposed * (exposed + unexposed)));
  return {1 - (1 - f) * std::exp(kZ975 * std::sqrt(var)), 1 - (1 - f) * std::exp(-kZ975 * std::sqrt(var))};
}

class AttrFractionTest : public EstimateTest {
 protected:
  void set_up_levels(bool character) {
    context_.group.type = character ? 2 : 1;
    context_.group.formatted_width = 8;
    context_.group.name = VariableName{8, "Exposure"};
    std::memcpy(context_.levels[0].formatted, character ? "Yes     " : "       1", 8);
    std::memcpy(context_.levels[1].formatted, character ? "No      " : "       0", 8);
    context_.levels[0].raw_number = 1;
    context_.levels[1].raw_number = 0;
  }
  void set_exposed(const char* text) {
    context_.exposed_given = 1;
    context_.exposed_length = static_cast<int>(std::strlen(text));
    std::memcpy(context_.exposed, text, std::strlen(text));
  }
  // Two populations with standardized rates and event totals, as the MH
  // steps find them.
  void set_up_mh(double e1, double e2, double events1, double events2) {
    set_up(kMethodMh, kStatRate, 2);
    context_.attr_fraction_on = 1;
    context_.std_estimates[0].estimate = e1;
    context_.std_estimates[1].estimate = e2;
    context_.total_events[0] = events1;
    context_.total_events[1] = events2;
  }
  std::string exposed_label() const {
    return {context_.attr_fraction.exposed_label, static_cast<std::size_t>(context_.attr_fraction.exposed_label_length)};
  }
  const AttrFractionResult& af() const { return context_.attr_fraction; }
};

TEST_F(AttrFractionTest, MantelHaenszelFractionsAndLimits) {
  set_up_levels(true);
  set_up_mh(0.03, 0.01, 60, 40);
  reset_attr_fraction(context_);
  ASSERT_TRUE(choose_exposed_population(context_));
  const double v = 0.05;
  compute_mh_attr_fraction(context_, v);
  EXPECT_EQ(exposed_label(), "Yes");
  EXPECT_NEAR(af().exposed, 2.0 / 3, 1e-15);
  EXPECT_NEAR(af().population, 0.4, 1e-15);
  EXPECT_NEAR(af().exposed_lognormal_lower, 1 - 1 / (3 * std::exp(-kZ975 * std::sqrt(v))), 1e-12);
  EXPECT_NEAR(af().exposed_lognormal_upper, 1 - 1 / (3 * std::exp(kZ975 * std::sqrt(v))), 1e-12);
  const PopulationLimits limits = population_limits(0.4, v, 3, 60, 40);
  EXPECT_NEAR(af().population_lower, limits.lower, 1e-12);
  EXPECT_NEAR(af().population_upper, limits.upper, 1e-12);
  EXPECT_LT(af().population_lower, 0.4);
  EXPECT_GT(af().population_upper, 0.4);
  EXPECT_TRUE(is_missing(af().exposed_normal_lower));
  EXPECT_EQ(log(), "");
}

TEST_F(AttrFractionTest, ExposedOptionNamingTheSecondPopulationSwapsTheRoles) {
  set_up_levels(true);
  set_up_mh(0.01, 0.03, 40, 60);
  set_exposed("No");
  reset_attr_fraction(context_);
  ASSERT_TRUE(choose_exposed_population(context_));
  compute_mh_attr_fraction(context_, 0.05);
  EXPECT_EQ(af().exposed_index, 1);
  EXPECT_EQ(exposed_label(), "No");
  EXPECT_NEAR(af().exposed, 2.0 / 3, 1e-15);
  EXPECT_NEAR(af().population, 0.4, 1e-15);
}

TEST_F(AttrFractionTest, ExposedOptionNamingNeitherPopulationEndsTheStep) {
  set_up_levels(true);
  set_up_mh(0.03, 0.01, 60, 40);
  set_exposed("Maybe");
  EXPECT_THROW(choose_exposed_population(context_), runtime::StepEnded);
  EXPECT_TRUE(logged("The EXPOSED= value Maybe is not a level of the population variable Exposure."));
  EXPECT_EQ(context_.step_status, 1008);
}

TEST_F(AttrFractionTest, NoExcessUnderMhWarnsWithTheExposedValueFirst) {
  struct Case {
    bool character;
    const char* exposed;
    const char* text;
  };
  const Case cases[] = {
      {false, nullptr, "ratio of Exposure=1 to Exposure=0"},
      {false, "0", "ratio of Exposure=0 to Exposure=1"},
      {true, nullptr, "between Exposure=Yes and Exposure=No "},
      {true, "No", "between Exposure=No and Exposure=Yes "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    context_ = ProcContext{};
    log_.str("");
    set_up_levels(c.character);
    set_up_mh(0.02, 0.02, 50, 50);
    if (c.exposed != nullptr) set_exposed(c.exposed);
    reset_attr_fraction(context_);
    ASSERT_TRUE(choose_exposed_population(context_));
    compute_mh_attr_fraction(context_, 0.05);
    EXPECT_EQ(af().exposed, 0.0);
    EXPECT_EQ(af().population, 0.0);
    EXPECT_FALSE(is_missing(af().exposed_lognormal_upper));
    EXPECT_TRUE(is_missing(af().population_lower));
    EXPECT_TRUE(logged(c.text)) << log();
    EXPECT_EQ(context_.step_status, 4);
  }
}

TEST_F(AttrFractionTest, NonPositiveStandardizedEstimatesGiveNoFractions) {
  set_up_levels(true);
  set_up_mh(0, 0.01, 0, 40);
  reset_attr_fraction(context_);
  ASSERT_TRUE(choose_exposed_population(context_));
  compute_mh_attr_fraction(context_, 0.05);
  EXPECT_TRUE(is_missing(af().exposed));
  EXPECT_TRUE(is_missing(af().exposed_lognormal_lower));
  EXPECT_EQ(log(), "");
}

class IndirectFractionTest : public AttrFractionTest {
 protected:
  // A fresh INDIRECT step with fractions requested and reference data.
  void start(int cl_type) {
    nodes_.clear();
    context_ = ProcContext{};
    log_.str("");
    set_up(kMethodIndirect, kStatRate, 1, cl_type);
    context_.attr_fraction_on = 1;
    context_.reference.data = reinterpret_cast<host::DataSet*>(&context_);
  }
  // One stratum with observed and expected events and the reference totals.
  void run(double observed, double expected, double reference_events = 100, double reference_population = 50000) {
    start(kClLognormal);
    const double size = expected / (reference_events / reference_population);
    add_stratum(cell(observed, size), no_cell(), reference_population, reference_events);
    compute_strata();
    compute_indirect_estimates(context_);
  }
};

TEST_F(IndirectFractionTest, FractionsFromTheSmrAndItsSixLimits) {
  run(30, 20);
  const SmrResult& s = context_.smr_result;
  EXPECT_NEAR(af().exposed, 1.0 / 3, 1e-15);
  EXPECT_NEAR(af().population, 1.0 / 3 * 30 / 130, 1e-15);
  const double limits[][2] = {{s.normal_lower, af().exposed_normal_lower},
                              {s.normal_upper, af().exposed_normal_upper},
                              {s.lognormal_lower, af().exposed_lognormal_lower},
                              {s.lognormal_upper, af().exposed_lognormal_upper},
                              {s.poisson_lower, af().exposed_poisson_lower},
                              {s.poisson_upper, af().exposed_poisson_upper}};
  for (const auto& [smr_limit, fraction_limit] : limits) EXPECT_NEAR(fraction_limit, (smr_limit - 1) / smr_limit, 1e-12);
  EXPECT_NEAR(af().log_variance, 0.075 / 2.25, 1e-15);
  const PopulationLimits expected = population_limits(af().population, 0.075 / 2.25, 1.5, 30, 100);
  EXPECT_NEAR(af().population_lower, expected.lower, 1e-12);
  EXPECT_NEAR(af().population_upper, expected.upper, 1e-12);
  EXPECT_EQ(log(), "");
}

TEST_F(IndirectFractionTest, SmrAtOrCloseToOne) {
  run(20, 20);
  EXPECT_EQ(af().exposed, 0.0);
  EXPECT_EQ(af().population, 0.0);
  EXPECT_TRUE(is_missing(af().population_lower));
  EXPECT_TRUE(logged("The SMR is not greater than 1"));
  EXPECT_EQ(context_.step_status, 4);

  run(20.00001, 20);  // SMR 1.0000005
  EXPECT_NEAR(af().exposed, 0.0000005 / 1.0000005, 1e-15);
  EXPECT_FALSE(is_missing(af().exposed_lognormal_lower));
  EXPECT_TRUE(is_missing(af().population_lower));
  EXPECT_TRUE(is_missing(af().population_upper));
  EXPECT_EQ(log(), "");
}

// A small cohort expects less than one event: the fractions are formed as
// for any other expected count (SMR = 3 / 0.6 = 5).
TEST_F(IndirectFractionTest, FewerThanOneExpectedEventStillGivesFractions) {
  run(3, 0.6);
  EXPECT_NEAR(context_.smr_result.smr, 5.0, 1e-12);
  EXPECT_NEAR(af().exposed, 0.8, 1e-12);
  EXPECT_NEAR(af().population, 0.8 * 3 / 103, 1e-12);
  EXPECT_FALSE(is_missing(af().population_lower));
  EXPECT_EQ(log(), "");
}

// Reference rates alone (no reference events): the fractions are missing,
// as without reference events, and a warning says why, whether the SMR is
// above, at or below 1.
TEST_F(IndirectFractionTest, ReferenceRatesAloneLeaveTheFractionsMissingWithAWarning) {
  for (const double observed : {30.0, 20.0, 10.0}) {
    SCOPED_TRACE(observed);
    start(kClPoisson);
    add_stratum(cell(observed, 10000), no_cell()).reference_rate = 0.002;  // E = 20
    compute_strata();
    compute_indirect_estimates(context_);
    EXPECT_NEAR(context_.smr_result.smr, observed / 20, 1e-15);
    EXPECT_TRUE(is_missing(af().exposed));
    EXPECT_TRUE(is_missing(af().exposed_poisson_lower));
    EXPECT_TRUE(is_missing(af().population));
    EXPECT_TRUE(logged("The reference event total is not known, so the attributable fractions are missing."));
    EXPECT_FALSE(logged("The SMR is not greater than 1"));
    EXPECT_EQ(context_.step_status, 4);
  }
}

// A BY group without fractions shows none of the previous group's values.
TEST_F(IndirectFractionTest, EachByGroupStartsWithoutFractions) {
  run(30, 20);
  ASSERT_FALSE(is_missing(af().exposed));
  context_.total_events[0] = kMissing;
  compute_indirect_estimates(context_);
  EXPECT_TRUE(is_missing(af().exposed));
  EXPECT_TRUE(is_missing(af().population_upper));
  EXPECT_TRUE(is_missing(af().exposed_poisson_lower));

  set_up_levels(true);
  set_up_mh(0.03, 0.01, 60, 40);
  context_.strata = nullptr;
  reset_attr_fraction(context_);
  ASSERT_TRUE(choose_exposed_population(context_));
  compute_mh_attr_fraction(context_, 0.05);
  ASSERT_EQ(exposed_label(), "Yes");
  compute_mh_statistics(context_);  // no strata: no MH variance, no fractions
  EXPECT_TRUE(is_missing(af().exposed));
  EXPECT_EQ(exposed_label(), "Yes");
  context_.attr_fraction_on = 0;
  compute_mh_statistics(context_);
  EXPECT_EQ(af().exposed_label_length, 0);
}

}  // namespace
}  // namespace quilvar::estimate
