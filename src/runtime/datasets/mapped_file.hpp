// A read-only memory mapping of a whole file. Data sets read their CSV text
// through it: the system pages the file in as reading moves along, and
// pages well behind the reading position are handed back, so a pass over a
// large file holds neither a copy of it nor all of its pages.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace quilvar::runtime::datasets {

// What a path that is neither a regular file nor a folder is, for a
// message that goes on with ", not a data file": "a named pipe (FIFO)",
// then the advice to save the data to a file, since a data set is mapped
// and read more than once; empty for a regular file or a folder.
std::string special_file_problem(const std::filesystem::file_status& status);

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  // Maps the file; returns false with a message naming the file when it
  // cannot be opened, is not a regular file or cannot be mapped. An empty
  // file maps to an empty range. A file truncated by another program while
  // it is mapped ends the run with a message naming it, not a crash (see
  // output::guard_mapping).
  bool open(const std::filesystem::path& path, std::string* error);

  // Whether the file's size now differs from the size mapped: another
  // program was still writing it (an export not yet finished) or cut it
  // after the run opened it, so the mapping does not hold the file as it
  // ends up. A file renamed over the name keeps the one opened.
  bool size_changed() const;

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }

  // Tells the mapping that reading has reached `position` (inside the
  // file): once it is far enough past the pages kept so far, the pages
  // more than a few megabytes behind it are dropped from this process.
  // They stay in the system's file cache and come back when read again,
  // so this changes no data, only what the process holds.
  void note_reading_at(const char* position) const { note_reading_at(position, &kept_from_); }

  // As above for a reader of its own (another thread's pass over another
  // part of the file), whose kept pages start at *kept_from.
  void note_reading_at(const char* position, std::size_t* kept_from) const;

  // Hands back every page from *kept_from up to the one holding `position`,
  // for a reader done with that part of the file.
  void release_before(const char* position, std::size_t* kept_from) const;
  void release_before(const char* position) const { release_before(position, &kept_from_); }

  // The page-aligned offset at or before `offset`.
  std::size_t page_start(std::size_t offset) const { return offset - offset % page_size_; }

 private:
  const char* data_ = nullptr;
  std::size_t size_ = 0;
  void* mapping_ = nullptr;
  std::size_t page_size_ = 4096;
  mutable std::size_t kept_from_ = 0;  // page-aligned start of the pages kept
  int guard_token_ = -1;  // the mapping's entry in the signal handlers' table
  int descriptor_ = -1;   // kept open for size_changed
};

}  // namespace quilvar::runtime::datasets
