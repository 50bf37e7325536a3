// Read-only file mapping with POSIX mmap.
#include "runtime/datasets/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>

#include "runtime/output/signal_cleanup.hpp"

namespace quilvar::runtime::datasets {

namespace {

// Pages are dropped in steps of kReleaseStep, keeping kKeepBehind bytes
// before the reading position for short rewinds.
constexpr std::size_t kReleaseStep = std::size_t{4} << 20;
constexpr std::size_t kKeepBehind = std::size_t{4} << 20;

// Said on standard error when the file is truncated by another program
// while the run reads it through the mapping; the file's name goes between
// the two parts.
constexpr std::string_view kCutShortBefore = "quilvar: ERROR: data set file \"";
constexpr std::string_view kCutShortAfter =
    "\" was cut short while it was being read (another program truncated or rewrote it); the run is stopped "
    "and no output files are written\n";

std::string open_failure(const std::filesystem::path& path, const char* reason) {
  return "cannot open data set file \"" + path.string() + "\": " + reason;
}

}  // namespace

std::string special_file_problem(const std::filesystem::file_status& status) {
  using std::filesystem::file_type;
  std::string kind;
  switch (status.type()) {
    case file_type::fifo: kind = "a named pipe (FIFO)"; break;
    case file_type::character:
    case file_type::block: kind = "a device"; break;
    case file_type::socket: kind = "a socket"; break;
    default: return "";
  }
  return kind + ", not a data file: a data set is read more than once, so save the data to a file and name that";
}

MappedFile::~MappedFile() {
  output::unguard_mapping(guard_token_);
  if (mapping_ != nullptr) munmap(mapping_, size_);
  if (descriptor_ >= 0) close(descriptor_);
}

bool MappedFile::size_changed() const {
  struct stat status {};
  return descriptor_ >= 0 && fstat(descriptor_, &status) == 0 && static_cast<std::size_t>(status.st_size) != size_;
}

bool MappedFile::open(const std::filesystem::path& path, std::string* error) {
  // O_NONBLOCK: opening a named pipe no program writes into would wait
  // for a writer for ever; the check below then refuses it. Reads of a
  // regular file do not heed the flag.
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (descriptor < 0) {
    *error = open_failure(path, std::strerror(errno));
    return false;
  }
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    std::error_code ignored;
    const std::string problem = special_file_problem(std::filesystem::status(path, ignored));
    *error = open_failure(path, "not a regular file");
    if (!problem.empty()) error->append("; it is ").append(problem);
    close(descriptor);
    return false;
  }
  size_ = static_cast<std::size_t>(status.st_size);
  if (size_ > 0) {
    void* mapping = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, descriptor, 0);
    if (mapping == MAP_FAILED) {
      *error = open_failure(path, std::strerror(errno));
      size_ = 0;
      close(descriptor);
      return false;
    }
    // Passes run front to back; tell the kernel so it reads ahead and
    // drops pages already passed.
    madvise(mapping, size_, MADV_SEQUENTIAL);
    mapping_ = mapping;
    page_size_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    data_ = static_cast<const char*>(mapping);
    std::string message(kCutShortBefore);
    message += path.string();
    message += kCutShortAfter;
    guard_token_ = output::guard_mapping(mapping, size_, message);
  }
  descriptor_ = descriptor;
  return true;
}

void MappedFile::note_reading_at(const char* position, std::size_t* kept_from) const {
  const std::size_t offset = static_cast<std::size_t>(position - data_);
  const std::size_t page = page_start(offset);
  if (offset < *kept_from) {
    *kept_from = page;  // reading went back: pages from here on are mapped again as read
    return;
  }
  if (offset - *kept_from < kReleaseStep + kKeepBehind) return;
  const std::size_t until = page - kKeepBehind;
  madvise(static_cast<char*>(mapping_) + *kept_from, until - *kept_from, MADV_DONTNEED);
  *kept_from = until;
}

void MappedFile::release_before(const char* position, std::size_t* kept_from) const {
  const std::size_t until = page_start(static_cast<std::size_t>(position - data_));
  if (until <= *kept_from) return;
  madvise(static_cast<char*>(mapping_) + *kept_from, until - *kept_from, MADV_DONTNEED);
  *kept_from = until;
}

}  // namespace quilvar::runtime::datasets
