#include "bin/common/file_io.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "bin/common/stop_signals.h"

namespace tessaly {
namespace {

// How many names a process tries before it gives up on finding a free one.
constexpr int kNameAttempts = 100;

// Bytes of the target's name kept in the temporary name, which leaves room
// for the prefix and suffix within the usual 255-byte name limit.
constexpr std::size_t kKeptNameBytes = 200;

// The most symbolic links followed to find the file to replace, as the
// kernels allow for one path.
constexpr int kMaxLinks = 40;

constexpr std::size_t kReadChunk = 64 * 1024;

// How long one wait for a FIFO's reader or for room to write lasts before the
// stop request is looked at again; a signal cuts it short anyway.
constexpr int kWaitStepMs = 50;

// Flushes `fd` to the disk itself: on macOS fsync only hands the data to the
// drive, which may keep it in its cache; F_FULLFSYNC, where the file system
// takes it, asks the drive to write it out. Returns 0 or errno.
int flush_to_disk(int fd) {
#if defined(F_FULLFSYNC)
  if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  return retry_on_interrupt([&] { return ::fsync(fd); }) == 0 ? 0 : errno;
}

// A failed close can be the first report of a lost write (NFS, full disk).
// After EINTR the descriptor is gone all the same, and the data with it or
// not: nothing to retry. Returns 0 or errno.
int close_checked(int fd) { return ::close(fd) == 0 || errno == EINTR ? 0 : errno; }

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

bool names_a_directory(std::string_view path) {
  const SplitPath split = split_path(path);
  return split.name.empty() || split.name == "." || split.name == "..";
}

// Follows the chain of symbolic links starting at `path` to the path of the
// file it ends at, which need not exist.
std::expected<std::string, int> resolve_links(std::string path) {
  for (int hop = 0; hop <= kMaxLinks; ++hop) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return std::unexpected(errno);
    if (static_cast<std::size_t>(n) >= target.size()) return std::unexpected(ENAMETOOLONG);
    std::string next(target.data(), static_cast<std::size_t>(n));
    if (!next.starts_with('/')) {
      const std::size_t slash = path.rfind('/');
      if (slash != std::string::npos) next = path.substr(0, slash + 1) + next;
    }
    path = std::move(next);
  }
  return std::unexpected(ELOOP);
}

// What a write to `path` goes to.
struct Target {
  bool in_place = false;  // an existing device, FIFO or socket, or `descriptor`
  bool fifo = false;
  std::string path;  // the regular file to create or replace
  bool exists = false;
  mode_t mode = 0;
  int descriptor = -1;  // the standard descriptor open on the target
};

// The standard output or error when it is open on the file `st` describes.
int standard_descriptor_on(const struct stat& st) {
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat open_file {};
    if (::fstat(fd, &open_file) == 0 && open_file.st_dev == st.st_dev &&
        open_file.st_ino == st.st_ino) {
      return fd;
    }
  }
  return -1;
}

std::expected<Target, int> find_target(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return std::unexpected(ENOENT);
  if (names_a_directory(path)) return std::unexpected(EISDIR);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return std::unexpected(EISDIR);
    // A device reached through a link ("/dev/stdout") is opened by the name
    // given: the link may be one the kernel makes up for a descriptor.
    if (!S_ISREG(st.st_mode)) return Target{true, S_ISFIFO(st.st_mode), path, true, 0, -1};
    // Replacing the file the process's own output goes to would send that
    // output to a file no longer in place: "/dev/stdout" with the output
    // redirected to a file is written through the descriptor.
    if (const int fd = standard_descriptor_on(st); fd >= 0) {
      return Target{true, false, path, true, 0, fd};
    }
    auto resolved = resolve_links(path);
    if (!resolved) return std::unexpected(resolved.error());
    return Target{false, false, std::move(*resolved), true, static_cast<mode_t>(st.st_mode & 07777),
                  -1};
  }
  if (errno != ENOENT) return std::unexpected(errno);
  // A dangling link: the new file goes where it points.
  auto resolved = resolve_links(path);
  if (!resolved) return std::unexpected(resolved.error());
  if (names_a_directory(*resolved)) return std::unexpected(EISDIR);
  return Target{false, false, std::move(*resolved), false, 0, -1};
}

// Sleeps one wait step, or less when a signal comes.
void wait_a_step() { static_cast<void>(::poll(nullptr, 0, kWaitStepMs)); }

// Opens the device or FIFO `target` for writing. A FIFO without a reader is
// waited for, as a blocking open would, but the wait ends with ECANCELED once
// a stop is requested. The descriptor is left blocking: on some systems
// opening "/dev/fd/N" shares the open file of descriptor N, whose mode must
// not change under the process's other writers.
std::expected<int, int> open_in_place(const Target& target) {
  while (true) {
    if (stop_requested()) return std::unexpected(ECANCELED);
    const int fd = ::open(target.path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
      const int flags = ::fcntl(fd, F_GETFL);
      if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        const int error = errno;
        ::close(fd);
        return std::unexpected(error);
      }
      return fd;
    }
    if (errno == EINTR) continue;
    // ENXIO: a FIFO that no process has open for reading (for a device it
    // means no device, which waiting does not change).
    if (errno != ENXIO || !target.fifo) return std::unexpected(errno);
    wait_a_step();
  }
}

// Writes all of `bytes` to the device or FIFO `fd`, waiting for room as a
// blocking write would; ECANCELED once a stop is requested. Each write is at
// most PIPE_BUF bytes once poll reports room, which a pipe takes whole
// without blocking.
std::expected<void, int> write_all_stoppable(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    if (stop_requested()) return std::unexpected(ECANCELED);
    pollfd room{fd, POLLOUT, 0};
    const int ready = ::poll(&room, 1, kWaitStepMs);
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    if (ready < 0) return std::unexpected(errno);
    const ssize_t n = ::write(fd, bytes.data(), std::min<std::size_t>(bytes.size(), PIPE_BUF));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(errno);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// Creates a fresh temporary file beside `target`; yields its path and
// descriptor.
std::expected<std::pair<std::string, int>, int> create_temp(const std::string& target) {
  const SplitPath split = split_path(target);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string temp =
        fmt::format("{}/.{}.tmp-{}-{}", split.directory, split.name.substr(0, kKeptNameBytes),
                    ::getpid(), next_temp_number());
    const int fd = retry_on_interrupt(
        [&] { return ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
    if (fd >= 0) return std::pair{std::move(temp), fd};
    if (errno != EEXIST) return std::unexpected(errno);
  }
  return std::unexpected(EEXIST);
}

}  // namespace

std::string os_error_text(int error_number) {
  return fmt::format("{} (os error {})", std::generic_category().message(error_number),
                     error_number);
}

std::string write_error_text(std::string_view path, int error_number) {
  return fmt::format("failed to write {}: {}", path, os_error_text(error_number));
}

std::expected<void, int> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = retry_on_interrupt([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n < 0) return std::unexpected(errno);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

std::expected<std::string, ReadFailure> read_file_whole(const std::string& path,
                                                        std::size_t max_bytes) {
  using Kind = ReadFailure::Kind;
  const auto system_failure = [](int error) {
    return std::unexpected(ReadFailure{Kind::kSystem, error});
  };
  if (path.find('\0') != std::string::npos) return system_failure(ENOENT);
  // Refused before opening: opening a device can itself do something.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return system_failure(errno);
  if (S_ISDIR(st.st_mode)) return system_failure(EISDIR);
  if (!S_ISREG(st.st_mode)) return std::unexpected(ReadFailure{Kind::kNotRegular, 0});
  // Non-blocking, in case a FIFO took the file's place since.
  const int fd =
      retry_on_interrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); });
  if (fd < 0) return system_failure(errno);
  std::expected<std::string, ReadFailure> outcome;
  if (::fstat(fd, &st) != 0) {
    outcome = system_failure(errno);
  } else if (S_ISDIR(st.st_mode)) {
    outcome = system_failure(EISDIR);
  } else if (!S_ISREG(st.st_mode)) {
    outcome = std::unexpected(ReadFailure{Kind::kNotRegular, 0});
  } else if (static_cast<std::uint64_t>(st.st_size) > max_bytes) {
    outcome = std::unexpected(ReadFailure{Kind::kTooLarge, 0});
  } else {
    std::string& data = *outcome;
    // Room for the last read, which finds the end (or a file that grew), so
    // that the string is never reallocated to twice the file's size.
    data.reserve(static_cast<std::size_t>(st.st_size) + kReadChunk);
    // Reads one byte past the cap to see a file that grew beyond it.
    while (true) {
      const std::size_t room = max_bytes - std::min(max_bytes, data.size()) + 1;
      const std::size_t want = std::min(room, kReadChunk);
      const std::size_t old_size = data.size();
      data.resize(old_size + want);
      const ssize_t n =
          retry_on_interrupt([&] { return ::read(fd, data.data() + old_size, want); });
      data.resize(old_size + static_cast<std::size_t>(n > 0 ? n : 0));
      if (n < 0) {
        outcome = system_failure(errno);
        break;
      }
      if (n == 0) break;
      if (data.size() > max_bytes) {
        outcome = std::unexpected(ReadFailure{Kind::kTooLarge, 0});
        break;
      }
    }
  }
  ::close(fd);
  return outcome;
}

std::expected<OutputFile, int> OutputFile::create(const std::string& path) {
  auto target = find_target(path);
  if (!target) return std::unexpected(target.error());
  if (target->descriptor >= 0) {
    // Blocking, as the descriptor it shares its open file with.
    const int fd = ::fcntl(target->descriptor, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return std::unexpected(errno);
    return OutputFile(std::move(target->path), std::string(), fd, false);
  }
  if (target->in_place) {
    auto fd = open_in_place(*target);
    if (!fd) return std::unexpected(fd.error());
    return OutputFile(std::move(target->path), std::string(), *fd, true);
  }
  auto temp = create_temp(target->path);
  if (!temp) return std::unexpected(temp.error());
  // The replacement keeps the permissions the file had; ownership stays the
  // writer's.
  if (target->exists) static_cast<void>(::fchmod(temp->second, target->mode));
  return OutputFile(std::move(target->path), std::move(temp->first), temp->second, false);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : target_(std::move(other.target_)),
      temp_path_(std::move(other.temp_path_)),
      fd_(std::exchange(other.fd_, -1)),
      error_(other.error_),
      active_(std::exchange(other.active_, false)),
      waits_(other.waits_) {}

OutputFile::~OutputFile() { discard(); }

bool OutputFile::write(std::string_view bytes) {
  if (!active_ || error_ != 0) return false;
  if (auto written = waits_ ? write_all_stoppable(fd_, bytes) : write_all(fd_, bytes); !written) {
    error_ = written.error();
    return false;
  }
  return true;
}

std::expected<void, int> OutputFile::commit() {
  if (!active_) return std::unexpected(EBADF);
  const bool in_place = temp_path_.empty();
  if (error_ == 0 && !in_place) error_ = flush_to_disk(fd_);
  const int closed = close_checked(fd_);
  if (error_ == 0) error_ = closed;
  fd_ = -1;
  if (error_ == 0 && !in_place && ::rename(temp_path_.c_str(), target_.c_str()) != 0) {
    error_ = errno;
  }
  if (error_ != 0) {
    const int error = error_;
    discard();
    return std::unexpected(error);
  }
  active_ = false;
  if (in_place) return {};
  // The rename itself becomes durable with the directory; a file system that
  // cannot sync a directory still has the complete file in place.
  const std::string directory = split_path(target_).directory;
  const int dir_fd = retry_on_interrupt(
      [&] { return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (dir_fd >= 0) {
    static_cast<void>(flush_to_disk(dir_fd));
    ::close(dir_fd);
  }
  return {};
}

void OutputFile::discard() {
  if (!active_) return;
  active_ = false;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
}

std::expected<void, int> check_writable(const std::string& path) {
  auto target = find_target(path);
  if (!target) return std::unexpected(target.error());
  if (target->in_place) {
    if (::access(path.c_str(), W_OK) != 0) return std::unexpected(errno);
    return {};
  }
  auto temp = create_temp(target->path);
  if (!temp) return std::unexpected(temp.error());
  ::close(temp->second);
  ::unlink(temp->first.c_str());
  return {};
}

std::expected<void, std::string> write_file_whole(const std::string& path, std::string_view bytes) {
  auto file = OutputFile::create(path);
  if (!file) return std::unexpected(write_error_text(path, file.error()));
  file->write(bytes);
  if (auto committed = file->commit(); !committed) {
    return std::unexpected(write_error_text(path, committed.error()));
  }
  return {};
}

std::expected<struct stat, int> stat_any_length(const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::unexpected(ENOENT);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return st;
  if (errno != ENAMETOOLONG) return std::unexpected(errno);
  // Opens directories along the way in pieces shorter than PATH_MAX, each
  // relative to the one before.
  std::string_view rest = path;
  int dir_fd = AT_FDCWD;
  const auto close_dir = [&] {
    if (dir_fd != AT_FDCWD) ::close(dir_fd);
  };
  while (rest.size() >= PATH_MAX) {
    const std::size_t cut = rest.substr(0, PATH_MAX - 1).rfind('/');
    if (cut == std::string_view::npos) {
      close_dir();
      return std::unexpected(ENAMETOOLONG);
    }
    const std::string piece(cut == 0 ? "/" : rest.substr(0, cut));
    const int next = retry_on_interrupt(
        [&] { return ::openat(dir_fd, piece.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    const int error = errno;
    close_dir();
    if (next < 0) return std::unexpected(error);
    dir_fd = next;
    rest.remove_prefix(cut + 1);
  }
  const std::string last(rest.empty() ? "." : rest);
  const int result = ::fstatat(dir_fd, last.c_str(), &st, 0);
  const int error = errno;
  close_dir();
  if (result != 0) return std::unexpected(error);
  return st;
}

}  // namespace tessaly
