#include "result/hardlink_set.h"

#include <bit>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "base/hash.h"

namespace tessaly {
namespace {

// One mix per pair: for a given device the inode passes through bijective
// steps only, so the inodes of one device never collide before the mask.
std::uint64_t key_hash(std::uint64_t device, std::uint64_t inode) {
  return hash_mix(inode ^ (device * 0x9e3779b97f4a7c15ULL));
}

// The top bits pick the shard, the low bits the slot within it.
constexpr unsigned kShardShift = 58;

// Open addressing with linear probing: 16 bytes per slot and no node per pair.
// The all-zero pair marks an empty slot, so its own presence is kept aside.
// Slots are only ever filled, never changed or emptied, and a table replaced
// by a larger one is kept until the set ends: so a pair found without the lock
// is surely there. A slot's inode is stored after its device, with release,
// so that a nonzero inode read with acquire comes with its own device.
struct Slot {
  std::atomic<std::uint64_t> device{0};
  std::atomic<std::uint64_t> inode{0};
};

// A table's slots start on a cache line, so the six low bits of their address
// are free: a shard publishes its table as that address with the base-2
// logarithm of its size in those bits, one word that a lookup reads before
// the slot itself, with no table header between them to miss in the cache.
constexpr std::uintptr_t kSizeBits = 63;
constexpr std::size_t kTableAlign = 64;
static_assert(kSizeBits < kTableAlign);

Slot* slots_of(std::uintptr_t word) { return reinterpret_cast<Slot*>(word & ~kSizeBits); }
std::size_t mask_of(std::uintptr_t word) { return (std::size_t{1} << (word & kSizeBits)) - 1; }

struct FreeSlots {
  void operator()(Slot* slots) const {
    ::operator delete[](static_cast<void*>(slots), std::align_val_t{kTableAlign});
  }
};
using SlotBlock = std::unique_ptr<Slot[], FreeSlots>;

SlotBlock make_slots(std::size_t size) {
  void* raw = ::operator new[](size * sizeof(Slot), std::align_val_t{kTableAlign});
  Slot* slots = static_cast<Slot*>(raw);
  for (std::size_t i = 0; i < size; ++i) ::new (static_cast<void*>(slots + i)) Slot();
  return SlotBlock(slots);
}

// True when the pair, of a nonzero inode, is surely in the table `word`;
// false when it may not be (only the shard's lock tells).
bool surely_holds(std::uintptr_t word, std::uint64_t device, std::uint64_t inode,
                  std::uint64_t hash) {
  const Slot* slots = slots_of(word);
  const std::size_t mask = mask_of(word);
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots[i];
    const std::uint64_t slot_inode = slot.inode.load(std::memory_order_acquire);
    const std::uint64_t slot_device = slot.device.load(std::memory_order_relaxed);
    if (slot_inode == inode && slot_device == device) return true;
    if (slot_inode == 0 && slot_device == 0) return false;
  }
}

}  // namespace

void HardlinkSet::FreeLines::operator()(void* memory) const { std::free(memory); }

struct alignas(64) HardlinkSet::Shard {
  std::mutex mutex;
  // Every table the shard had, the current one last.
  std::vector<SlotBlock> tables;
  std::uintptr_t current = 0;  // the current table's word; 0 before the first
  std::size_t count = 0;
  bool has_zero_pair = false;

  // Under the lock.
  bool insert(std::uint64_t device, std::uint64_t inode, std::uint64_t hash,
              std::atomic<std::uintptr_t>& published) {
    if (device == 0 && inode == 0) {
      if (has_zero_pair) return false;
      has_zero_pair = true;
      return true;
    }
    if (current == 0 || (count + 1) * 4 > (mask_of(current) + 1) * 3) {
      grow();
      published.store(current, std::memory_order_release);
    }
    Slot* slots = slots_of(current);
    const std::size_t mask = mask_of(current);
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = slots[i];
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
    return current != 0 && surely_holds(current, device, inode, hash);
  }

  // Under the lock: a table twice the size (64 slots at first) holding every
  // pair, made whole before it is published.
  void grow() {
    const unsigned size_log = current == 0 ? 6 : static_cast<unsigned>(current & kSizeBits) + 1;
    SlotBlock bigger = make_slots(std::size_t{1} << size_log);
    const std::size_t mask = (std::size_t{1} << size_log) - 1;
    if (current != 0) {
      const Slot* old = slots_of(current);
      for (std::size_t at = 0; at <= mask_of(current); ++at) {
        const std::uint64_t device = old[at].device.load(std::memory_order_relaxed);
        const std::uint64_t inode = old[at].inode.load(std::memory_order_relaxed);
        if (device == 0 && inode == 0) continue;
        std::size_t i = key_hash(device, inode) & mask;
        while (bigger[i].device.load(std::memory_order_relaxed) != 0 ||
               bigger[i].inode.load(std::memory_order_relaxed) != 0) {
          i = (i + 1) & mask;
        }
        bigger[i].device.store(device, std::memory_order_relaxed);
        bigger[i].inode.store(inode, std::memory_order_relaxed);
      }
    }
    tables.reserve(tables.size() + 1);  // nothing is lost when this throws
    current = reinterpret_cast<std::uintptr_t>(bigger.get()) | size_log;
    tables.push_back(std::move(bigger));
  }
};

HardlinkSet::HardlinkSet()
    : shards_(std::make_unique<Shard[]>(kShardCount)),
      tables_(std::make_unique<std::atomic<std::uintptr_t>[]>(kShardCount)) {}

HardlinkSet::~HardlinkSet() = default;

bool HardlinkSet::claim_dense(std::uint64_t device) {
  for (;;) {
    int state = dense_state_.load(std::memory_order_acquire);
    if (state == 2) return dense_device_.load(std::memory_order_relaxed) == device;
    if (state == 1) {
      // Another thread is between its claim and its store, making the lines.
      std::this_thread::yield();
      continue;
    }
    if (!dense_state_.compare_exchange_strong(state, 1, std::memory_order_acquire)) continue;
    // The lines come with the first linked file, so a scan without any
    // allocates none. calloc's zeroed pages (an all-zero atomic word holds 0)
    // are touched only where lines are claimed; the lines start on a cache
    // line of the block.
    static_assert(sizeof(Line) == kLineBytes);
    line_memory_.reset(std::calloc(kLineCount + 1, kLineBytes));
    if (!line_memory_) {
      dense_state_.store(0, std::memory_order_release);
      throw std::bad_alloc();
    }
    const auto at = reinterpret_cast<std::uintptr_t>(line_memory_.get());
    lines_ = reinterpret_cast<Line*>((at + kLineBytes - 1) & ~std::uintptr_t{kLineBytes - 1});
    dense_device_.store(device, std::memory_order_relaxed);
    dense_state_.store(2, std::memory_order_release);
    return true;
  }
}

HardlinkSet::Line* HardlinkSet::line_for(std::uint64_t inode, bool claim) const {
  const std::uint64_t tag = inode / kBlockInodes + 1;
  const std::size_t home = home_line(inode);
  for (std::size_t probe = 0; probe < kProbeLines; ++probe) {
    Line& line = lines_[(home + probe) & (kLineCount - 1)];
    std::uint64_t seen = line.tag.load(std::memory_order_acquire);
    if (seen == 0) {
      if (!claim) return nullptr;
      // Of the threads claiming this free line, for one block or several,
      // one wins; a loser for the same block finds it taken by that block.
      if (line.tag.compare_exchange_strong(seen, tag, std::memory_order_acq_rel)) return &line;
    }
    if (seen == tag) return &line;
  }
  return nullptr;
}

bool HardlinkSet::insert(std::uint64_t device, std::uint64_t inode) {
  // Once the dense device is set, without a call.
  if (dense(device) || claim_dense(device)) {
    if (Line* line = line_for(inode, true)) {
      const std::uint64_t bit = inode % kBlockInodes;
      std::atomic<std::uint64_t>& word = line->bits[bit / 64];
      const std::uint64_t mask = std::uint64_t{1} << (bit % 64);
      // A repeated sighting reads the line without taking it from other cores.
      if ((word.load(std::memory_order_acquire) & mask) != 0) return false;
      return (word.fetch_or(mask, std::memory_order_acq_rel) & mask) == 0;
    }
  }
  return shard_insert(device, inode);
}

bool HardlinkSet::shard_insert(std::uint64_t device, std::uint64_t inode) {
  static_assert(kShardCount == std::size_t{1} << (64 - kShardShift));
  const std::uint64_t hash = key_hash(device, inode);
  const std::size_t at = hash >> kShardShift;
  if (inode != 0) {
    const std::uintptr_t table = tables_[at].load(std::memory_order_acquire);
    if (table != 0 && surely_holds(table, device, inode, hash)) return false;
  }
  Shard& shard = shards_[at];
  std::lock_guard lock(shard.mutex);
  return shard.insert(device, inode, hash, tables_[at]);
}

void HardlinkSet::prefetch_shard(std::uint64_t device, std::uint64_t inode) const {
  const std::uint64_t hash = key_hash(device, inode);
  // The shard's lock line too, for a first sighting's insert.
  __builtin_prefetch(&shards_[hash >> kShardShift], 1);
  const std::uintptr_t table = tables_[hash >> kShardShift].load(std::memory_order_acquire);
  if (table != 0) __builtin_prefetch(&slots_of(table)[hash & mask_of(table)], 1);
}

bool HardlinkSet::contains(std::uint64_t device, std::uint64_t inode) const {
  if (dense(device)) {
    if (const Line* line = line_for(inode, false)) {
      const std::uint64_t bit = inode % kBlockInodes;
      return (line->bits[bit / 64].load(std::memory_order_acquire) >> (bit % 64) & 1) != 0;
    }
  }
  return shard_contains(device, inode);
}

bool HardlinkSet::shard_contains(std::uint64_t device, std::uint64_t inode) const {
  const std::uint64_t hash = key_hash(device, inode);
  Shard& shard = shards_[hash >> kShardShift];
  std::lock_guard lock(shard.mutex);
  return shard.contains(device, inode, hash);
}

std::size_t HardlinkSet::size() const {
  std::size_t total = 0;
  for (std::size_t i = 0; dense_state_.load(std::memory_order_acquire) == 2 && i < kLineCount;
       ++i) {
    for (const std::atomic<std::uint64_t>& word : lines_[i].bits) {
      total += static_cast<std::size_t>(std::popcount(word.load(std::memory_order_acquire)));
    }
  }
  for (std::size_t i = 0; i < kShardCount; ++i) {
    std::lock_guard lock(shards_[i].mutex);
    total += shards_[i].count + (shards_[i].has_zero_pair ? 1 : 0);
  }
  return total;
}

}  // namespace tessaly
