// Progress events of a running scan, and how a host stops one.
#pragma once

#include <tessaly/export.h>

#include <cstdint>
#include <string_view>

namespace tessaly {

// Name of the event a running scan emits.
inline constexpr std::string_view kScanProgressEvent = "scan-progress";

// Error text of a scan stopped through request_scan_cancel.
inline constexpr std::string_view kScanCancelled = "Scan cancelled";

// Error text of a scan whose walk failed (a job threw): part of the tree is
// unread, so no result is given.
inline constexpr std::string_view kWalkThreadPanicked = "Walk thread panicked";

// Payload of one "scan-progress" event: the scan's running counters. The field
// order is the order of the keys in the serialised payload.
struct ScanProgress {
  std::uint64_t files_found = 0;
  std::uint64_t dirs_found = 0;
  std::uint64_t total_size = 0;
  std::uint64_t elapsed_ms = 0;

  friend bool operator==(const ScanProgress&, const ScanProgress&) = default;
};

// The host application's event emitter: delivers a named event with a JSON
// payload to the host's listeners and reports whether that worked (a failure
// is ignored; the scan goes on). A scan calls it only from the thread that runs
// the scan, one event after the other: every 100 ms or more while the walk
// runs, and once with the final counters after the walk. The payload is the
// ScanProgress as compact JSON, e.g.
// {"files_found":12,"dirs_found":3,"total_size":40960,"elapsed_ms":101}.
class TESSALY_EXPORT ProgressEmitter {
 public:
  virtual ~ProgressEmitter() = default;
  virtual bool emit(std::string_view event, std::string_view json_payload) const = 0;
};

// The optional handle of the host application; nullptr when there is none (as
// in the benchmark tool). It must outlive the scan it is given to.
using AppHandle = const ProgressEmitter*;

// Asks the running scan to stop with "Scan cancelled". Callable from any
// thread; takes no lock. A request made while no scan runs is cleared by the
// next scan before it starts.
TESSALY_EXPORT void request_scan_cancel();

}  // namespace tessaly
