// Fuzzes the bulk record parser with arbitrary batches.
//
// Input: one byte giving the record count the kernel claims (255 meaning "as
// many as there are"), then the batch itself. The batch is copied into a heap
// block of exactly its size, so any read past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "base/utf8.h"
#include "bulk/bulk_record.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t count =
      data[0] == 255 ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(data[0]);
  const std::size_t batch_size = size - 1;
  const std::unique_ptr<std::byte[]> batch(new std::byte[batch_size == 0 ? 1 : batch_size]);
  if (batch_size != 0) std::memcpy(batch.get(), data + 1, batch_size);

  std::vector<tessaly::BulkEntry> entries;
  const std::span<const std::byte> view(batch.get(), batch_size);
  tessaly::parse_bulk_batch(view, count, entries);
  tessaly::BulkListing listing;
  tessaly::parse_bulk_batch(view, count, listing);

  // Each entry comes from its own record of at least 48 bytes, its name is no
  // longer than that record, and both parsers agree.
  require(entries.size() <= count);
  require(entries.size() <= batch_size / 48);
  require(listing.size() == entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const tessaly::BulkEntry& entry = entries[i];
    require(tessaly::is_valid_utf8(entry.name));
    require(entry.raw().size() < batch_size);
    require(entry.raw_name.empty() || !tessaly::is_valid_utf8(entry.raw_name));
    require(tessaly::utf8_lossy(entry.raw()) == entry.name);
    require(listing[i].raw_name == entry.raw());
    require(listing[i].fields == static_cast<const tessaly::BulkFields&>(entry));
  }

  // What the encoder writes, the parser reads back unchanged.
  if (!entries.empty()) {
    const tessaly::BulkEntry& first = entries.front();
    tessaly::BulkRecordFields fields;
    fields.name = first.raw();
    fields.error = first.error;
    fields.dev_id = first.dev_id;
    fields.obj_type = first.obj_type;
    fields.file_id = first.file_id;
    fields.has_file_attrs = true;
    fields.link_count = first.link_count;
    fields.alloc_size = first.alloc_size;
    std::vector<std::byte> record(tessaly::bulk_record_size(fields));
    require(tessaly::pack_bulk_record(record, fields) == record.size());
    std::vector<tessaly::BulkEntry> again;
    tessaly::parse_bulk_batch(record, 1, again);
    require(again.size() == 1);
    require(again.front() == first);
  }
  return 0;
}
