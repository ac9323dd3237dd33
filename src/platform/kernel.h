// The kernel calls of both scan engines and of the tools, behind one
// interface so that tests can make them fail in the ways a real file system
// rarely does, or present volumes this machine does not have.
//
// Every operation is a single attempt and fails with a positive errno value;
// an interrupted call (EINTR) reports that like any other failure, and
// repeating it is the caller's decision (see retry_interrupted).
// Implementations must be safe to call from many threads at once.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "base/blocking_call.h"
#include "platform/attr_list.h"
#include "platform/mount_table.h"

namespace tessaly::platform {

// What a walk below one root may take for granted about the file systems it
// meets, so that it can leave kernel calls out. Each fact is false unless it
// has been established.
struct VolumeFacts {
  // Every directory below the root lies on the root's own device: no mount
  // point lies below the root, and its file system never gives a directory a
  // device of its own (as btrfs does each subvolume). A mount made below the
  // root while the walk runs is not noticed.
  bool one_device_below = false;
};

// How the last component of a path is opened. Every way opens a directory
// only: anything else fails with ENOTDIR without being opened, so a FIFO or a
// device never blocks the caller.
enum class OpenAs : std::uint8_t {
  kListing,        // for reading its entries, through a symbolic link too
  kListingItself,  // for reading, refused (ELOOP or ENOTDIR) when it is a link
  kSearch,         // only as the base of further lookups: needs search permission alone
};

class Kernel {
 public:
  virtual ~Kernel() = default;

  // openat(dir_fd, path, O_RDONLY | O_CLOEXEC | O_DIRECTORY, and O_NOFOLLOW
  // for kListingItself, or the system's search-only open for kSearch). `path`
  // is shorter than PATH_MAX, and relative to the open directory `dir_fd`
  // (AT_FDCWD: the working directory) unless it is absolute.
  virtual std::expected<int, int> open_directory(int dir_fd, const char* path, OpenAs how) = 0;

  // close(fd). Never repeated: the descriptor is gone either way.
  virtual void close_descriptor(int fd) = 0;

  // The next entries of the open directory `fd` as the kernel's directory
  // records (struct dirent64, as getdents64 writes them) packed into
  // `buffer`: the bytes written, 0 once the directory is exhausted.
  // Successive calls continue where the previous one stopped. Linux only;
  // elsewhere it fails with ENOSYS.
  virtual std::expected<std::size_t, int> read_entries(int fd, std::span<std::byte> buffer) = 0;

  // lseek(fd, offset, whence): the resulting position.
  virtual std::expected<std::int64_t, int> seek(int fd, std::int64_t offset, int whence) = 0;

  // fstatat(dir_fd, path, &result, flags).
  virtual std::expected<void, int> stat_at(int dir_fd, const char* path, struct stat& result,
                                           int flags) = 0;

  // One getattrlistbulk call on the directory `fd`: packs the records of the
  // next entries into `buffer` and returns how many it wrote, 0 once the
  // directory is exhausted. Successive calls continue where the previous one
  // stopped and never repeat an entry. macOS only; elsewhere it fails with
  // ENOSYS.
  virtual std::expected<std::size_t, int> read_attributes_bulk(int fd,
                                                               const AttrListRequest& request,
                                                               std::span<std::byte> buffer,
                                                               std::uint64_t options) = 0;

  // The type name of the volume holding `path` (symbolic links followed), as
  // the bytes of statfs's f_fstypename up to its first NUL (at most 16).
  virtual std::expected<std::string, int> volume_type_name(const char* path) = 0;

  // Bytes in use on the volume mounted at `path`.
  virtual std::expected<std::int64_t, int> volume_space_used(const char* path) = 0;

  // This process's table of mounted file systems, as the system lists it
  // (Linux's /proc, macOS's getmntinfo); empty when it cannot be read.
  virtual std::vector<MountEntry> mount_table() = 0;

  // Up to `max_bytes` bytes of the regular file at `path` (links followed),
  // from its start; EFBIG when it holds more.
  virtual std::expected<std::string, int> read_file(const char* path, std::size_t max_bytes) = 0;

  // Makes the calling thread's file system calls leave dataless files and
  // folders (iCloud Drive and File Provider placeholders, whose contents live
  // elsewhere) as they are rather than download them: a listing or read that
  // would need the contents fails instead. macOS: setiopolicy_np with
  // IOPOL_TYPE_VFS_MATERIALIZE_DATALESS_FILES for the thread, made once per
  // thread however often this is called. Elsewhere there are no dataless
  // files, and it does nothing.
  virtual std::expected<void, int> leave_dataless_files() = 0;

  // The facts about the tree below `root` (links followed) that can be
  // established. The default establishes none, which is always safe.
  virtual VolumeFacts volume_facts(const char* root) {
    (void)root;
    return {};
  }
};

// The kernel's own calls, shared by the whole process.
Kernel& system_kernel();

// `call()`, an operation of this interface, repeated while a signal
// interrupts it (it fails with EINTR). On a pool thread the call is marked as
// one that may block (BlockingCallScope), so that queued work goes to a spare
// thread while it waits for the device.
// The call is taken by reference: copying it into the callee, a few words
// just stored, stalls each of a walk's per-entry calls.
template <typename Call>
auto retry_interrupted(Call&& call) {
  const BlockingCallScope blocking;
  auto outcome = call();
  while (!outcome && outcome.error() == EINTR) outcome = call();
  return outcome;
}

#if defined(__linux__)
// The name a statfs magic number stands for: "hfs" for both HFS and HFS+ (as
// macOS names them), Linux's own names for the rest, and "0x" followed by the
// number in hexadecimal when it is unknown.
std::string linux_fs_type_name(std::uint64_t magic);
#endif

}  // namespace tessaly::platform
