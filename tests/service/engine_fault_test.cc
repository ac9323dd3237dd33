// Rare file-system failures injected into both engines' kernel calls on real
// trees: each scan must end, with exactly the result the engine's rules give
// for what remained readable, and leave no descriptor open behind it. Each
// fault class runs against both engines where it applies to both.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include "base/logging.h"
#include "base/worker_pool.h"
#include "bulk/bulk_engine.h"
#include "bulk/testing.h"
#include "jwalk/jwalk_engine.h"
#include "progress/problem_log.h"
#include "progress/progress.h"
#include "result/result.h"
#include "support/fault_tree.h"
#include "support/faulty_kernel.h"
#include "support/temp_tree.h"
#include "support/threads.h"

namespace tessaly {
namespace {

using testing::count_open_descriptors;
using testing::describe_result;
using testing::FaultyKernel;
using testing::interrupt_streak;
using testing::KernelCall;
using testing::one_line;
namespace fs = std::filesystem;

constexpr std::uint64_t kTreeDepth = 2;

enum class Engine { kJwalk, kBulk };

// Whether the bulk engine stats each entry through the kernel interface: it
// does where getattrlistbulk is supplied from a listing and a stat per entry.
#if defined(__linux__)
constexpr bool kBulkStatsEachEntry = true;
#else
constexpr bool kBulkStatsEachEntry = false;
#endif

void PrintTo(Engine engine, std::ostream* out) {
  *out << (engine == Engine::kJwalk ? "jwalk" : "bulk");
}

ScanOutcome scan_with(Engine engine, platform::Kernel& kernel, const std::string& root) {
  return engine == Engine::kJwalk ? scan_with_jwalk(kernel, root, kTreeDepth, {})
                                  : scan_with_bulk_attrs(kernel, root, kTreeDepth, {});
}

class EngineFault : public testing::FaultTreeTest {
 protected:
  virtual Engine engine() const = 0;

  std::shared_ptr<const ScanResult> scan(platform::Kernel& kernel) {
    const std::size_t before = count_open_descriptors();
    auto result = scan_with(engine(), kernel, root_);
    EXPECT_EQ(count_open_descriptors(), before) << "descriptors left open";
    if (!result) throw std::runtime_error("scan failed: " + result.error());
    return *result;
  }
  std::string clean() override { return describe_result(*scan(platform::system_kernel())); }

  // For faults on the stats of single entries, which a bulk read on macOS
  // does not make.
  bool stats_each_entry() const { return engine() == Engine::kJwalk || kBulkStatsEachEntry; }
};

class BothEngines : public EngineFault, public ::testing::WithParamInterface<Engine> {
 protected:
  Engine engine() const override { return GetParam(); }
};

class JwalkFault : public EngineFault {
 protected:
  Engine engine() const override { return Engine::kJwalk; }
};

class BulkFault : public EngineFault {
 protected:
  Engine engine() const override { return Engine::kBulk; }
};

INSTANTIATE_TEST_SUITE_P(Engines, BothEngines, ::testing::Values(Engine::kJwalk, Engine::kBulk),
                         [](const ::testing::TestParamInfo<Engine>& engine_info) {
                           return engine_info.param == Engine::kJwalk ? "jwalk" : "bulk";
                         });

// --- EINTR: every interrupted call is repeated --------------------------------

TEST_P(BothEngines, InterruptedOpensAreRepeated) {
  const std::string expected = clean();
  FaultyKernel faulty;
  faulty.on_open = [](const KernelCall&) { return interrupt_streak(3); };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_GE(faulty.injected.load(), 3 * 8);
}

TEST_P(BothEngines, InterruptedListingBatchesAreRepeated) {
  const std::string expected = clean();
  FaultyKernel faulty;
  faulty.on_list = [](const KernelCall&) { return interrupt_streak(2); };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_GE(faulty.injected.load(), 2 * 8);
}

TEST_P(BothEngines, InterruptedStatsAreRepeated) {
  if (!stats_each_entry()) GTEST_SKIP() << "no stat per entry here";
  const std::string expected = clean();
  FaultyKernel faulty;
  // The root's own stats, the device rule's stats, every file's size and
  // every file inside the bundle.
  faulty.on_stat = [](const KernelCall&) { return interrupt_streak(3); };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_GE(faulty.injected.load(), 3 * 30);
}

// An interrupted read of the root's device must not switch the device rule
// off for the whole scan: the call is repeated until it answers.
TEST_F(BulkFault, InterruptedDeviceReadIsRepeated) {
  const std::string expected = clean();
  FaultyKernel faulty;
  std::atomic<int> device_calls{0};
  faulty.on_stat = [&](const KernelCall& call) {
    if (call.dir_fd != AT_FDCWD || !call.follow || call.path != root_) return 0;
    ++device_calls;
    return interrupt_streak(2);
  };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(faulty.injected.load(), 2);
  EXPECT_EQ(device_calls.load(), 3);
}

TEST_P(BothEngines, EveryCallInterruptedAtOnce) {
  const std::string expected = clean();
  FaultyKernel faulty;
  faulty.on_open = [](const KernelCall&) { return interrupt_streak(1); };
  faulty.on_list = [](const KernelCall&) { return interrupt_streak(1); };
  faulty.on_stat = [](const KernelCall&) { return interrupt_streak(1); };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
}

// --- EACCES: an unopenable directory contributes nothing ----------------------

TEST_P(BothEngines, PermissionDeniedOnOneSubdirectory) {
  const std::string expected = clean_after([&] { empty_out("a/victim"); });
  FaultyKernel faulty;
  faulty.on_open = [](const KernelCall& call) { return call.name == "victim" ? EACCES : 0; };
  const std::string actual = describe_result(*scan(faulty));
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(faulty.injected.load(), 1);
  EXPECT_NE(actual.find("child " + root_ + "/a | victim 0 dir"), std::string::npos) << actual;
}

TEST_P(BothEngines, PermissionDeniedOnTheRoot) {
  const std::string expected = clean_after([&] { empty_out(""); });
  FaultyKernel faulty;
  faulty.on_open = [](const KernelCall& call) { return call.name == "root" ? EACCES : 0; };
  const std::string actual = describe_result(*scan(faulty));
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(actual, "files 0 dirs 0 total 0\ndir_size " + root_ + " 0\n");
}

TEST_P(BothEngines, PermissionDeniedInsideABundle) {
  const std::string expected = clean_after([&] { fs::remove_all(root_ + "/b/Tool.app/sub"); });
  FaultyKernel faulty;
  faulty.on_open = [](const KernelCall& call) { return call.name == "sub" ? EACCES : 0; };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(faulty.injected.load(), 1);
}

// --- ENOENT between listing and sizing ------------------------------------------

// The parallel walker counts the file, as it was listed, with no blocks; the
// bulk read gets the entry with its error and leaves it out.
TEST_P(BothEngines, FileGoneBeforeItIsSized) {
  if (!stats_each_entry()) GTEST_SKIP() << "no stat per entry here";
  const std::string target = root_ + "/c/target.dat";
  const std::string expected = clean_after([&] {
    if (engine() == Engine::kJwalk) {
      dir_.write_file("root/c/target.dat", 0);
    } else {
      fs::remove(target);
    }
  });
  FaultyKernel faulty;
  std::atomic<int> removed{0};
  faulty.on_stat = [&](const KernelCall& call) {
    if (call.name == "target.dat" && removed.fetch_add(1) == 0) ::unlink(target.c_str());
    return 0;
  };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(removed.load(), 1);
}

TEST_P(BothEngines, DirectoryGoneBeforeItIsOpened) {
  // The directory was listed, so it is counted; nothing of it is read.
  const std::string expected = clean_after([&] { empty_out("a/victim"); });
  FaultyKernel faulty;
  const std::string victim = root_ + "/a/victim";
  std::atomic<int> removed{0};
  faulty.on_open = [&](const KernelCall& call) {
    if (call.name == "victim" && removed.fetch_add(1) == 0) fs::remove_all(victim);
    return 0;
  };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(removed.load(), 1);
}

// The device rule's stat follows links; a bulk read makes none of its own.
TEST_F(JwalkFault, DeviceRuleStatFailingKeepsTheDirectory) {
  const std::string expected = clean();
  FaultyKernel faulty;
  faulty.on_stat = [](const KernelCall& call) {
    return call.name == "victim" || call.name == "e" ? ENOENT : 0;
  };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(faulty.injected.load(), 2);
}

// --- EIO on a later batch: what earlier batches gave is kept ----------------------

// The victim's first listing call answers; every later one fails. Its entries
// and its subtree are kept, and the failure is logged once as a warning.
TEST_P(BothEngines, ListingFailingAfterTheFirstBatchKeepsItsEntries) {
#if !defined(__linux__)
  if (engine() == Engine::kJwalk) GTEST_SKIP() << "the parallel walker lists with readdir here";
#endif
  const std::string expected = clean();
  const std::string victim = root_ + "/a/victim";
  struct stat victim_st {};
  ASSERT_EQ(::stat(victim.c_str(), &victim_st), 0);
  FaultyKernel faulty;
  std::atomic<int> victim_lists{0};
  faulty.on_list = [&](const KernelCall& call) {
    struct stat st {};
    if (::fstat(call.fd, &st) != 0 || st.st_ino != victim_st.st_ino ||
        st.st_dev != victim_st.st_dev)
      return 0;
    return victim_lists.fetch_add(1) == 0 ? 0 : EIO;
  };
  std::ostringstream log;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(log);
  sink->set_pattern("%l|%v");
  install_log_sink(sink, spdlog::level::warn);
  const std::string actual = describe_result(*scan(faulty));
  remove_log_sinks();
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(faulty.injected.load(), 1);
  EXPECT_EQ(log.str(), "warning|scan error: IO error for operation on " + victim + ": " +
                           std::strerror(EIO) + " (os error 5)\n");
}

// --- A directory swapped after it was listed --------------------------------------

TEST_P(BothEngines, DirectoryReplacedByAFile) {
  const std::string expected = clean_after([&] { empty_out("a/victim"); });
  FaultyKernel faulty;
  const std::string victim = root_ + "/a/victim";
  const std::string aside = dir_.at("aside");
  std::atomic<int> swapped{0};
  faulty.on_open = [&](const KernelCall& call) {
    if (call.name == "victim" && swapped.fetch_add(1) == 0) {
      fs::rename(victim, aside);
      dir_.write_file("root/a/victim", 40000);
    }
    return 0;
  };
  const std::string actual = describe_result(*scan(faulty));
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(swapped.load(), 1);
}

TEST_P(BothEngines, DirectoryReplacedByALinkOutOfTheTree) {
  const std::string expected = clean_after([&] { empty_out("a/victim"); });
  FaultyKernel faulty;
  const std::string victim = root_ + "/a/victim";
  std::atomic<int> swapped{0};
  faulty.on_open = [&](const KernelCall& call) {
    if (call.name == "victim" && swapped.fetch_add(1) == 0) {
      fs::remove_all(victim);
      fs::create_directory_symlink(outside_, victim);
    }
    return 0;
  };
  const std::string actual = describe_result(*scan(faulty));
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(swapped.load(), 1);
  EXPECT_EQ(actual.find("far.bin"), std::string::npos) << actual;
}

TEST_P(BothEngines, BundleReplacedByALinkOutOfTheTree) {
  // The bundle still stands as one item, with nothing in it.
  const std::string expected = clean_after([&] { empty_out("b/Tool.app"); });
  FaultyKernel faulty;
  const std::string bundle = root_ + "/b/Tool.app";
  std::atomic<int> swapped{0};
  faulty.on_open = [&](const KernelCall& call) {
    if (call.name == "Tool.app" && swapped.fetch_add(1) == 0) {
      fs::remove_all(bundle);
      fs::create_directory_symlink(outside_, bundle);
    }
    return 0;
  };
  const std::string actual = describe_result(*scan(faulty));
  EXPECT_EQ(actual, expected);
  EXPECT_NE(actual.find("child " + root_ + "/b | Tool.app 0 file"), std::string::npos) << actual;
}

// --- EMFILE: the walk waits for descriptors instead of losing directories -----------

TEST_P(BothEngines, BurstsOfDescriptorExhaustion) {
  const std::string expected = clean();
  FaultyKernel faulty;
  std::atomic<int> calls{0};
  // Of every ten opens, the first six find the process out of descriptors.
  faulty.on_open = [&](const KernelCall&) { return calls.fetch_add(1) % 10 < 6 ? EMFILE : 0; };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_GE(faulty.injected.load(), 6);
}

TEST_P(BothEngines, LongDescriptorExhaustionOnOneDirectory) {
  const std::string expected = clean();
  FaultyKernel faulty;
  // A directory of the walk, and one inside the bundle (the parallel walker
  // opens the bundle itself, the bulk engine its subdirectory).
  const std::string inside_bundle = engine() == Engine::kJwalk ? "Tool.app" : "sub";
  std::atomic<int> refusals{0};
  faulty.on_open = [&](const KernelCall& call) {
    if (call.name != "victim" && call.name != inside_bundle) return 0;
    const int n = refusals.fetch_add(1);
    return n < 40 ? (n % 2 == 0 ? EMFILE : ENFILE) : 0;
  };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(faulty.injected.load(), 40);
}

// --- Unreadable parts are noted as problems, by both engines alike ------------------

TEST_P(BothEngines, UnreadablePartsAreNotedAsProblems) {
  const auto problems_of = [&](platform::Kernel& kernel) {
    ProblemLog log;
    const ScanContext context{.problems = &log};
    const auto result = engine() == Engine::kJwalk
                            ? scan_with_jwalk(root_, kTreeDepth, {}, context, kernel)
                            : scan_with_bulk_attrs(kernel, root_, kTreeDepth, {}, context);
    EXPECT_TRUE(result.has_value()) << result.error();
    std::string text;
    for (const ScanProblem& problem : log.take()) {
      text += problem.path.substr(root_.size()) + " " + std::to_string(problem.os_error) + ", ";
    }
    return text + "total " + std::to_string(log.total());
  };
  EXPECT_EQ(problems_of(platform::system_kernel()), "total 0");
  FaultyKernel faulty;
  faulty.on_open = [](const KernelCall& call) { return call.name == "victim" ? EACCES : 0; };
  if (!stats_each_entry()) {
    EXPECT_EQ(problems_of(faulty), "/a/victim 13, total 1");
    return;
  }
  faulty.on_stat = [](const KernelCall& call) {
    return call.name == "a2.txt" || call.name == "x.bin" ? EIO : 0;
  };
  EXPECT_EQ(problems_of(faulty), "/a/a2.txt 5, /a/victim 13, /b/Tool.app/x.bin 5, total 3");
}

// --- A worker that runs out of memory fails the scan, saying so ------------------------

TEST_P(BothEngines, AllocationFailureWhileListingFailsTheScan) {
  const std::string expected = clean();
  FaultyKernel faulty;
  std::atomic<int> lists{0};
  faulty.on_list = [&](const KernelCall&) -> int {
    if (lists.fetch_add(1) == 5) throw std::bad_alloc();
    return 0;
  };
  const std::size_t before = count_open_descriptors();
  const auto outcome = scan_with(engine(), faulty, root_);
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error(), "std::bad_alloc");
  EXPECT_EQ(count_open_descriptors(), before);
  // Nothing is left broken: the next scans are whole again.
  EXPECT_EQ(clean(), expected);
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
}

TEST_P(BothEngines, AllocationFailureWhileSizingFailsTheScan) {
  if (!stats_each_entry()) GTEST_SKIP() << "no stat per entry here";
  FaultyKernel faulty;
  faulty.on_stat = [](const KernelCall& call) -> int {
    if (call.name == "a2.txt") throw std::bad_alloc();
    return 0;
  };
  const auto outcome = scan_with(engine(), faulty, root_);
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error(), "std::bad_alloc");
  faulty.on_stat = nullptr;
  EXPECT_EQ(describe_result(*scan(faulty)), clean());
}

// --- Real unreadable directories and allocation failures, in fresh processes ------

const char* engine_name(Engine engine) { return engine == Engine::kJwalk ? "jwalk" : "bulk"; }

TEST_P(BothEngines, UnreadableDirectoryAsAnOrdinaryUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the tree to uid 65534";
  const std::string expected = clean_after([&] { empty_out("a/victim"); });
  ::chmod((root_ + "/a/victim").c_str(), 0);
  const std::string actual = testing::run_test_child(
      "EngineFaultChild.Scan",
      {"TESSALY_FAULT_ROOT=" + root_, std::string("TESSALY_FAULT_ENGINE=") + engine_name(engine())},
      true);
  ::chmod((root_ + "/a/victim").c_str(), 0755);
  EXPECT_EQ(actual, "ok " + one_line(expected));
}

// The first read of a fresh process finds no memory for its buffer: the scan
// fails, and the next one is whole.
TEST_F(BulkFault, FirstReadBufferCannotBeAllocated) {
  const std::string expected = clean();
  const std::string actual =
      testing::run_test_child("EngineFaultChild.Scan",
                              {"TESSALY_FAULT_ROOT=" + root_, "TESSALY_FAULT_ENGINE=bulk",
                               "TESSALY_FAULT_BUFFERS=0,1", "RAYON_NUM_THREADS=2"},
                              false);
  EXPECT_EQ(actual, "failed std::bad_alloc all refused then ok " + one_line(expected));
}

// The second worker's buffer cannot be had while the first worker is in the
// middle of the walk: the other jobs finish, the scan fails, nothing hangs.
TEST_F(BulkFault, SecondWorkersReadBufferCannotBeAllocated) {
  const std::string expected = clean();
  const std::string actual = testing::run_test_child(
      "EngineFaultChild.Scan",
      {"TESSALY_FAULT_ROOT=" + root_, "TESSALY_FAULT_ENGINE=bulk", "TESSALY_FAULT_BUFFERS=1,1",
       "TESSALY_FAULT_SLOW=1", "RAYON_NUM_THREADS=2"},
      false);
  EXPECT_EQ(actual, "failed std::bad_alloc all refused then ok " + one_line(expected));
}

// --- Listings that wait for the device ----------------------------------------

// The threads of this process, as Linux lists them.
// Every listing below the root waits until as many are in flight as the cap
// on calling threads allows, more than the pool has workers: spare threads
// took the queued directories while the workers waited. Never more than the
// cap, the same result, and every spare and the watcher gone afterwards.
TEST_P(BothEngines, WaitingListingsAreJoinedBySpareThreadsUpToTheCap) {
  if (testing::count_threads() == 0) GTEST_SKIP() << "needs /proc/self/task to count threads";
  const std::size_t workers = worker_pool().thread_count();
  const std::size_t cap = workers + 3;
  ASSERT_EQ(::setenv("TESSALY_IO_THREADS", std::to_string(cap).c_str(), 1), 0);
  testing::TempDir dir;
  for (std::size_t i = 0; i < cap + 8; ++i)
    dir.write_file("tree/sub-" + std::to_string(i) + "/file", 4096 * (i + 1));
  const std::string root = dir.at("tree");
  const auto clean_scan = scan_with(engine(), platform::system_kernel(), root);
  ASSERT_TRUE(clean_scan.has_value()) << clean_scan.error();
  const std::size_t threads = testing::count_threads();

  std::mutex mutex;
  std::condition_variable changed;
  std::size_t in_flight = 0;
  std::size_t most = 0;
  std::size_t threads_at_cap = 0;
  bool released = false;
  FaultyKernel faulty;
  faulty.on_list = [&](const KernelCall& call) {
    if (call.fd_path.find("/sub-") == std::string::npos) return 0;
    std::unique_lock lock(mutex);
    most = std::max(most, ++in_flight);
    if (in_flight == cap && !released) {
      threads_at_cap = testing::count_threads();
      released = true;
      changed.notify_all();
    }
    // A guard against hanging when no spare comes, not a bound on time.
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::minutes(1), [&] { return released; }))
        << in_flight << " listings in flight";
    released = true;
    --in_flight;
    return 0;
  };
  const auto outcome = scan_with(engine(), faulty, root);
  ASSERT_EQ(::unsetenv("TESSALY_IO_THREADS"), 0);
  ASSERT_TRUE(outcome.has_value()) << outcome.error();
  EXPECT_EQ(describe_result(**outcome), describe_result(**clean_scan));
  EXPECT_EQ(most, cap);
  // The watcher, a spare per listing beyond the workers', and the bulk
  // engine's walk thread.
  EXPECT_EQ(threads_at_cap, threads + 1 + (cap - workers) + (engine() == Engine::kBulk ? 1 : 0));
  EXPECT_EQ(testing::thread_count_settled_at(threads), threads);
  EXPECT_EQ(worker_pool().spares_refused(), 0u);
}

// Run by the tests above in a fresh process, whose workers have no read
// buffer yet. Prints the outcome of one scan, and with allocation faults the
// outcome of the scan after it.
TEST(EngineFaultChild, Scan) {
  const char* root = std::getenv("TESSALY_FAULT_ROOT");
  const char* engine_text = std::getenv("TESSALY_FAULT_ENGINE");
  if (root == nullptr || engine_text == nullptr) {
    GTEST_SKIP() << "runs only as a child of another test";
  }
  const Engine engine = std::string(engine_text) == "jwalk" ? Engine::kJwalk : Engine::kBulk;
  std::string report;
  if (const char* faults = std::getenv("TESSALY_FAULT_BUFFERS")) {
    std::size_t pass = 0;
    std::size_t refuse = 0;
    ASSERT_EQ(std::sscanf(faults, "%zu,%zu", &pass, &refuse), 2);
    FaultyKernel slow;
    if (std::getenv("TESSALY_FAULT_SLOW") != nullptr) {
      slow.on_list = [](const KernelCall&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return 0;
      };
    }
    bulk_testing::fail_read_buffer_allocations(pass, refuse);
    const auto failed = scan_with(engine, slow, root);
    report = failed ? "ok" : "failed " + failed.error();
    // A thread whose buffer was refused tries again at its next read.
    report += bulk_testing::read_buffer_allocation_attempts() >= pass + refuse
                  ? " all refused then "
                  : " not all refused then ";
    bulk_testing::fail_read_buffer_allocations(0, 0);
  }
  const auto result = scan_with(engine, platform::system_kernel(), root);
  report += result ? "ok " + one_line(describe_result(**result)) : "failed " + result.error();
  std::printf("RESULT %s\n", report.c_str());
  std::fflush(stdout);
}

}  // namespace
}  // namespace tessaly
