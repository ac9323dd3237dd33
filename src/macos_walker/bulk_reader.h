// Bulk directory reads and the volume probe of the bulk-attribute engine.
#pragma once

#include <expected>
#include <string_view>
#include <vector>

#include "macos_walker/bulk_record.h"
#include "platform/platform.h"

namespace tessaly {

// True exactly when the volume holding `root` is of type "apfs" or "hfs"
// (byte for byte, case-sensitive). A path that cannot be examined, or that
// holds a NUL byte, gives false.
bool supports_bulk_attrs(std::string_view root);
bool supports_bulk_attrs(platform::Platform& os, std::string_view root);

// Every entry of the directory `dir`, in the order the kernel returns them,
// including entries that carry a per-entry error. Fails with the errno of the
// failing call (EINVAL for a path holding a NUL byte); a failure on any batch
// discards the entries of the earlier ones. Calls interrupted by a signal are
// repeated. Uses the calling thread's own 256 KiB read buffer.
std::expected<std::vector<BulkEntry>, int> read_dir_bulk(std::string_view dir);
std::expected<std::vector<BulkEntry>, int> read_dir_bulk(platform::Platform& os,
                                                         std::string_view dir);

// read_dir_bulk into `out`, which is cleared first, keeping the names' raw
// bytes. On failure `out` is left empty.
std::expected<void, int> read_dir_bulk_into(platform::Platform& os, std::string_view dir,
                                            BulkListing& out);

}  // namespace tessaly
