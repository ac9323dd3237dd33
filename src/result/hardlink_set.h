// The set of multiply-linked files already sized in one scan, shared by every
// thread of that scan.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include <tessaly/result.h>

namespace tessaly {

// A concurrent set of (device id, inode number) pairs. File systems hand out
// inode numbers in dense runs, so the pairs of the first device inserted are
// kept as bits, one cache line per block of neighbouring inode numbers, in a
// table of lines that a first sighting claims and marks without a lock: the
// set of a scan's linked files stays small enough to stay in the cache.
// Pairs of other devices, and blocks the line table has no room for, go to
// independently locked shards by their hash, so threads inserting different
// files rarely wait on one another.
class HardlinkSet {
 public:
  HardlinkSet();
  ~HardlinkSet();
  HardlinkSet(const HardlinkSet&) = delete;
  HardlinkSet& operator=(const HardlinkSet&) = delete;

  // Inserts the pair; true when it was not there before. Among threads
  // inserting the same pair at once exactly one sees true. A pair already
  // there (of a nonzero inode) is found without taking a lock, and a pair of
  // the dense device is also added without one.
  bool insert(std::uint64_t device, std::uint64_t inode);

  bool contains(std::uint64_t device, std::uint64_t inode) const;

  // Starts fetching into the cache what insert(device, inode) will read, so
  // that an insert made a little later (after a system call, or a few entries
  // on) does not wait for memory. Changes nothing; takes no lock. The dense
  // device's lines are few enough to stay cached, but the other threads'
  // first sightings keep taking them away: the line is fetched too.
  void prefetch(std::uint64_t device, std::uint64_t inode) const {
    if (dense(device)) {
      __builtin_prefetch(&lines_[home_line(inode)]);
    } else {
      prefetch_shard(device, inode);
    }
  }

  std::size_t size() const;

 private:
  struct Shard;
  // The dense device's line table: kLineCount lines of kBlockInodes bits (a
  // block of neighbouring inode numbers each), a block found at one of
  // kProbeLines lines from its home line. A block that finds them all taken
  // by other blocks lives in the shards, and always will, since a claimed
  // line never changes its block.
  static constexpr std::size_t kLineBytes = 64;
  static constexpr unsigned kLineBits = 12;
  static constexpr std::size_t kLineCount = std::size_t{1} << kLineBits;
  static constexpr std::size_t kLineWords = 7;
  static constexpr std::uint64_t kBlockInodes = kLineWords * 64;
  static constexpr std::size_t kProbeLines = 8;
  // One block: `tag` is the block's number + 1 (0: a free line), then a bit
  // per inode number.
  struct alignas(kLineBytes) Line {
    std::atomic<std::uint64_t> tag;
    std::atomic<std::uint64_t> bits[kLineWords];
  };
  static std::size_t home_line(std::uint64_t inode) {
    const std::uint64_t tag = inode / kBlockInodes + 1;
    return static_cast<std::size_t>((tag * 0x9e3779b97f4a7c15ULL) >> (64 - kLineBits));
  }
  // The line for `inode`'s block on the dense device, claiming a free one
  // when `claim`; nullptr when the block is not in the line table (without
  // `claim`: not there yet, or kept by the shards).
  Line* line_for(std::uint64_t inode, bool claim) const;
  // Whether `device` is the dense device; the first device asked for becomes
  // it.
  bool claim_dense(std::uint64_t device);
  bool dense(std::uint64_t device) const {
    return dense_state_.load(std::memory_order_acquire) == 2 &&
           dense_device_.load(std::memory_order_relaxed) == device;
  }
  bool shard_insert(std::uint64_t device, std::uint64_t inode);
  void prefetch_shard(std::uint64_t device, std::uint64_t inode) const;
  bool shard_contains(std::uint64_t device, std::uint64_t inode) const;

  // The line table, made by the thread that claims the dense device and read
  // by others only once they see dense_state_ 2: zeroed memory, claimed
  // lines never change their block.
  struct FreeLines {
    void operator()(void* memory) const;
  };
  std::unique_ptr<void, FreeLines> line_memory_;
  Line* lines_ = nullptr;
  // 0: no dense device yet; 1: being set; 2: dense_device_ holds it.
  std::atomic<int> dense_state_{0};
  std::atomic<std::uint64_t> dense_device_{0};
  static constexpr std::size_t kShardCount = 64;
  std::unique_ptr<Shard[]> shards_;
  // Each shard's current table as one word, published when it grows and read
  // without the shard's lock (kept apart from the locks, whose lines move
  // between threads).
  std::unique_ptr<std::atomic<std::uintptr_t>[]> tables_;
};

// The bytes a file contributes to a scan: its allocated bytes, except that of
// a file with two or more links only the first sighting of its (device, inode)
// pair counts and every later one contributes 0.
inline std::uint64_t counted_size(HardlinkSet& seen, std::uint64_t link_count, std::uint64_t device,
                                  std::uint64_t inode, std::uint64_t allocated_bytes) {
  if (link_count >= 2 && !seen.insert(device, inode)) return 0;
  return allocated_bytes;
}

// One sighting of a file with two or more links: counted when it is the first
// of its (device, inode) pair.
inline HardLink link_sighting(HardlinkSet& seen, std::uint64_t link_count, std::uint64_t device,
                              std::uint64_t inode, std::uint64_t allocated_bytes) {
  return HardLink{device, inode, link_count, allocated_bytes, seen.insert(device, inode)};
}

}  // namespace tessaly
