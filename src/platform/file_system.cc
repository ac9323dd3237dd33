#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>

#if defined(__linux__)
#include <sys/statfs.h>
#endif

#include "platform/mount_table.h"

namespace tessaly {
namespace {

#if defined(__linux__)
// File systems on which every directory has the device of the file system
// itself, whatever the directory.
bool one_device_file_system(std::uint64_t magic) {
  constexpr std::uint64_t kExt2To4 = 0xEF53;
  constexpr std::uint64_t kXfs = 0x58465342;
  constexpr std::uint64_t kTmpfs = 0x01021994;
  return magic == kExt2To4 || magic == kXfs || magic == kTmpfs;
}
#endif

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

  VolumeFacts volume_facts(const char* root) override {
    VolumeFacts facts;
#if defined(__linux__)
    struct statfs info {};
    int status = 0;
    while ((status = ::statfs(root, &info)) != 0 && errno == EINTR) {
    }
    if (status != 0) return facts;
    // f_type is a signed word; the magic numbers are 32-bit.
    if (!one_device_file_system(static_cast<std::uint32_t>(info.f_type))) return facts;
    const std::unique_ptr<char, decltype(&std::free)> canonical(::realpath(root, nullptr),
                                                                &std::free);
    if (!canonical) return facts;
    // An empty table proves nothing: /proc may simply not be there.
    const std::vector<MountEntry> mounts = read_proc_mount_table();
    facts.one_device_below = !mounts.empty() && !has_mount_below(canonical.get(), mounts);
#else
    (void)root;
#endif
    return facts;
  }
};

}  // namespace

FileSystem& system_file_system() {
  static KernelFileSystem instance;
  return instance;
}

}  // namespace tessaly
