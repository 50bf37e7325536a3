// The file destinations: written under temporary names and renamed only when
// the run finishes, nothing left behind by an abandoned or failed run, a
// self-contained HTML report, and CSV quoting and layouts.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "output_support.hpp"
#include "runtime/output/model.hpp"
#include "runtime/text/utf8.hpp"
#include "support/resident_memory.hpp"

namespace quilvar::runtime::output {
namespace {

using namespace testing;

std::vector<std::string> names_in(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

bool holds_temporary(const std::filesystem::path& folder) {
  for (const std::string& name : names_in(folder)) {
    if (name.front() == '.' && name.ends_with(".tmp")) return true;
  }
  return false;
}

// Delivers one table named `name` with a character column and a number.
void produce_table(const char* name, const char* text, double number) {
  ModuleDriver module;
  char slot[32];
  double value = number;
  fill_slot(slot, text);
  OdsObject* made = module.create_template(name, "A <Table> & more");
  EXPECT_EQ(module.character_column(made, "Note", slot, sizeof slot), 0);
  EXPECT_EQ(module.numeric_column(made, "ProbZ", &value), 0);
  EXPECT_EQ(module.end_definition(made), 0);
  OdsObject* output = module.open(made, "Vesk.Quilvar.Table");
  EXPECT_EQ(module.add_row(made), 0);
  EXPECT_EQ(module.close(output), 0);
}

// Binds one SMR plot of a single estimate in the current step.
void bind_smr_plot() {
  ModuleDriver module;
  const double estimate = 2.5;
  OdsObject* data = module.make_graph_data("SmrPhantom", &estimate);
  EXPECT_EQ(module.bind_graph("StrataSMRPlot", "Vesk.Quilvar.Graphics.StrataSMRPlot", &data, 1), 0);
}

class OutputFiles : public OutputRunTest {
 protected:
  // Begins a run that writes every graph as "<svg></svg>" to folder_/plots.
  void begin_plots_run() {
    OutputOptions options;
    options.plots_dir = (folder_ / "plots").string();
    options.render_graph = [](const Graph&) { return std::string("<svg></svg>"); };
    std::string error;
    ASSERT_TRUE(begin_run(options, &error)) << error;
  }
};

TEST_F(OutputFiles, AppearUnderTheirNamesOnlyWhenTheRunFinishes) {
  begin_full_run();
  begin_step("Step <1>", nullptr);
  produce_table("Smr", "plain", 0.00002);
  end_step(0);
  const std::vector<std::string> finals{"out.json", "report.html"};
  for (const std::string& name : finals) EXPECT_FALSE(std::filesystem::exists(folder_ / name)) << name;
  EXPECT_FALSE(std::filesystem::exists(folder_ / "csv" / "Smr.csv"));
  EXPECT_TRUE(holds_temporary(folder_));
  EXPECT_TRUE(holds_temporary(folder_ / "csv"));

  finish();
  EXPECT_EQ(names_in(folder_), (std::vector<std::string>{"csv", "out.json", "report.html"}));
  EXPECT_EQ(names_in(folder_ / "csv"), (std::vector<std::string>{"Smr.csv"}));
  EXPECT_TRUE(nlohmann::json::accept(read_file(folder_ / "out.json")));

  const std::string html = read_file(folder_ / "report.html");
  EXPECT_NE(html.find("<h1>test.qv</h1>"), std::string::npos);
  EXPECT_NE(html.find("<h2>Step &lt;1&gt;</h2>"), std::string::npos);
  EXPECT_NE(html.find("A &lt;Table&gt; &amp; more"), std::string::npos);
  EXPECT_NE(html.find("&lt;.0001"), std::string::npos);
  EXPECT_NE(html.find("<style>"), std::string::npos);
  for (const char* outside : {"<script", "http:", "https:", "<link"}) {
    SCOPED_TRACE(outside);
    EXPECT_EQ(html.find(outside), std::string::npos);
  }
}

TEST_F(OutputFiles, AnAbandonedRunLeavesNothingBehind) {
  begin_full_run();
  begin_step("", nullptr);
  produce_table("Smr", "plain", 1);
  abandon_run();
  // The CSV folder the run made goes with the files never completed.
  EXPECT_TRUE(names_in(folder_).empty());
}

TEST_F(OutputFiles, AnUncreatableFileFailsTheRunStartAndLeavesNothing) {
  OutputOptions options;
  // The JSON file is opened first; the folders made for it go again with
  // it when the report cannot be made.
  options.json_path = (folder_ / "new folder" / "deeper" / "out.json").string();
  std::ofstream(folder_ / "a file") << "not a folder";
  options.html_path = (folder_ / "a file" / "report.html").string();
  std::string error;
  EXPECT_FALSE(begin_run(options, &error));
  EXPECT_NE(error.find("a file/report.html"), std::string::npos) << error;
  EXPECT_EQ(names_in(folder_), std::vector<std::string>{"a file"});
}

TEST_F(OutputFiles, CsvQuotesFieldsAndGivesANewLayoutItsOwnFile) {
  begin_full_run();
  begin_step("", nullptr);
  produce_table("Notes", "He said \"hi\", left", 0.5);
  end_step(0);
  begin_step("", [] { return std::vector<ByValue>{{"Year", true, 2021, ""}}; });
  produce_table("Notes", "line", 0.25);
  end_step(0);
  finish();

  const std::string first = read_file(folder_ / "csv" / "Notes.csv");
  EXPECT_EQ(first, "Note,ProbZ\r\n\"He said \"\"hi\"\", left\",0.5\r\n");
  const auto second = parse_csv(read_file(folder_ / "csv" / "Notes_2.csv"));
  EXPECT_EQ(second, (std::vector<std::vector<std::string>>{{"Year", "Note", "ProbZ"}, {"2021", "line", "0.25"}}));
}

// Each field that would break its row or lose its edges is quoted, and
// only those: a carriage return alone ends a row for many readers.
TEST_F(OutputFiles, CsvQuotesEveryFieldThatWouldBreakItsRowAndNoOther) {
  const struct {
    const char* text;
    const char* field;
  } cases[] = {{"a\rb", "\"a\rb\""},           {"a\nb", "\"a\nb\""},   {"a,b", "\"a,b\""},
               {"say \"x\"", "\"say \"\"x\"\"\""}, {" a", "\" a\""},         {"\ta", "\"\ta\""},
               {"a b;c", "a b;c"},           {"a'b", "a'b"}};
  begin_full_run();
  begin_step("", nullptr);
  for (const auto& c : cases) produce_table("Notes", c.text, 0.5);
  end_step(0);
  finish();
  std::string expected = "Note,ProbZ\r\n";
  for (const auto& c : cases) expected.append(c.field).append(",0.5\r\n");
  EXPECT_EQ(read_file(folder_ / "csv" / "Notes.csv"), expected);
}

// A CSV file that cannot be made once the run has started (its folder
// gone, a file in its place) fails the run, each such file named once,
// with its reason.
TEST_F(OutputFiles, ACsvFileThatCannotBeMadeIsNamedOnceWithItsReason) {
  OutputOptions options;
  options.csv_dir = (folder_ / "csv").string();
  options.program_name = "test.qv";
  std::string error;
  ASSERT_TRUE(begin_run(options, &error)) << error;
  std::filesystem::remove_all(folder_ / "csv");
  std::ofstream(folder_ / "csv") << "a file in the folder's place";
  begin_step("", nullptr);
  produce_table("Notes", "first", 0.5);
  produce_table("Notes", "again", 0.25);
  end_step(0);
  EXPECT_FALSE(finish_run(&error));
  EXPECT_EQ(error, "cannot write " + (folder_ / "csv" / "Notes.csv").string() + ": Not a directory");
}

// What CSV readers make of the files: each header name once (a BY variable
// named like a column is numbered, letter case aside, within the longest
// variable name), and blanks at either end of a value kept by quoting it.
TEST_F(OutputFiles, CsvHeaderNamesAreUniqueAndEdgeBlanksAreQuoted) {
  const std::string long_name(32, 'L');
  begin_full_run();
  begin_step("", [&long_name] {
    return std::vector<ByValue>{{"note", false, 0, "  North\t"},
                                {"NOTE_2", true, 1, ""},
                                {long_name, true, 2, ""},
                                {"llllllllllllllllllllllllllllllll", false, 0, "in between"}};
  });
  produce_table("Notes", " x", 0.5);
  end_step(0);
  finish();

  EXPECT_EQ(read_file(folder_ / "csv" / "Notes.csv"),
            "note,NOTE_2," + long_name + ",llllllllllllllllllllllllllllll_2,Note_3,ProbZ\r\n"
            "\"  North\t\",1,2,in between,\" x\",0.5\r\n");
}

TEST_F(OutputFiles, GraphsReachTheReportAndThePlotsFolderThroughTheRenderer) {
  OutputOptions options;
  options.html_path = (folder_ / "report.html").string();
  options.plots_dir = (folder_ / "plots").string();
  options.render_graph = [](const Graph& graph) {
    return "<svg data-rows=\"" + std::to_string(graph.data[0]->row_count()) + "\"></svg>";
  };
  std::string error;
  ASSERT_TRUE(begin_run(options, &error)) << error;
  // An accented letter stays in the file name; a blank, a slash, a no-break
  // space and a right-to-left override each become one '_', and so does
  // each byte that starts no UTF-8 character (the overlong form of '/'
  // gives two).
  begin_step("", [] {
    return std::vector<ByValue>{{"Area", false, 0, "S\xC3\xA8te / \xE9st\xC2\xA0\xE2\x80\xAE\xC0\xAF"},
                                {"Year", true, 2021, ""}};
  });
  {
    ModuleDriver module;
    const double estimate = 2.5;
    for (int plot = 0; plot < 2; ++plot) {
      OdsObject* data = module.make_graph_data("SmrPhantom", &estimate);
      EXPECT_EQ(module.bind_graph("StrataSMRPlot", "Vesk.Quilvar.Graphics.StrataSMRPlot", &data, 1), 0);
    }
  }
  end_step(0);
  finish();
  const std::string html = read_file(folder_ / "report.html");
  EXPECT_NE(html.find("<svg data-rows=\"1\"></svg>"), std::string::npos) << html;
  EXPECT_NE(html.find("<figcaption>Plot label</figcaption>"), std::string::npos) << html;
  EXPECT_EQ(names_in(folder_ / "plots"),
            (std::vector<std::string>{"Area_S\xC3\xA8te____st_____Year_2021_StrataSMRPlot.svg",
                                      "Area_S\xC3\xA8te____st_____Year_2021_StrataSMRPlot_2.svg"}));
  EXPECT_EQ(read_file(folder_ / "plots" / "Area_S\xC3\xA8te____st_____Year_2021_StrataSMRPlot.svg"),
            "<svg data-rows=\"1\"></svg>");
}

// A plot of BY values too long for a file name is still written: its name
// keeps their beginning, cut between whole letters, a digest of them all
// and the plot's name, so BY groups that differ only at the end keep
// files of their own.
TEST_F(OutputFiles, PlotsOfLongByValuesGetShortDistinctFileNames) {
  begin_plots_run();
  std::string common;
  for (int i = 0; i < 150; ++i) common += "\xC3\xA8";  // 300 bytes of accented letters
  for (const char* ending : {"north", "south"}) {
    const std::string value = common + ending;
    begin_step("", [value] { return std::vector<ByValue>{{"Area", false, 0, value}}; });
    bind_smr_plot();
    end_step(0);
  }
  finish();
  const std::vector<std::string> names = names_in(folder_ / "plots");
  ASSERT_EQ(names.size(), 2u);
  EXPECT_NE(names[0], names[1]);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    EXPECT_LE(name.size(), 210u);
    EXPECT_TRUE(name.starts_with("Area_\xC3\xA8\xC3\xA8"));
    EXPECT_TRUE(name.ends_with("_StrataSMRPlot.svg"));
    const std::size_t letters = name.find('_', 5) - 5;
    EXPECT_EQ(letters % 2, 0u);  // whole two-byte letters before the digest
  }
}

// Stems are counted across the run: a second step over the same BY groups
// numbers every file, however many stems came between (here more than the
// first size of the count table, so it grows while in use).
TEST_F(OutputFiles, EveryRepeatedPlotStemIsNumberedInALongRun) {
  begin_plots_run();
  constexpr int kGroups = 300;
  for (int step = 0; step < 2; ++step) {
    for (int group = 0; group < kGroups; ++group) {
      begin_step("", [group] { return std::vector<ByValue>{{"Area", true, static_cast<double>(group), ""}}; });
      bind_smr_plot();
      end_step(0);
    }
  }
  finish();
  const std::vector<std::string> names = names_in(folder_ / "plots");
  ASSERT_EQ(names.size(), 2u * kGroups);
  for (const int group : {0, 63, 64, 299}) {
    const std::string stem = "Area_" + std::to_string(group) + "_StrataSMRPlot";
    EXPECT_TRUE(std::binary_search(names.begin(), names.end(), stem + ".svg")) << stem;
    EXPECT_TRUE(std::binary_search(names.begin(), names.end(), stem + "_2.svg")) << stem;
  }
}

// Plot files that cannot be written (the folder gone, a full disk) fail
// the run; the first few are named with their reason and the rest counted,
// so that a run of many BY groups gives a readable error, not one entry
// per plot.
TEST_F(OutputFiles, PlotFilesThatCannotBeWrittenAreNamedAFewAndCounted) {
  begin_plots_run();
  std::filesystem::remove_all(folder_ / "plots");
  std::ofstream(folder_ / "plots") << "a file in the folder's place";
  for (int year = 2001; year <= 2010; ++year) {
    begin_step("", [year] { return std::vector<ByValue>{{"Year", true, static_cast<double>(year), ""}}; });
    bind_smr_plot();
    end_step(0);
  }
  std::string error;
  EXPECT_FALSE(finish_run(&error));
  std::string expected;
  for (const char* year : {"2001", "2002", "2003"}) {
    expected += "cannot write " + (folder_ / "plots" / ("Year_" + std::string(year) + "_StrataSMRPlot.svg")).string() +
                ": Not a directory; ";
  }
  EXPECT_EQ(error, expected + "7 more plot files could not be written");
}

// The contents list every step, BY group and object, each linking to its
// place in the report.
TEST_F(OutputFiles, TheReportOpensWithContentsLinkingEveryObject) {
  begin_full_run();
  begin_step("Mortality", [] { return std::vector<ByValue>{{"Year", true, 2021, ""}}; });
  produce_table("Smr", "plain", 1);
  end_step(0);
  begin_step("", nullptr);
  produce_table("Smr", "plain", 1);
  end_step(0);
  finish();
  const std::string html = read_file(folder_ / "report.html");
  const std::size_t nav = html.find("<nav class=\"toc\"");
  const std::size_t nav_end = html.find("</nav>");
  ASSERT_NE(nav, std::string::npos);
  ASSERT_LT(nav_end, html.find("<section"));
  const std::string contents = html.substr(nav, nav_end + 6 - nav);
  const std::vector<std::pair<std::string, std::string>> links{
      {"step1", "Mortality"}, {"step1-by1", "Year=2021"}, {"out1", "A &lt;Table&gt; &amp; more"},
      {"step2", "Step 2"},    {"out2", "A &lt;Table&gt; &amp; more"}};
  std::size_t at = 0;
  for (const auto& [id, text] : links) {
    SCOPED_TRACE(id);
    at = contents.find("<a href=\"#" + id + "\">" + text + "</a>", at);
    EXPECT_NE(at, std::string::npos);
    EXPECT_NE(html.find("id=\"" + id + "\""), std::string::npos);
  }
  EXPECT_EQ(contents.find("<ol>\n<li><a href=\"#step1\">"), contents.find("<ol>"));
  // The objects of a BY group sit one level below its heading, and those of
  // a step without BY groups one level below the step.
  EXPECT_NE(contents.find("<a href=\"#step1-by1\">Year=2021</a><ol>\n<li><a href=\"#out1\">"), std::string::npos)
      << contents;
  EXPECT_NE(contents.find("<a href=\"#step2\">Step 2</a><ol>\n<li><a href=\"#out2\">"), std::string::npos) << contents;
  EXPECT_NE(html.find("@media print"), std::string::npos);
}

// Texts of a data set that is not UTF-8, or with control characters,
// reach the report as U+FFFD: it stays UTF-8, as its meta charset says,
// and markup in the same texts is still escaped. The CSV file keeps the
// bytes as they were read.
TEST_F(OutputFiles, TheReportStaysUtf8WhateverBytesTheDataHold) {
  begin_full_run();
  begin_step("", [] { return std::vector<ByValue>{{"Area", false, 0, "S\xE8te\x01<b>"}}; });
  produce_table("Smr", "\xC3(\x0B\xE6\x97\xA5", 1);
  end_step(0);
  finish();
  const std::string html = read_file(folder_ / "report.html");
  EXPECT_NE(html.find("<h3 class=\"by\" id=\"step1-by1\">Area=S\uFFFDte\uFFFD&lt;b&gt;</h3>"), std::string::npos)
      << html;
  // A table cell shows a control character as a blank.
  EXPECT_NE(html.find(">\uFFFD( \u65E5</td>"), std::string::npos) << html;
  for (std::size_t i = 0; i < html.size();) {
    const auto byte = static_cast<unsigned char>(html[i]);
    if (byte < 0x80) {
      ASSERT_TRUE(byte >= ' ' || byte == '\n' || byte == '\t' || byte == '\r') << "control character at " << i;
      ++i;
      continue;
    }
    const text::Utf8Character c = text::decode_utf8(html, i);
    ASSERT_GT(c.length, 0u) << "not UTF-8 at " << i;
    i += c.length;
  }
  EXPECT_NE(read_file(folder_ / "csv" / "Smr.csv").find("S\xE8te\x01<b>,\xC3(\x0B\xE6\x97\xA5,1"), std::string::npos);
}

// A large report moves its text to a temporary file as it goes and puts it
// together at the end: the report must be the one made in memory, byte for
// byte, and no temporary file may remain beside it.
TEST_F(OutputFiles, AReportKeptInATemporaryFileIsTheReportMadeInMemory) {
  auto make_report = [this](std::size_t kept_in_memory) {
    begin_full_run(kept_in_memory);
    for (int year = 2000; year < 2040; ++year) {
      begin_step(year % 10 == 0 ? "Mortality" : "", [year] { return std::vector<ByValue>{{"Year", true, year * 1.0, ""}}; });
      produce_table("Smr", "plain", year);
      produce_table("Rates", "a <b>", year / 7.0);
      end_step(year % 3 == 0 ? 4 : 0);
    }
    finish();
    return read_file(folder_ / "report.html");
  };
  const std::string in_memory = make_report(OutputOptions{}.html_kept_in_memory);
  const std::string kept_aside = make_report(1);
  ASSERT_GT(in_memory.size(), 10000u);
  EXPECT_EQ(kept_aside, in_memory);
  for (const std::string& name : names_in(folder_)) EXPECT_EQ(name.find("quilvar-report"), std::string::npos) << name;
}

// A table of many rows (a stratum table of a million strata) goes into the
// report's kept text row by row, moved aside as it grows: the report is
// the one made in memory, and making it never holds the table's text whole.
TEST_F(OutputFiles, AReportOfALongTableKeepsLittleOfItsTextInMemory) {
  constexpr int kRows = 200000;
  auto make_report = [this](std::size_t kept_in_memory, long* growth) {
    OutputOptions options;
    options.html_path = (folder_ / "long.html").string();
    options.html_kept_in_memory = kept_in_memory;
    options.program_name = "test.qv";
    std::string error;
    EXPECT_TRUE(begin_run(options, &error)) << error;
    begin_step("Long", nullptr);
    ModuleDriver module;
    char slot[48];
    double value = 0;
    OdsObject* made = module.create_template("StrataStats", "Stratum rates");
    EXPECT_EQ(module.character_column(made, "Label", slot, sizeof slot), 0);
    EXPECT_EQ(module.numeric_column(made, "Rate", &value), 0);
    EXPECT_EQ(module.end_definition(made), 0);
    OdsObject* output = module.open(made, "Vesk.Quilvar.Table");
    for (int row = 0; row < kRows; ++row) {
      fill_slot(slot, ("stratum number " + std::to_string(row) + " of the long table").c_str());
      value = row / 7.0;
      EXPECT_EQ(module.add_row(made), 0);
    }
    const ::quilvar::testing::PeakWatch peak;
    EXPECT_EQ(module.close(output), 0);
    end_step(0);
    finish();
    *growth = peak.rise_kb();
    return read_file(folder_ / "long.html");
  };
  long ignored = 0;
  long kept_aside_growth = 0;
  const std::string in_memory = make_report(std::size_t{1} << 40, &ignored);
  const std::string kept_aside = make_report(std::size_t{64} << 10, &kept_aside_growth);
  ASSERT_GT(in_memory.size(), std::size_t{kRows} * 60);
  EXPECT_EQ(kept_aside, in_memory);
  // Held whole, the text and its copies as it grew took twice its size.
  // AddressSanitizer keeps freed blocks resident in its quarantine, so under
  // it the peak measures the sanitizer's allocator rather than the report's
  // buffering, and only the report's text is compared.
  if (kept_aside_growth >= 0 && !::quilvar::testing::kAddressSanitizer) {
    EXPECT_LT(kept_aside_growth, static_cast<long>(in_memory.size() / 1024 / 2));
  }
}

}  // namespace
}  // namespace quilvar::runtime::output
