// A file written under a temporary name in its final folder and renamed to
// its final name only when complete, so readers never see a partial file.
// Text is gathered in a buffer; each full megabyte goes to the file writer
// thread (with direct I/O where the file system allows it), so the many
// small pieces of a table cost one write per megabyte, made beside the
// formatting. A program ended by a signal removes the temporary file.
//
// The name may be a symbolic link (or a chain of them): the temporary file
// is made beside the file the link leads to and renamed over it, so the link
// stays a link and what it names gets the new text. A name that is an
// existing FIFO, device or socket, or a link to an open file such as
// /dev/stdout, is written straight into, with no temporary file: renaming
// over it would replace it by a regular file.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/output/file_writer.hpp"

namespace quilvar::runtime::output {

// The files a run reads (its data sets), which no output file may replace:
// an output whose final target is one of them is refused when committed.
// Known by device and inode, so every name of a file counts. Filled while
// the steps run and read by whichever thread completes an output file.
class InputFiles {
 public:
  // Records the file; a name that cannot be looked up is ignored.
  void add(const std::filesystem::path& path);
  // Whether the file of `path` is one of those recorded.
  bool contains(const std::filesystem::path& path) const;

 private:
  mutable std::mutex lock_;
  std::vector<std::pair<dev_t, ino_t>> files_;
};

// Where an output named by the user is written.
struct OutputTarget {
  std::filesystem::path path;  // the name after following symbolic links
  bool in_place = false;       // not a regular file: written straight into
};

// Follows the links of `path`; false with *error set for a loop of links.
bool resolve_output_target(const std::filesystem::path& path, OutputTarget* target, std::string* error);

// Folders the run made for its output, deepest first, each registered with
// the signal cleanup, so that a run ended by a signal takes them away again
// when they are empty. Destroyed before forget() (a run stopped before its
// outputs were completed, say by an output file it cannot write), the
// folders that are empty go as well.
class MadeFolders {
 public:
  MadeFolders() = default;
  MadeFolders(const MadeFolders&) = delete;
  MadeFolders& operator=(const MadeFolders&) = delete;
  ~MadeFolders() { remove_empty(); }

  // Makes `folder` and the parents it lacks, registering each before it is
  // made; *code is set when one cannot be made.
  void make(const std::filesystem::path& folder, std::error_code* code);
  // Removes the folders that are empty (a file may have been put in one),
  // deepest first, then forgets them all.
  void remove_empty();
  // No longer takes the folders away.
  void forget();

 private:
  std::vector<std::filesystem::path> folders_;
  std::vector<int> tokens_;  // their entries in the signal cleanup table
};

class AtomicFile {
 public:
  static constexpr std::size_t kBufferSize = FileWriter::kBlockSize;

  AtomicFile() = default;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();  // discards a file never committed

  // Creates the temporary file beside the file `path` names (making the
  // folders it needs), or opens a special file for writing. Returns false with *error set when it cannot.
  // The commit refuses a target that is one of `inputs` (when not null),
  // which must outlive the file.
  bool open(const std::filesystem::path& path, std::string* error, const InputFiles* inputs = nullptr);

  bool is_open() const { return target_ != nullptr; }
  const std::filesystem::path& path() const { return path_; }
  // Empty while open on a file written in place.
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
  // Returns false with *error set when a write failed, the final target is
  // one of the inputs, or the rename did not succeed; the temporary file is
  // removed then and the target left as it was.
  bool commit(std::string* error);

  // Closes and removes the temporary file.
  void discard();

  // Writes everything and closes the temporary file without renaming it,
  // so that it can be read back from temporary_path() before open() or
  // discard() removes it. False with *error set when a write failed; false
  // with *error empty for a file written in place, which cannot be read.
  bool close_for_reading(std::string* error);

 private:
  // Hands the buffer's text to the writer; for a direct file only whole
  // multiples of the alignment, the rest staying in the buffer.
  void hand_over();
  // Waits for the writer, writes what is left in the buffer and closes the
  // file; returns the first write error (0 for none).
  int close_target();
  // The temporary name is no longer in use (renamed, removed, or never made).
  void forget_temporary();

  // Commit's last step: renames the temporary file over the final target;
  // false with *error set when it cannot or must not.
  bool rename_to_target(std::string* error);

  std::filesystem::path path_;     // as the user named it, for messages
  std::filesystem::path final_;    // the file renamed over (links followed)
  std::filesystem::path temporary_;
  const InputFiles* inputs_ = nullptr;
  std::shared_ptr<WriteTarget> target_;
  bool direct_ = false;       // written with direct I/O
  bool handed_over_ = false;  // blocks went to the writer thread
  int cleanup_token_ = -1;  // the temporary file's entry in the signal cleanup table
  std::string buffer_;
  MadeFolders made_folders_;  // made by open(), taken away with a file never committed
};

// The name with every character other than letters (Latin, accented or
// not, and those of the other common alphabets, as UTF-8), digits, '_' and
// '-' replaced by '_', so that a file named after it stays in its folder
// and reads plainly; "output" for an empty name.
std::string safe_file_stem(std::string_view name);

// Makes the folder and its parents when missing, into `made` (when not
// null) for taking them away again; false with *error naming it as "the
// <role> folder PATH" and why it cannot be made or written into.
bool make_output_folder(const std::string& folder, std::string_view role, std::string* error,
                        MadeFolders* made = nullptr);

}  // namespace quilvar::runtime::output
