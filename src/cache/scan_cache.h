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

// Results keyed by the scan root exactly as the engine received it; roots are
// compared component-wise, so "/a/b" and "/a/b/" share one entry. Every store,
// whichever engine made the result, drops the entries 900 s old or older,
// then the oldest entries while more than four remain, then inserts the
// root's entry, so the cache never holds more than five entries. A lock with
// a poisoned mark guards the map: once an exception other than memory
// exhaustion has escaped while it was held, every operation becomes a no-op
// (lookups find nothing) and the entries stay as they are. Replaced, pruned
// and cleared results are released while the lock is held, so freeing a large
// result is paid by the operation that drops it.
class ScanCache {
 public:
  static constexpr std::chrono::seconds kMaxAge{900};
  static constexpr std::size_t kKeptBeforeInsert = 4;

  // `clock` must outlive the cache.
  explicit ScanCache(const Clock& clock = monotonic_clock());
  ScanCache(const ScanCache&) = delete;
  ScanCache& operator=(const ScanCache&) = delete;

  // Stores `result` under `root`. When memory runs out the root's entry is
  // gone (a stale result is never kept in its place), the cache stays usable
  // and std::bad_alloc reaches the caller; any other exception (from the
  // clock) leaves the cache poisoned and reaches the caller.
  void store(std::string_view root, std::shared_ptr<const ScanResult> result);

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
// once per successful scan. Cannot fail in a way the scan sees, other than
// memory exhaustion.
void store_scan_result(std::string_view root, std::shared_ptr<const ScanResult> result);

// clear_scan_cache() is public (<tessaly/scan.h>).

// The process-wide cache's result for `root`, or nullptr.
std::shared_ptr<const ScanResult> find_cached_scan(std::string_view root);

}  // namespace tessaly
