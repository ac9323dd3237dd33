#include "bulk/bulk_reader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>

#include "base/logging.h"
#include "base/utf8.h"
#include "bulk/bulk_source.h"
#include "bulk/testing.h"
#include "platform/c_path.h"
#include "platform/descriptors.h"

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
  // Left unfilled: a batch is read only as far as its call wrote it, so a
  // thread touches only the pages its largest batch needs (most directories
  // need one), not the whole buffer.
  return std::unique_ptr<std::byte[]>(new std::byte[bulk_buffer_size]);
}

// The buffer is created on a thread's first read and kept, at the
// same size, until the thread ends; a read owns it from its first batch to the
// end of parsing, so nothing else may read on this thread meanwhile. When it
// cannot be created the read throws std::bad_alloc, and the thread's next read
// tries again.
std::span<std::byte> thread_read_buffer() {
  thread_local std::unique_ptr<std::byte[]> buffer;
  if (!buffer) buffer = allocate_read_buffer();
  return {buffer.get(), bulk_buffer_size};
}

}  // namespace

void warn_incomplete_read(std::string_view dir, int error) {
  spdlog::logger& log = macos_walker_logger();
  if (!log.should_log(spdlog::level::warn)) return;
  log.warn("scan error: {}", platform::describe_io_error(dir, error));
}

// Memory running out is one more way a path cannot be examined.
bool supports_bulk_attrs(std::string_view root) {
  try {
    return supports_bulk_attrs(platform::system_kernel(), root);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool supports_bulk_attrs(platform::Kernel& os, std::string_view root) {
  if (root.find('\0') != std::string_view::npos) return false;
  const std::string path(root);
  const auto type_name =
      platform::retry_interrupted([&] { return os.volume_type_name(path.c_str()); });
  if (!type_name) return false;
  const std::string text = utf8_lossy(*type_name);
  return text == "apfs" || text == "hfs";
}

std::expected<std::vector<BulkEntry>, int> read_dir_bulk(std::string_view dir) {
  return read_dir_bulk(platform::system_kernel(), dir);
}

namespace {

using platform::OpenAs;

// Reads the open directory `fd` batch by batch into `out`; `fd` stays open.
// A call that fails after earlier ones answered ends the read with what they
// gave, and the failure is logged as a warning naming `dir` and given in
// `*late_error` when that is not null.
template <typename Out>
std::expected<void, int> read_batches(platform::Kernel& os, int fd, Out& out, std::string_view dir,
                                      int* late_error = nullptr,
                                      std::optional<std::uint32_t> expected_device = std::nullopt,
                                      JobScope* helpers = nullptr,
                                      std::optional<std::uint32_t> one_device = std::nullopt) {
  const std::span<std::byte> buffer = thread_read_buffer();
  bool answered = false;
  while (true) {
    // An interrupted call has consumed no entry, so it is simply repeated.
    const auto count = platform::retry_interrupted([&] {
      return read_bulk_batch(os, fd, bulk_dir_request, buffer, bulk_dir_options, expected_device,
                             helpers, one_device);
    });
    if (!count) {
      if (!answered) return std::unexpected(count.error());
      warn_incomplete_read(dir, count.error());
      if (late_error != nullptr) *late_error = count.error();
      return {};
    }
    if (*count == 0) return {};
    answered = true;
    parse_bulk_batch(buffer, *count, out);
  }
}

// Opens `dir`, reads it into `out` and closes it on every way out.
template <typename Out>
std::expected<void, int> read_dir(platform::Kernel& os, std::string_view dir, Out& out,
                                  OpenAs last = OpenAs::kListing, int* late_error = nullptr) {
  const auto fd = platform::open_directory_of_any_length(os, AT_FDCWD, dir, last);
  if (!fd) return std::unexpected(fd.error());
  const platform::Descriptor open(os, *fd);
  return read_batches(os, *fd, out, dir, late_error);
}

}  // namespace

std::expected<std::vector<BulkEntry>, int> read_dir_bulk(platform::Kernel& os,
                                                         std::string_view dir) {
  std::vector<BulkEntry> entries;
  const auto done = read_dir(os, dir, entries);
  if (!done) return std::unexpected(done.error());
  return entries;
}

std::expected<void, int> read_dir_bulk_into(platform::Kernel& os, std::string_view dir,
                                            BulkListing& out, bool follow_last_link,
                                            int* late_error) {
  out.clear();
  const auto done = read_dir(
      os, dir, out, follow_last_link ? OpenAs::kListing : OpenAs::kListingItself, late_error);
  if (!done) out.clear();
  return done;
}

namespace bulk_testing {

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

}  // namespace bulk_testing

std::expected<int, int> open_bulk_directory(platform::Kernel& os, std::string_view dir) {
  return platform::open_directory_of_any_length(os, AT_FDCWD, dir, OpenAs::kListing);
}

std::expected<int, int> open_bulk_subdirectory(platform::Kernel& os, std::string_view dir) {
  return platform::open_directory_of_any_length(os, AT_FDCWD, dir, OpenAs::kListingItself);
}

std::expected<int, int> open_bulk_directory_at(platform::Kernel& os, int parent_fd,
                                               std::string_view name) {
  if (name.empty() || name.size() >= PATH_MAX || name.find('\0') != std::string_view::npos)
    return std::unexpected(EINVAL);
  const platform::CPath path(name);
  return platform::retry_interrupted(
      [&] { return os.open_directory(parent_fd, path.get(), OpenAs::kListingItself); });
}

std::expected<void, int> read_open_dir_bulk_into(platform::Kernel& os, int fd, BulkListing& out,
                                                 std::string_view dir, int* late_error,
                                                 std::optional<std::uint32_t> expected_device,
                                                 JobScope* helpers,
                                                 std::optional<std::uint32_t> one_device) {
  out.clear();
  const auto done =
      read_batches(os, fd, out, dir, late_error, expected_device, helpers, one_device);
  if (!done) out.clear();
  return done;
}

std::expected<std::uint64_t, int> bulk_device_of(platform::Kernel& kernel, const char* path) {
  struct stat st {};
  const auto stated =
      platform::retry_interrupted([&] { return kernel.stat_at(AT_FDCWD, path, st, 0); });
  if (!stated) return std::unexpected(stated.error());
  return bulk_device_id(st.st_dev);
}

}  // namespace tessaly
