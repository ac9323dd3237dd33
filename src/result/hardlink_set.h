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

// A concurrent set of (device id, inode number) pairs. The pairs are spread
// over independently locked shards by their hash, so threads inserting
// different files rarely wait on one another.
class HardlinkSet {
 public:
  HardlinkSet();
  ~HardlinkSet();
  HardlinkSet(const HardlinkSet&) = delete;
  HardlinkSet& operator=(const HardlinkSet&) = delete;

  // Inserts the pair; true when it was not there before. Among threads
  // inserting the same pair at once exactly one sees true. A pair already
  // there (of a nonzero inode) is found without taking a lock.
  bool insert(std::uint64_t device, std::uint64_t inode);

  bool contains(std::uint64_t device, std::uint64_t inode) const;

  // Starts fetching into the cache what insert(device, inode) will read, so
  // that an insert made a little later (after a system call, or a few entries
  // on) does not wait for memory. Changes nothing; takes no lock.
  void prefetch(std::uint64_t device, std::uint64_t inode) const;

  std::size_t size() const;

 private:
  struct Shard;
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
