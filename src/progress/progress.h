// Progress events of a running scan and its cancellation: the process-wide
// flag of request_scan_cancel and the token of the scan the entry admitted.
// What the engines use beside the public part in <tessaly/progress.h>.
#pragma once

#include <tessaly/progress.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/clock.h"

namespace tessaly {

// Compact JSON with the four keys in field order, e.g.
// {"files_found":12,"dirs_found":3,"total_size":40960,"elapsed_ms":101}.
std::string progress_json(const ScanProgress& progress);

// The process-wide cancellation flag, false at first use. It guards no other
// data, so relaxed loads and stores suffice.
std::atomic<bool>& scan_cancel_flag();

class ProblemLog;

// What one scan hands its engine beside the tree, as a parameter and never
// through process-wide state: where its progress goes, what cancels it, the
// clock that times it, and where the parts it cannot read are noted. Every
// pointer may be null (none) except `clock`; what they point to must outlive
// the engine call, and nothing of it is used after the engine returns.
struct ScanContext {
  AppHandle app_handle = nullptr;
  // Null or a non-empty callback.
  const ProgressCallback* on_progress = nullptr;
  // The scan's own token, beside request_scan_cancel's flag.
  const CancelToken* cancel = nullptr;
  const Clock* clock = &monotonic_clock();
  ProblemLog* problems = nullptr;
  // Test hook: the collector takes a message only when the walk's channel is
  // full or the walk has ended, so that the walk runs as far ahead of it as
  // the channel's bound lets it, whatever the scheduler does.
  bool lagging_collector = false;
  // A refresh of one folder below a scan's root: the root whose volume the
  // device rule keeps the walk on (empty: the scanned root itself), the
  // multiply-linked files already counted elsewhere in that root's result
  // (device and inode in the engine's own encoding, as its results give
  // them; their names here count 0), and whether the
  // engine stores its result in the scan cache under the scanned root.
  std::string_view volume_root = {};
  std::span<const std::pair<std::uint64_t, std::uint64_t>> counted_links = {};
  bool store_in_cache = true;

  // Either request: request_scan_cancel's flag, or this scan's token.
  bool cancel_requested() const {
    if (scan_cancel_flag().load(std::memory_order_relaxed)) return true;
    return cancel != nullptr && cancel->cancel_requested();
  }

  // Notes the unreadable `path` (from any thread); nothing without a log.
  void note_problem(std::string_view path, int error) const;
  // The same for the entry `name` of the directory `dir`.
  void note_problem(std::string_view dir, std::string_view name, int error) const;
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

  // Reads the context's clock twice, one reading after the other: the
  // engine's start instant and the first progress point. Keeps a copy of
  // `context`.
  ProgressTicker(const ScanCounters& counters, const ScanContext& context);
  // A context of `app_handle` alone, timed by `clock` (nullptr: the monotonic
  // clock).
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
  [[nodiscard]] bool cancel_requested() const { return context_.cancel_requested(); }

  // The final event with the finished counters, regardless of the interval.
  void emit_final() {
    if (context_.app_handle != nullptr || context_.on_progress != nullptr) emit(read_clock());
  }

  // Whole milliseconds since the engine's start instant.
  std::uint64_t elapsed_ms() const { return whole_millis_between(scan_start_, read_clock()); }

 private:
  Instant read_clock() const { return context_.clock->now(); }
  TickResult progress_point(Instant now);
  void emit(Instant now) const;

  const ScanCounters& counters_;
  ScanContext context_;
  Instant scan_start_;
  Instant last_tick_;
};

}  // namespace tessaly
