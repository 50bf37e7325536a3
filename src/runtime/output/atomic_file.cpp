// Temporary-then-rename file writing.
#include "runtime/output/atomic_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>

#include "runtime/output/signal_cleanup.hpp"
#include "runtime/text/utf8.hpp"

namespace quilvar::runtime::output {
namespace {

// Hex digits of the random part of a temporary name.
constexpr unsigned kRandomDigits = 8;

// Random bits for a temporary name, from the kernel (a plot run makes
// tens of thousands of names, and std::random_device probes the processor
// each time it is made, which is slow in a virtual machine). Should the
// call fail, the clock's nanoseconds serve: the exclusive create below
// still never takes another file's name.
unsigned random_bits() {
  unsigned bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits)) return bits;
  return static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
}

// ".report.json.1234.5f3a9c01.tmp": hidden, in the same folder (so the
// rename stays on one file system), with the process id to tell whose it is
// and random digits, because the id alone does not keep runs apart: runs in
// containers of their own (or on other hosts sharing the folder) have the
// same ids, and one process may write the same name twice at once.
// A file's own name near the longest a folder takes (NAME_MAX bytes) is
// cut in the temporary name, at a character's start, so that the
// temporary name fits too.
std::filesystem::path temporary_name(const std::filesystem::path& path) {
  constexpr std::string_view kHex = "0123456789abcdef";
  std::string tail(1, '.');
  tail += std::to_string(::getpid());
  tail += '.';
  for (unsigned bits = random_bits(), digit = 0; digit < kRandomDigits; ++digit, bits >>= 4) tail += kHex[bits & 0xF];
  tail += ".tmp";
  std::string own = path.filename().string();
  const std::size_t room = NAME_MAX - 1 - tail.size();
  if (own.size() > room) {
    std::size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(own[cut]) & 0xC0) == 0x80) --cut;
    own.resize(cut);
  }
  return path.parent_path() / ("." + own + tail);
}

// Created anew: a name already taken is another file's, never overwritten.
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
// Names tried before giving up (a name taken again and again means
// something else is wrong, and the error then says what).
constexpr int kNameAttempts = 8;
constexpr mode_t kCreateMode = 0666;  // narrowed by the umask, as for any new file
// A file written in place already exists. Appending, so that a link to an
// open file (standard output sent to a file) continues it rather than
// overwriting it from the start; FIFOs and devices ignore it.
constexpr int kInPlaceFlags = O_WRONLY | O_APPEND | O_CLOEXEC;
// Links followed before giving up on a loop: the kernel's own limit.
constexpr int kMaxLinks = 40;

std::string cannot_write(const std::filesystem::path& path, const std::string& reason) {
  return "cannot write " + path.string() + ": " + reason;
}

int open_file(const std::filesystem::path& path, int flags) {
  int descriptor = -1;
  do {
    descriptor = ::open(path.c_str(), flags, kCreateMode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

// A link inside /proc (/proc/self/fd/1, which /dev/stdout and /dev/fd/1
// lead to) stands for an open file, not for the path its text shows: that
// may be a pipe or a file deleted since. Only opening it reaches the file.
bool names_open_file(const std::filesystem::path& link) {
  std::error_code code;
  const std::filesystem::path folder = std::filesystem::absolute(link, code).parent_path();
  const std::filesystem::path real = std::filesystem::canonical(folder, code);
  return !code && real.native().starts_with("/proc/");
}

// The number N of a link /proc/self/fd/N (so /dev/stdout, /dev/fd/N): one
// of this process's own descriptors; -1 for any other link.
int own_descriptor(const std::filesystem::path& link) {
  std::error_code code;
  const std::filesystem::path absolute = std::filesystem::absolute(link, code);
  const std::filesystem::path folder = std::filesystem::canonical(absolute.parent_path(), code);
  const std::string number = absolute.filename().string();
  if (code || folder != std::filesystem::path("/proc/" + std::to_string(::getpid()) + "/fd") || number.empty() ||
      number.size() > 9 || !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return -1;
  }
  return std::stoi(number);
}

// The file behind a link into /proc, opened anew as before: a pipe or a
// terminal then gets a description of its own, which blocks whatever the
// shared one was set to, and a file is appended to. A descriptor of this
// process that cannot be opened by name is used as it is, a copy of it:
// another user's file or terminal (a stream redirected before a change of
// user) asks for a permission the descriptor already has, and a socket
// cannot be opened by name at all. A standard output the run was started
// without (held by a read-only /dev/null) refuses the text rather than
// losing it in /dev/null.
int open_in_place(const std::filesystem::path& path) {
  const int own = own_descriptor(path);
  if (own >= 0) {
    const int flags = fcntl(own, F_GETFL);
    if (flags < 0) return -1;
    if ((flags & O_ACCMODE) == O_RDONLY) {
      errno = EBADF;
      return -1;
    }
  }
  const int descriptor = open_file(path, kInPlaceFlags);
  if (descriptor >= 0 || own < 0) return descriptor;
  return fcntl(own, F_DUPFD_CLOEXEC, 0);
}

// A folder with the sticky bit (/tmp, a shared drop folder) lets only the
// owner of a file, or of the folder, rename another file over it: the
// rename that completes the output would fail with no word of why, after
// the whole run. Root may replace any file.
bool only_its_owner_may_replace(const std::filesystem::path& file, const struct stat& existing) {
  const uid_t user = ::geteuid();
  if (user == 0 || existing.st_uid == user) return false;
  const std::filesystem::path parent = file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
  struct stat folder {};
  return ::stat(parent.c_str(), &folder) == 0 && (folder.st_mode & S_ISVTX) != 0 && folder.st_uid != user;
}

}  // namespace

void InputFiles::add(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return;
  const std::lock_guard hold(lock_);
  files_.emplace_back(info.st_dev, info.st_ino);
}

bool InputFiles::contains(const std::filesystem::path& path) const {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  const std::lock_guard hold(lock_);
  return std::find(files_.begin(), files_.end(), std::pair(info.st_dev, info.st_ino)) != files_.end();
}

bool resolve_output_target(const std::filesystem::path& path, OutputTarget* target, std::string* error) {
  namespace fs = std::filesystem;
  target->path = path;
  std::error_code code;
  for (int followed = 0; fs::is_symlink(fs::symlink_status(target->path, code)); ++followed) {
    if (names_open_file(target->path)) {
      target->in_place = true;
      return true;
    }
    if (followed == kMaxLinks) {
      *error = cannot_write(path, std::strerror(ELOOP));
      return false;
    }
    const fs::path next = fs::read_symlink(target->path, code);
    if (code) break;
    // A relative link is relative to its own folder; an absolute one replaces the path.
    target->path = target->path.parent_path() / next;
  }
  const fs::file_status status = fs::status(target->path, code);
  target->in_place = fs::exists(status) && !fs::is_regular_file(status);
  return true;
}

AtomicFile::~AtomicFile() { discard(); }

bool AtomicFile::open(const std::filesystem::path& path, std::string* error, const InputFiles* inputs) {
  discard();
  // The writer is made here, where running out of memory may throw, not
  // first in a discard() run by a destructor, where it would end the process.
  file_writer();
  path_ = path;
  inputs_ = inputs;
  OutputTarget target;
  if (!resolve_output_target(path, &target, error)) return false;
  final_ = target.path;
  int descriptor = -1;
  direct_ = false;
  handed_over_ = false;
  if (target.in_place) {
    descriptor = open_in_place(final_);
  } else {
    // A folder the file's name needs is made, as for the CSV and plot
    // folders; one that cannot be made fails the open below with its reason.
    // The folders made are kept in mind, deepest first, so that a file never
    // committed takes them away again, also when a signal ends the run.
    std::error_code ignored;
    made_folders_.make(final_.parent_path(), &ignored);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      if (attempt > 0) forget_temporary();
      temporary_ = temporary_name(final_);
      // Registered before it exists, so that no moment leaves it behind.
      cleanup_token_ = register_temporary_file(temporary_);
      begin_creating(cleanup_token_);
      descriptor = open_file(temporary_, kCreateFlags);
      const int open_error = errno;
      end_creating(cleanup_token_);
      errno = open_error;
      if (descriptor >= 0 || errno != EEXIST) break;
    }
    // A file replaced keeps its permission bits (a report shared with a
    // group, or one kept private, stays so); a new one takes the umask's.
    struct stat existing {};
    if (descriptor >= 0 && ::stat(final_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
      if (only_its_owner_may_replace(final_, existing)) {
        ::close(descriptor);
        std::filesystem::remove(temporary_, ignored);
        forget_temporary();
        *error = cannot_write(path, "it belongs to another user, and its folder (as /tmp does) lets only a file's "
                                    "owner replace it; choose another name");
        return false;
      }
      ::fchmod(descriptor, existing.st_mode & 07777);
    }
  }
  if (descriptor < 0) {
    // Named by the file asked for: the hidden temporary name means nothing
    // to the user.
    *error = cannot_write(path, std::strerror(errno));
    forget_temporary();
    return false;
  }
  target_ = std::make_shared<WriteTarget>();
  target_->descriptor = descriptor;
  buffer_.reserve(kBufferSize + kBufferSize / 4);
  return true;
}

void AtomicFile::hand_over() {
  if (target_ == nullptr) {
    buffer_.clear();
    return;
  }
  if (!handed_over_) {
    handed_over_ = true;
    // Direct I/O where the file system allows it (tmpfs refuses it), for a
    // new file (one with a temporary name) large enough to fill the buffer.
    // Set after the open: a refused O_DIRECT open may already have made the
    // file, which the exclusive open would then take for another's.
    if (!temporary_.empty()) {
      const int flags = fcntl(target_->descriptor, F_GETFL);
      direct_ = flags >= 0 && fcntl(target_->descriptor, F_SETFL, flags | O_DIRECT) == 0;
      target_->direct = direct_;
    }
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
  // A file that never filled the buffer (a plot, a small report) is written
  // here in one piece through the cache: handing it to the writer thread,
  // and a direct write that waits for the device, would cost more than the
  // write itself.
  int error = 0;
  if (handed_over_) {
    hand_over();
    error = file_writer().finish(target_);
    // The tail is shorter than a block: written through the cache.
    if (direct_) {
      const int flags = fcntl(target_->descriptor, F_GETFL);
      if (flags >= 0) fcntl(target_->descriptor, F_SETFL, flags & ~O_DIRECT);
    }
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
  if (write_error != 0) *error = cannot_write(path_, std::strerror(write_error));
  // A file written in place has no temporary name and is complete now.
  if (write_error != 0 || (!temporary_.empty() && !rename_to_target(error))) {
    discard();
    return false;
  }
  forget_temporary();
  made_folders_.forget();
  buffer_ = std::string();
  return true;
}

bool AtomicFile::close_for_reading(std::string* error) {
  error->clear();
  if (target_ == nullptr || temporary_.empty()) return false;
  const int write_error = close_target();
  if (write_error != 0) *error = cannot_write(path_, std::strerror(write_error));
  return write_error == 0;
}

bool AtomicFile::rename_to_target(std::string* error) {
  if (inputs_ != nullptr && inputs_->contains(final_)) {
    *error = cannot_write(path_, "it is a data set this program reads; it was not overwritten");
    return false;
  }
  std::error_code code;
  std::filesystem::rename(temporary_, final_, code);
  if (code) *error = cannot_write(path_, code.message());
  return !code;
}

void AtomicFile::discard() {
  if (target_ != nullptr) {
    buffer_.clear();
    close_target();
  }
  buffer_ = std::string();
  std::error_code ignored;
  if (!temporary_.empty()) {
    std::filesystem::remove(temporary_, ignored);
    forget_temporary();
  }
  made_folders_.remove_empty();
}

void AtomicFile::forget_temporary() {
  unregister_temporary_file(cleanup_token_);
  cleanup_token_ = -1;
  temporary_.clear();
}

void MadeFolders::make(const std::filesystem::path& folder, std::error_code* code) {
  std::error_code ignored;
  const std::size_t before = folders_.size();
  for (std::filesystem::path missing = folder; !missing.empty() && !std::filesystem::exists(missing, ignored);
       missing = missing.parent_path()) {
    folders_.push_back(missing);
  }
  if (folders_.size() == before) return;
  for (std::size_t i = before; i < folders_.size(); ++i) tokens_.push_back(register_made_folder(folders_[i]));
  std::filesystem::create_directories(folder, *code);
}

void MadeFolders::remove_empty() {
  // Only empty folders go: another file may have been put in one since.
  std::error_code ignored;
  for (const std::filesystem::path& folder : folders_) std::filesystem::remove(folder, ignored);
  forget();
}

void MadeFolders::forget() {
  for (int token : tokens_) unregister_temporary_file(token);
  tokens_.clear();
  folders_.clear();
}

namespace {

// The blocks of letters kept in file names: Latin with its accents, Greek,
// Cyrillic, Armenian, Hebrew, Arabic, Thai, kana, CJK ideographs, Hangul.
// Punctuation, spaces, symbols and format controls of other blocks are not.
constexpr std::pair<char32_t, char32_t> kLetterBlocks[] = {
    {0x00C0, 0x00D6}, {0x00D8, 0x00F6}, {0x00F8, 0x024F}, {0x0370, 0x03FF}, {0x0400, 0x04FF},
    {0x0531, 0x0587}, {0x05D0, 0x05EA}, {0x0620, 0x064A}, {0x0E01, 0x0E30}, {0x1E00, 0x1EFF},
    {0x3041, 0x30FF}, {0x4E00, 0x9FFF}, {0xAC00, 0xD7A3}};

}  // namespace

std::string safe_file_stem(std::string_view name) {
  std::string stem;
  for (std::size_t i = 0; i < name.size();) {
    const char c = name[i];
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                       c == '-';
    if (plain) {
      stem += c;
      ++i;
      continue;
    }
    // A letter of another alphabet ("è", "ø", "Ж") stays as it is, whole;
    // any other character, or a byte that starts no well-formed UTF-8
    // character, becomes one '_'.
    const text::Utf8Character decoded = text::decode_utf8(name, i);
    const char32_t code = decoded.code;
    const std::size_t length = decoded.length;
    const bool letter = std::any_of(std::begin(kLetterBlocks), std::end(kLetterBlocks),
                                    [code](const auto& block) { return code >= block.first && code <= block.second; });
    if (length > 0 && letter) {
      stem.append(name, i, length);
    } else {
      stem += '_';
    }
    i += length > 0 ? length : 1;
  }
  return stem.empty() ? std::string("output") : stem;
}

bool make_output_folder(const std::string& folder, std::string_view role, std::string* error,
                        MadeFolders* made) {
  std::error_code code;
  if (made != nullptr) {
    made->make(folder, &code);
  } else {
    std::filesystem::create_directories(folder, code);
  }
  if (code || !std::filesystem::is_directory(folder, code)) {
    *error = "cannot create the " + std::string(role) + " folder " + folder + ": " +
             (code ? code.message() : std::string("a file of that name is in the way"));
    return false;
  }
  // A folder the run may not add files to is refused now, not after every
  // BY group has been computed for files that cannot be made.
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    *error = "cannot write into the " + std::string(role) + " folder " + folder + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace quilvar::runtime::output
