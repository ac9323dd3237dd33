#include "bulk/bulk_record.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/utf8.h"

namespace tessaly {
namespace {

// Record fields are little-endian and only 4-byte aligned, so they are
// copied, never loaded through a typed pointer; on a little-endian machine
// (every one this runs on) the copy is one move, elsewhere the bytes are
// assembled one by one.
std::uint32_t load_u32(const std::byte* p) {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  } else {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
  }
}

std::uint64_t load_u64(const std::byte* p) {
  return static_cast<std::uint64_t>(load_u32(p)) |
         (static_cast<std::uint64_t>(load_u32(p + 4)) << 32);
}

void store_u32(std::byte* p, std::uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, sizeof v);
  } else {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::byte>(v >> (8 * i));
  }
}

void store_u64(std::byte* p, std::uint64_t v) {
  store_u32(p, static_cast<std::uint32_t>(v));
  store_u32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

constexpr std::size_t header_size =
    4 + returned_attrs_size;  // length word, returned-attribute words

// Walks the fields of one record in packing order, refusing any that would
// run past the record's end.
class FieldCursor {
 public:
  FieldCursor(const std::byte* rec, std::size_t length) : rec_(rec), length_(length) {}
  // The position of the next `size`-byte field, or nullptr when it does not fit.
  const std::byte* take(std::size_t size) {
    if (size > length_ - pos_) return nullptr;
    const std::byte* field = rec_ + pos_;
    pos_ += size;
    return field;
  }
  std::size_t position() const { return pos_; }
  // Reads the next field into `field` when `bit` is among the returned
  // `bits`; false when it does not fit.
  template <typename Field>
  bool take_if(std::uint32_t bits, std::uint32_t bit, Field& field) {
    static_assert(sizeof(Field) == 4 || sizeof(Field) == 8);
    if ((bits & bit) == 0) return true;
    const std::byte* p = take(sizeof(Field));
    if (p == nullptr) return false;
    if constexpr (sizeof(Field) == 4) {
      field = static_cast<Field>(load_u32(p));
    } else {
      field = static_cast<Field>(load_u64(p));
    }
    return true;
  }

 private:
  const std::byte* rec_;
  std::size_t length_;
  std::size_t pos_ = header_size;
};

// Parses the record `rec` (exactly its own `length` bytes); false when the
// record is to be skipped.
bool parse_record(const std::byte* rec, std::size_t length, std::string_view& raw_name,
                  BulkFields& out) {
  if (length < header_size) return false;
  const std::uint32_t common = load_u32(rec + 4);
  const std::uint32_t dir_attrs = load_u32(rec + 12);
  const std::uint32_t file_attrs = load_u32(rec + 16);
  // A bit outside the request stands for a field of unknown place and size.
  if ((common & ~bulk_dir_request.commonattr) != 0 || load_u32(rec + 8) != 0 ||
      (dir_attrs & ~bulk_dir_request.dirattr) != 0 ||
      (file_attrs & ~bulk_dir_request.fileattr) != 0 || load_u32(rec + 20) != 0 ||
      (common & attr_cmn_name) == 0) {
    return false;
  }

  out = BulkFields{};
  std::size_t reference_pos = header_size;
  // A file's and a directory's record whose attributes were read, nearly
  // every record, have their fields at fixed places: read there, with the
  // same result as field by field.
  constexpr std::uint32_t kReadCommon = bulk_dir_request.commonattr & ~attr_cmn_error;
  constexpr std::size_t kDirFixed = header_size + attr_reference_size + 4 + 4 + 8 + 4;
  const bool plain_file = common == kReadCommon && dir_attrs == 0 &&
                          file_attrs == bulk_dir_request.fileattr && length >= kDirFixed + 8;
  const bool plain_dir = common == kReadCommon && dir_attrs == bulk_dir_request.dirattr &&
                         file_attrs == 0 && length >= kDirFixed;
  if (plain_file || plain_dir) {
    const std::byte* fields = rec + header_size + attr_reference_size;
    out.dev_id = load_u32(fields);
    out.obj_type = load_u32(fields + 4);
    out.file_id = load_u64(fields + 8);
    if (plain_dir) {
      out.mount_status = load_u32(fields + 16);
    } else {
      out.link_count = load_u32(fields + 16);
      out.alloc_size = static_cast<std::int64_t>(load_u64(fields + 20));
    }
  } else {
    FieldCursor cursor(rec, length);
    if (!cursor.take_if(common, attr_cmn_error, out.error)) return false;
    reference_pos = cursor.position();
    if (cursor.take(attr_reference_size) == nullptr) return false;
    if (!cursor.take_if(common, attr_cmn_devid, out.dev_id) ||
        !cursor.take_if(common, attr_cmn_objtype, out.obj_type) ||
        !cursor.take_if(common, attr_cmn_fileid, out.file_id) ||
        !cursor.take_if(dir_attrs, attr_dir_mountstatus, out.mount_status) ||
        !cursor.take_if(file_attrs, attr_file_linkcount, out.link_count) ||
        !cursor.take_if(file_attrs, attr_file_allocsize, out.alloc_size)) {
      return false;
    }
  }
  const std::byte* reference = rec + reference_pos;

  // The name reference's offset is signed and counts from the reference's own
  // position; a name that would start before the record is rejected like one
  // that starts past its end.
  const auto name_offset = static_cast<std::int32_t>(load_u32(reference));
  const std::uint32_t name_length = load_u32(reference + 4);
  const std::int64_t start = static_cast<std::int64_t>(reference_pos) + name_offset;
  if (start < 0) return false;
  const std::int64_t end =
      std::min(static_cast<std::int64_t>(length), start + static_cast<std::int64_t>(name_length));
  if (end <= start) return false;
  const auto* name_begin = reinterpret_cast<const char*>(rec + start);
  const auto span_length = static_cast<std::size_t>(end - start);
  const void* nul = std::memchr(name_begin, '\0', span_length);
  raw_name = std::string_view(
      name_begin, nul != nullptr
                      ? static_cast<std::size_t>(static_cast<const char*>(nul) - name_begin)
                      : span_length);
  return true;
}

// Calls `on_record(raw_name, fields)` for each well-formed record among the
// first `count` of `batch`.
template <typename OnRecord>
void parse_records(std::span<const std::byte> batch, std::size_t count, OnRecord&& on_record) {
  const std::size_t size = batch.size();
  std::size_t pos = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (size < 4 || pos > size - 4) return;
    const std::uint32_t length = load_u32(batch.data() + pos);
    if (length == 0 || length > size - pos) return;
    std::string_view raw_name;
    BulkFields fields;
    if (parse_record(batch.data() + pos, length, raw_name, fields)) on_record(raw_name, fields);
    pos += length;
  }
}

}  // namespace

void parse_bulk_batch(std::span<const std::byte> batch, std::size_t count,
                      std::vector<BulkEntry>& out) {
  parse_records(batch, count, [&](std::string_view raw_name, const BulkFields& fields) {
    BulkEntry& entry = out.emplace_back();
    static_cast<BulkFields&>(entry) = fields;
    if (is_valid_utf8(raw_name)) {
      entry.name.assign(raw_name);
    } else {
      entry.name = utf8_lossy(raw_name);
      entry.raw_name.assign(raw_name);
    }
  });
}

void parse_bulk_batch(std::span<const std::byte> batch, std::size_t count, BulkListing& out) {
  parse_records(batch, count, [&](std::string_view raw_name, const BulkFields& fields) {
    out.add(raw_name, fields);
  });
}

namespace {

// Bytes of the fixed area the kernel reserves for bulk_dir_request: every
// requested attribute valid for the entry's type, the error word included.
// An error record reserves only the error word and the name reference.
std::size_t fixed_area_size(const BulkRecordFields& fields) {
  if (fields.error != 0) return header_size + 4 + attr_reference_size;
  const std::size_t common = header_size + 4 + attr_reference_size + 4 + 4 + 8;
  return fields.obj_type == obj_type_directory ? common + 4 : common + 4 + 8;
}

}  // namespace

std::size_t bulk_record_size(const BulkRecordFields& fields) {
  return fixed_area_size(fields) + ((fields.name.size() + 1 + 3) & ~std::size_t{3});
}

std::size_t pack_bulk_record(std::span<std::byte> out, const BulkRecordFields& fields) {
  const std::size_t size = bulk_record_size(fields);
  if (out.size() < size) return 0;
  const std::size_t padded = (size + 7) & ~std::size_t{7};
  const std::size_t length = out.size() >= padded ? padded : size;
  std::byte* rec = out.data();
  std::memset(rec, 0, length);

  std::uint32_t common = attr_cmn_returned_attrs | attr_cmn_name;
  std::uint32_t dir_attrs = 0;
  std::uint32_t file_attrs = 0;
  std::size_t pos = header_size;
  const std::size_t name_pos = fixed_area_size(fields);
  if (fields.error != 0) {
    common |= attr_cmn_error;
    store_u32(rec + pos, fields.error);
    pos += 4;
  }
  store_u32(rec + pos, static_cast<std::uint32_t>(name_pos - pos));
  store_u32(rec + pos + 4, static_cast<std::uint32_t>(fields.name.size() + 1));
  pos += attr_reference_size;
  if (fields.error == 0) {
    common |= attr_cmn_devid | attr_cmn_objtype | attr_cmn_fileid;
    store_u32(rec + pos, fields.dev_id);
    store_u32(rec + pos + 4, fields.obj_type);
    store_u64(rec + pos + 8, fields.file_id);
    pos += 16;
    if (fields.obj_type == obj_type_directory) {
      dir_attrs = attr_dir_mountstatus;
      store_u32(rec + pos, fields.mount_status);
    } else {
      if (fields.has_link_count) {
        file_attrs |= attr_file_linkcount;
        store_u32(rec + pos, fields.link_count);
        pos += 4;
      }
      if (fields.has_alloc_size) {
        file_attrs |= attr_file_allocsize;
        store_u64(rec + pos, static_cast<std::uint64_t>(fields.alloc_size));
      }
    }
  }
  store_u32(rec, static_cast<std::uint32_t>(length));
  store_u32(rec + 4, common);
  store_u32(rec + 12, dir_attrs);
  store_u32(rec + 16, file_attrs);
  if (!fields.name.empty()) std::memcpy(rec + name_pos, fields.name.data(), fields.name.size());
  return length;
}

}  // namespace tessaly
