// The parser service table and the current step it serves. The first
// support object holds the checked grammar and the step's tokens, the
// second the parse result's memory; both belong to the current step and are
// freed by end_step. No exception leaves a service function.
#include "runtime/statements/parser_services.hpp"

#include <cctype>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "runtime/statements/grammar_view.hpp"
#include "runtime/statements/repeated_options.hpp"
#include "runtime/statements/result_store.hpp"
#include "runtime/statements/semantic_actions.hpp"
#include "runtime/statements/statement_parser.hpp"

namespace quilvar::runtime::statements {
namespace {

constexpr int kFactoryFailed = 1;

struct LexicalSupport {
  GrammarView grammar;
  std::vector<Token> tokens;
};

struct ParseSupport {
  ResultStore store;
};

struct StepSession {
  Step step;
  StepHooks hooks;
  std::unique_ptr<LexicalSupport> lexical;
  std::unique_ptr<ParseSupport> parse;
};

std::unique_ptr<StepSession>& current_session() {
  static std::unique_ptr<StepSession> session;
  return session;
}

// Creates the support object *member of the session given as context and
// hands it out through *out; non-zero when the context is not the current
// step or memory runs out.
template <typename Support>
int create_support(void** out, void* context, std::unique_ptr<Support> StepSession::*member) {
  auto* session = static_cast<StepSession*>(context);
  if (out == nullptr || session == nullptr || session != current_session().get()) return kFactoryFailed;
  try {
    session->*member = std::make_unique<Support>();
  } catch (const std::exception&) {
    return kFactoryFailed;
  }
  *out = (session->*member).get();
  return 0;
}

int create_lexical_support(void** out, void* context) { return create_support(out, context, &StepSession::lexical); }

int create_parse_support(void** out, void* context) { return create_support(out, context, &StepSession::parse); }

void* current_parser_context() { return current_session().get(); }

std::uint64_t default_action_value() { return kDefaultActionValue; }

// Why the record cannot be parsed with in this session, or "".
std::string check_record(const StepSession& session, const host::GrammarRecord& record) {
  if (session.lexical == nullptr || record.support_a != session.lexical.get() || session.parse == nullptr ||
      record.support_b != session.parse.get())
    return "the grammar record does not hold this step's parser support objects";
  if (record.default_action != kDefaultActionValue) return "the grammar record does not hold the parser's default action";
  return "";
}

// Parses the session's step; returns the parse status.
int parse_session(StepSession& session, const host::GrammarRecord& record, int trace) {
  ErrorReporter errors(session.step, session.hooks.report_error);
  if (const std::string problem = check_record(session, record); !problem.empty()) {
    errors.report_internal(problem);
    return kStatementErrorStatus;
  }
  LexicalSupport& lexical = *session.lexical;
  if (const std::string problem = lexical.grammar.load(record); !problem.empty()) {
    errors.report_internal("the grammar record is not usable: " + problem);
    return kStatementErrorStatus;
  }
  lexical.tokens = tokenize(session.step.text, session.step.first_line, lexical.grammar.keywords());
  ErrorReporter warnings(session.step, session.hooks.report_warning);
  // Repeated options are told once the parse is over, and only those whose
  // later occurrence the parser reached: after a syntax error (a statement
  // missing its ";" runs into the next one) "the later value is used" is
  // not true.
  struct RepeatedOption {
    Token dropped;
    Token kept;
    std::string message;
  };
  std::vector<RepeatedOption> repeated;
  drop_repeated_options(lexical.tokens, lexical.grammar,
                        [&warnings, &repeated](const OptionOccurrence& dropped, const OptionOccurrence& kept) {
                          const std::string name = upper_case(dropped.keyword.text);
                          repeated.push_back(RepeatedOption{
                              dropped.keyword, kept.keyword,
                              "option " + name + (dropped.with_equals ? "=" : "") + " is given again (line " +
                                  std::to_string(kept.keyword.line) + ", column " +
                                  std::to_string(warnings.character_column(kept.keyword)) + "), and that later " +
                                  (dropped.with_equals && kept.with_equals ? "value" : "one") + " is used"});
                        });
  SemanticActions actions(lexical.grammar, lexical.tokens, session.hooks, session.parse->store, errors, warnings,
                          (trace & kTraceSemantic) != 0);
  const std::function<void(std::string_view)>* syntax_trace = (trace & kTraceSyntax) != 0 ? &session.hooks.trace : nullptr;
  StatementParser(lexical.grammar, lexical.tokens, actions, errors, syntax_trace).run();
  actions.finish();
  for (const RepeatedOption& option : repeated) {
    if (errors.read_before_error(option.kept)) warnings.report(option.dropped, option.message);
  }
  return errors.failed() ? kStatementErrorStatus : 0;
}

// Reports that the parse stopped on an exception; a failing report is dropped.
void report_failure(const StepSession& session, const char* what) noexcept {
  try {
    ErrorReporter(session.step, session.hooks.report_error).report_internal(std::string("the parser failed: ") + what);
  } catch (...) {
  }
}

int parse_statements(void* grammar, void* statement_state, int trace, int, int) {
  auto* state = static_cast<host::StatementState*>(statement_state);
  StepSession* session = current_session().get();
  if (state == nullptr) return kStatementErrorStatus;
  state->parse_status = kStatementErrorStatus;
  if (grammar == nullptr || session == nullptr) return kStatementErrorStatus;
  int status = kStatementErrorStatus;
  try {
    status = parse_session(*session, *static_cast<const host::GrammarRecord*>(grammar), trace);
  } catch (const std::exception& failure) {
    report_failure(*session, failure.what());
  } catch (...) {
    report_failure(*session, "unknown exception");
  }
  state->parse_result = session->parse != nullptr ? session->parse->store.result() : nullptr;
  state->parse_status = static_cast<std::int16_t>(status);
  return status;
}

constexpr host::ParserServices kServices{
    create_lexical_support, create_parse_support, current_parser_context, default_action_value, parse_statements,
};

}  // namespace

void begin_step(const Step& step, StepHooks hooks) {
  current_session() = std::make_unique<StepSession>(StepSession{step, std::move(hooks), nullptr, nullptr});
}

void end_step() { current_session().reset(); }

const host::ParserServices& parser_services() { return kServices; }

}  // namespace quilvar::runtime::statements
