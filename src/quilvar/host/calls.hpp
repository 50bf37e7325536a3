// The module's side of the host services: the handle stored at load time and
// one wrapper per service. Each wrapper marks its service table as used in
// the handle's flag bytes, then calls through the table.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "quilvar/host/output_item.hpp"
#include "quilvar/host/services.hpp"

namespace quilvar::host {

// Written once by the module entry when the host loads the module.
struct ModuleState {
  HostServices* services = nullptr;
  void* module_data = nullptr;
};
ModuleState& module_state();

const KernelServices& kernel_table();
const ParserServices& parser_table();
const DataSetServices& data_set_table();
const OutputServices& output_table();

inline MessageArg text_arg(std::string_view text) {
  return MessageArg{kArgText, static_cast<std::int32_t>(text.size()), text.data(), 0.0};
}
inline MessageArg number_arg(double value) { return MessageArg{kArgNumber, 0, nullptr, value}; }

// Status words and flags the module passes to the host.
inline constexpr int kStatusOk = 0;
inline constexpr int kStatusWarning = 4;
inline constexpr int kStatusOutputFailed = 120;
inline constexpr int kStatusDataInvalid = 1008;
inline constexpr int kStatusGuardedCallFailed = 1012;
inline constexpr int kStatusRequiredValueMissing = 1012;
inline constexpr int kStatusNoMemory = 1016;
inline constexpr int kStatusNoReader = 1020;
inline constexpr int kStatusStatementError = 3000;
inline constexpr std::uint32_t kAllocZeroed = 8196;
inline constexpr std::uint32_t kAllocStepState = 12294;
inline constexpr std::uint32_t kPoolFlags = 4098;
inline constexpr std::uint32_t kPoolAllocate = 8192;
inline constexpr std::uint32_t kPoolAllocateZeroed = 8196;
inline constexpr int kMessageSetProcedure = 908;
inline constexpr int kMessageSetHost = 129;
inline constexpr int kMessageSetGraphics = 210;
inline constexpr int kSelectCode = 70;
inline constexpr int kRewindCode = 66;
inline constexpr int kAttributeName = 167;
inline constexpr int kAttributeOpenStatus = 23;

void host_issue_message(int set, int number, std::initializer_list<MessageArg> args = {});
// Returns the catalog text, or an empty view when the message does not exist.
std::string_view host_get_message_text(int set, int number);
int host_get_message_into(char* buffer, int capacity, int set, int number);
// Returns for 0 and 4; an error status ends the step in the host and does
// not return here (the host unwinds the module's frames).
int host_set_step_status(int status);
void host_report_status(std::uint32_t status_word);
void* host_alloc(std::size_t size, std::uint32_t flags);
void host_free(void* memory);
Pool* host_create_pool();
// Memory from the step's pool; when none is left the step ends with
// kStatusNoMemory and the call does not return.
void* pool_allocate(Pool* pool, std::size_t size, std::uint32_t flags);
const char* host_get_environment(const char* name);
void host_upcase_text(char* buffer, std::int64_t length);
bool host_locale_active();
const unsigned char* host_upcase_table();
void host_format_number(double value, char field[10]);
int host_call_guarded(GuardedFunction function, void** out, void* argument);
void host_tree_to_list(void** root);
void host_internal_error(const char* text);
int host_step_control(int code);
int host_register_statement_state(void* state, void* work_area, std::uint64_t values[3]);

std::int32_t ods_invoke(OdsObject* object, OdsObject* klass, int method, std::initializer_list<OutputItem> items);
std::int32_t ods_invoke(OdsObject* object, OdsObject* klass, int method, int count, OutputItem* items);
std::int32_t ods_class_operation(OdsObject* object, int operation, int count, OutputItem* items);
std::int32_t ods_get_root(OdsObject** root);
OdsText* ods_make_string(const char* text, std::int64_t length);
OdsText* ods_make_builtin_text(int number);
OdsText* ods_make_message_text(int set, int number, std::initializer_list<MessageArg> args = {});

}  // namespace quilvar::host
