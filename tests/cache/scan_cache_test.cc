#include "cache/scan_cache.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/clock.h"
#include "base/poison_mutex.h"
#include "result/result.h"

namespace tessaly {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A result whose release is observed: `freed` is set when it is destroyed,
// `freed_under_lock` when that happened while the cache's lock was held.
struct Tracked {
  std::shared_ptr<const ScanResult> result;
  std::shared_ptr<std::atomic<bool>> freed = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<bool>> freed_under_lock = std::make_shared<std::atomic<bool>>(false);
};

Tracked tracked_result(const ScanCache& cache, std::uint64_t files = 1) {
  Tracked tracked;
  auto* raw = new ScanResult();
  raw->files_found = files;
  tracked.result = std::shared_ptr<const ScanResult>(
      raw, [&cache, freed = tracked.freed, under = tracked.freed_under_lock](const ScanResult* r) {
        under->store(cache.is_locked());
        freed->store(true);
        delete r;
      });
  return tracked;
}

std::shared_ptr<const ScanResult> result_with(std::uint64_t files) {
  auto result = std::make_shared<ScanResult>();
  result->files_found = files;
  return result;
}

class ThrowingClock final : public Clock {
 public:
  Instant now() const override {
    if (armed.load()) throw std::runtime_error("clock failed");
    return Instant(seconds(100));
  }
  std::atomic<bool> armed{false};
};

TEST(ScanCache, SecondScanOfARootReplacesAndFreesTheFirst) {
  ManualClock clock;
  ScanCache cache(clock);
  Tracked first = tracked_result(cache, 1);
  cache.store("/data", first.result);
  first.result.reset();
  EXPECT_FALSE(first.freed->load());

  cache.store("/data", result_with(2));
  EXPECT_TRUE(first.freed->load());
  EXPECT_TRUE(first.freed_under_lock->load());
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.find("/data")->files_found, 2u);
}

TEST(ScanCache, ReplacedResultHeldByCallerStaysValid) {
  ManualClock clock;
  ScanCache cache(clock);
  Tracked first = tracked_result(cache, 7);
  cache.store("/data", first.result);
  cache.store("/data", result_with(8));
  EXPECT_FALSE(first.freed->load());
  EXPECT_EQ(first.result->files_found, 7u);
  first.result.reset();
  EXPECT_TRUE(first.freed->load());
  EXPECT_FALSE(first.freed_under_lock->load());
}

TEST(ScanCache, RootsAreComparedComponentWise) {
  ManualClock clock;
  ScanCache cache(clock);
  cache.store("/a/b", result_with(1));
  cache.store("/a/b/", result_with(2));
  cache.store("/a//b", result_with(3));
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.find("/a/b")->files_found, 3u);
  cache.store("a/b", result_with(4));
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(cache.find("/a/b/")->files_found, 3u);
  EXPECT_EQ(cache.find("a/b")->files_found, 4u);
  EXPECT_EQ(cache.find("/a"), nullptr);
}

TEST(ScanCache, WalkerPolicyKeepsFiveAndDropsTheOldest) {
  ManualClock clock;
  ScanCache cache(clock);
  Tracked oldest = tracked_result(cache);
  cache.store("/r0", oldest.result);
  oldest.result.reset();
  for (int i = 1; i < 6; ++i) {
    clock.advance(seconds(1));
    cache.store("/r" + std::to_string(i), result_with(static_cast<std::uint64_t>(i)));
  }
  EXPECT_EQ(cache.size(), 5u);
  EXPECT_EQ(cache.find("/r0"), nullptr);
  EXPECT_TRUE(oldest.freed->load());
  EXPECT_TRUE(oldest.freed_under_lock->load());
  for (int i = 1; i < 6; ++i) EXPECT_NE(cache.find("/r" + std::to_string(i)), nullptr) << i;

  clock.advance(seconds(1));
  cache.store("/r6", result_with(6));
  EXPECT_EQ(cache.size(), 5u);
  EXPECT_EQ(cache.find("/r1"), nullptr);
}

TEST(ScanCache, CapRemovesOneEvenWhenTheRootIsAlreadyStored) {
  ManualClock clock;
  ScanCache cache(clock);
  for (int i = 0; i < 5; ++i) {
    cache.store("/r" + std::to_string(i), result_with(1));
    clock.advance(milliseconds(10));
  }
  cache.store("/r4", result_with(2));
  EXPECT_EQ(cache.size(), 4u);
  EXPECT_EQ(cache.find("/r0"), nullptr);
  EXPECT_EQ(cache.find("/r4")->files_found, 2u);
}

TEST(ScanCache, EveryStoreDropsAgedEntries) {
  ManualClock clock;
  ScanCache cache(clock);
  for (int i = 0; i < 6; ++i) {
    cache.store("/r" + std::to_string(i), result_with(1));
    clock.advance(seconds(1000));
  }
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_NE(cache.find("/r5"), nullptr);
}

TEST(ScanCache, AgedEntriesGoAtTheNextStore) {
  ManualClock clock;
  ScanCache cache(clock);
  cache.store("/old", result_with(1));
  clock.advance(seconds(300));
  cache.store("/young", result_with(2));
  clock.advance(seconds(600));
  cache.store("/next", result_with(3));
  EXPECT_EQ(cache.find("/old"), nullptr);
  EXPECT_NE(cache.find("/young"), nullptr);
  EXPECT_NE(cache.find("/next"), nullptr);
  EXPECT_EQ(cache.size(), 2u);
}

TEST(ScanCache, AgeBoundaryIsNineHundredWholeSeconds) {
  ManualClock clock;
  ScanCache cache(clock);
  cache.store("/a", result_with(1));
  clock.advance(seconds(899) + milliseconds(999));
  cache.store("/b", result_with(2));
  EXPECT_NE(cache.find("/a"), nullptr);
  clock.advance(milliseconds(1));
  cache.store("/c", result_with(3));
  EXPECT_EQ(cache.find("/a"), nullptr);
  EXPECT_NE(cache.find("/b"), nullptr);
}

TEST(ScanCache, EntryFromTheFutureIsKept) {
  ManualClock clock(std::chrono::hours(10));
  ScanCache cache(clock);
  cache.store("/future", result_with(1));
  clock.set(std::chrono::hours(1));
  cache.store("/now", result_with(2));
  EXPECT_NE(cache.find("/future"), nullptr);
}

TEST(ScanCache, ClearReleasesEveryResultUnderTheLock) {
  ManualClock clock;
  ScanCache cache(clock);
  Tracked a = tracked_result(cache);
  Tracked b = tracked_result(cache);
  cache.store("/a", a.result);
  cache.store("/b", b.result);
  a.result.reset();
  cache.clear();
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_TRUE(a.freed->load());
  EXPECT_TRUE(a.freed_under_lock->load());
  EXPECT_FALSE(b.freed->load());
  EXPECT_EQ(b.result->files_found, 1u);
  cache.clear();
  cache.clear();
  EXPECT_EQ(cache.size(), 0u);
}

TEST(ScanCache, ExceptionWhileLockedPoisonsAndFreezes) {
  ThrowingClock clock;
  ScanCache cache(clock);
  cache.store("/kept", result_with(1));
  clock.armed.store(true);
  EXPECT_THROW(cache.store("/fails", result_with(2)), std::runtime_error);
  clock.armed.store(false);
  EXPECT_TRUE(cache.is_poisoned());
  EXPECT_FALSE(cache.is_locked());

  cache.store("/later", result_with(3));
  cache.clear();
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.find("/kept"), nullptr);
  EXPECT_EQ(cache.find("/later"), nullptr);
}

TEST(ScanCache, ConcurrentStoresClearsAndLookups) {
  ScanCache cache;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        cache.store("/root" + std::to_string((i + t) % 9),
                    result_with(static_cast<std::uint64_t>(i)));
      }
    });
  }
  threads.emplace_back([&] {
    while (!stop.load()) {
      if (auto found = cache.find("/root3")) {
        EXPECT_LT(found->files_found, 2000u);
      }
      cache.clear();
    }
  });
  for (std::size_t i = 0; i < 3; ++i) threads[i].join();
  stop.store(true);
  threads.back().join();
  EXPECT_LE(cache.size(), 5u);
  EXPECT_FALSE(cache.is_poisoned());
}

TEST(ProcessWideCache, StoreFindAndClear) {
  clear_scan_cache();
  const auto result = result_with(11);
  store_scan_result("/process/root", result);
  EXPECT_EQ(find_cached_scan("/process/root/"), result);
  EXPECT_EQ(&scan_cache(), &scan_cache());
  std::thread other([] { clear_scan_cache(); });
  other.join();
  EXPECT_EQ(find_cached_scan("/process/root"), nullptr);
  EXPECT_EQ(scan_cache().size(), 0u);
}

TEST(PoisonableMutex, NormalExitLeavesItClean) {
  PoisonableMutex mutex;
  { const auto guard = mutex.lock(); }
  EXPECT_FALSE(mutex.is_poisoned());
  EXPECT_FALSE(mutex.is_held());
}

TEST(PoisonableMutex, EscapingExceptionPoisons) {
  PoisonableMutex mutex;
  try {
    const auto guard = mutex.lock();
    EXPECT_TRUE(mutex.is_held());
    throw std::runtime_error("holder failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(mutex.is_poisoned());
  const auto guard = mutex.lock();
  EXPECT_TRUE(guard.poisoned());
}

TEST(PoisonableMutex, LockTakenDuringUnwindingAndReleasedNormallyStaysClean) {
  PoisonableMutex mutex;
  struct LocksOnDestruction {
    PoisonableMutex& mutex;
    ~LocksOnDestruction() { const auto guard = mutex.lock(); }
  };
  try {
    LocksOnDestruction locker{mutex};
    throw std::runtime_error("unrelated");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(mutex.is_poisoned());
}

TEST(PoisonableMutex, TryLockFailsWhileAnotherThreadHoldsIt) {
  PoisonableMutex mutex;
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    const auto guard = mutex.lock();
    held.store(true);
    while (!release.load()) std::this_thread::yield();
  });
  while (!held.load()) std::this_thread::yield();
  EXPECT_FALSE(mutex.try_lock().has_value());
  release.store(true);
  holder.join();
  auto guard = mutex.try_lock();
  ASSERT_TRUE(guard.has_value());
  EXPECT_FALSE(guard->poisoned());
}

TEST(PoisonableMutex, MovedGuardReleasesOnce) {
  PoisonableMutex mutex;
  const auto free_elsewhere = [&mutex] {
    bool free = false;
    std::thread probe([&] { free = mutex.try_lock().has_value(); });
    probe.join();
    return free;
  };
  {
    std::optional<PoisonableMutex::Guard> outer;
    {
      auto inner = mutex.lock();
      outer.emplace(std::move(inner));
    }
    EXPECT_TRUE(mutex.is_held());
    EXPECT_FALSE(free_elsewhere());
  }
  EXPECT_FALSE(mutex.is_held());
  EXPECT_TRUE(free_elsewhere());
  EXPECT_FALSE(mutex.is_poisoned());
}

}  // namespace
}  // namespace tessaly
