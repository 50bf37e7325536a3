// The bundled example's HTML report in a real browser: headless Chromium
// loads it with no console errors, every plot is in the page as SVG, and a
// screenshot of each plot type is taken (kept in the build folder under
// screenshots/). Plots with long labels of wide, accented and East Asian
// letters are measured in the browser's own fonts: no text leaves its
// drawing or runs into another, nor does a BY line wider than the drawing
// or an axis title longer than its axis.
// Skipped only where Chromium is not installed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr const char* kChromiumPaths[] = {"/usr/bin/chromium", "/usr/bin/chromium-browser"};
constexpr const char* kChromiumFlags =
    " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking"
    " --disable-component-update --disable-sync --hide-scrollbars";
constexpr int kTimeoutSeconds = 120;
const std::set<std::string> kPlotTypes{"StrataRatePlot", "StrataDistPlot", "StrataEffectPlot", "StrataSMRPlot"};

std::string chromium_path() {
  for (const char* path : kChromiumPaths) {
    if (fs::exists(path)) return path;
  }
  return {};
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string shell_quoted(const fs::path& path) {
  std::string text(1, '\'');
  text += path.string();
  text += '\'';
  return text;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class ReportInBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    chromium_ = chromium_path();
    if (chromium_.empty()) GTEST_SKIP() << "chromium is not installed";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // The process number keeps runs of the suite at the same time apart.
    folder_ = fs::temp_directory_path() /
              ("quilvar_browser_" + std::to_string(::getpid()) + "_" + info->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  // Runs Chromium on a page with a fresh profile; its standard output and
  // error go to files in the scratch folder. Returns the exit status.
  int run_chromium(const std::string& arguments, const fs::path& page) {
    const fs::path profile = folder_ / ("profile" + std::to_string(++runs_));
    std::ostringstream command;
    command << "timeout " << kTimeoutSeconds << ' ' << chromium_ << kChromiumFlags
            << " --user-data-dir=" << shell_quoted(profile) << ' ' << arguments << ' '
            << shell_quoted("file://" + fs::absolute(page).string()) << " >" << shell_quoted(folder_ / "out.txt")
            << " 2>" << shell_quoted(folder_ / "err.txt");
    return std::system(command.str().c_str());
  }

  // Loads a page with console logging on; returns the console errors logged.
  std::string console_errors(const fs::path& page) {
    EXPECT_EQ(run_chromium("--enable-logging=stderr --v=0 --dump-dom", page), 0) << read_file(folder_ / "err.txt");
    std::string errors;
    std::istringstream log(read_file(folder_ / "err.txt"));
    for (std::string line; std::getline(log, line);) {
      if (line.find(":CONSOLE(") != std::string::npos || line.find("Uncaught") != std::string::npos) {
        errors += line + "\n";
      }
    }
    return errors;
  }

  // Writes data of 75 strata and the report of one direct step over them
  // with the given PLOTS= option into report.html; returns the run's status.
  int report_of_75_strata(const std::string& plots) {
    std::ofstream population(folder_ / "pop.csv");
    std::ofstream reference(folder_ / "ref.csv");
    population << "stratum,deaths,persons\n";
    reference << "stratum,std_pop\n";
    for (int i = 0; i < 75; ++i) {
      population << 's' << 100 + i << ',' << 10 + i << ',' << 10000 + 100 * i << '\n';
      reference << 's' << 100 + i << ',' << 20000 + 50 * i << '\n';
    }
    population.close();
    reference.close();
    std::ofstream(folder_ / "long.qv") << "proc quilvar data=pop refdata=ref method=direct " << plots << ";\n"
                                       << "  population event=deaths total=persons;\n  reference total=std_pop;\n"
                                       << "  strata stratum / stats;\nrun;\n";
    std::ostringstream run;
    run << "cd " << shell_quoted(folder_) << " && " << QUILVAR_CLI_PATH
        << " long.qv --no-listing --log log.txt --html report.html";
    return std::system(run.str().c_str());
  }

  // Prints a page to a PDF file; returns its number of pages.
  std::size_t printed_pages(const fs::path& page) {
    fs::path pdf = page;
    pdf.replace_extension(".pdf");
    EXPECT_EQ(run_chromium("--print-to-pdf=" + shell_quoted(pdf), page), 0) << read_file(folder_ / "err.txt");
    const std::string content = read_file(pdf);
    EXPECT_NE(content, "") << "no PDF printed";
    return occurrences(content, "/Type /Page") - occurrences(content, "/Type /Pages");
  }

  // Adds the script to the end of the report's body and loads the page in a
  // window of the given size; returns the value the script gave the body's
  // attribute, or "(not set)" when the script did not run.
  std::string measured(const fs::path& report, const std::string& script, const std::string& attribute,
                       const std::string& window) {
    std::string page = read_file(report);
    const std::size_t end = page.rfind("</body>");
    EXPECT_NE(end, std::string::npos);
    if (end == std::string::npos) return "(not set)";
    page.insert(end, "<script>" + script + "</script>");
    std::ofstream(folder_ / "measured.html") << page;
    EXPECT_EQ(run_chromium("--window-size=" + window + " --dump-dom", folder_ / "measured.html"), 0);
    const std::string dom = read_file(folder_ / "out.txt");
    const std::string opening = attribute + "=\"";
    const std::size_t at = dom.find(opening);
    if (at == std::string::npos) return "(not set)";
    const std::size_t value = at + opening.size();
    return dom.substr(value, dom.find('"', value) - value);
  }

  std::string chromium_;
  fs::path folder_;
  int runs_ = 0;
};

// Guards the check below: a page with a failing script is caught.
TEST_F(ReportInBrowser, AConsoleErrorIsDetected) {
  const fs::path page = folder_ / "broken.html";
  std::ofstream(page) << "<!DOCTYPE html><html><body><script>undefined_function();</script></body></html>";
  EXPECT_NE(console_errors(page), "");
}

TEST_F(ReportInBrowser, TheExampleReportLoadsCleanlyAndEveryPlotTypeIsCaptured) {
  const fs::path report = folder_ / "report.html";
  const fs::path plots = folder_ / "plots";
  std::ostringstream run;
  run << QUILVAR_CLI_PATH << ' ' << shell_quoted(fs::path(QUILVAR_SOURCE_DIR) / "examples" / "mortality.qv")
      << " --no-listing --log " << shell_quoted(folder_ / "log.txt") << " --html " << shell_quoted(report)
      << " --plots " << shell_quoted(plots);
  ASSERT_EQ(std::system(run.str().c_str()), 0) << read_file(folder_ / "log.txt");

  EXPECT_EQ(console_errors(report), "");
  const std::string dom = read_file(folder_ / "out.txt");
  std::map<std::string, fs::path> first_of_type;
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(plots)) {
    ++files;
    for (const std::string& type : kPlotTypes) {
      const std::string name = entry.path().filename().string();
      if (name.find(type) != std::string::npos && !first_of_type.contains(type)) first_of_type[type] = entry.path();
    }
  }
  EXPECT_EQ(occurrences(dom, "<figure class=\"graph\""), files);
  EXPECT_EQ(occurrences(dom, "<svg"), files);

  const fs::path shots = fs::path(QUILVAR_BINARY_DIR) / "screenshots";
  fs::create_directories(shots);
  for (const std::string& type : kPlotTypes) {
    SCOPED_TRACE(type);
    ASSERT_TRUE(first_of_type.contains(type));
    const fs::path png = shots / (type + ".png");
    fs::remove(png);
    std::string arguments = "--window-size=680,480 --screenshot=";
    arguments += shell_quoted(png);
    EXPECT_EQ(run_chromium(arguments, first_of_type[type]), 0);
    ASSERT_TRUE(fs::exists(png));
    EXPECT_EQ(read_file(png).substr(1, 3), "PNG");
  }
}

// In a narrow window the page itself never scrolls sideways: a table wider
// than the window scrolls inside its own box.
TEST_F(ReportInBrowser, AWideTableScrollsInItsOwnBoxNotThePage) {
  const fs::path report = folder_ / "report.html";
  std::ostringstream run;
  run << QUILVAR_CLI_PATH << ' ' << shell_quoted(fs::path(QUILVAR_SOURCE_DIR) / "examples" / "mortality.qv")
      << " --no-listing --log " << shell_quoted(folder_ / "log.txt") << " --html " << shell_quoted(report);
  ASSERT_EQ(std::system(run.str().c_str()), 0) << read_file(folder_ / "log.txt");
  const std::string layout =
      measured(report,
               "const root = document.documentElement;"
               "const wide = [...document.querySelectorAll('div.wide')].filter(d => d.scrollWidth > d.clientWidth);"
               "document.body.setAttribute('data-layout', (root.scrollWidth <= root.clientWidth ? 'page-fits' : "
               "'page-scrolls') + ' ' + wide.length);",
               "data-layout", "700,600");
  ASSERT_NE(layout, "(not set)") << "the check did not run";
  EXPECT_EQ(layout.substr(0, 10), "page-fits ") << layout;
  EXPECT_GT(std::stoi(layout.substr(10)), 0) << "no table was wider than the window: " << layout;
}

// Measures every text of every SVG on the page as the browser draws it (a
// rotated label as its turned box, not the box around that) and writes what
// leaves its drawing or meets another text into the body's data-problems.
constexpr const char* kTextCheck = R"(
function corners(t) {
  const b = t.getBBox(), m = t.getScreenCTM();
  return [[b.x, b.y], [b.x + b.width, b.y], [b.x + b.width, b.y + b.height], [b.x, b.y + b.height]].map(([x, y]) => {
    const p = new DOMPoint(x, y).matrixTransform(m);
    return [p.x, p.y];
  });
}
// Two convex boxes are apart when some edge's normal separates them (by half a pixel).
function apart(a, b) {
  for (const box of [a, b]) {
    for (let i = 0; i < 4; i++) {
      const [x1, y1] = box[i], [x2, y2] = box[(i + 1) % 4];
      const nx = y2 - y1, ny = x1 - x2, slack = 0.5 * Math.hypot(nx, ny);
      const pa = a.map(([x, y]) => x * nx + y * ny), pb = b.map(([x, y]) => x * nx + y * ny);
      if (Math.max(...pa) <= Math.min(...pb) + slack || Math.max(...pb) <= Math.min(...pa) + slack) return true;
    }
  }
  return false;
}
const problems = [];
for (const svg of document.querySelectorAll('svg')) {
  const frame = svg.getBoundingClientRect(), name = svg.parentNode.id;
  const texts = [...svg.querySelectorAll('text')].filter(t => t.getBBox().width > 0).map(t => [t.textContent, corners(t)]);
  for (const [text, box] of texts) {
    if (box.some(([x, y]) => x < frame.left - 0.5 || x > frame.right + 0.5 || y < frame.top - 0.5 || y > frame.bottom + 0.5))
      problems.push(name + ': "' + text + '" leaves the drawing');
  }
  for (let i = 0; i < texts.length; i++)
    for (let j = i + 1; j < texts.length; j++)
      if (!apart(texts[i][1], texts[j][1])) problems.push(name + ': "' + texts[i][0] + '" meets "' + texts[j][0] + '"');
}
document.body.setAttribute('data-problems', problems.length ? problems.join(' | ') : 'none');
)";

TEST_F(ReportInBrowser, PlotTextStaysInsideItsDrawingAndApart) {
  const std::vector<std::string> levels{"WWWWWWWWWWWWWWWWWWWWWWWW MMMMMMMMMMMMMMMM", "\u00C6r\u00F8sk\u00F8bing \u2013 \u0160kofja Loka \u00C9\u00C8 85+",
                                        "\u6771\u4EAC\u90FD\u65B0\u5BBF\u533A\u9AD8\u9F62\u8005\u6771\u4EAC\u90FD\u65B0\u5BBF\u533A",
                                        "%%%%@@@@@@@@@@@@@@@@@@@@@@@", "iiii", "00-14",
                                        "\u0416\u0428\u0429\u042E\u0416\u0428\u0429\u042E\u0416\u0428\u0429\u042E "
                                        "\u0152\u00C6\u0152\u00C6\u0152\u00C6\u0152\u00C6\u0152\u00C6\u0152\u00C6"};
  std::ofstream population(folder_ / "pop.csv");
  std::ofstream reference(folder_ / "ref.csv");
  // One BY group whose line is wider than the drawing: it wraps under the title.
  const std::string area =
      "Northern metropolitan districts and the surrounding rural municipalities of the highland provinces, 2019-2023";
  // Two strata variables with long names: an axis title longer than a
  // horizontal chart's side.
  population << "area,grp,stratum_of_age_sex_and_residence,register_group,deaths,persons\n";
  reference << "stratum_of_age_sex_and_residence,register_group,std_pop\n";
  for (std::size_t i = 0; i < levels.size(); ++i) {
    population << '"' << area << "\",A,\"" << levels[i] << "\",all," << 14 + 7 * i << ',' << 10000 + 1000 * i << '\n';
    population << '"' << area << "\",B,\"" << levels[i] << "\",all," << 18 + 9 * i << ',' << 10000 + 1000 * i << '\n';
    reference << '"' << levels[i] << "\",all," << 20000 + 500 * i << '\n';
  }
  population.close();
  reference.close();
  std::ofstream program(folder_ / "plots.qv");
  for (const char* plots : {"plots=(rate dist effect)", "plots(strata=horizontal)=(rate dist effect)"}) {
    program << "proc quilvar data=pop refdata=ref method=direct effect " << plots << ";\n"
            << "  population group=grp event=deaths total=persons;\n  reference total=std_pop;\n"
            << "  strata stratum_of_age_sex_and_residence register_group / stats effect;\n  by area;\nrun;\n";
  }
  program.close();
  const fs::path plots = folder_ / "plots";
  std::ostringstream run;
  run << "cd " << shell_quoted(folder_) << " && " << QUILVAR_CLI_PATH << " plots.qv --no-listing --log log.txt --plots "
      << shell_quoted(plots);
  ASSERT_EQ(std::system(run.str().c_str()), 0) << read_file(folder_ / "log.txt");

  std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><style>body{margin:0}</style></head><body>";
  std::size_t drawings = 0;
  for (const auto& entry : fs::directory_iterator(plots)) {
    std::string svg = read_file(entry.path());
    if (svg.starts_with("<?xml")) svg.erase(0, svg.find("?>") + 2);
    page += "<div id=\"" + entry.path().filename().string() + "\">" + svg + "</div>";
    ++drawings;
  }
  EXPECT_EQ(drawings, 6u);
  page += std::string("<script>") + kTextCheck + "</script></body></html>";
  std::ofstream(folder_ / "plots.html") << page;

  EXPECT_EQ(console_errors(folder_ / "plots.html"), "");
  const std::string dom = read_file(folder_ / "out.txt");
  const std::size_t at = dom.find("data-problems=\"");
  ASSERT_NE(at, std::string::npos) << "the check did not run";
  EXPECT_EQ(dom.substr(at, dom.find('"', at + 15) - at + 1), "data-problems=\"none\"");
}

// Printed, a table longer than a page starts right under what precedes it
// instead of being pushed to the next page: the step prints on as many
// pages as it does when that table comes first. A page left blank but for
// the heading and the small information table adds one.
TEST_F(ReportInBrowser, APrintedTableLongerThanAPageFollowsOnFromWhatPrecedesIt) {
  // About one and a third printed pages of stratum rows.
  ASSERT_EQ(report_of_75_strata("plots=none"), 0) << read_file(folder_ / "log.txt");

  // The same report with the step's heading and information table taken out.
  std::string page = read_file(folder_ / "report.html");
  const std::size_t section = page.find("<section");
  ASSERT_NE(section, std::string::npos);
  const std::size_t opened = page.find('>', section) + 1;
  const std::size_t long_table = page.find("<div class=\"wide\">", opened);
  ASSERT_NE(long_table, std::string::npos);
  ASSERT_NE(page.substr(opened, long_table - opened).find("<table class=\"list\""), std::string::npos);
  page.erase(opened, long_table - opened);
  std::ofstream(folder_ / "table_first.html") << page;

  const std::size_t table_first = printed_pages(folder_ / "table_first.html");
  EXPECT_GE(table_first, 3u) << "the contents page and at least two of the step";
  EXPECT_EQ(printed_pages(folder_ / "report.html"), table_first);
}

// Printed, a plot taller than a page is scaled down to fit on one page
// rather than cut across two: a page holding only a horizontal plot of 75
// strata prints as one page.
TEST_F(ReportInBrowser, APrintedPlotTallerThanAPageFitsOnOne) {
  ASSERT_EQ(report_of_75_strata("plots(strata=horizontal)=rate"), 0) << read_file(folder_ / "log.txt");
  const std::string report = read_file(folder_ / "report.html");
  const std::size_t head_end = report.find("</head>");
  const std::size_t figure = report.find("<figure class=\"graph\"");
  const std::size_t figure_end = report.find("</figure>", figure);
  ASSERT_NE(head_end, std::string::npos);
  ASSERT_NE(figure_end, std::string::npos);
  const std::string svg = report.substr(figure, figure_end - figure);
  const std::size_t height = svg.find(" height=\"");
  ASSERT_NE(height, std::string::npos);
  EXPECT_GT(std::stod(svg.substr(height + 9)), 1500) << "the plot is not taller than a page";
  std::ofstream(folder_ / "plot.html") << report.substr(0, head_end) << "</head><body>" << svg
                                       << "</figure></body></html>";
  EXPECT_EQ(printed_pages(folder_ / "plot.html"), 1u);
}

// Printed, a table wider than a page (three long strata values and two
// populations' columns) comes out in a smaller font, not cut at the page's
// right edge: its last column's value of the first row, as the listing
// writes it, is in the PDF's text. Needs pdftotext to read the PDF.
TEST_F(ReportInBrowser, APrintedTableWiderThanAPageIsNotCutAtItsRightEdge) {
  if (std::system("command -v pdftotext >/dev/null 2>&1") != 0) GTEST_SKIP() << "pdftotext is not installed";
  std::ofstream population(folder_ / "pop.csv");
  std::ofstream reference(folder_ / "ref.csv");
  population << "region,sex,age_group_in_years,place_of_residence,deaths,persons\n";
  reference << "sex,age_group_in_years,place_of_residence,deaths,persons\n";
  int i = 0;
  for (const char* sex : {"Female", "Male"}) {
    for (const char* age : {"00-14 years", "15-44 years", "45-64 years", "65+ years"}) {
      for (const char* place : {"Metropolitan_area_centre", "Rural_district_remote"}) {
        for (const char* region : {"Northern_Highlands_Region", "Southern_Lowlands_Region"}) {
          population << region << ',' << sex << ',' << age << ',' << place << ',' << 10 + i % 37 << ','
                     << 30000 + 917 * i << '\n';
          ++i;
        }
        reference << sex << ',' << age << ',' << place << ',' << 100 + 7 * i << ',' << 400000 + 5113 * i << '\n';
      }
    }
  }
  population.close();
  reference.close();
  std::ofstream(folder_ / "wide.qv") << "proc quilvar data=pop refdata=ref method=direct stat=rate(mult=100000);\n"
                                     << "  population group=region event=deaths total=persons;\n"
                                     << "  reference event=deaths total=persons;\n"
                                     << "  strata sex age_group_in_years place_of_residence / stats(cl=poisson);\n"
                                     << "run;\n";
  std::ostringstream run;
  run << "cd " << shell_quoted(folder_) << " && " << QUILVAR_CLI_PATH
      << " wide.qv --no-graphics --log log.txt --html report.html >listing.txt";
  ASSERT_EQ(std::system(run.str().c_str()), 0) << read_file(folder_ / "log.txt");

  // The listing's first row of the stratum table, and its last value.
  std::istringstream listing(read_file(folder_ / "listing.txt"));
  std::string line, last;
  while (std::getline(listing, line) && line.rfind("Northern_Highlands_Region", 0) != 0) {
  }
  ASSERT_FALSE(line.empty()) << "no stratum row in the listing";
  std::istringstream(line.substr(line.find_last_of(' ') + 1)) >> last;
  ASSERT_FALSE(last.empty());
  EXPECT_GT(line.size(), 150u) << "the table is not wider than a printed page: " << line;

  printed_pages(folder_ / "report.html");
  const std::string text_command = "pdftotext " + shell_quoted(folder_ / "report.pdf") + ' ' +
                                   shell_quoted(folder_ / "report.txt");
  ASSERT_EQ(std::system(text_command.c_str()), 0);
  EXPECT_NE(read_file(folder_ / "report.txt").find(last), std::string::npos)
      << "the last column's " << last << " is not on the printed page";
}

// A number written in E notation with a negative exponent (the share of a
// stratum of 10 person-years in 70 million, 1.4285712E-7) stays on one line
// in a table squeezed by a narrow window, as it would in print, rather than
// breaking after its "E-".
TEST_F(ReportInBrowser, NumbersInATableSqueezedToItsWindowStayOnOneLine) {
  std::ofstream population(folder_ / "pop.csv");
  std::ofstream reference(folder_ / "ref.csv");
  population << "age,deaths,persons\n";
  reference << "age,std_pop\n";
  for (int i = 0; i < 8; ++i) {
    population << "Age_group_with_a_long_label_" << i << ',' << 1 + i << ',' << (i == 0 ? 10 : 10000000) << '\n';
    reference << "Age_group_with_a_long_label_" << i << ',' << 1000 << '\n';
  }
  population.close();
  reference.close();
  std::ofstream(folder_ / "tiny.qv") << "proc quilvar data=pop refdata=ref method=direct;\n"
                                     << "  population event=deaths total=persons;\n  reference total=std_pop;\n"
                                     << "  strata age / stats;\nrun;\n";
  std::ostringstream run;
  run << "cd " << shell_quoted(folder_) << " && " << QUILVAR_CLI_PATH
      << " tiny.qv --no-graphics --no-listing --log log.txt --html report.html";
  ASSERT_EQ(std::system(run.str().c_str()), 0) << read_file(folder_ / "log.txt");
  ASSERT_NE(read_file(folder_ / "report.html").find(">1.4285712E-7<"), std::string::npos)
      << "no number in E notation in the report";
  EXPECT_EQ(measured(folder_ / "report.html",
                     "const broken = [...document.querySelectorAll('td.num')].filter(td => {"
                     "const range = document.createRange(); range.selectNodeContents(td);"
                     "return new Set([...range.getClientRects()].map(r => Math.round(r.top))).size > 1;"
                     "}).map(td => td.textContent);"
                     "document.body.setAttribute('data-broken', broken.length ? broken.join(' ') : 'none');",
                     "data-broken", "420,600"),
            "none");
}

}  // namespace
