// Running out of memory, threads or descriptors, with both engines: a scan
// ends within seconds with either its whole result or an error, leaves no
// descriptor open and no thread behind, and the next scan is whole. This
// program replaces the global operator new so that exactly one allocation of
// a scan fails, swept over every allocation a small scan makes.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if defined(__APPLE__)
#include <malloc/malloc.h>
#else
#include <malloc.h>
#endif

#include <gtest/gtest.h>
#include <tessaly/text.h>

#include "base/worker_pool.h"
#include "bulk/bulk_engine.h"
#include "cache/scan_cache.h"
#include "jwalk/jwalk_engine.h"
#include "platform/descriptors.h"
#include "service/scan_entry.h"
#include "service/scan_service.h"
#include "support/fault_tree.h"
#include "support/faulty_kernel.h"
#include "support/threads.h"

namespace {

// When positive, the allocation that brings it to 0 fails; counted on every
// thread.
std::atomic<long> fail_countdown{0};
std::atomic<long long> live_bytes{0};

long long usable_size(void* p) {
#if defined(__APPLE__)
  return static_cast<long long>(::malloc_size(p));
#else
  return static_cast<long long>(::malloc_usable_size(p));
#endif
}

void* allocate(std::size_t size, std::size_t alignment, bool may_throw) {
  if (fail_countdown.load(std::memory_order_relaxed) > 0 &&
      fail_countdown.fetch_sub(1, std::memory_order_relaxed) == 1) {
    if (may_throw) throw std::bad_alloc();
    return nullptr;
  }
  void* p = nullptr;
  if (alignment <= alignof(std::max_align_t)) {
    p = std::malloc(size == 0 ? 1 : size);
  } else if (::posix_memalign(&p, alignment, size == 0 ? 1 : size) != 0) {
    p = nullptr;
  }
  if (p == nullptr) {
    if (may_throw) throw std::bad_alloc();
    return nullptr;
  }
  live_bytes.fetch_add(usable_size(p), std::memory_order_relaxed);
  return p;
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  live_bytes.fetch_sub(usable_size(p), std::memory_order_relaxed);
  std::free(p);
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n, 0, true); }
void* operator new[](std::size_t n) { return allocate(n, 0, true); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0, false); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return allocate(n, 0, false);
}
void* operator new(std::size_t n, std::align_val_t a) {
  return allocate(n, static_cast<std::size_t>(a), true);
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return allocate(n, static_cast<std::size_t>(a), true);
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }

namespace tessaly {
namespace {

using namespace std::chrono_literals;
using testing::count_open_descriptors;
using testing::describe_result;
using testing::one_line;

enum class Engine { kJwalk, kBulk };

ScanOutcome scan_with(Engine engine, platform::Kernel& kernel, const std::string& root) {
  return engine == Engine::kJwalk ? scan_with_jwalk(kernel, root, 2, {})
                                  : scan_with_bulk_attrs(kernel, root, 2, {});
}

class ExhaustionTree : public testing::FaultTreeTest {
 protected:
  virtual Engine engine() const { return Engine::kJwalk; }
  std::string clean() override {
    const auto result = scan_with(engine(), platform::system_kernel(), root_);
    return result ? describe_result(**result) : "failed: " + result.error();
  }
};

class Exhaustion : public ExhaustionTree, public ::testing::WithParamInterface<Engine> {
 protected:
  Engine engine() const override { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Engines, Exhaustion, ::testing::Values(Engine::kJwalk, Engine::kBulk),
                         [](const ::testing::TestParamInfo<Engine>& engine_info) {
                           return engine_info.param == Engine::kJwalk ? "jwalk" : "bulk";
                         });

TEST_P(Exhaustion, EveryAllocationOfAScanFailingInTurn) {
  const std::string expected = clean();  // the pool's threads exist from here on
  const std::size_t descriptors = count_open_descriptors();
  const std::size_t threads = testing::count_threads();
  long n = 1;
  int failed = 0;
  for (;; ++n) {
    fail_countdown.store(n);
    const auto start = std::chrono::steady_clock::now();
    const ScanOutcome outcome = scan_with(GetParam(), platform::system_kernel(), root_);
    const auto took = std::chrono::steady_clock::now() - start;
    const bool fired = fail_countdown.exchange(0) <= 0;
    EXPECT_LT(took, 5s) << "allocation " << n;
    if (outcome) {
      EXPECT_EQ(describe_result(**outcome), expected) << "allocation " << n;
    } else {
      ++failed;
      EXPECT_EQ(outcome.error(), "std::bad_alloc") << "allocation " << n;
    }
    EXPECT_EQ(count_open_descriptors(), descriptors) << "allocation " << n;
    EXPECT_EQ(testing::thread_count_settled_at(threads), threads) << "allocation " << n;
    ASSERT_EQ(clean(), expected) << "after allocation " << n;
    if (!fired || ::testing::Test::HasFailure()) break;
  }
  // The scan's allocations were reached, not the sweep cut short (a job is
  // queued without one, so a bulk scan of this tree makes some 90).
  EXPECT_GT(n, 60);
  EXPECT_GT(failed, n / 2);
  EXPECT_FALSE(scan_cache().is_poisoned());
}

std::string describe_output(const std::expected<ScanOutput, ScanError>& outcome) {
  if (!outcome) {
    return "error " + std::to_string(static_cast<int>(outcome.error().kind)) + " " +
           outcome.error().message;
  }
  return "ok " + describe_result(*outcome->result) + "problems " +
         std::to_string(outcome->problems_total);
}

template <typename Value, typename Describe>
std::string describe_text(const std::expected<Value, std::string>& outcome, Describe describe) {
  return outcome ? "ok " + describe(*outcome) : "error " + outcome.error();
}

std::string describe_benchmark(const BenchmarkResult& r) {
  return r.engine + " " + std::to_string(r.files_found) + " " + std::to_string(r.dirs_found) + " " +
         std::to_string(r.total_size) + " " + std::to_string(r.large_files_count);
}

std::string describe_shared(const std::shared_ptr<const ScanResult>& result) {
  return describe_result(*result);
}

// One public entry: `run` calls it and keeps what it gave, `describe` (called
// with no allocation failing) tells that as text.
struct PublicEntry {
  std::string name;
  std::function<void()> run;
  std::function<std::string()> describe;
  std::string failure;  // what running out of memory may give instead
};

// The entry's answer with the allocation `n` failing (none for 0), and
// whether that allocation was reached.
std::pair<std::string, bool> run_entry(const PublicEntry& entry, long n) {
  fail_countdown.store(n);
  std::string thrown;
  try {
    entry.run();
  } catch (const std::bad_alloc&) {
    thrown = "threw std::bad_alloc";
  } catch (...) {
    thrown = "threw something else";
  }
  const bool fired = n > 0 && fail_countdown.exchange(0) <= 0;
  return {thrown.empty() ? entry.describe() : thrown, fired};
}

// Every public entry, with each of its allocations failing in turn: it gives
// its whole answer or its own way of saying that memory ran out (an error
// kind and text; the fallback its contract names; std::bad_alloc for the few
// that have no other way), and never anything else.
TEST_F(ExhaustionTree, EveryPublicEntryWithEachAllocationFailingInTurn) {
  const std::string out_of_memory =
      "error " + std::to_string(static_cast<int>(ScanErrorKind::kOutOfResources)) +
      " std::bad_alloc";
  const auto request = [&](std::optional<std::string> engine, std::string root) {
    ScanRequest r;
    r.root = std::move(root);
    r.engine = std::move(engine);
    r.tree_depth = 2;
    r.volume_probe = VolumeProbe::kSkip;
    return r;
  };
  const std::vector<ScanRequest> requests = {
      request("jwalk", root_), request("bulk-attrs", root_), request(std::nullopt, root_),
      request("jwalk", root_ + "/missing"), request("JWALK", root_)};
  const auto scanned = scan_with_jwalk(root_, 2, {});
  ASSERT_TRUE(scanned.has_value());
  const std::shared_ptr<const ScanResult> held = *scanned;
  // Earlier outputs to refresh, and what they hold, which no refresh changes.
  const auto previous_jwalk = scan(requests[0]);
  const auto previous_bulk = scan(requests[1]);
  ASSERT_TRUE(previous_jwalk.has_value() && previous_bulk.has_value());
  const std::string previous_text =
      describe_output(previous_jwalk) + describe_output(previous_bulk);
  const std::string folder = root_ + "/a";
  const std::string deep_folder = root_ + "/d/e/f";
  const std::string gone_folder = root_ + "/d/empty";
  ASSERT_EQ(::rmdir(gone_folder.c_str()), 0);

  // What the entries gave, each kept until described.
  std::expected<ScanOutput, ScanError> output;
  std::expected<ScanOutput, std::string> text_output;
  std::expected<BenchmarkResult, std::string> record;
  ScanOutcome outcome;
  std::string text;
  std::vector<std::string> paths;

  std::vector<PublicEntry> entries;
  for (const ScanRequest& r : requests) {
    entries.push_back({"scan " + r.root + " " + r.engine.value_or("default"),
                       [&output, &r] { output = scan(r); },
                       [&output] { return describe_output(output); }, out_of_memory});
  }
  const auto describe_record = [&record] { return describe_text(record, describe_benchmark); };
  const auto describe_outcome = [&outcome] { return describe_text(outcome, describe_shared); };
  const auto kept_text = [&text] { return text; };
  entries.insert(
      entries.end(),
      {
          {"run_scan", [&] { text_output = run_scan(requests[0]); },
           [&] {
             return describe_text(text_output,
                                  [](const ScanOutput& o) { return describe_result(*o.result); });
           },
           "error std::bad_alloc"},
          {"run_scan_benchmark jwalk", [&] { record = run_scan_benchmark(root_, 2, {}, "jwalk"); },
           describe_record, "error std::bad_alloc"},
          {"run_scan_benchmark bulk-attrs",
           [&] { record = run_scan_benchmark(root_, 2, {}, "bulk-attrs"); }, describe_record,
           "error std::bad_alloc"},
          {"scan_with_jwalk", [&] { outcome = scan_with_jwalk(root_, 2, {}); }, describe_outcome,
           "error std::bad_alloc"},
          {"scan_with_bulk_attrs", [&] { outcome = scan_with_bulk_attrs(root_, 2, {}); },
           describe_outcome, "error std::bad_alloc"},
          {"supports_bulk_attrs", [&] { text = supports_bulk_attrs(root_) ? "yes" : "no"; },
           kept_text, "no"},
          {"default_scan_engine", [&] { text = scan_engine_name(default_scan_engine(root_)); },
           kept_text, "jwalk"},
          {"volume_type_name", [&] { text = volume_type_name(root_); }, kept_text, "unknown"},
          {"clear_scan_cache",
           [&] {
             clear_scan_cache();
             text = "cleared";
           },
           kept_text, "cleared"},
          {"utf8_text", [&] { text = utf8_text("a name long enough to need memory \xff"); },
           kept_text, "threw std::bad_alloc"},
          {"join_raw_path",
           [&] { text = join_raw_path(root_, "a name long enough to need memory"); }, kept_text,
           "threw std::bad_alloc"},
          {"result navigation",
           [&] {
             paths.clear();
             const ResultDirectory top = held->root_directory();
             for (const ChildEntry& entry : top.children()) {
               if (const auto child = top.child(entry)) paths.push_back(child->path());
             }
           },
           [&] { return std::to_string(paths.size()) + " " + (paths.empty() ? "" : paths[0]); },
           "threw std::bad_alloc"},
          {"refresh jwalk", [&] { output = refresh(*previous_jwalk, folder); },
           [&output] { return describe_output(output); }, out_of_memory},
          {"refresh bulk-attrs", [&] { output = refresh(*previous_bulk, deep_folder); },
           [&output] { return describe_output(output); }, out_of_memory},
          {"refresh gone", [&] { output = refresh(*previous_jwalk, gone_folder); },
           [&output] { return describe_output(output); }, out_of_memory},
          {"CancelToken", [&] { text = CancelToken().cancel_requested() ? "set" : "clear"; },
           kept_text, "threw std::bad_alloc"},
      });
  for (const PublicEntry& entry : entries) {
    const std::string expected = run_entry(entry, 0).first;
    ASSERT_FALSE(expected.starts_with("threw")) << entry.name << ": " << expected;
    long n = 1;
    for (;; ++n) {
      const auto [answer, fired] = run_entry(entry, n);
      const bool allowed = answer == expected || answer == entry.failure;
      EXPECT_TRUE(allowed) << entry.name << ", allocation " << n << ": " << answer;
      if (!fired || !allowed) break;
    }
    EXPECT_EQ(run_entry(entry, 0).first, expected) << entry.name << " after " << n;
  }
  EXPECT_EQ(describe_output(previous_jwalk) + describe_output(previous_bulk), previous_text);
  EXPECT_FALSE(scan_guard_poisoned());
}

// The guard of the scan entry stays usable after scans that ran out of memory.
TEST(ExhaustionEntry, AllocationFailureLeavesTheGuardUsable) {
  testing::TempDir dir;
  dir.write_file("root/a/file", 4096);
  ScanRequest request;
  request.root = dir.at("root");
  request.engine = std::string(kJwalkEngineName);
  ASSERT_TRUE(run_scan(request).has_value());
  for (long n = 1; n < 40; ++n) {
    fail_countdown.store(n);
    const auto outcome = run_scan(request);
    fail_countdown.store(0);
    if (!outcome) {
      EXPECT_NE(outcome.error(), kScanInProgress) << n;
    }
  }
  EXPECT_FALSE(scan_guard_poisoned());
  const auto after = run_scan(request);
  ASSERT_TRUE(after.has_value()) << after.error();
  EXPECT_EQ(after->result->files_found, 1u);
}

// No descriptor for the root, for longer than the walk waits: an error, not
// an empty tree. Each engine waits out its patience, so this takes a while.
TEST_F(ExhaustionTree, NoDescriptorForTheRoot) {
  for (const Engine engine : {Engine::kJwalk, Engine::kBulk}) {
    const int error = engine == Engine::kJwalk ? EMFILE : ENFILE;
    testing::FaultyKernel faulty;
    faulty.on_open = [&](const testing::KernelCall& call) {
      return call.name == "root" ? error : 0;
    };
    const auto start = std::chrono::steady_clock::now();
    const auto outcome = scan_with(engine, faulty, root_);
    EXPECT_GE(std::chrono::steady_clock::now() - start, platform::kDescriptorPatience);
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error(), "IO error for operation on " + root_ + ": " +
                                   std::string(std::strerror(error)) + " (os error " +
                                   std::to_string(error) + ")");
    const auto next = scan_with(engine, platform::system_kernel(), root_);
    EXPECT_TRUE(next.has_value());
  }
}

// The system refuses threads (RLIMIT_NPROC of an unprivileged process): first
// the pool's, then the bulk engine's walk thread. Each scan fails with the
// system's reason, and scans work again once threads can be had. A spare
// thread refused while the workers wait for the device is done without: that
// scan is whole.
TEST_F(ExhaustionTree, ThreadsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a child as uid 65534";
  const std::string jwalk = one_line(clean());
  const auto bulk = scan_with_bulk_attrs(root_, 2, {});
  ASSERT_TRUE(bulk.has_value());
  const std::string refused = "failed to spawn thread: Resource temporarily unavailable";
  EXPECT_EQ(
      testing::run_test_child("ExhaustionChild.ThreadsRefused",
                              {"TESSALY_EXHAUSTION_ROOT=" + root_, "RAYON_NUM_THREADS=2"}, true),
      refused + " / " + refused + " / ok " + jwalk + " / " + refused + " / ok " + jwalk + " / ok " +
          one_line(describe_result(**bulk)) + " / ok " + jwalk + " / ok " +
          one_line(describe_result(**bulk)));
}

TEST(ExhaustionChild, ThreadsRefused) {
  const char* root = std::getenv("TESSALY_EXHAUSTION_ROOT");
  if (root == nullptr) GTEST_SKIP() << "runs only as a child of another test";
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NPROC, &limit), 0);
  const rlim_t usual = limit.rlim_cur;
  const auto allow_threads = [&](bool allow) {
    limit.rlim_cur = allow ? usual : 1;
    ASSERT_EQ(::setrlimit(RLIMIT_NPROC, &limit), 0);
  };
  std::string report;
  const auto scan = [&](Engine engine) {
    const auto outcome = scan_with(engine, platform::system_kernel(), root);
    if (!report.empty()) report += " / ";
    report += outcome ? "ok " + one_line(describe_result(**outcome)) : outcome.error();
  };
  allow_threads(false);
  scan(Engine::kJwalk);  // no pool yet
  scan(Engine::kBulk);
  allow_threads(true);
  scan(Engine::kJwalk);
  allow_threads(false);
  scan(Engine::kBulk);  // the pool stands; the walk thread is refused
  scan(Engine::kJwalk);
  allow_threads(true);
  scan(Engine::kBulk);
  // Every listing below the root waits, once threads are refused, until the
  // watcher has been refused a spare for the directories still queued.
  for (const Engine engine : {Engine::kJwalk, Engine::kBulk}) {
    const std::size_t refused_before = worker_pool().spares_refused();
    testing::FaultyKernel waiting;
    std::once_flag refuse_once;
    waiting.on_list = [&](const testing::KernelCall& call) {
      if (call.fd_path == root) return 0;
      std::call_once(refuse_once, [&] { allow_threads(false); });
      // A guard against hanging, not a bound on time.
      for (int i = 0; i < 60000 && worker_pool().spares_refused() == refused_before; ++i)
        std::this_thread::sleep_for(1ms);
      return 0;
    };
    const auto outcome = scan_with(engine, waiting, root);
    allow_threads(true);
    if (!report.empty()) report += " / ";
    report += worker_pool().spares_refused() == refused_before ? "no spare refused"
              : outcome ? "ok " + one_line(describe_result(**outcome))
                        : outcome.error();
  }
  std::printf("RESULT %s\n", report.c_str());
  std::fflush(stdout);
}

// 300 roots scanned by both engines in turn: the cache keeps a bounded number
// of results, so live memory stays flat.
TEST(ExhaustionMemory, ThreeHundredRootsKeepMemoryFlat) {
  testing::TempDir dir;
  constexpr int kRoots = 300;
  for (int r = 0; r < kRoots; ++r) {
    for (int f = 0; f < 100; ++f) {
      dir.write_file("r" + std::to_string(r) + "/d" + std::to_string(f % 4) + "/file-with-a-name-" +
                     std::to_string(f));
    }
  }
  clear_scan_cache();
  long long settled = 0;
  for (int r = 0; r < kRoots; ++r) {
    const std::string root = dir.at("r" + std::to_string(r));
    const auto outcome =
        r % 2 == 0 ? scan_with_jwalk(root, 8, {}) : scan_with_bulk_attrs(root, 8, {});
    ASSERT_TRUE(outcome.has_value()) << outcome.error();
    ASSERT_EQ((*outcome)->files_found, 100u);
    if (r == 20) settled = live_bytes.load();
  }
  EXPECT_LE(scan_cache().size(), 5u);
  EXPECT_LT(live_bytes.load() - settled, 256 * 1024);
}

}  // namespace
}  // namespace tessaly
