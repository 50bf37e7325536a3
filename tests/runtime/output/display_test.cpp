// The display form of tables after their stored templates: header texts,
// hidden columns, spanning headers on levels, and the listing's layout.
#include "runtime/output/display.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "runtime/output/destination.hpp"

namespace quilvar::runtime::output {
namespace {

ColumnDef numeric_column(const char* name, const char* label = "") {
  ColumnDef column;
  column.name = name;
  column.label = label;
  return column;
}

// A table of the given columns with one row of numbers 1, 2, 3, ...
Table make_table(const char* path, std::vector<ColumnDef> columns,
                 std::vector<std::pair<const char*, const char*>> dynamic) {
  Table table;
  table.name = "T";
  table.label = "Label of T";
  table.template_path = path;
  for (const auto& [name, value] : dynamic) table.dynamic.push_back(DynamicVariable{name, Value{false, 0, value}});
  for (std::size_t index = 0; index < columns.size(); ++index) {
    table.cells.push_back(Cell{static_cast<double>(index + 1), 0, 0});
  }
  table.columns = std::make_shared<const std::vector<ColumnDef>>(std::move(columns));
  return table;
}

std::vector<std::string> headers(const DisplayTable& display) {
  std::vector<std::string> texts;
  for (const DisplayColumn& column : display.columns) texts.push_back(column.header);
  return texts;
}

const DisplaySpan* find_span(const DisplayTable& display, const std::string& text) {
  for (const DisplaySpan& span : display.spans) {
    if (span.text == text) return &span;
  }
  return nullptr;
}

TEST(DisplayTable, HeadersComeFromRulesThenLabelsThenStylesThenNames) {
  const Table table = make_table("Vesk.Quilvar.Effect",
                                 {numeric_column("RateMult"), numeric_column("Rate"), numeric_column("CompRate"),
                                  numeric_column("RateRatio"), numeric_column("Sex", "Sex of Person"),
                                  numeric_column("ObservedEvents"), numeric_column("Mystery")},
                                 {{"_Pop1_", "Exposed"}, {"_EffectHeader_", "Rate Ratios"}});
  const DisplayTable display = make_display_table(table);
  EXPECT_EQ(display.title, "Rate Ratios");
  // RateMult is hidden; _Pop2_ is not set, so CompRate keeps its stored header.
  EXPECT_EQ(headers(display), (std::vector<std::string>{"Exposed", "Comparison Rate", "Estimate", "Sex of Person",
                                                        "Observed Events", "Mystery"}));
  EXPECT_EQ(display.cell(0, 0), "2.0000");
  EXPECT_EQ(display.cell(0, 4), "6");
}

// A numeric GROUP= value arrives right-aligned in its formatted width; the
// header (the JSON label and the HTML heading too) is the value alone.
TEST(DisplayTable, HeadersFromRightAlignedValuesLoseTheirLeadingBlanks) {
  const Table table = make_table("Vesk.Quilvar.Effect",
                                 {numeric_column("Rate"), numeric_column("CompRate"), numeric_column("RateRatio")},
                                 {{"_Pop1_", "        2021"}, {"_Pop2_", "           1"}});
  EXPECT_EQ(headers(make_display_table(table)), (std::vector<std::string>{"2021", "1", "Estimate"}));
}

TEST(DisplayTable, OuterSpansSitAboveInnerOnesAndLongTextsWidenTheirColumns) {
  const std::string limits = "95% Lognormal Confidence Limits for the Rate";
  const Table table = make_table("Vesk.Quilvar.StrataStats",
                                 {numeric_column("ObservedEvents"), numeric_column("CrudeRate"),
                                  numeric_column("LowerCL"), numeric_column("UpperCL"), numeric_column("RefPopTime"),
                                  numeric_column("ExpectedEvents")},
                                 {{"_StrataHeader_", "Stratum Rates"},
                                  {"PopStart", "ObservedEvents"},
                                  {"PopEnd", "UpperCL"},
                                  {"_SpanCL_", limits.c_str()},
                                  {"RefText", "Reference Population"},
                                  {"RefEnd", "ExpectedEvents"},
                                  {"RefStart", "RefPopTime"}});
  const DisplayTable display = make_display_table(table);
  const DisplaySpan* population = find_span(display, "Study Population");
  const DisplaySpan* cl = find_span(display, limits);
  const DisplaySpan* reference = find_span(display, "Reference Population");
  ASSERT_TRUE(population != nullptr && cl != nullptr && reference != nullptr);
  EXPECT_EQ(population->first, 0u);
  EXPECT_EQ(population->last, 3u);
  EXPECT_EQ(cl->first, 2u);
  EXPECT_EQ(cl->last, 3u);
  EXPECT_EQ(reference->first, 4u);
  EXPECT_EQ(reference->last, 5u);
  EXPECT_EQ(cl->level, 0);
  EXPECT_EQ(reference->level, 0);
  EXPECT_EQ(population->level, 1);
  EXPECT_EQ(display.span_levels, 2);
  // The long text wraps into two lines that fit over its widened columns.
  const std::size_t span_width = display.column_start(3) + display.columns[3].width - display.column_start(2);
  ASSERT_EQ(cl->lines.size(), 2u);
  EXPECT_EQ(cl->lines[0] + " " + cl->lines[1], limits);
  EXPECT_LE(std::max(cl->lines[0].size(), cl->lines[1].size()) + 2, span_width);
  EXPECT_EQ(display.level_heights, (std::vector<std::size_t>{3, 1}));
  ASSERT_EQ(population->lines.size(), 1u);
  EXPECT_GE(display.column_start(3) + display.columns[3].width, population->text.size() + 4);
}

// A span's two lines each fit inside its decoration, a long word included,
// and a span named from its last column back to its first covers the same
// columns.
TEST(DisplayTable, WrappedSpansFitTheirLongestWordAndReversedEndsCoverTheSameColumns) {
  const std::string limits = "Limits Supercalifragilisticexpialidocious";
  const Table table = make_table("Vesk.Quilvar.StrataStats",
                                 {numeric_column("ObservedEvents"), numeric_column("CrudeRate"),
                                  numeric_column("LowerCL"), numeric_column("UpperCL"), numeric_column("RefPopTime"),
                                  numeric_column("ExpectedEvents")},
                                 {{"_SpanCL_", limits.c_str()},
                                  {"RefText", "Reference Population"},
                                  {"RefStart", "ExpectedEvents"},
                                  {"RefEnd", "RefPopTime"}});
  const DisplayTable display = make_display_table(table);
  const DisplaySpan* cl = find_span(display, limits);
  const DisplaySpan* reference = find_span(display, "Reference Population");
  ASSERT_TRUE(cl != nullptr && reference != nullptr);
  EXPECT_EQ(reference->first, 4u);
  EXPECT_EQ(reference->last, 5u);
  const std::size_t span_width = display.column_start(3) + display.columns[3].width - display.column_start(2);
  ASSERT_EQ(cl->lines.size(), 2u);
  EXPECT_EQ(cl->lines[0], "Limits");
  EXPECT_EQ(cl->lines[1], "Supercalifragilisticexpialidocious");
  EXPECT_LE(cl->lines[1].size() + 2, span_width);
}

// A numeric column given a character format keeps the display of its style,
// and one named like a character column's style shows its numbers whole.
TEST(DisplayTable, NumericColumnsNeverTakeACharacterFormat) {
  ColumnDef events = numeric_column("ObservedEvents");
  events.format = "$8.";
  Table table = make_table("Somewhere.Else", {events, numeric_column("Method")}, {});
  table.cells[0].number = 412.5;
  table.cells[1].number = 2.5;
  const DisplayTable display = make_display_table(table);
  EXPECT_EQ(display.cell(0, 0), "412.5000");
  EXPECT_EQ(display.cell(0, 1), "2.5");
}

// Columns of small values take more decimals, all of them the same in a
// table, and so do columns of zeros beside them; columns of larger values,
// explicit formats and rounding residue keep four.
TEST(DisplayTable, ColumnsOfSmallValuesShowMoreDecimalsAlike) {
  const auto cells_of = [](const std::vector<double>& values, const char* format = "") {
    std::vector<ColumnDef> columns{numeric_column("PopTimeProp"), numeric_column("CrudeRisk"),
                                   numeric_column("LowerCL"), numeric_column("UpperCL")};
    columns[1].format = format;
    Table table = make_table("Vesk.Quilvar.StrataStats", columns, {});
    for (std::size_t i = 0; i < values.size(); ++i) table.cells[i].number = values[i];
    const DisplayTable display = make_display_table(table);
    std::vector<std::string> texts;
    for (std::size_t column = 0; column < values.size(); ++column) texts.emplace_back(display.cell(0, column));
    return texts;
  };
  using Texts = std::vector<std::string>;
  // The lower limit alone would take eight decimals; it takes the estimate's six.
  EXPECT_EQ(cells_of({0.2391, 0.00011765, 0.0000529, 0.00026212}), (Texts{"0.2391", "0.000118", "0.000053", "0.000262"}));
  EXPECT_EQ(cells_of({0.2391, 0.00005831, 0.00003528, 0.00008476}),
            (Texts{"0.2391", "0.00005831", "0.00003528", "0.00008476"}));
  EXPECT_EQ(cells_of({0.2391, 0.0099994, 0.005, 0.01}), (Texts{"0.2391", "0.009999", "0.005000", "0.0100"}));
  EXPECT_EQ(cells_of({0.2391, -0.003, 0.0, 0.0}), (Texts{"0.2391", "-0.003000", "0.000000", "0.000000"}));
  EXPECT_EQ(cells_of({0.2391, 1e-17, -1e-17, 0.0}), (Texts{"0.2391", "0.0000", "0.0000", "0.0000"}));
  // Ten decimals and a sign pass the format's width of 12 without E notation.
  EXPECT_EQ(cells_of({0.2391, -0.00000025, 0.0000001, 0.0}),
            (Texts{"0.2391", "-0.0000002500", "0.0000001000", "0.0000000000"}));
  EXPECT_EQ(cells_of({0.2391, 0.00005831, 0.00003528, 0.00008476}, "12.4"),
            (Texts{"0.2391", "0.0001", "0.00003528", "0.00008476"}));
}

// A column of rarer values beside the crude rates (reference rates of a rare
// disease per person-year) keeps the decimals that show each of its values,
// rather than the crude rates' six, which would show 3.3E-7 as 0.000000.
TEST(DisplayTable, SmallColumnsKeepTheDecimalsThatShowTheirValues) {
  struct Case {
    std::vector<double> rows;  // CrudeRate, LowerCL, RefCrudeRate of two rows
    std::vector<std::string> texts;
  };
  const std::vector<Case> cases{
      {{0.0022222, 0.00026, 0.0000547, 0.0, 0.0, 0.00000033},
       {"0.002222", "0.000260", "0.00005470", "0.000000", "0.000000", "0.00000033"}},
      {{0.0022222, 0.00026, 0.0000547, 0.0, 0.0, 0.0000021},
       {"0.002222", "0.000260", "0.000055", "0.000000", "0.000000", "0.000002"}},
      // Residue that no decimals would show leaves the columns alike.
      {{0.0022222, 0.00026, 0.0000547, 0.0, 1e-17, 0.0},
       {"0.002222", "0.000260", "0.000055", "0.000000", "0.000000", "0.000000"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.texts[5]);
    Table table = make_table("Vesk.Quilvar.StrataStats",
                             {numeric_column("CrudeRate"), numeric_column("LowerCL"), numeric_column("RefCrudeRate")},
                             {});
    table.cells.resize(test.rows.size());
    for (std::size_t i = 0; i < test.rows.size(); ++i) table.cells[i] = Cell{test.rows[i], 0, 0};
    const DisplayTable display = make_display_table(table);
    std::vector<std::string> texts;
    for (std::size_t row = 0; row < 2; ++row) {
      for (std::size_t column = 0; column < 3; ++column) texts.emplace_back(display.cell(row, column));
    }
    EXPECT_EQ(texts, test.texts);
  }
}

TEST(DisplayTable, SpansNamingAbsentColumnsOrTextsAreLeftOut) {
  const Table table = make_table("Vesk.Quilvar.StrataStats", {numeric_column("ObservedEvents")},
                                 {{"PopStart", "ObservedEvents"}, {"PopEnd", "UpperCL"}, {"RefText", "Reference"}});
  const DisplayTable display = make_display_table(table);
  EXPECT_TRUE(display.spans.empty());
  EXPECT_EQ(display.title, "Label of T");
}

TEST(ListingDestination, LaysOutAnUnknownTemplateWithColumnNamesAsHeaders) {
  Table table = make_table("Somewhere.Else", {numeric_column("Name"), numeric_column("Count")}, {});
  auto columns = std::make_shared<std::vector<ColumnDef>>(*table.columns);
  (*columns)[0].numeric = false;
  table.columns = columns;
  table.texts = "abbc\nd";  // a line break inside a value shows as a blank
  table.cells = {Cell{0, 0, 1}, Cell{1, 0, 0}, Cell{0, 1, 2}, Cell{22.5, 0, 0}, Cell{0, 3, 3}, Cell{3, 0, 0}};
  std::ostringstream out;
  const auto listing = make_listing_destination(&out);
  const DisplayTable display = make_display_table(table);
  listing->write_table(table, &display);
  EXPECT_EQ(out.str(),
            "Label of T\n"
            "\n"
            "Name  Count\n"
            "a         1\n"
            "bb     22.5\n"
            "c d       3\n"
            "\n");
}

TEST(ListingDestination, WrapsLongHeadersAndAlignsTheirLastLines) {
  const Table table = make_table("Vesk.Quilvar.Smr", {numeric_column("ObservedEvents"), numeric_column("Z")}, {});
  std::ostringstream out;
  const auto listing = make_listing_destination(&out);
  const DisplayTable display = make_display_table(table);
  listing->write_table(table, &display);
  EXPECT_EQ(out.str(),
            "   Label of T\n"
            "\n"
            "  Observed\n"
            "    Events     Z\n"
            "         1  2.00\n"
            "\n");
}

// Values with accented and East Asian letters take as many listing columns
// as they show, not as many as their bytes: the columns after them, the
// headers over them, the BY line and the title keep their places.
TEST(ListingDestination, AlignsTextsByTheColumnsTheyShowNotTheirBytes) {
  Table table = make_table("Somewhere.Else", {numeric_column("Area"), numeric_column("Z\xC3\xBCrich")}, {});
  auto columns = std::make_shared<std::vector<ColumnDef>>(*table.columns);
  (*columns)[0].numeric = false;
  table.columns = columns;
  table.texts = "Z\xC3\xBCrich" "\xC3\x8Ele" "\xE6\x9D\xB1\xE4\xBA\xAC" "Nord";
  table.cells = {Cell{0, 0, 7},  Cell{1.5, 0, 0}, Cell{0, 7, 4},  Cell{22, 0, 0},
                 Cell{0, 11, 6}, Cell{333, 0, 0}, Cell{0, 17, 4}, Cell{4, 0, 0}};
  std::ostringstream out;
  const auto listing = make_listing_destination(&out);
  StepInfo step;
  step.title = "Mortalit\xC3\xA9";
  listing->begin_step(step);
  table.origin.by = {ByValue{"R\xC3\xA9gion", false, 0, "\xC3\x8Ele-de-France"}};
  const DisplayTable display = make_display_table(table);
  listing->write_table(table, &display);
  const std::string dashes(37, '-');
  EXPECT_EQ(out.str(), std::string(43, ' ') + "Mortalit\xC3\xA9\n\n" + dashes +
                           " R\xC3\xA9gion=\xC3\x8Ele-de-France " + dashes +
                           "\n\n"
                           "  Label of T\n"
                           "\n"
                           "Area    Z\xC3\xBCrich\n"
                           "Z\xC3\xBCrich     1.5\n"
                           "\xC3\x8Ele         22\n"
                           "\xE6\x9D\xB1\xE4\xBA\xAC       333\n"
                           "Nord         4\n"
                           "\n");
}

// A BY value holding a line break or a tab (a quoted field of the data)
// keeps its BY line on one line, as its cells do.
TEST(ListingDestination, ByLinesShowLineBreaksAndTabsOfValuesAsBlanks) {
  const struct {
    const char* value;
    const char* shown;
  } cases[] = {{"line1\nline2", "line1 line2"}, {"tab\there", "tab here"}, {"crlf\r\n", "crlf"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    Table table = make_table("Somewhere.Else", {numeric_column("N")}, {});
    table.origin.by = {ByValue{"Area", false, 0, c.value}};
    std::ostringstream out;
    const auto listing = make_listing_destination(&out);
    listing->begin_step(StepInfo{});
    const DisplayTable display = make_display_table(table);
    listing->write_table(table, &display);
    const std::string text = out.str();
    const std::string first_line = text.substr(0, text.find('\n'));
    EXPECT_NE(first_line.find(std::string(" Area=") + c.shown + " "), std::string::npos) << first_line;
    EXPECT_EQ(first_line.size(), 96U);
  }
}

// A GROUP= value that names a column (a quoted field of the data holding a
// line break or a tab) heads its column on the header lines, its control
// characters shown as blanks, as in the cells.
TEST(ListingDestination, HeadersFromValuesShowLineBreaksAndTabsAsBlanks) {
  const struct {
    const char* value;
    const char* shown;
  } cases[] = {{"Line\nBreak", "Line Break"}, {"Tab\there", "Tab here"}, {"North\r\n", "North"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const Table table = make_table("Vesk.Quilvar.Effect",
                                   {numeric_column("Rate"), numeric_column("CompRate"), numeric_column("RateRatio")},
                                   {{"_Pop1_", c.value}, {"_Pop2_", "Other"}});
    const DisplayTable display = make_display_table(table);
    EXPECT_EQ(display.columns[0].header.find_first_of("\r\n\t"), std::string::npos);
    std::ostringstream out;
    make_listing_destination(&out)->write_table(table, &display);
    std::istringstream lines(out.str());
    std::vector<std::string> texts;
    for (std::string line; std::getline(lines, line);) texts.push_back(line);
    // Title, blank line, the header line, the row, a blank line.
    ASSERT_EQ(texts.size(), 5U) << out.str();
    EXPECT_NE(texts[2].find(c.shown), std::string::npos) << texts[2];
    EXPECT_NE(texts[2].find("Estimate"), std::string::npos) << texts[2];
    EXPECT_EQ(texts[2].size(), texts[3].size()) << out.str();
  }
}

// Each BY group is headed once, before its first object; groups whose lines
// read alike once control characters are blanks are still two groups.
TEST(ListingDestination, EachByGroupGetsItsOwnHeadingEvenWhenTheLinesReadAlike) {
  const struct {
    const char* what;
    std::vector<std::vector<ByValue>> groups;  // the BY values of each table in turn
    std::size_t headings;
  } cases[] = {
      {"a line break, then a blank", {{{"Area", false, 0, "North\nEast"}}, {{"Area", false, 0, "North East"}}}, 2},
      {"a tab, then a blank", {{{"Area", false, 0, "A\tB"}}, {{"Area", false, 0, "A B"}}}, 2},
      {"two tables of one group", {{{"Area", false, 0, "North"}}, {{"Area", false, 0, "North"}}}, 1},
      {"one number twice", {{{"Year", true, 2020, ""}}, {{"Year", true, 2020, ""}}}, 1},
      {"two numbers", {{{"Year", true, 2020, ""}}, {{"Year", true, 2021, ""}}}, 2},
      {"values holding another variable's name",
       {{{"A", false, 0, "p B=q"}, {"B", false, 0, "r"}}, {{"A", false, 0, "p"}, {"B", false, 0, "q B=r"}}},
       2},
  };
  const std::filesystem::path report =
      std::filesystem::temp_directory_path() / ("quilvar_by_headings_" + std::to_string(::getpid()) + ".html");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::ostringstream out;
    std::string error;
    const auto listing = make_listing_destination(&out);
    const auto html = make_html_destination(report.string(), "p.qv", nullptr, 1 << 20, nullptr, &error);
    ASSERT_NE(html, nullptr) << error;
    const StepInfo step;  // destinations keep a pointer to it
    for (const auto& destination : {listing.get(), html.get()}) {
      destination->begin_step(step);
      for (const std::vector<ByValue>& by : c.groups) {
        Table table = make_table("Somewhere.Else", {numeric_column("N")}, {});
        table.origin.by = by;
        const DisplayTable display = make_display_table(table);
        destination->write_table(table, &display);
      }
      destination->end_step(step);
      ASSERT_TRUE(destination->finish(&error)) << error;
    }
    std::istringstream lines(out.str());
    std::size_t headings = 0;
    for (std::string line; std::getline(lines, line);) headings += line.starts_with("----") ? 1 : 0;
    EXPECT_EQ(headings, c.headings) << out.str();
    std::ifstream in(report);
    const std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t report_headings = 0;
    for (std::size_t at = page.find("<h3 class=\"by\""); at != std::string::npos;
         at = page.find("<h3 class=\"by\"", at + 1)) {
      ++report_headings;
    }
    EXPECT_EQ(report_headings, c.headings) << page;
  }
  std::filesystem::remove(report);
}

// Text cells show their control characters as blanks, DEL among them (a
// terminal gives it no column, which would shift the rest of the row).
TEST(DisplayTable, TextCellsShowControlCharactersAsBlanks) {
  const struct {
    const char* value;
    const char* shown;
  } cases[] = {{"a\nb", "a b"},     {"a\tb", "a b"}, {"a\x7f" "b", "a b"}, {"\x01x", " x"},
               {"a\x1f" "b", "a b"}, {"a b~", "a b~"}, {"plain", "plain"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    Table table;
    table.name = "T";
    ColumnDef column;
    column.name = "Area";
    column.numeric = false;
    table.columns = std::make_shared<const std::vector<ColumnDef>>(std::vector<ColumnDef>{column});
    table.texts = c.value;
    table.cells.push_back(Cell{0, 0, static_cast<std::uint32_t>(table.texts.size())});
    const DisplayTable display = make_display_table(table);
    EXPECT_EQ(display.cell(0, 0), c.shown);
  }
}

std::string listing_text(const Table& table, const DisplayTable& display) {
  std::ostringstream out;
  make_listing_destination(&out)->write_table(table, &display);
  return out.str();
}

// Tables of one kind in a row, as BY groups deliver them, changing one thing
// at a time: each display from the maker must be what a fresh layout gives.
TEST(DisplayMaker, GivesWhatAFreshLayoutGivesAsTablesChange) {
  const std::vector<ColumnDef> columns{numeric_column("ObservedEvents"), numeric_column("CrudeRate"),
                                       numeric_column("LowerCL"), numeric_column("UpperCL"),
                                       numeric_column("RefPopTime")};
  const std::vector<std::pair<const char*, const char*>> dynamic{
      {"PopStart", "ObservedEvents"}, {"PopEnd", "UpperCL"}, {"_SpanCL_", "95% Limits"}};
  const Table base = make_table("Vesk.Quilvar.StrataStats", columns, dynamic);
  Table wide = base;
  wide.cells[1].number = 123456789.25;  // a wider cell: fewer header lines, a wider span
  Table long_span = base;
  long_span.dynamic[2].value.text = "95% Lognormal Confidence Limits for the Crude Rate";
  Table relabelled = base;
  relabelled.label = "Another Label";
  Table more_columns = make_table("Vesk.Quilvar.StrataStats",
                                  {numeric_column("ObservedEvents"), numeric_column("CrudeRate", "Rate Here"),
                                   numeric_column("LowerCL"), numeric_column("UpperCL")},
                                  dynamic);
  Table other = make_table("Vesk.Quilvar.Smr", {numeric_column("ObservedEvents"), numeric_column("Z")}, {});
  other.name = "Other";
  // A header that wraps in two lines above narrow cells and fits one line above wide ones.
  Table wrapped = make_table("Somewhere.Else", {numeric_column("Count", "Long Label X"), numeric_column("Z")}, {});
  wrapped.name = "Wrapped";
  Table unwrapped = wrapped;
  unwrapped.cells[0].number = 123456789012.0;

  DisplayMaker maker;
  const std::vector<std::pair<const char*, const Table*>> sequence{
      {"first", &base},           {"same again", &base},         {"wider cells", &wide},
      {"narrow again", &base},    {"other table", &other},       {"back", &base},
      {"longer span", &long_span}, {"longer span again", &long_span}, {"first again", &base},
      {"new label", &relabelled}, {"old label", &base},          {"other columns", &more_columns},
      {"header in two lines", &wrapped},
      {"header in one line", &unwrapped}, {"header in two lines again", &wrapped}};
  for (const auto& [what, table] : sequence) {
    SCOPED_TRACE(what);
    const DisplayTable& made = maker.make(*table);
    EXPECT_EQ(made.title, make_display_table(*table).title);
    EXPECT_EQ(listing_text(*table, made), listing_text(*table, make_display_table(*table)));
  }
}

}  // namespace
}  // namespace quilvar::runtime::output
