#include "result/child_listing.h"

#include <algorithm>
#include <atomic>
#include <utility>

namespace tessaly {
namespace {

// A block's bytes at most; a record of more than a quarter of that gets a
// block of its own, leaving the thread's block open for the records after it.
// A thread's first block of a scan is small and each next one twice as large,
// so that a thread that writes little (a spare one in a cold scan) leaves
// little room unused.
constexpr std::size_t kRecordBlockBytes = 16 * 1024;
constexpr std::size_t kFirstRecordBlockBytes = 4 * 1024;

// Tells each RecordBlocks apart from every other of the process, so that a
// thread's writer left in the block of an earlier one is never used again.
std::atomic<std::uint64_t> next_generation{1};

thread_local RecordBlocks::Writer current_writer;

}  // namespace

RecordBlocks::RecordBlocks(std::uint64_t tree_depth)
    : tree_depth_(tree_depth),
      generation_(next_generation.fetch_add(1, std::memory_order_relaxed)) {}

RecordBlocks::~RecordBlocks() = default;

RecordBlocks::Writer& RecordBlocks::thread_writer() { return current_writer; }

char* RecordBlocks::refill(Writer& writer, std::size_t bytes) {
  const bool alone = bytes > kRecordBlockBytes / 4;
  const std::size_t next = writer.generation != generation_
                               ? kFirstRecordBlockBytes
                               : std::min(2 * writer.block_bytes, kRecordBlockBytes);
  const std::size_t block_bytes = alone ? bytes : std::max(next, bytes);
  std::shared_ptr<char[]> block(new char[block_bytes]);
  char* data = block.get();
  {
    std::lock_guard lock(mutex_);
    blocks_.push_back(std::move(block));
    capacity_bytes_ += block_bytes;
  }
  if (alone) return data;
  writer.generation = generation_;
  writer.cursor = data + bytes;
  writer.left = block_bytes - bytes;
  writer.block_bytes = block_bytes;
  return data;
}

std::vector<std::shared_ptr<char[]>> RecordBlocks::take(std::size_t& bytes) {
  std::lock_guard lock(mutex_);
  bytes = std::exchange(capacity_bytes_, 0);
  return std::exchange(blocks_, {});
}

std::size_t RecordBlocks::capacity_bytes() const {
  std::lock_guard lock(mutex_);
  return capacity_bytes_;
}

ChildListing::ChildListing() = default;
ChildListing::ChildListing(ChildListing&&) noexcept = default;
ChildListing& ChildListing::operator=(ChildListing&&) noexcept = default;
ChildListing::~ChildListing() = default;

void ChildListing::note_large(std::string_view raw_name, std::uint64_t size) {
  large_.push_back(LargeChild{std::string(raw_name), size});
}

void ChildListing::start_own() {
  if (!own_) own_ = std::make_unique<RecordBlocks>();
  start(*own_, 0);
}

void ChildListing::clear() {
  entries_.clear();
  links_.clear();
  large_.clear();
  breaks_.clear();
  after_alone_ = false;
  count_ = 0;
  dirs_ = 0;
  file_bytes_ = 0;
  records_ = nullptr;
  writer_ = nullptr;
  listed_ = true;
}

void ChildListing::trim(std::size_t max_entries) {
  if (entries_.capacity() > max_entries) std::vector<ChildEntry>().swap(entries_);
  if (links_.capacity() > max_entries) std::vector<LinkedChild>().swap(links_);
  if (large_.capacity() > max_entries) std::vector<LargeChild>().swap(large_);
  if (breaks_.capacity() > max_entries) std::vector<std::uint32_t>().swap(breaks_);
}

}  // namespace tessaly
