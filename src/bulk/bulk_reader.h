// Bulk directory reads and the volume probe of the bulk-attribute engine.
#pragma once

#include <tessaly/benchmark_engines.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>
#include <vector>

#include "bulk/bulk_record.h"
#include "platform/kernel.h"

namespace tessaly {

class JobScope;

// supports_bulk_attrs(root), public (<tessaly/scan.h>), with the kernel
// reached through `os`; memory running out throws std::bad_alloc instead of
// giving false.
bool supports_bulk_attrs(platform::Kernel& os, std::string_view root);

// Every entry of the directory `dir`, in the order the kernel returns them,
// including entries that carry a per-entry error. Fails with the errno of the
// failing call (EINVAL for a path holding a NUL byte) when the open or the
// first batch fails; a batch failing after earlier ones were read ends the
// read with their entries, and the failure is logged once as a warning
// (warn_incomplete_read). Calls interrupted by a signal are repeated. Paths of PATH_MAX bytes or
// more are opened a piece at a time (see open_directory_of_any_length). Uses the calling thread's
// own 256 KiB read buffer.
std::expected<std::vector<BulkEntry>, int> read_dir_bulk(std::string_view dir);
std::expected<std::vector<BulkEntry>, int> read_dir_bulk(platform::Kernel& os,
                                                         std::string_view dir);

// read_dir_bulk into `out`, which is cleared first, keeping the names' raw
// bytes. On failure `out` is left empty. Without `follow_last_link` a `dir`
// whose last component is a symbolic link is refused (ELOOP), as a walk
// refuses a listed subdirectory that was replaced by a link. A read that ended
// early after some entries succeeds with them, and sets `*late_error` (when
// given) to the failure's errno.
std::expected<void, int> read_dir_bulk_into(platform::Kernel& os, std::string_view dir,
                                            BulkListing& out, bool follow_last_link = true,
                                            int* late_error = nullptr);

// The two halves of read_dir_bulk_into, for a walk that keeps a directory open
// while its subdirectories are opened relative to it. Opening retries on
// EINTR and fails with errno (EINVAL for a name or path holding a NUL byte);
// reading fails like read_dir_bulk_into and leaves the descriptor open, for
// the caller to close with Kernel::close_descriptor.
std::expected<int, int> open_bulk_directory(platform::Kernel& os, std::string_view dir);
// As open_bulk_directory, but a last component that is not a directory itself
// (a symbolic link to one included) is refused: for subdirectories a walk
// listed, which may have been replaced since.
std::expected<int, int> open_bulk_subdirectory(platform::Kernel& os, std::string_view dir);
// The entry `name` (one component) of the open directory `parent_fd`, refused
// unless it is a directory itself.
std::expected<int, int> open_bulk_directory_at(platform::Kernel& os, int parent_fd,
                                               std::string_view name);
// `dir` names the directory in the warning of an incomplete read, whose errno
// goes to `*late_error` when given; `expected_device`, the directory's device
// as its parent's listing gave it, may spare a lookup, `helpers`' idle
// workers may look up a large batch's entries, and `one_device`, the device of
// everything below a root with no volume mounted below it, spares the lookups
// of subdirectories (see read_bulk_batch).
std::expected<void, int> read_open_dir_bulk_into(
    platform::Kernel& os, int fd, BulkListing& out, std::string_view dir, int* late_error = nullptr,
    std::optional<std::uint32_t> expected_device = std::nullopt, JobScope* helpers = nullptr,
    std::optional<std::uint32_t> one_device = std::nullopt);

// Logs, under the bulk walker's target, the warning "scan error: {}" for a
// read of `dir` that ended early with `error`.
void warn_incomplete_read(std::string_view dir, int error);

// The device of `path` as stat reports it (symbolic links followed), in the
// 32-bit encoding the bulk records carry, widened to 64 bits. Repeated while a
// signal interrupts it: an interrupted read of a root's device would switch a
// walk's device rule off.
std::expected<std::uint64_t, int> bulk_device_of(platform::Kernel& kernel, const char* path);

}  // namespace tessaly
