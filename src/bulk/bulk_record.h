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

#include "base/packed_listing.h"
#include "platform/attr_list.h"

namespace tessaly {

// Attribute group bits (Apple's <sys/attr.h> values).
inline constexpr std::uint32_t attr_cmn_name = 0x00000001;
inline constexpr std::uint32_t attr_cmn_devid = 0x00000002;
inline constexpr std::uint32_t attr_cmn_objtype = 0x00000008;
inline constexpr std::uint32_t attr_cmn_fileid = 0x02000000;
inline constexpr std::uint32_t attr_cmn_error = 0x20000000;
inline constexpr std::uint32_t attr_cmn_returned_attrs = 0x80000000;
inline constexpr std::uint32_t attr_dir_mountstatus = 0x00000004;
inline constexpr std::uint32_t attr_file_linkcount = 0x00000001;
inline constexpr std::uint32_t attr_file_allocsize = 0x00000004;

// The options word of every directory read: none. getattrlistbulk reads no
// option that would change these records (bsd/vfs/vfs_attrlist.c); the
// FSOPT_NOINMEMUPDATE once passed is documented for getdirentriesattr alone,
// where Apple advises against it. FSOPT_PACK_INVAL_ATTRS stays unset so that
// a record leaves out what does not apply to its entry.
inline constexpr std::uint64_t bulk_dir_options = 0;

// Bits of a directory's mount status (ATTR_DIR_MOUNTSTATUS).
inline constexpr std::uint32_t dir_mntstatus_mntpoint = 0x00000001;  // a volume is mounted here
inline constexpr std::uint32_t dir_mntstatus_trigger = 0x00000002;   // looking inside mounts one

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
// per-entry error, name, device, type and file id, for directories the mount
// status, and for everything else the link count and allocated size.
inline constexpr AttrListRequest bulk_dir_request{
    .commonattr = attr_cmn_returned_attrs | attr_cmn_error | attr_cmn_fileid | attr_cmn_objtype |
                  attr_cmn_devid | attr_cmn_name,
    .dirattr = attr_dir_mountstatus,
    .fileattr = attr_file_linkcount | attr_file_allocsize,
};
static_assert(bulk_dir_request.commonattr == 0xA200000B);
static_assert(bulk_dir_request.dirattr == 0x4 && bulk_dir_request.fileattr == 0x5);

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
  // dir_mntstatus_* bits; 0 for anything but a directory. A directory with a
  // volume mounted on it is listed with the attributes of the directory
  // underneath (its device is its parent's), not of the mounted volume.
  std::uint32_t mount_status = 0;

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

// The entries of one directory as read in bulk, with their raw names packed
// into one buffer.
using BulkListing = PackedListing<BulkFields>;

// Parses up to `count` records from the start of `batch` and appends one entry
// per well-formed record to `out`. Each record is read by its returned
// attribute words: the fields the kernel packed follow one another from
// offset 24 in the kernel's order (error, name reference, device, type, file
// id; then the directory's mount status or the file's link count and
// allocated size), and a field whose bit is clear is absent and takes its
// default (see BulkFields). A record without a name, with a returned bit
// outside bulk_dir_request, too short for its returned fields or with an
// empty or out-of-range name is skipped; a zero length or a record running
// past the end of `batch` ends the batch. Never reads outside `batch`, nor
// outside the record being parsed, whatever the bytes.
void parse_bulk_batch(std::span<const std::byte> batch, std::size_t count,
                      std::vector<BulkEntry>& out);
// The same, keeping the names' raw bytes.
void parse_bulk_batch(std::span<const std::byte> batch, std::size_t count, BulkListing& out);

// What one record carries, for producing records the way the kernel answers
// bulk_dir_request.
struct BulkRecordFields {
  std::string_view name;  // raw bytes, without the terminating NUL
  // Non-zero: the entry's attributes could not be read, and the record
  // carries only this error and the name.
  std::uint32_t error = 0;
  std::uint32_t dev_id = 0;
  std::uint32_t obj_type = obj_type_none;
  std::uint64_t file_id = 0;
  std::uint32_t mount_status = 0;  // packed for directories only
  // Packed for anything but a directory, each when the file system supplies it.
  bool has_link_count = true;
  std::uint32_t link_count = 1;
  bool has_alloc_size = true;
  std::int64_t alloc_size = 0;
};

// Bytes the record for `fields` occupies before its padding to 8 bytes.
std::size_t bulk_record_size(const BulkRecordFields& fields);

// Writes the record for `fields` at the start of `out` as the kernel does and
// returns its length: padded with zeros to a multiple of 8 when that fits in
// `out`, else unpadded (the kernel then ends the batch with it), or 0 with
// nothing written when even that does not fit. The space of every requested
// attribute is reserved (zeroed where not packed) before the name.
std::size_t pack_bulk_record(std::span<std::byte> out, const BulkRecordFields& fields);

}  // namespace tessaly
