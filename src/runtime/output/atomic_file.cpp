// Temporary-then-rename file writing.
#include "runtime/output/atomic_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace quilvar::runtime::output {
namespace {

// ".report.json.1234.tmp": hidden, in the same folder (so the rename stays
// on one file system), and distinct for concurrent runs.
std::filesystem::path temporary_name(const std::filesystem::path& path) {
  std::string name(1, '.');
  name += path.filename().string();
  name += '.';
  name += std::to_string(::getpid());
  name += ".tmp";
  return path.parent_path() / name;
}

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
constexpr mode_t kCreateMode = 0666;  // narrowed by the umask, as for any new file

// Appends all of `text` to the file, retrying short writes; returns 0 or the
// errno of the failed write.
int write_all(int descriptor, const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(descriptor, text, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    text += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

}  // namespace

AtomicFile::~AtomicFile() { discard(); }

bool AtomicFile::open(const std::filesystem::path& path, std::string* error) {
  discard();
  path_ = path;
  temporary_ = temporary_name(path);
  do {
    descriptor_ = ::open(temporary_.c_str(), kCreateFlags, kCreateMode);
  } while (descriptor_ < 0 && errno == EINTR);
  if (descriptor_ < 0) {
    *error = "cannot create " + temporary_.string();
    temporary_.clear();
    return false;
  }
  write_error_ = 0;
  buffer_.reserve(kBufferSize + kBufferSize / 4);
  return true;
}

// After a failed write the rest is dropped; commit reports the failure.
void AtomicFile::write_buffer() {
  if (descriptor_ >= 0 && write_error_ == 0) write_error_ = write_all(descriptor_, buffer_.data(), buffer_.size());
  buffer_.clear();
}

int AtomicFile::close_descriptor() {
  int error = write_error_;
  if (::close(descriptor_) != 0 && error == 0 && errno != EINTR) error = errno;
  descriptor_ = -1;
  return error;
}

bool AtomicFile::commit(std::string* error) {
  if (descriptor_ < 0) {
    *error = "cannot write " + path_.string();
    return false;
  }
  write_buffer();
  const int write_error = close_descriptor();
  std::error_code code;
  if (write_error == 0) std::filesystem::rename(temporary_, path_, code);
  if (write_error != 0 || code) {
    *error = "cannot write " + path_.string() + ": " + (code ? code.message() : std::strerror(write_error));
    discard();
    return false;
  }
  temporary_.clear();
  buffer_ = std::string();
  return true;
}

void AtomicFile::discard() {
  if (descriptor_ >= 0) close_descriptor();
  buffer_ = std::string();
  if (!temporary_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
    temporary_.clear();
  }
}

std::string safe_file_stem(std::string_view name) {
  std::string stem;
  for (char c : name) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                       c == '-';
    stem += plain ? c : '_';
  }
  return stem.empty() ? std::string("output") : stem;
}

}  // namespace quilvar::runtime::output
