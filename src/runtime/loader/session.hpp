// The runtime's state for one run of a program: the log, the current step's
// status and its memory. Host services are plain function pointers without
// a context argument, so they reach this state through current_session().
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "quilvar/host/services.hpp"

namespace quilvar::runtime {

// Thrown by the step-status service when a step ends with an error status;
// caught around the driver call, so control returns to the runtime.
struct StepEnded {
  int status;
};

enum class LogLevel { kNote, kWarning, kError };

// A catalog message issued during a step, as the module asked for it.
struct IssuedMessage {
  int set;
  int number;
  std::vector<std::string> args;  // texts as given, numbers in shortest form
};

// How often the step issued one catalog message.
struct MessageCount {
  int set;
  int number;
  int count;
};

struct StepRecord {
  int status = 0;                       // highest status reported, never lowered
  int warnings = 0;
  int errors = 0;
  std::vector<void*> allocations;       // host_alloc memory not yet freed
  std::vector<void*> pool_blocks;       // pool memory, freed when the step ends
  std::vector<std::uint32_t> signals;   // floating-point signals raised
  std::vector<int> step_controls;       // step-control codes, in order
  // The first kKeptMessages catalog messages issued, with their texts, and
  // how often each message number was issued in all, in the order first
  // issued: a registry step may repeat one message in every one of its
  // hundred thousand BY groups, and the record must not grow with them.
  std::vector<IssuedMessage> messages;
  std::vector<MessageCount> message_counts;
  // The step's first warnings and errors as logged, for the reports, and
  // how many more there were (kept few: a registry run may warn in every
  // one of its BY groups).
  std::vector<std::string> reported;
  int unreported = 0;
};

inline constexpr std::size_t kReportedMessages = 20;
inline constexpr std::size_t kKeptMessages = 1000;

struct Session {
  std::ostream* log = nullptr;
  bool strict = false;
  // Where a warning or error the procedure issues arose ("BY group
  // year=2021, area=B"), or empty; the log line ends with it.
  std::function<std::string(int set, int number)> message_place;
  StepRecord step;
  int steps_run = 0;
  // Called before a log line goes to standard error, where a progress line
  // may stand that the log line must not be written onto.
  void (*before_standard_error)() = nullptr;
};

// The session the host services act on; set by the runtime for a run.
Session& current_session();

// Writes one log line: "NOTE: ...", "WARNING: ..." or "ERROR: ...".
void write_log(LogLevel level, std::string_view text);
// Writes a plain log line (traces, data-set errors already worded).
void write_log_text(std::string_view text);

// Starts a fresh step record; end_step() frees the step's memory and
// returns its final status.
void begin_step();
int end_step();

// Raises the current step's status; never lowers it.
void raise_status(int status);

}  // namespace quilvar::runtime
