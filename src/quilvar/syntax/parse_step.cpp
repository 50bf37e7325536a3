// Parsing one step through the host parser.
#include "quilvar/syntax/parse_step.hpp"

#include "quilvar/host/calls.hpp"
#include "quilvar/syntax/grammar_record.hpp"
#include "quilvar/syntax/option_names.hpp"

namespace quilvar::syntax {

namespace {

// Creates a parser-support object with the host's factory, under its guard.
void ensure_support_object(void*& slot, host::GuardedFunction factory) {
  if (slot != nullptr) return;
  void* object = nullptr;
  if (host::host_call_guarded(factory, &object, host::parser_table().parser_context()) != 0) {
    host::host_issue_message(host::kMessageSetHost, kMsgGuardedCallFailed);
    host::host_set_step_status(host::kStatusGuardedCallFailed);
    return;
  }
  slot = object;
}

}  // namespace

void parse_step(ProcContext&, host::StatementState& state) {
  auto* grammar = static_cast<host::GrammarRecord*>(host::host_alloc(sizeof(host::GrammarRecord), host::kAllocZeroed));
  if (grammar == nullptr) {
    host::host_set_step_status(host::kStatusNoMemory);
    return;
  }
  fill_grammar_record(*grammar);
  ensure_support_object(grammar->support_a, host::parser_table().parser_factory_a);
  ensure_support_object(grammar->support_b, host::parser_table().parser_factory_b);
  if (grammar->default_action == 0) grammar->default_action = host::parser_table().default_action();
  const int trace = 2 * state.syn + state.sem;
  host::parser_table().parse_statements(grammar, &state, trace, 0, 0);
  if (state.parse_status != 0) host::host_set_step_status(state.parse_status);
}

}  // namespace quilvar::syntax
