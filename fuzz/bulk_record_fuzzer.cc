// Fuzzes the bulk record parser with arbitrary batches, and with batches the
// reference packer of the tests builds from field sets drawn from the input.
//
// Input: one byte giving the record count the kernel claims (255 meaning "as
// many as there are"), then the batch itself. The batch is copied into a heap
// block of exactly its size, so any read past it is caught. The same input
// then drives the field-set generator of the property test.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "base/utf8.h"
#include "bulk/bulk_record.h"
#include "support/bulk_reference.h"

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

  // Each entry comes from its own record of at least 32 bytes (header and
  // name reference), its name is no longer than that record, and both
  // parsers agree.
  require(entries.size() <= count);
  require(entries.size() <= batch_size / 32);
  require(listing.size() == entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const tessaly::BulkEntry& entry = entries[i];
    require(tessaly::is_valid_utf8(entry.name));
    require(entry.raw().size() < batch_size);
    require(entry.raw_name.empty() || !tessaly::is_valid_utf8(entry.raw_name));
    require(tessaly::utf8_lossy(entry.raw()) == entry.name);
    require(listing[i].name == entry.raw());
    require(listing[i].fields == static_cast<const tessaly::BulkFields&>(entry));
  }

  // Field sets drawn from the input, packed as the kernel does, read back
  // exactly.
  tessaly::testing::ByteSource source(std::span(data, size));
  std::vector<tessaly::testing::ReferenceEntry> drawn;
  while (!source.empty() && drawn.size() < 8)
    drawn.push_back(tessaly::testing::random_reference_entry(source));
  std::size_t packed = 0;
  const auto records = tessaly::testing::reference_pack_batch(tessaly::bulk_dir_request, drawn,
                                                              64 + (size * 37) % 8192, packed);
  const std::unique_ptr<std::byte[]> exact(new std::byte[records.size() + 1]);
  if (!records.empty()) std::memcpy(exact.get(), records.data(), records.size());
  std::vector<tessaly::BulkEntry> again;
  tessaly::parse_bulk_batch(std::span<const std::byte>(exact.get(), records.size()), packed, again);
  require(again.size() == packed);
  for (std::size_t i = 0; i < packed; ++i)
    require(again[i] == tessaly::testing::reference_parsed(drawn[i]));
  return 0;
}
