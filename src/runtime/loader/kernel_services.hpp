// The runtime's kernel services: messages, step status, memory, environment,
// number formatting, guarded calls and tree-to-list conversion.
#pragma once

#include "quilvar/host/services.hpp"

namespace quilvar::runtime {

const host::KernelServices& kernel_services();

// The same tree relinking the kernel table offers, for direct use in tests:
// nodes begin with their left and right links; afterwards the first link of
// each node is the next node in order, and *root the first node.
void tree_to_list(void** root);

// Writes value into a field of `width` characters (right-aligned), in its
// shortest decimal form that reads back as the same value.
void format_number(double value, int width, int decimals, char* field);

}  // namespace quilvar::runtime
