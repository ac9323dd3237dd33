#include "progress/progress.h"

#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "progress/problem_log.h"
#include "progress/testing.h"

namespace tessaly {
namespace {

// progress_testing::hold_scans; read once per scan and per progress point.
std::atomic<bool> hold_scans_flag{false};

bool holding_scans() { return hold_scans_flag.load(std::memory_order_relaxed); }

}  // namespace

void progress_testing::hold_scans(bool on) { hold_scans_flag.store(on, std::memory_order_relaxed); }

// Through the same JSON library as every other JSON the project writes; the
// keys keep the struct's field order.
std::string progress_json(const ScanProgress& progress) {
  nlohmann::ordered_json payload = nlohmann::ordered_json::object();
  payload["files_found"] = progress.files_found;
  payload["dirs_found"] = progress.dirs_found;
  payload["total_size"] = progress.total_size;
  payload["elapsed_ms"] = progress.elapsed_ms;
  return payload.dump();
}

std::atomic<bool>& scan_cancel_flag() {
  static std::atomic<bool> flag{false};
  return flag;
}

void ScanContext::note_problem(std::string_view path, int error) const {
  if (problems != nullptr) problems->record(path, error);
}

void ScanContext::note_problem(std::string_view dir, std::string_view name, int error) const {
  if (problems != nullptr) problems->record(dir, name, error);
}

void request_scan_cancel() { scan_cancel_flag().store(true, std::memory_order_relaxed); }

ProgressTicker::ProgressTicker(const ScanCounters& counters, const ScanContext& context)
    : counters_(counters), context_(context) {
  scan_start_ = read_clock();
  last_tick_ = read_clock();
  if (holding_scans()) last_tick_ -= kInterval;  // the first check is a progress point
}

ProgressTicker::ProgressTicker(const ScanCounters& counters, AppHandle app_handle,
                               const Clock* clock)
    : ProgressTicker(counters,
                     ScanContext{.app_handle = app_handle,
                                 .clock = clock != nullptr ? clock : &monotonic_clock()}) {}

TickResult ProgressTicker::progress_point(Instant now) {
  if (context_.cancel_requested()) return TickResult::kCancelled;
  if (context_.app_handle != nullptr || context_.on_progress != nullptr) emit(now);
  last_tick_ = now;
  if (holding_scans()) {
    while (!context_.cancel_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return TickResult::kCancelled;
  }
  return TickResult::kContinue;
}

void ProgressTicker::emit(Instant now) const {
  const ScanProgress progress{counters_.files_found, counters_.dirs_found, counters_.total_size,
                              whole_millis_between(scan_start_, now)};
  // A failed delivery is the host's concern; the scan goes on either way.
  if (context_.app_handle != nullptr) {
    static_cast<void>(context_.app_handle->emit(kScanProgressEvent, progress_json(progress)));
  }
  if (context_.on_progress != nullptr) (*context_.on_progress)(progress);
}

}  // namespace tessaly
