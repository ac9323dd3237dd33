#include "macos_walker/bulk_reader.h"

#include <cerrno>
#include <memory>
#include <span>
#include <string>

#include "scanner/utf8.h"

namespace tessaly {
namespace {

// The buffer is created zero-filled on a thread's first read and kept, at the
// same size, until the thread ends; a read owns it from its first batch to the
// end of parsing, so nothing else may read on this thread meanwhile.
std::span<std::byte> thread_read_buffer() {
  thread_local const std::unique_ptr<std::byte[]> buffer(new std::byte[bulk_buffer_size]());
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
  const auto type_name = os.volume_type_name(path.c_str());
  if (!type_name) return false;
  const std::string text = utf8_lossy(*type_name);
  return text == "apfs" || text == "hfs";
}

std::expected<std::vector<BulkEntry>, int> read_dir_bulk(std::string_view dir) {
  return read_dir_bulk(platform::system_platform(), dir);
}

namespace {

// Opens `dir`, reads it batch by batch into `out` through `parse`, and closes
// it on every way out.
template <typename Out>
std::expected<void, int> read_dir(platform::Platform& os, std::string_view dir, Out& out) {
  if (dir.find('\0') != std::string_view::npos) return std::unexpected(EINVAL);
  const std::string path(dir);
  const auto fd = platform::open_directory(os, path.c_str());
  if (!fd) return std::unexpected(fd.error());
  const DescriptorGuard guard(os, *fd);

  const std::span<std::byte> buffer = thread_read_buffer();
  while (true) {
    const auto count = os.read_bulk_batch(*fd, bulk_dir_request, buffer, fsopt_noinmemupdate);
    if (!count) {
      // An interrupted call has consumed no entry, so it is simply repeated.
      if (count.error() == EINTR) continue;
      return std::unexpected(count.error());
    }
    if (*count == 0) return {};
    parse_bulk_batch(buffer, *count, out);
  }
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
                                            BulkListing& out) {
  out.clear();
  const auto done = read_dir(os, dir, out);
  if (!done) out.clear();
  return done;
}

}  // namespace tessaly
