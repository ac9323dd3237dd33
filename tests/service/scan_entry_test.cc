#include "service/scan_entry.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include "base/logging.h"
#include "bulk/bulk_engine.h"
#include "cache/scan_cache.h"
#include "jwalk/jwalk_engine.h"
#include "progress/progress.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using namespace std::chrono_literals;
using tessaly::testing::allocated_size;
using tessaly::testing::TempDir;

// A sink that holds the scanning thread at the "walk finished" line until the
// test lets it go, so that the test can act while a scan is known to run.
class GateSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  void wait_until_held() {
    std::unique_lock lock(gate_mutex_);
    changed_.wait(lock, [this] { return held_; });
  }
  void release() {
    std::lock_guard lock(gate_mutex_);
    released_ = true;
    changed_.notify_all();
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    const std::string_view text(message.payload.data(), message.payload.size());
    if (text.find("walk finished") == std::string_view::npos) return;
    std::unique_lock lock(gate_mutex_);
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
  }
  void flush_() override {}

 private:
  std::mutex gate_mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
};

// A sink whose every message throws something the logger does not swallow.
class ThrowingSink : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg&) override { throw 42; }
  void flush_() override {}
};

std::string describe(const std::expected<BenchmarkResult, std::string>& outcome) {
  return outcome ? "ok" : outcome.error();
}

TEST(RunScanBenchmark, RejectsUnknownEngineNamesAsGiven) {
  TempDir dir;
  for (const std::string name : {"", "JWALK", "Jwalk", "jwalk ", "bulk", "du"}) {
    const auto outcome = run_scan_benchmark(dir.path(), 8, {}, name);
    ASSERT_FALSE(outcome.has_value()) << name;
    EXPECT_EQ(outcome.error(), "Unsupported scanner engine: " + name);
  }
}

// A volume the bulk-attribute reader cannot read is refused, with no fallback
// to the other engine, and the guard is released.
TEST(RunScanBenchmark, BulkAttrsRefusesWithoutFallingBack) {
  TempDir tree;
  tree.write_file("f", 100);
  if (supports_bulk_attrs(tree.path())) GTEST_SKIP() << "the temporary folder is on apfs/hfs here";
  auto bulk = run_scan_benchmark(tree.path(), 8, {}, "bulk-attrs");
  ASSERT_FALSE(bulk.has_value());
  EXPECT_EQ(bulk.error(), "bulk-attrs is unsupported on this volume (expected apfs/hfs)");
  EXPECT_EQ(find_cached_scan(tree.path()), nullptr);
  // The guard was released: the next scan runs.
  auto jwalk = run_scan_benchmark(tree.path(), 8, {}, "jwalk");
  ASSERT_TRUE(jwalk.has_value()) << jwalk.error();
  EXPECT_EQ(jwalk->files_found, 1u);
  // A missing root is refused by the probe, where the parallel walker finds nothing.
  bulk = run_scan_benchmark(tree.at("absent"), 8, {}, "bulk-attrs");
  ASSERT_FALSE(bulk.has_value());
  EXPECT_EQ(bulk.error(), "bulk-attrs is unsupported on this volume (expected apfs/hfs)");
  jwalk = run_scan_benchmark(tree.at("absent"), 8, {}, "jwalk");
  ASSERT_TRUE(jwalk.has_value());
  EXPECT_EQ(jwalk->files_found, 0u);
  // Names are compared byte for byte.
  bulk = run_scan_benchmark(tree.path(), 8, {}, "bulk-attrs ");
  ASSERT_FALSE(bulk.has_value());
  EXPECT_EQ(bulk.error(), "Unsupported scanner engine: bulk-attrs ");
}

TEST(RunScanBenchmark, JwalkRunCopiesTheResultsCounters) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const auto a = allocated_size(dir.write_file("root/a", 12345));
  const auto b = allocated_size(dir.write_file("root/d/b", 777));
  dir.make_dir("root/d/e");
  const auto outcome = run_scan_benchmark(root, 8, {root + "/d/e"}, "jwalk");
  ASSERT_TRUE(outcome.has_value()) << outcome.error();
  EXPECT_EQ(outcome->engine, "jwalk");
  EXPECT_EQ(outcome->files_found, 2u);
  EXPECT_EQ(outcome->dirs_found, 1u);
  EXPECT_EQ(outcome->total_size, a + b);
  EXPECT_EQ(outcome->large_files_count, 0u);
  const auto cached = find_cached_scan(root);
  ASSERT_NE(cached, nullptr);
  EXPECT_EQ(outcome->compute_dir_sizes_ms, cached->compute_dir_sizes_ms);
  EXPECT_EQ(outcome->files_found, cached->files_found);
}

TEST(RunScanBenchmark, ElapsedTimeCoversTheWholeEngineRun) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  auto gate = std::make_shared<GateSink>();
  install_log_sink(gate, spdlog::level::info);
  std::thread releaser([&] {
    gate->wait_until_held();
    std::this_thread::sleep_for(60ms);
    gate->release();
  });
  const auto outcome = run_scan_benchmark(root, 8, {}, "jwalk");
  releaser.join();
  remove_log_sinks();
  ASSERT_TRUE(outcome.has_value()) << outcome.error();
  EXPECT_GE(outcome->elapsed_ms, 60u);
  EXPECT_LT(outcome->elapsed_ms, 60'000u);
}

TEST(RunScanBenchmark, CancellationLeftOverFromBeforeIsCleared) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  dir.write_file("root/f", 10);
  request_scan_cancel();
  const auto outcome = run_scan_benchmark(root, 8, {}, "jwalk");
  EXPECT_EQ(describe(outcome), "ok");
  EXPECT_EQ(outcome->files_found, 1u);
}

TEST(RunScanBenchmark, OnlyOneOfTwoConcurrentScansRuns) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  dir.write_file("root/f", 10);
  auto gate = std::make_shared<GateSink>();
  install_log_sink(gate, spdlog::level::info);
  std::expected<BenchmarkResult, std::string> first = std::unexpected("not run");
  std::thread scanner([&] { first = run_scan_benchmark(root, 8, {}, "jwalk"); });
  gate->wait_until_held();
  // The first scan holds the guard: every other call is refused at once,
  // whatever the engine name.
  EXPECT_EQ(describe(run_scan_benchmark(root, 8, {}, "jwalk")), "Scan already in progress");
  EXPECT_EQ(describe(run_scan_benchmark(root, 8, {}, "no-such-engine")),
            "Scan already in progress");
  gate->release();
  scanner.join();
  remove_log_sinks();
  EXPECT_EQ(describe(first), "ok");
  EXPECT_EQ(describe(run_scan_benchmark(root, 8, {}, "jwalk")), "ok");
}

TEST(RunScanBenchmark, RefusedCallLeavesTheRunningScansCancellationAlone) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  auto gate = std::make_shared<GateSink>();
  install_log_sink(gate, spdlog::level::info);
  std::expected<BenchmarkResult, std::string> first = std::unexpected("not run");
  std::thread scanner([&] { first = run_scan_benchmark(root, 8, {}, "jwalk"); });
  gate->wait_until_held();
  request_scan_cancel();
  EXPECT_EQ(describe(run_scan_benchmark(root, 8, {}, "jwalk")), "Scan already in progress");
  gate->release();
  scanner.join();
  remove_log_sinks();
  // The engine's own error text comes back unchanged.
  EXPECT_EQ(describe(first), "Scan cancelled");
}

TEST(RunScanBenchmark, ScanThatEndedAbnormallyRefusesEveryLaterScan) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  EXPECT_EQ(testing::run_test_child("RunScanBenchmarkChild.PoisonTheGuard",
                                    {"TESSALY_SCAN_ROOT=" + root}),
            "Walk thread panicked then Scan already in progress / Scan already in progress");
}

// Opening a FIFO for reading waits for a writer, so a scan that opened its
// root that way would hang with the scan guard held. Each entry point must
// give the result of a root it cannot read, quickly; should one block, the
// test lets it go by opening the FIFO's other end, so the suite still ends.
TEST(ScanEntryPoints, FifoRootGivesAnEmptyResultWithoutBlocking) {
  TempDir dir;
  const std::string fifo = dir.make_fifo("pipe");
  using Counts = std::array<std::uint64_t, 3>;
  using Outcome = std::expected<Counts, std::string>;
  const auto counts_of = [](const auto& outcome) -> Outcome {
    if (!outcome) return std::unexpected(outcome.error());
    const auto& r = *outcome;
    if constexpr (requires { r->files_found; }) {
      return Counts{r->files_found, r->dirs_found, r->total_size};
    } else {
      return Counts{r.files_found, r.dirs_found, r.total_size};
    }
  };
  const std::vector<std::pair<std::string, std::function<Outcome()>>> entries = {
      {"scan_with_jwalk", [&] { return counts_of(scan_with_jwalk(fifo, 8, {})); }},
      {"scan_with_bulk_attrs", [&] { return counts_of(scan_with_bulk_attrs(fifo, 8, {})); }},
      {"run_scan_benchmark", [&] { return counts_of(run_scan_benchmark(fifo, 8, {}, "jwalk")); }},
  };
  for (const auto& [name, scan] : entries) {
    // The engines' own entry points leave the flag as earlier tests set it.
    scan_cancel_flag().store(false);
    auto outcome = std::async(std::launch::async, scan);
    if (outcome.wait_for(10s) != std::future_status::ready) {
      ADD_FAILURE() << name << " blocked on a FIFO root";
      const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      outcome.wait();
      if (writer >= 0) ::close(writer);
      continue;
    }
    const auto counts = outcome.get();
    ASSERT_TRUE(counts.has_value()) << name << ": " << counts.error();
    EXPECT_EQ(*counts, (Counts{0, 0, 0})) << name;
  }
}

TEST(RunScanBenchmarkChild, PoisonTheGuard) {
  const char* root = std::getenv("TESSALY_SCAN_ROOT");
  if (root == nullptr) GTEST_SKIP() << "runs only as a child of another test";
  install_log_sink(std::make_shared<ThrowingSink>(), spdlog::level::info);
  std::string first;
  try {
    first = describe(run_scan_benchmark(root, 8, {}, "jwalk"));
  } catch (int value) {
    first = "escaped " + std::to_string(value);
  }
  remove_log_sinks();
  const std::string second = describe(run_scan_benchmark(root, 8, {}, "jwalk"));
  const std::string third = describe(run_scan_benchmark(root, 8, {}, "unknown"));
  std::printf("RESULT %s then %s / %s\n", first.c_str(), second.c_str(), third.c_str());
  std::fflush(stdout);
}

}  // namespace
}  // namespace tessaly
