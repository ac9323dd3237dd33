#include "scanner/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tessaly {
namespace {

class KernelFileSystem final : public FileSystem {
 public:
  int open_at(int dir_fd, const char* path, int flags) override {
    const int fd = ::openat(dir_fd, path, flags);
    return fd >= 0 ? fd : -errno;
  }

  long read_entries(int fd, std::span<std::byte> buffer) override {
#if defined(__linux__)
    const ssize_t n = ::getdents64(fd, buffer.data(), buffer.size());
    return n >= 0 ? static_cast<long>(n) : -errno;
#else
    (void)fd;
    (void)buffer;
    return -ENOSYS;
#endif
  }

  int stat_at(int dir_fd, const char* path, struct stat& result, int flags) override {
    return ::fstatat(dir_fd, path, &result, flags) == 0 ? 0 : errno;
  }

  void close_descriptor(int fd) override { ::close(fd); }
};

}  // namespace

FileSystem& system_file_system() {
  static KernelFileSystem instance;
  return instance;
}

}  // namespace tessaly
