#include "service/scan_service.h"

#include <new>
#include <utility>

#include <fmt/format.h>

#include "base/clock.h"
#include "base/poison_mutex.h"
#include "bulk/bulk_engine.h"
#include "jwalk/jwalk_engine.h"

namespace tessaly {
namespace {

// Only ever tried, never waited for.
PoisonableMutex& scan_lock() {
  static PoisonableMutex lock;
  return lock;
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

namespace {

// The admitted scan, with the guard held.
std::expected<ScanOutput, std::string> run_admitted_scan(const ScanRequest& request,
                                                         AppHandle app_handle) {
  scan_cancel_flag().store(false, std::memory_order_relaxed);
  const Clock& clock = monotonic_clock();
  const Instant start = clock.now();

  const std::optional<ScanEngine> engine = parse_scan_engine(request.engine);
  if (!engine)
    return std::unexpected(fmt::format("{}{}", kUnsupportedEnginePrefix, request.engine));

  ScanOutcome outcome;
  const bool probe = request.volume_probe == VolumeProbe::kApply;
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
  if (!outcome) return std::unexpected(std::move(outcome.error()));
  return ScanOutput{std::move(*outcome), elapsed_ms, *engine == ScanEngine::kBulkAttrs && !probe};
}

}  // namespace

bool scan_guard_poisoned() { return scan_lock().is_poisoned(); }

std::expected<ScanOutput, std::string> run_scan(const ScanRequest& request, AppHandle app_handle) {
  std::optional<PoisonableMutex::Guard> guard = scan_lock().try_lock();
  // A scan that once left abnormally may have left shared state half
  // changed; the process scans no more.
  if (!guard || guard->poisoned()) return std::unexpected(std::string(kScanInProgress));
  // Memory running out leaves nothing half changed: every engine releases
  // what it holds on the way out, and the cache refuses an entry it has no
  // room for whole. Such a scan fails with the exception's own text (short
  // enough to need no allocation), and the guard stays usable. Anything else
  // that escapes poisons it.
  try {
    return run_admitted_scan(request, app_handle);
  } catch (const std::bad_alloc& e) {
    return std::unexpected(std::string(e.what()));
  }
}

}  // namespace tessaly
