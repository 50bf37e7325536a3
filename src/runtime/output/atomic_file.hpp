// A file written under a temporary name in its final folder and renamed to
// its final name only when complete, so readers never see a partial file.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace quilvar::runtime::output {

class AtomicFile {
 public:
  AtomicFile() = default;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();  // discards a file never committed

  // Creates the temporary file beside `path`. Returns false with *error set
  // when it cannot be created.
  bool open(const std::filesystem::path& path, std::string* error);

  std::ostream& stream() { return stream_; }
  bool is_open() const { return stream_.is_open(); }
  const std::filesystem::path& path() const { return path_; }
  const std::filesystem::path& temporary_path() const { return temporary_; }

  // Closes the file and renames it to its final name. Returns false with
  // *error set when a write failed or the rename did not succeed; the
  // temporary file is removed then.
  bool commit(std::string* error);

  // Closes and removes the temporary file.
  void discard();

 private:
  std::filesystem::path path_;
  std::filesystem::path temporary_;
  std::ofstream stream_;
};

// The name with every character other than letters, digits, '_' and '-'
// replaced by '_', so that a file named after it stays in its folder;
// "output" for an empty name.
std::string safe_file_stem(std::string_view name);

}  // namespace quilvar::runtime::output
