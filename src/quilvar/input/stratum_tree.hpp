// The stratum table: a height-balanced search tree of StratumNode records
// keyed by the STRATA variables, and the value and key comparisons.
#pragma once

#include "quilvar/entry/proc_context.hpp"
#include "quilvar/input/stratum_node.hpp"

namespace quilvar::input {

// Compares two strata variable by variable, in the step's key order: DATA
// compares first-appearance indexes, FORMATTED the formatted texts,
// INTERNAL the raw texts of character variables and the numbers of numeric
// ones. Negative, 0 or positive.
int compare_strata(const ProcContext& context, const StratumNode& a, const StratumNode& b);

// Inserts node into the AVL tree at *root, or finds the node with an equal
// key. Returns the node already in the tree, or node after inserting it, or
// null (after reporting an internal error) when the comparison proves
// inconsistent while balances are adjusted.
StratumNode* insert_stratum(const ProcContext& context, StratumNode** root, StratumNode* node);

}  // namespace quilvar::input
