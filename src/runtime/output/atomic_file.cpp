// Temporary-then-rename file writing.
#include "runtime/output/atomic_file.hpp"

#include <unistd.h>

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

}  // namespace

AtomicFile::~AtomicFile() { discard(); }

bool AtomicFile::open(const std::filesystem::path& path, std::string* error) {
  discard();
  path_ = path;
  temporary_ = temporary_name(path);
  stream_.open(temporary_, std::ios::binary | std::ios::trunc);
  if (!stream_.is_open()) {
    *error = "cannot create " + temporary_.string();
    return false;
  }
  return true;
}

bool AtomicFile::commit(std::string* error) {
  if (!stream_.is_open()) {
    *error = "cannot write " + path_.string();
    return false;
  }
  stream_.flush();
  const bool written = static_cast<bool>(stream_);
  stream_.close();
  std::error_code code;
  if (written && !stream_.fail()) std::filesystem::rename(temporary_, path_, code);
  if (!written || stream_.fail() || code) {
    *error = "cannot write " + path_.string() + (code ? ": " + code.message() : std::string());
    discard();
    return false;
  }
  temporary_.clear();
  return true;
}

void AtomicFile::discard() {
  if (stream_.is_open()) stream_.close();
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
