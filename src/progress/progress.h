// Progress events of a running scan and its cancellation: the process-wide
// flag of request_scan_cancel and the token of the scan the entry admitted.
// What the engines use beside the public part in <tessaly/progress.h>.
#pragma once

#include <tessaly/progress.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/clock.h"

namespace tessaly {

// Compact JSON with the four keys in field order, e.g.
// {"files_found":12,"dirs_found":3,"total_size":40960,"elapsed_ms":101}.
std::string progress_json(const ScanProgress& progress);

// The process-wide cancellation flag, false at first use. It guards no other
// data, so relaxed loads and stores suffice.
std::atomic<bool>& scan_cancel_flag();

// The token of the scan the entry runs, or nullptr (no scan admitted, or an
// engine called directly). Only the entry, holding the scan guard, sets it.
std::atomic<const CancelToken*>& active_cancel_token();

// The typed progress callback of the scan the calling thread runs through the
// entry, or nullptr.
const ProgressCallback*& active_progress_callback();

// Either request: request_scan_cancel's flag, or the admitted scan's token.
inline bool scan_cancel_requested() {
  if (scan_cancel_flag().load(std::memory_order_relaxed)) return true;
  const CancelToken* token = active_cancel_token().load(std::memory_order_acquire);
  return token != nullptr && token->cancel_requested();
}

// Makes a scan's token and typed progress the active ones for its lifetime,
// on the thread that runs the scan; restores none after. `token` and
// `on_progress` must outlive it; an empty callback counts as none.
class ActiveScanScope {
 public:
  ActiveScanScope(const CancelToken& token, const ProgressCallback& on_progress);
  ~ActiveScanScope();
  ActiveScanScope(const ActiveScanScope&) = delete;
  ActiveScanScope& operator=(const ActiveScanScope&) = delete;
};

// The running counters of a scan, owned by the engine's collecting thread.
struct ScanCounters {
  std::uint64_t files_found = 0;
  std::uint64_t dirs_found = 0;
  std::uint64_t total_size = 0;
};

enum class TickResult { kContinue, kCancelled };

// Progress points of one engine run, used on the engine's collecting thread
// only. It reads the counters it was given whenever it builds a payload, so
// the counters must outlive it.
class ProgressTicker {
 public:
  static constexpr std::chrono::milliseconds kInterval{100};

  // Reads the clock twice, one reading after the other: the engine's start
  // instant and the first progress point. `clock` nullptr means the monotonic
  // clock. Takes the calling thread's active typed progress callback.
  ProgressTicker(const ScanCounters& counters, AppHandle app_handle, const Clock* clock = nullptr);

  // The progress point after one handled item. Reads the clock once; only when
  // 100 ms or more have passed since the last progress point does it read the
  // cancellation requests, emit an event when a handle is present (and hand
  // the same counters to the active typed callback), and move the
  // progress point. A clock reading before the last point counts as too early.
  [[nodiscard]] TickResult tick() {
    const Instant now = read_clock();
    if (now - last_tick_ < kInterval) return TickResult::kContinue;
    return progress_point(now);
  }

  // The same progress point without the 100 ms condition (a collector's
  // receive wait ran out).
  [[nodiscard]] TickResult tick_now() { return progress_point(read_clock()); }

  // Makes the current instant the last progress point.
  void restart_interval() { last_tick_ = read_clock(); }

  // The end-of-walk check.
  [[nodiscard]] bool cancel_requested() const { return scan_cancel_requested(); }

  // The final event with the finished counters, regardless of the interval.
  void emit_final() {
    if (app_handle_ != nullptr || on_progress_ != nullptr) emit(read_clock());
  }

  // Whole milliseconds since the engine's start instant.
  std::uint64_t elapsed_ms() const { return whole_millis_between(scan_start_, read_clock()); }

 private:
  Instant read_clock() const { return clock_->now(); }
  TickResult progress_point(Instant now);
  void emit(Instant now) const;

  const ScanCounters& counters_;
  AppHandle app_handle_;
  const ProgressCallback* on_progress_;
  const Clock* clock_;  // never null
  Instant scan_start_;
  Instant last_tick_;
};

}  // namespace tessaly
