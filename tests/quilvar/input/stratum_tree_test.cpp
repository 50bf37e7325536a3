#include "quilvar/input/stratum_tree.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quilvar/host/missing.hpp"
#include "quilvar/input/read_data.hpp"

namespace quilvar::input {
namespace {

// A context with one numeric strata variable compared by value.
struct TreeFixture {
  ProcContext context{};
  KeyVariable variable{};
  std::vector<StratumNode> nodes;
  std::vector<double> keys;

  explicit TreeFixture(std::size_t capacity) : nodes(capacity), keys(capacity) {
    variable.type = 1;
    context.strata_count = 1;
    context.strata_variables = &variable;
    context.strata_order = kOrderInternal;
  }
  StratumNode* node_with_key(std::size_t i, double key) {
    keys[i] = key;
    nodes[i] = StratumNode{};
    nodes[i].numeric_key = &keys[i];
    nodes[i].data_order_key = &keys[i];
    return &nodes[i];
  }
};

// Returns the height, checking order, balance fields and the AVL property.
int check_subtree(const ProcContext& c, const StratumNode* node, const StratumNode* low, const StratumNode* high) {
  if (node == nullptr) return 0;
  if (low != nullptr) {
    EXPECT_LT(compare_strata(c, *low, *node), 0);
  }
  if (high != nullptr) {
    EXPECT_GT(compare_strata(c, *high, *node), 0);
  }
  const int left = check_subtree(c, node->first, low, node);
  const int right = check_subtree(c, node->second, node, high);
  EXPECT_EQ(node->balance, right - left);
  EXPECT_LE(std::abs(right - left), 1);
  return 1 + std::max(left, right);
}

TEST(InsertStratum, KeepsTreeOrderedAndBalancedForRandomAndSortedKeys) {
  std::mt19937 random(2024);
  for (int pattern = 0; pattern < 3; ++pattern) {
    SCOPED_TRACE(pattern);
    const std::size_t n = 500;
    TreeFixture f(n);
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<double>(i);
    if (pattern == 0) std::shuffle(values.begin(), values.end(), random);
    if (pattern == 2) std::reverse(values.begin(), values.end());
    StratumNode* root = nullptr;
    for (std::size_t i = 0; i < n; ++i) {
      StratumNode* node = f.node_with_key(i, values[i]);
      ASSERT_EQ(insert_stratum(f.context, &root, node), node);
    }
    const int height = check_subtree(f.context, root, nullptr, nullptr);
    EXPECT_LE(height, 13);  // an AVL tree of 500 nodes is at most 1.44 log2(n) tall
  }
}

TEST(InsertStratum, ReturnsTheExistingNodeForAnEqualKey) {
  TreeFixture f(3);
  StratumNode* root = nullptr;
  StratumNode* first = f.node_with_key(0, 5.0);
  insert_stratum(f.context, &root, first);
  insert_stratum(f.context, &root, f.node_with_key(1, 7.0));
  StratumNode* duplicate = f.node_with_key(2, 5.0);
  EXPECT_EQ(insert_stratum(f.context, &root, duplicate), first);
  EXPECT_EQ(root->second, &f.nodes[1]);
}

TEST(CompareStrata, PutsMissingLevelsBeforeNumbersUnderInternalOrder) {
  TreeFixture f(2);
  const StratumNode* missing = f.node_with_key(0, host::kMissing);
  const StratumNode* number = f.node_with_key(1, -1e9);
  EXPECT_LT(compare_strata(f.context, *missing, *number), 0);
  EXPECT_GT(compare_strata(f.context, *number, *missing), 0);
}

TEST(BuildStratumLabel, CutsAfterAWholeNameOrEqualsSign) {
  struct Case { std::string first_value; std::string expected_tail; };
  KeyVariable vars[2]{};
  ProcContext c{};
  c.strata_count = 2;
  c.strata_variables = vars;
  for (int i = 0; i < 2; ++i) {
    vars[i].type = 2;
    vars[i].name.length = 3;
    std::memcpy(vars[i].name.text, i == 0 ? "AGE" : "SEX", 3);
  }
  const Case cases[] = {
      {"10-19", "AGE=10-19 SEX=M"},
      {std::string(247, 'x'), "x SEX="},  // 4 + 247 + 5 = 256: the value would pass 256
      {std::string(248, 'x'), "x SEX"},   // 4 + 248 + 4 = 256: the equals sign would pass 256
      {std::string(249, 'x'), "xxx"},     // not even the next name fits: no trailing blank
  };
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.first_value.size());
    const int width0 = static_cast<int>(std::max<std::size_t>(cs.first_value.size(), 5));
    vars[0].formatted_width = width0;
    vars[1].formatted_width = 1;
    vars[1].formatted_offset = width0;
    std::string key = cs.first_value + std::string(width0 - cs.first_value.size(), ' ') + "M";
    c.strata_formatted_key = key.data();
    LongText label{};
    build_stratum_label(c, label);
    const std::string text(label.text, label.length);
    EXPECT_LE(text.size(), 256u);
    EXPECT_EQ(text.substr(text.size() - cs.expected_tail.size()), cs.expected_tail);
  }
}

}  // namespace
}  // namespace quilvar::input
