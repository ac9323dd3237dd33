// The host's door: its own cancellation token, typed progress, the platform
// default engine and error kinds, on real trees.
#include <gtest/gtest.h>
#include <tessaly/tessaly.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "progress/progress.h"
#include "progress/testing.h"
#include "support/recording_emitter.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::RecordingEmitter;
using testing::TempDir;

ScanRequest request_for(const std::string& root, std::optional<std::string> engine) {
  ScanRequest request;
  request.root = root;
  request.engine = std::move(engine);
  return request;
}

class HostScanTest : public ::testing::Test {
 protected:
  void SetUp() override { scan_cancel_flag().store(false); }
  void TearDown() override { scan_cancel_flag().store(false); }
};

TEST_F(HostScanTest, ATokenCancelledBeforeTheScanEndsItAtOnce) {
  TempDir dir;
  dir.write_file("f", 5000);
  ScanRequest request = request_for(dir.path(), "jwalk");
  request.cancel.request_cancel();
  RecordingEmitter emitter;
  const auto outcome = scan(request, &emitter);
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error(), (ScanError{ScanErrorKind::kCancelled, "Scan cancelled"}));
  EXPECT_TRUE(emitter.events().empty());
  // The request stays with that token, and with nothing else.
  EXPECT_EQ(run_scan(request).error(), "Scan cancelled");
  EXPECT_TRUE(scan(request_for(dir.path(), "jwalk")).has_value());
}

// Another thread cancels each scan at a random moment of it: every scan ends
// cancelled or complete and exact, never partial. A last scan, held running
// until the token is cancelled, shows that a cancel does stop one.
TEST_F(HostScanTest, ATokenCancelledFromAnotherThreadStopsTheRunningScan) {
  TempDir dir;
  std::uint64_t files = 0;
  for (int d = 0; d < 100; ++d) {
    for (int f = 0; f < 25; ++f, ++files) {
      dir.write_file("d" + std::to_string(d) + "/f" + std::to_string(f), 100);
    }
  }
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(scan(request_for(dir.path(), "jwalk")).has_value());
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);

  std::mt19937 random(99);
  std::uniform_int_distribution<long> delay_us(0, took.count());
  for (int i = 0; i < 20; ++i) {
    ScanRequest request = request_for(dir.path(), "jwalk");
    std::thread canceller([token = request.cancel, delay = delay_us(random)] {
      std::this_thread::sleep_for(std::chrono::microseconds(delay));
      token.request_cancel();
    });
    const auto outcome = scan(request);
    canceller.join();
    if (outcome) {
      EXPECT_EQ(outcome->result->files_found, files);
    } else {
      EXPECT_EQ(outcome.error(), (ScanError{ScanErrorKind::kCancelled, "Scan cancelled"}));
    }
  }
  progress_testing::hold_scans(true);
  ScanRequest held = request_for(dir.path(), "jwalk");
  std::thread canceller;
  held.on_progress = [&canceller, token = held.cancel, once = true](const ScanProgress&) mutable {
    if (std::exchange(once, false)) canceller = std::thread([token] { token.request_cancel(); });
  };
  const auto outcome = scan(held);
  progress_testing::hold_scans(false);
  ASSERT_TRUE(canceller.joinable());
  canceller.join();
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error(), (ScanError{ScanErrorKind::kCancelled, "Scan cancelled"}));
  EXPECT_FALSE(scan_cancel_flag().load());
}

TEST_F(HostScanTest, TypedProgressCarriesTheValuesOfTheJsonEvents) {
  TempDir dir;
  dir.write_file("a/f", 5000);
  dir.write_file("g", 100);
  for (const char* engine : {"jwalk", "bulk-attrs"}) {
    ScanRequest request = request_for(dir.path(), engine);
    request.volume_probe = VolumeProbe::kSkip;
    std::vector<std::string> typed;
    request.on_progress = [&typed](const ScanProgress& progress) {
      typed.push_back("scan-progress " + progress_json(progress));
    };
    RecordingEmitter emitter;
    const auto outcome = scan(request, &emitter);
    ASSERT_TRUE(outcome.has_value()) << outcome.error().message;
    ASSERT_FALSE(typed.empty()) << engine;
    EXPECT_EQ(typed, emitter.events()) << engine;
    EXPECT_TRUE(typed.back().starts_with(R"(scan-progress {"files_found":2,"dirs_found":1,)"))
        << typed.back();
  }
  // Without an emitter the callback still runs.
  ScanRequest request = request_for(dir.path(), "jwalk");
  int calls = 0;
  request.on_progress = [&calls](const ScanProgress&) { ++calls; };
  ASSERT_TRUE(scan(request).has_value());
  EXPECT_GE(calls, 1);
}

TEST_F(HostScanTest, ARequestNamingNoEngineGetsThePlatformDefault) {
  TempDir dir;
  dir.write_file("f", 5000);
  const ScanEngine expected = default_scan_engine(dir.path());
#if defined(__linux__)
  EXPECT_EQ(expected, ScanEngine::kJwalk);
#endif
  EXPECT_EQ(expected,
            supports_bulk_attrs(dir.path()) ? ScanEngine::kBulkAttrs : ScanEngine::kJwalk);
  const auto outcome = scan(request_for(dir.path(), std::nullopt));
  ASSERT_TRUE(outcome.has_value()) << outcome.error().message;
  EXPECT_EQ(outcome->engine, expected);
  EXPECT_FALSE(outcome->volume_probe_skipped);
  EXPECT_EQ(outcome->result->files_found, 1u);
  // A named engine is taken as named.
  const auto named = scan(request_for(dir.path(), "jwalk"));
  ASSERT_TRUE(named.has_value());
  EXPECT_EQ(named->engine, ScanEngine::kJwalk);
}

TEST_F(HostScanTest, ErrorsCarryTheirKind) {
  TempDir dir;
  dir.write_file("f", 5000);
  EXPECT_EQ(scan(request_for(dir.path(), "JWALK")).error(),
            (ScanError{ScanErrorKind::kUnknownEngine, "Unsupported scanner engine: JWALK"}));
  EXPECT_EQ(scan(request_for(dir.path(), "")).error(),
            (ScanError{ScanErrorKind::kUnknownEngine, "Unsupported scanner engine: "}));
  if (!supports_bulk_attrs(dir.path())) {
    EXPECT_EQ(scan(request_for(dir.path(), "bulk-attrs")).error(),
              (ScanError{ScanErrorKind::kUnsupportedVolume,
                         "bulk-attrs is unsupported on this volume (expected apfs/hfs)"}));
  }

  // A scan held inside its progress callback keeps the guard.
  std::mutex mutex;
  std::condition_variable changed;
  bool inside = false;
  bool release = false;
  ScanRequest held = request_for(dir.path(), "jwalk");
  held.on_progress = [&](const ScanProgress&) {
    std::unique_lock lock(mutex);
    inside = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
  };
  std::thread runner([&] { EXPECT_TRUE(scan(held).has_value()); });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return inside; });
  }
  ScanRequest other = request_for(dir.path(), "no such engine");
  other.cancel.request_cancel();
  EXPECT_EQ(scan(other).error(), (ScanError{ScanErrorKind::kBusy, "Scan already in progress"}));
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  changed.notify_all();
  runner.join();
}

// Poisoning lasts for the rest of the process, so each case runs in a child.
// `poisons` tells whether the next scan is refused or whole.
void run_then_expect(const ProgressCallback& throwing, const ScanError& first, bool poisons) {
  TempDir dir;
  dir.write_file("f", 100);
  ScanRequest request = request_for(dir.path(), "jwalk");
  request.on_progress = throwing;
  std::expected<ScanOutput, ScanError> outcome;
  try {
    outcome = scan(request);
  } catch (...) {
    std::_Exit(5);  // nothing may leave scan()
  }
  if (outcome || outcome.error() != first) std::_Exit(2);
  const auto after = scan(request_for(dir.path(), "jwalk"));
  if (poisons) {
    if (after ||
        after.error() != ScanError{ScanErrorKind::kUnavailable, "Scan already in progress"})
      std::_Exit(3);
  } else if (!after || after->result->files_found != 1) {
    std::_Exit(4);
  }
  std::_Exit(0);
}

TEST_F(HostScanTest,
       RunningOutOfMemoryIsOutOfResourcesAndOtherExceptionsFailAndLeaveTheProcessUnavailable) {
  // The child starts afresh, without the worker threads of earlier scans.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_then_expect([](const ScanProgress&) { throw std::bad_alloc(); },
                              ScanError{ScanErrorKind::kOutOfResources, "std::bad_alloc"}, false),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(run_then_expect([](const ScanProgress&) { throw std::runtime_error("host"); },
                              ScanError{ScanErrorKind::kWalkFailed, "Walk thread panicked"}, true),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tessaly

namespace tessaly {
namespace {

// Every listed directory is reached from the root with its total, also below
// a root spelled with a trailing slash and through a name that is not UTF-8.
TEST_F(HostScanTest, TheResultIsWalkedDirectoryByDirectoryWithSizes) {
  TempDir dir;
  TESSALY_CREATE_OR_SKIP(dir.make_dir("a/b\xff"));
  const std::uint64_t f = testing::allocated_size(dir.write_file("a/b\xff/f", 5000));
  const std::uint64_t g = testing::allocated_size(dir.write_file("a/g", 100));
  const std::uint64_t h = testing::allocated_size(dir.write_file("h", 10));
  const auto outcome = scan(request_for(dir.path() + "/", "jwalk"));
  ASSERT_TRUE(outcome.has_value());
  const ResultDirectory root = outcome->result->root_directory();
  EXPECT_EQ(root.path(), dir.path() + "/");
  EXPECT_EQ(root.size(), f + g + h);
  ASSERT_EQ(root.children().size(), 2u);
  std::optional<ResultDirectory> a;
  for (const ChildEntry& entry : root.children()) {
    if (entry.name() == "h") {
      EXPECT_FALSE(root.child(entry).has_value());
      EXPECT_EQ(root.child_size(entry), h);
    } else {
      a = root.child(entry);
      EXPECT_EQ(root.child_size(entry), f + g);
    }
  }
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->path(), dir.path() + "/a");
  EXPECT_EQ(a->size(), f + g);
  for (const ChildEntry& entry : a->children()) {
    if (!entry.is_dir()) continue;
    EXPECT_EQ(entry.raw_name(), "b\xff");
    const std::optional<ResultDirectory> b = a->child(entry);
    ASSERT_TRUE(b.has_value());
    EXPECT_EQ(b->path(), dir.path() + "/a/b\xff");
    EXPECT_EQ(b->size(), f);
    ASSERT_EQ(b->children().size(), 1u);
    EXPECT_EQ(b->child_size(b->children()[0]), f);
  }
}

}  // namespace
}  // namespace tessaly
