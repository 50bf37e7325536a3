// The output services under requests a module should not make, and over the
// lifetime of steps and long runs: failing status words without crashes,
// handles that die with their step, graphics switches, bounded memory.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "output_support.hpp"
#include "quilvar/host/missing.hpp"
#include "runtime/output/request.hpp"
#include "runtime/output/system.hpp"

namespace quilvar::runtime::output {
namespace {

using namespace testing;

class OutputServices : public OutputRunTest {
 protected:
  void begin_listing_run(bool graphics = true) {
    OutputOptions options;
    options.listing = &listing_;
    options.graphics = graphics;
    std::string error;
    ASSERT_TRUE(begin_run(options, &error)) << error;
  }
};

struct MalformedCase {
  const char* what;
  Failure reason;
  std::function<std::int32_t()> request;
};

TEST_F(OutputServices, MalformedRequestsFailWithTheirReasonAndLeaveTheSystemWorking) {
  begin_listing_run();
  begin_step("", nullptr);
  ModuleDriver module;
  double value = 1.5;
  char text[4] = {'a', 'b', ' ', ' '};
  OdsObject* ended = module.create_template("Ended", "Ended label");
  ASSERT_EQ(module.set_dynamic(ended, {{"Note", "kept"}}), 0);
  ASSERT_EQ(module.numeric_column(ended, "X", &value), 0);
  ASSERT_EQ(module.end_definition(ended), 0);
  OdsObject* unfinished = module.create_template("Unfinished", "Unfinished");
  OdsObject* list = module.create(module.root, "factoid", {text_item(host::kAttrName, "Info")});
  ASSERT_EQ(module.invoke(list, host::kMethodEndRows, {}), 0);
  OdsObject* busy = module.create_template("Busy", "Busy");
  ASSERT_EQ(module.numeric_column(busy, "X", &value), 0);
  ASSERT_EQ(module.end_definition(busy), 0);
  module.open(busy, "Vesk.Quilvar.Unknown");
  OdsObject* closed = module.open(ended, "Vesk.Quilvar.Unknown");
  ASSERT_EQ(module.close(closed), 0);
  auto* forged = reinterpret_cast<OdsObject*>(std::uintptr_t{0x7777'0000'0042});
  OdsObject* result = nullptr;
  const auto create = [&](std::vector<OutputItem> items) {
    return module.invoke(module.manager, host::kMethodCreate, std::move(items));
  };
  const MalformedCase cases[] = {
      {"unknown method", Failure::kUnknownMethod, [&] { return module.invoke(module.manager, 9999, {}); }},
      {"null object", Failure::kBadHandle, [&] { return module.end_definition(nullptr); }},
      {"forged object", Failure::kBadHandle, [&] { return module.add_row(forged); }},
      {"closed output", Failure::kBadHandle, [&] { return module.close(closed); }},
      {"create without result", Failure::kMissingItem,
       [&] { return create({text_item(host::kAttrOds, "ods"), text_item(host::kAttrKind, "data")}); }},
      // A template of the same name that cannot be handed out leaves the
      // earlier one whole: its label and dynamic variables (used below).
      {"template again into a result of the wrong type", Failure::kWrongItemType,
       [&] {
         return create({text_item(host::kAttrOds, "ods"), text_item(host::kAttrKind, "data"),
                        host::make_int_item(host::kAttrResult, 0), text_item(host::kAttrName, "Ended"),
                        text_item(host::kAttrLabel, "Other label")});
       }},
      {"create of unknown kind", Failure::kBadValue,
       [&] {
         return create({text_item(host::kAttrOds, "ods"), text_item(host::kAttrKind, "chart"),
                        host::make_result_item(host::kAttrResult, &result), text_item(host::kAttrName, "T")});
       }},
      {"kind given as a number", Failure::kWrongItemType,
       [&] {
         return create({text_item(host::kAttrOds, "ods"), host::make_int_item(host::kAttrKind, 3),
                        host::make_result_item(host::kAttrResult, &result)});
       }},
      {"text value not made here", Failure::kBadHandle,
       [&] {
         return create({text_item(host::kAttrOds, "ods"),
                        host::make_text_item(host::kAttrKind, reinterpret_cast<host::OdsText*>(forged)),
                        host::make_result_item(host::kAttrResult, &result)});
       }},
      {"counted text of negative length", Failure::kBadValue,
       [&] {
         return create({host::make_counted_text_item(host::kAttrOds, "ods", -3), text_item(host::kAttrKind, "data"),
                        host::make_result_item(host::kAttrResult, &result)});
       }},
      {"row with no open output", Failure::kNoOpenOutput, [&] { return module.add_row(ended); }},
      {"rows ended with no open output", Failure::kNoOpenOutput, [&] { return module.end_rows(ended); }},
      {"column after the definition ended", Failure::kBadState,
       [&] { return module.numeric_column(ended, "Y", &value); }},
      {"character column without length", Failure::kMissingItem,
       [&] {
         return module.invoke(unfinished, host::kMethodDefineColumn,
                              {host::make_int_item(host::kAttrColumnType, host::kColumnCharacter),
                               text_item(host::kAttrName, "C"), host::make_bound_item(host::kAttrBoundVariable, text)});
       }},
      {"column of unknown type", Failure::kBadValue,
       [&] {
         return module.invoke(unfinished, host::kMethodDefineColumn,
                              {host::make_int_item(host::kAttrColumnType, 9), text_item(host::kAttrName, "C"),
                               host::make_bound_item(host::kAttrBoundVariable, &value)});
       }},
      {"column not bound to a variable", Failure::kWrongItemType,
       [&] {
         return module.invoke(unfinished, host::kMethodDefineColumn,
                              {host::make_int_item(host::kAttrColumnType, host::kColumnNumeric),
                               text_item(host::kAttrName, "C"), host::make_int_item(host::kAttrBoundVariable, 0)});
       }},
      {"column on the manager", Failure::kWrongObject, [&] { return module.numeric_column(module.manager, "C", &value); }},
      {"output from an unfinished template", Failure::kBadState,
       [&] {
         return module.invoke(module.manager, host::kMethodOpenOutput,
                              {host::make_result_item(host::kAttrPositional, &result),
                               host::make_handle_item(host::kAttrPositional, unfinished),
                               text_item(host::kAttrTemplatePath, "P")});
       }},
      {"second output from one template", Failure::kBadState,
       [&] {
         return module.invoke(module.manager, host::kMethodOpenOutput,
                              {host::make_result_item(host::kAttrPositional, &result),
                               host::make_handle_item(host::kAttrPositional, busy),
                               text_item(host::kAttrTemplatePath, "P")});
       }},
      {"output from a list", Failure::kBadHandle,
       [&] {
         return module.invoke(module.manager, host::kMethodOpenOutput,
                              {host::make_result_item(host::kAttrPositional, &result),
                               host::make_handle_item(host::kAttrPositional, list),
                               text_item(host::kAttrTemplatePath, "P")});
       }},
      {"dynamic name without value", Failure::kMissingItem,
       [&] { return module.invoke(ended, host::kMethodSetDynamic, {text_item(host::kAttrDynamicName, "_X_")}); }},
      {"entry on a delivered list", Failure::kBadState,
       [&] {
         return module.invoke(list, host::kMethodAddEntry,
                              {text_item(host::kAttrLabel, "L"), host::make_double_item(host::kAttrDynamicValue, 1)});
       }},
      {"graph over a template", Failure::kBadHandle,
       [&] {
         return module.invoke(module.manager, host::kMethodBindGraph,
                              {text_item(host::kAttrName, "G"), text_item(host::kAttrTemplatePath, "P"),
                               host::make_counted_list_item(host::kAttrDataObjectList, &ended, 1)});
       }},
      {"negative item count", Failure::kBadValue,
       [&] { return module.ods.invoke(ended, nullptr, host::kMethodEndDefinition, -1, nullptr); }},
      {"items missing for their count", Failure::kBadValue,
       [&] { return module.ods.invoke(ended, nullptr, host::kMethodEndDefinition, 2, nullptr); }},
      {"unknown class operation", Failure::kUnknownMethod,
       [&] { return module.ods.class_operation(module.manager, 7, 0, nullptr); }},
      {"unknown attribute read", Failure::kBadValue,
       [&] {
         OutputItem item = host::make_flag_item(999, 0);
         return module.ods.class_operation(module.manager, host::kClassReadAttribute, 1, &item);
       }},
      {"attribute read without item", Failure::kMissingItem,
       [&] { return module.ods.class_operation(module.manager, host::kClassReadAttribute, 1, nullptr); }},
      {"release of a template", Failure::kWrongObject,
       [&] { return module.ods.class_operation(ended, host::kClassRelease, 0, nullptr); }},
      {"root into null", Failure::kMissingItem, [&] { return module.ods.get_root(nullptr, 0); }},
  };
  for (const MalformedCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::int32_t status = c.request();
    ASSERT_LT(status, 0);
    EXPECT_EQ(status_facility(status), kOutputFacility);
    EXPECT_EQ(status_number(status), static_cast<std::uint32_t>(c.reason));
  }

  OdsObject* output = module.open(ended, "Vesk.Quilvar.Unknown");
  EXPECT_EQ(module.add_row(ended), 0);
  EXPECT_EQ(module.close(output), 0);
  end_step(0);  // the listing is written on the delivery thread, complete when the step ends
  EXPECT_NE(listing_.str().find("1.5"), std::string::npos);
  // Both tables of the template carry its label: the one closed before the
  // failed requests and the one made after them.
  const std::string shown = listing_.str();
  const std::size_t first = shown.find("Ended label");
  ASSERT_NE(first, std::string::npos) << shown;
  EXPECT_NE(shown.find("Ended label", first + 1), std::string::npos) << shown;
}

TEST(TrimmedView, DropsTrailingBlanksAndZerosWhateverTheirMixAndLength) {
  std::mt19937 random(3);
  const char tail_bytes[] = {' ', '\0'};
  for (int trial = 0; trial < 2000; ++trial) {
    std::string text(static_cast<std::size_t>(random() % 12), 'x');
    for (char& c : text) c = static_cast<char>('a' + random() % 26);
    if (text.size() > 1 && trial % 3 == 0) text[random() % (text.size() - 1)] = ' ';  // a blank inside stays
    const std::size_t kept = text.size();
    const std::size_t tail = random() % 40;
    // Runs of one kind (whole words of blanks or zeros) and mixed words.
    const bool mixed = trial % 2 == 0;
    const char run = tail_bytes[random() % 2];
    for (std::size_t i = 0; i < tail; ++i) text += mixed ? tail_bytes[random() % 2] : run;
    SCOPED_TRACE(trial);
    EXPECT_EQ(trimmed_view(text), std::string_view(text).substr(0, kept));
  }
  EXPECT_EQ(trimmed_view(std::string(256, ' ')), "");
  EXPECT_EQ(trimmed_view(std::string(256, '\0')), "");
}

TEST_F(OutputServices, FailingStatusIsNeverTheOneTheModuleTreatsAsBenign) {
  for (std::uint32_t reason = 1; reason <= static_cast<std::uint32_t>(Failure::kInternal); ++reason) {
    SCOPED_TRACE(reason);
    const std::int32_t status = failure_status(static_cast<Failure>(reason));
    EXPECT_LT(status, 0);
    EXPECT_FALSE(status_facility(status) == 63 && status_number(status) == 53);
  }
}

TEST_F(OutputServices, CallsOutsideAStepFailAndHandlesDieWithTheirStep) {
  begin_listing_run();
  OdsObject* root = nullptr;
  EXPECT_EQ(status_number(output_services().get_root(&root, 0)), static_cast<std::uint32_t>(Failure::kNoStep));
  EXPECT_EQ(output_services().make_string("x", -1), nullptr);

  begin_step("first", nullptr);
  ModuleDriver first;
  OdsObject* again = nullptr;
  EXPECT_EQ(first.ods.get_root(&again, 0), 0);
  EXPECT_EQ(again, first.root);
  OdsObject* old_template = first.create_template("T", "T");
  host::OdsText* old_text = first.ods.make_string("kept", -1);
  end_step(0);
  EXPECT_EQ(status_number(first.end_definition(old_template)), static_cast<std::uint32_t>(Failure::kNoStep));

  begin_step("second", nullptr);
  ModuleDriver second;
  EXPECT_NE(second.root, first.root);
  EXPECT_EQ(status_number(second.end_definition(old_template)), static_cast<std::uint32_t>(Failure::kBadHandle));
  EXPECT_EQ(status_number(second.invoke(second.manager, host::kMethodStepProperties,
                                        {host::make_text_item(host::kAttrBuiltinText, old_text)})),
            static_cast<std::uint32_t>(Failure::kBadHandle));
  end_step(0);
}

TEST_F(OutputServices, GraphicsAttributeFollowsRunAndStepSettings) {
  struct Case {
    bool run;
    bool step;
    std::int32_t expected;
  };
  for (const Case& c : {Case{true, true, 1}, Case{true, false, 0}, Case{false, true, 0}}) {
    SCOPED_TRACE(::testing::Message() << c.run << c.step);
    begin_listing_run(c.run);
    set_graphics_enabled(c.step);
    begin_step("", nullptr);
    ModuleDriver module;
    OutputItem item = host::make_flag_item(host::kAttrGraphicsEnabled, 7);
    EXPECT_EQ(module.ods.class_operation(module.manager, host::kClassReadAttribute, 1, &item), 0);
    EXPECT_EQ(host::item_flag(item), c.expected);
    end_step(0);
  }
}

TEST_F(OutputServices, LongRunsKeepTheirLiveObjectsBounded) {
  begin_listing_run();
  begin_step("", nullptr);
  ModuleDriver module;
  host::OdsText* step_text = module.ods.make_string("made before any group", -1);
  double value = 0;
  std::size_t live_after_warm_up = 0;
  host::OdsText* first_group_text = nullptr;
  OdsObject* first_template = nullptr;
  for (int group = 1; group <= 1000; ++group) {
    OdsObject* opened = module.open_group("Group");
    host::OdsText* header = module.ods.make_string("Header", -1);
    if (group == 1) first_group_text = header;
    OdsObject* stats = module.create_template("StrataStats", "Stats");
    if (group == 1) first_template = stats;
    ASSERT_EQ(module.invoke(stats, host::kMethodSetDynamic,
                            {text_item(host::kAttrDynamicName, "_StrataHeader_"),
                             host::make_text_item(host::kAttrDynamicValue, header)}),
              0);
    ASSERT_EQ(module.numeric_column(stats, "X", &value), 0);
    ASSERT_EQ(module.end_definition(stats), 0);
    OdsObject* output = module.open(stats, "Vesk.Quilvar.StrataStats");
    ASSERT_EQ(module.add_row(stats), 0);
    ASSERT_EQ(module.close(output), 0);
    ASSERT_EQ(module.ods.class_operation(opened, host::kClassRelease, 0, nullptr), 0);
    if (group == 10) live_after_warm_up = output_system().registry().live_count();
  }
  EXPECT_EQ(output_system().registry().live_count(), live_after_warm_up);
  EXPECT_EQ(status_number(module.end_definition(first_template)), static_cast<std::uint32_t>(Failure::kBadHandle));
  const auto label_with = [&](host::OdsText* text) {
    return module.invoke(module.manager, host::kMethodStepProperties,
                         {host::make_text_item(host::kAttrBuiltinText, text)});
  };
  EXPECT_EQ(status_number(label_with(first_group_text)), static_cast<std::uint32_t>(Failure::kBadHandle));
  EXPECT_EQ(label_with(step_text), 0);
  EXPECT_EQ(output_system().step().procedure_label, "made before any group");
  end_step(0);
}

TEST_F(OutputServices, TextsComeFromTheCatalogAndFromTheModule) {
  begin_listing_run();
  begin_step("", nullptr);
  ModuleDriver module;
  const host::MessageArg argument{host::kArgText, 6, "100000", 0.0};
  const auto label_with = [&](host::OdsText* text) {
    EXPECT_NE(text, nullptr);
    EXPECT_EQ(module.invoke(module.manager, host::kMethodStepProperties,
                            {host::make_text_item(host::kAttrBuiltinText, text)}),
              0);
    return output_system().step().procedure_label;
  };
  EXPECT_EQ(label_with(module.ods.make_string("padded   ", -1)), "padded");
  EXPECT_EQ(label_with(module.ods.make_string("cut here", 3)), "cut");
  EXPECT_FALSE(label_with(module.ods.make_builtin_text(nullptr, 1)).empty());
  EXPECT_NE(label_with(module.ods.make_message_text(908, 11, &argument, 1)).find("100000"), std::string::npos);
  EXPECT_EQ(module.ods.make_string(nullptr, 4), nullptr);
  EXPECT_EQ(module.ods.make_message_text(908, 11, nullptr, 1), nullptr);
  end_step(0);
}

}  // namespace
}  // namespace quilvar::runtime::output
