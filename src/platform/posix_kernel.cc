#include "platform/posix_kernel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace tessaly::platform {
namespace {

int open_flags(OpenAs how) {
  switch (how) {
    case OpenAs::kListing:
      return O_RDONLY | O_CLOEXEC | O_DIRECTORY;
    case OpenAs::kListingItself:
      return O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW;
    case OpenAs::kSearch:
#if defined(O_PATH)
      return O_PATH | O_CLOEXEC | O_DIRECTORY;
#elif defined(O_SEARCH)
      return O_SEARCH | O_CLOEXEC | O_DIRECTORY;
#else
      return O_RDONLY | O_CLOEXEC | O_DIRECTORY;
#endif
  }
  return O_RDONLY | O_CLOEXEC | O_DIRECTORY;
}

}  // namespace

std::expected<int, int> PosixKernel::open_directory(int dir_fd, const char* path, OpenAs how) {
  const int fd = ::openat(dir_fd, path, open_flags(how));
  if (fd < 0) return std::unexpected(errno);
  return fd;
}

void PosixKernel::close_descriptor(int fd) { ::close(fd); }

std::expected<std::int64_t, int> PosixKernel::seek(int fd, std::int64_t offset, int whence) {
  const off_t position = ::lseek(fd, static_cast<off_t>(offset), whence);
  if (position < 0) return std::unexpected(errno);
  return static_cast<std::int64_t>(position);
}

std::expected<void, int> PosixKernel::stat_at(int dir_fd, const char* path, struct stat& result,
                                              int flags) {
  if (::fstatat(dir_fd, path, &result, flags) != 0) return std::unexpected(errno);
  return {};
}

std::expected<std::string, int> PosixKernel::read_file(const char* path, std::size_t max_bytes) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::unexpected(errno);
  struct stat st {};
  const int error = ::fstat(fd, &st) != 0 ? errno
                    : S_ISREG(st.st_mode) ? 0
                    : S_ISDIR(st.st_mode) ? EISDIR
                                          : EINVAL;
  if (error != 0) {
    ::close(fd);
    return std::unexpected(error);
  }
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      const int read_error = errno;
      ::close(fd);
      return std::unexpected(read_error);
    }
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > max_bytes) {
      ::close(fd);
      return std::unexpected(EFBIG);
    }
    text.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

}  // namespace tessaly::platform
