// A file written under a temporary name in its final folder and renamed to
// its final name only when complete, so readers never see a partial file.
// Text is gathered in a buffer of about a megabyte and written when full, so
// the many small pieces of a table cost one system call per megabyte.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quilvar::runtime::output {

class AtomicFile {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

  AtomicFile() = default;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();  // discards a file never committed

  // Creates the temporary file beside `path`. Returns false with *error set
  // when it cannot be created.
  bool open(const std::filesystem::path& path, std::string* error);

  bool is_open() const { return descriptor_ >= 0; }
  const std::filesystem::path& path() const { return path_; }
  const std::filesystem::path& temporary_path() const { return temporary_; }

  // Appends text to the file.
  void write(std::string_view text) {
    buffer_.append(text);
    write_if_full();
  }

  // The buffer, for appending text in place; call write_if_full() after.
  std::string& buffer() { return buffer_; }
  void write_if_full() {
    if (buffer_.size() >= kBufferSize) write_buffer();
  }

  // Writes everything, closes the file and renames it to its final name.
  // Returns false with *error set when a write failed or the rename did not
  // succeed; the temporary file is removed then.
  bool commit(std::string* error);

  // Closes and removes the temporary file.
  void discard();

 private:
  void write_buffer();
  // Closes the descriptor; returns the first write error (0 for none).
  int close_descriptor();

  std::filesystem::path path_;
  std::filesystem::path temporary_;
  int descriptor_ = -1;
  int write_error_ = 0;  // errno of the first failed write
  std::string buffer_;
};

// The name with every character other than letters, digits, '_' and '-'
// replaced by '_', so that a file named after it stays in its folder;
// "output" for an empty name.
std::string safe_file_stem(std::string_view name);

}  // namespace quilvar::runtime::output
