// Flag and value-slot numbers of the parse result that option resolution
// reads; the grammar's semantic actions write them.
#pragma once

namespace quilvar::syntax {

// Flags.
inline constexpr int kFlagRisk = 10;
inline constexpr int kFlagDirect = 11;
inline constexpr int kFlagIndirect = 12;
inline constexpr int kFlagMh = 13;
inline constexpr int kFlagAttrFraction = 14;
inline constexpr int kFlagVarianceDivisor = 18;
inline constexpr int kFlagPopulationStatement = 20;
inline constexpr int kFlagReferenceStatement = 21;
inline constexpr int kFlagPlotDist = 29;
inline constexpr int kFlagPlots = 30;
inline constexpr int kFlagPlotRate = 31;
inline constexpr int kFlagPlotOnly = 32;
inline constexpr int kFlagPlotEffect = 33;
inline constexpr int kFlagPlotAll = 34;
inline constexpr int kFlagPlotNone = 35;
inline constexpr int kFlagPlotIndex = 36;
inline constexpr int kFlagPlotHorizontal = 37;
inline constexpr int kFlagPlotSmr = 38;
inline constexpr int kFlagPlotRisk = 39;
inline constexpr int kFlagClNone = 40;
inline constexpr int kFlagClLognormal = 41;
inline constexpr int kFlagClPoisson = 42;
inline constexpr int kFlagClGamma = 43;
inline constexpr int kFlagGammaConservative = 44;
inline constexpr int kFlagEffect = 46;
inline constexpr int kFlagEffectDiff = 47;
inline constexpr int kFlagStrataMissing = 51;
inline constexpr int kFlagStrataStats = 52;
inline constexpr int kFlagStatsClNone = 53;
inline constexpr int kFlagStatsClLognormal = 54;
inline constexpr int kFlagStatsClPoisson = 55;
inline constexpr int kFlagStrataSmr = 56;
inline constexpr int kFlagSmrClNone = 57;
inline constexpr int kFlagSmrClLognormal = 58;
inline constexpr int kFlagSmrClPoisson = 59;
inline constexpr int kFlagStrataEffect = 60;

// Value slots.
inline constexpr int kSlotData = 6;
inline constexpr int kSlotRefData = 8;
inline constexpr int kSlotExposed = 9;
inline constexpr int kSlotStatMultiplier = 10;
inline constexpr int kSlotStrata = 13;
inline constexpr int kSlotStrataOrder = 14;
inline constexpr int kSlotAlpha = 17;
inline constexpr int kSlotGroupOrder = 18;
inline constexpr int kSlotGroup = 19;
inline constexpr int kSlotPopulationMultiplier = 20;
inline constexpr int kSlotPopulationRate = 21;
inline constexpr int kSlotPopulationRisk = 22;
inline constexpr int kSlotPopulationEvent = 23;
inline constexpr int kSlotPopulationTotal = 24;
inline constexpr int kSlotPopEvent = 39;
inline constexpr int kSlotReferenceMultiplier = 40;
inline constexpr int kSlotReferenceRate = 41;
inline constexpr int kSlotReferenceRisk = 42;
inline constexpr int kSlotReferenceEvent = 43;
inline constexpr int kSlotReferenceTotal = 44;
inline constexpr int kSlotRefRateMultiplier = 45;
inline constexpr int kSlotRefRate = 46;
inline constexpr int kSlotRefRisk = 47;
inline constexpr int kSlotRefEvent = 48;
inline constexpr int kSlotRefTotal = 49;

}  // namespace quilvar::syntax
