#include <gtest/gtest.h>

#include <string>

#include "quilvar/syntax/resolve_options.hpp"
#include "support/step_harness.hpp"

namespace quilvar::syntax {
namespace {

using quilvar::testing::StepHarness;
using quilvar::testing::StepOutcome;

const std::map<std::string, std::string> kFiles = {
    {"pop.csv",
     "year,region,age,deaths,persons,rate,label\n"
     "2020,N,1,5,1000,500,a\n2020,S,1,7,1200,583,b\n2020,N,2,9,900,1000,c\n"},
    {"ref.csv", "age,std_pop,ref_deaths,ref_rate,agetext\n1,5000,40,800,x\n2,4000,50,1250,y\n"},
    {"refnoage.csv", "group,std_pop\n1,5000\n"},
};

constexpr const char* kDirect =
    "data=pop refdata=ref method=direct; population event=deaths total=persons; reference total=std_pop; strata age;";
constexpr const char* kIndirect =
    "data=pop refdata=ref method=indirect; population event=deaths total=persons; "
    "reference event=ref_deaths total=std_pop; strata age;";

// A DIRECT step with the given procedure options; `strata` replaces the
// plain STRATA statement.
std::string direct_with(const std::string& proc_options, const std::string& strata = " strata age;") {
  return "data=pop refdata=ref method=direct " + proc_options +
         "; population event=deaths total=persons; reference total=std_pop;" + strata;
}

class OptionResolution : public ::testing::Test {
 protected:
  StepOutcome resolve(const std::string& text) { return harness_.resolve(text); }
  StepHarness harness_{kFiles};
};

// Each case: statements, the step status, and the messages issued (set-number(arguments), in order).
struct Case {
  std::string statements;
  int status;
  std::string messages;
};

TEST_F(OptionResolution, StopsAndWarnsWithTheRightMessagesAndStatus) {
  const Case cases[] = {
      {kDirect, 0, ""},
      {"data=pop refdata=ref; population event=deaths total=persons; reference total=std_pop;", 3000, "908-114"},
      {"refdata=ref method=direct; reference total=std_pop;", 3000, "908-109"},
      {"data=pop refdata=ref method=direct; reference total=std_pop;", 3000, "908-109"},
      {"data=pop method=direct; population event=deaths total=persons;", 3000, "908-110"},
      {"data=pop refdata=ref method=mh; population group=region event=deaths total=persons;", 3000, "908-111"},
      {"data=pop method=mh; population event=deaths total=persons;", 3000, "908-117"},
      {"data=pop refdata=ref method=indirect; population group=region event=deaths total=persons; "
       "reference event=ref_deaths total=std_pop;", 3000, "908-118"},
      {direct_with("alpha=1"), 3000, "908-126(CL(ALPHA=))"},
      {direct_with("alpha=0"), 3000, "908-126(CL(ALPHA=))"},
      // The reference statement's RATE(MULT=m)= is named RATEMULT= in its note.
      {"data=pop refdata=ref method=direct stat=risk; population event=deaths total=persons; "
       "reference rate(mult=1000)=ref_rate total=std_pop;", 0, "908-120(RATEMULT=,RISK) 908-120(RATE=,RISK) 908-177"},
      // A level written where 1 - level belongs is kept, with a note of the level it gives.
      {direct_with("alpha=0.999"), 0, "908-172(0.999,0.1)"},
      {direct_with("alpha=0.95"), 0, "908-172(0.95,5)"},
      {direct_with("alpha=0.49"), 0, ""},
      {direct_with("stat=rate(mult=500)"), 3000, "908-127"},
      {direct_with("stat=rate(mult=9000)"), 3000, "908-127"},
      {direct_with("stat=rate(mult=0)"), 3000, "908-127"},
      {direct_with("stat=rate(mult=3000000000)"), 3000, "908-127"},
      {direct_with("cl=poisson"), 0, "908-122"},
      {direct_with("stat=risk cl=gamma"), 0, "908-123"},
      {std::string(kIndirect).replace(36, 0, " cl=gamma"), 0, "908-124"},
      {direct_with("effect"), 4, "908-119(EFFECT)"},
      {std::string(kIndirect).replace(36, 0, " effect"), 4, "908-115(EFFECT,METHOD=INDIRECT)"},
      {direct_with("", " strata age / smr;"), 4, "908-116(SMR,METHOD=DIRECT)"},
      {direct_with("stat=risk", " strata age / stats(cl=poisson);"), 0, "908-121(STATS)"},
      {direct_with("plots=(none smr)"), 0, ""},
      {direct_with("plots=smr"), 4, "908-115(PLOTS=SMR,METHOD=DIRECT)"},
      {direct_with("plots=(none rate)"), 0, "210-1100"},
      // PLOTS=ALL asks for the plots that apply: one population has no effect
      // plot to warn about; an EFFECT plot asked for by name is warned about.
      {direct_with("plots=all"), 0, ""},
      {direct_with("plots=(all effect)"), 4, "908-119(PLOTS=EFFECT)"},
      {direct_with("plots=effect"), 4, "908-119(PLOTS=EFFECT)"},
      // A reference crude risk above 1 (a percentage) stops the step; one of 1 does not.
      {"data=pop refdata=ref method=indirect stat=risk; population event=deaths total=persons; "
       "reference event=ref_deaths total=std_pop refrisk=3; strata age;", 3000, "908-182(REFRISK=,3)"},
      {"data=pop refdata=ref method=indirect stat=risk; population event=deaths total=persons; "
       "reference event=ref_deaths total=std_pop refevent=30 reftotal=20; strata age;", 3000,
       "908-182(REFEVENT= and REFTOTAL=,1.5)"},
      {"data=pop refdata=ref method=indirect stat=risk; population event=deaths total=persons; "
       "reference event=ref_deaths total=std_pop refevent=20 reftotal=20; strata age;", 0, ""},
      {"data=pop refdata=ref method=indirect stat=risk; population event=deaths total=persons; "
       "reference event=ref_deaths total=std_pop refevent=1 reftotal=0.5; strata age;", 3000,
       "908-182(REFEVENT= and REFTOTAL=,2)"},
      // REFRATE= is a rate: with RISK it is not used, and a note says so.
      {"data=pop refdata=ref method=indirect stat=risk; population event=deaths total=persons; "
       "reference event=ref_deaths total=std_pop refrate=5; strata age;", 0, "908-120(REFRATE=,RISK)"},
      // The event total of one population belongs to neither of two.
      {"data=pop refdata=ref method=direct; population group=region rate=rate popevent=12; reference total=std_pop; "
       "strata age;", 4, "908-115(POPEVENT=,GROUP=)"},
      {"data=pop refdata=ref method=direct stat=risk; population rate(mult=1000)=rate event=deaths total=persons; "
       "reference total=std_pop;", 0, "908-120(MULT=,RISK) 908-120(RATE=,RISK) 908-177"},
      // EXPOSED= names the exposed level of the attributable fractions: a
      // step without (AF) says it does not use it.
      {"data=pop method=mh; population group(exposed='N')=region event=deaths total=persons; strata age;", 0,
       "908-185"},
      {"data=pop refdata=ref method=direct; population group(exposed='N')=region event=deaths total=persons; "
       "reference total=std_pop; strata age;", 0, "908-185"},
      {"data=pop method=mh(af); population group(exposed='N')=region event=deaths total=persons; strata age;", 0, ""},
      // A stratum variable named twice is used once, with a note.
      {direct_with("", " strata age age;"), 0, "908-178(age)"},
      {direct_with("", " strata age year age age;"), 1008, "908-178(age) 908-125(year,REFDATA=)"},
      // Without a STRATA statement the step runs as one stratum, with a note saying so.
      {"data=pop refdata=ref method=direct; population event=deaths total=persons; reference total=std_pop;", 0,
       "908-177"},
      {"data=pop refdata=ref method=direct; population event=deaths; reference total=std_pop;", 3000, "908-129"},
      {"data=pop refdata=ref method=indirect; population event=deaths; reference rate=ref_rate;", 3000, "908-131"},
      {"data=pop refdata=ref method=indirect; population event=deaths total=persons; reference total=std_pop;", 3000,
       "908-130"},
      {"data=pop refdata=ref method=direct; population event=deaths total=persons; reference event=ref_deaths;", 3000,
       "908-133"},
      {"data=pop refdata=ref method=indirect(af); population total=persons; "
       "reference event=ref_deaths total=std_pop; strata age / smr;", 4,
       "908-135 908-187 908-136 908-138(SMR)"},
      {"data=pop refdata=ref method=direct; population event=deaths total=persons; reference total=nosuch;", 1008,
       "908-139(nosuch)"},
      {"data=pop refdata=ref method=direct; population event=deaths total=persons; reference total=agetext;", 3000,
       "908-140(TOTAL=)"},
      {"data=pop refdata=refnoage method=direct; population event=deaths total=persons; reference total=std_pop; "
       "strata age;", 1008, "908-125(age,REFDATA=)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statements);
    const StepOutcome outcome = resolve(c.statements);
    EXPECT_EQ(outcome.status, c.status) << outcome.log;
    EXPECT_EQ(outcome.message_list(), c.messages) << outcome.log;
  }
}

TEST_F(OptionResolution, MultiplierIsAPowerOfTenWithinTolerance) {
  struct Multiplier { std::string option; int multiplier; int exponent; };
  const Multiplier cases[] = {{"", 100000, 5}, {"stat=rate(mult=1000)", 1000, 3}, {"stat=rate(mult=9999)", 9999, 4},
                              {"stat=rate(mult=1)", 1, 0}, {"stat=risk", 1, 0}};
  for (const Multiplier& m : cases) {
    SCOPED_TRACE(m.option);
    const StepOutcome outcome = resolve(direct_with(m.option));
    EXPECT_EQ(outcome.context->multiplier, m.multiplier);
    EXPECT_EQ(outcome.context->multiplier_exponent, m.exponent);
    EXPECT_EQ(std::string(outcome.context->multiplier_text, outcome.context->multiplier_text_length),
              std::to_string(m.multiplier));
  }
}

TEST_F(OptionResolution, LimitTypesFollowTheOptions) {
  struct Limits { std::string option; int cl; };
  const Limits cases[] = {{"", kClNormal}, {"cl=none", kClNone}, {"cl=lognormal", kClLognormal},
                          {"cl=gamma", kClGammaAverage}, {"cl=gamma(type=conservative)", kClGammaConservative},
                          {"cl=gamma(type=average)", kClGammaAverage}, {"cl=poisson", kClNormal}};
  for (const Limits& l : cases) {
    SCOPED_TRACE(l.option);
    EXPECT_EQ(resolve(direct_with(l.option)).context->cl_type, l.cl);
  }
}

TEST_F(OptionResolution, StrataOptionsAndPlotsSetTheirSwitches) {
  StepOutcome o = resolve(direct_with("plots(only)=dist", " strata age / order=data stats(cl=lognormal) missing;"));
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.context->strata_order, kOrderData);
  EXPECT_EQ(o.context->strata_stats_on, 1);
  EXPECT_EQ(o.context->strata_cl_type, kClLognormal);
  EXPECT_EQ(o.context->missing_levels, 1);
  EXPECT_EQ(o.context->dist_plot_on, 1);
  EXPECT_EQ(o.context->rate_plot_on, 0);  // ONLY without RATE
  o = resolve(direct_with("plots=dist"));
  EXPECT_EQ(o.context->rate_plot_on, 1);  // without ONLY the rate plot comes too
  EXPECT_EQ(o.context->rate_plot_cl_type, kClNormal);
  EXPECT_EQ(o.context->strata_cl_compute_type, kClNormal);  // the plot needs limits
  o = resolve(std::string(kIndirect).replace(36, 0, " plots=all"));
  EXPECT_EQ(o.context->smr_plot_on, 1);
  EXPECT_EQ(o.context->effect_plot_type, 0);
  EXPECT_EQ(o.context->smr_table_on, 1);
}

// The SMR plot draws the limits of the StrataSMR table, or normal ones when
// the table has none; they are computed for the plot whether or not the
// table shows them.
TEST_F(OptionResolution, SmrPlotLimitsFollowTheStrataSmrTable) {
  struct Limits { std::string strata; int plot_cl; int computed_cl; };
  const Limits cases[] = {{" strata age / smr(cl=lognormal);", kClLognormal, kClLognormal},
                          {" strata age / smr(cl=poisson);", kClPoisson, kClPoisson},
                          {" strata age / smr(cl=none);", kClNormal, kClNormal},
                          {" strata age;", kClNormal, kClNormal}};
  for (const Limits& l : cases) {
    SCOPED_TRACE(l.strata);
    const StepOutcome o = resolve("data=pop refdata=ref method=indirect plots(only)=smr; population event=deaths "
                                  "total=persons; reference event=ref_deaths total=std_pop;" + l.strata);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.context->smr_plot_on, 1);
    EXPECT_EQ(o.context->smr_plot_cl_type, l.plot_cl);
    EXPECT_EQ(o.context->strata_smr_cl_compute_type, l.computed_cl);
  }
}

TEST_F(OptionResolution, VariablesAndLabelsAreResolved) {
  StepOutcome o = harness_.resolve(
      "data=pop refdata=ref method=direct stat=rate(mult=1000); population group(order=data)=region event=deaths "
      "total=persons; reference total=std_pop refrate=250; strata age;",
      [](const ProcContext& c) {
        ASSERT_EQ(c.strata_count, 1);
        EXPECT_EQ(std::string(c.strata_variables[0].name.text, c.strata_variables[0].name.length), "age");
        EXPECT_EQ(c.strata_variables[0].formatted_width, 16);
      });
  EXPECT_EQ(o.status, 0) << o.log;
  const ProcContext& c = *o.context;
  EXPECT_EQ(c.group_given, 1);
  EXPECT_EQ(c.group_order, kOrderData);
  EXPECT_EQ(std::string(c.population.name, c.population.name_length), "POP");
  EXPECT_EQ(std::string(c.reference.name, c.reference.name_length), "REF");
  EXPECT_EQ(c.population.available[kRateValue], 1);  // two of three given
  EXPECT_EQ(c.reference.available[kEventValue], 0);
  EXPECT_DOUBLE_EQ(c.reference_rate_constant, 0.25);  // REFRATE= divided by the multiplier
  EXPECT_GT(c.method_label.length, 0);
  EXPECT_GT(c.info_label_width, 0);
  EXPECT_NE(c.population.reader, nullptr);
  EXPECT_NE(c.reference.reader, nullptr);
}

TEST_F(OptionResolution, AStratumVariableNamedAgainIsOneStratumVariable) {
  const StepOutcome o = harness_.resolve(direct_with("", " strata age label age;"), [](const ProcContext& c) {
    ASSERT_EQ(c.strata_count, 2);
    EXPECT_EQ(std::string(c.strata_variables[0].name.text, c.strata_variables[0].name.length), "age");
    EXPECT_EQ(std::string(c.strata_variables[1].name.text, c.strata_variables[1].name.length), "label");
  });
  EXPECT_EQ(o.message_list(), "908-178(age) 908-125(label,REFDATA=)") << o.log;
}

TEST(MultiplierExponent, AcceptsOnlyPowersOfTenInRange) {
  EXPECT_EQ(multiplier_exponent(1), 0);
  EXPECT_EQ(multiplier_exponent(1e9), 9);
  EXPECT_EQ(multiplier_exponent(0.1), -1);
  EXPECT_EQ(multiplier_exponent(1e10), -1);       // does not fit a 32-bit integer
  EXPECT_EQ(multiplier_exponent(100001), -1);
}

}  // namespace
}  // namespace quilvar::syntax
