#include "result/hardlink_set.h"

#include <vector>

#include "base/hash.h"

namespace tessaly {
namespace {

struct Key {
  std::uint64_t device;
  std::uint64_t inode;
};

// One mix per pair: for a given device the inode passes through bijective
// steps only, so the inodes of one device never collide before the mask.
std::uint64_t key_hash(std::uint64_t device, std::uint64_t inode) {
  return hash_mix(inode ^ (device * 0x9e3779b97f4a7c15ULL));
}

}  // namespace

// Open addressing with linear probing: 16 bytes per slot and no node per pair.
// The all-zero pair marks an empty slot, so its own presence is kept aside.
struct alignas(64) HardlinkSet::Shard {
  std::mutex mutex;
  std::vector<Key> slots;
  std::size_t count = 0;
  bool has_zero_pair = false;

  bool insert(std::uint64_t device, std::uint64_t inode, std::uint64_t hash, SlotsHint& hint) {
    if (device == 0 && inode == 0) {
      if (has_zero_pair) return false;
      has_zero_pair = true;
      return true;
    }
    if ((count + 1) * 4 > slots.size() * 3) {
      grow();
      hint.slots.store(reinterpret_cast<std::uintptr_t>(slots.data()), std::memory_order_relaxed);
      hint.mask.store(slots.size() - 1, std::memory_order_relaxed);
    }
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      Key& slot = slots[i];
      if (slot.device == 0 && slot.inode == 0) {
        slot = Key{device, inode};
        ++count;
        return true;
      }
      if (slot.device == device && slot.inode == inode) return false;
    }
  }

  bool contains(std::uint64_t device, std::uint64_t inode, std::uint64_t hash) const {
    if (device == 0 && inode == 0) return has_zero_pair;
    if (slots.empty()) return false;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Key& slot = slots[i];
      if (slot.device == 0 && slot.inode == 0) return false;
      if (slot.device == device && slot.inode == inode) return true;
    }
  }

  void grow() {
    std::vector<Key> old = std::move(slots);
    slots.assign(old.empty() ? 64 : old.size() * 2, Key{0, 0});
    const std::size_t mask = slots.size() - 1;
    for (const Key& key : old) {
      if (key.device == 0 && key.inode == 0) continue;
      std::size_t i = key_hash(key.device, key.inode) & mask;
      while (slots[i].device != 0 || slots[i].inode != 0) i = (i + 1) & mask;
      slots[i] = key;
    }
  }
};

HardlinkSet::HardlinkSet()
    : shards_(std::make_unique<Shard[]>(kShardCount)),
      hints_(std::make_unique<SlotsHint[]>(kShardCount)) {}

HardlinkSet::~HardlinkSet() = default;

bool HardlinkSet::insert(std::uint64_t device, std::uint64_t inode) {
  static_assert(kShardCount == 64, "the shard index takes the top six bits of the hash");
  const std::uint64_t hash = key_hash(device, inode);
  // The top bits pick the shard, the low bits the slot within it.
  Shard& shard = shards_[hash >> 58];
  std::lock_guard lock(shard.mutex);
  return shard.insert(device, inode, hash, hints_[hash >> 58]);
}

void HardlinkSet::prefetch(std::uint64_t device, std::uint64_t inode) const {
  const std::uint64_t hash = key_hash(device, inode);
  const SlotsHint& hint = hints_[hash >> 58];
  __builtin_prefetch(&shards_[hash >> 58], 1);
  // Plain arithmetic: the place may be out of date, and is never read.
  const std::uintptr_t slots = hint.slots.load(std::memory_order_relaxed);
  if (slots != 0) {
    const std::size_t slot = hash & hint.mask.load(std::memory_order_relaxed);
    __builtin_prefetch(reinterpret_cast<const void*>(slots + slot * sizeof(Key)), 1);
  }
}

bool HardlinkSet::contains(std::uint64_t device, std::uint64_t inode) const {
  const std::uint64_t hash = key_hash(device, inode);
  Shard& shard = shards_[hash >> 58];
  std::lock_guard lock(shard.mutex);
  return shard.contains(device, inode, hash);
}

std::size_t HardlinkSet::size() const {
  std::size_t total = 0;
  for (std::size_t i = 0; i < kShardCount; ++i) {
    std::lock_guard lock(shards_[i].mutex);
    total += shards_[i].count + (shards_[i].has_zero_pair ? 1 : 0);
  }
  return total;
}

}  // namespace tessaly
