// Temporary-then-rename file writing.
#include "runtime/output/atomic_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "runtime/output/signal_cleanup.hpp"

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

int open_file(const std::filesystem::path& path, int flags) {
  int descriptor = -1;
  do {
    descriptor = ::open(path.c_str(), flags, kCreateMode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

}  // namespace

AtomicFile::~AtomicFile() { discard(); }

// Direct I/O first; a file system without it (tmpfs) refuses the flag.
bool AtomicFile::open(const std::filesystem::path& path, std::string* error) {
  discard();
  path_ = path;
  temporary_ = temporary_name(path);
  // Registered before it exists, so that no moment leaves it behind.
  cleanup_token_ = register_temporary_file(temporary_);
  int descriptor = open_file(temporary_, kCreateFlags | O_DIRECT);
  direct_ = descriptor >= 0;
  if (descriptor < 0 && errno == EINVAL) descriptor = open_file(temporary_, kCreateFlags);
  if (descriptor < 0) {
    // Named by the file asked for: the hidden temporary name means nothing
    // to the user.
    *error = "cannot write " + path.string() + ": " + std::strerror(errno);
    forget_temporary();
    return false;
  }
  target_ = std::make_shared<WriteTarget>();
  target_->descriptor = descriptor;
  target_->direct = direct_;
  buffer_.reserve(kBufferSize + kBufferSize / 4);
  return true;
}

void AtomicFile::hand_over() {
  if (target_ == nullptr) {
    buffer_.clear();
    return;
  }
  std::size_t size = buffer_.size();
  if (direct_) size -= size % FileWriter::kAlignment;
  FileWriter& writer = file_writer();
  for (std::size_t offset = 0; offset < size;) {
    AlignedBlock block = writer.take_block();
    block.size = std::min(FileWriter::kBlockSize, size - offset);
    std::memcpy(block.data.get(), buffer_.data() + offset, block.size);
    offset += block.size;
    writer.submit(target_, std::move(block));
  }
  buffer_.erase(0, size);
}

int AtomicFile::close_target() {
  hand_over();
  int error = file_writer().finish(target_);
  // The tail is shorter than a block: written through the cache.
  if (direct_) {
    const int flags = fcntl(target_->descriptor, F_GETFL);
    if (flags >= 0) fcntl(target_->descriptor, F_SETFL, flags & ~O_DIRECT);
  }
  if (error == 0) error = write_all(target_->descriptor, buffer_.data(), buffer_.size());
  buffer_.clear();
  if (::close(target_->descriptor) != 0 && error == 0 && errno != EINTR) error = errno;
  target_.reset();
  return error;
}

bool AtomicFile::commit(std::string* error) {
  if (target_ == nullptr) {
    *error = "cannot write " + path_.string();
    return false;
  }
  const int write_error = close_target();
  std::error_code code;
  if (write_error == 0) std::filesystem::rename(temporary_, path_, code);
  if (write_error != 0 || code) {
    *error = "cannot write " + path_.string() + ": " + (code ? code.message() : std::strerror(write_error));
    discard();
    return false;
  }
  forget_temporary();
  buffer_ = std::string();
  return true;
}

void AtomicFile::discard() {
  if (target_ != nullptr) {
    buffer_.clear();
    close_target();
  }
  buffer_ = std::string();
  if (!temporary_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
    forget_temporary();
  }
}

void AtomicFile::forget_temporary() {
  unregister_temporary_file(cleanup_token_);
  cleanup_token_ = -1;
  temporary_.clear();
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

bool make_output_folder(const std::string& folder, std::string_view role, std::string* error) {
  std::error_code code;
  std::filesystem::create_directories(folder, code);
  if (!code && std::filesystem::is_directory(folder, code)) return true;
  *error = "cannot create the " + std::string(role) + " folder " + folder + ": " +
           (code ? code.message() : std::string("a file of that name is in the way"));
  return false;
}

}  // namespace quilvar::runtime::output
