#include "progress/progress.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/clock.h"
#include "support/recording_emitter.h"

namespace tessaly {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using tessaly::testing::RecordingEmitter;

// Counts its readings, so tests can see how often the ticker asks.
class CountingClock final : public Clock {
 public:
  Instant now() const override {
    ++reads;
    return inner.now();
  }
  ManualClock inner;
  mutable int reads = 0;
};

std::string event(std::uint64_t files, std::uint64_t dirs, std::uint64_t bytes,
                  std::uint64_t elapsed) {
  return "scan-progress " + progress_json(ScanProgress{files, dirs, bytes, elapsed});
}

class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override { scan_cancel_flag().store(false); }
  void TearDown() override { scan_cancel_flag().store(false); }
};

TEST(ProgressJson, KeysInFieldOrderCompact) {
  EXPECT_EQ(progress_json(ScanProgress{12, 3, 40960, 101}),
            R"({"files_found":12,"dirs_found":3,"total_size":40960,"elapsed_ms":101})");
  EXPECT_EQ(progress_json(ScanProgress{0, 0, UINT64_MAX, 0}),
            R"({"files_found":0,"dirs_found":0,"total_size":18446744073709551615,"elapsed_ms":0})");
}

TEST(Clock, WholeMillisecondsTruncate) {
  EXPECT_EQ(whole_millis(nanoseconds(0)), 0u);
  EXPECT_EQ(whole_millis(nanoseconds(999'999)), 0u);
  EXPECT_EQ(whole_millis(nanoseconds(1'000'000)), 1u);
  EXPECT_EQ(whole_millis(nanoseconds(2'999'999'999)), 2999u);
  EXPECT_EQ(whole_millis(nanoseconds(-5'000'000)), 0u);
  const Instant start = Instant(std::chrono::seconds(10));
  EXPECT_EQ(whole_millis_between(start, start + milliseconds(250)), 250u);
  EXPECT_EQ(whole_millis_between(start + milliseconds(250), start), 0u);
  EXPECT_FALSE(elapsed_between(start + nanoseconds(1), start).has_value());
  EXPECT_EQ(*elapsed_between(start, start), nanoseconds(0));
}

TEST(Clock, MonotonicClockDoesNotGoBack) {
  const Instant first = monotonic_clock().now();
  const Instant second = monotonic_clock().now();
  EXPECT_LE(first, second);
}

TEST_F(ProgressTest, GateOpensAtOneHundredMilliseconds) {
  ManualClock clock;
  ScanCounters counters;
  RecordingEmitter emitter;
  ProgressTicker ticker(counters, &emitter, &clock);

  counters.files_found = 1;
  clock.advance(milliseconds(99));
  EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  clock.advance(nanoseconds(999'999));
  EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  EXPECT_THAT(emitter.events(), IsEmpty());

  clock.advance(nanoseconds(1));
  counters = ScanCounters{5, 2, 8192};
  EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  EXPECT_THAT(emitter.events(), ElementsAre(event(5, 2, 8192, 100)));

  // The interval restarts at the tick.
  clock.advance(milliseconds(60));
  EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  clock.advance(milliseconds(60));
  counters.files_found = 9;
  EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  EXPECT_THAT(emitter.events(), ElementsAre(event(5, 2, 8192, 100), event(9, 2, 8192, 220)));
}

TEST_F(ProgressTest, ClockReadOncePerItem) {
  CountingClock clock;
  ScanCounters counters;
  RecordingEmitter emitter;
  ProgressTicker ticker(counters, &emitter, &clock);
  const int after_start = clock.reads;
  EXPECT_EQ(after_start, 2);
  for (int i = 0; i < 10; ++i) {
    clock.inner.advance(milliseconds(30));
    EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  }
  EXPECT_EQ(clock.reads, after_start + 10);
  // Ticks at 120 ms and 240 ms.
  EXPECT_EQ(emitter.events().size(), 2u);
}

TEST_F(ProgressTest, ClockBeforeLastPointCountsAsTooEarly) {
  ManualClock clock(std::chrono::hours(5));
  ScanCounters counters;
  RecordingEmitter emitter;
  ProgressTicker ticker(counters, &emitter, &clock);
  clock.set(std::chrono::hours(4));
  request_scan_cancel();
  EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  EXPECT_THAT(emitter.events(), IsEmpty());
}

TEST_F(ProgressTest, FlagIsReadOnlyOnATick) {
  ManualClock clock;
  ScanCounters counters;
  ProgressTicker ticker(counters, nullptr, &clock);
  request_scan_cancel();
  clock.advance(milliseconds(50));
  EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  clock.advance(milliseconds(50));
  EXPECT_EQ(ticker.tick(), TickResult::kCancelled);
}

TEST_F(ProgressTest, CancelledTickEmitsNothing) {
  ManualClock clock;
  ScanCounters counters;
  RecordingEmitter emitter;
  ProgressTicker ticker(counters, &emitter, &clock);
  clock.advance(milliseconds(150));
  scan_cancel_flag().store(true);
  EXPECT_EQ(ticker.tick(), TickResult::kCancelled);
  EXPECT_THAT(emitter.events(), IsEmpty());
}

TEST_F(ProgressTest, WithoutHandleNothingIsEmittedButTicksContinue) {
  ManualClock clock;
  ScanCounters counters;
  ProgressTicker ticker(counters, nullptr, &clock);
  for (int i = 0; i < 5; ++i) {
    clock.advance(milliseconds(120));
    EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  }
  ticker.emit_final();
  EXPECT_EQ(ticker.elapsed_ms(), 600u);
}

TEST_F(ProgressTest, FailedEmissionIsIgnored) {
  ManualClock clock;
  ScanCounters counters;
  RecordingEmitter emitter(/*succeed=*/false);
  ProgressTicker ticker(counters, &emitter, &clock);
  clock.advance(milliseconds(100));
  EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  clock.advance(milliseconds(50));
  EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  clock.advance(milliseconds(50));
  EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  EXPECT_THAT(emitter.events(), ElementsAre(event(0, 0, 0, 100), event(0, 0, 0, 200)));
}

TEST_F(ProgressTest, UngatedTickEmitsAndMovesThePoint) {
  ManualClock clock;
  ScanCounters counters{1, 1, 1};
  RecordingEmitter emitter;
  ProgressTicker ticker(counters, &emitter, &clock);
  clock.advance(milliseconds(200));
  EXPECT_EQ(ticker.tick_now(), TickResult::kContinue);
  clock.advance(milliseconds(99));
  EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  clock.advance(milliseconds(1));
  EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  EXPECT_THAT(emitter.events(), ElementsAre(event(1, 1, 1, 200), event(1, 1, 1, 300)));

  request_scan_cancel();
  EXPECT_EQ(ticker.tick_now(), TickResult::kCancelled);
}

TEST_F(ProgressTest, RestartIntervalMovesOnlyThePoint) {
  ManualClock clock;
  ScanCounters counters;
  RecordingEmitter emitter;
  ProgressTicker ticker(counters, &emitter, &clock);
  clock.advance(milliseconds(500));
  ticker.restart_interval();
  clock.advance(milliseconds(99));
  EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  clock.advance(milliseconds(1));
  EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  EXPECT_THAT(emitter.events(), ElementsAre(event(0, 0, 0, 600)));
}

TEST_F(ProgressTest, ShortWalkEmitsOnlyTheFinalEvent) {
  ManualClock clock;
  ScanCounters counters;
  RecordingEmitter emitter;
  ProgressTicker ticker(counters, &emitter, &clock);
  for (int i = 0; i < 40; ++i) {
    counters.files_found += 1;
    counters.total_size += 4096;
    clock.advance(milliseconds(2));
    ASSERT_EQ(ticker.tick(), TickResult::kContinue);
  }
  EXPECT_FALSE(ticker.cancel_requested());
  ticker.emit_final();
  EXPECT_THAT(emitter.events(), ElementsAre(event(40, 0, 40 * 4096, 80)));
}

TEST_F(ProgressTest, FlagSetAfterLastItemIsSeenAtTheEnd) {
  ManualClock clock;
  ScanCounters counters;
  ProgressTicker ticker(counters, nullptr, &clock);
  clock.advance(milliseconds(10));
  EXPECT_EQ(ticker.tick(), TickResult::kContinue);
  request_scan_cancel();
  EXPECT_TRUE(ticker.cancel_requested());
}

TEST_F(ProgressTest, GatedEventsAreAtLeastAnIntervalApart) {
  ManualClock clock;
  ScanCounters counters;
  RecordingEmitter emitter;
  ProgressTicker ticker(counters, &emitter, &clock);
  std::vector<Instant> emitted_at;
  std::uint64_t step = 1;
  for (int i = 0; i < 5000; ++i) {
    step = (step * 6364136223846793005ULL + 1442695040888963407ULL);
    clock.advance(nanoseconds((step >> 40) % 30'000'000));
    const std::size_t before = emitter.events().size();
    ASSERT_EQ(ticker.tick(), TickResult::kContinue);
    if (emitter.events().size() != before) emitted_at.push_back(clock.now());
  }
  ASSERT_GT(emitted_at.size(), 10u);
  for (std::size_t i = 1; i < emitted_at.size(); ++i) {
    EXPECT_GE(emitted_at[i] - emitted_at[i - 1], milliseconds(100)) << i;
  }
}

TEST_F(ProgressTest, CancelRequestFromAnotherThreadIsSeen) {
  ScanCounters counters;
  ProgressTicker ticker(counters, nullptr);
  std::thread requester([] { request_scan_cancel(); });
  requester.join();
  EXPECT_TRUE(ScanContext{}.cancel_requested());
  EXPECT_TRUE(ticker.cancel_requested());
  scan_cancel_flag().store(false);
  EXPECT_FALSE(ticker.cancel_requested());
}

// A scan's token reaches its ticker through its context alone.
TEST_F(ProgressTest, TheContextsTokenCancelsThatScanOnly) {
  ScanCounters counters;
  ManualClock clock;
  CancelToken token;
  ProgressTicker with_token(counters, ScanContext{.cancel = &token, .clock = &clock});
  ProgressTicker without(counters, nullptr, &clock);
  token.request_cancel();
  EXPECT_TRUE(with_token.cancel_requested());
  EXPECT_FALSE(without.cancel_requested());
  clock.advance(milliseconds(100));
  EXPECT_EQ(with_token.tick(), TickResult::kCancelled);
  EXPECT_EQ(without.tick(), TickResult::kContinue);
}

TEST_F(ProgressTest, RealClockTicksWhileARequestArrives) {
  // A consuming loop on the real clock stops soon after another thread asks.
  ScanCounters counters;
  RecordingEmitter emitter;
  ProgressTicker ticker(counters, &emitter);
  std::atomic<bool> started{false};
  std::thread requester([&] {
    while (!started.load()) std::this_thread::yield();
    std::this_thread::sleep_for(milliseconds(150));
    request_scan_cancel();
  });
  started.store(true);
  const Instant begin = monotonic_now();
  TickResult result = TickResult::kContinue;
  while (result == TickResult::kContinue && monotonic_now() - begin < std::chrono::seconds(20)) {
    ++counters.files_found;
    result = ticker.tick();
  }
  requester.join();
  EXPECT_EQ(result, TickResult::kCancelled);
  EXPECT_GE(emitter.events().size(), 1u);
}

}  // namespace
}  // namespace tessaly
