// The progress line of long runs.
#include "runtime/cli/progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace quilvar::runtime {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kQuietPeriod = std::chrono::seconds(2);
constexpr auto kRefreshPeriod = std::chrono::milliseconds(500);
// The width assumed when the terminal does not tell its own.
constexpr int kDefaultColumns = 80;

struct Progress {
  const host::DataSetServices* inner = nullptr;
  Clock::time_point start = Clock::now();
  Clock::time_point last_shown{};
  long long groups = 0;
  long long observations = 0;
  const host::Reader* last_reader = nullptr;
  bool shown = false;
  std::size_t shown_length = 0;
  bool terminal = isatty(STDERR_FILENO) != 0;
};

Progress& progress() {
  static Progress state;
  return state;
}

// The width of the terminal on standard error, asked again at each refresh
// so that a resized window is followed; COLUMNS, then 80, when it cannot say.
int terminal_columns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    const int value = std::atoi(columns);
    if (value > 0) return value;
  }
  return kDefaultColumns;
}

void show_progress() {
  Progress& p = progress();
  if (!p.terminal) return;
  const auto now = Clock::now();
  if (now - p.start < kQuietPeriod || now - p.last_shown < kRefreshPeriod) return;
  p.last_shown = now;
  const double seconds = std::chrono::duration<double>(now - p.start).count();
  const std::string line = progress_line(p.groups, p.observations, seconds, terminal_columns());
  // Blanks over what is left of a longer line shown before.
  const int blanks = p.shown_length > line.size() ? static_cast<int>(p.shown_length - line.size()) : 0;
  std::fprintf(stderr, "\r%s%*s", line.c_str(), blanks, "");
  std::fflush(stderr);
  p.shown = true;
  p.shown_length = line.size();
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

void hide_progress() { progress().terminal = false; }

void finish_progress() {
  Progress& p = progress();
  if (!p.shown) return;
  std::fprintf(stderr, "\r%*s\r", static_cast<int>(p.shown_length), "");
  std::fflush(stderr);
  p.shown = false;
  p.shown_length = 0;
}

std::string progress_line(long long groups, long long observations, double seconds, int columns) {
  // The longest form that fits; a terminal narrower than the shortest gets
  // the shortest cut at its width.
  static constexpr const char* kForms[] = {
      "%lld BY groups done, %lld observations read, %.0f observations/s",
      "%lld groups, %lld obs, %.0f obs/s",
      "%lld groups, %lld obs",
      "%lld groups",
  };
  const double rate = seconds > 0 ? observations / seconds : 0;
  const std::size_t room = columns > 1 ? static_cast<std::size_t>(columns - 1) : 0;
  std::string line;
  for (const char* form : kForms) {
    char text[160];
    const int length = std::snprintf(text, sizeof text, form, groups, observations, rate);
    if (length < 0) return {};
    line.assign(text, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof text - 1));
    if (line.size() <= room) return line;
  }
  // The line is ASCII, a column a byte.
  line.resize(room);
  return line;
}

}  // namespace quilvar::runtime
