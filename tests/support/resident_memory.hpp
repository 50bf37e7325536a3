// Resident memory of the test process, read from /proc/self/status, for
// tests that check a job's memory does not grow with its input.
#pragma once

#include <fstream>
#include <string>
#include <string_view>

namespace quilvar::testing {

// AddressSanitizer keeps freed blocks resident in its quarantine, so under
// it a peak measures the sanitizer's allocator as much as the code's own
// buffering.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif

// ThreadSanitizer gives every page the code touches shadow pages of its own
// (several times its size), which stay resident after the page itself is
// handed back, so under it a peak measures the sanitizer, not the code; the
// watch then reports the peak as unknown.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif

// The value in kB of one line of /proc/self/status ("VmHWM:", "RssFile:");
// -1 where the system does not give it.
inline long process_status_kb(std::string_view field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
  }
  return -1;
}

// Watches the peak resident memory (anonymous and file-backed pages) from
// its making on, where the system lets the peak be reset.
class PeakWatch {
 public:
  PeakWatch() : known_(!kThreadSanitizer && reset_peak()), start_(process_status_kb("VmHWM:")) {}

  // The rise of the peak in kB since the watch was made; -1 where unknown.
  long rise_kb() const { return known_ && start_ >= 0 ? process_status_kb("VmHWM:") - start_ : -1; }

 private:
  static bool reset_peak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return clear.good();
  }

  bool known_;
  long start_;
};

}  // namespace quilvar::testing
