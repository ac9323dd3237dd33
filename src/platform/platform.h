// The few kernel operations the bulk-attribute reader and engine need, behind
// one interface so that tests can substitute failures and fake volumes.
//
// Errors are errno values. Every operation is a single attempt: retrying on
// EINTR is the caller's decision (see open_directory). Implementations must be
// safe to call from many threads at once.
#pragma once

#include <fcntl.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "bulk/bulk_record.h"

namespace tessaly::platform {

class Platform {
 public:
  virtual ~Platform() = default;

  // The type name of the volume holding `path` (symbolic links followed), as
  // the bytes of statfs's f_fstypename up to its first NUL (at most 16).
  virtual std::expected<std::string, int> volume_type_name(const char* path) = 0;

  // open(path, O_RDONLY | O_CLOEXEC | O_DIRECTORY): a descriptor, or errno
  // (EINTR included). Something other than a directory fails with ENOTDIR
  // without being opened, so a FIFO or a device never blocks the caller and
  // never sees an open.
  virtual std::expected<int, int> open_read_only(const char* path) = 0;
  virtual void close_descriptor(int fd) = 0;

  // openat(dir_fd, path, O_RDONLY | O_CLOEXEC | O_DIRECTORY): `path`, shorter than PATH_MAX,
  // is taken relative to the open directory `dir_fd` (AT_FDCWD: the working
  // directory) unless it is absolute. With `search_only` the descriptor serves
  // only as the base of further lookups, so, as in a path lookup, searching
  // the directory must be allowed but reading it need not be. This is how
  // directories whose paths reach PATH_MAX are opened, a piece at a time; a
  // platform that leaves it out (the default) cannot open those.
  virtual std::expected<int, int> open_read_only_at(int dir_fd, const char* path,
                                                    bool search_only) {
    (void)dir_fd;
    (void)path;
    (void)search_only;
    return std::unexpected(ENOSYS);
  }

  // openat(dir_fd, path, O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW): as
  // open_read_only_at, but fails (ELOOP or ENOTDIR) unless the last component
  // of `path` is a directory itself, never a symbolic link to one. A walk opens
  // the subdirectories it listed this way, so that a directory replaced by a
  // link after it was listed is not followed out of the tree. A platform that
  // leaves it out opens as open_read_only (for AT_FDCWD) or open_read_only_at
  // does.
  virtual std::expected<int, int> open_directory_no_follow_at(int dir_fd, const char* path) {
    if (dir_fd == AT_FDCWD) return open_read_only(path);
    return open_read_only_at(dir_fd, path, false);
  }

  // One getattrlistbulk call on the directory `fd`: packs the records of the
  // next entries into `buffer` and returns how many it wrote, 0 once the
  // directory is exhausted. Successive calls continue where the previous one
  // stopped and never repeat an entry.
  virtual std::expected<std::size_t, int> read_bulk_batch(int fd, const AttrListRequest& request,
                                                          std::span<std::byte> buffer,
                                                          std::uint64_t options) = 0;

  // The device of `path` as stat reports it (symbolic links followed), in the
  // same 32-bit encoding the bulk records carry, widened to 64 bits.
  virtual std::expected<std::uint64_t, int> device_of(const char* path) = 0;

  // Bytes in use on the volume mounted at `path`.
  virtual std::expected<std::int64_t, int> volume_space_used(const char* path) = 0;
};

// The kernel's own implementation, shared by the whole process.
Platform& system_platform();

// `call()`, an operation of this interface, repeated while a signal
// interrupts it (it fails with EINTR).
template <typename Call>
auto retry_interrupted(Call call) {
  auto outcome = call();
  while (!outcome && outcome.error() == EINTR) outcome = call();
  return outcome;
}

// open_read_only, repeated while a signal interrupts it.
inline std::expected<int, int> open_directory(Platform& os, const char* path) {
  return retry_interrupted([&] { return os.open_read_only(path); });
}

#if defined(__linux__)
// The name a statfs magic number stands for: "hfs" for both HFS and HFS+ (as
// macOS names them), Linux's own names for the rest, and "0x" followed by the
// number in hexadecimal when it is unknown.
std::string linux_fs_type_name(std::uint64_t magic);
#endif

}  // namespace tessaly::platform
