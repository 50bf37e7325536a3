// Kernel services of the runtime host.
#include "runtime/loader/kernel_services.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include "quilvar/host/text.hpp"
#include "runtime/catalog/catalog.hpp"
#include "runtime/loader/session.hpp"

namespace quilvar::runtime {

namespace {

// Status words of the step: 0 success, 4 after a warning; anything higher
// is an error that ends the step.
constexpr int kWarningStatus = 4;

void record_message(int set, int number, std::span<const host::MessageArg> args) {
  StepRecord& step = current_session().step;
  auto counted = std::find_if(step.message_counts.begin(), step.message_counts.end(),
                              [set, number](const MessageCount& c) { return c.set == set && c.number == number; });
  if (counted == step.message_counts.end()) {
    step.message_counts.push_back({set, number, 1});
  } else {
    ++counted->count;
  }
  if (step.messages.size() >= kKeptMessages) return;
  IssuedMessage issued{set, number, {}};
  for (const host::MessageArg& arg : args) {
    issued.args.push_back(arg.kind == host::kArgText ? std::string(arg.text, static_cast<std::size_t>(arg.length))
                                                     : catalog::fill_text("%1", std::span(&arg, 1)));
  }
  step.messages.push_back(std::move(issued));
}

void issue_message(int set, int number, const host::MessageArg* args, int count) {
  record_message(set, number, std::span(args, static_cast<std::size_t>(count)));
  std::string text = catalog::format_message(set, number, std::span(args, static_cast<std::size_t>(count)));
  const catalog::CatalogEntry* entry = catalog::find_entry(set, number);
  const catalog::Severity severity = entry != nullptr ? entry->severity : catalog::Severity::kError;
  // A problem found in one BY group of thousands says where it is.
  const auto& place = current_session().message_place;
  if (place) {
    const std::string where = place(set, number);
    if (!where.empty()) text += " (" + where + ")";
  }
  // The number under which the message list explains it.
  text += " [" + catalog::message_number(set, number) + "]";
  switch (severity) {
    case catalog::Severity::kWarning: write_log(LogLevel::kWarning, text); break;
    case catalog::Severity::kError: write_log(LogLevel::kError, text); break;
    default: write_log(LogLevel::kNote, text); break;
  }
}

int get_message_text(int set, int number, const char** text, std::int64_t* length) {
  const auto found = catalog::message_text(set, number);
  if (!found) return 1;
  *text = found->data();
  *length = static_cast<std::int64_t>(found->size());
  return 0;
}

int get_message_into(char* buffer, int capacity, int set, int number) {
  const auto found = catalog::message_text(set, number);
  if (!found || capacity <= 0) return 0;
  const std::size_t n = std::min(found->size(), static_cast<std::size_t>(capacity));
  std::memcpy(buffer, found->data(), n);
  return static_cast<int>(n);
}

int set_step_status(int status, int) {
  raise_status(status);
  if (status != 0 && status != kWarningStatus) throw StepEnded{status};
  return 0;
}

void report_status(void*, std::uint32_t word) {
  const unsigned facility = (word >> 11) & 0x7FF;
  const unsigned number = word & 0x7FF;
  write_log(LogLevel::kNote, "an output request ended with status " + std::to_string(facility) + "-" +
                                 std::to_string(number) + ".");
}

void* alloc(std::size_t size, std::uint32_t) {
  void* memory = std::calloc(1, size == 0 ? 1 : size);
  if (memory != nullptr) current_session().step.allocations.push_back(memory);
  return memory;
}

void free_memory(void* memory, int, int) {
  auto& list = current_session().step.allocations;
  const auto it = std::find(list.begin(), list.end(), memory);
  if (it == list.end()) return;
  list.erase(it);
  std::free(memory);
}

// A pool hands out zero-filled memory from blocks that live until the step
// ends; requests larger than a block get a block of their own.
struct RuntimePool {
  host::Pool base;
  std::size_t block_size;
  char* cursor;
  std::size_t left;
};

void* pool_allocate(host::Pool* pool, std::size_t size, std::uint32_t) {
  auto* p = reinterpret_cast<RuntimePool*>(pool);
  const std::size_t aligned = (size + 15) & ~std::size_t{15};
  if (aligned > p->left) {
    const std::size_t block = std::max(p->block_size, aligned);
    p->cursor = static_cast<char*>(std::calloc(1, block));
    if (p->cursor == nullptr) return nullptr;
    current_session().step.pool_blocks.push_back(p->cursor);
    p->left = block;
  }
  void* result = p->cursor;
  p->cursor += aligned;
  p->left -= aligned;
  return result;
}

constexpr std::size_t kPoolBlockMinimum = 64 * 1024;

host::Pool* create_pool(void*, std::size_t block, std::uint32_t) {
  auto* pool = static_cast<RuntimePool*>(std::calloc(1, sizeof(RuntimePool)));
  if (pool == nullptr) return nullptr;
  current_session().step.pool_blocks.push_back(pool);
  pool->base.allocate = &pool_allocate;
  pool->block_size = std::max(block, kPoolBlockMinimum);
  return &pool->base;
}

const char* get_environment(const char* name) { return std::getenv(name); }

void upcase_text(char* buffer, std::int64_t length) {
  for (std::int64_t i = 0; i < length; ++i) {
    buffer[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(buffer[i])));
  }
}

constexpr std::array<unsigned char, 256> make_upcase_table() {
  std::array<unsigned char, 256> table{};
  for (int c = 0; c < 256; ++c) table[c] = static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return table;
}
constexpr std::array<unsigned char, 256> kUpcaseTable = make_upcase_table();

// Guarded calls catch whatever the function throws, except the end of the
// step, which must still reach the runtime.
int call_guarded(host::GuardedFunction function, void** out, void* argument, void*) {
  try {
    return function(out, argument);
  } catch (const StepEnded&) {
    throw;
  } catch (...) {
    return 1;
  }
}

void tree_to_list_service(void** root) { tree_to_list(root); }

void internal_error(const char* text) { write_log(LogLevel::kError, std::string("internal error: ") + text); }

int step_control(int code) {
  current_session().step.step_controls.push_back(code);
  return 0;
}

int register_statement_state(void*, void*, std::uint64_t* values) {
  values[0] = static_cast<std::uint64_t>(current_session().steps_run);
  values[1] = 0;
  values[2] = 0;
  return 0;
}

// Floating-point signals are recorded and execution continues: the
// numerical routines return their documented limiting values.
void raise_signal(std::uint32_t code) { current_session().step.signals.push_back(code); }

// A negative width asks for the number at the start of the field, so that
// dropping trailing blanks leaves just the number.
void format_number_service(double value, int width, int decimals, char* field) {
  const int n = width < 0 ? -width : width;
  format_number(value, n, decimals, field);
  if (width < 0) host::justify_text(field, n, 'L');
}

const host::KernelServices kKernel{
    &issue_message, &get_message_text, &get_message_into, &set_step_status, &report_status,
    &alloc, &free_memory, &create_pool, &get_environment, &upcase_text, 1, kUpcaseTable.data(),
    &format_number_service, &call_guarded, &tree_to_list_service, &internal_error, &step_control,
    &register_statement_state, &raise_signal};

}  // namespace

const host::KernelServices& kernel_services() { return kKernel; }

void tree_to_list(void** root) {
  struct Node {
    Node* left;
    Node* right;
  };
  std::vector<Node*> stack;
  Node* head = nullptr;
  Node* tail = nullptr;
  Node* current = static_cast<Node*>(*root);
  while (current != nullptr || !stack.empty()) {
    while (current != nullptr) {
      stack.push_back(current);
      current = current->left;
    }
    Node* node = stack.back();
    stack.pop_back();
    current = node->right;  // read before the first link is rewritten
    if (tail == nullptr) head = node; else tail->left = node;
    tail = node;
  }
  if (tail != nullptr) tail->left = nullptr;
  *root = head;
}

void format_number(double value, int width, int, char* field) {
  // Whole numbers are written out in full (100000, not 1e+05) when they fit
  // the field; other values in their shortest round-trip form.
  char text[32];
  auto result = std::to_chars(text, text + sizeof text, value);
  if (std::abs(value) < 1e15 && value == std::floor(value)) {
    char whole[32];
    const auto fixed = std::to_chars(whole, whole + sizeof whole, value, std::chars_format::fixed);
    if (fixed.ptr - whole <= width) result.ptr = std::copy(whole, fixed.ptr, text);
  }
  const int length = static_cast<int>(result.ptr - text);
  std::fill(field, field + width, ' ');
  if (length > width) {
    std::fill(field, field + width, '*');  // does not fit the field
    return;
  }
  std::memcpy(field + width - length, text, static_cast<std::size_t>(length));
}

}  // namespace quilvar::runtime
