// One table of step texts: for each, the flags and value slots the parse
// leaves, the BY statement handed to the session, or the error with the
// caret under the offending token. The parse goes through the service
// table with the module's real grammar record.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "quilvar/syntax/parse_result.hpp"
#include "statement_harness.hpp"

namespace quilvar::runtime::statements::testing {
namespace {

enum class SlotKind { kAbsent, kNumber, kDataSet, kText, kVariables, kNames };

struct SlotExpectation {
  int slot;
  SlotKind kind;
  double number = 0;
  std::string text;  // data-set name or text
  std::vector<int> variables;
  std::vector<std::string> names;
};

SlotExpectation absent(int slot) { return {slot, SlotKind::kAbsent, 0, {}, {}, {}}; }
SlotExpectation number(int slot, double value) { return {slot, SlotKind::kNumber, value, {}, {}, {}}; }
SlotExpectation data(int slot, std::string name) { return {slot, SlotKind::kDataSet, 0, std::move(name), {}, {}}; }
SlotExpectation text(int slot, std::string value) { return {slot, SlotKind::kText, 0, std::move(value), {}, {}}; }
SlotExpectation vars(int slot, std::vector<int> numbers) { return {slot, SlotKind::kVariables, 0, {}, std::move(numbers), {}}; }
SlotExpectation names(int slot, std::vector<std::string> list) { return {slot, SlotKind::kNames, 0, {}, {}, std::move(list)}; }

struct StatementCase {
  std::string_view text;
  std::string_view caret;    // under the first error's token; empty when the step parses
  std::string_view message;  // part of the first error's message
  std::vector<int> flags;
  std::vector<SlotExpectation> slots;  // slot 6 holds DATA=pop unless listed
  std::string_view by = "";            // the BY call: "-name#number,..." and "/notsorted"
};

const std::vector<StatementCase>& statement_cases() {
  static const std::vector<StatementCase> cases = {
    {R"(quilvar data=pop;)", "", "", {}, {}},
    {R"(quilvar data=lib.pop;)", "", "", {}, {data(6, "lib.pop")}},
    {R"(quilvar data='path/x.csv';)", "", "", {}, {data(6, "path/x.csv")}},
    {R"(quilvar data=pop refdata=ref;)", "", "", {}, {data(8, "ref")}},
    {R"(quilvar data=pop method=direct;)", "", "", {11}, {}},
    {R"(quilvar data=pop method=indirect;)", "", "", {12}, {}},
    {R"(quilvar data=pop method=indirect(af);)", "", "", {12, 14}, {}},
    {R"(quilvar data=pop METHOD=MH(AF);)", "", "", {13, 14}, {}},
    {R"(quilvar data=pop m=mh;)", "", "", {13}, {}},
    {R"(quilvar data=pop method=direct(af);)",
     R"(                              ^)", R"(found "(", expected)",
     {11}, {}},
    {R"(quilvar data=pop method=directx;)",
     R"(                        ^)", R"(found "directx", expected DIRECT, INDIRECT or MH)",
     {}, {}},
    {R"(quilvar data=pop stat=rate;)", "", "", {}, {}},
    {R"(quilvar data=pop stat=rate(mult=1000);)", "", "", {}, {number(10, 1000)}},
    {R"(quilvar data=pop stat=rate(multiplier=1e3);)", "", "", {}, {number(10, 1000)}},
    {R"(quilvar data=pop stat=rate(mult=10.5);)",
     R"(                                ^)", R"(an integer is required, found 10.5)",
     {}, {number(10, 10.5)}},
    {R"(quilvar data=pop stat=risk;)", "", "", {10}, {}},
    {R"(quilvar data=pop stat=risk(mult=1000);)",
     R"(                          ^)", R"(found "(")",
     {10}, {}},
    {R"(quilvar data=pop cl=normal;)", "", "", {}, {}},
    {R"(quilvar data=pop cl=none;)", "", "", {40}, {}},
    {R"(quilvar data=pop cl=lognormal;)", "", "", {41}, {}},
    {R"(quilvar data=pop cl=poisson;)", "", "", {42}, {}},
    {R"(quilvar data=pop cl=gamma;)", "", "", {43}, {}},
    {R"(quilvar data=pop cl=gamma(type=average);)", "", "", {43}, {}},
    {R"(quilvar data=pop cl=gamma(type=conservative);)", "", "", {43, 44}, {}},
    {R"(quilvar data=pop alpha=0.1;)", "", "", {}, {number(17, 0.1)}},
    {R"(quilvar data=pop alpha=1;)", "", "", {}, {number(17, 1)}},
    {R"(quilvar data=pop alpha=1e-2;)", "", "", {}, {number(17, 0.01)}},
    {R"(quilvar data=pop alpha='01jan2000'd;)", "", "", {}, {number(17, 14610)}},
    {R"(quilvar data=pop alpha=.;)",
     R"(                       ^)", R"(found ".", expected an integer, a number, a date literal, a time literal or a datetime literal)",
     {}, {}},
    {R"(quilvar data=pop effect;)", "", "", {46}, {}},
    {R"(quilvar data=pop effect=diff;)", "", "", {46, 47}, {}},
    {R"(quilvar data=pop effect=ratio;)", "", "", {46}, {}},
    {R"(quilvar data=pop plots;)", "", "", {30}, {}},
    {R"(quilvar data=pop plots(only)=smr;)", "", "", {30, 32, 38}, {}},
    {R"(quilvar data=pop plots=(rate dist);)", "", "", {30, 31, 29}, {}},
    {R"(quilvar data=pop plot=distribution;)", "", "", {30, 29}, {}},
    {R"(quilvar data=pop plots(display=index strata=horizontal)=all;)", "", "", {30, 36, 37, 34}, {}},
    {R"(quilvar data=pop plots(stratum=vertical display=level)=none;)", "", "", {30, 35}, {}},
    {R"(quilvar data=pop plots(stratum=horizontal)=(dist rate);)", "", "", {30, 37, 29, 31}, {}},
    {R"(quilvar data=pop plots=(risk effect);)", "", "", {30, 39, 33}, {}},
    {R"(quilvar data=pop plots=rate effect;)", "", "", {30, 31, 46}, {}},
    {R"(quilvar data=pop plots=(rate;)",
     R"(                            ^)", R"(found ";")",
     {30, 31}, {}},
    {R"(quilvar data=pop method=direct ;;)", "", "", {11}, {}},
    {R"(quilvar data=pop(where=(age>1) keep=age);)",
     R"(                 ^)", R"(data-set option where= is not supported)",
     {}, {data(6, "pop")}},
    {R"(quilvar data=pop(obs);)",
     R"(                 ^)", R"(data-set option obs is not supported)",
     {}, {data(6, "pop")}},
    {R"(quilvar data=nosuch;)",
     R"(             ^)", R"(data set nosuch cannot be opened: no such file)",
     {}, {absent(6)}},
    {R"(quilvar data=pop method=direct metod=x;)",
     R"(                               ^)", R"(found "metod", expected ";", ALPHA, CL, DATA, EFFECT, M, METHOD, PLOT, PLOTS, REFDATA or STAT)",
     {11}, {}},
    {R"(quilvar data=pop metod=direct;)",
     R"(                 ^)", R"(found "metod", expected ";", "(", ALPHA)",
     {}, {absent(6)}},
    {R"(quilvar data=pop method=direct population event=events;)",
     R"(                               ^)", R"(found "population")",
     {11}, {}},
    {R"(quilvar data=pop; population group=group event=events total=total;)", "", "", {20}, {vars(19, {11}), vars(23, {7}), vars(24, {8})}},
    {R"(quilvar data=pop; population group(order=data exposed='Smokers')=group;)", "", "", {20}, {number(18, 1), text(9, "Smokers"), vars(19, {11})}},
    {R"(quilvar data=pop; population group(exposed="He said ""no""" order=formatted)=group;)", "", "", {20}, {number(18, 2), text(9, "He said \"no\""), vars(19, {11})}},
    {R"(quilvar data=pop; population group(order=internal)=group;)", "", "", {20}, {number(18, 3), vars(19, {11})}},
    {R"(quilvar data=pop; population rate(mult=1000)=rate total=total;)", "", "", {20}, {number(20, 1000), vars(21, {9}), vars(24, {8})}},
    {R"(quilvar data=pop; population risk=risk popevent=125;)", "", "", {20}, {vars(22, {10}), number(39, 125)}},
    {R"(quilvar data=pop; population event='a b'n total=data;)", "", "", {20}, {vars(23, {14}), vars(24, {15})}},
    {R"(quilvar data=pop; population;)", "", "", {20}, {}},
    {R"(quilvar data=pop; population event=nosuch;)",
     R"(                                   ^)", R"(variable nosuch is not in data set pop)",
     {20}, {vars(23, {})}},
    // A name cut short is completed when one variable starts with it.
    {R"(quilvar data=pop; strata reg;)",
     R"(                         ^)", R"(variable reg is not in data set pop; did you mean region?)",
     {}, {vars(13, {})}},
    {R"(quilvar data=pop; population rate=rate(mult=100);)",
     R"(                                      ^)", R"(found "(", expected ";", EVENT, GROUP, POPEVENT, RATE, RISK or TOTAL)",
     {20}, {vars(21, {9})}},
    {R"(quilvar data=pop; population group(exposed=smokers)=group;)",
     R"(                                           ^)", R"(found "smokers", expected a quoted string)",
     {20}, {}},
    // A letter of two bytes before the error counts as one column.
    {R"(quilvar data=pop; population group(exposed='Genève')=group smokers;)",
     R"(                                                           ^)", R"(found "smokers")",
     {20}, {text(9, "Gen\u00e8ve"), vars(19, {11})}},
    {R"(quilvar data=pop; reference rate(mult=100000)=refrate refrisk=0.2;)", "", "", {21}, {number(40, 100000), names(41, {"refrate"}), number(47, 0.2)}},
    {R"(quilvar data=pop; reference event=e total=Total;)", "", "", {21}, {names(43, {"e"}), names(44, {"Total"})}},
    {R"(quilvar data=pop; reference refrate(mult=1000)=12.5 refevent=3 reftotal=1e4;)", "", "", {21}, {number(45, 1000), number(46, 12.5), number(48, 3), number(49, 10000)}},
    {R"(quilvar data=pop; reference risk='odd name'n;)", "", "", {21}, {names(42, {"odd name"})}},
    {R"(quilvar data=pop; reference rate=1;)",
     R"(                                 ^)", R"(found "1", expected a name or a name literal)",
     {21}, {}},
    {R"(quilvar data=pop; strata age sex / order=data stats(cl=poisson) smr effect;)", "", "", {52, 55, 56, 60}, {vars(13, {1, 2}), number(14, 1)}},
    {R"(quilvar data=pop; stratum age;)", "", "", {}, {vars(13, {1})}},
    {R"(quilvar data=pop; strata age / missing;)", "", "", {51}, {vars(13, {1})}},
    {R"(quilvar data=pop; strata x1-x3;)", "", "", {}, {vars(13, {3, 4, 5})}},
    {R"(quilvar data=pop; strata x01-x02 x1 - x2;)", "", "", {}, {vars(13, {16, 17, 3, 4})}},
    {R"(quilvar data=pop; strata age--region;)", "", "", {}, {vars(13, {1, 2, 3, 4, 5, 6})}},
    {R"(quilvar data=pop; strata age-numeric-region;)", "", "", {}, {vars(13, {1, 3, 4, 5})}},
    {R"(quilvar data=pop; strata age-character-region sex-char-region;)", "", "", {}, {vars(13, {2, 6, 2, 6})}},
    {R"(quilvar data=pop; strata area:;)", "", "", {}, {vars(13, {12, 13})}},
    {R"(quilvar data=pop; strata _numeric_;)", "", "", {}, {vars(13, {1, 3, 4, 5, 7, 8, 9, 10, 13, 14, 15, 16, 17})}},
    {R"(quilvar data=pop; strata _character_ _char_;)", "", "", {}, {vars(13, {2, 6, 11, 12, 2, 6, 11, 12})}},
    {R"(quilvar data=pop; strata _all_;)", "", "", {}, {vars(13, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17})}},
    {R"(quilvar data=pop; strata AGE Data M;)",
     R"(                                  ^)", R"(variable M is not in data set pop)",
     {}, {vars(13, {1, 15})}},
    {R"(quilvar data=pop; strata x1-x9;)",
     R"(                         ^)", R"(variable x4 is not in data set pop)",
     {}, {vars(13, {3, 4, 5})}},
    {R"(quilvar data=pop; strata x3-x1;)",
     R"(                         ^)", R"(the range x3-x1 runs backwards)",
     {}, {vars(13, {})}},
    {R"(quilvar data=pop; strata age-sex;)",
     R"(                         ^)", R"(in the range age-sex both names must be one stem followed by a number)",
     {}, {vars(13, {})}},
    {R"(quilvar data=pop; strata region--age;)",
     R"(                         ^)", R"(variable region comes after age in data set pop)",
     {}, {vars(13, {})}},
    {R"(quilvar data=pop; strata zz:;)",
     R"(                         ^)", R"(no variable of data set pop begins with zz)",
     {}, {vars(13, {})}},
    {R"(quilvar data=pop; strata age / stats(cl=none) smr(cl=lognormal);)", "", "", {52, 53, 56, 58}, {vars(13, {1})}},
    {R"(quilvar data=pop; strata age / stats(cl=lognormal) smr(cl=poisson) order=formatted;)", "", "", {52, 54, 56, 59}, {vars(13, {1}), number(14, 2)}},
    {R"(quilvar data=pop; strata age / smr(cl=none) order=internal;)", "", "", {56, 57}, {vars(13, {1}), number(14, 3)}},
    {R"(quilvar data=pop; strata;)",
     R"(                        ^)", R"(found ";", expected a name, a name literal, _ALL_, _CHARACTER_, _CHAR_ or _NUMERIC_)",
     {}, {}},
    {R"(quilvar data=pop; strata age / stats(cl=gamma);)",
     R"(                                        ^)", R"(found "gamma", expected LOGNORMAL, NONE, NORMAL or POISSON)",
     {52}, {vars(13, {1})}},
    {R"(quilvar data=pop; strata age / order=data missing;)", "", "", {51}, {vars(13, {1}), number(14, 1)}},
    {R"(quilvar data=pop; by sex;)", "", "", {}, {}, "sex#2"},
    {R"(quilvar data=pop; by descending age sex notsorted;)", "", "", {}, {}, "-age#1,sex#2/notsorted"},
    {R"(quilvar data=pop; by notsorted region descending x1;)", "", "", {}, {}, "region#6,-x1#3/notsorted"},
    {R"(quilvar data=pop; by region;)",
     R"(                  ^)", R"(data set pop is not sorted by region)",
     {}, {}, "region#6"},
    {R"(quilvar data=pop; by sex descending age SEX;)",
     R"(                                        ^)", R"(BY variable SEX is given twice)",
     {}, {}, "sex#2,-age#1"},
    {R"(quilvar data=pop; by nosuch;)",
     R"(                     ^)", R"(BY variable nosuch is not in data set pop)",
     {}, {}},
    {R"(quilvar data=pop; by descending;)",
     R"(                               ^)", R"(found ";", expected a name or a name literal)",
     {}, {}},
    {R"(quilvar data=pop; by notsorted;)",
     R"(                              ^)", R"(found ";", expected a name, a name literal, DESCENDING or NOTSORTED)",
     {}, {}},
    {R"(quilvar data=pop; var age;)",
     R"(                  ^)", R"(found "var", expected ";", BY, POPULATION, REFERENCE, STRATA, STRATUM or the end of the step)",
     {}, {}},
    // QUIT and END, which end steps in other programs, name RUN; comment
    // markers of other languages are named as such.
    {R"(quilvar data=pop; quit;)",
     R"(                  ^)", R"(found "quit", expected ";", BY, POPULATION, REFERENCE, STRATA, STRATUM or the end of the step; a step ends with RUN;)",
     {}, {}},
    {R"(quilvar data=pop; end;)",
     R"(                  ^)", R"(the end of the step; a step ends with RUN;)",
     {}, {}},
    {R"(quilvar data=pop; // deaths by age)",
     R"(                  ^)", R"("//" does not start a comment: write a comment as /* ... */)",
     {}, {}},
    {R"(quilvar data=pop; # deaths by age;)",
     R"(                  ^)", R"("#" does not start a comment: write a comment as /* ... */)",
     {}, {}},
    {R"(quilvar data=pop alpha=0.05 ~;)",
     R"(                            ^)", R"(unexpected character)",
     {}, {number(17, 0.05)}},
    {R"(quilvar data=pop alpha='31feb2000'd;)",
     R"(                       ^)", R"(invalid date literal)",
     {}, {}},
    {R"(quilvar data=pop; population event=events; strata region; by sex; reference rate=r;)", "", "", {20, 21}, {vars(23, {7}), vars(13, {6}), names(41, {"r"})}, "sex#2"},
  };
  return cases;
}

void check_slot(const host::ParseResult& result, const SlotExpectation& expected) {
  SCOPED_TRACE("slot " + std::to_string(expected.slot));
  const host::ParseSlot& slot = result.values[expected.slot];
  ASSERT_EQ(slot.given != 0, expected.kind != SlotKind::kAbsent);
  switch (expected.kind) {
    case SlotKind::kAbsent: break;
    case SlotKind::kNumber: EXPECT_EQ(syntax::number_slot(result, expected.slot).value, expected.number); break;
    case SlotKind::kDataSet: EXPECT_EQ(as_fake(syntax::data_set_slot(result, expected.slot))->name, expected.text); break;
    case SlotKind::kText: EXPECT_EQ(syntax::text_slot(result, expected.slot).text, expected.text); break;
    case SlotKind::kVariables: {
      const std::span<const std::int32_t> numbers = syntax::variable_list_slot(result, expected.slot);
      EXPECT_EQ(std::vector<int>(numbers.begin(), numbers.end()), expected.variables);
      break;
    }
    case SlotKind::kNames: {
      std::vector<std::string> found;
      for (int i = 0; i < syntax::name_count(result, expected.slot); ++i)
        found.emplace_back(syntax::list_name(result, expected.slot, i).value_or("<none>"));
      EXPECT_EQ(found, expected.names);
      break;
    }
  }
}

void check_result(const host::ParseResult& result, const StatementCase& c) {
  std::vector<int> flags;
  for (int n = 0; n <= host::kLastFlag; ++n)
    if (syntax::flag(result, n)) flags.push_back(n);
  std::vector<int> expected_flags = c.flags;
  std::sort(expected_flags.begin(), expected_flags.end());
  EXPECT_EQ(flags, expected_flags);
  std::map<int, SlotExpectation> slots = {{6, data(6, "pop")}};
  for (const SlotExpectation& slot : c.slots) slots.insert_or_assign(slot.slot, slot);
  for (int n = 0; n < static_cast<int>(host::kParseSlotCount); ++n) {
    const auto found = slots.find(n);
    if (found != slots.end()) {
      check_slot(result, found->second);
    } else {
      EXPECT_EQ(result.values[n].given, 0) << "slot " << n << " is given";
    }
  }
}

void check_error(const StepRun& run, const StatementCase& c) {
  if (c.caret.empty()) {
    EXPECT_EQ(run.status(), 0);
    for (const StatementError& error : run.log().errors) ADD_FAILURE() << error.text;
    return;
  }
  EXPECT_EQ(run.status(), 3000);
  EXPECT_EQ(run.state().parse_status, 3000);
  ASSERT_FALSE(run.log().errors.empty());
  const StatementError& error = run.log().errors.front();
  EXPECT_EQ(error.line, 1);
  EXPECT_EQ(error.column, static_cast<int>(c.caret.size()));
  EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
  EXPECT_EQ(error.text.substr(error.text.rfind('\n') + 1), c.caret);
}

TEST(StatementTable, FlagsSlotsAndErrorsOfEachStepText) {
  ASSERT_GE(statement_cases().size(), 60u);
  for (const StatementCase& c : statement_cases()) {
    SCOPED_TRACE(std::string(c.text));
    const StepRun run(make_step(c.text));
    check_error(run, c);
    ASSERT_NE(run.state().parse_result, nullptr);
    check_result(run.result(), c);
    const std::vector<std::string> expected_by = c.by.empty() ? std::vector<std::string>{} : std::vector<std::string>{std::string(c.by)};
    EXPECT_EQ(run.log().by_calls, expected_by);
  }
}

}  // namespace
}  // namespace quilvar::runtime::statements::testing
