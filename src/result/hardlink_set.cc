#include "result/hardlink_set.h"

#include <vector>

#include "base/hash.h"

namespace tessaly {
namespace {

// One mix per pair: for a given device the inode passes through bijective
// steps only, so the inodes of one device never collide before the mask.
std::uint64_t key_hash(std::uint64_t device, std::uint64_t inode) {
  return hash_mix(inode ^ (device * 0x9e3779b97f4a7c15ULL));
}

}  // namespace

// Open addressing with linear probing: 16 bytes per slot and no node per pair.
// The all-zero pair marks an empty slot, so its own presence is kept aside.
// Slots are only ever filled, never changed or emptied, and a table replaced
// by a larger one is kept until the set ends: so a pair found without the lock
// is surely there. A slot's inode is stored after its device, with release,
// so that a nonzero inode read with acquire comes with its own device.
struct HardlinkSet::Table {
  struct Slot {
    std::atomic<std::uint64_t> device{0};
    std::atomic<std::uint64_t> inode{0};
  };
  explicit Table(std::size_t size) : mask(size - 1), slots(std::make_unique<Slot[]>(size)) {}

  // True when the pair, of a nonzero inode, is surely there; false when it
  // may not be (only the shard's lock tells).
  bool surely_holds(std::uint64_t device, std::uint64_t inode, std::uint64_t hash) const {
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots[i];
      const std::uint64_t slot_inode = slot.inode.load(std::memory_order_acquire);
      const std::uint64_t slot_device = slot.device.load(std::memory_order_relaxed);
      if (slot_inode == inode && slot_device == device) return true;
      if (slot_inode == 0 && slot_device == 0) return false;
    }
  }

  const std::size_t mask;
  const std::unique_ptr<Slot[]> slots;
};

struct alignas(64) HardlinkSet::Shard {
  std::mutex mutex;
  // Every table the shard had, the current one last.
  std::vector<std::unique_ptr<Table>> tables;
  std::size_t count = 0;
  bool has_zero_pair = false;

  // Under the lock.
  bool insert(std::uint64_t device, std::uint64_t inode, std::uint64_t hash,
              std::atomic<const Table*>& published) {
    if (device == 0 && inode == 0) {
      if (has_zero_pair) return false;
      has_zero_pair = true;
      return true;
    }
    if (tables.empty() || (count + 1) * 4 > (tables.back()->mask + 1) * 3) {
      grow();
      published.store(tables.back().get(), std::memory_order_release);
    }
    const Table& table = *tables.back();
    for (std::size_t i = hash & table.mask;; i = (i + 1) & table.mask) {
      Table::Slot& slot = table.slots[i];
      const std::uint64_t slot_device = slot.device.load(std::memory_order_relaxed);
      const std::uint64_t slot_inode = slot.inode.load(std::memory_order_relaxed);
      if (slot_device == 0 && slot_inode == 0) {
        slot.device.store(device, std::memory_order_relaxed);
        slot.inode.store(inode, std::memory_order_release);
        ++count;
        return true;
      }
      if (slot_device == device && slot_inode == inode) return false;
    }
  }

  // Under the lock.
  bool contains(std::uint64_t device, std::uint64_t inode, std::uint64_t hash) const {
    if (device == 0 && inode == 0) return has_zero_pair;
    if (tables.empty()) return false;
    const Table& table = *tables.back();
    for (std::size_t i = hash & table.mask;; i = (i + 1) & table.mask) {
      const Table::Slot& slot = table.slots[i];
      const std::uint64_t slot_device = slot.device.load(std::memory_order_relaxed);
      const std::uint64_t slot_inode = slot.inode.load(std::memory_order_relaxed);
      if (slot_device == 0 && slot_inode == 0) return false;
      if (slot_device == device && slot_inode == inode) return true;
    }
  }

  // Under the lock: a table twice the size (64 slots at first) holding every
  // pair, made whole before it is published.
  void grow() {
    const Table* old = tables.empty() ? nullptr : tables.back().get();
    auto bigger = std::make_unique<Table>(old == nullptr ? 64 : (old->mask + 1) * 2);
    if (old != nullptr) {
      for (std::size_t at = 0; at <= old->mask; ++at) {
        const std::uint64_t device = old->slots[at].device.load(std::memory_order_relaxed);
        const std::uint64_t inode = old->slots[at].inode.load(std::memory_order_relaxed);
        if (device == 0 && inode == 0) continue;
        std::size_t i = key_hash(device, inode) & bigger->mask;
        while (bigger->slots[i].device.load(std::memory_order_relaxed) != 0 ||
               bigger->slots[i].inode.load(std::memory_order_relaxed) != 0) {
          i = (i + 1) & bigger->mask;
        }
        bigger->slots[i].device.store(device, std::memory_order_relaxed);
        bigger->slots[i].inode.store(inode, std::memory_order_relaxed);
      }
    }
    tables.push_back(std::move(bigger));
  }
};

HardlinkSet::HardlinkSet()
    : shards_(std::make_unique<Shard[]>(kShardCount)),
      tables_(std::make_unique<std::atomic<const Table*>[]>(kShardCount)) {}

HardlinkSet::~HardlinkSet() = default;

bool HardlinkSet::insert(std::uint64_t device, std::uint64_t inode) {
  static_assert(kShardCount == 64, "the shard index takes the top six bits of the hash");
  const std::uint64_t hash = key_hash(device, inode);
  // The top bits pick the shard, the low bits the slot within it.
  const std::size_t at = hash >> 58;
  if (inode != 0) {
    const Table* table = tables_[at].load(std::memory_order_acquire);
    if (table != nullptr && table->surely_holds(device, inode, hash)) return false;
  }
  Shard& shard = shards_[at];
  std::lock_guard lock(shard.mutex);
  return shard.insert(device, inode, hash, tables_[at]);
}

void HardlinkSet::prefetch(std::uint64_t device, std::uint64_t inode) const {
  const std::uint64_t hash = key_hash(device, inode);
  __builtin_prefetch(&shards_[hash >> 58], 1);
  if (const Table* table = tables_[hash >> 58].load(std::memory_order_acquire))
    __builtin_prefetch(&table->slots[hash & table->mask], 1);
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
