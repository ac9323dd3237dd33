#include "service/scan_service.h"

#include <new>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "base/clock.h"
#include "base/poison_mutex.h"
#include "base/worker_pool.h"
#include "bulk/bulk_engine.h"
#include "bulk/bulk_reader.h"
#include "jwalk/jwalk_engine.h"
#include "platform/descriptors.h"
#include "platform/kernel.h"
#include "platform/mount_table.h"
#include "progress/progress.h"
#include "result/result.h"

namespace tessaly {
namespace {

// Only ever tried, never waited for.
PoisonableMutex& scan_lock() {
  static PoisonableMutex lock;
  return lock;
}

ScanError failure(ScanErrorKind kind, std::string message) {
  return ScanError{kind, std::move(message)};
}

// The kind of an engine's error text. The engines fail with an "IO error"
// only for a root that no descriptor came free for.
ScanErrorKind engine_error_kind(std::string_view message) {
  if (message == kScanCancelled) return ScanErrorKind::kCancelled;
  if (message == kBulkAttrsUnsupported) return ScanErrorKind::kUnsupportedVolume;
  if (message == std::bad_alloc().what() || message.starts_with(kSpawnFailurePrefix) ||
      message.starts_with(platform::kIoErrorPrefix)) {
    return ScanErrorKind::kOutOfResources;
  }
  return ScanErrorKind::kWalkFailed;
}

// The admitted scan, with the guard held.
std::expected<ScanOutput, ScanError> run_admitted_scan(const ScanRequest& request,
                                                       AppHandle app_handle) {
  scan_cancel_flag().store(false, std::memory_order_relaxed);
  if (request.cancel.cancel_requested()) {
    return std::unexpected(failure(ScanErrorKind::kCancelled, std::string(kScanCancelled)));
  }
  const ActiveScanScope active(request.cancel, request.on_progress);
  const Clock& clock = monotonic_clock();
  const Instant start = clock.now();

  std::optional<ScanEngine> engine;
  if (request.engine) {
    engine = parse_scan_engine(*request.engine);
    if (!engine) {
      return std::unexpected(
          failure(ScanErrorKind::kUnknownEngine,
                  fmt::format("{}{}", kUnsupportedEnginePrefix, *request.engine)));
    }
  } else {
    engine = default_scan_engine(request.root);
  }

  ScanOutcome outcome;
  // The default has asked the probe already.
  const bool probe = request.volume_probe == VolumeProbe::kApply && request.engine;
  if (*engine == ScanEngine::kJwalk) {
    outcome = scan_with_jwalk(request.root, request.tree_depth, request.exclude_paths, app_handle);
  } else if (probe) {
    outcome = run_bulk_attrs_selected(request.root, request.tree_depth, request.exclude_paths,
                                      app_handle);
  } else {
    outcome =
        scan_with_bulk_attrs(request.root, request.tree_depth, request.exclude_paths, app_handle);
  }
  const std::uint64_t elapsed_ms = whole_millis_between(start, clock.now());
  if (!outcome) {
    const ScanErrorKind kind = engine_error_kind(outcome.error());
    return std::unexpected(failure(kind, std::move(outcome.error())));
  }
  const bool probe_skipped = *engine == ScanEngine::kBulkAttrs &&
                             request.volume_probe == VolumeProbe::kSkip && request.engine;
  return ScanOutput{std::move(*outcome), elapsed_ms, probe_skipped, *engine};
}

// The scan entry with its errors kinded. Memory running out leaves nothing
// half changed: every engine releases what it holds on the way out, and the
// cache refuses an entry it has no room for whole. Such a scan fails with the
// exception's own text (short enough to need no allocation), and the guard
// stays usable. Anything else that escapes poisons the guard on its way to
// the caller.
std::expected<ScanOutput, ScanError> admitted_scan(const ScanRequest& request,
                                                   AppHandle app_handle) {
  std::optional<PoisonableMutex::Guard> guard = scan_lock().try_lock();
  if (!guard) return std::unexpected(failure(ScanErrorKind::kBusy, std::string(kScanInProgress)));
  // A scan that once left abnormally may have left shared state half
  // changed; the process scans no more.
  if (guard->poisoned()) {
    return std::unexpected(failure(ScanErrorKind::kUnavailable, std::string(kScanInProgress)));
  }
  try {
    return run_admitted_scan(request, app_handle);
  } catch (const std::bad_alloc& e) {
    return std::unexpected(failure(ScanErrorKind::kOutOfResources, std::string(e.what())));
  }
}

}  // namespace

std::optional<ScanEngine> parse_scan_engine(std::string_view name) {
  if (name == kBulkAttrsEngineName) return ScanEngine::kBulkAttrs;
  if (name == kJwalkEngineName) return ScanEngine::kJwalk;
  return std::nullopt;
}

std::string_view scan_engine_name(ScanEngine engine) {
  return engine == ScanEngine::kJwalk ? kJwalkEngineName : kBulkAttrsEngineName;
}

ScanEngine default_scan_engine(std::string_view root) {
  return supports_bulk_attrs(root) ? ScanEngine::kBulkAttrs : ScanEngine::kJwalk;
}

std::string volume_type_name(std::string_view path) {
  return fs_type_of_resolved(path, platform::system_kernel().mount_table());
}

bool scan_guard_poisoned() { return scan_lock().is_poisoned(); }

std::expected<ScanOutput, ScanError> scan(const ScanRequest& request, AppHandle app_handle) {
  return admitted_scan(request, app_handle);
}

std::expected<ScanOutput, std::string> run_scan(const ScanRequest& request, AppHandle app_handle) {
  auto outcome = admitted_scan(request, app_handle);
  if (!outcome) return std::unexpected(std::move(outcome.error().message));
  return std::move(*outcome);
}

}  // namespace tessaly
