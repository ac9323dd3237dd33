#include "bulk/bulk_reader.h"

#include <fcntl.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>

#include "base/utf8.h"

namespace tessaly {
namespace {

// Buffer allocations still to let through, then to refuse, before the
// allocator is asked (see fail_read_buffer_allocations).
struct AllocationFaults {
  std::mutex mutex;
  std::size_t pass = 0;
  std::size_t refuse = 0;
  std::size_t attempts = 0;
};

AllocationFaults& allocation_faults() {
  static AllocationFaults faults;
  return faults;
}

std::unique_ptr<std::byte[]> allocate_read_buffer() {
  AllocationFaults& faults = allocation_faults();
  {
    const std::lock_guard lock(faults.mutex);
    ++faults.attempts;
    if (faults.pass > 0) {
      --faults.pass;
    } else if (faults.refuse > 0) {
      --faults.refuse;
      throw std::bad_alloc();
    }
  }
  return std::unique_ptr<std::byte[]>(new std::byte[bulk_buffer_size]());
}

// The buffer is created zero-filled on a thread's first read and kept, at the
// same size, until the thread ends; a read owns it from its first batch to the
// end of parsing, so nothing else may read on this thread meanwhile. When it
// cannot be created the read throws std::bad_alloc, and the thread's next read
// tries again.
std::span<std::byte> thread_read_buffer() {
  thread_local std::unique_ptr<std::byte[]> buffer;
  if (!buffer) buffer = allocate_read_buffer();
  return {buffer.get(), bulk_buffer_size};
}

class DescriptorGuard {
 public:
  DescriptorGuard(platform::Platform& os, int fd) : os_(os), fd_(fd) {}
  ~DescriptorGuard() { os_.close_descriptor(fd_); }
  DescriptorGuard(const DescriptorGuard&) = delete;
  DescriptorGuard& operator=(const DescriptorGuard&) = delete;

 private:
  platform::Platform& os_;
  int fd_;
};

}  // namespace

bool supports_bulk_attrs(std::string_view root) {
  return supports_bulk_attrs(platform::system_platform(), root);
}

bool supports_bulk_attrs(platform::Platform& os, std::string_view root) {
  if (root.find('\0') != std::string_view::npos) return false;
  const std::string path(root);
  const auto type_name =
      platform::retry_interrupted([&] { return os.volume_type_name(path.c_str()); });
  if (!type_name) return false;
  const std::string text = utf8_lossy(*type_name);
  return text == "apfs" || text == "hfs";
}

std::expected<std::vector<BulkEntry>, int> read_dir_bulk(std::string_view dir) {
  return read_dir_bulk(platform::system_platform(), dir);
}

namespace {

// How the last component of a path is opened.
enum class OpenAs {
  kSearch,          // only as the base of further lookups
  kFollowing,       // for reading, through a symbolic link too
  kDirectoryItself  // for reading, refusing a symbolic link
};

std::expected<int, int> open_at_retrying(platform::Platform& os, int dir_fd, const char* path,
                                         OpenAs mode) {
  return platform::retry_interrupted([&] {
    return mode == OpenAs::kDirectoryItself
               ? os.open_directory_no_follow_at(dir_fd, path)
               : os.open_read_only_at(dir_fd, path, mode == OpenAs::kSearch);
  });
}

// A path of PATH_MAX bytes or more cannot be handed to the kernel whole, so
// it is opened in pieces shorter than that, each relative to the directory
// the one before reached; a leading "/" stays with the first piece. The
// pieces on the way need only search permission, as in a path lookup. At most
// two descriptors are open at any moment. `last` says how the final piece is
// opened.
std::expected<int, int> open_directory_of_any_length(platform::Platform& os, std::string_view dir,
                                                     OpenAs last) {
  if (dir.size() < PATH_MAX) {
    const std::string path(dir);
    if (last == OpenAs::kFollowing) return platform::open_directory(os, path.c_str());
    return open_at_retrying(os, AT_FDCWD, path.c_str(), last);
  }
  int base = AT_FDCWD;
  std::string_view rest = dir;
  std::string piece;
  while (rest.size() >= PATH_MAX) {
    const std::size_t cut = rest.rfind('/', PATH_MAX - 2);
    if (cut == std::string_view::npos || cut == 0) {
      if (base != AT_FDCWD) os.close_descriptor(base);
      return std::unexpected(ENAMETOOLONG);
    }
    piece.assign(rest.substr(0, cut));
    const auto next = open_at_retrying(os, base, piece.c_str(), OpenAs::kSearch);
    if (base != AT_FDCWD) os.close_descriptor(base);
    if (!next) return std::unexpected(next.error());
    base = *next;
    rest.remove_prefix(cut);
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  }
  piece.assign(rest.empty() ? std::string_view(".") : rest);
  const auto fd = open_at_retrying(os, base, piece.c_str(), last);
  if (base != AT_FDCWD) os.close_descriptor(base);
  return fd;
}

// Reads the open directory `fd` batch by batch into `out`; `fd` stays open.
template <typename Out>
std::expected<void, int> read_batches(platform::Platform& os, int fd, Out& out) {
  const std::span<std::byte> buffer = thread_read_buffer();
  while (true) {
    const auto count = os.read_bulk_batch(fd, bulk_dir_request, buffer, fsopt_noinmemupdate);
    if (!count) {
      // An interrupted call has consumed no entry, so it is simply repeated.
      if (count.error() == EINTR) continue;
      return std::unexpected(count.error());
    }
    if (*count == 0) return {};
    parse_bulk_batch(buffer, *count, out);
  }
}

// Opens `dir`, reads it into `out` and closes it on every way out.
template <typename Out>
std::expected<void, int> read_dir(platform::Platform& os, std::string_view dir, Out& out,
                                  OpenAs last = OpenAs::kFollowing) {
  if (dir.find('\0') != std::string_view::npos) return std::unexpected(EINVAL);
  const auto fd = open_directory_of_any_length(os, dir, last);
  if (!fd) return std::unexpected(fd.error());
  const DescriptorGuard guard(os, *fd);
  return read_batches(os, *fd, out);
}

}  // namespace

std::expected<std::vector<BulkEntry>, int> read_dir_bulk(platform::Platform& os,
                                                         std::string_view dir) {
  std::vector<BulkEntry> entries;
  const auto done = read_dir(os, dir, entries);
  if (!done) return std::unexpected(done.error());
  return entries;
}

std::expected<void, int> read_dir_bulk_into(platform::Platform& os, std::string_view dir,
                                            BulkListing& out, bool follow_last_link) {
  out.clear();
  const auto done =
      read_dir(os, dir, out, follow_last_link ? OpenAs::kFollowing : OpenAs::kDirectoryItself);
  if (!done) out.clear();
  return done;
}

}  // namespace tessaly

namespace tessaly {

void fail_read_buffer_allocations(std::size_t pass, std::size_t refuse) {
  AllocationFaults& faults = allocation_faults();
  const std::lock_guard lock(faults.mutex);
  faults.pass = pass;
  faults.refuse = refuse;
  faults.attempts = 0;
}

std::size_t read_buffer_allocation_attempts() {
  AllocationFaults& faults = allocation_faults();
  const std::lock_guard lock(faults.mutex);
  return faults.attempts;
}

std::expected<int, int> open_bulk_directory(platform::Platform& os, std::string_view dir) {
  if (dir.find('\0') != std::string_view::npos) return std::unexpected(EINVAL);
  return open_directory_of_any_length(os, dir, OpenAs::kFollowing);
}

std::expected<int, int> open_bulk_subdirectory(platform::Platform& os, std::string_view dir) {
  if (dir.find('\0') != std::string_view::npos) return std::unexpected(EINVAL);
  return open_directory_of_any_length(os, dir, OpenAs::kDirectoryItself);
}

std::expected<int, int> open_bulk_directory_at(platform::Platform& os, int parent_fd,
                                               std::string_view name) {
  if (name.empty() || name.size() >= PATH_MAX || name.find('\0') != std::string_view::npos)
    return std::unexpected(EINVAL);
  return open_at_retrying(os, parent_fd, std::string(name).c_str(), OpenAs::kDirectoryItself);
}

std::expected<void, int> read_open_dir_bulk_into(platform::Platform& os, int fd, BulkListing& out) {
  out.clear();
  const auto done = read_batches(os, fd, out);
  if (!done) out.clear();
  return done;
}

}  // namespace tessaly
