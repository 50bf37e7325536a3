// Option names and message numbers of option resolution. The option names
// are inserted into messages as they stand.
#pragma once

#include <string_view>

namespace quilvar::syntax {

inline constexpr std::string_view kOptAlpha = "CL(ALPHA=)";
inline constexpr std::string_view kOptEffect = "EFFECT";
inline constexpr std::string_view kOptSmr = "SMR";
inline constexpr std::string_view kOptStats = "STATS";
inline constexpr std::string_view kOptIndirect = "METHOD=INDIRECT";
inline constexpr std::string_view kOptDirect = "METHOD=DIRECT";
inline constexpr std::string_view kOptMh = "METHOD=MH";
inline constexpr std::string_view kOptPlotSmr = "PLOTS=SMR";
inline constexpr std::string_view kOptPlotEffect = "PLOTS=EFFECT";
inline constexpr std::string_view kOptMult = "MULT=";
inline constexpr std::string_view kOptRateMult = "RATEMULT=";
inline constexpr std::string_view kOptRate = "RATE=";
inline constexpr std::string_view kOptRisk = "RISK=";
inline constexpr std::string_view kOptEvent = "EVENT=";
inline constexpr std::string_view kOptTotal = "TOTAL=";
inline constexpr std::string_view kOptPopEvent = "POPEVENT=";
inline constexpr std::string_view kOptGroup = "GROUP=";
inline constexpr std::string_view kOptRefRate = "REFRATE=";
inline constexpr std::string_view kOptRefRisk = "REFRISK=";
inline constexpr std::string_view kOptRefEventTotal = "REFEVENT= and REFTOTAL=";
inline constexpr std::string_view kOptRefData = "REFDATA=";
inline constexpr std::string_view kStatRateWord = "RATE";
inline constexpr std::string_view kStatRiskWord = "RISK";
inline constexpr std::string_view kTypeNumericWord = "numeric";
inline constexpr std::string_view kTypeCharacterWord = "character";

// Messages of set 908.
inline constexpr int kMsgStrataJoiner = 46;
inline constexpr int kMsgRateText = 47;
inline constexpr int kMsgRiskText = 48;
inline constexpr int kMsgMethodDirect = 66;
inline constexpr int kMsgMethodIndirect = 67;
inline constexpr int kMsgMethodMh = 68;
inline constexpr int kMsgInfoData = 71;
inline constexpr int kMsgInfoGroup = 72;
inline constexpr int kMsgInfoRefData = 73;
inline constexpr int kMsgReferenceLabel = 76;
inline constexpr int kMsgInfoMultiplier = 95;
inline constexpr int kMsgInfoWidth96 = 96;
inline constexpr int kMsgClNormal = 97;
inline constexpr int kMsgClLognormal = 98;
inline constexpr int kMsgClPoisson = 99;
inline constexpr int kMsgClGamma = 100;
inline constexpr int kMsgClWidth = 101;
inline constexpr int kMsgInfoStatistic = 102;
inline constexpr int kMsgInfoMethod = 103;
inline constexpr int kMsgInfoStrata = 104;
inline constexpr int kMsgRateWidthA = 105;
inline constexpr int kMsgRateWidthB = 106;
inline constexpr int kMsgRiskWidthA = 107;
inline constexpr int kMsgRiskWidthB = 108;
inline constexpr int kMsgNoPopulationData = 109;
inline constexpr int kMsgNoReferenceData = 110;
inline constexpr int kMsgMhWithReference = 111;
inline constexpr int kMsgNoMethod = 114;
inline constexpr int kMsgNotWithMethod = 115;
inline constexpr int kMsgStrataNotWithMethod = 116;
inline constexpr int kMsgMhNeedsGroup = 117;
inline constexpr int kMsgGroupWithIndirect = 118;
inline constexpr int kMsgNeedsGroup = 119;
inline constexpr int kMsgOtherStatistic = 120;
inline constexpr int kMsgPoissonWithRisk = 121;
inline constexpr int kMsgPoissonNotIndirect = 122;
inline constexpr int kMsgGammaWithRisk = 123;
inline constexpr int kMsgGammaWithIndirect = 124;
inline constexpr int kMsgStrataNotInReference = 125;
inline constexpr int kMsgAlphaRange = 126;
inline constexpr int kMsgMultiplier = 127;
inline constexpr int kMsgSameDataSet = 128;
inline constexpr int kMsgNoPopulationRate = 129;
inline constexpr int kMsgNoReferenceRate = 130;
inline constexpr int kMsgNoPopulationTotalRate = 131;
inline constexpr int kMsgNoPopulationTotalRisk = 132;
inline constexpr int kMsgNoReferenceTotalRate = 133;
inline constexpr int kMsgNoReferenceTotalRisk = 134;
inline constexpr int kMsgNoEventsSmr = 135;
inline constexpr int kMsgNoEventsAf = 136;
inline constexpr int kMsgNoEventsPlot = 137;
inline constexpr int kMsgNoEventsStrataSmr = 138;
inline constexpr int kMsgReferenceVariableMissing = 139;
inline constexpr int kMsgReferenceNotNumeric = 140;
inline constexpr int kMsgPopulationNotNumeric = 167;
inline constexpr int kMsgStrataTypeClash = 170;
inline constexpr int kMsgAlphaAsLevel = 172;
inline constexpr int kMsgNoStrata = 177;
inline constexpr int kMsgStrataRepeated = 178;
inline constexpr int kMsgReferenceRiskAboveOne = 182;
inline constexpr int kMsgExposedWithoutAf = 185;
inline constexpr int kMsgAlphaBelowExactLimits = 186;
inline constexpr int kMsgNoEventsStandardized = 187;

// Messages of the other sets.
inline constexpr int kMsgGuardedCallFailed = 54;     // set 129
inline constexpr int kMsgPlotsNoneWithOthers = 1100;  // set 210
inline constexpr int kMsgGraphicsOff = 1104;         // set 210

}  // namespace quilvar::syntax
