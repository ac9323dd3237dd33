#include "bulk/bulk_record.h"

#include <algorithm>
#include <cstring>

#include "base/utf8.h"

namespace tessaly {
namespace {

// Record fields are little-endian and only 4-byte aligned, so they are
// assembled byte by byte rather than loaded through a typed pointer.
std::uint32_t load_u32(const std::byte* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t load_u64(const std::byte* p) {
  return static_cast<std::uint64_t>(load_u32(p)) |
         (static_cast<std::uint64_t>(load_u32(p + 4)) << 32);
}

void store_u32(std::byte* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::byte>(v >> (8 * i));
}

void store_u64(std::byte* p, std::uint64_t v) {
  store_u32(p, static_cast<std::uint32_t>(v));
  store_u32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

constexpr std::size_t header_size =
    4 + returned_attrs_size;                // length word, returned-attribute words
constexpr std::size_t fixed_size = 24;      // name reference, device, type, file id
constexpr std::size_t file_attr_size = 12;  // link count, allocated size

// Parses the record `rec` (exactly its own `length` bytes); false when the
// record is to be skipped.
bool parse_record(const std::byte* rec, std::size_t length, std::string_view& raw_name,
                  BulkFields& out) {
  if (length < header_size) return false;
  const std::uint32_t common = load_u32(rec + 4);
  const std::uint32_t file_attrs = load_u32(rec + 16);
  std::size_t base = 24;
  std::uint32_t error = 0;
  if ((common & attr_cmn_error) != 0) {
    if (length < 36) return false;
    error = load_u32(rec + 24);
    base = 28;
  } else if (length < 32) {
    return false;
  }
  if (base + fixed_size > length) return false;

  // The name reference's offset is signed and counts from the reference's own
  // position; a name that would start before the record is rejected like one
  // that starts past its end.
  const auto name_offset = static_cast<std::int32_t>(load_u32(rec + base));
  const std::uint32_t name_length = load_u32(rec + base + 4);
  const std::int64_t start = static_cast<std::int64_t>(base) + name_offset;
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

  out.dev_id = load_u32(rec + base + 8);
  out.obj_type = load_u32(rec + base + 12);
  out.file_id = load_u64(rec + base + 16);
  out.error = error;
  out.link_count = 1;
  out.alloc_size = 0;
  if (file_attrs != 0) {
    if (base + 28 <= length) out.link_count = load_u32(rec + base + 24);
    if (base + 36 <= length) out.alloc_size = static_cast<std::int64_t>(load_u64(rec + base + 28));
  }
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

void BulkListing::trim(std::size_t max_entries) {
  if (slots_.capacity() <= max_entries) return;
  std::vector<Slot>().swap(slots_);
  std::string().swap(names_);
}

std::size_t bulk_record_size(const BulkRecordFields& fields) {
  std::size_t size = header_size + (fields.error != 0 ? 4 : 0) + fixed_size +
                     (fields.has_file_attrs ? file_attr_size : 0) + fields.name.size() + 1;
  return (size + 3) & ~std::size_t{3};
}

std::size_t pack_bulk_record(std::span<std::byte> out, const BulkRecordFields& fields) {
  const std::size_t size = bulk_record_size(fields);
  if (out.size() < size) return 0;
  std::byte* rec = out.data();
  // Every byte is written below: the unused attribute words, the NUL after
  // the name and the padding are zero.
  store_u32(rec + 8, 0);
  store_u32(rec + 12, 0);
  store_u32(rec + 20, 0);

  std::uint32_t common =
      attr_cmn_returned_attrs | attr_cmn_name | attr_cmn_devid | attr_cmn_objtype | attr_cmn_fileid;
  if (fields.error != 0) common |= attr_cmn_error;
  store_u32(rec, static_cast<std::uint32_t>(size));
  store_u32(rec + 4, common);
  store_u32(rec + 16, fields.has_file_attrs ? bulk_dir_request.fileattr : 0);

  std::size_t base = header_size;
  if (fields.error != 0) {
    store_u32(rec + base, fields.error);
    base += 4;
  }
  const std::size_t name_pos = base + fixed_size + (fields.has_file_attrs ? file_attr_size : 0);
  store_u32(rec + base, static_cast<std::uint32_t>(name_pos - base));
  store_u32(rec + base + 4, static_cast<std::uint32_t>(fields.name.size() + 1));
  store_u32(rec + base + 8, fields.dev_id);
  store_u32(rec + base + 12, fields.obj_type);
  store_u64(rec + base + 16, fields.file_id);
  if (fields.has_file_attrs) {
    store_u32(rec + base + 24, fields.link_count);
    store_u64(rec + base + 28, static_cast<std::uint64_t>(fields.alloc_size));
  }
  if (!fields.name.empty()) std::memcpy(rec + name_pos, fields.name.data(), fields.name.size());
  const std::size_t name_end = name_pos + fields.name.size();
  std::memset(rec + name_end, 0, size - name_end);
  return size;
}

}  // namespace tessaly
