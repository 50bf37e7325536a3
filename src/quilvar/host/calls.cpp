// Wrappers over the host's service tables; see calls.hpp.
#include "quilvar/host/calls.hpp"

#include <algorithm>
#include <array>

#include "quilvar/numeric/signal.hpp"

namespace quilvar::host {

ModuleState& module_state() {
  static ModuleState state;
  return state;
}

namespace {

constexpr std::size_t kMaxItemsPerRequest = 16;

HostServices& services_marking(int table) {
  HostServices& services = *module_state().services;
  services.table_used[table] = 1;
  return services;
}

}  // namespace

const KernelServices& kernel_table() { return *services_marking(kKernelTable).kernel; }
const ParserServices& parser_table() { return *services_marking(kParserTable).parser; }
const DataSetServices& data_set_table() { return *services_marking(kDataSetTable).datasets; }
const OutputServices& output_table() { return *services_marking(kOutputTable).output; }

void host_issue_message(int set, int number, std::initializer_list<MessageArg> args) {
  kernel_table().issue_message(set, number, args.begin(), static_cast<int>(args.size()));
}

std::string_view host_get_message_text(int set, int number) {
  const char* text = nullptr;
  std::int64_t length = 0;
  if (kernel_table().get_message_text(set, number, &text, &length) != 0 || text == nullptr) return {};
  return {text, static_cast<std::size_t>(length)};
}

int host_get_message_into(char* buffer, int capacity, int set, int number) {
  return kernel_table().get_message_into(buffer, capacity, set, number);
}

int host_set_step_status(int status) { return kernel_table().set_step_status(status, 0); }
void host_report_status(std::uint32_t status_word) { kernel_table().report_status(nullptr, status_word); }
void* host_alloc(std::size_t size, std::uint32_t flags) { return kernel_table().alloc(size, flags); }
void host_free(void* memory) { kernel_table().free(memory, 0, 4); }
Pool* host_create_pool() { return kernel_table().create_pool(nullptr, 1024, kPoolFlags); }
// No caller can go on without the memory it asked for, so memory exhausted
// ends the step here: an error status does not return.
void* pool_allocate(Pool* pool, std::size_t size, std::uint32_t flags) {
  void* memory = pool->allocate(pool, size, flags);
  if (memory == nullptr) host_set_step_status(kStatusNoMemory);
  return memory;
}
const char* host_get_environment(const char* name) { return kernel_table().get_environment(name); }
void host_upcase_text(char* buffer, std::int64_t length) { kernel_table().upcase_text(buffer, length); }
bool host_locale_active() { return kernel_table().locale_active != 0; }
const unsigned char* host_upcase_table() { return kernel_table().upcase_table; }
void host_format_number(double value, char field[10]) { kernel_table().format_number(value, -10, 99, field); }

int host_call_guarded(GuardedFunction function, void** out, void* argument) {
  return kernel_table().call_guarded(function, out, argument, module_state().module_data);
}

void host_tree_to_list(void** root) { kernel_table().tree_to_list(root); }
void host_internal_error(const char* text) { kernel_table().internal_error(text); }
int host_step_control(int code) { return kernel_table().step_control(code); }
int host_register_statement_state(void* state, void* work_area, std::uint64_t values[3]) {
  return kernel_table().register_statement_state(state, work_area, values);
}

std::int32_t ods_invoke(OdsObject* object, OdsObject* klass, int method, int count, OutputItem* items) {
  return output_table().invoke(object, klass, method, count, items);
}

std::int32_t ods_invoke(OdsObject* object, OdsObject* klass, int method, std::initializer_list<OutputItem> items) {
  // The host may write results into the items, so they are passed as a
  // writable copy; no request of the module has more than a few items. Only
  // the first `count` items are read, so the rest is left uninitialized.
  std::array<OutputItem, kMaxItemsPerRequest> copy;
  const std::size_t count = std::min(items.size(), copy.size());
  std::copy_n(items.begin(), count, copy.begin());
  return ods_invoke(object, klass, method, static_cast<int>(count), copy.data());
}

std::int32_t ods_class_operation(OdsObject* object, int operation, int count, OutputItem* items) {
  return output_table().class_operation(object, operation, count, items);
}

std::int32_t ods_get_root(OdsObject** root) { return output_table().get_root(root, 0); }
OdsText* ods_make_string(const char* text, std::int64_t length) { return output_table().make_string(text, length); }
OdsText* ods_make_builtin_text(int number) { return output_table().make_builtin_text(nullptr, number); }
OdsText* ods_make_message_text(int set, int number, std::initializer_list<MessageArg> args) {
  return output_table().make_message_text(set, number, args.begin(), static_cast<int>(args.size()));
}

}  // namespace quilvar::host

namespace quilvar::numeric {

// Floating-point signals of the numerical library go to the host, whose
// handler decides whether the computation continues. Without a host (the
// module not yet loaded) there is nobody to tell, and the computation goes on.
void raise_floating_signal(std::uint32_t code) {
  if (host::module_state().services == nullptr) return;
  host::kernel_table().raise_signal(code);
}

}  // namespace quilvar::numeric
