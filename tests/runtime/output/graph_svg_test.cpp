// The renderer of the stratum graphs: what it reads from a data object, the
// value axes it chooses, and the SVG it draws.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "graph_support.hpp"
#include "runtime/output/chart_model.hpp"
#include "runtime/output/graph_layout.hpp"
#include "runtime/output/output.hpp"
#include "runtime/output/svg_writer.hpp"
#include "runtime/output/value_axis.hpp"
#include "runtime/text/utf8.hpp"

namespace quilvar::runtime::output {
namespace {

using namespace testing;

// A rate plot as the module writes it: axis rows, then per population a
// point and a limit row per stratum, then its overall line.
GraphBuilder rate_plot(const std::vector<std::string>& labels) {
  GraphBuilder b;
  b.column_names = {"StratumID", "StratumIndex", "Population", "Est", "LowerCL", "UpperCL", "XRef", "YRef"};
  b.numeric = {true, true, false, true, true, true, true, true};
  const double n = static_cast<double>(labels.size());
  const std::string blank;
  b.rows = {{0.1, kNone, "North", kNone, kNone, kNone, kNone, kNone},
            {kNone, kNone, "North", 20.0, kNone, kNone, kNone, kNone},
            {n + 0.9, kNone, "North", kNone, kNone, kNone, kNone, kNone},
            {kNone, kNone, "North", 900.0, kNone, kNone, kNone, kNone},
            {kNone, kNone, blank, kNone, kNone, kNone, kNone, kNone}};
  for (const auto& [population, shift] : {std::pair<std::string, double>{"North", 0.15}, {"South & East", -0.15}}) {
    for (std::size_t i = 1; i <= labels.size(); ++i) {
      const double x = static_cast<double>(i) + shift, y = 100.0 * static_cast<double>(i);
      b.rows.push_back({x, static_cast<double>(i), population, y, kNone, kNone, kNone, kNone});
      b.rows.push_back({kNone, kNone, blank, kNone, kNone, kNone, kNone, kNone});
      b.rows.push_back({x, static_cast<double>(i), population, kNone, y - 50, y + 50, kNone, kNone});
      b.rows.push_back({kNone, kNone, blank, kNone, kNone, kNone, kNone, kNone});
    }
    b.rows.push_back({kNone, kNone, population, kNone, kNone, kNone, 0.1, 300.0});
    b.rows.push_back({kNone, kNone, population, kNone, kNone, kNone, n + 0.9, 300.0});
    b.rows.push_back({kNone, kNone, blank, kNone, kNone, kNone, kNone, kNone});
  }
  std::string ticks;
  for (const std::string& label : labels) ticks += "'" + label + "'";
  b.number("_TMax", n).number("_XMin", 0.1).number("_XMax", n + 0.9).text("_XTicks", ticks);
  b.text("_XLabel", "agegroup").text("_YLabel", "Rate per 100000").number("_Cl", 1);
  b.text("_ClLabel", "95% Normal Confidence Limits");
  return b;
}

// An effect plot of ratios: the axis rows, then estimate and limits per stratum.
GraphBuilder ratio_plot(const std::vector<double>& ratios) {
  GraphBuilder b;
  b.column_names = {"StratumIndex", "Est", "LowerCL", "UpperCL", "XRef", "YRef"};
  b.numeric = std::vector<bool>(6, true);
  const double n = static_cast<double>(ratios.size());
  b.rows = {{0.1, kNone, kNone, kNone, kNone, kNone}, {kNone, 1.0, kNone, kNone, kNone, kNone},
            {n + 0.9, kNone, kNone, kNone, kNone, kNone}, {kNone, kNone, kNone, kNone, kNone, kNone}};
  for (std::size_t i = 0; i < ratios.size(); ++i) {
    const double index = static_cast<double>(i + 1);
    b.rows.push_back({index, ratios[i], kNone, kNone, kNone, kNone});
    b.rows.push_back({index, kNone, ratios[i] / 2, ratios[i] * 2, kNone, kNone});
  }
  b.number("_TMax", n).number("_XMin", 0.1).number("_XMax", n + 0.9).number("_Ratio", 1);
  b.text("_Effect", "Stratum Rate Ratio").text("_YLabel", "Rate Ratio").text("_XLabel", "Stratum Index");
  return b;
}

TEST(TickText, SplitsQuotedStratumLabels) {
  struct Case {
    const char* text;
    std::size_t count;
    std::vector<std::string> labels;
  };
  const Case cases[] = {
      {"'A''B''C'", 3, {"A", "B", "C"}},
      {"'M 10-19''F 10-19'", 2, {"M 10-19", "F 10-19"}},
      {"''", 1, {""}},
      {"", 0, {}},
      {"A''B'", 2, {}},
      {"'A''B", 2, {}},
      {"'A''B''C'", 2, {}},  // not the count of strata: no labels
      // Values with apostrophes of their own are split at the '' between values.
      {"'O'Hare''Smith's''plain'", 3, {"O'Hare", "Smith's", "plain"}},
      {"'it's'", 1, {"it's"}},
      {"'Jones'''O'Hare''Smith'", 3, {"Jones'", "O'Hare", "Smith"}},
      {"'Rock 'n' Roll''x''y''z'", 3, {}},  // a value holding '' cannot be told apart
      {"'O'Hare''Smith's''plain'", 2, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_tick_text(c.text, c.count), c.labels);
  }
}

TEST(ChartReading, ARatePlotsSeriesPointsLimitsAndLines) {
  const std::optional<ChartData> chart =
      read_chart(rate_plot({"0-39", "40-64"}).build("Vesk.Quilvar.Graphics.StrataRatePlot"));
  ASSERT_TRUE(chart);
  EXPECT_FALSE(chart->horizontal);
  EXPECT_FALSE(chart->log_scale);
  EXPECT_EQ(chart->strata, 2);
  EXPECT_EQ(chart->tick_labels, (std::vector<std::string>{"0-39", "40-64"}));
  EXPECT_EQ(chart->value_hints, (std::vector<double>{20, 900}));
  EXPECT_FALSE(chart->reference_value);
  EXPECT_EQ(chart->limit_label, "95% Normal Confidence Limits");
  ASSERT_EQ(chart->series.size(), 2u);
  const ChartSeries& south = chart->series[1];
  EXPECT_EQ(south.name, "South & East");
  ASSERT_EQ(south.points.size(), 2u);
  EXPECT_DOUBLE_EQ(south.points[1].position, 1.85);
  EXPECT_DOUBLE_EQ(south.points[1].value, 200);
  ASSERT_EQ(south.limits.size(), 2u);
  EXPECT_DOUBLE_EQ(south.limits[0].low, 50);
  EXPECT_DOUBLE_EQ(south.limits[0].high, 150);
  ASSERT_EQ(south.lines.size(), 1u);
  ASSERT_EQ(south.lines[0].size(), 2u);
  EXPECT_DOUBLE_EQ(south.lines[0][1].position, 2.9);
  EXPECT_EQ(chart->stratum_title, "agegroup");

  // Values the tick text cannot tell apart: numbered, and the title says so.
  const std::optional<ChartData> numbered =
      read_chart(rate_plot({"x''y", "z"}).build("Vesk.Quilvar.Graphics.StrataRatePlot"));
  ASSERT_TRUE(numbered);
  EXPECT_TRUE(numbered->tick_labels.empty());
  EXPECT_EQ(numbered->stratum_title, "agegroup (strata numbered)");
}

TEST(ChartReading, TemplatesDecideHowRowsAreRead) {
  struct Case {
    const char* path;
    bool readable, horizontal, bars;
  };
  const Case cases[] = {
      {"Vesk.Quilvar.Graphics.StrataRatePlot", true, false, false},
      {"Vesk.Quilvar.Graphics.StrataRiskPlotHoriz", true, true, false},
      {"vesk.quilvar.graphics.stratadistplot", true, false, true},
      {"Vesk.Quilvar.Graphics.StrataSMRPlotHoriz", true, true, false},
      {"Vesk.Quilvar.Graphics.StrataEffectPlot", true, false, false},
      {"Vesk.Quilvar.Graphics.Unknown", false, false, false},
      {"Vesk.Quilvar.RatePhantom", false, false, false},
      {"", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::optional<ChartData> chart = read_chart(rate_plot({"A"}).build(c.path));
    ASSERT_EQ(chart.has_value(), c.readable);
    if (!chart) continue;
    EXPECT_EQ(chart->horizontal, c.horizontal);
    EXPECT_EQ(chart->bars, c.bars);
  }
}

TEST(ChartReading, EffectAxisRowsGiveTheValueOfNoEffect) {
  const std::optional<ChartData> chart = read_chart(ratio_plot({0.5, 2}).build("Vesk.Quilvar.Graphics.StrataEffectPlot"));
  ASSERT_TRUE(chart);
  EXPECT_TRUE(chart->log_scale);
  ASSERT_TRUE(chart->reference_value);
  EXPECT_EQ(*chart->reference_value, 1);
  EXPECT_TRUE(chart->value_hints.empty());
  ASSERT_EQ(chart->series.size(), 1u);
  EXPECT_EQ(chart->series[0].name, "Stratum Rate Ratio");
  EXPECT_EQ(chart->series[0].points.size(), 2u);
  EXPECT_TRUE(chart->tick_labels.empty());
  EXPECT_TRUE(chart->limit_label.empty());
}

TEST(ChartReading, NoStratumAxisNoChart) {
  GraphBuilder b = rate_plot({"A", "B"});
  for (const char* dropped : {"_TMax", "_XMin", "_XMax"}) {
    SCOPED_TRACE(dropped);
    GraphBuilder without = b;
    std::erase_if(without.dynamic, [&](const DynamicVariable& v) { return v.name == dropped; });
    EXPECT_FALSE(read_chart(without.build("Vesk.Quilvar.Graphics.StrataRatePlot")));
  }
  GraphBuilder mismatched = b;
  mismatched.dynamic[3].value.text = "'A'";  // _XTicks naming one stratum of two
  const std::optional<ChartData> chart = read_chart(mismatched.build("Vesk.Quilvar.Graphics.StrataRatePlot"));
  ASSERT_TRUE(chart);
  EXPECT_TRUE(chart->tick_labels.empty());
}

TEST(ValueAxisChoice, ReadableRangesAndTicks) {
  struct Case {
    const char* name;
    std::vector<double> values;
    bool log;
    double low, high;
    std::vector<double> ticks;
  };
  const Case cases[] = {
      {"linear", {3, 97}, false, 0, 100, {0, 20, 40, 60, 80, 100}},
      {"small values", {0.0004, 0.0019}, false, 0, 0.002, {0, 0.0005, 0.001, 0.0015, 0.002}},
      {"one value", {5}, false, 4.4, 5.6, {4.4, 4.6, 4.8, 5, 5.2, 5.4, 5.6}},
      {"nothing to show", {NAN}, false, 0, 1, {0, 0.2, 0.4, 0.6, 0.8, 1}},
      {"all zero", {0, -0.0, 0}, false, 0, 1, {0, 0.2, 0.4, 0.6, 0.8, 1}},
      {"one negative value", {-5}, false, -5.6, -4.4, {-5.6, -5.4, -5.2, -5, -4.8, -4.6, -4.4}},
      {"log within a decade", {0.3, 3}, true, 0.1, 10, {0.1, 0.2, 0.5, 1, 2, 5, 10}},
      {"log of one power of ten", {1, 1}, true, 0.1, 10, {0.1, 0.2, 0.5, 1, 2, 5, 10}},
      {"log of one value", {3}, true, 1, 10, {1, 2, 5, 10}},
      {"log leaves out values not above 0", {0, 2, 4}, true, 1, 10, {1, 2, 5, 10}},
      {"log over many decades", {0.001, 500}, true, 0.001, 1000, {0.001, 0.01, 0.1, 1, 10, 100, 1000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ValueAxis axis = make_value_axis(c.values, c.log);
    EXPECT_NEAR(axis.low, c.low, 1e-12);
    EXPECT_NEAR(axis.high, c.high, 1e-12);
    ASSERT_EQ(axis.ticks.size(), c.ticks.size());
    for (std::size_t i = 0; i < c.ticks.size(); ++i) EXPECT_NEAR(axis.ticks[i], c.ticks[i], 1e-12);
    for (double value : c.values) {
      if (std::isfinite(value) && (!c.log || value > 0)) {
        EXPECT_GE(axis.fraction(value), -1e-12);
        EXPECT_LE(axis.fraction(value), 1 + 1e-12);
      }
    }
  }
}

TEST(ValueAxisChoice, TickLabelsShowTheStepsDecimals) {
  const ValueAxis axis = make_value_axis({0.0004, 0.0019}, false);
  EXPECT_EQ(axis.tick_label(0.0005), "0.0005");
  EXPECT_EQ(axis.tick_label(0), "0.0000");
  EXPECT_EQ(make_value_axis({3, 97}, false).tick_label(40), "40");
  EXPECT_EQ(make_value_axis({0.3, 3}, true).tick_label(0.5), "0.5");
}

// Tick labels tell every tick apart and stay short: rates per person-year
// of 1e-9, counts of 1e9 and ratios over many decades are written in E
// notation, never as rows of zeros, 15 digits or "1e-06".
TEST(ValueAxisChoice, TickLabelsOfTinyAndHugeValues) {
  struct Case {
    const char* name;
    std::vector<double> values;
    bool log;
    std::vector<std::string> labels;
  };
  const Case cases[] = {
      {"tiny rates", {1e-9, 2.9e-9}, false, {"1E-9", "1.5E-9", "2E-9", "2.5E-9", "3E-9"}},
      {"tiny differences around 0", {-5e-9, 3.5e-9}, false, {"-6E-9", "-4E-9", "-2E-9", "0", "2E-9", "4E-9"}},
      {"huge counts", {1e9, 3e9}, false, {"1E9", "1.5E9", "2E9", "2.5E9", "3E9"}},
      {"one huge value", {4e14}, false, {"3.6E14", "3.8E14", "4E14", "4.2E14", "4.4E14"}},
      {"plain up to ten million", {0, 4e6}, false, {"0", "1000000", "2000000", "3000000", "4000000"}},
      {"tiny ratios", {2e-7, 3e-6}, true, {"1E-7", "2E-7", "5E-7", "1E-6", "2E-6", "5E-6", "0.00001"}},
      {"ratios over eighteen decades", {2e-9, 5e8}, true, {"1E-10", "1E-8", "1E-6", "0.0001", "0.01", "1", "100",
                                                           "10000", "1000000", "1E8", "1E10"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ValueAxis axis = make_value_axis(c.values, c.log);
    std::vector<std::string> labels;
    for (double tick : axis.ticks) labels.push_back(axis.tick_label(tick));
    EXPECT_EQ(labels, c.labels);
  }
}

// Values no axis can hold (beyond 1e300, or on a log axis below 1e-300)
// are left out like missing ones: the axis, its ticks and its pixels stay
// finite.
TEST(ValueAxisChoice, ExtremeValuesKeepTheAxisFinite) {
  for (const bool log : {false, true}) {
    const ValueAxis axis = make_value_axis({1e-320, 2, 8, -1.7e308, 1.7e308}, log);
    SCOPED_TRACE(log);
    EXPECT_TRUE(std::isfinite(axis.low) && std::isfinite(axis.high) && axis.low < axis.high);
    EXPECT_LE(axis.ticks.size(), 12u);
    for (double tick : axis.ticks) EXPECT_TRUE(std::isfinite(axis.fraction(tick)));
  }
}

TEST(GraphSvg, IsWellFormedSelfContainedAndDescribed) {
  const std::string svg =
      render_graph_svg(rate_plot({"0-39", "40-64"}).build("Vesk.Quilvar.Graphics.StrataRatePlot", "Rates <by> age"));
  std::string problem;
  EXPECT_TRUE(well_formed(svg, &problem)) << problem << "\n" << svg;
  EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
  EXPECT_NE(svg.find("<title>Rates &lt;by&gt; age</title>"), std::string::npos);
  EXPECT_NE(svg.find("<desc>Rates &lt;by&gt; age description: Rate per 100000 by agegroup, 2 strata; series: North, "
                     "South &amp; East.</desc>"),
            std::string::npos)
      << svg;
  for (const char* outside : {"<script", "<style", "<image", "href", "@import", "url(", " onload", " onclick"}) {
    EXPECT_EQ(svg.find(outside), std::string::npos) << outside;
  }
  EXPECT_EQ(occurrences(svg, "http"), 1u);
}

// Every character is one XML 1.0 allows: tab and line ends, no other
// control character, well-formed UTF-8 without U+FFFE and U+FFFF.
bool xml_characters_only(std::string_view markup, std::string* problem) {
  for (std::size_t i = 0; i < markup.size();) {
    const auto byte = static_cast<unsigned char>(markup[i]);
    if (byte < 0x80) {
      if (byte < ' ' && byte != '\t' && byte != '\n' && byte != '\r')
        return *problem = "control character at " + std::to_string(i), false;
      ++i;
      continue;
    }
    const text::Utf8Character c = text::decode_utf8(markup, i);
    if (c.length == 0 || c.code == 0xFFFE || c.code == 0xFFFF)
      return *problem = "not a character at " + std::to_string(i), false;
    i += c.length;
  }
  return true;
}

TEST(GraphSvg, DataTextsOutsideXmlBecomeReplacementCharacters) {
  EXPECT_EQ(xml_escaped("a\x01" "b\x0B\x1F\x7F"), "a\uFFFDb\uFFFD\uFFFD\x7F");
  EXPECT_EQ(xml_escaped("S\xE8te \xED\xA0\x80 \xEF\xBF\xBE \xC3"), "S\uFFFDte \uFFFD\uFFFD\uFFFD \uFFFD \uFFFD");
  // Letters of every script, tab and line ends stay as they are.
  const std::string kept = "S\u00E8te \u00DF \u0416 \u65E5\u672C \U0001F600 a\tb\nc\r";
  EXPECT_EQ(xml_escaped(kept), kept);

  // A stratum label, a population and a title from data with such bytes
  // (a Latin-1 file, a control character pasted from a spreadsheet).
  GraphBuilder plot = rate_plot({"0-39\x01", "40\xB1" "64"});
  plot.rows[5] = {1.15, 1.0, std::string("No\x0B" "rth\xE9"), 100.0, kNone, kNone, kNone, kNone};
  const std::string svg = render_graph_svg(plot.build("Vesk.Quilvar.Graphics.StrataRatePlot", "Rates\x02 \xFF"));
  std::string problem;
  EXPECT_TRUE(xml_characters_only(svg, &problem)) << problem << "\n" << svg;
  EXPECT_TRUE(well_formed(svg, &problem)) << problem;
  EXPECT_NE(svg.find("<title>Rates\uFFFD \uFFFD</title>"), std::string::npos) << svg;
}

TEST(GraphSvg, DrawsEachPointLimitLineAndLegendEntry) {
  const std::string svg = render_graph_svg(rate_plot({"0-39", "40-64"}).build("Vesk.Quilvar.Graphics.StrataRatePlot"));
  // North as circles, South as squares: two points each and one legend marker each.
  EXPECT_EQ(occurrences(svg, "<circle"), 3u);
  EXPECT_EQ(occurrences(svg, "fill=\"#D55E00\""), 3u);
  // The two overall lines differ in their dashes as well as in colour, so a
  // black-and-white print tells them apart; each series' legend entry draws
  // its line's pattern through its marker, and the lines' own entry the first.
  EXPECT_EQ(occurrences(svg, "stroke-dasharray"), 5u);
  EXPECT_EQ(occurrences(svg, "stroke-dasharray=\"" + std::string(series_dashes(0)) + "\""), 3u);
  EXPECT_EQ(occurrences(svg, "stroke-dasharray=\"" + std::string(series_dashes(1)) + "\""), 2u);
  EXPECT_NE(series_dashes(0), series_dashes(1));
  for (const char* text : {">0-39<", ">40-64<", ">agegroup<", ">Rate per 100000<", ">North<", ">South &amp; East<",
                           ">95% Normal Confidence Limits<", ">Overall crude estimate<"}) {
    EXPECT_NE(svg.find(text), std::string::npos) << text;
  }
}

TEST(GraphSvg, StratumLabelsFitTheirSlots) {
  struct Case {
    const char* name;
    std::vector<std::string> labels;
    const char* path;
    std::size_t rotated, shown;
  };
  std::vector<std::string> many;
  for (int i = 0; i < 60; ++i) many.push_back("Stratum number " + std::to_string(100 + i));
  const std::vector<std::string> wrapping{"Males aged 10 to 19 years", "Females aged 10 to 19 years",
                                          "Males aged 20 to 29 years", "Females aged 20 to 29 years"};
  const Case cases[] = {
      {"short labels stand level", {"0-39", "40-64", "65+"}, "Vesk.Quilvar.Graphics.StrataRatePlot", 0, 3},
      {"long labels of few strata wrap", wrapping, "Vesk.Quilvar.Graphics.StrataRatePlot", 0, 4},
      {"many long labels lean and thin out", many, "Vesk.Quilvar.Graphics.StrataRatePlot", 20, 20},
      {"horizontal charts put labels beside the axis", many, "Vesk.Quilvar.Graphics.StrataRatePlotHoriz", 0, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string svg = render_graph_svg(rate_plot(c.labels).build(c.path));
    EXPECT_EQ(occurrences(svg, "rotate(-45"), c.rotated);
    std::size_t shown = 0;
    for (const std::string& label : c.labels) shown += svg.find(">" + label + "<") != std::string::npos ? 1 : 0;
    if (c.labels == wrapping) {
      EXPECT_NE(svg.find(">Males aged 10<"), std::string::npos);
      EXPECT_NE(svg.find(">to 19 years<"), std::string::npos);
      shown = 4;
    }
    EXPECT_EQ(shown, c.shown);
  }
}

// A bar chart's legend reads like its bars, left to right, each entry in
// its series' colour, also when a series has no bar in the first stratum;
// series without bars come last.
TEST(GraphLayout, BarLegendFollowsTheBarsFromLeftToRight) {
  ChartData chart;
  chart.bars = true;
  chart.series = {{"North", {}, {}, {{1.15, 0, 0.2}, {2.15, 0, 0.3}}, {}},
                  {"South", {}, {}, {{3.0, 0, 0.2}}, {}},
                  {"Points only", {{1.0, 0.5}}, {}, {}, {}},
                  {"Reference", {}, {}, {{0.85, 0, 0.1}}, {}}};
  std::vector<std::string> texts;
  std::vector<std::string_view> colors;
  for (const LegendEntry& entry : legend_entries(chart)) {
    texts.push_back(entry.text);
    colors.push_back(entry.color);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"Reference", "South", "North", "Points only"}));
  EXPECT_EQ(colors, (std::vector<std::string_view>{series_color(3), series_color(1), series_color(0), series_color(2)}));
  chart.bars = false;  // markers keep the order of the series
  EXPECT_EQ(legend_entries(chart).front().text, "North");
}

// A shortened label keeps whole characters: cut anywhere, texts of 1- to
// 4-byte characters stay valid UTF-8 and end in the ellipsis.
TEST(GraphLayout, ShortenedLabelsKeepWholeCharacters) {
  for (const std::string letter : {"a", "\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x98\x80"}) {
    std::string text;
    for (int i = 0; i < 40; ++i) text += letter;
    for (double width = 10; width < 200; width += 7) {
      SCOPED_TRACE(letter + " " + std::to_string(width));
      const std::string cut = shortened(text, width, kTickSize);
      ASSERT_GE(cut.size(), 3u);
      EXPECT_EQ(cut.substr(cut.size() - 3), "\xE2\x80\xA6");
      EXPECT_EQ((cut.size() - 3) % letter.size(), 0u);  // whole letters before the ellipsis
    }
  }
}

// Stratum labels too long for the axis are shortened, yet stay told apart
// when they differ only at their end (the last strata variable's level):
// then they are cut in the middle and keep both ends. Labels that differ
// early keep their start and are cut at the end.
TEST(GraphLayout, ShortenedStratumLabelsStayDistinct) {
  struct Case {
    const char* name;
    std::vector<std::string> labels;
    bool cut_in_middle;
  };
  std::vector<std::string> same_start, early;
  for (const char* age : {"00-44", "45-64", "65+"}) {
    for (const char* sex : {"Female", "Male"}) {
      same_start.push_back(std::string(sex) + " Metropolitan_area_core_districts " + age);
      early.push_back(std::string(age) + ' ' + sex + " Metropolitan_area_core_districts and suburbs");
    }
  }
  std::vector<std::string> wide_letters;  // two-byte and three-byte letters around the cut
  for (const char* last : {"\u00C9", "\u00C8", "\u6771"}) wide_letters.push_back("\u6771\u4EAC\u00E9" + std::string(40, 'x') + last);
  const Case cases[] = {{"alike to the end", same_start, true},
                        {"different from the start", early, false},
                        {"wide letters", wide_letters, true}};
  for (const Case& c : cases) {
    for (const bool horizontal : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (horizontal ? ", horizontal" : ", vertical"));
      ChartData chart;
      chart.horizontal = horizontal;
      chart.strata = static_cast<int>(c.labels.size());
      chart.tick_labels = c.labels;
      const StratumLabels labels = fit_stratum_labels(chart, 20);
      ASSERT_EQ(labels.lines.size(), c.labels.size());
      std::set<std::string> shown;
      for (std::size_t i = 0; i < c.labels.size(); ++i) {
        const std::string& text = labels.lines[i].at(0);
        const std::size_t ellipsis = text.find("\u2026");
        ASSERT_NE(ellipsis, std::string::npos) << text;
        for (std::size_t at = 0, length = 1; at < text.size(); at += length) {
          length = static_cast<unsigned char>(text[at]) < 0x80 ? 1 : text::decode_utf8(text, at).length;
          ASSERT_NE(length, 0u) << "a character cut at byte " << at << " of " << text;
        }
        EXPECT_TRUE(c.labels[i].starts_with(text.substr(0, ellipsis))) << text;
        EXPECT_TRUE(c.labels[i].ends_with(text.substr(ellipsis + 3))) << text;
        EXPECT_EQ(ellipsis + 3 < text.size(), c.cut_in_middle) << text;
        shown.insert(text);
      }
      EXPECT_EQ(shown.size(), c.labels.size());
    }
  }
}

// Legend entries too long for a row stay told apart: two populations
// whose long names differ only at their end keep both ends; names that
// differ early keep their start.
TEST(GraphLayout, ShortenedLegendEntriesStayDistinct) {
  const std::string start = "Study Population (cohort=Residents of the northern administrative district registered "
                            "with a general practitioner since 2010, ";
  struct Case {
    const char* name;
    std::vector<std::string> series;
    bool cut_in_middle;
  };
  const Case cases[] = {{"alike to the end", {start + "cohort A)", start + "cohort B)"}, true},
                        {"different from the start", {"A " + start + "x)", "B " + start + "x)"}, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChartData chart;
    for (const std::string& name : c.series) chart.series.push_back({name, {{1.0, 0.5}}, {}, {}, {}});
    std::vector<LegendEntry> entries = legend_entries(chart);
    place_legend(entries, kChartWidth - 2 * kChartMargin);
    ASSERT_EQ(entries.size(), c.series.size());
    std::set<std::string> shown;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::string& text = entries[i].text;
      const std::size_t ellipsis = text.find("\u2026");
      ASSERT_NE(ellipsis, std::string::npos) << text;
      EXPECT_TRUE(c.series[i].starts_with(text.substr(0, ellipsis))) << text;
      EXPECT_TRUE(c.series[i].ends_with(text.substr(ellipsis + 3))) << text;
      EXPECT_EQ(ellipsis + 3 < text.size(), c.cut_in_middle) << text;
      EXPECT_LE(text_width(text, kLegendSize), kChartWidth - 2 * kChartMargin) << text;
      shown.insert(text);
    }
    EXPECT_EQ(shown.size(), c.series.size());
  }
}

// A title or BY line wider than the drawing breaks at blanks into lines
// that fit, every word kept in order; a word wider than a line is shortened.
TEST(GraphLayout, LongTitlesWrapIntoLinesThatFit) {
  const std::string by = "cause=Diseases of the circulatory system including cerebrovascular disease "
                         "sex=women living in rural and remote municipalities of the northern provinces";
  for (const bool bold : {false, true}) {
    SCOPED_TRACE(bold);
    const std::vector<std::string> lines = wrapped_lines(by, 300, kSubtitleSize, bold);
    ASSERT_GE(lines.size(), 3u);
    std::string joined;
    for (const std::string& line : lines) {
      EXPECT_LE(text_width(line, kSubtitleSize) * (bold ? 1.1 : 1.0), 300) << line;
      joined += (joined.empty() ? "" : " ") + line;
    }
    EXPECT_EQ(joined, by);
  }
  EXPECT_EQ(wrapped_lines("Short title", 300, kTitleSize, true), std::vector<std::string>{"Short title"});
  const std::vector<std::string> word = wrapped_lines("a " + std::string(200, 'W') + " b", 300, kTitleSize, false);
  ASSERT_EQ(word.size(), 3u);
  EXPECT_EQ(word[1].substr(word[1].size() - 3), "\xE2\x80\xA6");
  EXPECT_LE(text_width(word[1], kTitleSize), 300);
}

// Rotated labels lean left from their ticks; long ones near the axis start
// must still begin inside the chart.
TEST(GraphSvg, RotatedLabelsStayInsideTheChart) {
  std::vector<std::string> labels;
  for (int i = 0; i < 30; ++i) labels.push_back("Northern Highlands " + std::to_string(10 + i) + " years and over");
  const std::string svg = render_graph_svg(rate_plot(labels).build("Vesk.Quilvar.Graphics.StrataRatePlot"));
  const std::regex rotated(R"re(<text x="([-0-9.]+)"[^>]*rotate\(-45[^>]*>([^<]*)<)re");
  std::size_t seen = 0;
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), rotated); it != std::sregex_iterator(); ++it, ++seen) {
    const double end = std::stod((*it)[1].str());
    const double start = end - text_width((*it)[2].str(), kTickSize) * std::sqrt(0.5);
    EXPECT_GE(start, 0.0) << (*it)[2].str();
  }
  EXPECT_GT(seen, 5u);
}

// A horizontal chart's value tick labels stand centred under their ticks:
// the last one, however wide, ends inside the drawing.
TEST(GraphLayout, HorizontalValueTickLabelsEndInsideTheDrawing) {
  ChartData chart;
  chart.horizontal = true;
  chart.strata = 2;
  chart.axis_start = 0.1;
  chart.axis_end = 2.9;
  for (const std::vector<double>& values : {std::vector<double>{0, 7.9e6}, {-1e10, 1.2e10}, {0.5, 0.9}}) {
    const ChartLayout layout = lay_out_chart(chart, make_value_axis(values, false));
    const Frame& f = layout.frame;
    const double last = f.values.ticks.back();
    SCOPED_TRACE(f.values.tick_label(last));
    EXPECT_LE(f.across(last) + text_width(f.values.tick_label(last), kTickSize) / 2, kChartWidth - 2);
  }
}

TEST(GraphSvg, RatioPlotsUseALogAxisAndMarkNoEffect) {
  const std::string svg = render_graph_svg(ratio_plot({0.5, 2, 4}).build("Vesk.Quilvar.Graphics.StrataEffectPlot"));
  for (const char* tick : {">0.2<", ">0.5<", ">1<", ">2<", ">5<", ">10<"}) EXPECT_NE(svg.find(tick), std::string::npos) << tick;
  EXPECT_NE(svg.find("stroke=\"#888888\""), std::string::npos);  // the line at 1
  EXPECT_EQ(occurrences(svg, "<circle"), 4u);                    // three strata and the legend
  EXPECT_EQ(svg.find(kBelowLogAxisText), std::string::npos);
  // A ratio of 0 gets an arrow at the axis's foot and its legend entry, not a point.
  const std::string zero = render_graph_svg(ratio_plot({0, 2, 4}).build("Vesk.Quilvar.Graphics.StrataEffectPlot"));
  EXPECT_EQ(occurrences(zero, "<circle"), 3u);
  EXPECT_EQ(occurrences(zero, "stroke-width=\"1.6\""), 4u);  // the arrow and its legend glyph, two strokes each
  EXPECT_EQ(occurrences(svg, "stroke-width=\"1.6\""), 0u);
  EXPECT_NE(zero.find(kBelowLogAxisText), std::string::npos);
}

// The legend draws the arrow for a ratio of 0 and the limit bar as the plot
// draws them: in a horizontal chart the arrow points left and the bar lies
// along the value axis.
TEST(GraphSvg, LegendGlyphsFollowTheChartsOrientation) {
  constexpr double kCapHalfWidthForTest = 4;  // a cap is 8 pixels long, a bar longer
  const std::regex line(R"re(<line x1="([-0-9.]+)" y1="([-0-9.]+)" x2="([-0-9.]+)" y2="([-0-9.]+)" stroke="(#[0-9A-Fa-f]+)" stroke-width="(1\.[46])"/>)re");
  const auto sign = [](double d) { return d > 0 ? 1 : (d < 0 ? -1 : 0); };
  for (const char* path : {"Vesk.Quilvar.Graphics.StrataEffectPlot", "Vesk.Quilvar.Graphics.StrataEffectPlotHoriz"}) {
    SCOPED_TRACE(path);
    GraphBuilder b = ratio_plot({0, 2, 4});
    b.number("_Cl", 1).text("_ClLabel", "95% Lognormal Confidence Limits");
    const std::string svg = render_graph_svg(b.build(path));
    std::vector<std::pair<int, int>> arrow_plot, arrow_legend;  // signs of each stroke's run and rise
    std::vector<bool> bar_plot, bar_legend;                     // whether a limit's first stroke is level
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), line); it != std::sregex_iterator(); ++it) {
      const std::smatch& m = *it;
      const double dx = std::stod(m[3]) - std::stod(m[1]), dy = std::stod(m[4]) - std::stod(m[2]);
      const bool legend = m[5] == "#555555";
      if (m[6] == "1.6") {
        (legend ? arrow_legend : arrow_plot).emplace_back(sign(dx), sign(dy));
      } else if (std::abs(dx) > 2 * kCapHalfWidthForTest || std::abs(dy) > 2 * kCapHalfWidthForTest) {
        (legend ? bar_legend : bar_plot).push_back(dy == 0);
      }
    }
    ASSERT_EQ(arrow_plot.size(), 2u);
    EXPECT_EQ(arrow_legend, arrow_plot);
    ASSERT_FALSE(bar_plot.empty());
    ASSERT_EQ(bar_legend.size(), 1u);
    EXPECT_EQ(bar_legend[0], bar_plot[0]);
  }
}

// The limits' legend entry stands for bars the chart draws: a BY group
// whose strata have no limits (SMRs of 0, ratios of 0) draws none and names
// none; one bar, even one-sided, is enough for the entry.
TEST(GraphSvg, LimitsAreInTheLegendOnlyWhenDrawn) {
  struct Case {
    const char* name;
    bool ratio;  // a log axis, else a linear one as the SMR plot's
    std::vector<std::optional<double>> estimates, lowers, uppers;
    bool entry;
  };
  const Case cases[] = {
      {"SMRs of 0 without limits", false, {0.0, 0.0}, {kNone, kNone}, {kNone, kNone}, false},
      {"ratios of 0 without limits", true, {0.0, 0.0}, {kNone, kNone}, {kNone, kNone}, false},
      {"an upper limit alone", false, {0.0, 0.0}, {kNone, kNone}, {kNone, 3.0}, true},
      {"limits of 0 on a log axis", true, {0.0, 2.0}, {0.0, kNone}, {0.0, kNone}, false},
      {"both limits", true, {0.5, 2.0}, {0.25, kNone}, {1.0, kNone}, true},
  };
  const std::string label = "95% Poisson Confidence Limits";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GraphBuilder b = ratio_plot({1, 1});
    for (DynamicVariable& variable : b.dynamic) {
      if (variable.name == "_Ratio") variable.value.number = c.ratio ? 1 : 0;
    }
    b.number("_Cl", 1).text("_ClLabel", label);
    for (std::size_t i = 0; i < 2; ++i) {
      const double index = static_cast<double>(i + 1);
      b.rows[4 + 2 * i] = {index, c.estimates[i], kNone, kNone, kNone, kNone};
      b.rows[5 + 2 * i] = {index, kNone, c.lowers[i], c.uppers[i], kNone, kNone};
    }
    const std::string svg = render_graph_svg(b.build(c.ratio ? "Vesk.Quilvar.Graphics.StrataEffectPlot"
                                                             : "Vesk.Quilvar.Graphics.StrataSMRPlot"));
    ASSERT_FALSE(svg.empty());
    EXPECT_EQ(svg.find(label) != std::string::npos, c.entry);
  }
}

// A limit the tables give without its partner (a Poisson quantile that
// could not be computed) is drawn from the estimate to that limit, capped
// at the limit only; with no estimate to start from nothing is drawn.
TEST(GraphSvg, AOneSidedLimitIsDrawnFromTheEstimate) {
  struct Case {
    const char* name;
    std::optional<double> estimate, lower, upper;
    std::size_t strokes;          // bar and caps of the first stratum
    std::optional<double> start;  // the value the bar starts from
  };
  const Case cases[] = {
      {"both limits", 2.0, 1.0, 4.0, 3, 1.0},
      {"the upper limit alone", 2.0, kNone, 4.0, 2, 2.0},
      {"the lower limit alone", 2.0, 1.0, kNone, 2, 1.0},
      {"no estimate", kNone, kNone, 4.0, 0, kNone},
      {"no limits", 2.0, kNone, kNone, 0, kNone},
  };
  const std::regex stroke(R"re(<line x1="([-0-9.]+)" y1="([-0-9.]+)" x2="([-0-9.]+)" y2="([-0-9.]+)" stroke="#0072B2" stroke-width="1.4"/>)re");
  const std::regex tick(R"re(<line x1="[-0-9.]+" y1="([-0-9.]+)" x2="[-0-9.]+" y2="[-0-9.]+" stroke="#e4e4e4"[^>]*/>\n<text[^>]*>([-0-9.]+)<)re");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GraphBuilder b = ratio_plot({3});
    for (DynamicVariable& variable : b.dynamic) {
      if (variable.name == "_Ratio") variable.value.number = 0;  // a linear axis, as the SMR plot's
    }
    b.rows[4] = {1.0, c.estimate, kNone, kNone, kNone, kNone};
    b.rows[5] = {1.0, kNone, c.lower, c.upper, kNone, kNone};
    const std::string svg = render_graph_svg(b.build("Vesk.Quilvar.Graphics.StrataSMRPlot"));
    // The value of a pixel, from the first two value ticks.
    std::vector<std::pair<double, double>> ticks;  // pixel, value
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), tick); it != std::sregex_iterator(); ++it) {
      ticks.emplace_back(std::stod((*it)[1]), std::stod((*it)[2]));
    }
    ASSERT_GE(ticks.size(), 2u);
    const auto value_of = [&ticks](double pixel) {
      return ticks[0].second + (pixel - ticks[0].first) * (ticks[1].second - ticks[0].second) / (ticks[1].first - ticks[0].first);
    };
    std::vector<std::smatch> lines;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), stroke); it != std::sregex_iterator(); ++it) lines.push_back(*it);
    ASSERT_EQ(lines.size(), c.strokes);
    if (!c.start) continue;
    // The bar runs along the value axis from the start to the limit given.
    const std::smatch& bar = lines[0];
    EXPECT_EQ(bar[1], bar[3]);
    const double from = value_of(std::stod(bar[2])), to = value_of(std::stod(bar[4]));
    EXPECT_NEAR(from, *c.start, 0.02);
    EXPECT_NEAR(to, c.upper ? *c.upper : *c.estimate, 0.02);
  }
}

TEST(GraphSvg, OtherGraphsAreNotDrawn) {
  EXPECT_EQ(render_graph_svg(rate_plot({"A"}).build("Vesk.Quilvar.Graphics.Histogram")), "");
  Graph empty;
  empty.template_path = "Vesk.Quilvar.Graphics.StrataRatePlot";
  EXPECT_EQ(render_graph_svg(empty), "");
}

// Numbers in the markup: rounded to hundredths, no trailing zeros, no
// negative zero. Checked against the C library's fixed formatting over
// values of every size the drawing uses and some it never should.
TEST(SvgNumber, HundredthsWithoutTrailingZeros) {
  const auto reference = [](double value) {
    char buffer[400];
    const double rounded = std::round(value * 100) / 100;
    std::snprintf(buffer, sizeof buffer, "%.2f", rounded == 0 ? 0.0 : rounded);
    std::string text(buffer);
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text;
  };
  for (const auto& [value, text] : std::vector<std::pair<double, std::string>>{
           {0.0, "0"}, {-0.004, "0"}, {0.005, "0.01"}, {1.5, "1.5"}, {-2.25, "-2.25"}, {12.345, "12.35"},
           {640.0, "640"}, {-0.1, "-0.1"}, {1e15, "1000000000000000"}, {-3e20, "-300000000000000000000"}}) {
    SCOPED_TRACE(value);
    EXPECT_EQ(svg_number(value), text);
  }
  std::mt19937_64 random(11);
  for (int i = 0; i < 20000; ++i) {
    const double scale = std::pow(10.0, static_cast<double>(random() % 16) - 3);
    const double value = (static_cast<double>(random() % 2000001) - 1000000.0) / 1000000.0 * scale;
    ASSERT_EQ(svg_number(value), reference(value)) << value;
  }
}

}  // namespace
}  // namespace quilvar::runtime::output
