// Stream buffers over descriptors 1 and 2.
#include "runtime/cli/standard_streams.hpp"

#include <unistd.h>

#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>

#include "runtime/output/file_writer.hpp"

namespace quilvar::runtime {
namespace {

// The text is gathered under a lock and the put area stays empty, so that
// every call comes through the virtual functions: std::cerr, tied to
// std::cout, flushes it from the computing thread while the listing's
// thread writes to it.
class DescriptorBuffer : public std::streambuf {
 public:
  explicit DescriptorBuffer(int descriptor) : descriptor_(descriptor), terminal_(isatty(descriptor) != 0) {
    text_.reserve(kSize);
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return sync() == 0 ? traits_type::not_eof(c) : c;
    const char put = traits_type::to_char_type(c);
    return xsputn(&put, 1) == 1 ? c : traits_type::eof();
  }

  std::streamsize xsputn(const char* text, std::streamsize size) override {
    const std::lock_guard hold(lock_);
    text_.append(text, static_cast<std::size_t>(size));
    // A terminal shows each piece (a table, a log line) at once, as a
    // person watching the run expects; elsewhere the text goes in blocks.
    if ((terminal_ || text_.size() >= kSize) && !write_text()) return 0;
    return size;
  }

  int sync() override {
    const std::lock_guard hold(lock_);
    return write_text() ? 0 : -1;
  }

 private:
  static constexpr std::size_t kSize = std::size_t{1} << 16;

  bool write_text() {
    const int error = output::write_all(descriptor_, text_.data(), text_.size());
    text_.clear();
    return error == 0;
  }

  const int descriptor_;
  const bool terminal_;
  std::mutex lock_;
  std::string text_;
};

}  // namespace

void write_standard_streams_through_descriptors() {
  // Never destroyed: the streams are flushed at exit, after static objects
  // made now would be gone.
  static DescriptorBuffer* const output = new DescriptorBuffer(STDOUT_FILENO);
  static DescriptorBuffer* const error = new DescriptorBuffer(STDERR_FILENO);
  std::cout.rdbuf(output);
  std::cerr.rdbuf(error);
}

}  // namespace quilvar::runtime
