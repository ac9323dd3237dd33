// Monotonic instants and the whole-millisecond rule every duration of a scan
// follows.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace tessaly {

// A reading of the process's one monotonic clock, std::chrono::steady_clock
// (CLOCK_MONOTONIC on Linux; on macOS libc++ reads CLOCK_MONOTONIC_RAW). Only
// differences between two readings carry meaning.
using Instant = std::chrono::steady_clock::time_point;

// Source of instants. What a scan measures or reports (progress ticks, the
// durations in its result and record, cache ages) is read through a Clock, so
// that tests can substitute a clock they move by hand; monotonic_clock() is
// the real one. Waits for resources (descriptors, a channel's timeout) read
// monotonic_now(), the same clock, directly.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual Instant now() const = 0;
};

// The process-wide monotonic clock.
const Clock& monotonic_clock();

// A reading of the same clock as monotonic_clock().now(), without the call
// through the interface.
inline Instant monotonic_now() { return std::chrono::steady_clock::now(); }

// `to - from`, or nothing when `to` lies before `from`.
inline std::optional<std::chrono::nanoseconds> elapsed_between(Instant from, Instant to) {
  if (to < from) return std::nullopt;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from);
}

// Whole seconds times 1000 plus nanoseconds divided by 1,000,000, truncated; a
// negative duration counts as 0.
std::uint64_t whole_millis(std::chrono::nanoseconds duration);

// Whole milliseconds from `from` to `to`; 0 when `to` lies before `from`.
std::uint64_t whole_millis_between(Instant from, Instant to);

// A clock that only moves when told to. Safe to read and move from different
// threads.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::chrono::nanoseconds start = std::chrono::hours(1))
      : now_(start.count()) {}

  Instant now() const override {
    return Instant(std::chrono::nanoseconds(now_.load(std::memory_order_relaxed)));
  }
  void advance(std::chrono::nanoseconds by) {
    now_.fetch_add(by.count(), std::memory_order_relaxed);
  }
  void set(std::chrono::nanoseconds since_epoch) {
    now_.store(since_epoch.count(), std::memory_order_relaxed);
  }

 private:
  std::atomic<std::int64_t> now_;
};

}  // namespace tessaly
