#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "quilvar/entry/module_entry.hpp"
#include "quilvar/entry/statement_setup.hpp"
#include "quilvar/entry/step_status.hpp"
#include "quilvar/host/calls.hpp"
#include "runtime/loader/kernel_services.hpp"
#include "runtime/loader/session.hpp"

namespace quilvar {
namespace {

// The module talks to the runtime's real kernel services.
class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    services_.kernel = &runtime::kernel_services();
    mcn_main(&services_, nullptr);
    runtime::current_session().log = &log_;
    runtime::begin_step();
  }
  void TearDown() override {
    runtime::end_step();
    runtime::current_session().log = nullptr;
    host::module_state() = {};
  }
  host::HostServices services_{};
  std::ostringstream log_;
};

TEST(ImageInformation, HasKeyAndFieldsAtTheirOffsets) {
  host::HostServices services{};
  int data = 0;
  const char* block = mcn_main(&services, &data);
  EXPECT_EQ(host::module_state().services, &services);
  EXPECT_EQ(host::module_state().module_data, &data);
  EXPECT_EQ(std::string(block, 22), "ZAM_Image_Information=");
  EXPECT_EQ(block[22], 0);
  EXPECT_EQ(block[23], 0);
  std::uint32_t count;
  std::memcpy(&count, block + kImageInfoCountOffset, sizeof count);
  EXPECT_EQ(count, 8u);
  // Each text ends with a zero byte inside its field.
  for (auto [offset, width] : {std::pair{kImageInfoReleaseOffset, 6}, {kImageInfoStampOffset, 20}, {kImageInfoDateOffset, 12}}) {
    SCOPED_TRACE(offset);
    EXPECT_LT(strnlen(block + offset, width), static_cast<std::size_t>(width));
    EXPECT_GT(strnlen(block + offset, width), 0u);
  }
  host::module_state() = {};
}

TEST(VersionRecord, CopiesTwoHundredEightBytesAndReturnsZero) {
  unsigned char area[kVersionRecordSize + 8];
  std::memset(area, 0xAB, sizeof area);
  EXPECT_EQ(zqvercn1(area), 0);
  const char* first_text;
  std::memcpy(&first_text, area, sizeof first_text);
  EXPECT_GT(std::strlen(first_text), 0u);
  EXPECT_EQ(std::memcmp(area + 40, "QVR1", 4), 0);  // the inline tag after five text pointers
  EXPECT_EQ(area[kVersionRecordSize - 1], 0);       // trailing zero slots
  EXPECT_EQ(area[kVersionRecordSize], 0xAB);        // nothing written past the record
}

TEST(ModuleDescriptor, NamesTheModuleAndPointsAtTheDriver) {
  EXPECT_EQ(std::string(quilvar_module.name, 8), "mivortek");
  EXPECT_EQ(quilvar_module.zero, 0);
  EXPECT_NE(quilvar_module.driver, nullptr);
  EXPECT_EQ(quilvar_module.words[0], 3u);
  EXPECT_EQ(module_load_entry(), 1);
}

TEST_F(EntryTest, DebugSwitchesFollowPlainSubstringSearch) {
  struct Case { std::string value; int syn; int sem; };
  const Case cases[] = {
      {"syn sem", 1, 1}, {"SEMANTICS", 0, 1}, {"synonym", 1, 0}, {"system", 0, 0}, {"   ", 0, 0}, {"", 0, 0},
      {std::string(250, 'x') + "sem", 0, 1},  // longer than the local buffer: still searched whole
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    host::StatementState state{};
    read_debug_switches(state, c.value.c_str());
    EXPECT_EQ(state.syn, c.syn);
    EXPECT_EQ(state.sem, c.sem);
    EXPECT_EQ(2 * state.syn + state.sem, 2 * c.syn + c.sem);
  }
  EXPECT_TRUE(runtime::current_session().step.allocations.empty());  // the long copy was released
}

TEST_F(EntryTest, StatementStateIsRegisteredAndReadsDebug) {
  setenv("DEBUG", "sem,syn", 1);
  host::StatementState* state = set_up_statement_state();
  unsetenv("DEBUG");
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(state->syn, 1);
  EXPECT_EQ(state->sem, 1);
  EXPECT_EQ(runtime::current_session().step.step_controls, std::vector<int>{-2});
}

TEST_F(EntryTest, OutputStatusRaisesToOneTwentyUnlessBenign) {
  ProcContext context{};
  check_output_status(context, 0);
  EXPECT_EQ(context.step_status, 0);
  const std::int32_t benign = static_cast<std::int32_t>(0x80000000u | (63u << 11) | 53u);
  check_output_status(context, benign);
  EXPECT_EQ(context.step_status, 0);
  const std::int32_t failing = static_cast<std::int32_t>(0x80000000u | (12u << 11) | 7u);
  check_output_status(context, failing);
  EXPECT_EQ(context.step_status, 120);
  raise_step_status(context, 4);
  EXPECT_EQ(context.step_status, 120);  // never lowered
  EXPECT_NE(log_.str().find("12-7"), std::string::npos);
}

TEST(ModuleLibrary, ExportsOnlyTheEntryPointsAndDescriptor) {
  void* library = dlopen(QUILVAR_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  EXPECT_NE(dlsym(library, "mcn_main"), nullptr);
  EXPECT_NE(dlsym(library, "zqvercn1"), nullptr);
  EXPECT_NE(dlsym(library, "quilvar_module"), nullptr);
  EXPECT_EQ(dlsym(library, "_ZN7quilvar8run_stepEv"), nullptr);  // internal functions stay hidden
  dlclose(library);
}

}  // namespace
}  // namespace quilvar
