/// @file
/// Progress of a running scan, and how a host stops one.
#pragma once

#include <tessaly/export.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace tessaly {

/// Name of the event a running scan emits through a ProgressEmitter.
inline constexpr std::string_view kScanProgressEvent = "scan-progress";

/// Error text of a scan stopped through a CancelToken or request_scan_cancel.
inline constexpr std::string_view kScanCancelled = "Scan cancelled";

/// Error text of a scan whose engine failed: a directory job, or the thread
/// running the scan (its progress callback or emitter included), threw
/// something other than std::bad_alloc. No result is given.
inline constexpr std::string_view kWalkThreadPanicked = "Walk thread panicked";

/// The running counters of a scan, as one progress report gives them. The
/// field order is the order of the keys in the "scan-progress" JSON payload.
struct ScanProgress {
  /// Files (and items standing as one, such as bundles) counted so far.
  std::uint64_t files_found = 0;
  /// Directories counted so far.
  std::uint64_t dirs_found = 0;
  /// Bytes counted so far.
  std::uint64_t total_size = 0;
  /// Whole milliseconds since the engine started.
  std::uint64_t elapsed_ms = 0;

  /// Field by field.
  friend bool operator==(const ScanProgress&, const ScanProgress&) = default;
};

/// The host application's event emitter: delivers a named event with a JSON
/// payload to the host's listeners and reports whether that worked (a failure
/// is ignored; the scan goes on). A scan calls it only from the thread that
/// runs the scan, one event after the other: every 100 ms or more while the
/// walk runs, and once with the final counters after the walk. The payload is
/// the ScanProgress as compact JSON, e.g.
/// {"files_found":12,"dirs_found":3,"total_size":40960,"elapsed_ms":101}.
class TESSALY_EXPORT ProgressEmitter {
 public:
  /// Destroys the emitter.
  virtual ~ProgressEmitter() = default;
  /// Delivers `event` with `json_payload`; true when it was delivered. Must
  /// not throw; an exception leaving it ends the scan as one leaving a
  /// ProgressCallback does.
  virtual bool emit(std::string_view event, std::string_view json_payload) const = 0;
};

/// The optional handle of the host application; nullptr when there is none (as
/// in the benchmark tool). It must outlive the scan it is given to.
using AppHandle = const ProgressEmitter*;

/// Typed progress of one scan (ScanRequest::on_progress). Called on the
/// thread that runs the scan, at the moments the "scan-progress" event is
/// emitted (every 100 ms or more during the walk, and once with the final
/// counters), with the values that event's payload carries. It must not
/// throw: std::bad_alloc leaving it ends the scan with kOutOfResources, any
/// other exception with kWalkFailed ("Walk thread panicked"), after which the
/// process refuses every later scan (kUnavailable). The scan never calls it
/// after scan() has returned.
using ProgressCallback = std::function<void(const ScanProgress&)>;

/// A cancellation request of one scan, created by the host and handed to the
/// scan in ScanRequest::cancel. Copies share one state: the host keeps a copy
/// and calls request_cancel from any thread at any time. The scan reads it
/// only while scan() runs, so the host may destroy every copy once scan() has
/// returned. A request made before
/// the scan starts ends that scan at once with "Scan cancelled"; one made
/// during the scan stops it with "Scan cancelled" within about 100 ms. A
/// request is never cleared: a token once cancelled cancels every scan it is
/// given to, so a host makes a new token for each scan.
class CancelToken {
 public:
  /// A token nobody has cancelled yet. Allocates its shared state: throws
  /// std::bad_alloc when memory runs out (copies never allocate).
  CancelToken() : state_(std::make_shared<std::atomic<bool>>(false)) {}
  /// Another handle on the same state. (Declared so that a token is never
  /// moved from: every token keeps its state.)
  CancelToken(const CancelToken&) = default;
  /// Makes this a handle on `other`'s state.
  CancelToken& operator=(const CancelToken&) = default;
  /// Releases this handle.
  ~CancelToken() = default;

  /// Asks every scan holding this token (or a copy) to stop. Takes no lock
  /// and does not allocate, so a signal handler may call it.
  void request_cancel() const noexcept { state_->store(true, std::memory_order_relaxed); }

  /// Whether request_cancel was called on this token or a copy.
  [[nodiscard]] bool cancel_requested() const noexcept {
    return state_->load(std::memory_order_relaxed);
  }

 private:
  std::shared_ptr<std::atomic<bool>> state_;
};

/// Asks the running scan to stop with "Scan cancelled". Callable from any
/// thread; takes no lock. A request made while no scan runs is cleared by the
/// next scan before it starts; a host that must not lose a request uses a
/// CancelToken instead. Gives no error.
TESSALY_EXPORT void request_scan_cancel();

}  // namespace tessaly
