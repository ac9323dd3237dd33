// The getattrlistbulk wire format: the request every directory read sends and
// the packed records the kernel answers with, plus a parser and an encoder for
// those records.
//
// This header is free of <expected> and of any system header so that the
// record parser can be built alone, e.g. into a fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/attr_list.h"

namespace tessaly {

// Attribute group bits (Apple's <sys/attr.h> values).
inline constexpr std::uint32_t attr_cmn_name = 0x00000001;
inline constexpr std::uint32_t attr_cmn_devid = 0x00000002;
inline constexpr std::uint32_t attr_cmn_objtype = 0x00000008;
inline constexpr std::uint32_t attr_cmn_fileid = 0x02000000;
inline constexpr std::uint32_t attr_cmn_error = 0x20000000;
inline constexpr std::uint32_t attr_cmn_returned_attrs = 0x80000000;
inline constexpr std::uint32_t attr_file_linkcount = 0x00000001;
inline constexpr std::uint32_t attr_file_allocsize = 0x00000004;
inline constexpr std::uint64_t fsopt_noinmemupdate = 0x00000002;

// Object types (the kernel's fsobj_type_t, enum vtype).
inline constexpr std::uint32_t obj_type_none = 0;
inline constexpr std::uint32_t obj_type_regular = 1;
inline constexpr std::uint32_t obj_type_directory = 2;
inline constexpr std::uint32_t obj_type_block_device = 3;
inline constexpr std::uint32_t obj_type_char_device = 4;
inline constexpr std::uint32_t obj_type_symlink = 5;
inline constexpr std::uint32_t obj_type_socket = 6;
inline constexpr std::uint32_t obj_type_fifo = 7;

// The request of every directory read: the returned-attribute words, the
// per-entry error, name, device, type and file id, and for files the link
// count and allocated size.
inline constexpr AttrListRequest bulk_dir_request{
    .commonattr = attr_cmn_returned_attrs | attr_cmn_error | attr_cmn_fileid | attr_cmn_objtype |
                  attr_cmn_devid | attr_cmn_name,
    .fileattr = attr_file_linkcount | attr_file_allocsize,
};
static_assert(bulk_dir_request.commonattr == 0xA200000B);

// Bytes of the returned-attribute words (the kernel's attribute_set_t).
inline constexpr std::size_t returned_attrs_size = 20;
// Bytes of a reference to variable-length data: a signed offset, a length.
inline constexpr std::size_t attr_reference_size = 8;
// Bytes of statfs's f_fstypename, the terminating NUL included.
inline constexpr std::size_t fs_type_name_size = 16;

// Size of the buffer each reading thread hands to the kernel.
inline constexpr std::size_t bulk_buffer_size = 262'144;

// The fields of one entry other than its name.
struct BulkFields {
  std::uint64_t file_id = 0;
  std::int64_t alloc_size = 0;  // 0 when the record carries no file attributes
  std::uint32_t obj_type = obj_type_none;
  std::uint32_t dev_id = 0;
  std::uint32_t link_count = 1;  // 1 when the record carries no file attributes
  std::uint32_t error = 0;       // errno reported for this entry, 0 when none

  friend bool operator==(const BulkFields&, const BulkFields&) = default;
};

// One directory entry as read in bulk.
struct BulkEntry : BulkFields {
  std::string name;      // UTF-8, invalid sequences replaced by U+FFFD
  std::string raw_name;  // the name's bytes when they differ from `name`, else empty

  // The name's bytes as the file system holds them.
  std::string_view raw() const { return raw_name.empty() ? std::string_view(name) : raw_name; }

  friend bool operator==(const BulkEntry&, const BulkEntry&) = default;
};

// The entries of one directory with their raw names packed into one buffer,
// so that reading a directory costs no allocation per entry once the listing
// has grown to the directory's size.
class BulkListing {
 public:
  struct Item {
    std::string_view raw_name;  // valid until the listing is next changed
    const BulkFields& fields;
  };

  void clear() {
    names_.clear();
    slots_.clear();
  }
  // Gives memory back when the listing holds more than a large directory's worth.
  void trim(std::size_t max_entries);
  void add(std::string_view raw_name, const BulkFields& fields) {
    slots_.push_back(Slot{fields, names_.size(), raw_name.size()});
    names_.append(raw_name);
  }

  std::size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }
  // Bytes of all names together.
  std::size_t name_bytes() const { return names_.size(); }
  Item operator[](std::size_t i) const {
    const Slot& slot = slots_[i];
    return Item{std::string_view(names_).substr(slot.name_offset, slot.name_size), slot.fields};
  }

 private:
  struct Slot {
    BulkFields fields;
    std::size_t name_offset;
    std::size_t name_size;
  };
  std::string names_;
  std::vector<Slot> slots_;
};

// Parses up to `count` records from the start of `batch` and appends one entry
// per well-formed record to `out`. A record too short for its fields or with
// an empty or out-of-range name is skipped; a zero length or a record running
// past the end of `batch` ends the batch. Never reads outside `batch`, nor
// outside the record being parsed, whatever the bytes.
void parse_bulk_batch(std::span<const std::byte> batch, std::size_t count,
                      std::vector<BulkEntry>& out);
// The same, keeping the names' raw bytes.
void parse_bulk_batch(std::span<const std::byte> batch, std::size_t count, BulkListing& out);

// What one record carries, for producing records the way the kernel does.
struct BulkRecordFields {
  std::string_view name;  // raw bytes, without the terminating NUL
  std::uint32_t error = 0;
  std::uint32_t dev_id = 0;
  std::uint32_t obj_type = obj_type_none;
  std::uint64_t file_id = 0;
  bool has_file_attrs = false;  // false for directories
  std::uint32_t link_count = 0;
  std::int64_t alloc_size = 0;
};

// Bytes the record for `fields` occupies, padded to a multiple of 4.
std::size_t bulk_record_size(const BulkRecordFields& fields);

// Writes the record for `fields` at the start of `out` and returns its length,
// or returns 0 and writes nothing when `out` is too small for it.
std::size_t pack_bulk_record(std::span<std::byte> out, const BulkRecordFields& fields);

}  // namespace tessaly
