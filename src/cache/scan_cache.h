// The process-wide store of recent scan results, one entry per scanned root.
#pragma once

#include <tessaly/benchmark_engines.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/clock.h"
#include "base/paths.h"
#include "base/poison_mutex.h"
#include "result/result.h"

namespace tessaly {

// How a store treats the entries already in the cache.
enum class CachePolicy {
  // The parallel walker's: entries 900 s old or older are dropped, then the
  // oldest entry while more than four remain, then the root's entry is
  // inserted. A cache filled this way never holds more than five entries.
  kPruneAndCap,
  // The bulk-attribute engine's: only the root's entry is inserted or replaced.
  kReplaceOnly,
};

// Results keyed by the scan root exactly as the engine received it; roots are
// compared component-wise, so "/a/b" and "/a/b/" share one entry. A lock with
// a poisoned mark guards the map: once an exception has escaped while it was
// held, every operation becomes a no-op (lookups find nothing) and the entries
// stay as they are. Replaced, pruned and cleared results are released while
// the lock is held, so freeing a large result is paid by the operation that
// drops it.
class ScanCache {
 public:
  static constexpr std::chrono::seconds kMaxAge{900};
  static constexpr std::size_t kKeptBeforeInsert = 4;

  // `clock` must outlive the cache.
  explicit ScanCache(const Clock& clock = monotonic_clock());
  ScanCache(const ScanCache&) = delete;
  ScanCache& operator=(const ScanCache&) = delete;

  // Stores `result` under `root` with the given policy. An exception from the
  // clock or from memory exhaustion leaves the cache poisoned and reaches the
  // caller.
  void store(std::string_view root, std::shared_ptr<const ScanResult> result, CachePolicy policy);

  // Removes every entry.
  void clear();

  // The result stored under `root`, or nullptr.
  std::shared_ptr<const ScanResult> find(std::string_view root);

  std::size_t size();
  bool is_poisoned() const { return mutex_.is_poisoned(); }
  // Whether the cache's lock is held at this moment (see PoisonableMutex).
  bool is_locked() const { return mutex_.is_held(); }

 private:
  struct Entry {
    std::shared_ptr<const ScanResult> result;
    Instant cached_at;
  };
  // Component-wise path hash mixed with a per-process random seed.
  struct SeededPathHash {
    std::size_t operator()(std::string_view path) const;
    using is_transparent = void;
  };
  using Map = std::unordered_map<std::string, Entry, SeededPathHash, PathEqual>;

  void prune(Map& map);

  const Clock& clock_;
  PoisonableMutex mutex_;
  Map entries_;
};

// The process-wide cache, created on first use.
ScanCache& scan_cache();

// Stores a finished result in the process-wide cache; each engine calls it
// once per successful scan with its own policy. Cannot fail in a way the scan
// sees, other than memory exhaustion.
void store_scan_result(std::string_view root, std::shared_ptr<const ScanResult> result,
                       CachePolicy policy);

// clear_scan_cache() is public (<tessaly/scan.h>).

// The process-wide cache's result for `root`, or nullptr.
std::shared_ptr<const ScanResult> find_cached_scan(std::string_view root);

}  // namespace tessaly
