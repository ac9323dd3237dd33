// A second, independent model of the records getattrlistbulk writes, for
// tests only: it follows the macOS kernel's own packing code step by step
// (bsd/vfs/vfs_attrlist.c of xnu-11417.101.15), so that the library's parser
// and its Linux packer are checked against the kernel's layout rather than
// against each other. Free of system headers and of gtest, so that a fuzz
// target can use it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bulk/bulk_record.h"

namespace tessaly::testing {

// One directory entry as the file system holds it.
struct ReferenceEntry {
  std::string name;  // raw bytes, no NUL
  // Non-zero: the entry was found but its attributes could not be read.
  std::uint32_t error = 0;
  std::uint32_t obj_type = obj_type_regular;
  std::uint32_t dev_id = 0;
  std::uint64_t file_id = 0;
  std::uint32_t mount_status = 0;  // directories
  std::uint32_t link_count = 1;    // anything but directories
  std::int64_t alloc_size = 0;     // anything but directories
  // Which attributes the file system supplies; the kernel leaves the others
  // out of the record.
  bool has_dev_id = true;
  bool has_obj_type = true;
  bool has_file_id = true;
  bool has_link_count = true;
  bool has_alloc_size = true;
};

// Packs `entries` for `request` into a buffer of `buffer_size` bytes as one
// getattrlistbulk call does; returns the bytes written (the buffer's used
// part) and sets `count` to the records in it.
std::vector<std::byte> reference_pack_batch(const AttrListRequest& request,
                                            std::span<const ReferenceEntry> entries,
                                            std::size_t buffer_size, std::size_t& count);

// What parse_bulk_batch must make of the record for `entry`.
BulkEntry reference_parsed(const ReferenceEntry& entry);

// Draws values from a byte string: zeros once it is used up.
class ByteSource {
 public:
  explicit ByteSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t next(int bytes);
  bool empty() const { return pos_ >= bytes_.size(); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

// An entry with random fields drawn from `source`: any object type, an error,
// attributes missing, names of 1 to 765 bytes (no NUL or '/').
ReferenceEntry random_reference_entry(ByteSource& source);

}  // namespace tessaly::testing
