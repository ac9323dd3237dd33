// The kernel calls of the parallel walker, behind one small interface so that
// tests can make them fail in the ways a real file system rarely does.
//
// Every operation is a single attempt: an interrupted call (EINTR) reports
// that like any other failure, and repeating it is the walker's business.
// Implementations must be safe to call from many threads at once.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <span>

namespace tessaly {

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

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // openat(dir_fd, path, flags): a descriptor, or -errno.
  virtual int open_at(int dir_fd, const char* path, int flags) = 0;

  // The next entries of the open directory `fd` as the kernel's directory
  // records (struct dirent64, as getdents64 writes them) packed into
  // `buffer`: the bytes written, 0 once the directory is exhausted, or
  // -errno. Successive calls continue where the previous one stopped. Linux
  // only; elsewhere the walker lists with readdir and this answers -ENOSYS.
  virtual long read_entries(int fd, std::span<std::byte> buffer) = 0;

  // fstatat(dir_fd, path, &result, flags): 0, or errno.
  virtual int stat_at(int dir_fd, const char* path, struct stat& result, int flags) = 0;

  // close(fd). Not repeated on EINTR: the descriptor is gone either way.
  virtual void close_descriptor(int fd) = 0;

  // The facts about the tree below `root` (links followed) that can be
  // established. The default establishes none, which is always safe.
  virtual VolumeFacts volume_facts(const char* root) {
    (void)root;
    return {};
  }
};

// The kernel's own calls, shared by the whole process.
FileSystem& system_file_system();

// A descriptor that is closed through `fs` on every way out of its scope,
// one left by an exception included, unless it was released.
class ScopedDescriptor {
 public:
  ScopedDescriptor(FileSystem& fs, int fd) : fs_(fs), fd_(fd) {}
  ~ScopedDescriptor() { reset(); }
  ScopedDescriptor(const ScopedDescriptor&) = delete;
  ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;

  int get() const { return fd_; }
  // Hands the descriptor over to the caller.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes it now.
  void reset() {
    if (fd_ >= 0) fs_.close_descriptor(release());
  }

 private:
  FileSystem& fs_;
  int fd_;
};

// fstatat through `fs`, repeated while a signal interrupts it: 0, or errno.
inline int stat_retrying(FileSystem& fs, int dir_fd, const char* path, struct stat& result,
                         int flags) {
  while (true) {
    const int error = fs.stat_at(dir_fd, path, result, flags);
    if (error != EINTR) return error;
  }
}

}  // namespace tessaly
