// Statement state setup and the DEBUG trace switches.
#include "quilvar/entry/statement_setup.hpp"

#include <cstring>

#include "quilvar/host/calls.hpp"
#include "quilvar/host/text.hpp"

namespace quilvar {

namespace {

constexpr int kLocalDebugCapacity = 200;
constexpr int kStepControlAttach = -2;

bool is_all_blank(const char* text, std::size_t length) {
  return host::trim_length(text, static_cast<int>(length)) == 0;
}

void upcase(char* text, int length) {
  if (host::host_locale_active()) {
    host::host_upcase_text(text, length);
    return;
  }
  const unsigned char* table = host::host_upcase_table();
  for (int i = 0; i < length; ++i) text[i] = static_cast<char>(table[static_cast<unsigned char>(text[i])]);
}

}  // namespace

void read_debug_switches(host::StatementState& state, const char* debug) {
  if (debug == nullptr) return;
  const std::size_t length = std::strlen(debug);
  if (length == 0 || is_all_blank(debug, length)) return;
  // Short values are searched in a local buffer; longer ones in host memory,
  // so the whole value is searched whatever its length.
  char local[kLocalDebugCapacity];
  char* copy = local;
  if (length > static_cast<std::size_t>(kLocalDebugCapacity)) {
    copy = static_cast<char*>(host::host_alloc(length, host::kAllocZeroed));
    if (copy == nullptr) return;
  }
  std::memcpy(copy, debug, length);
  const int n = static_cast<int>(length);
  upcase(copy, n);
  state.syn = host::find_text(copy, n, "SYN", 3) >= 0 ? 1 : 0;
  state.sem = host::find_text(copy, n, "SEM", 3) >= 0 ? 1 : 0;
  if (copy != local) host::host_free(copy);
}

host::StatementState* set_up_statement_state() {
  auto* state = static_cast<host::StatementState*>(
      host::host_alloc(sizeof(host::StatementState), host::kAllocStepState));
  if (state == nullptr) return nullptr;
  host::host_register_statement_state(state, state->work_area, state->host_values);
  host::host_step_control(kStepControlAttach);
  read_debug_switches(*state, host::host_get_environment("DEBUG"));
  return state;
}

}  // namespace quilvar
