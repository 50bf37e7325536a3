// Message numbers and inserted words of the data-input phases.
#pragma once

#include <string_view>

namespace quilvar::input {

inline constexpr int kMsgPopulationLabel = 75;
inline constexpr int kMsgReferenceLabel = 76;
inline constexpr int kMsgMhLevels = 112;
inline constexpr int kMsgThirdLevel = 113;
inline constexpr int kMsgNoReferenceGroup = 141;
inline constexpr int kMsgIndirectNewStratum = 142;
inline constexpr int kMsgDirectNewStratum = 143;
inline constexpr int kMsgNegative = 144;
inline constexpr int kMsgTotalNotPositive = 145;
inline constexpr int kMsgEventsAboveTotal = 146;
inline constexpr int kMsgRiskAboveOne = 147;
inline constexpr int kMsgOneLevel = 148;
inline constexpr int kMsgLeftOutStrata = 175;
inline constexpr int kMsgLeftOutGroup = 176;
inline constexpr int kMsgRateDisagrees = 181;
inline constexpr int kMsgOneLevelNoEffect = 189;

inline constexpr std::string_view kWordPopulation = "POPULATION";
inline constexpr std::string_view kWordReference = "REFERENCE";
inline constexpr std::string_view kOptionEvent = "EVENT=";
inline constexpr std::string_view kOptionTotal = "TOTAL=";
inline constexpr std::string_view kOptionRate = "RATE=";
inline constexpr std::string_view kOptionRisk = "RISK=";
inline constexpr std::string_view kOptionRefData = "REFDATA=";

}  // namespace quilvar::input
