// The kept children of one directory, in the form a directory job hands them
// to the collecting thread: each child already written as the record the
// result keeps of it, so that the collector copies no name.
#pragma once

#include <tessaly/result.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result/result.h"

namespace tessaly {

// What a listing shows of a child besides its name.
struct ChildFields {
  std::uint64_t size = 0;  // bytes counted for a file; 0 for a directory
  bool is_dir = false;
};

// The identity of a multiply-linked file at `index` in a listing.
struct LinkedChild {
  std::size_t index = 0;
  HardLink link;
};

// A file of at least kLargeFileThreshold bytes in a listing, with its name:
// the large-file list needs it even where the names are not kept.
struct LargeChild {
  std::string raw_name;
  std::uint64_t size = 0;
};

// The blocks that a scan's directory jobs write their children's records to,
// and that the result takes over when the walk ends. Each thread writes to a
// block of its own, so writing takes no lock but one per block; a thread
// leaves at most one block partly used per scan. Freed with the object
// unless taken, so that a scan that ends early leaks nothing.
class RecordBlocks {
 public:
  // Lists the children of directories down to `tree_depth`: a listing of
  // deeper children keeps no names.
  explicit RecordBlocks(std::uint64_t tree_depth = kUnlimitedTreeDepth);
  RecordBlocks(const RecordBlocks&) = delete;
  RecordBlocks& operator=(const RecordBlocks&) = delete;
  ~RecordBlocks();

  // Whether children at `depth` are listed, and so get records.
  bool lists(std::uint64_t depth) const { return depth <= tree_depth_; }

  // A thread's place in its current block. A thread keeps one, which follows
  // the RecordBlocks it last wrote to.
  struct Writer {
    std::uint64_t generation = 0;  // of the RecordBlocks the block belongs to
    char* cursor = nullptr;
    std::size_t left = 0;
    std::size_t block_bytes = 0;  // of the current block
  };
  // The calling thread's writer.
  static Writer& thread_writer();

  // `bytes` of room in a block of this object, on `writer`, the calling
  // thread's.
  char* allocate(Writer& writer, std::size_t bytes) {
    if (writer.generation != generation_ || bytes > writer.left) return refill(writer, bytes);
    char* out = writer.cursor;
    writer.cursor += bytes;
    writer.left -= bytes;
    return out;
  }

  // Hands the blocks over (once no thread writes any more) and their bytes
  // through `bytes`.
  std::vector<std::shared_ptr<char[]>> take(std::size_t& bytes);
  // Bytes of the blocks held, for measurement.
  std::size_t capacity_bytes() const;

 private:
  char* refill(Writer& writer, std::size_t bytes);

  const std::uint64_t tree_depth_;
  const std::uint64_t generation_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<char[]>> blocks_;
  std::size_t capacity_bytes_ = 0;
};

// One directory's kept children (or a part of them) in read order, as a
// directory job hands them to the collecting thread. A listing is started
// for a depth and filled on one thread. When RecordBlocks lists that depth,
// each child is written at once as its final record (ChildEntry) to the
// calling thread's block and the listing keeps an 8-byte entry per child;
// otherwise it keeps only counts and bytes. Either way it keeps the linked
// files' identities and the large files beside.
class ChildListing {
 public:
  struct Item {
    std::string_view name;  // raw bytes
    ChildFields fields;
  };

  // A listing that starts itself on records of its own (unlimited depth)
  // unless start() is called first: for callers without a walk.
  ChildListing();
  ChildListing(ChildListing&&) noexcept;
  ChildListing& operator=(ChildListing&&) noexcept;
  ~ChildListing();

  // Starts an empty listing of children at `depth`, their records written to
  // `records`, which must outlive what the listing hands over.
  void start(RecordBlocks& records, std::uint64_t depth) {
    records_ = &records;
    listed_ = records.lists(depth);
    writer_ = &RecordBlocks::thread_writer();
  }

  void add_file(std::string_view raw_name, std::uint64_t size) {
    if (size >= kLargeFileThreshold) note_large(raw_name, size);
    file_bytes_ += size;
    add(raw_name, size, false);
  }
  void add_directory(std::string_view raw_name) {
    ++dirs_;
    add(raw_name, 0, true);
  }
  // A file with two or more links: listed with the bytes it counts (its
  // size on the sighting that carries its blocks, else 0), its identity
  // kept beside the listing, so ordinary files cost nothing more.
  void add_linked_file(std::string_view raw_name, const HardLink& link) {
    links_.push_back(LinkedChild{size(), link});
    add_file(raw_name, link.counted ? link.size : 0);
  }

  // The identities of the linked files, in listing order.
  std::span<const LinkedChild> links() const { return links_; }
  // The files of at least kLargeFileThreshold bytes, in listing order.
  std::span<const LargeChild> large_files() const { return large_; }

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // Directories among the children.
  std::size_t dirs() const { return dirs_; }
  // Bytes of the files together.
  std::uint64_t file_bytes() const { return file_bytes_; }
  // Whether the children have records (entries()); false for a listing
  // deeper than the tree depth.
  bool listed() const { return listed_; }
  // The records' owner; nullptr before the first child.
  const RecordBlocks* records() const { return records_; }
  // The children's records, when listed().
  std::span<const ChildEntry> entries() const { return entries_; }
  // Ascending indices of the children whose record does not follow the one
  // before it in memory (the first child excepted): between two of them the
  // records are one stretch of a block, in ascending addresses.
  std::span<const std::uint32_t> breaks() const { return breaks_; }
  // The child at `i`, when listed().
  Item operator[](std::size_t i) const {
    const ChildEntry& entry = entries_[i];
    return Item{entry.raw_name(), ChildFields{entry.size(), entry.is_dir()}};
  }

  void reserve(std::size_t entries) {
    if (listed_ || records_ == nullptr) entries_.reserve(entries);
  }
  // Empties the listing, to be started again.
  void clear();
  // Gives memory back when the listing has room for more than `max_entries`.
  void trim(std::size_t max_entries);

 private:
  void add(std::string_view raw_name, std::uint64_t size, bool is_dir) {
    ++count_;
    if (records_ == nullptr) start_own();
    if (!listed_) return;
    const char* const cursor = writer_->cursor;
    const std::size_t left = writer_->left;
    entries_.push_back(write(raw_name, size, is_dir));
    // Written at the cursor when it moved by what the block's room shrank;
    // a record too large for blocks gets one of its own and leaves the
    // cursor where it was, so the next record starts a stretch too.
    const char* const moved = writer_->cursor;
    const bool follows = moved != cursor && left - writer_->left == std::size_t(moved - cursor);
    if ((!follows || after_alone_) && count_ > 1) breaks_.push_back(std::uint32_t(count_ - 1));
    after_alone_ = moved == cursor;
  }
  ChildEntry write(std::string_view raw_name, std::uint64_t size, bool is_dir) {
    RecordBlocks& records = *records_;
    RecordBlocks::Writer& writer = *writer_;
    return ResultAccess::make_record(
        [&](std::size_t bytes) { return records.allocate(writer, bytes); }, raw_name, size, is_dir,
        DirTable::kNoNode);
  }
  void note_large(std::string_view raw_name, std::uint64_t size);
  void start_own();

  RecordBlocks* records_ = nullptr;
  RecordBlocks::Writer* writer_ = nullptr;
  bool listed_ = true;
  std::uint32_t dirs_ = 0;
  std::size_t count_ = 0;
  std::uint64_t file_bytes_ = 0;
  std::vector<ChildEntry> entries_;
  std::vector<LinkedChild> links_;
  std::vector<LargeChild> large_;
  std::vector<std::uint32_t> breaks_;
  bool after_alone_ = false;
  std::unique_ptr<RecordBlocks> own_;
};

}  // namespace tessaly
