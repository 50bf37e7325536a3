#include "runtime/catalog/messages_doc.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace quilvar::runtime::catalog {
namespace {

// The committed reference page must be exactly what the catalog renders;
// after changing a message, regenerate it with quilvar-messages.
TEST(MessagesPage, CommittedPageMatchesTheCatalog) {
  std::ifstream in(std::string(QUILVAR_SOURCE_DIR) + "/docs/messages.md");
  ASSERT_TRUE(in) << "docs/messages.md is missing";
  const std::string committed{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(committed, render_messages_markdown())
      << "regenerate with: build/bin/quilvar-messages > docs/messages.md";
}

TEST(MessagesPage, ListsErrorsWithAdviceAndLeavesOutPlainLabels) {
  const std::string page = render_messages_markdown();
  EXPECT_NE(page.find("| 908-127 | ERROR |"), std::string::npos);
  EXPECT_NE(page.find("| 210-1104 | WARNING |"), std::string::npos);
  EXPECT_EQ(page.find("| 908-66 |"), std::string::npos);  // a method name, not a message
}

}  // namespace
}  // namespace quilvar::runtime::catalog
