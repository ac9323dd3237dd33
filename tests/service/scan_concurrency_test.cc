// Concurrent use of the scan service: racing scan entries, cancellation at
// arbitrary moments of both engines, cache clears during scans, and the
// descriptors a scan leaves behind.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bulk/bulk_engine.h"
#include "cache/scan_cache.h"
#include "jwalk/jwalk_engine.h"
#include "progress/progress.h"
#include "service/scan_entry.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using Clock = std::chrono::steady_clock;
using testing::TempDir;

struct Counts {
  std::uint64_t files = 0;
  std::uint64_t dirs = 0;
  std::uint64_t bytes = 0;
  friend bool operator==(const Counts&, const Counts&) = default;
};

// `dirs` directories of `files_each` small files, two levels deep.
struct Tree {
  TempDir dir;
  Counts counts;

  Tree(int dirs, int files_each) {
    for (int d = 0; d < dirs; ++d) {
      const std::string parent = "p" + std::to_string(d % 10) + "/d" + std::to_string(d);
      for (int f = 0; f < files_each; ++f) {
        const std::string path = dir.write_file(parent + "/f" + std::to_string(f), 100 + f);
        counts.bytes += testing::allocated_size(path);
        ++counts.files;
      }
    }
    counts.dirs = static_cast<std::uint64_t>(dirs) + (dirs < 10 ? dirs : 10);
  }
};

Counts counts_of(const ScanResult& result) {
  return {result.files_found, result.dirs_found, result.total_size};
}

class ScanConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override { scan_cancel_flag().store(false); }
  void TearDown() override { scan_cancel_flag().store(false); }
};

TEST_F(ScanConcurrencyTest, RacingScanEntriesRunOneAtATime) {
  const Tree tree(60, 40);
  constexpr int kThreads = 8;
  constexpr int kRounds = 6;
  struct Call {
    Clock::time_point start, end;
    std::expected<BenchmarkResult, std::string> outcome;
  };
  std::mutex mutex;
  std::vector<Call> calls;
  std::barrier sync(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        sync.arrive_and_wait();
        const auto start = Clock::now();
        auto outcome = run_scan_benchmark(tree.dir.path(), 4, {}, "jwalk");
        const auto end = Clock::now();
        std::lock_guard lock(mutex);
        calls.push_back({start, end, std::move(outcome)});
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  int successes = 0;
  int refusals = 0;
  std::vector<const Call*> succeeded;
  for (const Call& call : calls) {
    if (call.outcome) {
      ++successes;
      succeeded.push_back(&call);
      EXPECT_EQ(call.outcome->files_found, tree.counts.files);
      EXPECT_EQ(call.outcome->dirs_found, tree.counts.dirs);
      EXPECT_EQ(call.outcome->total_size, tree.counts.bytes);
    } else {
      ++refusals;
      EXPECT_EQ(call.outcome.error(), "Scan already in progress");
    }
  }
  EXPECT_GE(successes, kRounds);
  EXPECT_GT(refusals, 0);
  // A scan holds the guard from just after its call starts to just before it
  // returns, so no other scan can both start and end well inside it.
  const auto margin = std::chrono::milliseconds(20);
  for (const Call* outer : succeeded) {
    for (const Call* inner : succeeded) {
      if (outer == inner) continue;
      EXPECT_FALSE(inner->start > outer->start + margin && inner->end + margin < outer->end)
          << "two scans ran at the same time";
    }
  }
}

// Cancels each scan after a random delay spread over a scan's duration: every
// scan must end cancelled or complete and exact, never partial, and must leave
// no descriptor open and nothing running that a following scan could see.
void cancel_at_random_moments(bool bulk) {
  const Tree tree(120, 25);
  const auto scan = [&](std::string_view root) {
    return bulk ? scan_with_bulk_attrs(root, 4, {}) : scan_with_jwalk(root, 4, {});
  };
  const auto fds = testing::open_descriptor_names();
  const auto reference_start = Clock::now();
  const auto reference = scan(tree.dir.path());
  const auto duration = Clock::now() - reference_start;
  ASSERT_TRUE(reference.has_value()) << reference.error();
  ASSERT_EQ(counts_of(**reference), tree.counts);

  std::mt19937 random(12345);
  const auto longest = std::chrono::duration_cast<std::chrono::microseconds>(duration) * 3 / 2;
  std::uniform_int_distribution<long> delay_us(0, longest.count() + 1);
  int cancelled = 0;
  int complete = 0;
  for (int i = 0; i < 40; ++i) {
    scan_cancel_flag().store(false);
    const auto delay = std::chrono::microseconds(i == 0 ? 0 : delay_us(random));
    std::thread canceller([delay] {
      std::this_thread::sleep_for(delay);
      request_scan_cancel();
    });
    if (i == 0) canceller.join();  // cancelled before the scan even starts
    const auto outcome = scan(tree.dir.path());
    if (canceller.joinable()) canceller.join();
    if (outcome) {
      ++complete;
      EXPECT_EQ(counts_of(**outcome), tree.counts)
          << "partial result after " << delay.count() << " us";
    } else {
      ++cancelled;
      EXPECT_EQ(outcome.error(), "Scan cancelled");
    }
    EXPECT_EQ(testing::open_descriptor_names(), fds);
  }
  EXPECT_GT(cancelled, 0);

  scan_cancel_flag().store(false);
  const auto after = scan(tree.dir.path());
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(counts_of(**after), tree.counts);
  EXPECT_EQ(testing::open_descriptor_names(), fds);
  ::testing::Test::RecordProperty("cancelled", cancelled);
  ::testing::Test::RecordProperty("complete", complete);
}

TEST_F(ScanConcurrencyTest, CancellationAtRandomMomentsOfTheParallelWalker) {
  cancel_at_random_moments(false);
}

TEST_F(ScanConcurrencyTest, CancellationAtRandomMomentsOfTheBulkEngine) {
  cancel_at_random_moments(true);
}

TEST_F(ScanConcurrencyTest, CancellationThroughTheScanEntry) {
  const Tree tree(120, 25);
  std::atomic<bool> done{false};
  std::thread canceller([&] {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pause_us(0, 20000);
    while (!done.load()) {
      std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
      request_scan_cancel();
    }
  });
  int cancelled = 0;
  for (int i = 0; i < 20; ++i) {
    const auto outcome = run_scan_benchmark(tree.dir.path(), 4, {}, "jwalk");
    if (outcome) {
      EXPECT_EQ(outcome->files_found, tree.counts.files);
      EXPECT_EQ(outcome->dirs_found, tree.counts.dirs);
      EXPECT_EQ(outcome->total_size, tree.counts.bytes);
    } else {
      ++cancelled;
      EXPECT_EQ(outcome.error(), "Scan cancelled");
    }
  }
  done.store(true);
  canceller.join();
  EXPECT_GT(cancelled, 0);
}

TEST_F(ScanConcurrencyTest, ClearingTheCacheDuringScans) {
  const Tree tree(60, 30);
  std::atomic<bool> done{false};
  std::atomic<int> clears{0};
  std::thread clearer([&] {
    while (!done.load()) {
      clear_scan_cache();
      (void)find_cached_scan(tree.dir.path());
      clears.fetch_add(1);
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 16; ++i) {
    const auto outcome = i % 2 ? scan_with_bulk_attrs(tree.dir.path(), 4, {})
                               : scan_with_jwalk(tree.dir.path(), 4, {});
    ASSERT_TRUE(outcome.has_value()) << outcome.error();
    EXPECT_EQ(counts_of(**outcome), tree.counts);
  }
  done.store(true);
  clearer.join();
  EXPECT_GT(clears.load(), 0);
  EXPECT_FALSE(scan_cache().is_poisoned());

  // The cache still works after the storm.
  clear_scan_cache();
  const auto last = scan_with_jwalk(tree.dir.path(), 4, {});
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(find_cached_scan(tree.dir.path()), *last);
}

// Raw engines loop in two threads beside scan() looping in a third, whose
// every request cancels its own token during the scan and is destroyed right
// after the call. A token reaches only its own scan: the raw engines never
// stop, and (under ThreadSanitizer) nothing reads a token after it is gone.
TEST_F(ScanConcurrencyTest, RawEnginesBesideScansWhoseTokensComeAndGo) {
  const Tree tree(12, 6);
  constexpr int kRounds = 20;
  std::barrier start(3);
  const auto raw = [&](bool bulk) {
    start.arrive_and_wait();
    for (int i = 0; i < kRounds; ++i) {
      const auto outcome = bulk ? scan_with_bulk_attrs(tree.dir.path(), 4, {})
                                : scan_with_jwalk(tree.dir.path(), 4, {});
      ASSERT_TRUE(outcome.has_value()) << outcome.error();
      EXPECT_EQ(counts_of(**outcome), tree.counts);
    }
  };
  std::thread jwalk(raw, false);
  std::thread bulk(raw, true);
  start.arrive_and_wait();
  for (int i = 0; i < kRounds * 2; ++i) {
    auto request = std::make_unique<ScanRequest>();
    request->root = tree.dir.path();
    request->engine = i % 2 ? "jwalk" : "bulk-attrs";
    request->volume_probe = VolumeProbe::kSkip;
    request->on_progress = [token = request->cancel](const ScanProgress&) {
      token.request_cancel();
    };
    const auto outcome = scan(*request);
    request.reset();
    if (outcome) {
      EXPECT_EQ(counts_of(*outcome->result), tree.counts);
    } else {
      EXPECT_EQ(outcome.error().kind, ScanErrorKind::kCancelled) << outcome.error().message;
    }
  }
  jwalk.join();
  bulk.join();
}

}  // namespace
}  // namespace tessaly
