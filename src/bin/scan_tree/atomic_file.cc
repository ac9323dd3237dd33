#include "bin/scan_tree/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <utility>

#include <fmt/format.h>

namespace tessaly::scan_tree {
namespace {

// How many names a process tries before it gives up on finding a free one.
constexpr int kNameAttempts = 100;

// Bytes of the target's name kept in the temporary name, which leaves room
// for the prefix and suffix within the usual 255-byte name limit.
constexpr std::size_t kKeptNameBytes = 200;

// Flushes `fd` to the disk itself: on macOS fsync only hands the data to the
// drive, which may keep it in its cache; F_FULLFSYNC, where the file system
// takes it, asks the drive to write it out. Returns 0 or errno.
int flush_to_disk(int fd) {
#if defined(F_FULLFSYNC)
  if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  return ::fsync(fd) == 0 ? 0 : errno;
}

unsigned next_temp_number() {
  static std::atomic<unsigned> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed);
}

struct SplitPath {
  std::string directory;  // "." for a bare name
  std::string name;       // empty when the path names a directory
};

SplitPath split_path(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {".", std::string(path)};
  // A file directly in "/" keeps its slash as the directory.
  const std::size_t directory_length = slash == 0 ? 1 : slash;
  return {std::string(path.substr(0, directory_length)), std::string(path.substr(slash + 1))};
}

}  // namespace

std::string write_error_text(std::string_view path, int error_number) {
  return fmt::format("failed to write {}: {} (os error {})", path,
                     std::generic_category().message(error_number), error_number);
}

std::expected<AtomicFile, std::string> AtomicFile::create(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    return std::unexpected(write_error_text(path, ENOENT));
  }
  SplitPath split = split_path(path);
  if (split.name.empty() || split.name == "." || split.name == "..") {
    return std::unexpected(write_error_text(path, EISDIR));
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return std::unexpected(write_error_text(path, EISDIR));
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string temp =
        fmt::format("{}/.{}.tmp-{}-{}", split.directory, split.name.substr(0, kKeptNameBytes),
                    ::getpid(), next_temp_number());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return AtomicFile(path, std::move(split.directory), std::move(temp), fd);
    if (errno != EEXIST) return std::unexpected(write_error_text(path, errno));
  }
  return std::unexpected(write_error_text(path, EEXIST));
}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : path_(std::move(other.path_)),
      directory_(std::move(other.directory_)),
      temp_path_(std::move(other.temp_path_)),
      fd_(std::exchange(other.fd_, -1)),
      error_(other.error_),
      active_(std::exchange(other.active_, false)) {}

AtomicFile::~AtomicFile() { discard(); }

bool AtomicFile::write(std::string_view bytes) {
  if (!active_ || error_ != 0) return false;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::expected<void, std::string> AtomicFile::commit() {
  if (!active_) return std::unexpected(write_error_text(path_, EBADF));
  if (error_ == 0) error_ = flush_to_disk(fd_);
  if (::close(fd_) != 0 && error_ == 0) error_ = errno;
  fd_ = -1;
  if (error_ == 0 && ::rename(temp_path_.c_str(), path_.c_str()) != 0) error_ = errno;
  if (error_ != 0) {
    const int error = error_;
    discard();
    return std::unexpected(write_error_text(path_, error));
  }
  active_ = false;
  // The rename itself becomes durable with the directory; a file system that
  // cannot sync a directory still has the complete file in place.
  const int dir_fd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    static_cast<void>(flush_to_disk(dir_fd));
    ::close(dir_fd);
  }
  return {};
}

void AtomicFile::discard() {
  if (!active_) return;
  active_ = false;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ::unlink(temp_path_.c_str());
}

}  // namespace tessaly::scan_tree
