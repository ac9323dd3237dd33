#include "cache/scan_cache.h"

#include <new>
#include <random>
#include <utility>

#include "base/hash.h"

namespace tessaly {
namespace {

std::size_t process_hash_seed() {
  static const std::size_t seed = [] {
    std::random_device source;
    return (static_cast<std::size_t>(source()) << 32) ^ static_cast<std::size_t>(source());
  }();
  return seed;
}

}  // namespace

std::size_t ScanCache::SeededPathHash::operator()(std::string_view path) const {
  return static_cast<std::size_t>(hash_mix(path_hash(path) ^ process_hash_seed()));
}

ScanCache::ScanCache(const Clock& clock) : clock_(clock) {}

void ScanCache::prune(Map& map) {
  for (auto it = map.begin(); it != map.end();) {
    const auto age = elapsed_between(it->second.cached_at, clock_.now());
    if (age && *age >= kMaxAge) {
      it = map.erase(it);
    } else {
      ++it;
    }
  }
  while (map.size() > kKeptBeforeInsert) {
    auto oldest = map.begin();
    for (auto it = std::next(map.begin()); it != map.end(); ++it) {
      if (it->second.cached_at < oldest->second.cached_at) oldest = it;
    }
    map.erase(oldest);
  }
}

void ScanCache::store(std::string_view root, std::shared_ptr<const ScanResult> result) {
  bool out_of_memory = false;
  {
    const PoisonableMutex::Guard guard = mutex_.lock();
    if (guard.poisoned()) return;
    prune(entries_);
    Entry entry{std::move(result), clock_.now()};
    const auto existing = entries_.find(root);
    if (existing != entries_.end()) {
      // The replaced result is released here, under the lock.
      existing->second = std::move(entry);
    } else {
      // An insertion that finds no memory leaves the map as it was: nothing
      // is half changed, so the lock is not poisoned.
      try {
        entries_.emplace(std::string(root), std::move(entry));
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
      }
    }
  }
  if (out_of_memory) throw std::bad_alloc();
}

void ScanCache::clear() {
  const PoisonableMutex::Guard guard = mutex_.lock();
  if (guard.poisoned()) return;
  entries_.clear();
}

std::shared_ptr<const ScanResult> ScanCache::find(std::string_view root) {
  const PoisonableMutex::Guard guard = mutex_.lock();
  if (guard.poisoned()) return nullptr;
  const auto it = entries_.find(root);
  return it == entries_.end() ? nullptr : it->second.result;
}

std::size_t ScanCache::size() {
  const PoisonableMutex::Guard guard = mutex_.lock();
  return entries_.size();
}

ScanCache& scan_cache() {
  // Never destroyed: a scan still storing its result while the process exits
  // must not find the cache gone, and the results held at exit (millions of
  // entries after a large scan) go with the process instead of being freed
  // one by one.
  static ScanCache* const cache = new ScanCache;
  return *cache;
}

void store_scan_result(std::string_view root, std::shared_ptr<const ScanResult> result) {
  scan_cache().store(root, std::move(result));
}

void clear_scan_cache() { scan_cache().clear(); }

std::shared_ptr<const ScanResult> find_cached_scan(std::string_view root) {
  return scan_cache().find(root);
}

}  // namespace tessaly
