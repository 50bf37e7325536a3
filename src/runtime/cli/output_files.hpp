// The output files the command line names: checked against one another,
// the program file and the output folders before the run reads or writes
// anything; and the log file, written like every other output file (under
// a temporary name, never over a data set the run reads).
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

#include "runtime/cli/program_runner.hpp"
#include "runtime/output/atomic_file.hpp"

namespace quilvar::runtime {

// False with *error naming both options and the path when two output files
// are one file, or an output file is the program file, the CSV folder or
// the plots folder. Files are compared by identity where they exist and by
// their normal absolute paths otherwise, symbolic links followed.
bool check_output_files(const RunOptions& options, std::string* error);

// The log file: text written to stream() reaches the file when committed.
// Its first part is kept as well, so that a log file that cannot be written
// (a full disk, a name that is a data set the run reads) does not take the
// run's messages with it: the run then gives them on standard error. The
// part kept is bounded, so that a run of many BY groups with a message in
// each does not hold its whole log in memory.
class LogFile {
 public:
  LogFile() : buffer_(file_, kept_), stream_(&buffer_) {}

  // False with *error set when the file cannot be created.
  bool open(const std::string& path, const output::InputFiles* inputs, std::string* error) {
    return file_.open(path, error, inputs);
  }
  std::ostream& stream() { return stream_; }
  bool commit(std::string* error) { return file_.commit(error); }
  // The text written to stream(), or its first part and a line saying how
  // much of it is left out.
  std::string text() const;

 private:
  static constexpr std::size_t kKeptBytes = std::size_t{4} << 20;
  struct Kept {
    std::string text;
    std::size_t dropped = 0;
  };

  // Hands every piece of text to the file and keeps its first part.
  class Buffer : public std::streambuf {
   public:
    Buffer(output::AtomicFile& file, Kept& kept) : file_(file), kept_(kept) {}

   protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* text, std::streamsize size) override;

   private:
    void keep(std::string_view text);
    output::AtomicFile& file_;
    Kept& kept_;
  };

  output::AtomicFile file_;
  Kept kept_;
  Buffer buffer_;
  std::ostream stream_;
};

}  // namespace quilvar::runtime
