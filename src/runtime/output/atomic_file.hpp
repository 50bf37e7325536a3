// A file written under a temporary name in its final folder and renamed to
// its final name only when complete, so readers never see a partial file.
// Text is gathered in a buffer; each full megabyte goes to the file writer
// thread (with direct I/O where the file system allows it), so the many
// small pieces of a table cost one write per megabyte, made beside the
// formatting. A program ended by a signal removes the temporary file.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/output/file_writer.hpp"

namespace quilvar::runtime::output {

class AtomicFile {
 public:
  static constexpr std::size_t kBufferSize = FileWriter::kBlockSize;

  AtomicFile() = default;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();  // discards a file never committed

  // Creates the temporary file beside `path`. Returns false with *error set
  // when it cannot be created.
  bool open(const std::filesystem::path& path, std::string* error);

  bool is_open() const { return target_ != nullptr; }
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
    if (buffer_.size() >= kBufferSize) hand_over();
  }

  // Writes everything, closes the file and renames it to its final name.
  // Returns false with *error set when a write failed or the rename did not
  // succeed; the temporary file is removed then.
  bool commit(std::string* error);

  // Closes and removes the temporary file.
  void discard();

 private:
  // Hands the buffer's text to the writer; for a direct file only whole
  // multiples of the alignment, the rest staying in the buffer.
  void hand_over();
  // Waits for the writer, writes what is left in the buffer and closes the
  // file; returns the first write error (0 for none).
  int close_target();
  // The temporary name is no longer in use (renamed, removed, or never made).
  void forget_temporary();

  std::filesystem::path path_;
  std::filesystem::path temporary_;
  std::shared_ptr<WriteTarget> target_;
  bool direct_ = false;  // opened for direct I/O
  int cleanup_token_ = -1;  // the temporary file's entry in the signal cleanup table
  std::string buffer_;
};

// The name with every character other than letters, digits, '_' and '-'
// replaced by '_', so that a file named after it stays in its folder;
// "output" for an empty name.
std::string safe_file_stem(std::string_view name);

// Makes the folder and its parents when missing; false with *error naming
// it as "the <role> folder PATH" and why it cannot be made.
bool make_output_folder(const std::string& folder, std::string_view role, std::string* error);

}  // namespace quilvar::runtime::output
