// The table of temporary files and the signal handlers that remove them.
#include "runtime/output/signal_cleanup.hpp"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
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
constexpr std::array kCleanupSignals{SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Waiting for a file being created: at most this many pauses of 1 ms. The
// creating thread may be the one the signal interrupted, which cannot go on
// until the handler returns; the file is then removed after the wait, if
// its creation got that far.
constexpr int kCreationWaits = 200;

struct Entry {
  std::atomic<bool> claimed{false};  // owned by a registration
  std::atomic<bool> active{false};   // the path is complete and to be removed
  std::atomic<bool> creating{false};  // the file is being created right now
  std::atomic<std::uint32_t> sequence{0};  // odd while the path is written
  std::array<std::atomic<char>, kLongestPath> path{};
};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<std::uint32_t>::is_always_lock_free &&
                  std::atomic<char>::is_always_lock_free,
              "the signal handler reads the table without locks");

// The one table of the process: signal handlers reach nothing else.
std::array<Entry, kEntries> entries;
// One past the highest entry ever claimed.
std::atomic<std::size_t> entries_used{0};
// Set by a handler before it removes the files: from then on no file is
// created, so none can appear after the removal and outlive the process.
std::atomic<bool> ending{false};

// Copies the entry's path into `out` and returns true when it was active and
// unchanged while read.
bool read_path(const Entry& entry, std::array<char, kLongestPath>& out) {
  if (!entry.active.load(std::memory_order_acquire)) return false;
  const std::uint32_t before = entry.sequence.load(std::memory_order_acquire);
  if (before % 2 != 0) return false;
  for (std::size_t i = 0; i < kLongestPath; ++i) {
    out[i] = entry.path[i].load(std::memory_order_relaxed);
    if (out[i] == '\0') break;
  }
  out[kLongestPath - 1] = '\0';
  std::atomic_thread_fence(std::memory_order_acquire);
  return entry.sequence.load(std::memory_order_relaxed) == before &&
         entry.active.load(std::memory_order_relaxed);
}

void wait_while_created(const Entry& entry) {
  const timespec pause{0, 1000000};
  for (int i = 0; i < kCreationWaits && entry.creating.load(std::memory_order_seq_cst); ++i) nanosleep(&pause, nullptr);
}

extern "C" void remove_files_and_end(int number) {
  ending.store(true, std::memory_order_seq_cst);
  remove_registered_files();
  // Back to the default action; the signal, blocked while this handler
  // runs, is delivered again on return and ends the process.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(number, &fallback, nullptr);
  raise(number);
}

}  // namespace

void remove_registered_files() {
  std::array<char, kLongestPath> path;
  const std::size_t used = entries_used.load(std::memory_order_seq_cst);
  for (std::size_t index = 0; index < used; ++index) {
    const Entry& entry = entries[index];
    // unlink is safe in a signal handler; a file renamed to its final name
    // meanwhile is no longer there under this name.
    wait_while_created(entry);
    if (read_path(entry, path)) unlink(path.data());
  }
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
}

int register_temporary_file(const std::filesystem::path& path) {
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
    // Odd before any byte of the path changes, even again after the last.
    const std::uint32_t start = entry.sequence.load(std::memory_order_relaxed);
    entry.sequence.store(start + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (std::size_t i = 0; i < text.size(); ++i) entry.path[i].store(text[i], std::memory_order_relaxed);
    entry.path[text.size()].store('\0', std::memory_order_relaxed);
    entry.sequence.store(start + 2, std::memory_order_release);
    entry.active.store(true, std::memory_order_release);
    return static_cast<int>(index);
  }
  return -1;
}

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
