// One table, one information list and one graph driven through the output
// services as the module drives them, and what the listing, the JSON
// document and the CSV files then hold: the same values, in display formats
// in the listing and at full precision in JSON and CSV.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

#include "output_support.hpp"
#include "quilvar/host/missing.hpp"

namespace quilvar::runtime::output {
namespace {

using namespace testing;
using nlohmann::json;

// The module's bound variables for a stratum SMR table.
struct SmrSlots {
  char region[10];
  double index = 0;
  double events = 0;
  double expected = 0;
  double smr = 0;
  char type[10];
  double lower = 0;
  double upper = 0;
  double p = 0;
  double multiplier = 1000;
};

constexpr double kExpected = 398.51203125;
constexpr double kSmr = 1.0338444976;
constexpr double kSmallP = 0.00001234;
constexpr const char* kSmrPath = "Vesk.Quilvar.StrataSMR";

OdsObject* define_smr_template(ModuleDriver& module, SmrSlots& slots) {
  OdsObject* smr = module.create_template("StrataSMR", "Stratum SMR Estimates");
  EXPECT_EQ(module.set_dynamic(smr, {{"_StrataSmrHeader_", "Stratum SMRs per 1000"},
                                     {"PopEnd", "ObservedEvents"},
                                     {"_SmrEnd", "SmrUcl"},
                                     {"_SpanCL_", "95% Confidence Limits"}}),
            0);
  EXPECT_EQ(module.numeric_column(smr, "RateMult", &slots.multiplier), 0);
  EXPECT_EQ(module.numeric_column(smr, "StratumIndex", &slots.index), 0);
  EXPECT_EQ(module.character_column(smr, "Region", slots.region, sizeof slots.region), 0);
  EXPECT_EQ(module.numeric_column(smr, "ObservedEvents", &slots.events), 0);
  EXPECT_EQ(module.numeric_column(smr, "ExpectedEvents", &slots.expected), 0);
  EXPECT_EQ(module.numeric_column(smr, "Smr", &slots.smr), 0);
  EXPECT_EQ(module.character_column(smr, "Type", slots.type, sizeof slots.type), 0);
  EXPECT_EQ(module.numeric_column(smr, "SmrLcl", &slots.lower), 0);
  EXPECT_EQ(module.numeric_column(smr, "SmrUcl", &slots.upper), 0);
  EXPECT_EQ(module.numeric_column(smr, "ProbZ", &slots.p), 0);
  EXPECT_EQ(module.end_definition(smr), 0);
  return smr;
}

// Two rows; the bound variables change between the row requests.
void produce_smr_table(ModuleDriver& module, OdsObject* smr, SmrSlots& slots) {
  OdsObject* output = module.open(smr, kSmrPath);
  slots = SmrSlots{{}, 1, 412, kExpected, kSmr, {}, 0.934, 1.1337, 0.50644, 1000};
  fill_slot(slots.region, "East");
  fill_slot(slots.type, "Normal");
  EXPECT_EQ(module.add_row(smr), 0);
  fill_slot(slots.region, "West, Far");
  slots.index = 2;
  slots.events = 0;
  slots.expected = 1.0 / 3.0;
  slots.smr = host::kMissing;
  slots.lower = host::missing_value(host::missing_code_for_letter('A'));
  slots.p = kSmallP;
  EXPECT_EQ(module.add_row(smr), 0);
  EXPECT_EQ(module.end_rows(smr), 0);
  EXPECT_EQ(module.close(output), 0);
}

// The listing shows the display formats and leaves hidden columns out.
void expect_smr_listing(const std::string& listing) {
  for (const char* shown : {"Mortality 2020", "- Area=North Year=2020 -", "Stratum SMRs per 1000",
                            "95% Confidence", "Observed", "398.5120", "1.0338", "0.5064", "<.0001", ".A",
                            "0.3333", "West, Far"}) {
    SCOPED_TRACE(shown);
    EXPECT_NE(listing.find(shown), std::string::npos) << listing;
  }
  // Type and RateMult are carried by the files but left out of the listing.
  EXPECT_EQ(listing.find("Normal"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("1000 "), std::string::npos) << listing;
}

// The JSON document holds every column at full precision.
void expect_smr_json(const json& document) {
  EXPECT_EQ(document["program"], "test.qv");
  const json& step = document["steps"][0];
  EXPECT_EQ(step["title"], "Mortality 2020");
  EXPECT_EQ(step["status"], 0);
  const json& table = step["outputs"][0];
  EXPECT_EQ(table["name"], "StrataSMR");
  EXPECT_EQ(table["kind"], "table");
  EXPECT_EQ(table["template"], kSmrPath);
  EXPECT_EQ(table["title"], "Stratum SMRs per 1000");
  EXPECT_EQ(table["by"][0]["value"], "North");
  EXPECT_EQ(table["by"][1]["value"], 2020.0);
  EXPECT_EQ(table["dynamic"]["_SpanCL_"], "95% Confidence Limits");
  ASSERT_EQ(table["columns"].size(), 10u);
  EXPECT_EQ(table["columns"][6]["name"], "Type");
  EXPECT_EQ(table["columns"][2]["type"], "character");
  const json& rows = table["rows"];
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][4].get<double>(), kExpected);
  EXPECT_EQ(rows[0][5].get<double>(), kSmr);
  EXPECT_EQ(rows[0][6], "Normal");
  EXPECT_EQ(rows[1][2], "West, Far");
  EXPECT_EQ(rows[1][4].get<double>(), 1.0 / 3.0);
  EXPECT_TRUE(rows[1][5].is_null());
  EXPECT_EQ(rows[1][7], ".A");
  EXPECT_EQ(rows[1][9].get<double>(), kSmallP);
}

// The CSV file holds the BY values and every column at full precision.
void expect_smr_csv(const std::vector<std::vector<std::string>>& csv) {
  ASSERT_EQ(csv.size(), 3u);
  EXPECT_EQ(csv[0], (std::vector<std::string>{"Area", "Year", "RateMult", "StratumIndex", "Region", "ObservedEvents",
                                              "ExpectedEvents", "Smr", "Type", "SmrLcl", "SmrUcl", "ProbZ"}));
  EXPECT_EQ(csv[1][0], "North");
  EXPECT_EQ(csv[1][1], "2020");
  EXPECT_EQ(std::stod(csv[1][6]), kExpected);
  EXPECT_EQ(csv[1][8], "Normal");
  EXPECT_EQ(csv[2][4], "West, Far");
  EXPECT_EQ(std::stod(csv[2][6]), 1.0 / 3.0);
  EXPECT_EQ(csv[2][7], "");
  EXPECT_EQ(csv[2][9], ".A");
  EXPECT_EQ(std::stod(csv[2][11]), kSmallP);
}

class OutputDelivery : public OutputRunTest {};

TEST_F(OutputDelivery, OneTableReachesEveryDestinationWithTheSameValues) {
  begin_full_run();
  begin_step("Mortality 2020", [] { return std::vector<ByValue>{{"Area", false, 0, "North"}, {"Year", true, 2020, ""}}; });
  {
    ModuleDriver module;
    SmrSlots slots;
    produce_smr_table(module, define_smr_template(module, slots), slots);
  }
  end_step(0);
  finish();

  expect_smr_listing(listing_.str());
  expect_smr_json(json::parse(read_file(folder_ / "out.json")));
  expect_smr_csv(parse_csv(read_file(folder_ / "csv" / "StrataSMR.csv")));
}

// Texts needing escapes or quotes, at full slot width, reach the JSON rows
// escaped (a control character takes six bytes, a byte that is not UTF-8
// becomes U+FFFD) and the CSV rows quoted, each read back whole.
TEST_F(OutputDelivery, RowTextsNeedingEscapesAndQuotesReadBackWhole) {
  const std::string region = "\x01\"\\\xff\t,\n\r\"x";
  const std::string type(10, '\x1f');
  // A wide column of control characters and quotes needs the most room.
  std::string note;
  for (int i = 0; i < 100; ++i) note += "\x02\"";
  begin_full_run();
  begin_step("Escapes", [] { return std::vector<ByValue>{{"Area", false, 0, "North"}}; });
  {
    ModuleDriver module;
    SmrSlots slots;
    OdsObject* smr = define_smr_template(module, slots);
    OdsObject* output = module.open(smr, kSmrPath);
    slots = SmrSlots{{}, 1, 412, kExpected, kSmr, {}, 0.934, 1.1337, 0.50644, 1000};
    fill_slot(slots.region, region.c_str());
    fill_slot(slots.type, type.c_str());
    EXPECT_EQ(module.add_row(smr), 0);
    EXPECT_EQ(module.end_rows(smr), 0);
    EXPECT_EQ(module.close(output), 0);

    char note_slot[200];
    OdsObject* notes = module.create_template("Notes", "Notes");
    EXPECT_EQ(module.character_column(notes, "Note", note_slot, sizeof note_slot), 0);
    EXPECT_EQ(module.end_definition(notes), 0);
    OdsObject* notes_output = module.open(notes, "Vesk.Quilvar.Notes");
    fill_slot(note_slot, note.c_str());
    EXPECT_EQ(module.add_row(notes), 0);
    EXPECT_EQ(module.end_rows(notes), 0);
    EXPECT_EQ(module.close(notes_output), 0);
  }
  end_step(0);
  finish();

  const json row = json::parse(read_file(folder_ / "out.json"))["steps"][0]["outputs"][0]["rows"][0];
  EXPECT_EQ(row[2], "\x01\"\\\xEF\xBF\xBD\t,\n\r\"x");
  EXPECT_EQ(row[6], type);
  EXPECT_EQ(row[4].get<double>(), kExpected);
  const auto csv = parse_csv(read_file(folder_ / "csv" / "StrataSMR.csv"));
  ASSERT_EQ(csv.size(), 2u);
  EXPECT_EQ(csv[1][3], region);
  EXPECT_EQ(csv[1][7], type);
  EXPECT_EQ(std::stod(csv[1][5]), kExpected);
  const json notes = json::parse(read_file(folder_ / "out.json"))["steps"][0]["outputs"][1];
  EXPECT_EQ(notes["rows"][0][0], note);
  EXPECT_EQ(parse_csv(read_file(folder_ / "csv" / "Notes.csv")).at(1).at(1), note);
}

// The report says how each step ended: warnings and errors at the end of
// the step's section (a step that made no output gets a section for them),
// listed in the contents; a clean step shows none. The JSON document gives
// each step's messages and how many more the log holds.
TEST_F(OutputDelivery, TheReportShowsEachStepsWarningsAndErrors) {
  begin_full_run();
  const auto no_by = [] { return std::vector<ByValue>{}; };
  const auto table_step = [&](const char* title) {
    begin_step(title, no_by);
    ModuleDriver module;
    SmrSlots slots;
    produce_smr_table(module, define_smr_template(module, slots), slots);
  };
  table_step("Warned");
  end_step(4, {"WARNING: rates <1 & more"}, 0);
  begin_step("Stopped", no_by);
  end_step(1008, {"ERROR: the data stopped it"}, 25);
  table_step("Clean");
  end_step(0);
  // Without messages, any status but 0 gets its box; 5 is the first error.
  begin_step("First error", no_by);
  end_step(5);
  begin_step("Least warning", no_by);
  end_step(1);
  finish();

  const std::string html = read_file(folder_ / "report.html");
  const std::size_t warned = html.find("id=\"step1-messages\"");
  const std::size_t stopped = html.find("id=\"step2-messages\"");
  ASSERT_NE(warned, std::string::npos) << html;
  ASSERT_NE(stopped, std::string::npos) << html;
  EXPECT_EQ(html.find("id=\"step3-messages\""), std::string::npos);
  EXPECT_LT(html.find("id=\"step1\""), warned);
  EXPECT_LT(warned, html.find("id=\"step2\""));
  EXPECT_NE(html.find("status 4: warnings were issued", warned), std::string::npos);
  EXPECT_NE(html.find("WARNING: rates &lt;1 &amp; more", warned), std::string::npos);
  EXPECT_NE(html.find("status 1008: an error", stopped), std::string::npos);
  EXPECT_NE(html.find("ERROR: the data stopped it\n... 25 more in the log.", stopped), std::string::npos);
  EXPECT_NE(html.find("href=\"#step2-messages\""), std::string::npos);  // in the contents
  const std::size_t first_error = html.find("<div class=\"messages\" id=\"step4-messages\"");
  const std::size_t least_warning = html.find("<div class=\"messages warnings\" id=\"step5-messages\"");
  ASSERT_NE(first_error, std::string::npos) << html;
  ASSERT_NE(least_warning, std::string::npos) << html;
  EXPECT_NE(html.find("status 5: an error", first_error), std::string::npos);
  EXPECT_NE(html.find("status 1: warnings were issued", least_warning), std::string::npos);

  const json steps = json::parse(read_file(folder_ / "out.json"))["steps"];
  ASSERT_EQ(steps.size(), 5u);
  EXPECT_EQ(steps[0]["messages"], json::array({"WARNING: rates <1 & more"}));
  EXPECT_EQ(steps[0]["more_messages"], 0);
  EXPECT_EQ(steps[1]["status"], 1008);
  EXPECT_EQ(steps[1]["messages"], json::array({"ERROR: the data stopped it"}));
  EXPECT_EQ(steps[1]["more_messages"], 25);
  EXPECT_EQ(steps[2]["messages"], json::array());
}

TEST_F(OutputDelivery, ByGroupsStackUnderOneCsvHeaderAndEachGetsAListingHeading) {
  begin_full_run();
  std::string area = "North";
  begin_step("", [&] { return std::vector<ByValue>{{"Area", false, 0, area}}; });
  {
    ModuleDriver module;
    SmrSlots slots;
    for (const char* group : {"North", "South"}) {
      area = group;
      produce_smr_table(module, define_smr_template(module, slots), slots);
    }
  }
  end_step(4);
  finish();

  const auto csv = parse_csv(read_file(folder_ / "csv" / "StrataSMR.csv"));
  ASSERT_EQ(csv.size(), 5u);
  EXPECT_EQ(csv[0][0], "Area");
  const std::vector<std::string> areas{csv[1][0], csv[2][0], csv[3][0], csv[4][0]};
  EXPECT_EQ(areas, (std::vector<std::string>{"North", "North", "South", "South"}));

  const std::string listing = listing_.str();
  const std::size_t north = listing.find("Area=North");
  const std::size_t south = listing.find("Area=South");
  ASSERT_NE(north, std::string::npos);
  ASSERT_NE(south, std::string::npos);
  EXPECT_LT(north, south);

  const json document = json::parse(read_file(folder_ / "out.json"));
  const json& outputs = document["steps"][0]["outputs"];
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(outputs[0]["by"][0]["value"], "North");
  EXPECT_EQ(outputs[1]["by"][0]["value"], "South");
  EXPECT_EQ(document["steps"][0]["status"], 4);
}

// A module defines its templates again for every BY group; a definition
// that matches the last one, stops short of it or departs from it must each
// give exactly the columns defined, and earlier objects keep theirs. Labels
// and dynamic variables that change between groups show in each object.
// Defines the template's columns and delivers one row holding `value` in each.
void deliver_row(ModuleDriver& module, OdsObject* made, const std::vector<const char*>& layout, double& value,
                 double row) {
  for (const char* name : layout) EXPECT_EQ(module.numeric_column(made, name, &value), 0);
  EXPECT_EQ(module.end_definition(made), 0);
  OdsObject* output = module.open(made, "Vesk.Quilvar.T");
  value = row;
  EXPECT_EQ(module.add_row(made), 0);
  EXPECT_EQ(module.end_rows(made), 0);
  EXPECT_EQ(module.close(output), 0);
}

TEST_F(OutputDelivery, TemplatesRedefinedPerByGroupKeepTheirOwnColumns) {
  begin_full_run();
  int group = 0;
  const auto by = [&] { return std::vector<ByValue>{{"Group", true, static_cast<double>(group), ""}}; };
  begin_step("", by);
  const std::vector<std::vector<const char*>> layouts{
      {"A", "B", "C"}, {"A", "B", "C"}, {"A", "B"}, {"A", "X", "C"}, {"A", "B", "C", "D"}, {"A", "B", "C"},
      {"A", "B", "C"}};
  {
    ModuleDriver module;
    double value = 0;
    for (const auto& layout : layouts) {
      ++group;
      // With the same columns, only the label changes from group 1 to 2,
      // only the note from group 6 to 7; group 3's template has no label.
      OdsObject* made = group == 3 ? module.create(module.manager, "data", {text_item(host::kAttrName, "T")})
                                   : module.create_template("T", group == 1 ? "First" : "Later");
      EXPECT_EQ(module.set_dynamic(made, {{"Note", group == 7 ? "seven" : "other"}}), 0);
      deliver_row(module, made, layout, value, group);
    }
  }
  end_step(0);
  // A later step whose first group joins T.csv takes it over: its narrower
  // group 9 joins it too.
  begin_step("", by);
  {
    ModuleDriver module;
    double value = 0;
    for (const std::vector<const char*>& layout : {std::vector<const char*>{"A", "B", "C", "D"}, {"A", "C"}}) {
      ++group;
      deliver_row(module, module.create_template("T", "Later"), layout, value, group);
    }
  }
  end_step(0);
  finish();

  const json outputs = json::parse(read_file(folder_ / "out.json"))["steps"][0]["outputs"];
  ASSERT_EQ(outputs.size(), layouts.size());
  for (std::size_t i = 0; i < layouts.size(); ++i) {
    SCOPED_TRACE(i);
    std::vector<std::string> names;
    for (const json& column : outputs[i]["columns"]) names.push_back(column["name"]);
    EXPECT_EQ(names, std::vector<std::string>(layouts[i].begin(), layouts[i].end()));
    EXPECT_EQ(outputs[i]["rows"][0].size(), layouts[i].size());
    EXPECT_EQ(outputs[i]["title"], i == 0 ? "First" : (i == 2 ? "T" : "Later"));  // no label: the name
    EXPECT_EQ(outputs[i]["dynamic"]["Note"], i == 6 ? "seven" : "other");
  }
  // Group 3 lacks a column of the step's file: it joins it with that field
  // empty. Group 5 has one more: the file is widened, the rows before it
  // getting an empty field. Group 4's columns come in another order: a
  // file of its own.
  EXPECT_EQ(parse_csv(read_file(folder_ / "csv" / "T.csv")),
            (std::vector<std::vector<std::string>>{{"Group", "A", "B", "C", "D"},
                                                   {"1", "1", "1", "1", ""},
                                                   {"2", "2", "2", "2", ""},
                                                   {"3", "3", "3", "", ""},
                                                   {"5", "5", "5", "5", "5"},
                                                   {"6", "6", "6", "6", ""},
                                                   {"7", "7", "7", "7", ""},
                                                   {"8", "8", "8", "8", "8"},
                                                   {"9", "9", "", "9", ""}}));
  EXPECT_EQ(parse_csv(read_file(folder_ / "csv" / "T_2.csv")),
            (std::vector<std::vector<std::string>>{{"Group", "A", "X", "C"}, {"4", "4", "4", "4"}}));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "csv" / "T_3.csv"));
}

// Widening copies what was written before, however much: rows past the
// first megabyte (already with the file writer) and BY values holding
// commas, quotes and line ends keep their fields.
TEST_F(OutputDelivery, AWiderGroupWidensALargeFileAndKeepsQuotedFields) {
  begin_full_run();
  std::string area;
  begin_step("", [&] { return std::vector<ByValue>{{"Area", false, 0, area}}; });
  constexpr int kRows = 60000;
  const std::string odd_area = "a, \"quoted\"\r\nnext line";
  {
    ModuleDriver module;
    double a = 0;
    double b = 0;
    const auto deliver = [&](const std::string& name, bool with_b, int rows) {
      area = name;
      OdsObject* made = module.create_template("T", "T");
      EXPECT_EQ(module.numeric_column(made, "A", &a), 0);
      if (with_b) {
        EXPECT_EQ(module.numeric_column(made, "B", &b), 0);
      }
      EXPECT_EQ(module.end_definition(made), 0);
      OdsObject* output = module.open(made, "Vesk.Quilvar.T");
      for (int row = 0; row < rows; ++row) {
        a = 1000000 + row;
        b = -row;
        EXPECT_EQ(module.add_row(made), 0);
      }
      EXPECT_EQ(module.end_rows(made), 0);
      EXPECT_EQ(module.close(output), 0);
    };
    deliver(odd_area, false, kRows);
    deliver("wide", true, 1);
    deliver("narrow", false, 1);
  }
  end_step(0);
  finish();

  const std::vector<std::vector<std::string>> rows = parse_csv(read_file(folder_ / "csv" / "T.csv"));
  ASSERT_EQ(rows.size(), kRows + 3u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"Area", "A", "B"}));
  for (int row = 0; row < kRows; ++row) {
    ASSERT_EQ(rows[row + 1], (std::vector<std::string>{odd_area, std::to_string(1000000 + row), ""})) << row;
  }
  EXPECT_EQ(rows[kRows + 1], (std::vector<std::string>{"wide", "1000000", "0"}));
  EXPECT_EQ(rows[kRows + 2], (std::vector<std::string>{"narrow", "1000000", ""}));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "csv" / "T_2.csv"));
}

std::string area_name(int index) {
  char text[16];
  std::snprintf(text, sizeof text, "A%d", index);
  return text;
}

// Tables are written on the delivery thread; many BY groups must arrive
// complete and in order in every file.
TEST_F(OutputDelivery, ManyByGroupsArriveInOrder) {
  begin_full_run();
  std::string area;
  begin_step("", [&] { return std::vector<ByValue>{{"Area", false, 0, area}}; });
  constexpr int kGroups = 3000;
  {
    ModuleDriver module;
    SmrSlots slots;
    for (int i = 0; i < kGroups; ++i) {
      area = area_name(i);
      produce_smr_table(module, define_smr_template(module, slots), slots);
      // A list of one to three entries, so that reused records must drop
      // the entries of their last use.
      OdsObject* list = module.create(module.root, "factoid", {text_item(host::kAttrName, "Info")});
      for (int entry = 0; entry <= i % 3; ++entry) {
        EXPECT_EQ(module.invoke(list, host::kMethodAddEntry,
                                {text_item(host::kAttrLabel, "Entry"), host::make_double_item(host::kAttrDynamicValue, i)}),
                  0);
      }
      EXPECT_EQ(module.invoke(list, host::kMethodEndRows, {}), 0);
    }
  }
  end_step(0);
  finish();

  const auto csv = parse_csv(read_file(folder_ / "csv" / "StrataSMR.csv"));
  ASSERT_EQ(csv.size(), 1u + 2 * kGroups);
  for (int i = 0; i < kGroups; ++i) {
    ASSERT_EQ(csv[1 + 2 * i][0], area_name(i));
    ASSERT_EQ(csv[2 + 2 * i][3], "West, Far");
  }
  const auto info = parse_csv(read_file(folder_ / "csv" / "Info.csv"));
  ASSERT_EQ(info.size(), 1u + 2 * kGroups);  // 1, 2 and 3 entries in turn
  EXPECT_EQ(info.back(), (std::vector<std::string>{area_name(kGroups - 1), "Entry", "2999"}));
  const json outputs = json::parse(read_file(folder_ / "out.json"))["steps"][0]["outputs"];
  ASSERT_EQ(outputs.size(), static_cast<std::size_t>(2 * kGroups));
  EXPECT_EQ(outputs[2 * kGroups - 2]["by"][0]["value"], area_name(kGroups - 1));
  EXPECT_EQ(outputs[2 * kGroups - 1]["rows"].size(), 3u);
  // The listing, formatted on a thread of its own from the same records,
  // shows every group in order with its table and its list.
  const std::string listing = listing_.str();
  std::size_t at = 0;
  for (int i = 0; i < kGroups; ++i) {
    at = listing.find("Area=" + area_name(i) + " ", at);
    ASSERT_NE(at, std::string::npos) << "group " << i;
    const std::size_t next = listing.find("Area=" + area_name(i + 1) + " ", at);
    const std::string group = listing.substr(at, next == std::string::npos ? std::string::npos : next - at);
    ASSERT_NE(group.find("West, Far"), std::string::npos) << group;
    ASSERT_NE(group.find("    " + std::to_string(i)), std::string::npos) << group;
  }
}

TEST_F(OutputDelivery, InformationListEntriesKeepTextsAndNumbers) {
  begin_full_run();
  begin_step("", [] { return std::vector<ByValue>{{"Area", false, 0, "North"}}; });
  {
    ModuleDriver module;
    OdsObject* list = module.create(module.root, "factoid",
                                    {text_item(host::kAttrTemplatePath, "Vesk.Quilvar.StdInfo"),
                                     host::make_int_item(host::kAttrAlwaysMinusOne, -1),
                                     text_item(host::kAttrName, "StdInfo"),
                                     text_item(host::kAttrLabel, "Standardization Information")});
    char label[256];
    char value[256];
    fill_slot(label, "Data Set");
    fill_slot(value, "WORK.POP");
    EXPECT_EQ(module.invoke(list, host::kMethodAddEntry,
                            {host::make_counted_text_item(host::kAttrLabel, label, 20),
                             host::make_counted_text_item(host::kAttrDynamicValue, value, 12)}),
              0);
    fill_slot(label, "Number of Strata");
    EXPECT_EQ(module.invoke(list, host::kMethodAddEntry,
                            {host::make_counted_text_item(host::kAttrLabel, label, 20),
                             host::make_double_item(host::kAttrDynamicValue, 12.0),
                             host::make_int_item(host::kAttrWidth, 8), host::make_int_item(host::kAttrDecimals, 0)}),
              0);
    EXPECT_EQ(module.invoke(list, host::kMethodEndRows, {}), 0);
    EXPECT_EQ(module.ods.class_operation(list, host::kClassRelease, 0, nullptr), 0);
  }
  end_step(0);
  finish();

  const std::string listing = listing_.str();
  EXPECT_NE(listing.find("Standardization Information"), std::string::npos) << listing;
  EXPECT_NE(listing.find("Data Set            WORK.POP\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find("Number of Strata    12\n"), std::string::npos) << listing;

  const json list = json::parse(read_file(folder_ / "out.json"))["steps"][0]["outputs"][0];
  EXPECT_EQ(list["kind"], "list");
  EXPECT_EQ(list["rows"], json::parse(R"([["Data Set","WORK.POP"],["Number of Strata",12.0]])"));

  const auto csv = parse_csv(read_file(folder_ / "csv" / "StdInfo.csv"));
  EXPECT_EQ(csv, (std::vector<std::vector<std::string>>{{"Area", "Label", "Value"},
                                                         {"North", "Data Set", "WORK.POP"},
                                                         {"North", "Number of Strata", "12"}}));
}

TEST_F(OutputDelivery, GraphCarriesItsBoundDataObjectsToJsonOnly) {
  begin_full_run();
  begin_step("", nullptr);
  {
    ModuleDriver module;
    double index = 0;
    double estimate = 0;
    OdsObject* data = module.create_template("RatePhantom", "Plot Data");
    EXPECT_EQ(module.numeric_column(data, "StratumIndex", &index), 0);
    EXPECT_EQ(module.numeric_column(data, "Est", &estimate), 0);
    EXPECT_EQ(module.set_dynamic(data, {{"_XLabel", "Age Group"}}), 0);
    EXPECT_EQ(module.end_definition(data), 0);
    OdsObject* output = nullptr;
    OdsObject* data_object = nullptr;
    ASSERT_EQ(module.invoke(module.manager, host::kMethodOpenOutput,
                            {host::make_result_item(host::kAttrPositional, &output),
                             host::make_handle_item(host::kAttrPositional, data),
                             text_item(host::kAttrTemplatePath, "Vesk.Quilvar.RatePhantom"),
                             host::make_int_item(host::kAttrGraphFlags, 1),
                             host::make_result_item(host::kAttrDataObject, &data_object)}),
              0);
    index = 1;
    estimate = 0.25;
    EXPECT_EQ(module.add_row(data), 0);
    index = estimate = host::kMissing;
    EXPECT_EQ(module.add_row(data), 0);
    EXPECT_EQ(module.end_rows(data), 0);
    EXPECT_EQ(module.close(output), 0);
    EXPECT_EQ(module.invoke(module.manager, host::kMethodBindGraph,
                            {text_item(host::kAttrName, "StrataRatePlot"), text_item(host::kAttrLabel, "Rate Plot"),
                             text_item(host::kAttrDescription, "Rates by stratum"),
                             text_item(host::kAttrTemplatePath, "Vesk.Quilvar.Graphics.StrataRatePlot"),
                             host::make_counted_list_item(host::kAttrDataObjectList, &data_object, 1)}),
              0);
  }
  end_step(0);
  finish();

  const json graph = json::parse(read_file(folder_ / "out.json"))["steps"][0]["outputs"][0];
  EXPECT_EQ(graph["kind"], "graph");
  EXPECT_EQ(graph["name"], "StrataRatePlot");
  EXPECT_EQ(graph["template"], "Vesk.Quilvar.Graphics.StrataRatePlot");
  ASSERT_EQ(graph["data"].size(), 1u);
  EXPECT_EQ(graph["data"][0]["name"], "RatePhantom");
  EXPECT_EQ(graph["data"][0]["dynamic"]["_XLabel"], "Age Group");
  EXPECT_EQ(graph["data"][0]["rows"], json::parse("[[1.0,0.25],[null,null]]"));
  EXPECT_EQ(listing_.str(), "");
  EXPECT_FALSE(std::filesystem::exists(folder_ / "csv" / "RatePhantom.csv"));
}

TEST_F(OutputDelivery, ObjectsLeftPendingAreDeliveredWhenTheStepEnds) {
  begin_full_run();
  begin_step("", nullptr);
  {
    ModuleDriver module;
    const double estimate = 0.5;
    OdsObject* list = module.create(module.root, "factoid", {text_item(host::kAttrName, "StdInfo")});
    EXPECT_EQ(module.invoke(list, host::kMethodAddEntry,
                            {text_item(host::kAttrLabel, "Method"), text_item(host::kAttrDynamicValue, "Direct")}),
              0);
    module.make_graph_data("DistPhantom", &estimate);
    double value = 1;
    OdsObject* never_closed = module.create_template("Open", "Open");
    EXPECT_EQ(module.numeric_column(never_closed, "X", &value), 0);
    EXPECT_EQ(module.end_definition(never_closed), 0);
    module.open(never_closed, "Vesk.Quilvar.Open");
    EXPECT_EQ(module.add_row(never_closed), 0);
  }
  end_step(0);
  finish();
  const json outputs = json::parse(read_file(folder_ / "out.json"))["steps"][0]["outputs"];
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(outputs[0]["kind"], "list");
  EXPECT_EQ(outputs[0]["rows"][0][1], "Direct");
  EXPECT_EQ(outputs[1]["kind"], "graph");
  EXPECT_EQ(outputs[1]["template"], "");
  EXPECT_EQ(outputs[1]["data"][0]["rows"][0][0], 0.5);
}

}  // namespace
}  // namespace quilvar::runtime::output
