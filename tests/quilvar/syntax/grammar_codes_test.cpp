// The flag and slot numbers option resolution reads must be the ones the
// grammar's semantic actions write: every constant of parse_codes.hpp is
// compared with its counterpart generated from statements.grammar.
#include <gtest/gtest.h>

#include "quilvar/syntax/grammar_codes.hpp"
#include "quilvar/syntax/parse_codes.hpp"

namespace quilvar::syntax {
namespace {

TEST(GrammarCodes, OptionResolutionReadsWhatTheGrammarWrites) {
  const struct {
    const char* name;
    int read;
    int written;
  } kCodes[] = {
      {"kFlagRisk", kFlagRisk, grammar::kFlagRisk},
      {"kFlagDirect", kFlagDirect, grammar::kFlagDirect},
      {"kFlagIndirect", kFlagIndirect, grammar::kFlagIndirect},
      {"kFlagMh", kFlagMh, grammar::kFlagMh},
      {"kFlagAttrFraction", kFlagAttrFraction, grammar::kFlagAttrFraction},
      {"kFlagVarianceDivisor", kFlagVarianceDivisor, grammar::kFlagVarianceDivisor},
      {"kFlagPopulationStatement", kFlagPopulationStatement, grammar::kFlagPopulationStatement},
      {"kFlagReferenceStatement", kFlagReferenceStatement, grammar::kFlagReferenceStatement},
      {"kFlagPlotDist", kFlagPlotDist, grammar::kFlagPlotDist},
      {"kFlagPlots", kFlagPlots, grammar::kFlagPlots},
      {"kFlagPlotRate", kFlagPlotRate, grammar::kFlagPlotRate},
      {"kFlagPlotOnly", kFlagPlotOnly, grammar::kFlagPlotOnly},
      {"kFlagPlotEffect", kFlagPlotEffect, grammar::kFlagPlotEffect},
      {"kFlagPlotAll", kFlagPlotAll, grammar::kFlagPlotAll},
      {"kFlagPlotNone", kFlagPlotNone, grammar::kFlagPlotNone},
      {"kFlagPlotIndex", kFlagPlotIndex, grammar::kFlagPlotIndex},
      {"kFlagPlotHorizontal", kFlagPlotHorizontal, grammar::kFlagPlotHorizontal},
      {"kFlagPlotSmr", kFlagPlotSmr, grammar::kFlagPlotSmr},
      {"kFlagPlotRisk", kFlagPlotRisk, grammar::kFlagPlotRisk},
      {"kFlagClNone", kFlagClNone, grammar::kFlagClNone},
      {"kFlagClLognormal", kFlagClLognormal, grammar::kFlagClLognormal},
      {"kFlagClPoisson", kFlagClPoisson, grammar::kFlagClPoisson},
      {"kFlagClGamma", kFlagClGamma, grammar::kFlagClGamma},
      {"kFlagGammaConservative", kFlagGammaConservative, grammar::kFlagGammaConservative},
      {"kFlagEffect", kFlagEffect, grammar::kFlagEffect},
      {"kFlagEffectDiff", kFlagEffectDiff, grammar::kFlagEffectDiff},
      {"kFlagStrataMissing", kFlagStrataMissing, grammar::kFlagStrataMissing},
      {"kFlagStrataStats", kFlagStrataStats, grammar::kFlagStrataStats},
      {"kFlagStatsClNone", kFlagStatsClNone, grammar::kFlagStatsClNone},
      {"kFlagStatsClLognormal", kFlagStatsClLognormal, grammar::kFlagStatsClLognormal},
      {"kFlagStatsClPoisson", kFlagStatsClPoisson, grammar::kFlagStatsClPoisson},
      {"kFlagStrataSmr", kFlagStrataSmr, grammar::kFlagStrataSmr},
      {"kFlagSmrClNone", kFlagSmrClNone, grammar::kFlagSmrClNone},
      {"kFlagSmrClLognormal", kFlagSmrClLognormal, grammar::kFlagSmrClLognormal},
      {"kFlagSmrClPoisson", kFlagSmrClPoisson, grammar::kFlagSmrClPoisson},
      {"kFlagStrataEffect", kFlagStrataEffect, grammar::kFlagStrataEffect},
      {"kSlotData", kSlotData, grammar::kSlotData},
      {"kSlotRefData", kSlotRefData, grammar::kSlotRefData},
      {"kSlotExposed", kSlotExposed, grammar::kSlotExposed},
      {"kSlotStatMultiplier", kSlotStatMultiplier, grammar::kSlotStatMultiplier},
      {"kSlotStrata", kSlotStrata, grammar::kSlotStrata},
      {"kSlotStrataOrder", kSlotStrataOrder, grammar::kSlotStrataOrder},
      {"kSlotAlpha", kSlotAlpha, grammar::kSlotAlpha},
      {"kSlotGroupOrder", kSlotGroupOrder, grammar::kSlotGroupOrder},
      {"kSlotGroup", kSlotGroup, grammar::kSlotGroup},
      {"kSlotPopulationMultiplier", kSlotPopulationMultiplier, grammar::kSlotPopulationMultiplier},
      {"kSlotPopulationRate", kSlotPopulationRate, grammar::kSlotPopulationRate},
      {"kSlotPopulationRisk", kSlotPopulationRisk, grammar::kSlotPopulationRisk},
      {"kSlotPopulationEvent", kSlotPopulationEvent, grammar::kSlotPopulationEvent},
      {"kSlotPopulationTotal", kSlotPopulationTotal, grammar::kSlotPopulationTotal},
      {"kSlotPopEvent", kSlotPopEvent, grammar::kSlotPopEvent},
      {"kSlotReferenceMultiplier", kSlotReferenceMultiplier, grammar::kSlotReferenceMultiplier},
      {"kSlotReferenceRate", kSlotReferenceRate, grammar::kSlotReferenceRate},
      {"kSlotReferenceRisk", kSlotReferenceRisk, grammar::kSlotReferenceRisk},
      {"kSlotReferenceEvent", kSlotReferenceEvent, grammar::kSlotReferenceEvent},
      {"kSlotReferenceTotal", kSlotReferenceTotal, grammar::kSlotReferenceTotal},
      {"kSlotRefRateMultiplier", kSlotRefRateMultiplier, grammar::kSlotRefRateMultiplier},
      {"kSlotRefRate", kSlotRefRate, grammar::kSlotRefRate},
      {"kSlotRefRisk", kSlotRefRisk, grammar::kSlotRefRisk},
      {"kSlotRefEvent", kSlotRefEvent, grammar::kSlotRefEvent},
      {"kSlotRefTotal", kSlotRefTotal, grammar::kSlotRefTotal},
  };
  for (const auto& code : kCodes) {
    SCOPED_TRACE(code.name);
    EXPECT_EQ(code.read, code.written);
  }
}

}  // namespace
}  // namespace quilvar::syntax
