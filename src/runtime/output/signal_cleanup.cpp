// The table of temporary files and the signal handlers that remove them.
#include "runtime/output/signal_cleanup.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <string>
#include <system_error>

#include <time.h>

namespace quilvar::runtime::output {
namespace {

// Files open at once: a CSV file per table name and layout (a program of
// many steps with different BY variables keeps hundreds open until the
// run ends), the JSON and HTML reports and a plot. The table is zeroed
// storage and is read only up to the highest entry ever used, so only the
// entries used take memory.
constexpr std::size_t kEntries = 1024;
constexpr std::size_t kLongestPath = PATH_MAX;  // bytes, the terminating zero included
// Those that end a run from outside: the terminal's keys, kill, a closed
// terminal or pipe, a CPU time limit (SIGXCPU), and the warnings batch
// schedulers send before a job's time runs out (SIGUSR1, SIGUSR2).
constexpr std::array kCleanupSignals{SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGXCPU, SIGUSR1, SIGUSR2};

// Waiting for a file being created: at most this many pauses of 1 ms. The
// creating thread may be the one the signal interrupted, which cannot go on
// until the handler returns; the file is then removed after the wait, if
// its creation got that far.
constexpr int kCreationWaits = 200;

// Data set files mapped at once (each step's data and reference), and the
// longest line said when one of them is cut short under the run.
constexpr std::size_t kMappings = 256;
constexpr std::size_t kLongestMessage = PATH_MAX + 256;

struct Entry {
  std::atomic<bool> claimed{false};  // owned by a registration
  std::atomic<bool> active{false};   // the path is complete and to be removed
  std::atomic<bool> creating{false};  // the file is being created right now
  std::atomic<bool> folder{false};    // a folder made for a file, removed when empty
  std::atomic<std::uint32_t> sequence{0};  // odd while the path is written
  std::array<std::atomic<char>, kLongestPath> path{};
};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<std::uint32_t>::is_always_lock_free &&
                  std::atomic<char>::is_always_lock_free,
              "the signal handler reads the table without locks");

// A guarded mapping: its address range and the line to say when reading it
// faults. Written before `active` is set and left alone while it is.
struct Mapping {
  std::atomic<bool> claimed{false};
  std::atomic<bool> active{false};
  std::atomic<std::uintptr_t> start{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<std::size_t> length{0};
  std::array<std::atomic<char>, kLongestMessage> message{};
};

static_assert(std::atomic<std::uintptr_t>::is_always_lock_free && std::atomic<std::size_t>::is_always_lock_free,
              "the signal handler reads the mappings without locks");

// The tables of the process: signal handlers reach nothing else.
std::array<Entry, kEntries> entries;
std::array<Mapping, kMappings> mappings;
std::atomic<std::size_t> mappings_used{0};
// Set by the first thread that reports a cut-short mapping, so that two
// threads faulting at once say it once.
std::atomic<bool> fault_reported{false};
// One past the highest entry ever claimed.
std::atomic<std::size_t> entries_used{0};
// Set by a handler before it removes the files: from then on no file is
// created, so none can appear after the removal and outlive the process.
std::atomic<bool> ending{false};

// Copies the entry's path into `out` and returns true when it was active and
// unchanged while read. The path's bytes are written with release and read
// with acquire (no fences): a byte read from a writer that has started
// makes its odd sequence number visible to the check after the copy.
bool read_path(const Entry& entry, std::array<char, kLongestPath>& out) {
  if (!entry.active.load(std::memory_order_acquire)) return false;
  const std::uint32_t before = entry.sequence.load(std::memory_order_acquire);
  if (before % 2 != 0) return false;
  for (std::size_t i = 0; i < kLongestPath; ++i) {
    out[i] = entry.path[i].load(std::memory_order_acquire);
    if (out[i] == '\0') break;
  }
  out[kLongestPath - 1] = '\0';
  return entry.sequence.load(std::memory_order_relaxed) == before &&
         entry.active.load(std::memory_order_relaxed);
}

void wait_while_created(const Entry& entry) {
  const timespec pause{0, 1000000};
  for (int i = 0; i < kCreationWaits && entry.creating.load(std::memory_order_seq_cst); ++i) nanosleep(&pause, nullptr);
}

// The handler returns before the process ends (see below), so it leaves
// errno as it found it: unlink and rmdir fail often here (a file renamed
// meanwhile, a folder that another file went into).
extern "C" void remove_files_and_end(int number) {
  const int saved_errno = errno;
  ending.store(true, std::memory_order_seq_cst);
  remove_registered_files();
  // Back to the default action; the signal, blocked while this handler
  // runs, is delivered again on return and ends the process.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(number, &fallback, nullptr);
  raise(number);
  errno = saved_errno;
}

// The guarded mapping holding `address`, or null.
const Mapping* mapping_at(std::uintptr_t address) {
  const std::size_t used = mappings_used.load(std::memory_order_acquire);
  for (std::size_t index = 0; index < used; ++index) {
    const Mapping& mapping = mappings[index];
    if (!mapping.active.load(std::memory_order_acquire)) continue;
    if (address >= mapping.start.load(std::memory_order_relaxed) && address < mapping.end.load(std::memory_order_relaxed))
      return &mapping;
  }
  return nullptr;
}

void write_all_to_stderr(const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(STDERR_FILENO, text, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // standard error closed: nothing else to tell
    text += written;
    size -= static_cast<std::size_t>(written);
  }
}

// Says `text` on standard error, removes the registered files and ends the
// process with kTruncatedMappingExit. Only the first caller says anything:
// another thread arriving meanwhile waits for the process to end.
[[noreturn]] void say_and_end(const char* text, std::size_t length) {
  if (fault_reported.exchange(true)) {
    for (;;) pause();
  }
  write_all_to_stderr(text, length);
  ending.store(true, std::memory_order_seq_cst);
  remove_registered_files();
  _exit(kTruncatedMappingExit);
}

// SIGBUS. A fault the kernel raised inside a guarded mapping is a data set
// file cut short under the run: say so, remove the temporary files and
// end with the status for it. Anything else (a real fault, a SIGBUS sent
// by kill) removes them too and ends by the signal.
extern "C" void end_on_bus_error(int number, siginfo_t* info, void*) {
  const Mapping* mapping =
      info != nullptr && info->si_code > 0 ? mapping_at(reinterpret_cast<std::uintptr_t>(info->si_addr)) : nullptr;
  if (mapping != nullptr) {
    std::array<char, kLongestMessage> text;
    const std::size_t length = std::min(mapping->length.load(std::memory_order_relaxed), kLongestMessage);
    for (std::size_t i = 0; i < length; ++i) text[i] = mapping->message[i].load(std::memory_order_relaxed);
    say_and_end(text.data(), length);
  }
  remove_files_and_end(number);
}

}  // namespace

void end_run_on_failure(std::string_view message) { say_and_end(message.data(), message.size()); }

int guard_mapping(const void* start, std::size_t size, std::string_view message) {
  if (message.size() > kLongestMessage) return -1;
  for (std::size_t index = 0; index < kMappings; ++index) {
    Mapping& mapping = mappings[index];
    bool unclaimed = false;
    if (!mapping.claimed.compare_exchange_strong(unclaimed, true, std::memory_order_acquire)) continue;
    const auto first = reinterpret_cast<std::uintptr_t>(start);
    mapping.start.store(first, std::memory_order_relaxed);
    mapping.end.store(first + size, std::memory_order_relaxed);
    for (std::size_t i = 0; i < message.size(); ++i) mapping.message[i].store(message[i], std::memory_order_relaxed);
    mapping.length.store(message.size(), std::memory_order_relaxed);
    std::size_t used = mappings_used.load();
    while (used <= index && !mappings_used.compare_exchange_weak(used, index + 1)) continue;
    mapping.active.store(true, std::memory_order_release);
    return static_cast<int>(index);
  }
  return -1;
}

void unguard_mapping(int token) {
  if (token < 0 || static_cast<std::size_t>(token) >= kMappings) return;
  Mapping& mapping = mappings[static_cast<std::size_t>(token)];
  mapping.active.store(false, std::memory_order_release);
  mapping.claimed.store(false, std::memory_order_release);
}

namespace {

// Removes the registered folders that are empty once the files are gone.
// A folder's parent may come later in the table than the folder itself, so
// the table is gone through again while a pass removes something.
void remove_empty_folders(std::size_t used) {
  std::array<char, kLongestPath> path;
  bool removed = true;
  for (std::size_t pass = 0; removed && pass < used; ++pass) {
    removed = false;
    for (std::size_t index = 0; index < used; ++index) {
      const Entry& entry = entries[index];
      // rmdir is safe in a signal handler and takes only an empty folder:
      // one that another file has gone into meanwhile stays.
      if (entry.folder.load(std::memory_order_acquire) && read_path(entry, path) && rmdir(path.data()) == 0) {
        removed = true;
      }
    }
  }
}

}  // namespace

void remove_registered_files() {
  std::array<char, kLongestPath> path;
  const std::size_t used = entries_used.load(std::memory_order_seq_cst);
  for (std::size_t index = 0; index < used; ++index) {
    const Entry& entry = entries[index];
    if (entry.folder.load(std::memory_order_acquire)) continue;
    // unlink is safe in a signal handler; a file renamed to its final name
    // meanwhile is no longer there under this name.
    wait_while_created(entry);
    if (read_path(entry, path)) unlink(path.data());
  }
  remove_empty_folders(used);
}

void install_signal_cleanup() {
  struct sigaction action {};
  action.sa_handler = remove_files_and_end;
  sigemptyset(&action.sa_mask);
  for (int number : kCleanupSignals) sigaddset(&action.sa_mask, number);
  for (int number : kCleanupSignals) {
    struct sigaction previous {};
    if (sigaction(number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    sigaction(number, &action, nullptr);
  }
  // A file size limit (ulimit -f) makes a write past it fail with EFBIG
  // instead of ending the process, so that the file is named in an error
  // and the run's other files are still written.
  struct sigaction size_limit {};
  if (sigaction(SIGXFSZ, nullptr, &size_limit) == 0 && size_limit.sa_handler == SIG_DFL) signal(SIGXFSZ, SIG_IGN);
  struct sigaction bus_error {};
  bus_error.sa_sigaction = end_on_bus_error;
  bus_error.sa_flags = SA_SIGINFO;
  bus_error.sa_mask = action.sa_mask;
  sigaction(SIGBUS, &bus_error, nullptr);
}

namespace {

// Claims a free entry for the path; see register_temporary_file.
int register_path(const std::filesystem::path& path, bool folder) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  const std::string& text = error ? path.native() : absolute.native();
  if (text.empty() || text.size() >= kLongestPath) return -1;
  for (std::size_t index = 0; index < kEntries; ++index) {
    Entry& entry = entries[index];
    bool unclaimed = false;
    if (!entry.claimed.compare_exchange_strong(unclaimed, true, std::memory_order_acquire)) continue;
    // Raised to cover this entry (a failed exchange reloads `used`).
    std::size_t used = entries_used.load();
    while (used <= index && !entries_used.compare_exchange_weak(used, index + 1)) continue;
    // Odd before any byte of the path changes, even again after the last;
    // each byte is a release store, so a reader that sees it sees the odd
    // number too (see read_path).
    const std::uint32_t start = entry.sequence.load(std::memory_order_relaxed);
    entry.sequence.store(start + 1, std::memory_order_relaxed);
    for (std::size_t i = 0; i < text.size(); ++i) entry.path[i].store(text[i], std::memory_order_release);
    entry.path[text.size()].store('\0', std::memory_order_release);
    entry.sequence.store(start + 2, std::memory_order_release);
    entry.folder.store(folder, std::memory_order_release);
    entry.active.store(true, std::memory_order_release);
    return static_cast<int>(index);
  }
  return -1;
}

}  // namespace

int register_temporary_file(const std::filesystem::path& path) { return register_path(path, false); }

int register_made_folder(const std::filesystem::path& path) { return register_path(path, true); }

void begin_creating(int token) {
  const bool tracked = token >= 0 && static_cast<std::size_t>(token) < kEntries;
  // Marked first, then the handler's flag read: either the handler sees
  // the mark and waits for the file to exist before removing it, or this
  // sees the handler at work and the file is never made.
  if (tracked) entries[static_cast<std::size_t>(token)].creating.store(true, std::memory_order_seq_cst);
  if (!ending.load(std::memory_order_seq_cst)) return;
  if (tracked) entries[static_cast<std::size_t>(token)].creating.store(false, std::memory_order_seq_cst);
  // The process is ending by the signal being handled: wait for it.
  for (;;) pause();
}

void end_creating(int token) {
  if (token < 0 || static_cast<std::size_t>(token) >= kEntries) return;
  entries[static_cast<std::size_t>(token)].creating.store(false, std::memory_order_seq_cst);
}

void unregister_temporary_file(int token) {
  if (token < 0 || static_cast<std::size_t>(token) >= kEntries) return;
  Entry& entry = entries[static_cast<std::size_t>(token)];
  entry.active.store(false, std::memory_order_release);
  entry.claimed.store(false, std::memory_order_release);
}

}  // namespace quilvar::runtime::output
