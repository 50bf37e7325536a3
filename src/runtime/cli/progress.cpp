// The progress line of long runs.
#include "runtime/cli/progress.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace quilvar::runtime {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kQuietPeriod = std::chrono::seconds(2);
constexpr auto kRefreshPeriod = std::chrono::milliseconds(500);

struct Progress {
  const host::DataSetServices* inner = nullptr;
  Clock::time_point start = Clock::now();
  Clock::time_point last_shown{};
  long long groups = 0;
  long long observations = 0;
  const host::Reader* last_reader = nullptr;
  bool shown = false;
  bool terminal = isatty(STDERR_FILENO) != 0;
};

Progress& progress() {
  static Progress state;
  return state;
}

void show_progress() {
  Progress& p = progress();
  if (!p.terminal) return;
  const auto now = Clock::now();
  if (now - p.start < kQuietPeriod || now - p.last_shown < kRefreshPeriod) return;
  p.last_shown = now;
  const double seconds = std::chrono::duration<double>(now - p.start).count();
  std::fprintf(stderr, "\r%lld BY groups done, %lld observations read, %.0f observations/s ", p.groups,
               p.observations, p.observations / seconds);
  std::fflush(stderr);
  p.shown = true;
}

int counting_next_by_group(host::DataSet* data) {
  const int result = progress().inner->next_by_group(data);
  if (result >= 1) ++progress().groups;
  show_progress();
  return result;
}

int counting_read_next(host::Reader* reader) {
  const int result = progress().inner->read_next(reader);
  if (result > 0) {
    ++progress().observations;
    progress().last_reader = reader;
  }
  return result;
}

}  // namespace

const host::DataSetServices& progress_counting_services(const host::DataSetServices& inner) {
  static host::DataSetServices table;
  progress().inner = &inner;
  table = inner;
  table.next_by_group = &counting_next_by_group;
  table.read_next = &counting_read_next;
  return table;
}

const host::Reader* last_reader_read() { return progress().last_reader; }

void finish_progress() {
  if (!progress().shown) return;
  std::fprintf(stderr, "\r%*s\r", 79, "");
  std::fflush(stderr);
  progress().shown = false;
}

}  // namespace quilvar::runtime
