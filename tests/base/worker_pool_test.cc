#include "base/worker_pool.h"
#include "support/temp_tree.h"
#include "support/threads.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace tessaly {
namespace {

using namespace std::chrono_literals;

TEST(ParseThreadCount, AcceptsPositiveDecimalCounts) {
  EXPECT_EQ(parse_thread_count("1"), 1u);
  EXPECT_EQ(parse_thread_count("4"), 4u);
  EXPECT_EQ(parse_thread_count("+8"), 8u);
  EXPECT_EQ(parse_thread_count("0012"), 12u);
}

TEST(ParseThreadCount, RejectsEverythingElse) {
  EXPECT_EQ(parse_thread_count(""), std::nullopt);
  EXPECT_EQ(parse_thread_count("0"), std::nullopt);
  EXPECT_EQ(parse_thread_count("+"), std::nullopt);
  EXPECT_EQ(parse_thread_count("-3"), std::nullopt);
  EXPECT_EQ(parse_thread_count(" 3"), std::nullopt);
  EXPECT_EQ(parse_thread_count("3 "), std::nullopt);
  EXPECT_EQ(parse_thread_count("3x"), std::nullopt);
  EXPECT_EQ(parse_thread_count("four"), std::nullopt);
  EXPECT_EQ(parse_thread_count("99999999999999999999999"), std::nullopt);
}

// Spawns a full tree of jobs, `fanout` children per job down to `depth`.
void spawn_tree(JobScope& scope, int depth, int fanout, std::atomic<int>& ran) {
  ran.fetch_add(1, std::memory_order_relaxed);
  if (depth == 0) return;
  for (int i = 0; i < fanout; ++i) {
    scope.spawn([&scope, depth, fanout, &ran] { spawn_tree(scope, depth - 1, fanout, ran); });
  }
}

TEST(JobScope, WaitsForEveryTransitivelySpawnedJob) {
  WorkerPool pool(3);
  std::atomic<int> ran{0};
  JobScope scope(pool);
  scope.spawn([&] { spawn_tree(scope, 6, 3, ran); });
  scope.wait();
  // 1 + 3 + 9 + ... + 3^6
  EXPECT_EQ(ran.load(), 1093);
}

TEST(JobScope, WaitWithoutJobsReturnsAtOnce) {
  WorkerPool pool(1);
  JobScope scope(pool);
  scope.wait();
  SUCCEED();
}

TEST(JobScope, CanBeReusedAfterWait) {
  WorkerPool pool(2);
  std::atomic<int> ran{0};
  JobScope scope(pool);
  for (int round = 1; round <= 3; ++round) {
    for (int i = 0; i < 10; ++i) scope.spawn([&] { ran.fetch_add(1); });
    scope.wait();
    EXPECT_EQ(ran.load(), round * 10);
  }
}

TEST(JobScope, RethrowsAnEscapedExceptionAfterTheOtherJobsFinish) {
  WorkerPool pool(2);
  std::atomic<int> finished{0};
  JobScope scope(pool);
  scope.spawn([] { throw std::runtime_error("job failed"); });
  for (int i = 0; i < 20; ++i) {
    scope.spawn([&] {
      std::this_thread::sleep_for(2ms);
      finished.fetch_add(1);
    });
  }
  try {
    scope.wait();
    FAIL() << "wait() returned normally";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "job failed");
    EXPECT_EQ(finished.load(), 20);
  }
  // The failure is reported once; the next wait is clean.
  scope.wait();
}

TEST(JobScope, ReportsOneOfSeveralFailuresOnce) {
  WorkerPool pool(2);
  JobScope scope(pool);
  scope.spawn([] { throw std::runtime_error("a"); });
  scope.spawn([] { throw std::runtime_error("b"); });
  std::string caught;
  try {
    scope.wait();
  } catch (const std::runtime_error& error) {
    caught = error.what();
  }
  EXPECT_TRUE(caught == "a" || caught == "b") << caught;
  EXPECT_NO_THROW(scope.wait());
}

TEST(JobScope, DestructorWaitsForOutstandingJobs) {
  WorkerPool pool(2);
  std::atomic<int> finished{0};
  {
    JobScope scope(pool);
    for (int i = 0; i < 8; ++i) {
      scope.spawn([&] {
        std::this_thread::sleep_for(5ms);
        finished.fetch_add(1);
      });
    }
  }
  EXPECT_EQ(finished.load(), 8);
}

TEST(JobScope, DestructorDiscardsAnUnreportedFailure) {
  WorkerPool pool(1);
  std::atomic<bool> ran{false};
  {
    JobScope scope(pool);
    scope.spawn([&] {
      ran = true;
      throw std::runtime_error("nobody waits");
    });
  }
  EXPECT_TRUE(ran.load());
}

TEST(JobScope, WaiterOnAnotherThreadSeesEveryJob) {
  WorkerPool pool(2);
  std::atomic<int> ran{0};
  std::thread waiter([&] {
    JobScope scope(pool);
    scope.spawn([&] { spawn_tree(scope, 5, 4, ran); });
    scope.wait();
  });
  waiter.join();
  EXPECT_EQ(ran.load(), 1365);
}

TEST(JobScope, NestedScopeOnASingleWorkerHelpsInsteadOfDeadlocking) {
  WorkerPool pool(1);
  std::atomic<int> inner_ran{0};
  std::atomic<bool> outer_done{false};
  JobScope outer(pool);
  outer.spawn([&] {
    // The only worker waits here; the inner jobs can only run if it runs them.
    JobScope inner(pool);
    for (int i = 0; i < 50; ++i) inner.spawn([&] { inner_ran.fetch_add(1); });
    inner.wait();
    outer_done = inner_ran.load() == 50;
  });
  outer.wait();
  EXPECT_TRUE(outer_done.load());
}

TEST(JobScope, NestedScopeRethrowsInsideTheJobThatWaits) {
  WorkerPool pool(2);
  std::atomic<bool> caught_inside{false};
  JobScope outer(pool);
  outer.spawn([&] {
    JobScope inner(pool);
    inner.spawn([] { throw std::logic_error("inner"); });
    try {
      inner.wait();
    } catch (const std::logic_error&) {
      caught_inside = true;
    }
  });
  EXPECT_NO_THROW(outer.wait());
  EXPECT_TRUE(caught_inside.load());
}

TEST(WorkerPool, RunsJobsOnItsOwnThreadsOnly) {
  WorkerPool pool(2);
  std::mutex mutex;
  std::set<std::thread::id> seen;
  std::atomic<int> outside{0};
  JobScope scope(pool);
  for (int i = 0; i < 64; ++i) {
    scope.spawn([&] {
      if (!pool.is_worker_thread()) outside.fetch_add(1);
      std::lock_guard lock(mutex);
      seen.insert(std::this_thread::get_id());
    });
  }
  scope.wait();
  EXPECT_EQ(outside.load(), 0);
  EXPECT_FALSE(pool.is_worker_thread());
  EXPECT_LE(seen.size(), 2u);
  EXPECT_EQ(seen.count(std::this_thread::get_id()), 0u);
}

TEST(JobScope, NewestJobFirstAndDeferredJobsLast) {
  WorkerPool pool(1);
  std::mutex mutex;
  std::condition_variable opened;
  bool gate_open = false;
  bool gate_reached = false;
  std::vector<std::string> order;
  JobScope scope(pool);
  // Holds the only worker until every job below is queued.
  scope.spawn([&] {
    std::unique_lock lock(mutex);
    gate_reached = true;
    opened.notify_all();
    opened.wait(lock, [&] { return gate_open; });
  });
  {
    std::unique_lock lock(mutex);
    opened.wait(lock, [&] { return gate_reached; });
  }
  auto record = [&](std::string name) {
    return [&, name] {
      std::lock_guard lock(mutex);
      order.push_back(name);
    };
  };
  scope.spawn_deferred(record("deferred-1"));
  scope.spawn(record("first"));
  scope.spawn(record("second"));
  scope.spawn_deferred(record("deferred-2"));
  std::vector<JobBody> batch;
  batch.emplace_back(record("batch-1"));
  batch.emplace_back(record("batch-2"));
  scope.spawn_all(batch);
  {
    std::lock_guard lock(mutex);
    gate_open = true;
  }
  opened.notify_all();
  scope.wait();
  EXPECT_EQ(order, (std::vector<std::string>{"batch-2", "batch-1", "second", "first", "deferred-1",
                                             "deferred-2"}));
}

TEST(JobScope, OrderAndCapturesHoldAsTheQueueGrowsAndWraps) {
  WorkerPool pool(1);
  std::mutex mutex;
  std::condition_variable opened;
  bool gate_open = false;
  bool gate_reached = false;
  std::vector<std::string> order;
  const auto token = std::make_shared<int>(0);
  JobScope scope(pool);
  scope.spawn([&] {
    std::unique_lock lock(mutex);
    gate_reached = true;
    opened.notify_all();
    opened.wait(lock, [&] { return gate_open; });
  });
  {
    std::unique_lock lock(mutex);
    opened.wait(lock, [&] { return gate_reached; });
  }
  // Small captures are held inside the job, large ones on the heap; deferred
  // jobs go in at the front, so the ring wraps while it doubles.
  constexpr int kJobs = 300;
  std::vector<std::string> expected(2 * kJobs);
  for (int i = 0; i < kJobs; ++i) {
    const std::string normal = "n" + std::to_string(i);
    const std::string deferred = "d" + std::to_string(i);
    expected[kJobs - 1 - i] = normal;
    expected[kJobs + i] = deferred;
    if (i % 2 == 0) {
      scope.spawn([&, normal, token] {
        const std::lock_guard lock(mutex);
        order.push_back(normal);
      });
      scope.spawn_deferred([&, deferred, token] {
        const std::lock_guard lock(mutex);
        order.push_back(deferred);
      });
    } else {
      const std::array<char, 2 * JobBody::kInlineBytes> padding{};
      static_assert(sizeof(padding) > JobBody::kInlineBytes);
      scope.spawn([&, normal, token, padding] {
        const std::lock_guard lock(mutex);
        order.push_back(normal + std::string(padding.data(), 0));
      });
      scope.spawn_deferred([&, deferred, token, padding] {
        const std::lock_guard lock(mutex);
        order.push_back(deferred + std::string(padding.data(), 0));
      });
    }
  }
  // A batch larger than the ring's free room grows it by more than one doubling.
  constexpr int kBatch = 1000;
  std::vector<JobBody> batch;
  for (int i = 0; i < kBatch; ++i) {
    const std::string name = "b" + std::to_string(i);
    batch.emplace_back([&, name, token] {
      const std::lock_guard lock(mutex);
      order.push_back(name);
    });
    expected.insert(expected.begin(), name);
  }
  scope.spawn_all(batch);
  EXPECT_EQ(token.use_count(), 1 + 2 * kJobs + kBatch);
  {
    std::lock_guard lock(mutex);
    gate_open = true;
  }
  opened.notify_all();
  scope.wait();
  EXPECT_EQ(order, expected);
  EXPECT_EQ(token.use_count(), 1);
}

TEST(WorkerPool, ZeroThreadsMeansOne) {
  WorkerPool pool(0);
  EXPECT_EQ(pool.thread_count(), 1u);
}

// --- Blocking calls --------------------------------------------------------------

TEST(BlockingCallScope, EveryEntryAndExitIsANewCallAndTheInnermostCounts) {
  CallMarker marker;
  current_call_marker = &marker;
  std::vector<std::uint64_t> words{marker.word.load()};
  {
    const BlockingCallScope outer;
    words.push_back(marker.word.load());
    {
      const BlockingCallScope inner;
      words.push_back(marker.word.load());
    }
    words.push_back(marker.word.load());
  }
  words.push_back(marker.word.load());
  current_call_marker = nullptr;
  { const BlockingCallScope elsewhere; }
  EXPECT_EQ(words, (std::vector<std::uint64_t>{0, 3, 5, 7, 8}));
  EXPECT_EQ(marker.word.load(), 8u);
}

// Sets an environment variable for one test, and takes it away after it.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedVariable() { ::unsetenv(name_); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
};

TEST(ConfiguredCallThreads, ReadsTessalyIoThreads) {
  const auto with = [](const char* value) {
    const ScopedVariable variable("TESSALY_IO_THREADS", value);
    return configured_call_threads();
  };
  EXPECT_EQ(with(nullptr), kDefaultCallThreads);
  EXPECT_EQ(with("0"), 0u);
  EXPECT_EQ(with("12"), 12u);
  EXPECT_EQ(with("100000"), kMaxCallThreads);
  EXPECT_EQ(with("many"), kDefaultCallThreads);
  EXPECT_EQ(with("-1"), kDefaultCallThreads);
}

// Turned off, a watch starts no thread at all, however long the workers wait
// with jobs queued.
TEST(BlockingCallWatch, TurnedOffStartsNoThread) {
  if (testing::count_threads() == 0) GTEST_SKIP() << "needs /proc/self/task to count threads";
  const ScopedVariable off("TESSALY_IO_THREADS", "0");
  WorkerPool pool(2);
  const std::size_t threads = testing::count_threads();
  std::mutex mutex;
  std::condition_variable changed;
  int waiting = 0;
  bool released = false;
  std::size_t threads_while_waiting = 0;
  {
    const BlockingCallWatch watch(pool);
    JobScope scope(pool);
    for (int i = 0; i < 8; ++i) {
      scope.spawn([&] {
        const BlockingCallScope call;
        std::unique_lock lock(mutex);
        if (++waiting == 2) changed.notify_all();
        changed.wait(lock, [&] { return released; });
      });
    }
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return waiting == 2; });
      threads_while_waiting = testing::count_threads();
      released = true;
    }
    changed.notify_all();
    scope.wait();
  }
  EXPECT_EQ(threads_while_waiting, threads);
  EXPECT_EQ(waiting, 8);
}

// A spare that has run its job and finds nothing queued stays for the next
// one (here for as long as the worker waits) instead of leaving, so the job
// queued later runs on the same spare; the end of the watch sends it away at
// once, linger or not.
TEST(BlockingCallWatch, SpareWithNothingToTakeStaysForTheNextJob) {
  if (testing::count_threads() == 0) GTEST_SKIP() << "needs /proc/self/task to count threads";
  const ScopedVariable cap("TESSALY_IO_THREADS", "2");  // one worker and one spare
  WorkerPool pool(1);
  pool.set_spare_linger(std::chrono::hours(1));
  const std::size_t threads = testing::count_threads();
  std::mutex mutex;
  std::condition_variable changed;
  bool worker_waits = false;
  bool released = false;
  std::vector<std::thread::id> ran;
  const auto record = [&] {
    const std::lock_guard lock(mutex);
    ran.push_back(std::this_thread::get_id());
    changed.notify_all();
  };
  // A guard against hanging when no spare comes, not a bound on time.
  const auto await = [&](std::unique_lock<std::mutex>& lock, auto condition) {
    EXPECT_TRUE(changed.wait_for(lock, 1min, condition));
  };
  std::size_t threads_with_spare = 0;
  {
    const BlockingCallWatch watch(pool);
    JobScope scope(pool);
    scope.spawn([&] {
      const BlockingCallScope call;
      std::unique_lock lock(mutex);
      worker_waits = true;
      changed.notify_all();
      changed.wait(lock, [&] { return released; });
    });
    std::unique_lock lock(mutex);
    await(lock, [&] { return worker_waits; });
    lock.unlock();
    scope.spawn(record);  // taken by the spare the waiting worker brings
    lock.lock();
    await(lock, [&] { return ran.size() == 1; });
    lock.unlock();
    scope.spawn(record);  // queued once the spare had nothing left to take
    lock.lock();
    await(lock, [&] { return ran.size() == 2; });
    threads_with_spare = testing::count_threads();
    released = true;
    changed.notify_all();
    lock.unlock();
    scope.wait();
  }
  ASSERT_EQ(ran.size(), 2u);
  EXPECT_EQ(ran[0], ran[1]);
  EXPECT_EQ(pool.spares_started(), 1u);
  EXPECT_EQ(threads_with_spare, threads + 2);  // the watcher and the spare
  EXPECT_EQ(testing::thread_count_settled_at(threads), threads);
  const WatchStats seen = pool.watch_stats();
  EXPECT_GE(seen.waiting, 1u);
  EXPECT_GE(seen.in_call, seen.waiting);
}

// Spares come while calls block and leave, the watch still alive, once the
// calls return at once: the pool is back to its workers and the watcher.
TEST(BlockingCallWatch, SparesLeaveOnceCallsReturnAtOnce) {
  if (testing::count_threads() == 0) GTEST_SKIP() << "needs /proc/self/task to count threads";
  const ScopedVariable cap("TESSALY_IO_THREADS", "4");  // one worker and three spares
  WorkerPool pool(1);
  pool.set_spare_linger(1ms);
  const std::size_t threads = testing::count_threads();
  std::mutex mutex;
  std::condition_variable changed;
  int held = 0;
  bool released = false;
  std::size_t threads_while_held = 0;
  std::size_t threads_after_release = 0;
  {
    const BlockingCallWatch watch(pool);
    JobScope scope(pool);
    for (int i = 0; i < 4; ++i) {
      scope.spawn([&] {
        const BlockingCallScope call;
        std::unique_lock lock(mutex);
        ++held;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
      });
    }
    {
      std::unique_lock lock(mutex);
      // A guard against hanging when no spare comes, not a bound on time.
      EXPECT_TRUE(changed.wait_for(lock, 1min, [&] { return held == 4; }));
      threads_while_held = testing::count_threads();
      released = true;
    }
    changed.notify_all();
    scope.wait();
    threads_after_release = testing::thread_count_settled_at(threads + 1);
  }
  EXPECT_EQ(threads_while_held, threads + 4);  // the watcher and three spares
  EXPECT_EQ(pool.spares_started(), 3u);
  EXPECT_EQ(threads_after_release, threads + 1);  // the watcher alone
  EXPECT_GE(pool.watch_stats().room_drops, 1u);
  EXPECT_EQ(testing::thread_count_settled_at(threads), threads);
}

// A worker that stays inside one call while it runs (computing, or preempted
// on a busy machine) is not waiting for a device: however many looks find
// it there with jobs queued, no spare starts, and the worker runs them all.
TEST(BlockingCallWatch, WorkerRunningInsideOneCallStartsNoSpare) {
  const ScopedVariable cap("TESSALY_IO_THREADS", "4");
  WorkerPool pool(1);
  constexpr std::uint64_t kLooks = 20;
  std::mutex mutex;
  std::set<std::thread::id> ran_on;
  std::thread::id worker;
  {
    const BlockingCallWatch watch(pool);
    JobScope scope(pool);
    scope.spawn([&] {
      worker = std::this_thread::get_id();
      for (int i = 0; i < 4; ++i) {
        scope.spawn([&] {
          const std::lock_guard lock(mutex);
          ran_on.insert(std::this_thread::get_id());
        });
      }
      const BlockingCallScope call;
      // A guard against hanging without a watcher, not a bound on time.
      const auto give_up = std::chrono::steady_clock::now() + 1min;
      while (pool.watch_stats().stuck < kLooks && std::chrono::steady_clock::now() < give_up) {
      }
    });
    scope.wait();
  }
  const WatchStats seen = pool.watch_stats();
  EXPECT_GE(seen.stuck, kLooks);
  EXPECT_EQ(seen.waiting, 0u);
  EXPECT_EQ(pool.spares_started(), 0u);
  EXPECT_EQ(ran_on, std::set<std::thread::id>{worker});
}

// --- The process-wide pool, sized from the environment -----------------------

constexpr const char* kProbeVariable = "TESSALY_POOL_PROBE";

// Runs this test program again with `environment` in place of the pool's own
// variables, selecting the probe test; returns the "threads N pool M" line it
// printed.
std::string run_probe(const std::vector<std::string>& environment) {
  std::vector<std::string> variables{"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS",
                                     std::string(kProbeVariable) + "=1"};
  variables.insert(variables.end(), environment.begin(), environment.end());
  return testing::run_test_child("ProcessPoolProbe.*", variables);
}

// Not a test of its own: run by run_probe in a fresh process, where it counts
// the distinct workers of the process-wide pool that take part in a burst of
// jobs. Each job holds its worker until four workers have joined or a short
// while has passed, so that every available worker is drawn in.
TEST(ProcessPoolProbe, CountsWorkers) {
  if (std::getenv(kProbeVariable) == nullptr) GTEST_SKIP() << "runs only in a probe child";
  std::mutex mutex;
  std::condition_variable joined;
  std::set<std::thread::id> seen;
  JobScope scope;
  for (int i = 0; i < 8; ++i) {
    scope.spawn([&] {
      std::unique_lock lock(mutex);
      seen.insert(std::this_thread::get_id());
      joined.notify_all();
      joined.wait_for(lock, 100ms, [&] { return seen.size() >= 4; });
    });
  }
  scope.wait();
  std::printf("RESULT threads %zu pool %zu\n", seen.size(), worker_pool().thread_count());
  std::fflush(stdout);
}

TEST(ProcessPool, OneWorkerFromRayonNumThreads) {
  EXPECT_EQ(run_probe({"RAYON_NUM_THREADS=1"}), "threads 1 pool 1");
}

TEST(ProcessPool, FourWorkersFromRayonNumThreads) {
  EXPECT_EQ(run_probe({"RAYON_NUM_THREADS=4"}), "threads 4 pool 4");
}

TEST(ProcessPool, RayonNumThreadsWinsOverRayonRsNumCpus) {
  EXPECT_EQ(run_probe({"RAYON_NUM_THREADS=1", "RAYON_RS_NUM_CPUS=4"}), "threads 1 pool 1");
}

TEST(ProcessPool, FallsBackToRayonRsNumCpus) {
  EXPECT_EQ(run_probe({"RAYON_NUM_THREADS=0", "RAYON_RS_NUM_CPUS=4"}), "threads 4 pool 4");
  EXPECT_EQ(run_probe({"RAYON_NUM_THREADS=many", "RAYON_RS_NUM_CPUS=1"}), "threads 1 pool 1");
}

TEST(ProcessPool, DefaultsToOnlineProcessors) {
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  const std::string line = run_probe({"RAYON_RS_NUM_CPUS=0"});
  EXPECT_TRUE(line.ends_with(" pool " + std::to_string(online))) << line;
}

}  // namespace
}  // namespace tessaly
