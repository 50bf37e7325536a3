// AVL insertion of strata (after Knuth, The Art of Computer Programming,
// vol. 3, 6.2.3, Algorithm A) and stratum key comparison.
#include "quilvar/input/stratum_tree.hpp"

#include "quilvar/host/calls.hpp"
#include "quilvar/host/text.hpp"

namespace quilvar::input {

namespace {

constexpr int kTypeCharacter = 2;
constexpr char kInvalidCompare[] = "ztrebld: invalid compare";

int compare_variable(const ProcContext& c, int i, const StratumNode& a, const StratumNode& b) {
  const KeyVariable& v = c.strata_variables[i];
  switch (c.strata_order) {
    case kOrderData:
      return host::compare_values(&a.data_order_key[i], &b.data_order_key[i], -1);
    case kOrderFormatted:
      return host::compare_values(a.formatted_key + v.formatted_offset, b.formatted_key + v.formatted_offset,
                                  v.formatted_width);
    default:
      if (v.type == kTypeCharacter) {
        return host::compare_values(a.raw_key + v.raw_offset, b.raw_key + v.raw_offset, v.length);
      }
      return host::compare_values(&a.numeric_key[i], &b.numeric_key[i], -1);
  }
}

StratumNode*& link(StratumNode* node, int direction) { return direction < 0 ? node->first : node->second; }

int direction_of(int comparison) { return comparison < 0 ? -1 : 1; }

// Restores balance at s, whose subtree in direction a grew one level too
// tall; r is s's child on that side. Returns the subtree's new top.
StratumNode* rebalance(StratumNode* s, StratumNode* r, int a) {
  if (r->balance == a) {  // single rotation
    link(s, a) = link(r, -a);
    link(r, -a) = s;
    s->balance = r->balance = 0;
    return r;
  }
  StratumNode* g = link(r, -a);  // double rotation through the grandchild
  link(r, -a) = link(g, a);
  link(g, a) = r;
  link(s, a) = link(g, -a);
  link(g, -a) = s;
  s->balance = static_cast<std::int16_t>(g->balance == a ? -a : 0);
  r->balance = static_cast<std::int16_t>(g->balance == -a ? a : 0);
  g->balance = 0;
  return g;
}

}  // namespace

int compare_strata(const ProcContext& c, const StratumNode& a, const StratumNode& b) {
  for (int i = 0; i < c.strata_count; ++i) {
    const int result = compare_variable(c, i, a, b);
    if (result != 0) return result;
  }
  return 0;
}

StratumNode* insert_stratum(const ProcContext& c, StratumNode** root, StratumNode* node) {
  node->first = node->second = nullptr;
  node->balance = 0;
  if (*root == nullptr) return *root = node;
  // Search, remembering the deepest unbalanced node s and its parent t.
  StratumNode* t = nullptr;
  StratumNode* s = *root;
  for (StratumNode* p = *root;;) {
    const int comparison = compare_strata(c, *node, *p);
    if (comparison == 0) return p;
    StratumNode*& next = link(p, direction_of(comparison));
    if (next == nullptr) {
      next = node;
      break;
    }
    if (next->balance != 0) {
      t = p;
      s = next;
    }
    p = next;
  }
  // Every node below s on the path now leans towards the new leaf.
  const int a = direction_of(compare_strata(c, *node, *s));
  StratumNode* r = link(s, a);
  for (StratumNode* p = r; p != node;) {
    const int comparison = compare_strata(c, *node, *p);
    if (comparison == 0) {
      host::host_internal_error(kInvalidCompare);
      return nullptr;
    }
    p->balance = static_cast<std::int16_t>(direction_of(comparison));
    p = link(p, p->balance);
  }
  if (s->balance == 0) {
    s->balance = static_cast<std::int16_t>(a);
    return node;
  }
  if (s->balance == -a) {
    s->balance = 0;
    return node;
  }
  StratumNode* top = rebalance(s, r, a);
  if (t == nullptr) *root = top;
  else link(t, t->second == s ? 1 : -1) = top;
  return node;
}

}  // namespace quilvar::input
