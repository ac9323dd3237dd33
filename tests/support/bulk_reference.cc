#include "support/bulk_reference.h"

#include <cstring>

#include "base/utf8.h"

namespace tessaly::testing {
namespace {

// Fixed sizes of the attributes of the kernel's tables getattrlist_common_tab,
// getattrlist_dir_tab and getattrlist_file_tab that the request may name, in
// table order (sizeof dev_t is 4 on macOS).
struct AttrSize {
  std::uint32_t attr;
  std::size_t size;
};
constexpr AttrSize kCommonTab[] = {
    {attr_cmn_name, 8},   {attr_cmn_devid, 4},           {attr_cmn_objtype, 4},
    {attr_cmn_fileid, 8}, {attr_cmn_returned_attrs, 20}, {attr_cmn_error, 4}};
constexpr AttrSize kDirTab[] = {{attr_dir_mountstatus, 4}};
constexpr AttrSize kFileTab[] = {{attr_file_linkcount, 4}, {attr_file_allocsize, 8}};

template <std::size_t N>
std::size_t parse_tab(const AttrSize (&tab)[N], std::uint32_t attrs) {
  std::size_t size = 0;
  for (const AttrSize& entry : tab) {
    if ((attrs & entry.attr) != 0) size += entry.size;
  }
  return size;
}

// getattrlist_setupvattr_all: the length word and every requested attribute
// valid for the type, before the file system says what it supplies.
std::size_t fixed_size(const AttrListRequest& request, bool is_dir) {
  std::size_t size = 4 + parse_tab(kCommonTab, request.commonattr);
  if (is_dir) size += parse_tab(kDirTab, request.dirattr);
  if (!is_dir) size += parse_tab(kFileTab, request.fileattr);
  return size;
}

constexpr std::size_t roundup4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

// The kernel's struct _attrlist_buf over a zeroed scratch record.
struct AttrBuf {
  std::vector<std::byte> base;
  std::size_t fixed = 0;  // fixedcursor
  std::size_t var = 0;    // varcursor
  struct {
    std::uint32_t commonattr = 0, volattr = 0, dirattr = 0, fileattr = 0, forkattr = 0;
  } actual;  // the returned attribute_set_t

  void put(std::size_t at, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) base[at + i] = static_cast<std::byte>(value >> (8 * i));
  }
  // ATTR_PACK4 / ATTR_PACK8 and attrlist_pack_fixed: the value at the fixed
  // cursor, which moves on by the value's size.
  void pack_fixed(std::uint64_t value, std::size_t width) {
    put(fixed, value, width);
    fixed += width;
  }
  // attrlist_pack_string: the reference (offset from the reference itself,
  // length with the NUL) at the fixed cursor; the bytes, NUL and zero padding
  // to 4 at the variable cursor.
  void pack_string(const std::string& text) {
    pack_fixed(static_cast<std::uint32_t>(var - fixed), 4);
    put(fixed, static_cast<std::uint32_t>(text.size() + 1), 4);
    fixed += 4;
    std::memcpy(base.data() + var, text.data(), text.size());
    var += roundup4(text.size() + 1);
  }
};

// One record, or nothing when it does not fit in `space` bytes.
std::vector<std::byte> pack_one(const AttrListRequest& request, const ReferenceEntry& entry,
                                std::size_t space) {
  const bool is_dir = entry.error == 0 && entry.obj_type == obj_type_directory;
  const bool return_valid = (request.commonattr & attr_cmn_returned_attrs) != 0;
  AttrBuf ab;
  std::size_t fixedsize = 0;
  if (entry.error != 0) {
    // get_error_attributes without FSOPT_PACK_INVAL_ATTRS: only
    // ATTR_BULK_REQUIRED and the error are reserved and packed.
    AttrListRequest al{};
    al.commonattr = attr_cmn_name | attr_cmn_returned_attrs | (request.commonattr & attr_cmn_error);
    fixedsize = fixed_size(al, false);
  } else {
    fixedsize = fixed_size(request, is_dir);
  }
  // vfs_attr_pack_internal: allocated = fixed + variable size; a bulk record
  // is padded to 8 only when the padded length fits in the caller's space.
  std::size_t allocated = fixedsize + roundup4(entry.name.size() + 1);
  if (allocated > space) return {};
  if (((allocated + 7) & ~std::size_t{7}) <= space) allocated = (allocated + 7) & ~std::size_t{7};
  ab.base.assign(allocated, std::byte{0});
  ab.fixed = 4 + (return_valid ? returned_attrs_size : 0);
  ab.var = fixedsize;

  if (entry.error != 0) {
    if ((request.commonattr & attr_cmn_error) != 0) {
      ab.pack_fixed(entry.error, 4);
      ab.actual.commonattr |= attr_cmn_error;
    }
    ab.pack_string(entry.name);
    ab.actual.commonattr |= attr_cmn_name;
  } else {
    // attr_pack_common: the error word is packed only when the returned
    // attributes were not asked for; then name, device, type, file id.
    if ((request.commonattr & attr_cmn_name) != 0) {
      ab.pack_string(entry.name);
      ab.actual.commonattr |= attr_cmn_name;
    }
    if ((request.commonattr & attr_cmn_devid) != 0 && entry.has_dev_id) {
      ab.pack_fixed(entry.dev_id, 4);
      ab.actual.commonattr |= attr_cmn_devid;
    }
    if ((request.commonattr & attr_cmn_objtype) != 0 && entry.has_obj_type) {
      ab.pack_fixed(entry.obj_type, 4);
      ab.actual.commonattr |= attr_cmn_objtype;
    }
    if ((request.commonattr & attr_cmn_fileid) != 0 && entry.has_file_id) {
      ab.pack_fixed(entry.file_id, 8);
      ab.actual.commonattr |= attr_cmn_fileid;
    }
    if (is_dir) {
      // attr_pack_dir: the mount status is always supplied.
      if ((request.dirattr & attr_dir_mountstatus) != 0) {
        ab.pack_fixed(entry.mount_status, 4);
        ab.actual.dirattr |= attr_dir_mountstatus;
      }
    } else {
      // attr_pack_file, after getattrlist_fixupattrs dropped what the file
      // system does not supply.
      if ((request.fileattr & attr_file_linkcount) != 0 && entry.has_link_count) {
        ab.pack_fixed(entry.link_count, 4);
        ab.actual.fileattr |= attr_file_linkcount;
      }
      if ((request.fileattr & attr_file_allocsize) != 0 && entry.has_alloc_size) {
        ab.pack_fixed(static_cast<std::uint64_t>(entry.alloc_size), 8);
        ab.actual.fileattr |= attr_file_allocsize;
      }
    }
  }
  ab.put(0, static_cast<std::uint32_t>(allocated), 4);
  if (return_valid) {
    ab.actual.commonattr |= attr_cmn_returned_attrs;
    ab.put(4, ab.actual.commonattr, 4);
    ab.put(8, ab.actual.volattr, 4);
    ab.put(12, ab.actual.dirattr, 4);
    ab.put(16, ab.actual.fileattr, 4);
    ab.put(20, ab.actual.forkattr, 4);
  }
  return ab.base;
}

}  // namespace

std::vector<std::byte> reference_pack_batch(const AttrListRequest& request,
                                            std::span<const ReferenceEntry> entries,
                                            std::size_t buffer_size, std::size_t& count) {
  std::vector<std::byte> out;
  count = 0;
  for (const ReferenceEntry& entry : entries) {
    const std::vector<std::byte> record = pack_one(request, entry, buffer_size - out.size());
    if (record.empty()) break;
    out.insert(out.end(), record.begin(), record.end());
    ++count;
    // An unpadded record is the last the buffer has room for.
    if (record.size() % 8 != 0) break;
  }
  return out;
}

BulkEntry reference_parsed(const ReferenceEntry& entry) {
  BulkEntry parsed;
  if (is_valid_utf8(entry.name)) {
    parsed.name = entry.name;
  } else {
    parsed.name = utf8_lossy(entry.name);
    parsed.raw_name = entry.name;
  }
  if (entry.error != 0) {
    parsed.error = entry.error;
    return parsed;
  }
  if (entry.has_dev_id) parsed.dev_id = entry.dev_id;
  if (entry.has_obj_type) parsed.obj_type = entry.obj_type;
  if (entry.has_file_id) parsed.file_id = entry.file_id;
  if (entry.obj_type == obj_type_directory) {
    parsed.mount_status = entry.mount_status;
  } else {
    if (entry.has_link_count) parsed.link_count = entry.link_count;
    if (entry.has_alloc_size) parsed.alloc_size = entry.alloc_size;
  }
  return parsed;
}

std::uint64_t ByteSource::next(int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    const std::uint64_t byte = pos_ < bytes_.size() ? bytes_[pos_++] : 0;
    value |= byte << (8 * i);
  }
  return value;
}

ReferenceEntry random_reference_entry(ByteSource& source) {
  ReferenceEntry entry;
  const std::uint64_t shape = source.next(2);
  entry.obj_type = static_cast<std::uint32_t>(shape % 8);  // VNON .. VFIFO
  if ((shape >> 3) % 8 == 0) entry.error = static_cast<std::uint32_t>(1 + source.next(1));
  entry.has_dev_id = (shape >> 6) % 8 != 0;
  entry.has_obj_type = (shape >> 9) % 8 != 0;
  entry.has_file_id = (shape >> 12) % 8 != 0;
  entry.has_link_count = (shape >> 14) % 4 != 0;
  entry.has_alloc_size = (source.next(1) % 4) != 0;
  entry.dev_id = static_cast<std::uint32_t>(source.next(4));
  entry.file_id = source.next(8);
  if (entry.obj_type == obj_type_directory)
    entry.mount_status = static_cast<std::uint32_t>(source.next(1) % 4);
  entry.link_count = static_cast<std::uint32_t>(source.next(4));
  entry.alloc_size = static_cast<std::int64_t>(source.next(8));
  const std::size_t length = 1 + source.next(2) % 765;
  entry.name.resize(length);
  for (char& c : entry.name) {
    auto byte = static_cast<char>(source.next(1));
    c = byte == '\0' || byte == '/' ? 'n' : byte;
  }
  return entry;
}

}  // namespace tessaly::testing
