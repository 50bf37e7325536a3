// The message catalog: one sorted table of every numbered message and
// builtin text, looked up by binary search, and the formatter that fills a
// text's %1, %2, ... slots with the caller's text and number arguments.
#include "runtime/catalog/catalog.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <string>

namespace quilvar::runtime::catalog {
namespace {

using enum Severity;

constexpr int kGuardSet = 129;
constexpr int kGraphicsSet = 210;

// Numbers in this magnitude range are written without an exponent.
constexpr double kPlainLow = 1e-6;
constexpr double kPlainHigh = 1e16;

// Kept sorted by (set, number); the static_assert below rejects a table
// that is not, so a binary search can rely on it. Plain texts (labels and
// headers) carry no advice; notes, warnings and errors say what to do.
constexpr CatalogEntry kEntries[] = {
    // Builtin texts: labels of output objects, plots and plot axes.
    {kBuiltinSet, 1, kText, "Quilvar Standardization", ""},
    {kBuiltinSet, 2, kText, "Standardization Information", ""},
    {kBuiltinSet, 8, kText, "Stratum Statistics for Direct Standardization", ""},
    {kBuiltinSet, 9, kText, "Stratum Statistics for Indirect Standardization", ""},
    {kBuiltinSet, 10, kText, "Stratum Statistics for Mantel-Haenszel Standardization", ""},
    {kBuiltinSet, 14, kText, "Stratum SMR Estimates", ""},
    {kBuiltinSet, 16, kText, "Standardized Rates", ""},
    {kBuiltinSet, 17, kText, "Standardized Risks", ""},
    {kBuiltinSet, 18, kText, "Standardized Morbidity Ratio", ""},
    {kBuiltinSet, 29, kText, "Attributable Fractions", ""},
    {kBuiltinSet, 31, kText, "Stratum Rate Plot", ""},
    {kBuiltinSet, 32, kText, "Stratum Estimate Plot Data", ""},
    {kBuiltinSet, 33, kText, "Stratum Risk Plot", ""},
    {kBuiltinSet, 34, kText, "Stratum Distribution Plot", ""},
    {kBuiltinSet, 35, kText, "Stratum Distribution Plot Data", ""},
    {kBuiltinSet, 36, kText, "Stratum Rate Difference Plot", ""},
    {kBuiltinSet, 37, kText, "Stratum Rate Ratio Plot", ""},
    {kBuiltinSet, 38, kText, "Stratum Risk Difference Plot", ""},
    {kBuiltinSet, 39, kText, "Stratum Risk Ratio Plot", ""},
    {kBuiltinSet, 40, kText, "Effects of the First Population Against the Second by Stratum", ""},
    {kBuiltinSet, 41, kText, "Stratum Effect Plot Data", ""},
    {kBuiltinSet, 42, kText, "Stratum SMR Plot", ""},
    {kBuiltinSet, 43, kText, "Standardized Morbidity Ratios by Stratum", ""},
    {kBuiltinSet, 44, kText, "Stratum SMR Plot Data", ""},
    {kBuiltinSet, 55, kText, "Risk", ""},
    {kBuiltinSet, 83, kText, "Rate Difference", ""},
    {kBuiltinSet, 85, kText, "Risk Difference", ""},
    {kBuiltinSet, 86, kText, "Rate Ratio", ""},
    {kBuiltinSet, 87, kText, "Risk Ratio", ""},
    {kBuiltinSet, 88, kText, "Proportion", ""},
    {kBuiltinSet, 91, kText, "Stratum Rate Difference", ""},
    {kBuiltinSet, 92, kText, "Stratum Risk Difference", ""},
    {kBuiltinSet, 93, kText, "Stratum Rate Ratio", ""},
    {kBuiltinSet, 94, kText, "Stratum Risk Ratio", ""},

    // Host-wide: guarded calls.
    {kGuardSet, 54, kError, "A host service called under guard failed, so the step cannot go on.",
     "This is an internal failure. Run the step again; if it fails again, report it."},

    // Host-wide: graphics.
    {kGraphicsSet, 1100, kNote,
     "PLOTS=NONE was given together with other plot requests; the other plot requests are "
     "ignored.",
     "Remove PLOTS=NONE to get the requested plots."},
    {kGraphicsSet, 1104, kWarning,
     "Plots were requested, but graphics output is turned off; no plots are produced.",
     "Turn graphics output on (GRAPHICS ON; and no --no-graphics) to get the plots, or give "
     "PLOTS=NONE."},

    // Procedure texts: output group, table headers and spans. %1 is the
    // rate multiplier where a header has one.
    {kProcedureSet, 3, kText, "StratumResults", ""},
    {kProcedureSet, 4, kText, "Results by Stratum", ""},
    {kProcedureSet, 5, kText, "Stratum Risks for Direct Standardization", ""},
    {kProcedureSet, 6, kText, "Stratum Risks for Indirect Standardization", ""},
    {kProcedureSet, 7, kText, "Stratum Risks for Mantel-Haenszel Standardization", ""},
    {kProcedureSet, 11, kText, "Stratum Rates per %1 for Direct Standardization", ""},
    {kProcedureSet, 12, kText, "Stratum Rates per %1 for Indirect Standardization", ""},
    {kProcedureSet, 13, kText, "Stratum Rates per %1 for Mantel-Haenszel Standardization", ""},
    {kProcedureSet, 14, kText, "Stratum SMRs from Reference Risks", ""},
    {kProcedureSet, 15, kText, "Stratum SMRs from Reference Rates per %1", ""},
    {kProcedureSet, 19, kText, "Directly Standardized Rates per %1", ""},
    {kProcedureSet, 20, kText, "Mantel-Haenszel Standardized Rates per %1", ""},
    {kProcedureSet, 21, kText, "Indirectly Standardized Rate per %1", ""},
    {kProcedureSet, 22, kText, "Directly Standardized Risks", ""},
    {kProcedureSet, 23, kText, "Mantel-Haenszel Standardized Risks", ""},
    {kProcedureSet, 24, kText, "Indirectly Standardized Risk", ""},
    {kProcedureSet, 25, kText, "Comparison of Stratum Rates per %1", ""},
    {kProcedureSet, 26, kText, "Comparison of Stratum Risks", ""},
    {kProcedureSet, 27, kText, "Comparison of Standardized Rates per %1", ""},
    {kProcedureSet, 28, kText, "Comparison of Standardized Risks", ""},
    {kProcedureSet, 29, kText, "Attributable Fractions of the Study Population", ""},
    {kProcedureSet, 30, kText, "Attributable Fractions with %1 as the Exposed Group", ""},
    {kProcedureSet, 45, kText, "Stratum Index", ""},
    {kProcedureSet, 46, kText, " * ", ""},  // joins STRATA variable names in a heading
    {kProcedureSet, 47, kText, "Rate", ""},
    {kProcedureSet, 48, kText, "Risk", ""},
    {kProcedureSet, 49, kText, "Reference Population", ""},
    {kProcedureSet, 50, kText, "Mantel-Haenszel Weights", ""},
    {kProcedureSet, 51, kText, "Standardized Rates", ""},
    {kProcedureSet, 52, kText, "Standardized Risks", ""},
    {kProcedureSet, 53, kText, "Rate per %1", ""},
    // Spans over the limit columns; %1 is the confidence level in percent.
    {kProcedureSet, 61, kText, "%1%% Confidence Limits", ""},
    {kProcedureSet, 62, kText, "%1%% Normal Confidence Limits", ""},
    {kProcedureSet, 63, kText, "%1%% Gamma Confidence Limits", ""},
    {kProcedureSet, 64, kText, "%1%% Lognormal Confidence Limits", ""},
    {kProcedureSet, 65, kText, "%1%% Poisson Confidence Limits", ""},
    {kProcedureSet, 66, kText, "Direct", ""},
    {kProcedureSet, 67, kText, "Indirect", ""},
    {kProcedureSet, 68, kText, "Mantel-Haenszel", ""},
    {kProcedureSet, 69, kText, "Test of Equal Rates", ""},
    {kProcedureSet, 70, kText, "Test of Equal Risks", ""},
    // Information list labels.
    {kProcedureSet, 71, kText, "Data Set", ""},
    {kProcedureSet, 72, kText, "Population Variable", ""},
    {kProcedureSet, 73, kText, "Reference Data Set", ""},
    {kProcedureSet, 75, kText, "Study Population", ""},
    {kProcedureSet, 76, kText, "Reference Population", ""},
    // The value found missing; inserted as %1 of messages 149 to 152.
    {kProcedureSet, 77, kText, "population total", ""},
    {kProcedureSet, 78, kText, "crude rate", ""},
    {kProcedureSet, 79, kText, "crude risk", ""},
    {kProcedureSet, 80, kText, "reference population total", ""},
    {kProcedureSet, 81, kText, "reference rate", ""},
    {kProcedureSet, 82, kText, "reference risk", ""},
    {kProcedureSet, 83, kText, "Rate Difference", ""},
    {kProcedureSet, 84, kText, "Rate Difference per %1", ""},
    {kProcedureSet, 85, kText, "Risk Difference", ""},
    {kProcedureSet, 86, kText, "Rate Ratio", ""},
    {kProcedureSet, 87, kText, "Risk Ratio", ""},
    {kProcedureSet, 89, kText, "Log Rate Ratio", ""},
    {kProcedureSet, 90, kText, "Log Risk Ratio", ""},
    {kProcedureSet, 95, kText, "Rate Multiplier", ""},
    {kProcedureSet, 96, kText, "Number of Populations", ""},
    // Confidence-limit types, shown in Type columns.
    {kProcedureSet, 97, kText, "Normal", ""},
    {kProcedureSet, 98, kText, "Lognormal", ""},
    {kProcedureSet, 99, kText, "Poisson", ""},
    {kProcedureSet, 100, kText, "Gamma", ""},
    {kProcedureSet, 101, kText, "Log Complement", ""},
    {kProcedureSet, 102, kText, "Statistic", ""},
    {kProcedureSet, 103, kText, "Standardization Method", ""},
    {kProcedureSet, 104, kText, "Number of Strata", ""},
    // Parameters of the attributable fraction table.
    {kProcedureSet, 105, kText, "Population Attributable Rate", ""},
    {kProcedureSet, 106, kText, "Exposed Attributable Rate", ""},
    {kProcedureSet, 107, kText, "Population Attributable Risk", ""},
    {kProcedureSet, 108, kText, "Exposed Attributable Risk", ""},

    // Procedure messages: statements and options.
    {kProcedureSet, 109, kError, "No population data set or no POPULATION statement was given.",
     "Name the population data with DATA= and add a POPULATION statement."},
    {kProcedureSet, 110, kError,
     "METHOD=DIRECT and METHOD=INDIRECT need a reference data set and a REFERENCE statement.",
     "Give REFDATA= and a REFERENCE statement, or compare two populations with METHOD=MH."},
    {kProcedureSet, 111, kError,
     "METHOD=MH uses no reference data, but REFDATA= or a REFERENCE statement was given.",
     "Remove REFDATA= and the REFERENCE statement, or choose METHOD=DIRECT or METHOD=INDIRECT."},
    {kProcedureSet, 112, kError,
     "METHOD=MH needs exactly two populations, but the GROUP= variable does not have exactly two "
     "levels.",
     "Use a GROUP= variable with exactly two nonmissing values in each BY group."},
    {kProcedureSet, 113, kError,
     "The GROUP= variable has more than two levels; at most two populations can be compared.",
     "Restrict the population data to two levels of the GROUP= variable."},
    {kProcedureSet, 114, kError, "No standardization method was given.",
     "Add METHOD=DIRECT, METHOD=INDIRECT or METHOD=MH."},
    {kProcedureSet, 115, kWarning, "The %1 option is not valid with %2 and is ignored.",
     "Remove the option, or choose a method that supports it."},
    {kProcedureSet, 116, kWarning,
     "The %1 option of the STRATA statement is not valid with %2 and is ignored.",
     "Remove the option, or choose a method that supports it."},
    {kProcedureSet, 117, kError,
     "METHOD=MH needs a GROUP= variable in the POPULATION statement to define the two "
     "populations.",
     "Add GROUP= to the POPULATION statement."},
    {kProcedureSet, 118, kError,
     "GROUP= cannot be used with METHOD=INDIRECT, which standardizes one study population.",
     "Remove GROUP=, or compare two populations with METHOD=DIRECT or METHOD=MH."},
    {kProcedureSet, 119, kWarning,
     "The %1 request compares two populations and needs a GROUP= variable; it is ignored.",
     "Add GROUP= to the POPULATION statement to compare two populations."},
    {kProcedureSet, 120, kNote, "The %1 option does not apply with STAT=%2 and is ignored.",
     "Remove the option, or choose the statistic it belongs to with STAT=."},
    {kProcedureSet, 121, kNote,
     "Poisson confidence limits are not available for risks; the %1 option of the STRATA "
     "statement uses normal limits.",
     "Choose CL=NORMAL, CL=LOGNORMAL or CL=NONE for this option."},
    {kProcedureSet, 122, kNote,
     "Poisson confidence limits of the standardized estimate are available only with "
     "METHOD=INDIRECT; normal limits are used.",
     "Choose another CL= type with this method."},
    {kProcedureSet, 123, kNote,
     "Gamma confidence limits are not available for risks; normal limits are used.",
     "Choose CL=NORMAL or CL=LOGNORMAL with STAT=RISK."},
    {kProcedureSet, 124, kNote,
     "Gamma confidence limits are not available with METHOD=INDIRECT; normal limits are used.",
     "Choose CL=NORMAL, CL=LOGNORMAL or CL=POISSON with METHOD=INDIRECT."},
    {kProcedureSet, 125, kError, "The STRATA variable %1 is not in the %2 data set.",
     "Every STRATA variable must be in both the population and the reference data set."},
    {kProcedureSet, 126, kError, "The %1 value must be greater than 0 and less than 1.",
     "Give a value such as 0.05, which gives 95 percent confidence limits."},
    {kProcedureSet, 127, kError,
     "The rate multiplier must be a power of 10 from 1 to 1000000000, such as 1000 or 100000.",
     "Change the MULT= value to a power of 10."},
    {kProcedureSet, 128, kError, "The reference data set is the same as the population data set.",
     "Name the reference data set with REFDATA= (it may be the same file as DATA=, its reference "
     "values in columns of their own)."},
    {kProcedureSet, 129, kError,
     "The POPULATION statement does not give enough to find the stratum rates or risks.",
     "Give RATE= or RISK=, or both EVENT= and TOTAL=, in the POPULATION statement."},
    {kProcedureSet, 130, kError,
     "METHOD=INDIRECT needs the reference rates or risks, but the REFERENCE statement does not "
     "give enough to find them.",
     "Give RATE= or RISK=, or both EVENT= and TOTAL=, in the REFERENCE statement."},
    {kProcedureSet, 131, kError,
     "METHOD=INDIRECT needs the population time of each stratum, but the POPULATION statement "
     "does not give it.",
     "Give TOTAL=, or two of RATE=, EVENT= and TOTAL=, in the POPULATION statement."},
    {kProcedureSet, 132, kError,
     "METHOD=INDIRECT needs the number of individuals in each stratum, but the POPULATION "
     "statement does not give it.",
     "Give TOTAL=, or two of RISK=, EVENT= and TOTAL=, in the POPULATION statement."},
    {kProcedureSet, 133, kError,
     "METHOD=DIRECT needs the reference population time of each stratum, but the REFERENCE "
     "statement does not give it.",
     "Give TOTAL=, or two of RATE=, EVENT= and TOTAL=, in the REFERENCE statement."},
    {kProcedureSet, 134, kError,
     "METHOD=DIRECT needs the number of reference individuals in each stratum, but the "
     "REFERENCE statement does not give it.",
     "Give TOTAL=, or two of RISK=, EVENT= and TOTAL=, in the REFERENCE statement."},
    {kProcedureSet, 135, kWarning,
     "The population event counts are not available, so no SMR can be computed and the SMR "
     "table is not produced.",
     "Give EVENT=, two of the rate or risk, EVENT= and TOTAL=, or the event total with "
     "POPEVENT= in the POPULATION statement."},
    {kProcedureSet, 136, kWarning,
     "The population event counts are not available, so no attributable fractions can be "
     "computed; the AF request is ignored.",
     "Give EVENT=, or two of the rate or risk, EVENT= and TOTAL=, in the POPULATION statement."},
    {kProcedureSet, 137, kWarning,
     "The population event counts are not available, so the %1 request is ignored.",
     "Give EVENT=, or two of the rate or risk, EVENT= and TOTAL=, in the POPULATION statement."},
    {kProcedureSet, 138, kWarning,
     "The population event counts are not available, so the %1 option of the STRATA statement "
     "is ignored.",
     "Give EVENT=, or two of the rate or risk, EVENT= and TOTAL=, in the POPULATION statement."},
    {kProcedureSet, 139, kError,
     "The variable %1 named in the REFERENCE statement is not in the reference data set.",
     "Check the spelling, or name a variable of the REFDATA= data set."},
    {kProcedureSet, 140, kError, "The %1 variable of the REFERENCE statement is not numeric.",
     "Name a numeric variable of the reference data set."},

    // Procedure messages: reading the data.
    {kProcedureSet, 141, kError,
     "The %1 data set has no BY group that matches the current BY group of the population data.",
     "Give the reference data a group for every population BY group, or leave the BY variables out of "
     "the reference data to use all of it for every group."},
    {kProcedureSet, 142, kError, "Stratum %1 of the reference data does not occur in the population data.",
     "Indirect standardization needs population data for every reference stratum: add the "
     "stratum's population data or remove it from the reference data."},
    {kProcedureSet, 143, kWarning,
     "Stratum %1 of the reference data does not occur in the population data; its population "
     "values are missing.",
     "Add the stratum's population data, or remove it from the reference data."},
    {kProcedureSet, 144, kError, "The %1 variable has a negative value in the %2 data.",
     "Correct the data: event counts, rates and risks cannot be negative."},
    {kProcedureSet, 145, kError, "The %1 variable has a value of zero or less in the %2 data.",
     "Correct the data: population totals must be positive."},
    {kProcedureSet, 146, kError, "The %1 value is larger than the %2 value in the %3 data (%4).",
     "Correct the data: there cannot be more events than individuals."},
    {kProcedureSet, 147, kError, "The %1 variable has a value greater than 1 in the %2 data.",
     "Correct the data: a risk is a proportion between 0 and 1."},
    {kProcedureSet, 148, kNote,
     "The GROUP= variable has fewer than two levels; the analysis goes on with one population.",
     "Check the GROUP= variable if two populations were expected."},

    // Procedure messages: estimation. %1 of 149 to 152 is one of the texts
    // 77 to 82.
    {kProcedureSet, 149, kError,
     "The %1 is missing, so no standardized estimate is computed for this BY group.",
     "Supply the missing value in the input data."},
    {kProcedureSet, 150, kError,
     "The %1 of stratum %2 is missing, so no standardized estimate is computed for this BY "
     "group.",
     "Supply the missing value in the input data, or leave the stratum out."},
    {kProcedureSet, 151, kError,
     "The %1 of %2 is missing, so no standardized estimate is computed for this BY group.",
     "Supply the missing value in the input data."},
    {kProcedureSet, 152, kError,
     "The %1 of %2 in stratum %3 is missing, so no standardized estimate is computed for this "
     "BY group.",
     "Supply the missing value in the input data, or leave the stratum out."},
    {kProcedureSet, 153, kWarning,
     "Stratum %1 has data for %2 but not for %3; it is left out of the estimates for %3.",
     "Add the missing stratum data, or keep in mind that the two estimates cover different "
     "strata."},
    {kProcedureSet, 154, kWarning,
     "Some strata occur in only one of the two populations, so the effect compares estimates "
     "standardized over different strata.",
     "Add the missing stratum data, or interpret the effect with care."},
    {kProcedureSet, 155, kWarning,
     "Poisson confidence limits could not be computed for some stratum estimates; those limits "
     "are missing.",
     "Use CL=NORMAL or CL=LOGNORMAL in the STATS option for these data."},
    {kProcedureSet, 156, kWarning,
     "Poisson confidence limits could not be computed for some stratum SMRs; those limits are "
     "missing.",
     "Use CL=NORMAL or CL=LOGNORMAL in the SMR option for these data."},
    {kProcedureSet, 157, kWarning,
     "The standardized ratio of %1=%2 to %3=%4 is not greater than 1, so the population "
     "attributable fraction has no confidence limits.",
     "Check that EXPOSED= names the exposed group; without an excess of events in it the "
     "fractions are zero or negative."},
    {kProcedureSet, 158, kWarning,
     "The standardized ratio between %1=%2 and %3=%4 is not greater than 1, so the population "
     "attributable fraction has no confidence limits.",
     "Check that EXPOSED= names the exposed group; without an excess of events in it the "
     "fractions are zero or negative."},
    {kProcedureSet, 159, kWarning,
     "The SMR is not greater than 1, so the population attributable fraction has no confidence "
     "limits.",
     "Without an excess of events in the study population the fractions are zero or negative."},
    {kProcedureSet, 160, kError, "The EXPOSED= value %1 is not a level of the population variable %2.",
     "Give one of the two formatted values of the GROUP= variable."},
    {kProcedureSet, 161, kWarning,
     "Gamma confidence limits could not be computed for some standardized rates; those limits "
     "are missing.",
     "Use CL=NORMAL or CL=LOGNORMAL for these data."},
    {kProcedureSet, 162, kWarning,
     "Poisson confidence limits could not be computed for the standardized estimate; those "
     "limits are missing.",
     "With no observed events the exact lower limit is 0 and is left missing, while the upper limit "
     "is given; read the lower limit as 0, or pool strata or BY groups."},
    {kProcedureSet, 163, kWarning,
     "Poisson confidence limits could not be computed for the SMR; those limits are missing.",
     "With no observed events the exact lower limit is 0 and is left missing, while the upper limit "
     "is given; read the lower limit as 0, or pool strata or BY groups."},

    // Procedure messages: tables and plots.
    {kProcedureSet, 164, kWarning,
     "The indirectly standardized rate cannot be computed, so its table is not produced.",
     "Check that there are expected events and that the reference crude rate is known, from "
     "the reference data or from REFRATE= or REFEVENT= and REFTOTAL=."},
    {kProcedureSet, 165, kWarning,
     "The indirectly standardized risk cannot be computed, so its table is not produced.",
     "Check that there are expected events and that the reference crude risk is known, from "
     "the reference data or from REFRISK= or REFEVENT= and REFTOTAL=."},
    {kProcedureSet, 166, kWarning,
     "The stratum labels of a plot are longer than 32000 characters, so the plot is not "
     "produced.",
     "Label the strata by number with PLOTS(DISPLAY=INDEX), or use fewer strata."},
    {kProcedureSet, 167, kError, "The %1 variable of the POPULATION statement is not numeric.",
     "Name a numeric variable of the population data set; a column with any value that is not a "
     "number, such as 1,000 or n/a, is read as character."},

    // Procedure messages: nothing to analyse.
    {kProcedureSet, 168, kWarning,
     "No observation of the population data can be used in this BY group, so nothing is computed for it.",
     "Observations with a missing STRATA value are left out unless MISSING is given, and those with a "
     "missing GROUP= value when there are two populations; check those variables."},
    {kProcedureSet, 169, kWarning,
     "The indirectly standardized risk (the SMR times the reference crude risk) is above 1, so it "
     "is not reported.",
     "The study population's risks are far above the reference risks; report the SMR instead."},
    {kProcedureSet, 170, kWarning,
     "The STRATA variable %1 is %2 in the population data set but %3 in the reference data set, so "
     "their strata cannot be matched.",
     "A column with any value that is not a number, such as 85+ or n/a, is read as character; write "
     "the strata the same way in both files."},
    {kProcedureSet, 171, kWarning,
     "A sum of event or population values is too large to be held as a number (above about "
     "1.8E308), so it is missing, with the totals, crude estimates and ratios built on it.",
     "Look for event or population values far too large, such as a misplaced exponent; write "
     "them in a larger unit (thousands of person-years, say) if they are right."},
    {kProcedureSet, 172, kNote,
     "CL(ALPHA=%1) gives confidence limits at a level of %2 percent.",
     "ALPHA= is 1 minus the confidence level: write ALPHA=0.05 for 95 percent confidence limits, "
     "ALPHA=0.1 for 90 percent."},
    {kProcedureSet, 173, kWarning,
     "The reference event total is not known, so the attributable fractions are missing.",
     "Give the reference events and population (EVENT= and TOTAL= in the REFERENCE statement) "
     "instead of its rates alone."},
    {kProcedureSet, 174, kWarning,
     "The exact p-value of the SMR could not be computed, so it is missing.",
     "The exact test takes observed event totals below 2147483648; with more events the normal "
     "test of the SMR (CL=NORMAL or CL=LOGNORMAL) gives the same conclusion."},
    {kProcedureSet, 175, kNote,
     "Observations of the population data left out because a STRATA value is missing: %1.",
     "Their events and population are in no stratum. Fill in the values, or give the MISSING option "
     "of the STRATA statement to keep a missing value as a stratum of its own."},
    {kProcedureSet, 176, kNote,
     "Observations of the population data left out because their GROUP= value is missing: %1.",
     "Their events and population are in neither population; fill in the GROUP= values."},
    {kProcedureSet, 177, kNote,
     "No STRATA variables are given, so each BY group is one stratum and its estimates are not "
     "adjusted for any other variable.",
     "Name the variables to standardize by, such as the age group, in a STRATA statement."},
    {kProcedureSet, 178, kNote,
     "The STRATA variable %1 is named more than once; it is used once.",
     "Name each stratum variable once; a variable list such as age--sex or a prefix list may "
     "include a variable also named on its own."},
    {kProcedureSet, 179, kWarning,
     "The population of stratum %1 is not known, so the population total, the crude rate and the "
     "standard error and confidence limits of the standardized estimate are missing.",
     "The stratum is given by its rate alone, or by a rate of 0 from which no population can be "
     "derived; give its population (TOTAL=) as the other strata do."},
    {kProcedureSet, 180, kWarning,
     "%2 has no known population for stratum %1, so its population total, its crude rate and the "
     "standard error and confidence limits of its standardized estimate are missing.",
     "The stratum is given by its rate alone, or by a rate of 0 from which no population can be "
     "derived; give its population (TOTAL=) as the other strata do."},
    {kProcedureSet, 181, kWarning,
     "The %1 value of an observation of the %2 data is %3 times what its EVENT= and TOTAL= values "
     "give, so event counts or populations derived from %1 values are off by as much.",
     "The values are most likely written per another multiplier than the one assumed: give it, as in "
     "RATE(MULT=1000)=rate, write risks as proportions rather than percentages, or leave the "
     "variable out when EVENT= and TOTAL= are given."},
    {kProcedureSet, 182, kError,
     "The reference crude risk given by %1 is %2, which is greater than 1.",
     "A risk is a proportion between 0 and 1: write 3 percent as REFRISK=0.03, and give no more "
     "REFEVENT= events than REFTOTAL= individuals."},
    {kProcedureSet, 183, kError,
     "The event total POPEVENT=%1 is larger than the population total of %2 individuals, so no risk "
     "or SMR is computed for this BY group.",
     "There cannot be more events than individuals: check POPEVENT= and the TOTAL= variable, or use "
     "STAT=RATE when the totals are person-time."},
    {kProcedureSet, 184, kWarning,
     "Observations of stratum %1 in the %2 data give different %3 values and no event counts and "
     "populations to combine them; the %4 of them stands for the stratum.",
     "Rates cannot be added: give each stratum one observation, or give the event counts and "
     "populations (EVENT= and TOTAL=), which are added over the observations."},
    {kProcedureSet, 185, kNote,
     "The EXPOSED= option names the exposed population of the attributable fractions, which this step "
     "does not compute; it is ignored.",
     "Request the attributable fractions with METHOD=MH(AF), or remove EXPOSED= from the GROUP= option."},
    {kProcedureSet, 186, kWarning,
     "CL(ALPHA=%1) is too small for Poisson and gamma confidence limits, which need an ALPHA= value above "
     "2E-13, so their upper limits are missing.",
     "Give ALPHA= a value such as 1E-12 or more for Poisson or gamma limits; normal and lognormal limits "
     "(CL=NORMAL or CL=LOGNORMAL) take any ALPHA= value."},
    {kProcedureSet, 187, kWarning,
     "The population event counts are not available, so no indirectly standardized estimate can be computed "
     "and its table is not produced.",
     "Give EVENT=, two of the rate or risk, EVENT= and TOTAL=, or the event total with POPEVENT= in the "
     "POPULATION statement."},
    {kProcedureSet, 188, kWarning,
     "Poisson confidence limits of the SMR and the standardized estimate could not be computed from %1 "
     "observed events, more than exact limits take (about 5E13); those limits are missing.",
     "With so many events the normal and lognormal limits (CL=NORMAL or CL=LOGNORMAL) agree with exact "
     "ones to many digits: use them."},
    {kProcedureSet, 189, kWarning,
     "The GROUP= variable has fewer than two levels, so there is no second population to compare with and "
     "the effects requested (EFFECT, or PLOTS=EFFECT) are not produced.",
     "Check that the population data hold both levels of the GROUP= variable in every BY group, or leave "
     "out the EFFECT requests."},
};

constexpr bool comes_before(const CatalogEntry& a, const CatalogEntry& b) {
  return a.set < b.set || (a.set == b.set && a.number < b.number);
}

constexpr bool strictly_sorted(std::span<const CatalogEntry> entries) {
  for (std::size_t i = 1; i < entries.size(); ++i) {
    if (!comes_before(entries[i - 1], entries[i])) return false;
  }
  return true;
}
static_assert(strictly_sorted(kEntries), "catalog entries must be sorted by (set, number) without duplicates");

// Where the builtin and procedure messages stand in kEntries, by number:
// every BY group looks up dozens of them for its labels and headers.
constexpr int kIndexedNumbers = 256;
constexpr std::int16_t kNotIndexed = -1;

constexpr std::array<std::int16_t, kIndexedNumbers> index_of_set(int set) {
  std::array<std::int16_t, kIndexedNumbers> index{};
  index.fill(kNotIndexed);
  for (std::size_t i = 0; i < std::size(kEntries); ++i) {
    if (kEntries[i].set == set && kEntries[i].number >= 0 && kEntries[i].number < kIndexedNumbers) {
      index[static_cast<std::size_t>(kEntries[i].number)] = static_cast<std::int16_t>(i);
    }
  }
  return index;
}

constexpr auto kBuiltinIndex = index_of_set(kBuiltinSet);
constexpr auto kProcedureIndex = index_of_set(kProcedureSet);

void append_number(std::string& out, double value) {
  // A missing value shows the way the tables show it.
  if (std::isnan(value)) {
    out += '.';
    return;
  }
  if (value == 0.0) value = 0.0;  // no "-0"
  // Plain notation across the range messages meet (multipliers such as
  // 100000, confidence levels such as 97.5), where the shortest-overall
  // form would turn 100000 into "1e+05"; exponents only beyond it.
  const double magnitude = std::fabs(value);
  const bool plain = value == 0.0 || (magnitude >= kPlainLow && magnitude < kPlainHigh);
  char buffer[64];
  const auto result = plain ? std::to_chars(std::begin(buffer), std::end(buffer), value,
                                            std::chars_format::fixed)
                            : std::to_chars(std::begin(buffer), std::end(buffer), value,
                                            std::chars_format::scientific);
  out.append(buffer, result.ptr);
}

void append_argument(std::string& out, const host::MessageArg& arg) {
  if (arg.kind == host::kArgNumber) {
    append_number(out, arg.number);
  } else if (arg.kind == host::kArgText && arg.text != nullptr && arg.length > 0) {
    out.append(arg.text, static_cast<std::size_t>(arg.length));
  }
}

}  // namespace

std::span<const CatalogEntry> all_entries() { return kEntries; }

bool is_about_observation(int set, int number) {
  constexpr std::array<int, 7> kAboutObservation{112, 113, 144, 145, 146, 147, 181};
  return set == kProcedureSet && std::find(kAboutObservation.begin(), kAboutObservation.end(), number) !=
                                     kAboutObservation.end();
}

const CatalogEntry* find_entry(int set, int number) {
  if ((set == kBuiltinSet || set == kProcedureSet) && number >= 0 && number < kIndexedNumbers) {
    const std::int16_t at = (set == kBuiltinSet ? kBuiltinIndex : kProcedureIndex)[static_cast<std::size_t>(number)];
    return at == kNotIndexed ? nullptr : &kEntries[static_cast<std::size_t>(at)];
  }
  const CatalogEntry key{set, number, kText, {}, {}};
  const auto* it = std::lower_bound(std::begin(kEntries), std::end(kEntries), key, comes_before);
  if (it == std::end(kEntries) || it->set != set || it->number != number) return nullptr;
  return it;
}

std::optional<std::string_view> message_text(int set, int number) {
  const CatalogEntry* entry = find_entry(set, number);
  if (entry == nullptr) return std::nullopt;
  return entry->text;
}

std::string fill_text(std::string_view text, std::span<const host::MessageArg> args) {
  std::string out;
  out.reserve(text.size() + 32);
  std::size_t i = 0;
  while (i < text.size()) {
    // Copy the run up to the next '%' at once; most texts have none.
    const std::size_t percent = text.find('%', i);
    if (percent == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, percent - i));
    i = percent;
    const char c = text[i];
    if (i + 1 == text.size()) {
      out += c;
      ++i;
      continue;
    }
    const char next = text[i + 1];
    if (next == '%') {
      out += '%';
      i += 2;
      continue;
    }
    if (next < '0' || next > '9') {
      out += c;
      ++i;
      continue;
    }
    std::size_t slot = 0;
    i += 1;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      // Saturate so that a long digit run cannot wrap round to a real slot.
      if (slot <= args.size()) slot = slot * 10 + static_cast<std::size_t>(text[i] - '0');
      ++i;
    }
    if (slot >= 1 && slot <= args.size()) append_argument(out, args[slot - 1]);
  }
  return out;
}

std::string message_number(int set, int number) {
  std::string text = std::to_string(set);
  return text.append("-").append(std::to_string(number));
}

std::string format_message(int set, int number, std::span<const host::MessageArg> args) {
  const CatalogEntry* entry = find_entry(set, number);
  if (entry == nullptr) return "message " + message_number(set, number) + " (no text in the catalog)";
  return fill_text(entry->text, args);
}

std::string_view severity_word(Severity severity) {
  switch (severity) {
    case kNote: return "NOTE";
    case kWarning: return "WARNING";
    case kError: return "ERROR";
    case kText: break;
  }
  return "";
}

}  // namespace quilvar::runtime::catalog
