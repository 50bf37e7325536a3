#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/loader/kernel_services.hpp"
#include "runtime/loader/module_loader.hpp"
#include "runtime/loader/session.hpp"

namespace quilvar::runtime {
namespace {

struct TreeNode {
  TreeNode* left;
  TreeNode* right;
  int key;
};

TreeNode* insert(TreeNode* root, TreeNode* node) {
  if (root == nullptr) return node;
  TreeNode** link = node->key < root->key ? &root->left : &root->right;
  *link = insert(*link, node);
  return root;
}

TEST(TreeToList, LinksRandomTreesInKeyOrder) {
  std::mt19937 random(12345);
  for (int size : {0, 1, 2, 7, 100, 1000}) {
    SCOPED_TRACE(size);
    std::vector<TreeNode> nodes(static_cast<std::size_t>(size));
    std::vector<int> keys(static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i) keys[i] = i;
    std::shuffle(keys.begin(), keys.end(), random);
    TreeNode* root = nullptr;
    for (int i = 0; i < size; ++i) {
      nodes[i] = TreeNode{nullptr, nullptr, keys[i]};
      root = insert(root, &nodes[i]);
    }
    void* head = root;
    tree_to_list(&head);
    int expected = 0;
    for (auto* n = static_cast<TreeNode*>(head); n != nullptr; n = n->left) EXPECT_EQ(n->key, expected++);
    EXPECT_EQ(expected, size);
  }
}

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    current_session().log = &log_;
    begin_step();
  }
  void TearDown() override {
    end_step();
    current_session().log = nullptr;
  }
  std::ostringstream log_;
  const host::KernelServices& kernel_ = kernel_services();
};

TEST_F(KernelTest, ErrorStatusEndsTheStepAndStatusNeverLowers) {
  EXPECT_EQ(kernel_.set_step_status(4, 0), 0);
  EXPECT_EQ(kernel_.set_step_status(0, 0), 0);
  EXPECT_EQ(current_session().step.status, 4);
  try {
    kernel_.set_step_status(1008, 0);
    FAIL() << "an error status must end the step";
  } catch (const StepEnded& ended) {
    EXPECT_EQ(ended.status, 1008);
  }
  EXPECT_EQ(current_session().step.status, 1008);
}

TEST_F(KernelTest, PoolMemoryIsZeroFilledAndAligned) {
  host::Pool* pool = kernel_.create_pool(nullptr, 1024, 4098);
  ASSERT_NE(pool, nullptr);
  for (std::size_t size : {1u, 24u, 100u, 200000u, 8u}) {
    SCOPED_TRACE(size);
    auto* bytes = static_cast<unsigned char*>(pool->allocate(pool, size, 8196));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bytes) % 16, 0u);
    EXPECT_TRUE(std::all_of(bytes, bytes + size, [](unsigned char b) { return b == 0; }));
    std::fill(bytes, bytes + size, 0xFF);  // must not overlap later blocks (ASan checks bounds)
  }
}

TEST_F(KernelTest, GuardedCallReportsFailureButLetsStepEndPass) {
  void* out = nullptr;
  auto ok = [](void** o, void* arg) { *o = arg; return 0; };
  auto throws = [](void**, void*) -> int { throw std::runtime_error("parser factory failed"); };
  auto ends = [](void**, void*) -> int { throw StepEnded{1012}; };
  int value = 7;
  EXPECT_EQ(kernel_.call_guarded(ok, &out, &value, nullptr), 0);
  EXPECT_EQ(out, &value);
  EXPECT_NE(kernel_.call_guarded(throws, &out, nullptr, nullptr), 0);
  EXPECT_THROW(kernel_.call_guarded(ends, &out, nullptr, nullptr), StepEnded);
}

// A message issued in every one of many BY groups is counted in full while
// the step keeps the texts of only its first messages.
TEST_F(KernelTest, MessagesAreCountedInFullButKeptFew) {
  const std::string group = "area=7";
  const host::MessageArg arg{host::kArgText, static_cast<std::int32_t>(group.size()), group.data(), 0.0};
  const int issued = static_cast<int>(kKeptMessages) + 500;
  for (int i = 0; i < issued; ++i) kernel_.issue_message(908, 150, &arg, 1);
  kernel_.issue_message(908, 143, nullptr, 0);
  const StepRecord& step = current_session().step;
  EXPECT_EQ(step.messages.size(), kKeptMessages);
  EXPECT_EQ(step.messages.front().args, std::vector<std::string>{group});
  ASSERT_EQ(step.message_counts.size(), 2u);
  EXPECT_EQ(step.message_counts[0].number, 150);
  EXPECT_EQ(step.message_counts[0].count, issued);
  EXPECT_EQ(step.message_counts[1].number, 143);
  EXPECT_EQ(step.message_counts[1].count, 1);
}

TEST(FormatNumber, RightAlignsShortestFormInTenCharacters) {
  struct Case { double value; const char* expected; };
  const Case cases[] = {{100000, "    100000"}, {1, "         1"}, {0.5, "       0.5"}, {1e12, "     1e+12"},
                        {2147483647, "2147483647"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    char field[10];
    format_number(c.value, 10, 99, field);
    EXPECT_EQ(std::string(field, 10), c.expected);
  }
}

TEST(ModuleLoader, ReportsMissingAndInvalidModulesByFile) {
  host::HostServices services{};
  LoadedModule module;
  std::string error;
  EXPECT_FALSE(load_module("/nonexistent/libquilvar.so", &services, &module, &error));
  EXPECT_NE(error.find("/nonexistent/libquilvar.so"), std::string::npos);
  const auto bogus =
      std::filesystem::temp_directory_path() / ("quilvar_not_a_module_" + std::to_string(::getpid()) + ".so");
  std::ofstream(bogus) << "not a shared library";
  EXPECT_FALSE(load_module(bogus, &services, &module, &error));
  EXPECT_NE(error.find(bogus.string()), std::string::npos);
  std::filesystem::remove(bogus);
}

TEST(ModuleLoader, LoadsTheModuleAndFindsItsDriver) {
  host::HostServices services{};
  LoadedModule module;
  std::string error;
  ASSERT_TRUE(load_module(QUILVAR_MODULE_FILE, &services, &module, &error)) << error;
  EXPECT_NE(module.driver, nullptr);
  EXPECT_EQ(module.image_information, "ZAM_Image_Information=");
  unload_module(&module);
}

// A bare file name (QUILVAR_MODULE_PATH=mymodule.so) is a file in the current
// folder, not a name for the dynamic loader to look for in the system's folders.
TEST(ModuleLoader, LoadsAModuleNamedWithoutAFolderFromTheCurrentFolder) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("quilvar_module_folder_" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const std::string name = "quilvar_module_copy_" + std::to_string(::getpid()) + ".so";
  fs::copy_file(QUILVAR_MODULE_FILE, folder / name, fs::copy_options::overwrite_existing);
  const fs::path previous = fs::current_path();
  fs::current_path(folder);
  host::HostServices services{};
  LoadedModule module;
  std::string error;
  const bool loaded = load_module(name, &services, &module, &error);
  fs::current_path(previous);
  EXPECT_TRUE(loaded) << error;
  EXPECT_NE(module.driver, nullptr);
  unload_module(&module);
  fs::remove_all(folder);
}

TEST(ModuleLoader, PathComesFromEnvironmentOrExecutableFolder) {
  unsetenv("QUILVAR_MODULE_PATH");
  EXPECT_EQ(default_module_path("/opt/q/bin/quilvar"), std::filesystem::path("/opt/q/bin/libquilvar.so"));
  setenv("QUILVAR_MODULE_PATH", "/tmp/x.so", 1);
  EXPECT_EQ(default_module_path("/opt/q/bin/quilvar"), std::filesystem::path("/tmp/x.so"));
  unsetenv("QUILVAR_MODULE_PATH");
}

}  // namespace
}  // namespace quilvar::runtime
