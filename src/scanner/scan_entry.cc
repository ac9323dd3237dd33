#include "scanner/scan_entry.h"

#include <memory>
#include <utility>

#include <fmt/format.h>

#include "macos_walker/bulk_engine.h"
#include "scanner/clock.h"
#include "scanner/jwalk_engine.h"
#include "scanner/poison_mutex.h"
#include "scanner/progress.h"
#include "scanner/result.h"

namespace tessaly {
namespace {

constexpr std::string_view kScanInProgress = "Scan already in progress";

// Admits one scan per process at a time. Only ever tried, never waited for.
PoisonableMutex& scan_lock() {
  static PoisonableMutex lock;
  return lock;
}

}  // namespace

std::expected<BenchmarkResult, std::string> run_scan_benchmark(
    std::string_view root, std::uint64_t tree_depth, const std::vector<std::string>& exclude_paths,
    std::string_view engine) {
  std::optional<PoisonableMutex::Guard> guard = scan_lock().try_lock();
  // A scan that once left abnormally may have left shared state half
  // changed; the process scans no more.
  if (!guard || guard->poisoned()) return std::unexpected(std::string(kScanInProgress));

  scan_cancel_flag().store(false, std::memory_order_relaxed);
  const Instant start = monotonic_now();

  std::expected<std::shared_ptr<const ScanResult>, std::string> outcome;
  if (engine == "jwalk") {
    outcome = scan_with_jwalk(root, tree_depth, exclude_paths, nullptr);
  } else if (engine == "bulk-attrs") {
    outcome = run_bulk_attrs_selected(root, tree_depth, exclude_paths);
  } else {
    return std::unexpected(fmt::format("Unsupported scanner engine: {}", engine));
  }
  if (!outcome) return std::unexpected(std::move(outcome.error()));

  BenchmarkResult record;
  record.engine = std::string(engine);
  record.elapsed_ms = whole_millis_between(start, monotonic_now());
  const ScanResult& result = **outcome;
  record.files_found = result.files_found;
  record.dirs_found = result.dirs_found;
  record.total_size = result.total_size;
  record.compute_dir_sizes_ms = result.compute_dir_sizes_ms;
  record.large_files_count = result.large_files.size();
  return record;
}

}  // namespace tessaly
